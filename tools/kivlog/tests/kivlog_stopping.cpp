// kivlog append with a kill played inside it, for the tests only (never
// shipped):
//
//   kivlog_stopping writes:N FILE MANIFEST   ends after the append's first N writes
//   kivlog_stopping bytes:N FILE MANIFEST    ends once N bytes are written
//
// The process ends at once with exit code 3, as a killed one would: no
// cleanup, no flush. An append that ends before the stop exits as kivlog
// append does. Exit code 2: the arguments are not as above.
#include <stdint.h>
#include <stdlib.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "commands.h"
#include "file_ops.h"
#include "uninstall_file/layout.h"

namespace {

constexpr int kStopped = 3;

// The LockedFile of a real append, counting its writes and bytes and ending
// the process at the stop.
class StoppingFile final : public kivlog::LockedFile {
 public:
  StoppingFile(std::optional<uint64_t> after_writes, std::optional<uint64_t> after_bytes)
      : after_writes_(after_writes), after_bytes_(after_bytes) {}

  bool WriteAt(uint64_t offset, const void* data, size_t size, std::string* why) override {
    if (after_writes_ && writes_ == *after_writes_) std::_Exit(kStopped);
    if (after_bytes_ && bytes_ + size > *after_bytes_) {
      // A write of a trailer lies within one block and is never torn by a
      // kill or a crash (a disk writes a sector whole): stop before it.
      // Anything longer may end at any byte.
      if (size > kiv::kTrailerSize) {
        LockedFile::WriteAt(offset, data, static_cast<size_t>(*after_bytes_ - bytes_), why);
      }
      std::_Exit(kStopped);
    }
    if (!LockedFile::WriteAt(offset, data, size, why)) return false;
    ++writes_;
    bytes_ += size;
    return true;
  }

 private:
  std::optional<uint64_t> after_writes_, after_bytes_;
  uint64_t writes_ = 0, bytes_ = 0;
};

std::optional<uint64_t> Count(const std::string& text, const std::string& prefix) {
  if (text.rfind(prefix, 0) != 0 || text.size() == prefix.size()) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = prefix.size(); i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || value > (UINT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: kivlog_stopping writes:N|bytes:N FILE MANIFEST\n";
    return kivlog::kExitUsage;
  }
  const std::optional<uint64_t> writes = Count(argv[1], "writes:");
  const std::optional<uint64_t> bytes = Count(argv[1], "bytes:");
  if (!writes && !bytes) {
    std::cerr << "kivlog_stopping: " << argv[1] << " is not writes:N or bytes:N\n";
    return kivlog::kExitUsage;
  }
  StoppingFile file(writes, bytes);
  return kivlog::Append(argv[2], argv[3], file, std::cout, std::cerr);
}
