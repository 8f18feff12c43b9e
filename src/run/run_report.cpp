#include "run/run_report.h"

#include "base/decimal_text.h"
#include "base/hex_text.h"
#include "base/path_rules.h"
#include "uninstall_file/layout.h"
#include "uninstall_file/log_reader.h"
#include "platform/win32.h"
#include "run/record_actions.h"
#include "run/walk_rule.h"

namespace kiv {

namespace {

// JSON gives who holds a file without the text's "held by: ".
constexpr uint32_t kHeldByLead = sizeof("held by: ") - 1;

// By Undone's order.
constexpr const char* kUndoneTexts[] = {
    "no action",
    "removed",
    "restored",
    "already gone",
    "kept: not empty",
    "goes with the uninstall file",
    "kept: read-only",
    "goes at the next start",
    "goes at the next start under its own path: a reinstall before then would lose it",
    "passed over: the uninstall file or this program",
    "passed over: the report of this run",
    "passed over: a link in its path",
    "refused by Program Manager",
    "passed over: an unsafe name",
    "passed over: a name this system cannot spell",
    "cannot tell: too many items before it to keep count of",
    "removed: no valid count of its users (taken as the last)",
    "kept: still used by ",  // the count and " products" follow
    "kept: changed since installation",
    "cannot tell: a name this system cannot compare exactly",
    "failed",
};
static_assert(sizeof(kUndoneTexts) / sizeof(kUndoneTexts[0]) ==
                  static_cast<uint32_t>(Undone::kFailed) + 1,
              "a text for every outcome");

// By Left's order: what the record leaves, for JSON's "left".
constexpr const char* kLeftTexts[] = {"nothing", "at restart", "harmless", "refused",
                                      "holding data"};
static_assert(sizeof(kLeftTexts) / sizeof(kLeftTexts[0]) ==
                  static_cast<uint32_t>(Left::kHoldingData) + 1,
              "a text for every class");

// Makes the directories on the way to path that are not there yet, from
// the root down; a step that fails leaves the rest to the report's open.
void MakeParentDirectories(const char* path) {
  PathString read;
  uint32_t root = 0;
  if (!NormalizePath(path, platform::IsLeadByte, PathForm::kAsWritten, &read, &root)) return;
  AnyDirectoryOnTheWay(&read, root, platform::IsLeadByte,
                       [](const char* directory, void*) {
                         if (!platform::PathExists(directory)) platform::MakeDirectory(directory);
                         return false;  // on to the next
                       },
                       nullptr);
}

}  // namespace

const char* UndoneText(Undone what) { return kUndoneTexts[static_cast<uint32_t>(what)]; }

bool DefaultReportPath(const char* uninstall_file, LongString* out) {
  if (!platform::TempDirectory(out->data(), out->capacity()) || !out->Append("Kiv Uninstall ")) {
    return false;
  }
  {
    LogReader reader(uninstall_file, platform::IsLeadByte);
    if (reader.usable() && reader.display_name()[0] != '\0' &&
        (!AppendAsFileName(reader.display_name(), platform::IsLeadByte, out) ||
         !out->Append(" "))) {
      return false;
    }
  }
  const platform::LocalTime t = platform::Now();
  const uint16_t parts[] = {t.year, t.month, t.day, t.hour, t.minute, t.second};
  char stamp[] = "YYYYMMDD-HHMMSS.txt";
  char* p = stamp;
  for (uint32_t i = 0; i < 6; ++i) {
    const uint32_t digits = i == 0 ? 4 : 2;
    for (uint32_t k = digits; k > 0; --k) {
      uint32_t value = parts[i];
      for (uint32_t d = 1; d < k; ++d) value /= 10;
      *p++ = static_cast<char>('0' + value % 10);
    }
    if (i == 2) ++p;  // past the '-'
  }
  return out->Append(stamp);
}

RunReport::RunReport(const char* path) {
  if (!path) return;
  const uint32_t length = LengthWithin(path, 0xFFFF);
  json_ = length >= 5 && EqualsIgnoreAsciiCase(path + length - 5, ".json", 5);
  // Running elevated, a report is never written through a link a user could
  // have put on its way.
  if (platform::IsElevatedRun() && PathCrossesReparsePoint(path, false)) return;
  MakeParentDirectories(path);
  // Asked again once they are all there: a directory made here could have
  // been swapped for a link before the file is made in it. The check holds
  // them (without delete sharing) until the file is open.
  if (platform::IsElevatedRun() && PathCrossesReparsePoint(path, false)) return;
  file_ = platform::CreateReportFile(path);
}

RunReport::~RunReport() {
  if (!file_) return;
  Flush();
  platform::CloseFile(file_);
}

void RunReport::PutTime(bool json) {
  const platform::LocalTime t = platform::Now();
  // YYYY-MM-DD HH:MM:SS +HH:MM, local time and its offset from UTC (ISO 8601
  // in JSON: a T between the date and the time, no blank before the offset).
  const struct {
    const char* before;
    uint16_t value;
    uint32_t digits;
  } parts[] = {{"", t.year, 4},    {"-", t.month, 2},  {"-", t.day, 2},
               {json ? "T" : " ", t.hour, 2}, {":", t.minute, 2}, {":", t.second, 2}};
  for (const auto& part : parts) {
    Put(part.before);
    PutNumber(part.value, part.digits);
  }
  const uint32_t offset =
      static_cast<uint32_t>(t.offset_minutes < 0 ? -t.offset_minutes : t.offset_minutes);
  if (!json) Put(" ");
  Put(t.offset_minutes < 0 ? "-" : "+");
  PutNumber(offset / 60, 2);
  Put(":");
  PutNumber(offset % 60, 2);
}

void RunReport::Begin(const char* uninstall_file, const char* display_name, const char* note,
                      bool plan) {
  if (!file_) return;
  if (json_) {
    Put("{");
    PutJsonField("file", uninstall_file, true);
    PutJsonField("display_name", display_name);
    Put(", \"time\": \"");
    PutTime(true);
    Put(plan ? "\", \"mode\": \"plan\"" : "\", \"mode\": \"run\"");
    if (note) {
      PutJsonField("note", note);
    } else {
      Put(", \"note\": null");
    }
    Put(", \"records\": [");
    Flush();
    return;
  }
  // A byte-order mark: a UTF-8 report reads as such wherever it is opened.
  if (platform::NamesCodePage() != 0) Put("\xEF\xBB\xBF");
  Put(plan ? "Kiv Uninstall report (plan: nothing changed): \"" : "Kiv Uninstall report: \"");
  PutText(display_name);
  Put("\" from ");
  PutText(uninstall_file);
  Put(", ");
  PutTime(false);
  Put("\r\n");
  if (note) {
    Put("Note: ");
    PutText(note);
    Put("\r\n");
  }
}

void RunReport::Record(const char* type_name, const UndoStep& step) {
  if (!file_) return;
  ShortString outcome;
  char digits[11];
  outcome.Assign(UndoneText(step.what));
  if (step.what == Undone::kKeptShared) {
    outcome.Append(DecimalText(step.others, digits));
    outcome.Append(step.others == 1 ? " product" : " products");
  }
  if (json_) {
    // A record goes to the file whole: the close written after a flush
    // must follow a whole record, or a run stopped there leaves a document
    // that does not parse.
    if (sizeof(buffer_) - used_ < kJsonRecordRoom) Flush();
    Put(records_++ ? ",\r\n {" : "\r\n {");
    PutJsonField("type", type_name, true);
    PutJsonField("names", step.subject.c_str());
    PutJsonField("outcome", outcome.c_str());
    Put(", \"error\": ");
    PutNumber(step.error);
    PutJsonField("left", kLeftTexts[static_cast<uint32_t>(LeftBy(step.what, step.restores))]);
    if (!step.held_by.empty()) PutJsonField("held_by", step.held_by.c_str() + kHeldByLead);
    Put("}");
    return;
  }
  Put(type_name);
  if (!step.subject.empty()) {
    Put(" ");
    PutText(step.subject.c_str());
  }
  Put(": ");
  Put(outcome.c_str());
  if (step.what == Undone::kFailed) {
    Put(" (error ");
    PutNumber(step.error);
    Put(")");
  }
  if (!step.held_by.empty()) {
    Put(" (");
    PutText(step.held_by.c_str());
    Put(")");
  }
  if (LeftBy(step.what, step.restores) == Left::kHoldingData) {
    Put("; what it saved stays in the uninstall file");
  }
  Put("\r\n");
}

void RunReport::End(const char* outcome, uint32_t exit_code) {
  if (!file_) return;
  if (json_) {
    Put("], ");
    PutJsonField("outcome", outcome, true);
    Put(", \"exit_code\": ");
    PutNumber(exit_code);
    Put("}\r\n");
    json_ = false;  // closed for good: no close to write after it
    Flush();
    return;
  }
  Put("Outcome: ");
  PutText(outcome);
  Put(", exit code ");
  PutNumber(exit_code);
  Put("\r\n");
  Flush();
}

void RunReport::PutJsonField(const char* name, const char* text, bool first) {
  Put(first ? "\"" : ", \"");
  Put(name);
  Put("\": ");
  PutJsonString(text);
}

void RunReport::PutJsonString(const char* text) {
  // The names' code page to UTF-16, then every letter outside printable
  // ASCII as \uXXXX (a letter beyond the first plane is two of them). Every
  // field of a sound file, its NUL too, fits.
  uint16_t wide[kRegistryLimit + 1];
  const uint32_t n = platform::ToUtf16(text, wide, sizeof(wide) / sizeof(wide[0]));
  Put("\"");
  for (uint32_t i = 0; i < n; ++i) {
    const uint16_t c = wide[i];
    if (c == '"' || c == '\\') {
      const char escaped[] = {'\\', static_cast<char>(c), '\0'};
      Put(escaped);
    } else if (c >= 0x20 && c < 0x7F) {
      const char plain[] = {static_cast<char>(c), '\0'};
      Put(plain);
    } else {
      char escaped[] = "\\u0000";
      for (uint32_t k = 0; k < 4; ++k) escaped[5 - k] = "0123456789abcdef"[(c >> (4 * k)) & 15];
      Put(escaped);
    }
  }
  Put("\"");
}

void RunReport::PutText(const char* text) {
  if (platform::NamesCodePage() == 0) {
    // The system's code page, byte for byte: no second byte of a
    // double-byte letter is below 0x40.
    for (; *text; ++text) {
      const uint8_t c = static_cast<uint8_t>(*text);
      if (c < 0x20 || c == 0x7F) {
        char escaped[] = "\\x00";
        escaped[2] = kHexDigits[c >> 4];
        escaped[3] = kHexDigits[c & 15];
        Put(escaped);
      } else {
        const char plain[] = {static_cast<char>(c), '\0'};
        Put(plain);
      }
    }
    return;
  }
  uint16_t wide[kRegistryLimit + 1];
  const uint32_t n = platform::ToUtf16(text, wide, sizeof(wide) / sizeof(wide[0]));
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t c = wide[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    }
    // C0 and C1 controls, and the line and paragraph separators.
    if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029) {
      char escaped[] = "\\u0000";
      for (uint32_t k = 0; k < 4; ++k) escaped[5 - k] = kHexDigits[(c >> (4 * k)) & 15];
      Put(escaped);
    } else {
      PutLetter(c);
    }
  }
}

void RunReport::PutLetter(uint32_t c) {
  char bytes[5] = {};
  if (c < 0x80) {
    bytes[0] = static_cast<char>(c);
  } else if (c < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (c >> 6));
    bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (c >> 12));
    bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    bytes[0] = static_cast<char>(0xF0 | (c >> 18));
    bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
  }
  Put(bytes);
}

void RunReport::Put(const char* text) {
  for (; *text; ++text) {
    if (used_ == sizeof(buffer_)) Flush();
    buffer_[used_++] = *text;
  }
}

void RunReport::PutNumber(uint32_t value, uint32_t min_digits) {
  char digits[11];
  Put(DecimalText(value, digits, min_digits));
}

void RunReport::Flush() {
  if (!file_) return;
  if (used_ > 0) written_ += platform::WriteFileBytes(file_, buffer_, used_);
  used_ = 0;
  if (json_) {
    // The document closed after what is written, and the next write over
    // the close: a run stopped here leaves a document that parses.
    constexpr char kClose[] = "]}\r\n";
    platform::WriteFileBytes(file_, kClose, sizeof(kClose) - 1);
    platform::SeekFile(file_, written_);
  }
}

}  // namespace kiv
