#include "durable.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace {

// Owns a file handle and closes it.
struct HandleCloser {
  HANDLE handle = INVALID_HANDLE_VALUE;
  explicit HandleCloser(HANDLE h) : handle(h) {}
  ~HandleCloser() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
};

// Flushing needs a handle with write access; directories and volumes open
// only with the backup-semantics flag.
bool FlushOpened(const Path& path, DWORD flags) {
  HandleCloser h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, flags, nullptr));
  return h.handle != INVALID_HANDLE_VALUE && FlushFileBuffers(h.handle) != 0;
}

// Write access as FlushFileBuffers asks for it; the writes start at the end
// and follow one another.
HANDLE OpenToAppend(const Path& path, DWORD disposition) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER zero{};
  if (file != INVALID_HANDLE_VALUE && !SetFilePointerEx(file, zero, nullptr, FILE_END)) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace

struct DurableFile::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

DurableFile::DurableFile() : handle_(new Handle) {}
DurableFile::~DurableFile() = default;
DurableFile::DurableFile(DurableFile&&) noexcept = default;
DurableFile& DurableFile::operator=(DurableFile&&) noexcept = default;

bool DurableFile::Create(const Path& path) {
  handle_.reset(new Handle);
  handle_->file = OpenToAppend(path, CREATE_ALWAYS);
  return is_open();
}

bool DurableFile::OpenExisting(const Path& path) {
  handle_.reset(new Handle);
  handle_->file = OpenToAppend(path, OPEN_EXISTING);
  return is_open();
}

bool DurableFile::is_open() const { return handle_ && handle_->file != INVALID_HANDLE_VALUE; }

bool DurableFile::Append(const std::string& bytes) {
  if (!is_open()) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    DWORD written = 0;
    if (!WriteFile(handle_->file, bytes.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return true;
}

bool DurableFile::Flush() { return is_open() && FlushFileBuffers(handle_->file) != 0; }

bool ReadWholeFile(const Path& path, std::string* content) {
  content->clear();
  HandleCloser h(CreateFileW(path.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (h.handle == INVALID_HANDLE_VALUE) return false;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h.handle, buffer, sizeof buffer, &n, nullptr)) return false;
    if (n == 0) return true;
    content->append(buffer, n);
  }
}

bool FlushFile(const Path& path) { return FlushOpened(path, FILE_FLAG_OPEN_REPARSE_POINT); }

bool FlushDirectory(const Path& directory) {
  return FlushOpened(directory, FILE_FLAG_BACKUP_SEMANTICS);
}

bool FlushFileSystem(const Path& path) {
  // The volume is flushed through its device name, e.g. \\.\C: for C:\.
  std::vector<wchar_t> mount(path.size() + MAX_PATH);
  if (!GetVolumePathNameW(path.c_str(), mount.data(), static_cast<DWORD>(mount.size())))
    return false;
  Path volume = mount.data();
  if (!volume.empty() && volume.back() == L'\\') volume.pop_back();
  if (volume.size() != 2 || volume[1] != L':') return false;
  return FlushOpened(L"\\\\.\\" + volume, 0);
}
