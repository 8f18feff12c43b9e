// An installation that dies half-way through kivlog append leaves an
// uninstall file that the stub takes as sound and that undoes either what
// was logged before the append or all of it.
#include <gtest/gtest.h>

#include <string>

#include "e2e_config.h"
#include "harness.h"

namespace kiv::e2e {
namespace {

// Runs kivlog.exe append, or with a stop (writes:N or bytes:N) the test build
// of it that ends itself there as a kill would.
bool KivlogAppend(const std::string& file, const std::string& manifest, const std::string& stop) {
  const std::string command = stop.empty()
                                  ? std::string("\"") + KIV_KIVLOG_PATH + "\" append"
                                  : std::string("\"") + KIV_KIVLOG_STOPPING_PATH + "\" " + stop;
  return RunAndWait(command + " \"" + file + "\" \"" + manifest + "\"", 60000);
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
          std::string(i ? "," : "") + "{\"type\": \"file\", \"path\": " + JsonString(path) + "}";
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
