// kivlog as its users run it: a separate process, its exit code, its output
// and the files it leaves. Damaged fixtures are made with the LogWriter and
// judged with the same LogReader the stub uses.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>

#include "base/byte_order.h"
#include "code_page.h"
#include "common/tiny_image.h"
#include "commands.h"
#include "common/memory_source.h"
#include "file_ops.h"
#include "listing.h"
#include "manifest.h"
#include "uninstall_file/log_reader.h"
#include "uninstall_file/log_writer.h"
#include "uninstall_file/signature_part.h"

extern char** environ;

namespace kivlog {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Bytes = std::string;

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// 300 bytes: the headers of the smallest image (MakeStandInStub), anything
// else.
std::string StandInStub() {
  std::string stub;
  for (int i = 0; i < 300; ++i) stub += static_cast<char>(i * 7);
  kiv::testing_support::MakeStandInStub(&stub);
  return stub;
}

class KivlogTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "kivlog-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    fs::create_directory(dir_ / "io");
    // Any bytes with the two headers stand in for the stub on the host.
    stub_ = dir_ / "stub.exe";
    WriteFile(stub_, StandInStub());
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Path(const std::string& name) const { return dir_ / name; }

  // Starts the tool (or program) with its output going to files named after
  // tag; extra_env entries are NAME=value. Finish() waits for it.
  // input, when given, is its standard input.
  pid_t Start(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {},
              const std::string& tag = "run",
              const std::optional<std::string>& input = std::nullopt,
              const char* program = KIVLOG_EXE) {
    const std::string out_path = (dir_ / "io" / (tag + ".out")).string();
    const std::string err_path = (dir_ / "io" / (tag + ".err")).string();
    const std::string in_path = (dir_ / "io" / (tag + ".in")).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input) {
      WriteFile(in_path, *input);
      posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = extra_env;
    for (char** e = environ; *e; ++e) env_text.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program, &actions, nullptr, argv.data(), envp.data()) != 0) {
      ADD_FAILURE() << "cannot start " << program;
      pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  Outcome Finish(pid_t pid, const std::string& tag = "run") {
    Outcome run;
    if (pid < 0) return run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(dir_ / "io" / (tag + ".out"));
    run.err = ReadFile(dir_ / "io" / (tag + ".err"));
    return run;
  }

  Outcome Kivlog(const std::vector<std::string>& args,
                 const std::vector<std::string>& extra_env = {}) {
    return Finish(Start(args, extra_env));
  }

  // Writes a manifest and builds it on the stand-in stub.
  Outcome Build(const Json& manifest, const std::string& out = "out.exe") {
    WriteFile(Path("m.json"), manifest.dump());
    return Kivlog({"build", Path("m.json"), "--stub", stub_, "-o", Path(out)});
  }

  // Names in dir_, for "the tool left nothing behind".
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  fs::path stub_;
};

// ---------------------------------------------------------------------------
// build

TEST_F(KivlogTest, BuildWritesADirectoryAndItsFileByteForByte) {
  const Json manifest = {{"display_name", "Example App"},
                         {"records",
                          {{{"type", "directory"}, {"path", "C:\\App"}},
                           {{"type", "file"}, {"path", "C:\\App\\a.txt"}}}}};
  Outcome run = Build(manifest);
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  // H = 300, where the stand-in stub ends.
  const Bytes expected = ReadFile(stub_) + Bytes("\xFF\xFF\xFF\xFF\x00\x00", 6) +  // H: type 0
                         Bytes(
                             "\x2C\x01\x00\x00\x01\x00"
                             "C:\\App\0",
                             13) +  // H+6: directory
                         Bytes(
                             "\x32\x01\x00\x00\x02\x00"
                             "C:\\App\\a.txt\0\0",
                             20) +  // H+19: file, flag 0
                         Bytes("Example App\0", 12) +
                         Bytes(
                             "\x53\x01\x00\x00\x3F\x01\x00\x00"
                             "KivUnInstall",
                             20);  // name H+39, last H+19
  EXPECT_EQ(ReadFile(Path("out.exe")), expected);
}

// Every record type, saved content of several sizes and each way of giving
// its time, and text in code page 1252: build, then list --json must give
// back every field, newest first, and the saved bytes sit where they belong.
TEST_F(KivlogTest, BuildThenListGivesBackEveryField) {
  std::string big(4097, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  WriteFile(Path("big.bin"), big);
  WriteFile(Path("empty.bin"), "");
  fs::create_directory(Path("saved"));
  WriteFile(Path("saved/own_time.txt"), "kept time");
  const struct timespec times[2] = {{1577836800, 123456700}, {1577836800, 123456700}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("saved/own_time.txt").c_str(), times, 0), 0);

  const Json records = Json::array({
      {{"type", "directory"}, {"path", "C:\\Caf\u00e9"}},
      {{"type", "file"}, {"path", "C:\\Caf\u00e9\\new.txt"}},
      {{"type", "file"},
       {"path", "C:\\big.dll"},
       {"saved", {{"content_file", "big.bin"}, {"time", "2020-01-02T03:04:05Z"}}}},
      {{"type", "file"},
       {"path", "C:\\empty.txt"},
       {"saved", {{"content_file", Path("empty.bin").string()}, {"time", 132223104000000000ull}}}},
      {{"type", "file"},
       {"path", "C:\\own.txt"},
       {"saved", {{"content_file", "saved/own_time.txt"}}}},
      {{"type", "ini"},
       {"file", "WIN.INI"},
       {"section", "Kiv"},
       {"key", "k"},
       {"prior", "<null>"},
       {"value", "v"},
       {"flag", false}},
      {{"type", "ini"},
       {"file", "C:\\a.ini"},
       {"section", "[Kiv]"},
       {"key", "x"},
       {"prior", ""},
       {"value", "1"},
       {"flag", true}},
      {{"type", "registry"},
       {"root", "hkey_local_machine"},
       {"path", "Software\\Kiv\\Version"},
       {"data", "1.0"}},
      {{"type", "registry"}, {"root", "HKEY_CURRENT_USER"}, {"path", "Software\\Kiv\\Gone"}},
      {{"type", "unused5"}},
      {{"type", "font"}, {"name", "Sample Sans"}, {"file", "sample.ttf"}},
      {{"type", "shell_item"}, {"group", "Kiv"}, {"item", "Kiv App"}},
      {{"type", "shell_group"}, {"group", "Kiv"}},
  });
  Outcome build =
      Build({{"display_name", "Caf\u00e9 Suite"}, {"code_page", 1252}, {"records", records}});
  ASSERT_EQ(build.code, 0) << build.err;

  Outcome list = Kivlog({"list", "--json", Path("out.exe")});
  ASSERT_EQ(list.code, 0) << list.err;
  const Json doc = Json::parse(list.out);
  const Bytes file = ReadFile(Path("out.exe"));
  EXPECT_EQ(doc["display_name"], "Caf\u00e9 Suite");
  EXPECT_EQ(doc["size"], file.size());
  EXPECT_EQ(doc["end_of_log"], 300);
  ASSERT_EQ(doc["records"].size(), records.size());

  // The saved times the listing must show, by path.
  const std::map<std::string, Json> saved = {
      {"C:\\big.dll",
       {{"length", 4097}, {"time", "132224078450000000"}, {"time_utc", "2020-01-02T03:04:05Z"}}},
      {"C:\\empty.txt",
       {{"length", 0}, {"time", "132223104000000000"}, {"time_utc", "2020-01-01T00:00:00Z"}}},
      {"C:\\own.txt",
       {{"length", 9},
        {"time", "132223104001234567"},
        {"time_utc", "2020-01-01T00:00:00.1234567Z"}}},
  };
  const std::map<std::string, Bytes> content = {
      {"C:\\big.dll", big}, {"C:\\empty.txt", ""}, {"C:\\own.txt", "kept time"}};
  uint32_t previous_offset = UINT32_MAX;
  for (size_t i = 0; i < records.size(); ++i) {
    const Json& want = records[records.size() - 1 - i];  // undo order
    const Json& got = doc["records"][i];
    SCOPED_TRACE(got.dump());
    EXPECT_LT(got.at("offset").get<uint32_t>(), previous_offset);
    previous_offset = got.at("offset");
    EXPECT_EQ(got.at("type"), want["type"]);
    for (const auto& [key, value] : want.items()) {
      if (key != "saved") EXPECT_EQ(got.at(key), value) << key;
    }
    if (want["type"] == "registry") EXPECT_EQ(got.at("data"), want.value("data", Json()));
    if (want["type"] != "file") continue;
    const std::string path = want["path"];
    if (!want.contains("saved")) {
      EXPECT_TRUE(got.at("saved").is_null());
      continue;
    }
    EXPECT_EQ(got.at("saved"), saved.at(path));
    // header, path in 1252 (all ASCII here) and NUL, flag, time, length
    const size_t at = got.at("offset").get<size_t>() + 6 + path.size() + 1 + 1 + 12;
    EXPECT_EQ(file.substr(at, content.at(path).size()), content.at(path));
  }
  // In the file the text is in code page 1252.
  EXPECT_NE(file.find("C:\\Caf\xE9\\new.txt"), std::string::npos);
  EXPECT_NE(file.find(Bytes("Caf\xE9 Suite\0", 11)), std::string::npos);
}

TEST_F(KivlogTest, BuildRefusesAnInvalidManifestAndLeavesNoOutput) {
  const struct {
    const char* name;
    std::string manifest;  // text of m.json
    std::string line;      // the one line on stderr; "@" stands for the test's directory
  } kRows[] = {
      {"missing_field", R"({"display_name": "A", "records": [{"type": "file"}]})",
       "@/m.json(1,35): error KIV0004: records[0].path: missing"},
      {"over_limit",
       R"({"display_name": "A", "records": [{"type": "directory", "path": "C:\\)" +
           std::string(253, 'x') + R"("}]})",
       "@/m.json(1,57): error KIV0007: records[0].path: longer than 255 bytes; only a file that "
       "names its code page (\"code_page\", with \"code_page_record\" not false) may hold a "
       "path of up to 1023 bytes"},
      {"unknown_root",
       R"({"display_name": "A", "records": [{"type": "registry", "root": "HKCU", "path": "S\\V"}]})",
       "@/m.json(1,56): error KIV0011: records[0].root: not one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, "
       "HKEY_LOCAL_MACHINE, HKEY_USERS; write HKEY_CURRENT_USER"},
      {"unknown_type", R"({"display_name": "A", "records": [{"type": "service", "name": "kivd"}]})",
       "@/m.json(1,36): error KIV0009: records[0].type: unknown record type \"service\""},
      {"bad_time",
       R"({"display_name": "A", "records": [{"type": "file", "path": "C:\\a", "saved": {"content_file": "stub.exe", "time": "2020-02-30T00:00:00Z"}}]})",
       "@/m.json(1,107): error KIV0013: records[0].saved.time: not a UTC time like 2020-01-02T03:04:05Z (years "
       "1601 to 9999)"},
      {"content_file_missing",
       R"({"display_name": "A", "records": [{"type": "file", "path": "C:\\a", "saved": {"content_file": "nope.bin"}}]})",
       "@/m.json(1,79): error KIV0020: records[0].saved.content_file: cannot use @/nope.bin: No such file or "
       "directory"},
      {"content_file_is_a_directory",
       R"({"display_name": "A", "records": [{"type": "file", "path": "C:\\a", "saved": {"content_file": "io"}}]})",
       "@/m.json(1,79): error KIV0020: records[0].saved.content_file: cannot use @/io: a directory, not a file"},
      {"not_json", R"({"display_name": "A", "records": [})",
       "@/m.json(1,35): error KIV0001: not valid JSON: parse error at line 1, column 35: syntax error while "
       "parsing value - unexpected '}'; expected '[', '{', or a literal"},
  };
  WriteFile(Path("m.json"), "");
  const auto before = Listing();
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    WriteFile(Path("m.json"), row.manifest);
    Outcome run = Kivlog({"build", Path("m.json"), "--stub", stub_, "-o", Path("out.exe")});
    std::string line = row.line;
    for (size_t at; (at = line.find('@')) != std::string::npos;) line.replace(at, 1, dir_.string());
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, line + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Listing(), before);  // no output, no temporary file
  }
}

