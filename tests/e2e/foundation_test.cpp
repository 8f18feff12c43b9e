// The walk end to end: the real stub in the uninstall mode on uninstall files
// built here, under Wine.
#include <gtest/gtest.h>

#include "harness.h"
#include "base/exit_codes.h"
#include "platform/win32.h"
#include "run/record_actions.h"
#include "uninstall_file/log_reader.h"

namespace kiv::e2e {
namespace {

constexpr char kDamaged[] = "The uninstall file was damaged.";
constexpr char kSuccess[] = "Uninstall was succesful";

void ExpectSingleBox(const RunResult& run, const char* text, uint32_t icon) {
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].caption, "Kiv Uninstall");
  EXPECT_EQ(run.boxes[0].text, text);
  EXPECT_EQ(run.boxes[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(run.boxes[0].icon, icon);
}

// A failed record names the reason of the call that failed, never an error
// number an earlier call left behind: the thread's last error is poisoned
// before the action. The record's saved content claims more bytes than the
// file holds (its chain is not checked here, so the action meets the cut):
// no call failed, and the reason is the log's (13), not the poison, nor the
// "already exists" a successful CreateFile leaves.
TEST(Errors, AFailedRecordNamesTheReasonOfTheCallThatFailed) {
  const std::string dir = FreshDirectory("errors");
  const std::string file = dir + "\\uninst.exe";
  const std::string restored = dir + "\\restored.txt";
  WriteUninstallFile(file, "Errors", [&](LogWriter& w) {
    w.AddRestoredFile(restored.c_str(), 0x01D5C1E2A3B4C5D0ull, "saved", 5);
  });
  // The length field of the saved content: the last 4 bytes before it are
  // the record's, found from the trailer's last-record offset.
  std::string bytes = ReadFileBytes(file);
  const uint32_t last =
      TrailerLastRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - kTrailerSize);
  const uint32_t length_at = last + kRecordHeaderSize + static_cast<uint32_t>(restored.size()) +
                             1 + 1 + kSavedLengthOffset;
  StoreU32(reinterpret_cast<uint8_t*>(bytes.data()) + length_at, 1000000);
  WriteFileBytes(file, bytes);

  LogReader reader(file.c_str(), platform::IsLeadByte);
  ASSERT_TRUE(reader.usable());
  ASSERT_EQ(reader.NextRecord(), static_cast<uint16_t>(RecordType::kFile));
  UndoStep step;
  SetLastError(0xDEADBEEF);
  UndoFile(reader, step, RecordType::kFile);
  EXPECT_EQ(step.what, Undone::kFailed);
  EXPECT_EQ(step.error, kErrorInvalidData);
}

TEST(Walk, LogOfOnlyItsEndRecordRemovesTheFileAndItsDirectory) {
  std::string dir = FreshDirectory("only_end\\product");
  std::string file = dir + "\\uninst.exe";
  WriteUninstallFile(file, "Only End", [](LogWriter&) {});

  RunResult run = RunUninstallMode(file);

  ExpectSingleBox(run, kSuccess, MB_ICONINFORMATION);
  EXPECT_EQ(run.exit_code, kExitUninstallEntered);
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(dir));
}

TEST(Walk, DirectoryThatStillHoldsAFileStays) {
  std::string dir = FreshDirectory("dir_kept");
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(dir + "\\foreign.txt", "not ours");
  WriteUninstallFile(file, "Dir Kept", [](LogWriter&) {});

  RunResult run = RunUninstallMode(file);

  ExpectSingleBox(run, kSuccess, MB_ICONINFORMATION);
  EXPECT_FALSE(FileExists(file));
  EXPECT_TRUE(FileExists(dir + "\\foreign.txt"));
}

TEST(Walk, RemainderWithBlanksIsOnePath) {
  std::string dir = FreshDirectory("blank dir\\Two Words");
  std::string file = dir + "\\un inst.exe";
  WriteUninstallFile(file, "Blank App", [](LogWriter&) {});

  RunResult run = RunUninstallMode(file);

  ExpectSingleBox(run, kSuccess, MB_ICONINFORMATION);
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(dir));
}

TEST(Walk, Type5RecordIsPassedOver) {
  std::string dir = FreshDirectory("type5");
  std::string file = dir + "\\uninst.exe";
  WriteFileBytes(dir + "\\a.txt", "a");
  WriteFileBytes(dir + "\\b.txt", "b");
  WriteUninstallFile(file, "Type Five", [&](LogWriter& w) {
    w.AddFile((dir + "\\a.txt").c_str());
    w.AddUnused5();
    w.AddFile((dir + "\\b.txt").c_str());
  });

  RunResult run = RunUninstallMode(file);

  ExpectSingleBox(run, kSuccess, MB_ICONINFORMATION);
  EXPECT_FALSE(FileExists(dir + "\\a.txt"));
  EXPECT_FALSE(FileExists(dir + "\\b.txt"));
  EXPECT_FALSE(DirectoryExists(dir));
}

