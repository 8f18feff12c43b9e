// Uninstall files that try to make the stub undo what the product never did,
// on the NT family.
#include <gtest/gtest.h>

#include "harness.h"
#include "platform/win32.h"
#include "run/record_actions.h"
#include "safety_scenarios.h"

namespace kiv::e2e {
namespace {

class Names : public testing::TestWithParam<NameCase> {};

TEST_P(Names, NameThatIsNoProductKeyChangesNothing) {
  NameThatIsNoProductKeyChangesNothing(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, Names, testing::ValuesIn(kNameCases),
                         [](const testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(Protected, RecordRestoringTheUninstallFileIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kAsIs);
}

TEST(Protected, RecordRestoringTheUninstallFileInCapitalsIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kUpperCase);
}

TEST(Protected, RecordRestoringTheUninstallFileByItsShortNameIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kShort);
}

TEST(Protected, RecordRestoringTheUninstallFileThroughAnotherDriveIsPassedOver) {
  RecordRestoringTheUninstallFileIsPassedOver(Spelling::kOtherDrive);
}

TEST(Protected, RecordRestoringTheRunningCopyIsPassedOver) {
  RecordRestoringTheRunningCopyIsPassedOver();
}

TEST(TemporaryCopy, CopyThatMeetsADamagedFileGoesAtTheNextStart) {
  CopyThatMeetsADamagedFileGoesAtTheNextStart(/*flat=*/false);
}

TEST(Fonts, FontRecordUnregistersTheFontWhereTheFamilyLooks) {
  FontRecordUnregistersTheFontWhereTheFamilyLooks(/*nt_family=*/true);
}

// A product directory a user can write, where a directory was swapped for a
// link to another place: no record acts through the link, and the walk goes
// on with the records after them.
TEST(ReparsePoints, NoRecordActsThroughALinkInItsPath) {
  std::string product = FreshDirectory("links\\App");
  std::string elsewhere = FreshDirectory("links\\Elsewhere");
  WriteFileBytes(elsewhere + "\\victim.txt", "not the product's");
  WriteFileBytes(elsewhere + "\\config.txt", "not the product's");
  const std::string ini = "[S]\r\nk=v\r\nkept=1\r\n";
  WriteFileBytes(elsewhere + "\\settings.ini", ini);
  MakeDirectories(elsewhere + "\\empty");
  WriteFileBytes(product + "\\own.txt", "installed");
  const std::string data = product + "\\data";
  ASSERT_TRUE(MakeSymbolicLink(data, elsewhere));
  ASSERT_NE(GetFileAttributesA(data.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  const std::string file = product + "\\uninst.exe";
  WriteUninstallFile(file, "Links", [&](LogWriter& w) {
    w.AddFile((product + "\\own.txt").c_str());  // undone last: the walk went on
    w.AddFile((data + "\\victim.txt").c_str());
    w.AddRestoredFile((data + "\\config.txt").c_str(), 0x01D5C1E2A3B4C5D0ull, "saved", 5);
    w.AddIniEntry((data + "\\settings.ini").c_str(), "[S]", "k", "", "v", true);
    w.AddIniEntry((data + "\\settings.ini").c_str(), "S", "kept", "<null>", "", false);
    w.AddDirectory((data + "\\empty").c_str());
  });

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  // The restore passed over keeps what it saved in the uninstall file: the
  // last box names it, and the file stays (answered: not off the list).
  EXPECT_EQ(run.boxes[0].text.rfind("Some items could not be removed. The first of them:\r\n" +
                                        data + "\\config.txt\r\n",
                                    0),
            0u)
      << run.boxes[0].text;
  EXPECT_TRUE(FileExists(file));
  EXPECT_EQ(ReadFileBytes(elsewhere + "\\victim.txt"), "not the product's");
  EXPECT_EQ(ReadFileBytes(elsewhere + "\\config.txt"), "not the product's");
  EXPECT_EQ(ReadFileBytes(elsewhere + "\\settings.ini"), ini);
  EXPECT_TRUE(DirectoryExists(elsewhere + "\\empty"));
  EXPECT_FALSE(FileExists(product + "\\own.txt"));
  RunUnix("/bin/rm", "-f '" + UnixPath(data) + "'");
}

// Every spelling the file calls take leads through the same link, and none
// gets past the check: '/' as a separator, both mixed, a "\\?\" path, a
// ".." that comes back through it, a trailing dot on the link's name.
TEST(ReparsePoints, NoSpellingGetsPastTheLinkCheck) {
  std::string product = FreshDirectory("links\\Spellings");
  std::string elsewhere = FreshDirectory("links\\Spellings Elsewhere");
  const std::string ini = "[S]\r\nk=v\r\n";
  WriteFileBytes(elsewhere + "\\settings.ini", ini);
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "config.sys"}) {
    WriteFileBytes(elsewhere + "\\" + name, "not the product's");
  }
  MakeDirectories(elsewhere + "\\sub");
  WriteFileBytes(product + "\\own.txt", "installed");
  const std::string link = product + "\\link";
  ASSERT_TRUE(MakeSymbolicLink(link, elsewhere));
  std::string forward = link;
  for (char& c : forward) {
    if (c == '\\') c = '/';
  }
  const std::string file = product + "\\uninst.exe";
  WriteUninstallFile(file, "Spellings", [&](LogWriter& w) {
    w.AddFile((product + "\\own.txt").c_str());  // undone last: the walk went on
    w.AddFile((link + "/a.txt").c_str());
    w.AddFile((forward + "/b.txt").c_str());
    w.AddFile(("\\\\?\\" + link + "\\c.txt").c_str());
    w.AddFile((link + "\\sub\\..\\d.txt").c_str());
    w.AddFile((link + ".\\e.txt").c_str());
    w.AddRestoredFile((link + "/config.sys").c_str(), 0x01D5C1E2A3B4C5D0ull, "saved", 5);
    w.AddIniEntry((link + "/settings.ini").c_str(), "S", "k", "<null>", "", false);
    w.AddDirectory((link + "/sub").c_str());
  });

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text.rfind("Some items could not be removed. The first of them:\r\n" +
                                        link + "/config.sys\r\n",
                                    0),
            0u)
      << run.boxes[0].text;
  EXPECT_TRUE(FileExists(file));
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "config.sys"}) {
    EXPECT_EQ(ReadFileBytes(elsewhere + "\\" + name), "not the product's") << name;
  }
  EXPECT_EQ(ReadFileBytes(elsewhere + "\\settings.ini"), ini);
  EXPECT_TRUE(DirectoryExists(elsewhere + "\\sub"));
  EXPECT_FALSE(FileExists(product + "\\own.txt"));
  RunUnix("/bin/rm", "-f '" + UnixPath(link) + "'");
}

