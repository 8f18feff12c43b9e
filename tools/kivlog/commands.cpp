#include "commands.h"

#include <stdlib.h>
#include <string.h>

#include <cstdlib>

#include <algorithm>
#include <filesystem>
#include <vector>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "code_page.h"
#include "file_ops.h"
#include "file_time.h"
#include "listing.h"
#include "manifest.h"
#include "rules.h"
#include "uninstall_file/log_reader.h"
#include "uninstall_file/log_writer.h"

#ifndef KIVLOG_VERSION
#error "KIVLOG_VERSION comes from the build (the project's version)"
#endif

namespace kivlog {

namespace {

using kiv::RecordType;

// The stub's temporary copy takes this many bytes from the start of the
// uninstall file: its whole image has to fit.

// An append keeps its trailer within one block of this size.
constexpr uint64_t kTrailerBlock = 4096;

void Error(std::ostream& err, const std::string& line) { err << "kivlog: " << line << '\n'; }

std::string Offset(uint64_t offset) {
  char hex[24];
  snprintf(hex, sizeof(hex), "0x%llX", static_cast<unsigned long long>(offset));
  return "offset " + std::to_string(offset) + " (" + hex + ")";
}

// Saved content as found on disk for a record of the manifest.
struct ResolvedSaved {
  std::string path;
  uint32_t length = 0;
  uint64_t time = 0;
};

struct Prepared {
  Manifest manifest;
  std::vector<std::optional<ResolvedSaved>> saved;  // one per record
};

std::string FieldLine(const ManifestError& e, const std::string& manifest_path) {
  return manifest_path + ": " + (e.field.empty() ? "" : e.field + ": ") + e.message;
}

// Files that are not regular (a directory, a FIFO, a device) are refused
// before anything opens them: a FIFO would block the open.
bool RefuseIrregular(const std::string& path, std::ostream& err) {
  std::string why;
  if (RegularFileSize(path, &why)) return true;
  Error(err, path + ": cannot open: " + why);
  return false;
}

// Reads and checks the manifest, and finds every saved content file with its
// length and time. Prints the fault and returns false.
bool Prepare(const std::string& manifest_path, DisplayName need, Prepared* prepared,
             std::ostream& err) {
  // "-": standard input, with relative content files taken from the
  // current directory.
  const bool from_input = manifest_path == "-";
  const std::string label = from_input ? std::string("standard input") : manifest_path;
  std::string text, why;
  if (!from_input && !RefuseIrregular(manifest_path, err)) return false;
  if (!(from_input ? ReadStandardInput(&text, &why) : ReadWholeFile(manifest_path, &text, &why))) {
    Error(err, label + ": cannot read: " + why);
    return false;
  }
  ManifestResult parsed = ParseManifest(text, need);
  if (!parsed.manifest) {
    Error(err, FieldLine(parsed.error, label));
    return false;
  }
  prepared->manifest = std::move(*parsed.manifest);
  const auto& records = prepared->manifest.records;
  prepared->saved.assign(records.size(), std::nullopt);
  const std::filesystem::path base =
      from_input ? std::filesystem::path() : FsPath(manifest_path).parent_path();
  for (size_t i = 0; i < records.size(); ++i) {
    if (!records[i].saved) continue;
    const SavedContent& saved = *records[i].saved;
    const std::string field = "records[" + std::to_string(i) + "].saved.content_file";
    std::filesystem::path content = FsPath(saved.content_file);
    if (content.is_relative()) content = base / content;
    ResolvedSaved resolved;
    resolved.path = Utf8(content);
    auto size = RegularFileSize(resolved.path, &why);
    if (!size) {
      Error(err, label + ": " + field + ": cannot use " + resolved.path + ": " + why);
      return false;
    }
    if (*size > kMaxFileSize) {
      Error(err, label + ": " + field + ": " + resolved.path +
                     " is larger than an uninstall file can be");
      return false;
    }
    resolved.length = static_cast<uint32_t>(*size);
    if (saved.time) {
      resolved.time = *saved.time;
    } else {
      auto time = LastWriteTime(resolved.path, &why);
      if (!time) {
        Error(err, label + ": " + field + ": " + resolved.path + ": " + why);
        return false;
      }
      resolved.time = *time;
    }
    prepared->saved[i] = resolved;
  }
  return true;
}

// Bytes the record takes in the file, header included.
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
        size += 1 + (saved ? kiv::kSavedTimeSize + 4 + saved->length : 0);
        break;
    }
  }
  return size;
}

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