TEST_F(KivlogTest, FailedBuildKeepsTheOldOutputAndGoodBuildReplacesIt) {
  WriteFile(Path("out.exe"), "previous");
  const Json bad = {{"display_name", "A"}, {"records", {{{"type", "shell_item"}, {"group", "G"}}}}};
  Outcome failed = Build(bad);
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.err, Path("m.json").string() + "(1,32): error KIV0004: records[0].item: missing\n");
  EXPECT_EQ(ReadFile(Path("out.exe")), "previous");

  Outcome good = Build({{"display_name", "A"}, {"records", Json::array()}});
  ASSERT_EQ(good.code, 0) << good.err;
  kiv::LogReader reader(Path("out.exe").c_str());
  EXPECT_EQ(reader.CheckChain().damage, kiv::Damage::kNone);
  EXPECT_STREQ(reader.display_name(), "A");
}

// An output that is one of the inputs would replace it; a stub that is not a
// Windows executable, or an input that is not a regular file, is refused
// with a plain message. Nothing is written in any case.
TEST_F(KivlogTest, BuildRefusesOddInputsAndOutputs) {
  const Json manifest = {
      {"display_name", "A"},
      {"records",
       {{{"type", "file"}, {"path", "C:\\a"}, {"saved", {{"content_file", "saved.bin"}}}}}}};
  WriteFile(Path("m.json"), manifest.dump());
  WriteFile(Path("saved.bin"), "old bytes");
  WriteFile(Path("plain.exe"), "MZ" + std::string(100, 'x'));
  mkfifo(Path("fifo").c_str(), 0600);
  const struct {
    const char* name;
    std::string manifest, stub, out;
    std::string line;  // @ is the test directory
  } kRows[] = {
      {"output_is_the_manifest", "m.json", "stub.exe", "m.json",
       "-o @/m.json: is the manifest; name another output"},
      {"output_is_the_stub", "m.json", "stub.exe", "./stub.exe",
       "-o @/./stub.exe: is the stub; name another output"},
      {"output_is_saved_content", "m.json", "stub.exe", "saved.bin",
       "-o @/saved.bin: is the saved content of records[0]; name another output"},
      {"stub_not_pe", "m.json", "plain.exe", "out.exe",
       "--stub @/plain.exe: not a Windows executable (no MZ and PE headers); give the stub, "
       "kivuninst.exe"},
      {"stub_is_a_directory", "m.json", "io", "out.exe",
       "--stub @/io: cannot open: a directory, not a file"},
      {"manifest_is_a_fifo", "fifo", "stub.exe", "out.exe",
       "@/fifo: cannot open: not a regular file"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const Bytes m = ReadFile(Path("m.json")), stub = ReadFile(stub_),
                saved = ReadFile(Path("saved.bin"));
    Outcome run =
        Kivlog({"build", Path(row.manifest), "--stub", Path(row.stub), "-o", Path(row.out)});
    std::string line = "kivlog: " + row.line + "\n";
    for (size_t at; (at = line.find('@')) != std::string::npos;) line.replace(at, 1, dir_.string());
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, line);
    EXPECT_EQ(ReadFile(Path("m.json")), m);
    EXPECT_EQ(ReadFile(stub_), stub);
    EXPECT_EQ(ReadFile(Path("saved.bin")), saved);
    EXPECT_FALSE(fs::exists(Path("out.exe")));
  }
  // check and list on a directory or a FIFO: plain, and no waiting.
  for (const char* command : {"check", "list"}) {
    EXPECT_EQ(Kivlog({command, Path("fifo")}).err,
              "kivlog: " + Path("fifo").string() + ": cannot open: not a regular file\n");
    EXPECT_EQ(Kivlog({command, dir_}).err,
              "kivlog: " + dir_.string() + ": cannot open: a directory, not a file\n");
  }
}

// A saved time given as the listing gives it, a FILETIME in a string, is
// taken exactly: above 2^53, where a double would round it.
TEST_F(KivlogTest, SavedTimesAsStringsStayExact) {
  ASSERT_EQ(Build({{"display_name", "A"},
                   {"records",
                    {{{"type", "file"},
                      {"path", "C:\\a"},
                      {"saved", {{"content_file", "stub.exe"}, {"time", "132223104000000001"}}}}}}})
                .code,
            0);
  Outcome list = Kivlog({"list", "--json", Path("out.exe")});
  EXPECT_EQ(Json::parse(list.out)["records"][0]["saved"]["time"], "132223104000000001");
}

// "-" names standard input; content files are then taken from the current
// directory, and faults name "standard input".
TEST_F(KivlogTest, AManifestFromStandardInput) {
  const Json manifest = {{"display_name", "A"},
                         {"records", {{{"type", "directory"}, {"path", "C:\\A"}}}}};
  Outcome built = Finish(
      Start({"build", "-", "--stub", stub_, "-o", Path("in.exe")}, {}, "run", manifest.dump()));
  ASSERT_EQ(built.code, 0) << built.err;
  ASSERT_EQ(Build(manifest).code, 0);
  EXPECT_EQ(ReadFile(Path("in.exe")), ReadFile(Path("out.exe")));

  Outcome appended = Finish(
      Start({"append", Path("in.exe"), "-"}, {}, "run", R"({"records": [{"type": "unused5"}]})"));
  ASSERT_EQ(appended.code, 0) << appended.err;
  EXPECT_EQ(Kivlog({"check", Path("in.exe")}).out, "ok: 2 records\n");

  Outcome bad = Finish(
      Start({"append", Path("in.exe"), "-"}, {}, "run", R"({"records": [{"type": "font"}]})"));
  EXPECT_EQ(bad.code, 1);
  // Every fault of the run, each at the record that lacks it.
  EXPECT_EQ(bad.err,
            "standard input(1,14): error KIV0004: records[0].name: missing\n"
            "standard input(1,14): error KIV0004: records[0].file: missing\n");
}

TEST_F(KivlogTest, BuildRefusesAStubThatIsAlreadyAnUninstallFile) {
  ASSERT_EQ(Build({{"display_name", "A"}, {"records", Json::array()}}).code, 0);
  WriteFile(Path("m.json"), R"({"display_name": "B", "records": []})");
  Outcome run =
      Kivlog({"build", Path("m.json"), "--stub", Path("out.exe"), "-o", Path("twice.exe")});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err,
            "kivlog: --stub " + Path("out.exe").string() +
                ": already an uninstall file (it ends with the signature); give the bare stub\n");
  EXPECT_FALSE(fs::exists(Path("twice.exe")));
}

// The example in docs/format.md is what build writes: its manifest, built on
// a stand-in stub of the image size it names, gives exactly its hex dump, and
// every offset its table names is a record's, the name's or the trailer's.
TEST_F(KivlogTest, TheFormatPagesExampleIsWhatBuildWrites) {
  const std::string page = ReadFile(fs::path(KIV_SOURCE_DIR) / "docs" / "format.md");
  const size_t example = page.find("\n## Example\n");
  ASSERT_NE(example, std::string::npos);
  // Its fenced blocks (the manifest, the dump) and its table rows "| H...".
  std::vector<std::string> blocks, rows;
  std::istringstream text(page.substr(example));
  bool fenced = false;
  for (std::string line; std::getline(text, line);) {
    if (line.rfind("```", 0) == 0) {
      if (!fenced) blocks.emplace_back();
      fenced = !fenced;
    } else if (fenced) {
      blocks.back() += line + "\n";
    } else if (line.rfind("| H", 0) == 0) {
      rows.push_back(line);
    }
  }
  ASSERT_EQ(blocks.size(), 2u);
  const std::string& manifest = blocks[0];
  const std::string& dump = blocks[1];
  const size_t image = std::stoul(dump.substr(0, 8), nullptr, 16);
  std::string stub = StandInStub();
  stub.resize(image, '\0');
  WriteFile(Path("image.exe"), stub);
  WriteFile(Path("m.json"), manifest);
  Outcome run =
      Kivlog({"build", Path("m.json"), "--stub", Path("image.exe"), "-o", Path("ex.exe")});
  ASSERT_EQ(run.code, 0) << run.err;

  const Bytes file = ReadFile(Path("ex.exe"));
  std::string lines;
  for (size_t at = image; at < file.size(); at += 16) {
    char hex[16];
    snprintf(hex, sizeof(hex), "%08zX ", at);
    std::string line = hex, shown;
    for (size_t i = at; i < at + 16; ++i) {
      if (i >= file.size()) {
        line += "   ";
        continue;
      }
      const auto b = static_cast<uint8_t>(file[i]);
      snprintf(hex, sizeof(hex), " %02X", b);
      line += hex;
      shown += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    }
    lines += line + "  " + shown + "\n";
  }
  EXPECT_EQ(dump, lines);

  std::set<uint32_t> offsets = {static_cast<uint32_t>(file.size() - kiv::kTrailerSize)};
  kiv::LogReader reader(Path("ex.exe").c_str());
  ASSERT_EQ(reader.CheckChain().damage, kiv::Damage::kNone);
  offsets.insert(reader.name_offset());
  while (reader.current() != kiv::kNoBackLink) {
    offsets.insert(reader.current());
    reader.NextRecord();
  }
  std::set<uint32_t> named;
  for (const std::string& row : rows) {  // "| H+25 = 0x7819 | ..."
    const uint32_t from_h = row[3] == '+' ? std::stoul(row.substr(4)) : 0;
    const uint32_t at = std::stoul(row.substr(row.find("= 0x") + 4), nullptr, 16);
    EXPECT_EQ(at, image + from_h) << row;
    named.insert(at);
  }
  EXPECT_EQ(named, offsets);
}

// ---------------------------------------------------------------------------
// list and check on damaged files

class VectorSink final : public kiv::ByteSink {
 public:
  explicit VectorSink(Bytes* bytes) : bytes_(bytes) {}
  bool Write(const void* data, uint32_t size) override {
    bytes_->append(static_cast<const char*>(data), size);
    return true;
  }
  uint32_t Position() const override { return static_cast<uint32_t>(bytes_->size()); }

 private:
  Bytes* bytes_;
};

struct Fixture {
  const char* name;
  Bytes bytes;
  kiv::Damage damage;
  std::string where;  // how the message must place the fault
};

// A 100-byte image that holds the NUL-terminated text "Image" at offset 0,
// a name some fixtures point at so the fault lies elsewhere.
Bytes Image() { return Bytes("Image\0", 6) + Bytes(94, 'i'); }

// A 100-byte image whose PE headers end it where the log begins, as check
// asks of a sound unsigned file.
Bytes SoundImage() {
  Bytes b(100, 'i');
  kiv::testing_support::MakeStandInStub(&b, 4);
  return b;
}

