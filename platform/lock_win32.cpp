#include "lock.h"

#include <windows.h>

#include <utility>

#include "long_path_win32.h"
#include "owned_handle_win32.h"

struct FileLock::Handle {
  OwnedHandle file;
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

bool FileLock::held() const { return handle_ && handle_->file.valid(); }

LockResult FileLock::Acquire(const Path& path) {
  Release();
  if (!handle_) handle_.reset(new Handle);
  // Opened without sharing: no other process can open the file while this
  // handle lives. The system closes the handle when the process ends,
  // however it ends, and the file goes with it.
  OwnedHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                               nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!file.valid()) {
    return GetLastError() == ERROR_SHARING_VIOLATION ? LockResult::kBusy : LockResult::kFailed;
  }
  handle_->file = std::move(file);
  return LockResult::kAcquired;
}

void FileLock::Release() {
  if (held()) handle_->file = OwnedHandle();
}
