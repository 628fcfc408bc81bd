#include "file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

FilePtr OpenFileForWriting(const Path& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    close(fd);
    return nullptr;
  }
  return WithBuffer(file);
}

namespace {

// Wraps an open descriptor in a buffered stream and reports the file's length.
FilePtr StreamOf(int fd, const char* mode, uint64_t* size) {
  if (fd < 0) return nullptr;
  struct stat status;
  FILE* file = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? fdopen(fd, mode) : nullptr;
  if (!file) {
    close(fd);
    return nullptr;
  }
  *size = static_cast<uint64_t>(status.st_size);
  return WithBuffer(file);
}

}  // namespace

FilePtr OpenFileForAppending(const Path& path, uint64_t* size) {
  return StreamOf(open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC), "ab", size);
}

FilePtr OpenFileForReading(const Path& path, uint64_t* size) {
  return StreamOf(open(path.c_str(), O_RDONLY | O_CLOEXEC), "rb", size);
}

FilePtr OpenFileForReading(const Path& path) {
  FILE* file = fopen(path.c_str(), "rbe");
  if (file) setvbuf(file, nullptr, _IONBF, 0);
  return FilePtr(file);
}

bool SeekFile(FILE* file, uint64_t offset) {
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool CloseWrittenFile(FilePtr file) { return fclose(file.release()) == 0; }

void SetFileTimeFromDos(const Path& path, uint32_t dos_date_time) {
  const unsigned date = dos_date_time >> 16, time = dos_date_time & 0xFFFF;
  struct tm local = {};
  local.tm_year = static_cast<int>((date >> 9) & 0x7F) + 80;
  local.tm_mon = static_cast<int>((date >> 5) & 0x0F) - 1;
  local.tm_mday = static_cast<int>(date & 0x1F);
  local.tm_hour = static_cast<int>((time >> 11) & 0x1F);
  local.tm_min = static_cast<int>((time >> 5) & 0x3F);
  local.tm_sec = static_cast<int>(time & 0x1F) * 2;
  local.tm_isdst = -1;  // whatever daylight saving was in force at that date
  // mktime would roll invalid fields over into some other date.
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_hour > 23 ||
      local.tm_min > 59 || local.tm_sec > 59)
    return;
  const time_t when = mktime(&local);
  if (when == static_cast<time_t>(-1)) return;
  // No creation time to set here: last-write gets the entry's time.
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = when;
  times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void SetUnixPermissions(const Path& path, unsigned mode) { chmod(path.c_str(), mode & 0777); }