std::vector<Fixture> DamagedFixtures() {
  std::vector<Fixture> rows;
  const auto make = [](auto&& body) {
    Bytes bytes = Image();
    VectorSink sink(&bytes);
    kiv::LogWriter writer(sink);
    writer.Begin();                  // at 100
    writer.AddDirectory("C:\\App");  // at 106
    body(writer, bytes);
    return bytes;
  };
  const Bytes sound = make([](kiv::LogWriter& w, Bytes&) { w.Finish("Example App"); });
  const uint32_t size = static_cast<uint32_t>(sound.size());

  Bytes bad_signature = sound;
  bad_signature.back() = 'L';
  rows.push_back({"bad_signature", bad_signature, kiv::Damage::kBadSignature,
                  "at offset " + std::to_string(size - 12)});
  Bytes small_letters = sound;
  small_letters.replace(size - 12, 12, "kivuninstall");
  rows.push_back({"small_letters", small_letters, kiv::Damage::kBadSignature,
                  "at offset " + std::to_string(size - 12)});
  rows.push_back({"shorter_than_trailer", sound.substr(sound.size() - 19), kiv::Damage::kTooShort,
                  "(19 bytes)"});
  rows.push_back({"name_offset_past_end", make([](kiv::LogWriter& w, Bytes& b) {
                    w.FinishRaw(static_cast<uint32_t>(b.size()) + 100, w.last_record(),
                                kiv::kSignature);
                  }),
                  kiv::Damage::kNameOffset, "at offset 119"});  // the trailer's name field
  rows.push_back({"type_12_after_valid_records", make([](kiv::LogWriter& w, Bytes&) {
                    w.AddRaw(12, "x", 1);  // at 119
                    w.AddFile("C:\\App\\a.txt");
                    w.Finish("Example App");
                  }),
                  kiv::Damage::kBadType, "at offset 119"});
  rows.push_back({"forward_back_link", make([](kiv::LogWriter& w, Bytes&) {
                    w.Resume(200);  // the record at 119 links forward
                    w.AddDirectory("C:\\Loop");
                    w.Finish("Example App");
                  }),
                  kiv::Damage::kBackLinkForward, "at offset 119"});
  rows.push_back({"unterminated_string", make([](kiv::LogWriter& w, Bytes&) {
                    w.AddRaw(1, "C:\\App\\b", 8);  // at 119, runs into the trailer
                    w.FinishRaw(0, w.last_record(), kiv::kSignature);
                  }),
                  kiv::Damage::kStringUnterminated, "at offset 125"});  // the string
  rows.push_back({"saved_content_past_trailer", make([](kiv::LogWriter& w, Bytes&) {
                    const Bytes payload =
                        Bytes("C:\\a\0\x01", 6) + Bytes(8, '\0') + Bytes("\x00\x10\x00\x00", 4);
                    w.AddRaw(2, payload.data(), static_cast<uint32_t>(payload.size()));  // at 119
                    w.Finish("Example App");
                  }),
                  kiv::Damage::kPayloadOutside, "at offset 143"});  // the content
  rows.push_back({"last_record_outside", make([](kiv::LogWriter& w, Bytes& b) {
                    const uint32_t name = static_cast<uint32_t>(b.size());
                    w.WriteBytes("A", 2);
                    w.FinishRaw(name, 5000, kiv::kSignature);
                  }),
                  kiv::Damage::kRecordOutside, "at offset 5000"});
  rows.push_back({"type_0_with_a_back_link", make([](kiv::LogWriter& w, Bytes&) {
                    w.AddRaw(0, nullptr, 0);  // links back to 106
                    w.Finish("Example App");
                  }),
                  kiv::Damage::kChainEnd, "at offset 119"});
  return rows;
}

TEST_F(KivlogTest, ListAndCheckGiveTheStubsVerdictOnDamagedFiles) {
  for (const auto& fixture : DamagedFixtures()) {
    SCOPED_TRACE(fixture.name);
    const fs::path path = Path(std::string(fixture.name) + ".exe");
    WriteFile(path, fixture.bytes);
    kiv::LogReader reader(path.c_str());
    const kiv::ChainVerdict verdict = reader.CheckChain();
    ASSERT_EQ(verdict.damage, fixture.damage) << "the fixture is not what its name says";

    const std::string prefix = "kivlog: " + path.string() + ": damaged";
    const std::string reason = kiv::DamageName(verdict.damage);
    Outcome check = Kivlog({"check", path});
    EXPECT_EQ(check.code, 1);
    EXPECT_EQ(check.out, "");
    EXPECT_EQ(check.err.rfind(prefix, 0), 0u) << check.err;
    EXPECT_NE(check.err.find(fixture.where), std::string::npos) << check.err;
    EXPECT_NE(check.err.find(reason), std::string::npos) << check.err;
    EXPECT_EQ(check.err.find('\n'), check.err.size() - 1) << "one line";
    for (const char* json : {"", "--json"}) {
      std::vector<std::string> args = {"list", path};
      if (*json) args.push_back(json);
      Outcome list = Kivlog(args);
      EXPECT_EQ(list.code, 1);
      EXPECT_EQ(list.out, "");
      EXPECT_EQ(list.err, check.err);
    }
  }
}

TEST_F(KivlogTest, CheckCountsTheRecordsOfASoundFile) {
  WriteFile(Path("empty.exe"), [] {
    Bytes b = SoundImage();
    VectorSink sink(&b);
    kiv::LogWriter w(sink);
    w.Begin();
    w.Finish("Empty");
    return b;
  }());
  Outcome empty = Kivlog({"check", Path("empty.exe")});
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.out, "ok: 0 records\n");
  EXPECT_EQ(empty.err, "");

  ASSERT_EQ(Build({{"display_name", "A"},
                   {"records",
                    {{{"type", "directory"}, {"path", "C:\\A"}},
                     {{"type", "unused5"}},
                     {{"type", "shell_group"}, {"group", "G"}}}}})
                .code,
            0);
  Outcome three = Kivlog({"check", Path("out.exe")});
  EXPECT_EQ(three.code, 0);
  EXPECT_EQ(three.out, "ok: 3 records\n");
  Outcome missing = Kivlog({"check", Path("nothing.exe")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "kivlog: " + Path("nothing.exe").string() +
                             ": cannot open: No such file or directory\n");
}

// Sound files the stub would still mishandle: check names every such field
// with its record (numbered as in a manifest) and offset, as build refuses it.
TEST_F(KivlogTest, CheckAppliesTheRulesBuildApplies) {
  const auto file = [](const char* name, auto&& body) {
    Bytes b = SoundImage();
    VectorSink sink(&b);
    kiv::LogWriter w(sink);
    w.Begin();                  // at 100
    w.AddDirectory("C:\\App");  // at 106, records[0]
    body(w);
    w.Finish(name);
    return b;
  };
  const std::string font_245(245, 'f');
  const struct {
    const char* name;
    Bytes bytes;
    std::vector<std::string> lines;  // after "kivlog: FILE: "
  } kRows[] = {
      {"long_font_name",
       file(
           "Kiv",
           [&](kiv::LogWriter& w) { w.AddRaw(6, (font_245 + '\0' + "f.ttf" + '\0').data(), 252); }),
       {"records[1].name (font at offset 119 (0x77)): longer than 244 bytes"}},
      {"unsafe_program_manager_names",
       file("Kiv",
            [](kiv::LogWriter& w) {
              w.AddShellGroup("");                                   // at 119, records[1]
              w.AddShellItem("Kiv", "a,b");                          // at 126, records[2]
              w.AddShellItem("K\"iv", "item");                       // at 140, records[3]
              w.AddRegistryValue("HKLM", "Software\\Kiv", nullptr);  // at 156, records[4]
            }),
       {"records[4].root (registry at offset 156 (0x9C)): not one of HKEY_CLASSES_ROOT, "
        "HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS; write HKEY_LOCAL_MACHINE",
        "records[3].group (shell_item at offset 140 (0x8C)): empty, or holds a quote or a control "
        "character",
        "records[2].item (shell_item at offset 126 (0x7E)): empty, or holds a quote, parenthesis, "
        "bracket, comma or control character",
        "records[1].group (shell_group at offset 119 (0x77)): empty, or holds a quote or a control "
        "character"}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const fs::path path = Path(std::string(row.name) + ".exe");
    WriteFile(path, row.bytes);
    // The stub itself takes every one of these as sound.
    kiv::LogReader reader(path.c_str());
    ASSERT_EQ(reader.CheckChain().damage, kiv::Damage::kNone);

    Outcome run = Kivlog({"check", path});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    std::string expected;
    for (const auto& line : row.lines) expected += "kivlog: " + path.string() + ": " + line + "\n";
    EXPECT_EQ(run.err, expected);

    Outcome json = Kivlog({"check", "--json", path});
    EXPECT_EQ(json.code, 1);
    const Json doc = Json::parse(json.out);
    EXPECT_EQ(doc["sound"], true);
    EXPECT_EQ(doc["faults"].size(), row.lines.size());
  }
  // list still shows them: it is the dry run of what the stub does.
  EXPECT_EQ(Kivlog({"list", Path("unsafe_program_manager_names.exe")}).code, 0);

  // A display name that is no key name of its own the stub refuses as
  // damaged, and check says so in the stub's words.
  for (const char* name : {"", "Kiv\\App"}) {
    SCOPED_TRACE(name);
    const fs::path path = Path("bad_name.exe");
    WriteFile(path, file(name, [](kiv::LogWriter&) {}));
    kiv::LogReader reader(path.c_str());
    EXPECT_EQ(reader.CheckChain().damage, kiv::Damage::kNameInvalid);
    Outcome run = Kivlog({"check", path});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(
        run.err,
        "kivlog: " + path.string() +
            ": damaged at offset 119 (0x77): the display name is empty or holds a backslash\n");
  }
}

TEST_F(KivlogTest, CheckJsonGivesTheVerdictOfSoundAndDamagedFiles) {
  ASSERT_EQ(
      Build({{"display_name", "A"}, {"records", {{{"type", "directory"}, {"path", "C:\\A"}}}}})
          .code,
      0);
  Outcome sound = Kivlog({"check", "--json", Path("out.exe")});
  EXPECT_EQ(sound.code, 0);
  // The stand-in stub is of no kind kivlog knows.
  EXPECT_EQ(Json::parse(sound.out),
            Json({{"file", Path("out.exe")},
                  {"sound", true},
                  {"records", 1},
                  {"faults", Json::array()},
                  {"warnings", Json::array()},
                  {"warning", nullptr},
                  {"stub", {{"machine", nullptr}, {"execution_level", nullptr}}},
                  {"stub_warnings", Json::array()},
                  {"signature", "unsigned"}}));
  WriteFile(Path("damaged.exe"), DamagedFixtures()[4].bytes);
  Outcome damaged = Kivlog({"check", "--json", Path("damaged.exe")});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_EQ(Json::parse(damaged.out),
            Json({{"file", Path("damaged.exe")},
                  {"sound", false},
                  {"damage", "damaged at offset 119 (0x77): a record type is above 9"},
                  {"faults", Json::array()},
                  {"warnings", Json::array()}}));
}

TEST_F(KivlogTest, ListShowsAnAlignedTableInUndoOrder) {
  ASSERT_EQ(Build({{"display_name", "Example App"},
                   {"records",
                    {{{"type", "directory"}, {"path", "C:\\App"}},
                     {{"type", "registry"}, {"root", "HKEY_USERS"}, {"path", "S\\\"q\""}},
                     {{"type", "shell_item"}, {"group", "G"}, {"item", "I"}}}}})
                .code,
            0);
  Outcome run = Kivlog({"list", Path("out.exe")});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "Display name: \"Example App\"\n"
            "3 records to undo, last written first:\n"
            "\n"
            "OFFSET  TYPE        FIELDS\n"
            "   343  shell_item  group=\"G\"  item=\"I\"\n"
            "   319  registry    root=\"HKEY_USERS\"  path=\"S\\\\x22q\\x22\"  data=none\n"
            "   306  directory   path=\"C:\\App\"\n"
            "   300  end_of_log\n");
}

