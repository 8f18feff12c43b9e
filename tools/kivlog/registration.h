// The product's entry in the system's list of programs, written from the
// uninstall file itself: the key the file's stub removes at the end of a
// complete walk (its root and registry view follow from the stub's flavour
// and processor), named after the file's display name, with the values
// package managers, device-management agents and the list of programs read.
//
// Planning the entry is pure (host-tested); writing it is Windows-only.
#ifndef KIVLOG_REGISTRATION_H_
#define KIVLOG_REGISTRATION_H_

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/random_source.h"
#include "diagnostics.h"
#include "stub_kind.h"

namespace kivlog {

// What the author tells of the product; the rest comes from the file.
struct RegistrationDetails {
  std::string version;           // DisplayVersion
  std::string publisher;         // Publisher
  std::string install_location;  // InstallLocation; default: the uninstall file's folder
  std::string display_icon;      // DisplayIcon ("C:\...\app.exe,0")
  std::string url_info_about;    // URLInfoAbout
  std::string install_date;      // InstallDate, YYYYMMDD; default: today
  std::optional<uint32_t> estimated_size_kib;  // EstimatedSize
  std::optional<uint32_t> language;            // Language (a Windows language id)
  bool allow_missing = false;  // a missing version or publisher is not refused
  // The uninstall file's full path on the installing machine; default: the
  // path kivlog opened it by, made full (on Windows).
  std::string path;
};

// The details as the library's JSON object has them: {"version": "1.2",
// "publisher": ..., "install_location", "display_icon", "url_info_about",
// "install_date", "estimated_size_kib", "language", "allow_missing",
// "path"}. Every
// fault goes to faults (field names as in the object).
RegistrationDetails ReadRegistrationDetails(const nlohmann::json& object,
                                            std::vector<Diagnostic>* faults);

struct RegistryValue {
  std::string name;
  bool is_number = false;  // REG_DWORD, else REG_SZ
  std::string text;        // UTF-8
  uint32_t number = 0;
};

struct RegistrationEntry {
  bool per_user = false;    // HKEY_CURRENT_USER, else HKEY_LOCAL_MACHINE
  bool view_64bit = false;  // the 64-bit registry view, else the 32-bit one (per machine only)
  std::string key;          // under the root, UTF-8
  // The display name as the stub spells the key's last part: the file's
  // bytes, in the code page it names (0: the system's ANSI code page, as an
  // unmarked file's names are read).
  std::string name_bytes;
  uint32_t name_code_page = 0;
  std::vector<RegistryValue> values;
};

// The entry for an uninstall file whose stub is kind, whose display name is
// display_name (UTF-8) and which lies at uninstall_path on the installing
// machine. today: YYYYMMDD, for a missing install date. Faults (nothing to
// write when there is one) are returned; entry is filled only without.
std::vector<Diagnostic> PlanRegistration(const StubKind& kind, const std::string& display_name,
                                         const std::string& name_bytes, uint32_t name_code_page,
                                         const std::string& uninstall_path,
                                         const RegistrationDetails& details,
                                         const std::string& today, RegistrationEntry* entry);

// The root's name and the key as a .reg file names them, with the view in a
// comment line: for reading and review.
std::string RegistrationText(const RegistrationEntry& entry);

// Today's local date as YYYYMMDD.
std::string Today();

// Writes the entry into the registry of the machine that runs kivlog, in
// the root and view the stub removes it from (Windows; elsewhere it writes
// nothing and says so). The values of an earlier entry of the same name are
// replaced.
bool WriteRegistration(const RegistrationEntry& entry, std::string* why);

// The entry for the sound uninstall file behind source (path names it in
// messages, and is its place unless details.path says another); false,
// with every fault in report, when there is none to write.
bool PlanFileRegistration(kiv::RandomSource& source, const std::string& path,
                          const RegistrationDetails& details, Report& report,
                          RegistrationEntry* entry);

// kivlog register: the entry for the uninstall file at path written, or
// with print shown as a .reg file's text.
int Register(const std::string& path, const RegistrationDetails& details, bool print,
             const WarningPolicy& policy, std::ostream& out, std::ostream& err);

}  // namespace kivlog

#endif  // KIVLOG_REGISTRATION_H_
