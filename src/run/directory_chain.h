// The directories on the way of the record being undone, held open from
// the moment they were found to be plain directories until the walk moves
// elsewhere: held without delete sharing, none of them can be renamed away,
// deleted or swapped for a link between the check and the action. The walk
// goes backwards through records that mostly share their directories, so
// each directory is opened and asked about once for all the records in it,
// not once for each.
//
// Pure: how a directory is held and released comes in as two calls, so the
// host tests what is held when.
#ifndef KIV_RUN_DIRECTORY_CHAIN_H_
#define KIV_RUN_DIRECTORY_CHAIN_H_

#include <stdint.h>

#include "base/fixed_string.h"
#include "base/path_rules.h"

namespace kiv {

struct DirectoryHolding {
  // Holds the directory at path; null when it cannot be held. *is_link:
  // it is a junction, mount point or symbolic link (then it is not held).
  void* (*hold)(const char* path, bool* is_link);
  void (*release)(void* handle);
};

// No constructor and no destructor: a chain with static storage starts
// zeroed (nothing held) and needs no start-up or exit code, which the stub
// does not have; a local one is made with {}.
class DirectoryChain {
 public:
  // path read as the file calls read it (NormalizePath), root: the length of
  // its root, which is never asked about. True when a directory below the
  // root and before the last part is a link. Afterwards exactly those
  // directories are held, as far as they could be; the ones held for the
  // last path that this one does not pass through are released first, so a
  // Directory record finds its own directory released. A directory that
  // cannot be held (gone, or not to be opened) is asked about through
  // fallback, and nothing below it is held.
  bool CrossesLink(const DirectoryHolding& holding, const char* path, uint32_t root,
                   LeadByteTest is_lead_byte, bool (*fallback)(const char* directory));
  // Releases every directory held: before the walk's last steps (the
  // uninstall file's own directory), and at the end.
  void ReleaseAll(const DirectoryHolding& holding);

  // How many directories are held (for the tests).
  uint32_t held() const { return depth_; }

  // Every directory on the way of any path that fits is held: each takes
  // at least two bytes ("d\\"). Deeper ones, asked about only, could be
  // swapped between the check and the action.
  static constexpr uint32_t kMaxHeld = PathString::capacity() / 2;

 private:
  void ReleaseFrom(const DirectoryHolding& holding, uint32_t level);
  void Remember(const char* path);

  char path_[PathString::capacity()];  // the path whose directories are held
  uint16_t ends_[kMaxHeld];             // level i: path_'s first ends_[i] bytes
  void* handles_[kMaxHeld];
  uint32_t depth_;
};

}  // namespace kiv

#endif  // KIV_RUN_DIRECTORY_CHAIN_H_
