#include "durable.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "long_path_win32.h"
#include "owned_handle_win32.h"

namespace {

// Flushing needs a handle with write access; directories and volumes open
// only with the backup-semantics flag.
bool FlushOpened(const Path& path, DWORD flags) {
  OwnedHandle h(CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, flags, nullptr));
  return h.valid() && FlushFileBuffers(h.get()) != 0;
}

// Write access as FlushFileBuffers asks for it; the writes start at the end
// and follow one another.
OwnedHandle OpenToAppend(const Path& path, DWORD disposition) {
  OwnedHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER zero{};
  if (file.valid() && !SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) return OwnedHandle();
  return file;
}

}  // namespace

struct DurableFile::Handle {
  OwnedHandle file;
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

bool DurableFile::is_open() const { return handle_ && handle_->file.valid(); }

bool DurableFile::Append(const std::string& bytes) {
  if (!is_open()) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    DWORD written = 0;
    if (!WriteFile(handle_->file.get(), bytes.data() + done, chunk, &written, nullptr) ||
        written == 0)
      return false;
    done += written;
  }
  return true;
}

bool DurableFile::Flush() { return is_open() && FlushFileBuffers(handle_->file.get()) != 0; }

bool ReadWholeFile(const Path& path, std::string* content, bool* missing) {
  content->clear();
  OwnedHandle h(CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD error = GetLastError();
  // A missing directory above the file means no file just as well.
  *missing = !h.valid() && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
  if (!h.valid()) return false;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr)) return false;
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
