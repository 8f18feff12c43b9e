#include "lint.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <memory>

#include "code_page.h"
#include "diagnostics.h"
#include "rules.h"
#include "screen_text.h"
#include "uninstall_file/layout.h"
#include "uninstall_file/names.h"

namespace kivlog {

namespace {

using kiv::RecordType;
namespace id = warning_id;

// Windows compares names without regard to ASCII case and takes / for \.
std::string Folded(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return folded;
}

bool EndsWithIgnoringCase(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && Folded(text.substr(text.size() - tail.size())) == Folded(tail);
}

// The longest key path Windows and Wine take is 255 characters; the stub
// deletes ...\Uninstall\<name>\UnInstallString, 68 characters and the name.
constexpr size_t kLongestSafeDisplayName = 187;

const char* const kRootSpellings[] = {"hkey_classes_root", "hkey_current_user", "hkey_local_machine",
                                      "hkey_users",        "hkey_current_config", "hklm",
                                      "hkcu",              "hkcr",              "hku",
                                      "hkcc"};

// 64-bit FNV-1a, then mixed (splitmix64's finish) so that keys that differ
// only at the end spread over every bit.
uint64_t KeyHash(const std::string& key) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : key) {
    h ^= c;
    h *= 0x100000001B3ull;
  }
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 31);
}

// Where each key first appears, kept as its key's hash and the record's
// index (12 bytes a record, not the key's text), so that a file of millions
// of records is compared in little memory. Two keys of the same hash would
// count as one; at 64 bits that is as likely as a disk's read error.
class FirstSeen {
 public:
  void Reserve(size_t count) { entries_.reserve(count); }

  void Add(const std::string& key, size_t index) {
    const uint64_t h = KeyHash(key);
    entries_.push_back(
        {static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(h), static_cast<uint32_t>(index)});
  }

  // After every Add: sorted, and only each key's lowest index kept.
  void Seal() {
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
      if (a.high != b.high) return a.high < b.high;
      if (a.low != b.low) return a.low < b.low;
      return a.index < b.index;
    });
    entries_.erase(std::unique(entries_.begin(), entries_.end(),
                               [](const Entry& a, const Entry& b) {
                                 return a.high == b.high && a.low == b.low;
                               }),
                   entries_.end());
    entries_.shrink_to_fit();
  }

  std::optional<size_t> Find(const std::string& key) const {
    const uint64_t h = KeyHash(key);
    const Entry wanted{static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(h), 0};
    auto it = std::lower_bound(entries_.begin(), entries_.end(), wanted,
                               [](const Entry& a, const Entry& b) {
                                 return a.high != b.high ? a.high < b.high : a.low < b.low;
                               });
    if (it == entries_.end() || it->high != wanted.high || it->low != wanted.low) {
      return std::nullopt;
    }
    return it->index;
  }

 private:
  struct Entry {
    uint32_t high, low, index;
  };
  std::vector<Entry> entries_;
};

}  // namespace

// The warnings come in the order of the records they are about, the display
// name's first; about one record, in the order of the records whose reading
// found them, then as found. So the records may be read in any order.
class Finder {
 public:
  Finder(size_t first, uint32_t code_page) : first_(first), code_page_(code_page) {}

  void Expect(size_t records, bool fonts) {
    first_identity_.Reserve(records);
    fonts_ = fonts;
  }

  std::string Name(size_t index) const {
    if (index >= first_) return "records[" + std::to_string(index - first_) + "]";
    return "the file's record " + std::to_string(index + 1);
  }

  void Warn(size_t record, const char* field, const char* warning, const std::string& message,
            const std::string& hint = "") {
    if (record < first_) return;
    found_.push_back({{record, field, warning, message, hint}, reading_, found_.size()});
  }

  // A warning about record that only the first record read in it (the
  // lowest index) gives: the one from a lower index replaces it.
  void WarnOnce(size_t record, const char* field, const char* warning, const std::string& message) {
    if (record < first_) return;
    auto [it, fresh] = once_.try_emplace(record);
    if (!fresh && it->second.reading <= reading_) return;
    it->second = {{record, field, warning, message, {}}, reading_, found_.size()};
  }

