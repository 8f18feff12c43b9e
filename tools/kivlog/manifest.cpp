#include "manifest.h"

#include <stdio.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "code_page.h"
#include "file_time.h"
#include "rules.h"
#include "base/path_rules.h"

namespace kivlog {

namespace {

using Json = nlohmann::json;
using kiv::RecordType;

// How a field is read. Strings are checked against their limit (NUL
// included) after conversion to the code page.
enum class Kind {
  kString,
  kFlag,   // true or false
  kRoot,   // one of the four predefined key names
  kData,   // a string, or null/absent for "delete the value"
  kSaved,  // an object, or null/absent for "no saved copy"
};

struct FieldRule {
  const char* name;
  Kind kind;
  uint32_t limit;
  std::string ManifestRecord::*target;
  bool path = false;  // a directory's or file's path (kLongPathLimit when marked)
};

struct TypeRule {
  const char* name;
  RecordType type;
  std::vector<FieldRule> fields;
};

// Where a string field of the layout goes in a ManifestRecord, by its name;
// null for the fields that are not plain strings.
std::string ManifestRecord::*StringTarget(const char* name) {
  using R = ManifestRecord;
  static const std::pair<const char*, std::string R::*> kTargets[] = {
      {"path", &R::path},   {"file", &R::file},   {"section", &R::section}, {"key", &R::key},
      {"prior", &R::prior}, {"value", &R::value}, {"root", &R::root},       {"name", &R::name},
      {"group", &R::group}, {"item", &R::item}};
  for (const auto& [field, target] : kTargets) {
    if (std::string(field) == name) return target;
  }
  return nullptr;
}

// The manifest's rules, one per record type, made from the record layout.
// Two rules of kivlog's own narrow it: a root must be one of the four
// predefined keys, and a font name leaves room for " (TrueType)", which the
// uninstall appends to it within 256 bytes.
const std::vector<TypeRule>& TypeRules() {
  static const std::vector<TypeRule> rules = [] {
    std::vector<TypeRule> made;
    for (uint16_t type = 1; type <= kiv::kLastValidType; ++type) {
      // A shared or kept file is a "file" with "shared" or "keep_if_changed"
      // (Parser::FileOfItsKind); the code page is the manifest's own field.
      if (!kiv::IsValidType(type) || type == static_cast<uint16_t>(RecordType::kSharedFile) ||
          type == static_cast<uint16_t>(RecordType::kKeptFile)) {
        continue;
      }
      const kiv::RecordLayout& layout = kiv::LayoutOf(type);
      const kiv::RecordNames& names = kiv::NamesOf(type);
      TypeRule rule{names.type, static_cast<RecordType>(type), {}};
      for (uint32_t f = 0; f < layout.field_count; ++f) {
        const kiv::FieldLayout& field = layout.fields[f];
        const char* name = names.fields[f];
        FieldRule r{name, Kind::kString, field.limit, StringTarget(name), field.path()};
        switch (field.kind) {
          case kiv::FieldKind::kString:
            if (std::string(name) == "root") r.kind = Kind::kRoot;
            if (rule.type == RecordType::kFont && std::string(name) == "name") {
              r.limit = kiv::kFontNameLimit;
            }
            break;
          case kiv::FieldKind::kFlag: r = {name, Kind::kFlag, 0, nullptr}; break;
          case kiv::FieldKind::kOptionalString:
            r = {name, Kind::kData, field.limit, nullptr};
            break;
          case kiv::FieldKind::kSavedCopy: r = {name, Kind::kSaved, 0, nullptr}; break;
          case kiv::FieldKind::kFixed: break;  // no such field among these types
        }
        rule.fields.push_back(r);
      }
      made.push_back(rule);
    }
    return made;
  }();
  return rules;
}

bool IsDecimal(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Edits (insert, delete, replace, swap two neighbours) from a to b, ASCII
// case ignored.
size_t EditDistance(const std::string& a, const std::string& b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// "did you mean \"path\"?" for the name nearest to word, when one is near
// enough to be a slip (one edit in a short name, two in a longer one); empty
// when none is.
std::string DidYouMean(const std::string& word, const std::vector<std::string>& names) {
  if (word.size() > 64) return "";
  const size_t allowed = word.size() <= 4 ? 1 : 2;
  std::string best;
  size_t best_distance = allowed + 1;
  for (const std::string& name : names) {
    const size_t distance = EditDistance(word, name);
    if (distance < best_distance) {
      best = name;
      best_distance = distance;
    }
  }
  return best.empty() ? "" : "did you mean \"" + best + "\"?";
}

// What other installer tools call a record type, by the type it is here.
const char* TypeByOtherName(const std::string& word) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"dir", "directory"},        {"folder", "directory"},      {"createdir", "directory"},
      {"files", "file"},           {"ini_entry", "ini"},         {"inifile", "ini"},
      {"ini_file", "ini"},         {"registry_value", "registry"}, {"regvalue", "registry"},
      {"reg", "registry"},         {"regkey", "registry_key"},   {"registry_keys", "registry_key"},
      {"shortcut", "shell_item"},  {"icon", "shell_item"},       {"group", "shell_group"},
      {"program_group", "shell_group"}, {"fonts", "font"}};
  for (const auto& [other, ours] : kNames) {
    if (EditDistance(word, other) == 0) return ours;
  }
  return nullptr;
}

namespace id = error_id;

// Reads the document into a Manifest, gathering every fault: a field at
// fault is left out and reading goes on with the next one, so one run names
// them all.
class Parser {
 public:
  Parser(std::vector<ManifestError>* errors, uint32_t code_page, Target target)
      : errors_(errors), code_page_(code_page), target_(target) {}

