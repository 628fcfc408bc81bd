#include "tree.h"

#include <cstdio>
#include <vector>

#include "files.h"

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

}  // namespace

void MoveTree(const Path& source, const Path& destination) {
  for (const DirEntry& entry : ListAll(source)) {
    if (entry.kind == EntryKind::kDirectory) {
      if (entry.name[0] == PATH_TEXT('.')) continue;
      // A directory the package adds must exist before anything can move
      // into it; one that stands there already is used as it is.
      const Path target = destination + entry.name;
      const MakeDirResult made = MakeOneDirectory(target);
      if (made != MakeDirResult::kCreated && made != MakeDirResult::kExists) continue;
      MoveTree(source + entry.name + kJoin, target + kJoin);
    } else {
      // Files, and links as they are: a link to a directory moves as one
      // entry and nothing is moved out of its target.
      MoveReplacing(source + entry.name, destination + entry.name);
    }
  }
}

bool IsDirectory(const Path& path) {
  EntryKind kind;
  return GetEntryKind(path, &kind) && kind == EntryKind::kDirectory;
}

void ClearDirectory(const Path& directory) {
  for (const DirEntry& entry : ListAll(directory)) {
    const Path path = directory + kJoin + entry.name;
    if (IsDirectory(path)) {
      std::printf(kDirectoryLine, PathToUtf8(path).c_str());
      ClearDirectory(path);
      RemoveEmptyDirectory(path);
    } else {
      RemoveFileEntry(path);
    }
  }
}