// Paths that start with a separator are undone like any other: the check
// never asks about a root or a device prefix (Wine shows the bare root "\\"
// as a link).
TEST(ReparsePoints, DevicePrefixesAndOtherDrivesAreUndone) {
  std::string product = FreshDirectory("forms\\App");
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
    WriteFileBytes(product + "\\" + name, "installed");
  }
  const std::string file = FreshDirectory("forms\\Uninstall") + "\\uninst.exe";
  WriteUninstallFile(file, "Forms", [&](LogWriter& w) {
    w.AddDirectory(("\\\\?\\" + product).c_str());
    w.AddFile(("\\\\?\\" + product + "\\a.txt").c_str());
    w.AddFile(("\\\\.\\" + product + "\\b.txt").c_str());
    w.AddFile(ThroughOtherDrive(product + "\\c.txt").c_str());
    w.AddFile(("\\\\?\\" + ThroughOtherDrive(product + "\\d.txt")).c_str());
  });

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
    EXPECT_FALSE(FileExists(product + "\\" + name)) << name;
  }
  EXPECT_FALSE(DirectoryExists(product));
}

// A link logged itself as the product's directory is left standing, and
// what it points at stays. The target is an empty directory: RemoveDirectoryA
// on the link would remove it under Wine. (Wine shows a link to a file as a
// plain file, and its DeleteFileA removes the target: that case cannot be
// shown here.)
TEST(ReparsePoints, LinkLoggedItselfIsLeftStandingWithItsTarget) {
  std::string product = FreshDirectory("links\\Own");
  std::string elsewhere = FreshDirectory("links\\Target");
  MakeDirectories(elsewhere + "\\empty");
  const std::string dir_link = product + "\\dir";
  ASSERT_TRUE(MakeSymbolicLink(dir_link, elsewhere + "\\empty"));
  const std::string file = product + "\\uninst.exe";
  WriteUninstallFile(file, "Own Links", [&](LogWriter& w) { w.AddDirectory(dir_link.c_str()); });

  RunResult run = RunUninstallMode(file);

  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].text, "Uninstall was succesful");
  EXPECT_TRUE(DirectoryExists(elsewhere + "\\empty")) << "the link's target was removed";
  EXPECT_NE(GetFileAttributesA(dir_link.c_str()), INVALID_FILE_ATTRIBUTES);
  RunUnix("/bin/rm", "-f '" + UnixPath(dir_link) + "'");
}

