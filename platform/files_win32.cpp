#include "files.h"

#include <windows.h>

#include "move_fault.h"

MakeDirResult MakeOneDirectory(const Path& path) {
  if (CreateDirectoryW(path.c_str(), nullptr)) return MakeDirResult::kCreated;
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

EntryKind KindOf(DWORD attributes) {
  // Junctions and symbolic links carry the reparse-point attribute.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
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
  handle_->find = FindFirstFileW(pattern.c_str(), &handle_->pending);
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
    entry->kind = KindOf(handle_->pending.dwFileAttributes);
    return true;
  }
}

bool GetEntryKind(const Path& path, EntryKind* kind) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  *kind = KindOf(attributes);
  return true;
}

bool RemoveFileEntry(const Path& path) {
  // A directory link is removed as a directory entry, which leaves its
  // target alone.
  EntryKind kind;
  if (GetEntryKind(path, &kind) && kind == EntryKind::kLink &&
      (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY))
    return RemoveDirectoryW(path.c_str()) != 0;
  return DeleteFileW(path.c_str()) != 0;
}

bool RemoveEmptyDirectory(const Path& path) { return RemoveDirectoryW(path.c_str()) != 0; }

bool MoveReplacing(const Path& from, const Path& to) {
  if (ConsumeMoveFault()) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool MoveToNewName(const Path& from, const Path& to) {
  if (ConsumeMoveFault()) {
    SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move fails where a file stands.
  return MoveFileExW(from.c_str(), to.c_str(), 0) != 0;
}
