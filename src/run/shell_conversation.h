// The Program Manager conversation and the two record actions that use it.
//
// Program Manager groups and items are removed through one DDE client
// conversation with the server named "PROGMAN" (service and topic alike).
// The conversation is made by the first ShellItem or ShellGroup record and
// then held for the rest of the process: every later record reuses it, and a
// conversation that could not be made is never tried again; the commands sent
// into it are refused by the DDE layer and the walk goes on. Nothing in the
// uninstall mode ends it: process exit releases its DDE instance.
//
// Pure logic: every DDE call goes through a DdeHooks table (the platform's
// calls in the stub, fakes on the host). No <windows.h>, no allocation. A
// holder is constant-initialised and trivially destructible, so it can sit
// in static storage with no start-up or exit code of its own.
#ifndef KIV_RUN_SHELL_CONVERSATION_H_
#define KIV_RUN_SHELL_CONVERSATION_H_

#include <stdint.h>

#include "base/fixed_string.h"
#include "uninstall_file/layout.h"
#include "run/undo_step.h"
#include "uninstall_file/names.h"

namespace kiv {

class LogReader;

// The DDE calls a conversation makes, with the platform layer's contracts.
struct DdeHooks {
  // DdeInitializeA, client only, callback returning 0: true on success; the
  // identifier goes into *instance either way.
  bool (*start)(uint32_t* instance);
  void* (*make_name)(uint32_t instance, const char* name);          // CP_WINANSI
  void* (*connect)(uint32_t instance, void* service, void* topic);  // null on failure
  // One XTYP_EXECUTE of text (its NUL included); true when it was accepted.
  bool (*execute)(uint32_t instance, void* conversation, const char* text, uint32_t timeout_ms);
  void (*free_name)(uint32_t instance, void* name);
  void (*disconnect)(void* conversation);
  void (*stop)(uint32_t instance);
  // One XTYP_REQUEST of item as text into buffer, NUL-terminated: its
  // length, or 0 when the server gave nothing or it did not fit whole. Null:
  // nothing is ever asked.
  uint32_t (*request)(uint32_t instance, void* conversation, const char* item, char* buffer,
                      uint32_t capacity, uint32_t timeout_ms) = nullptr;
};

// Each command waits this long for the server's answer.
inline constexpr uint32_t kShellCommandTimeoutMs = 10000;

struct ShellConversation {
  uint32_t instance = 0;         // DDE instance identifier; 0 until initialised
  void* name = nullptr;          // the name handle, service and topic; none until made
  void* conversation = nullptr;  // the connection; null when none was made
  bool failed = false;           // initialisation or connection failed
};

// Initialises DDE, makes the name handle for service and connects to it as
// both service and topic. A failure sets failed; nothing is undone.
ShellConversation CreateShellConversation(const DdeHooks& dde, const char* service);

// Sends command; true when the server accepted it. The failed flag is not
// consulted: on a failed conversation the DDE layer refuses the transaction.
bool ExecuteShellCommand(const DdeHooks& dde, const ShellConversation& conversation,
                         const char* command);

// The teardown of a conversation that is destroyed: frees the name handle,
// disconnects, then releases the instance, in that order. The uninstall mode
// never calls it.
void EndShellConversation(const DdeHooks& dde, ShellConversation& conversation);

// ---- Commands --------------------------------------------------------------
inline constexpr char kShowGroupFormat[] = "[ShowGroup(\"%s\",1)]";
inline constexpr char kDeleteItemFormat[] = "[DeleteItem(%s)]";  // the item is not quoted
inline constexpr char kDeleteGroupFormat[] = "[DeleteGroup(\"%s\")]";

// The text a one-"%s" format puts around its field.
template <uint32_t N>
constexpr uint32_t FixedTextLength(const char (&)[N]) {
  return N - 1 - 2;
}

// A field of its full length (255 bytes and the NUL, kStringLimit) fits every
// command whole with the command's fixed text: nothing is cut, nothing can
// overflow. The size is the longest command's, not a round number: 128 bytes
// would already cut a group of 111.
inline constexpr uint32_t kShellCommandSize = 273;
static_assert(FixedTextLength(kShowGroupFormat) + kStringLimit <= kShellCommandSize);
static_assert(FixedTextLength(kDeleteItemFormat) + kStringLimit <= kShellCommandSize);
static_assert(FixedTextLength(kDeleteGroupFormat) + kStringLimit <= kShellCommandSize);
static_assert(FixedTextLength(kDeleteGroupFormat) + kStringLimit == kShellCommandSize,
              "sized by the longest command");
using ShellCommand = FixedString<kShellCommandSize>;

// ---- What the server lists ---------------------------------------------------
// Whether a group or an item is there, as far as the server tells.
enum class Listed : uint8_t { kYes, kNo, kUnknown };
// The group list ("Groups"): one name a line (CR LF or LF). The name is
// compared without regard to ASCII case, as Program Manager names groups.
bool ListHoldsGroup(const char* list, const char* group);
// A group's contents (a request of the group's name): a first line for the
// group, its name first in quotes, then one line per item, its name first,
// in quotes. kUnknown when the first line is not the group's.
Listed ContentsList(const char* contents, const char* group, const char* item);
// The most text a request takes; a longer answer counts as none.
inline constexpr uint32_t kShellListSize = 8192;

// ---- The conversation of a process -----------------------------------------
// Makes the conversation on the first Get() and hands back the same one on
// every later call, whether it was made or failed.
class ShellConversationHolder {
 public:
  // service names the server (service and topic); both must outlive the holder.
  constexpr ShellConversationHolder(const DdeHooks& dde, const char* service)
      : dde_(&dde), service_(service) {}
  // One told its server later (Bind): all zeros, so one in static storage
  // takes no bytes of the file.
  constexpr ShellConversationHolder() = default;
  // Names the server as the two-argument constructor does; before Get().
  ShellConversationHolder& Bind(const DdeHooks& dde, const char* service) {
    dde_ = &dde;
    service_ = service;
    return *this;
  }
  ShellConversationHolder(const ShellConversationHolder&) = delete;
  ShellConversationHolder& operator=(const ShellConversationHolder&) = delete;

