// The floor the stub is measured against: the least a Win32 program can do
// to reach the same end state, with nothing read and nothing shown.
//
//   kiv_floor delete FILES DIRECTORIES
//       DeleteFileA on every file of the benchmark product and
//       RemoveDirectoryA on every directory, in the order the stub's walk
//       takes them, then the uninstall file and the root, as the stub
//       finishes.
//   kiv_floor copy FROM TO
//       CopyFileA(FROM, TO): the floor for restoring saved content.
//   kiv_floor box
//       Only the stub's success box: what any program pays to show it.
//
// Built for the GUI subsystem like the stub, so both pay the same process
// start-up (a console program would get a console of its own under Wine).
// Exit code: 0 when every call that should succeed did, 1 otherwise, 2 on a
// bad command line.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "product_shape.h"

namespace {

using kiv::bench::kPathSize;

int DeleteProduct(const kiv::bench::ProductShape& shape) {
  char path[kPathSize];
  int failures = 0;
  for (int d = shape.directories - 1; d >= 0; --d) {
    for (int f = shape.FirstFile(d + 1) - 1; f >= shape.FirstFile(d); --f) {
      kiv::bench::FilePath(path, d, f);
      if (!DeleteFileA(path)) ++failures;
    }
    kiv::bench::DirectoryPath(path, d);
    if (!RemoveDirectoryA(path)) ++failures;
  }
  // The walk's last record is the root, which still holds the uninstall file;
  // the stub tries it all the same, then deletes the file and the root.
  RemoveDirectoryA(kiv::bench::kProductRoot);
  kiv::bench::UninstallPath(path);
  if (!DeleteFileA(path)) ++failures;
  if (!RemoveDirectoryA(kiv::bench::kProductRoot)) ++failures;
  return failures == 0 ? 0 : 1;
}

// user32 is loaded here and only here, so that the other floors start
// without it.
int ShowSuccessBox() {
  using MessageBoxFn = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
  HMODULE user32 = LoadLibraryA("user32.dll");
  auto message_box = user32 ? reinterpret_cast<MessageBoxFn>(
                                  reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxA")))
                            : nullptr;
  if (!message_box) return 1;
  message_box(nullptr, "Uninstall was succesful", "Kiv Uninstall", MB_OK | MB_ICONINFORMATION);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "delete") == 0) {
    kiv::bench::ProductShape shape;
    shape.files = atoi(argv[2]);
    shape.directories = atoi(argv[3]);
    if (shape.files < 0 || shape.directories < 1) return 2;
    return DeleteProduct(shape);
  }
  if (argc == 4 && strcmp(argv[1], "copy") == 0) {
    return CopyFileA(argv[2], argv[3], FALSE) ? 0 : 1;
  }
  if (argc == 2 && strcmp(argv[1], "box") == 0) return ShowSuccessBox();
  return 2;
}
