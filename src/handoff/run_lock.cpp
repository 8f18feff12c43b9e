#include "handoff/run_lock.h"

#include "base/hex_text.h"
#include "platform/win32.h"

namespace kiv {

namespace {

// The k-th name of the row for the file's identity.
void LockName(const platform::FileIdentity& identity, uint32_t k, ShortString* name) {
  uint64_t hash = identity.has_id
                      ? HashBytes(&identity.id, sizeof(identity.id))
                      : HashBytes(identity.spelling.c_str(), identity.spelling.length());
  name->Assign(kLockPrefix);
  AppendHex(hash, name);
  if (k > 0) {
    const char suffix[] = {'-', static_cast<char>('0' + k), '\0'};
    name->Append(suffix);
  }
}

}  // namespace

LockTaken TakeRunLock(const char* path, void* passed, void** held) {
  *held = nullptr;
  platform::FileIdentity identity;
  if (!platform::IdentifyFile(path, &identity)) return LockTaken::kOurs;
  for (uint32_t k = 0; k < kLockNames; ++k) {
    ShortString name;
    LockName(identity, k, &name);
    if (passed && platform::IsOurLock(passed, name.c_str())) {
      *held = passed;
      return LockTaken::kOurs;
    }
    switch (platform::TakeNamedLock(name.c_str(), held)) {
      case platform::NamedLock::kTaken:
      case platform::NamedLock::kUnavailable: return LockTaken::kOurs;
      case platform::NamedLock::kHeld: return LockTaken::kBusy;
      case platform::NamedLock::kForeign: break;  // someone else's: the next name
    }
  }
  // Every name of the row stands for someone else's object: this run would
  // go unlocked, beside another that may meet the same row.
  return LockTaken::kBusy;
}

}  // namespace kiv
