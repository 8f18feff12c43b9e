// kivlog build: the stub, then the manifest's records, display name and
// trailer, written beside the output and renamed over it when complete.
#include <stdio.h>
#include <string.h>

#include <utility>
#include <vector>

#include "command_common.h"
#include "commands.h"
#include "file_ops.h"
#include "stub_rules.h"
#include "uninstall_file/signature_part.h"

namespace kivlog {

namespace {

// A ByteSink over a stdio file, counting the absolute position itself.
class FileSink final : public kiv::ByteSink {
 public:
  FileSink(FILE* file, uint32_t position) : file_(file), position_(position) {}
  bool Write(const void* data, uint32_t size) override {
    if (size == 0) return true;
    if (fwrite(data, 1, size, file_) != size) return false;
    position_ += size;
    return true;
  }
  uint32_t Position() const override { return position_; }

 private:
  FILE* file_;
  uint32_t position_;
};

// An MZ header whose e_lfanew names a "PE\0\0" signature inside the file.
bool IsPeImage(const std::string& bytes) {
  if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  const uint32_t pe = kiv::LoadU32(reinterpret_cast<const uint8_t*>(bytes.data()) + 0x3C);
  return pe <= bytes.size() - 4 && memcmp(bytes.data() + pe, "PE\0\0", 4) == 0;
}

bool EndsWithSignature(const std::string& bytes) {
  return bytes.size() >= kiv::kTrailerSize &&
         memcmp(bytes.data() + bytes.size() - kiv::kSignatureSize, kiv::kSignature,
                kiv::kSignatureSize) == 0;
}

// The output is written beside and renamed over: were it one of the inputs,
// that input would be lost.
bool OutputIsNoInput(const std::string& out_path, const std::string& manifest_path,
                     const std::string& stub_path, const Prepared& prepared, std::ostream& err) {
  std::vector<std::pair<std::string, std::string>> inputs = {{manifest_path, "the manifest"},
                                                             {stub_path, "the stub"}};
  for (size_t i = 0; i < prepared.saved.size(); ++i) {
    if (prepared.saved[i]) {
      inputs.push_back(
          {prepared.saved[i]->path, "the saved content of records[" + std::to_string(i) + "]"});
    }
  }
  for (const auto& [input, what] : inputs) {
    if (SameFile(out_path, input)) {
      Error(err, out_path + ": is " + what + "; name another output");
      return false;
    }
  }
  return true;
}

// The bare stub: a Windows executable that is not already an uninstall file.
// A signed stub's signature part must be sound and end the file: the log
// goes inside it (*signed_stub true, *part filled).
bool ReadStub(const std::string& stub_path, std::string* bytes, bool* signed_stub,
              kiv::SignaturePart* part, std::ostream& err) {
  std::string why;
  if (!RefuseIrregular(stub_path, err)) return false;
  if (!ReadWholeFile(stub_path, bytes, &why)) {
    Error(err, stub_path + ": cannot read: " + why);
    return false;
  }
  if (!IsPeImage(*bytes)) {
    Error(err,
          stub_path +
              ": not a Windows executable (no MZ and PE headers); give the stub, kivuninst.exe");
    return false;
  }
  if (EndsWithSignature(*bytes)) {
    Error(err, stub_path +
                   ": already an uninstall file (it ends with the signature); give the bare stub");
    return false;
  }
  const auto layout = kiv::ReadSignaturePart(reinterpret_cast<const uint8_t*>(bytes->data()),
                                             bytes->size(), part);
  if (layout == kiv::SignatureLayout::kUnsound) {
    Error(err, stub_path +
                   ": its signature part (security directory and certificate table) cannot be "
                   "read soundly; sign the stub again");
    return false;
  }
  *signed_stub = layout == kiv::SignatureLayout::kSigned;
  if (*signed_stub && static_cast<uint64_t>(part->table_offset) + part->table_size != bytes->size()) {
    Error(err, stub_path + ": its certificate table does not end the file; sign the stub again");
    return false;
  }
  return true;
}

// A signed stub's table ends the file and stays a multiple of 8 long: the
// zeros between the display name's NUL and the trailer that make it so.
uint32_t SignedPadding(bool signed_stub, uint64_t unpadded_total) {
  if (!signed_stub) return 0;
  return static_cast<uint32_t>((kiv::kCertificateAlignment - unpadded_total % kiv::kCertificateAlignment) %
                               kiv::kCertificateAlignment);
}

// The size of the file build writes: image, type-0 record, records, name,
// trailer.
uint64_t BuiltSize(uint64_t image_size, const Prepared& prepared) {
  const Manifest& manifest = prepared.manifest;
  uint64_t total = image_size + kiv::kRecordHeaderSize;
  for (size_t i = 0; i < manifest.records.size(); ++i) {
    total += EncodedSize(manifest.records[i], prepared.saved[i]);
  }
  return total + manifest.display_name->size() + 1 + kiv::kTrailerSize;
}

// Writes the whole file beside out_path, puts it on the disk and renames it
// over out_path; on any failure the file beside is removed and out_path left
// as it was.
bool WriteAndReplace(const std::string& out_path, const std::string& stub_bytes,
                     const Prepared& prepared, uint32_t padding, uint64_t total,
                     std::ostream& err) {
  const Manifest& manifest = prepared.manifest;
  std::string temp, why;
  FILE* file = CreateSiblingTempFile(out_path, &temp, &why);
  if (!file) {
    Error(err, out_path + ": cannot create a file beside it: " + why);
    return false;
  }
  FileSink sink(file, 0);
  kiv::LogWriter writer(sink);
  std::string failure;
  if (!sink.Write(stub_bytes.data(), static_cast<uint32_t>(stub_bytes.size())) || !writer.Begin()) {
    failure = out_path + ": cannot write: " + ErrnoText();
  }
  for (size_t i = 0; failure.empty() && i < manifest.records.size(); ++i) {
    if (!WriteRecord(writer, manifest.records[i], prepared.saved[i], &why)) {
      failure = "records[" + std::to_string(i) + "]: " + why;
    }
  }
  const uint32_t name_offset = sink.Position();
  static const uint8_t kZeros[kiv::kCertificateAlignment] = {};
  if (failure.empty() &&
      (!writer.WriteBytes(manifest.display_name->c_str(),
                          static_cast<uint32_t>(manifest.display_name->size()) + 1) ||
       !writer.WriteBytes(kZeros, padding) ||
       !writer.FinishRaw(name_offset, writer.last_record(), kiv::kSignature))) {
    failure = out_path + ": cannot write: " + ErrnoText();
  }
  if (failure.empty() && !FlushToDisk(file)) failure = out_path + ": cannot write: " + ErrnoText();
  if (fclose(file) != 0 && failure.empty()) failure = out_path + ": cannot write: " + ErrnoText();
  if (failure.empty() && sink.Position() != total) {
    failure = out_path + ": wrote " + std::to_string(sink.Position()) + " bytes, expected " +
              std::to_string(total);
  }
  if (failure.empty() && !MoveIntoPlace(temp, out_path, &why)) failure = out_path + ": " + why;
  if (failure.empty()) return true;
  RemoveFile(temp);
  Error(err, failure);
  return false;
}

// Where the stub and the records disagree: warnings, or with strict the
// refusal. True when the build may go on.
bool ReportStubWarnings(const StubKind& stub, const std::vector<ManifestRecord>& records,
                        bool strict, std::ostream& err) {
  const std::vector<StubWarning> warnings = StubWarnings(stub, records);
  for (const StubWarning& w : warnings) {
    const std::string line =
        "records[" + std::to_string(w.record) + "]." + w.field + ": " + w.message;
    if (strict) {
      Error(err, line + " (--strict)");
    } else {
      err << "kivlog: warning: " << line << '\n';
    }
  }
  return !strict || warnings.empty();
}

}  // namespace

int Build(const std::string& manifest_path, const std::string& stub_path,
          const std::string& out_path, std::ostream& /*out*/, std::ostream& err, bool strict) {
  Prepared prepared;
  if (!Prepare(manifest_path, DisplayName::kRequired, &prepared, err)) return kExitFailed;
  if (!OutputIsNoInput(out_path, manifest_path, stub_path, prepared, err)) return kExitFailed;
  std::string stub_bytes;
  bool signed_stub = false;
  kiv::SignaturePart part;
  if (!ReadStub(stub_path, &stub_bytes, &signed_stub, &part, err)) return kExitFailed;
  const uint64_t unpadded = BuiltSize(stub_bytes.size(), prepared);
  const uint32_t padding = SignedPadding(signed_stub, unpadded);
  const uint64_t total = unpadded + padding;
  if (total > kiv::kMaxUninstallFileSize) {
    Error(err, out_path + ": would be " + std::to_string(total) +
                   " bytes; an uninstall file holds at most " +
                   std::to_string(kiv::kMaxUninstallFileSize));
    return kExitFailed;
  }
  if (signed_stub) {
    // The log lies inside the certificate table: both lengths cover it.
    kiv::StoreSignatureLengths(reinterpret_cast<uint8_t*>(stub_bytes.data()), part,
                               static_cast<uint32_t>(total - part.table_offset));
  } else if (stub_bytes.size() > kiv::kTemporaryCopyLimit) {
    err << "kivlog: warning: " << stub_path << " is " << stub_bytes.size()
        << " bytes, but the uninstall's temporary copy keeps only its first "
        << kiv::kTemporaryCopyLimit << '\n';
  }
  if (!ReportStubWarnings(ReadStubKind(stub_bytes), prepared.manifest.records, strict, err)) {
    return kExitFailed;
  }
  return WriteAndReplace(out_path, stub_bytes, prepared, padding, total, err) ? kExitOk
                                                                              : kExitFailed;
}

}  // namespace kivlog
