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

// The entries are taken in full before any of them is moved, so that
// changing the directory cannot disturb its own listing.
std::vector<DirEntry> ListAll(const Path& directory) {
  std::vector<DirEntry> entries;
  DirectoryListing listing(directory);
  DirEntry entry;
  while (listing.Next(&entry)) entries.push_back(entry);
  return entries;
}

// "目录为:" ("directory is:") in GBK, as the line has always been written.
constexpr char kDirectoryLine[] = "\xC4\xBF\xC2\xBC\xCE\xAA:%s\n";

bool VisitInto(const Path& source, const Path& relative,
               const std::function<bool(const Path&, bool)>& visit) {
  for (const DirEntry& entry : ListAll(source + relative)) {
    if (entry.kind == EntryKind::kDirectory) {
      if (entry.name[0] == PATH_TEXT('.')) continue;
      if (!visit(relative + entry.name, true) ||
          !VisitInto(source, relative + entry.name + kPathSeparator, visit))
        return false;
    } else if (!visit(relative + entry.name, false)) {
      // Files, and links as they are: a link to a directory moves as one
      // entry and nothing is moved out of its target.
      return false;
    }
  }
  return true;
}

}  // namespace

Path PackageList::relative(size_t index) const {
  const size_t begin = index == 0 ? 0 : static_cast<size_t>(ends_[index - 1] & ~kDirectoryBit);
  const size_t end = static_cast<size_t>(ends_[index] & ~kDirectoryBit);
  return names_.substr(begin, end - begin);
}

void PackageList::Add(const Path& relative, bool is_directory) {
  names_ += relative;
  ends_.push_back(names_.size() | (is_directory ? kDirectoryBit : 0));
}

void PackageList::clear() {
  names_.clear();
  ends_.clear();
}

bool VisitPackageTree(const Path& source, const std::function<bool(const Path&, bool)>& visit) {
  return VisitInto(source, Path(), visit);
}

PackageList ListPackageTree(const Path& source) {
  PackageList entries;
  VisitPackageTree(source, [&](const Path& relative, bool is_directory) {
    entries.Add(relative, is_directory);
    return true;
  });
  return entries;
}

void MoveTree(const Path& source, const Path& destination) {
  VisitPackageTree(source, [&](const Path& relative, bool is_directory) {
    if (is_directory) {
      // A directory the package adds must exist before anything can move
      // into it; one that stands there already is used as it is. Where
      // none can be made, the files below it fail to move and stay.
      MakeOneDirectory(destination + relative);
    } else {
      MoveReplacing(source + relative, destination + relative);
    }
    return true;
  });
}

bool IsDirectory(const Path& path) {
  EntryKind kind;
  return GetEntryKind(path, &kind) && kind == EntryKind::kDirectory;
}

size_t ClearDirectory(const Path& directory) { return ClearDirectory(directory, {}); }

size_t ClearDirectory(const Path& directory, const std::vector<Path>& keep) {
  // Entries go as the listing yields them: the backups of 100,000 files
  // would otherwise be held in full first. A file system may pass over an
  // entry when others are removed during a listing, so a listing that
  // removed something is followed by another.
  size_t removed = 0;
  for (;;) {
    size_t removed_now = 0;
    DirectoryListing listing(directory);
    DirEntry entry;
    while (listing.Next(&entry)) {
      if (std::find(keep.begin(), keep.end(), entry.name) != keep.end()) continue;
      const Path path = directory + kJoin + entry.name;
      // The listing has already told a real directory from a file or a link.
      if (entry.kind == EntryKind::kDirectory) {
        ReportProgress(kDirectoryLine, PathToUtf8(path).c_str());
        removed_now += ClearDirectory(path);
        if (RemoveEmptyDirectory(path)) ++removed_now;
      } else if (RemoveFileEntry(path)) {
        ++removed_now;
      }
    }
    removed += removed_now;
    if (removed_now == 0) return removed;
  }
}
