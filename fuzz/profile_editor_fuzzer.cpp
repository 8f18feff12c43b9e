// The profile-section editor over any file content and any section, key and
// value.
//
// Input: two bytes of spare room (the capacity is the content's size plus
// that room, modulo a little more than the editor's usual 1,024), then
// section, key and value separated by NULs, then the file's content (NULs
// allowed).
//
// Invariants:
//  - the buffer is a heap block of exactly its capacity: no access past it;
//  - on success the content is the old one with exactly one insertion:
//    "\r\nkey=value" right after the first "[section]" that starts the file
//    (with more after it) or follows a line feed, else
//    "\r\n[section]\r\nkey=value" at the end; the size stays within the
//    capacity;
//  - on failure the buffer and size are unchanged, and failure happens only
//    when the result would not fit (for fields within the format's 255
//    bytes);
//  - a new file's content is "[section]\r\nkey=value" under the same rules.
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_check.h"
#include "ini/profile_editor.h"

namespace {

constexpr uint32_t kRoomModulus = 1100;
constexpr size_t kFieldLimit = 255;  // a string field without its NUL

bool SameFolded(const char* a, const std::string& b) {
  for (size_t i = 0; i < b.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// The content the contract asks for.
std::string Expected(const std::string& content, const std::string& header, const std::string& key,
                     const std::string& value) {
  const size_t used = content.size();
  const size_t length = header.size();
  for (size_t j = 0; j + length <= used; ++j) {
    const bool at_line_start = j == 0 ? length < used : content[j - 1] == '\n';
    if (at_line_start && SameFolded(content.data() + j, header)) {
      std::string out = content;
      out.insert(j + length, "\r\n" + key + "=" + value);
      return out;
    }
  }
  return content + "\r\n" + header + "\r\n" + key + "=" + value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t room = (data[0] | (data[1] << 8)) % kRoomModulus;
  const auto fields = kiv::fuzz::SplitFields(data + 2, size - 2, 4);
  const std::string& section = fields[0];
  const std::string& key = fields[1];
  const std::string& value = fields[2];
  const std::string& content = fields[3];
  const std::string header = "[" + section + "]";
  const bool fields_fit =
      section.size() <= kFieldLimit && key.size() <= kFieldLimit && value.size() <= kFieldLimit;

  // Insertion into an existing file.
  {
    const uint32_t capacity = static_cast<uint32_t>(content.size()) + room;
    std::unique_ptr<char[]> buffer(new char[capacity]);
    memset(buffer.get(), '#', capacity);
    if (!content.empty()) memcpy(buffer.get(), content.data(), content.size());
    const std::string before(buffer.get(), capacity);
    uint32_t used = static_cast<uint32_t>(content.size());

    const bool done = kiv::InsertProfileEntry(buffer.get(), &used, capacity, section.c_str(),
                                              key.c_str(), value.c_str());
    const std::string expected = Expected(content, header, key, value);
    if (done) {
      KIV_FUZZ_CHECK(used <= capacity);
      KIV_FUZZ_CHECK(std::string(buffer.get(), used) == expected);
    } else {
      KIV_FUZZ_CHECK(used == content.size());
      KIV_FUZZ_CHECK(std::string(buffer.get(), capacity) == before);
      if (fields_fit) KIV_FUZZ_CHECK(expected.size() > capacity);
    }
  }

  // A new file.
  {
    const uint32_t capacity = room;
    std::unique_ptr<char[]> buffer(new char[capacity]);
    uint32_t length = 0xFFFFFFFFu;
    const bool done = kiv::NewProfileContent(buffer.get(), capacity, section.c_str(), key.c_str(),
                                             value.c_str(), &length);
    const std::string expected = header + "\r\n" + key + "=" + value;
    if (done) {
      KIV_FUZZ_CHECK(length <= capacity);
      KIV_FUZZ_CHECK(std::string(buffer.get(), length) == expected);
    } else if (fields_fit) {
      KIV_FUZZ_CHECK(expected.size() > capacity);
    }
  }
  return 0;
}
