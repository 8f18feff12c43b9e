// FixedString<N>: a NUL-terminated string in a fixed array of N bytes.
//
// Every write is bounded: Assign/Append return false and leave the contents
// unchanged when the result (with its NUL) would not fit. There is no
// constructor from a pointer, so nothing is copied without a check.
// Portable: no <windows.h>, no allocation, no C runtime calls; the stub, the
// companion tool and the tests share it.
#ifndef KIV_BASE_FIXED_STRING_H_
#define KIV_BASE_FIXED_STRING_H_

#include <stdint.h>

namespace kiv {

// Length of s, or limit when no NUL comes within limit bytes.
inline uint32_t LengthWithin(const char* s, uint32_t limit) {
  uint32_t n = 0;
  while (n < limit && s[n] != '\0') ++n;
  return n;
}

inline char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Compares n bytes folding ASCII A to Z only (the code page's other letters
// are left alone, as the profile functions of the era do).
inline bool EqualsIgnoreAsciiCase(const char* a, const char* b, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// The same bytes up to and with the NUL.
inline bool SameBytes(const char* a, const char* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// Index of the last backslash in s, or -1 when it holds none: where a path
// splits into its directory and its last part. In a double-byte code page
// the byte after a lead byte belongs to the same character even when it is
// 0x5C: is_lead_byte (IsDBCSLeadByte on Windows) tells which bytes lead.
inline int32_t LastBackslash(const char* s, bool (*is_lead_byte)(uint8_t)) {
  int32_t last = -1;
  for (int32_t i = 0; s[i] != '\0'; ++i) {
    if (is_lead_byte(static_cast<uint8_t>(s[i]))) {
      if (s[i + 1] == '\0') break;
      ++i;
    } else if (s[i] == '\\') {
      last = i;
    }
  }
  return last;
}

// Puts n bytes of s at data + at, then a NUL, when that fits capacity; false,
// changing nothing, when it does not. One body for every size (the stub
// counts its bytes).
[[gnu::noinline]] inline bool BoundedPut(char* data, uint32_t capacity, uint32_t at, const char* s,
                                         uint32_t n) {
  if (at >= capacity || n >= capacity - at) return false;
  for (uint32_t i = 0; i < n; ++i) data[at + i] = s[i];
  data[at + n] = '\0';
  return true;
}

template <uint32_t N>
class FixedString {
  static_assert(N >= 1, "room for the NUL");

 public:
  FixedString() { data_[0] = '\0'; }

  static constexpr uint32_t capacity() { return N; }
  const char* c_str() const { return data_; }
  char* data() { return data_; }
  uint32_t length() const { return LengthWithin(data_, N); }
  bool empty() const { return data_[0] == '\0'; }

  bool Assign(const char* s) { return BoundedPut(data_, N, 0, s, LengthWithin(s, N)); }
  bool Append(const char* s) { return AppendN(s, LengthWithin(s, N)); }
  // Appends exactly n bytes of s.
  bool AppendN(const char* s, uint32_t n) {
    return BoundedPut(data_, N, LengthWithin(data_, N), s, n);
  }
  // Cuts the string to n bytes (no-op when it is shorter).
  void Truncate(uint32_t n) {
    if (n < N) data_[n] = '\0';
  }
  void Clear() { data_[0] = '\0'; }

 private:
  char data_[N];
};

// A path as the stub handles it: up to 1,024 bytes with its NUL, as long as
// a Directory's or File's path in a file that names its code page may be
// (the system's plain calls take MAX_PATH of it, 260 with the NUL); a string
// field of the uninstall file (256 bytes with its NUL); and the 1,024-byte
// buffers for registry paths and data, the module name and the prompt.
using PathString = FixedString<1024>;
using ShortString = FixedString<256>;
using LongString = FixedString<1024>;

// Formats fmt into out, replacing each "%s" with the next of args and "%%"
// with "%". False, with out cleared, when the result does not fit or an
// argument is missing; nothing is ever written past out's capacity.
template <uint32_t N>
bool FormatS(FixedString<N>& out, const char* fmt, const char* const* args, uint32_t count) {
  out.Clear();
  uint32_t used = 0;
  for (const char* p = fmt; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (used >= count || !out.Append(args[used++])) {
        out.Clear();
        return false;
      }
      ++p;
    } else {
      const char* one = p;
      if (p[0] == '%' && p[1] == '%') ++p;
      if (!out.AppendN(one, 1)) {
        out.Clear();
        return false;
      }
    }
  }
  return true;
}

template <uint32_t N>
bool Format1(FixedString<N>& out, const char* fmt, const char* a) {
  const char* args[] = {a};
  return FormatS(out, fmt, args, 1);
}
template <uint32_t N>
bool Format2(FixedString<N>& out, const char* fmt, const char* a, const char* b) {
  const char* args[] = {a, b};
  return FormatS(out, fmt, args, 2);
}
template <uint32_t N>
bool Format3(FixedString<N>& out, const char* fmt, const char* a, const char* b, const char* c) {
  const char* args[] = {a, b, c};
  return FormatS(out, fmt, args, 3);
}

}  // namespace kiv

#endif  // KIV_BASE_FIXED_STRING_H_
