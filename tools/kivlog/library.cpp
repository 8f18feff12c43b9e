// The C interface of kivlog.h over the same code kivlog's commands run:
// kivlog_append is kivlog append's transaction (AppendPrepared), and
// kivlog_check the stub's check with the rules build applies. The handle
// holds the file kivlog_open opened, and every call reads and writes that
// file, under its append lock, never the name again: a file renamed into
// place later is refused, not extended with another file's records. No
// exception leaves a function of the interface.
#define KIVLOG_BUILDING_DLL
#include "kivlog.h"

#include <sstream>
#include <string>

#include "code_page.h"
#include "command_common.h"
#include "file_ops.h"
#include "listing.h"
#include "rules.h"
#include "stream_source.h"

struct kivlog_file {
  std::string path;
  std::string error;
  kivlog::LockedFile held;  // open from kivlog_open to kivlog_close
};

namespace {

using kivlog::Report;

// The report's lines, without its exit code.
std::string Lines(Report& report) {
  std::ostringstream out, err;
  report.Finish(out, err);
  std::string text = err.str();
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Takes the append lock of the file held, and proves the name still leads
// to it: false, with the fault in file->error, when it does not.
bool LockHeld(kivlog_file* file) {
  std::string why;
  if (!file->held.is_open()) {
    file->error = "kivlog: " + file->path + ": not open";
    return false;
  }
  if (!file->held.Lock(&why)) {
    file->error = "kivlog: " + file->path + ": " + why;
    return false;
  }
  if (!file->held.IsAt(file->path)) {
    file->held.Unlock();
    file->error = "kivlog: " + file->path +
                  ": is no longer the file kivlog_open opened (another file was put in its "
                  "place); nothing was read or written: open it again";
    return false;
  }
  return true;
}

// The stub's check of the chain; with rules, also every rule build applies
// to each record (which reads every record's fields: kivlog_check only).
// Reads the held file, locked.
int Checked(kivlog_file* file, unsigned* records, bool rules = true) {
  if (!LockHeld(file)) return KIVLOG_FAILED;
  std::ostringstream err;
  kivlog::HeldSource source(file->held);
  kiv::LogReader reader(source, kivlog::LeadByteTestFor(kivlog::kWindows1252));
  kiv::ChainVerdict verdict;
  const bool sound = kivlog::OpenSound(file->path, reader, &verdict, err);
  if (!sound || !rules) {
    file->held.Unlock();
    file->error = err.str();
    return sound ? KIVLOG_OK : KIVLOG_FAILED;
  }
  const kivlog::Listing listing = kivlog::ReadListing(reader, kivlog::kWindows1252);
  file->held.Unlock();
  std::string faults;
  for (const auto& r : listing.records) {
    for (const auto& fault : kivlog::RecordFaults(r.raw, listing.code_page)) {
      faults += file->path + ": " + kivlog::RecordTypeName(r.type) + " at " +
                kivlog::Offset(r.offset) + ": " + fault.field + ": " + fault.message + "\n";
    }
  }
  if (records) *records = static_cast<unsigned>(listing.records.size() - 1);
  file->error = faults;
  return faults.empty() ? KIVLOG_OK : KIVLOG_FAILED;
}

}  // namespace

extern "C" {

KIVLOG_API unsigned KIVLOG_CALL kivlog_version(void) {
  return (KIVLOG_VERSION_MAJOR << 16) | KIVLOG_VERSION_MINOR;
}

KIVLOG_API int KIVLOG_CALL kivlog_open(const char* path, kivlog_file** file) {
  if (!path || !file) return KIVLOG_BAD_ARGUMENT;
  try {
    *file = new kivlog_file{path, "", {}};
    std::ostringstream err;
    std::string why;
    if (!kivlog::RefuseIrregular(path, err)) {
      (*file)->error = err.str();
      return KIVLOG_FAILED;
    }
    if (!(*file)->held.OpenUnlocked(path, &why)) {
      (*file)->error = "kivlog: " + std::string(path) + ": cannot open for writing: " + why + "\n";
      return KIVLOG_FAILED;
    }
    return Checked(*file, nullptr, false);
  } catch (...) {
    return KIVLOG_FAILED;
  }
}

KIVLOG_API int KIVLOG_CALL kivlog_append(kivlog_file* file, const char* batch_json) {
  if (!file || !batch_json) return KIVLOG_BAD_ARGUMENT;
  try {
    file->error.clear();
    if (!LockHeld(file)) return KIVLOG_FAILED;
    Report report(kivlog::WarningPolicy{});
    kivlog::Prepared prepared;
    std::ostringstream helper;
    kivlog::HeldSource held(file->held);
    const uint32_t file_code_page = kivlog::NamedCodePage(held);
    bool ok = kivlog::PrepareText(batch_json, "batch", "", kivlog::DisplayName::kOptional,
                                  &prepared, report, file_code_page,
                                  kivlog::AppendTarget(file_code_page)) &&
              kivlog::CodePageAgrees(file->path, file_code_page, prepared, helper) &&
              kivlog::AppendPrepared(file->path, prepared, file->held, false, report, helper);
    file->held.Unlock();
    report.Absorb(helper, kivlog::error_id::kIo);
    if (ok && !report.HasErrors()) return KIVLOG_OK;
    file->error = Lines(report);
    return KIVLOG_FAILED;
  } catch (const std::exception& e) {
    file->held.Unlock();
    file->error = e.what();
    return KIVLOG_FAILED;
  } catch (...) {
    file->held.Unlock();
    file->error = "an unknown fault";
    return KIVLOG_FAILED;
  }
}

KIVLOG_API int KIVLOG_CALL kivlog_check(kivlog_file* file, unsigned* records) {
  if (!file) return KIVLOG_BAD_ARGUMENT;
  try {
    return Checked(file, records);
  } catch (...) {
    file->held.Unlock();
    return KIVLOG_FAILED;
  }
}

KIVLOG_API const char* KIVLOG_CALL kivlog_last_error(const kivlog_file* file) {
  return file ? file->error.c_str() : "";
}

KIVLOG_API void KIVLOG_CALL kivlog_close(kivlog_file* file) { delete file; }

}  // extern "C"
