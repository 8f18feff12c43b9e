#include "command_common.h"

#include <stdio.h>

#include <algorithm>
#include <filesystem>

#include "base/crc32.h"
#include "code_page.h"
#include "file_ops.h"
#include "lint.h"
#include "stream_source.h"

namespace kivlog {

using kiv::RecordType;

void Error(std::ostream& err, const std::string& line) { err << "kivlog: " << line << '\n'; }

std::string Offset(uint64_t offset) {
  char hex[24];
  snprintf(hex, sizeof(hex), "0x%llX", static_cast<unsigned long long>(offset));
  return "offset " + std::to_string(offset) + " (" + hex + ")";
}

bool RefuseIrregular(const std::string& path, std::ostream& err) {
  std::string why;
  if (RegularFileSize(path, &why)) return true;
  Error(err, path + ": cannot open: " + why);
  return false;
}

namespace {

// Finds the content file of records[index].saved (relative names from base)
// with its length and, unless the manifest gives it, its last-write time.
bool ResolveSaved(const SavedContent& saved, size_t index, const std::filesystem::path& base,
                  const Prepared& prepared, ResolvedSaved* resolved, Report& report) {
  const std::string field = "records[" + std::to_string(index) + "].saved.content_file";
  const auto fail = [&](const std::string& message) {
    report.Add(prepared.label, &prepared.map,
               {Severity::kError, error_id::kContentFile, field, message, std::nullopt, {}});
    return false;
  };
  std::filesystem::path content = FsPath(saved.content_file);
  if (content.is_relative()) content = base / content;
  resolved->path = Utf8(content);
  std::string why;
  auto size = RegularFileSize(resolved->path, &why);
  if (!size) return fail("cannot use " + resolved->path + ": " + why);
  if (*size > kiv::kMaxUninstallFileSize) {
    return fail(resolved->path + " is larger than an uninstall file can be");
  }
  resolved->length = static_cast<uint32_t>(*size);
  if (saved.time) {
    resolved->time = *saved.time;
    return true;
  }
  auto time = LastWriteTime(resolved->path, &why);
  if (!time) return fail(resolved->path + ": " + why);
  resolved->time = *time;
  return true;
}

// A kept file's content as installed, from records[index].local_copy
// (relative names from base): its size and CRC-32 into the record.
bool ResolveLocalCopy(size_t index, const std::filesystem::path& base, Prepared* prepared,
                      Report& report) {
  ManifestRecord& r = prepared->manifest.records[index];
  std::filesystem::path copy = FsPath(*r.local_copy);
  if (copy.is_relative()) copy = base / copy;
  const std::string path = Utf8(copy);
  std::string bytes, why;
  const auto size = RegularFileSize(path, &why);
  const char* fault = nullptr;
  if (!size) {
    fault = "cannot use ";
  } else if (*size > 0xFFFFFFFFu) {
    why = "over 4 GiB, more than a kept file's size can say";
    fault = "cannot use ";
  } else if (!ReadWholeFile(path, &bytes, &why)) {
    fault = "cannot read ";
  }
  if (fault) {
    report.Add(prepared->label, &prepared->map,
               {Severity::kError, error_id::kContentFile,
                "records[" + std::to_string(index) + "].local_copy",
                fault + path + ": " + why, std::nullopt, {}});
    return false;
  }
  r.content_size = static_cast<uint32_t>(bytes.size());
  r.content_crc32 = kiv::Crc32(0, bytes.data(), r.content_size);
  return true;
}

}  // namespace

bool Prepare(const std::string& manifest_path, DisplayName need, Prepared* prepared,
             Report& report, std::ostream& err, uint32_t default_code_page, Target target) {
  // "-": standard input, with relative content files taken from the
  // current directory.
  const bool from_input = manifest_path == "-";
  const std::string label = from_input ? std::string("standard input") : manifest_path;
  prepared->label = label;
  std::string text, why;
  if (!from_input && !RefuseIrregular(manifest_path, err)) return false;
  if (!(from_input ? ReadStandardInput(&text, &why) : ReadWholeFile(manifest_path, &text, &why))) {
    Error(err, label + ": cannot read: " + why);
    return false;
  }
  const std::filesystem::path base =
      from_input ? std::filesystem::path() : FsPath(manifest_path).parent_path();
  return PrepareText(text, label, Utf8(base), need, prepared, report, default_code_page, target);
}

bool PrepareText(const std::string& text, const std::string& label, const std::string& base_dir,
                 DisplayName need, Prepared* prepared, Report& report, uint32_t default_code_page,
                 Target target) {
  prepared->label = label;
  ManifestResult parsed = ParseManifest(text, need, default_code_page, target);
  prepared->map = std::move(parsed.map);
  if (!parsed.manifest) {
    for (const ManifestError& e : parsed.errors) {
      report.Add(label, &prepared->map,
                 {Severity::kError, e.id, e.field, e.message, e.offset, e.hint});
    }
    return false;
  }
  prepared->manifest = std::move(*parsed.manifest);
  const auto& records = prepared->manifest.records;
  prepared->saved.assign(records.size(), std::nullopt);
  const std::filesystem::path base = FsPath(base_dir);
  bool ok = true;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].local_copy && !ResolveLocalCopy(i, base, prepared, report)) ok = false;
    if (!records[i].saved) continue;
    ResolvedSaved resolved;
    if (ResolveSaved(*records[i].saved, i, base, *prepared, &resolved, report)) {
      prepared->saved[i] = resolved;
    } else {
      ok = false;
    }
  }
  return ok;
}

