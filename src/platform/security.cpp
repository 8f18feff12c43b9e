// Access lists: the run lock's, the elevated run's, the private
// directory's; see win32.h.
#include "platform/win32.h"

#include <windows.h>
#include "platform/named_calls.h"

namespace kiv::platform {

namespace {

constexpr char kAdministrators[] = "S-1-5-32-544";
constexpr char kSystem[] = "S-1-5-18";

// The private directory's security: owned by Administrators, then its
// access list (kPrivateAccess): protected from inheritance, full access for
// SYSTEM and Administrators only, for the directory and all it will hold.
constexpr char kPrivateSecurity[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const char* kPrivateAccess = kPrivateSecurity + 4;  // past "O:BA"

// A security descriptor from its text, to be freed with LocalFree; looked
// up at run time, as the conversion came with Windows 2000. False where
// there is none or the text does not convert.
bool SecurityFromText(const char* text, PSECURITY_DESCRIPTOR* descriptor) {
  auto from_sddl = LookUpAs<BOOL(WINAPI*)(LPCSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG)>(
      "advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA");
  return from_sddl && from_sddl(text, 1 /* SDDL_REVISION_1 */, descriptor, nullptr);
}

// A SID as text ("S-1-5-..."), from the looked-up conversion of Windows 2000
// and later; false where there is none.
bool SidText(PSID sid, LongString* text) {
  auto to_text = LookUpAs<BOOL(WINAPI*)(PSID, LPSTR*)>("advapi32.dll", "ConvertSidToStringSidA");
  char* converted = nullptr;
  if (!to_text || !to_text(sid, &converted)) return false;
  const bool fits = text->Assign(converted);
  LocalFree(converted);
  return fits;
}

// One piece of the process token's information (GetTokenInformation's
// class) into buffer; false where the calls are missing (Windows 95 has only
// stubs of them) or it fails.
bool TokenInformation(int kind, void* buffer, uint32_t size) {
  auto open_token =
      LookUpAs<BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE)>("advapi32.dll", "OpenProcessToken");
  auto token_info = LookUpAs<BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD, PDWORD)>(
      "advapi32.dll", "GetTokenInformation");
  HANDLE token = nullptr;
  if (!open_token || !token_info || !open_token(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD got = 0;
  const bool ok = token_info(token, kind, buffer, size, &got) != FALSE;
  CloseHandle(token);
  return ok;
}

// The process token's user as text.
bool UserSidText(LongString* text) {
  // A TOKEN_USER: the SID's pointer, then the SID itself.
  alignas(8) uint8_t user[256];
  return TokenInformation(1 /* TokenUser */, user, sizeof(user)) &&
         SidText(*reinterpret_cast<PSID*>(user), text);
}

// The owner of a kernel object is this user, Administrators or SYSTEM.
bool OwnedByUs(HANDLE object, const char* user) {
  auto get_security = LookUpAs<BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR,
                                              DWORD, LPDWORD)>("advapi32.dll",
                                                               "GetKernelObjectSecurity");
  auto get_owner = LookUpAs<BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, PSID*, LPBOOL)>(
      "advapi32.dll", "GetSecurityDescriptorOwner");
  alignas(8) uint8_t descriptor[512];
  DWORD size = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  LongString text;
  if (!get_security || !get_owner ||
      !get_security(object, OWNER_SECURITY_INFORMATION, descriptor, sizeof(descriptor), &size) ||
      !get_owner(descriptor, &owner, &defaulted) || owner == nullptr || !SidText(owner, &text)) {
    return false;
  }
  return SameTextIgnoringCase(text.c_str(), user) ||
         SameTextIgnoringCase(text.c_str(), kAdministrators) ||
         SameTextIgnoringCase(text.c_str(), kSystem);
}

// The lock's security: owned by us (Administrators when elevated, so every
// administrator's run meets it), protected, generic access for this user,
// Administrators and SYSTEM. False where it cannot be described.
bool LockSecurity(const char* user, PSECURITY_DESCRIPTOR* descriptor) {
  LongString sddl;
  if (!sddl.Append("O:") || !sddl.Append(IsElevatedRun() ? "BA" : user) ||
      !sddl.Append("D:P(A;;GA;;;") || !sddl.Append(user) ||
      !sddl.Append(")(A;;GA;;;BA)(A;;GA;;;SY)")) {
    return false;
  }
  return SecurityFromText(sddl.c_str(), descriptor);
}

NamedLock MakeLock(const char* name, PSECURITY_DESCRIPTOR descriptor, const char* user,
                   void** handle) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, TRUE};
  HANDLE lock = CreateMutexA(&attributes, FALSE, name);
  if (lock == nullptr) {
    // Denied: another user's. An invalid handle: the name stands for an
    // object of another type (an event, a semaphore, a section), which no
    // run of ours makes.
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ? NamedLock::kForeign
                                                                          : NamedLock::kUnavailable;
  }
  if (GetLastError() != ERROR_ALREADY_EXISTS) {
    // Kept open for the process's life: the system closes it at the end.
    *handle = lock;
    return NamedLock::kTaken;
  }
  const bool ours = user == nullptr || OwnedByUs(lock, user);
  CloseHandle(lock);
  return ours ? NamedLock::kHeld : NamedLock::kForeign;
}

}  // namespace

