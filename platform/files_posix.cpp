#include "files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "move_fault.h"

MakeDirResult MakeOneDirectory(const Path& path) {
  if (mkdir(path.c_str(), 0777) == 0) return MakeDirResult::kCreated;
  switch (errno) {
    case EEXIST:
      return MakeDirResult::kExists;
    case ENOENT:
      // An empty path reports ENOENT too; it has no missing parent.
      return path.empty() ? MakeDirResult::kFailed : MakeDirResult::kParentMissing;
    default:
      return MakeDirResult::kFailed;
  }
}

namespace {

FileIdentity IdentityOf(const struct stat& status) {
  FileIdentity identity;
  identity.volume = static_cast<uint64_t>(status.st_dev);
  identity.file = static_cast<uint64_t>(status.st_ino);
  identity.size = static_cast<uint64_t>(status.st_size);
  identity.modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                      static_cast<int64_t>(status.st_mtim.tv_nsec);
  return identity;
}

EntryKind KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return EntryKind::kLink;
  if (S_ISDIR(mode)) return EntryKind::kDirectory;
  if (S_ISREG(mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

}  // namespace

struct DirectoryListing::Handle {
  Path prefix;  // the directory with a separator, for the entries' full paths
  DIR* dir = nullptr;
  ~Handle() {
    if (dir) closedir(dir);
  }
};

DirectoryListing::DirectoryListing(const Path& directory) : handle_(new Handle) {
  handle_->prefix = WithTrailingSeparator(directory);
  handle_->dir = opendir(directory.c_str());
}

DirectoryListing::~DirectoryListing() = default;
DirectoryListing::DirectoryListing(DirectoryListing&&) noexcept = default;
DirectoryListing& DirectoryListing::operator=(DirectoryListing&&) noexcept = default;

bool DirectoryListing::is_open() const { return handle_ && handle_->dir; }

bool DirectoryListing::Next(DirEntry* entry) {
  if (!is_open()) return false;
  while (dirent* e = readdir(handle_->dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    entry->name = e->d_name;
    const Path full = handle_->prefix + e->d_name;
    struct stat st;
    entry->kind = lstat(full.c_str(), &st) == 0 ? KindOf(st.st_mode) : EntryKind::kOther;
    return true;
  }
  return false;
}

bool GetEntryKind(const Path& path, EntryKind* kind) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  *kind = KindOf(st.st_mode);
  return true;
}

bool RemoveFileEntry(const Path& path) { return unlink(path.c_str()) == 0; }

bool RemoveEmptyDirectory(const Path& path) { return rmdir(path.c_str()) == 0; }

// A name can always be removed here, even that of a file still open.
bool RemoveAtRestart(const Path&) { return false; }

bool MoveReplacing(const Path& from, const Path& to) {
  if (ConsumeMoveFault()) {
    errno = EIO;
    return false;
  }
  // rename() would also replace an empty directory; a file never replaces one.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

bool MoveToNewName(const Path& from, const Path& to) {
  if (ConsumeMoveFault()) {
    errno = EIO;
    return false;
  }
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  // File systems without the flag: look first, then rename.
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

bool IdentifyFile(const Path& path, FileIdentity* identity) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  *identity = IdentityOf(status);
  return true;
}

bool IdentifyOpenFile(FILE* file, FileIdentity* identity) {
  struct stat status;
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  *identity = IdentityOf(status);
  return true;
}
