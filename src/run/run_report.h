// The report of a run (/LOG=): plain text, a line per record in walk order.
//
//   Kiv Uninstall report: "Example App" from C:\Example\unins.exe, 2026-12-10 16:30:05 +01:00
//   file C:\Example\settings.ini: failed (error 5); what it saved stays in the uninstall file
//   file C:\Example\app.exe: removed
//   directory C:\Example: goes with the uninstall file
//   Outcome: not everything undone, exit code 1603
//
// In the system's ANSI code page; for a file that names its code page, in
// UTF-8 (from a byte-order mark on). A control character in what it writes
// is escaped, never written as it is.
//
// A path ending in ".json" gets the same in JSON instead, one document:
//
//   {"file": "C:\\Example\\unins.exe", "display_name": "Example App",
//    "time": "2026-12-10T16:30:05+01:00", "mode": "run", "note": null,
//    ("mode": "plan" for a dry run)
//    "records": [
//     {"type": "file", "names": "C:\\Example\\app.exe", "outcome": "removed", "error": 0,
//      "left": "nothing"},
//     ("left": what the record leaves, run/walk_rule.h: "nothing", "at restart",
//      "harmless", "refused" or "holding data")
//     ...],
//    "outcome": "everything undone", "exit_code": 0}
//
// ASCII only (every other letter as \uXXXX from the system's code page), so
// also UTF-8. After each write the document is closed ("]}"), and the next
// write goes over that close: a run stopped at any point leaves a document
// a JSON parser reads, with every record written so far and no "outcome".
//
// Written by the process that walks (or that found the file damaged). A
// report that cannot be written costs the uninstall nothing: every call is
// then a no-op.
#ifndef KIV_RUN_RUN_REPORT_H_
#define KIV_RUN_RUN_REPORT_H_

#include <stdint.h>

#include "run/undo_step.h"

namespace kiv {

// The words for what became of a record.
const char* UndoneText(Undone what);

// Where /LOG alone puts the report: the temporary directory (see
// platform::TempDirectory), "Kiv Uninstall <display name> <YYYYMMDD-HHMMSS>.txt",
// the name read from uninstall_file (left out when it cannot be read).
// False when no such path can be made.
bool DefaultReportPath(const char* uninstall_file, LongString* out);

class RunReport {
 public:
  // path null: no report.
  explicit RunReport(const char* path);
  ~RunReport();
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  bool open() const { return file_ != nullptr; }
  // note: why the process that walks is not the temporary copy (a line
  // "Note: " after the first), or null. plan: a dry run (/PLAN), named in
  // the first line ("Kiv Uninstall report (plan: nothing changed)") and in
  // JSON's "mode".
  void Begin(const char* uninstall_file, const char* display_name, const char* note = nullptr,
             bool plan = false);
  // type_name: the record type's name; step as the action left it.
  void Record(const char* type_name, const UndoStep& step);
  void End(const char* outcome, uint32_t exit_code);

 private:
  void Put(const char* text);
  // A name or other text the run did not write itself, on a text line: in
  // the system's code page as it is, or (a file that names its code page)
  // as UTF-8; a control character, or a letter that would break the line,
  // escaped ("\x0D" as bytes, "\u2028" in UTF-8), so that no name can end a
  // line and write one of its own.
  void PutText(const char* text);
  // One letter, its code in UTF-8.
  void PutLetter(uint32_t letter);
  void PutNumber(uint32_t value, uint32_t min_digits = 1);
  // text as a JSON string, quotes and escapes included.
  void PutJsonString(const char* text);
  // "name": "text", for JSON; first: no comma before it.
  void PutJsonField(const char* name, const char* text, bool first = false);
  void PutTime(bool json);
  void Flush();

  void* file_ = nullptr;
  bool json_ = false;
  uint32_t records_ = 0;   // records written (JSON: no comma before the first)
  uint64_t written_ = 0;   // bytes in the file before the buffer
  uint32_t used_ = 0;
  // The longest JSON record: its names and held-by text with every letter
  // escaped (six characters each), and the fixed parts around them.
  static constexpr uint32_t kJsonRecordRoom =
      6 * (LongString::capacity() + ShortString::capacity()) + 256;
  char buffer_[2 * kJsonRecordRoom];
};

}  // namespace kiv

#endif  // KIV_RUN_RUN_REPORT_H_
