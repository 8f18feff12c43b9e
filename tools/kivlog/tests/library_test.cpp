// kivlog.h through the one archive, as an installer links it: every call
// sets the last error, a null argument too; a typed record with a fault is
// refused by itself and leaves the batch as it was; a commit is the batch's
// one transaction.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/tiny_image.h"
#include "kivlog.h"

namespace {

namespace fs = std::filesystem;

class LibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "kivlog-library-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    std::string stub(300, '\0');
    kiv::testing_support::MakeStandInStub(&stub);
    std::ofstream(dir_ / "stub.exe", std::ios::binary) << stub;
    ASSERT_EQ(kivlog_create(Path("stub.exe").c_str(), "Example App", Path("u.exe").c_str(), &log_),
              KIVLOG_OK)
        << kivlog_last_error(log_);
  }
  void TearDown() override {
    kivlog_close(log_);
    fs::remove_all(dir_);
  }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  unsigned Records() {
    unsigned records = 0;
    EXPECT_EQ(kivlog_check(log_, &records), KIVLOG_OK) << kivlog_last_error(log_);
    return records;
  }

  fs::path dir_;
  kivlog_file* log_ = nullptr;
};

// Each call given a null argument: KIVLOG_BAD_ARGUMENT, and the last error
// names the call and the argument, in place of the previous call's fault.
TEST_F(LibraryTest, EveryCallSetsTheLastErrorForANullArgument) {
  const struct {
    const char* name;
    int (*call)(kivlog_file*);
    const char* error;
  } kRows[] = {
      {"append", [](kivlog_file* f) { return kivlog_append(f, nullptr); },
       "kivlog_append: batch_json is null"},
      {"add_directory", [](kivlog_file* f) { return kivlog_add_directory(f, nullptr); },
       "kivlog_add_directory: path is null"},
      {"add_ini_restore",
       [](kivlog_file* f) { return kivlog_add_ini_restore(f, "WIN.INI", "S", "k", nullptr); },
       "kivlog_add_ini_restore: old_text is null"},
      {"add_shell_item", [](kivlog_file* f) { return kivlog_add_shell_item(f, "G", nullptr); },
       "kivlog_add_shell_item: item is null"},
      {"register", [](kivlog_file* f) { return kivlog_register(f, nullptr); },
       "kivlog_register: details_json is null"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(kivlog_append(log_, "not json"), KIVLOG_FAILED);
    ASSERT_NE(std::string(kivlog_last_error(log_)), "");
    EXPECT_EQ(row.call(log_), KIVLOG_BAD_ARGUMENT);
    EXPECT_EQ(std::string(kivlog_last_error(log_)).rfind(row.error, 0), 0u)
        << kivlog_last_error(log_);
  }
  // No file to hold it: kivlog_last_error(NULL) has it.
  kivlog_file* none = nullptr;
  EXPECT_EQ(kivlog_open(nullptr, &none), KIVLOG_BAD_ARGUMENT);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(std::string(kivlog_last_error(nullptr)).rfind("kivlog_open: path is null", 0), 0u);
  EXPECT_EQ(kivlog_commit(nullptr), KIVLOG_BAD_ARGUMENT);
  EXPECT_EQ(std::string(kivlog_last_error(nullptr)).rfind("kivlog_commit: file is null", 0), 0u);
  // A success clears it.
  EXPECT_EQ(kivlog_add_directory(log_, "C:\\App"), KIVLOG_OK);
  EXPECT_STREQ(kivlog_last_error(log_), "");
}

// Typed records gather until the commit; one with a fault is refused with
// its id, field and hint and never joins the batch.
TEST_F(LibraryTest, TypedRecordsAreOneTransactionPerCommit) {
  EXPECT_EQ(kivlog_add_directory(log_, "C:\\App"), KIVLOG_OK);
  EXPECT_EQ(kivlog_add_registry_value(log_, "HKLM", "Software\\Kiv\\V", nullptr), KIVLOG_FAILED);
  EXPECT_STREQ(kivlog_last_error(log_),
               "KIV0011: root: not one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, "
               "HKEY_LOCAL_MACHINE, HKEY_USERS; write HKEY_LOCAL_MACHINE");
  EXPECT_EQ(kivlog_add_ini_line(log_, "WIN.INI", "[Kiv]", "k", "v"), KIVLOG_OK);
  EXPECT_EQ(Records(), 0u);  // nothing written before the commit
  EXPECT_EQ(kivlog_commit(log_), KIVLOG_OK) << kivlog_last_error(log_);
  EXPECT_EQ(Records(), 2u);
  EXPECT_EQ(kivlog_commit(log_), KIVLOG_OK);  // an empty batch adds nothing
  EXPECT_EQ(Records(), 2u);
  // A saved content file that cannot be read fails the whole commit.
  EXPECT_EQ(kivlog_add_file(log_, "C:\\App\\a.txt"), KIVLOG_OK);
  EXPECT_EQ(kivlog_add_replaced_file(log_, "C:\\App\\b.txt", Path("missing").c_str()), KIVLOG_OK);
  EXPECT_EQ(kivlog_commit(log_), KIVLOG_FAILED);
  EXPECT_NE(std::string(kivlog_last_error(log_)).find("KIV0020"), std::string::npos)
      << kivlog_last_error(log_);
  EXPECT_EQ(Records(), 2u);
}

// kivlog_create refuses what build refuses, and says why on the handle.
TEST_F(LibraryTest, CreateRefusesABadStubOrName) {
  kivlog_file* other = nullptr;
  EXPECT_EQ(kivlog_create(Path("u.exe").c_str(), "Example", Path("v.exe").c_str(), &other),
            KIVLOG_FAILED);
  EXPECT_NE(std::string(kivlog_last_error(other)).find("already an uninstall file"),
            std::string::npos)
      << kivlog_last_error(other);
  kivlog_close(other);
  EXPECT_EQ(kivlog_create(Path("stub.exe").c_str(), "A\\B", Path("v.exe").c_str(), &other),
            KIVLOG_FAILED);
  EXPECT_NE(std::string(kivlog_last_error(other)).find("KIV0010"), std::string::npos)
      << kivlog_last_error(other);
  kivlog_close(other);
  EXPECT_FALSE(fs::exists(Path("v.exe")));
}

}  // namespace
