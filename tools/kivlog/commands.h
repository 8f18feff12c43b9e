// kivlog's commands and its command line. Each command prints its result on
// the output stream, and on failure one line on the error stream naming the
// offset or the manifest field at fault, and returns the exit code.
#ifndef KIVLOG_COMMANDS_H_
#define KIVLOG_COMMANDS_H_

#include <stdint.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kivlog {

// Exit codes; never reuse one for another meaning.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // damaged or invalid input, or output not written
inline constexpr int kExitUsage = 2;
// An append stopped by KIVLOG_APPEND_STOP_AFTER, which tests use to play an
// installer that dies after k records. The process ends at once, as if killed.
inline constexpr int kExitCutOff = 3;

// The largest uninstall file: the stub's stream seeks with a signed 32-bit
// offset.
inline constexpr uint64_t kMaxFileSize = 0x7FFFFFFF;

int Build(const std::string& manifest_path, const std::string& stub_path,
          const std::string& out_path, std::ostream& out, std::ostream& err);
int List(const std::string& path, bool json, uint32_t code_page, std::ostream& out,
         std::ostream& err);
int Check(const std::string& path, std::ostream& out, std::ostream& err);
// stop_after: end the process (kExitCutOff) once that many records are in.
int Append(const std::string& path, const std::string& manifest_path,
           std::optional<uint64_t> stop_after, std::ostream& out, std::ostream& err);

// The whole command line, without the program name.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kivlog

#endif  // KIVLOG_COMMANDS_H_