  void NameWarnings(const std::string& display_name, bool name_is_new) {
    if (name_is_new && display_name.size() > kLongestSafeDisplayName) {
      found_.push_back({{std::nullopt, "display_name", id::kLongDisplayName,
                           std::to_string(display_name.size()) +
                               " bytes; the registration key's path then passes 255 characters, "
                               "which Wine and some registries refuse: keep it to " +
                               std::to_string(kLongestSafeDisplayName),
                           {}},
                          0, found_.size()});
    }
    if (name_is_new) {
      const std::string misleading = MisleadingName(DecodeAnsi(display_name, code_page_));
      if (!misleading.empty()) {
        found_.push_back(
            {{std::nullopt, "display_name", id::kMisleadingName, misleading, {}}, 0, found_.size()});
      }
    }
  }

  std::vector<Warning> Take() {
    for (auto& [record, found] : once_) found_.push_back(std::move(found));
    once_.clear();
    const auto key = [](const Found& f) { return f.warning.record ? *f.warning.record + 1 : 0; };
    std::sort(found_.begin(), found_.end(), [&](const Found& a, const Found& b) {
      if (key(a) != key(b)) return key(a) < key(b);
      if (a.reading != b.reading) return a.reading < b.reading;
      return a.order < b.order;
    });
    std::vector<Warning> warnings;
    warnings.reserve(found_.size());
    for (Found& f : found_) warnings.push_back(std::move(f.warning));
    found_.clear();
    return warnings;
  }

  // Where each directory, file, file name, Program Manager group and record
  // first appears: every record is noted before any is read.
  void Note(size_t i, const ManifestRecord& r) {
    const std::string identity = Identity(r);
    if (!identity.empty()) first_identity_.Add(identity, i);
    switch (r.type) {
        case RecordType::kDirectory: first_directory_.Add(DirectoryKey(r.path), i); break;
        case RecordType::kFile: {
          // Only a font looks its file up.
          if (!fonts_) break;
          const std::string path = Folded(r.path);
          first_file_.Add(path, i);
          first_file_name_.Add(path.substr(path.find_last_of('\\') + 1), i);
          break;
        }
        case RecordType::kShellGroup: first_group_.Add(Folded(r.group), i); break;
        case RecordType::kEndOfLog:
        case RecordType::kIniEntry:
        case RecordType::kRegistryValue:
        case RecordType::kUnused5:
        case RecordType::kFont:
        case RecordType::kShellItem: break;
    }
  }

  void Seal() {
    for (FirstSeen* table :
         {&first_directory_, &first_file_, &first_file_name_, &first_group_, &first_identity_}) {
      table->Seal();
    }
  }

  void Record(size_t i, const ManifestRecord& r, const std::string& display_name) {
    reading_ = i;
    Read(i, r, display_name);
  }

 private:
  struct Found {
    Warning warning;
    size_t reading;  // the index of the record whose reading found it
    size_t order;    // as found
  };

  static std::string DirectoryKey(const std::string& path) {
    std::string key = Folded(path);
    while (key.size() > 3 && key.back() == '\\') key.pop_back();
    return key;
  }

  // Every byte of every field, so that two records are the same exactly
  // when they undo the same thing; empty for records that may repeat.
  static std::string Identity(const ManifestRecord& r) {
    // One INI line per record (a key may repeat); a file replaced twice
    // has two saved contents.
    if ((r.type == RecordType::kIniEntry && r.flag) || r.saved || r.type == RecordType::kUnused5) {
      return "";
    }
    std::string identity(1, static_cast<char>(r.type));
    for (const std::string* field : {&r.path, &r.file, &r.section, &r.key, &r.prior, &r.value,
                                     &r.root, &r.name, &r.group, &r.item}) {
      identity += Folded(*field);
      identity += '\0';
    }
    identity += r.flag ? '1' : '0';
    if (r.data) identity += "=" + *r.data;
    return identity;
  }

  // The names a person reads: in the confirmation, a report, an editor.
  void Misleading(size_t i, const ManifestRecord& r) {
    const std::pair<const char*, const std::string*> names[] = {
        {"path", &r.path}, {"file", &r.file}, {"section", &r.section}, {"key", &r.key},
        {"name", &r.name}, {"group", &r.group}, {"item", &r.item}};
    for (const auto& [field, text] : names) {
      if (text->empty()) continue;
      const std::string misleading = MisleadingName(DecodeAnsi(*text, code_page_));
      if (!misleading.empty()) Warn(i, field, id::kMisleadingName, misleading);
    }
  }

