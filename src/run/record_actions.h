// The undo actions, one per record type. The walk calls each with the reader
// positioned at the record's payload; each reads its own fields and acts,
// then says in step what became of the record (and names it, when asked).
// A step that fails is skipped and the walk goes on. A field that cannot be
// read whole (cut or unterminated) is never acted on.
#ifndef KIV_RUN_RECORD_ACTIONS_H_
#define KIV_RUN_RECORD_ACTIONS_H_

#include "base/fixed_string.h"
#include "platform/win32.h"
#include "run/plan_table.h"
#include "run/undo_step.h"
#include "uninstall_file/log_reader.h"

namespace kiv {

// The files no record may touch: the uninstall file being walked (a record
// restoring it would overwrite the log mid-walk), the program running the
// walk, and the run's report (a record restoring it would be written over
// by the report). Each is known by its identity (platform::IdentifyFile), so
// no other spelling, drive letter or hard link reaches it. The uninstall
// mode holds one table for its walk and hands it to every action in the
// step.
class ProtectedFiles {
 public:
  // Adds the file at path, which becomes what passes over a record that
  // names it (kProtected or kReport); one that gives no identity, or a
  // fourth, is not added.
  void Add(const char* path, Undone pass_over);
  // What a record that names path becomes, or kNoAction when it names none
  // of them.
  Undone PassOver(const char* path) const;

 private:
  static constexpr uint32_t kMaxFiles = 3;
  struct Entry {
    platform::FileIdentity identity;
    Undone pass_over = Undone::kProtected;
  };
  Entry entries_[kMaxFiles];
  uint32_t count_ = 0;
};

// What a walk scheduled for the next start: held files renamed aside, by
// their new paths. A directory that holds nothing else stays only because of
// them, and goes at the next start after them. Past its size, nothing more
// is kept (such a directory then stays, as any directory that is not
// empty).
class ScheduledFiles {
 public:
  void Add(const char* path);
  bool Holds(const char* path) const;
  // Schedules directory (after the files already scheduled) when all it
  // holds is files of this table; true when it was. In a plan (step->plan)
  // the table holds the held files by their own paths, an entry the plan
  // removed counts as gone, and nothing is scheduled: true when the run
  // would schedule it.
  bool ScheduleDirectoryAfterThem(const char* directory, bool (*schedule)(const char* path),
                                  const UndoStep* step = nullptr);

 private:
  static constexpr uint32_t kMaxFiles = 16;
  PathString paths_[kMaxFiles];
  uint32_t count_ = 0;
};

// The plan's table (step.planned) by name: a path by its full spelling
// ('\' only, no dots), other names as they are; both folded to capitals.
// No-ops (false) outside a plan.
void NotePlanned(UndoStep& step, Planned kind, const char* name, bool is_path = true);
bool IsPlanned(const UndoStep& step, Planned kind, const char* name, bool is_path = true);
// Something stands at path by the time the run reaches it: it is there, and
// the plan has not removed it.
bool Stands(const UndoStep& step, const char* path);

// What a record naming path becomes when path is a protected file of the
// step's table (see ProtectedFiles), or kNoAction.
Undone PassedOver(const UndoStep& step, const char* path);

// True when a part of path (a directory on the way below its root, or, with
// include_last, the last part too) is a junction, mount point or symbolic
// link; the path read as the file calls read it (base/path_rules.h), so no
// spelling ('/', dots, a device prefix) gets past. The root itself (a
// drive, a share, a device prefix) is never asked about. Also true when the
// path cannot be read whole. Such a
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
//
// The directories on the way stay held open until a record with another
// path asks (run/directory_chain.h), so that none of them can be swapped
// between this check and the action; ReleaseDirectoriesOnTheWay lets them go
// at the end of the walk.
bool PathCrossesReparsePoint(const char* path, bool include_last);
void ReleaseDirectoriesOnTheWay();

// Directories and files.
void UndoDirectory(LogReader& reader, UndoStep& step);
// A File record, or a shared or kept file (type says which): a shared
// file goes only when no other product counts as its user, a kept file
// only when its content is still what the installation wrote.
void UndoFile(LogReader& reader, UndoStep& step, RecordType type);
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