NamedLock TakeNamedLock(const char* name, void** handle) {
  *handle = nullptr;
  if (IsWindows95Family()) return MakeLock(name, nullptr, nullptr, handle);
  LongString user;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!UserSidText(&user) || !LockSecurity(user.c_str(), &descriptor)) {
    return NamedLock::kUnavailable;
  }
  // The namespace of every session, so a run of another session meets it;
  // NT 4 without Terminal Services has none, and takes the plain name.
  LongString global;
  NamedLock taken = NamedLock::kUnavailable;
  if (global.Assign("Global\\") && global.Append(name)) {
    taken = MakeLock(global.c_str(), descriptor, user.c_str(), handle);
  }
  if (taken == NamedLock::kUnavailable) taken = MakeLock(name, descriptor, user.c_str(), handle);
  LocalFree(descriptor);
  return taken;
}

bool IsOurLock(void* handle, const char* name) {
  if (handle == nullptr) return false;
  if (IsWindows95Family()) return true;
  using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  auto query = LookUpAs<QueryObject>("ntdll.dll", "NtQueryObject");
  // An OBJECT_NAME_INFORMATION: a UNICODE_STRING, then its letters.
  struct Name {
    USHORT length;  // bytes
    USHORT maximum;
    const WCHAR* letters;
  };
  alignas(8) uint8_t info[1024];
  ULONG size = 0;
  if (!query || query(handle, 1 /* ObjectNameInformation */, info, sizeof(info), &size) < 0) {
    return false;
  }
  const Name* object = reinterpret_cast<const Name*>(info);
  const uint32_t have = object->length / 2;
  const uint32_t want = LengthWithin(name, 0xFFFF);
  // The whole last part of the object's name: "...\<name>".
  if (object->letters == nullptr || have <= want || object->letters[have - want - 1] != L'\\') {
    return false;
  }
  for (uint32_t i = 0; i < want; ++i) {
    if (object->letters[have - want + i] != static_cast<WCHAR>(static_cast<uint8_t>(name[i]))) {
      return false;
    }
  }
  LongString user;
  return UserSidText(&user) && OwnedByUs(handle, user.c_str());
}

bool IsElevatedRun() {
  // TokenElevation came with Vista; the 95 family has no tokens at all.
  DWORD elevated = 0;
  return !IsWindows95Family() &&
         TokenInformation(20 /* TokenElevation */, &elevated, sizeof(elevated)) && elevated != 0;
}

bool CreatePrivateDirectory(const char* path) {
  if (!IsElevatedRun()) return named::CreateDirectory(path, nullptr) != FALSE;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Nothing inherited from the temporary directory; the owner is set once
  // the directory is held (TakePrivateDirectory).
  if (!SecurityFromText(kPrivateAccess, &descriptor)) {
    return false;  // elevated, yet no private directory can be made: no copy
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  bool made = named::CreateDirectory(path, &attributes) != FALSE;
  LocalFree(descriptor);
  return made;
}

namespace {

bool IsPlainDirectory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Sets owner and DACL through the handle.
bool TakePrivateDirectory(HANDLE directory) {
  auto set_security = LookUpAs<BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR)>(
      "advapi32.dll", "SetKernelObjectSecurity");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!set_security || !SecurityFromText(kPrivateSecurity, &descriptor)) {
    return false;
  }
  bool set = set_security(directory, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                          descriptor) != FALSE;
  LocalFree(descriptor);
  return set;
}

}  // namespace

bool HeldDirectory::Hold(const char* path) {
  Release();
  const bool elevated = IsElevatedRun();
  // No FILE_SHARE_DELETE: nobody can rename or delete it while we hold it.
  // FILE_FLAG_OPEN_REPARSE_POINT: a link put in its place is held as the
  // link, and refused below.
  const DWORD access =
      FILE_LIST_DIRECTORY | (elevated ? READ_CONTROL | WRITE_DAC | WRITE_OWNER : 0);
  HANDLE directory =
      named::CreateFile(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return false;
  handle_ = directory;
  // Held, the name can no longer lead anywhere else: asked by name, as Wine
  // shows a symbolic link's reparse attribute only that way.
  if (!IsPlainDirectory(named::GetFileAttributes(path)) ||
      (elevated && !TakePrivateDirectory(directory)) || !DirectoryIsEmpty(path)) {
    Release();
    return false;
  }
  return true;
}

void HeldDirectory::Release() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

}  // namespace kiv::platform
