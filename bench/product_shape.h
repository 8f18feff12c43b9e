// The benchmark product: `files` files spread over `directories` directories
// under one root, the uninstall file in the root. The driver builds the
// product and its log from these names; the floor program deletes by the
// same names in the same order, so the two runs differ only in what the stub
// does beyond the deletions.
//
// Install order (the order the log is written in): the root, then for each
// directory the directory and its files. The uninstall undoes it backwards.
#ifndef KIV_BENCH_PRODUCT_SHAPE_H_
#define KIV_BENCH_PRODUCT_SHAPE_H_

#include <stdio.h>

namespace kiv::bench {

inline constexpr char kProductRoot[] = "C:\\kivbench\\product";
inline constexpr char kUninstallName[] = "uninst.exe";
inline constexpr int kPathSize = 260;

struct ProductShape {
  int files = 0;
  int directories = 1;

  // Directory d holds the files [FirstFile(d), FirstFile(d + 1)).
  int FirstFile(int d) const {
    return static_cast<int>(static_cast<long long>(d) * files / directories);
  }
};

inline void DirectoryPath(char (&out)[kPathSize], int d) {
  snprintf(out, kPathSize, "%s\\d%03d", kProductRoot, d);
}

inline void FilePath(char (&out)[kPathSize], int d, int file) {
  snprintf(out, kPathSize, "%s\\d%03d\\f%06d.dat", kProductRoot, d, file);
}

inline void UninstallPath(char (&out)[kPathSize]) {
  snprintf(out, kPathSize, "%s\\%s", kProductRoot, kUninstallName);
}

}  // namespace kiv::bench

#endif  // KIV_BENCH_PRODUCT_SHAPE_H_
