#include "run/shell_conversation.h"

#include "uninstall_file/log_reader.h"

namespace kiv {

// The fields read into these buffers are what the command size is made for.
static_assert(ShortString::capacity() == kStringLimit);

ShellConversation CreateShellConversation(const DdeHooks& dde, const char* service) {
  ShellConversation c;
  if (!dde.start(&c.instance)) {
    c.failed = true;
    return c;
  }
  c.name = dde.make_name(c.instance, service);
  c.conversation = dde.connect(c.instance, c.name, c.name);
  if (!c.conversation) c.failed = true;
  return c;
}

bool ExecuteShellCommand(const DdeHooks& dde, const ShellConversation& conversation,
                         const char* command) {
  return dde.execute(conversation.instance, conversation.conversation, command,
                     kShellCommandTimeoutMs);
}

void EndShellConversation(const DdeHooks& dde, ShellConversation& conversation) {
  dde.free_name(conversation.instance, conversation.name);
  dde.disconnect(conversation.conversation);
  dde.stop(conversation.instance);
  conversation = ShellConversation();
}

const ShellConversation& ShellConversationHolder::Get() {
  if (!made_) {
    conversation_ = CreateShellConversation(*dde_, service_);
    made_ = true;
  }
  return conversation_;
}

namespace {

// The n bytes at a equal the NUL-terminated b, without regard to ASCII case.
bool SameName(const char* a, uint32_t n, const char* b) {
  return LengthWithin(b, n + 1) == n && EqualsIgnoreAsciiCase(a, b, n);
}

// The line that starts at p: its length up to CR, LF or the end.
uint32_t LineLength(const char* p) {
  uint32_t n = 0;
  while (p[n] != '\0' && p[n] != '\r' && p[n] != '\n') ++n;
  return n;
}

// The start of the line after the one at p (of length n).
const char* NextLine(const char* p, uint32_t n) {
  p += n;
  if (*p == '\r') ++p;
  if (*p == '\n') ++p;
  return p;
}

}  // namespace

bool ListHoldsGroup(const char* list, const char* group) {
  for (const char* p = list; *p != '\0';) {
    const uint32_t n = LineLength(p);
    if (SameName(p, n, group)) return true;
    p = NextLine(p, n);
  }
  return false;
}

Listed ContentsList(const char* contents, const char* group, const char* item) {
  // The group's own line first, its name in quotes: anything else (another
  // answer, as Wine's server gives one to every other request) says
  // nothing of the group.
  const uint32_t first = LineLength(contents);
  uint32_t end = 1;
  while (end < first && contents[end] != '"') ++end;
  if (first < 2 || contents[0] != '"' || end == first || !SameName(contents + 1, end - 1, group)) {
    return Listed::kUnknown;
  }
  const char* p = NextLine(contents, first);
  while (*p != '\0') {
    const uint32_t n = LineLength(p);
    if (n >= 2 && p[0] == '"') {
      uint32_t close = 1;
      while (close < n && p[close] != '"') ++close;
      if (close < n && SameName(p + 1, close - 1, item)) return Listed::kYes;
    }
    p = NextLine(p, n);
  }
  return Listed::kNo;
}

uint32_t ShellConversationHolder::Request(const char* item, char* buffer, uint32_t capacity) {
  const ShellConversation& conversation = Get();
  if (conversation.failed || dde_->request == nullptr) return 0;
  // Asked twice when the first gives nothing: Wine's server answers every
  // other request only.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const uint32_t n = dde_->request(conversation.instance, conversation.conversation, item,
                                     buffer, capacity, kShellCommandTimeoutMs);
    if (n > 0) return n;
  }
  return 0;
}

Listed ShellConversationHolder::GroupListed(const char* group) {
  char list[kShellListSize];
  if (Request("Groups", list, sizeof(list)) == 0) return Listed::kUnknown;
  return ListHoldsGroup(list, group) ? Listed::kYes : Listed::kNo;
}

Listed ShellConversationHolder::ItemListed(const char* group, const char* item) {
  char contents[kShellListSize];
  if (Request(group, contents, sizeof(contents)) == 0) return Listed::kUnknown;
  return ContentsList(contents, group, item);
}

bool ShellConversationHolder::Send(const char* format, const char* field) {
  const ShellConversation& conversation = Get();
  ShellCommand command;
  if (!Format1(command, format, field)) return false;
  return ExecuteShellCommand(*dde_, conversation, command.c_str());
}

void UndoShellItem(LogReader& reader, ShellConversationHolder& holder, UndoStep& step) {
  ShortString group;
  ShortString item;
  if (!reader.ReadString(group.data(), group.capacity()) ||
      !reader.ReadString(item.data(), item.capacity())) {
    return step.Set(Undone::kFailed, kErrorInvalidData);
  }
  step.Describe(group.c_str(), "\\", item.c_str());
  if (!IsSafeGroupName(group.c_str()) || !IsSafeItemName(item.c_str())) {
    return step.Set(Undone::kUnsafeName);
  }
  // A plan asks the lists first and sends nothing; a run sends, and asks
  // only when the command was refused (some servers answer no more commands
  // once asked, so a run that is taken never asks).
  const auto gone = [&] {
    return holder.GroupListed(group.c_str()) == Listed::kNo ||
           holder.ItemListed(group.c_str(), item.c_str()) == Listed::kNo;
  };
  bool is_gone = false;
  bool taken = false;
  if (step.plan) {
    is_gone = gone();
    taken = !holder.failed() && !is_gone;
  } else {
    holder.Send(kShowGroupFormat, group.c_str());
    taken = holder.Send(kDeleteItemFormat, item.c_str());
    if (!taken) is_gone = gone();
  }
  if (taken) return step.Set(Undone::kRemoved);
  step.Set(is_gone ? Undone::kAlreadyGone : Undone::kRefused);
}

void UndoShellGroup(LogReader& reader, ShellConversationHolder& holder, UndoStep& step) {
  holder.Get();
  ShortString group;
  if (!reader.ReadString(group.data(), group.capacity())) {
    return step.Set(Undone::kFailed, kErrorInvalidData);
  }
  step.Describe(group.c_str());
  if (!IsSafeGroupName(group.c_str())) return step.Set(Undone::kUnsafeName);
  // Asked once: first in a plan, after a refusal in a run.
  Listed listed = step.plan ? holder.GroupListed(group.c_str()) : Listed::kUnknown;
  const bool taken = step.plan ? !holder.failed() && listed != Listed::kNo
                               : holder.Send(kDeleteGroupFormat, group.c_str());
  if (taken) return step.Set(Undone::kRemoved);
  if (!step.plan) listed = holder.GroupListed(group.c_str());
  step.Set(listed == Listed::kNo ? Undone::kAlreadyGone : Undone::kRefused);
}

}  // namespace kiv