// The removal of a link as a link asks the handle opened on the link itself,
// never the name: where that handle shows the target (Wine's), or where the
// path is no link at all, nothing is removed. The same links, removed by name
// (RemoveDirectoryA, DeleteFileA), lose their targets under Wine.
TEST(ReparsePoints, LinkRemovalNeverReachesTheTarget) {
  const std::string base = FreshDirectory("links\\Removal");
  MakeDirectories(base + "\\empty target");
  WriteFileBytes(base + "\\target.txt", "kept");
  MakeDirectories(base + "\\plain");
  ASSERT_TRUE(MakeSymbolicLink(base + "\\dir link", base + "\\empty target"));
  ASSERT_TRUE(MakeSymbolicLink(base + "\\file link", base + "\\target.txt"));

  EXPECT_FALSE(platform::RemoveLinkItself((base + "\\dir link").c_str()));
  EXPECT_FALSE(platform::RemoveLinkItself((base + "\\file link").c_str()));
  EXPECT_FALSE(platform::RemoveLinkItself((base + "\\plain").c_str()));
  EXPECT_FALSE(platform::RemoveLinkItself((base + "\\target.txt").c_str()));
  EXPECT_TRUE(DirectoryExists(base + "\\empty target"));
  EXPECT_EQ(ReadFileBytes(base + "\\target.txt"), "kept");
  EXPECT_TRUE(DirectoryExists(base + "\\plain"));
  RunUnix("/bin/rm", "-f '" + UnixPath(base + "\\dir link") + "' '" +
                         UnixPath(base + "\\file link") + "'");
}

// Where a file is not there to ask for its index, its spellings still meet:
// through a subst drive (as far as the system tells what the drive stands
// for), a device prefix, '/', dots and case.
TEST(SameFile, SpellingsOfAFileThatIsNotThereMeet) {
  const std::string dir = FreshDirectory("same file\\subst");
  ASSERT_TRUE(DefineDosDeviceA(0, "K:", dir.c_str())) << GetLastError();
  const std::string missing = dir + "\\not there.txt";
  platform::FileIdentity a;
  ASSERT_TRUE(platform::IdentifyFile(missing.c_str(), &a));
  for (const std::string& other :
       {std::string("K:\\not there.txt"), "\\\\?\\" + missing, CharUpperString(missing),
        dir + "/sub/../not there.txt."}) {
    platform::FileIdentity b;
    ASSERT_TRUE(platform::IdentifyFile(other.c_str(), &b)) << other;
    EXPECT_TRUE(platform::SameFile(a, b)) << other << " is " << b.spelling.c_str() << ", not "
                                          << a.spelling.c_str();
  }
  platform::FileIdentity elsewhere;
  ASSERT_TRUE(platform::IdentifyFile((dir + "\\other.txt").c_str(), &elsewhere));
  EXPECT_FALSE(platform::SameFile(a, elsewhere));
  DefineDosDeviceA(DDD_REMOVE_DEFINITION, "K:", nullptr);
}

