// What kivlog tells of a stub from its bytes (the processor and the
// manifest's execution level), the warnings it draws from that, and build
// and check acting on them with and without --strict.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/byte_order.h"
#include "commands.h"
#include "stub_kind.h"
#include "stub_rules.h"

namespace kivlog {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t kI386 = 0x014C;
constexpr uint16_t kAmd64 = 0x8664;
constexpr uint16_t kArm64 = 0xAA64;

// Where the fields of the image MakeImage builds lie, for the tests that
// damage one.
constexpr uint32_t kPeAt = 0x40;
constexpr uint32_t kSectionCountAt = kPeAt + 6;
constexpr uint32_t kOptionalAt = kPeAt + 24;
constexpr uint32_t kResourcesAt = 0x200;  // in the file; at 0x1000 in the image
constexpr uint32_t kResourcesRva = 0x1000;
constexpr uint32_t kManifestEntryAt = kResourcesAt + 0x48;
constexpr uint32_t kManifestAt = kResourcesAt + 0x58;

void Put16(std::string& b, uint32_t at, uint16_t v) {
  kiv::StoreU16(reinterpret_cast<uint8_t*>(b.data()) + at, v);
}
void Put32(std::string& b, uint32_t at, uint32_t v) {
  kiv::StoreU32(reinterpret_cast<uint8_t*>(b.data()) + at, v);
}

// A Windows image as small as it gets: the headers, one section with the
// resource tree type 24 / name 1 / language 0x409 holding manifest, or no
// resources at all when manifest is empty. PE32 for i386, PE32+ otherwise.
std::string MakeImage(uint16_t machine, const std::string& manifest) {
  const bool plus = machine != kI386;
  const uint16_t optional_size = plus ? 240 : 224;
  const uint32_t section_table = kOptionalAt + optional_size;
  const uint32_t raw_size = 0x58 + static_cast<uint32_t>(manifest.size());
  std::string b(kResourcesAt + raw_size, '\0');
  b.replace(0, 2, "MZ");
  Put32(b, 0x3C, kPeAt);
  b.replace(kPeAt, 4, std::string("PE\0\0", 4));
  Put16(b, kPeAt + 4, machine);
  Put16(b, kSectionCountAt, 1);
  Put16(b, kPeAt + 20, optional_size);
  Put16(b, kOptionalAt, plus ? 0x20B : 0x10B);
  const uint32_t directories = kOptionalAt + (plus ? 108 : 92);
  Put32(b, directories, 16);
  if (!manifest.empty()) {
    Put32(b, directories + 4 + 8 * 2, kResourcesRva);  // the resource directory
    Put32(b, directories + 4 + 8 * 2 + 4, raw_size);
  }
  b.replace(section_table, 5, ".rsrc");
  Put32(b, section_table + 8, raw_size);
  Put32(b, section_table + 12, kResourcesRva);
  Put32(b, section_table + 16, raw_size);
  Put32(b, section_table + 20, kResourcesAt);
  // Three directories of one numbered entry each, then the data entry.
  const uint32_t r = kResourcesAt;
  Put16(b, r + 0x0E, 1);
  Put32(b, r + 0x10, 24);
  Put32(b, r + 0x14, 0x80000000u | 0x18);
  Put16(b, r + 0x18 + 0x0E, 1);
  Put32(b, r + 0x28, 1);
  Put32(b, r + 0x2C, 0x80000000u | 0x30);
  Put16(b, r + 0x30 + 0x0E, 1);
  Put32(b, r + 0x40, 0x409);
  Put32(b, r + 0x44, 0x48);
  Put32(b, kManifestEntryAt, kResourcesRva + 0x58);
  Put32(b, kManifestEntryAt + 4, static_cast<uint32_t>(manifest.size()));
  b.replace(kManifestAt, manifest.size(), manifest);
  return b;
}

std::string ManifestAsking(const std::string& element) {
  return "<?xml version=\"1.0\"?><assembly><trustInfo><security><requestedPrivileges>" + element +
         "</requestedPrivileges></security></trustInfo></assembly>";
}

const std::string kAdministrator =
    ManifestAsking("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>");
const std::string kInvoker =
    ManifestAsking("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>");

struct KindRow {
  const char* name;
  uint16_t machine;
  std::string manifest;
  StubMachine want_machine;
  StubLevel want_level;
};

TEST(StubKind, ReadsTheProcessorAndTheExecutionLevel) {
  const KindRow rows[] = {
      {"i686_per_machine", kI386, kAdministrator, StubMachine::kI686,
       StubLevel::kRequireAdministrator},
      {"x86_64_per_user", kAmd64, kInvoker, StubMachine::kX86_64, StubLevel::kAsInvoker},
      {"single_quotes_and_blanks", kAmd64,
       ManifestAsking("<requestedExecutionLevel uiAccess='false'\n  level = 'highestAvailable'/>"),
       StubMachine::kX86_64, StubLevel::kHighestAvailable},
      {"another_word", kI386, ManifestAsking("<requestedExecutionLevel level=\"asAdmin\"/>"),
       StubMachine::kI686, StubLevel::kUnknown},
      {"a_level_outside_the_element", kI386,
       ManifestAsking("<requestedExecutionLevel uiAccess=\"false\"/><x level=\"asInvoker\"/>"),
       StubMachine::kI686, StubLevel::kUnknown},
      {"an_attribute_ending_in_level", kI386,
       ManifestAsking("<requestedExecutionLevel xlevel=\"asInvoker\"/>"), StubMachine::kI686,
       StubLevel::kUnknown},
      {"no_trust_info", kI386, "<assembly/>", StubMachine::kI686, StubLevel::kUnknown},
      {"no_resources", kAmd64, "", StubMachine::kX86_64, StubLevel::kUnknown},
      {"another_processor", kArm64, kInvoker, StubMachine::kUnknown, StubLevel::kAsInvoker},
  };
  for (const KindRow& row : rows) {
    SCOPED_TRACE(row.name);
    const StubKind kind = ReadStubKind(MakeImage(row.machine, row.manifest));
    EXPECT_EQ(kind.machine, row.want_machine);
    EXPECT_EQ(kind.level, row.want_level);
  }
}

// Cut anywhere, the image reads as far as it goes and no further (ASan
// watches the reads in the asan preset): the level is known only when the
// whole manifest is there.
TEST(StubKind, ACutImageIsReadOnlyWithinItsBytes) {
  const std::string whole = MakeImage(kAmd64, kInvoker);
  for (size_t size = 0; size < whole.size(); ++size) {
    const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(size));
    const StubKind kind = ReadStubKind(cut.data(), cut.size());
    ASSERT_EQ(kind.level, StubLevel::kUnknown) << size;
    // The machine once the file header's counts are there too (its section
    // count and optional header's size end 22 bytes after "PE").
    ASSERT_EQ(kind.machine, size >= kPeAt + 22 ? StubMachine::kX86_64 : StubMachine::kUnknown)
        << size;
  }
  EXPECT_EQ(ReadStubKind(whole).level, StubLevel::kAsInvoker);
}

