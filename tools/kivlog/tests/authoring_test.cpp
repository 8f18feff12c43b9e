// The mistakes an installer author makes most, each told with its id, its
// field, its line and column and the fix: a misspelt name, a root key
// abbreviated, an environment variable in a path, a trailing comma, the INI
// entry's prior and value the wrong way round; the INI entry written by what
// its undoing does; manifests in the encodings Windows tools write; and the
// docs' own examples and diagnostics table.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "commands.h"
#include "common/tiny_image.h"
#include "manifest.h"

namespace kivlog {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Outcome {
  int code = -1;
  std::string out, err;
};

class AuthoringTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "kivlog-author-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    std::string stub(300, '\0');
    kiv::testing_support::MakeStandInStub(&stub);
    Write("stub.exe", stub);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& bytes) {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  Outcome Kivlog(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    Outcome run;
    run.code = RunCommandLine(args, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }
  // Records one a line, from line 2 on.
  static std::string Manifest(const std::vector<std::string>& records) {
    std::string text = "{\"display_name\": \"Example App\", \"records\": [\n";
    for (size_t i = 0; i < records.size(); ++i) {
      text += "  " + records[i] + (i + 1 < records.size() ? ",\n" : "\n");
    }
    return text + "]}\n";
  }
  Outcome Build(const std::string& manifest_bytes, const std::string& out = "out.exe",
                std::vector<std::string> extra = {}) {
    Write("m.json", manifest_bytes);
    std::vector<std::string> args = {"build", Path("m.json"), "--stub", Path("stub.exe"), "-o",
                                     Path(out)};
    args.insert(args.end(), extra.begin(), extra.end());
    return Kivlog(args);
  }

  fs::path dir_;
};

// UTF-16LE with its byte order mark and CR LF line ends, as Windows
// PowerShell 5.1's ">" and Out-File write a text.
std::string AsPowerShellWrites(const std::string& utf8) {
  std::u16string units;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    uint32_t c = b;
    size_t n = 1;
    if (b >= 0xF0) {
      c = b & 0x07, n = 4;
    } else if (b >= 0xE0) {
      c = b & 0x0F, n = 3;
    } else if (b >= 0xC0) {
      c = b & 0x1F, n = 2;
    }
    for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += n;
    if (c == '\n') units += u'\r';
    if (c >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(c);
    }
  }
  std::string bytes = "\xFF\xFE";
  for (char16_t u : units) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  return bytes;
}

