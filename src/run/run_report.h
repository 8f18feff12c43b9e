// The report of a run (/LOG=): plain text, a line per record in walk order.
//
//   Kiv Uninstall report: "Example App" from C:\Example\unins.exe, 2026-12-10 16:30:05 +01:00
//   file C:\Example\app.exe: removed
//   directory C:\Example: kept: not empty
//   Outcome: everything undone, exit code 0
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

class RunReport {
 public:
  // path null: no report.
  explicit RunReport(const char* path);
  ~RunReport();
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  bool open() const { return file_ != nullptr; }
  void Begin(const char* uninstall_file, const char* display_name);
  // A line of its own after the first: "Note: " and text.
  void Note(const char* text);
  // type_name: the record type's name; step as the action left it.
  void Record(const char* type_name, const UndoStep& step);
  void End(const char* outcome, uint32_t exit_code);

 private:
  void Put(const char* text);
  void PutNumber(uint32_t value, uint32_t min_digits = 1);
  void Flush();

  void* file_ = nullptr;
  uint32_t used_ = 0;
  char buffer_[4096];
};

}  // namespace kiv

#endif  // KIV_RUN_RUN_REPORT_H_
