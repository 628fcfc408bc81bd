#pragma once

// Moving an unpacked tree into place and emptying a directory: the file
// walks of the install step. They report nothing to the caller: a single
// entry that cannot be moved or removed is left where it is and the walk
// goes on. Links (symbolic links, junctions) are single entries here,
// never followed. Calling thread; no fixed path lengths.

#include <vector>

#include "path.h"

// One entry of an unpacked tree, as MoveTree takes it.
struct PackageEntry {
  Path relative;  // below the tree's root, joined with kPathSeparator
  bool is_directory = false;
};

// The entries that MoveTree(source, ...) moves, in the order it moves them:
// depth first, each directory before what it holds, dot-directories passed
// over with everything below them. Links are single non-directory entries.
std::vector<PackageEntry> ListPackageTree(const Path& source);

// Moves every file of the tree under `source` to the same relative place
// under `destination`, replacing files already there and creating missing
// directories. Directories whose name begins with '.' are passed over with
// everything below them; files beginning with '.' are moved. Source
// directories stay (emptied of what moved). Both paths end in a separator.
// One rename per file, with nothing to undo them: the install step moves
// through SwapInPackage (transaction.h), which takes the same entries in
// the same order.
void MoveTree(const Path& source, const Path& destination);

// True when `path` names a directory itself (not a link to one).
bool IsDirectory(const Path& path);

// Deletes everything inside `directory` and leaves the directory itself.
// A link is removed as an entry; its target is untouched. Writes one line
// to standard output for each subdirectory met, before emptying it.
void ClearDirectory(const Path& directory);
// The same, passing over the entries of `directory` itself whose names are
// in `keep` (the files of a run still in progress).
void ClearDirectory(const Path& directory, const std::vector<Path>& keep);
