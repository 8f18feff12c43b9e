// Runs a fuzz target's body over files, for builds without libFuzzer: every
// argument is a file or a directory of files (not recursive). Each input
// goes through LLVMFuzzerTestOneInput exactly as the fuzzer would pass it; a
// broken invariant aborts. Finding no input at all is a failure, so an empty
// or mistyped corpus path cannot pass as a clean run.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReadFile(const std::filesystem::path& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(arg, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else if (std::filesystem::is_regular_file(arg, error)) {
      inputs.push_back(arg);
    } else {
      fprintf(stderr, "replay: %s: no such file or directory\n", argv[i]);
      return 1;
    }
  }
  if (inputs.empty()) {
    fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, &bytes)) {
      fprintf(stderr, "replay: %s: cannot read\n", path.c_str());
      return 1;
    }
    // A heap block of exactly the input's size, as libFuzzer hands it over,
    // so that under ASan an over-read lands outside the allocation (a
    // vector's spare capacity would hide it).
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
  }
  printf("replay: %zu inputs, no invariant broken\n", inputs.size());
  return 0;
}
