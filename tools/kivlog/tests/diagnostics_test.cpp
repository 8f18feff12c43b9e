// What kivlog tells an author about a manifest: every refusal and warning
// with its id, field and line and column, all of a run at once; --werror,
// --no-warn and their other spellings; the JSON form of the same.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "commands.h"
#include "common/tiny_image.h"

namespace kivlog {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Outcome {
  int code = -1;
  std::string out, err;
};

class DiagnosticsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "kivlog-diag-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    std::string stub(300, '\0');
    kiv::testing_support::MakeStandInStub(&stub);
    Write("stub.exe", stub);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc) << bytes;
  }
  Outcome Kivlog(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    Outcome run;
    run.code = RunCommandLine(args, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }
  // A manifest whose records are the lines given, one record a line from
  // line 2 on.
  std::string Manifest(const std::vector<std::string>& records,
                       const std::string& name = "Example App") {
    std::string text = "{\"display_name\": \"" + name + "\", \"records\": [\n";
    for (size_t i = 0; i < records.size(); ++i) {
      text += "  " + records[i] + (i + 1 < records.size() ? ",\n" : "\n");
    }
    return text + "]}\n";
  }
  Outcome Build(const std::string& manifest, std::vector<std::string> extra = {}) {
    Write("m.json", manifest);
    std::vector<std::string> args = {"build", Path("m.json"), "--stub", Path("stub.exe"), "-o",
                                     Path("out.exe")};
    args.insert(args.end(), extra.begin(), extra.end());
    return Kivlog(args);
  }

  fs::path dir_;
};

