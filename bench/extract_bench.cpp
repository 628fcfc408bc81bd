// Extracts one archive with the updater's extraction, for bench/extract.
//   extract_bench ARCHIVE DESTINATION
// Exit status 0 when the archive was extracted completely.

#include <cstdio>

#include "extract.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ARCHIVE DESTINATION\n", argv[0]);
    return 2;
  }
  return ExtractArchive(argv[1], argv[2]) ? 0 : 1;
}
