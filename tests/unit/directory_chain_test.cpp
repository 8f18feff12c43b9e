// What the walk holds open on the way of each record's path, and when it
// lets go.
#include "run/directory_chain.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace kiv {
namespace {

bool NoLeadBytes(uint8_t) { return false; }

// A file system of a few directories: links and missing ones by name; every
// hold and release is logged, and what is open is tracked.
struct FakeDirectories {
  std::set<std::string> links, missing;
  std::vector<std::string> log;
  std::set<std::string> open;
};
FakeDirectories* g_fake = nullptr;

void* Hold(const char* path, bool* is_link) {
  *is_link = g_fake->links.count(path) > 0;
  if (*is_link || g_fake->missing.count(path)) return nullptr;
  g_fake->log.push_back(std::string("hold ") + path);
  g_fake->open.insert(path);
  return new std::string(path);
}
void Release(void* handle) {
  auto* path = static_cast<std::string*>(handle);
  g_fake->log.push_back("release " + *path);
  g_fake->open.erase(*path);
  delete path;
}
std::vector<std::string> g_asked;
bool Fallback(const char* directory) {
  g_asked.push_back(directory);
  return g_fake->links.count(directory) > 0;
}

constexpr DirectoryHolding kFake = {Hold, Release};

class DirectoryChainTest : public testing::Test {
 protected:
  void SetUp() override {
    g_fake = &fake_;
    g_asked.clear();
  }
  void TearDown() override {
    chain_.ReleaseAll(kFake);
    EXPECT_TRUE(fake_.open.empty()) << "everything is released at the end";
    g_fake = nullptr;
  }
  // path: "C:\..." with its root "C:\" (3 bytes).
  bool Crosses(const char* path) {
    fake_.log.clear();
    return chain_.CrossesLink(kFake, path, 3, NoLeadBytes, Fallback);
  }
  std::set<std::string> Open() const { return fake_.open; }

  FakeDirectories fake_;
  DirectoryChain chain_{};
};

TEST_F(DirectoryChainTest, EachDirectoryIsHeldOnceForAllTheRecordsInIt) {
  EXPECT_FALSE(Crosses("C:\\App\\Docs\\a.txt"));
  EXPECT_EQ(fake_.log, (std::vector<std::string>{"hold C:\\App", "hold C:\\App\\Docs"}));
  EXPECT_FALSE(Crosses("C:\\App\\Docs\\b.txt"));
  EXPECT_TRUE(fake_.log.empty()) << "nothing asked again";
  // A sibling: only what differs is let go and taken.
  EXPECT_FALSE(Crosses("C:\\App\\Bin\\c.exe"));
  EXPECT_EQ(fake_.log, (std::vector<std::string>{"release C:\\App\\Docs", "hold C:\\App\\Bin"}));
  // The Directory record of C:\App\Bin asks about what lies above it only,
  // and so finds the directory itself released, ready to be removed.
  EXPECT_FALSE(Crosses("C:\\App\\Bin"));
  EXPECT_EQ(fake_.log, (std::vector<std::string>{"release C:\\App\\Bin"}));
  EXPECT_EQ(Open(), (std::set<std::string>{"C:\\App"}));
  EXPECT_FALSE(Crosses("C:\\App"));
  EXPECT_TRUE(Open().empty());
  EXPECT_TRUE(g_asked.empty()) << "all held, none asked by name";
}

TEST_F(DirectoryChainTest, ALinkOnTheWayIsFoundAndWhatLiesAboveItStaysHeld) {
  fake_.links = {"C:\\App\\Linked"};
  EXPECT_FALSE(Crosses("C:\\App\\Plain\\a.txt"));
  EXPECT_TRUE(Crosses("C:\\App\\Linked\\Deeper\\b.txt"));
  EXPECT_EQ(Open(), (std::set<std::string>{"C:\\App"}));
  // Asked again: a link stays a link, however often.
  EXPECT_TRUE(Crosses("C:\\App\\Linked\\c.txt"));
  // Names that only look alike are other directories.
  EXPECT_FALSE(Crosses("C:\\App\\LinkedNot\\d.txt"));
  EXPECT_EQ(Open(), (std::set<std::string>{"C:\\App", "C:\\App\\LinkedNot"}));
}

TEST_F(DirectoryChainTest, WhatCannotBeHeldIsAskedByNameAndNothingBelowItIsHeld) {
  fake_.missing = {"C:\\Gone"};
  fake_.links = {"C:\\Gone\\Link"};
  EXPECT_TRUE(Crosses("C:\\Gone\\Link\\x.txt"));
  EXPECT_EQ(g_asked, (std::vector<std::string>{"C:\\Gone", "C:\\Gone\\Link"}));
  EXPECT_TRUE(Open().empty());
  g_asked.clear();
  EXPECT_FALSE(Crosses("C:\\Gone\\Plain\\y.txt"));
  EXPECT_EQ(g_asked, (std::vector<std::string>{"C:\\Gone", "C:\\Gone\\Plain"}));
}

// The deepest path a record can hold: every directory on its way is held,
// none only asked about by name (which a swap after the check would pass).
TEST_F(DirectoryChainTest, EveryDirectoryOfTheDeepestPathIsHeld) {
  std::string path = "C:";
  while (path.size() + 2 + 2 < PathString::capacity()) path += "\\d";
  path += "\\f";
  ASSERT_LT(path.size(), PathString::capacity());
  const uint32_t directories = static_cast<uint32_t>(path.size() - 4) / 2;
  EXPECT_GT(directories, 32u);
  EXPECT_FALSE(Crosses(path.c_str()));
  EXPECT_EQ(chain_.held(), directories);
  EXPECT_TRUE(g_asked.empty());
}

}  // namespace
}  // namespace kiv