  void Read(size_t i, const ManifestRecord& r, const std::string& display_name) {
    Misleading(i, r);
    const std::string identity = Identity(r);
    const std::optional<size_t> first =
        identity.empty() ? std::nullopt : first_identity_.Find(identity);
    if (first && *first < i) {
      if (r.type == RecordType::kRegistryValue && !r.data && !r.path.empty() &&
          r.path.back() == '\\') {
        // A registry_key is logged as just this record, so the two can
        // meet without either being written twice.
        Warn(i, "", id::kDuplicate,
             "deletes the default value of " + r.root + "\\" + r.path.substr(0, r.path.size() - 1) +
                 " and then the key when it is empty, as " + Name(*first) +
                 " does (a registry_key record is logged as that same record); the second "
                 "does nothing more: leave one out");
      } else {
        Warn(i, "", id::kDuplicate,
             "the same as " + Name(*first) + "; the uninstall undoes it twice");
      }
    }
    switch (r.type) {
      case RecordType::kDirectory:
      case RecordType::kFile:
        InsideLaterDirectory(i, r.path);
        UnexpandedVariable(i, "path", r.path);
        break;
      case RecordType::kRegistryValue: Registry(i, r, display_name); break;
      case RecordType::kFont: Font(i, r); break;
      case RecordType::kShellItem: {
        const std::optional<size_t> group = first_group_.Find(Folded(r.group));
        if (group && *group > i) {
          WarnOnce(*group, "group", id::kItemBeforeGroup,
               "the group comes after " + Name(i) +
                   ", an item in it: the uninstall deletes the group first, and the item "
                   "with it; log the group before its items");
        }
        break;
      }
      case RecordType::kIniEntry:
        if (!r.flag && r.section.size() >= 2 && r.section.front() == '[' &&
            r.section.back() == ']') {
          Warn(i, "section", id::kBracketedSection,
               "with flag false the section is its name without brackets (Fonts, not [Fonts]); "
               "as written the uninstall looks for a section named \"" + r.section + "\"");
        }
        if (!r.flag && r.prior != kiv::kCreatedKeyMarker &&
            Folded(r.prior) == kiv::kCreatedKeyMarker) {
          Warn(i, "prior", id::kNullMarkerCase,
               std::string("only \"") + kiv::kCreatedKeyMarker +
                   "\" exactly (lower case) marks a key the installation created; \"" +
                   r.prior + "\" is taken as old text, so the key is set, not removed");
        } else if (!r.flag && r.prior != "<null>" && r.prior != r.value &&
                   !(r.prior.empty() && r.value == "<null>")) {
          // The natural reading (prior the old text, value the new) is the
          // wrong way round: value is what goes back. ("restore" of the text
          // "<null>" is written with an empty prior.)
          Warn(i, "prior", id::kPriorValueSwapped,
               "\"" + r.prior + "\" is not the text put back: the uninstall writes value (\"" +
                   r.value + "\") back, and prior only tells \"<null>\" (remove the key) from "
                   "anything else",
               "if \"" + r.prior + "\" is the old text, write \"restore\": \"" + r.prior +
                   "\" in place of prior, value and flag; for a key the installation created, "
                   "\"remove\": true");
        }
        if (Folded(r.file).find('%') != std::string::npos) UnexpandedVariable(i, "file", r.file);
        break;
      case RecordType::kUnused5:
        Warn(i, "", id::kUnusedRecord, "an unused5 record; the uninstall passes it over");
        break;
      case RecordType::kEndOfLog:
      case RecordType::kShellGroup: break;
    }
  }

  // A full path holding %NAME%: nothing expands it, so the uninstall looks
  // for a directory of that very name. (A path that is not full is refused,
  // with the same hint.)
  void UnexpandedVariable(size_t i, const char* field, const std::string& path) {
    const std::string name = EnvironmentVariable(path);
    if (name.empty() || !IsFullPath(Separators(path, code_page_))) return;
    Warn(i, field, id::kEnvironmentVariable,
         "holds " + name + ", which nothing expands: the uninstall looks for a name spelt \"" +
             name + "\"",
         "give the path the installation resolved it to");
  }

