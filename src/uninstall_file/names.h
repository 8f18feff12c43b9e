// The rules on names that the stub applies when it undoes a record and that
// kivlog applies before it writes one, in one place: the registry roots a
// record may name, and the Program Manager names that can go into a command.
//
// Pure: no <windows.h>, no allocation.
#ifndef KIV_UNINSTALL_FILE_NAMES_H_
#define KIV_UNINSTALL_FILE_NAMES_H_

#include <stdint.h>

#include "base/fixed_string.h"
#include "uninstall_file/layout.h"

namespace kiv {

// An IniEntry's prior (with flag false) that marks a key the installation
// created: the uninstall removes the key rather than set it back. Compared
// byte for byte, so "<NULL>" is old text like any other.
inline constexpr char kCreatedKeyMarker[] = "<null>";

// The roots a RegistryValue record may name, in the order of their
// predefined handle values (HKEY_CLASSES_ROOT is the first); compared
// without regard to ASCII case.
inline constexpr const char* kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                             "HKEY_LOCAL_MACHINE", "HKEY_USERS"};
inline constexpr uint32_t kRootCount = sizeof(kRootNames) / sizeof(kRootNames[0]);
// HKEY_CURRENT_USER's and HKEY_LOCAL_MACHINE's places among them: a per-user
// product's uninstall registration lives in the first, a per-machine one's
// and the font keys in the second.
inline constexpr uint32_t kCurrentUserRoot = 1;
inline constexpr uint32_t kLocalMachineRoot = 2;

// The index of root among kRootNames, or -1 when it names none.
inline int RootIndex(const char* root) {
  const uint32_t length = LengthWithin(root, kStringLimit);
  for (uint32_t i = 0; i < kRootCount; ++i) {
    if (LengthWithin(kRootNames[i], kStringLimit) == length &&
        EqualsIgnoreAsciiCase(root, kRootNames[i], length)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// True when name holds no control character and none of refused.
inline bool HoldsNone(const char* name, const char* refused) {
  for (const char* p = name; *p; ++p) {
    if (static_cast<unsigned char>(*p) < ' ') return false;
    for (const char* r = refused; *r; ++r) {
      if (*p == *r) return false;
    }
  }
  return true;
}

// Whether a name can go into a Program Manager command without changing
// what the command does. An empty group name would make the server act on
// the Programs folder itself (DeleteGroup("") removes every group of the
// user); a quote ends a quoted name early, and a closing parenthesis or
// bracket or a comma ends an unquoted one, letting the rest of the name run
// as commands of its own. Records with such names are passed over.
inline bool IsSafeGroupName(const char* group) {
  return group[0] != '\0' && HoldsNone(group, "\"");
}
inline bool IsSafeItemName(const char* item) {
  return item[0] != '\0' && HoldsNone(item, "\")],[");
}

}  // namespace kiv

#endif  // KIV_UNINSTALL_FILE_NAMES_H_