TEST(StubKind, OffsetsAndSizesThatLeadOutsideTheFileGiveNoLevel) {
  const uint32_t resource_rva_at = kOptionalAt + 108 + 4 + 8 * 2;
  struct Patch {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> writes;  // offset, 32-bit value
  } patches[] = {
      {"pe_header_past_the_end", {{0x3C, 0xFFFFFFF0u}}},
      {"no_pe_signature", {{kPeAt, 0}}},
      // The table runs past the end of the file before a section holds it.
      {"resources_in_none_of_many_sections",
       {{kSectionCountAt, 0xFFFF}, {resource_rva_at, 0x7FFF0000u}}},
      {"section_data_past_the_end", {{kOptionalAt + 240 + 20, 0xFFFFFF00u}}},
      {"type_directory_past_the_section", {{kResourcesAt + 0x14, 0x80000000u | 0x7FFFFFF0u}}},
      {"type_is_data_not_a_directory", {{kResourcesAt + 0x14, 0x18}}},
      // 0xFFFF named entries before the numbered one.
      {"numbered_entry_past_the_section", {{kResourcesAt + 0x18 + 0x0C, 0x0001FFFFu}}},
      {"manifest_size_past_the_end", {{kManifestEntryAt + 4, 0xFFFFFFFFu}}},
      {"manifest_outside_every_section", {{kManifestEntryAt, 0x7FFF0000u}}},
  };
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.name);
    std::string image = MakeImage(kAmd64, kInvoker);
    for (const auto& [at, value] : p.writes) Put32(image, at, value);
    EXPECT_EQ(ReadStubKind(image).level, StubLevel::kUnknown);
  }
}