class FileSource final : public kiv::ByteSource {
 public:
  explicit FileSource(FILE* file) : file_(file) {}
  uint32_t Read(void* buffer, uint32_t size) override {
    return static_cast<uint32_t>(fread(buffer, 1, size, file_));
  }

 private:
  FILE* file_;
};

// Writes one record. Fields were checked by the manifest parser, so a false
// from the writer is an I/O fault (or saved content that changed under us).
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
  FileSource source(content);
  bool ok = writer.AddRestoredFile(r.path.c_str(), saved->time, source, saved->length);
  if (!ok) *why = "cannot copy " + saved->path + " (did it change?)";
  fclose(content);
  return ok;
}

// The trailer's name offset, for a message about the display name.
std::optional<uint32_t> TrailerNameOffset(const std::string& path) {
  FILE* f = OpenFile(path, "rb");
  if (!f) return std::nullopt;
  uint8_t trailer[kiv::kTrailerSize];
  std::optional<uint32_t> result;
  if (fseek(f, -static_cast<long>(kiv::kTrailerSize), SEEK_END) == 0 &&
      fread(trailer, 1, sizeof(trailer), f) == sizeof(trailer)) {
    result = kiv::LoadU32(trailer + kiv::kTrailerNameOffset);
  }
  fclose(f);
  return result;
}

// One line on what is wrong with the file, and where.
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
    case kiv::Damage::kNameInvalid: {
      auto name = TrailerNameOffset(path);
      return path + ": damaged at " + Offset(name ? *name : size - kiv::kTrailerSize) + ": " +
             reason;
    }
    default: return path + ": damaged at " + Offset(verdict.offset) + ": " + reason;
  }
}

// Opens and checks the file as the stub does; prints the fault and returns
// false when it is not sound.
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

