#pragma once

// Opening a zip archive for reading through the unzip library, with the
// file layer that reaches the system's full Unicode paths.

#include <unzip.h>

#include <memory>
#include <type_traits>

#include "path.h"

struct ArchiveCloser {
  void operator()(unzFile archive) const { unzClose(archive); }
};
using ArchivePtr = std::unique_ptr<std::remove_pointer_t<unzFile>, ArchiveCloser>;

// Opens the archive at path read-only, with 64-bit positions, positioned at
// its first entry. Null when the file is missing, unreadable or not a zip
// archive. Any thread; the handle belongs to the caller.
ArchivePtr OpenArchive(const Path& path);