// ---- Damaged files: the message, and nothing changed -----------------------

struct DamageCase {
  const char* name;
  // Builds the uninstall file at file; the product's file victim exists and
  // a sound log would delete it.
  std::function<void(const std::string& file, const std::string& victim)> make;
  bool quote_remainder = false;
  bool missing_file = false;
};

void WriteImage(const std::string& file,
                const std::function<void(UninstallImage&, LogWriter&)>& f) {
  UninstallImage image;
  LogWriter writer(image);
  writer.Begin();
  f(image, writer);
  image.SaveAs(file);
}

std::vector<DamageCase> DamageCases() {
  return {
      {"no_such_file", [](const std::string&, const std::string&) {}, false, true},
      {"quoted_remainder",
       [](const std::string& file, const std::string& victim) {
         WriteUninstallFile(file, "Quoted", [&](LogWriter& w) { w.AddFile(victim.c_str()); });
       },
       true},
      {"bad_signature",
       [](const std::string& file, const std::string& victim) {
         WriteImage(file, [&](UninstallImage& img, LogWriter& w) {
           w.AddFile(victim.c_str());
           uint32_t name = img.Position();
           w.WriteBytes("App", 4);
           w.FinishRaw(name, w.last_record(), "KivUnInstalX");
         });
       }},
      {"signature_in_small_letters",
       [](const std::string& file, const std::string& victim) {
         WriteImage(file, [&](UninstallImage& img, LogWriter& w) {
           w.AddFile(victim.c_str());
           uint32_t name = img.Position();
           w.WriteBytes("App", 4);
           w.FinishRaw(name, w.last_record(), "kivuninstall");
         });
       }},
      {"shorter_than_trailer",
       [](const std::string& file, const std::string&) { WriteFileBytes(file, "KivUnInstall"); }},
      {"name_offset_past_end",
       [](const std::string& file, const std::string& victim) {
         WriteImage(file, [&](UninstallImage& img, LogWriter& w) {
           w.AddFile(victim.c_str());
           w.WriteBytes("App", 4);
           w.FinishRaw(img.Position() + 1000, w.last_record(), "KivUnInstall");
         });
       }},
      {"type_9_after_valid_records",
       [](const std::string& file, const std::string& victim) {
         WriteUninstallFile(file, "Type Nine", [&](LogWriter& w) {
           w.AddDirectory("C:\\kivtest\\never");
           w.AddRaw(9, "", 0);
           w.AddFile(victim.c_str());  // walked before the type 9: must stay
         });
       }},
      {"back_link_pointing_forward",
       [](const std::string& file, const std::string& victim) {
         WriteImage(file, [&](UninstallImage& img, LogWriter& w) {
           w.AddFile(victim.c_str());
           // A record whose back-link is its own offset: a cycle.
           uint32_t at = img.Position();
           w.Resume(at);
           w.AddDirectory("C:\\kivtest\\cycle");
           uint32_t name = img.Position();
           w.WriteBytes("App", 4);
           w.FinishRaw(name, at, "KivUnInstall");
         });
       }},
      {"string_without_nul_to_the_end",
       [](const std::string& file, const std::string& victim) {
         WriteImage(file, [&](UninstallImage& img, LogWriter& w) {
           w.AddFile(victim.c_str());
           uint32_t name = img.Position();
           w.WriteBytes("App", 4);
           w.AddRaw(1, "C:\\kivtest\\unterminated", 23);  // no NUL before the trailer
           w.FinishRaw(name, w.last_record(), "KivUnInstall");
         });
       }},
  };
}

class Damaged : public testing::TestWithParam<DamageCase> {};

TEST_P(Damaged, ShowsTheMessageAndChangesNothing) {
  const DamageCase& c = GetParam();
  std::string dir = FreshDirectory(std::string("damaged\\") + c.name);
  std::string file = dir + "\\uninst.exe";
  std::string victim = dir + "\\victim.txt";
  WriteFileBytes(victim, "installed");
  c.make(file, victim);
  std::string before = ReadFileBytes(file);

  RunResult run = RunUninstallMode(c.quote_remainder ? "\"" + file + "\"" : file);

  ExpectSingleBox(run, kDamaged, MB_ICONERROR);
  EXPECT_EQ(run.exit_code, kExitUninstallEntered);
  EXPECT_TRUE(FileExists(victim)) << "a record was undone";
  if (!c.missing_file) {
    EXPECT_TRUE(FileExists(file));
    EXPECT_EQ(ReadFileBytes(file), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Classes, Damaged, testing::ValuesIn(DamageCases()),
                         [](const testing::TestParamInfo<DamageCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kiv::e2e
