#include "files.h"

#include <io.h>
#include <windows.h>

#include "long_path_win32.h"
#include "move_fault.h"
#include "owned_handle_win32.h"
#include "reparse_win32.h"

MakeDirResult MakeOneDirectory(const Path& path) {
  if (CreateDirectoryW(SystemPath(path).c_str(), nullptr)) return MakeDirResult::kCreated;
  switch (GetLastError()) {
    case ERROR_ALREADY_EXISTS:
      return MakeDirResult::kExists;
    case ERROR_PATH_NOT_FOUND:
      return MakeDirResult::kParentMissing;
    default:
      return MakeDirResult::kFailed;
  }
}

namespace {

EntryKind KindOf(DWORD attributes, DWORD reparse_tag) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkReparseTag(reparse_tag))
    return EntryKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kDirectory;
  return EntryKind::kFile;
}

}  // namespace

struct DirectoryListing::Handle {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW pending{};
  bool has_pending = false;
  ~Handle() {
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }
};

DirectoryListing::DirectoryListing(const Path& directory) : handle_(new Handle) {
  Path pattern = directory;
  if (!pattern.empty() && !IsPathSeparator(pattern.back())) pattern += L'\\';
  pattern += L"*";
  handle_->find = FindFirstFileW(SystemPath(pattern).c_str(), &handle_->pending);
  handle_->has_pending = handle_->find != INVALID_HANDLE_VALUE;
}

DirectoryListing::~DirectoryListing() = default;
DirectoryListing::DirectoryListing(DirectoryListing&&) noexcept = default;
DirectoryListing& DirectoryListing::operator=(DirectoryListing&&) noexcept = default;

bool DirectoryListing::is_open() const { return handle_ && handle_->find != INVALID_HANDLE_VALUE; }

bool DirectoryListing::Next(DirEntry* entry) {
  if (!is_open()) return false;
  for (;;) {
    if (!handle_->has_pending) {
      if (!FindNextFileW(handle_->find, &handle_->pending)) return false;
    }
    handle_->has_pending = false;
    const wchar_t* name = handle_->pending.cFileName;
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
    entry->name = name;
    // For a reparse point the listing carries its tag in dwReserved0.
    entry->kind = KindOf(handle_->pending.dwFileAttributes, handle_->pending.dwReserved0);
    return true;
  }
}

namespace {

// The tag of a reparse point, read from the point itself: opening it
// without following it neither recalls a cloud file nor leaves the volume.
DWORD ReparseTagOf(const Path& path) {
  OwnedHandle h(CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!h.valid() ||
      !GetFileInformationByHandleEx(h.get(), FileAttributeTagInfo, &info, sizeof info))
    return 0;
  return info.ReparseTag;
}

}  // namespace

bool GetEntryKind(const Path& path, EntryKind* kind) {
  const Path system = SystemPath(path);
  const DWORD attributes = GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const bool reparse = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
  *kind = KindOf(attributes, reparse ? ReparseTagOf(system) : 0);
  return true;
}

bool RemoveFileEntry(const Path& path) {
  const Path system = SystemPath(path);
  const DWORD attributes = GetFileAttributesW(system.c_str());
  // A directory link is removed as a directory entry, which leaves its
  // target alone.
  EntryKind kind;
  if (GetEntryKind(path, &kind) && kind == EntryKind::kLink &&
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return RemoveDirectoryW(system.c_str()) != 0;
  if (DeleteFileW(system.c_str())) return true;
  // The read-only attribute refuses deletion, not renaming: a file that an
  // install moved aside may carry it. Cleared only to delete, and put back
  // when the deletion fails all the same.
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
      !SetFileAttributesW(system.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
    return false;
  if (DeleteFileW(system.c_str())) return true;
  SetFileAttributesW(system.c_str(), attributes);
  return false;
}

bool RemoveEmptyDirectory(const Path& path) {
  return RemoveDirectoryW(SystemPath(path).c_str()) != 0;
}

bool RemoveAtRestart(const Path& path) {
  // Needs the rights to write the system's pending operations: an
  // administrator's, as a rule.
  return MoveFileExW(SystemPath(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

bool MoveReplacing(const Path& from, const Path& to) {
  if (ConsumeMoveFault()) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  return MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), MOVEFILE_REPLACE_EXISTING) !=
         0;
}

bool MoveToNewName(const Path& from, const Path& to) {
  if (ConsumeMoveFault()) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move fails where a file stands.
  return MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), 0) != 0;
}

namespace {

bool IdentityOf(HANDLE handle, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity->modified =
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime);
  return true;
}

}  // namespace

bool IdentifyFile(const Path& path, FileIdentity* identity) {
  // Attributes only: whoever holds the file open keeps it, and links are
  // followed as a read would follow them.
  OwnedHandle file(CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.valid() && IdentityOf(file.get(), identity);
}

bool IdentifyOpenFile(FILE* file, FileIdentity* identity) {
  const intptr_t handle = _get_osfhandle(_fileno(file));
  return handle != -1 && IdentityOf(reinterpret_cast<HANDLE>(handle), identity);
}
