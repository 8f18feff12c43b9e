#include "handoff/run_lock.h"

#include "platform/win32.h"
#include "uninstall_file/layout.h"

namespace kiv {

namespace {

constexpr char kLockPrefix[] = "KivUninstall-";
// The variable's value when there is no pipe: the heir only.
constexpr char kNoPipe[] = "-";

}  // namespace

void RunLockName(const char* canonical, ShortString* name) {
  // FNV-1a over the bytes: the name must stay short and free of backslashes
  // whatever the path, and two files of one machine never meet by chance.
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const char* p = canonical; *p; ++p) {
    hash = (hash ^ static_cast<uint8_t>(*p)) * 0x100000001B3ull;
  }
  char digits[17];
  for (int i = 15; i >= 0; --i) {
    digits[i] = "0123456789ABCDEF"[hash & 15];
    hash >>= 4;
  }
  digits[16] = '\0';
  name->Assign(kLockPrefix);
  name->Append(digits);
}

bool TakeRunLock(const char* path, bool heir) {
  LongString full;
  LongString canonical;
  if (!platform::FullPathName(path, full.data(), full.capacity())) full.Assign(path);
  if (!platform::ShortPathName(full.c_str(), canonical.data(), canonical.capacity())) {
    canonical.Assign(full.c_str());
  }
  platform::UpperCase(canonical.data(), canonical.length());
  ShortString name;
  RunLockName(canonical.c_str(), &name);
  // A lock that cannot be made at all guards nothing, and stops nothing.
  return platform::TakeNamedLock(name.c_str()) != platform::NamedLock::kHeld || heir;
}

bool HandoffSender::Prepare(bool wait_for_outcome) {
  ShortString value;
  value.Assign(kNoPipe);
  if (wait_for_outcome) {
    if (!platform::CreateInheritedPipe(&read_, &write_)) return false;
    platform::HandleText(write_, value.data(), value.capacity());
  }
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

uint32_t HandoffSender::WaitForOutcome(uint32_t if_silent) {
  uint8_t bytes[4];
  if (!read_ || platform::ReadFileBytes(read_, bytes, 4) != 4) return if_silent;
  return LoadU32(bytes);
}

Handoff TakeHandoff() {
  Handoff handoff;
  ShortString value;
  if (!platform::GetEnvironmentText(kHandoffVariable, value.data(), value.capacity())) {
    return handoff;
  }
  platform::SetEnvironmentText(kHandoffVariable, nullptr);
  handoff.heir = true;
  if (!EqualsIgnoreAsciiCase(value.c_str(), kNoPipe, sizeof(kNoPipe))) {
    handoff.outcome_pipe = platform::HandleFromText(value.c_str());
  }
  return handoff;
}

void SendOutcome(Handoff& handoff, uint32_t code) {
  if (!handoff.outcome_pipe) return;
  const uint8_t bytes[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                            static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
  platform::WriteFileBytes(handoff.outcome_pipe, bytes, 4);
  platform::CloseFile(handoff.outcome_pipe);
  handoff.outcome_pipe = nullptr;
}

}  // namespace kiv
