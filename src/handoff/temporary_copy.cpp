#include "handoff/temporary_copy.h"

#include "handoff/restart_deletion.h"
#include "platform/win32.h"
#include "uninstall_file/pe_image.h"
#include "uninstall_file/signature_part.h"

namespace kiv {

namespace {

// Tries this many names before giving up: each one that already exists,
// file or directory, is passed over, never reused.
constexpr uint32_t kDirectoryAttempts = 64;

// Reads a signed file from its start, with the two lengths of its signature
// part set to what the vendor signed as they pass (a file offset and four
// little-endian bytes each).
struct SignedRead {
  platform::FileHandle file;
  uint32_t position;
  bool set_lengths;
  SignedCopy copy;
};

uint32_t ReadSignedStub(void* context, void* buffer, uint32_t count) {
  SignedRead* read = static_cast<SignedRead*>(context);
  const uint32_t got = platform::ReadFileBytes(read->file, buffer, count);
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  for (uint32_t f = 0; read->set_lengths && f < 2; ++f) {
    for (uint32_t i = 0; i < sizeof(read->copy.length); ++i) {
      const uint32_t at = read->copy.length_at[f] + i;
      if (at >= read->position && at - read->position < got) {
        bytes[at - read->position] = read->copy.length[i];
      }
    }
  }
  read->position += got;
  return got;
}

uint32_t ReadForPlan(void* context, uint32_t offset, void* buffer, uint32_t count) {
  const platform::FileHandle in = static_cast<platform::FileHandle>(context);
  return platform::SeekFile(in, offset) ? platform::ReadFileBytes(in, buffer, count) : 0;
}

// How much of the file the copy takes, and from where: an unsigned file's
// first bytes, its whole image among them (TemporaryCopySize); a signed
// file's signed stub, whole (its table reaches past the blob only to hold the
// log). False when the file's headers or signature part cannot be read
// soundly: such a copy would not verify, and the run stays in this process.
bool PlanCopy(platform::FileHandle in, uint64_t size, uint32_t* count, SignedRead* read) {
  uint8_t head[kPeHeadLimit];
  const uint32_t head_size = size < sizeof(head) ? static_cast<uint32_t>(size) : sizeof(head);
  if (platform::ReadFileBytes(in, head, head_size) != head_size) return false;
  const SignatureLayout layout =
      PlanSignedCopy(head, head_size, size, ReadForPlan, in, &read->copy);
  if (layout == SignatureLayout::kUnsigned) {
    // The loader read these headers, so they tell where the image ends;
    // should they not, the copy is the floor alone.
    uint32_t image_end = 0;
    static_cast<void>(ReadImageEnd(head, head_size, size, &image_end));
    *count = TemporaryCopySize(size, image_end);
    return platform::SeekFile(in, 0);
  }
  if (layout != SignatureLayout::kSigned) return false;
  *count = read->copy.count;
  read->set_lengths = true;
  return platform::SeekFile(in, 0);
}

bool CopyHead(const char* from, const char* to) {
  platform::FileHandle in = platform::OpenFileDenyingWrites(from);
  if (!in) return false;
  uint64_t size = 0;
  uint32_t count = 0;
  SignedRead read = {in, 0, false, {}};
  bool ok = platform::FileSize(in, &size) && PlanCopy(in, size, &count, &read);
  platform::FileHandle out = ok ? platform::CreateFileForWriting(to) : nullptr;
  ok = ok && out != nullptr;
  // A head that cannot be read whole is no copy of the program.
  uint32_t delivered = 0;
  ok = ok && platform::CopyIntoFile(out, count, ReadSignedStub, &read, &delivered) &&
       delivered == count;
  platform::CloseFile(in);
  if (out && !platform::CloseFile(out)) ok = false;
  return ok;
}

// Cuts path at its last backslash, in place.
void CutAtLastBackslash(TemporaryPath* path) {
  const int32_t last = LastBackslash(path->c_str(), platform::IsLeadByte);
  path->Truncate(last < 0 ? 0 : static_cast<uint32_t>(last));
}

}  // namespace

bool MakeTemporaryCopy(const char* own, TemporaryPath* copy, platform::HeldDirectory* held) {
  // The launched copy runs in this directory; the root keeps it off the
  // product's directories, which it is about to remove.
  platform::SetCurrentDirectoryPath("\\");
  TemporaryPath temp;
  if (!platform::TempDirectory(temp.data(), temp.capacity())) return false;
  if (platform::IsWindows95Family()) {
    // Unique number 0: the call picks a free name and creates the file.
    if (!platform::TempFileName(temp.c_str(), kTempPrefix, 0, copy->data(), copy->capacity())) {
      return false;
    }
    if (!CopyHead(own, copy->c_str())) {
      platform::DeleteFilePath(copy->c_str());
      return false;
    }
    return true;
  }
  // Unique numbers from the tick count; GetTempFileNameA only forms the name
  // for a number that is not zero, and the directory's creation tells whether
  // the name was free.
  const uint32_t seed = platform::TickCount();
  bool made = false;
  for (uint32_t i = 0; i < kDirectoryAttempts && !made; ++i) {
    uint32_t unique = (seed + i * 0x9E37u) & 0xFFFFu;
    if (unique == 0) unique = 1;
    made =
        platform::TempFileName(temp.c_str(), kTempPrefix, unique, copy->data(), copy->capacity()) &&
        platform::CreatePrivateDirectory(copy->c_str());
  }
  if (!made) return false;
  // Between its creation and this hold another program of the user could
  // have renamed it away and put its own in its place; the hold proves or
  // takes over what stands there now, and keeps it until the launch.
  if (!held->Hold(copy->c_str())) {
    platform::RemoveDirectoryPath(copy->c_str());
    return false;
  }
  if (!copy->Append("\\") || !copy->Append(kCopyName) || !CopyHead(own, copy->c_str())) {
    held->Release();
    RemoveTemporaryCopy(copy->c_str());
    return false;
  }
  return true;
}

void RemoveTemporaryCopy(const char* copy) {
  TemporaryPath directory;
  if (!directory.Assign(copy)) return;
  platform::DeleteFilePath(directory.c_str());
  if (platform::IsWindows95Family()) return;  // flat: the directory is the user's
  CutAtLastBackslash(&directory);
  platform::RemoveDirectoryPath(directory.c_str());
}

void ScheduleOwnTemporaryCopyDeletion() {
  LongString own;
  TemporaryPath temp;
  if (!platform::ModuleFileName(own.data(), own.capacity()) ||
      !platform::TempDirectory(temp.data(), temp.capacity())) {
    return;
  }
  if (platform::IsWindows95Family()) {
    // Unscheduled, the copy stays behind as one more temporary file: nothing
    // here could do better, and the uninstall goes on either way.
    if (IsFlatTemporaryCopyPath(own.c_str(), temp.c_str())) {
      static_cast<void>(ScheduleRestartDeletion(own.c_str()));
    }
    return;
  }
  uint32_t name_start = 0;
  if (!IsTemporaryCopyPath(own.c_str(), temp.c_str(), &name_start)) return;
  // The file first: at the next start the directory is empty by its turn. A
  // directory whose file stays could not go, so it is listed only after its
  // file was.
  if (!IsScheduled(ScheduleRestartDeletion(own.c_str()))) return;
  own.Truncate(name_start - 1);
  // The last step: a refusal leaves an empty directory, and nothing follows.
  static_cast<void>(ScheduleRestartDeletion(own.c_str()));
}

}  // namespace kiv
