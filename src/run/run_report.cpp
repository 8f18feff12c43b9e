#include "run/run_report.h"

#include "base/path_rules.h"
#include "platform/win32.h"
#include "run/record_actions.h"

namespace kiv {

namespace {

// By Undone's order.
constexpr const char* kUndoneTexts[] = {
    "no action",
    "removed",
    "restored",
    "already gone",
    "kept: not empty",
    "kept: read-only",
    "goes at the next start",
    "passed over: the uninstall file or this program",
    "passed over: the report of this run",
    "passed over: a link in its path",
    "refused by Program Manager",
    "passed over: an unsafe name",
    "failed",
};
static_assert(sizeof(kUndoneTexts) / sizeof(kUndoneTexts[0]) ==
                  static_cast<uint32_t>(Undone::kFailed) + 1,
              "a text for every outcome");

// Makes the directories on the way to path that are not there yet, from
// the root down; a step that fails leaves the rest to the report's open.
void MakeParentDirectories(const char* path) {
  PathString read;
  uint32_t root = 0;
  if (!NormalizePath(path, platform::IsLeadByte, PathForm::kAsWritten, &read, &root)) return;
  char* text = read.data();
  for (uint32_t i = root; text[i] != '\0'; ++i) {
    if (platform::IsLeadByte(static_cast<uint8_t>(text[i])) && text[i + 1] != '\0') {
      ++i;
      continue;
    }
    if (text[i] != '\\') continue;
    text[i] = '\0';
    if (!platform::PathExists(text)) platform::MakeDirectory(text);
    text[i] = '\\';
  }
}

}  // namespace

const char* UndoneText(Undone what) { return kUndoneTexts[static_cast<uint32_t>(what)]; }

RunReport::RunReport(const char* path) {
  if (!path) return;
  // Running elevated, a report is never written through a link a user could
  // have put on its way.
  if (platform::IsElevatedRun() && PathCrossesReparsePoint(path, false)) return;
  MakeParentDirectories(path);
  file_ = platform::CreateReportFile(path);
}

RunReport::~RunReport() {
  if (!file_) return;
  Flush();
  platform::CloseFile(file_);
}

void RunReport::Begin(const char* uninstall_file, const char* display_name) {
  if (!file_) return;
  const platform::LocalTime t = platform::Now();
  Put("Kiv Uninstall report: \"");
  Put(display_name);
  Put("\" from ");
  Put(uninstall_file);
  // YYYY-MM-DD HH:MM:SS +HH:MM, local time and its offset from UTC.
  const struct {
    const char* before;
    uint16_t value;
    uint32_t digits;
  } parts[] = {{", ", t.year, 4}, {"-", t.month, 2},  {"-", t.day, 2},
               {" ", t.hour, 2},  {":", t.minute, 2}, {":", t.second, 2}};
  for (const auto& part : parts) {
    Put(part.before);
    PutNumber(part.value, part.digits);
  }
  // " +HH:MM": the local time's offset from UTC.
  const uint32_t offset =
      static_cast<uint32_t>(t.offset_minutes < 0 ? -t.offset_minutes : t.offset_minutes);
  Put(t.offset_minutes < 0 ? " -" : " +");
  PutNumber(offset / 60, 2);
  Put(":");
  PutNumber(offset % 60, 2);
  Put("\r\n");
}

void RunReport::Note(const char* text) {
  if (!file_) return;
  Put("Note: ");
  Put(text);
  Put("\r\n");
}

void RunReport::Record(const char* type_name, const UndoStep& step) {
  if (!file_) return;
  Put(type_name);
  if (!step.subject.empty()) {
    Put(" ");
    Put(step.subject.c_str());
  }
  Put(": ");
  Put(UndoneText(step.what));
  if (step.what == Undone::kFailed) {
    Put(" (error ");
    PutNumber(step.error);
    Put(")");
  }
  Put("\r\n");
}

void RunReport::End(const char* outcome, uint32_t exit_code) {
  if (!file_) return;
  Put("Outcome: ");
  Put(outcome);
  Put(", exit code ");
  PutNumber(exit_code);
  Put("\r\n");
  Flush();
}

void RunReport::Put(const char* text) {
  for (; *text; ++text) {
    if (used_ == sizeof(buffer_)) Flush();
    buffer_[used_++] = *text;
  }
}

void RunReport::PutNumber(uint32_t value, uint32_t min_digits) {
  char digits[10];
  uint32_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 || n < min_digits);
  char text[11];
  for (uint32_t i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = '\0';
  Put(text);
}

void RunReport::Flush() {
  if (file_ && used_ > 0) platform::WriteFileBytes(file_, buffer_, used_);
  used_ = 0;
}

}  // namespace kiv
