// One uninstall per uninstall file at a time.
//
// The lock is a named object that stands while any process holds a handle
// to it (platform::TakeNamedLock), named after the uninstall file's identity
// (platform::IdentifyFile), so every spelling of one file meets it: another
// drive letter, a short name, a "\\?\" path, another session. The
// confirmation takes it before the file check and the question; the copy it
// starts inherits the handle and is passed its value (handoff_channel.h),
// so the lock passes to the copy with no gap, and it ends with the last of
// the two processes. A process that is stopped drops it with its handles,
// so a run that was killed never blocks the next one.
//
// Nobody else can hold it for us: another user can neither open our lock
// nor make one of its name that we take for ours (its owner gives it away),
// and a name taken so (by another user, or by an object that is no mutex)
// is passed over for the next of a short row of names, which every run tries
// in the same order. A row taken whole leaves no lock to take: the run is
// refused as one that found its lock held, never run unlocked.
#ifndef KIV_HANDOFF_RUN_LOCK_H_
#define KIV_HANDOFF_RUN_LOCK_H_

#include <stdint.h>

#include "base/fixed_string.h"

namespace kiv {

// The first name of the row for a file's identity; the others add "-1" to
// "-7".
inline constexpr char kLockPrefix[] = "KivUninstall-";
inline constexpr uint32_t kLockNames = 8;

enum class LockTaken {
  kOurs,  // this run holds it (also when no lock could be made at all: a
          // lock that cannot be made guards nothing, and stops nothing)
  kBusy,  // another run of the same file holds it, or every name of the
          // row stands for someone else's object
};

// Takes the lock for the uninstall file at path. passed: the lock handle a
// hand-off passed (null when none): it counts only when it is the lock of
// that very file, made by this user, Administrators or SYSTEM. *held
// receives the handle held, for the hand-off to pass on.
LockTaken TakeRunLock(const char* path, void* passed, void** held);

}  // namespace kiv

#endif  // KIV_HANDOFF_RUN_LOCK_H_