  bool Fail(const char* error, const std::string& field, const std::string& message,
            const std::string& hint = "") {
    errors_->push_back({field, message, error, std::nullopt, hint});
    return false;
  }

  // A JSON string converted to the code page and held within limit bytes
  // (NUL included); hint follows the message of one that is longer.
  bool Text(const Json& v, const std::string& field, uint32_t limit, std::string* out,
            const char* hint = "") {
    if (!v.is_string()) return Fail(id::kWrongKind, field, "not a string");
    const std::string& utf8 = v.get_ref<const std::string&>();
    if (utf8.find('\0') != std::string::npos) {
      return Fail(id::kControlCharacter, field, "holds a NUL character");
    }
    std::string bad;
    if (!EncodeAnsi(utf8, code_page_, out, &bad)) {
      if (code_page_ == kAsciiOnly) {
        return Fail(
            id::kNotInCodePage, field,
            "holds " + bad + ", which is not ASCII; name the target's code page in \"code_page\"");
      }
      return Fail(id::kNotInCodePage, field, "holds " + bad + ", which code page " + std::to_string(code_page_) +
                             " cannot hold");
    }
    if (out->size() > limit - 1) {
      return Fail(id::kTooLong, field,
                  "longer than " + std::to_string(limit - 1) + " bytes" + hint);
    }
    return true;
  }

  // A directory's or file's path: up to kStringLimit bytes in every file,
  // up to kLongPathLimit in one that names its code page; past kStringLimit
  // it goes to the system as written, so it must be in the form the system
  // reads as written.
  bool PathText(const Json& v, const std::string& field, std::string* out) {
    if (!marked_) {
      return Text(v, field, kiv::kStringLimit, out,
                  target_ == Target::kUnmarkedFile
                      ? "; this file names no code page, and only a file that does may hold "
                        "a path of up to 1023 bytes"
                      : "; only a file that names its code page (\"code_page\", with "
                        "\"code_page_record\" not false) may hold a path of up to 1023 bytes");
    }
    if (!Text(v, field, kiv::kLongPathLimit, out)) return false;
    if (out->size() >= kiv::kStringLimit &&
        !kiv::IsPathAsRead(reinterpret_cast<const uint8_t*>(out->data()),
                           static_cast<uint32_t>(out->size()), code_page_)) {
      return Fail(id::kLongPathForm, field,
                  "over 255 bytes, so the uninstall hands it to the system as written "
                  "(\"\\\\?\\\"), where nothing is read as a separator or taken away: give a full "
                  "path from a drive or share with '\\' only, and no empty, \".\" or \"..\" "
                  "part, nor one ending in a dot or a blank");
    }
    return true;
  }

  // Every key of obj must be one of the names allowed.
  bool OnlyKnownKeys(const Json& obj, const std::string& where,
                     const std::vector<std::string>& allowed) {
    bool all_known = true;
    suggested_.clear();
    for (const auto& [key, value] : obj.items()) {
      bool known = false;
      for (const auto& a : allowed) known = known || a == key;
      if (!known) {
        const std::string hint = DidYouMean(key, allowed);
        if (!hint.empty()) suggested_.push_back(hint);
        all_known = Fail(id::kUnknownField, where + key, "unknown field", hint);
      }
    }
    return all_known;
  }

  bool CodePage(const Json& root) {
    auto it = root.find("code_page");
    if (it == root.end()) return true;
    if (!it->is_number_unsigned() || it->get<uint64_t>() > 0xFFFFFFFFu ||
        !IsKnownCodePage(it->get<uint32_t>()) || it->get<uint32_t>() == kAsciiOnly) {
      return Fail(id::kCodePage, "code_page", std::string("not a Windows ANSI code page this tool knows (") +
                                   KnownCodePagesText() + ")");
    }
    code_page_ = it->get<uint32_t>();
    return true;
  }

