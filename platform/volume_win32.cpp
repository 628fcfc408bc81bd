#include "volume.h"

#include <windows.h>

#include "long_path_win32.h"

bool FreeSpaceOnVolume(const Path& directory, uint64_t* bytes) {
  ULARGE_INTEGER available;
  // The caller's share: disk quotas count here.
  if (!GetDiskFreeSpaceExW(SystemPath(directory).c_str(), &available, nullptr, nullptr))
    return false;
  *bytes = available.QuadPart;
  return true;
}
