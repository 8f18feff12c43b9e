// ShellItem and ShellGroup records: Program Manager through DDE, with the one
// conversation this process holds.
#include "platform/win32.h"
#include "run/record_actions.h"
#include "run/shell_conversation.h"

// The server's service and topic name. Only a test build of the stub names
// another (one that nobody serves), to run the walk with no server answering.
#ifndef KIV_SHELL_SERVICE
#define KIV_SHELL_SERVICE "PROGMAN"
#endif

namespace kiv {

namespace {

constexpr DdeHooks kPlatformDde = {
    platform::DdeStart,   platform::DdeMakeName, platform::DdeOpenConversation,
    platform::DdeExecute, platform::DdeFreeName, platform::DdeCloseConversation,
    platform::DdeStop,    platform::DdeRequestText,
};

constexpr char kShellService[] = KIV_SHELL_SERVICE;

// The process's conversation, made by the first record that needs it.
// constinit: it must be ready without any start-up code running; all zeros,
// so it lies in .bss and the file holds no data section for it (its server
// is named at each use). Trivially destructible, so nothing ends it at exit:
// the system releases the DDE instance with the process.
constinit ShellConversationHolder g_conversation;
static_assert(__has_trivial_destructor(ShellConversationHolder), "no exit-time teardown");

ShellConversationHolder& Conversation() { return g_conversation.Bind(kPlatformDde, kShellService); }

}  // namespace

void UndoShellItem(LogReader& reader, UndoStep& step) {
  UndoShellItem(reader, Conversation(), step);
}

void UndoShellGroup(LogReader& reader, UndoStep& step) {
  UndoShellGroup(reader, Conversation(), step);
}

}  // namespace kiv