  bool DisplayNameField(const Json& root, DisplayName need, std::optional<std::string>* out) {
    auto it = root.find("display_name");
    if (it == root.end()) {
      return need == DisplayName::kOptional || Suggested("display_name") || Fail(id::kMissing, "display_name", "missing");
    }
    std::string name;
    if (!Text(*it, "display_name", kiv::kDisplayNameLimit, &name)) return false;
    if (auto fault = DisplayNameFault(it->get<std::string>())) {
      return Fail(id::kDisplayName, "display_name", *fault);
    }
    *out = std::move(name);
    return true;
  }

  bool Saved(const Json& v, const std::string& field, std::optional<SavedContent>* out) {
    if (v.is_null()) return true;
    if (!v.is_object()) return Fail(id::kWrongKind, field, "not an object");
    if (!OnlyKnownKeys(v, field + ".", {"content_file", "time"})) return false;
    SavedContent saved;
    auto file = v.find("content_file");
    if (file == v.end()) return Fail(id::kMissing, field + ".content_file", "missing");
    if (!file->is_string()) return Fail(id::kWrongKind, field + ".content_file", "not a string");
    saved.content_file = file->get<std::string>();
    if (saved.content_file.empty() || saved.content_file.find('\0') != std::string::npos) {
      return Fail(id::kSaved, field + ".content_file", "not a file name");
    }
    auto time = v.find("time");
    if (time != v.end()) {
      const std::string where = field + ".time";
      if (time->is_number_unsigned()) {
        if (time->get<uint64_t>() > kLastFileTime) {
          return Fail(id::kSaved, where, "above " + std::to_string(kLastFileTime) + ", the last FILETIME");
        }
        saved.time = time->get<uint64_t>();
      } else if (time->is_string() && IsDecimal(time->get_ref<const std::string&>())) {
        // A FILETIME as a string: JSON tools that read numbers as doubles
        // keep it exact, so the listing gives times this way.
        const std::string& digits = time->get_ref<const std::string&>();
        if (digits.size() > 19 || std::stoull(digits) > kLastFileTime) {
          return Fail(id::kSaved, where, "above " + std::to_string(kLastFileTime) + ", the last FILETIME");
        }
        saved.time = std::stoull(digits);
      } else if (time->is_string()) {
        saved.time = ParseUtcTime(time->get<std::string>());
        if (!saved.time) {
          return Fail(id::kSaved, where, "not a UTC time like 2020-01-02T03:04:05Z (years 1601 to 9999)");
        }
      } else {
        return Fail(id::kWrongKind, where, "not a FILETIME integer or a UTC time string");
      }
    }
    *out = std::move(saved);
    return true;
  }

  bool Record(const Json& v, const std::string& where, ManifestRecord* record) {
    if (!v.is_object()) return Fail(id::kWrongKind, where, "not an object");
    auto type = v.find("type");
    if (type == v.end()) return Fail(id::kMissing, where + ".type", "missing");
    if (!type->is_string()) return Fail(id::kWrongKind, where + ".type", "not a string");
    if (type->get_ref<const std::string&>() == "registry_key") return RegistryKey(v, where, record);
    const TypeRule* rule = nullptr;
    for (const auto& r : TypeRules()) {
      if (type->get_ref<const std::string&>() == r.name) rule = &r;
    }
    if (!rule) {
      const std::string& word = type->get_ref<const std::string&>();
      std::vector<std::string> names = {"registry_key"};
      for (const auto& r : TypeRules()) names.push_back(r.name);
      std::string hint = DidYouMean(word, names);
      if (const char* ours = TypeByOtherName(word); ours && hint.empty()) {
        hint = std::string("did you mean \"") + ours + "\"?";
      }
      return Fail(id::kRecordType, where + ".type", "unknown record type \"" + word + "\"", hint);
    }
    record->type = rule->type;
    if (rule->type == RecordType::kFile && (v.contains("shared") || v.contains("keep_if_changed"))) {
      return FileOfItsKind(v, where, record);
    }
    if (rule->type == RecordType::kIniEntry &&
        (v.contains("remove") || v.contains("restore") || v.contains("remove_line"))) {
      return IniByOutcome(v, where, record);
    }
    std::vector<std::string> allowed = {"type"};
    for (const auto& f : rule->fields) allowed.push_back(f.name);
    bool ok = OnlyKnownKeys(v, where + ".", allowed);

    for (const auto& f : rule->fields) {
      const std::string field = where + "." + f.name;
      auto it = v.find(f.name);
      const bool optional = f.kind == Kind::kData || f.kind == Kind::kSaved;
      if (it == v.end()) {
        if (!optional && !Suggested(f.name)) ok = Fail(id::kMissing, field, "missing");
        continue;
      }
      switch (f.kind) {
        case Kind::kString:
        case Kind::kRoot:
          if (f.path ? !PathText(*it, field, &(record->*f.target))
                     : !Text(*it, field, f.limit, &(record->*f.target))) {
            ok = false;
          }
          break;
        case Kind::kFlag:
          if (!it->is_boolean()) {
            ok = Fail(id::kWrongKind, field, "not true or false");
          } else {
            record->flag = it->get<bool>();
          }
          break;
        case Kind::kData:
          if (!it->is_null()) {
            std::string data;
            if (Text(*it, field, f.limit, &data)) {
              record->data = std::move(data);
            } else {
              ok = false;
            }
          }
          break;
        case Kind::kSaved:
          if (!Saved(*it, field, &record->saved)) ok = false;
          break;
      }
    }
    if (!ok) return false;
    // What the stub would pass over, misread or never find is refused here,
    // where the author can still mend it.
    for (const ManifestError& fault : RecordFaults(*record, code_page_)) {
      ok = Fail(fault.id, where + "." + fault.field, fault.message, fault.hint);
    }
    return ok;
  }