// One row per mistake: the manifest, what is told (id, field, line,
// column), a part of its message and the hint; a row with no id is a
// manifest that must build with nothing told at all.
TEST_F(AuthoringTest, EachMistakeIsToldWithItsPlaceAndFix) {
  const std::string kIni =
      R"("type": "ini", "file": "WIN.INI", "section": "Kiv", "key": "Mode", )";
  const struct {
    const char* name;
    std::string manifest;
    const char* id;  // empty: builds, nothing told
    const char* field;
    int line;
    const char* at;  // where on the line (with its '\n') it is told: its first occurrence
    const char* message;  // a part of it
    const char* hint;
  } kRows[] = {
      {"misspelt_field", Manifest({R"({"type": "file", "paht": "C:\\App\\a.txt"})"}), "KIV0003",
       "records[0].paht", 2, "\"paht\"", "unknown field", "did you mean \"path\"?"},
      {"field_in_other_case", Manifest({R"({"type": "directory", "Path": "C:\\App"})"}),
       "KIV0003", "records[0].Path", 2, "\"Path\"", "unknown field", "did you mean \"path\"?"},
      {"field_far_from_any", Manifest({R"({"type": "file", "path": "C:\\a", "colour": 1})"}),
       "KIV0003", "records[0].colour", 2, "\"colour\"", "unknown field", ""},
      {"misspelt_type", Manifest({R"({"type": "directroy", "path": "C:\\App"})"}), "KIV0009",
       "records[0].type", 2, "\"type\"", "unknown record type \"directroy\"", "did you mean \"directory\"?"},
      {"another_tools_type", Manifest({R"({"type": "folder", "path": "C:\\App"})"}), "KIV0009",
       "records[0].type", 2, "\"type\"", "unknown record type", "did you mean \"directory\"?"},
      {"misspelt_root_member",
       "{\"display_nme\": \"Example App\", \"records\": []}\n", "KIV0003", "display_nme", 1, "\"display_nme\"",
       "unknown field", "did you mean \"display_name\"?"},
      {"root_abbreviated",
       Manifest({R"({"type": "registry", "root": "HKLM", "path": "Software\\Kiv\\V"})"}),
       "KIV0011", "records[0].root", 2, "\"root\"", "not one of HKEY_CLASSES_ROOT",
       "write HKEY_LOCAL_MACHINE"},
      {"root_with_its_path",
       Manifest({R"({"type": "registry", "root": "hkcu\\Software", "path": "Kiv\\V"})"}),
       "KIV0011", "records[0].root", 2, "\"root\"", "not one of",
       "write HKEY_CURRENT_USER alone, and the rest in \"path\""},
      {"root_and_path_in_root",
       Manifest({R"({"type": "registry", "root": "HKEY_USERS\\S", "path": "V"})"}), "KIV0011",
       "records[0].root", 2, "\"root\"", "not one of", "the root key's name alone; the rest goes in \"path\""},
      {"environment_variable_starts_a_path",
       Manifest({R"({"type": "directory", "path": "%ProgramFiles%\\App"})"}), "KIV0015",
       "records[0].path", 2, "\"path\"", "not a full path",
       "%ProgramFiles% is not expanded: the uninstall takes the path as written; give the path "
       "the installation resolved it to (C:\\Program Files\\...)"},
      {"environment_variable_in_an_ini_file",
       Manifest({R"({"type": "ini", "file": "%APPDATA%\\kiv.ini", "section": "S", "key": "k", "remove": true})"}),
       "KIV0015", "records[0].file", 2, "\"file\"", "not a full path", "%APPDATA% is not expanded"},
      {"environment_variable_inside_a_full_path",
       Manifest({R"({"type": "directory", "path": "C:\\Users\\%USERNAME%\\App"})"}), "KIVW098",
       "records[0].path", 2, "\"path\"", "holds %USERNAME%, which nothing expands",
       "give the path the installation resolved it to"},
      {"trailing_comma_in_an_array",
       "{\"display_name\": \"Example App\", \"records\": [\n"
       "  {\"type\": \"directory\", \"path\": \"C:\\\\App\"},\n"
       "\n]}\n",
       "KIV0001", "", 2, ",\n", "a comma after the last element of an array", "remove the comma"},
      {"trailing_comma_in_an_object",
       Manifest({R"({"type": "directory", "path": "C:\\App", })"}), "KIV0001", "", 2, ", }",
       "a comma after the last member of an object", "remove the comma"},
      {"ini_prior_and_value_swapped",
       Manifest({"{" + kIni + R"("prior": "old", "value": "new", "flag": false})"}), "KIVW099",
       "records[0].prior", 2, "\"prior\"", "\"old\" is not the text put back: the uninstall writes value (\"new\")",
       "if \"old\" is the old text, write \"restore\": \"old\" in place of prior, value and flag; "
       "for a key the installation created, \"remove\": true"},
      {"ini_prior_marker", Manifest({"{" + kIni + R"("prior": "<null>", "value": "new", "flag": false})"}),
       "", "", 0, "", "", ""},
      {"ini_prior_equal_to_value",
       Manifest({"{" + kIni + R"("prior": "old", "value": "old", "flag": false})"}), "", "", 0, "",
       "", ""},
      {"ini_line_prior_unused",
       Manifest({R"({"type": "ini", "file": "WIN.INI", "section": "[Kiv]", "key": "k", "prior": "old", "value": "new", "flag": true})"}),
       "", "", 0, "", "", ""},
      {"ini_restore_and_remove",
       Manifest({"{" + kIni + R"("remove": true, "restore": "old"})"}), "KIV0002",
       "records[0].restore", 2, "\"restore\"", "give one", ""},
      {"ini_remove_false", Manifest({"{" + kIni + R"("remove": false})"}), "KIV0005",
       "records[0].remove", 2, "\"remove\"", "only true", ""},
      {"ini_both_forms", Manifest({"{" + kIni + R"("restore": "old", "value": "old"})"}),
       "KIV0003", "records[0].value", 2, "\"value\"", "not with \"remove\", \"restore\" or \"remove_line\"",
       ""},
      {"ini_remove_line_without_bracket",
       Manifest({"{" + kIni + R"("remove_line": "x"})"}), "KIV0017", "records[0].section", 2, "\"section\"",
       "with flag true the section is the header line", ""},
      {"ini_restore_with_a_line_break", Manifest({"{" + kIni + R"("restore": "a\nb"})"}),
       "KIV0014", "records[0].restore", 2, "\"restore\"", "holds a line break", ""},
      {"registry_key_and_its_default_value",
       Manifest({R"({"type": "registry_key", "root": "HKEY_CURRENT_USER", "key": "Software\\Kiv"})",
                 R"({"type": "registry", "root": "HKEY_CURRENT_USER", "path": "Software\\Kiv\\"})"}),
       "KIVW006", "records[1]", 3, "{",
       "deletes the default value of HKEY_CURRENT_USER\\Software\\Kiv and then the key when it is "
       "empty, as records[0] does (a registry_key record is logged as that same record)",
       ""},
      {"text_in_an_ansi_code_page",
       "{\"display_name\": \"Example App\", \"records\": [\n"
       "  {\"type\": \"directory\", \"path\": \"C:\\\\Caf\xE9\"}\n]}\n",
       "KIV0099", "", 2, "\xE9", "not UTF-8: the byte 0xE9", ""},
      {"utf16_without_its_mark", std::string("{\0\"\0", 4), "KIV0099", "", 1, "",
       "in UTF-16LE without a byte order mark", ""},
      {"utf32", std::string("\xFF\xFE\0\0{\0\0\0", 8), "KIV0099", "", 1, "", "in UTF-32LE", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    fs::remove(Path("out.exe"));
    const Outcome run = Build(row.manifest, "out.exe", {"--json"});
    const Json doc = Json::parse(run.out);
    if (row.id[0] == '\0') {
      EXPECT_EQ(run.code, 0);
      EXPECT_EQ(doc["diagnostics"].size(), 0u) << run.out;
      continue;
    }
    const bool refusal = std::string(row.id).rfind("KIVW", 0) != 0;
    EXPECT_EQ(run.code, refusal ? 1 : 0) << run.out;
    EXPECT_EQ(fs::exists(Path("out.exe")), !refusal);
    ASSERT_EQ(doc["diagnostics"].size(), 1u) << run.out;
    const Json& d = doc["diagnostics"][0];
    EXPECT_EQ(d["id"], row.id);
    EXPECT_EQ(d["field"], row.field[0] ? Json(row.field) : Json(nullptr));
    // The column: characters before the marker on its line, plus one.
    std::istringstream lines(row.manifest);
    std::string line;
    for (int n = 0; n < row.line; ++n) std::getline(lines, line);
    line += '\n';
    const std::string before = line.substr(0, line.find(row.at));
    const size_t column =
        1 + std::count_if(before.begin(), before.end(), [](char c) { return (c & 0xC0) != 0x80; });
    EXPECT_EQ(d["line"], row.line) << run.out;
    EXPECT_EQ(d["column"], column) << run.out;
    EXPECT_NE(d["message"].get<std::string>().find(row.message), std::string::npos) << run.out;
    if (row.hint[0] == '\0') {
      EXPECT_FALSE(d.contains("hint")) << run.out;
    } else {
      EXPECT_NE(d.value("hint", "").find(row.hint), std::string::npos) << run.out;
    }
    // The text line holds message and hint, in the compilers' form.
    const Outcome text = Build(row.manifest);
    const std::string start = Path("m.json") + "(" + std::to_string(row.line) + "," +
                              std::to_string(column) + "): " +
                              (refusal ? "error " : "warning ") + row.id + ": " +
                              (row.field[0] ? std::string(row.field) + ": " : "");
    EXPECT_EQ(text.err.rfind(start, 0), 0u) << text.err;
    if (d.contains("hint")) {
      EXPECT_NE(text.err.find("; " + d["hint"].get<std::string>() + "\n"), std::string::npos)
          << text.err;
    }
  }
}

// The INI entry told by what its undoing does becomes the record the stub
// reads: the same bytes as the older fields written the right way.
TEST_F(AuthoringTest, IniOutcomesAreTheRecordsTheStubReads) {
  const std::string kHead = R"({"type": "ini", "file": "WIN.INI", "section": "Kiv", "key": "k", )";
  const struct {
    const char* name;
    const char* key;  // the field that says what the undoing does
    std::string outcome, older;
  } kRows[] = {
      {"remove", "remove", kHead + R"("remove": true})",
       kHead + R"("prior": "<null>", "value": "", "flag": false})"},
      {"restore", "restore", kHead + R"("restore": "old text"})",
       kHead + R"("prior": "old text", "value": "old text", "flag": false})"},
      {"restore_empty", "restore", kHead + R"("restore": ""})",
       kHead + R"("prior": "", "value": "", "flag": false})"},
      // The one text that cannot be its own prior.
      {"restore_the_marker", "restore", kHead + R"("restore": "<null>"})",
       kHead + R"("prior": "", "value": "<null>", "flag": false})"},
      {"remove_line", "remove_line",
       R"({"type": "ini", "file": "WIN.INI", "section": "[Kiv]", "key": "k", "remove_line": "v"})",
       R"({"type": "ini", "file": "WIN.INI", "section": "[Kiv]", "key": "k", "prior": "", "value": "v", "flag": true})"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const Outcome a = Build(Manifest({row.outcome}), "a.exe");
    ASSERT_EQ(a.code, 0) << a.err;
    EXPECT_EQ(a.err, "");
    ASSERT_EQ(Build(Manifest({row.older}), "b.exe").code, 0);
    EXPECT_EQ(Read("a.exe"), Read("b.exe"));
    // check reads it back with no warning either.
    const Outcome check = Kivlog({"check", Path("a.exe"), "--werror"});
    EXPECT_EQ(check.code, 0) << check.err;
    // unpack gives the record back by what it does, and builds the same.
    fs::remove_all(Path("unpacked"));
    ASSERT_EQ(Kivlog({"unpack", Path("b.exe"), "-o", Path("unpacked")}).code, 0);
    const Json unpacked = Json::parse(Read("unpacked/manifest.json"))["records"][0];
    EXPECT_TRUE(unpacked.contains(row.key)) << unpacked.dump();
    EXPECT_FALSE(unpacked.contains("prior")) << unpacked.dump();
    ASSERT_EQ(Kivlog({"build", Path("unpacked/manifest.json"), "--stub", Path("unpacked/stub.exe"),
                      "-o", Path("c.exe")})
                  .code,
              0);
    EXPECT_EQ(Read("c.exe"), Read("b.exe"));
  }
  // Fields that say nothing of the kind stay as they are.
  ASSERT_EQ(Build(Manifest({kHead + R"("prior": "old", "value": "new", "flag": false})"}), "d.exe").code, 0);
  fs::remove_all(Path("unpacked"));
  ASSERT_EQ(Kivlog({"unpack", Path("d.exe"), "-o", Path("unpacked")}).code, 0);
  const Json kept = Json::parse(Read("unpacked/manifest.json"))["records"][0];
  EXPECT_EQ(kept.value("prior", ""), "old") << kept.dump();
  EXPECT_EQ(kept.value("value", ""), "new") << kept.dump();
}

// check warns of a file's records as build does of the manifest's: an INI
// line (flag true) with its section in brackets is right, and a swapped
// prior is told.
TEST_F(AuthoringTest, CheckWarnsOfTheFileAsBuildDoes) {
  ASSERT_EQ(Build(Manifest({R"({"type": "ini", "file": "WIN.INI", "section": "[Fonts]", "key": "k", "prior": "", "value": "v", "flag": true})"}))
                .code,
            0);
  Outcome check = Kivlog({"check", Path("out.exe"), "--werror"});
  EXPECT_EQ(check.code, 0) << check.out << check.err;
  ASSERT_EQ(Build(Manifest({R"({"type": "ini", "file": "WIN.INI", "section": "Kiv", "key": "k", "prior": "old", "value": "new", "flag": false})"}))
                .code,
            0);
  check = Kivlog({"check", Path("out.exe"), "--json"});
  const Json doc = Json::parse(check.out);
  ASSERT_EQ(doc["warnings"].size(), 1u) << check.out;
  EXPECT_EQ(doc["warnings"][0]["id"], "KIVW099");
  EXPECT_EQ(doc["warnings"][0]["field"], "prior");
  EXPECT_NE(doc["warnings"][0]["hint"].get<std::string>().find("\"restore\": \"old\""),
            std::string::npos);
}

// A manifest in UTF-16LE as PowerShell writes it, in UTF-16BE or in UTF-8
// with its mark builds the same file as its UTF-8 twin; a fault in it is
// told at the same line and column.
TEST_F(AuthoringTest, ManifestsInTheEncodingsWindowsToolsWrite) {
  const std::string utf8 =
      "{\n  \"display_name\": \"Café 表 \xF0\x9F\x98\x80\",\n  \"code_page\": 65001,\n"
      "  \"records\": [\n    {\"type\": \"directory\", \"path\": \"C:\\\\Café\"}\n  ]\n}\n";
  ASSERT_EQ(Build(utf8, "utf8.exe").code, 0);
  std::string be = "\xFE\xFF";
  const std::string le = AsPowerShellWrites(utf8);
  for (size_t i = 2; i < le.size(); i += 2) be += std::string{le[i + 1], le[i]};
  const struct {
    const char* name;
    std::string bytes;
  } kRows[] = {{"utf16le_powershell", le}, {"utf16be", be}, {"utf8_with_bom", "\xEF\xBB\xBF" + utf8}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const Outcome run = Build(row.bytes, "again.exe");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Read("again.exe"), Read("utf8.exe"));
  }
  const std::string faulty = "{\"display_name\": \"Café\", \"code_page\": 1252,\n \"records\": [{\"type\": \"file\", \"paht\": \"C:\\\\a\"}]}";
  for (const std::string& bytes : {AsPowerShellWrites(faulty), "\xEF\xBB\xBF" + faulty}) {
    const Outcome run = Build(bytes);
    EXPECT_EQ(run.err.rfind(Path("m.json") + "(2,31): error KIV0003: records[0].paht", 0), 0u)
        << run.err;
  }
  // A surrogate half alone is refused by name.
  const Outcome half = Build(std::string("\xFF\xFE{\0\x00\xD8", 6));
  EXPECT_NE(half.err.find("error KIV0099: in UTF-16LE, but character 2 is an unpaired surrogate"),
            std::string::npos)
      << half.err;
}

// Every JSON example in the docs builds (a manifest, or records to put in
// one) or is the JSON it shows (an output); every row of the diagnostics
// tables is one table row, and every id the tool gives has one.
TEST_F(AuthoringTest, TheDocsExamplesBuildAndEveryDiagnosticHasARow) {
  size_t manifests = 0;
  for (const char* doc_name : {"docs/kivlog.md", "docs/library.md", "README.md"}) {
    std::ifstream in(fs::path(KIV_SOURCE_DIR) / doc_name);
    ASSERT_TRUE(in) << doc_name;
    std::string line, block;
    bool in_json = false;
    int block_line = 0, number = 0;
    while (std::getline(in, line)) {
      ++number;
      if (!in_json && line.rfind("```json", 0) == 0) {
        in_json = true, block.clear(), block_line = number;
        continue;
      }
      if (!in_json) continue;
      if (line.rfind("```", 0) != 0) {
        block += line + "\n";
        continue;
      }
      in_json = false;
      SCOPED_TRACE(std::string(doc_name) + ":" + std::to_string(block_line));
      std::string manifest = block;
      if (block.find("{\"type\"") == 0) {
        // Records alone: put into a manifest as they stand.
        std::string records = block;
        while (!records.empty() && (records.back() == '\n' || records.back() == ',')) records.pop_back();
        manifest = "{\"display_name\": \"Docs\", \"records\": [\n" + records + "\n]}";
      }
      Json parsed = Json::parse(manifest, nullptr, false);
      if (parsed.is_discarded()) {
        // Outputs shown one document after another (check --json), each
        // on one line or more.
        std::istringstream lines(block);
        std::string pending;
        for (std::string one; std::getline(lines, one);) {
          pending += one + "\n";
          if (!Json::parse(pending, nullptr, false).is_discarded()) pending.clear();
        }
        EXPECT_EQ(pending, "") << "not JSON";
        continue;
      }
      if (!parsed.is_object() || !parsed.contains("records") || parsed.contains("size")) continue;
      ++manifests;
      for (const Json& r : parsed["records"]) {
        if (r.contains("saved")) Write(r["saved"]["content_file"], "old content");
      }
      const Outcome run = Build(manifest);
      EXPECT_EQ(run.code, 0) << manifest << run.err;
    }
  }
  EXPECT_GE(manifests, 4u);  // the three in the manifest's sections and the larger example

  // Each diagnostics row is one line of three cells; every id the tool
  // has is a row.
  std::ifstream doc(fs::path(KIV_SOURCE_DIR) / "docs/kivlog.md");
  std::set<std::string> rows;
  bool in_table = false;
  for (std::string line; std::getline(doc, line);) {
    if (line == "| Id | What |") {
      in_table = true;
      continue;
    }
    if (!in_table) continue;
    if (line.empty()) {
      in_table = false;
      continue;
    }
    SCOPED_TRACE(line);
    ASSERT_EQ(line.front(), '|');
    ASSERT_EQ(line.back(), '|');
    EXPECT_EQ(line.find('\t'), std::string::npos);
    if (line.rfind("|---", 0) == 0) continue;
    // Cells, with '|' inside code spans kept.
    size_t cells = 0;
    bool code = false;
    for (char c : line) {
      if (c == '`') code = !code;
      if (c == '|' && !code) ++cells;
    }
    EXPECT_FALSE(code) << "a code span left open";
    EXPECT_EQ(cells, 3u);
    rows.insert(line.substr(2, line.find(' ', 2) - 2));
  }
  std::ifstream header(fs::path(KIV_SOURCE_DIR) / "tools/kivlog/diagnostics.h");
  const std::string ids((std::istreambuf_iterator<char>(header)), {});
  const std::regex id_pattern("\"(KIVW?[0-9]+)\"");
  size_t told = 0;
  for (auto it = std::sregex_iterator(ids.begin(), ids.end(), id_pattern);
       it != std::sregex_iterator(); ++it, ++told) {
    EXPECT_TRUE(rows.count((*it)[1].str())) << (*it)[1].str() << " has no row";
  }
  EXPECT_GT(told, 30u);
}

}  // namespace
}  // namespace kivlog
