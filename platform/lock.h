#pragma once

// An exclusive, non-blocking lock on a file, so that only one process at a
// time works in a directory. The system lets go of it when the holder
// ends, however it ends (a kill too). Any thread.

#include <memory>

#include "path.h"

enum class LockResult {
  kAcquired,
  kBusy,    // another process holds the lock
  kFailed,  // the lock file could not be created or opened
};

class FileLock {
 public:
  FileLock();
  ~FileLock();  // Release()
  FileLock(FileLock&&) noexcept;
  FileLock& operator=(FileLock&&) noexcept;

  // Creates the lock file when missing and takes the lock at once, or
  // fails at once. The file's content is never read or written.
  LockResult Acquire(const Path& path);
  bool held() const;
  // Removes the lock file and lets go of the lock. A lock file that a
  // killed holder left behind is harmless: the next Acquire takes it.
  void Release();

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};