  // A file told apart by how the uninstall treats it:
  //   "shared": true            other products may use it too: the uninstall
  //                             takes its SharedDLLs count down by one, and
  //                             deletes it only when none is left
  //   "keep_if_changed": true   the user may edit it: the uninstall deletes it
  //                             only when its content is still the installed
  //                             one, by "size" and "crc32", or by those of
  //                             "local_copy", a copy of it that build reads
  // Both false: a plain file.
  bool FileOfItsKind(const Json& v, const std::string& where, ManifestRecord* record) {
    bool ok = OnlyKnownKeys(v, where + ".", {"type", "path", "shared", "keep_if_changed",
                                             "local_copy", "size", "crc32"});
    bool shared = false, keep = false;
    for (auto [name, out] : {std::pair{"shared", &shared}, {"keep_if_changed", &keep}}) {
      auto it = v.find(name);
      if (it == v.end()) continue;
      if (!it->is_boolean()) {
        ok = Fail(id::kWrongKind, where + "." + name, "not true or false");
      } else {
        *out = it->get<bool>();
      }
    }
    if (shared && keep) {
      ok = Fail(id::kGivenTwice, where + ".keep_if_changed",
                "with \"shared\": a shared file's content is not this product's to judge; "
                "give one");
    }
    auto path = v.find("path");
    if (path == v.end()) {
      if (!Suggested("path")) ok = Fail(id::kMissing, where + ".path", "missing");
    } else if (!PathText(*path, where + ".path", &record->path)) {
      ok = false;
    }
    const bool local = v.contains("local_copy");
    const bool given = v.contains("size") || v.contains("crc32");
    if (!keep && (local || given)) {
      ok = Fail(id::kUnknownField, where + "." + (local ? "local_copy" : v.contains("size") ? "size" : "crc32"),
                "only with \"keep_if_changed\": true");
    } else if (keep && local == given) {
      ok = Fail(local ? id::kGivenTwice : id::kMissing, where + ".local_copy",
                local ? "with \"size\" or \"crc32\": give the local copy or its size and "
                        "checksum, not both"
                      : "missing: give \"local_copy\" (a copy of the file as installed) or its "
                        "\"size\" and \"crc32\"");
    } else if (keep && local) {
      const Json& copy = v["local_copy"];
      if (!copy.is_string() || copy.get_ref<const std::string&>().empty()) {
        ok = Fail(id::kWrongKind, where + ".local_copy", "not a file name");
      } else {
        record->local_copy = copy.get<std::string>();
      }
    } else if (keep) {
      for (auto [name, out] : {std::pair{"size", &record->content_size},
                               {"crc32", &record->content_crc32}}) {
        auto it = v.find(name);
        if (it == v.end()) {
          ok = Fail(id::kMissing, where + "." + name, "missing");
        } else if (!it->is_number_unsigned() || it->get<uint64_t>() > 0xFFFFFFFFu) {
          ok = Fail(id::kWrongKind, where + "." + name, "not a whole number from 0 to 4294967295");
        } else {
          *out = it->get<uint32_t>();
        }
      }
    }
    record->type = shared ? RecordType::kSharedFile : keep ? RecordType::kKeptFile : RecordType::kFile;
    if (!ok) return false;
    for (const ManifestError& fault : RecordFaults(*record, code_page_)) {
      ok = Fail(fault.id, where + "." + fault.field, fault.message, fault.hint);
    }
    return ok;
  }

