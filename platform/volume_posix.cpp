#include "volume.h"

#include <sys/statvfs.h>

bool FreeSpaceOnVolume(const Path& directory, uint64_t* bytes) {
  struct statvfs st;
  if (statvfs(directory.c_str(), &st) != 0) return false;
  // f_bavail leaves out the blocks kept for root: the space anyone may use.
  *bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}
