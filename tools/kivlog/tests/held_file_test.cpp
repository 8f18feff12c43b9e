// An append extends the file it checked, and nothing else: kivlog append and
// kivlog.h read and write one open, locked file, never the name again. A
// file renamed into place while an append waits, runs, or between the
// library's calls is either the one extended (with its own records kept) or
// the cause of a refusal; never the source of another file's view.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "code_page.h"
#include "commands.h"
#include "command_common.h"
#include "file_ops.h"
#include "kivlog.h"
#include "listing.h"

extern char** environ;

namespace kivlog {
namespace {

namespace fs = std::filesystem;

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

// A bare uninstall file with no records: a stand-in image with the MZ and
// PE headers, the type-0 record, the display name and the trailer.
std::string EmptyUninstallFile(const std::string& name) {
  std::string bytes(300, '\0');
  bytes.replace(0, 2, "MZ");
  bytes.replace(0x3C, 4, std::string("\x80\0\0\0", 4));
  bytes.replace(0x80, 4, std::string("PE\0\0", 4));
  bytes += std::string("\xFF\xFF\xFF\xFF\0\0", 6);  // type 0 at 300
  bytes += name + '\0';                              // the name at 306
  const uint32_t name_at = 306, last = 300;
  for (uint32_t v : {name_at, last}) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  return bytes + "KivUnInstall";
}

std::string Batch(const std::vector<std::string>& files) {
  std::string batch = "{\"records\": [";
  for (size_t i = 0; i < files.size(); ++i) {
    batch += std::string(i ? ", " : "") + "{\"type\": \"file\", \"path\": \"C:\\\\App\\\\" +
             files[i] + "\"}";
  }
  return batch + "]}";
}

// The display name and the file records' names, in the order written; {"damaged"} when
// the file is not sound.
std::vector<std::string> Contents(const fs::path& path) {
  std::ostringstream err;
  Listing listing;
  if (!ReadSoundListing(path, kWindows1252, err, &listing)) return {"damaged"};
  std::vector<std::string> out = {listing.display_name};
  for (size_t j = listing.records.size(); j-- > 0;) {
    if (listing.records[j].type == kiv::RecordType::kFile) {
      out.push_back(listing.records[j].raw.path.substr(std::string("C:\\App\\").size()));
    }
  }
  return out;
}

class HeldFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "kivlog-held-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    file_ = dir_ / "kivuninst.exe";
    WriteFile(file_, EmptyUninstallFile("First"));
    // The file another program puts in its place: its own name and record.
    WriteFile(dir_ / "second.exe", EmptyUninstallFile("Second"));
    kivlog_file* second = nullptr;
    ASSERT_EQ(kivlog_open((dir_ / "second.exe").c_str(), &second), KIVLOG_OK);
    ASSERT_EQ(kivlog_append(second, Batch({"second.txt"}).c_str()), KIVLOG_OK);
    kivlog_close(second);
    second_ = ReadFile(dir_ / "second.exe");
    WriteFile(dir_ / "batch.json", Batch({"a.txt", "b.txt"}));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The other program's file renamed over the uninstall file, as an atomic
  // replace does.
  void ReplaceWithSecond() {
    fs::copy_file(dir_ / "second.exe", dir_ / "incoming.exe");
    fs::rename(dir_ / "incoming.exe", file_);
  }

