// kivlog's manifest parser over any text, and what a parsed manifest builds.
//
// Invariants:
//  - the parser never throws, whatever the text;
//  - the display name is the only difference between the two modes: a
//    manifest that parses when the name is required parses the same when it
//    is optional, and one that parses without a name fails only for it;
//  - every field a parsed manifest holds is within the writer's limits and
//    well formed in its code page: each record goes in, and the file built
//    from them as kivlog builds it (naming the manifest's code page) is sound
//    to the stub's check, with one record per manifest record, the type-0
//    record and the code-page record;
//  - read back as the uninstall walks it, every record carries exactly the
//    manifest's bytes, last record first.
#include <stdint.h>

#include <string>
#include <vector>

#include "base/code_page_text.h"
#include "common/memory_source.h"
#include "fuzz_check.h"
#include "manifest.h"
#include "record_walk.h"
#include "uninstall_file/log_reader.h"
#include "uninstall_file/log_writer.h"

namespace {

using kiv::RecordType;
using kivlog::DisplayName;
using kivlog::Manifest;
using kivlog::ManifestRecord;

// Used when the manifest names none (kivlog append keeps the file's own).
constexpr char kDefaultName[] = "Kiv Fuzz";

class StringSink final : public kiv::ByteSink {
 public:
  bool Write(const void* data, uint32_t size) override {
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  uint32_t Position() const override { return static_cast<uint32_t>(bytes.size()); }
  std::string bytes;
};

// The saved copy stands for itself: its content is the content file's name.
std::string SavedContent(const kivlog::SavedContent& saved) { return saved.content_file; }

bool Write(kiv::LogWriter& writer, const ManifestRecord& r) {
  if (r.type != RecordType::kFile || !r.saved) return kivlog::WriteFieldRecord(writer, r);
  const std::string content = SavedContent(*r.saved);
  return writer.AddRestoredFile(r.path.c_str(), r.saved->time.value_or(0), content.data(),
                                static_cast<uint32_t>(content.size()));
}

// What the walk must read from a record written for r.
kiv::fuzz::Walked Expected(const ManifestRecord& r) {
  kiv::fuzz::Walked w;
  w.type = static_cast<uint16_t>(r.type);
  switch (r.type) {
    case RecordType::kDirectory: w.strings = {r.path}; break;
    case RecordType::kFile:
      w.strings = {r.path};
      w.flag = r.saved.has_value();
      if (w.flag) {
        const std::string content = SavedContent(*r.saved);
        uint8_t fixed[kiv::kSavedFixedSize];
        const uint64_t time = r.saved->time.value_or(0);
        kiv::StoreSavedFixed(fixed, time, static_cast<uint32_t>(content.size()));
        w.saved.assign(reinterpret_cast<const char*>(fixed), sizeof(fixed));
        w.saved += content;
      }
      break;
    case RecordType::kIniEntry:
      w.strings = {r.file, r.section, r.key, r.prior, r.value};
      w.flag = r.flag;
      break;
    case RecordType::kRegistryValue:
      w.strings = {r.root, r.path};
      w.flag = r.data.has_value();
      if (r.data) w.strings.push_back(*r.data);
      break;
    case RecordType::kFont: w.strings = {r.name, r.file}; break;
    case RecordType::kShellItem: w.strings = {r.group, r.item}; break;
    case RecordType::kShellGroup: w.strings = {r.group}; break;
    case RecordType::kUnused5:
    case RecordType::kEndOfLog: break;
  }
  return w;
}

bool Marked(const Manifest& manifest) {
  return manifest.code_page != 0 && manifest.code_page_record;
}

// The uninstall file the manifest describes, over a stand-in image.
std::string Build(const Manifest& manifest) {
  StringSink sink;
  sink.bytes.assign("MZ stand-in image", 17);
  kiv::LogWriter writer(sink);
  // As kivlog build writes it: the code-page record when the manifest
  // names a code page and does not keep it out.
  KIV_FUZZ_CHECK(Marked(manifest) ? writer.BeginInCodePage(manifest.code_page) : writer.Begin());
  for (const ManifestRecord& r : manifest.records) KIV_FUZZ_CHECK(Write(writer, r));
  KIV_FUZZ_CHECK(
      writer.Finish(manifest.display_name ? manifest.display_name->c_str() : kDefaultName));
  return sink.bytes;
}

void ReadBack(const Manifest& manifest, const std::string& bytes) {
  kiv::testing_support::MemorySource file(bytes.data(), bytes.size());
  kiv::LogReader reader(file);
  // A display name whose double-byte letter ends in 0x5C (表 in code page
  // 932) holds a backslash to the reader until the chain names the code page.
  KIV_FUZZ_CHECK(reader.usable() ||
                 (Marked(manifest) && kiv::LeadsDoubleByte(manifest.code_page, 0x81) &&
                  reader.damage() == kiv::Damage::kNameInvalid));
  const kiv::ChainVerdict verdict = reader.CheckChain();
  KIV_FUZZ_CHECK(verdict.damage == kiv::Damage::kNone);
  KIV_FUZZ_CHECK(reader.usable());
  KIV_FUZZ_CHECK(std::string(reader.display_name()) ==
                 manifest.display_name.value_or(kDefaultName));
  // The type-0 record, and the code-page record when the file names one.
  const size_t own = Marked(manifest) ? 2 : 1;
  KIV_FUZZ_CHECK(verdict.records == manifest.records.size() + own);
  KIV_FUZZ_CHECK(reader.code_page() == (Marked(manifest) ? manifest.code_page : 0));

  std::vector<kiv::fuzz::Walked> walked;
  KIV_FUZZ_CHECK(kiv::fuzz::Walk(reader, &walked));
  KIV_FUZZ_CHECK(walked.size() == manifest.records.size() + own);
  for (size_t i = 0; i < manifest.records.size(); ++i) {
    const kiv::fuzz::Walked& got = walked[manifest.records.size() - 1 - i];
    const kiv::fuzz::Walked want = Expected(manifest.records[i]);
    KIV_FUZZ_CHECK(got.type == want.type);
    KIV_FUZZ_CHECK(got.all_whole);
    KIV_FUZZ_CHECK(got.strings == want.strings);
    KIV_FUZZ_CHECK(got.flag == want.flag);
    KIV_FUZZ_CHECK(got.saved == want.saved);
  }
  if (Marked(manifest)) {
    const kiv::fuzz::Walked& record = walked[walked.size() - 2];
    KIV_FUZZ_CHECK(record.type == kiv::kCodePageType);
    uint8_t code_page[kiv::kCodePagePayloadSize];
    kiv::StoreU32(code_page, manifest.code_page);
    KIV_FUZZ_CHECK(record.strings.size() == 1 &&
                   record.strings[0] == std::string(reinterpret_cast<char*>(code_page), 4));
  }
  KIV_FUZZ_CHECK(walked.back().type == static_cast<uint16_t>(RecordType::kEndOfLog));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const kivlog::ManifestResult optional = kivlog::ParseManifest(text, DisplayName::kOptional);
  const kivlog::ManifestResult required = kivlog::ParseManifest(text, DisplayName::kRequired);

  if (required.manifest) {
    KIV_FUZZ_CHECK(required.manifest->display_name.has_value());
    KIV_FUZZ_CHECK(optional.manifest.has_value());
  }
  if (!optional.manifest) {
    KIV_FUZZ_CHECK(!required.manifest);
    KIV_FUZZ_CHECK(!optional.error.message.empty());
    return 0;
  }
  const Manifest& manifest = *optional.manifest;
  if (manifest.display_name) {
    KIV_FUZZ_CHECK(required.manifest.has_value());
  } else {
    KIV_FUZZ_CHECK(!required.manifest && required.error.field == "display_name");
  }

  const std::string bytes = Build(manifest);
  if (required.manifest) KIV_FUZZ_CHECK(Build(*required.manifest) == bytes);
  ReadBack(manifest, bytes);
  return 0;
}
