// ShellItem and ShellGroup records: Program Manager through DDE.
#include "run/record_actions.h"

namespace kiv {

// Not built yet: these records are passed over.
void RemoveShellItem(LogReader&) {}
void RemoveShellGroup(LogReader&) {}

}  // namespace kiv
