#include "rules.h"

#include <stdio.h>

#include "base/code_page_text.h"
#include "base/path_rules.h"
#include "diagnostics.h"
#include "base/path_rules.h"
#include "uninstall_file/names.h"

namespace kivlog {

namespace {

// The first control character (0x00 to 0x1F, 0x7F) of bytes in any ANSI
// code page: a double-byte letter's second byte is never below 0x40.
std::optional<std::string> ControlCharacter(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x20 || b == 0x7F) {
      char text[96];
      snprintf(text, sizeof(text), "holds the control character U+%04X at byte %zu", b, i + 1);
      std::string why = text;
      if (b == '\t' || b == '\n' || b == '\r') {
        why += " (in JSON \"\\t\", \"\\n\" and \"\\r\" are a tab and line breaks: write a "
               "backslash as \"\\\\\")";
      }
      return why;
    }
  }
  return std::nullopt;
}

// The stub's own reading of where a path starts (base/path_rules.h), over
// bytes whose double-byte letters Separators has already made harmless.
bool NoLeadByte(uint8_t) { return false; }

// "%NAME%" in a path, the first one; empty when it holds none.
std::string FirstEnvironmentVariable(const std::string& p) {
  const size_t open = p.find('%');
  if (open == std::string::npos) return "";
  const size_t close = p.find('%', open + 1);
  if (close == std::string::npos || close == open + 1) return "";
  for (size_t i = open + 1; i < close; ++i) {
    const char c = p[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
          c == '_' || c == '(' || c == ')')) {
      return "";
    }
  }
  return p.substr(open, close - open + 1);
}

// What a path's %NAME% needs, for the message of a path that holds one.
std::string EnvironmentHint(const std::string& p) {
  const std::string name = FirstEnvironmentVariable(p);
  if (name.empty()) return "";
  return name + " is not expanded: the uninstall takes the path as written; give the path the "
                "installation resolved it to (C:\\Program Files\\...)";
}

// The predefined key an abbreviation or a wrong root names, as a hint.
std::string RootHint(const std::string& root) {
  static const std::pair<const char*, const char*> kAbbreviations[] = {
      {"hklm", "HKEY_LOCAL_MACHINE"}, {"hkcu", "HKEY_CURRENT_USER"},
      {"hkcr", "HKEY_CLASSES_ROOT"},  {"hku", "HKEY_USERS"}};
  std::string folded = root;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const size_t cut = folded.find_first_of("\\/:");
  const std::string head = folded.substr(0, cut);
  for (const auto& [abbreviation, name] : kAbbreviations) {
    if (head == abbreviation) {
      return std::string("write ") + name + (cut == std::string::npos ? "" : " alone, and the rest in \"path\"");
    }
  }
  if (cut != std::string::npos && kiv::RootIndex(root.substr(0, cut).c_str()) >= 0) {
    return "the root key's name alone; the rest goes in \"path\"";
  }
  if (head == "hkcc" || head == "hkey_current_config" || head == "hkey_performance_data" ||
      head == "hkpd" || head == "hkey_dyn_data" || head == "hkdd") {
    return "the uninstall knows no other root key";
  }
  return "";
}

// A part that names a device (NUL, CON.txt, COM1 ...): asked about alone,
// the directory of that name is the device, so the uninstall's link check
// cannot see where the path leads, and the stub refuses the whole file.
std::optional<std::string> DeviceFault(const std::string& bytes, uint32_t code_page) {
  if (!kiv::NamesDevice(reinterpret_cast<const uint8_t*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()), code_page, nullptr)) {
    return std::nullopt;
  }
  return "has a part named like a device (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0 to COM9, "
         "LPT0 to LPT9, with any extension): the system takes such a directory for the device, "
         "and the uninstall refuses the whole file as damaged";
}

const char* kFullPathHint = "not a full path; give one from a drive (C:\\...) or a share (\\\\server\\share\\...)";

// The fields that name something the uninstall looks for: a control
// character there can only be a slip (a "\t" in a JSON path), and the stub
// would look for a name nobody has.
// (The root has a rule of its own.)
const char* const kNameFields[] = {"path", "file", "section", "key", "name", "group", "item"};

}  // namespace

std::string EnvironmentVariable(const std::string& path) { return FirstEnvironmentVariable(path); }

bool IsFullPath(const std::string& path) { return kiv::IsFullPath(path.c_str(), NoLeadByte); }

std::optional<std::string> DisplayNameFault(const std::string& text) {
  // The uninstall deletes the key ...\Uninstall\<name>: an empty name would
  // name the Uninstall key itself, a backslash a key below another.
  if (text.empty()) return "empty";
  if (text.find('\\') != std::string::npos)
    return "holds a backslash, which a registry key name cannot";
  if (auto control = ControlCharacter(text)) return *control;
  return std::nullopt;
}