// A string for the table: control bytes and quotes as \xNN, the rest as is.
// The C1 controls U+0080 to U+009F (UTF-8 C2 80 to C2 9F) show the same
// way, as the byte of the same value: Windows-1252 leaves 0x81, 0x8D, 0x8F,
// 0x90 and 0x9D unassigned and decodes them so.
std::string Quoted(const std::string& utf8) {
  std::string out = "\"";
  const auto escape = [&](uint8_t value) {
    char esc[8];
    snprintf(esc, sizeof(esc), "\\x%02X", value);
    out += esc;
  };
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<uint8_t>(utf8[i]);
    if (b < 0x20 || b == 0x7F || b == '"') {
      escape(b);
    } else if (b == 0xC2 && i + 1 < utf8.size() && static_cast<uint8_t>(utf8[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(utf8[i + 1]) <= 0x9F) {
      escape(static_cast<uint8_t>(utf8[++i]));
    } else {
      out += utf8[i];
    }
  }
  return out + "\"";
}

std::string FieldText(const std::string& key, const nlohmann::ordered_json& value) {
  if (key == "saved" && value.is_object()) {
    std::string when = value["time_utc"].is_string() ? value["time_utc"].get<std::string>()
                                                     : value["time"].get<std::string>();
    return "saved=" + std::to_string(value["length"].get<uint32_t>()) + " bytes @ " + when;
  }
  if (value.is_null()) return key + "=none";
  if (value.is_boolean()) return key + (value.get<bool>() ? "=true" : "=false");
  return key + "=" + Quoted(value.get<std::string>());
}

void PrintTable(const Listing& listing, std::ostream& out) {
  const size_t undo = listing.records.empty() ? 0 : listing.records.size() - 1;
  out << "Display name: " << Quoted(listing.display_name) << '\n';
  out << undo << (undo == 1 ? " record" : " records") << " to undo, last written first:\n\n";
  size_t offset_width = 6, type_width = 4;
  for (const auto& r : listing.records) {
    offset_width = std::max(offset_width, std::to_string(r.offset).size());
    type_width = std::max(type_width, strlen(RecordTypeName(r.type)));
  }
  const auto pad_left = [](const std::string& s, size_t w) {
    return std::string(w > s.size() ? w - s.size() : 0, ' ') + s;
  };
  const auto pad_right = [](const std::string& s, size_t w) {
    return s + std::string(w > s.size() ? w - s.size() : 0, ' ');
  };
  out << pad_left("OFFSET", offset_width) << "  " << pad_right("TYPE", type_width) << "  FIELDS\n";
  for (const auto& r : listing.records) {
    std::string fields;
    for (const auto& [key, value] : r.fields.items()) {
      fields += (fields.empty() ? "" : "  ") + FieldText(key, value);
    }
    std::string line = pad_left(std::to_string(r.offset), offset_width) + "  " +
                       pad_right(RecordTypeName(r.type), type_width);
    if (!fields.empty()) line += "  " + fields;
    // Records with no fields leave trailing blanks from the padding.
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << '\n';
  }
}

void PrintJson(const Listing& listing, std::ostream& out) {
  nlohmann::ordered_json doc = nlohmann::ordered_json::object();
  doc["display_name"] = listing.display_name;
  doc["size"] = listing.size;
  doc["records"] = nlohmann::ordered_json::array();
  for (const auto& r : listing.records) {
    if (r.type == RecordType::kEndOfLog) {
      doc["end_of_log"] = r.offset;
      continue;
    }
    nlohmann::ordered_json record = nlohmann::ordered_json::object();
    record["offset"] = r.offset;
    record["type"] = RecordTypeName(r.type);
    for (const auto& [key, value] : r.fields.items()) record[key] = value;
    doc["records"].push_back(std::move(record));
  }
  out << doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

bool WriteZeros(kiv::ByteSink& sink, uint32_t count) {
  static const uint8_t kZeros[4096] = {};
  while (count > 0) {
    const uint32_t step = std::min<uint32_t>(count, sizeof(kZeros));
    if (!sink.Write(kZeros, step)) return false;
    count -= step;
  }
  return true;
}

// An MZ header whose e_lfanew names a "PE\0\0" signature inside the file.
bool IsPeImage(const std::string& bytes) {
  if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  const uint32_t pe = kiv::LoadU32(reinterpret_cast<const uint8_t*>(bytes.data()) + 0x3C);
  return pe <= bytes.size() - 4 && memcmp(bytes.data() + pe, "PE\0\0", 4) == 0;
}

bool IsSignature(const uint8_t* bytes) {
  return memcmp(bytes, kiv::kSignature, kiv::kSignatureSize) == 0;
}

void StoreTrailer(uint8_t* trailer, uint32_t name_offset, uint32_t last_record) {
  kiv::StoreU32(trailer + kiv::kTrailerNameOffset, name_offset);
  kiv::StoreU32(trailer + kiv::kTrailerLastRecordOffset, last_record);
  memcpy(trailer + kiv::kTrailerSignatureOffset, kiv::kSignature, kiv::kSignatureSize);
}

// Every write of an append goes through here, counted, so that a test can
// end the process after any write or byte as a kill would.
class AppendWrites {
 public:
  AppendWrites(LockedFile& file, const AppendStop& stop) : file_(file), stop_(stop) {}

  bool Write(uint64_t offset, const void* data, size_t size, std::string* why) {
    if (stop_.after_writes && writes_ == *stop_.after_writes) std::_Exit(kExitCutOff);
    if (stop_.after_bytes && bytes_ + size > *stop_.after_bytes) {
      // A write of a trailer lies within one block and is never torn by a
      // kill or a crash (a disk writes a sector whole): stop before it.
      // Anything longer may end at any byte.
      if (size > kiv::kTrailerSize) {
        file_.WriteAt(offset, data, static_cast<size_t>(*stop_.after_bytes - bytes_), why);
      }
      std::_Exit(kExitCutOff);
    }
    if (!file_.WriteAt(offset, data, size, why)) return false;
    ++writes_;
    bytes_ += size;
    return true;
  }
  bool Flush(std::string* why) { return file_.Flush(why); }

 private:
  LockedFile& file_;
  const AppendStop& stop_;
  uint64_t writes_ = 0, bytes_ = 0;
};

// A ByteSink that gathers bytes into large writes at increasing offsets.
class BufferedSink final : public kiv::ByteSink {
 public:
  BufferedSink(AppendWrites& writes, uint32_t position) : writes_(writes), flushed_(position) {
    buffer_.reserve(kBuffer);
  }
  bool Write(const void* data, uint32_t size) override {
    if (failed_) return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const uint32_t step =
          std::min<uint32_t>(size, static_cast<uint32_t>(kBuffer - buffer_.size()));
      buffer_.append(bytes, step);
      bytes += step;
      size -= step;
      if (buffer_.size() == kBuffer && !Drain()) return false;
    }
    return true;
  }
  uint32_t Position() const override { return flushed_ + static_cast<uint32_t>(buffer_.size()); }
  bool Drain() {
    if (failed_) return false;
    if (buffer_.empty()) return true;
    if (!writes_.Write(flushed_, buffer_.data(), buffer_.size(), &why_)) {
      failed_ = true;
      return false;
    }
    flushed_ += static_cast<uint32_t>(buffer_.size());
    buffer_.clear();
    return true;
  }
  bool failed() const { return failed_; }
  const std::string& why() const { return why_; }

 private:
  static constexpr size_t kBuffer = 1 << 20;
  AppendWrites& writes_;
  uint32_t flushed_;
  std::string buffer_;
  bool failed_ = false;
  std::string why_;
};

}  // namespace

