// Extracts one archive with the updater's extraction, for bench/extract.
//   extract_bench ARCHIVE DESTINATION
// Exit status 0 when the archive was extracted completely.

#include <cstdio>

#include "extract.h"

int main(int argc, char** argv) {
  Path archive, destination;
  if (argc != 3 || !PathFromUtf8(argv[1], &archive) || !PathFromUtf8(argv[2], &destination)) {
    fprintf(stderr, "usage: %s ARCHIVE DESTINATION\n", argv[0]);
    return 2;
  }
  return ExtractArchive(archive, destination) ? 0 : 1;
}
