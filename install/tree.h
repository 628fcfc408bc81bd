#pragma once

// Moving an unpacked tree into place and emptying a directory: the file
// walks of the install step. They report nothing to the caller: a single
// entry that cannot be moved or removed is left where it is and the walk
// goes on. Links (symbolic links, junctions) are single entries here,
// never followed. Calling thread; no fixed path lengths.

#include <cstdint>
#include <functional>
#include <vector>

#include "path.h"

// Entries of an unpacked tree, as MoveTree takes them: each a path below
// the tree's root (joined with kPathSeparator) and whether it is a
// directory. Kept compact, whatever their number: the paths one after
// another in one block, and one number per entry.
class PackageList {
 public:
  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  Path relative(size_t index) const;
  bool is_directory(size_t index) const { return (ends_[index] & kDirectoryBit) != 0; }
  void Add(const Path& relative, bool is_directory);
  void clear();

 private:
  static constexpr std::uint64_t kDirectoryBit = std::uint64_t{1} << 63;
  Path names_;
  std::vector<std::uint64_t> ends_;  // where each path ends in names_; kDirectoryBit
};

// Calls visit(relative, is_directory) for each entry that MoveTree(source,
// ...) moves, in the order it moves them: depth first, each directory
// before what it holds, dot-directories passed over with everything below
// them. Links are single non-directory entries. Stops, returning false, at
// the first visit that returns false.
bool VisitPackageTree(const Path& source,
                      const std::function<bool(const Path& relative, bool is_directory)>& visit);

// The entries that VisitPackageTree visits.
PackageList ListPackageTree(const Path& source);

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
// to standard output (not the log) for each subdirectory met, before
// emptying it. Returns how many entries it removed.
size_t ClearDirectory(const Path& directory);
// The same, passing over the entries of `directory` itself whose names are
// in `keep` (the files of a run still in progress).
size_t ClearDirectory(const Path& directory, const std::vector<Path>& keep);