// ---- Warnings ---------------------------------------------------------------

ManifestRecord Record(kiv::RecordType type, const std::string& first,
                      const std::string& second = "") {
  ManifestRecord r;
  r.type = type;
  switch (type) {
    case kiv::RecordType::kDirectory:
    case kiv::RecordType::kFile: r.path = first; break;
    case kiv::RecordType::kIniEntry: r.file = first; break;
    case kiv::RecordType::kRegistryValue:
      r.root = first;
      r.path = second;
      break;
    case kiv::RecordType::kFont:
      r.name = first;
      r.file = second;
      break;
    default: r.group = first;
  }
  return r;
}

struct WarningRow {
  const char* name;
  ManifestRecord record;
  const char* field;  // the per-user stubs' warning; nullptr: none
};

TEST(StubWarnings, PerUserStubsWarnOfWhatNeedsAdministratorsAndNoOtherStubDoes) {
  using T = kiv::RecordType;
  const WarningRow rows[] = {
      {"program_files", Record(T::kDirectory, "C:\\Program Files\\App"), "path"},
      {"program_files_x86_any_case_and_slash", Record(T::kFile, "d:/PROGRAM FILES (X86)/App/a.exe"),
       "path"},
      {"windows_directory", Record(T::kFile, "C:\\WINNT\\system32\\a.dll"), "path"},
      {"the_program_files_directory_itself", Record(T::kDirectory, "C:\\Program Files"), "path"},
      {"users_own_programs", Record(T::kFile, "C:\\Users\\me\\AppData\\Local\\Programs\\a.exe"),
       nullptr},
      {"a_name_that_only_begins_alike", Record(T::kFile, "C:\\WindowsApps\\a.exe"), nullptr},
      {"a_share", Record(T::kFile, "\\\\server\\Program Files\\a.exe"), nullptr},
      {"ini_bare_name", Record(T::kIniEntry, "WIN.INI"), "file"},
      {"ini_in_the_profile", Record(T::kIniEntry, "C:\\Users\\me\\app.ini"), nullptr},
      {"ini_in_the_windows_directory", Record(T::kIniEntry, "C:\\Windows\\app.ini"), "file"},
      {"local_machine", Record(T::kRegistryValue, "HKEY_LOCAL_MACHINE", "Software\\A\\V"), "root"},
      {"local_machine_small_letters", Record(T::kRegistryValue, "hkey_local_machine", "S\\V"),
       "root"},
      {"users", Record(T::kRegistryValue, "HKEY_USERS", ".DEFAULT\\Software\\A\\V"), "root"},
      {"classes_root", Record(T::kRegistryValue, "HKEY_CLASSES_ROOT", ".kiv\\"), "root"},
      {"current_user", Record(T::kRegistryValue, "HKEY_CURRENT_USER", "Software\\A\\V"), nullptr},
      {"font", Record(T::kFont, "Kiv Sans", "kivsans.ttf"), "name"},
      {"program_manager_group", Record(T::kShellGroup, "Kiv"), nullptr},
  };
  const StubKind per_user[] = {{StubMachine::kI686, StubLevel::kAsInvoker},
                               {StubMachine::kX86_64, StubLevel::kAsInvoker}};
  const StubKind others[] = {{StubMachine::kI686, StubLevel::kRequireAdministrator},
                             {StubMachine::kX86_64, StubLevel::kRequireAdministrator},
                             {StubMachine::kI686, StubLevel::kHighestAvailable},
                             {StubMachine::kUnknown, StubLevel::kUnknown}};
  for (const WarningRow& row : rows) {
    SCOPED_TRACE(row.name);
    // Behind another record, so that the index is seen to be the record's.
    const std::vector<ManifestRecord> records = {Record(T::kShellGroup, "First"), row.record};
    for (const StubKind& stub : per_user) {
      const std::vector<StubWarning> warnings = StubWarnings(stub, records);
      if (!row.field) {
        EXPECT_TRUE(warnings.empty()) << warnings[0].message;
        continue;
      }
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_EQ(warnings[0].record, 1u);
      EXPECT_EQ(warnings[0].field, row.field);
      EXPECT_NE(warnings[0].message.find(DescribeStub(stub)), std::string::npos)
          << warnings[0].message;
    }
    for (const StubKind& stub : others) {
      EXPECT_TRUE(StubWarnings(stub, records).empty()) << DescribeStub(stub);
    }
  }
}

