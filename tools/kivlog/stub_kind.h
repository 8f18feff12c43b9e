// What kivlog can tell of a stub from its bytes alone: the processor it was
// built for (the PE header's machine field) and whether it runs per machine
// or per user (its manifest's requested execution level). A stub of unknown
// kind (no manifest, another processor, damaged headers) is simply unknown:
// nothing here refuses a file.
//
// Pure: every offset and size read from the bytes is checked against them
// before it is used.
#ifndef KIVLOG_STUB_KIND_H_
#define KIVLOG_STUB_KIND_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace kivlog {

enum class StubMachine { kUnknown, kI686, kX86_64 };

// The manifest's <requestedExecutionLevel level="...">.
enum class StubLevel {
  kUnknown,               // no manifest, or no level in it, or another word
  kRequireAdministrator,  // the per-machine stubs
  kHighestAvailable,
  kAsInvoker,  // the per-user stubs: never elevated
};

struct StubKind {
  StubMachine machine = StubMachine::kUnknown;
  StubLevel level = StubLevel::kUnknown;
};

// bytes: the start of a stub or of an uninstall file (its image comes first).
StubKind ReadStubKind(const uint8_t* bytes, size_t size);
inline StubKind ReadStubKind(const std::string& bytes) {
  return ReadStubKind(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
// The same from the first max_bytes of the file at path; unknown when it
// cannot be read.
StubKind ReadStubKindOfFile(const std::string& path, size_t max_bytes);

// "i686", "x86_64"; "" when unknown.
const char* MachineName(StubMachine machine);
// The level as the manifest spells it; "" when unknown.
const char* LevelName(StubLevel level);
// "the x86_64 per-user stub (asInvoker)", "the i686 per-machine stub
// (requireAdministrator)", or what of it is known.
std::string DescribeStub(const StubKind& kind);

}  // namespace kivlog

#endif  // KIVLOG_STUB_KIND_H_
