// LogReader: the one object through which both modes read the uninstall file.
//
// Opened on a path, it reads the trailer and the display name; the uninstall
// mode then walks the records from the last one written back to the first,
// and each record action pulls its own fields through the reader.
//
// Nothing read from the file is trusted: before a mode acts on anything it
// runs CheckChain(), which walks the whole chain once without acting and
// proves every offset, string and count inside the file. The field reads
// stay bounded even so (the file could change under us), and never write
// past the caller's buffer.
//
// The reader keeps a window of its own over the file. Records lie back to
// back and the walk goes backwards, so when a record's header is not in the
// window the window is loaded to end a little after it: the records before
// it come with the same read. Strings are found in the window, not byte by
// byte; long content (a saved file) goes from the file to the caller's
// buffer without passing through the window.
//
// Never allocates and never includes <windows.h>.
#ifndef KIV_UNINSTALL_FILE_LOG_READER_H_
#define KIV_UNINSTALL_FILE_LOG_READER_H_

#include <stdint.h>

#include "base/file_source.h"
#include "uninstall_file/layout.h"

namespace kiv {

// Why a file is damaged; kNone when it is sound.
enum class Damage : uint8_t {
  kNone = 0,
  kCannotOpen,          // no stream
  kTooShort,            // shorter than the trailer
  kBadSignature,        // last 12 bytes are not "KivUnInstall"
  kNameOffset,          // display name does not start before the trailer
  kNameUnterminated,    // no NUL within 256 bytes and before the trailer
  kNameInvalid,         // display name empty or holding a backslash
  kNameBeforeRecords,   // display name does not lie after every record
  kRecordOutside,       // a record header does not lie before the trailer
  kBackLinkForward,     // a back-link not strictly below its record's offset
  kBadType,             // type above 9
  kChainEnd,            // a type-0 record whose back-link is not 0xFFFFFFFF
  kStringUnterminated,  // a payload string without NUL within its limit
  kPayloadOutside,      // a flag, time, length or content past the trailer
  kTooLarge,            // larger than kMaxUninstallFileSize
  kCodePagePlace,       // a code-page record not directly after the type-0
                        // record (a second one among them)
  kCodePageUnknown,     // a code page the stub does not take
  kTextMalformed,       // a string or the display name not well formed in the
                        // file's code page (bad UTF-8, an overlong form, a
                        // surrogate, a lead byte without its second byte)
  kLongPathForm,        // a path longer than kStringLimit allows (a file that
                        // names its code page) not as the system reads it
                        // (IsPathAsRead: '/', a dot part, a part ending in a
                        // dot or blank, not full)
  kControlCharacter,    // a name (or the display name) holding a byte 0x00
                        // to 0x1F or 0x7F
  kDeviceName,          // a path on the disk with a part that names a device
                        // (NamesDevice: NUL, CON.txt, COM1, ...)
};

// A name for each Damage value, for the companion tool's messages.
const char* DamageName(Damage damage);

struct ChainVerdict {
  Damage damage = Damage::kNone;
  uint32_t offset = 0;   // where the fault lies (record or field offset)
  uint32_t records = 0;  // records walked, the type-0 record included
};

// Tells whether a byte opens a double-byte letter in the code page the names
// are in (the system's ANSI code page, for the stub); its second byte may be
// 0x5C and is then no backslash. Null: every byte is a letter of its own.
using LeadByteTest = bool (*)(uint8_t byte);

class LogReader {
 public:
  // Opens path for binary reading, with nobody else allowed to write it
  // until Close(), and reads the trailer and display name.
  // Never fails outright: see has_stream(), damaged() and damage().
  explicit LogReader(const char* path, LeadByteTest is_lead_byte = nullptr);
  // Reads through source, which must outlive the reader (a file the caller
  // opened itself, bytes in memory).
  explicit LogReader(RandomSource& source, LeadByteTest is_lead_byte = nullptr);
  ~LogReader() = default;
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  bool has_stream() const { return source_->is_open(); }
  // Set when the trailer or display name is unsound (signature, size, name).
  bool damaged() const { return damage_ != Damage::kNone; }
  Damage damage() const { return damage_; }
  bool usable() const { return has_stream() && !damaged(); }
  // The code page the file names for its text (its code-page record), known
  // once CheckChain() found the file sound; 0 when it names none, and its
  // text is in the code page of the system that runs it.
  uint32_t code_page() const { return code_page_; }

  const char* display_name() const { return display_name_; }
  uint32_t current() const { return current_; }
  uint32_t size() const { return size_; }
  uint32_t last_record() const { return last_record_; }
  uint32_t name_offset() const { return name_offset_; }
  // Offset of the record NextRecord() read last.
  uint32_t record_offset() const { return record_offset_; }

  // Walks the whole chain from the last record without acting and proves it
  // sound, then proves that the display name lies after every record's
  // payload (a name offset into the image or the log could find any NUL
  // there and name the whole Uninstall key). Afterwards current() is back at the last record, so
  // the walk can start. On an unusable reader the verdict is the open's damage.
  // A file that names its code page is judged by that code page: the display
  // name's backslash rule by its lead bytes (not the constructor's test), and
  // every string and the display name must be well formed in it. Only such a
  // file may hold a Directory or File path of kStringLimit bytes or more (up
  // to kLongPathLimit), and only in the form IsPathAsRead takes; in any other
  // file it is a string without its NUL within the limit, as it always was.
  ChainVerdict CheckChain();

