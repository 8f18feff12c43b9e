// The cost of one transaction through the installers' library (kivlog.h),
// in-process: an installer logging ahead per component appends a batch,
// then makes the changes. Appends TRANSACTIONS batches of BATCH records to
// a file that starts empty and times each kivlog_append call (open and
// check included, as an installer pays them), printing result lines for
// bench/report.py: the times of the first and the last hundred, so that the
// growth with the file's size shows.
//
//   kiv_library_bench DIR TRANSACTIONS BATCH
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "kivlog.h"

namespace {

bool WriteEmptyUninstallFile(const std::string& path) {
  std::string bytes(30720, '\0');  // the shipped stub's size
  bytes.replace(0, 2, "MZ");
  bytes.replace(0x3C, 4, std::string("\x80\0\0\0", 4));
  bytes.replace(0x80, 4, std::string("PE\0\0", 4));
  bytes += std::string("\xFF\xFF\xFF\xFF\0\0", 6);  // type 0 at 30720 (0x7800)
  bytes += std::string("Bench\0", 6);               // the name at 30726 (0x7806)
  bytes += std::string("\x06\x78\0\0\x00\x78\0\0", 8);
  bytes += "KivUnInstall";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

std::string Joined(const std::vector<double>& values) {
  std::string text;
  for (double v : values) {
    char item[32];
    snprintf(item, sizeof(item), "%s%.3f", text.empty() ? "" : ",", v);
    text += item;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: kiv_library_bench DIR TRANSACTIONS BATCH\n");
    return 2;
  }
  const std::string path = std::string(argv[1]) + "/library_bench.exe";
  const int transactions = atoi(argv[2]);
  const int batch = atoi(argv[3]);
  if (!WriteEmptyUninstallFile(path)) return 1;
  std::vector<double> ms;
  for (int t = 0; t < transactions; ++t) {
    std::string json = "{\"records\": [";
    for (int j = 0; j < batch; ++j) {
      json += std::string(j ? ", " : "") +
              "{\"type\": \"file\", \"path\": \"C:\\\\Program Files\\\\Kiv\\\\f" +
              std::to_string(t * batch + j) + ".dll\"}";
    }
    json += "]}";
    const auto start = std::chrono::steady_clock::now();
    kivlog_file* file = nullptr;
    const bool ok = kivlog_open(path.c_str(), &file) == KIVLOG_OK &&
                    kivlog_append(file, json.c_str()) == KIVLOG_OK;
    if (!ok) fprintf(stderr, "%s\n", kivlog_last_error(file));
    kivlog_close(file);
    if (!ok) return 1;
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                           start)
                     .count());
  }
  const size_t head = std::min<size_t>(100, ms.size());
  printf("library.transactions %d\nlibrary.batch %d\n", transactions, batch);
  printf("library.first_ms %s\n", Joined({ms.begin(), ms.begin() + head}).c_str());
  printf("library.last_ms %s\n", Joined({ms.end() - head, ms.end()}).c_str());
  return 0;
}
