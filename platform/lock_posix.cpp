#include "lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

struct FileLock::Handle {
  Path path;
  int fd = -1;
};

FileLock::FileLock() : handle_(new Handle) {}
FileLock::~FileLock() { Release(); }
FileLock::FileLock(FileLock&&) noexcept = default;
FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::move(other.handle_);
  }
  return *this;
}

bool FileLock::held() const { return handle_ && handle_->fd >= 0; }

LockResult FileLock::Acquire(const Path& path) {
  Release();
  if (!handle_) handle_.reset(new Handle);
  // A holder removes the file before it lets go; whoever locked the removed
  // file in between holds a lock nobody else sees, so it tries again on
  // the file now at the path.
  for (int attempt = 0; attempt < 10; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return LockResult::kFailed;
    int locked;
    while ((locked = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
      const bool busy = errno == EWOULDBLOCK;
      close(fd);
      return busy ? LockResult::kBusy : LockResult::kFailed;
    }
    struct stat held, at_path;
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &at_path) == 0 &&
        held.st_dev == at_path.st_dev && held.st_ino == at_path.st_ino) {
      handle_->path = path;
      handle_->fd = fd;
      return LockResult::kAcquired;
    }
    close(fd);
  }
  return LockResult::kBusy;
}

void FileLock::Release() {
  if (!held()) return;
  // Removed while still locked, so that nobody can take the lock on a file
  // that is about to disappear.
  unlink(handle_->path.c_str());
  close(handle_->fd);
  handle_->fd = -1;
}
