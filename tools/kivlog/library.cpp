// The C interface of kivlog.h over the same code kivlog's commands run:
// kivlog_append is kivlog append's transaction (AppendPrepared), and
// kivlog_check the stub's check with the rules build applies. The handle
// holds the file kivlog_open opened, and every call reads and writes that
// file, under its append lock, never the name again: a file renamed into
// place later is refused, not extended with another file's records. No
// exception leaves a function of the interface.
#define KIVLOG_BUILDING_DLL
#include "kivlog.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "code_page.h"
#include "command_common.h"
#include "commands.h"
#include "file_ops.h"
#include "listing.h"
#include "registration.h"
#include "rules.h"
#include "stream_source.h"

struct kivlog_file {
  std::string path;
  std::string error;
  kivlog::LockedFile held;  // open from kivlog_open to kivlog_close
  nlohmann::json batch = nlohmann::json::array();  // the records added since the last commit
};

namespace {

using kivlog::Report;
using Json = nlohmann::json;

// The last error of a call that had no file to hold it.
thread_local std::string g_error;

// An argument fault: told on file, else where kivlog_last_error(NULL) finds it.
int BadArgument(kivlog_file* file, const char* call, const char* argument) {
  (file ? file->error : g_error) =
      std::string(call) + ": " + argument + " is null, where one is needed";
  return KIVLOG_BAD_ARGUMENT;
}

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
                kivlog::Offset(r.offset) + ": " + fault.field + ": " + fault.message +
                (fault.hint.empty() ? "" : "; " + fault.hint) + "\n";
    }
  }
  if (records) *records = static_cast<unsigned>(listing.records.size() - 1);
  file->error = faults;
  return faults.empty() ? KIVLOG_OK : KIVLOG_FAILED;
}

// Appends batch_json to the held file as one transaction (kivlog append's),
// under its lock, read and written through the handle only.
int Append(kivlog_file* file, const std::string& batch_json) {
  file->error.clear();
  if (!LockHeld(file)) return KIVLOG_FAILED;
  Report report(kivlog::WarningPolicy{});
  kivlog::Prepared prepared;
  std::ostringstream helper;
  kivlog::HeldSource held(file->held);
  const uint32_t file_code_page = kivlog::NamedCodePage(held);
  const bool ok = kivlog::PrepareText(batch_json, "batch", "", kivlog::DisplayName::kOptional,
                                      &prepared, report, file_code_page,
                                      kivlog::AppendTarget(file_code_page)) &&
                  kivlog::CodePageAgrees(file->path, file_code_page, prepared, helper) &&
                  kivlog::AppendPrepared(file->path, prepared, file->held, false, report, helper);
  file->held.Unlock();
  report.Absorb(helper, kivlog::error_id::kIo);
  if (ok && !report.HasErrors()) return KIVLOG_OK;
  file->error = Lines(report);
  return KIVLOG_FAILED;
}

// The code page the held file names (0: none), read through the handle.
bool HeldCodePage(kivlog_file* file, uint32_t* code_page) {
  if (!LockHeld(file)) return false;
  kivlog::HeldSource held(file->held);
  *code_page = kivlog::NamedCodePage(held);
  file->held.Unlock();
  return true;
}

// Opens the file at file->path into file->held and checks its chain: what
// kivlog_open and kivlog_create hand back.
int OpenHeld(kivlog_file* file) {
  std::ostringstream err;
  std::string why;
  if (!kivlog::RefuseIrregular(file->path, err)) {
    file->error = err.str();
    return KIVLOG_FAILED;
  }
  if (!file->held.OpenUnlocked(file->path, &why)) {
    file->error = "kivlog: " + file->path + ": cannot open for writing: " + why + "\n";
    return KIVLOG_FAILED;
  }
  return Checked(file, nullptr, false);
}

// Adds record to the file's batch once it passes build's rules on its own.
int Add(kivlog_file* file, Json record) {
  file->error.clear();
  uint32_t code_page = 0;
  if (!HeldCodePage(file, &code_page)) return KIVLOG_FAILED;
  const std::string one = Json{{"records", Json::array({record})}}.dump();
  kivlog::ManifestResult parsed = kivlog::ParseManifest(one, kivlog::DisplayName::kOptional,
                                                        code_page, kivlog::AppendTarget(code_page));
  if (!parsed.manifest) {
    for (const kivlog::ManifestError& e : parsed.errors) {
      // "records[0].path": the record being added is the only one.
      const std::string field = e.field.rfind("records[0].", 0) == 0 ? e.field.substr(11) : e.field;
      file->error += (file->error.empty() ? "" : "\n") + std::string(e.id) + ": " + field +
                     (field.empty() ? "" : ": ") + e.message +
                     (e.hint.empty() ? "" : "; " + e.hint);
    }
    return KIVLOG_FAILED;
  }
  file->batch.push_back(std::move(record));
  return KIVLOG_OK;
}

