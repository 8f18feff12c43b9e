// The Windows benchmarks, run under Wine: the stub in the uninstall mode
// against the floor program (floor.cpp), timed from the moment each process
// is created.
//
//   kiv_bench_windows walk FILES DIRECTORIES RUNS
//       A product of FILES files of 100 bytes in DIRECTORIES directories,
//       made fresh before every run; the stub on its log against the floor's
//       plain deletions, alternating stub, floor, stub, floor, ... RUNS times
//       each. The stub's time ends when its success box is found, the
//       floor's when it exits. The same pairs with an empty product give the
//       fixed costs; the log's check and read-only walk are also timed in
//       this process (same reader, same C runtime as the stub).
//   kiv_bench_windows log RECORDS RUNS
//       An uninstall file of RECORDS records in the benchmarks' mixed log
//       (every type; the host benchmark reads the same log): the chain check
//       and the walk without actions, in this process, through the stub's
//       reader over the Win32 file calls, RUNS times.
//   kiv_bench_windows restore BYTES RUNS
//       One File record whose saved content is BYTES long: the stub's time
//       and peak working set against CopyFileA of the same bytes (and the
//       memory of a program that only shows the box); then the same restore
//       inside this process, the stub's reader and record action against a
//       CopyFileA call.
//
// Prints one "key value[,value...]" line per series for bench/report.py.
// Every run is checked: a product not wholly removed, a missing success
// box, an unexpected exit code or a restored file with other bytes ends the
// program with exit code 1. A slow run is never a failure.
#include <windows.h>
#include <psapi.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_config.h"
#include "harness.h"
#include "mixed_log.h"
#include "product_shape.h"
#include "read_walk.h"
#include "run/record_actions.h"
#include "uninstall_file/log_reader.h"
#include "uninstall_file/log_writer.h"

namespace kiv::bench {
namespace {

using e2e::BoxAnswerer;

constexpr char kSuccessText[] = "Uninstall was succesful";
constexpr DWORD kRunTimeoutMs = 600000;
constexpr uint32_t kFileContentSize = 100;

[[noreturn]] void Fail(const std::string& what) {
  fprintf(stderr, "kiv_bench_windows: %s\n", what.c_str());
  fflush(stderr);
  ExitProcess(1);
}

int64_t Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

double Milliseconds(int64_t from, int64_t to) {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  return static_cast<double>(to - from) * 1000.0 / frequency;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string FloorProgram() {
  char own[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, own, sizeof(own));
  std::string path(own, n);
  return path.substr(0, path.find_last_of('\\') + 1) + "kiv_floor.exe";
}

void PrintSeries(const std::string& key, const std::vector<double>& values) {
  printf("%s ", key.c_str());
  for (size_t i = 0; i < values.size(); ++i) printf(i ? ",%.3f" : "%.3f", values[i]);
  printf("\n");
  fflush(stdout);
}

// ---- One timed process -------------------------------------------------------

struct Timed {
  double ms = 0;  // to the success box (stub) or to the exit (floor)
  DWORD exit_code = 0;
  double peak_working_set = 0;  // bytes, highest seen while the process ran
  double peak_private = 0;      // bytes of private (anonymous) memory, highest seen
};

void SampleMemory(HANDLE process, Timed* timed) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(process, &counters, sizeof(counters))) return;
  timed->peak_working_set =
      std::max(timed->peak_working_set, static_cast<double>(counters.PeakWorkingSetSize));
  timed->peak_private = std::max(timed->peak_private, static_cast<double>(counters.PagefileUsage));
}

// What a run must show and end with. The stub's uninstall mode ends with
// exit code 1, the floors with 0; any other code (a crash's 0xC0000005
// included) is a fault.
struct Expect {
  bool success_box;
  DWORD exit_code;
};
constexpr Expect kStub = {true, 1};
// /S: no box, exit code 0 once everything is undone.
constexpr Expect kSilentStub = {false, 0};
constexpr Expect kBoxOnly = {true, 0};
constexpr Expect kFloor = {false, 0};

// Starts command_line and waits for it to end. The same box answerer runs in
// every run, stub or floor, so both share whatever it costs the machine.
// When a success box is expected the time ends when it was found.
Timed RunTimed(const std::string& command_line, Expect expect, bool sample_memory) {
  Timed timed;
  BoxAnswerer answerer({});
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const int64_t start = Now();
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    Fail("cannot start " + command_line);
  }
  int64_t end = 0;
  for (;;) {
    const DWORD wait = WaitForSingleObject(process.hProcess, sample_memory ? 10 : 200);
    if (wait == WAIT_OBJECT_0) {
      end = Now();
      break;
    }
    if (sample_memory) SampleMemory(process.hProcess, &timed);
    if (Milliseconds(start, Now()) > kRunTimeoutMs) {
      TerminateProcess(process.hProcess, 99);
      Fail("time-out: " + command_line);
    }
  }
  GetExitCodeProcess(process.hProcess, &timed.exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  answerer.Stop();
  const std::vector<e2e::Box> boxes = answerer.boxes();
  if (timed.exit_code != expect.exit_code) {
    char code[16];
    snprintf(code, sizeof(code), "0x%lX", static_cast<unsigned long>(timed.exit_code));
    Fail(command_line + " ended with exit code " + code);
  }
  if (expect.success_box) {
    if (boxes.size() != 1 || boxes[0].text != kSuccessText) {
      Fail("no single success box from " + command_line +
           (boxes.empty() ? std::string() : ": \"" + boxes[0].text + "\""));
    }
    timed.ms = Milliseconds(start, boxes[0].found_at);
  } else {
    if (!boxes.empty()) Fail("a box from " + command_line + ": \"" + boxes[0].text + "\"");
    timed.ms = Milliseconds(start, end);
  }
  return timed;
}

// ---- Writing big files ---------------------------------------------------------

// Buffered writes to a new file through Win32 alone.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(const std::string& path) : path_(path) {
    file_ = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) Fail("cannot create " + path);
    buffer_.reserve(kBufferSize);
  }
  ~FileSink() { Close(); }

  bool Write(const void* data, uint32_t size) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    buffer_.insert(buffer_.end(), p, p + size);
    position_ += size;
    if (buffer_.size() >= kBufferSize) Flush();
    return true;
  }
  uint32_t Position() const override { return position_; }

  // Writes out what is buffered and waits until the disk has it, so a timed
  // run that follows never shares the disk with this file's write-back.
  void Close() {
    if (file_ == INVALID_HANDLE_VALUE) return;
    Flush();
    FlushFileBuffers(file_);
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }

 private:
  static constexpr size_t kBufferSize = 1 << 20;
  void Flush() {
    DWORD written = 0;
    if (!buffer_.empty() &&
        (!WriteFile(file_, buffer_.data(), static_cast<DWORD>(buffer_.size()), &written, nullptr) ||
         written != buffer_.size())) {
      Fail("cannot write " + path_);
    }
    buffer_.clear();
  }

  std::string path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::vector<uint8_t> buffer_;
  uint32_t position_ = 0;
};

