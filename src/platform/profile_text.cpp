// See profile_text.h.
#include "platform/profile_text.h"

#include "platform/named_calls.h"
#include "platform/win32.h"

namespace kiv::platform {

namespace {

using CharUpperBuffWide = DWORD(WINAPI*)(LPWSTR, DWORD);
// Constant-initialised; looked up at the first fold on the NT family.
CharUpperBuffWide g_char_upper_wide = nullptr;

}  // namespace

bool ToProfileText(const char* text, char* buffer, uint32_t capacity) {
  return named::ToSystemCodePage(text, buffer, capacity);
}

uint32_t FoldProfileText(const char* text, uint32_t length, char* out, uint32_t capacity) {
  if (IsWindows95Family()) {
    if (length >= capacity) return 0;
    for (uint32_t i = 0; i < length; ++i) out[i] = text[i];
    CharUpperBuffA(out, length);
    return length;
  }
  if (g_char_upper_wide == nullptr) {
    g_char_upper_wide = LookUpAs<CharUpperBuffWide>("user32.dll", "CharUpperBuffW");
    if (g_char_upper_wide == nullptr) return 0;
  }
  // The letters straight into out, two bytes each.
  WCHAR* wide = reinterpret_cast<WCHAR*>(out);
  const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide,
                                        static_cast<int>(capacity / sizeof(WCHAR)));
  if (units <= 0) return 0;
  g_char_upper_wide(wide, static_cast<DWORD>(units));
  return static_cast<uint32_t>(units) * sizeof(WCHAR);
}

}  // namespace kiv::platform
