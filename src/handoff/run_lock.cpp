#include "handoff/run_lock.h"

#include "platform/win32.h"
#include "uninstall_file/layout.h"

namespace kiv {

namespace {

constexpr char kLockPrefix[] = "KivUninstall-";
// The variable's value when there is no pipe: the heir only.
constexpr char kNoPipe[] = "-";

constexpr char kHexDigits[] = "0123456789ABCDEF";
// As many hex digits as a value of its type has: the lock's hash, a handle.
constexpr uint32_t kHexWidth = 2 * sizeof(uint64_t);

// Appends value as kHexWidth hex digits, capitals, the most significant first.
void AppendHex(uint64_t value, ShortString* out) {
  char digits[kHexWidth + 1];
  for (uint32_t i = kHexWidth; i > 0; --i) {
    digits[i - 1] = kHexDigits[value & 15];
    value >>= 4;
  }
  digits[kHexWidth] = '\0';
  out->Append(digits);
}

// The value of a text of hex digits (capitals); null for any other text. A
// handle's value is the same in the process that inherits it.
void* HandleFromHex(const char* text) {
  uintptr_t value = 0;
  for (; *text; ++text) {
    uint32_t digit = 0;
    while (digit < 16 && kHexDigits[digit] != *text) ++digit;
    if (digit == 16) return nullptr;
    value = (value << 4) | digit;
  }
  return reinterpret_cast<void*>(value);
}

}  // namespace

void RunLockName(const char* canonical, ShortString* name) {
  // FNV-1a over the bytes: the name must stay short and free of backslashes
  // whatever the path, and two files of one machine never meet by chance.
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const char* p = canonical; *p; ++p) {
    hash = (hash ^ static_cast<uint8_t>(*p)) * 0x100000001B3ull;
  }
  name->Assign(kLockPrefix);
  AppendHex(hash, name);
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
    value.Clear();
    AppendHex(reinterpret_cast<uintptr_t>(write_), &value);
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
    handoff.outcome_pipe = HandleFromHex(value.c_str());
  }
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