  const ShellConversation& Get();
  bool made() const { return made_; }
  // Formats format with field and sends it through Get()'s conversation;
  // true when the server accepted it. False, sending nothing, if the command
  // does not fit (no field read from the log can make that happen).
  bool Send(const char* format, const char* field);
  // The group in the server's group list: kUnknown when the conversation
  // failed or the server gave no list.
  Listed GroupListed(const char* group);
  // The item in the group's contents: kUnknown when the server gave none
  // (not every server answers that request).
  Listed ItemListed(const char* group, const char* item);
  // The conversation could not be made: every command would be refused.
  bool failed() { return Get().failed; }

 private:
  // One request of item into buffer (asked once more when it gives
  // nothing); its length, 0 for none.
  uint32_t Request(const char* item, char* buffer, uint32_t capacity);

  const DdeHooks* dde_ = nullptr;
  const char* service_ = nullptr;
  ShellConversation conversation_;
  bool made_ = false;
};

// ---- The record actions ----------------------------------------------------
// ShellItem: reads group, then item; then, through the holder's conversation,
// shows the group and deletes the item from it. The delete is sent whatever
// the show returned: the server deletes items of the group shown last.
// step: removed when the server took the delete; when it refused it,
// already gone if the server lists no such group, or lists the group's
// items without it, else refused. The lists are asked only after a refusal:
// a run that is taken asks nothing (Wine's server, set to the 95 family,
// takes no command after it answered a request).
// A plan (step.plan) asks the lists first and sends nothing: already gone as
// above, refused when there is no conversation, else removed.
void UndoShellItem(LogReader& reader, ShellConversationHolder& holder, UndoStep& step);
// ShellGroup: takes the conversation first, then reads group and deletes it;
// a refused delete of a group the server does not list is already gone
// (the plan asks the list first, and sends nothing).
void UndoShellGroup(LogReader& reader, ShellConversationHolder& holder, UndoStep& step);

}  // namespace kiv

#endif  // KIV_RUN_SHELL_CONVERSATION_H_