// One row per rule: the records (one a line, from line 2), the id, the
// field and the line it is told at; the column is found in the row's text. A refusal writes nothing; a
// warning still builds.
TEST_F(DiagnosticsTest, EachRefusalAndWarningIsToldAtItsField) {
  const std::string dir = R"({"type": "directory", "path": "C:\\App"})";
  const struct {
    const char* name;
    std::vector<std::string> records;
    const char* id;
    const char* field;
    int line;  // the column is where the field's key (or the record) starts
  } kRows[] = {
      // Refusals.
      {"tab_in_a_path", {R"({"type": "file", "path": "C:\temp\new.txt"})"}, "KIV0014",
       "records[0].path", 2},
      {"control_in_an_ini_key",
       {R"({"type": "ini", "file": "WIN.INI", "section": "S", "key": "a\u0001", "prior": "<null>", "value": "", "flag": false})"},
       "KIV0014", "records[0].key", 2},
      {"line_break_in_an_ini_value",
       {R"({"type": "ini", "file": "WIN.INI", "section": "S", "key": "k", "prior": "<null>", "value": "a\nb", "flag": false})"},
       "KIV0014", "records[0].value", 2},
      {"relative_path", {R"({"type": "file", "path": "App\\a.txt"})"}, "KIV0015",
       "records[0].path", 2},
      {"directory_named_nul", {dir, R"({"type": "file", "path": "C:\\App\\nul\\a.txt"})"},
       "KIV0026", "records[1].path", 3},
      {"directory_named_con_d", {R"({"type": "directory", "path": "C:/App/con.d/sub"})"},
       "KIV0026", "records[0].path", 2},
      {"long_form_through_lpt1", {R"({"type": "file", "path": "\\\\?\\C:\\App\\LPT1\\a"})"},
       "KIV0026", "records[0].path", 2},
      {"ini_file_through_aux",
       {R"({"type": "ini", "file": "C:\\App\\aux .x\\a.ini", "section": "S", "key": "k", "prior": "<null>", "value": "", "flag": false})"},
       "KIV0026", "records[0].file", 2},
      {"drive_relative_path", {R"({"type": "directory", "path": "C:App"})"}, "KIV0015",
       "records[0].path", 2},
      {"rooted_without_drive", {R"({"type": "directory", "path": "\\App"})"}, "KIV0015",
       "records[0].path", 2},
      {"share_without_share_name", {R"({"type": "directory", "path": "\\\\server"})"}, "KIV0015",
       "records[0].path", 2},
      {"ini_file_relative_with_a_directory",
       {R"({"type": "ini", "file": "conf\\kiv.ini", "section": "S", "key": "k", "prior": "<null>", "value": "", "flag": false})"},
       "KIV0015", "records[0].file", 2},
      {"empty_path", {R"({"type": "file", "path": ""})"}, "KIV0016", "records[0].path", 2},
      {"empty_registry_path",
       {R"({"type": "registry", "root": "HKEY_CURRENT_USER", "path": ""})"}, "KIV0016",
       "records[0].path", 2},
      {"empty_font_file", {R"({"type": "font", "name": "Kiv Sans", "file": ""})"}, "KIV0016",
       "records[0].file", 2},
      {"registry_path_from_a_backslash",
       {R"({"type": "registry", "root": "HKEY_CURRENT_USER", "path": "\\Software\\Kiv"})"},
       "KIV0017", "records[0].path", 2},
      {"ini_line_section_without_its_bracket",
       {R"({"type": "ini", "file": "WIN.INI", "section": "Fonts", "key": "k", "prior": "", "value": "v", "flag": true})"},
       "KIV0017", "records[0].section", 2},
      {"display_name_with_a_tab", {}, "KIV0010", "display_name", 1},
      // Warnings.
      {"root_repeated",
       {R"({"type": "registry", "root": "HKEY_LOCAL_MACHINE", "path": "HKLM\\Software\\Kiv\\V"})"},
       "KIVW001", "records[0].path", 2},
      {"truetype_suffix", {R"j({"type": "font", "name": "Kiv Sans (TrueType)", "file": "kiv.ttf"})j"},
       "KIVW002", "records[0].name", 2},
      {"file_before_its_directory", {R"({"type": "file", "path": "C:\\App\\a.txt"})", dir},
       "KIVW003", "records[1].path", 3},
      {"item_before_its_group",
       {R"({"type": "shell_item", "group": "Kiv", "item": "App"})",
        R"({"type": "shell_group", "group": "Kiv"})"},
       "KIVW004", "records[1].group", 3},
      {"own_registration",
       {R"({"type": "registry", "root": "HKEY_LOCAL_MACHINE", "path": "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Example App\\DisplayName"})"},
       "KIVW005", "records[0].path", 2},
      {"duplicate", {dir, dir}, "KIVW006", "records[1]", 3},
      {"font_before_its_file",
       {R"({"type": "font", "name": "Kiv Sans", "file": "kiv.ttf"})",
        R"({"type": "file", "path": "C:\\Windows\\Fonts\\kiv.ttf"})"},
       "KIVW007", "records[0].file", 2},
      {"bracketed_profile_section",
       {R"({"type": "ini", "file": "WIN.INI", "section": "[Kiv]", "key": "k", "prior": "<null>", "value": "", "flag": false})"},
       "KIVW008", "records[0].section", 2},
      {"null_marker_in_upper_case",
       {R"({"type": "ini", "file": "WIN.INI", "section": "Kiv", "key": "k", "prior": "<NULL>", "value": "", "flag": false})"},
       "KIVW009", "records[0].prior", 2},
      {"long_display_name", {}, "KIVW010", "display_name", 1},
      {"unused_record", {R"({"type": "unused5"})"}, "KIVW011", "records[0]", 2},
      {"empty_key_name",
       {R"({"type": "registry", "root": "HKEY_CURRENT_USER", "path": "Software\\\\Kiv\\V"})"},
       "KIVW012", "records[0].path", 2},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::string name = "Example App";
    if (std::string(row.name) == "display_name_with_a_tab") name = "Example\\tApp";
    if (std::string(row.name) == "long_display_name") name = std::string(188, 'n');
    fs::remove(Path("out.exe"));
    Outcome run = Build(Manifest(row.records, name), {"--json"});
    const Json doc = Json::parse(run.out);
    const bool refusal = std::string(row.id).rfind("KIVW", 0) != 0;
    EXPECT_EQ(run.code, refusal ? 1 : 0) << run.out;
    EXPECT_EQ(fs::exists(Path("out.exe")), !refusal);
    ASSERT_EQ(doc["diagnostics"].size(), 1u) << run.out;
    const Json& d = doc["diagnostics"][0];
    EXPECT_EQ(d["id"], row.id);
    EXPECT_EQ(d["severity"], refusal ? "error" : "warning");
    EXPECT_EQ(d["field"], row.field);
    EXPECT_EQ(d["file"], Path("m.json"));
    // Where the field's key starts in its record's line ("  " and the
    // record), else the record's '{'; the display name's key on line 1.
    size_t column = 2;
    const std::string field = row.field;
    if (row.line > 1) {
      const std::string& text = row.records[row.line - 2];
      const size_t dot = field.find('.');
      column = dot == std::string::npos ? 3 : 3 + text.find("\"" + field.substr(dot + 1) + "\"");
    }
    EXPECT_EQ(d["line"], row.line);
    EXPECT_EQ(d["column"], column);
    // The same in text: one line, as compilers give it.
    Outcome text = Build(Manifest(row.records, name));
    const std::string start = Path("m.json") + "(" + std::to_string(row.line) + "," +
                              std::to_string(column) + "): " +
                              (refusal ? "error " : "warning ") + row.id + ": " + row.field + ": ";
    EXPECT_EQ(text.err.rfind(start, 0), 0u) << text.err;
    EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 1) << text.err;
  }
}

