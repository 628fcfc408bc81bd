#include <iowin32.h>

#include "archive_io.h"

ArchivePtr OpenArchive(const Path& path) {
  // The wide-path layer hands the UTF-16 path to CreateFileW (read-only,
  // shared for reading, the file must exist).
  zlib_filefunc64_def functions;
  fill_win32_filefunc64W(&functions);
  return ArchivePtr(unzOpen2_64(path.c_str(), &functions));
}
