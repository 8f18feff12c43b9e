// Where a file's stub and its records disagree, as far as the bytes tell:
// a per-user stub (manifest asInvoker) never has administrator rights, so a
// record it could only undo with them stays behind (and, a record having
// failed, so do the uninstall file and the registration); an x86_64 stub
// has no Sysnative directory. build and check warn of each, and refuse with
// --strict. A stub whose kind is unknown draws no warning.
#ifndef KIVLOG_STUB_RULES_H_
#define KIVLOG_STUB_RULES_H_

#include <stddef.h>

#include <string>
#include <vector>

#include "manifest.h"
#include "stub_kind.h"

namespace kivlog {

struct StubWarning {
  size_t record = 0;    // its index in the manifest (installation order)
  std::string field;    // "root", "path", "file", "name"
  std::string message;  // what the stub cannot do with it, and what to do
};

// The same rules a record at a time: index is the record's in the
// manifest's order; its warnings are added to warnings.
class StubRules {
 public:
  explicit StubRules(const StubKind& stub);
  void Record(size_t index, const ManifestRecord& record, std::vector<StubWarning>* warnings) const;

 private:
  StubKind stub_;
  std::string who_;
  bool per_user_;
  std::string admin_only_;
};

// records in the manifest's order.
std::vector<StubWarning> StubWarnings(const StubKind& stub,
                                      const std::vector<ManifestRecord>& records);

}  // namespace kivlog

#endif  // KIVLOG_STUB_RULES_H_
