// kivlog's commands and its command line. Each command prints what it
// shows on the output stream (build and append show nothing but their JSON
// with --json) and each fault as one line on the error stream, naming the
// offset or the manifest field at fault; build, append and check name every
// fault and warning they find (diagnostics.h), list and unpack stop at the
// first. Each returns the exit code. One file per command: build.cpp, inspect.cpp (list and
// check), unpack.cpp, append.cpp; cli.cpp reads the command line.
#ifndef KIVLOG_COMMANDS_H_
#define KIVLOG_COMMANDS_H_

#include <stdint.h>

#include <ostream>
#include <string>
#include <vector>

#include "diagnostics.h"

namespace kivlog {

// Exit codes; never reuse one for another meaning.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // damaged or invalid input, or output not written
inline constexpr int kExitUsage = 2;

class LockedFile;  // file_ops.h

// Every command refuses to write a file over kiv::kMaxUninstallFileSize,
// which the stub's reader would refuse as damaged.

// build and append gather every fault and warning of the run and tell them
// at the end (diagnostics.h); policy says what warnings do and whether they
// come as JSON on the output stream.
int Build(const std::string& manifest_path, const std::string& stub_path,
          const std::string& out_path, const WarningPolicy& policy, std::ostream& out,
          std::ostream& err);
// The same from the manifest's text (no saved content: there is no
// directory to take a relative content file from), for the library.
int BuildText(const std::string& manifest_text, const std::string& stub_path,
              const std::string& out_path, const WarningPolicy& policy, std::ostream& out,
              std::ostream& err);
int List(const std::string& path, bool json, uint32_t code_page, std::ostream& out,
         std::ostream& err);
// The stub's check, then the rules build applies (rules.h): every fault with
// its record and offset.
int Check(const std::string& path, uint32_t code_page, const WarningPolicy& policy,
          std::ostream& out, std::ostream& err);
// Writes DIR/manifest.json, DIR/stub.exe and DIR/saved/N.bin: what build
// takes to make the same file again (for a file build wrote, the same bytes).
int Unpack(const std::string& path, const std::string& out_dir, uint32_t code_page,
           std::ostream& out, std::ostream& err);
// Adds the manifest's records in one transaction: the file holds either the
// old records or all of them wherever the process stops.
int Append(const std::string& path, const std::string& manifest_path, std::ostream& out,
           std::ostream& err);
// The same through file, a LockedFile not yet open (Append opens it on path):
// every write and flush of the append goes through it.
int Append(const std::string& path, const std::string& manifest_path, LockedFile& file,
           std::ostream& out, std::ostream& err);
int Append(const std::string& path, const std::string& manifest_path,
           const WarningPolicy& policy, LockedFile& file, std::ostream& out, std::ostream& err);

// The whole command line, without the program name.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kivlog

#endif  // KIVLOG_COMMANDS_H_
