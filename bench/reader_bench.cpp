// Host benchmarks of the portable core (Google Benchmark):
//   - the chain check over a log of mixed record types,
//   - the walk without actions over the same log (every field read as the
//     record actions read it),
//   - the profile-section editor on a 60 KB file.
// The log is a real file, read through the host's file source (stdio); the
// reader's window over it is the stub's.
//
//   kiv_reader_bench [--records=N] [Google Benchmark flags]
//   kiv_reader_bench --count=check|walk|profile [--records=N]
//       runs the operation once, for callgrind: bench/run collects the
//       instructions of kiv_bench_count_once and divides by the records.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ini/profile_editor.h"
#include "mixed_log.h"
#include "read_walk.h"
#include "uninstall_file/log_reader.h"
#include "uninstall_file/log_writer.h"

namespace kiv::bench {
namespace {

int g_records = 100000;

// Writes the fixture once per process; removed at exit.
const std::string& MixedLog() {
  static const std::string path = [] {
    char name[] = "/tmp/kiv_reader_bench_XXXXXX";
    const int fd = mkstemp(name);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file) {
      perror("kiv_reader_bench: fixture");
      exit(1);
    }
    if (!WriteMixedLog(file, g_records)) {
      fprintf(stderr, "kiv_reader_bench: the fixture cannot be written\n");
      exit(1);
    }
    fclose(file);
    return std::string(name);
  }();
  return path;
}

void RemoveFixture() {
  if (!MixedLog().empty()) unlink(MixedLog().c_str());
}

// A WININIT.INI-like file of just under 60 KB: sections of path entries.
std::string ProfileFile(bool rename_first) {
  std::string text;
  if (rename_first) text += "[Rename]\r\nNUL=C:\\TEMP\\STP0001.TMP\r\n";
  for (int section = 0; text.size() < 60 * 1000 - 64; ++section) {
    text += "[section" + std::to_string(section) + "]\r\n";
    for (int key = 0; key < 20 && text.size() < 60 * 1000 - 64; ++key) {
      text += "C:\\WINDOWS\\SYSTEM\\K" + std::to_string(section * 100 + key) +
              ".DLL=C:\\WINDOWS\\SYSTEM\\KIVNEW" + std::to_string(key) + ".DLL\r\n";
    }
  }
  return text;
}

struct ProfileCase {
  std::string content;
  std::vector<char> buffer;
  explicit ProfileCase(bool rename_first)
      : content(ProfileFile(rename_first)), buffer(content.size() + kProfileRoom) {}
  // One edit as the restart deletion makes it: the file's bytes into the
  // buffer, then the insertion. Returns the new size.
  uint32_t Edit() {
    memcpy(buffer.data(), content.data(), content.size());
    uint32_t size = static_cast<uint32_t>(content.size());
    if (!InsertProfileEntry(buffer.data(), &size, static_cast<uint32_t>(buffer.size()), "Rename",
                            "NUL", "C:\\WINDOWS\\TEMP\\STP1234.TMP")) {
      fprintf(stderr, "kiv_reader_bench: the profile edit was refused\n");
      exit(1);
    }
    return size;
  }
};

void ExpectSound(const ChainVerdict& verdict, benchmark::State& state) {
  if (verdict.damage != Damage::kNone || verdict.records != static_cast<uint32_t>(g_records) + 1) {
    state.SkipWithError("the fixture log did not check as sound");
  }
}

void BM_ChainCheck(benchmark::State& state) {
  const std::string& path = MixedLog();
  uint32_t records = 0;
  for (auto _ : state) {
    LogReader reader(path.c_str());
    const ChainVerdict verdict = reader.CheckChain();
    benchmark::DoNotOptimize(verdict);
    ExpectSound(verdict, state);
    records = verdict.records;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * records);
}
BENCHMARK(BM_ChainCheck)->Unit(benchmark::kMillisecond);

void BM_WalkWithoutActions(benchmark::State& state) {
  const std::string& path = MixedLog();
  uint32_t records = 0;
  for (auto _ : state) {
    LogReader reader(path.c_str());
    const WalkTally tally = WalkWithoutActions(reader);
    benchmark::DoNotOptimize(tally);
    if (!tally.reached_end) state.SkipWithError("the walk did not reach the type-0 record");
    records = tally.records;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * records);
}
BENCHMARK(BM_WalkWithoutActions)->Unit(benchmark::kMillisecond);

// arg 1: [Rename] is the file's first line (the insertion moves all 60 KB);
// arg 0: no [Rename] section (the whole file is scanned, then appended to).
void BM_ProfileEditor(benchmark::State& state) {
  ProfileCase edit(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(edit.Edit());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(edit.content.size()));
  state.counters["file_bytes"] = static_cast<double>(edit.content.size());
}
BENCHMARK(BM_ProfileEditor)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kiv::bench

// The one function callgrind collects in --count mode; what it returns is
// printed so that nothing in it can be dropped.
extern "C" __attribute__((noinline)) uint32_t kiv_bench_count_once(const char* what,
                                                                   const char* path,
                                                                   void* profile_case) {
  using namespace kiv;
  if (strcmp(what, "check") == 0) {
    LogReader reader(path);
    return reader.CheckChain().records;
  }
  if (strcmp(what, "walk") == 0) {
    LogReader reader(path);
    return bench::WalkWithoutActions(reader).records;
  }
  return static_cast<bench::ProfileCase*>(profile_case)->Edit();
}

int main(int argc, char** argv) {
  using namespace kiv::bench;
  const char* count = nullptr;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--records=", 10) == 0) {
      g_records = atoi(argv[i] + 10);
    } else if (strncmp(argv[i], "--count=", 8) == 0) {
      count = argv[i] + 8;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (g_records < 1) {
    fprintf(stderr, "kiv_reader_bench: --records must be at least 1\n");
    return 2;
  }
  if (count) {
    // Fixtures are made before the counted call, so only the operation counts.
    if (strcmp(count, "profile") == 0) {
      ProfileCase edit(false);
      printf("result %u\n", kiv_bench_count_once(count, "", &edit));
    } else {
      printf("result %u\n", kiv_bench_count_once(count, MixedLog().c_str(), nullptr));
    }
    RemoveFixture();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  RemoveFixture();
  return 0;
}