int Build(const std::string& manifest_path, const std::string& stub_path,
          const std::string& out_path, std::ostream& /*out*/, std::ostream& err) {
  Prepared prepared;
  if (!Prepare(manifest_path, DisplayName::kRequired, &prepared, err)) return kExitFailed;
  const Manifest& manifest = prepared.manifest;

  // The output is written beside and renamed over: were it one of the
  // inputs, that input would be lost.
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
      return kExitFailed;
    }
  }

  std::string stub_bytes, why;
  if (!RefuseIrregular(stub_path, err)) return kExitFailed;
  if (!ReadWholeFile(stub_path, &stub_bytes, &why)) {
    Error(err, stub_path + ": cannot read: " + why);
    return kExitFailed;
  }
  if (!IsPeImage(stub_bytes)) {
    Error(err,
          stub_path +
              ": not a Windows executable (no MZ and PE headers); give the stub, kivuninst.exe");
    return kExitFailed;
  }
  if (stub_bytes.size() >= kiv::kTrailerSize &&
      IsSignature(reinterpret_cast<const uint8_t*>(stub_bytes.data()) + stub_bytes.size() -
                  kiv::kSignatureSize)) {
    Error(err, stub_path +
                   ": already an uninstall file (it ends with the signature); give the bare stub");
    return kExitFailed;
  }
  uint64_t total = stub_bytes.size() + kiv::kRecordHeaderSize;
  for (size_t i = 0; i < manifest.records.size(); ++i) {
    total += EncodedSize(manifest.records[i], prepared.saved[i]);
  }
  total += manifest.display_name->size() + 1 + kiv::kTrailerSize;
  if (total > kMaxFileSize) {
    Error(err, out_path + ": would be " + std::to_string(total) +
                   " bytes; an uninstall file holds at most " + std::to_string(kMaxFileSize));
    return kExitFailed;
  }
  if (stub_bytes.size() > kiv::kTemporaryCopyLimit) {
    err << "kivlog: warning: " << stub_path << " is " << stub_bytes.size()
        << " bytes, but the uninstall's temporary copy keeps only its first "
        << kiv::kTemporaryCopyLimit << '\n';
  }

  std::string temp;
  FILE* file = CreateSiblingTempFile(out_path, &temp, &why);
  if (!file) {
    Error(err, out_path + ": cannot create a file beside it: " + why);
    return kExitFailed;
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
  if (failure.empty() && !writer.Finish(manifest.display_name->c_str())) {
    failure = out_path + ": cannot write: " + ErrnoText();
  }
  if (failure.empty() && !FlushToDisk(file)) failure = out_path + ": cannot write: " + ErrnoText();
  if (fclose(file) != 0 && failure.empty()) failure = out_path + ": cannot write: " + ErrnoText();
  if (failure.empty() && sink.Position() != total) {
    failure = out_path + ": wrote " + std::to_string(sink.Position()) + " bytes, expected " +
              std::to_string(total);
  }
  if (failure.empty() && !MoveIntoPlace(temp, out_path, &why)) failure = out_path + ": " + why;
  if (!failure.empty()) {
    RemoveFile(temp);
    Error(err, failure);
    return kExitFailed;
  }
  return kExitOk;
}

int List(const std::string& path, bool json, uint32_t code_page, std::ostream& out,
         std::ostream& err) {
  if (!RefuseIrregular(path, err)) return kExitFailed;
  kiv::LogReader reader(OpenFile(path, "rb"), LeadByteTestFor(code_page));
  kiv::ChainVerdict verdict;
  if (!OpenSound(path, reader, &verdict, err)) return kExitFailed;
  const Listing listing = ReadListing(reader, code_page);
  if (json) {
    PrintJson(listing, out);
  } else {
    PrintTable(listing, out);
  }
  return kExitOk;
}