// Sysnative is the 32-bit programs' name for the 64-bit System32: the
// x86_64 stubs have no such directory.
TEST(StubWarnings, X86_64StubsWarnOfSysnative) {
  const std::vector<ManifestRecord> records = {
      Record(kiv::RecordType::kFile, "C:\\Windows\\Sysnative\\drivers\\kiv.sys")};
  const std::vector<StubWarning> x64 =
      StubWarnings({StubMachine::kX86_64, StubLevel::kRequireAdministrator}, records);
  ASSERT_EQ(x64.size(), 1u);
  EXPECT_EQ(x64[0].field, "path");
  EXPECT_NE(x64[0].message.find("System32"), std::string::npos);
  EXPECT_TRUE(
      StubWarnings({StubMachine::kI686, StubLevel::kRequireAdministrator}, records).empty());
  // The per-user x86_64 stub has both faults with it.
  EXPECT_EQ(StubWarnings({StubMachine::kX86_64, StubLevel::kAsInvoker}, records).size(), 2u);
}

// ---- build and check --------------------------------------------------------

class StubCommands : public testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "kivlog-stub-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    Write("user.exe", MakeImage(kAmd64, kInvoker));
    Write("machine.exe", MakeImage(kI386, kAdministrator));
    Write("m.json",
          R"({"display_name": "Kiv", "records": [
                {"type": "file", "path": "C:\\Users\\me\\AppData\\Local\\Programs\\Kiv\\kiv.exe"},
                {"type": "registry", "root": "HKEY_LOCAL_MACHINE", "path": "Software\\Kiv\\V"}]})");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  int Run(const std::vector<std::string>& args) {
    out_.str("");
    err_.str("");
    return RunCommandLine(args, out_, err_);
  }

  fs::path dir_;
  std::ostringstream out_, err_;
};

TEST_F(StubCommands, BuildWarnsOfAPerUserStubsRecordsAndRefusesThemWhenStrict) {
  const std::string warning =
      "KIVW013: records[1].root: HKEY_LOCAL_MACHINE, which only administrators may change: the x86_64 "
      "per-user stub (asInvoker) never has their rights; keep a per-user product's keys under "
      "HKEY_CURRENT_USER";

  EXPECT_EQ(Run({"build", Path("m.json"), "--stub", Path("user.exe"), "-o", Path("a.exe")}),
            kExitOk);
  EXPECT_EQ(err_.str(), Path("m.json") + "(3,38): warning " + warning + "\n");
  EXPECT_TRUE(fs::exists(Path("a.exe")));

  EXPECT_EQ(
      Run({"build", Path("m.json"), "--stub", Path("user.exe"), "-o", Path("b.exe"), "--strict"}),
      kExitFailed);
  // --strict is --werror: the warning told as an error, and nothing written.
  EXPECT_EQ(err_.str(), Path("m.json") + "(3,38): error " + warning + " [--werror]\n" +
                            "kivlog: -o " + Path("b.exe") +
                            ": error KIV0025: not written: warnings are errors (--werror)\n");
  EXPECT_FALSE(fs::exists(Path("b.exe"))) << "nothing written";

  EXPECT_EQ(Run({"build", Path("m.json"), "--stub", Path("machine.exe"), "-o", Path("c.exe"),
                 "--strict"}),
            kExitOk);
  EXPECT_EQ(err_.str(), "");
}