// The saved content: every byte depends on its offset, so a chunk written
// to the wrong place, twice or not at all shows.
uint32_t PatternWord(uint64_t word_index) {
  uint32_t word = static_cast<uint32_t>(word_index) * 2654435761u;
  return word ^ (word >> 15);
}

void FillPattern(uint8_t* out, uint64_t offset, uint32_t count) {
  uint32_t i = 0;
  // Byte by byte up to a word boundary and after the last whole word; whole
  // words between (a gigabyte is made several times per run).
  for (; i < count && ((offset + i) & 3) != 0; ++i) {
    out[i] = static_cast<uint8_t>(PatternWord((offset + i) >> 2) >> (8 * ((offset + i) & 3)));
  }
  for (; i + 4 <= count; i += 4) {
    const uint32_t word = PatternWord((offset + i) >> 2);
    memcpy(out + i, &word, 4);  // little-endian, as the byte loop lays it out
  }
  for (; i < count; ++i) {
    out[i] = static_cast<uint8_t>(PatternWord((offset + i) >> 2) >> (8 * ((offset + i) & 3)));
  }
}

class PatternSource final : public ByteSource {
 public:
  uint32_t Read(void* buffer, uint32_t size) override {
    FillPattern(static_cast<uint8_t*>(buffer), offset_, size);
    offset_ += size;
    return size;
  }

 private:
  uint64_t offset_ = 0;
};

void WritePatternFile(const std::string& path, uint32_t size) {
  FileSink sink(path);
  std::vector<uint8_t> chunk(1 << 16);
  for (uint32_t done = 0; done < size;) {
    const uint32_t n = std::min<uint32_t>(size - done, static_cast<uint32_t>(chunk.size()));
    FillPattern(chunk.data(), done, n);
    sink.Write(chunk.data(), n);
    done += n;
  }
}

