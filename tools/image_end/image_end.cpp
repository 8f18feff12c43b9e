// image_end FILE: prints the file's size and where its image ends, as the
// temporary copy reads it from the PE headers, and how much of an uninstall
// file with this stub the copy takes ("size 59392 image_end 59392 copy
// 60000"). Exit 1, with the reason on standard error, when the headers do
// not tell.
#include <stdio.h>

#include "uninstall_file/pe_image.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: image_end FILE\n");
    return 2;
  }
  FILE* f = fopen(argv[1], "rb");
  if (!f) {
    fprintf(stderr, "image_end: %s: cannot open\n", argv[1]);
    return 1;
  }
  uint8_t head[kiv::kPeHeadLimit];
  const size_t got = fread(head, 1, sizeof(head), f);
  long size = -1;
  if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
  fclose(f);
  uint32_t end = 0;
  if (size < 0 || !kiv::ReadImageEnd(head, static_cast<uint32_t>(got),
                                     static_cast<uint64_t>(size), &end)) {
    fprintf(stderr, "image_end: %s: the PE headers do not tell where the image ends\n", argv[1]);
    return 1;
  }
  // The copy of a file that is this image followed by a log longer than
  // the floor.
  const uint32_t copy = kiv::TemporaryCopySize(static_cast<uint64_t>(size) + kiv::kTemporaryCopyFloor, end);
  printf("size %ld image_end %u copy %u\n", size, end, copy);
  return 0;
}
