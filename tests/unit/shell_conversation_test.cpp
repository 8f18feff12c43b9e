#include "run/shell_conversation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "test_files.h"

namespace kiv {
namespace {

using testing_support::MemorySource;
using testing_support::VectorSink;

// A DDE layer that records every call as one line of text, in order.
struct FakeDde {
  bool starts = true;  // DdeInitializeA succeeds
  bool connects = true;
  // Commands starting with this are refused by the "server".
  std::string refuse_prefix = "\x01";
  // Commands holding this are refused too.
  std::string refuse_containing = "\x01";
  // What a request of an item answers; an item not here gets nothing.
  std::vector<std::pair<std::string, std::string>> answers;
  // Every other request gets nothing, as Wine's server answers.
  bool every_other = false;
  int requests = 0;
  std::vector<std::string> calls;
};
FakeDde* g_fake = nullptr;

constexpr uint32_t kInstance = 41;
void* const kName = reinterpret_cast<void*>(0x100);
void* const kConversation = reinterpret_cast<void*>(0x200);

std::string Handle(void* p) { return std::to_string(reinterpret_cast<uintptr_t>(p)); }

bool FakeStart(uint32_t* instance) {
  g_fake->calls.push_back("start");
  *instance = kInstance;
  return g_fake->starts;
}
void* FakeMakeName(uint32_t instance, const char* name) {
  g_fake->calls.push_back("name " + std::to_string(instance) + " " + name);
  return kName;
}
void* FakeConnect(uint32_t instance, void* service, void* topic) {
  g_fake->calls.push_back("connect " + std::to_string(instance) + " " + Handle(service) + " " +
                          Handle(topic));
  return g_fake->connects ? kConversation : nullptr;
}
bool FakeExecute(uint32_t instance, void* conversation, const char* text, uint32_t timeout_ms) {
  g_fake->calls.push_back("execute " + std::to_string(instance) + " " + Handle(conversation) + " " +
                          std::to_string(timeout_ms) + " " + text);
  return std::string(text).rfind(g_fake->refuse_prefix, 0) != 0 &&
         std::string(text).find(g_fake->refuse_containing) == std::string::npos;
}
void FakeFreeName(uint32_t instance, void* name) {
  g_fake->calls.push_back("free " + std::to_string(instance) + " " + Handle(name));
}
void FakeDisconnect(void* conversation) {
  g_fake->calls.push_back("disconnect " + Handle(conversation));
}
void FakeStop(uint32_t instance) { g_fake->calls.push_back("stop " + std::to_string(instance)); }

uint32_t FakeRequest(uint32_t, void*, const char* item, char* buffer, uint32_t capacity,
                     uint32_t) {
  g_fake->calls.push_back(std::string("request ") + item);
  if (g_fake->every_other && g_fake->requests++ % 2 == 1) return 0;
  for (const auto& [asked, text] : g_fake->answers) {
    if (asked == item && text.size() < capacity) {
      std::memcpy(buffer, text.c_str(), text.size() + 1);
      return static_cast<uint32_t>(text.size());
    }
  }
  return 0;
}

constexpr DdeHooks kFakeDde = {FakeStart,    FakeMakeName,   FakeConnect, FakeExecute,
                               FakeFreeName, FakeDisconnect, FakeStop};
// A server that answers requests (what it answers is the fake's answers).
constexpr DdeHooks kAskingDde = {FakeStart,    FakeMakeName,   FakeConnect, FakeExecute,
                                 FakeFreeName, FakeDisconnect, FakeStop,    FakeRequest};

// What the fake records for a made conversation and for one command sent
// through it.
const std::vector<std::string> kMade = {"start", "name 41 PROGMAN", "connect 41 256 256"};
std::string Sent(const std::string& text, void* conversation = kConversation) {
  return "execute 41 " + Handle(conversation) + " 10000 " + text;
}
std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class ShellConversationTest : public testing::Test {
 protected:
  void SetUp() override { g_fake = &fake_; }
  void TearDown() override { g_fake = nullptr; }

  // Builds a log with add, then walks it as the uninstall mode does, sending
  // ShellItem and ShellGroup records to the actions with holder; the record
  // types met, in the order walked. outcomes, when given, receives what each
  // action said became of its record, and its name.
  static std::vector<uint16_t> Walk(
      ShellConversationHolder& holder, const std::function<void(LogWriter&)>& add,
      std::vector<std::pair<Undone, std::string>>* outcomes = nullptr, bool plan = false) {
    VectorSink sink(64);
    LogWriter writer(sink);
    writer.Begin();
    add(writer);
    writer.Finish("App");
    MemorySource file(sink.bytes);
    LogReader reader(file);
    std::vector<uint16_t> types;
    UndoStep step;
    step.describe = true;
    step.plan = plan;
    for (;;) {
      const uint16_t type = reader.NextRecord();
      types.push_back(type);
      if (outcomes && step.what != Undone::kNoAction) {
        outcomes->emplace_back(step.what, step.subject.c_str());
      }
      step.Reset();
      if (type == static_cast<uint16_t>(RecordType::kShellItem)) {
        UndoShellItem(reader, holder, step);
      } else if (type == static_cast<uint16_t>(RecordType::kShellGroup)) {
        UndoShellGroup(reader, holder, step);
      } else {
        break;
      }
    }
    return types;
  }

  FakeDde fake_;
  ShellConversationHolder holder_{kFakeDde, "PROGMAN"};
};

// ---- Creation ----------------------------------------------------------------

struct CreateRow {
  const char* name;
  bool starts;
  bool connects;
  bool failed;
  std::vector<std::string> calls;
};

class Create : public ShellConversationTest, public testing::WithParamInterface<CreateRow> {};

TEST_P(Create, InitialisesNamesAndConnectsInOrder) {
  const CreateRow& row = GetParam();
  fake_.starts = row.starts;
  fake_.connects = row.connects;

  ShellConversation c = CreateShellConversation(kFakeDde, "PROGMAN");

  EXPECT_EQ(c.failed, row.failed);
  EXPECT_EQ(c.instance, kInstance);
  EXPECT_EQ(c.conversation, row.connects && row.starts ? kConversation : nullptr);
  EXPECT_EQ(fake_.calls, row.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Create,
    testing::Values(CreateRow{"connected", true, true, false, kMade},
                    // Nothing more is tried.
                    CreateRow{"initialisation_fails", false, true, true, {"start"}},
                    CreateRow{"no_server_answers", true, false, true, kMade}),
    [](const testing::TestParamInfo<CreateRow>& info) { return std::string(info.param.name); });

TEST_F(ShellConversationTest, EndFreesTheNameThenDisconnectsThenReleasesTheInstance) {
  ShellConversation c = CreateShellConversation(kFakeDde, "PROGMAN");
  fake_.calls.clear();

  EndShellConversation(kFakeDde, c);

  EXPECT_EQ(fake_.calls, (std::vector<std::string>{"free 41 256", "disconnect 512", "stop 41"}));
}

// ---- One conversation per holder ----------------------------------------------

TEST_F(ShellConversationTest, TwoGroupRecordsShareOneConversation) {
  Walk(holder_, [](LogWriter& w) {
    w.AddShellGroup("First");
    w.AddShellGroup("Second");
  });

  EXPECT_EQ(fake_.calls,
            Join(kMade, {Sent("[DeleteGroup(\"Second\")]"), Sent("[DeleteGroup(\"First\")]")}));
}

TEST_F(ShellConversationTest, ItemAndGroupRecordsShareOneConversation) {
  Walk(holder_, [](LogWriter& w) {
    w.AddShellGroup("Tools");
    w.AddShellItem("Tools", "Editor");
    w.AddShellItem("Tools", "Viewer");
  });

  EXPECT_EQ(fake_.calls,
            Join(kMade, {Sent("[ShowGroup(\"Tools\",1)]"), Sent("[DeleteItem(Viewer)]"),
                         Sent("[ShowGroup(\"Tools\",1)]"), Sent("[DeleteItem(Editor)]"),
                         Sent("[DeleteGroup(\"Tools\")]")}));
}

// A conversation that could not be made is kept: each later record sends its
// commands into it (the DDE layer refuses them) and nothing is retried.
TEST_F(ShellConversationTest, FailedConversationIsNeverRetried) {
  struct Row {
    const char* name;
    bool starts;
    bool connects;
    std::vector<std::string> made;
    void* conversation;
  };
  const Row rows[] = {
      {"initialisation_fails", false, true, {"start"}, nullptr},
      {"no_server_answers", true, false, kMade, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fake_ = FakeDde();
    fake_.starts = row.starts;
    fake_.connects = row.connects;
    ShellConversationHolder holder(kFakeDde, "PROGMAN");

    std::vector<uint16_t> types = Walk(holder, [](LogWriter& w) {
      w.AddShellGroup("G");
      w.AddShellItem("G", "I");
      w.AddShellGroup("H");
    });

    EXPECT_EQ(types, (std::vector<uint16_t>{8, 7, 8, 0})) << "the walk went on to its end";
    EXPECT_TRUE(holder.Get().failed);
    EXPECT_EQ(fake_.calls, Join(row.made, {Sent("[DeleteGroup(\"H\")]", row.conversation),
                                           Sent("[ShowGroup(\"G\",1)]", row.conversation),
                                           Sent("[DeleteItem(I)]", row.conversation),
                                           Sent("[DeleteGroup(\"G\")]", row.conversation)}));
  }
}

// ---- The commands -------------------------------------------------------------

TEST_F(ShellConversationTest, DeleteItemIsSentWhenShowGroupIsRefused) {
  fake_.refuse_prefix = "[ShowGroup";

  Walk(holder_, [](LogWriter& w) { w.AddShellItem("Accessories", "Notepad"); });

  EXPECT_EQ(fake_.calls,
            Join(kMade, {Sent("[ShowGroup(\"Accessories\",1)]"), Sent("[DeleteItem(Notepad)]")}));
}

// What each record's action says became of it: removed when the server took
// the delete, refused when not, passed over for a name the command syntax
// would misread (nothing sent for it).
TEST_F(ShellConversationTest, EachRecordSaysWhatBecameOfIt) {
  fake_.refuse_prefix = "[DeleteItem(Gone";
  std::vector<std::pair<Undone, std::string>> outcomes;

  Walk(
      holder_,
      [](LogWriter& w) {
        w.AddShellItem("Tools", "Gone");
        w.AddShellItem("Tools", "Editor");
        w.AddShellGroup("Bad\"Group");
        w.AddShellGroup("Tools");
      },
      &outcomes);

  using Row = std::pair<Undone, std::string>;
  EXPECT_EQ(outcomes, (std::vector<Row>{{Undone::kRemoved, "Tools"},
                                        {Undone::kUnsafeName, "Bad\"Group"},
                                        {Undone::kRemoved, "Tools\\Editor"},
                                        {Undone::kRefused, "Tools\\Gone"}}));
  EXPECT_EQ(fake_.calls, Join(kMade, {Sent("[DeleteGroup(\"Tools\")]"),
                                      Sent("[ShowGroup(\"Tools\",1)]"),
                                      Sent("[DeleteItem(Editor)]"),
                                      Sent("[ShowGroup(\"Tools\",1)]"),
                                      Sent("[DeleteItem(Gone)]")}));
}

// Fields of every length up to the format's limit go out whole. The rows at
// 110/111 (group) and 113/114 (item) are where a command first needs more
// than 128 bytes with its NUL: a command size picked as a round number
// rather than from the longest field would cut there.
TEST_F(ShellConversationTest, FieldsUpToTheirLimitGoOutWhole) {
  for (size_t length : {1u, 110u, 111u, 113u, 114u, 254u, 255u}) {
    SCOPED_TRACE(length);
    fake_.calls.clear();
    const std::string group(length, 'g');
    const std::string item(length, 'i');

    Walk(holder_, [&](LogWriter& w) {
      ASSERT_TRUE(w.AddShellGroup(group.c_str()));
      ASSERT_TRUE(w.AddShellItem(group.c_str(), item.c_str()));
    });

    std::vector<std::string> sent(fake_.calls.end() - 3, fake_.calls.end());
    EXPECT_EQ(sent, (std::vector<std::string>{Sent("[ShowGroup(\"" + group + "\",1)]"),
                                              Sent("[DeleteItem(" + item + ")]"),
                                              Sent("[DeleteGroup(\"" + group + "\")]")}));
  }
  const std::string longest = "[DeleteGroup(\"" + std::string(255, 'g') + "\")]";
  EXPECT_EQ(longest.size() + 1, kShellCommandSize) << "the longest command fits exactly";
}

// A field with no NUL within its 256 bytes is never acted on. The item
// action reads both fields before it needs a conversation; the group action
// takes the conversation first.
TEST_F(ShellConversationTest, FieldWithoutNulWithinItsLimitIsNotSent) {
  const std::string unterminated(300, 'x');
  std::string item_payload = "Group";
  item_payload.push_back('\0');
  item_payload += unterminated;
  item_payload.push_back('\0');

  Walk(holder_, [&](LogWriter& w) {
    w.AddRaw(7, item_payload.data(), static_cast<uint32_t>(item_payload.size()));
  });
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_FALSE(holder_.made());

  Walk(holder_, [&](LogWriter& w) {
    w.AddRaw(8, unterminated.c_str(), static_cast<uint32_t>(unterminated.size() + 1));
  });
  EXPECT_EQ(fake_.calls, kMade);
  EXPECT_TRUE(holder_.made());
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

TEST(ShellLists, FindNamesAsProgramManagerListsThem) {
  EXPECT_TRUE(ListHoldsGroup("Accessories\r\nKiv Office\r\nStartUp\r\n", "kiv office"));
  EXPECT_TRUE(ListHoldsGroup("Accessories\nKiv Office", "Kiv Office"));  // LF, no end
  EXPECT_FALSE(ListHoldsGroup("Kiv Office 2\r\nKiv\r\n", "Kiv Office"));
  EXPECT_FALSE(ListHoldsGroup("", "Kiv Office"));
  const char* contents =
      "\"Kiv Office\",C:\\W\\KIV.GRP,2,0,0,0,0\r\n"
      "\"Editor\",\"C:\\K\\ed.exe\",C:\\K,,0,0,0,0,0\r\n"
      "\"Read Me\",\"notepad.exe\",,,0,0,0,0,0\r\n";
  EXPECT_EQ(ContentsList(contents, "kiv office", "editor"), Listed::kYes);
  EXPECT_EQ(ContentsList(contents, "Kiv Office", "Read Me"), Listed::kYes);
  EXPECT_EQ(ContentsList(contents, "Kiv Office", "Kiv Office"), Listed::kNo);  // its own line
  EXPECT_EQ(ContentsList(contents, "Kiv Office", "Read"), Listed::kNo);
  EXPECT_EQ(ContentsList("\"G\"\r\n\"Unclosed", "G", "Unclosed"), Listed::kNo);
  // Not this group's contents (another group's, or another answer, such as
  // the group list): nothing can be told.
  EXPECT_EQ(ContentsList(contents, "Other", "Editor"), Listed::kUnknown);
  EXPECT_EQ(ContentsList("Accessories\r\nKiv Office\r\n", "Kiv Office", "Editor"),
            Listed::kUnknown);
  EXPECT_EQ(ContentsList("\"Kiv Office", "Kiv Office", "Editor"), Listed::kUnknown);
}

// What the server lists tells a refused command's record already gone from
// one refused for another reason. The run sends every command and asks only
// after a refusal; the plan asks first and sends nothing, and cannot know
// that the server would refuse what it lists.
TEST_F(ShellConversationTest, WhatTheServerDoesNotListIsAlreadyGone) {
  fake_.refuse_containing = "Gone";
  fake_.answers = {{"Groups", "Accessories\r\nTools\r\nShown\r\nGone Kept\r\n"},
                   {"Tools", "\"Tools\",x,1\r\n\"Editor\",\"e.exe\"\r\n\"Gone Kept\",\"g\"\r\n"}};
  const auto add = [](LogWriter& w) {
    w.AddShellGroup("Gone Kept");  // listed, refused all the same
    w.AddShellGroup("Shown");
    w.AddShellItem("Shown", "Unlisted contents");  // no answer for its contents
    w.AddShellGroup("Gone Group");
    w.AddShellItem("Gone Group", "Gone Any");
    w.AddShellItem("Tools", "Gone Kept");
    w.AddShellItem("Tools", "Gone");
    w.AddShellItem("Tools", "Editor");
  };
  using Row = std::pair<Undone, std::string>;
  for (const int pass : {0, 1, 2}) {
    // The run, its plan, and the run again with a server that answers
    // every other request only (each unanswered one is asked again).
    const bool plan = pass == 1;
    fake_.every_other = pass == 2;
    SCOPED_TRACE(pass);
    const Undone listed_but_refused = plan ? Undone::kRemoved : Undone::kRefused;
    const std::vector<Row> expected = {{Undone::kRemoved, "Tools\\Editor"},
                                       {Undone::kAlreadyGone, "Tools\\Gone"},
                                       {listed_but_refused, "Tools\\Gone Kept"},
                                       {Undone::kAlreadyGone, "Gone Group\\Gone Any"},
                                       {Undone::kAlreadyGone, "Gone Group"},
                                       {Undone::kRemoved, "Shown\\Unlisted contents"},
                                       {Undone::kRemoved, "Shown"},
                                       {listed_but_refused, "Gone Kept"}};
    fake_.calls.clear();
    ShellConversationHolder holder(kAskingDde, "PROGMAN");
    std::vector<Row> outcomes;
    Walk(holder, add, &outcomes, plan);
    EXPECT_EQ(outcomes, expected);
    std::vector<std::string> sent;
    size_t requests = 0;
    for (const std::string& call : fake_.calls) {
      if (call.rfind("execute", 0) == 0) sent.push_back(call);
      if (call.rfind("request", 0) == 0) ++requests;
    }
    if (plan) {
      EXPECT_TRUE(sent.empty()) << sent[0];
      continue;
    }
    EXPECT_EQ(sent, (std::vector<std::string>{
                        Sent("[ShowGroup(\"Tools\",1)]"), Sent("[DeleteItem(Editor)]"),
                        Sent("[ShowGroup(\"Tools\",1)]"), Sent("[DeleteItem(Gone)]"),
                        Sent("[ShowGroup(\"Tools\",1)]"), Sent("[DeleteItem(Gone Kept)]"),
                        Sent("[ShowGroup(\"Gone Group\",1)]"), Sent("[DeleteItem(Gone Any)]"),
                        Sent("[DeleteGroup(\"Gone Group\")]"),
                        Sent("[ShowGroup(\"Shown\",1)]"), Sent("[DeleteItem(Unlisted contents)]"),
                        Sent("[DeleteGroup(\"Shown\")]"), Sent("[DeleteGroup(\"Gone Kept\")]")}));
    // Asked only after the five refusals: the items' two lists each (but
    // the one whose group is not listed), the groups' one: 7. A server that
    // answers every other request answers the first, then each of the
    // other six on its second asking: 13.
    EXPECT_EQ(requests, pass == 2 ? 13u : 7u);
  }
}

// With no conversation every command would be refused: the plan says so.
TEST_F(ShellConversationTest, APlanWithNoServerSaysRefused) {
  fake_.connects = false;
  ShellConversationHolder holder(kAskingDde, "PROGMAN");
  std::vector<std::pair<Undone, std::string>> outcomes;
  Walk(holder, [](LogWriter& w) { w.AddShellGroup("Tools"); w.AddShellItem("Tools", "Ed"); },
       &outcomes, true);
  using Row = std::pair<Undone, std::string>;
  EXPECT_EQ(outcomes, (std::vector<Row>{{Undone::kRefused, "Tools\\Ed"},
                                        {Undone::kRefused, "Tools"}}));
}

}  // namespace
}  // namespace kiv
