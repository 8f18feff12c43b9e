// Message boxes, whether anybody can see one, the message pump; see win32.h.
#include "platform/win32.h"

#include <windows.h>
#include "platform/named_calls.h"

namespace kiv::platform {

// What win32.h copies of <windows.h>, checked where both are seen.
static_assert(kBoxOk == MB_OK && kBoxYesNo == MB_YESNO && kIconError == MB_ICONERROR &&
              kIconQuestion == MB_ICONQUESTION && kIconExclamation == MB_ICONEXCLAMATION &&
              kIconInformation == MB_ICONINFORMATION);
static_assert(static_cast<int>(BoxAnswer::kOk) == IDOK &&
              static_cast<int>(BoxAnswer::kYes) == IDYES &&
              static_cast<int>(BoxAnswer::kNo) == IDNO);

namespace {
// Constant-initialised: valid before any start-up code runs.
bool g_silent = false;  // a silent run: no box
}  // namespace

void SuppressMessages() { g_silent = true; }

BoxAnswer ShowMessage(const char* text, uint32_t style) {
  if (g_silent) return BoxAnswer::kNotShown;
  return static_cast<BoxAnswer>(named::MessageBox(text, kCaption, style));
}

void PumpMessagesAndWait(uint32_t pause_ms) {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  // Sleeps until input arrives or the pause ends, so the retry never spins.
  MsgWaitForMultipleObjects(0, nullptr, FALSE, pause_ms, QS_ALLINPUT);
}

DesktopFacts ReadDesktopFacts() {
  DesktopFacts facts;
  OSVERSIONINFOA version;
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return facts;
  facts.nt_family = true;
  facts.major_version = version.dwMajorVersion;
  // Looked up: the 95 family's user32 has neither; sessions came with
  // Windows 2000.
  auto get_station = LookUpAs<HWINSTA(WINAPI*)()>("user32.dll", "GetProcessWindowStation");
  auto get_info = LookUpAs<BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD)>(
      "user32.dll", "GetUserObjectInformationA");
  USEROBJECTFLAGS flags = {};
  DWORD size = 0;
  HWINSTA station = get_station ? get_station() : nullptr;
  if (station && get_info && get_info(station, UOI_FLAGS, &flags, sizeof(flags), &size)) {
    facts.station_known = true;
    facts.station_visible = (flags.dwFlags & WSF_VISIBLE) != 0;
  }
  auto session_of = LookUpAs<BOOL(WINAPI*)(DWORD, DWORD*)>("kernel32.dll", "ProcessIdToSessionId");
  DWORD session = 0;
  if (session_of && session_of(GetCurrentProcessId(), &session)) {
    facts.session_known = true;
    facts.session = session;
  }
  return facts;
}

}  // namespace kiv::platform
