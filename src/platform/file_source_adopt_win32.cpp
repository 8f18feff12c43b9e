// FileSource::Adopt on Windows: a stream kivlog.exe opened by its wide name
// lends its handle. Apart from file_source_win32.cpp so that the stub, which
// never adopts a stream, links none of the C runtime calls this needs.
#include <io.h>

#include "base/file_source.h"

namespace kiv {

namespace {
void CloseStream(FILE* file) { fclose(file); }
}  // namespace

void FileSource::Adopt(FILE* file) {
  Close();
  if (!file) return;
  const intptr_t os_handle = _get_osfhandle(_fileno(file));
  if (os_handle == -1) {
    fclose(file);
    return;
  }
  adopted_ = file;
  close_adopted_ = CloseStream;
  handle_ = reinterpret_cast<void*>(os_handle);
}

}  // namespace kiv