void WarnAbout(const Prepared& prepared, const std::vector<ManifestRecord>& earlier,
               const std::string& display_name, bool name_is_new, Report& report) {
  std::vector<const ManifestRecord*> all;
  all.reserve(earlier.size() + prepared.manifest.records.size());
  for (const auto& r : earlier) all.push_back(&r);
  for (const auto& r : prepared.manifest.records) all.push_back(&r);
  for (Warning& w : FindWarnings(all, earlier.size(), display_name, name_is_new,
                                      prepared.manifest.code_page)) {
    std::string field = w.field;
    if (w.record) {
      field = "records[" + std::to_string(*w.record - earlier.size()) + "]" +
              (w.field.empty() ? "" : "." + w.field);
    }
    report.Add(prepared.label, &prepared.map,
               {Severity::kWarning, w.id, field, w.message, std::nullopt, w.hint});
  }
}

uint64_t EncodedSize(const ManifestRecord& r, const std::optional<ResolvedSaved>& saved) {
  uint64_t size = kiv::kRecordHeaderSize;
  const kiv::RecordLayout& layout = kiv::LayoutOf(r.type);
  for (uint32_t f = 0; f < layout.field_count; ++f) {
    const kiv::FieldLayout& field = layout.fields[f];
    switch (field.kind) {
      case kiv::FieldKind::kString:
        size += FieldText(r, kiv::NamesOf(r.type).fields[f])->size() + 1;
        break;
      case kiv::FieldKind::kFlag: size += 1; break;
      case kiv::FieldKind::kOptionalString: size += 1 + (r.data ? r.data->size() + 1 : 0); break;
      case kiv::FieldKind::kSavedCopy:
        size += 1 + (saved ? kiv::kSavedFixedSize + saved->length : 0);
        break;
      case kiv::FieldKind::kFixed: size += field.limit; break;
    }
  }
  return size;
}

namespace {

// A saved content file read through stdio, for the writer to copy.
class ContentStream final : public kiv::ByteSource {
 public:
  explicit ContentStream(FILE* file) : file_(file) {}
  uint32_t Read(void* buffer, uint32_t size) override {
    return static_cast<uint32_t>(fread(buffer, 1, size, file_));
  }

 private:
  FILE* file_;
};

}  // namespace

bool WriteRecord(kiv::LogWriter& writer, const ManifestRecord& r,
                 const std::optional<ResolvedSaved>& saved, std::string* why) {
  *why = "cannot write: " + ErrnoText();
  if (r.type == RecordType::kEndOfLog) {
    *why = "cannot write a type-0 record here";
    return false;
  }
  if (r.type != RecordType::kFile || !saved) return WriteFieldRecord(writer, r);
  FILE* content = OpenFile(saved->path, "rb");
  if (!content) {
    *why = "cannot open " + saved->path + ": " + ErrnoText();
    return false;
  }
  ContentStream source(content);
  bool ok = writer.AddRestoredFile(r.path.c_str(), saved->time, source, saved->length);
  if (!ok) *why = "cannot copy " + saved->path + " (did it change?)";
  fclose(content);
  return ok;
}

std::string ImageFault(const uint8_t* head, uint32_t head_size, uint64_t file_size,
                       uint64_t log_start) {
  uint32_t image_end = 0;
  if (!kiv::ReadImageEnd(head, head_size, file_size, &image_end)) {
    return "the stub's PE headers do not tell where its image ends (a header or section table "
           "cut short, or sections past the end of the file), so the uninstall's temporary "
           "copy could not be made whole; give the shipped kivuninst.exe";
  }
  if (image_end > log_start) {
    return "the stub's PE headers place the end of its image at " + Offset(image_end) +
           ", past the start of the log at " + Offset(log_start) +
           ": the image was cut short; give the shipped kivuninst.exe";
  }
  return "";
}

std::string ImageFaultOfFile(kiv::RandomSource& file, uint64_t file_size, uint64_t log_start) {
  uint8_t head[kiv::kPeHeadLimit];
  const uint32_t got = file.is_open() ? file.ReadAt(0, head, sizeof(head)) : 0;
  return ImageFault(head, got, file_size, log_start);
}

