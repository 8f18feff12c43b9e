// IniEntry, RegistryValue and Font records.
#include "run/record_actions.h"

namespace kiv {

// Not built yet: these records are passed over (the walk seeks to each
// record's back-link, so nothing depends on what an action reads).
void UndoIniEntry(LogReader&) {}
void UndoRegistryValue(LogReader&) {}
void RemoveFont(LogReader&) {}

}  // namespace kiv
