// Extracts one archive with the updater's extraction, for bench/extract.
//   extract_bench ARCHIVE DESTINATION [WORKERS]
// WORKERS (1 or 2) overrides the updater's own choice. Exit status 0 when
// the archive was extracted completely.

#include <cstdio>
#include <cstdlib>

#include "extract.h"

int main(int argc, char** argv) {
  Path archive, destination;
  if (argc < 3 || argc > 4 || !PathFromUtf8(argv[1], &archive) ||
      !PathFromUtf8(argv[2], &destination)) {
    fprintf(stderr, "usage: %s ARCHIVE DESTINATION [WORKERS]\n", argv[0]);
    return 2;
  }
  const unsigned workers = argc == 4 ? static_cast<unsigned>(strtoul(argv[3], nullptr, 10)) : 0;
  return ExtractArchive(archive, destination, nullptr, workers) ? 0 : 1;
}
