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
      case kiv::FieldKind::kFixed: break;  // below
    }
  }
  // A shared or kept file is written as the manifest's author writes it: a
  // "file" that says which.
  if (r.type == kiv::RecordType::kSharedFile) {
    (*record)["type"] = "file";
    (*record)["shared"] = true;
  } else if (r.type == kiv::RecordType::kKeptFile) {
    (*record)["type"] = "file";
    (*record)["keep_if_changed"] = true;
    (*record)["size"] = r.raw.content_size;
    (*record)["crc32"] = r.raw.content_crc32;
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

// Fills manifest's records and writes stub.exe and the saved contents; false
// with *failure set at the first fault.
bool UnpackRecords(const Listing& listing, const UnpackPlace& place, OrderedJson* manifest,
                   std::string* failure) {
  const size_t count = listing.records.size() - 1;  // without the type-0 record
  for (size_t index = 0; index < count; ++index) {
    const ListedRecord& r = listing.records[count - 1 - index];  // in the order written
    OrderedJson record = OrderedJson::object();
    if (!RecordJson(r, index, place, &record, failure)) return false;
    (*manifest)["records"].push_back(std::move(record));
  }
  const uint32_t image = listing.records.back().offset;
  const std::string stub = Utf8(place.dir / "stub.exe");
  return CopyRange(place.file, 0, image, stub, failure) && RestoreSignedStub(stub, failure);
}

bool WriteManifest(const std::filesystem::path& dir, const std::string& out_dir,
                   const OrderedJson& manifest, std::string* failure) {
  FILE* json = OpenFile(Utf8(dir / "manifest.json"), "wb");
  const std::string body = manifest.dump(2) + "\n";
  if (!json || fwrite(body.data(), 1, body.size(), json) != body.size() || fclose(json) != 0) {
    *failure = out_dir + ": cannot write manifest.json";
    return false;
  }
  return true;
}

}  // namespace

int Unpack(const std::string& path, const std::string& out_dir, uint32_t code_page,
           std::ostream& out, std::ostream& err) {
  Listing listing;
  if (!ReadSoundListing(path, code_page, err, &listing)) return kExitFailed;
  code_page = listing.code_page;  // the file's own, where it names one

  const std::filesystem::path dir = FsPath(out_dir);
  if (!MakeEmptyDirectory(out_dir, dir, err)) return kExitFailed;
  OrderedJson manifest = OrderedJson::object();
  std::string text;
  if (!RoundTripText(listing.display_name_bytes, code_page, &text)) {
    Error(err, path + ": the display name " + NoRoundTrip(code_page));
    return kExitFailed;
  }
  manifest["display_name"] = text;
  manifest["code_page"] = code_page;
  // A file that names no code page is made again without the record.
  if (listing.named_code_page == 0) manifest["code_page_record"] = false;
  manifest["records"] = OrderedJson::array();

  FILE* file = OpenFile(path, "rb");
  if (!file) {
    Error(err, path + ": cannot open: " + ErrnoText());
    return kExitFailed;
  }
  std::string failure;
  const bool ok = UnpackRecords(listing, {file, dir, code_page}, &manifest, &failure);
  fclose(file);
  if (!ok || !WriteManifest(dir, out_dir, manifest, &failure)) {
    Error(err, path + ": " + failure);
    return kExitFailed;
  }
  const size_t count = listing.records.size() - 1;
  out << "unpacked " << count << (count == 1 ? " record" : " records") << " into " << out_dir
      << "; kivlog build " << Utf8(dir / "manifest.json") << " --stub " << Utf8(dir / "stub.exe")
      << " -o OUT.exe makes the file again\n";
  return kExitOk;
}

}  // namespace kivlog
