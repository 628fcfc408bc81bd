#pragma once

// Files and directories: the primitives that extraction and installation
// build their walks on. Paths are native (see path.h). Every call works on
// the calling thread and reports through its result; none prints.

#include <cstdint>
#include <cstdio>
#include <memory>

#include "move_fault.h"
#include "path.h"

enum class MakeDirResult {
  kCreated,
  kExists,         // something already stands at the path
  kParentMissing,  // a directory above it does not exist
  kFailed,         // any other reason
};

// Creates one directory level.
MakeDirResult MakeOneDirectory(const Path& path);

enum class EntryKind {
  kFile,
  kDirectory,
  kLink,  // a symbolic link or junction: handled as one entry, never followed
  kOther,
};

struct DirEntry {
  Path name;
  EntryKind kind = EntryKind::kOther;
};

// One listing of a directory, in the order the system yields its entries;
// "." and ".." are never returned. Move-only; closes itself.
class DirectoryListing {
 public:
  explicit DirectoryListing(const Path& directory);
  ~DirectoryListing();
  DirectoryListing(DirectoryListing&&) noexcept;
  DirectoryListing& operator=(DirectoryListing&&) noexcept;

  // False when the directory could not be listed (missing, not a directory,
  // no access).
  bool is_open() const;
  // The next entry; false at the end.
  bool Next(DirEntry* entry);

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

// The kind of whatever stands at path, without following a final link;
// false when nothing does.
bool GetEntryKind(const Path& path, EntryKind* kind);

// What tells one file from another, and a file from itself after a change:
// the volume and the file's number on it (device and inode; volume serial
// number and file index on Windows), its size and its last-write time.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
  uint64_t size = 0;
  int64_t modified = 0;  // in the system's own unit
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && file == other.file && size == other.size &&
           modified == other.modified;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// The identity of the file that an open of `path` for reading would reach;
// false when there is none or it cannot be told.
bool IdentifyFile(const Path& path, FileIdentity* identity);

// The identity of the file behind an open stream; false when it cannot be
// told.
bool IdentifyOpenFile(FILE* file, FileIdentity* identity);

// Removes a file, or a link itself (never its target). On Windows a file
// with the read-only attribute is removed too.
bool RemoveFileEntry(const Path& path);

// Has the system remove a file when it next starts (Windows, with an
// administrator's rights); false where it cannot, and always on POSIX.
bool RemoveAtRestart(const Path& path);

// Removes an empty directory.
bool RemoveEmptyDirectory(const Path& path);

// Renames a file (or link) to `to`, replacing a file that stands there.
// Same volume only: nothing is copied.
bool MoveReplacing(const Path& from, const Path& to);

// Renames a file (or link) to `to` only if nothing stands there yet; one
// system call where the system offers it. Same volume only.
bool MoveToNewName(const Path& from, const Path& to);

// Tests arm a failing move with FailNthMoveForTesting (move_fault.h).
