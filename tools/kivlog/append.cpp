// kivlog append: the manifest's records added to a sound uninstall file in
// one transaction, with the file held against other appends throughout.
#include <string.h>

#include <algorithm>
#include <sstream>
#include <utility>

#include "code_page.h"
#include "command_common.h"
#include "commands.h"
#include "file_ops.h"
#include "listing.h"
#include "stream_source.h"

namespace kivlog {

namespace {

// An append keeps its trailer within one block of this size.
constexpr uint64_t kTrailerBlock = 4096;

bool WriteZeros(kiv::ByteSink& sink, uint32_t count) {
  static const uint8_t kZeros[4096] = {};
  while (count > 0) {
    const uint32_t step = std::min<uint32_t>(count, sizeof(kZeros));
    if (!sink.Write(kZeros, step)) return false;
    count -= step;
  }
  return true;
}

// A ByteSink that gathers bytes into large writes at increasing offsets.
class BufferedSink final : public kiv::ByteSink {
 public:
  BufferedSink(LockedFile& file, uint32_t position) : file_(file), flushed_(position) {
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
    if (!file_.WriteAt(flushed_, buffer_.data(), buffer_.size(), &why_)) {
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
  LockedFile& file_;
  uint32_t flushed_;
  std::string buffer_;
  bool failed_ = false;
  std::string why_;
};

// The file as it stands: sound, its size, its last record, its trailer, and
// the display name the append leaves (the manifest's, else the file's).
struct OldEnd {
  uint32_t size = 0;
  uint32_t last_record = 0;
  uint8_t trailer[kiv::kTrailerSize] = {};
  std::string name;
  uint32_t code_page = 0;  // what the file names; 0: none
  // A signed file keeps its log inside the certificate table: the append
  // grows both lengths with the file, to a multiple of 8.
  bool keeps_signed = false;
  kiv::SignaturePart part;
};

// Read through the held file only. earlier: the file's records in the
// order written, for the warning pass.
bool ReadOldEnd(const std::string& path, LockedFile& file, const Manifest& manifest, OldEnd* old,
                std::vector<ManifestRecord>* earlier, std::ostream& err) {
  HeldSource source(file);
  kiv::LogReader reader(source, LeadByteTestFor(manifest.code_page));
  kiv::ChainVerdict verdict;
  if (!OpenSound(path, reader, &verdict, err)) return false;
  if (earlier) {
    // Read newest first, without the fields' display text.
    const ListingHead head =
        ReadListingHead(reader, manifest.code_page ? manifest.code_page : kWindows1252);
    const size_t start = earlier->size();
    earlier->reserve(start + head.undo);
    WalkListing(reader, head, false, [&](const ListedRecord& r) {
      if (r.type != kiv::RecordType::kEndOfLog) earlier->push_back(r.raw);
    });
    std::reverse(earlier->begin() + static_cast<std::ptrdiff_t>(start), earlier->end());
  }
  old->last_record = reader.last_record();
  old->code_page = reader.code_page();
  old->size = reader.size();
  old->name = manifest.display_name ? *manifest.display_name : std::string(reader.display_name());
  kiv::StoreTrailer(old->trailer, reader.name_offset(), old->last_record);
  // Signed with the log inside the table, or left by an append stopped
  // between its length writes (the table still starts soundly and the file
  // ends on a multiple of 8 from it): the append keeps, or makes, it signed.
  // A file whose log lies after its table some other way stays as it is.
  const SignedLog where = WhereSignedLogLies(source, old->size, &old->part);
  old->keeps_signed =
      where == SignedLog::kInside || where == SignedLog::kLengthsDisagree ||
      (where == SignedLog::kOutside &&
       (old->size - old->part.table_offset) % kiv::kCertificateAlignment == 0);
  return true;
}

// Where the new trailer goes: after the new records and the name, moved on
// to the next block when it would cross one, so that a write of it is never
// half done for want of room.
uint64_t NewTrailerAt(const OldEnd& old, const Prepared& prepared) {
  uint64_t name_at = old.size;
  for (size_t i = 0; i < prepared.manifest.records.size(); ++i) {
    name_at += EncodedSize(prepared.manifest.records[i], prepared.saved[i]);
  }
  uint64_t trailer_at = name_at + old.name.size() + 1;
  // Signed: the file, so the table, ends on a multiple of 8 (a block
  // boundary is one, and the trailer then starts 4 bytes after it).
  const uint64_t skew =
      old.keeps_signed ? kiv::kCertificateAlignment - kiv::kTrailerSize % kiv::kCertificateAlignment
                       : 0;
  if (old.keeps_signed) {
    trailer_at = (trailer_at + kiv::kTrailerSize + kiv::kCertificateAlignment - 1) /
                     kiv::kCertificateAlignment * kiv::kCertificateAlignment -
                 kiv::kTrailerSize;
  }
  if (trailer_at / kTrailerBlock != (trailer_at + kiv::kTrailerSize - 1) / kTrailerBlock) {
    trailer_at = (trailer_at / kTrailerBlock + 1) * kTrailerBlock + skew;
  }
  return trailer_at;
}

// The records, chained to the old last record, then the name and the zeros
// up to trailer_at, from the old end on; the new trailer goes to
// new_trailer. Empty when all went in, else what failed.
std::string WriteRecordsAndName(LockedFile& file, const Prepared& prepared, const OldEnd& old,
                                uint64_t trailer_at, uint8_t* new_trailer) {
  const Manifest& manifest = prepared.manifest;
  BufferedSink sink(file, old.size);
  kiv::LogWriter writer(sink);
  writer.Resume(old.last_record, old.code_page);
  std::string why;
  for (size_t i = 0; i < manifest.records.size(); ++i) {
    if (!WriteRecord(writer, manifest.records[i], prepared.saved[i], &why)) {
      return "records[" + std::to_string(i) + "]: " + (sink.failed() ? sink.why() : why);
    }
  }
  const uint32_t name_offset = sink.Position();
  if (!sink.Write(old.name.c_str(), static_cast<uint32_t>(old.name.size()) + 1) ||
      !WriteZeros(sink, static_cast<uint32_t>(trailer_at - sink.Position())) || !sink.Drain()) {
    return sink.why();
  }
  if (sink.Position() != trailer_at) {
    return "wrote up to " + std::to_string(sink.Position()) + ", expected " +
           std::to_string(trailer_at) + " (did a saved file change?)";
  }
  kiv::StoreTrailer(new_trailer, name_offset, writer.last_record());
  return "";
}

// Both lengths of a signed file's signature part set to reach `end`, each
// written and on the disk in turn.
bool WriteSignatureLengths(LockedFile& file, const kiv::SignaturePart& part, uint64_t end,
                           std::string* why, bool shrinking = false) {
  uint8_t length[4];
  kiv::StoreU32(length, static_cast<uint32_t>(end - part.table_offset));
  // The certificate's length never passes the directory's size between the
  // two writes: growing, the directory's goes first; shrinking (a failed
  // append put back), the certificate's.
  uint32_t first = part.directory_entry + 4, second = part.table_offset;
  if (shrinking) std::swap(first, second);
  return file.WriteAt(first, length, sizeof(length), why) && file.Flush(why) &&
         file.WriteAt(second, length, sizeof(length), why) && file.Flush(why);
}

// The new records, name and trailer go after the old end of the file, so
// nothing the old trailer reaches is touched. Each step is on the disk
// before the next begins: a disk may keep any of the writes made since the
// last flush and lose the others, so wherever the power goes the file ends
// in a trailer naming the old records or the new ones. Empty when the
// append went in whole, else what failed.
std::string WriteAppend(LockedFile& file, const Prepared& prepared, const OldEnd& old,
                        uint64_t trailer_at) {
  std::string why;
  // 1. A copy of the old trailer at the new end: the file says what it said
  //    before, with free room between the old trailer and the new end. Were
  //    the records on the disk without it, the file would end in the name
  //    and zeros, with no trailer at all.
  if (!file.WriteAt(trailer_at, old.trailer, sizeof(old.trailer), &why)) return why;
  if (!file.Flush(&why)) return why;
  // 1b. Signed: the directory's size and the certificate's length grown to
  //     the new end, the directory's first (a stop between the two leaves
  //     lengths that disagree; a stop before either, a table short of the
  //     end; either way the old records, and any append, even of nothing,
  //     sets both again). From here on the signature holds.
  if (old.keeps_signed && !WriteSignatureLengths(file, old.part, trailer_at + kiv::kTrailerSize, &why)) {
    return why;
  }
  // 2. The records, chained to the old last record, and the name, in that
  //    room; none of it is named by a trailer yet.
  uint8_t new_trailer[kiv::kTrailerSize];
  std::string failure = WriteRecordsAndName(file, prepared, old, trailer_at, new_trailer);
  if (!failure.empty()) return failure;
  if (!file.Flush(&why)) return why;
  // 3. The trailer naming the new records and name, in one small write over
  //    the copy (within one block: whole or not at all), and on the disk.
  if (!file.WriteAt(trailer_at, new_trailer, sizeof(new_trailer), &why)) return why;
  if (!file.Flush(&why)) return why;
  return "";
}

}  // namespace

int Append(const std::string& path, const std::string& manifest_path, std::ostream& out,
           std::ostream& err) {
  LockedFile file;
  return Append(path, manifest_path, WarningPolicy{}, file, out, err);
}

int Append(const std::string& path, const std::string& manifest_path, LockedFile& file,
           std::ostream& out, std::ostream& err) {
  return Append(path, manifest_path, WarningPolicy{}, file, out, err);
}

bool OpenForAppend(const std::string& path, LockedFile& file, std::ostream& helper) {
  std::string why;
  if (!RefuseIrregular(path, helper)) return false;
  // Held to the end: a second append waits here, and reads the file only
  // once this one is done with it.
  if (!file.Open(path, &why)) {
    Error(helper, path + ": cannot open for writing: " + why);
    return false;
  }
  return true;
}

bool AppendPrepared(const std::string& path, const Prepared& prepared, LockedFile& file,
                    bool warn, Report& report, std::ostream& helper) {
  const Manifest& manifest = prepared.manifest;
  std::string why;
  OldEnd old;
  std::vector<ManifestRecord> earlier;
  if (!ReadOldEnd(path, file, manifest, &old, warn ? &earlier : nullptr, helper)) return false;
  if (warn) {
    WarnAbout(prepared, earlier, old.name, manifest.display_name.has_value(), report);
    if (report.FailsOnWarnings()) {
      report.Error(path, error_id::kWarningsAsErrors,
                   "nothing appended: warnings are errors (--werror)");
      return false;
    }
  }
  if (manifest.records.empty() && !manifest.display_name) {
    // Nothing to add; a signed file whose lengths an append stopped short
    // of the end gets them set again (nothing else is touched).
    if (old.keeps_signed && (old.part.table_size != old.size - old.part.table_offset ||
                             old.part.certificate_length != old.part.table_size)) {
      if (!WriteSignatureLengths(file, old.part, old.size, &why)) {
        Error(helper, path + ": cannot set its signature part's lengths: " + why);
        return false;
      }
    }
    return true;
  }

  const uint64_t trailer_at = NewTrailerAt(old, prepared);
  const uint64_t total = trailer_at + kiv::kTrailerSize;
  if (total > kiv::kMaxUninstallFileSize) {
    report.Error(path, error_id::kFileTooLarge,
                 "would grow to " + std::to_string(total) +
                     " bytes; an uninstall file holds at most " +
                     std::to_string(kiv::kMaxUninstallFileSize));
    return false;
  }
  file.Reserve(old.size, total);
  const std::string failure = WriteAppend(file, prepared, old, trailer_at);
  if (!failure.empty()) {
    // The old file is still all there in front: cut back to it, so a
    // failed append leaves the file as it was.
    file.Truncate(old.size, &why);
    if (old.keeps_signed) WriteSignatureLengths(file, old.part, old.size, &why, true);
    Error(helper, path + ": cannot append: " + failure);
    return false;
  }
  // A program that does not wait for the lock may have renamed another
  // file into place meanwhile: the records are then in a file the name no
  // longer leads to, and the installer must know.
  if (!file.IsAt(path)) {
    Error(helper, path + ": was replaced by another file while the records went in; they are in "
                         "the file it replaced, not in this one: append them again");
    return false;
  }
  return true;
}

int Append(const std::string& path, const std::string& manifest_path,
           const WarningPolicy& policy, LockedFile& file, std::ostream& out, std::ostream& err) {
  Report report(policy);
  std::ostringstream helper;  // what the shared helpers say, line by line
  nlohmann::ordered_json extra = {{"command", "append"}, {"file", path}, {"appended", false}};
  Prepared prepared;
  // The file is opened and locked first, and everything after reads it
  // through that one handle: what the append checks is what it extends.
  // (What the open says is told after the manifest's faults: one run tells
  // of both.)
  std::ostringstream opening;
  const bool file_ok = OpenForAppend(path, file, opening);
  // A file that names its code page takes the manifest's text in it.
  HeldSource held(file);
  const uint32_t file_code_page = file_ok ? NamedCodePage(held) : 0;
  const bool manifest_ok =
      Prepare(manifest_path, DisplayName::kOptional, &prepared, report, helper, file_code_page,
              AppendTarget(file_code_page));
  report.Absorb(helper, error_id::kIo);
  helper << opening.str();
  if (manifest_ok && file_ok) {
    if (!CodePageAgrees(path, file_code_page, prepared, helper)) {
      report.Absorb(helper, error_id::kCodePage);
    } else {
      extra["appended"] = AppendPrepared(path, prepared, file, true, report, helper);
    }
  }
  report.Absorb(helper, error_id::kIo);
  return report.Finish(out, err, extra);
}

}  // namespace kivlog