  // Positions the reader at the record at current(), reads its back-link into
  // current() and returns its type; the reader is left at the payload.
  // Returns kUnreadableType when the header cannot be read whole or the
  // back-link does not point backwards (so no chain can loop). The
  // code-page record comes back as kCodePageType: the walk passes over it.
  static constexpr uint16_t kUnreadableType = 0xFFFF;
  uint16_t NextRecord();
  // Sets the record NextRecord() reads next: one the walk met, or
  // last_record() to walk again from the end.
  void MoveTo(uint32_t record) { current_ = record; }

  // Reads a NUL-terminated string into buffer (capacity bytes, NUL included).
  // Always leaves buffer NUL-terminated. False when no NUL came within the
  // capacity (the string is cut there) or the stream ended first; nothing is
  // read when the reader is unusable.
  bool ReadString(char* buffer, uint32_t capacity);
  // One byte; true when it is not zero. False at the end of the file.
  bool ReadFlag();
  // count raw bytes; returns the count really read (short at the end).
  uint32_t ReadBytes(void* buffer, uint32_t count);
  // A little-endian u32; bytes that cannot be read count as zero.
  uint32_t ReadU32();
  // Moves count bytes forward from the current position.
  bool Skip(uint32_t count);

  void Close() {
    source_->Close();
    window_length_ = 0;
  }

  // The window's size, and how much of it lies after a record header that
  // made it load (room for the payload of all but the longest records).
  static constexpr uint32_t kWindowSize = 16384;
  static constexpr uint32_t kWindowAhead = 3072;

 private:
  void ReadTrailer(LeadByteTest is_lead_byte);
  // The check's field walkers: each proves one field and moves past it.
  // name: a control character before the NUL is damage (kName fields).
  Damage CheckString(uint32_t* pos, uint32_t limit, bool name);
  // One walk of the chain from the last record; text_code_page_ nonzero
  // also proves every string well formed in it.
  void Walk(ChainVerdict* verdict, uint32_t* records_end);
  // The display name is a key name, judged by the letters of code_page.
  Damage JudgeName(uint32_t code_page) const;
  Damage CheckBytes(uint32_t* pos, uint32_t count);
  // A Directory's or File's path, proved to end (its NUL) just before end:
  // one of kStringLimit bytes or more is noted (long_path_) and, on the walk
  // that knows the code page (text_code_page_), judged by IsPathAsRead.
  Damage JudgePath(uint32_t start, uint32_t end);
  // A path on the disk (kOnDisk), proved to end just before end: a part
  // that names a device. The first walk splits it at every '\\' and '/' (the
  // code page is not known yet), which finds every device part and perhaps
  // one more, behind a double-byte letter's second byte: such a hit is
  // noted (device_suspect_) for a second walk, which judges by the letters
  // of the file's code page (or the system's, is_lead_byte_) and refuses.
  Damage JudgeDevice(uint32_t start, uint32_t end);
  // Reads the record header at offset into header; false when the file
  // does not hold it whole. Loads the window to end kWindowAhead after it.
  bool ReadHeader(uint32_t offset, uint8_t* header);
  // How many bytes the window holds from offset on (0 when it does not
  // hold offset).
  uint32_t Held(uint32_t offset) const {
    if (offset < window_start_ || offset - window_start_ >= window_length_) return 0;
    return window_length_ - (offset - window_start_);
  }
  // The bytes at pos_ that the window holds, loading it from pos_ when it
  // holds none; 0 at the end of the file or on a read error.
  // Held and Span are here so that every caller inlines them: they run for
  // every string and header, and a call costs as much as their bodies.
  uint32_t Span(const uint8_t** bytes) {
    if (Held(pos_) == 0) Load(pos_);
    const uint32_t held = Held(pos_);
    if (held != 0) *bytes = window_ + (pos_ - window_start_);
    return held;
  }
  // Fills the window with the file's bytes from start.
  void Load(uint32_t start);
  int ReadByte();

  FileSource file_;                // the file opened here, if any
  RandomSource* source_ = &file_;  // what every read goes through
  uint32_t pos_ = 0;               // where the next field read starts
  uint32_t window_start_ = 0;
  uint32_t window_length_ = 0;
  Damage damage_ = Damage::kNone;
  uint32_t size_ = 0;
  uint32_t last_record_ = 0;
  uint32_t name_offset_ = 0;
  uint32_t current_ = 0;
  uint32_t record_offset_ = 0;
  uint32_t code_page_ = 0;       // from the code-page record
  uint32_t text_code_page_ = 0;  // the walk's text check, when nonzero
  uint32_t long_path_ = 0;       // the first path past kStringLimit the walk met
  LeadByteTest is_lead_byte_ = nullptr;  // the system's, for a file naming no code page
  bool device_suspect_ = false;  // the first walk met a part that may name a device
  bool exact_devices_ = false;   // this walk judges device parts by the letters
  char display_name_[kDisplayNameLimit] = {};
  uint8_t window_[kWindowSize];
};

}  // namespace kiv

#endif  // KIV_UNINSTALL_FILE_LOG_READER_H_
