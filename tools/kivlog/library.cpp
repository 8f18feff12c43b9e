// The C interface of kivlog.h over the same code kivlog's commands run:
// kivlog_append is kivlog append's transaction (AppendPrepared), and
// kivlog_check the stub's check with the rules build applies. No exception
// leaves a function of the interface.
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

// The stub's check of the chain; with rules, also every rule build applies
// to each record (which reads every record's fields: kivlog_check only).
int Checked(kivlog_file* file, unsigned* records, bool rules = true) {
  std::ostringstream err;
  if (!kivlog::RefuseIrregular(file->path, err)) {
    file->error = err.str();
    return KIVLOG_FAILED;
  }
  kivlog::StreamSource source(file->path);
  kiv::LogReader reader(source, kivlog::LeadByteTestFor(kivlog::kWindows1252));
  kiv::ChainVerdict verdict;
  if (!kivlog::OpenSound(file->path, reader, &verdict, err)) {
    file->error = err.str();
    return KIVLOG_FAILED;
  }
  if (!rules) {
    file->error.clear();
    return KIVLOG_OK;
  }
  const kivlog::Listing listing = kivlog::ReadListing(reader, kivlog::kWindows1252);
  std::string faults;
  for (const auto& r : listing.records) {
    for (const auto& fault : kivlog::RecordFaults(r.raw, listing.code_page)) {
      faults += file->path + ": " + kivlog::RecordTypeName(r.type) + " at " +
                kivlog::Offset(r.offset) + ": " + fault.field + ": " + fault.message +
                (fault.hint.empty() ? "" : "; " + fault.hint) + "\n";
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
    *file = new kivlog_file{path, ""};
    return Checked(*file, nullptr, false);
  } catch (...) {
    return KIVLOG_FAILED;
  }
}

KIVLOG_API int KIVLOG_CALL kivlog_append(kivlog_file* file, const char* batch_json) {
  if (!file || !batch_json) return KIVLOG_BAD_ARGUMENT;
  try {
    file->error.clear();
    Report report(kivlog::WarningPolicy{});
    kivlog::Prepared prepared;
    std::ostringstream helper;
    const uint32_t file_code_page = kivlog::NamedCodePage(file->path);
    bool ok = kivlog::PrepareText(batch_json, "batch", "", kivlog::DisplayName::kOptional,
                                  &prepared, report, file_code_page,
                                  kivlog::AppendTarget(file_code_page)) &&
              kivlog::CodePageAgrees(file->path, file_code_page, prepared, helper);
    if (ok) {
      kivlog::LockedFile locked;
      ok = kivlog::AppendPrepared(file->path, prepared, locked, false, report, helper);
    }
    report.Absorb(helper, kivlog::error_id::kIo);
    if (ok && !report.HasErrors()) return KIVLOG_OK;
    file->error = Lines(report);
    return KIVLOG_FAILED;
  } catch (const std::exception& e) {
    file->error = e.what();
    return KIVLOG_FAILED;
  } catch (...) {
    file->error = "an unknown fault";
    return KIVLOG_FAILED;
  }
}

KIVLOG_API int KIVLOG_CALL kivlog_check(kivlog_file* file, unsigned* records) {
  if (!file) return KIVLOG_BAD_ARGUMENT;
  try {
    return Checked(file, records);
  } catch (...) {
    return KIVLOG_FAILED;
  }
}

KIVLOG_API const char* KIVLOG_CALL kivlog_last_error(const kivlog_file* file) {
  return file ? file->error.c_str() : "";
}

KIVLOG_API void KIVLOG_CALL kivlog_close(kivlog_file* file) { delete file; }

}  // extern "C"
