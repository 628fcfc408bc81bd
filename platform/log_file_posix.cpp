#include "log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

int OpenToAppend(const Path& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
}

// The log file of the last append, kept open: a run writes thousands of
// lines, and an open per line costs more than the line.
struct OpenLog {
  Path path;
  int fd = -1;
};
OpenLog gOpen;

int OpenLogAt(const Path& path) {
  if (gOpen.fd >= 0 && gOpen.path == path) return gOpen.fd;
  CloseLog();
  const int fd = OpenToAppend(path);
  if (fd >= 0) gOpen = {path, fd};
  return fd;
}

}  // namespace

void CloseLog() {
  if (gOpen.fd >= 0) close(gOpen.fd);
  gOpen = OpenLog();
}

bool AppendToLog(const Path& path, const Path& rotated, const std::string& lines,
                 std::uint64_t limit, bool* renamed) {
  int fd = OpenLogAt(path);
  if (fd < 0) return false;
  struct stat status;
  if (fstat(fd, &status) == 0 && status.st_size > 0 &&
      static_cast<std::uint64_t>(status.st_size) + lines.size() > limit) {
    CloseLog();
    // When another updater has rotated it meanwhile, the file at `path` is
    // the new one it started: that one stays, and this append goes there.
    struct stat current;
    if (lstat(path.c_str(), &current) == 0 && current.st_ino == status.st_ino &&
        current.st_dev == status.st_dev && rename(path.c_str(), rotated.c_str()) == 0 && renamed)
      *renamed = true;
    fd = OpenLogAt(path);
    if (fd < 0) return false;
  }
  // O_APPEND makes every write land at the end, whoever else appends; one
  // write per call keeps its lines together.
  ssize_t written;
  do {
    written = write(fd, lines.data(), lines.size());
  } while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(lines.size())) return true;
  CloseLog();  // the next append tries afresh
  return false;
}

std::string LocalTimeStamp() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char text[40];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(now.tv_usec / 1000));
  return text;
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }
