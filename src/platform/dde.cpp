// Program Manager's DDE conversation; see win32.h.
#include "platform/win32.h"

#include "platform/named_calls.h"

#include <windows.h>
#include <ddeml.h>

namespace kiv::platform {

namespace {
HDDEDATA CALLBACK DdeCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  return nullptr;
}
}  // namespace

bool DdeStart(uint32_t* instance) {
  DWORD id = 0;
  const UINT rc = DdeInitializeA(&id, DdeCallback, APPCMD_CLIENTONLY, 0);
  *instance = id;
  return rc == DMLERR_NO_ERROR;
}

void* DdeMakeName(uint32_t instance, const char* name) {
  // Program Manager speaks the system's code page: a name it cannot spell
  // exactly is never sent, mangled or not.
  char text[1024];
  if (!named::ToSystemCodePage(name, text, sizeof(text))) return nullptr;
  return DdeCreateStringHandleA(instance, text, CP_WINANSI);
}

void* DdeOpenConversation(uint32_t instance, void* service, void* topic) {
  return DdeConnect(instance, static_cast<HSZ>(service), static_cast<HSZ>(topic), nullptr);
}

bool DdeExecute(uint32_t instance, void* conversation, const char* names_text,
                uint32_t timeout_ms) {
  char text[1024];
  if (!named::ToSystemCodePage(names_text, text, sizeof(text))) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  DWORD length = lstrlenA(text) + 1;
  HDDEDATA data = DdeCreateDataHandle(instance, reinterpret_cast<LPBYTE>(const_cast<char*>(text)),
                                      length, 0, nullptr, CF_TEXT, 0);
  if (!data) return false;
  DWORD result = 0;
  // With the length 0xFFFFFFFF the data is a handle, which passes to the system.
  return DdeClientTransaction(reinterpret_cast<LPBYTE>(data), 0xFFFFFFFF,
                              static_cast<HCONV>(conversation), nullptr, 0, XTYP_EXECUTE,
                              timeout_ms, &result) != nullptr;
}

uint32_t DdeRequestText(uint32_t instance, void* conversation, const char* item, char* buffer,
                        uint32_t capacity, uint32_t timeout_ms) {
  HSZ name = DdeCreateStringHandleA(instance, item, CP_WINANSI);
  if (!name) return 0;
  DWORD result = 0;
  HDDEDATA data = DdeClientTransaction(nullptr, 0, static_cast<HCONV>(conversation), name, CF_TEXT,
                                       XTYP_REQUEST, timeout_ms, &result);
  DdeFreeStringHandle(instance, name);
  if (!data) return 0;
  const DWORD size = DdeGetData(data, nullptr, 0, 0);
  uint32_t length = 0;
  if (size > 0 && size < capacity) {
    DdeGetData(data, reinterpret_cast<LPBYTE>(buffer), size, 0);
    buffer[size] = '\0';
    length = static_cast<uint32_t>(lstrlenA(buffer));
  }
  DdeFreeDataHandle(data);
  return length;
}

void DdeFreeName(uint32_t instance, void* name) {
  DdeFreeStringHandle(instance, static_cast<HSZ>(name));
}

void DdeCloseConversation(void* conversation) { DdeDisconnect(static_cast<HCONV>(conversation)); }

void DdeStop(uint32_t instance) { DdeUninitialize(instance); }

}  // namespace kiv::platform
