#include "handoff/confirmation.h"

#include "base/exit_codes.h"
#include "handoff/handoff_channel.h"
#include "handoff/temporary_copy.h"
#include "base/fixed_string.h"
#include "platform/win32.h"
#include "uninstall_file/log_reader.h"

namespace kiv {

Confirmation ConfirmationMode(const char* own, int show_code, const HandoffOptions& options,
                              uint32_t* walk_code) {
  LongString prompt;
  {
    LogReader reader(own, platform::IsLeadByte);
    // The check judges the display name by the code page the file names.
    if (reader.CheckChain().damage != Damage::kNone) {
      platform::ShowDamagedMessage();
      return Confirmation::kDamaged;
    }
    LongString format;
    // The display name is at most 255 bytes and the prompt about 80, so the
    // formatted text always fits its 1,024 bytes.
    if (!platform::LoadStringResource(kPromptResourceId, format.data(), format.capacity()) ||
        !Format1(prompt, format.c_str(), reader.display_name())) {
      platform::ShowDamagedMessage();
      return Confirmation::kDamaged;
    }
    // The question shows the name as written, in the file's code page.
    platform::SetNamesCodePage(reader.code_page());
    const bool declined =
        !options.silent &&
        platform::ShowMessage(prompt.c_str(), platform::kBoxYesNo | platform::kIconQuestion) !=
            platform::BoxAnswer::kYes;
    platform::SetNamesCodePage(0);
    if (declined) return Confirmation::kDeclined;
  }  // the reader closes our own file before it is copied

  TemporaryPath copy;
  // Held until the copy has started: nobody can swap its directory before.
  platform::HeldDirectory held;
  if (MakeTemporaryCopy(own, &copy, &held)) {
    // The copy's path quoted (the temporary directory may hold a blank), one
    // blank, then our switches and our own path.
    LaunchLine line;
    HandoffSender handoff;
    if (line.Append("\"") && line.Append(copy.c_str()) && line.Append("\" ") &&
        line.Append(options.remainder) && handoff.Prepare(options.lock, options.silent) &&
        platform::StartProcess(line.data(), show_code, true)) {
      handoff.Started();
      held.Release();
      if (options.silent) *walk_code = handoff.WaitForOutcome(kExitFailed);
      return Confirmation::kHandedOff;
    }
    handoff.Abandon();
    held.Release();
    RemoveTemporaryCopy(copy.c_str());
  }
  // No copy could be made or started: the user said Yes, so the product is
  // removed from this process.
  return Confirmation::kRunHere;
}

}  // namespace kiv