// Runs body, turning an exception into KIVLOG_FAILED with its text.
template <typename Body>
int Guarded(kivlog_file* file, Body body) {
  std::string& error = file ? file->error : g_error;
  try {
    return body();
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "an unknown fault";
  }
  if (file) file->held.Unlock();
  return KIVLOG_FAILED;
}

}  // namespace

// The typed calls: each checks its arguments and adds one record.
#define KIVLOG_NEED(file, call, arg) \
  if (!(arg)) return BadArgument(file, call, #arg)

extern "C" {

KIVLOG_API unsigned KIVLOG_CALL kivlog_version(void) {
  return (KIVLOG_VERSION_MAJOR << 16) | KIVLOG_VERSION_MINOR;
}

KIVLOG_API int KIVLOG_CALL kivlog_open(const char* path, kivlog_file** file) {
  g_error.clear();
  if (!file) return BadArgument(nullptr, "kivlog_open", "file");
  *file = nullptr;
  if (!path) return BadArgument(nullptr, "kivlog_open", "path");
  return Guarded(nullptr, [&] {
    *file = new kivlog_file{path, "", {}, Json::array()};
    return OpenHeld(*file);
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_create(const char* stub_path, const char* display_name,
                                         const char* out_path, kivlog_file** file) {
  g_error.clear();
  if (!file) return BadArgument(nullptr, "kivlog_create", "file");
  *file = nullptr;
  KIVLOG_NEED(nullptr, "kivlog_create", stub_path);
  KIVLOG_NEED(nullptr, "kivlog_create", display_name);
  KIVLOG_NEED(nullptr, "kivlog_create", out_path);
  return Guarded(nullptr, [&] {
    *file = new kivlog_file{out_path, "", {}, Json::array()};
    std::ostringstream out, err;
    const std::string manifest =
        Json{{"display_name", display_name}, {"records", Json::array()}}.dump();
    if (kivlog::BuildText(manifest, stub_path, out_path, kivlog::WarningPolicy{}, out, err) !=
        kivlog::kExitOk) {
      (*file)->error = err.str();
      while (!(*file)->error.empty() && (*file)->error.back() == '\n') (*file)->error.pop_back();
      return KIVLOG_FAILED;
    }
    return OpenHeld(*file);
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_append(kivlog_file* file, const char* batch_json) {
  KIVLOG_NEED(file, "kivlog_append", file);
  KIVLOG_NEED(file, "kivlog_append", batch_json);
  return Guarded(file, [&] { return Append(file, batch_json); });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_directory(kivlog_file* file, const char* path) {
  KIVLOG_NEED(file, "kivlog_add_directory", file);
  KIVLOG_NEED(file, "kivlog_add_directory", path);
  return Guarded(file, [&] { return Add(file, {{"type", "directory"}, {"path", path}}); });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_file(kivlog_file* file, const char* path) {
  KIVLOG_NEED(file, "kivlog_add_file", file);
  KIVLOG_NEED(file, "kivlog_add_file", path);
  return Guarded(file, [&] { return Add(file, {{"type", "file"}, {"path", path}}); });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_replaced_file(kivlog_file* file, const char* path,
                                                    const char* content_file) {
  KIVLOG_NEED(file, "kivlog_add_replaced_file", file);
  KIVLOG_NEED(file, "kivlog_add_replaced_file", path);
  KIVLOG_NEED(file, "kivlog_add_replaced_file", content_file);
  return Guarded(file, [&] {
    return Add(file,
               {{"type", "file"}, {"path", path}, {"saved", {{"content_file", content_file}}}});
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_ini_remove(kivlog_file* file, const char* ini_file,
                                                 const char* section, const char* key) {
  KIVLOG_NEED(file, "kivlog_add_ini_remove", file);
  KIVLOG_NEED(file, "kivlog_add_ini_remove", ini_file);
  KIVLOG_NEED(file, "kivlog_add_ini_remove", section);
  KIVLOG_NEED(file, "kivlog_add_ini_remove", key);
  return Guarded(file, [&] {
    return Add(file, {{"type", "ini"}, {"file", ini_file}, {"section", section}, {"key", key},
                      {"remove", true}});
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_ini_restore(kivlog_file* file, const char* ini_file,
                                                  const char* section, const char* key,
                                                  const char* old_text) {
  KIVLOG_NEED(file, "kivlog_add_ini_restore", file);
  KIVLOG_NEED(file, "kivlog_add_ini_restore", ini_file);
  KIVLOG_NEED(file, "kivlog_add_ini_restore", section);
  KIVLOG_NEED(file, "kivlog_add_ini_restore", key);
  KIVLOG_NEED(file, "kivlog_add_ini_restore", old_text);
  return Guarded(file, [&] {
    return Add(file, {{"type", "ini"}, {"file", ini_file}, {"section", section}, {"key", key},
                      {"restore", old_text}});
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_ini_line(kivlog_file* file, const char* ini_file,
                                               const char* section_header, const char* key,
                                               const char* value) {
  KIVLOG_NEED(file, "kivlog_add_ini_line", file);
  KIVLOG_NEED(file, "kivlog_add_ini_line", ini_file);
  KIVLOG_NEED(file, "kivlog_add_ini_line", section_header);
  KIVLOG_NEED(file, "kivlog_add_ini_line", key);
  KIVLOG_NEED(file, "kivlog_add_ini_line", value);
  return Guarded(file, [&] {
    return Add(file, {{"type", "ini"}, {"file", ini_file}, {"section", section_header},
                      {"key", key}, {"remove_line", value}});
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_registry_value(kivlog_file* file, const char* root,
                                                     const char* path, const char* old_data) {
  KIVLOG_NEED(file, "kivlog_add_registry_value", file);
  KIVLOG_NEED(file, "kivlog_add_registry_value", root);
  KIVLOG_NEED(file, "kivlog_add_registry_value", path);
  return Guarded(file, [&] {
    return Add(file, {{"type", "registry"}, {"root", root}, {"path", path},
                      {"data", old_data ? Json(old_data) : Json(nullptr)}});
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_registry_key(kivlog_file* file, const char* root,
                                                   const char* key) {
  KIVLOG_NEED(file, "kivlog_add_registry_key", file);
  KIVLOG_NEED(file, "kivlog_add_registry_key", root);
  KIVLOG_NEED(file, "kivlog_add_registry_key", key);
  return Guarded(file, [&] {
    return Add(file, {{"type", "registry_key"}, {"root", root}, {"key", key}});
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_font(kivlog_file* file, const char* name,
                                           const char* font_file) {
  KIVLOG_NEED(file, "kivlog_add_font", file);
  KIVLOG_NEED(file, "kivlog_add_font", name);
  KIVLOG_NEED(file, "kivlog_add_font", font_file);
  return Guarded(file, [&] { return Add(file, {{"type", "font"}, {"name", name}, {"file", font_file}}); });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_shell_group(kivlog_file* file, const char* group) {
  KIVLOG_NEED(file, "kivlog_add_shell_group", file);
  KIVLOG_NEED(file, "kivlog_add_shell_group", group);
  return Guarded(file, [&] { return Add(file, {{"type", "shell_group"}, {"group", group}}); });
}

KIVLOG_API int KIVLOG_CALL kivlog_add_shell_item(kivlog_file* file, const char* group,
                                                 const char* item) {
  KIVLOG_NEED(file, "kivlog_add_shell_item", file);
  KIVLOG_NEED(file, "kivlog_add_shell_item", group);
  KIVLOG_NEED(file, "kivlog_add_shell_item", item);
  return Guarded(file, [&] {
    return Add(file, {{"type", "shell_item"}, {"group", group}, {"item", item}});
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_commit(kivlog_file* file) {
  KIVLOG_NEED(file, "kivlog_commit", file);
  return Guarded(file, [&] {
    Json batch = {{"records", Json::array()}};
    batch["records"].swap(file->batch);
    return Append(file, batch.dump());
  });
}

KIVLOG_API int KIVLOG_CALL kivlog_check(kivlog_file* file, unsigned* records) {
  KIVLOG_NEED(file, "kivlog_check", file);
  return Guarded(file, [&] { return Checked(file, records); });
}

KIVLOG_API int KIVLOG_CALL kivlog_register(kivlog_file* file, const char* details_json) {
  KIVLOG_NEED(file, "kivlog_register", file);
  KIVLOG_NEED(file, "kivlog_register", details_json);
  return Guarded(file, [&] {
    file->error.clear();
    std::vector<kivlog::Diagnostic> faults;
    const Json object = Json::parse(details_json, nullptr, false);
    if (object.is_discarded()) {
      file->error = "kivlog_register: the details are not JSON";
      return KIVLOG_FAILED;
    }
    const kivlog::RegistrationDetails details = kivlog::ReadRegistrationDetails(object, &faults);
    Report report(kivlog::WarningPolicy{});
    for (kivlog::Diagnostic& d : faults) report.Add(file->path, nullptr, std::move(d));
    kivlog::RegistrationEntry entry;
    bool planned = false;
    if (!report.HasErrors()) {
      if (!LockHeld(file)) return KIVLOG_FAILED;
      kivlog::HeldSource held(file->held);
      planned = kivlog::PlanFileRegistration(held, file->path, details, report, &entry);
      file->held.Unlock();
    }
    std::string why;
    if (planned && kivlog::WriteRegistration(entry, &why)) return KIVLOG_OK;
    if (planned) report.Error(file->path, kivlog::error_id::kIo, why);
    file->error = Lines(report);
    return KIVLOG_FAILED;
  });
}

KIVLOG_API const char* KIVLOG_CALL kivlog_last_error(const kivlog_file* file) {
  return file ? file->error.c_str() : g_error.c_str();
}

KIVLOG_API void KIVLOG_CALL kivlog_close(kivlog_file* file) { delete file; }

}  // extern "C"
