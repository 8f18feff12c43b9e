#include "registration.h"

#include <time.h>

#include <algorithm>
#include <sstream>

#include "code_page.h"
#include "command_common.h"
#include "file_ops.h"
#include "rules.h"
#include "stream_source.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kivlog {

namespace {

using Json = nlohmann::json;

constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

Diagnostic Fault(const char* id, const std::string& field, const std::string& message,
                 const std::string& hint = {}) {
  return {Severity::kError, id, field, message, std::nullopt, hint};
}

bool HasControlCharacter(const std::string& text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return true;
  }
  return false;
}

// YYYYMMDD of a real day (years 1980 to 2999: what the list of programs
// shows as a date).
bool IsDate(const std::string& text) {
  if (text.size() != 8) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const int year = std::stoi(text.substr(0, 4));
  const int month = std::stoi(text.substr(4, 2));
  const int day = std::stoi(text.substr(6, 2));
  if (year < 1980 || year > 2999 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= (month == 2 && !leap ? 28 : kDays[month - 1]);
}

// "a" -> "\"a\"" as a .reg file writes a string.
std::string RegString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

RegistrationDetails ReadRegistrationDetails(const Json& object, std::vector<Diagnostic>* faults) {
  RegistrationDetails d;
  if (!object.is_object()) {
    faults->push_back(Fault(error_id::kWrongKind, "", "the details must be a JSON object"));
    return d;
  }
  struct Text {
    const char* name;
    std::string* to;
  };
  const Text texts[] = {{"version", &d.version},
                        {"publisher", &d.publisher},
                        {"install_location", &d.install_location},
                        {"display_icon", &d.display_icon},
                        {"url_info_about", &d.url_info_about},
                        {"install_date", &d.install_date},
                        {"path", &d.path}};
  for (const auto& [key, value] : object.items()) {
    bool known = false;
    for (const Text& t : texts) {
      if (key != t.name) continue;
      known = true;
      if (!value.is_string()) {
        faults->push_back(Fault(error_id::kWrongKind, key, "must be a string"));
      } else {
        *t.to = value.get<std::string>();
      }
    }
    if (key == "estimated_size_kib" || key == "language") {
      known = true;
      if (!value.is_number_unsigned() || value.get<uint64_t>() > 0xFFFFFFFFull ||
          (key == "language" && value.get<uint64_t>() > 0xFFFF)) {
        faults->push_back(Fault(error_id::kWrongKind, key,
                                key == "language" ? "must be a Windows language id (1033, 1031, ...)"
                                                  : "must be a whole number of KiB"));
      } else {
        (key == "language" ? d.language : d.estimated_size_kib) = value.get<uint32_t>();
      }
    }
    if (key == "allow_missing") {
      known = true;
      if (!value.is_boolean()) {
        faults->push_back(Fault(error_id::kWrongKind, key, "must be true or false"));
      } else {
        d.allow_missing = value.get<bool>();
      }
    }
    if (!known) faults->push_back(Fault(error_id::kUnknownField, key, "not a registration field"));
  }
  return d;
}

std::vector<Diagnostic> PlanRegistration(const StubKind& kind, const std::string& display_name,
                                         const std::string& name_bytes, uint32_t name_code_page,
                                         const std::string& uninstall_path,
                                         const RegistrationDetails& details,
                                         const std::string& today, RegistrationEntry* entry) {
  std::vector<Diagnostic> faults;
  const bool per_user = kind.level == StubLevel::kAsInvoker;
  if (kind.machine == StubMachine::kUnknown ||
      (kind.level != StubLevel::kAsInvoker && kind.level != StubLevel::kRequireAdministrator)) {
    faults.push_back(Fault(error_id::kStub, "",
                           "the stub is " + DescribeStub(kind) +
                               ": not one of the shipped stubs, so where it removes the "
                               "registration is not known"));
  }
  if (!IsFullPath(uninstall_path) || uninstall_path.find('"') != std::string::npos) {
    faults.push_back(Fault(error_id::kNotFullPath, "path",
                           "not a full Windows path: \"" + uninstall_path + "\"",
                           "the uninstall file's path on the installing machine, as "
                           "\"C:\\Program Files\\Product\\uninstall.exe\""));
  }
  // What package managers need to list and match the product.
  const struct {
    const char* field;
    const std::string& value;
    const char* why;
  } needed[] = {
      {"version", details.version,
       "package managers skip or show as \"Unknown\" an entry without DisplayVersion"},
      {"publisher", details.publisher, "package managers match products on Publisher"},
  };
  for (const auto& n : needed) {
    if (n.value.empty() && !details.allow_missing) {
      faults.push_back(Fault(error_id::kRegistration, n.field, std::string("missing: ") + n.why,
                             "give it, or allow_missing (--allow-missing) to write the "
                             "entry without it"));
    }
  }
  const std::string texts[] = {details.version,       details.publisher,
                               details.install_location, details.display_icon,
                               details.url_info_about};
  const char* names[] = {"version", "publisher", "install_location", "display_icon",
                         "url_info_about"};
  for (size_t i = 0; i < std::size(texts); ++i) {
    if (HasControlCharacter(texts[i])) {
      faults.push_back(Fault(error_id::kControlCharacter, names[i],
                             "holds a control character, which the list of programs shows raw"));
    }
  }
  if (!details.install_location.empty() && !IsFullPath(details.install_location)) {
    faults.push_back(Fault(error_id::kNotFullPath, "install_location", "not a full Windows path"));
  }
  const std::string date = details.install_date.empty() ? today : details.install_date;
  if (!IsDate(date)) {
    faults.push_back(
        Fault(error_id::kRegistration, "install_date", "not a date as YYYYMMDD: \"" + date + "\""));
  }
  if (!faults.empty()) return faults;

  RegistrationEntry e;
  e.per_user = per_user;
  e.view_64bit = kind.machine == StubMachine::kX86_64;
  e.key = std::string(kUninstallKey) + display_name;
  e.name_bytes = name_bytes;
  e.name_code_page = name_code_page;
  const auto text = [&](const char* name, const std::string& value) {
    if (!value.empty()) e.values.push_back({name, false, value, 0});
  };
  const auto number = [&](const char* name, uint32_t value) {
    e.values.push_back({name, true, "", value});
  };
  const std::string quoted = "\"" + uninstall_path + "\"";
  text("DisplayName", display_name);
  text("UninstallString", quoted);
  text("QuietUninstallString", quoted + " /S");
  text("DisplayVersion", details.version);
  text("Publisher", details.publisher);
  const size_t slash = uninstall_path.find_last_of("\\/");
  text("InstallLocation", details.install_location.empty()
                              ? uninstall_path.substr(0, slash == 2 ? 3 : slash)
                              : details.install_location);
  text("DisplayIcon", details.display_icon);
  if (details.estimated_size_kib) number("EstimatedSize", *details.estimated_size_kib);
  text("InstallDate", date);
  // The uninstall file removes; it neither changes nor repairs.
  number("NoModify", 1);
  number("NoRepair", 1);
  if (details.language) number("Language", *details.language);
  text("URLInfoAbout", details.url_info_about);
  *entry = std::move(e);
  return faults;
}

std::string RegistrationText(const RegistrationEntry& entry) {
  std::string out = "Windows Registry Editor Version 5.00\n\n";
  if (entry.per_user) {
    out += "; the current user's list (the per-user stub removes it there)\n";
  } else {
    out += entry.view_64bit ? "; the 64-bit registry view\n"
                            : "; the 32-bit registry view (on 64-bit Windows: "
                              "HKEY_LOCAL_MACHINE\\Software\\WOW6432Node\\...)\n";
  }
  out += std::string("[") + (entry.per_user ? "HKEY_CURRENT_USER\\" : "HKEY_LOCAL_MACHINE\\") +
         entry.key + "]\n";
  for (const RegistryValue& v : entry.values) {
    out += RegString(v.name) + "=";
    if (v.is_number) {
      char hex[16];
      snprintf(hex, sizeof(hex), "dword:%08x", v.number);
      out += hex;
    } else {
      out += RegString(v.text);
    }
    out += '\n';
  }
  return out;
}

std::string Today() {
  const time_t now = time(nullptr);
  struct tm local = {};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[16];
  strftime(text, sizeof(text), "%Y%m%d", &local);
  return text;
}

#ifdef _WIN32

namespace {

std::string Message(LONG code) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s.empty() ? "error " + std::to_string(code) : s;
}

// The view flag for a per-machine key: none on a system without views (a
// 32-bit Windows), where there is only one.
REGSAM ViewFlag(bool view_64bit) {
#ifdef _WIN64
  return view_64bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
#else
  using IsWow64 = BOOL(WINAPI*)(HANDLE, PBOOL);
  BOOL wow64 = FALSE;
  const auto is_wow64 = reinterpret_cast<IsWow64>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process")));
  if (!is_wow64 || !is_wow64(GetCurrentProcess(), &wow64) || !wow64) return 0;
  return view_64bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
#endif
}

}  // namespace

