// The profile-section editor's file layer: whole files through the
// 16-bit-era calls, as WININIT.INI is edited on the 95 family.
#include "ini/profile_editor.h"
#include "platform/win32.h"

namespace kiv {

bool AddProfileEntry(const char* section, const char* key, const char* value, const char* file) {
  platform::WholeFile handle = platform::WholeFileOpenReadWrite(file);
  if (handle == platform::kNoWholeFile) {
    handle = platform::WholeFileCreate(file);
    if (handle == platform::kNoWholeFile) return false;
    char content[ProfileText::capacity()];
    uint32_t size = 0;
    bool ok = NewProfileContent(content, sizeof(content), section, key, value, &size) &&
              platform::WholeFileWrite(handle, content, size) == size;
    platform::WholeFileClose(handle);
    return ok;
  }
  uint32_t size = 0;
  if (!platform::WholeFileSeekEnd(handle, &size) || size > kProfileFileLimit) {
    platform::WholeFileClose(handle);
    return false;
  }
  const uint32_t capacity = size + kProfileRoom;
  char* buffer = static_cast<char*>(platform::AllocateBuffer(capacity));
  bool ok = buffer != nullptr && platform::WholeFileSeekStart(handle) &&
            platform::WholeFileRead(handle, buffer, size) == size;
  uint32_t new_size = size;
  ok = ok && InsertProfileEntry(buffer, &new_size, capacity, section, key, value);
  // The file only grows, so writing from the start leaves no stale bytes.
  ok = ok && platform::WholeFileSeekStart(handle) &&
       platform::WholeFileWrite(handle, buffer, new_size) == new_size;
  platform::FreeBuffer(buffer);
  platform::WholeFileClose(handle);
  return ok;
}

}  // namespace kiv
