// The command line: what follows the program's own name.
//
// The remainder is empty for the confirmation mode; otherwise the uninstall
// file's full path, taken whole (inner and trailing blanks and any quotes
// stay). A remainder that starts with '/' holds switches first, separated by
// blanks, then the optional path: a full path never starts with '/', so no
// line that named a path before means anything else now.
//
//   /S                  silent: no box at all; the question counts as Yes
//                       (/VERYSILENT, /SUPPRESSMSGBOXES, /QUIET and /QN, as
//                       other installers spell it, mean the same)
//   /PASSIVE            as /S (no question, no last box, the same exit codes
//                       and report), with the progress window of the walk;
//                       /SILENT, /QB, /QB- and /QB! mean the same, as
//                       installers and the system installer take them
//   /LOG=path           a report of the run
//   /LOG="path"         the same, for a path with blanks
//   /LOG                a report in the temporary directory, named after the
//                       product and the time (the entry makes the name)
//   /NORESTART          accepted; changes nothing (no run restarts Windows)
//   /FORCE              a walk that leaves something (a refused deletion, a
//                       restore not done) takes the product off the list all
//                       the same; the uninstall file stays beside what is left
//                       under another name, which the report gives
//   /PLAN               a dry run: the walk says what it would do to each
//                       record and changes nothing (no copy, no registration
//                       removed, no restart entry)
//   "/LOG=path"         any switch in quotes as a whole, as shells quote a
//                       word with a blank
//
// Switch names are letters in any case. Anything else starting with '/' is an
// unknown switch, and so is a /LOG= with no path, with an unclosed quote, or
// with a quote inside a path not quoted: every path taken can be handed on
// quoted, and the copy reads the same.
#ifndef KIV_RUN_COMMAND_LINE_H_
#define KIV_RUN_COMMAND_LINE_H_

#include <stdint.h>

#include "base/fixed_string.h"
#include "base/path_rules.h"

namespace kiv {

// Returns a pointer into line at the start of the remainder (at its NUL when
// the remainder is empty).
//  - A line that begins with '"': the name runs to the next '"', which goes
//    with the name; inside the quotes a lead byte takes the following byte
//    with it. With no closing quote the remainder is empty.
//  - Otherwise the name runs up to the first byte of value 32 or less.
//  - Then every byte of value 1 to 32 is passed over.
const char* CommandLineRemainder(const char* line, LeadByteTest is_lead_byte);

// The switches as the unknown-switch box lists them, one a line.
inline constexpr char kSwitchHelp[] =
    "/S\tno message; the exit code tells the outcome\r\n"
    "/PASSIVE\t/S with progress\r\n"
    "/LOG=file\ta report of the run\r\n"
    "/PLAN\tsay what would be undone; change nothing\r\n"
    "/FORCE\tunlist even if something is left\r\n"
    "/NORESTART\taccepted: no run restarts Windows";

// What the switches ask of a run: the same in both processes of it (the
// confirmation hands them on, MakeHandoffRemainder).
struct RunOptions {
  // /S: no box; a product file held open is scheduled for the next start.
  bool silent = false;
  // /PLAN: every record is judged as the run would judge it, and nothing
  // changes; only the report is written.
  bool plan = false;
  // /LOG=: where the report goes (a full path, which the entry makes), or
  // null.
  const char* report = nullptr;
  // Not a switch: why the process that walks is not the temporary copy,
  // for the report's second line; null when it is the copy.
  const char* note = nullptr;
  // /FORCE: off the list even when the walk leaves something.
  bool unlist_anyway = false;
  // /PASSIVE (with silent): the walk shows its progress window all the
  // same. A run with boxes always shows it.
  bool progress = false;
};

struct Switches {
  RunOptions run;
  // The report's path as written (quotes taken off); empty when none.
  LongString log;
  // /LOG alone: a report where the entry puts it; log is then empty.
  bool log_default = false;
  // The uninstall file's path: the rest of the remainder, taken whole; at
  // its NUL when there is none (the confirmation mode).
  const char* path = "";
  // The first word that is no known switch (a pointer into the remainder,
  // running to the next blank), or null when every switch was known.
  const char* unknown = nullptr;
};

// Reads the switches at the start of remainder. Every word that starts with
// '/' is read, also after an unknown one, so that a silent run stays silent
// whatever else its line holds.
Switches ParseSwitches(const char* remainder, LeadByteTest is_lead_byte);

// What the confirmation hands its copy after the copy's own quoted path:
// the switches of run ("/S " or "/PASSIVE ", "/PLAN ", "/FORCE ", /LOG="report"),
// then own's path, unquoted (the copy takes its remainder whole).
using HandoffRemainder =
    FixedString<sizeof("/PASSIVE /PLAN /FORCE /LOG=\"\" ") + 2 * LongString::capacity()>;
// Builds it into *out and reads it back: true only when the copy would read
// the very switches and path meant. A run whose switches cannot be handed on
// unchanged is refused before anything changes.
bool MakeHandoffRemainder(const RunOptions& run, const char* own, LeadByteTest is_lead_byte,
                          HandoffRemainder* out);

// The length of the word that starts at word: up to the first byte of value
// 32 or less.
uint32_t WordLength(const char* word);

}  // namespace kiv

#endif  // KIV_RUN_COMMAND_LINE_H_