// The copy's private directory, held from its check to the launch.
TEST(HeldDirectory, CannotBeRenamedOrDeletedUntilReleased) {
  std::string dir = FreshDirectory("held") + "\\STPk1x.tmp";
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  std::string moved = dir + ".moved";
  {
    platform::HeldDirectory held;
    ASSERT_TRUE(held.Hold(dir.c_str()));
    EXPECT_FALSE(MoveFileA(dir.c_str(), moved.c_str())) << "renamed away while held";
    EXPECT_FALSE(RemoveDirectoryA(dir.c_str())) << "deleted while held";
    EXPECT_TRUE(DirectoryExists(dir));
  }
  EXPECT_TRUE(MoveFileA(dir.c_str(), moved.c_str())) << "still held after release";
}

// The directories on the way of a record's path, from the link check to the
// action and on to the next record in the same directory: none can be
// renamed away (and a link put in its place) in between; a record elsewhere
// lets go of what it does not pass through, the walk's end of everything.
TEST(HeldDirectory, DirectoriesOnTheWayAreHeldFromTheCheckToTheNextPath) {
  const std::string base = FreshDirectory("on the way");
  const std::string app = base + "\\App", docs = app + "\\Docs", bin = app + "\\Bin";
  for (const std::string& dir : {app, docs, bin}) ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  const auto renames = [](const std::string& dir) {
    const std::string moved = dir + ".moved";
    if (!MoveFileA(dir.c_str(), moved.c_str())) return false;
    EXPECT_TRUE(MoveFileA(moved.c_str(), dir.c_str()));
    return true;
  };

  ASSERT_FALSE(PathCrossesReparsePoint((docs + "\\a.txt").c_str(), false));
  EXPECT_FALSE(renames(docs)) << "the record's own directory";
  EXPECT_FALSE(renames(app)) << "a directory above it";
  EXPECT_TRUE(renames(bin)) << "a directory it does not pass through";

  ASSERT_FALSE(PathCrossesReparsePoint((bin + "\\b.exe").c_str(), false));
  EXPECT_TRUE(renames(docs)) << "let go when the walk moved on";
  EXPECT_FALSE(renames(bin));
  // A Directory record: what lies above it stays held, it itself is free to go.
  ASSERT_FALSE(PathCrossesReparsePoint(bin.c_str(), false));
  EXPECT_TRUE(RemoveDirectoryA(bin.c_str()));
  EXPECT_FALSE(renames(app));

  ReleaseDirectoriesOnTheWay();
  EXPECT_TRUE(renames(app)) << "still held after the walk";
}

TEST(HeldDirectory, RefusesWhatAnotherProgramCouldHavePutInItsPlace) {
  std::string base = FreshDirectory("held refused");
  // Not empty: a DLL planted beside the copy-to-be.
  std::string planted = base + "\\STPk1y.tmp";
  WriteFileBytes(planted + "\\version.dll", "planted");
  // A link to a directory elsewhere.
  std::string elsewhere = FreshDirectory("held elsewhere");
  std::string link = base + "\\STPk1z.tmp";
  ASSERT_TRUE(MakeSymbolicLink(link, elsewhere));
  ASSERT_NE(GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u)
      << "Wine shows no reparse point for a directory link";
  // A file, not a directory.
  std::string file = base + "\\STPk20.tmp";
  WriteFileBytes(file, "x");

  for (const std::string& path : {planted, link, file}) {
    platform::HeldDirectory held;
    EXPECT_FALSE(held.Hold(path.c_str())) << path;
    // Nothing stays held after a refusal.
    EXPECT_TRUE(MoveFileA(path.c_str(), (path + ".moved").c_str())) << path;
  }
}

class Devices : public testing::TestWithParam<DeviceCase> {};

TEST_P(Devices, DeviceNamedDirectoryMakesTheFileDamaged) {
  DeviceNamedDirectoryMakesTheFileDamaged(GetParam(), /*links=*/true);
}

INSTANTIATE_TEST_SUITE_P(Cases, Devices, testing::ValuesIn(kDeviceCases),
                         [](const testing::TestParamInfo<DeviceCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kiv::e2e
