// Runs the updater's download operation once, for bench/download:
//   download_bench URL USER:PASSWORD TARGET
// Exits with libcurl's result code.

#include <cstdio>

#include "download.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s URL USER:PASSWORD TARGET\n", argv[0]);
    return 2;
  }
  Path target;
  if (!PathFromUtf8(argv[3], &target)) return 2;
  return DownloadPackageFrom(argv[1], argv[2], target);
}