std::string Separators(const std::string& bytes, uint32_t code_page) {
  std::string out = bytes;
  for (size_t i = 0; i + 1 < out.size(); ++i) {
    if (kiv::LeadsDoubleByte(code_page, static_cast<uint8_t>(out[i]))) out[++i] = 'x';
  }
  return out;
}

std::vector<ManifestError> RecordFaults(const ManifestRecord& r, uint32_t code_page) {
  using kiv::RecordType;
  namespace id = error_id;
  std::vector<ManifestError> faults;
  const auto fault = [&](const char* field, const char* error, const std::string& message,
                         const std::string& hint = "") {
    faults.push_back({field, message, error, std::nullopt, hint});
  };
  // Control characters first: a name holding one is refused whatever else
  // it holds, and the other rules then say nothing more about it.
  bool control[sizeof(kNameFields) / sizeof(kNameFields[0])] = {};
  for (size_t i = 0; i < sizeof(kNameFields) / sizeof(kNameFields[0]); ++i) {
    const std::string* text = FieldText(r, kNameFields[i]);
    const bool used = text && !text->empty();
    if (!used) continue;
    // Only the fields of the record's own type are set.
    if (auto why = ControlCharacter(*text)) {
      control[i] = true;
      // Program Manager names have their own rule below, which names this too.
      if (r.type != RecordType::kShellItem && r.type != RecordType::kShellGroup) {
        fault(kNameFields[i], id::kControlCharacter, *why);
      }
    }
  }
  const bool path_control = control[0], file_control = control[1];
  switch (r.type) {
    case RecordType::kDirectory:
    case RecordType::kFile:
    case RecordType::kSharedFile:
    case RecordType::kKeptFile:
      if (r.path.empty()) {
        fault("path", id::kEmpty, "empty");
      } else if (!path_control && !IsFullPath(Separators(r.path, code_page))) {
        fault("path", id::kNotFullPath, kFullPathHint, EnvironmentHint(r.path));
      } else if (auto why = DeviceFault(r.path, code_page)) {
        fault("path", id::kDeviceName, *why);
      }
      break;
    case RecordType::kIniEntry:
      if (r.file.empty()) {
        fault("file", id::kEmpty, "empty");
      } else if (const std::string file = Separators(r.file, code_page);
                 !file_control && !IsFullPath(file) &&
                 file.find_first_of("\\/:") != std::string::npos) {
        // A bare name is found in the Windows directory; a relative path
        // would depend on the uninstall's current directory.
        fault("file", id::kNotFullPath,
              "not a full path; give a bare file name (WIN.INI, found in the Windows "
              "directory) or one from a drive (C:\\...) or a share (\\\\server\\share\\...)",
              EnvironmentHint(r.file));
      } else if (auto why = DeviceFault(r.file, code_page)) {
        fault("file", id::kDeviceName, *why);
      }
      if (r.section.empty()) fault("section", id::kEmpty, "empty");
      if (r.key.empty()) fault("key", id::kEmpty, "empty");
      if (r.flag && !r.section.empty() && r.section[0] != '[') {
        fault("section", id::kNeverMatches,
              "with flag true the section is the header line as the file spells it, "
              "brackets included ([Fonts]); without its '[' it never matches one");
      }
      if (r.value.find_first_of("\r\n") != std::string::npos) {
        fault("value", id::kControlCharacter, "holds a line break, which ends the line in the file");
      }
      break;
    case RecordType::kRegistryValue:
      // The stub's own test of the root, so kivlog refuses what it would.
      if (r.root.find('\0') != std::string::npos || kiv::RootIndex(r.root.c_str()) < 0) {
        fault("root", id::kRoot,
              "not one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS",
              RootHint(r.root));
      }
      if (r.path.empty()) {
        fault("path", id::kEmpty, "empty: it would name the root key's own default value");
      } else if (r.path[0] == '\\') {
        fault("path", id::kNeverMatches,
              "starts with a backslash; a key path starts below the root (Software\\...)");
      }
      break;
    case RecordType::kFont:
      // The uninstall appends " (TrueType)" to the name within 256 bytes.
      if (r.name.empty()) fault("name", id::kEmpty, "empty");
      if (r.name.size() > kiv::kFontNameLimit - 1) {
        fault("name", id::kTooLong,
              "longer than " + std::to_string(kiv::kFontNameLimit - 1) + " bytes");
      }
      if (r.file.empty()) fault("file", id::kEmpty, "empty");
      break;
    // Program Manager names that would change the command are passed over.
    case RecordType::kShellItem:
    case RecordType::kShellGroup:
      if (!kiv::IsSafeGroupName(r.group.c_str())) {
        fault("group", id::kProgramManagerName, "empty, or holds a quote or a control character");
      }
      if (r.type == RecordType::kShellItem && !kiv::IsSafeItemName(r.item.c_str())) {
        fault("item", id::kProgramManagerName,
              "empty, or holds a quote, parenthesis, bracket, comma or control character");
      }
      break;
    case RecordType::kEndOfLog:
    case RecordType::kUnused5: break;
  }
  return faults;
}

}  // namespace kivlog