int Check(const std::string& path, bool json, uint32_t code_page, std::ostream& out,
          std::ostream& err) {
  if (!RefuseIrregular(path, err)) return kExitFailed;
  kiv::LogReader reader(OpenFile(path, "rb"), LeadByteTestFor(code_page));
  if (!reader.has_stream()) {
    Error(err, path + ": cannot open: " + ErrnoText());
    return kExitFailed;
  }
  nlohmann::ordered_json doc = nlohmann::ordered_json::object();
  doc["file"] = path;
  const kiv::ChainVerdict verdict = reader.CheckChain();
  if (verdict.damage != kiv::Damage::kNone) {
    const std::string line = DamageLine(path, reader, verdict);
    if (!json) {
      Error(err, line);
      return kExitFailed;
    }
    doc["sound"] = false;
    doc["damage"] = line.substr(path.size() + 2);
    out << doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    return kExitFailed;
  }
  // Sound; now what the stub would mishandle though it takes the file.
  const Listing listing = ReadListing(reader, code_page);
  const size_t undo = listing.records.size() - 1;  // without the type-0 record
  std::vector<std::string> faults;
  nlohmann::ordered_json json_faults = nlohmann::ordered_json::array();
  if (auto fault = DisplayNameFault(listing.display_name)) {
    const uint32_t at = TrailerNameOffset(path).value_or(0);
    faults.push_back("display name at " + Offset(at) + ": " + *fault);
    json_faults.push_back({{"field", "display_name"}, {"offset", at}, {"message", *fault}});
  }
  for (size_t j = 0; j < undo; ++j) {
    const ListedRecord& r = listing.records[j];
    auto fault = RecordFault(r.raw);
    if (!fault) continue;
    // Numbered as in the manifest: in the order the records were written.
    const size_t index = undo - 1 - j;
    faults.push_back("records[" + std::to_string(index) + "]." + fault->field + " (" +
                     RecordTypeName(r.type) + " at " + Offset(r.offset) + "): " + fault->message);
    json_faults.push_back({{"record", index},
                           {"type", RecordTypeName(r.type)},
                           {"offset", r.offset},
                           {"field", fault->field},
                           {"message", fault->message}});
  }
  const uint32_t image = listing.records.back().offset;  // the type-0 record follows the image
  std::string warning;
  if (image > kiv::kTemporaryCopyLimit) {
    warning = "the stub's image is " + std::to_string(image) +
              " bytes, but the uninstall's temporary copy keeps only its first " +
              std::to_string(kiv::kTemporaryCopyLimit);
  }
  if (json) {
    doc["sound"] = true;
    doc["records"] = undo;
    doc["faults"] = json_faults;
    doc["warning"] =
        warning.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(warning);
    out << doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    return faults.empty() ? kExitOk : kExitFailed;
  }
  if (!warning.empty()) err << "kivlog: warning: " << path << ": " << warning << '\n';
  for (const auto& line : faults) Error(err, path + ": " + line);
  if (!faults.empty()) return kExitFailed;
  out << "ok: " << undo << (undo == 1 ? " record" : " records") << '\n';
  return kExitOk;
}

