// The undo actions, one per record type. The walk calls each with the reader
// positioned at the record's payload; each reads its own fields and acts.
// None reports a result: a step that fails is skipped and the walk goes on.
// A field that cannot be read whole (cut or unterminated) is never acted on.
#ifndef KIV_RUN_RECORD_ACTIONS_H_
#define KIV_RUN_RECORD_ACTIONS_H_

#include "uninstall_file/log_reader.h"

namespace kiv {

// Directories and files.
void UndoDirectory(LogReader& reader);
void UndoFile(LogReader& reader);
// Puts back a replaced file: saved time, length, content, from the reader.
void RestoreFile(LogReader& reader, const char* path);

// Settings.
void UndoIniEntry(LogReader& reader);
void UndoRegistryValue(LogReader& reader);
void RemoveFont(LogReader& reader);

// Program Manager.
void RemoveShellItem(LogReader& reader);
void RemoveShellGroup(LogReader& reader);

}  // namespace kiv

#endif  // KIV_RUN_RECORD_ACTIONS_H_
