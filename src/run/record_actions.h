// The undo actions, one per record type. The walk calls each with the reader
// positioned at the record's payload; each reads its own fields and acts,
// then says in step what became of the record (and names it, when asked).
// A step that fails is skipped and the walk goes on. A field that cannot be
// read whole (cut or unterminated) is never acted on.
#ifndef KIV_RUN_RECORD_ACTIONS_H_
#define KIV_RUN_RECORD_ACTIONS_H_

#include "base/fixed_string.h"
#include "platform/win32.h"
#include "run/undo_step.h"
#include "uninstall_file/log_reader.h"

namespace kiv {

// The files no record may touch: the uninstall file being walked (a record
// restoring it would overwrite the log mid-walk) and the program running the
// walk. Each is known by its full short path and, on the NT family, by its
// FileId, so no other spelling or hard link reaches it. While a table lives,
// IsProtectedFile consults it; the uninstall mode holds one for its walk.
class ProtectedFiles {
 public:
  ProtectedFiles();
  ~ProtectedFiles();
  ProtectedFiles(const ProtectedFiles&) = delete;
  ProtectedFiles& operator=(const ProtectedFiles&) = delete;

  // Adds the file at path; one that does not exist, or a third, is not added.
  void Add(const char* path);
  bool Holds(const char* path) const;

 private:
  static constexpr uint32_t kMaxFiles = 2;
  struct Entry {
    PathString canonical;
    platform::FileId id;
    bool has_id = false;
  };
  Entry entries_[kMaxFiles];
  uint32_t count_ = 0;
};

// True when path names a protected file; such a record is passed over.
bool IsProtectedFile(const char* path);

// True when a part of path (a directory on the way, or, with include_last,
// the last part too) is a junction, mount point or symbolic link. Such a
// record is passed over: running elevated, an action through a link that a
// user could set up would reach what it points at.
//
// A link logged itself (the last part) by a File record to delete or a
// Directory record is removed as a link: through a handle opened on the link
// itself (FILE_FLAG_OPEN_REPARSE_POINT), and only when that handle shows a
// link (platform::RemoveLinkItself). Wine, where the stub is tested,
// resolves every name to the link's target when it opens it and deletes or
// renames that: measured under Wine 8.0 on links to an empty directory, to a
// directory holding a file and to a file, RemoveDirectoryA, DeleteFileA, a
// delete-on-close handle opened with FILE_FLAG_OPEN_REPARSE_POINT and a
// disposition set on such a handle removed the target wherever it could be
// removed, and the link never; MoveFileA moved the target. Such a handle
// there shows the target's attributes, never a link's, so the link stays
// with its target. Wine also shows a link to a file as a plain file, so
// there this check does not see one.
bool PathCrossesReparsePoint(const char* path, bool include_last);

// Directories and files.
void UndoDirectory(LogReader& reader, UndoStep& step);
void UndoFile(LogReader& reader, UndoStep& step);
// Puts back a replaced file: saved time, length, content, from the reader.
void RestoreFile(LogReader& reader, const char* path, UndoStep& step);

// Settings.
void UndoIniEntry(LogReader& reader, UndoStep& step);
void UndoRegistryValue(LogReader& reader, UndoStep& step);
void UndoFont(LogReader& reader, UndoStep& step);

// Program Manager.
void UndoShellItem(LogReader& reader, UndoStep& step);
void UndoShellGroup(LogReader& reader, UndoStep& step);

}  // namespace kiv

#endif  // KIV_RUN_RECORD_ACTIONS_H_
