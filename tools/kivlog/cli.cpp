// kivlog's command line: one subcommand per command, parsed by CLI11.
#include <stdint.h>

#include <CLI/CLI.hpp>
#include <optional>

#include "code_page.h"
#include "command_common.h"
#include "commands.h"
#include "file_ops.h"
#include "registration.h"

#ifndef KIVLOG_VERSION
#error "KIVLOG_VERSION comes from the build (the project's version)"
#endif

namespace kivlog {

namespace {

int Usage(std::ostream& err, std::string line) {
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  Error(err, line + " (see kivlog --help)");
  return kExitUsage;
}

std::optional<uint64_t> ParseCount(const char* text) {
  if (!text || *text == '\0') return std::nullopt;
  uint64_t value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || value > (UINT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  return value;
}

// --code-page: a code page the tool can decode from.
CLI::Validator CodePageValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        auto value = ParseCount(text.c_str());
        if (value && *value != kAsciiOnly && *value <= UINT32_MAX &&
            IsKnownCodePage(static_cast<uint32_t>(*value))) {
          return "";
        }
        return std::string("--code-page takes ") + KnownCodePagesText();
      },
      "CODE_PAGE");
}

// What the options and arguments of every command go into.
struct Options {
  std::string manifest, stub, output, file;
  bool json = false;
  bool strict = false;
  uint32_t code_page = kWindows1252;
  bool werror = false;
  std::vector<std::string> no_warn;
  RegistrationDetails registration;
  std::optional<uint32_t> estimated_size, language;
  bool print = false;
};

// --json, --werror and --no-warn, for the commands that judge a manifest or
// a file.
void AddDiagnosticOptions(CLI::App* command, Options& o, const char* json_help) {
  command->add_flag("--json", o.json, json_help);
  command->add_flag("--werror", o.werror, "make warnings errors (also -WX)");
  command
      ->add_option("--no-warn", o.no_warn,
                   "silence the warning of this id (KIVW003); may be given again (also -wd ID)")
      ->check([](const std::string& id) -> std::string {
        if (id.size() == 7 && id.rfind("KIVW", 0) == 0) return "";
        return "--no-warn takes a warning id such as KIVW003";
      });
}

// The spellings other installer compilers use: -WX for --werror, -wd ID
// (or -wdID) for --no-warn ID.
std::vector<std::string> WithLongSpellings(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-WX") {
      out.push_back("--werror");
    } else if (a == "-wd" && i + 1 < args.size()) {
      out.push_back("--no-warn");
      out.push_back(args[++i]);
    } else if (a.rfind("-wd", 0) == 0 && a.size() > 3) {
      out.push_back("--no-warn");
      out.push_back(a.substr(3));
    } else {
      out.push_back(a);
    }
  }
  return out;
}

CLI::App* AddBuild(CLI::App& app, Options& o) {
  CLI::App* build = app.add_subcommand(
      "build",
      "Write OUT.exe: the stub, then the manifest's records, display name and trailer. "
      "Every field is checked first; OUT.exe appears only when complete.");
  build->add_option("MANIFEST", o.manifest, "the manifest (JSON), or - for standard input")
      ->required();
  build->add_option("--stub", o.stub, "the bare stub, kivuninst.exe")->required();
  build->add_option("-o,--output", o.output,
                    "the uninstall file to write (its directory is made when missing)")
      ->required();
  AddDiagnosticOptions(build, o, "print the run's errors and warnings as one JSON document");
  build->add_flag("--strict", o.strict,
                  "the same as --werror (refuse records the stub cannot undo, and every other "
                  "warning, instead of warning)");
  return build;
}

CLI::App* AddList(CLI::App& app, Options& o) {
  CLI::App* list = app.add_subcommand(
      "list", "Show the display name and the records in the order the uninstall undoes them.");
  list->add_option("FILE", o.file, "an uninstall file")->required();
  list->add_flag("--json", o.json, "print JSON");
  list->add_option("--code-page", o.code_page, "decode strings from this code page (default 1252)")
      ->check(CodePageValidator());
  return list;
}

CLI::App* AddCheck(CLI::App& app, Options& o) {
  CLI::App* check = app.add_subcommand(
      "check",
      "Check the file as the uninstaller does, then by every rule build applies. "
      "Prints \"ok: N records\", or each fault with its record and offset.");
  check->add_option("FILE", o.file, "an uninstall file")->required();
  AddDiagnosticOptions(check, o, "print the verdict as JSON (always a JSON document)");
  check->add_flag("--strict", o.strict, "the same as --werror");
  check
      ->add_option("--code-page", o.code_page,
                   "read the display name in this code page (default 1252)")
      ->check(CodePageValidator());
  return check;
}