  // An INI entry told by what its undoing does, in place of the record's own
  // prior, value and flag:
  //   "remove": true          the installation created the key: it goes
  //   "restore": "old text"   the installation changed it: old text goes back
  //   "remove_line": "text"   the installation added the line key=text
  //                           straight into the file: that line goes
  bool IniByOutcome(const Json& v, const std::string& where, ManifestRecord* record) {
    bool ok = OnlyKnownKeys(v, where + ".", {"type", "file", "section", "key", "remove", "restore",
                                             "remove_line", "prior", "value", "flag"});
    for (const char* older : {"prior", "value", "flag"}) {
      if (v.contains(older)) {
        ok = Fail(id::kUnknownField, where + "." + older,
                  "not with \"remove\", \"restore\" or \"remove_line\", which say the same "
                  "in place of prior, value and flag: give one form");
      }
    }
    int outcomes = 0;
    for (const char* name : {"remove", "restore", "remove_line"}) outcomes += v.contains(name);
    if (outcomes > 1) {
      ok = Fail(id::kGivenTwice, where + "." + (v.contains("restore") ? "restore" : "remove_line"),
                "with another of \"remove\", \"restore\" and \"remove_line\": give one");
    }
    for (const char* name : {"file", "section", "key"}) {
      const std::string field = where + "." + name;
      auto it = v.find(name);
      if (it == v.end()) {
        if (!Suggested(name)) ok = Fail(id::kMissing, field, "missing");
      } else if (!Text(*it, field, kiv::kStringLimit, &(record->*StringTarget(name)))) {
        ok = false;
      }
    }
    if (auto it = v.find("remove"); it != v.end()) {
      if (!it->is_boolean() || !it->get<bool>()) {
        ok = Fail(id::kWrongKind, where + ".remove",
                  "only true (the key goes); for a key the installation changed, give "
                  "\"restore\" with its old text");
      }
      record->prior = "<null>";
      record->flag = false;
    }
    if (auto it = v.find("restore"); it != v.end()) {
      if (!Text(*it, where + ".restore", kiv::kStringLimit, &record->value)) ok = false;
      // The text put back is value; prior only has to be other than
      // "<null>", and is the same text so that nothing looks swapped.
      record->prior = record->value == "<null>" ? "" : record->value;
      record->flag = false;
    }
    if (auto it = v.find("remove_line"); it != v.end()) {
      if (!Text(*it, where + ".remove_line", kiv::kStringLimit, &record->value)) ok = false;
      record->flag = true;
    }
    if (!ok) return false;
    for (const ManifestError& fault : RecordFaults(*record, code_page_)) {
      std::string field = fault.field;
      if (field == "value") field = record->flag ? "remove_line" : "restore";
      ok = Fail(fault.id, where + "." + field, fault.message, fault.hint);
    }
    return ok;
  }

  // A key the installation created, removed at the uninstall when it is
  // empty by then: written as the record of its default value (the path
  // ending in a backslash), whose undoing deletes that value, then the key
  // if it holds nothing else.
  bool RegistryKey(const Json& v, const std::string& where, ManifestRecord* record) {
    record->type = RecordType::kRegistryValue;
    bool ok = OnlyKnownKeys(v, where + ".", {"type", "root", "key"});
    const uint32_t limit = kiv::LayoutOf(static_cast<uint16_t>(RecordType::kRegistryValue))
                               .fields[1]
                               .limit;
    for (const char* name : {"root", "key"}) {
      auto it = v.find(name);
      if (it == v.end()) {
        if (!Suggested(name)) ok = Fail(id::kMissing, where + "." + name, "missing");
        continue;
      }
      // The key's path and its trailing backslash within the path's limit.
      std::string* target = std::string(name) == "root" ? &record->root : &record->path;
      if (!Text(*it, where + "." + name, std::string(name) == "root" ? kiv::kStringLimit : limit - 1,
                target)) {
        ok = false;
      }
    }
    if (!ok) return false;
    if (record->path.empty() || record->path.back() == '\\') {
      return Fail(id::kEmpty, where + ".key",
                  "empty, or ends with a backslash: name the key (Software\\Example)");
    }
    record->path += '\\';
    for (const ManifestError& fault : RecordFaults(*record, code_page_)) {
      ok = Fail(fault.id, where + "." + (fault.field == "path" ? "key" : fault.field),
                fault.message, fault.hint);
    }
    return ok;
  }

  bool Whole(const Json& root, DisplayName need, Manifest* manifest) {
    if (!root.is_object()) return Fail(id::kWrongKind, "", "not a JSON object");
    bool ok = OnlyKnownKeys(root, "", {"display_name", "code_page", "code_page_record", "records"});
    // Without its code page no text can be read as meant: the rest would
    // only bring faults that are not there.
    if (!CodePage(root)) return false;
    manifest->code_page = code_page_;
    manifest->code_page_named = root.find("code_page") != root.end();
    auto record = root.find("code_page_record");
    if (record != root.end()) {
      if (!record->is_boolean()) {
        ok = Fail(id::kWrongKind, "code_page_record", "not true or false");
      } else if (!manifest->code_page_named) {
        ok = Fail(id::kMissing, "code_page_record", "without \"code_page\"");
      } else {
        manifest->code_page_record = record->get<bool>();
      }
    }
    marked_ = target_ == Target::kMarkedFile ||
              (target_ == Target::kNewFile && manifest->code_page_named &&
               manifest->code_page_record);
    if (!DisplayNameField(root, need, &manifest->display_name)) ok = false;
    auto records = root.find("records");
    if (records == root.end()) return Suggested("records") ? false : Fail(id::kMissing, "records", "missing");
    if (!records->is_array()) return Fail(id::kWrongKind, "records", "not an array");
    manifest->records.resize(records->size());
    for (size_t i = 0; i < records->size(); ++i) {
      if (!Record((*records)[i], "records[" + std::to_string(i) + "]", &manifest->records[i])) {
        ok = false;
      }
    }
    return ok;
  }