// The five bytes Windows-1252 leaves unassigned show as \xNN, as the
// control characters do; the JSON listing keeps them as characters.
TEST_F(KivlogTest, ListEscapesTheUnassigned1252Bytes) {
  ASSERT_EQ(Build({{"display_name", "A\u0081"},
                   {"code_page", 1252},
                   {"records",
                    {{{"type", "directory"}, {"path", "C:\\\u008D\u008F\u0090\u009D\u20AC"}}}}})
                .code,
            0);
  Outcome run = Kivlog({"list", Path("out.exe")});
  EXPECT_NE(run.out.find("Display name: \"A\\x81\"\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("path=\"C:\\\\x8D\\x8F\\x90\\x9D\u20AC\"\n"), std::string::npos)
      << run.out;
  Outcome json = Kivlog({"list", "--json", Path("out.exe")});
  EXPECT_EQ(Json::parse(json.out)["records"][0]["path"], "C:\\\u008D\u008F\u0090\u009D\u20AC");
}

// Names that show other than they are: build, append and check warn of
// each at its field (KIVW014), and list shows the hidden characters
// escaped, never raw. A code page's own marks (1255's right-to-left mark,
// byte 0xFE) are found through its decoding.
TEST_F(KivlogTest, NamesThatShowOtherThanTheyAreAreWarnedOfAndListedEscaped) {
  const Json records = {{{"type", "directory"}, {"path", "C:\\App\u200B"}},
                        {{"type", "shell_group"}, {"group", "P\u0430ypal"}}};
  Outcome built = Build({{"display_name", "Spoof\u202Egnp.exe"}, {"code_page", 65001},
                         {"records", records}});
  ASSERT_EQ(built.code, 0) << built.err;
  for (const char* told : {"warning KIVW014: display_name: holds U+202E RIGHT-TO-LEFT OVERRIDE",
                           "warning KIVW014: records[0].path: holds U+200B ZERO WIDTH SPACE",
                           "warning KIVW014: records[1].group: mixes Latin letters with Cyrillic"}) {
    EXPECT_NE(built.err.find(told), std::string::npos) << told << "\n" << built.err;
  }
  WriteFile(Path("m.json"), Json({{"display_name", "Spoof\u202Egnp.exe"},
                                  {"code_page", 65001},
                                  {"records", records}})
                                .dump());
  EXPECT_EQ(Kivlog({"build", Path("m.json"), "--stub", stub_, "-o", Path("x.exe"), "--werror"})
                .code,
            1);

  Outcome check = Kivlog({"check", Path("out.exe")});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_NE(check.err.find("warning KIVW014: records[1].group"), std::string::npos) << check.err;
  EXPECT_NE(check.err.find("warning KIVW014: display_name"), std::string::npos) << check.err;

  Outcome list = Kivlog({"list", Path("out.exe")});
  ASSERT_EQ(list.code, 0) << list.err;
  EXPECT_NE(list.out.find("Display name: \"Spoof\\u202Egnp.exe\"\n"), std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("path=\"C:\\App\\u200B\""), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("group=\"P\u0430ypal\""), std::string::npos) << list.out;
  for (const char* raw : {"\u202E", "\u200B"}) EXPECT_EQ(list.out.find(raw), std::string::npos);

  // An append warns of its own records only.
  WriteFile(Path("more.json"),
            Json{{"code_page", 65001},
                 {"records", {{{"type", "file"}, {"path", "C:\\App\\\u2067x.txt"}}}}}
                .dump());
  Outcome appended = Kivlog({"append", Path("out.exe"), Path("more.json")});
  EXPECT_EQ(appended.code, 0) << appended.err;
  EXPECT_NE(appended.err.find("KIVW014: records[0].path: holds U+2067 RIGHT-TO-LEFT ISOLATE"),
            std::string::npos)
      << appended.err;
  EXPECT_EQ(appended.err.find("group"), std::string::npos) << appended.err;

  // Windows-1255: the right-to-left mark is the byte 0xFE.
  ASSERT_EQ(Build({{"display_name", "Hebrew \u200F App"}, {"code_page", 1255},
                   {"records", Json::array()}},
                  "hebrew.exe")
                .code,
            0);
  Outcome hebrew = Kivlog({"check", Path("hebrew.exe")});
  EXPECT_NE(hebrew.err.find("KIVW014: display_name: holds U+200F RIGHT-TO-LEFT MARK"),
            std::string::npos)
      << hebrew.err;
  EXPECT_NE(Kivlog({"list", Path("hebrew.exe")}).out.find("\"Hebrew \\u200F App\""),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// append

const Json kFirst = Json::array({
    {{"type", "directory"}, {"path", "C:\\App"}},
    {{"type", "file"}, {"path", "C:\\App\\a.txt"}},
});
const Json kMore = Json::array({
    {{"type", "directory"}, {"path", "C:\\App\\sub"}},
    {{"type", "file"},
     {"path", "C:\\App\\sub\\b.dll"},
     {"saved", {{"content_file", "stub.exe"}, {"time", 132223104000000000ull}}}},
    {{"type", "registry"},
     {"root", "HKEY_LOCAL_MACHINE"},
     {"path", "Software\\Kiv\\V"},
     {"data", "2"}},
    {{"type", "ini"},
     {"file", "win.ini"},
     {"section", "Kiv"},
     {"key", "k"},
     {"prior", "<null>"},
     {"value", "v"},
     {"flag", false}},
    {{"type", "shell_group"}, {"group", "Kiv"}},
});

Json Concat(const Json& a, const Json& b) {
  Json all = a;
  for (const auto& r : b) all.push_back(r);
  return all;
}

Json Slice(const Json& a, size_t from, size_t to) {
  Json part = Json::array();
  for (size_t i = from; i < to; ++i) part.push_back(a[i]);
  return part;
}

// What the stub would undo: the display name and every record's fields in
// undo order, offsets left out; or the damage, when the stub would refuse it.
Json Undone(kiv::LogReader& reader) {
  const kiv::ChainVerdict verdict = reader.CheckChain();
  if (verdict.damage != kiv::Damage::kNone) {
    return "damaged at " + std::to_string(verdict.offset) + ": " + kiv::DamageName(verdict.damage);
  }
  const kivlog::Listing listing = kivlog::ReadListing(reader, kivlog::kWindows1252);
  Json records = Json::array();
  for (const auto& r : listing.records) {
    records.push_back(
        {{"type", kivlog::RecordTypeName(r.type)}, {"fields", Json::parse(r.fields.dump())}});
  }
  return {{"display_name", listing.display_name}, {"records", records}};
}

Json Undone(const fs::path& file) {
  kiv::LogReader reader(file.c_str());
  return Undone(reader);
}

Json UndoneBytes(const Bytes& bytes) {
  kiv::testing_support::MemorySource source(bytes.data(), bytes.size());
  kiv::LogReader reader(source);
  return Undone(reader);
}

TEST_F(KivlogTest, AppendGivesTheSameRecordsAsBuildingEverythingAtOnce) {
  ASSERT_EQ(
      Build({{"display_name", "Example App"}, {"records", Concat(kFirst, kMore)}}, "all.exe").code,
      0);
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", kFirst}}).code, 0);
  WriteFile(Path("more.json"), Json{{"records", kMore}}.dump());
  Outcome run = Kivlog({"append", Path("out.exe"), Path("more.json")});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Undone(Path("out.exe")), Undone(Path("all.exe")));
  // The saved content went in whole: the restored bytes are the stub's.
  Outcome list = Kivlog({"list", "--json", Path("out.exe")});
  const Json saved = Json::parse(list.out)["records"][3];
  ASSERT_EQ(saved["type"], "file");
  const Bytes file = ReadFile(Path("out.exe"));
  const Bytes stub = ReadFile(stub_);
  const size_t content_at =
      saved["offset"].get<size_t>() + 6 + strlen("C:\\App\\sub\\b.dll") + 1 + 1 + 8 + 4;
  EXPECT_EQ(file.substr(content_at, stub.size()), stub);
}

// A stub signed here with a throw-away certificate (openssl, osslsigncode):
// build and append put the log inside its certificate table, and the
// signature holds throughout.
class SignedStubTest : public KivlogTest {
 protected:
  void SetUp() override {
    KivlogTest::SetUp();
    ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=KivTest -keyout " +
                    Quoted("key.pem") + " -out " + Quoted("cert.pem")),
              0)
        << "openssl is needed (scripts/bootstrap installs it)";
    const std::vector<uint8_t> image = kiv::testing_support::TinyImage(false);
    WriteFile(Path("bare.exe"), Bytes(image.begin(), image.end()));
    ASSERT_EQ(Shell("osslsigncode sign -certs " + Quoted("cert.pem") + " -key " + Quoted("key.pem") +
                    " -in " + Quoted("bare.exe") + " -out " + Quoted("signed.exe")),
              0)
        << "osslsigncode is needed (scripts/bootstrap installs it)";
    stub_ = Path("signed.exe");
    signed_stub_ = ReadFile(stub_);
    WriteFile(Path("more.json"), Json{{"records", kMore}}.dump());
    WriteFile(Path("empty.json"), Json{{"records", Json::array()}}.dump());
  }
  std::string Quoted(const std::string& name) const { return "'" + Path(name).string() + "'"; }
  static int Shell(const std::string& command) {
    return system((command + " >/dev/null 2>&1").c_str());
  }
  bool Verifies(const std::string& name) const {
    return Shell("osslsigncode verify -CAfile " + Quoted("cert.pem") + " -in " + Quoted(name)) == 0;
  }
  std::string SignatureState(const std::string& name) {
    Outcome check = Kivlog({"check", "--json", Path(name)});
    return Json::parse(check.out).value("signature", "");
  }
  // The signed stub again from an uninstall file: up to the blob's end,
  // both lengths set back.
  Bytes SignedStubOf(const std::string& name) {
    Bytes file = ReadFile(Path(name));
    kiv::SignaturePart part;
    const auto* bytes = reinterpret_cast<uint8_t*>(file.data());
    if (kiv::ReadSignaturePart(bytes, file.size(), &part) != kiv::SignatureLayout::kSigned) return "";
    file.resize(part.signed_end);
    kiv::StoreSignatureLengths(reinterpret_cast<uint8_t*>(file.data()), part,
                               part.signed_end - part.table_offset);
    return file;
  }
  Bytes signed_stub_;
};