  // A file or directory inside a directory whose record comes only after
  // it: undone last first, the directory goes while it still holds this,
  // so it stays.
  void InsideLaterDirectory(size_t i, const std::string& path) {
    const std::string folded = DirectoryKey(path);
    for (size_t cut = folded.find_last_of('\\'); cut != std::string::npos && cut > 0;
         cut = folded.find_last_of('\\', cut - 1)) {
      std::optional<size_t> dir = first_directory_.Find(folded.substr(0, cut));
      if (!dir) dir = first_directory_.Find(folded.substr(0, cut + 1));
      if (dir && *dir > i) {
        WarnOnce(*dir, "path", id::kBeforeItsDirectory,
             "the directory comes after " + Name(i) + " (" + path +
                 "), which lies in it: the uninstall removes the directory first, while it still "
                 "holds that, and leaves it; log a directory before what goes in it");
      }
      if (cut == 0) break;
    }
  }

  void Registry(size_t i, const ManifestRecord& r, const std::string& display_name) {
    const std::string path = Folded(r.path);
    const std::string head = path.substr(0, path.find('\\'));
    for (const char* root : kRootSpellings) {
      if (head == root && path.size() > head.size()) {
        Warn(i, "path", id::kRootInPath,
             "starts with a root key (" + r.path.substr(0, head.size()) +
                 "), but the path is taken below the root named in \"root\" (" + r.root +
                 "\\" + r.path.substr(0, head.size()) + "\\...); leave it out");
        break;
      }
    }
    if (Separators(path, code_page_).find("\\\\") != std::string::npos) {
      Warn(i, "path", id::kEmptyKeyName,
           "holds two backslashes in a row: a key with an empty name, which no key has");
    }
    const std::string own =
        "software\\microsoft\\windows\\currentversion\\uninstall\\" + Folded(display_name);
    if (!display_name.empty() && path.rfind(own, 0) == 0 &&
        (path.size() == own.size() || path[own.size()] == '\\')) {
      Warn(i, "path", id::kOwnRegistration,
           "the product's own uninstall registration: the uninstall removes it itself once "
           "everything else is undone, and keeps it when a step fails; logged, it goes at "
           "once and the product drops off the list while it is still installed");
    }
  }

  void Font(size_t i, const ManifestRecord& r) {
    if (EndsWithIgnoringCase(r.name, " (TrueType)")) {
      Warn(i, "name", id::kTrueTypeSuffix,
           "ends with \" (TrueType)\", which the uninstall adds itself: it would look for \"" +
               r.name + " (TrueType)\"; leave the suffix out");
    }
    const std::string file = Folded(r.file);
    const bool bare = Separators(file, code_page_).find('\\') == std::string::npos;
    const auto& firsts = bare ? first_file_name_ : first_file_;
    const std::optional<size_t> logged = firsts.Find(file);
    if (logged && *logged > i) {
      Warn(i, "file", id::kFontBeforeFile,
           "its file is logged only after it, in " + Name(*logged) +
               ": the uninstall deletes the file first, while the font still holds it; log "
               "the file before the font");
    }
  }

  size_t first_;
  uint32_t code_page_;
  FirstSeen first_directory_, first_file_, first_file_name_, first_group_, first_identity_;
  std::vector<Found> found_;
  std::map<size_t, Found> once_;  // WarnOnce's, by the record they are about
  bool fonts_ = true;             // the records may hold a font
  size_t reading_ = 0;
};

std::vector<Warning> FindWarnings(const std::vector<const ManifestRecord*>& records, size_t first,
                                  const std::string& display_name, bool name_is_new,
                                  uint32_t code_page) {
  WarningPass pass(first, display_name, name_is_new, code_page);
  for (size_t i = 0; i < records.size(); ++i) pass.Note(i, *records[i]);
  pass.Seal();
  for (size_t i = 0; i < records.size(); ++i) pass.Read(i, *records[i]);
  return pass.Take();
}

WarningPass::WarningPass(size_t first, const std::string& display_name, bool name_is_new,
                         uint32_t code_page)
    : finder_(std::make_unique<Finder>(first, code_page)), display_name_(display_name) {
  finder_->NameWarnings(display_name, name_is_new);
}

WarningPass::~WarningPass() = default;

void WarningPass::Expect(size_t records, bool fonts) { finder_->Expect(records, fonts); }

void WarningPass::Note(size_t index, const ManifestRecord& record) { finder_->Note(index, record); }

void WarningPass::Seal() { finder_->Seal(); }

void WarningPass::Read(size_t index, const ManifestRecord& record) {
  finder_->Record(index, record, display_name_);
}

std::vector<Warning> WarningPass::Take() { return finder_->Take(); }

}  // namespace kivlog
