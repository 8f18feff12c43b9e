// An installation that dies half-way through kivlog append leaves an
// uninstall file that the stub takes as sound and that undoes either what
// was logged before the append or all of it.
#include <gtest/gtest.h>

#include <string>

#include "e2e_config.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

// Runs kivlog.exe append, stopped as stop says (writes:N or bytes:N; empty:
// not stopped).
bool KivlogAppend(const std::string& file, const std::string& manifest, const std::string& stop) {
  SetEnvironmentVariableA("KIVLOG_APPEND_STOP", stop.empty() ? nullptr : stop.c_str());
  std::string line =
      std::string("\"") + KIV_KIVLOG_PATH + "\" append \"" + file + "\" \"" + manifest + "\"";
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  bool started = CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &process) != FALSE;
  SetEnvironmentVariableA("KIVLOG_APPEND_STOP", nullptr);
  if (!started) return false;
  WaitForSingleObject(process.hProcess, 60000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

std::string JsonPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

TEST(Append, StoppedAppendUndoesTheOldRecordsOrAll) {
  // The writes: a copy of the old trailer, the records and name, the new
  // trailer. Every stop before the last leaves the old records.
  const struct {
    const char* stop;
    bool all;
  } kStops[] = {{"writes:1", false}, {"bytes:45", false}, {"writes:2", false}, {"", true}};
  for (const auto& row : kStops) {
    SCOPED_TRACE(row.stop);
    const int k = static_cast<int>(&row - kStops);
    std::string dir = FreshDirectory("append\\k" + std::to_string(k));
    std::string file = dir + "\\uninst.exe";
    WriteFileBytes(dir + "\\base.txt", "x");
    WriteUninstallFile(file, "Append App",
                       [&](LogWriter& w) { w.AddFile((dir + "\\base.txt").c_str()); });
    std::string manifest = dir + "\\more.json";
    std::string records;
    for (int i = 0; i < 4; ++i) {
      std::string path = dir + "\\f" + std::to_string(i) + ".txt";
      WriteFileBytes(path, "x");
      records +=
          std::string(i ? "," : "") + "{\"type\": \"file\", \"path\": \"" + JsonPath(path) + "\"}";
    }
    WriteFileBytes(manifest, "{\"records\": [" + records + "]}");
    ASSERT_TRUE(KivlogAppend(file, manifest, row.stop));
    DeleteFileA(manifest.c_str());

    RunResult run = RunUninstallMode(file);

    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
    EXPECT_FALSE(FileExists(dir + "\\base.txt"));
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(FileExists(dir + "\\f" + std::to_string(i) + ".txt"), !row.all) << i;
    }
  }
}

}  // namespace
}  // namespace kiv::e2e