TEST_F(SignedStubTest, BuildAndEveryAppendKeepTheSignature) {
  ASSERT_TRUE(Verifies("signed.exe"));
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", kFirst}}).code, 0);
  EXPECT_TRUE(Verifies("out.exe"));
  EXPECT_EQ(SignatureState("out.exe"), "inside");
  EXPECT_EQ(fs::file_size(Path("out.exe")) % 8, 0u);
  Json all = kFirst;
  // Appends of one record each, then of several: each ends the file on a
  // different remainder before its padding.
  for (size_t i = 0; i < kMore.size(); ++i) {
    SCOPED_TRACE("append " + std::to_string(i));
    WriteFile(Path("one.json"), Json{{"records", Slice(kMore, i, i + 1)}}.dump());
    Outcome run = Kivlog({"append", Path("out.exe"), Path("one.json")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(Verifies("out.exe"));
    EXPECT_EQ(SignatureState("out.exe"), "inside");
    all = Concat(all, Slice(kMore, i, i + 1));
  }
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", all}}, "all.exe").code, 0);
  EXPECT_EQ(Undone(Path("out.exe")), Undone(Path("all.exe")));
  Outcome check = Kivlog({"check", Path("out.exe")});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_NE(check.out.find("signed; the log lies inside the signature part"), std::string::npos);
  // The signed stub comes back byte for byte, and verifies alone.
  EXPECT_EQ(SignedStubOf("out.exe"), signed_stub_);
  EXPECT_EQ(SignedStubOf("all.exe"), signed_stub_);
}

TEST_F(SignedStubTest, UnpackGivesTheSignedStubBackAndBuildTheSameFile) {
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", Concat(kFirst, kMore)}}).code, 0);
  Outcome unpacked = Kivlog({"unpack", Path("out.exe"), "-o", Path("unpacked")});
  ASSERT_EQ(unpacked.code, 0) << unpacked.err;
  EXPECT_EQ(ReadFile(Path("unpacked/stub.exe")), signed_stub_);
  Outcome again = Kivlog({"build", Path("unpacked/manifest.json"), "--stub",
                          Path("unpacked/stub.exe"), "-o", Path("again.exe")});
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_TRUE(ReadFile(Path("again.exe")) == ReadFile(Path("out.exe")));
}

TEST_F(SignedStubTest, AnUnsignedStubsFileStaysAsItWas) {
  stub_ = Path("bare.exe");
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", kFirst}}).code, 0);
  const Bytes file = ReadFile(Path("out.exe"));
  const Bytes bare = ReadFile(Path("bare.exe"));
  // The stub, the type-0 record straight after it, no padding anywhere.
  EXPECT_EQ(file.substr(0, bare.size()), bare);
  EXPECT_EQ(file.substr(bare.size(), 6), Bytes("\xFF\xFF\xFF\xFF\0\0", 6));
  EXPECT_EQ(SignatureState("out.exe"), "unsigned");
}

TEST_F(SignedStubTest, CheckSaysWhereTheLogLies) {
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", kFirst}}).code, 0);
  kiv::SignaturePart part;
  ASSERT_EQ(kiv::ReadSignaturePart(reinterpret_cast<const uint8_t*>(signed_stub_.data()),
                                   signed_stub_.size(), &part),
            kiv::SignatureLayout::kSigned);
  // The log after the table, as a tool unaware of the signature writes it:
  // the lengths are the stub's. Check refuses it and names the command that
  // sets them, which then makes it verify.
  Bytes outside = ReadFile(Path("out.exe"));
  outside.replace(0, signed_stub_.size(), signed_stub_);
  WriteFile(Path("outside.exe"), outside);
  EXPECT_FALSE(Verifies("outside.exe"));
  EXPECT_EQ(SignatureState("outside.exe"), "inconsistent");
  Outcome check = Kivlog({"check", Path("outside.exe")});
  EXPECT_EQ(check.code, 1);
  EXPECT_NE(check.err.find("EMPTY"), std::string::npos) << check.err;
  ASSERT_EQ(Kivlog({"append", Path("outside.exe"), Path("empty.json")}).code, 0);
  EXPECT_TRUE(Verifies("outside.exe"));
  EXPECT_EQ(ReadFile(Path("outside.exe")), ReadFile(Path("out.exe")));
  // Three bytes more after it: not a multiple of 8 from the table, so no
  // length can reach the end; only a new build helps.
  // (between the name and the trailer, which stays last)
  Bytes odd = outside.substr(0, outside.size() - 20) + "odd" + outside.substr(outside.size() - 20);
  WriteFile(Path("odd.exe"), odd);
  EXPECT_EQ(SignatureState("odd.exe"), "outside");

  // A spoilt certificate type: unsound, and build refuses such a stub.
  Bytes spoilt = ReadFile(Path("out.exe"));
  spoilt[part.table_offset + 6] = 1;
  WriteFile(Path("spoilt.exe"), spoilt);
  EXPECT_EQ(SignatureState("spoilt.exe"), "unsound");
  Bytes stub = signed_stub_;
  stub[part.table_offset + 6] = 1;
  WriteFile(Path("spoilt-stub.exe"), stub);
  stub_ = Path("spoilt-stub.exe");
  Outcome build = Build({{"display_name", "Example App"}, {"records", kFirst}}, "x.exe");
  EXPECT_EQ(build.code, 1);
  EXPECT_NE(build.err.find("cannot be read soundly"), std::string::npos) << build.err;
  EXPECT_FALSE(fs::exists(Path("x.exe")));
}

// check's verdict on the signature part against osslsigncode's on the same
// files: a built file, and files an attacker could make of it. A layout a
// verifier refuses, or whose temporary copy would be other than the signed
// stub (a blob reaching into the log, a cut image, a second certificate
// left out), never "holds", and the stub's copy plan refuses it too, but
// for two that only kivlog sees: a second certificate (kivlog knows where
// the log starts, and build refuses such a stub) and a SignedData running
// on past its last element (kivlog reads the whole blob; the stub reads its
// first bytes only). None of them is told of the
// 60,000-byte copy limit: that is for unsigned files.
TEST_F(SignedStubTest, CheckJudgesTheSignaturePartAsAVerifierDoes) {
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", kFirst}}).code, 0);
  const Bytes built = ReadFile(Path("out.exe"));
  kiv::SignaturePart part;
  ASSERT_EQ(kiv::ReadSignaturePart(reinterpret_cast<const uint8_t*>(built.data()), built.size(),
                                   &part),
            kiv::SignatureLayout::kSigned);
  // Adds delta to the two-byte long-form DER length at `at`.
  const auto raise = [](Bytes* b, uint32_t at, int delta) {
    ASSERT_EQ(static_cast<uint8_t>((*b)[at]), 0x82);
    const int length = (static_cast<uint8_t>((*b)[at + 1]) << 8) + static_cast<uint8_t>((*b)[at + 2]) + delta;
    (*b)[at + 1] = static_cast<char>(length >> 8);
    (*b)[at + 2] = static_cast<char>(length & 0xFF);
  };
  const uint32_t outer = part.table_offset + 8 + 1;           // ContentInfo's length
  const uint32_t holder = part.table_offset + 8 + 4 + 11 + 1;  // its [0]'s length
  // and the SignedData's at holder + 4

  // The stub with a second certificate entry after the first, and a file
  // with its log after both, built by hand (build refuses such a stub).
  Bytes two = signed_stub_;
  const Bytes first_entry = two.substr(part.table_offset);
  two += first_entry;
  kiv::SignaturePart stub_part;
  ASSERT_EQ(kiv::ReadSignaturePart(reinterpret_cast<const uint8_t*>(signed_stub_.data()),
                                   signed_stub_.size(), &stub_part),
            kiv::SignatureLayout::kSigned);
  kiv::StoreU32(reinterpret_cast<uint8_t*>(two.data()) + stub_part.directory_entry + 4,
                static_cast<uint32_t>(two.size() - stub_part.table_offset));
  WriteFile(Path("two-stub.exe"), two);
  Bytes two_file = two;
  {
    VectorSink sink(&two_file);
    kiv::LogWriter w(sink);
    w.Begin();
    w.AddDirectory("C:\\App");
    const uint32_t name_at = static_cast<uint32_t>(two_file.size());
    w.WriteBytes("Example App", 12);
    while ((two_file.size() + kiv::kTrailerSize - part.table_offset) % 8 != 0) w.WriteBytes("", 1);
    w.FinishRaw(name_at, w.last_record(), kiv::kSignature);
    kiv::StoreSignatureLengths(reinterpret_cast<uint8_t*>(two_file.data()), stub_part,
                               static_cast<uint32_t>(two_file.size() - part.table_offset));
  }

  struct Row {
    const char* name;
    Bytes bytes;
    bool verifies;          // osslsigncode's verdict
    const char* signature;  // check --json's
    kiv::SignatureLayout plan;
  };
  std::vector<Row> rows;
  rows.push_back({"as_built", built, true, "inside", kiv::SignatureLayout::kSigned});
  Bytes longer = built;
  raise(&longer, outer, 64);
  rows.push_back({"outer_length_raised_by_64", longer, false, "unsound",
                  kiv::SignatureLayout::kUnsound});
  Bytes both = built;
  raise(&both, outer, 64);
  raise(&both, holder, 64);
  rows.push_back({"outer_and_content_lengths_raised_by_64", both, false, "unsound",
                  kiv::SignatureLayout::kUnsound});
  // All three outer lengths raised alike: the first bytes agree, and only
  // the whole blob shows the SignedData running on past its last element.
  // (The stub, which reads only the first bytes, takes it; kivlog does not.)
  Bytes three = both;
  raise(&three, holder + 4, 64);
  rows.push_back({"all_three_lengths_raised_by_64", three, false, "unsound",
                  kiv::SignatureLayout::kSigned});
  // The one section's raw data made to reach past the table's start: the
  // table lies inside the image, and the signed stub would be a cut image.
  Bytes inside = built;
  const uint32_t section = 0x40 + 24 + 224;  // TinyImage's section table
  kiv::StoreU32(reinterpret_cast<uint8_t*>(inside.data()) + section + 16, part.table_offset);
  rows.push_back({"table_inside_the_image", inside, false, "unsound",
                  kiv::SignatureLayout::kUnsound});
  rows.push_back({"second_certificate_before_the_log", two_file, true, "unsound",
                  kiv::SignatureLayout::kSigned});

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = std::string(row.name) + ".exe";
    WriteFile(Path(name), row.bytes);
    EXPECT_EQ(Verifies(name), row.verifies);
    Outcome check = Kivlog({"check", "--json", Path(name)});
    const Json verdict = Json::parse(check.out);
    EXPECT_EQ(verdict.value("sound", false), true) << check.out;
    EXPECT_EQ(verdict.value("signature", ""), row.signature) << check.out;
    EXPECT_EQ(check.code, std::string(row.signature) == "inside" ? 0 : 1) << check.out;
    EXPECT_TRUE(verdict["warning"].is_null()) << check.out;
    Outcome text = Kivlog({"check", Path(name)});
    EXPECT_EQ(text.err.find("KIV0022"), std::string::npos) << text.err;
    if (std::string(row.signature) == "inside") {
      EXPECT_NE(text.out.find("which holds"), std::string::npos) << text.out;
    } else {
      EXPECT_EQ(text.out.find("holds"), std::string::npos) << text.out;
      EXPECT_NE(text.err.find("build it again"), std::string::npos) << text.err;
    }
    // The stub's plan for its temporary copy, over the same bytes.
    const auto* data = reinterpret_cast<const uint8_t*>(row.bytes.data());
    const uint32_t head = std::min<uint32_t>(row.bytes.size(), kiv::kPeHeadLimit);
    kiv::SignedCopy copy;
    const Bytes* source = &row.bytes;
    const auto read = [](void* context, uint32_t offset, void* buffer, uint32_t count) -> uint32_t {
      const Bytes& b = *static_cast<const Bytes*>(context);
      if (offset >= b.size()) return 0;
      const uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(b.size() - offset));
      memcpy(buffer, b.data() + offset, n);
      return n;
    };
    EXPECT_EQ(kiv::PlanSignedCopy(data, head, row.bytes.size(), read,
                                  const_cast<Bytes*>(source), &copy),
              row.plan);
  }

  // build refuses the stub with two certificates, naming what it would lose.
  stub_ = Path("two-stub.exe");
  Outcome build = Build({{"display_name", "Example App"}, {"records", kFirst}}, "x.exe");
  EXPECT_EQ(build.code, 1);
  EXPECT_NE(build.err.find("bytes after its first certificate"), std::string::npos) << build.err;
  EXPECT_FALSE(fs::exists(Path("x.exe")));
}

