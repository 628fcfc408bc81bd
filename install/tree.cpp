#include "tree.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "files.h"
#include "report.h"

namespace {

// The walks join what they compose with a doubled '/', which every
// platform's file functions take as one separator.
const Path kJoin = PATH_TEXT("//");

// The entries are taken in full before any of them is moved or removed, so
// that changing the directory cannot disturb its own listing.
std::vector<DirEntry> ListAll(const Path& directory) {
  std::vector<DirEntry> entries;
  DirectoryListing listing(directory);
  DirEntry entry;
  while (listing.Next(&entry)) entries.push_back(entry);
  return entries;
}

// "目录为:" ("directory is:") in GBK, as the line has always been written.
constexpr char kDirectoryLine[] = "\xC4\xBF\xC2\xBC\xCE\xAA:%s\n";

void ListInto(const Path& source, const Path& relative, std::vector<PackageEntry>* entries) {
  for (const DirEntry& entry : ListAll(source + relative)) {
    if (entry.kind == EntryKind::kDirectory) {
      if (entry.name[0] == PATH_TEXT('.')) continue;
      entries->push_back({relative + entry.name, true});
      ListInto(source, relative + entry.name + kPathSeparator, entries);
    } else {
      // Files, and links as they are: a link to a directory moves as one
      // entry and nothing is moved out of its target.
      entries->push_back({relative + entry.name, false});
    }
  }
}

}  // namespace

std::vector<PackageEntry> ListPackageTree(const Path& source) {
  std::vector<PackageEntry> entries;
  ListInto(source, Path(), &entries);
  return entries;
}

void MoveTree(const Path& source, const Path& destination) {
  for (const PackageEntry& entry : ListPackageTree(source)) {
    if (entry.is_directory) {
      // A directory the package adds must exist before anything can move
      // into it; one that stands there already is used as it is. Where
      // none can be made, the files below it fail to move and stay.
      MakeOneDirectory(destination + entry.relative);
    } else {
      MoveReplacing(source + entry.relative, destination + entry.relative);
    }
  }
}

bool IsDirectory(const Path& path) {
  EntryKind kind;
  return GetEntryKind(path, &kind) && kind == EntryKind::kDirectory;
}

void ClearDirectory(const Path& directory) { ClearDirectory(directory, {}); }

void ClearDirectory(const Path& directory, const std::vector<Path>& keep) {
  for (const DirEntry& entry : ListAll(directory)) {
    if (std::find(keep.begin(), keep.end(), entry.name) != keep.end()) continue;
    const Path path = directory + kJoin + entry.name;
    // The listing has already told a real directory from a file or a link.
    if (entry.kind == EntryKind::kDirectory) {
      Report(kDirectoryLine, PathToUtf8(path).c_str());
      ClearDirectory(path);
      RemoveEmptyDirectory(path);
    } else {
      RemoveFileEntry(path);
    }
  }
}
