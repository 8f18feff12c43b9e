#include "base/path_rules.h"

#include "base/code_page_text.h"

namespace kiv {

namespace {

bool HoldsByte(const char* set, char c) {
  for (; *set; ++set) {
    if (*set == c) return true;
  }
  return false;
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The length of the part that starts at p: up to the next separator or the
// end; a lead byte takes the following byte with it.
uint32_t PartLength(const char* p, LeadByteTest is_lead_byte) {
  uint32_t n = 0;
  while (p[n] != '\0' && !IsSeparator(p[n])) {
    n += (is_lead_byte(static_cast<uint8_t>(p[n])) && p[n + 1] != '\0') ? 2 : 1;
  }
  return n;
}

// Appends n bytes of s, each separator as '\'.
bool PutSeparated(PathString* out, const char* s, uint32_t n) {
  const uint32_t at = out->length();
  if (!out->AppendN(s, n)) return false;
  for (uint32_t i = at; i < at + n; ++i) {
    if (out->data()[i] == '/') out->data()[i] = '\\';
  }
  return true;
}

struct Root {
  uint32_t length = 0;      // bytes of path the root takes, its separator included
  uint32_t drop = 0;        // bytes of a prefix that one spelling leaves out
  const char* put = "";     // what one spelling puts in the dropped prefix's place
  bool literal = false;     // "\\?\": the system reads no "." or ".." there
};

// A "server\share\" at p (the share's separator may be the end): its
// length, or 0 when either part is missing.
uint32_t ShareLength(const char* p, LeadByteTest is_lead_byte) {
  const uint32_t server = PartLength(p, is_lead_byte);
  if (server == 0 || !IsSeparator(p[server])) return 0;
  const uint32_t share = PartLength(p + server + 1, is_lead_byte);
  if (share == 0) return 0;
  const uint32_t length = server + 1 + share;
  return p[length] != '\0' ? length + 1 : length;
}

bool ReadRoot(const char* p, LeadByteTest is_lead_byte, Root* root) {
  if (IsLetter(p[0]) && p[1] == ':') {
    if (!IsSeparator(p[2])) return false;  // "C:name" is relative to C:'s directory
    root->length = 3;
    return true;
  }
  if (!IsSeparator(p[0])) return false;
  if (!IsSeparator(p[1])) {
    root->length = 1;
    return true;
  }
  if ((p[2] == '?' || p[2] == '.') && IsSeparator(p[3])) {
    root->literal = p[2] == '?';
    const char* rest = p + 4;
    if (EqualsIgnoreAsciiCase(rest, "UNC", 3) && IsSeparator(rest[3])) {
      const uint32_t share = ShareLength(rest + 4, is_lead_byte);
      if (share == 0) return false;
      root->length = 8 + share;
      root->drop = 8;
      root->put = "\\\\";
      return true;
    }
    if (IsLetter(rest[0]) && rest[1] == ':' && (IsSeparator(rest[2]) || rest[2] == '\0')) {
      root->length = rest[2] == '\0' ? 6 : 7;
      root->drop = 4;
      return true;
    }
    // A volume or device by its own name: that name is the root.
    const uint32_t name = PartLength(rest, is_lead_byte);
    if (name == 0) return false;
    root->length = 4 + name + (rest[name] != '\0' ? 1 : 0);
    return true;
  }
  const uint32_t share = ShareLength(p + 2, is_lead_byte);
  if (share == 0) return false;
  root->length = 2 + share;
  return true;
}

// A part as the system reads it outside "\\?\": trailing dots and blanks
// dropped (neither byte can be the second byte of a double-byte letter).
uint32_t TrimmedLength(const char* part, uint32_t n) {
  while (n > 0 && (part[n - 1] == '.' || part[n - 1] == ' ')) --n;
  return n;
}

}  // namespace

int32_t LastSeparator(const char* path, LeadByteTest is_lead_byte) {
  int32_t last = -1;
  for (int32_t i = 0; path[i] != '\0'; ++i) {
    if (is_lead_byte(static_cast<uint8_t>(path[i]))) {
      if (path[i + 1] == '\0') break;
      ++i;
    } else if (IsSeparator(path[i])) {
      last = i;
    }
  }
  return last;
}

bool IsPathAsRead(const uint8_t* path, uint32_t n, uint32_t code_page) {
  if (n >= 4 && path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\') {
    return true;
  }
  const bool drive = n >= 3 && IsLetter(static_cast<char>(path[0])) && path[1] == ':' &&
                     path[2] == '\\';
  if (!drive && !(n >= 3 && path[0] == '\\' && path[1] == '\\')) return false;
  // A share's server name may not be empty either.
  uint8_t before = drive ? ':' : '\\';
  for (uint32_t i = 2; i <= n; ++i) {
    // The end closes the last part as a separator would.
    const uint8_t c = i < n ? path[i] : '\\';
    if (c == '/' || (c == '\\' && (before == '\\' || before == '.' || before == ' '))) {
      return false;
    }
    if (i + 1 < n && LeadsDoubleByte(code_page, c)) ++i;  // its second byte may be 0x5C
    before = c;
  }
  return true;
}

namespace {

// One part, bytes [0, n), names a device (see NamesDevice).
bool IsDevicePart(const uint8_t* part, uint32_t n) {
  // The name ends at the first dot or colon; blanks and dots after it go.
  uint32_t end = 0;
  while (end < n && part[end] != '.' && part[end] != ':') ++end;
  while (end > 0 && part[end - 1] == ' ') --end;
  const char* name = reinterpret_cast<const char*>(part);
  if (end == 3) {
    constexpr char kThree[] = "CONPRNAUXNUL";
    for (uint32_t i = 0; i < sizeof(kThree) - 1; i += 3) {
      if (EqualsIgnoreAsciiCase(name, kThree + i, 3)) return true;
    }
    return false;
  }
  if (end == 6 && EqualsIgnoreAsciiCase(name, "CONIN$", 6)) return true;
  if (end == 7 && EqualsIgnoreAsciiCase(name, "CONOUT$", 7)) return true;
  if (end < 4 || !(EqualsIgnoreAsciiCase(name, "COM", 3) || EqualsIgnoreAsciiCase(name, "LPT", 3))) {
    return false;
  }
  // A digit, or a superscript one, two or three (U+00B9, U+00B2, U+00B3).
  const uint8_t* last = part + 3;
  const bool superscript = last[end - 4] == 0xB9 || last[end - 4] == 0xB2 || last[end - 4] == 0xB3;
  if (end == 4) return (last[0] >= '0' && last[0] <= '9') || superscript;
  return end == 5 && last[0] == 0xC2 && superscript;
}

}  // namespace

bool NamesDevice(const uint8_t* text, uint32_t n, uint32_t code_page, LeadByteTest is_lead_byte) {
  uint32_t start = 0;
  for (uint32_t i = 0; i <= n; ++i) {
    const uint8_t c = i < n ? text[i] : '\\';
    if (c == '\\' || c == '/') {
      if (IsDevicePart(text + start, i - start)) return true;
      start = i + 1;
    } else if (i + 1 < n && (code_page != 0 ? LeadsDoubleByte(code_page, c)
                                           : is_lead_byte && is_lead_byte(c))) {
      ++i;
    }
  }
  return false;
}

bool AppendAsFileName(const char* text, LeadByteTest is_lead_byte, LongString* out) {
  LongString part;
  for (const char* p = text; *p; ++p) {
    const uint8_t c = static_cast<uint8_t>(*p);
    if (is_lead_byte(c) && p[1] != '\0') {
      if (!part.AppendN(p, 2)) return false;
      ++p;
      continue;
    }
    const bool refused = c < 0x20 || (c < 0x80 && HoldsByte("\\/:*?\"<>|", *p));
    if (!part.AppendN(refused ? "_" : p, 1)) return false;
  }
  return out->Append(part.c_str());
}

PathStart ReadPathStart(const char* path, LeadByteTest is_lead_byte) {
  Root root;
  if (!ReadRoot(path, is_lead_byte, &root)) return PathStart::kRelative;
  // A lone separator, not two: the root of whatever drive is current.
  return root.length == 1 ? PathStart::kCurrentDrive : PathStart::kFull;
}

bool NormalizePath(const char* path, LeadByteTest is_lead_byte, PathForm form, PathString* out,
                   uint32_t* root_length) {
  out->Clear();
  Root root;
  if (!ReadRoot(path, is_lead_byte, &root)) return false;
  const bool one_spelling = form == PathForm::kOneSpelling && root.drop > 0;
  if (one_spelling) {
    if (!out->Append(root.put) ||
        !PutSeparated(out, path + root.drop, root.length - root.drop)) {
      return false;
    }
  } else if (!PutSeparated(out, path, root.length)) {
    return false;
  }
  // "\\?\C:" with nothing after: the drive's root all the same.
  if (out->data()[out->length() - 1] != '\\' && !out->Append("\\")) return false;
  const uint32_t base = out->length();
  *root_length = base;

  // Where each part kept so far starts, so ".." can take the last one back.
  constexpr uint32_t kMaxParts = PathString::capacity() / 2;
  uint16_t starts[kMaxParts];
  uint32_t parts = 0;
  const char* p = path + root.length;
  while (*p != '\0') {
    if (IsSeparator(*p)) {
      ++p;
      continue;
    }
    const uint32_t n = PartLength(p, is_lead_byte);
    const char* part = p;
    p += n;
    if (!root.literal) {
      if (n == 1 && part[0] == '.') continue;
      if (n == 2 && part[0] == '.' && part[1] == '.') {
        if (parts > 0) out->Truncate(starts[--parts]);
        continue;
      }
    }
    const uint32_t kept = root.literal ? n : TrimmedLength(part, n);
    if (kept == 0) continue;
    uint32_t at = out->length();
    if (at > base) {
      if (!out->Append("\\")) return false;
      ++at;
    }
    if (parts == kMaxParts || !out->AppendN(part, kept)) return false;
    starts[parts++] = static_cast<uint16_t>(at > base ? at - 1 : at);
  }
  return true;
}

bool SubstituteDrive(const char* target, LeadByteTest is_lead_byte, PathString* path) {
  const char* p = path->c_str();
  if (!IsLetter(p[0]) || p[1] != ':' || !IsSeparator(p[2])) return false;
  if (!EqualsIgnoreAsciiCase(target, "\\??\\", 4) || !IsLetter(target[4]) || target[5] != ':') {
    return false;
  }
  PathString joined;
  if (!joined.Assign(target + 4) || !joined.Append("\\") || !joined.Append(p + 3)) return false;
  PathString read;
  uint32_t root = 0;
  if (!NormalizePath(joined.c_str(), is_lead_byte, PathForm::kOneSpelling, &read, &root)) {
    return false;
  }
  return path->Assign(read.c_str());
}

bool AnyDirectoryOnTheWay(PathString* path, uint32_t root, LeadByteTest is_lead_byte,
                          bool (*visit)(const char* directory, void* context), void* context) {
  char* text = path->data();
  for (uint32_t i = root; text[i] != '\0'; ++i) {
    if (is_lead_byte(static_cast<uint8_t>(text[i])) && text[i + 1] != '\0') {
      ++i;
      continue;
    }
    if (text[i] != '\\') continue;
    text[i] = '\0';
    const bool stop = visit(text, context);
    text[i] = '\\';
    if (stop) return true;
  }
  return false;
}

}  // namespace kiv
