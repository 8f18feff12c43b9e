// kivlog.h as an installer uses it, and what a kill does to it: a child
// process appends batches of records in a loop through the library; the
// parent kills it at random points once its first batch is in, then checks through the library that
// the file is sound and holds whole batches only (the old record set or
// the new one, never part of a batch), and that no batch the child was
// told went in is lost. Runs on the host and, built for Windows, under
// Wine (TerminateProcess in place of SIGKILL).
//
//   library_kill_test DIR ROUNDS     the test: exit 0 when every round holds
//   library_kill_test child FILE     the appending child (never returns)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "kivlog.h"

namespace {

constexpr unsigned kBatch = 3;  // records per transaction

// A bare uninstall file with no records: a stand-in image with the MZ and
// PE headers, the type-0 record, the display name and the trailer.
bool WriteEmptyUninstallFile(const std::string& path) {
  std::string bytes(300, '\0');
  bytes.replace(0, 2, "MZ");
  bytes.replace(0x3C, 4, std::string("\x80\0\0\0", 4));
  bytes.replace(0x80, 4, std::string("PE\0\0", 4));
  bytes += std::string("\xFF\xFF\xFF\xFF\0\0", 6);   // type 0 at 300
  bytes += std::string("Kill Test\0", 10);           // the name at 306
  bytes += std::string("\x32\x01\0\0\x2C\x01\0\0", 8);  // name 306, last record 300
  bytes += "KivUnInstall";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

// The child: batch after batch, each naming its place in the sequence, so
// that the parent can tell whole batches from torn ones.
int Child(const char* path) {
  for (;;) {
    kivlog_file* file = nullptr;
    unsigned records = 0;
    if (kivlog_open(path, &file) != KIVLOG_OK || kivlog_check(file, &records) != KIVLOG_OK) {
      fprintf(stderr, "child: %s\n", kivlog_last_error(file));
      kivlog_close(file);
      return 1;
    }
    std::string batch = "{\"records\": [";
    for (unsigned j = 0; j < kBatch; ++j) {
      batch += std::string(j ? ", " : "") + "{\"type\": \"file\", \"path\": \"C:\\\\Kill\\\\" +
               std::to_string(records + j) + ".txt\"}";
    }
    batch += "]}";
    if (kivlog_append(file, batch.c_str()) != KIVLOG_OK) {
      fprintf(stderr, "child: %s\n", kivlog_last_error(file));
      kivlog_close(file);
      return 1;
    }
    kivlog_close(file);
  }
}

// The records the file holds, as the library counts them; 0 when it
// cannot tell.
unsigned Records(const std::string& path) {
  kivlog_file* file = nullptr;
  unsigned records = 0;
  if (kivlog_open(path.c_str(), &file) != KIVLOG_OK || kivlog_check(file, &records) != KIVLOG_OK) {
    records = 0;
  }
  kivlog_close(file);
  return records;
}

#ifdef _WIN32
struct Process {
  PROCESS_INFORMATION info{};
};
bool Start(const std::string& file, Process* p) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line = std::string("\"") + self + "\" child \"" + file + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &p->info) != FALSE;
}
// Kills it; true when it was still running (an exit of its own is a fault).
bool Kill(Process* p) {
  const bool running = WaitForSingleObject(p->info.hProcess, 0) == WAIT_TIMEOUT;
  TerminateProcess(p->info.hProcess, 9);
  WaitForSingleObject(p->info.hProcess, INFINITE);
  CloseHandle(p->info.hProcess);
  CloseHandle(p->info.hThread);
  return running;
}
#else
struct Process {
  pid_t pid = -1;
};
bool Start(const std::string& file, Process* p) {
  p->pid = fork();
  if (p->pid == 0) _exit(Child(file.c_str()));
  return p->pid > 0;
}
bool Kill(Process* p) {
  int status = 0;
  const bool running = waitpid(p->pid, &status, WNOHANG) == 0;
  kill(p->pid, SIGKILL);
  if (running) waitpid(p->pid, &status, 0);
  return running;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "child") == 0) return Child(argv[2]);
  if (argc != 3) {
    fprintf(stderr, "usage: library_kill_test DIR ROUNDS\n");
    return 2;
  }
  if ((kivlog_version() >> 16) != KIVLOG_VERSION_MAJOR) {
    fprintf(stderr, "library version %x, built for major %d\n", kivlog_version(),
            KIVLOG_VERSION_MAJOR);
    return 1;
  }
  const std::string path = std::string(argv[1]) + "/kill.exe";
  const int rounds = atoi(argv[2]);
  if (!WriteEmptyUninstallFile(path)) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  std::mt19937 random(std::random_device{}());
  unsigned before = 0;
  for (int round = 0; round < rounds; ++round) {
    Process child;
    if (!Start(path, &child)) {
      fprintf(stderr, "cannot start the child\n");
      return 1;
    }
    // Once the child's first batch is in (process start-up differs a
    // hundredfold between the host and Wine), a random moment among the
    // batches that follow: from at once to a few dozen transactions on.
    unsigned seen = 0;  // what the child had appended before the kill
    for (int waited = 0; (seen = Records(path)) <= before; ++waited) {
      if (waited == 10000) {
        fprintf(stderr, "round %d: the child appended nothing in 10 s\n", round);
        Kill(&child);
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 100000));
    if (!Kill(&child)) {
      fprintf(stderr, "round %d: the child ended by itself\n", round);
      return 1;
    }
    kivlog_file* file = nullptr;
    unsigned records = 0;
    if (kivlog_open(path.c_str(), &file) != KIVLOG_OK || kivlog_check(file, &records) != KIVLOG_OK) {
      fprintf(stderr, "round %d: the file is not sound: %s\n", round, kivlog_last_error(file));
      kivlog_close(file);
      return 1;
    }
    kivlog_close(file);
    if (records % kBatch != 0 || records < before) {
      fprintf(stderr, "round %d: %u records after %u: not whole batches\n", round, records,
              before);
      return 1;
    }
    if (records < seen) {
      fprintf(stderr, "round %d: %u records, but %u were in before the kill\n", round, records,
              seen);
      return 1;
    }
    before = records;
  }
  // The library's own check, once more, on a good append after all kills.
  kivlog_file* file = nullptr;
  if (kivlog_open(path.c_str(), &file) != KIVLOG_OK ||
      kivlog_append(file, "{\"records\": [{\"type\": \"directory\", \"path\": \"C:\\\\Kill\"}]}") !=
          KIVLOG_OK ||
      kivlog_append(file, "{\"records\": [{\"type\": \"file\", \"path\": \"relative\"}]}") !=
          KIVLOG_FAILED ||
      strstr(kivlog_last_error(file), "KIV0015") == nullptr) {
    fprintf(stderr, "after the kills: %s\n", kivlog_last_error(file));
    kivlog_close(file);
    return 1;
  }
  kivlog_close(file);
  printf("%d kills, each after at least one batch: %u records in whole batches of %u\n", rounds,
         before, kBatch);
  return 0;
}