namespace {

// Text for the manifest: the bytes decoded from the code page, but only when
// encoding them again gives the same bytes (else build could not remake them).
bool RoundTripText(const std::string& bytes, uint32_t code_page, std::string* utf8) {
  *utf8 = DecodeAnsi(bytes, code_page);
  std::string again, bad;
  return EncodeAnsi(*utf8, code_page, &again, &bad) && again == bytes;
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

}  // namespace

int Unpack(const std::string& path, const std::string& out_dir, uint32_t code_page,
           std::ostream& out, std::ostream& err) {
  if (!RefuseIrregular(path, err)) return kExitFailed;
  kiv::LogReader reader(OpenFile(path, "rb"), LeadByteTestFor(code_page));
  kiv::ChainVerdict verdict;
  if (!OpenSound(path, reader, &verdict, err)) return kExitFailed;
  const Listing listing = ReadListing(reader, code_page);
  reader.Close();

  std::error_code error;
  const std::filesystem::path dir = FsPath(out_dir);
  if (std::filesystem::exists(dir, error) && !std::filesystem::is_empty(dir, error)) {
    Error(err, out_dir + ": not empty; name a new or empty directory");
    return kExitFailed;
  }
  std::filesystem::create_directories(dir / "saved", error);
  if (error) {
    Error(err, out_dir + ": cannot create: " + error.message());
    return kExitFailed;
  }

  nlohmann::ordered_json manifest = nlohmann::ordered_json::object();
  std::string text;
  if (!RoundTripText(listing.display_name_bytes, code_page, &text)) {
    Error(err, path + ": the display name does not go through code page " +
                   std::to_string(code_page) +
                   " and back; unpack with --code-page 1252, which keeps every byte");
    return kExitFailed;
  }
  manifest["display_name"] = text;
  manifest["code_page"] = code_page;
  manifest["records"] = nlohmann::ordered_json::array();

  FILE* file = OpenFile(path, "rb");
  if (!file) {
    Error(err, path + ": cannot open: " + ErrnoText());
    return kExitFailed;
  }
  const size_t count = listing.records.size() - 1;  // without the type-0 record
  std::string failure, why;
  for (size_t index = 0; failure.empty() && index < count; ++index) {
    const ListedRecord& r = listing.records[count - 1 - index];  // in the order written
    const std::string where =
        "records[" + std::to_string(index) + "] (at " + Offset(r.offset) + ")";
    nlohmann::ordered_json record = nlohmann::ordered_json::object();
    record["type"] = RecordTypeName(r.type);
    const auto text_field = [&](const char* name, const std::string& bytes) {
      std::string utf8;
      if (!RoundTripText(bytes, code_page, &utf8)) {
        failure = where + "." + name + ": does not go through code page " +
                  std::to_string(code_page) +
                  " and back; unpack with --code-page 1252, which keeps every byte";
      }
      record[name] = utf8;
    };
    const ManifestRecord& raw = r.raw;
    const kiv::RecordLayout& layout = kiv::LayoutOf(r.type);
    for (uint32_t f = 0; f < layout.field_count; ++f) {
      const kiv::FieldLayout& field = layout.fields[f];
      const char* field_name = kiv::NamesOf(r.type).fields[f];
      switch (field.kind) {
        case kiv::FieldKind::kString: text_field(field_name, *FieldText(raw, field_name)); break;
        case kiv::FieldKind::kFlag: record[field_name] = r.fields[field_name]; break;
        case kiv::FieldKind::kOptionalString:
          if (raw.data) {
            text_field(field_name, *raw.data);
          } else {
            record[field_name] = nullptr;
          }
          break;
        case kiv::FieldKind::kSavedCopy:
          if (r.fields[field_name].is_object()) {
            const uint32_t length = r.fields[field_name]["length"].get<uint32_t>();
            const std::string name = "saved/" + std::to_string(index) + ".bin";
            if (!CopyRange(file, r.end - length, length, Utf8(dir / FsPath(name)), &why))
              failure = why;
            record[field_name] = {{"content_file", name}, {"time", r.fields[field_name]["time"]}};
          }
          break;
      }
    }
    manifest["records"].push_back(std::move(record));
  }
  const uint32_t image = listing.records.back().offset;
  if (failure.empty() && !CopyRange(file, 0, image, Utf8(dir / "stub.exe"), &why)) failure = why;
  fclose(file);
  if (failure.empty()) {
    FILE* json = OpenFile(Utf8(dir / "manifest.json"), "wb");
    const std::string body = manifest.dump(2) + "\n";
    if (!json || fwrite(body.data(), 1, body.size(), json) != body.size() || fclose(json) != 0) {
      failure = out_dir + ": cannot write manifest.json";
    }
  }
  if (!failure.empty()) {
    Error(err, path + ": " + failure);
    return kExitFailed;
  }
  out << "unpacked " << count << (count == 1 ? " record" : " records") << " into " << out_dir
      << "; kivlog build " << Utf8(dir / "manifest.json") << " --stub " << Utf8(dir / "stub.exe")
      << " -o OUT.exe makes the file again\n";
  return kExitOk;
}

int Append(const std::string& path, const std::string& manifest_path, const AppendStop& stop,
           std::ostream& /*out*/, std::ostream& err) {
  Prepared prepared;
  if (!Prepare(manifest_path, DisplayName::kOptional, &prepared, err)) return kExitFailed;
  const Manifest& manifest = prepared.manifest;

  // Held to the end: a second append waits here, and reads the file only
  // once this one is done with it.
  LockedFile file;
  std::string why;
  if (!RefuseIrregular(path, err)) return kExitFailed;
  if (!file.Open(path, &why)) {
    Error(err, path + ": cannot open for writing: " + why);
    return kExitFailed;
  }

  // The file as it stands: sound, its trailer, its last record and its name.
  uint32_t last_record, old_size;
  uint8_t old_trailer[kiv::kTrailerSize];
  std::string name;
  {
    kiv::LogReader reader(OpenFile(path, "rb"), LeadByteTestFor(manifest.code_page));
    kiv::ChainVerdict verdict;
    if (!OpenSound(path, reader, &verdict, err)) return kExitFailed;
    last_record = reader.last_record();
    old_size = reader.size();
    name = manifest.display_name ? *manifest.display_name : std::string(reader.display_name());
    auto name_offset = TrailerNameOffset(path);
    if (!name_offset) {
      Error(err, path + ": cannot read its trailer");
      return kExitFailed;
    }
    StoreTrailer(old_trailer, *name_offset, last_record);
  }
  if (manifest.records.empty() && !manifest.display_name) return kExitOk;  // nothing to add

  // The new records, name and trailer go after the old end of the file, so
  // nothing the old trailer reaches is touched. The trailer lies within one
  // 4 KiB block (zeros after the name move it there), so that a write of it
  // is never half done for want of room.
  uint64_t name_at = old_size;
  for (size_t i = 0; i < manifest.records.size(); ++i) {
    name_at += EncodedSize(manifest.records[i], prepared.saved[i]);
  }
  uint64_t trailer_at = name_at + name.size() + 1;
  if (trailer_at / kTrailerBlock != (trailer_at + kiv::kTrailerSize - 1) / kTrailerBlock) {
    trailer_at = (trailer_at / kTrailerBlock + 1) * kTrailerBlock;
  }
  const uint64_t total = trailer_at + kiv::kTrailerSize;
  if (total > kMaxFileSize) {
    Error(err, path + ": would grow to " + std::to_string(total) +
                   " bytes; an uninstall file holds at most " + std::to_string(kMaxFileSize));
    return kExitFailed;
  }
  file.Reserve(old_size, total);

  AppendWrites writes(file, stop);
  std::string failure;
  uint8_t new_trailer[kiv::kTrailerSize];
  // 1. A copy of the old trailer at the new end: the file says what it said
  //    before, with free room between the old trailer and the new end.
  if (!writes.Write(trailer_at, old_trailer, sizeof(old_trailer), &why)) failure = why;
  // 2. The records, chained to the old last record, and the name, in that room.
  if (failure.empty()) {
    BufferedSink sink(writes, old_size);
    kiv::LogWriter writer(sink);
    writer.Resume(last_record);
    for (size_t i = 0; failure.empty() && i < manifest.records.size(); ++i) {
      if (!WriteRecord(writer, manifest.records[i], prepared.saved[i], &why)) {
        failure = "records[" + std::to_string(i) + "]: " + (sink.failed() ? sink.why() : why);
      }
    }
    const uint32_t name_offset = sink.Position();
    if (failure.empty() &&
        (!sink.Write(name.c_str(), static_cast<uint32_t>(name.size()) + 1) ||
         !WriteZeros(sink, static_cast<uint32_t>(trailer_at - sink.Position())) || !sink.Drain())) {
      failure = sink.why();
    }
    if (failure.empty() && sink.Position() != trailer_at) {
      failure = "wrote up to " + std::to_string(sink.Position()) + ", expected " +
                std::to_string(trailer_at) + " (did a saved file change?)";
    }
    StoreTrailer(new_trailer, name_offset, writer.last_record());
  }
  // 3. All that on the disk; 4. the trailer naming the new records and name
  //    in one small write over the copy, and on the disk again.
  if (failure.empty() && !writes.Flush(&why)) failure = why;
  if (failure.empty() && !writes.Write(trailer_at, new_trailer, sizeof(new_trailer), &why)) {
    failure = why;
  }
  if (failure.empty() && !writes.Flush(&why)) failure = why;
  if (!failure.empty()) {
    // The old file is still all there in front: cut back to it, so a
    // failed append leaves the file as it was.
    file.Truncate(old_size, &why);
    Error(err, path + ": cannot append: " + failure);
    return kExitFailed;
  }
  return kExitOk;
}

namespace {

int Usage(std::ostream& err, std::string line) {
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  Error(err, line + " (see kivlog --help)");
  return kExitUsage;
}

std::optional<uint64_t> ParseCount(const char* text) {
  if (!text || *text == '\0') return std::nullopt;
  uint64_t value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || value > (UINT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  return value;
}

// --code-page: a code page the tool can decode from.
CLI::Validator CodePageValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        auto value = ParseCount(text.c_str());
        if (value && *value != kAsciiOnly && *value <= UINT32_MAX &&
            IsKnownCodePage(static_cast<uint32_t>(*value))) {
          return "";
        }
        return std::string("--code-page takes ") + KnownCodePagesText();
      },
      "CODE_PAGE");
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app("Builds, lists, checks and extends Kiv uninstall files.", "kivlog");
  app.footer(
      "Exit status: 0 success, 1 damaged or invalid input, 2 bad usage.\n"
      "Run kivlog COMMAND --help for a command's options. The manifest is\n"
      "described in docs/kivlog.md; a manifest named - is read from standard input.");
  app.set_version_flag("--version", std::string("kivlog ") + KIVLOG_VERSION);
  app.require_subcommand(1, 1);

