#include "manifest.h"

#include <nlohmann/json.hpp>
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

namespace id = error_id;

// Reads the document into a Manifest, gathering every fault: a field at
// fault is left out and reading goes on with the next one, so one run names
// them all.
class Parser {
 public:
  Parser(std::vector<ManifestError>* errors, uint32_t code_page, Target target)
      : errors_(errors), code_page_(code_page), target_(target) {}

  bool Fail(const char* error, const std::string& field, const std::string& message) {
    errors_->push_back({field, message, error, std::nullopt});
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
    for (const auto& [key, value] : obj.items()) {
      bool known = false;
      for (const auto& a : allowed) known = known || a == key;
      if (!known) all_known = Fail(id::kUnknownField, where + key, "unknown field");
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
      return need == DisplayName::kOptional || Fail(id::kMissing, "display_name", "missing");
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
      return Fail(id::kRecordType, where + ".type",
                  "unknown record type \"" + type->get<std::string>() + "\"");
    }
    record->type = rule->type;
    std::vector<std::string> allowed = {"type"};
    for (const auto& f : rule->fields) allowed.push_back(f.name);
    bool ok = OnlyKnownKeys(v, where + ".", allowed);

    for (const auto& f : rule->fields) {
      const std::string field = where + "." + f.name;
      auto it = v.find(f.name);
      const bool optional = f.kind == Kind::kData || f.kind == Kind::kSaved;
      if (it == v.end()) {
        if (!optional) ok = Fail(id::kMissing, field, "missing");
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
      ok = Fail(fault.id, where + "." + fault.field, fault.message);
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
        ok = Fail(id::kMissing, where + "." + name, "missing");
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
                fault.message);
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
    if (records == root.end()) return Fail(id::kMissing, "records", "missing");
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
  std::vector<ManifestError>* errors_;
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

}  // namespace

ManifestResult ParseManifest(const std::string& text, DisplayName display_name,
                             uint32_t default_code_page, Target target) {
  ManifestResult result;
  result.map.SetText(text);
  Json root;
  DocumentBuilder builder(&root, text, &result.map);
  if (!Json::sax_parse(builder.Begin(), builder.End(), &builder)) {
    // A syntax error (its text names the line and column), or a number too
    // large for any type. The library's text starts with its own
    // "[json.exception...] " tag.
    const std::string& what = builder.error();
    size_t tag_end = what.find("] ");
    result.errors.push_back(
        {"", "not valid JSON: " + (tag_end == std::string::npos ? what : what.substr(tag_end + 2)),
         error_id::kNotJson, builder.error_offset()});
    result.error = result.errors.front();
    return result;
  }
  if (builder.duplicate()) {
    result.errors.push_back({builder.duplicate()->first, "given twice", error_id::kGivenTwice,
                             builder.duplicate()->second});
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
  return "invalid";
}

bool WriteFieldRecord(kiv::LogWriter& writer, const ManifestRecord& r) {
  if (r.type == RecordType::kEndOfLog || (r.type == RecordType::kFile && r.saved)) return false;
  const kiv::RecordLayout& layout = kiv::LayoutOf(r.type);
  kiv::FieldValue values[kiv::kMaxFields];
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
    }
  }
  return writer.AddRecord(r.type, values);
}

const std::string* FieldText(const ManifestRecord& record, const char* name) {
  std::string ManifestRecord::*target = StringTarget(name);
  return target ? &(record.*target) : nullptr;
}

}  // namespace kivlog
