// The report's words on who holds a file that could not be deleted, from
// what the system said (platform::AskWhoHolds):
//   held by: notepad.exe (process 412), setup.exe (process 88)
//   held by: 9 programs (too many to name)
//   held by: cannot tell (no Restart Manager)
//   held by: cannot tell (Restart Manager error 29)
//   held by: cannot tell (the Restart Manager names no program)
// A program the system gave no name for shows as "(process <id>)"; programs
// whose names no longer fit are summed up as "and <k> more". Pure: the host
// tests it.
#ifndef KIV_RUN_HELD_BY_H_
#define KIV_RUN_HELD_BY_H_

#include "base/fixed_string.h"
#include "platform/win32.h"

namespace kiv {

void DescribeHolders(const platform::FileHolders& holders, ShortString* out);

}  // namespace kiv

#endif  // KIV_RUN_HELD_BY_H_