kiv::SignatureLayout ReadFileSignaturePart(kiv::RandomSource& file, kiv::SignaturePart* part) {
  uint8_t head[kiv::kPeHeadLimit];
  uint8_t cert_head[kiv::kCertificateHeadSize];
  uint64_t size = 0;
  if (!file.is_open() || !file.Size(&size)) return kiv::SignatureLayout::kUnsound;
  kiv::SignaturePart found;
  const uint32_t got = file.ReadAt(0, head, sizeof(head));
  kiv::SignatureLayout layout = kiv::LocateCertificateTable(head, got, size, &found);
  if (layout == kiv::SignatureLayout::kSigned) {
    const uint32_t want = std::min<uint32_t>(found.table_size, sizeof(cert_head));
    layout = file.ReadAt(found.table_offset, cert_head, want) == want
                 ? kiv::ReadCertificateHead(cert_head, want, &found)
                 : kiv::SignatureLayout::kUnsound;
  }
  if (layout == kiv::SignatureLayout::kSigned) {
    // The whole blob, as a verifier parses it.
    std::string blob(found.blob_end - found.table_offset - kiv::kCertificateHeaderSize, '\0');
    const uint32_t size = static_cast<uint32_t>(blob.size());
    if (file.ReadAt(found.table_offset + kiv::kCertificateHeaderSize, blob.data(), size) != size ||
        !kiv::SignedDataIsWhole(reinterpret_cast<const uint8_t*>(blob.data()), size)) {
      layout = kiv::SignatureLayout::kUnsound;
    }
  }
  if (layout == kiv::SignatureLayout::kSigned) *part = found;
  return layout;
}

SignedLog WhereSignedLogLies(kiv::RandomSource& file, uint64_t file_size,
                             kiv::SignaturePart* part) {
  switch (ReadFileSignaturePart(file, part)) {
    case kiv::SignatureLayout::kUnsigned:
    case kiv::SignatureLayout::kNoImage: return SignedLog::kUnsigned;
    case kiv::SignatureLayout::kUnsound: return SignedLog::kUnsound;
    case kiv::SignatureLayout::kSigned: break;
  }
  if (static_cast<uint64_t>(part->table_offset) + part->table_size != file_size) {
    return SignedLog::kOutside;
  }
  if (part->certificate_length != part->table_size) return SignedLog::kLengthsDisagree;
  return SignedLog::kInside;
}

std::string DamageLine(const std::string& path, const kiv::LogReader& reader,
                       const kiv::ChainVerdict& verdict) {
  const char* reason = kiv::DamageName(verdict.damage);
  const uint32_t size = reader.size();
  switch (verdict.damage) {
    case kiv::Damage::kCannotOpen: return path + ": cannot open";
    case kiv::Damage::kTooLarge: return path + ": damaged: " + reason;
    case kiv::Damage::kTooShort:
      return path + ": damaged: " + reason + " (" + std::to_string(size) + " bytes)";
    case kiv::Damage::kBadSignature:
      return path + ": damaged at " + Offset(size - kiv::kSignatureSize) + ": " + reason;
    case kiv::Damage::kNameOffset:
      return path + ": damaged at " + Offset(size - kiv::kTrailerSize) + ": " + reason;
    case kiv::Damage::kNameUnterminated:
    case kiv::Damage::kNameInvalid:
      return path + ": damaged at " + Offset(reader.name_offset()) + ": " + reason;
    default: return path + ": damaged at " + Offset(verdict.offset) + ": " + reason;
  }
}

bool OpenSound(const std::string& path, kiv::LogReader& reader, kiv::ChainVerdict* verdict,
               std::ostream& err) {
  if (!reader.has_stream()) {
    std::string why;
    RegularFileSize(path, &why);
    Error(err, path + ": cannot open: " + why);
    return false;
  }
  *verdict = reader.CheckChain();
  if (verdict->damage != kiv::Damage::kNone) {
    Error(err, DamageLine(path, reader, *verdict));
    return false;
  }
  return true;
}

bool CodePageAgrees(const std::string& path, uint32_t file_code_page, const Prepared& prepared,
                    std::ostream& helper) {
  if (file_code_page == 0 || prepared.manifest.code_page == file_code_page) return true;
  Error(helper, prepared.label + ": code_page: " + std::to_string(prepared.manifest.code_page) +
                    ", but " + path + " is in code page " + std::to_string(file_code_page));
  return false;
}

uint32_t NamedCodePage(kiv::RandomSource& file) {
  kiv::LogReader reader(file);
  return reader.CheckChain().damage == kiv::Damage::kNone ? reader.code_page() : 0;
}

bool ReadSoundListing(const std::string& path, uint32_t code_page, std::ostream& err,
                      Listing* listing) {
  if (!RefuseIrregular(path, err)) return false;
  StreamSource source(path);
  kiv::LogReader reader(source, LeadByteTestFor(code_page));
  kiv::ChainVerdict verdict;
  if (!OpenSound(path, reader, &verdict, err)) return false;
  *listing = ReadListing(reader, code_page);
  return true;
}

}  // namespace kivlog
