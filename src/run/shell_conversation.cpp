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
  holder.Send(kShowGroupFormat, group.c_str());
  step.Set(holder.Send(kDeleteItemFormat, item.c_str()) ? Undone::kRemoved : Undone::kRefused);
}

void UndoShellGroup(LogReader& reader, ShellConversationHolder& holder, UndoStep& step) {
  holder.Get();
  ShortString group;
  if (!reader.ReadString(group.data(), group.capacity())) {
    return step.Set(Undone::kFailed, kErrorInvalidData);
  }
  step.Describe(group.c_str());
  if (!IsSafeGroupName(group.c_str())) return step.Set(Undone::kUnsafeName);
  step.Set(holder.Send(kDeleteGroupFormat, group.c_str()) ? Undone::kRemoved : Undone::kRefused);
}

}  // namespace kiv