// An append stopped after each of its writes: the records are the old set
// or the new; the file verifies, or check calls it inconsistent and an
// append of nothing makes it verify without touching a record.
TEST_F(SignedStubTest, AStoppedAppendVerifiesOrIsRepairedByAnEmptyAppend) {
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", kFirst}}, "base.exe").code, 0);
  ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", Concat(kFirst, kMore)}}, "all.exe").code,
            0);
  const Bytes base = ReadFile(Path("base.exe"));
  const Json before = Undone(Path("base.exe"));
  const Json after = Undone(Path("all.exe"));
  int repaired = 0, verified = 0;
  for (int writes = 0;; ++writes) {
    ASSERT_LT(writes, 50);
    SCOPED_TRACE("writes:" + std::to_string(writes));
    WriteFile(Path("out.exe"), base);
    Outcome cut = Finish(Start({"writes:" + std::to_string(writes), Path("out.exe"),
                                Path("more.json")},
                               {}, "run", std::nullopt, KIVLOG_STOPPING_EXE));
    ASSERT_TRUE(cut.code == 3 || cut.code == 0) << cut.err;
    const Json left = Undone(Path("out.exe"));
    EXPECT_TRUE(left == (cut.code == 0 ? after : before));
    if (Verifies("out.exe")) {
      ++verified;
      EXPECT_EQ(SignatureState("out.exe"), "inside");
    } else {
      EXPECT_EQ(SignatureState("out.exe"), "inconsistent");
      Outcome check = Kivlog({"check", Path("out.exe")});
      EXPECT_NE(check.err.find("kivlog append " + Path("out.exe").string() + " EMPTY"),
                std::string::npos)
          << check.err;
      ASSERT_EQ(Kivlog({"append", Path("out.exe"), Path("empty.json")}).code, 0);
      EXPECT_TRUE(Verifies("out.exe"));
      EXPECT_EQ(Undone(Path("out.exe")), left);
      ++repaired;
    }
    if (cut.code == 0) break;
    // And the same append then goes through, signed.
    ASSERT_EQ(Kivlog({"append", Path("out.exe"), Path("more.json")}).code, 0);
    EXPECT_TRUE(Verifies("out.exe"));
    EXPECT_EQ(Undone(Path("out.exe")), after);
  }
  // The stops between the copy of the old trailer and the second length.
  EXPECT_EQ(repaired, 2);
  EXPECT_GE(verified, 3);
}

// An append is one transaction: stopped after any write, after any byte, or
// by a full disk, it leaves a file the stub takes as sound holding either the
// records from before or all of them; never a damaged file, never a part.
// The stops are played by kivlog_stopping, the test build of append that
// ends its process at a given write or byte as a kill would.
class AppendStopTest : public KivlogTest {
 protected:
  void SetUp() override {
    KivlogTest::SetUp();
    // 3 MiB of saved content: several of the tool's writes.
    Bytes big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + i / 4099);
    WriteFile(Path("big.bin"), big);
    more_ = Concat(kMore, Json::array({{{"type", "file"},
                                        {"path", "C:\\App\\big.dll"},
                                        {"saved", {{"content_file", "big.bin"}, {"time", 1}}}},
                                       {{"type", "directory"}, {"path", "C:\\App\\last"}}}));
    ASSERT_EQ(Build({{"display_name", "Example App"}, {"records", kFirst}}, "base.exe").code, 0);
    ASSERT_EQ(
        Build({{"display_name", "Renamed App"}, {"records", Concat(kFirst, more_)}}, "all.exe")
            .code,
        0);
    WriteFile(Path("more.json"), Json{{"display_name", "Renamed App"}, {"records", more_}}.dump());
    base_ = ReadFile(Path("base.exe"));
    before_ = Undone(Path("base.exe"));
    after_ = Undone(Path("all.exe"));
    ASSERT_TRUE(before_.is_object());
    ASSERT_TRUE(after_.is_object());
    // The size an append that is not stopped leaves.
    WriteFile(Path("done.exe"), base_);
    ASSERT_EQ(Kivlog({"append", Path("done.exe"), Path("more.json")}).code, 0);
    ASSERT_EQ(Undone(Path("done.exe")), after_);
    final_size_ = fs::file_size(Path("done.exe"));
  }

  // Appends to a fresh copy of the base file, stopped as stop says; checks
  // what is left, and that the same append then goes through on it.
  int StopAndCheck(const std::string& stop) {
    SCOPED_TRACE(stop);
    WriteFile(Path("out.exe"), base_);
    Outcome cut = Finish(Start({stop, Path("out.exe"), Path("more.json")}, {}, "run", std::nullopt,
                               KIVLOG_STOPPING_EXE));
    EXPECT_TRUE(cut.code == 3 || cut.code == 0) << cut.code << cut.err;
    const Json left = Undone(Path("out.exe"));
    if (left == before_) {
      ++saw_before_;
      EXPECT_NE(cut.code, 0);
    } else {
      EXPECT_EQ(left, after_);
      ++saw_after_;
    }
    if (cut.code == 3) {
      Outcome again = Kivlog({"append", Path("out.exe"), Path("more.json")});
      EXPECT_EQ(again.code, 0) << again.err;
      // From the old records the retry adds all; the new ones it adds again.
      if (left == before_) EXPECT_EQ(Undone(Path("out.exe")), after_);
    }
    return cut.code;
  }

  Json more_, before_, after_;
  Bytes base_;
  uint64_t final_size_ = 0;
  int saw_before_ = 0, saw_after_ = 0;
};

TEST_F(AppendStopTest, AfterEveryWrite) {
  int writes = 0;
  while (StopAndCheck("writes:" + std::to_string(writes)) == 3) {
    ASSERT_LT(++writes, 100);
  }
  // A copy of the old trailer, the 1 MiB blocks of records and name, the new trailer.
  EXPECT_GE(writes, 5);
  EXPECT_EQ(saw_after_, 1);  // only the run that was not stopped
  EXPECT_EQ(saw_before_, writes);
}

// A trailer is written whole or not at all (it never crosses a block, and a
// kill cannot tear a 20-byte write): a stop inside one lands before it.
TEST_F(AppendStopTest, AfterEveryKthByteAndTheLastBytesBeforeTheNewTrailer) {
  // Counted from the copy of the old trailer, the first write.
  const uint64_t written = final_size_ - base_.size() + kiv::kTrailerSize;
  std::vector<uint64_t> stops;
  for (uint64_t at = 0; at < written; at += 65521) stops.push_back(at);
  // The last bytes of records and name, and each byte of the new trailer.
  for (uint64_t back = 1; back <= 4200; back += back < 60 ? 1 : 397)
    stops.push_back(written - back);
  for (uint64_t at : stops) EXPECT_EQ(StopAndCheck("bytes:" + std::to_string(at)), 3);
  EXPECT_EQ(saw_before_, static_cast<int>(stops.size()));
  EXPECT_EQ(StopAndCheck("bytes:" + std::to_string(written)), 0);
  EXPECT_EQ(saw_after_, 1);
}

// The LockedFile of a real append, in this process, keeping every write
// with the number of flushes made before it.
class RecordingFile final : public LockedFile {
 public:
  struct Write {
    uint64_t offset;
    Bytes bytes;
    int flushes_before;
  };
  bool WriteAt(uint64_t offset, const void* data, size_t size, std::string* why) override {
    writes.push_back({offset, Bytes(static_cast<const char*>(data), size), flushes});
    return LockedFile::WriteAt(offset, data, size, why);
  }
  bool Flush(std::string* why) override {
    ++flushes;
    return LockedFile::Flush(why);
  }
  std::vector<Write> writes;
  int flushes = 0;
};

// bytes written over file at offset, the file growing to hold them.
void Put(Bytes* file, uint64_t offset, const Bytes& bytes) {
  if (file->size() < offset + bytes.size()) file->resize(offset + bytes.size(), '\0');
  file->replace(offset, bytes.size(), bytes);
}

// A power loss keeps what was flushed; of the writes since the last flush,
// each may be on the disk whole, not at all, or (one longer than a trailer,
// which lies within one sector) cut short, here at its half, and in any
// combination, for the disk may put them there in any order. Every such
// file holds the old records or all of them.
TEST_F(AppendStopTest, AtAPowerLossTheFileHoldsTheOldOrTheNewRecords) {
  WriteFile(Path("out.exe"), base_);
  RecordingFile file;
  std::ostringstream out, err;
  ASSERT_EQ(Append(Path("out.exe").string(), Path("more.json").string(), file, out, err), kExitOk)
      << err.str();
  ASSERT_EQ(Undone(Path("out.exe")), after_);
  ASSERT_GE(file.writes.size(), 5u);  // the copy, the 1 MiB blocks, the trailer
  for (int lost_after = 0; lost_after <= file.flushes; ++lost_after) {
    Bytes flushed = base_;
    std::vector<const RecordingFile::Write*> pending;
    for (const auto& w : file.writes) {
      if (w.flushes_before < lost_after) Put(&flushed, w.offset, w.bytes);
      if (w.flushes_before == lost_after) pending.push_back(&w);
    }
    // One digit per pending write: 0 not there, 1 whole, 2 its first half.
    std::vector<int> kept(pending.size(), 0);
    for (;;) {
      Bytes disk = flushed;
      std::string trace = "after flush " + std::to_string(lost_after) + ", writes kept:";
      for (size_t i = 0; i < pending.size(); ++i) {
        const Bytes& bytes = pending[i]->bytes;
        if (kept[i] == 1) Put(&disk, pending[i]->offset, bytes);
        if (kept[i] == 2) Put(&disk, pending[i]->offset, bytes.substr(0, bytes.size() / 2));
        trace += " " + std::to_string(kept[i]);
      }
      const Json left = UndoneBytes(disk);
      if (left == before_) {
        ++saw_before_;
      } else if (left == after_) {
        ++saw_after_;
      } else {
        ADD_FAILURE() << trace << ": " << left.dump().substr(0, 200);
      }
      size_t i = 0;
      while (i < pending.size()) {
        const int top = pending[i]->bytes.size() > kiv::kTrailerSize ? 2 : 1;
        if (++kept[i] <= top) break;
        kept[i++] = 0;
      }
      if (i == pending.size()) break;
    }
  }
  EXPECT_GT(saw_before_, 0);
  EXPECT_GT(saw_after_, 0);
}

