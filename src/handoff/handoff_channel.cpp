#include "handoff/handoff_channel.h"

#include "base/fixed_string.h"
#include "base/hex_text.h"
#include "platform/win32.h"
#include "uninstall_file/layout.h"

namespace kiv {

bool HandoffSender::Prepare(void* lock, bool wait_for_outcome) {
  if (wait_for_outcome && !platform::CreateInheritedPipe(&read_, &write_)) return false;
  // The lock's handle, then the pipe's (0: none), each as kHexWidth digits.
  ShortString value;
  AppendHex(reinterpret_cast<uintptr_t>(lock), &value);
  AppendHex(reinterpret_cast<uintptr_t>(write_), &value);
  if (platform::SetEnvironmentText(kHandoffVariable, value.c_str())) return true;
  Abandon();
  return false;
}

void HandoffSender::Started() {
  if (write_) platform::CloseFile(write_);
  write_ = nullptr;
  platform::SetEnvironmentText(kHandoffVariable, nullptr);
}

void HandoffSender::Abandon() {
  Started();
  if (read_) platform::CloseFile(read_);
  read_ = nullptr;
}

uint32_t HandoffSender::WaitForOutcome(uint32_t no_word) {
  uint8_t bytes[4];
  if (!read_ || platform::ReadFileBytes(read_, bytes, 4) != 4) return no_word;
  return LoadU32(bytes);
}

Handoff TakeHandoff() {
  Handoff handoff;
  ShortString value;
  if (!platform::GetEnvironmentText(kHandoffVariable, value.data(), value.capacity())) {
    return handoff;
  }
  platform::SetEnvironmentText(kHandoffVariable, nullptr);
  uint64_t lock = 0;
  uint64_t pipe = 0;
  if (value.length() != 2 * kHexWidth || !ReadHex(value.c_str(), &lock) ||
      !ReadHex(value.c_str() + kHexWidth, &pipe)) {
    return handoff;
  }
  handoff.lock = reinterpret_cast<void*>(static_cast<uintptr_t>(lock));
  handoff.outcome_pipe = reinterpret_cast<void*>(static_cast<uintptr_t>(pipe));
  return handoff;
}

void SendOutcome(Handoff& handoff, uint32_t code) {
  if (!handoff.outcome_pipe) return;
  uint8_t bytes[4];
  StoreU32(bytes, code);
  platform::WriteFileBytes(handoff.outcome_pipe, bytes, 4);
  platform::CloseFile(handoff.outcome_pipe);
  handoff.outcome_pipe = nullptr;
}

}  // namespace kiv
