// The stub's only door to Windows. Every Win32 call the program makes goes
// through a function here; nothing outside src/platform/ (and the entry file)
// includes <windows.h>. The functions are thin: they pass the arguments the
// logic chose and hand back what the call said, in plain types.
//
// One kind of result per kind of call: bool for success or failure, with
// the reason where LastError finds it (every call that fails here leaves one
// there, also those whose Win32 call sets none, such as the registry's and
// a short read); a count of bytes moved, short on an error; a handle whose
// failure value is named (null, or kNoWholeFile); and a named enum where a
// caller needs to tell more than two outcomes.
//
// Everything here exists on Windows 95 and NT 4; anything newer is looked up
// at run time.
#ifndef KIV_PLATFORM_WIN32_H_
#define KIV_PLATFORM_WIN32_H_

#include <stdint.h>

#include "base/fixed_string.h"

namespace kiv::platform {

// ---- Message boxes ---------------------------------------------------------
inline constexpr char kCaption[] = "Kiv Uninstall";
inline constexpr uint32_t kBoxOk = 0x00;
inline constexpr uint32_t kBoxYesNo = 0x04;
inline constexpr uint32_t kIconError = 0x10;
inline constexpr uint32_t kIconQuestion = 0x20;
inline constexpr uint32_t kIconExclamation = 0x30;
inline constexpr uint32_t kIconInformation = 0x40;
inline constexpr uint32_t kDefaultSecond = 0x100;  // No of Yes and No
// The button a box was closed with (MessageBoxA's IDOK, IDYES, IDNO).
enum class BoxAnswer : int {
  kNotShown = 0,  // the box could not be shown
  kOk = 1,
  kYes = 6,
  kNo = 7,
};

// A box with no owner window and the caption "Kiv Uninstall". After
// SuppressMessages (a silent run) no box is shown: kNotShown.
BoxAnswer ShowMessage(const char* text, uint32_t style);
void SuppressMessages();

// The two fixed messages, each in its box: a file that is not sound (with
// nothing changed), and the end of a run.
inline constexpr char kDamagedMessage[] = "The uninstall file was damaged.";
inline constexpr char kSuccessMessage[] = "Uninstall was succesful";
inline void ShowDamagedMessage() { ShowMessage(kDamagedMessage, kBoxOk | kIconError); }
inline void ShowSuccessMessage() { ShowMessage(kSuccessMessage, kBoxOk | kIconInformation); }
// The same, when some files go only when Windows restarts.
inline constexpr char kSuccessRestartMessage[] =
    "Uninstall was succesful\r\n\r\nSome files are removed when Windows restarts.";
inline void ShowSuccessRestartMessage() {
  ShowMessage(kSuccessRestartMessage, kBoxOk | kIconInformation);
}

// ---- Process ---------------------------------------------------------------
void SetInstance(void* instance);
// The process's full command line.
const char* CommandLine();
// The show code of the start-up information when it carries one
// (STARTF_USESHOWWINDOW), SW_SHOWDEFAULT otherwise.
int StartupShowCode();
// By the code page of the names (SetNamesCodePage), else the system's.
bool IsLeadByte(uint8_t byte);
// From here on every name this layer takes (files, directories, registry,
// profiles, fonts, message boxes) is in code_page, the one the uninstall
// file names; 0 puts back the system's ANSI code page. On the NT family the
// names then go through the Unicode calls; on the 95 family a name is used
// only where the system's code page spells it exactly, else the call fails
// with kErrorNoUnicodeTranslation. False when the Unicode calls cannot be
// found (nothing set then).
bool SetNamesCodePage(uint32_t code_page);
uint32_t NamesCodePage();
// True when a call since the last TakeUnspellable was refused because a
// name could not be spelled (the 95 family: a name outside its code page);
// clears it. The walk asks after each record, so that a record whose name
// was refused anywhere (a deletion, or the question whether it is there)
// is passed over as such, never taken for "already gone".
bool TakeUnspellable();
// Text the system gave in its ANSI code page (a path on the command line,
// the program's own name) into the names' code page, so that it meets the
// file's names in the same letters; false when it does not convert or fit.
bool SystemTextToNames(const char* text, char* buffer, uint32_t capacity);
// The system's error for a name its code page cannot spell
// (ERROR_NO_UNICODE_TRANSLATION).
inline constexpr uint32_t kErrorNoUnicodeTranslation = 1113;
// The program's own file name into buffer. False when it fails or does not
// fit whole.
bool ModuleFileName(char* buffer, uint32_t capacity);
// Loads string resource id into buffer; false when there is none or it was cut.
bool LoadStringResource(uint32_t id, char* buffer, uint32_t capacity);
uint32_t TickCount();
// Dispatches every waiting message, then waits until a message arrives or
// pause_ms pass.
void PumpMessagesAndWait(uint32_t pause_ms);
// Starts command_line as a new process with the given show code and returns
// at once, with the process's handles closed. command_line may be changed
// by the system (CreateProcessA's rule), so it is a writable buffer. With
// inherit_handles the new process gets every handle this one made
// inheritable.
bool StartProcess(char* command_line, int show_code, bool inherit_handles = false);
// The process runs with administrator rights that a user's programs lack
// (an elevated token, Vista and later); false on the 95 family and NT 4.
bool IsElevatedRun();
// The function name of the system DLL dll, which the process has loaded
// (kernel32.dll, advapi32.dll, ntdll.dll), or null: what the stub uses of
// systems newer than Windows 95 and NT 4 is looked up here, never imported.
void* LookUp(const char* dll, const char* name);
template <typename Function>
Function LookUpAs(const char* dll, const char* name) {
  return reinterpret_cast<Function>(LookUp(dll, name));
}
// What tells whether anybody can see a box this process shows.
struct DesktopFacts {
  bool nt_family = false;
  uint32_t major_version = 0;  // the system's (6: Vista, whose services' session 0 nobody sees)
  bool station_known = false;  // the window station's flags could be read
  bool station_visible = true;  // WSF_VISIBLE: a desktop a user sees
  bool session_known = false;
  uint32_t session = 0;
};
DesktopFacts ReadDesktopFacts();
// Restricts DLL loading to System32 where the system can (Windows 7 with
// KB2533623 and later); a no-op elsewhere.
void HardenDllSearch();

// ---- Between the two processes of a run ----------------------------------
// A named object that stands while any process holds a handle to it: the
// lock of one run. On the NT family it lives in the namespace every session
// shares, owned by this user (by Administrators when the process runs
// elevated) and open to this user, Administrators and SYSTEM only, so no
// other user can hold it. The handle is inheritable (a process started with
// inherit_handles holds the lock too) and kept until this process ends.
enum class NamedLock {
  kTaken,        // this process made it: nobody held it
  kHeld,         // it already stood, made by this user, Administrators or
                 // SYSTEM: another run holds it
  kForeign,      // an object of that name stands that none of them made,
                 // that this process may not open, or that is no mutex:
                 // no lock of ours
  kUnavailable,  // it could not be made (no lock is held)
};
NamedLock TakeNamedLock(const char* name, void** handle);
// True when handle is an object named name (in whichever namespace), owned
// by this user, Administrators or SYSTEM: what proves that a hand-off passed
// the very lock of a run. On the 95 family, where nothing can be asked of a
// handle and every program may do anything, any handle passes.
bool IsOurLock(void* handle, const char* name);
// A pipe whose write end a started process inherits; the read end stays
// with this process only. False, with nothing made, on failure.
bool CreateInheritedPipe(void** read_end, void** write_end);
// An environment variable of this process (and of what it starts after).
// value == nullptr removes it.
bool SetEnvironmentText(const char* name, const char* value);
// False when it is not set or does not fit.
bool GetEnvironmentText(const char* name, char* buffer, uint32_t capacity);
// text, in the names' code page (the system's when the file names none),
// as UTF-16 into out (capacity units, its NUL included): the units without
// the NUL; 0 when it does not convert or fit, and for an empty text.
// named::ToUtf16 with the types the layers above know.
uint32_t ToUtf16(const char* text, uint16_t* out, uint32_t capacity);
// A name folded to capitals into out (capacity bytes, its NUL included), by
// the rules the file calls compare names by: for names in the system's code
// page, that code page's (CharUpperBuffA); for a file that names its code
// page, on the NT family the letters' own through UTF-16 (CharUpperBuffW,
// looked up at run time), on the 95 family the system code page's on the
// name as the A calls get it. Two names the system takes as one fold alike,
// whatever their code page. The fold's length; 0 when the name cannot be
// folded exactly (the system cannot spell it, no CharUpperBuffW, no room).
// out may be text.
uint32_t FoldName(const char* text, char* out, uint32_t capacity);
struct LocalTime {
  uint16_t year, month, day, hour, minute, second;
  int16_t offset_minutes;  // local time minus UTC, daylight saving time included
};
LocalTime Now();

// ---- File system -----------------------------------------------------------
bool DeleteFilePath(const char* path);
bool RemoveDirectoryPath(const char* path);  // only an empty directory goes
bool MakeDirectory(const char* path);        // CreateDirectoryA, default security
bool SetCurrentDirectoryPath(const char* path);
bool PathExists(const char* path);
bool IsReadOnlyFile(const char* path);
// Only "." and ".." in it; false also when it cannot be listed.
bool DirectoryIsEmpty(const char* path);
// Calls visit with the name of each entry of the directory at path but "."
// and ".."; false when it cannot be listed.
bool ForEachEntry(const char* path, void (*visit)(const char* name, void* context),
                  void* context);
// MoveFileA: renames a file (not over an existing one).
bool MoveFilePath(const char* from, const char* to);
// The reason the last call of this thread failed (GetLastError; the registry
// calls here put their result there too).
uint32_t LastError();
// GetFileAttributesA shows FILE_ATTRIBUTE_REPARSE_POINT: a junction, mount
// point or symbolic link. Never on the 95 family; false when nothing is there.
bool IsReparsePoint(const char* path);
// Removes the junction, mount point or symbolic link at path itself, never
// what it points at: opens the link (FILE_FLAG_OPEN_REPARSE_POINT) and, only
// when the handle shows a link, marks that handle for deletion. False,
// removing nothing, when the handle shows anything else (a system that
// opened the target instead, as Wine does) or a step fails.
// With remove false it only tells whether it would: the link is opened and
// looked at, and nothing is marked.
bool RemoveLinkItself(const char* path, bool remove = true);
// Opens path with GENERIC_WRITE, no sharing, OPEN_EXISTING and sets its
// creation, last-access and last-write times to filetime (100 ns since 1601).
bool SetFileTimes(const char* path, uint64_t filetime);
// Where the temporary copy goes, with its trailing backslash: the
// temporary directory; for an elevated process the Windows directory's
// Temp, where the user's programs without administrator rights can add but
// neither rename nor delete what others made. False on failure or when it
// does not fit.
bool TempDirectory(char* buffer, uint32_t capacity);
// GetTempFileNameA(directory, prefix, unique): with unique 0 it creates an
// empty file with a new name; otherwise it only forms the name from unique.
// The path goes into buffer (capacity at least 260).
bool TempFileName(const char* directory, const char* prefix, uint32_t unique, char* buffer,
                  uint32_t capacity);
// Creates a new directory; false when anything already stands at path. When
// the process runs elevated on the NT family, the directory gets a DACL that
// lets only Administrators and SYSTEM in, so no other program of the user can
// plant files in it.
bool CreatePrivateDirectory(const char* path);
// A directory held open without delete sharing: while it is held nobody can
// rename it away, delete it or put anything else in its place, so a program
// started from it runs from the directory that was checked.
class HeldDirectory {
 public:
  HeldDirectory() = default;
  ~HeldDirectory() { Release(); }
  HeldDirectory(const HeldDirectory&) = delete;
  HeldDirectory& operator=(const HeldDirectory&) = delete;

