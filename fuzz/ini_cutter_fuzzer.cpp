// The INI line cutter over any buffer and any section, key and value.
//
// Input: section, key and value separated by NULs, then the buffer (NULs
// allowed).
//
// Invariants:
//  - the buffer is a heap block of exactly its size: nothing is read or
//    written past it, even for a buffer shorter than the section string;
//  - the buffer never grows; with nothing cut it is untouched;
//  - what is left is the old lines in order, less exactly the last line the
//    header's rules name (a matching key=value line inside the section), and
//    the count returned is the number of lines that went (0 or 1);
//  - cutting again with the same record cuts the match before it, if any.
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "ini/ini_cutter.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

std::string Folded(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

// The lines of text, each with its line feed when it has one.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t next = text.find('\n', start);
    next = next == std::string::npos ? text.size() : next + 1;
    lines.push_back(text.substr(start, next - start));
    start = next;
  }
  return lines;
}

// What the buffer holds after the cut, by the rules of the header.
std::string Expected(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& value, uint32_t* cut) {
  const std::string want_section = Folded(section);
  const std::string want_key = Folded(Trimmed(key));
  const std::string want_value = Trimmed(value);
  const std::vector<std::string> lines = Lines(text);
  size_t last_match = lines.size();
  bool inside = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::string body = line;
    if (!body.empty() && body.back() == '\n') body.pop_back();
    if (!body.empty() && body.back() == '\r') body.pop_back();
    if (!section.empty() && Folded(body.substr(0, section.size())) == want_section &&
        body.size() >= section.size()) {
      inside = true;
    } else if (!body.empty() && body[0] == '[') {
      inside = false;
    } else if (inside) {
      const size_t equals = body.find('=');
      if (equals != std::string::npos && Folded(Trimmed(body.substr(0, equals))) == want_key &&
          Trimmed(body.substr(equals + 1)) == want_value) {
        last_match = i;
      }
    }
  }
  std::string kept;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i != last_match) kept += lines[i];
  }
  *cut = last_match < lines.size() ? 1 : 0;
  return kept;
}

// The fold the model above stands for: ASCII letters only.
uint32_t AsciiFold(const char* text, uint32_t length, char* out, uint32_t capacity) {
  if (length >= capacity) return 0;
  for (uint32_t i = 0; i < length; ++i) {
    const char c = text[i];
    out[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
  return length;
}

// Runs the cutter over a copy of text in a block of exactly its size.
std::string Cut(const std::string& text, const std::string& section, const std::string& key,
                const std::string& value, uint32_t* cut) {
  std::unique_ptr<char[]> buffer(new char[text.size()]);
  if (!text.empty()) memcpy(buffer.get(), text.data(), text.size());
  uint32_t size = static_cast<uint32_t>(text.size());
  *cut = kiv::CutIniLines(buffer.get(), &size, section.c_str(), key.c_str(), value.c_str(),
                          AsciiFold) == kiv::IniCut::kCut
             ? 1
             : 0;
  KIV_FUZZ_CHECK(size <= text.size());
  if (*cut == 0) {
    KIV_FUZZ_CHECK(size == text.size());
    KIV_FUZZ_CHECK(memcmp(buffer.get(), text.data(), text.size()) == 0);
  }
  return std::string(buffer.get(), size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = kiv::fuzz::SplitFields(data, size, 4);
  const std::string& section = fields[0];
  const std::string& key = fields[1];
  const std::string& value = fields[2];
  const std::string& text = fields[3];
  // A name past the fold's room cannot be compared (the unit tests have
  // that); the model here knows names that fit.
  if (section.size() >= kiv::kIniFoldRoom || key.size() >= kiv::kIniFoldRoom) return 0;
  for (const std::string& line : Lines(text)) {
    if (line.size() >= kiv::kIniFoldRoom) return 0;
  }

  uint32_t cut = 0;
  const std::string after = Cut(text, section, key, value, &cut);
  uint32_t expected_cut = 0;
  KIV_FUZZ_CHECK(after == Expected(text, section, key, value, &expected_cut));
  KIV_FUZZ_CHECK(cut == expected_cut);

  uint32_t cut_again = 0;
  uint32_t expected_again = 0;
  KIV_FUZZ_CHECK(Cut(after, section, key, value, &cut_again) ==
                 Expected(after, section, key, value, &expected_again));
  KIV_FUZZ_CHECK(cut_again == expected_again);
  if (cut == 0) KIV_FUZZ_CHECK(cut_again == 0);
  return 0;
}