CLI::App* AddAppend(CLI::App& app, Options& o) {
  CLI::App* append =
      app.add_subcommand("append",
                         "Add the manifest's records to a sound uninstall file in one transaction: "
                         "stopped anywhere, the file holds the old records or all of them.");
  append->add_option("FILE", o.file, "the uninstall file")->required();
  append->add_option("MANIFEST", o.manifest, "the manifest (JSON), or - for standard input")
      ->required();
  AddDiagnosticOptions(append, o, "print the run's errors and warnings as one JSON document");
  return append;
}

CLI::App* AddUnpack(CLI::App& app, Options& o) {
  CLI::App* unpack = app.add_subcommand(
      "unpack",
      "Write a manifest, the stub and the saved contents of an uninstall file into "
      "DIR, from which build makes the same file again.");
  unpack->add_option("FILE", o.file, "an uninstall file")->required();
  unpack->add_option("-o,--output", o.output, "a new or empty directory")->required();
  unpack
      ->add_option("--code-page", o.code_page,
                   "the code page of the manifest's text (default 1252, which keeps every byte)")
      ->check(CodePageValidator());
  return unpack;
}

CLI::App* AddRegister(CLI::App& app, Options& o) {
  CLI::App* reg = app.add_subcommand(
      "register",
      "Write the product's entry in the list of programs for an installed uninstall file, "
      "where its stub removes it (per machine or per user, 32- or 64-bit view): run on the "
      "installing machine (kivlog.exe).");
  RegistrationDetails& d = o.registration;
  reg->add_option("FILE", o.file, "the installed uninstall file")->required();
  reg->add_option("--display-version", d.version, "DisplayVersion, e.g. 2.4.1");
  reg->add_option("--publisher", d.publisher, "Publisher, e.g. \"Example Corp.\"");
  reg->add_option("--install-location", d.install_location,
                  "InstallLocation (default: the uninstall file's folder)");
  reg->add_option("--display-icon", d.display_icon, "DisplayIcon, e.g. \"C:\\...\\app.exe,0\"");
  reg->add_option("--url-info-about", d.url_info_about, "URLInfoAbout");
  reg->add_option("--install-date", d.install_date, "InstallDate as YYYYMMDD (default: today)");
  reg->add_option("--estimated-size", o.estimated_size, "EstimatedSize in KiB");
  reg->add_option("--language", o.language, "Language: a Windows language id, e.g. 1033");
  reg->add_flag("--allow-missing", d.allow_missing,
                "write the entry without a version or publisher instead of refusing it");
  reg->add_option("--path", d.path,
                  "the file's full path on the installing machine (default: FILE's own)");
  reg->add_flag("--print", o.print, "show the entry as a .reg file's text; write nothing");
  reg->add_flag("--json", o.json, "print the outcome and any faults as one JSON document");
  return reg;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app("Builds, lists, checks and extends Kiv uninstall files.", "kivlog");
  app.footer(
      "Exit status: 0 success, 1 damaged or invalid input, 2 bad usage.\n"
      "Run kivlog COMMAND --help for a command's options. The manifest is\n"
      "described in docs/kivlog.md; a manifest named - is read from standard input.");
  app.set_version_flag("--version", std::string("kivlog ") + KIVLOG_VERSION);
  app.require_subcommand(1, 1);

  Options o;
  CLI::App* build = AddBuild(app, o);
  CLI::App* list = AddList(app, o);
  CLI::App* check = AddCheck(app, o);
  CLI::App* append = AddAppend(app, o);
  CLI::App* unpack = AddUnpack(app, o);
  CLI::App* reg = AddRegister(app, o);
  for (CLI::App* command : {build, list, check, append, unpack, reg}) {
    command->fallthrough(false);
  }

  const std::vector<std::string> spelled = WithLongSpellings(args);
  std::vector<std::string> reversed(spelled.rbegin(), spelled.rend());  // as CLI11 takes them
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e, out, err);  // --help, --version
    return Usage(err, e.what());
  }

  WarningPolicy policy;
  policy.as_errors = o.werror || o.strict;
  policy.silenced.insert(o.no_warn.begin(), o.no_warn.end());
  policy.json = o.json;
  if (build->parsed()) return Build(o.manifest, o.stub, o.output, policy, out, err);
  if (list->parsed()) return List(o.file, o.json, o.code_page, out, err);
  if (check->parsed()) return Check(o.file, o.code_page, policy, out, err);
  if (unpack->parsed()) return Unpack(o.file, o.output, o.code_page, out, err);
  if (reg->parsed()) {
    o.registration.estimated_size_kib = o.estimated_size;
    o.registration.language = o.language;
    return Register(o.file, o.registration, o.print, policy, out, err);
  }
  LockedFile file;
  return Append(o.file, o.manifest, policy, file, out, err);
}

}  // namespace kivlog