  std::string manifest, stub, output, file;
  bool json = false;
  uint32_t code_page = kWindows1252;

  CLI::App* build = app.add_subcommand(
      "build",
      "Write OUT.exe: the stub, then the manifest's records, display name and trailer. "
      "Every field is checked first; OUT.exe appears only when complete.");
  build->add_option("MANIFEST", manifest, "the manifest (JSON), or - for standard input")
      ->required();
  build->add_option("--stub", stub, "the bare stub, kivuninst.exe")->required();
  build->add_option("-o,--output", output, "the uninstall file to write")->required();

  CLI::App* list = app.add_subcommand(
      "list", "Show the display name and the records in the order the uninstall undoes them.");
  list->add_option("FILE", file, "an uninstall file")->required();
  list->add_flag("--json", json, "print JSON");
  list->add_option("--code-page", code_page, "decode strings from this code page (default 1252)")
      ->check(CodePageValidator());

  CLI::App* check = app.add_subcommand(
      "check",
      "Check the file as the uninstaller does, then by every rule build applies. "
      "Prints \"ok: N records\", or each fault with its record and offset.");
  check->add_option("FILE", file, "an uninstall file")->required();
  check->add_flag("--json", json, "print the verdict as JSON");
  check
      ->add_option("--code-page", code_page,
                   "read the display name in this code page (default 1252)")
      ->check(CodePageValidator());

