// Diagnostics: every refusal and warning of one run, each with an id an
// author can look up and silence (warnings only), the manifest field it is
// about and, where a manifest is read, its line and column.
//
// Text lines take the form compilers give, which editors and CI annotators
// already read:
//
//   setup/m.json(4,7): error KIV0015: records[2].path: not a full path ...
//   setup/m.json(9,5): warning KIVW003: records[6].path: ...
//   kivlog: out.exe: warning KIVW006: records[3] (file at offset ...): ...
//
// The last form is for an uninstall file, which has no lines.
#ifndef KIVLOG_DIAGNOSTICS_H_
#define KIVLOG_DIAGNOSTICS_H_

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace kivlog {

// Refusals: the input can never make a file that works.
namespace error_id {
inline constexpr const char* kNotJson = "KIV0001";
inline constexpr const char* kGivenTwice = "KIV0002";
inline constexpr const char* kUnknownField = "KIV0003";
inline constexpr const char* kMissing = "KIV0004";
inline constexpr const char* kWrongKind = "KIV0005";
inline constexpr const char* kNotInCodePage = "KIV0006";
inline constexpr const char* kTooLong = "KIV0007";
inline constexpr const char* kCodePage = "KIV0008";
inline constexpr const char* kRecordType = "KIV0009";
inline constexpr const char* kDisplayName = "KIV0010";
inline constexpr const char* kRoot = "KIV0011";
inline constexpr const char* kProgramManagerName = "KIV0012";
inline constexpr const char* kSaved = "KIV0013";
inline constexpr const char* kControlCharacter = "KIV0014";
inline constexpr const char* kNotFullPath = "KIV0015";
inline constexpr const char* kEmpty = "KIV0016";
inline constexpr const char* kNeverMatches = "KIV0017";
inline constexpr const char* kLongPathForm = "KIV0018";
inline constexpr const char* kContentFile = "KIV0020";
inline constexpr const char* kStub = "KIV0021";
inline constexpr const char* kStubImage = "KIV0022";
inline constexpr const char* kFileTooLarge = "KIV0023";
inline constexpr const char* kOutputIsInput = "KIV0024";
inline constexpr const char* kWarningsAsErrors = "KIV0025";
inline constexpr const char* kDeviceName = "KIV0026";
inline constexpr const char* kIo = "KIV0030";
// A manifest in an encoding other than UTF-8 or UTF-16 with its byte order
// mark (ids from the top of the range down, so that none meets another's).
inline constexpr const char* kEncoding = "KIV0099";
// kivlog register: a value the list of programs' readers need is missing or
// unsound.
inline constexpr const char* kRegistration = "KIV0098";
}  // namespace error_id

// Warnings: likely mistakes that still make a working file.
namespace warning_id {
inline constexpr const char* kRootInPath = "KIVW001";
inline constexpr const char* kTrueTypeSuffix = "KIVW002";
inline constexpr const char* kBeforeItsDirectory = "KIVW003";
inline constexpr const char* kItemBeforeGroup = "KIVW004";
inline constexpr const char* kOwnRegistration = "KIVW005";
inline constexpr const char* kDuplicate = "KIVW006";
inline constexpr const char* kFontBeforeFile = "KIVW007";
inline constexpr const char* kBracketedSection = "KIVW008";
inline constexpr const char* kNullMarkerCase = "KIVW009";
inline constexpr const char* kLongDisplayName = "KIVW010";
inline constexpr const char* kUnusedRecord = "KIVW011";
inline constexpr const char* kEmptyKeyName = "KIVW012";
// The stub cannot undo the record: a per-user stub and a record that needs
// administrator rights, an x86_64 stub and a Sysnative path (stub_rules.h).
inline constexpr const char* kStubCannotUndo = "KIVW013";
// A name that shows other than it is: a bidirectional control, a character
// of no width, Latin mixed with Cyrillic or Greek in one word.
inline constexpr const char* kMisleadingName = "KIVW014";
// An INI entry whose prior is old text and whose value the new: the
// uninstall writes value back, so it puts back what the installation wrote.
inline constexpr const char* kPriorValueSwapped = "KIVW099";
// A path holding %NAME%, which nothing expands.
inline constexpr const char* kEnvironmentVariable = "KIVW098";
}  // namespace warning_id

enum class Severity { kError, kWarning };

struct Diagnostic {
  Severity severity = Severity::kError;
  std::string id;       // "KIV0015", "KIVW003"; empty for a fault with no id of its own
  std::string field;    // "records[2].path", "display_name"; empty: the input as a whole
  std::string message;  // "not a full path ..."
  // Where a manifest is read, the byte offset in its text the field lies at.
  std::optional<size_t> offset;
  // What the author likely meant ("did you mean \"path\"?"); may be empty.
  std::string hint;
};

// Where each field of a manifest's text lies: kept by the parser, asked by
// field path ("records[2].saved.time") when a diagnostic is printed.
class SourceMap {
 public:
  void SetText(const std::string& text);
  void Root(const std::string& key, size_t offset) { root_[key] = offset; }
  void Record(size_t offset) { records_.push_back({offset, {}}); }
  // A field of the last record begun ("path", "saved.time").
  void Field(const std::string& name, size_t offset) {
    if (!records_.empty()) records_.back().fields.emplace_back(name, offset);
  }
  // The offset of field, else of the nearest thing that holds it; 0 (the
  // start of the text) when nothing does.
  size_t Locate(const std::string& field) const;
  // 1-based line and column (in characters) of a byte offset.
  std::pair<size_t, size_t> LineColumn(size_t offset) const;

 private:
  struct RecordPlace {
    size_t object;
    std::vector<std::pair<std::string, size_t>> fields;
  };
  std::map<std::string, size_t> root_;
  std::vector<RecordPlace> records_;
  std::vector<size_t> line_starts_;
  std::string text_;  // a copy: the map outlives the text it was made from
};

// What the command line asks of warnings.
struct WarningPolicy {
  bool as_errors = false;         // --werror, -WX
  std::set<std::string> silenced;  // --no-warn ID, -wd ID
  bool json = false;               // --json: the run's diagnostics as one JSON document
};

// Gathers the diagnostics of one run and prints them at the end, each once,
// in the order found: as lines on the error stream, or as JSON.
class Report {
 public:
  explicit Report(const WarningPolicy& policy) : policy_(policy) {}

  // label: the file as messages name it; map: its text's places, or null.
  void Add(const std::string& label, const SourceMap* map, Diagnostic d);
  void Error(const std::string& label, const char* id, const std::string& message) {
    Add(label, nullptr, {Severity::kError, id, "", message, std::nullopt, {}});
  }
  // Takes the "kivlog: ..." lines the shared helpers wrote into captured as
  // errors of their own (printed as they are, with id in JSON) and empties it.
  void Absorb(std::ostringstream& captured, const char* id);

  bool HasErrors() const;
  // Warnings counted as errors under --werror (after the silenced ones).
  bool FailsOnWarnings() const { return policy_.as_errors && warnings_ > 0; }
  const WarningPolicy& policy() const { return policy_; }

  // Prints everything; text on err, or with --json one document on out
  // holding `extra`'s members too. The exit code for the run.
  int Finish(std::ostream& out, std::ostream& err, nlohmann::ordered_json extra = {});

 private:
  struct Entry {
    std::string label;
    Diagnostic d;
    size_t line = 0, column = 0;  // 0: no place in a text
    bool raw = false;             // d.message is the whole line
  };
  WarningPolicy policy_;
  std::vector<Entry> entries_;
  size_t warnings_ = 0;
};

// One diagnostic as a line, without the line end.
std::string DiagnosticLine(const std::string& label, size_t line, size_t column,
                           const Diagnostic& d, bool warning_as_error);

}  // namespace kivlog

#endif  // KIVLOG_DIAGNOSTICS_H_
