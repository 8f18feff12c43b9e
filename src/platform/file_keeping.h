// What the uninstall asks before it deletes a file that may not be the
// product's alone: a shared file's count of users, a kept file's content.
//
// The count of products using a shared file, as Windows installers keep it:
// a REG_DWORD named by the file's full path under
// HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\SharedDLLs,
// read in the view of the stub's own processor (the 64-bit one for the
// x86_64 stubs, the 32-bit one for the i686 stubs, as the installers of
// each kind wrote it). Names in the names' code page, as every name of this
// layer.
#ifndef KIV_PLATFORM_FILE_KEEPING_H_
#define KIV_PLATFORM_FILE_KEEPING_H_

#include <stdint.h>

namespace kiv::platform {

// Reads path's count into *count: true when a REG_DWORD of path's name is
// there (false when the key or the value is missing, or the value is of
// another kind or size). The key is opened for every access, reading too
// (one open for both): a process without administrator rights finds no
// count. With set, writes *count instead, or deletes the
// value when it is 0 (one already gone counts as deleted): false, LastError
// telling why, when refused. One call for both, as the stub is small.
bool SharedCount(const char* path, uint32_t* count, bool set);

// A product's file opened to read its content (GENERIC_READ, shared for
// reading only: nobody writes it while it is read); null when it cannot be
// (LastError). Read and close it with the calls of win32.h.
void* OpenProductFileForReading(const char* path);

}  // namespace kiv::platform

#endif  // KIV_PLATFORM_FILE_KEEPING_H_
