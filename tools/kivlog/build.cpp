// kivlog build: the stub, then the manifest's records, display name and
// trailer, written beside the output and renamed over it when complete.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <sstream>
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
      Error(err, "-o " + out_path + ": is " + what + "; name another output");
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
  const std::string label = "--stub " + stub_path;
  if (!RegularFileSize(stub_path, &why)) {
    Error(err, label + ": cannot open: " + why);
    return false;
  }
  if (!ReadWholeFile(stub_path, bytes, &why)) {
    Error(err, label + ": cannot read: " + why);
    return false;
  }
  if (!IsPeImage(*bytes)) {
    Error(err,
          label +
              ": not a Windows executable (no MZ and PE headers); give the stub, kivuninst.exe");
    return false;
  }
  if (EndsWithSignature(*bytes)) {
    Error(err, label +
                   ": already an uninstall file (it ends with the signature); give the bare stub");
    return false;
  }
  const auto layout = kiv::ReadSignaturePart(reinterpret_cast<const uint8_t*>(bytes->data()),
                                             bytes->size(), part);
  if (layout == kiv::SignatureLayout::kUnsound) {
    Error(err, label +
                   ": its signature part (security directory and certificate table) cannot be "
                   "read soundly; sign the stub again");
    return false;
  }
  *signed_stub = layout == kiv::SignatureLayout::kSigned;
  if (*signed_stub && static_cast<uint64_t>(part->table_offset) + part->table_size != bytes->size()) {
    Error(err, label + ": its certificate table does not end the file; sign the stub again");
    return false;
  }
  // The log goes after the first certificate, and the temporary copy is the
  // file up to that certificate's end: a second one would be left out.
  if (*signed_stub && part->signed_end != bytes->size()) {
    Error(err, label + ": its certificate table holds " +
                   std::to_string(bytes->size() - part->signed_end) +
                   " bytes after its first certificate (a second signature?), which the "
                   "uninstall's temporary copy would leave out; sign the stub with one "
                   "signature (a second one nested in the first is kept)");
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

// The file says the code page of its text, unless the manifest asks not to.
bool WritesCodePage(const Manifest& manifest) {
  return manifest.code_page != 0 && manifest.code_page_record;
}

// The size of the file build writes: image, type-0 record, code-page record
// (when the manifest names one), records, name, trailer.
uint64_t BuiltSize(uint64_t image_size, const Prepared& prepared) {
  const Manifest& manifest = prepared.manifest;
  uint64_t total = image_size + kiv::kRecordHeaderSize;
  if (WritesCodePage(manifest)) total += kiv::kRecordHeaderSize + kiv::kCodePagePayloadSize;
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
  // The output's directory is made when missing, as the build tools of
  // installers do for theirs.
  if (!MakeParentDirectories(out_path, &why)) {
    Error(err, "-o " + out_path + ": cannot make its directory: " + why);
    return false;
  }
  FILE* file = CreateSiblingTempFile(out_path, &temp, &why);
  if (!file) {
    Error(err, "-o " + out_path + ": cannot create a file beside it: " + why);
    return false;
  }
  FileSink sink(file, 0);
  kiv::LogWriter writer(sink);
  std::string failure;
  // The image first, then the type-0 record (and the code-page record).
  if (!sink.Write(stub_bytes.data(), static_cast<uint32_t>(stub_bytes.size())) ||
      !(WritesCodePage(manifest) ? writer.BeginInCodePage(manifest.code_page) : writer.Begin())) {
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
  Error(err, "-o " + failure);
  return false;
}

// Where the stub and the records disagree (stub_rules.h): warnings at the
// records' places in the manifest.
void WarnAboutStub(const StubKind& stub, const Prepared& prepared, Report& report) {
  for (const StubWarning& w : StubWarnings(stub, prepared.manifest.records)) {
    report.Add(prepared.label, &prepared.map,
               {Severity::kWarning, warning_id::kStubCannotUndo,
                "records[" + std::to_string(w.record) + "]." + w.field, w.message, std::nullopt, {}});
  }
}

// The build once the manifest is read (manifest_ok: without a fault):
// the stub read and checked, the warnings, the file written.
int BuildPrepared(bool manifest_ok, const Prepared& prepared, const std::string& manifest_path,
                  const std::string& stub_path, const std::string& out_path, Report& report,
                  std::ostream& out, std::ostream& err);

}  // namespace

int Build(const std::string& manifest_path, const std::string& stub_path,
          const std::string& out_path, const WarningPolicy& policy, std::ostream& out,
          std::ostream& err) {
  // Every fault of the run is gathered and told at the end: the manifest's,
  // the stub's and the output's, so that one run names them all.
  Report report(policy);
  std::ostringstream helper;  // what the shared helpers say, line by line
  Prepared prepared;
  const bool manifest_ok =
      Prepare(manifest_path, DisplayName::kRequired, &prepared, report, helper);
  report.Absorb(helper, error_id::kIo);
  return BuildPrepared(manifest_ok, prepared, manifest_path, stub_path, out_path, report, out,
                       err);
}

int BuildText(const std::string& manifest_text, const std::string& stub_path,
              const std::string& out_path, const WarningPolicy& policy, std::ostream& out,
              std::ostream& err) {
  Report report(policy);
  Prepared prepared;
  const bool manifest_ok =
      PrepareText(manifest_text, "manifest", "", DisplayName::kRequired, &prepared, report);
  return BuildPrepared(manifest_ok, prepared, "", stub_path, out_path, report, out, err);
}

namespace {

int BuildPrepared(bool manifest_ok, const Prepared& prepared, const std::string& manifest_path,
                  const std::string& stub_path, const std::string& out_path, Report& report,
                  std::ostream& out, std::ostream& err) {
  std::ostringstream helper;
  if (manifest_ok) WarnAbout(prepared, {}, *prepared.manifest.display_name, true, report);

  std::string stub_bytes;
  bool signed_stub = false;
  kiv::SignaturePart part;
  const bool stub_ok = ReadStub(stub_path, &stub_bytes, &signed_stub, &part, helper);
  report.Absorb(helper, error_id::kStub);
  // An unsigned file's temporary copy is its first bytes up to where its
  // image ends, as the stub's headers tell. A signed file's copy is the
  // signed stub, whole.
  if (stub_ok && !signed_stub) {
    const auto* head = reinterpret_cast<const uint8_t*>(stub_bytes.data());
    const std::string fault =
        ImageFault(head, static_cast<uint32_t>(std::min<size_t>(stub_bytes.size(), kiv::kPeHeadLimit)),
                   stub_bytes.size(), stub_bytes.size());
    if (!fault.empty()) report.Error("--stub " + stub_path, error_id::kStubImage, fault);
  }
  uint64_t total = 0;
  uint32_t padding = 0;
  if (manifest_ok && stub_ok) {
    WarnAboutStub(ReadStubKind(stub_bytes), prepared, report);
    if (!OutputIsNoInput(out_path, manifest_path, stub_path, prepared, helper)) {
      report.Absorb(helper, error_id::kOutputIsInput);
    }
    const uint64_t unpadded = BuiltSize(stub_bytes.size(), prepared);
    padding = SignedPadding(signed_stub, unpadded);
    total = unpadded + padding;
    if (total > kiv::kMaxUninstallFileSize) {
      report.Error("-o " + out_path, error_id::kFileTooLarge,
                   "would be " + std::to_string(total) +
                       " bytes; an uninstall file holds at most " +
                       std::to_string(kiv::kMaxUninstallFileSize));
    }
  }
  nlohmann::ordered_json extra = {{"command", "build"}, {"output", out_path}};
  if (!manifest_ok || !stub_ok || report.HasErrors() || report.FailsOnWarnings()) {
    if (report.FailsOnWarnings() && !report.HasErrors()) {
      report.Error("-o " + out_path, error_id::kWarningsAsErrors,
                   "not written: warnings are errors (--werror)");
    }
    extra["written"] = false;
    return report.Finish(out, err, extra);
  }
  if (signed_stub) {
    // The log lies inside the certificate table: both lengths cover it.
    kiv::StoreSignatureLengths(reinterpret_cast<uint8_t*>(stub_bytes.data()), part,
                               static_cast<uint32_t>(total - part.table_offset));
  }
  const bool written = WriteAndReplace(out_path, stub_bytes, prepared, padding, total, helper);
  report.Absorb(helper, error_id::kIo);
  extra["written"] = written;
  return report.Finish(out, err, extra);
}

}  // namespace

}  // namespace kivlog
