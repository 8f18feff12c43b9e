#include "stub_rules.h"

#include "uninstall_file/layout.h"

namespace kivlog {

namespace {

using kiv::RecordType;

bool SameAscii(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The directories of a full path "X:\first\second\...", as far as asked.
// Only these plain ASCII names are compared, so a double-byte code page's
// trail bytes, which come later if at all, cannot be taken for separators.
std::vector<std::string> LeadingDirectories(const std::string& path, size_t count) {
  std::vector<std::string> parts;
  const bool drive = path.size() >= 3 &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                     path[1] == ':' && IsSeparator(path[2]);
  if (!drive) return parts;
  size_t p = 3;
  while (parts.size() < count && p < path.size()) {
    size_t end = p;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    parts.push_back(path.substr(p, end - p));
    p = end + 1;
  }
  return parts;
}

enum class Place { kElsewhere, kWindows, kSysnative, kProgramFiles };

// Where a path lies, by the usual names of the Windows directory and the
// program directories (the names a machine really uses are not known here).
Place PlaceOf(const std::string& path) {
  const std::vector<std::string> d = LeadingDirectories(path, 2);
  if (d.empty()) return Place::kElsewhere;
  if (SameAscii(d[0], "Windows") || SameAscii(d[0], "WINNT")) {
    return d.size() > 1 && SameAscii(d[1], "Sysnative") ? Place::kSysnative : Place::kWindows;
  }
  if (SameAscii(d[0], "Program Files") || SameAscii(d[0], "Program Files (x86)")) {
    return Place::kProgramFiles;
  }
  return Place::kElsewhere;
}

// A bare file name: the profile functions look for it in the Windows directory.
bool IsBareFileName(const std::string& file) {
  if (file.size() >= 2 && file[1] == ':') return false;
  for (char c : file) {
    if (IsSeparator(c)) return false;
  }
  return true;
}

}  // namespace

StubRules::StubRules(const StubKind& stub)
    : stub_(stub),
      who_(DescribeStub(stub)),
      per_user_(stub.level == StubLevel::kAsInvoker),
      admin_only_(", which only administrators may change: " + who_ + " never has their rights") {}

void StubRules::Record(size_t i, const ManifestRecord& r, std::vector<StubWarning>* warnings) const {
  const StubKind& stub = stub_;
  const std::string& who = who_;
  const bool per_user = per_user_;
  const std::string& admin_only = admin_only_;
  const auto add = [&](size_t index, const char* field, const std::string& message) {
    warnings->push_back({index, field, message});
  };
  const auto place_warning = [&](size_t index, const char* field, const std::string& path) {
    const Place place = PlaceOf(path);
    if (place == Place::kSysnative && stub.machine == StubMachine::kX86_64) {
      add(index, field,
          "Sysnative exists for 32-bit programs only: " + who +
              " finds these files under System32");
    }
    if (!per_user) return;
    if (place == Place::kWindows || place == Place::kSysnative) {
      add(index, field, "lies in the Windows directory" + admin_only);
    } else if (place == Place::kProgramFiles) {
      add(index, field,
          "lies in Program Files" + admin_only +
              "; install a per-user product in the user's "
              "profile");
    }
  };

  switch (r.type) {
    case RecordType::kDirectory:
    case RecordType::kFile: place_warning(i, "path", r.path); break;
    case RecordType::kIniEntry:
      if (per_user && IsBareFileName(r.file)) {
        add(i, "file", "a bare file name lies in the Windows directory" + admin_only);
      } else {
        place_warning(i, "file", r.file);
      }
      break;
    case RecordType::kRegistryValue:
      if (!per_user) break;
      if (SameAscii(r.root, "HKEY_LOCAL_MACHINE")) {
        add(i, "root",
            "HKEY_LOCAL_MACHINE" + admin_only +
                "; keep a per-user product's keys under HKEY_CURRENT_USER");
      } else if (SameAscii(r.root, "HKEY_USERS")) {
        // The user's own hive is HKEY_CURRENT_USER, and an installer that
        // runs as the user names it so.
        add(i, "root",
            "HKEY_USERS holds other users' keys" + admin_only +
                "; keep a per-user product's keys under HKEY_CURRENT_USER");
      } else if (SameAscii(r.root, "HKEY_CLASSES_ROOT")) {
        add(i, "root",
            "HKEY_CLASSES_ROOT writes to HKEY_LOCAL_MACHINE\\Software\\Classes where the "
            "user's own classes hold no such key" +
                admin_only + "; name HKEY_CURRENT_USER and Software\\Classes\\... instead");
      }
      break;
    case RecordType::kFont:
      if (per_user) {
        add(i, "name",
            "a font's registration lies under HKEY_LOCAL_MACHINE" + admin_only +
                "; log a per-user font as its file and registry value instead");
      }
      break;
    case RecordType::kEndOfLog:
    case RecordType::kUnused5:
    case RecordType::kShellItem:
    case RecordType::kShellGroup: break;
  }
}

std::vector<StubWarning> StubWarnings(const StubKind& stub,
                                      const std::vector<ManifestRecord>& records) {
  std::vector<StubWarning> warnings;
  const StubRules rules(stub);
  for (size_t i = 0; i < records.size(); ++i) rules.Record(i, records[i], &warnings);
  return warnings;
}

}  // namespace kivlog