// Paths that are full, in each of their spellings, pass.
TEST_F(DiagnosticsTest, FullPathsInEverySpellingPass) {
  Outcome run = Build(Manifest({R"({"type": "directory", "path": "C:\\App"})",
                            R"({"type": "directory", "path": "c:/App/sub"})",
                            R"({"type": "directory", "path": "\\\\server\\share\\App"})",
                            R"({"type": "directory", "path": "\\\\?\\C:\\App2"})",
                            R"({"type": "directory", "path": "\\\\?\\UNC\\server\\share\\B"})",
                            R"({"type": "ini", "file": "WIN.INI", "section": "S", "key": "k", "prior": "<null>", "value": "", "flag": false})"}));
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "");
}

// Every fault of a run at once: the manifest's (several per record too)
// and the stub's, and no output.
TEST_F(DiagnosticsTest, EveryFaultOfARunIsToldAtOnce) {
  // A stub whose one section's data would run past its end: the image the
  // temporary copy must take whole is not there.
  std::vector<uint8_t> image = kiv::testing_support::TinyImage(false);
  std::string cut(image.begin(), image.end() - 1);
  Write("cut.exe", cut);
  Write("m.json", Manifest({R"({"type": "file", "path": "a.txt", "colour": 1})",
                            R"({"type": "directory", "path": "C:\temp"})",
                            R"({"type": "font", "name": "", "file": ""})"}));
  Outcome run = Kivlog({"build", Path("m.json"), "--stub", Path("cut.exe"), "-o", Path("out.exe")});
  EXPECT_EQ(run.code, 1);
  const std::string m = Path("m.json");
  EXPECT_EQ(run.err,
            m + "(2,37): error KIV0003: records[0].colour: unknown field\n" +
            m + "(3,25): error KIV0014: records[1].path: holds the control character U+0009 at "
                "byte 3 (in JSON \"\\t\", \"\\n\" and \"\\r\" are a tab and line breaks: write a "
                "backslash as \"\\\\\")\n" +
            m + "(4,20): error KIV0016: records[2].name: empty\n" +
            m + "(4,32): error KIV0016: records[2].file: empty\n" +
            "kivlog: --stub " + Path("cut.exe") +
            ": error KIV0022: the stub's PE headers do not tell where its image ends (a header or "
            "section table cut short, or sections past the end of the file), so the uninstall's "
            "temporary copy could not be made whole; give the shipped kivuninst.exe\n");
  EXPECT_FALSE(fs::exists(Path("out.exe")));
}

