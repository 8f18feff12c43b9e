// The few file operations the tool needs beyond stdio, for the Linux host
// and for Windows: a file's last-write time as a FILETIME, a new file that
// must not exist yet, an atomic replace, and a flush that reaches the disk.
#ifndef KIVLOG_FILE_OPS_H_
#define KIVLOG_FILE_OPS_H_

#include <stdint.h>
#include <stdio.h>

#include <optional>
#include <string>

namespace kivlog {

// Text of the last C runtime error (errno).
std::string ErrnoText();

// The whole file as bytes; false with *why set when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why);

// Size of a regular file; nothing with *why set for anything else.
std::optional<uint64_t> RegularFileSize(const std::string& path, std::string* why);

// The last-write time as a FILETIME; nothing with *why set.
std::optional<uint64_t> LastWriteTime(const std::string& path, std::string* why);

// A new file beside path (same directory, so the final rename stays on one
// volume), opened for binary writing. Its name goes to *created.
FILE* CreateSiblingTempFile(const std::string& path, std::string* created, std::string* why);

// Moves from over to, replacing to if it exists, in one step.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* why);

// fflush, then asks the system to put the file's data on the disk.
bool FlushToDisk(FILE* file);

}  // namespace kivlog

#endif  // KIVLOG_FILE_OPS_H_