TEST_F(AppendStopTest, AtAFullDiskNothingChanges) {
  // The file-size limit makes the system refuse writes past it, as a full
  // disk would, and the tool must say so and leave the file as it was.
  for (uint64_t room :
       {uint64_t{0}, uint64_t{100}, uint64_t{1} << 20, final_size_ - base_.size() - 1}) {
    SCOPED_TRACE(room);
    WriteFile(Path("out.exe"), base_);
    rlimit saved_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    rlimit limit = saved_limit;
    limit.rlim_cur = base_.size() + room;
    void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);  // the child inherits "ignored"
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const pid_t pid = Start({"append", Path("out.exe"), Path("more.json")});
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    signal(SIGXFSZ, saved_handler);
    Outcome run = Finish(pid);
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find(": cannot append: File too large"), std::string::npos) << run.err;
    EXPECT_TRUE(ReadFile(Path("out.exe")) == base_) << "the file changed";
  }
}

// A real full disk: a 2 MiB tmpfs that the saved content does not fit. The
// write that finds no room fails part-way through the records; the tool cuts
// the file back to what it was. Needs the right to mount (root in most
// containers); skipped without it.
TEST_F(AppendStopTest, AtARealFullDiskTheFileGoesBackToWhatItWas) {
  const fs::path disk = Path("disk");
  fs::create_directory(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { umount(at.c_str()); }
  } unmount{disk};
  WriteFile(disk / "out.exe", base_);
  Outcome run = Kivlog({"append", (disk / "out.exe").string(), Path("more.json")});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find(": cannot append: records["), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
  EXPECT_TRUE(ReadFile(disk / "out.exe") == base_) << "the file changed";
}

// Two appends to one file at once: the second waits for the first, so the
// file ends up with the base records and both sets, one after the other.
TEST_F(AppendStopTest, TwoAppendsAtOnceNeverInterleave) {
  const Json second = Json::array({{{"type", "file"},
                                    {"path", "C:\\Other\\big.dll"},
                                    {"saved", {{"content_file", "big.bin"}, {"time", 2}}}},
                                   {{"type", "shell_group"}, {"group", "Other"}}});
  WriteFile(Path("second.json"), Json{{"records", second}}.dump());
  ASSERT_EQ(
      Build({{"display_name", "Renamed App"}, {"records", Concat(Concat(kFirst, more_), second)}},
            "ab.exe")
          .code,
      0);
  ASSERT_EQ(
      Build({{"display_name", "Renamed App"}, {"records", Concat(Concat(kFirst, second), more_)}},
            "ba.exe")
          .code,
      0);
  const Json ab = Undone(Path("ab.exe")), ba = Undone(Path("ba.exe"));
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    WriteFile(Path("out.exe"), base_);
    const pid_t one = Start({"append", Path("out.exe"), Path("more.json")}, {}, "one");
    const pid_t two = Start({"append", Path("out.exe"), Path("second.json")}, {}, "two");
    Outcome first = Finish(one, "one"), other = Finish(two, "two");
    EXPECT_EQ(first.code, 0) << first.err;
    EXPECT_EQ(other.code, 0) << other.err;
    const Json left = Undone(Path("out.exe"));
    EXPECT_TRUE(left == ab || left == ba) << left.dump().substr(0, 300);
  }
}

TEST_F(KivlogTest, AppendCanRenameTheProductEvenToAShorterName) {
  ASSERT_EQ(Build({{"display_name", std::string(200, 'L')}, {"records", kFirst}}).code, 0);
  WriteFile(Path("more.json"),
            Json{{"display_name", "Short"}, {"records", Slice(kMore, 0, 1)}}.dump());
  Outcome run = Kivlog({"append", Path("out.exe"), Path("more.json")});
  ASSERT_EQ(run.code, 0) << run.err;
  kiv::LogReader reader(Path("out.exe").c_str());
  const kiv::ChainVerdict verdict = reader.CheckChain();
  EXPECT_EQ(verdict.damage, kiv::Damage::kNone);
  EXPECT_EQ(verdict.records, 4u);
  EXPECT_STREQ(reader.display_name(), "Short");

  // A name alone, with no records, renames too.
  WriteFile(Path("rename.json"), R"({"display_name": "Renamed", "records": []})");
  Outcome rename = Kivlog({"append", Path("out.exe"), Path("rename.json")});
  ASSERT_EQ(rename.code, 0) << rename.err;
  kiv::LogReader again(Path("out.exe").c_str());
  EXPECT_EQ(again.CheckChain().records, 4u);
  EXPECT_STREQ(again.display_name(), "Renamed");
}

// A sound file of 68 bytes, then zeros to 4 GiB + 68 bytes: the low 32 bits
// of its size would name the sound file at its start.
TEST_F(KivlogTest, CheckAndAppendRefuseAFileOverTheLargestSizeByName) {
  Bytes small = [] {
    Bytes b;
    VectorSink sink(&b);
    kiv::LogWriter w(sink);
    w.Begin();
    w.AddShellGroup("Group");
    w.Finish("Example Application Name 1234");
    return b;
  }();
  ASSERT_EQ(small.size(), 68u);
  const fs::path big = Path("big.exe");
  WriteFile(big, small);
  fs::resize_file(big, (uint64_t{1} << 32) + small.size());
  const std::string expected =
      "kivlog: " + big.string() + ": damaged: " + kiv::DamageName(kiv::Damage::kTooLarge) + "\n";

  Outcome check = Kivlog({"check", big});
  EXPECT_EQ(check.code, 1);
  EXPECT_EQ(check.out, "");
  EXPECT_EQ(check.err, expected);

  WriteFile(Path("more.json"), Json{{"records", kMore}}.dump());
  Outcome append = Kivlog({"append", big, Path("more.json")});
  EXPECT_EQ(append.code, 1);
  EXPECT_EQ(append.err, expected);
  EXPECT_EQ(fs::file_size(big), (uint64_t{1} << 32) + small.size());
  std::ifstream in(big, std::ios::binary);
  Bytes head(small.size(), '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  EXPECT_EQ(head, small) << "append wrote into the file's first bytes";
}

TEST_F(KivlogTest, AppendLeavesADamagedFileOrABadManifestAlone) {
  Bytes damaged = DamagedFixtures()[4].bytes;  // type 10 after valid records
  WriteFile(Path("damaged.exe"), damaged);
  WriteFile(Path("more.json"), Json{{"records", kMore}}.dump());
  Outcome run = Kivlog({"append", Path("damaged.exe"), Path("more.json")});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "kivlog: " + Path("damaged.exe").string() +
                         ": damaged at offset 119 (0x77): a record type is above 9\n");
  EXPECT_EQ(ReadFile(Path("damaged.exe")), damaged);
  // Even with nothing to add, a damaged file is named as such.
  WriteFile(Path("nothing.json"), R"({"records": []})");
  EXPECT_EQ(Kivlog({"append", Path("damaged.exe"), Path("nothing.json")}).code, 1);

  ASSERT_EQ(Build({{"display_name", "A"}, {"records", kFirst}}).code, 0);
  const Bytes before = ReadFile(Path("out.exe"));
  // The fault is in the last record: nothing of the first ones goes in.
  WriteFile(Path("bad.json"),
            Json{{"records", Concat(kMore, {{{"type", "font"}, {"name", "F"}}})}}.dump());
  Outcome bad = Kivlog({"append", Path("out.exe"), Path("bad.json")});
  EXPECT_EQ(bad.code, 1);
  EXPECT_EQ(bad.err, Path("bad.json").string() + "(1,385): error KIV0004: records[5].file: missing\n");
  EXPECT_EQ(ReadFile(Path("out.exe")), before);
}

// A file that names its code page is read in it with no --code-page, and an
// append keeps to it.
TEST_F(KivlogTest, AFileThatNamesItsCodePageIsReadAndExtendedInIt) {
  // 表 is 95 5C in code page 932: read byte by byte in 1252, the name would
  // hold a backslash and the file would look damaged.
  const Json records = {{{"type", "directory"}, {"path", "C:\\\u8868\u8a08\u7b97"}}};
  ASSERT_EQ(Build({{"display_name", "\u8868\u8a08\u7b97\u30c4\u30fc\u30eb"},
                   {"code_page", 932},
                   {"records", records}})
                .code,
            0);
  Outcome listed = Kivlog({"list", Path("out.exe"), "--json"});
  ASSERT_EQ(listed.code, 0) << listed.err;
  const Json doc = Json::parse(listed.out);
  EXPECT_EQ(doc["display_name"], "\u8868\u8a08\u7b97\u30c4\u30fc\u30eb");
  EXPECT_EQ(doc["code_page"], 932);
  EXPECT_EQ(doc["records"][0]["path"], "C:\\\u8868\u8a08\u7b97");
  EXPECT_EQ(doc["records"].size(), 1u);  // the code page is no record to undo
  // A --code-page given for files that name none changes nothing here.
  Outcome check = Kivlog({"check", Path("out.exe"), "--code-page", "1252"});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_EQ(check.out, "ok: 1 record\n");

  // A manifest without "code_page" is read in the file's.
  WriteFile(Path("same.json"),
            Json{{"records", {{{"type", "file"}, {"path", "C:\\\u8868\\\u30bd.txt"}}}}}.dump());
  Outcome append = Kivlog({"append", Path("out.exe"), Path("same.json")});
  ASSERT_EQ(append.code, 0) << append.err;
  const Json after = Json::parse(Kivlog({"list", Path("out.exe"), "--json"}).out);
  EXPECT_EQ(after["records"][0]["path"], "C:\\\u8868\\\u30bd.txt");

  // One in another code page is refused, and the file stays as it was.
  const Bytes before = ReadFile(Path("out.exe"));
  WriteFile(Path("other.json"),
            Json{{"code_page", 65001}, {"records", {{{"type", "directory"}, {"path", "C:\\x"}}}}}
                .dump());
  Outcome refused = Kivlog({"append", Path("out.exe"), Path("other.json")});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("is in code page 932"), std::string::npos) << refused.err;
  EXPECT_EQ(ReadFile(Path("out.exe")), before);

  // The same manifest built with "code_page_record": false makes the file
  // of earlier tools, which only --code-page reads right.
  ASSERT_EQ(Build({{"display_name", "\u8868\u8a08\u7b97\u30c4\u30fc\u30eb"},
                   {"code_page", 932},
                   {"code_page_record", false},
                   {"records", records}},
                  "unmarked.exe")
                .code,
            0);
  ASSERT_EQ(Build({{"display_name", "\u8868\u8a08\u7b97\u30c4\u30fc\u30eb"},
                   {"code_page", 932},
                   {"records", records}},
                  "marked.exe")
                .code,
            0);
  // Ten bytes: the record's header and its u32.
  EXPECT_EQ(fs::file_size(Path("unmarked.exe")) + 10, fs::file_size(Path("marked.exe")));
  EXPECT_EQ(Kivlog({"check", Path("unmarked.exe")}).code, 1);
  EXPECT_EQ(Kivlog({"check", Path("unmarked.exe"), "--code-page", "932"}).code, 0);
}