// Reads the whole file and drops the bytes: a timed run then finds its input
// in the page cache, whatever the kernel evicted since it was written.
void ReadThrough(const std::string& path) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail("cannot read " + path);
  std::vector<uint8_t> chunk(1 << 20);
  DWORD read = 0;
  while (ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) && read) {
  }
  CloseHandle(file);
}

// True when path holds exactly size bytes of the pattern.
bool HoldsPattern(const std::string& path, uint32_t size) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD high = 0;
  bool same = GetFileSize(file, &high) == size && high == 0;
  std::vector<uint8_t> got(1 << 16), want(1 << 16);
  for (uint32_t done = 0; same && done < size;) {
    const uint32_t n = std::min<uint32_t>(size - done, static_cast<uint32_t>(got.size()));
    DWORD read = 0;
    FillPattern(want.data(), done, n);
    same = ReadFile(file, got.data(), n, &read, nullptr) && read == n &&
           memcmp(got.data(), want.data(), n) == 0;
    done += n;
  }
  CloseHandle(file);
  return same;
}

// ---- The walk: stub against floor ------------------------------------------------

std::vector<uint8_t> ProductLog(const ProductShape& shape) {
  e2e::UninstallImage image;
  LogWriter writer(image);
  writer.Begin();
  writer.AddDirectory(kProductRoot);
  char path[kPathSize];
  for (int d = 0; d < shape.directories; ++d) {
    DirectoryPath(path, d);
    writer.AddDirectory(path);
    for (int f = shape.FirstFile(d); f < shape.FirstFile(d + 1); ++f) {
      FilePath(path, d, f);
      writer.AddFile(path);
    }
  }
  writer.Finish("Kiv Bench Product");
  return image.bytes();
}

// Has the kernel write every new file out before a timed run, so that each
// run starts from the same state: the product on disk, as an installed
// product is, and no write-back of it pending to compete with the run.
void SettleDisk() {
  if (!e2e::RunUnix("/bin/sync", "")) Fail("sync failed");
}

void WriteSmallFile(const char* path, const void* data, DWORD size) {
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE || !WriteFile(file, data, size, &written, nullptr) ||
      written != size) {
    Fail(std::string("cannot write ") + path);
  }
  CloseHandle(file);
}

void MakeProduct(const ProductShape& shape, const std::vector<uint8_t>& log) {
  if (e2e::DirectoryExists(kProductRoot)) Fail("a product is left from an earlier run");
  e2e::MakeDirectories(kProductRoot);
  char content[kFileContentSize];
  memset(content, 'k', sizeof(content));
  char path[kPathSize];
  for (int d = 0; d < shape.directories; ++d) {
    DirectoryPath(path, d);
    if (!CreateDirectoryA(path, nullptr)) Fail(std::string("cannot create ") + path);
    for (int f = shape.FirstFile(d); f < shape.FirstFile(d + 1); ++f) {
      FilePath(path, d, f);
      WriteSmallFile(path, content, sizeof(content));
    }
  }
  UninstallPath(path);
  WriteSmallFile(path, log.data(), static_cast<DWORD>(log.size()));
  SettleDisk();
}