 private:
  // A missing field that an unknown one was taken for: its misspelling is
  // told, and "missing" would only repeat it.
  bool Suggested(const std::string& name) const {
    const std::string hint = "did you mean \"" + name + "\"?";
    return std::find(suggested_.begin(), suggested_.end(), hint) != suggested_.end();
  }

  std::vector<ManifestError>* errors_;
  std::vector<std::string> suggested_;  // the hints of the last OnlyKnownKeys()
  uint32_t code_page_;
  Target target_;
  bool marked_ = false;  // the records go to a file that names its code page
};

// Builds the document from the parser's events, as a plain parse would, and
// keeps the path to the value being read, to name the first key that an
// object gives twice: the JSON grammar allows it, but one of the two would
// be lost without a word (the document keeps the last, as a plain parse).
// Each event costs the same whatever came before it, so a manifest of a
// million records parses in ten times what a hundred thousand take.
//
// It also notes where each root member, each record and each field of a
// record lies in the text (map), for the line and column of a diagnostic.
// The parser reads the text through a CountingIterator, so at each event
// `reached` is just past the token the event is for.
class DocumentBuilder {
 public:
  DocumentBuilder(Json* root, const std::string& text, SourceMap* map)
      : root_(root), text_(text), map_(map), reached_(text.data()) {}

  // Hands the parser the text's bytes, keeping the builder told how far
  // it has read.
  struct CountingIterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;
    const char* at;
    const char** reached;
    reference operator*() const { return *at; }
    CountingIterator& operator++() {
      *reached = ++at;
      return *this;
    }
    CountingIterator operator++(int) {
      CountingIterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const CountingIterator& other) const { return at == other.at; }
    bool operator!=(const CountingIterator& other) const { return at != other.at; }
  };
  CountingIterator Begin() { return {text_.data(), &reached_}; }
  CountingIterator End() { return {text_.data() + text_.size(), &reached_}; }

