#include "durable.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

struct DurableFile::Handle {
  int fd = -1;
  ~Handle() {
    if (fd >= 0) close(fd);
  }
};

DurableFile::DurableFile() : handle_(new Handle) {}
DurableFile::~DurableFile() = default;
DurableFile::DurableFile(DurableFile&&) noexcept = default;
DurableFile& DurableFile::operator=(DurableFile&&) noexcept = default;

bool DurableFile::Create(const Path& path) {
  handle_.reset(new Handle);
  handle_->fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  return is_open();
}

bool DurableFile::OpenExisting(const Path& path) {
  handle_.reset(new Handle);
  handle_->fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  return is_open();
}

bool DurableFile::is_open() const { return handle_ && handle_->fd >= 0; }

bool DurableFile::Append(const std::string& bytes) {
  if (!is_open()) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(handle_->fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool DurableFile::Flush() { return is_open() && fsync(handle_->fd) == 0; }

bool ReadWholeFile(const Path& path, std::string* content, bool* missing) {
  content->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  *missing = fd < 0 && errno == ENOENT;
  if (fd < 0) return false;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    content->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

namespace {

// Opens path with flags, hands the descriptor to sync and closes it again;
// false when either step fails.
template <typename Sync>
bool SyncThrough(const Path& path, int flags, Sync sync) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = sync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool FlushFile(const Path& path) {
  // Linux flushes through a descriptor opened for reading too.
  return SyncThrough(path, O_RDONLY | O_NOFOLLOW, fsync);
}

bool FlushDirectory(const Path& directory) {
  return SyncThrough(directory, O_RDONLY | O_DIRECTORY, fsync);
}

bool FlushFileSystem(const Path& path) { return SyncThrough(path, O_RDONLY, syncfs); }
