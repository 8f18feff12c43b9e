// kivlog unpack: a manifest, the stub and the saved contents of an uninstall
// file, from which build makes the same file again.
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "code_page.h"
#include "command_common.h"
#include "commands.h"
#include "file_ops.h"
#include "json_stream.h"
#include "listing.h"
#include "stream_source.h"

namespace kivlog {

namespace {

using OrderedJson = nlohmann::ordered_json;

// Text for the manifest: the bytes decoded from the code page, but only when
// encoding them again gives the same bytes (else build could not remake them).
bool RoundTripText(const std::string& bytes, uint32_t code_page, std::string* utf8) {
  *utf8 = DecodeAnsi(bytes, code_page);
  std::string again, bad;
  return EncodeAnsi(*utf8, code_page, &again, &bad) && again == bytes;
}

std::string NoRoundTrip(uint32_t code_page) {
  return "does not go through code page " + std::to_string(code_page) +
         " and back; unpack with --code-page 1252, which keeps every byte";
}

bool CopyRange(FILE* from, uint32_t offset, uint32_t length, const std::string& to,
               std::string* why) {
  FILE* out = OpenFile(to, "wb");
  if (!out) {
    *why = "cannot create " + to + ": " + ErrnoText();
    return false;
  }
  bool ok = fseek(from, static_cast<long>(offset), SEEK_SET) == 0;
  std::vector<char> chunk(1 << 16);
  while (ok && length > 0) {
    const size_t step = std::min<size_t>(length, chunk.size());
    ok = fread(chunk.data(), 1, step, from) == step && fwrite(chunk.data(), 1, step, out) == step;
    length -= static_cast<uint32_t>(step);
  }
  ok = fclose(out) == 0 && ok;
  if (!ok) *why = "cannot write " + to;
  return ok;
}

// A new or empty directory, with its saved/ directory.
bool MakeEmptyDirectory(const std::string& out_dir, const std::filesystem::path& dir,
                        std::ostream& err) {
  std::error_code error;
  if (std::filesystem::exists(dir, error) && !std::filesystem::is_empty(dir, error)) {
    Error(err, out_dir + ": not empty; name a new or empty directory");
    return false;
  }
  std::filesystem::create_directories(dir / "saved", error);
  if (error) {
    Error(err, out_dir + ": cannot create: " + error.message());
    return false;
  }
  return true;
}

// Where unpack reads from and writes to.
struct UnpackPlace {
  FILE* file;                 // the uninstall file
  std::filesystem::path dir;  // the output directory
  uint32_t code_page;
};

// An INI entry's prior, value and flag as what its undoing does, where
// build makes the same bytes of that ("remove", "restore", "remove_line");
// left as they are otherwise.
void IniByOutcome(const ManifestRecord& raw, OrderedJson* record) {
  const char* outcome = nullptr;
  OrderedJson what;
  if (!raw.flag && raw.prior == "<null>" && raw.value.empty()) {
    outcome = "remove", what = true;
  } else if (!raw.flag && raw.prior != "<null>" &&
             (raw.prior == raw.value || (raw.prior.empty() && raw.value == "<null>"))) {
    outcome = "restore", what = (*record)["value"];
  } else if (raw.flag && raw.prior.empty()) {
    outcome = "remove_line", what = (*record)["value"];
  }
  if (!outcome) return;
  record->erase("prior");
  record->erase("value");
  record->erase("flag");
  (*record)[outcome] = std::move(what);
}

// records[index] of the manifest, from r; its saved content, if any, goes to
// saved/index.bin. False with *failure set when a text does not go through
// the code page or the content cannot be copied.
bool RecordJson(const ListedRecord& r, size_t index, const UnpackPlace& place, OrderedJson* record,
                std::string* failure) {
  const std::string where = "records[" + std::to_string(index) + "] (at " + Offset(r.offset) + ")";
  (*record)["type"] = RecordTypeName(r.type);
  const auto text_field = [&](const char* name, const std::string& bytes) {
    std::string utf8;
    if (!RoundTripText(bytes, place.code_page, &utf8)) {
      *failure = where + "." + name + ": " + NoRoundTrip(place.code_page);
    }
    (*record)[name] = utf8;
  };
  const kiv::RecordLayout& layout = kiv::LayoutOf(r.type);
  for (uint32_t f = 0; f < layout.field_count; ++f) {
    const char* name = kiv::NamesOf(r.type).fields[f];
    switch (layout.fields[f].kind) {
      case kiv::FieldKind::kString: text_field(name, *FieldText(r.raw, name)); break;
      case kiv::FieldKind::kFlag: (*record)[name] = r.fields[name]; break;
      case kiv::FieldKind::kOptionalString:
        if (r.raw.data) {
          text_field(name, *r.raw.data);
        } else {
          (*record)[name] = nullptr;
        }
        break;
      case kiv::FieldKind::kSavedCopy: {
        if (!r.fields[name].is_object()) break;
        const uint32_t length = r.fields[name]["length"].get<uint32_t>();
        const std::string file = "saved/" + std::to_string(index) + ".bin";
        std::string why;
        if (!CopyRange(place.file, r.end - length, length, Utf8(place.dir / FsPath(file)), &why)) {
          *failure = why;
        }
        (*record)[name] = {{"content_file", file}, {"time", r.fields[name]["time"]}};
        break;
      }
    }
  }
  if (r.type == kiv::RecordType::kIniEntry && failure->empty()) IniByOutcome(r.raw, record);
  return failure->empty();
}

// A signed file's image is its signed stub with both lengths grown over the
// log: set them back, so that stub.exe is the file that was signed and build
// takes it. An unsigned image stays as it is.
bool RestoreSignedStub(const std::string& path, std::string* failure) {
  std::string bytes, why;
  if (!ReadWholeFile(path, &bytes, &why)) {
    *failure = path + ": cannot read: " + why;
    return false;
  }
  auto* data = reinterpret_cast<uint8_t*>(bytes.data());
  const uint32_t head = static_cast<uint32_t>(std::min<size_t>(bytes.size(), kiv::kPeHeadLimit));
  kiv::SignaturePart part;
  // The lengths reach past this image: judge the table against the file it came from.
  if (kiv::LocateCertificateTable(data, head, kiv::kMaxUninstallFileSize, &part) !=
          kiv::SignatureLayout::kSigned ||
      part.table_offset >= bytes.size()) {
    return true;
  }
  const uint32_t cert = static_cast<uint32_t>(
      std::min<size_t>(bytes.size() - part.table_offset, kiv::kCertificateHeadSize));
  if (kiv::ReadCertificateHead(data + part.table_offset, cert, &part) !=
          kiv::SignatureLayout::kSigned ||
      part.signed_end != bytes.size()) {
    return true;
  }
  kiv::StoreSignatureLengths(data, part, part.signed_end - part.table_offset);
  FILE* out = OpenFile(path, "wb");
  bool ok = out && fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (out && fclose(out) != 0) ok = false;
  if (!ok) *failure = path + ": cannot write: " + ErrnoText();
  return ok;
}

// Writes manifest.json as the records are read, in the order written,
// then stub.exe and the saved contents; false with *failure set at the
// first fault, with no manifest.json left behind.
bool UnpackRecords(kiv::LogReader& reader, const ListingHead& head, const OrderedJson& manifest_head,
                   const UnpackPlace& place, const std::string& out_dir, std::string* failure) {
  const std::string manifest_path = Utf8(place.dir / "manifest.json");
  FILE* json = OpenFile(manifest_path, "wb");
  if (!json) {
    *failure = out_dir + ": cannot write manifest.json";
    return false;
  }
  bool written = true;
  const auto write = [&](const std::string& text) {
    written = written && fwrite(text.data(), 1, text.size(), json) == text.size();
  };
  StreamedArray records;
  write(records.Open(manifest_head, "records"));
  const std::vector<uint32_t> offsets = RecordOffsets(reader);
  ListedRecord r;
  bool ok = true;
  for (size_t index = 0; ok && index < offsets.size(); ++index) {
    OrderedJson record = OrderedJson::object();
    ok = ReadListedRecord(reader, head, offsets[index], true, &r) &&
         RecordJson(r, index, place, &record, failure);
    if (ok) write(records.Add(record));
  }
  if (ok) {
    write(records.Close() + "\n");
    const std::string stub = Utf8(place.dir / "stub.exe");
    ok = CopyRange(place.file, 0, head.end_of_log, stub, failure) &&
         RestoreSignedStub(stub, failure);
  }
  if (fclose(json) != 0) written = false;
  if (ok && !written) {
    *failure = out_dir + ": cannot write manifest.json";
    ok = false;
  }
  if (!ok) {
    if (failure->empty()) *failure = "cannot read the records again";
    std::error_code ignored;
    std::filesystem::remove(FsPath(manifest_path), ignored);
  }
  return ok;
}

}  // namespace

int Unpack(const std::string& path, const std::string& out_dir, uint32_t code_page,
           std::ostream& out, std::ostream& err) {
  if (!RefuseIrregular(path, err)) return kExitFailed;
  StreamSource source(path);
  kiv::LogReader reader(source, LeadByteTestFor(code_page));
  kiv::ChainVerdict verdict;
  if (!OpenSound(path, reader, &verdict, err)) return kExitFailed;
  const ListingHead head = ReadListingHead(reader, code_page);
  code_page = head.code_page;  // the file's own, where it names one

  const std::filesystem::path dir = FsPath(out_dir);
  if (!MakeEmptyDirectory(out_dir, dir, err)) return kExitFailed;
  OrderedJson manifest = OrderedJson::object();
  std::string text;
  if (!RoundTripText(head.display_name_bytes, code_page, &text)) {
    Error(err, path + ": the display name " + NoRoundTrip(code_page));
    return kExitFailed;
  }
  manifest["display_name"] = text;
  manifest["code_page"] = code_page;
  // A file that names no code page is made again without the record.
  if (head.named_code_page == 0) manifest["code_page_record"] = false;

  FILE* file = OpenFile(path, "rb");
  if (!file) {
    Error(err, path + ": cannot open: " + ErrnoText());
    return kExitFailed;
  }
  std::string failure;
  const bool ok = UnpackRecords(reader, head, manifest, {file, dir, code_page}, out_dir, &failure);
  fclose(file);
  if (!ok) {
    Error(err, path + ": " + failure);
    return kExitFailed;
  }
  const size_t count = head.undo;
  out << "unpacked " << count << (count == 1 ? " record" : " records") << " into " << out_dir
      << "; kivlog build " << Utf8(dir / "manifest.json") << " --stub " << Utf8(dir / "stub.exe")
      << " -o OUT.exe makes the file again\n";
  return kExitOk;
}

}  // namespace kivlog