// An unsigned stub is taken at any length its headers tell, past the
// temporary copy's 60,000-byte floor too; one whose headers do not say
// where its image ends is refused (KIV0022), and check finds the same in a
// built file.
TEST_F(DiagnosticsTest, TheStubsImageIsTakenAtAnyLengthItsHeadersTell) {
  Write("m.json", Manifest({R"({"type": "directory", "path": "C:\\App"})"}));
  struct Case {
    const char* name;
    size_t size;
    bool headers;  // the stand-in's headers, or none past the PE signature
    int code;
  };
  const Case cases[] = {
      {"a stub of exactly the floor", 60000, true, 0},
      {"a stub one byte past the floor", 60001, true, 0},
      {"a stub of 200,000 bytes", 200000, true, 0},
      {"no optional header", 60000, false, 1},
      {"no optional header, short", 300, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string stub(c.size, '\0');
    if (c.headers) {
      kiv::testing_support::MakeStandInStub(&stub);
    } else {
      stub.replace(0, 2, "MZ");
      stub.replace(0x3C, 4, std::string("\x80\0\0\0", 4));
      stub.replace(0x80, 4, std::string("PE\0\0", 4));
    }
    Write("stub.exe", stub);
    fs::remove(Path("out.exe"));
    Outcome run = Kivlog({"build", Path("m.json"), "--stub", Path("stub.exe"), "-o", Path("out.exe")});
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_EQ(run.err.find("KIV0022") != std::string::npos, c.code != 0) << run.err;
    if (c.code == 0) EXPECT_EQ(Kivlog({"check", Path("out.exe")}).code, 0);
  }
  // A built file whose image was cut after the build: check says so.
  std::string stub(70000, '\0');
  kiv::testing_support::MakeStandInStub(&stub);
  Write("stub.exe", stub);
  ASSERT_EQ(Kivlog({"build", Path("m.json"), "--stub", Path("stub.exe"), "-o", Path("out.exe")}).code, 0);
  std::ifstream in(Path("out.exe"), std::ios::binary);
  std::string built((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  kiv::StoreU32(reinterpret_cast<uint8_t*>(built.data()) + 0x98 + 60, 70001);  // SizeOfHeaders
  Write("cut.exe", built);
  Outcome check = Kivlog({"check", Path("cut.exe")});
  EXPECT_EQ(check.code, 1);
  EXPECT_NE(check.err.find("error KIV0022: the stub's PE headers place the end of its image at "
                           "offset 70001 (0x11171), past the start of the log at offset 70000 "
                           "(0x11170)"),
            std::string::npos)
      << check.out << check.err;
}

// --werror and -WX make warnings fatal (nothing written or appended);
// --no-warn and -wd silence one id and leave the others.
TEST_F(DiagnosticsTest, WarningsCanBeMadeFatalOrSilenced) {
  const std::string dir = R"({"type": "directory", "path": "C:\\App"})";
  const std::string warned = Manifest({dir, dir, R"({"type": "unused5"})"});
  for (const char* spelling : {"--werror", "-WX"}) {
    SCOPED_TRACE(spelling);
    Outcome run = Build(warned, {spelling});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("error KIVW006: records[1]: the same as records[0]"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("error KIV0025"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("out.exe")));
  }
  for (const std::vector<std::string>& silence :
       {std::vector<std::string>{"--no-warn", "KIVW006"}, {"-wd", "KIVW006"}, {"-wdKIVW006"}}) {
    Outcome run = Build(warned, silence);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err.find("KIVW006"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("warning KIVW011"), std::string::npos) << run.err;
  }
  Outcome both = Build(warned, {"-WX", "-wd", "KIVW006", "--no-warn", "KIVW011"});
  EXPECT_EQ(both.code, 0) << both.err;
  EXPECT_EQ(both.err, "");
  EXPECT_EQ(Build(warned, {"--no-warn", "W006"}).code, 2);  // not an id

  // append: the file's records count. A record the file already holds is a
  // duplicate; under --werror nothing is appended.
  ASSERT_EQ(Build(Manifest({dir})).code, 0);
  const std::string before = [&] {
    std::ifstream in(Path("out.exe"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  Write("step.json", "{\"records\": [\n  " + dir + "\n]}");
  Outcome strict = Kivlog({"append", Path("out.exe"), Path("step.json"), "--werror"});
  EXPECT_EQ(strict.code, 1);
  EXPECT_NE(strict.err.find(Path("step.json") +
                            "(2,3): error KIVW006: records[0]: the same as the file's record 1"),
            std::string::npos)
      << strict.err;
  std::ifstream in(Path("out.exe"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), before);
  Outcome lenient = Kivlog({"append", Path("out.exe"), Path("step.json")});
  EXPECT_EQ(lenient.code, 0);
  EXPECT_NE(lenient.err.find("warning KIVW006"), std::string::npos);
  // check warns about the file's records, and --werror fails it.
  Outcome check = Kivlog({"check", Path("out.exe")});
  EXPECT_EQ(check.code, 0);
  EXPECT_EQ(check.err, "kivlog: " + Path("out.exe") +
                           ": warning KIVW006: records[1] (directory at offset 351 (0x15F)): the "
                           "same as records[0]; the uninstall undoes it twice\n");
  EXPECT_EQ(Kivlog({"check", Path("out.exe"), "-WX"}).code, 1);
  EXPECT_EQ(Kivlog({"check", Path("out.exe"), "-WX", "-wd", "KIVW006"}).code, 0);
}

// --json: one document on the output stream for build, append and check,
// whatever happened, with the same exit code.
TEST_F(DiagnosticsTest, JsonDiagnosticsForEveryOutcome) {
  Outcome bad = Build(Manifest({R"({"type": "file", "path": "a"})"}), {"--json"});
  EXPECT_EQ(bad.code, 1);
  EXPECT_EQ(bad.err, "");
  const Json expected = {
      {"ok", false},
      {"errors", 1},
      {"warnings", 0},
      {"command", "build"},
      {"output", Path("out.exe")},
      {"written", false},
      {"diagnostics",
       {{{"severity", "error"},
         {"id", "KIV0015"},
         {"file", Path("m.json")},
         {"line", 2},
         {"column", 20},
         {"field", "records[0].path"},
         {"message",
          "not a full path; give one from a drive (C:\\...) or a share "
          "(\\\\server\\share\\...)"}}}}};
  EXPECT_EQ(Json::parse(bad.out), expected);

  Outcome good = Build(Manifest({R"({"type": "directory", "path": "C:\\App"})"}), {"--json"});
  EXPECT_EQ(good.code, 0);
  const Json built = Json::parse(good.out);
  EXPECT_EQ(built["ok"], true);
  EXPECT_EQ(built["written"], true);
  EXPECT_EQ(built["diagnostics"], Json::array());

  // A helper's fault (a missing stub) comes in the document too.
  Write("m.json", Manifest({}));
  Outcome no_stub = Kivlog({"build", Path("m.json"), "--stub", Path("none.exe"), "-o",
                        Path("x.exe"), "--json"});
  EXPECT_EQ(no_stub.code, 1);
  EXPECT_EQ(no_stub.err, "");
  const Json missing = Json::parse(no_stub.out)["diagnostics"][0];
  EXPECT_EQ(missing["id"], "KIV0021");
  EXPECT_EQ(missing["message"],
            "--stub " + Path("none.exe") + ": cannot open: No such file or directory");

  Write("step.json", R"({"records": [{"type": "directory", "path": "D:\\Other"}]})");
  Outcome appended = Kivlog({"append", Path("out.exe"), Path("step.json"), "--json"});
  EXPECT_EQ(appended.code, 0);
  EXPECT_EQ(Json::parse(appended.out)["appended"], true);
  Outcome no_file = Kivlog({"append", Path("nothing.exe"), Path("step.json"), "--json"});
  EXPECT_EQ(no_file.code, 1);
  EXPECT_EQ(Json::parse(no_file.out)["appended"], false);
  EXPECT_EQ(no_file.err, "");

  Outcome check_missing = Kivlog({"check", "--json", Path("nothing.exe")});
  EXPECT_EQ(check_missing.code, 1);
  EXPECT_EQ(Json::parse(check_missing.out)["sound"], false);
  EXPECT_EQ(Json::parse(check_missing.out)["damage"], "cannot open: No such file or directory");
}

// -o makes the directories the output goes in, and says which it could not.
TEST_F(DiagnosticsTest, OutputDirectoriesAreMade) {
  Write("m.json", Manifest({}));
  Outcome run = Kivlog({"build", Path("m.json"), "--stub", Path("stub.exe"), "-o",
                    Path("dist/Example App/kivuninst.exe")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(fs::is_regular_file(Path("dist/Example App/kivuninst.exe")));
  Write("file", "");
  Outcome blocked = Kivlog({"build", Path("m.json"), "--stub", Path("stub.exe"), "-o",
                        Path("file/sub/kivuninst.exe")});
  EXPECT_EQ(blocked.code, 1);
  const std::string start =
      "kivlog: -o " + Path("file/sub/kivuninst.exe") + ": cannot make its directory: ";
  EXPECT_EQ(blocked.err.rfind(start, 0), 0u) << blocked.err;
}

// registry_key: a key the product created, written as the record of its
// default value, whose undoing deletes the key when nothing else is in it.
TEST_F(DiagnosticsTest, ARegistryKeyIsWrittenAsItsDefaultValue) {
  Outcome run = Build(Manifest(
      {R"({"type": "registry_key", "root": "HKEY_CURRENT_USER", "key": "Software\\Example"})",
       R"({"type": "registry", "root": "HKEY_CURRENT_USER", "path": "Software\\Example\\"})"}));
  EXPECT_EQ(run.code, 0) << run.err;
  // The same bytes as the record it stands for: a duplicate of it.
  EXPECT_NE(run.err.find("warning KIVW006: records[1]: deletes the default value of "
                         "HKEY_CURRENT_USER\\Software\\Example and then the key when it is "
                         "empty, as records[0] does"),
            std::string::npos)
      << run.err;
  const Json listed = Json::parse(Kivlog({"list", "--json", Path("out.exe")}).out);
  ASSERT_EQ(listed["records"].size(), 2u);
  EXPECT_EQ(listed["records"][1]["type"], "registry");
  EXPECT_EQ(listed["records"][1]["path"], "Software\\Example\\");
  EXPECT_EQ(listed["records"][1]["data"], nullptr);

  for (const char* key : {R"("")", R"("Software\\")"}) {
    Outcome bad = Build(Manifest({std::string(R"({"type": "registry_key", "root": "HKEY_USERS", "key": )") + key + "}"}),
                        {"--json"});
    EXPECT_EQ(bad.code, 1);
    const Json d = Json::parse(bad.out)["diagnostics"][0];
    EXPECT_EQ(d["id"], "KIV0016");
    EXPECT_EQ(d["field"], "records[0].key");
  }
}

}  // namespace
}  // namespace kivlog
