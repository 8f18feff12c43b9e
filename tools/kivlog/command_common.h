// What kivlog's commands share: the error line, offsets as text, the
// manifest read with its saved contents found, the records written through
// the LogWriter, and an uninstall file opened and checked as the stub does.
// Every function that can fail prints its one line on err and returns false.
#ifndef KIVLOG_COMMAND_COMMON_H_
#define KIVLOG_COMMAND_COMMON_H_

#include <stdint.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/random_source.h"
#include "diagnostics.h"
#include "listing.h"
#include "manifest.h"
#include "uninstall_file/log_reader.h"
#include "uninstall_file/log_writer.h"
#include "uninstall_file/signature_part.h"

namespace kivlog {

// "kivlog: " and the line, on the error stream.
void Error(std::ostream& err, const std::string& line);

// "offset 1234 (0x4D2)".
std::string Offset(uint64_t offset);

// Files that are not regular (a directory, a FIFO, a device) are refused
// before anything opens them: a FIFO would block the open.
bool RefuseIrregular(const std::string& path, std::ostream& err);

// Saved content as found on disk for a record of the manifest.
struct ResolvedSaved {
  std::string path;
  uint32_t length = 0;
  uint64_t time = 0;
};

struct Prepared {
  Manifest manifest;
  std::vector<std::optional<ResolvedSaved>> saved;  // one per record
  std::string label;  // the manifest as messages name it
  SourceMap map;      // where its fields lie
};

// Reads and checks the manifest ("-": standard input), and finds every saved
// content file with its length and time. Every fault goes to report (a file
// that cannot be read at all, to err); false when there was one. A manifest
// that names no code page is read in default_code_page, for target (see
// ParseManifest).
bool Prepare(const std::string& manifest_path, DisplayName need, Prepared* prepared,
             Report& report, std::ostream& err, uint32_t default_code_page = 0,
             Target target = Target::kNewFile);

// The code page a sound uninstall file names for its text; 0 when it names
// none or is not sound (the caller's own check then says why).
uint32_t NamedCodePage(kiv::RandomSource& file);
// An append to a file that names its code page (file_code_page, 0: none)
// whose manifest names another is refused, since its names would be read
// in the file's: false, with the line saying so on helper.
bool CodePageAgrees(const std::string& path, uint32_t file_code_page, const Prepared& prepared,
                    std::ostream& helper);

// The same from a manifest's text; relative content files are taken from
// base_dir (empty: the current directory).
bool PrepareText(const std::string& text, const std::string& label, const std::string& base_dir,
                 DisplayName need, Prepared* prepared, Report& report,
                 uint32_t default_code_page = 0, Target target = Target::kNewFile);

class LockedFile;  // file_ops.h

// Opens the uninstall file at path for an append and waits for its lock
// (file is left open and locked); false, with the line on helper, when it
// cannot.
bool OpenForAppend(const std::string& path, LockedFile& file, std::ostream& helper);

// Adds the prepared records to the sound uninstall file held in file (open
// and locked; path is its name in messages) in one transaction, reading and
// writing it only through file. warn: run the warning pass against the
// file's records first (and refuse under --werror). Faults go to report and,
// as lines, to helper; true when the records went in, and path still leads
// to the file that holds them.
bool AppendPrepared(const std::string& path, const Prepared& prepared, LockedFile& file,
                    bool warn, Report& report, std::ostream& helper);

// The warning pass over the manifest's records, with those of the file it
// extends in front (none for build), into report at the manifest's places.
// name_is_new: the manifest gives the display name (its warnings are due).
void WarnAbout(const Prepared& prepared, const std::vector<ManifestRecord>& earlier,
               const std::string& display_name, bool name_is_new, Report& report);

// Bytes the record takes in the file, header included.
uint64_t EncodedSize(const ManifestRecord& r, const std::optional<ResolvedSaved>& saved);

// Writes one record. Fields were checked by the manifest parser, so a false
// from the writer is an I/O fault (or saved content that changed under us);
// *why says which.
bool WriteRecord(kiv::LogWriter& writer, const ManifestRecord& r,
                 const std::optional<ResolvedSaved>& saved, std::string* why);

// What keeps an unsigned file's temporary copy from holding its stub's whole
// image (uninstall_file/pe_image.h), as one message; empty when nothing
// does. head: the first bytes of the stub or of the file (kPeHeadLimit is
// enough); file_size: the whole file's or stub's size; log_start: where the
// log begins, just after the stub.
std::string ImageFault(const uint8_t* head, uint32_t head_size, uint64_t file_size,
                       uint64_t log_start);
// The same with the head read from the file itself.
std::string ImageFaultOfFile(kiv::RandomSource& file, uint64_t file_size, uint64_t log_start);

// The file's signature part (see uninstall_file/signature_part.h), read from
// the file itself; kUnsound also when it cannot be read.
kiv::SignatureLayout ReadFileSignaturePart(kiv::RandomSource& file, kiv::SignaturePart* part);

// Where a signed file's log lies against its signature part.
enum class SignedLog {
  kUnsigned,  // no signature part
  kInside,    // the certificate table ends the file, its lengths agree: the signature holds
  kLengthsDisagree,  // inside, but the directory's size and the certificate's length differ
  kOutside,   // the log lies after the certificate table: no check accepts the signature
  kUnsound,   // the signature part cannot be read soundly
};
SignedLog WhereSignedLogLies(kiv::RandomSource& file, uint64_t file_size,
                             kiv::SignaturePart* part);

// One line on what is wrong with the file, and where.
std::string DamageLine(const std::string& path, const kiv::LogReader& reader,
                       const kiv::ChainVerdict& verdict);

// Checks the file behind reader as the stub does; false when it is not sound.
bool OpenSound(const std::string& path, kiv::LogReader& reader, kiv::ChainVerdict* verdict,
               std::ostream& err);

// The records of the uninstall file at path, read once it proved a sound
// regular file; false, with the fault on err, when it is not one.
bool ReadSoundListing(const std::string& path, uint32_t code_page, std::ostream& err,
                      Listing* listing);

}  // namespace kivlog

#endif  // KIVLOG_COMMAND_COMMON_H_