TEST_F(StubCommands, CheckReadsTheFilesOwnStub) {
  ASSERT_EQ(Run({"build", Path("m.json"), "--stub", Path("user.exe"), "-o", Path("a.exe")}),
            kExitOk);
  const std::string at = " (registry at offset ";

  EXPECT_EQ(Run({"check", Path("a.exe")}), kExitOk);
  EXPECT_EQ(out_.str(), "ok: 2 records\n");
  EXPECT_EQ(err_.str().rfind(
                "kivlog: " + Path("a.exe") + ": warning KIVW013: records[1].root" + at, 0),
            0u)
      << err_.str();

  EXPECT_EQ(Run({"check", "--strict", Path("a.exe")}), kExitFailed);
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(err_.str().rfind(
                "kivlog: " + Path("a.exe") + ": error KIVW013: records[1].root" + at, 0),
            0u)
      << err_.str();

  EXPECT_EQ(Run({"check", "--json", Path("a.exe")}), kExitOk);
  const nlohmann::json doc = nlohmann::json::parse(out_.str());
  EXPECT_EQ(doc["stub"], nlohmann::json({{"machine", "x86_64"}, {"execution_level", "asInvoker"}}));
  ASSERT_EQ(doc["stub_warnings"].size(), 1u);
  EXPECT_EQ(doc["stub_warnings"][0]["record"], 1);
  EXPECT_EQ(doc["stub_warnings"][0]["type"], "registry");
  EXPECT_EQ(doc["stub_warnings"][0]["field"], "root");
  EXPECT_EQ(Run({"check", "--json", "--strict", Path("a.exe")}), kExitFailed);
}

}  // namespace
}  // namespace kivlog

namespace kivlog {
namespace {

TEST_F(StubCommands, RegisterPrintsTheEntryWhereTheFilesOwnStubRemovesIt) {
  ASSERT_EQ(Run({"build", Path("m.json"), "--stub", Path("user.exe"), "-o", Path("u.exe")}),
            kExitOk);
  ASSERT_EQ(Run({"build", Path("m.json"), "--stub", Path("machine.exe"), "-o", Path("m.exe")}),
            kExitOk);
  const std::vector<std::string> details = {"--display-version", "1.0", "--publisher", "Ex",
                                            "--install-date",    "20261211", "--print"};
  const auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), details.begin(), details.end());
    return args;
  };
  EXPECT_EQ(Run(with({"register", Path("u.exe"), "--path", "C:\\Users\\me\\Kiv\\u.exe"})), kExitOk);
  EXPECT_NE(out_.str().find("; the current user's list (the per-user stub removes it there)\n"
                            "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                            "Uninstall\\Kiv]\n\"DisplayName\"=\"Kiv\"\n"),
            std::string::npos)
      << out_.str();
  EXPECT_EQ(Run(with({"register", Path("m.exe"), "--path", "C:\\Kiv\\m.exe"})), kExitOk);
  EXPECT_NE(out_.str().find("; the 32-bit registry view"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("\"QuietUninstallString\"=\"\\\"C:\\\\Kiv\\\\m.exe\\\" /S\"\n"),
            std::string::npos)
      << out_.str();

  // Off Windows the file's place on the installing machine must be told,
  // and nothing is written without --print.
  EXPECT_EQ(Run(with({"register", Path("m.exe")})), kExitFailed);
  EXPECT_NE(err_.str().find("error KIV0015: where the file lies on the installing machine is not "
                            "known here"),
            std::string::npos)
      << err_.str();
  EXPECT_EQ(Run({"register", Path("m.exe"), "--path", "C:\\Kiv\\m.exe", "--display-version", "1",
                 "--publisher", "Ex"}),
            kExitFailed);
  EXPECT_NE(err_.str().find("error KIV0030: the entry goes into the Windows registry"),
            std::string::npos)
      << err_.str();
}

}  // namespace
}  // namespace kivlog
