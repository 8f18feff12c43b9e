// The temporary copy: the confirmation mode copies the program into the
// temporary directory and starts the copy, which can delete the uninstall
// file because it does not run from it.
#ifndef KIV_HANDOFF_TEMPORARY_COPY_H_
#define KIV_HANDOFF_TEMPORARY_COPY_H_

#include <stdint.h>

#include "platform/fixed_string.h"

namespace kiv {

// The copy keeps at most this many bytes from the start of the uninstall
// file: the whole executable image, never the log.
inline constexpr uint32_t kCopyLimit = 60000;
inline constexpr uint32_t kCopyChunk = 4096;
inline constexpr char kTempPrefix[] = "STP";

using TemporaryPath = FixedString<260>;  // GetTempFileNameA writes up to MAX_PATH
// The quoted copy path, a blank and the uninstall file's path: both whole.
using LaunchLine = FixedString<TemporaryPath::capacity() + 3 + WideBuffer::capacity()>;

// Sets the current directory to the drive's root, creates a unique STP file
// in the temporary directory and fills it with the first kCopyLimit bytes of
// own. False, with no file left behind, when any step fails.
bool MakeTemporaryCopy(const char* own, TemporaryPath* copy);

// True when path names a file directly inside temp_directory (given with its
// trailing backslash) whose name starts with STP and ends with .tmp, as
// GetTempFileNameA makes them; letters compared without regard to case.
inline bool IsTemporaryCopyPath(const char* path, const char* temp_directory) {
  const uint32_t dir_length = LengthWithin(temp_directory, 0xFFFF);
  const uint32_t length = LengthWithin(path, 0xFFFF);
  if (dir_length == 0 || temp_directory[dir_length - 1] != '\\') return false;
  if (length < dir_length || !EqualsIgnoreAsciiCase(path, temp_directory, dir_length)) {
    return false;
  }
  const char* name = path + dir_length;
  const uint32_t name_length = length - dir_length;
  for (uint32_t i = 0; i < name_length; ++i) {
    if (name[i] == '\\') return false;
  }
  return name_length >= 3 + 4 && EqualsIgnoreAsciiCase(name, kTempPrefix, 3) &&
         EqualsIgnoreAsciiCase(name + name_length - 4, ".tmp", 4);
}


// When this process runs from such a copy, schedules the copy for deletion
// at the next start.
void ScheduleOwnTemporaryCopyDeletion();

}  // namespace kiv

#endif  // KIV_HANDOFF_TEMPORARY_COPY_H_
