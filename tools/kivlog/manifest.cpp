#include "manifest.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "code_page.h"
#include "file_time.h"
#include "rules.h"

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
        FieldRule r{name, Kind::kString, field.limit, StringTarget(name)};
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

class Parser {
 public:
  Parser(ManifestError* error, uint32_t code_page) : error_(error), code_page_(code_page) {}

  bool Fail(const std::string& field, const std::string& message) {
    error_->field = field;
    error_->message = message;
    return false;
  }

  // A JSON string converted to the code page and held within limit bytes
  // (NUL included).
  bool Text(const Json& v, const std::string& field, uint32_t limit, std::string* out) {
    if (!v.is_string()) return Fail(field, "not a string");
    const std::string& utf8 = v.get_ref<const std::string&>();
    if (utf8.find('\0') != std::string::npos) return Fail(field, "holds a NUL character");
    std::string bad;
    if (!EncodeAnsi(utf8, code_page_, out, &bad)) {
      if (code_page_ == kAsciiOnly) {
        return Fail(
            field,
            "holds " + bad + ", which is not ASCII; name the target's code page in \"code_page\"");
      }
      return Fail(field, "holds " + bad + ", which code page " + std::to_string(code_page_) +
                             " cannot hold");
    }
    if (out->size() > limit - 1) {
      return Fail(field, "longer than " + std::to_string(limit - 1) + " bytes");
    }
    return true;
  }

  // Every key of obj must be one of the names allowed.
  bool OnlyKnownKeys(const Json& obj, const std::string& where,
                     const std::vector<std::string>& allowed) {
    for (const auto& [key, value] : obj.items()) {
      bool known = false;
      for (const auto& a : allowed) known = known || a == key;
      if (!known) return Fail(where + key, "unknown field");
    }
    return true;
  }

  bool CodePage(const Json& root) {
    auto it = root.find("code_page");
    if (it == root.end()) return true;
    if (!it->is_number_unsigned() || it->get<uint64_t>() > 0xFFFFFFFFu ||
        !IsKnownCodePage(it->get<uint32_t>()) || it->get<uint32_t>() == kAsciiOnly) {
      return Fail("code_page", std::string("not a Windows ANSI code page this tool knows (") +
                                   KnownCodePagesText() + ")");
    }
    code_page_ = it->get<uint32_t>();
    return true;
  }

  bool DisplayNameField(const Json& root, DisplayName need, std::optional<std::string>* out) {
    auto it = root.find("display_name");
    if (it == root.end()) {
      return need == DisplayName::kOptional || Fail("display_name", "missing");
    }
    std::string name;
    if (!Text(*it, "display_name", kiv::kDisplayNameLimit, &name)) return false;
    if (auto fault = DisplayNameFault(it->get<std::string>())) return Fail("display_name", *fault);
    *out = std::move(name);
    return true;
  }

  bool Saved(const Json& v, const std::string& field, std::optional<SavedContent>* out) {
    if (v.is_null()) return true;
    if (!v.is_object()) return Fail(field, "not an object");
    if (!OnlyKnownKeys(v, field + ".", {"content_file", "time"})) return false;
    SavedContent saved;
    auto file = v.find("content_file");
    if (file == v.end()) return Fail(field + ".content_file", "missing");
    if (!file->is_string()) return Fail(field + ".content_file", "not a string");
    saved.content_file = file->get<std::string>();
    if (saved.content_file.empty() || saved.content_file.find('\0') != std::string::npos) {
      return Fail(field + ".content_file", "not a file name");
    }
    auto time = v.find("time");
    if (time != v.end()) {
      const std::string where = field + ".time";
      if (time->is_number_unsigned()) {
        if (time->get<uint64_t>() > kLastFileTime) {
          return Fail(where, "above " + std::to_string(kLastFileTime) + ", the last FILETIME");
        }
        saved.time = time->get<uint64_t>();
      } else if (time->is_string() && IsDecimal(time->get_ref<const std::string&>())) {
        // A FILETIME as a string: JSON tools that read numbers as doubles
        // keep it exact, so the listing gives times this way.
        const std::string& digits = time->get_ref<const std::string&>();
        if (digits.size() > 19 || std::stoull(digits) > kLastFileTime) {
          return Fail(where, "above " + std::to_string(kLastFileTime) + ", the last FILETIME");
        }
        saved.time = std::stoull(digits);
      } else if (time->is_string()) {
        saved.time = ParseUtcTime(time->get<std::string>());
        if (!saved.time) {
          return Fail(where, "not a UTC time like 2020-01-02T03:04:05Z (years 1601 to 9999)");
        }
      } else {
        return Fail(where, "not a FILETIME integer or a UTC time string");
      }
    }
    *out = std::move(saved);
    return true;
  }

