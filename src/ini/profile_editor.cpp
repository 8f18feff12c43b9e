#include "ini/profile_editor.h"

#include "base/fixed_string.h"

namespace kiv {

namespace {

void MoveUp(char* buffer, uint32_t from, uint32_t end, uint32_t by) {
  for (uint32_t i = end; i > from; --i) buffer[i - 1 + by] = buffer[i - 1];
}

void CopyIn(char* buffer, uint32_t at, const char* text, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) buffer[at + i] = text[i];
}

}  // namespace

bool NewProfileContent(char* buffer, uint32_t capacity, const char* section, const char* key,
                       const char* value, uint32_t* size) {
  ProfileHeader header;
  ProfileText content;
  if (!Format1(header, "[%s]", section) ||
      !Format3(content, "%s\r\n%s=%s", header.c_str(), key, value)) {
    return false;
  }
  const uint32_t length = content.length();
  if (length > capacity) return false;
  CopyIn(buffer, 0, content.c_str(), length);
  *size = length;
  return true;
}

bool InsertProfileEntry(char* buffer, uint32_t* size, uint32_t capacity, const char* section,
                        const char* key, const char* value) {
  ProfileHeader header;
  if (!Format1(header, "[%s]", section)) return false;
  const uint32_t header_length = header.length();
  const uint32_t used = *size;

  // A header counts at the very start of the file or after a line feed.
  uint32_t insert_at = 0;
  bool found = false;
  if (header_length < used && EqualsIgnoreAsciiCase(buffer, header.c_str(), header_length)) {
    insert_at = header_length;
    found = true;
  }
  for (uint32_t i = 0; !found && i + header_length < used; ++i) {
    if (buffer[i] == '\n' && EqualsIgnoreAsciiCase(buffer + i + 1, header.c_str(), header_length)) {
      insert_at = i + 1 + header_length;
      found = true;
    }
  }

  ProfileText text;
  bool formatted = found ? Format2(text, "\r\n%s=%s", key, value)
                         : Format3(text, "\r\n%s\r\n%s=%s", header.c_str(), key, value);
  const uint32_t length = text.length();
  if (!formatted || length > capacity || used > capacity - length) return false;
  if (found) {
    MoveUp(buffer, insert_at, used, length);
    CopyIn(buffer, insert_at, text.c_str(), length);
  } else {
    CopyIn(buffer, used, text.c_str(), length);
  }
  *size = used + length;
  return true;
}

}  // namespace kiv
