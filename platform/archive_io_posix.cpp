#include "archive_io.h"

#include <ioapi.h>

ArchivePtr OpenArchive(const Path& path) {
  // The stdio layer's 64-bit open takes the path as UTF-8 bytes, which is
  // what a POSIX path is.
  zlib_filefunc64_def functions;
  fill_fopen64_filefunc(&functions);
  return ArchivePtr(unzOpen2_64(path.c_str(), &functions));
}