  // Holds the directory at path and proves it fit for the copy: a plain
  // directory (no junction, mount point or symbolic link), empty, and, when
  // the process runs elevated, owned by Administrators with access for
  // Administrators and SYSTEM only, set through the held handle (so a
  // directory another program put there in the meantime is taken over, or
  // refused). False, holding nothing, when any step fails.
  bool Hold(const char* path);
  void Release();

 private:
  void* handle_ = nullptr;  // a HANDLE
};

// A directory on the way of a record's path, held open without delete
// sharing (see run/directory_chain.h): null when it cannot be opened (gone,
// no access, the 95 family, which opens no directory), or when it is a
// junction, mount point or symbolic link (*is_link then).
void* HoldDirectoryOnTheWay(const char* path, bool* is_link);
void ReleaseDirectoryOnTheWay(void* handle);

bool ShortPathName(const char* path, char* buffer, uint32_t capacity);
// GetFullPathNameA. False on failure or when the result does not fit.
bool FullPathName(const char* path, char* buffer, uint32_t capacity);
// What tells one file from another on the NT family: its volume's serial
// number and its index there, the same through every name it has.
struct FileId {
  uint32_t volume = 0;
  uint32_t index_high = 0;
  uint32_t index_low = 0;
};
// Opens path for no access, sharing everything, and reads its FileId.
// False when it cannot be opened or on the 95 family, whose file indexes
// are not unique.
bool GetFileId(const char* path, FileId* id);
// What makes two spellings one file: on the NT family the file's FileId
// where it exists; else one spelling of its full path (the short form where
// the file exists, no device prefix, '\' only, no dots, folded by FoldName,
// so that two spellings compare byte for byte).
struct FileIdentity {
  FileId id;
  bool has_id = false;
  PathString spelling;
};
// False when path gives neither (it cannot be made full, or is too long).
bool IdentifyFile(const char* path, FileIdentity* identity);
bool SameFile(const FileIdentity& a, const FileIdentity& b);
// A file as it was when read: its FileId (NT family), size and last write.
// Another file put at the same path, or the same file written again, shows
// another stamp.
struct FileStamp {
  FileId id;
  uint64_t size = 0;
  uint64_t written = 0;
};
bool ReadFileStamp(const char* path, FileStamp* stamp);
// The file at path still shows stamp.
bool FileShowsStamp(const char* path, const FileStamp& stamp);
// Deletes the file at path only while it still shows stamp, checked on the
// very handle the deletion goes through (NT family), so a file put there in
// the meantime is never taken. False when it was not deleted;
// LastError tells why (ERROR_FILE_NOT_FOUND also when another file stands
// at path now).
bool DeleteFileIfStamped(const char* path, const FileStamp& stamp);
// lstrcmpiA: equal without regard to case, by the code page's own rules.
bool SameTextIgnoringCase(const char* a, const char* b);
bool WindowsDirectory(char* buffer, uint32_t capacity);
// MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT).
bool DeleteAtRestartNt(const char* path);
// ---- Who holds a file ------------------------------------------------------
// What the Restart Manager (Windows Vista and later) said of the programs
// that hold a file open. Plain data: the report's words on it are the run's
// (run/held_by.h).
struct FileHolders {
  enum class Asked : uint8_t {
    kNoRestartManager,  // the system has none (the 95 family, NT before Vista)
    kFailed,            // a call failed: error holds its result
    kListed,            // count programs, each in holders
    kTooMany,           // more programs than holders has room for: total of them
  };
  static constexpr uint32_t kMaxNamed = 4;
  struct Holder {
    uint32_t process_id = 0;
    // The program's name as the system gives it, in the ANSI code page;
    // empty when it does not convert whole.
    FixedString<64> name;
  };
  Asked asked = Asked::kNoRestartManager;
  uint32_t error = 0;
  uint32_t total = 0;  // kTooMany: how many the system counted
  uint32_t count = 0;  // kListed
  Holder holders[kMaxNamed];
};
// Asks the Restart Manager (rstrtmgr.dll, loaded by its full path in the
// system directory, never by a search) which programs hold path open. Asks
// nothing on the 95 family. Closes nothing.
void AskWhoHolds(const char* path, FileHolders* holders);
// GetVersionExA's platform identifier is VER_PLATFORM_WIN32_WINDOWS.
bool IsWindows95Family();

// ---- What a dry run asks: nothing here changes anything --------------------
// Why DeleteFileA would refuse the file at path, or 0 when it would delete
// it: a read-only file is ERROR_ACCESS_DENIED; a file another program holds
// without delete sharing refuses an open for deletion (its error, the
// sharing violation); a running program's file (mapped as an image: it
// takes an open for deletion but refuses one for writing) is
// ERROR_ACCESS_DENIED with *renamable set, as the NT family refuses its
// deletion and takes its rename. The opens ask for nothing more than the
// deletion would and are closed at once.
uint32_t DeletionRefusal(const char* path, bool* renamable);
// Why RemoveDirectoryA would refuse an empty directory at path, or 0: an
// open for deletion as the removal makes it. The 95 family opens no
// directory: 0 there.
uint32_t DirectoryRemovalRefusal(const char* path);
// Why a file could not be written at path: an existing file refusing an
// open for writing (its error), or a missing directory for a new one
// (ERROR_PATH_NOT_FOUND); 0 when it could.
uint32_t WriteRefusal(const char* path);

// ---- Files by handle (win32_files.cpp) -------------------------------------
// A HANDLE; null stands for "no file" (never INVALID_HANDLE_VALUE).
using FileHandle = void*;
// CreateFileForWriting (below) for a product's file, its name in the names'
// code page (file_system.cpp).
FileHandle CreateProductFileForWriting(const char* path);
// GENERIC_READ, OPEN_EXISTING, shared for reading only: while the handle is
// open nobody can write the file, rename it or delete it.
FileHandle OpenFileDenyingWrites(const char* path);
// GENERIC_WRITE, CREATE_ALWAYS (created or cut to nothing), shared for
// reading and writing as the C runtime's "wb" is.
FileHandle CreateFileForWriting(const char* path);
// A report: GENERIC_WRITE, shared for reading only (nobody writes it while
// it is open), cut to nothing. A link in its place (opened as the link
// itself) or a file with more than one name is refused, so the report never
// writes what another name or link leads to.
FileHandle CreateReportFile(const char* path);
bool FileSize(FileHandle file, uint64_t* size);
bool SeekFile(FileHandle file, uint64_t offset);  // from the start
// The count moved; short only at the end of the file or on an error.
uint32_t ReadFileBytes(FileHandle file, void* buffer, uint32_t count);
uint32_t WriteFileBytes(FileHandle file, const void* buffer, uint32_t count);
// False when the close failed.
bool CloseFile(FileHandle file);

// Where CopyIntoFile takes its bytes from: up to count bytes into buffer,
// returning the count delivered (short at the end or on an error).
using ChunkReader = uint32_t (*)(void* context, void* buffer, uint32_t count);
// The one copy loop: writes length bytes to out, taken from read in units of
// 64 KiB (4 KiB when the heap has no room for that), whatever the length.
// Bytes read does not deliver are written as zeros, so the file always gets
// its length; *delivered receives how many read delivered. False when a
// write failed (LastError tells why); the copy stops there.
bool CopyIntoFile(FileHandle out, uint32_t length, ChunkReader read, void* context,
                  uint32_t* delivered);

// ---- Whole files, through the 16-bit-era calls -----------------------------
// An HFILE; kNoWholeFile (HFILE_ERROR) stands for "no file".
using WholeFile = int;
inline constexpr WholeFile kNoWholeFile = -1;
WholeFile WholeFileOpenReadWrite(const char* path);  // _lopen(path, OF_READWRITE)
WholeFile WholeFileCreate(const char* path);         // _lcreat(path, 0)
// _llseek to the end; *size receives the file's size when it succeeds.
bool WholeFileSeekEnd(WholeFile file, uint32_t* size);
// _llseek to the start. False on failure.
bool WholeFileSeekStart(WholeFile file);
// The count moved; an error counts as 0.
uint32_t WholeFileRead(WholeFile file, void* buffer, uint32_t count);
uint32_t WholeFileWrite(WholeFile file, const void* buffer, uint32_t count);
void WholeFileClose(WholeFile file);
// Cuts the file at its current position (SetEndOfFile on its handle).
bool WholeFileTruncateHere(WholeFile file);
// A buffer for a whole file; null (ERROR_NOT_ENOUGH_MEMORY) when it cannot
// be had.
void* AllocateBuffer(uint32_t size);
void FreeBuffer(void* buffer);

// ---- Profiles --------------------------------------------------------------
// The profile functions find key in section of file (GetPrivateProfileStringA,
// which reads also a section the system keeps in the registry).
bool ProfileKeyExists(const char* section, const char* key, const char* file);
// WritePrivateProfileStringA; value == nullptr removes the key.
bool WriteProfileString(const char* section, const char* key, const char* value, const char* file);

// ---- Registry --------------------------------------------------------------
using RegKey = void*;  // an HKEY
// The four predefined roots, by the order of their handle values.
RegKey RootKey(uint32_t index);  // 0 classes root .. 3 users
// KEY_ALL_ACCESS; *key is to be used only when it opened.
bool RegOpenFullAccess(RegKey root, const char* path, RegKey* key);
bool RegSetString(RegKey key, const char* name, const char* data, uint32_t size);
bool RegDeleteValueNamed(RegKey key, const char* name);
// RegQueryValueExA finds a value of that name (of any type).
bool RegValueExists(RegKey key, const char* name);
// Subkey and value counts; both stay 0 when the query fails.
bool RegQueryCounts(RegKey key, uint32_t* subkeys, uint32_t* values);
void RegClose(RegKey key);
bool RegDeleteKeyPath(RegKey root, const char* path);

// ---- Fonts -----------------------------------------------------------------
bool RemoveFont(const char* file);

// ---- DDE -------------------------------------------------------------------
// DdeInitializeA(&instance, callback returning 0, APPCMD_CLIENTONLY, 0):
// true when it returned DMLERR_NO_ERROR. The identifier goes into *instance
// either way.
bool DdeStart(uint32_t* instance);
void* DdeMakeName(uint32_t instance, const char* name);  // CP_WINANSI
void* DdeOpenConversation(uint32_t instance, void* service, void* topic);
// Sends an XTYP_EXECUTE with text (its NUL included) as CF_TEXT data;
// true when the server accepted it.
bool DdeExecute(uint32_t instance, void* conversation, const char* text, uint32_t timeout_ms);
// An XTYP_REQUEST of item (CF_TEXT) into buffer, NUL-terminated: the count
// of bytes before the NUL, or 0 when the server gave nothing or the text did
// not fit whole in capacity.
uint32_t DdeRequestText(uint32_t instance, void* conversation, const char* item, char* buffer,
                        uint32_t capacity, uint32_t timeout_ms);
void DdeFreeName(uint32_t instance, void* name);
void DdeCloseConversation(void* conversation);
void DdeStop(uint32_t instance);

}  // namespace kiv::platform

#endif  // KIV_PLATFORM_WIN32_H_