bool WriteRegistration(const RegistrationEntry& entry, std::string* why) {
  // The fixed part, then the display name as the stub spells it.
  const std::wstring key =
      Wide(kUninstallKey, CP_UTF8) +
      Wide(entry.name_bytes, entry.name_code_page == 0 ? CP_ACP : entry.name_code_page);
  const HKEY root = entry.per_user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  const REGSAM view = entry.per_user ? 0 : ViewFlag(entry.view_64bit);
  HKEY handle = nullptr;
  LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                            &handle, nullptr);
  if (rc != ERROR_SUCCESS) {
    *why = std::string("cannot create the key under ") +
           (entry.per_user ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE") + ": " + Message(rc) +
           (entry.per_user || rc != ERROR_ACCESS_DENIED
                ? ""
                : " (a per-machine product is registered by an administrator)");
    return false;
  }
  for (const RegistryValue& v : entry.values) {
    const std::wstring name = Wide(v.name, CP_UTF8);
    if (v.is_number) {
      const DWORD number = v.number;
      rc = RegSetValueExW(handle, name.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&number), sizeof(number));
    } else {
      const std::wstring text = Wide(v.text, CP_UTF8);
      rc = RegSetValueExW(handle, name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    if (rc != ERROR_SUCCESS) {
      *why = "cannot write " + v.name + ": " + Message(rc);
      RegCloseKey(handle);
      return false;
    }
  }
  RegCloseKey(handle);
  return true;
}

#else

bool WriteRegistration(const RegistrationEntry&, std::string* why) {
  *why = "the entry goes into the Windows registry: run kivlog.exe on the installing machine "
         "(or give --print to see it)";
  return false;
}

#endif

}  // namespace kivlog

