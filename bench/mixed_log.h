// The benchmarks' mixed log: records of every type in a fixed mix, with
// paths of a realistic length, written to a stdio stream. The host benchmark
// and the Windows one (under Wine) read the same log.
#ifndef KIV_BENCH_MIXED_LOG_H_
#define KIV_BENCH_MIXED_LOG_H_

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "uninstall_file/log_writer.h"

namespace kiv::bench {

constexpr uint32_t kImageSize = 30 * 1024;  // about the stub's own size
constexpr uint32_t kSavedContentSize = 256;

class StdioSink final : public ByteSink {
 public:
  explicit StdioSink(FILE* file) : file_(file) {}
  bool Write(const void* data, uint32_t size) override {
    position_ += size;
    return fwrite(data, 1, size, file_) == size;
  }
  uint32_t Position() const override { return position_; }

 private:
  FILE* file_;
  uint32_t position_ = 0;
};

// The fixture log: records in a fixed mix of every type, with paths of a
// realistic length. Per hundred records: 10 directories, 50 files deleted,
// 5 files restored (256 bytes saved), 10 INI entries, 12 registry values,
// 2 of type 5, 3 fonts, 6 Program Manager items, 2 groups.
inline void AddMixedRecord(LogWriter& writer, int i) {
  char a[160], b[160];
  const int slot = i % 100;
  snprintf(a, sizeof(a), "C:\\Program Files\\Kiv Product\\component%02d\\file%06d.dat", i % 37, i);
  bool ok = true;
  if (slot < 10) {
    snprintf(a, sizeof(a), "C:\\Program Files\\Kiv Product\\component%02d\\sub%06d", i % 37, i);
    ok = writer.AddDirectory(a);
  } else if (slot < 60) {
    ok = writer.AddFile(a);
  } else if (slot < 65) {
    static const std::vector<uint8_t> saved(kSavedContentSize, 0x5A);
    ok = writer.AddRestoredFile(a, 0x01D9000012345678ull, saved.data(), kSavedContentSize);
  } else if (slot < 75) {
    snprintf(b, sizeof(b), "Setting%06d", i);
    ok = writer.AddIniEntry("C:\\WINDOWS\\KIVPROD.INI", "Options", b,
                            slot & 1 ? "<null>" : "old value", "new value for the setting", false);
  } else if (slot < 87) {
    snprintf(b, sizeof(b), "Software\\Kiv\\Product\\Settings%02d\\Value%06d", i % 11, i);
    ok = writer.AddRegistryValue("HKEY_LOCAL_MACHINE", b, slot & 1 ? nullptr : "C:\\PROGRA~1\\KIV");
  } else if (slot < 89) {
    ok = writer.AddUnused5();
  } else if (slot < 92) {
    snprintf(b, sizeof(b), "Kiv Sans %06d", i);
    ok = writer.AddFont(b, "KIVSANS.TTF");
  } else if (slot < 98) {
    snprintf(b, sizeof(b), "Kiv Tool %06d", i);
    ok = writer.AddShellItem("Kiv Product", b);
  } else {
    snprintf(b, sizeof(b), "Kiv Group %02d", i % 13);
    ok = writer.AddShellGroup(b);
  }
  if (!ok) {
    fprintf(stderr, "mixed log: the writer refused record %d\n", i);
    exit(1);
  }
}

// Writes an uninstall file of records mixed records to file: a stand-in
// image of kImageSize bytes, the log, the display name and the trailer.
// False when a write fails.
inline bool WriteMixedLog(FILE* file, int records) {
  StdioSink sink(file);
  std::vector<uint8_t> image(kImageSize, 0);
  if (!sink.Write(image.data(), kImageSize)) return false;
  LogWriter writer(sink);
  if (!writer.Begin()) return false;
  for (int i = 0; i < records; ++i) AddMixedRecord(writer, i);
  return writer.Finish("Kiv Product");
}

}  // namespace kiv::bench

#endif  // KIV_BENCH_MIXED_LOG_H_
