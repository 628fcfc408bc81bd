#include "archive_io.h"

// iowin32.h takes the zlib_filefunc64_def of ioapi.h without including it.
#include <ioapi.h>
#include <iowin32.h>

#include "long_path_win32.h"

ArchivePtr OpenArchive(const Path& path) {
  // The wide-path layer hands the UTF-16 path to CreateFileW (read-only,
  // shared for reading, the file must exist).
  zlib_filefunc64_def functions;
  fill_win32_filefunc64W(&functions);
  return ArchivePtr(unzOpen2_64(SystemPath(path).c_str(), &functions));
}