  bool Record(const Json& v, const std::string& where, ManifestRecord* record) {
    if (!v.is_object()) return Fail(where, "not an object");
    auto type = v.find("type");
    if (type == v.end()) return Fail(where + ".type", "missing");
    if (!type->is_string()) return Fail(where + ".type", "not a string");
    const TypeRule* rule = nullptr;
    for (const auto& r : TypeRules()) {
      if (type->get_ref<const std::string&>() == r.name) rule = &r;
    }
    if (!rule) {
      return Fail(where + ".type", "unknown record type \"" + type->get<std::string>() + "\"");
    }
    record->type = rule->type;
    std::vector<std::string> allowed = {"type"};
    for (const auto& f : rule->fields) allowed.push_back(f.name);
    if (!OnlyKnownKeys(v, where + ".", allowed)) return false;

    for (const auto& f : rule->fields) {
      const std::string field = where + "." + f.name;
      auto it = v.find(f.name);
      const bool optional = f.kind == Kind::kData || f.kind == Kind::kSaved;
      if (it == v.end()) {
        if (optional) continue;
        return Fail(field, "missing");
      }
      switch (f.kind) {
        case Kind::kString:
          if (!Text(*it, field, f.limit, &(record->*f.target))) return false;
          break;
        case Kind::kFlag:
          if (!it->is_boolean()) return Fail(field, "not true or false");
          record->flag = it->get<bool>();
          break;
        case Kind::kRoot:
          if (!Text(*it, field, f.limit, &(record->*f.target))) return false;
          break;
        case Kind::kData:
          if (!it->is_null()) {
            std::string data;
            if (!Text(*it, field, f.limit, &data)) return false;
            record->data = std::move(data);
          }
          break;
        case Kind::kSaved:
          if (!Saved(*it, field, &record->saved)) return false;
          break;
      }
    }
    // What the stub would pass over or misread is refused here, where the
    // author can still mend it.
    if (auto fault = RecordFault(*record)) return Fail(where + "." + fault->field, fault->message);
    return true;
  }

  bool Whole(const Json& root, DisplayName need, Manifest* manifest) {
    if (!root.is_object()) return Fail("", "not a JSON object");
    if (!OnlyKnownKeys(root, "", {"display_name", "code_page", "code_page_record", "records"})) {
      return false;
    }
    if (!CodePage(root)) return false;
    manifest->code_page = code_page_;
    manifest->code_page_named = root.find("code_page") != root.end();
    auto record = root.find("code_page_record");
    if (record != root.end()) {
      if (!record->is_boolean()) return Fail("code_page_record", "not true or false");
      if (!manifest->code_page_named) return Fail("code_page_record", "without \"code_page\"");
      manifest->code_page_record = record->get<bool>();
    }
    if (!DisplayNameField(root, need, &manifest->display_name)) return false;
    auto records = root.find("records");
    if (records == root.end()) return Fail("records", "missing");
    if (!records->is_array()) return Fail("records", "not an array");
    manifest->records.resize(records->size());
    for (size_t i = 0; i < records->size(); ++i) {
      if (!Record((*records)[i], "records[" + std::to_string(i) + "]", &manifest->records[i])) {
        return false;
      }
    }
    return true;
  }

 private:
  ManifestError* error_;
  uint32_t code_page_;
};

// Builds the document from the parser's events, as a plain parse would, and
// keeps the path to the value being read, to name the first key that an
// object gives twice: the JSON grammar allows it, but one of the two would
// be lost without a word (the document keeps the last, as a plain parse).
// Each event costs the same whatever came before it, so a manifest of a
// million records parses in ten times what a hundred thousand take.
class DocumentBuilder {
 public:
  explicit DocumentBuilder(Json* root) : root_(root) {}

  bool null() { return Value(nullptr); }
  bool boolean(bool value) { return Value(value); }
  bool number_integer(Json::number_integer_t value) { return Value(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return Value(value); }
  bool number_float(Json::number_float_t value, const Json::string_t&) { return Value(value); }
  bool string(Json::string_t& value) { return Value(std::move(value)); }
  bool binary(Json::binary_t& value) { return Value(std::move(value)); }
  bool start_object(std::size_t) { return Open(Json::object()); }
  bool start_array(std::size_t) { return Open(Json::array()); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(Json::string_t& key) {
    Frame& top = frames_.back();
    const bool twice = top.value->contains(key);
    top.key = std::move(key);
    if (twice && !duplicate_) duplicate_ = Path();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const Json::exception& e) {
    error_ = e.what();
    return false;
  }

  // The path of the first key given twice ("records[1].type").
  const std::optional<std::string>& duplicate() const { return duplicate_; }
  // The library's text of the syntax error that stopped the parse.
  const std::string& error() const { return error_; }

 private:
  struct Frame {
    Json* value;      // the object or array being filled
    size_t count;     // values so far, in an array
    std::string key;  // the key being read, in an object
  };

  // Puts a value where the parser is: the root, the next element of an
  // array, or the object's member under the last key.
  Json* Place(Json&& value) {
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

  Json* root_;
  std::vector<Frame> frames_;
  std::optional<std::string> duplicate_;
  std::string error_;
};

}  // namespace

ManifestResult ParseManifest(const std::string& text, DisplayName display_name,
                             uint32_t default_code_page) {
  ManifestResult result;
  Json root;
  DocumentBuilder builder(&root);
  if (!Json::sax_parse(text, &builder)) {
    // A syntax error (its text names the line and column), or a number too
    // large for any type. The library's text starts with its own
    // "[json.exception...] " tag.
    const std::string& what = builder.error();
    size_t tag_end = what.find("] ");
    result.error.message =
        "not valid JSON: " + (tag_end == std::string::npos ? what : what.substr(tag_end + 2));
    return result;
  }
  if (builder.duplicate()) {
    result.error = {*builder.duplicate(), "given twice"};
    return result;
  }
  Manifest manifest;
  Parser parser(&result.error, default_code_page);
  if (parser.Whole(root, display_name, &manifest)) result.manifest = std::move(manifest);
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
