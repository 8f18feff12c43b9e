// IniEntry, RegistryValue and Font records: undo what the installer changed
// in configuration files, the registry and the font table.
//
// Each action reads its whole payload first and acts only on fields that
// came whole. A refused change leaves the setting as it is, says so in the
// step (with the system's reason, read at the call that failed), and the
// walk goes on.
#include "base/fixed_string.h"
#include "base/path_rules.h"
#include "platform/profile_text.h"
#include "platform/win32.h"
#include "ini/ini_cutter.h"
#include "run/record_actions.h"
#include "uninstall_file/names.h"

namespace kiv {

namespace {

constexpr char kFontsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Fonts";
// Where the NT family registers its fonts; the key above is read there by
// nothing but an installer written for the 95 family may still fill it.
constexpr char kNtFontsKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";

// The file as the profile functions find it: a bare file name (no directory,
// no drive) lies in the Windows directory, whatever the current directory;
// anything else is taken as given. False when the name does not fit.
// A lead byte's second byte is part of its letter, 0x5C or not.
bool ProfileFilePath(const char* file, PathString* out) {
  const bool bare =
      !(file[0] != '\0' && file[1] == ':') && LastSeparator(file, platform::IsLeadByte) < 0;
  if (!bare) return out->Assign(file);
  return platform::WindowsDirectory(out->data(), out->capacity()) && out->Append("\\") &&
         out->Append(file);
}

// Cuts the record's line from an open file in place. A file over the limit
// or that cannot be read whole is left as it is; so is one where nothing
// matched (not even rewritten, so its time stays).
void CutLineInOpenFile(platform::WholeFile handle, const char* section, const char* key,
                       const char* value, UndoStep& step) {
  uint32_t size = 0;
  if (!platform::WholeFileSeekEnd(handle, &size))
    return step.Set(Undone::kFailed, platform::LastError());
  if (size > kIniCutFileLimit) return step.Set(Undone::kFailed, kErrorInvalidData);
  if (size == 0) return step.Set(Undone::kAlreadyGone);  // no line to cut
  char* buffer = static_cast<char*>(platform::AllocateBuffer(size));
  uint32_t new_size = size;
  if (buffer == nullptr || !platform::WholeFileSeekStart(handle) ||
      platform::WholeFileRead(handle, buffer, size) != size) {
    step.Set(Undone::kFailed, platform::LastError());
  } else if (const IniCut cut =
                 CutIniLines(buffer, &new_size, section, key, value, platform::FoldProfileText);
             cut != IniCut::kCut) {
    // No line matched, or none can be told the record's: it stays.
    step.Set(cut == IniCut::kNone ? Undone::kAlreadyGone : Undone::kCannotCompare);
  } else if (step.plan) {
    step.Set(Undone::kRemoved);  // opened for writing: the cut would go in
  } else if (platform::WholeFileSeekStart(handle) &&
             platform::WholeFileWrite(handle, buffer, new_size) == new_size &&
             // The file is now shorter: drop the old bytes past its new end.
             platform::WholeFileTruncateHere(handle)) {
    step.Set(Undone::kRemoved);
  } else {
    step.Set(Undone::kFailed, platform::LastError());
  }
  platform::FreeBuffer(buffer);
}

// The same on the file by name; one that is not there has no line to cut.
void CutIniFileLine(const char* file, const char* section, const char* key, const char* value,
                    UndoStep& step) {
  const platform::WholeFile handle = platform::WholeFileOpenReadWrite(file);
  if (handle == platform::kNoWholeFile) {
    const uint32_t error = platform::LastError();
    if (!platform::PathExists(file)) return step.Set(Undone::kAlreadyGone);
    return step.Set(Undone::kFailed, error);
  }
  CutLineInOpenFile(handle, section, key, value, step);
  platform::WholeFileClose(handle);
}

}  // namespace

void UndoIniEntry(LogReader& reader, UndoStep& step) {
  ShortString file;
  ShortString section;
  ShortString key;
  ShortString prior;
  ShortString value;
  if (!reader.ReadString(file.data(), file.capacity()) ||
      !reader.ReadString(section.data(), section.capacity()) ||
      !reader.ReadString(key.data(), key.capacity()) ||
      !reader.ReadString(prior.data(), prior.capacity()) ||
      !reader.ReadString(value.data(), value.capacity())) {
    return step.Set(Undone::kFailed, kErrorInvalidData);
  }
  const bool cut = reader.ReadFlag();
  // A line cut names its section as the file spells the header.
  if (cut) {
    step.Describe(file.c_str(), " ", section.c_str(), " ", key.c_str());
  } else {
    step.Describe(file.c_str(), " [", section.c_str(), "] ", key.c_str());
  }
  // With no text the profile call removes the key from the section.
  const char* text =
      cut || SameBytes(prior.c_str(), kCreatedKeyMarker) ? nullptr : value.c_str();
  step.restores = text != nullptr;
  PathString path;
  const bool resolved = ProfileFilePath(file.c_str(), &path);
  if (resolved) {
    if (const Undone pass_over = PassedOver(step, path.c_str()); pass_over != Undone::kNoAction) {
      return step.Set(pass_over);
    }
  }
  if (resolved && PathCrossesReparsePoint(path.c_str(), true)) {
    return step.Set(Undone::kThroughLink);
  }
  if (cut) {
    if (!resolved) return step.Set(Undone::kFailed, kErrorInvalidData);
    // The file's lines are in the system's code page (platform/profile_text.h).
    ShortString* names[] = {&section, &key, &value};
    for (ShortString* name : names) {
      if (!platform::ToProfileText(name->data(), name->data(), name->capacity())) {
        return step.Set(Undone::kUnspellable);
      }
    }
    return CutIniFileLine(path.c_str(), section.c_str(), key.c_str(), value.c_str(), step);
  }
  // A key to remove that the profile functions do not find (its file or
  // directory gone, or a section the system keeps elsewhere that lacks it)
  // is gone; a value to put back into a file that is gone has nowhere to
  // go, and no file is made for it. The plan asks the same.
  if (text ? resolved && !platform::PathExists(path.c_str())
           : !platform::ProfileKeyExists(section.c_str(), key.c_str(), file.c_str())) {
    return step.Set(Undone::kAlreadyGone);
  }
  uint32_t error = 0;
  if (step.plan) {
    // The profile call writes the file, or makes it in its directory.
    if (resolved) error = platform::WriteRefusal(path.c_str());
  } else if (!platform::WriteProfileString(section.c_str(), key.c_str(), text, file.c_str())) {
    error = platform::LastError();
  }
  if (error != 0) return step.Set(Undone::kFailed, error);
  step.Set(text ? Undone::kRestored : Undone::kRemoved);
}

void UndoRegistryValue(LogReader& reader, UndoStep& step) {
  ShortString root;
  LongString path;
  LongString data;
  if (!reader.ReadString(root.data(), root.capacity()) ||
      !reader.ReadString(path.data(), path.capacity())) {
    return step.Set(Undone::kFailed, kErrorInvalidData);
  }
  const bool set = reader.ReadFlag();
  step.restores = set;
  if (set && !reader.ReadString(data.data(), data.capacity())) {
    return step.Set(Undone::kFailed, kErrorInvalidData);
  }
  step.Describe(root.c_str(), "\\", path.c_str());

  const int index = RootIndex(root.c_str());
  if (index < 0) return step.Set(Undone::kFailed, kErrorInvalidData);
  const platform::RegKey root_key = platform::RootKey(static_cast<uint32_t>(index));

  // Key path and value name meet at the last backslash; with none, the whole
  // path is the key and its default value (the empty name) is meant.
  char* text = path.data();
  const int32_t last = LastBackslash(text, platform::IsLeadByte);
  const char* name = "";
  if (last >= 0) {
    text[last] = '\0';
    name = text + last + 1;
  }

  // The key as the plan's table names it: the root, then the key path.
  LongString key_name;
  const bool named = key_name.Assign(root.c_str()) && key_name.Append("\\") &&
                     key_name.Append(text);
  const bool key_gone = named && IsPlanned(step, Planned::kKeyGone, key_name.c_str(), false);
  platform::RegKey key = nullptr;
  if (key_gone || !platform::RegOpenFullAccess(root_key, text, &key)) {
    const uint32_t error = key_gone ? kErrorFileNotFound : platform::LastError();
    // A value whose key is gone is gone with it; one to put back has no key
    // to go into, and no key is made for it.
    if (error == kErrorFileNotFound) return step.Set(Undone::kAlreadyGone);
    return step.Set(Undone::kFailed, error);
  }
  if (set) {
    if (step.plan || platform::RegSetString(key, name, data.c_str(), data.length() + 1)) {
      step.Set(Undone::kRestored);
    } else {
      step.Set(Undone::kFailed, platform::LastError());
    }
    platform::RegClose(key);
    return;
  }
  // A value already gone is no error: the emptiness test follows all the same.
  LongString value_name;
  const bool value_named = named && value_name.Assign(key_name.c_str()) &&
                           value_name.Append("\\") && value_name.Append(name);
  if (step.plan) {
    if ((value_named && IsPlanned(step, Planned::kValueGone, value_name.c_str(), false)) ||
        !platform::RegValueExists(key, name)) {
      step.Set(Undone::kAlreadyGone);
    } else {
      step.Set(Undone::kRemoved);
      if (value_named) NotePlanned(step, Planned::kValueGone, value_name.c_str(), false);
      if (named && step.planned) step.planned->Count(key_name.c_str(), key_name.length());
    }
  } else if (platform::RegDeleteValueNamed(key, name)) {
    step.Set(Undone::kRemoved);
  } else if (const uint32_t error = platform::LastError(); error == kErrorFileNotFound) {
    step.Set(Undone::kAlreadyGone);
  } else {
    step.Set(Undone::kFailed, error);
  }
  uint32_t subkeys = 0;
  uint32_t values = 0;
  platform::RegQueryCounts(key, &subkeys, &values);
  platform::RegClose(key);
  // What the plan removed from the key is gone by now.
  const uint32_t removed = step.plan && named && step.planned
                               ? step.planned->CountOf(key_name.c_str(), key_name.length())
                               : 0;
  // An empty key path opened the root itself, which is never deleted.
  if (subkeys + values > removed || text[0] == '\0') return;
  if (!step.plan) {
    // A key that stays (its access list denies the deletion) is no more gone
    // than the value was: the report says it stays, and why.
    if (!platform::RegDeleteKeyPath(root_key, text) &&
        platform::LastError() != kErrorFileNotFound) {
      step.Set(Undone::kFailed, platform::LastError());
    }
    return;
  }
  // The key goes: gone for later records, one entry less in its parent.
  NotePlanned(step, Planned::kKeyGone, key_name.c_str(), false);
  const int32_t up = LastBackslash(key_name.c_str(), platform::IsLeadByte);
  if (step.planned && up > 0 && LastBackslash(text, platform::IsLeadByte) >= 0) {
    step.planned->Count(key_name.c_str(), static_cast<uint32_t>(up));
  }
}

void UndoFont(LogReader& reader, UndoStep& step) {
  ShortString name;
  ShortString file;
  if (!reader.ReadString(name.data(), name.capacity()) ||
      !reader.ReadString(file.data(), file.capacity())) {
    return step.Set(Undone::kFailed, kErrorInvalidData);
  }
  step.Describe(name.c_str(), " (", file.c_str(), ")");
  // Removed when the font was loaded or registered; gone when neither.
  // A plan sees the registrations only: a font loaded for this session
  // alone shows nowhere a question could find it.
  step.Set(!step.plan && platform::RemoveFont(file.c_str()) ? Undone::kRemoved
                                                             : Undone::kAlreadyGone);

  // A name with no room left for the suffix would name another value once
  // cut, so the registration is left alone.
  ShortString value_name;
  if (!value_name.Assign(name.c_str()) || !value_name.Append(kTrueTypeSuffix)) return;
  constexpr const char* kKeys[] = {kNtFontsKey, kFontsKey};
  for (const char* key_path : kKeys) {
    if (key_path == kNtFontsKey && platform::IsWindows95Family()) continue;
    platform::RegKey key = nullptr;
    if (!platform::RegOpenFullAccess(platform::RootKey(kLocalMachineRoot), key_path, &key))
      continue;
    if (step.plan ? platform::RegValueExists(key, value_name.c_str())
                  : platform::RegDeleteValueNamed(key, value_name.c_str())) {
      step.Set(Undone::kRemoved);
    }
    platform::RegClose(key);
  }
}

}  // namespace kiv
