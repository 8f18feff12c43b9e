#include "rules.h"

#include "uninstall_file/names.h"

namespace kivlog {

std::optional<std::string> DisplayNameFault(const std::string& text) {
  // The uninstall deletes the key ...\Uninstall\<name>: an empty name would
  // name the Uninstall key itself, a backslash a key below another.
  if (text.empty()) return "empty";
  if (text.find('\\') != std::string::npos)
    return "holds a backslash, which a registry key name cannot";
  return std::nullopt;
}

std::optional<ManifestError> RecordFault(const ManifestRecord& r) {
  using kiv::RecordType;
  switch (r.type) {
    case RecordType::kRegistryValue: {
      // The stub's own test of the root, so kivlog refuses what it would.
      if (r.root.find('\0') == std::string::npos && kiv::RootIndex(r.root.c_str()) >= 0) {
        return std::nullopt;
      }
      return ManifestError{"root",
                           "not one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, "
                           "HKEY_LOCAL_MACHINE, HKEY_USERS"};
    }
    case RecordType::kFont:
      // The uninstall appends " (TrueType)" to the name within 256 bytes.
      if (r.name.size() > kiv::kFontNameLimit - 1) {
        return ManifestError{"name",
                             "longer than " + std::to_string(kiv::kFontNameLimit - 1) + " bytes"};
      }
      return std::nullopt;
    // Program Manager names that would change the command are passed over.
    case RecordType::kShellItem:
    case RecordType::kShellGroup:
      if (!kiv::IsSafeGroupName(r.group.c_str())) {
        return ManifestError{"group", "empty, or holds a quote or a control character"};
      }
      if (r.type == RecordType::kShellItem && !kiv::IsSafeItemName(r.item.c_str())) {
        return ManifestError{
            "item", "empty, or holds a quote, parenthesis, bracket, comma or control character"};
      }
      return std::nullopt;
    default: return std::nullopt;
  }
}

}  // namespace kivlog