// Counts what a run left of the product (0 when the root is gone).
int Leftovers(const std::string& directory) {
  int count = 0;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((directory + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return e2e::DirectoryExists(directory) ? 1 : 0;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    count +=
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Leftovers(directory + "\\" + name) : 1;
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return count + 1;  // the directory itself
}

void ExpectProductGone(const char* who, int run) {
  const int left = Leftovers(kProductRoot);
  if (left > 0) {
    e2e::RemoveTree(kProductRoot);
    Fail(std::string(who) + " run " + std::to_string(run) + " left " + std::to_string(left) +
         " files and directories behind");
  }
}

struct Series {
  std::vector<double> stub, silent, floor, box;
};

std::string BoxOnlyLine() { return Quoted(FloorProgram()) + " box"; }

// Alternates stub and floor on fresh products; with_box adds a third run of
// a program that only shows the success box.
Series TimeRuns(const ProductShape& shape, int runs, bool with_box) {
  const std::vector<uint8_t> log = ProductLog(shape);
  char uninstall_file[kPathSize];
  UninstallPath(uninstall_file);
  const std::string stub_line = Quoted(KIV_STUB_PATH) + " " + uninstall_file;
  const std::string silent_line = Quoted(KIV_STUB_PATH) + " /S " + uninstall_file;
  const std::string floor_line = Quoted(FloorProgram()) + " delete " + std::to_string(shape.files) +
                                 " " + std::to_string(shape.directories);
  Series series;
  for (int run = 1; run <= runs; ++run) {
    MakeProduct(shape, log);
    series.stub.push_back(RunTimed(stub_line, kStub, false).ms);
    ExpectProductGone("stub", run);

    MakeProduct(shape, log);
    series.silent.push_back(RunTimed(silent_line, kSilentStub, false).ms);
    ExpectProductGone("silent stub", run);

    MakeProduct(shape, log);
    series.floor.push_back(RunTimed(floor_line, kFloor, false).ms);
    ExpectProductGone("floor", run);

    if (with_box) series.box.push_back(RunTimed(BoxOnlyLine(), kBoxOnly, false).ms);
  }
  return series;
}

// The stub's reading of the log, alone: the chain check, then the walk
// without actions, in this process over the same uninstall file.
void TimeLogReading(const ProductShape& shape, int runs) {
  const std::vector<uint8_t> log = ProductLog(shape);
  MakeProduct(shape, log);
  char uninstall_file[kPathSize];
  UninstallPath(uninstall_file);
  std::vector<double> check, walk;
  uint32_t records = 0;
  for (int run = 0; run < runs; ++run) {
    LogReader reader(uninstall_file);
    int64_t t0 = Now();
    const ChainVerdict verdict = reader.CheckChain();
    int64_t t1 = Now();
    const WalkTally tally = WalkWithoutActions(reader);
    int64_t t2 = Now();
    if (verdict.damage != Damage::kNone || !tally.reached_end || tally.records != verdict.records) {
      Fail("the product's log does not read back whole");
    }
    records = tally.records;
    check.push_back(Milliseconds(t0, t1));
    walk.push_back(Milliseconds(t1, t2));
  }
  e2e::RemoveTree(kProductRoot);
  printf("walk.records %u\n", records);
  PrintSeries("walk.wine_check_ms", check);
  PrintSeries("walk.wine_read_walk_ms", walk);
}

int BenchLog(int records, int runs) {
  char temp[MAX_PATH];
  char path[MAX_PATH];
  if (!GetTempPathA(sizeof(temp), temp) || !GetTempFileNameA(temp, "KLG", 0, path)) {
    Fail("no temporary file for the log");
  }
  FILE* file = fopen(path, "wb");
  if (!file || !WriteMixedLog(file, records) || fclose(file) != 0)
    Fail("the log cannot be written");
  std::vector<double> check, walk;
  for (int run = 0; run < runs; ++run) {
    LogReader reader(path);
    const int64_t t0 = Now();
    const ChainVerdict verdict = reader.CheckChain();
    const int64_t t1 = Now();
    const WalkTally tally = WalkWithoutActions(reader);
    const int64_t t2 = Now();
    if (verdict.damage != Damage::kNone || !tally.reached_end ||
        tally.records != static_cast<uint32_t>(records) + 1 || tally.records != verdict.records) {
      Fail("the mixed log does not read back whole");
    }
    check.push_back(Milliseconds(t0, t1));
    walk.push_back(Milliseconds(t1, t2));
  }
  DeleteFileA(path);
  printf("log.records %d\n", records + 1);
  PrintSeries("log.wine_check_ms", check);
  PrintSeries("log.wine_walk_ms", walk);
  return 0;
}

int BenchWalk(const ProductShape& shape, int runs) {
  e2e::RemoveTree(kProductRoot);
  printf("walk.files %d\nwalk.directories %d\n", shape.files, shape.directories);
  const Series full = TimeRuns(shape, runs, false);
  PrintSeries("walk.stub_ms", full.stub);
  PrintSeries("walk.silent_ms", full.silent);
  PrintSeries("walk.floor_ms", full.floor);
  // The costs that do not grow with the product: process start-up, the
  // libraries the stub loads, the finishing steps and the box.
  const Series empty = TimeRuns(ProductShape{0, 1}, runs, true);
  PrintSeries("walk.stub_empty_ms", empty.stub);
  PrintSeries("walk.silent_empty_ms", empty.silent);
  PrintSeries("walk.floor_empty_ms", empty.floor);
  PrintSeries("walk.box_only_ms", empty.box);
  TimeLogReading(shape, runs);
  return 0;
}

// ---- Restore: stub against CopyFileA ------------------------------------------------

constexpr char kRestoreDirectory[] = "C:\\kivbench\\restore";
constexpr uint64_t kSavedTime = 0x01D9000012345678ull;  // a time in 2022

// An uninstall file whose one record restores `restored` with size bytes of
// the pattern.
void WriteRestoreLog(const std::string& path, const std::string& restored, uint32_t size) {
  FileSink sink(path);
  const std::vector<uint8_t>& image = e2e::StubImage();
  sink.Write(image.data(), static_cast<uint32_t>(image.size()));
  LogWriter writer(sink);
  PatternSource content;
  writer.Begin();
  if (!writer.AddRestoredFile(restored.c_str(), kSavedTime, content, size) ||
      !writer.Finish("Kiv Bench Restore")) {
    Fail("cannot write the restore log");
  }
}

int BenchRestore(uint32_t size, int runs) {
  const std::string directory = kRestoreDirectory;
  const std::string uninstall_file = directory + "\\uninst.exe";
  const std::string restored = directory + "\\saved.dat";
  const std::string source = directory + "\\source.dat";
  const std::string copied = directory + "\\copied.dat";
  e2e::RemoveTree(directory);
  e2e::MakeDirectories(directory);
  WritePatternFile(source, size);

  const std::string stub_line = Quoted(KIV_STUB_PATH) + " " + uninstall_file;
  const std::string silent_line = Quoted(KIV_STUB_PATH) + " /S " + uninstall_file;
  const std::string copy_line = Quoted(FloorProgram()) + " copy " + source + " " + copied;
  const char installed[] = "the installed version, replaced by the restore";
  std::vector<double> stub_ms, silent_ms, copy_ms, stub_peak, stub_private, copy_peak, copy_private;
  std::vector<double> box_peak, box_private;
  // Run 0 warms up and is not recorded: the first run after the big files
  // were made was always the slowest, stub and copy alike.
  //
  // Each timed run is charged for what the disk still does for the one
  // before it: on a file system that discards freed blocks online (ext4
  // mounted with discard), deleting a file of a gibibyte queues its discards
  // for the next journal commit, seconds later, and the next large writer
  // then waits in the block layer (the stub and the copy both seen waiting
  // in folio_wait_bit, rq_qos_wait and ext4_wait_block_bitmap). A fixed
  // order put that cost on one side; the three runs take turns at going
  // first, so each meets the disk's leftovers equally often.
  auto run_stub = [&](int run, bool record) {
    WriteRestoreLog(uninstall_file, restored, size);
    WriteSmallFile(restored.c_str(), installed, sizeof(installed));
    ReadThrough(uninstall_file);
    const Timed stub = RunTimed(stub_line, kStub, true);
    e2e::FileTimes times;
    if (e2e::FileExists(uninstall_file) || !HoldsPattern(restored, size) ||
        !e2e::GetTimes(restored, &times) || times.write != kSavedTime) {
      Fail("stub run " + std::to_string(run) + " did not restore the saved file");
    }
    DeleteFileA(restored.c_str());
    if (record) {
      stub_ms.push_back(stub.ms);
      stub_peak.push_back(stub.peak_working_set);
      stub_private.push_back(stub.peak_private);
    }
  };
  auto run_silent = [&](int run, bool record) {
    WriteRestoreLog(uninstall_file, restored, size);
    WriteSmallFile(restored.c_str(), installed, sizeof(installed));
    ReadThrough(uninstall_file);
    const Timed silent = RunTimed(silent_line, kSilentStub, false);
    if (e2e::FileExists(uninstall_file) || !HoldsPattern(restored, size)) {
      Fail("silent stub run " + std::to_string(run) + " did not restore the saved file");
    }
    DeleteFileA(restored.c_str());
    if (record) silent_ms.push_back(silent.ms);
  };
  auto run_copy = [&](int run, bool record) {
    WriteSmallFile(copied.c_str(), installed, sizeof(installed));
    ReadThrough(source);
    const Timed copy = RunTimed(copy_line, kFloor, true);
    if (!HoldsPattern(copied, size)) {
      Fail("copy run " + std::to_string(run) + " failed");
    }
    DeleteFileA(copied.c_str());
    if (record) {
      copy_ms.push_back(copy.ms);
      copy_peak.push_back(copy.peak_working_set);
      copy_private.push_back(copy.peak_private);
    }
  };
  for (int run = 0; run <= runs; ++run) {
    const bool record = run > 0;
    for (int turn = 0; turn < 3; ++turn) {
      switch ((run + turn) % 3) {
        case 0: run_stub(run, record); break;
        case 1: run_silent(run, record); break;
        default: run_copy(run, record); break;
      }
    }
    if (record) {
      // What showing the box alone costs in memory under this Wine.
      const Timed box = RunTimed(BoxOnlyLine(), kBoxOnly, true);
      box_peak.push_back(box.peak_working_set);
      box_private.push_back(box.peak_private);
    }
  }

  // The same restore inside this process, through the stub's own reader and
  // record action, against CopyFileA called here: the streaming alone,
  // without process start-up, the chain check or the box.
  std::vector<double> action_ms, copy_call_ms, delete_ms;
  auto restore_here = [&](bool record) {
    WriteRestoreLog(uninstall_file, restored, size);
    ReadThrough(uninstall_file);
    const int64_t start = Now();
    {
      LogReader reader(uninstall_file.c_str());
      if (!reader.usable() || reader.NextRecord() != static_cast<uint16_t>(RecordType::kFile)) {
        Fail("the restore log does not open");
      }
      UndoStep step;
      UndoFile(reader, step, RecordType::kFile);
      if (step.what != Undone::kRestored) Fail("the in-process restore did not restore");
    }
    const double action = Milliseconds(start, Now());
    if (!HoldsPattern(restored, size)) Fail("the in-process restore wrote other bytes");
    DeleteFileA(restored.c_str());
    // What a whole run adds at its end: the uninstall file, as large as what
    // it restores, is deleted.
    const int64_t deleting = Now();
    if (!DeleteFileA(uninstall_file.c_str())) Fail("the uninstall file cannot be deleted");
    const double deletion = Milliseconds(deleting, Now());
    if (record) {
      action_ms.push_back(action);
      delete_ms.push_back(deletion);
    }
  };
  auto copy_here = [&](bool record) {
    ReadThrough(source);
    const int64_t start = Now();
    if (!CopyFileA(source.c_str(), copied.c_str(), FALSE)) Fail("CopyFileA failed");
    const double copy = Milliseconds(start, Now());
    DeleteFileA(copied.c_str());
    if (record) copy_call_ms.push_back(copy);
  };
  for (int run = 0; run <= runs; ++run) {
    // Restore first on even runs, the copy first on odd ones (see above).
    if (run % 2 == 0) {
      restore_here(run > 0);
      copy_here(run > 0);
    } else {
      copy_here(run > 0);
      restore_here(run > 0);
    }
  }
  e2e::RemoveTree(directory);

  const std::string key = "restore[" + std::to_string(size) + "].";
  PrintSeries(key + "stub_ms", stub_ms);
  PrintSeries(key + "silent_ms", silent_ms);
  PrintSeries(key + "copy_ms", copy_ms);
  PrintSeries(key + "stub_peak_ws", stub_peak);
  PrintSeries(key + "stub_peak_private", stub_private);
  PrintSeries(key + "copy_peak_ws", copy_peak);
  PrintSeries(key + "copy_peak_private", copy_private);
  PrintSeries(key + "box_only_peak_ws", box_peak);
  PrintSeries(key + "box_only_peak_private", box_private);
  PrintSeries(key + "in_process_restore_ms", action_ms);
  PrintSeries(key + "in_process_copy_ms", copy_call_ms);
  PrintSeries(key + "in_process_delete_ms", delete_ms);
  return 0;
}

int Usage() {
  fprintf(stderr,
          "usage: kiv_bench_windows walk FILES DIRECTORIES RUNS\n"
          "       kiv_bench_windows log RECORDS RUNS\n"
          "       kiv_bench_windows restore BYTES RUNS\n");
  return 2;
}

}  // namespace
}  // namespace kiv::bench

int main(int argc, char** argv) {
  using namespace kiv::bench;
  if (argc == 5 && strcmp(argv[1], "walk") == 0) {
    ProductShape shape{atoi(argv[2]), atoi(argv[3])};
    const int runs = atoi(argv[4]);
    if (shape.files < 0 || shape.directories < 1 || shape.directories > 999 || runs < 1) {
      return Usage();
    }
    return BenchWalk(shape, runs);
  }
  if (argc == 4 && strcmp(argv[1], "log") == 0) {
    const int records = atoi(argv[2]);
    const int runs = atoi(argv[3]);
    if (records < 0 || records > 10000000 || runs < 1) return Usage();
    return BenchLog(records, runs);
  }
  if (argc == 4 && strcmp(argv[1], "restore") == 0) {
    const unsigned long long size = strtoull(argv[2], nullptr, 10);
    const int runs = atoi(argv[3]);
    if (size == 0 || size > 0x7FF00000ull || runs < 1) return Usage();
    return BenchRestore(static_cast<uint32_t>(size), runs);
  }
  return Usage();
}
