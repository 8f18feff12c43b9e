#include "run/registration.h"

#include "base/fixed_string.h"
#include "platform/win32.h"
#include "uninstall_file/names.h"

namespace kiv {

namespace {

// The two subkeys of the product's key, then the key itself.
constexpr const char* kRegistrationSubkeys[] = {"\\DisplayName", "\\UnInstallString", ""};

}  // namespace

void RemoveRegistration(const char* display_name) {
  const platform::RegKey root = platform::RootKey(kRegistrationRoot);
  for (const char* subkey : kRegistrationSubkeys) {
    LongString key;
    if (Format1(key, kUninstallKeyFormat, display_name) && key.Append(subkey)) {
      platform::RegDeleteKeyPath(root, key.c_str());
    }
  }
}

}  // namespace kiv
