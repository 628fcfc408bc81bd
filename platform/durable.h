#pragma once

// Writing that survives a crash or a power loss: a file whose appended bytes
// can be forced onto the disk, and flushes of directory entries and of a
// whole file system, so that renames made before a flush are on the disk
// too. Any thread; every call reports through its result, none prints.

#include <memory>
#include <string>

#include "path.h"

// A file opened for appending. Move-only; closes itself.
class DurableFile {
 public:
  DurableFile();
  ~DurableFile();
  DurableFile(DurableFile&&) noexcept;
  DurableFile& operator=(DurableFile&&) noexcept;

  // Creates the file, or empties it when it exists.
  bool Create(const Path& path);
  // Opens an existing file to append to it.
  bool OpenExisting(const Path& path);
  bool is_open() const;
  // Hands the bytes to the system at once; nothing is buffered here.
  bool Append(const std::string& bytes);
  // Returns when everything appended so far is on the disk
  // (fsync / FlushFileBuffers).
  bool Flush();

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

// The whole content of a file; false when it cannot be read.
bool ReadWholeFile(const Path& path, std::string* content);
// The same; when it returns false, `missing` tells whether the file is
// simply not there (nothing at the path) or could not be read (no access,
// a sharing violation, an I/O error, not a regular file).
bool ReadWholeFile(const Path& path, std::string* content, bool* missing);

// Replaces the file at `path` with one holding `content`, whole or not at
// all: written to `path` + ".tmp", put on the disk, closed and renamed over
// `path`. False, with nothing left behind but the earlier file, when a step
// fails. The rename itself reaches the disk with the next flush of the
// directory or volume.
bool WriteFileAtomically(const Path& path, const std::string& content);

// Puts the data of an existing file on the disk. A link is not followed.
bool FlushFile(const Path& path);

// Puts the entries of a directory (files created, renamed or removed in it)
// on the disk.
bool FlushDirectory(const Path& directory);

// Puts everything that the system still holds in memory for the file
// system (volume) holding `path` on the disk: file data and renames alike.
// On Windows this needs rights that a normal user may lack; false then.
bool FlushFileSystem(const Path& path);