  bool null() { return Value(nullptr); }
  bool boolean(bool value) { return Value(value); }
  bool number_integer(Json::number_integer_t value) { return Value(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return Value(value); }
  bool number_float(Json::number_float_t value, const Json::string_t&) { return Value(value); }
  bool string(Json::string_t& value) {
    string_token_ = true;
    return Value(std::move(value));
  }
  bool binary(Json::binary_t& value) { return Value(std::move(value)); }
  bool start_object(std::size_t) { return Open(Json::object()); }
  bool start_array(std::size_t) { return Open(Json::array()); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(Json::string_t& key) {
    const size_t at = StringStart();
    if (InRecords() && frames_.size() == 3) map_->Field(key, at);
    if (InRecords() && frames_.size() == 4) map_->Field(frames_[2].key + "." + key, at);
    if (frames_.size() == 1) map_->Root(key, at);
    Frame& top = frames_.back();
    const bool twice = top.value->contains(key);
    top.key = std::move(key);
    if (twice && !duplicate_) duplicate_ = std::make_pair(Path(), at);
    return true;
  }
  bool parse_error(std::size_t position, const std::string&, const Json::exception& e) {
    error_ = e.what();
    error_offset_ = position > 0 ? position - 1 : 0;
    return false;
  }

  // The path of the first key given twice ("records[1].type"), and where.
  const std::optional<std::pair<std::string, size_t>>& duplicate() const { return duplicate_; }
  // The library's text of the syntax error that stopped the parse, and where.
  const std::string& error() const { return error_; }
  size_t error_offset() const { return error_offset_; }

 private:
  struct Frame {
    Json* value;      // the object or array being filled
    size_t count;     // values so far, in an array
    std::string key;  // the key being read, in an object
  };

  // Puts a value where the parser is: the root, the next element of an
  // array, or the object's member under the last key.
  Json* Place(Json&& value) {
    if (InRecords() && frames_.size() == 2) {
      // A record: an object's '{' was the last byte read; a string ends in
      // its quote.
      map_->Record(string_token_ ? StringStart() : Offset() - 1);
    }
    string_token_ = false;
    if (frames_.empty()) {
      *root_ = std::move(value);
      return root_;
    }
    Frame& top = frames_.back();
    if (top.value->is_array()) {
      ++top.count;
      top.value->push_back(std::move(value));
      return &top.value->back();
    }
    Json& member = (*top.value)[top.key];
    member = std::move(value);
    return &member;
  }
  bool Value(Json&& value) {
    Place(std::move(value));
    return true;
  }
  // Only the innermost container grows, so the pointers to those around it
  // stay valid while it is filled.
  bool Open(Json&& container) {
    frames_.push_back({Place(std::move(container)), 0, {}});
    return true;
  }
  bool Close() {
    frames_.pop_back();
    return true;
  }
  std::string Path() const {
    std::string path;
    for (const Frame& f : frames_) {
      if (f.value->is_array()) {
        path += "[" + std::to_string(f.count - 1) + "]";
      } else {
        path += (path.empty() ? "" : ".") + f.key;
      }
    }
    return path;
  }

  // Inside the root's "records" array (or deeper).
  bool InRecords() const {
    return frames_.size() >= 2 && frames_[0].key == "records" && frames_[1].value->is_array() &&
           frames_[0].value == root_;
  }
  size_t Offset() const { return static_cast<size_t>(reached_ - text_.data()); }
  // Where the string token just read (key or value) starts: its opening
  // quote, the last quote before its closing one that no backslash escapes.
  size_t StringStart() const {
    size_t p = Offset() > 0 ? Offset() - 1 : 0;  // the closing quote
    while (p > 0) {
      --p;
      if (text_[p] != '"') continue;
      size_t backslashes = 0;
      while (p > backslashes && text_[p - 1 - backslashes] == '\\') ++backslashes;
      if (backslashes % 2 == 0) return p;
    }
    return 0;
  }

  Json* root_;
  const std::string& text_;
  SourceMap* map_;
  const char* reached_;
  bool string_token_ = false;
  std::vector<Frame> frames_;
  std::optional<std::pair<std::string, size_t>> duplicate_;
  std::string error_;
  size_t error_offset_ = 0;
};

// Appends code point c as UTF-8.
void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The length of the well-formed UTF-8 character at text[at], 0 when none
// starts there (a stray continuation byte, an overlong form, a surrogate,
// a character cut short).
size_t Utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t b = byte(at);
  if (b < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// UTF-16 (big_endian or not) from `from` on, as UTF-8; false at an unpaired
// surrogate or an odd last byte, with the character's number in *bad.
bool Utf16ToUtf8(const std::string& bytes, size_t from, bool big_endian, std::string* out,
                 size_t* bad) {
  const auto unit = [&](size_t i) {
    const auto a = static_cast<uint8_t>(bytes[i]), b = static_cast<uint8_t>(bytes[i + 1]);
    return static_cast<uint32_t>(big_endian ? (a << 8) | b : (b << 8) | a);
  };
  out->reserve((bytes.size() - from) / 2 * 3 / 2);
  size_t character = 1;
  for (size_t i = from; i < bytes.size(); i += 2, ++character) {
    *bad = character;
    if (i + 1 >= bytes.size()) return false;
    uint32_t c = unit(i);
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return false;
      const uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    AppendUtf8(c, out);
  }
  return true;
}

bool StartsWith(const std::string& bytes, const char* prefix, size_t length) {
  return bytes.size() >= length && bytes.compare(0, length, prefix, length) == 0;
}

}  // namespace

std::optional<std::string> DecodeManifest(const std::string& bytes, ManifestError* error) {
  const auto refuse = [&](const std::string& message, std::optional<size_t> offset = std::nullopt) {
    *error = {"", message, error_id::kEncoding, offset, ""};
    return std::nullopt;
  };
  const char* const kSaveAs = "save it as UTF-8 (or UTF-16 with its byte order mark)";
  if (StartsWith(bytes, "\xFF\xFE\0\0", 4)) return refuse("in UTF-32LE; " + std::string(kSaveAs));
  if (StartsWith(bytes, "\0\0\xFE\xFF", 4)) return refuse("in UTF-32BE; " + std::string(kSaveAs));
  const bool little = StartsWith(bytes, "\xFF\xFE", 2), big = StartsWith(bytes, "\xFE\xFF", 2);
  if (little || big) {
    std::string text;
    size_t bad = 0;
    if (!Utf16ToUtf8(bytes, 2, big, &text, &bad)) {
      return refuse(std::string("in UTF-16") + (big ? "BE" : "LE") + ", but character " +
                    std::to_string(bad) + " is an unpaired surrogate or a half character");
    }
    return text;
  }
  // UTF-16 without its mark: a JSON text starts with ASCII, so one of its
  // first two bytes is zero.
  if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
    return refuse("in UTF-16LE without a byte order mark; " + std::string(kSaveAs));
  }
  if (bytes.size() >= 2 && bytes[0] == '\0' && bytes[1] != '\0') {
    return refuse("in UTF-16BE without a byte order mark; " + std::string(kSaveAs));
  }
  const size_t from = StartsWith(bytes, "\xEF\xBB\xBF", 3) ? 3 : 0;
  for (size_t i = from; i < bytes.size();) {
    const size_t length = Utf8Length(bytes, i);
    if (length == 0) {
      char text[8];
      snprintf(text, sizeof(text), "0x%02X", static_cast<uint8_t>(bytes[i]));
      return refuse(std::string("not UTF-8: the byte ") + text +
                        " is no UTF-8 character; an ANSI code page (Windows-1252 and the "
                        "like, \"ANSI\" in Notepad) is likely: " + kSaveAs,
                    i - from);
    }
    i += length;
  }
  return from == 0 ? bytes : bytes.substr(from);
}

ManifestResult ParseManifest(const std::string& bytes, DisplayName display_name,
                             uint32_t default_code_page, Target target) {
  ManifestResult result;
  ManifestError encoding;
  const std::optional<std::string> decoded = DecodeManifest(bytes, &encoding);
  if (!decoded) {
    // Only a text in neither UTF has an offset here: in its bytes after
    // any UTF-8 byte order mark.
    result.map.SetText(bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes);
    result.errors.push_back(encoding);
    result.error = encoding;
    return result;
  }
  const std::string& text = *decoded;
  result.map.SetText(text);
  Json root;
  DocumentBuilder builder(&root, text, &result.map);
  if (!Json::sax_parse(builder.Begin(), builder.End(), &builder)) {
    // A syntax error (its text names the line and column), or a number too
    // large for any type. The library's text starts with its own
    // "[json.exception...] " tag.
    const std::string& what = builder.error();
    size_t tag_end = what.find("] ");
    // A comma after the last element, which JSON does not allow but many
    // other formats do: told where the comma stands, not at the bracket
    // the parser trips over, which may be lines below.
    size_t at = std::min(builder.error_offset(), text.size());
    if (at < text.size() && (text[at] == ']' || text[at] == '}')) {
      size_t comma = at;
      while (comma > 0 && (text[comma - 1] == ' ' || text[comma - 1] == '\t' ||
                           text[comma - 1] == '\r' || text[comma - 1] == '\n')) {
        --comma;
      }
      if (comma > 0 && text[comma - 1] == ',') {
        result.errors.push_back({"",
                                 std::string("not valid JSON: a comma after the last ") +
                                     (text[at] == ']' ? "element of an array" : "member of an object"),
                                 error_id::kNotJson, comma - 1, "remove the comma"});
        result.error = result.errors.front();
        return result;
      }
    }
    result.errors.push_back(
        {"", "not valid JSON: " + (tag_end == std::string::npos ? what : what.substr(tag_end + 2)),
         error_id::kNotJson, builder.error_offset(), {}});
    result.error = result.errors.front();
    return result;
  }
  if (builder.duplicate()) {
    result.errors.push_back({builder.duplicate()->first, "given twice", error_id::kGivenTwice,
                             builder.duplicate()->second, {}});
  }
  Manifest manifest;
  Parser parser(&result.errors, default_code_page, target);
  if (parser.Whole(root, display_name, &manifest) && result.errors.empty()) {
    result.manifest = std::move(manifest);
  }
  if (!result.errors.empty()) result.error = result.errors.front();
  return result;
}

const char* RecordTypeName(RecordType type) {
  if (type == RecordType::kEndOfLog) return "end_of_log";
  for (const auto& r : TypeRules()) {
    if (r.type == type) return r.name;
  }
  const uint16_t code = static_cast<uint16_t>(type);
  return kiv::IsValidType(code) ? kiv::NamesOf(code).type : "invalid";
}

bool WriteFieldRecord(kiv::LogWriter& writer, const ManifestRecord& r) {
  if (r.type == RecordType::kEndOfLog || (r.type == RecordType::kFile && r.saved)) return false;
  const kiv::RecordLayout& layout = kiv::LayoutOf(r.type);
  kiv::FieldValue values[kiv::kMaxFields];
  uint8_t fixed[kiv::kContentCheckSize];
  kiv::StoreU32(fixed, r.content_size);
  kiv::StoreU32(fixed + 4, r.content_crc32);
  for (uint32_t f = 0; f < layout.field_count; ++f) {
    const kiv::FieldLayout& field = layout.fields[f];
    switch (field.kind) {
      case kiv::FieldKind::kString:
        values[f].text = FieldText(r, kiv::NamesOf(r.type).fields[f])->c_str();
        break;
      case kiv::FieldKind::kFlag: values[f].flag = r.flag; break;
      case kiv::FieldKind::kOptionalString:
        values[f].text = r.data ? r.data->c_str() : nullptr;
        break;
      case kiv::FieldKind::kSavedCopy: break;  // written by the caller, with its content
      case kiv::FieldKind::kFixed: values[f].bytes = fixed; break;  // a kept file's check
    }
  }
  return writer.AddRecord(r.type, values);
}

const std::string* FieldText(const ManifestRecord& record, const char* name) {
  std::string ManifestRecord::*target = StringTarget(name);
  return target ? &(record.*target) : nullptr;
}

}  // namespace kivlog