namespace kivlog {

namespace {

// FILE's own full path on the machine that runs kivlog, in UTF-8; empty when
// it has none (not Windows: the caller must say where the file lies).
std::string FullWindowsPath(const std::string& path) {
#ifdef _WIN32
  const std::wstring wide = Wide(path, CP_UTF8);
  wchar_t full[32768];
  const DWORD n = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
  if (n == 0 || n >= 32768) return {};
  const int m = WideCharToMultiByte(CP_UTF8, 0, full, static_cast<int>(n), nullptr, 0, nullptr,
                                    nullptr);
  std::string utf8(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, full, static_cast<int>(n), utf8.data(), m, nullptr, nullptr);
  return utf8;
#else
  (void)path;
  return {};
#endif
}

}  // namespace

bool PlanFileRegistration(kiv::RandomSource& source, const std::string& path,
                          const RegistrationDetails& details, Report& report,
                          RegistrationEntry* entry) {
  kiv::LogReader reader(source, LeadByteTestFor(kWindows1252));
  kiv::ChainVerdict verdict;
  std::ostringstream helper;
  if (!OpenSound(path, reader, &verdict, helper)) {
    report.Absorb(helper, error_id::kIo);
    return false;
  }
  const uint32_t named = NamedCodePage(source);
  const std::string bytes = reader.display_name();
  const std::string display_name = DecodeAnsi(bytes, named != 0 ? named : kWindows1252);
  // The stub's kind, from its headers and manifest at the file's start.
  uint64_t size = 0;
  source.Size(&size);
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 1u << 20)));
  head.resize(source.ReadAt(0, head.data(), static_cast<uint32_t>(head.size())));
  const StubKind kind = ReadStubKind(head.data(), head.size());
  const std::string uninstall_path = details.path.empty() ? FullWindowsPath(path) : details.path;
  if (uninstall_path.empty()) {
    report.Error(path, error_id::kNotFullPath,
                 "where the file lies on the installing machine is not known here: give its "
                 "path (--path \"C:\\...\\uninstall.exe\")");
    return false;
  }
  for (Diagnostic& d : PlanRegistration(kind, display_name, bytes, named, uninstall_path, details,
                                        Today(), entry)) {
    report.Add(path, nullptr, std::move(d));
  }
  return !report.HasErrors();
}

int Register(const std::string& path, const RegistrationDetails& details, bool print,
             const WarningPolicy& policy, std::ostream& out, std::ostream& err) {
  Report report(policy);
  std::string why;
  if (!RegularFileSize(path, &why)) {
    report.Error(path, error_id::kIo, "cannot open: " + why);
    return report.Finish(out, err);
  }
  StreamSource source(path);
  RegistrationEntry entry;
  if (!PlanFileRegistration(source, path, details, report, &entry)) return report.Finish(out, err);
  if (print) {
    out << RegistrationText(entry);
    return report.Finish(out, err);
  }
  if (!WriteRegistration(entry, &why)) {
    report.Error(path, error_id::kIo, why);
    return report.Finish(out, err);
  }
  return report.Finish(out, err, {{"registered", (entry.per_user ? "HKEY_CURRENT_USER\\"
                                                                  : "HKEY_LOCAL_MACHINE\\") +
                                                     entry.key}});
}

}  // namespace kivlog