  CLI::App* append =
      app.add_subcommand("append",
                         "Add the manifest's records to a sound uninstall file in one transaction: "
                         "stopped anywhere, the file holds the old records or all of them.");
  append->add_option("FILE", file, "the uninstall file")->required();
  append->add_option("MANIFEST", manifest, "the manifest (JSON), or - for standard input")
      ->required();

  CLI::App* unpack = app.add_subcommand(
      "unpack",
      "Write a manifest, the stub and the saved contents of an uninstall file into "
      "DIR, from which build makes the same file again.");
  unpack->add_option("FILE", file, "an uninstall file")->required();
  unpack->add_option("-o,--output", output, "a new or empty directory")->required();
  unpack
      ->add_option("--code-page", code_page,
                   "the code page of the manifest's text (default 1252, which keeps every byte)")
      ->check(CodePageValidator());

  for (CLI::App* command : {build, list, check, append, unpack}) {
    command->fallthrough(false);
  }

  std::vector<std::string> reversed(args.rbegin(), args.rend());  // as CLI11 takes them
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e, out, err);  // --help, --version
    return Usage(err, e.what());
  }

  if (build->parsed()) return Build(manifest, stub, output, out, err);
  if (list->parsed()) return List(file, json, code_page, out, err);
  if (check->parsed()) return Check(file, json, code_page, out, err);
  if (unpack->parsed()) return Unpack(file, output, code_page, out, err);
  AppendStop stop;
  if (const char* seam = getenv("KIVLOG_APPEND_STOP")) {
    const std::string text = seam;
    if (text.rfind("writes:", 0) == 0) stop.after_writes = ParseCount(text.c_str() + 7);
    if (text.rfind("bytes:", 0) == 0) stop.after_bytes = ParseCount(text.c_str() + 6);
    if (!stop.after_writes && !stop.after_bytes) {
      return Usage(err, "KIVLOG_APPEND_STOP is not writes:N or bytes:N");
    }
  }
  return Append(file, manifest, stop, out, err);
}

}  // namespace kivlog