// In code page 932 the second byte of 表 (95 5C), ソ (83 5C) and 能 (94 5C)
// is 0x5C: no backslash to the rules either, neither when building nor when
// checking the built file.
TEST_F(KivlogTest, ACodePage932FilesSecondBytes5CAreNoBackslashesToTheRules) {
  const Json records = {
      // A bare INI file name, found in the Windows directory: not a relative path.
      {{"type", "ini"}, {"file", "\u8868.ini"}, {"section", "s"}, {"key", "k"},
       {"prior", "<null>"}, {"value", "v"}, {"flag", false}},
      // 表 then a backslash: no key with an empty name.
      {{"type", "registry"}, {"root", "HKEY_CURRENT_USER"}, {"path", "Software\\\u8868\\\u30bd"},
       {"data", "\u80fd"}}};
  const Outcome built =
      Build({{"display_name", "\u8868\u8a08\u7b97"}, {"code_page", 932}, {"records", records}});
  EXPECT_EQ(built.code, 0) << built.err;
  EXPECT_EQ(built.err, "");
  const Outcome check = Kivlog({"check", Path("out.exe")});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_EQ(check.out, "ok: 2 records\n");
  EXPECT_EQ(check.err, "");
}

// ---------------------------------------------------------------------------
// unpack

// Unpacked, a file build wrote is built again byte for byte: the manifest,
// the stub and the saved contents are all there.
TEST_F(KivlogTest, UnpackThenBuildGivesTheSameBytes) {
  const Json every =
      Concat(Concat(kFirst, kMore),
             Json::array({
                 {{"type", "registry"}, {"root", "HKEY_USERS"}, {"path", "S\\gone"}},
                 {{"type", "unused5"}},
                 {{"type", "font"}, {"name", "Caf\u00e9 Sans"}, {"file", "cafe.ttf"}},
                 {{"type", "ini"},
                  {"file", "C:\\a.ini"},
                  {"section", "[F\u0081]"},
                  {"key", "x"},
                  {"prior", ""},
                  {"value", "\u20ac"},
                  {"flag", true}},
                 {{"type", "shell_item"}, {"group", "Kiv"}, {"item", "Kiv App"}},
             }));
  ASSERT_EQ(
      Build({{"display_name", "Caf\u00e9 \u0081"}, {"code_page", 1252}, {"records", every}}).code,
      0);
  Outcome unpacked = Kivlog({"unpack", Path("out.exe"), "-o", Path("unpacked")});
  ASSERT_EQ(unpacked.code, 0) << unpacked.err;
  const Json manifest = Json::parse(ReadFile(Path("unpacked/manifest.json")));
  EXPECT_EQ(manifest["display_name"], "Caf\u00e9 \u0081");
  EXPECT_EQ(manifest["records"].size(), every.size());
  EXPECT_EQ(ReadFile(Path("unpacked/stub.exe")), ReadFile(stub_));
  Outcome again = Kivlog({"build", Path("unpacked/manifest.json"), "--stub",
                          Path("unpacked/stub.exe"), "-o", Path("again.exe")});
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_TRUE(ReadFile(Path("again.exe")) == ReadFile(Path("out.exe")));

  // A directory that holds something is not written into.
  EXPECT_EQ(Kivlog({"unpack", Path("out.exe"), "-o", Path("unpacked")}).code, 1);
  // Text that a code page cannot give back as the same bytes is refused
  // (a file that names none is read in the code page given).
  ASSERT_EQ(Build({{"display_name", "Caf\u00e9 \u0081"},
                   {"code_page", 1252},
                   {"code_page_record", false},
                   {"records", every}},
                  "unmarked.exe")
                .code,
            0);
  Outcome utf8 =
      Kivlog({"unpack", Path("unmarked.exe"), "-o", Path("utf8"), "--code-page", "65001"});
  EXPECT_EQ(utf8.code, 1);
  EXPECT_NE(utf8.err.find("does not go through code page 65001 and back"), std::string::npos)
      << utf8.err;
}

TEST_F(KivlogTest, UnpackInTheProductsCodePageGivesItsLettersBack) {
  const Json records = {{{"type", "directory"}, {"path", "C:\\\u8868"}},
                        {{"type", "shell_group"}, {"group", "\u8868\u30bd"}}};
  ASSERT_EQ(
      Build({{"display_name", "\u8868\u793a"}, {"code_page", 932}, {"records", records}}).code, 0);
  Outcome unpacked = Kivlog({"unpack", "--code-page", "932", Path("out.exe"), "-o", Path("jp")});
  ASSERT_EQ(unpacked.code, 0) << unpacked.err;
  const Json manifest = Json::parse(ReadFile(Path("jp/manifest.json")));
  EXPECT_EQ(manifest["display_name"], "\u8868\u793a");
  EXPECT_EQ(manifest["records"][1]["group"], "\u8868\u30bd");
  ASSERT_EQ(Kivlog({"build", Path("jp/manifest.json"), "--stub", Path("jp/stub.exe"), "-o",
                    Path("jp.exe")})
                .code,
            0);
  EXPECT_TRUE(ReadFile(Path("jp.exe")) == ReadFile(Path("out.exe")));
}

// An appended file unpacks into the same records; built again it is compact.
TEST_F(KivlogTest, UnpackOfAnAppendedFileKeepsItsRecords) {
  ASSERT_EQ(Build({{"display_name", "A"}, {"records", kFirst}}).code, 0);
  WriteFile(Path("more.json"), Json{{"records", kMore}}.dump());
  ASSERT_EQ(Kivlog({"append", Path("out.exe"), Path("more.json")}).code, 0);
  ASSERT_EQ(Kivlog({"unpack", Path("out.exe"), "-o", Path("u")}).code, 0);
  ASSERT_EQ(Kivlog({"build", Path("u/manifest.json"), "--stub", Path("u/stub.exe"), "-o",
                    Path("again.exe")})
                .code,
            0);
  EXPECT_EQ(Undone(Path("again.exe")), Undone(Path("out.exe")));
  EXPECT_LT(fs::file_size(Path("again.exe")), fs::file_size(Path("out.exe")));
}

// ---------------------------------------------------------------------------
// the command line

TEST_F(KivlogTest, BadUsageExitsWithTwo) {
  const std::vector<std::vector<std::string>> kRows = {
      {},
      {"frob"},
      {"build", "m.json"},
      {"build", "m.json", "--stub", "s.exe"},
      {"build", "m.json", "-o"},
      {"build", "--stub", "s.exe", "-o", "o.exe"},
      {"build", "m.json", "--stub", "a", "--stub", "b", "-o", "o"},
      {"list"},
      {"list", "a.exe", "b.exe"},
      {"list", "--jsn", "a.exe"},
      {"list", "--json=maybe", "a.exe"},
      {"list", "--code-page", "437", "a.exe"},
      {"check", "--jsn", "a.exe"},
      {"check", "--code-page", "1251x", "a.exe"},
      {"append", "a.exe"},
  };
  for (const auto& args : kRows) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    Outcome run = Kivlog(args);
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("kivlog: ", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
}

TEST_F(KivlogTest, HelpAndVersion) {
  Outcome help = Kivlog({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Usage: kivlog"), std::string::npos) << help.out;
  for (const char* command : {"build", "list", "check", "append"}) {
    EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
  }
  EXPECT_EQ(help.err, "");
  // Each command has its own, with its options.
  const struct {
    const char* command;
    std::vector<std::string> shows;
  } kCommands[] = {
      {"build",
       {"Usage: kivlog build [OPTIONS] MANIFEST", "--stub", "-o,--output", "standard input"}},
      {"list", {"Usage: kivlog list [OPTIONS] FILE", "--json", "--code-page"}},
      {"check", {"Usage: kivlog check [OPTIONS] FILE", "--json", "--code-page"}},
      {"append", {"Usage: kivlog append [OPTIONS] FILE MANIFEST"}},
  };
  for (const auto& row : kCommands) {
    SCOPED_TRACE(row.command);
    Outcome own = Kivlog({row.command, "--help"});
    EXPECT_EQ(own.code, 0);
    for (const auto& text : row.shows)
      EXPECT_NE(own.out.find(text), std::string::npos) << text << own.out;
  }
  Outcome version = Kivlog({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "kivlog " KIVLOG_VERSION "\n");
  // After "--" an operand that looks like an option is a file name.
  Outcome named = Kivlog({"check", "--", "--help"});
  EXPECT_EQ(named.code, 1);
  EXPECT_EQ(named.err, "kivlog: --help: cannot open: No such file or directory\n");
}

// Shared and kept files: build takes a kept file's size and CRC-32 from its
// local copy, list shows both kinds with what the uninstall judges by,
// unpack writes them back as the author writes them, and build makes the
// same bytes from that. A shared file in the product's own folder is
// warned of.
TEST_F(KivlogTest, SharedAndKeptFilesGoThroughListAndUnpackUnchanged) {
  const std::string config = "[Window]\r\nMode=small\r\n";
  fs::create_directories(Path("files"));
  WriteFile(Path("files/app.ini"), Bytes(config.begin(), config.end()));
  const Json records = {
      {{"type", "directory"}, {"path", "C:\\App"}},
      {{"type", "file"}, {"path", "C:\\Windows\\System32\\kivshared.dll"}, {"shared", true}},
      {{"type", "file"}, {"path", "C:\\App\\own.dll"}, {"shared", true}},
      {{"type", "file"},
       {"path", "C:\\App\\app.ini"},
       {"keep_if_changed", true},
       {"local_copy", "files/app.ini"}},
      {{"type", "file"},
       {"path", "C:\\App\\view.cfg"},
       {"keep_if_changed", true},
       {"size", 0},
       {"crc32", 0}},
  };
  Outcome built = Build({{"display_name", "Kept"}, {"records", records}});
  ASSERT_EQ(built.code, 0) << built.err;
  EXPECT_NE(built.err.find("warning KIVW015: records[2].path"), std::string::npos) << built.err;
  EXPECT_EQ(built.err.find("records[1].path"), std::string::npos) << built.err;

  Outcome list = Kivlog({"list", "--json", Path("out.exe")});
  ASSERT_EQ(list.code, 0) << list.err;
  const Json listed = Json::parse(list.out)["records"];
  ASSERT_EQ(listed.size(), 5u);
  // Undo order: the last record first.
  EXPECT_EQ(listed[1]["type"], "kept_file");
  EXPECT_EQ(listed[1]["size"], config.size());
  EXPECT_EQ(listed[1]["crc32"], 0x24873C4Cu) << "the CRC-32 of the local copy";
  EXPECT_EQ(listed[3]["type"], "shared_file");
  EXPECT_EQ(listed[3]["path"], "C:\\Windows\\System32\\kivshared.dll");

  Outcome unpacked = Kivlog({"unpack", Path("out.exe"), "-o", Path("unpacked")});
  ASSERT_EQ(unpacked.code, 0) << unpacked.err;
  const Json manifest = Json::parse(ReadFile(Path("unpacked/manifest.json")));
  EXPECT_EQ(manifest["records"][1],
            Json({{"type", "file"}, {"path", "C:\\Windows\\System32\\kivshared.dll"},
                  {"shared", true}}));
  EXPECT_EQ(manifest["records"][3],
            Json({{"type", "file"}, {"path", "C:\\App\\app.ini"}, {"keep_if_changed", true},
                  {"size", config.size()}, {"crc32", 0x24873C4Cu}}));
  Outcome again = Kivlog({"build", Path("unpacked/manifest.json"), "--stub",
                          Path("unpacked/stub.exe"), "-o", Path("again.exe")});
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_TRUE(ReadFile(Path("again.exe")) == ReadFile(Path("out.exe")));

  // A local copy that is not there fails the build at its field.
  Json missing = records;
  missing[3]["local_copy"] = "files/gone.ini";
  Outcome refused = Build({{"display_name", "Kept"}, {"records", missing}}, "refused.exe");
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("records[3].local_copy"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(Path("refused.exe")));
}

}  // namespace
}  // namespace kivlog
