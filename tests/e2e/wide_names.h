// Names in UTF-8 made real through the Unicode calls, whatever the
// system's code page: what the tests and the demo set up and look at.
#ifndef KIV_TESTS_E2E_WIDE_NAMES_H_
#define KIV_TESTS_E2E_WIDE_NAMES_H_

#include <windows.h>

#include <string>

namespace kiv::e2e {

inline std::wstring FromUtf8(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

inline bool WideFileExists(const std::string& utf8) {
  const DWORD a = GetFileAttributesW(FromUtf8(utf8).c_str());
  return a != INVALID_FILE_ATTRIBUTES;
}

inline bool SetWideValue(HKEY root, const std::string& key, const std::string& name,
                         const std::string& data) {
  HKEY k;
  if (RegCreateKeyExW(root, FromUtf8(key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::wstring value = FromUtf8(data);
  const LONG rc = RegSetValueExW(k, FromUtf8(name).c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
  return rc == ERROR_SUCCESS;
}

inline bool WideKeyExists(HKEY root, const std::string& key) {
  HKEY k;
  if (RegOpenKeyExW(root, FromUtf8(key).c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_WIDE_NAMES_H_
