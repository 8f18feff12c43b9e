// The temporary copy: the confirmation mode copies the program into a new
// private directory under the temporary directory and starts the copy, which
// can delete the uninstall file because it does not run from it.
//
// The directory is new for every run and never one that already existed: a
// program runs with its own directory first in the DLL search, and the
// temporary directory is open to every program of the user, so a flat copy
// there would load whatever DLLs were planted beside it.
//
// The 95 family has no access control, so a private directory protects
// nothing there, and WININIT.INI deletes files only: the copy is the plain
// temporary file STPxxxx.tmp itself, and nothing stays after the restart.
#ifndef KIV_HANDOFF_TEMPORARY_COPY_H_
#define KIV_HANDOFF_TEMPORARY_COPY_H_

#include <stdint.h>

#include "base/fixed_string.h"
#include "platform/win32.h"
#include "uninstall_file/layout.h"

namespace kiv {

// The copy's directory (the 95 family: the copy itself) is named STPxxxx.tmp.
inline constexpr char kTempPrefix[] = "STP";
// The copy's name inside its directory.
inline constexpr char kCopyName[] = "uninstall.exe";

using TemporaryPath = PathString;  // GetTempFileNameA writes up to MAX_PATH
// The quoted copy path, a blank, then the switches (/S, /FORCE, and /LOG=
// with a quoted path) and the uninstall file's path: all whole.
using LaunchLine = FixedString<TemporaryPath::capacity() + 3 + sizeof("/S /FORCE /LOG=\"\" ") +
                               2 * LongString::capacity()>;

// The copy of an unsigned file is its first max(min(size,
// kTemporaryCopyFloor), image end) bytes (TemporaryCopySize, pe_image.h): the
// whole executable image, and of the log only what lies before the copy's
// end (none of it when the image ends past the floor).
// The copy of a signed file is its signed stub, byte for byte.
//
// Sets the current directory to the drive's root, creates a new private
// directory STPxxxx.tmp in the temporary directory, holds it (see
// platform::HeldDirectory) and fills kCopyName there with that copy of own;
// the caller keeps *held until the copy has been started. On the 95 family
// it fills the new temporary file STPxxxx.tmp itself and holds nothing.
// False, with nothing left behind and nothing held, when any step fails.
bool MakeTemporaryCopy(const char* own, TemporaryPath* copy, platform::HeldDirectory* held);

// Removes a copy made by MakeTemporaryCopy, and its directory when it has
// one of its own (after a failed launch).
void RemoveTemporaryCopy(const char* copy);

// True when path is temp_directory (given with its trailing backslash)
// followed by a file named STP....tmp: the copy of the 95 family.
inline bool IsFlatTemporaryCopyPath(const char* path, const char* temp_directory) {
  const uint32_t dir_length = LengthWithin(temp_directory, 0xFFFF);
  const uint32_t length = LengthWithin(path, 0xFFFF);
  if (dir_length == 0 || temp_directory[dir_length - 1] != '\\') return false;
  if (length < dir_length + 3 + 4 + 1 || !EqualsIgnoreAsciiCase(path, temp_directory, dir_length)) {
    return false;
  }
  // A name of STP, letters and .tmp: any 0x5C byte after the directory,
  // whether a backslash or the second byte of a double-byte letter, is not it.
  const char* name = path + dir_length;
  for (const char* p = name; *p; ++p) {
    if (*p == '\\') return false;
  }
  return EqualsIgnoreAsciiCase(name, kTempPrefix, 3) &&
         EqualsIgnoreAsciiCase(path + length - 4, ".tmp", 4);
}

// True when path is temp_directory (given with its trailing backslash), then
// a directory named STP....tmp, then kCopyName; letters compared without
// regard to case: the copy's directory is named as the 95 family's flat copy
// is. *name_start receives the offset of kCopyName.
inline bool IsTemporaryCopyPath(const char* path, const char* temp_directory,
                                uint32_t* name_start = nullptr) {
  const uint32_t length = LengthWithin(path, 0xFFFF);
  const uint32_t name_length = sizeof(kCopyName) - 1;
  if (length <= name_length) return false;
  const uint32_t start = length - name_length;
  LongString directory;
  if (path[start - 1] != '\\' || !EqualsIgnoreAsciiCase(path + start, kCopyName, name_length) ||
      !directory.AppendN(path, start - 1) ||
      !IsFlatTemporaryCopyPath(directory.c_str(), temp_directory)) {
    return false;
  }
  if (name_start) *name_start = start;
  return true;
}

// When this process runs from such a copy, schedules the copy and then its
// directory for deletion at the next start (on the 95 family, the flat copy
// alone).
void ScheduleOwnTemporaryCopyDeletion();

}  // namespace kiv

#endif  // KIV_HANDOFF_TEMPORARY_COPY_H_