  fs::path dir_, file_;
  std::string second_;
};

// kivlog append opens the file and waits for its lock; meanwhile another
// file is renamed into place. Once the lock is free the append must extend
// the file now at the name, from that file's own records; the file it
// first opened stays as it was.
TEST_F(HeldFileTest, AnAppendWaitingForTheLockExtendsTheFileRenamedIntoPlace) {
  const int holder = open(file_.c_str(), O_RDWR);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const std::string first = ReadFile(file_);

  std::vector<std::string> args = {KIVLOG_EXE, "append", file_.string(),
                                   (dir_ / "batch.json").string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string err_path = (dir_ / "append.err").string();
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, KIVLOG_EXE, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Until the append holds the first file open (it then waits for the lock).
  const fs::path fds = fs::path("/proc") / std::to_string(pid) / "fd";
  bool opened = false;
  for (int i = 0; i < 2000 && !opened; ++i) {
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator(fds, ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(fd.path(), link_ec) == file_) opened = true;
    }
    if (!opened) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(opened) << "the append never opened the file";
  ReplaceWithSecond();
  flock(holder, LOCK_UN);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(err_path);
  EXPECT_EQ(Contents(file_), (std::vector<std::string>{"Second", "second.txt", "a.txt", "b.txt"}));
  // The file held first was not written.
  std::string held(first.size() + 64, '\0');
  const ssize_t got = pread(holder, held.data(), held.size(), 0);
  close(holder);
  ASSERT_GE(got, 0);
  held.resize(static_cast<size_t>(got));
  EXPECT_TRUE(held == first) << "the file that was replaced got the append";
}

// A LockedFile that, at the append's first read (after the lock, once the
// name was found to lead to it), has another file renamed into place: the
// append reads and writes the file it holds, then finds the name leading
// elsewhere and says so; the file renamed in is left alone.
class ReplacedAtFirstRead final : public LockedFile {
 public:
  explicit ReplacedAtFirstRead(std::function<void()> replace) : replace_(std::move(replace)) {}
  uint32_t ReadAt(uint64_t offset, void* buffer, uint32_t count) override {
    if (replace_) {
      replace_();
      replace_ = nullptr;
    }
    return LockedFile::ReadAt(offset, buffer, count);
  }

 private:
  std::function<void()> replace_;
};

TEST_F(HeldFileTest, AFileRenamedIntoPlaceDuringAnAppendIsNeitherReadNorWrittenAndTheAppendFails) {
  ReplacedAtFirstRead file([this] { ReplaceWithSecond(); });
  std::ostringstream out, err;
  const int code = Append(file_.string(), (dir_ / "batch.json").string(), file, out, err);
  EXPECT_EQ(code, kExitFailed);
  EXPECT_NE(err.str().find("was replaced by another file"), std::string::npos) << err.str();
  EXPECT_TRUE(ReadFile(file_) == second_);
}

// The library's handle holds the file kivlog_open checked: after another
// file is renamed into place, every call is refused and neither file
// changes; a new handle then works on the new file.
TEST_F(HeldFileTest, TheLibrarysHandleNeverReachesAFileRenamedIntoPlace) {
  kivlog_file* log = nullptr;
  ASSERT_EQ(kivlog_open(file_.c_str(), &log), KIVLOG_OK) << kivlog_last_error(log);
  ASSERT_EQ(kivlog_append(log, Batch({"one.txt"}).c_str()), KIVLOG_OK) << kivlog_last_error(log);
  ReplaceWithSecond();
  EXPECT_EQ(kivlog_append(log, Batch({"two.txt"}).c_str()), KIVLOG_FAILED);
  EXPECT_NE(std::string(kivlog_last_error(log)).find("no longer the file kivlog_open opened"),
            std::string::npos)
      << kivlog_last_error(log);
  unsigned records = 0;
  EXPECT_EQ(kivlog_check(log, &records), KIVLOG_FAILED);
  kivlog_close(log);
  EXPECT_TRUE(ReadFile(file_) == second_);

  ASSERT_EQ(kivlog_open(file_.c_str(), &log), KIVLOG_OK) << kivlog_last_error(log);
  EXPECT_EQ(kivlog_append(log, Batch({"two.txt"}).c_str()), KIVLOG_OK) << kivlog_last_error(log);
  EXPECT_EQ(kivlog_check(log, &records), KIVLOG_OK) << kivlog_last_error(log);
  EXPECT_EQ(records, 2u);
  kivlog_close(log);
  EXPECT_EQ(Contents(file_), (std::vector<std::string>{"Second", "second.txt", "two.txt"}));
}

}  // namespace
}  // namespace kivlog
