#include "extract.h"

#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include "archive_io.h"
#include "basedir.h"
#include "extract_fs.h"
#include "file_output.h"
#include "files.h"
#include "report.h"

namespace {

constexpr size_t kTransferSize = 8192;
constexpr unsigned kMadeOnUnix = 3;  // "version made by" host system
constexpr unsigned long kUnixTypeMask = 0170000, kUnixRegularFile = 0100000;

// A component of dots (two or more) and blanks: ".." itself, and the forms
// that Windows trims down to it.
bool IsParentComponent(const std::string& name, size_t begin, size_t end) {
  size_t dots = 0;
  for (size_t i = begin; i < end; ++i) {
    if (name[i] == '.')
      ++dots;
    else if (name[i] != ' ')
      return false;
  }
  return dots >= 2;
}

// Joined to the destination, a stored name must stay below it: no root, no
// drive, no step up, whichever separator the archive used.
bool IsSafeEntryName(const std::string& name) {
  if (!name.empty() && IsNameSeparator(name[0])) return false;
  if (name.size() >= 2 && name[1] == ':') return false;
  size_t begin = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || IsNameSeparator(name[i])) {
      if (IsParentComponent(name, begin, i)) return false;
      begin = i + 1;
    }
  }
  return true;
}

// Unix permission bits of a regular file made on a Unix system; 0 when the
// entry carries none.
unsigned StoredUnixMode(const unz_file_info64& info) {
  if (((info.version >> 8) & 0xFF) != kMadeOnUnix) return 0;
  const unsigned long mode = info.external_fa >> 16;
  if ((mode & kUnixTypeMask) != kUnixRegularFile) return 0;
  return static_cast<unsigned>(mode & 0777);
}

// Streams the current entry's open data into file. 0 at the end of the
// data, otherwise the code that stopped it.
int TransferEntryData(unzFile archive, FILE* file, char* buffer) {
  for (;;) {
    const int n = unzReadCurrentFile(archive, buffer, kTransferSize);
    if (n < 0) {
      Report("error %d with zipfile in unzReadCurrentFile\n", n);
      return n;
    }
    if (n == 0) return UNZ_OK;
    if (fwrite(buffer, static_cast<size_t>(n), 1, file) != 1) {
      Report("error in writing extracted file\n");
      return UNZ_ERRNO;
    }
  }
}

// Removes everything below directory, depth first, without following links.
bool EmptyDirectory(const Path& directory) {
  bool emptied = true;
  DirectoryListing listing(directory);
  DirEntry entry;
  while (listing.Next(&entry)) {
    const Path full = directory + kPathSeparator + entry.name;
    if (entry.kind == EntryKind::kDirectory)
      emptied = EmptyDirectory(full) && RemoveEmptyDirectory(full) && emptied;
    else
      emptied = RemoveFileEntry(full) && emptied;
  }
  return emptied;
}

// Clears whatever stands at path: a directory is emptied, anything else
// (a file, a link) is removed. True when nothing is left in the way.
bool ClearDestination(const Path& path) {
  EntryKind kind;
  if (!GetEntryKind(path, &kind)) return true;
  if (kind == EntryKind::kDirectory) return EmptyDirectory(path);
  return RemoveFileEntry(path);
}

}  // namespace

bool ExtractPackage() {
  const Path update = GetBaseDir() + PATH_TEXT("update") + kPathSeparator;
  const Path destination = update + PATH_TEXT("unzip");
  // A tree left by an earlier run would otherwise be installed along with
  // this package.
  if (!ClearDestination(destination)) {
    Report("couldn't empty directory %s\n", PathToUtf8(destination).c_str());
    return false;
  }
  unsigned skipped = 0;
  if (!ExtractArchive(update + PATH_TEXT("update.zip"), destination, &skipped)) return false;
  // Installing the rest of a package without some of its files would leave
  // the application half-updated.
  if (skipped > 0) {
    Report("package incomplete (%u entries not extracted): nothing is installed\n", skipped);
    return false;
  }
  return true;
}

bool ExtractArchive(Path archive_path, Path destination, unsigned* skipped) {
  destination = WithTrailingSeparator(std::move(destination));
  ArchivePtr archive = OpenArchive(archive_path);
  if (!archive) {
    ReportError("Cannot open %s\n", PathToUtf8(archive_path).c_str());
    return false;
  }
  MakeOneDirectory(destination);
  return ExtractAllEntries(archive.get(), PathToUtf8(destination), skipped) != 0;
}

int ExtractAllEntries(unzFile archive, const std::string& prefix, unsigned* skipped) {
  unz_global_info64 global;
  const int code = unzGetGlobalInfo64(archive, &global);
  if (code != UNZ_OK) {
    Report("error %d with zipfile in unzGetGlobalInfo \n", code);
    return 0;  // without a count there is no telling what was left out
  }
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    if (i > 0) {
      const int moved = unzGoToNextFile(archive);
      if (moved != UNZ_OK) {
        Report("error %d with zipfile in unzGoToNextFile\n", moved);
        return 0;
      }
    }
    if (ExtractCurrentEntry(archive, prefix, skipped) != UNZ_OK) return 0;
  }
  return 1;
}

int ExtractCurrentEntry(unzFile archive, const std::string& prefix, unsigned* skipped) {
  // A longer name is read again into a buffer of its size: names of any
  // length fit.
  unz_file_info64 info{};
  std::string name(256, '\0');
  int code = unzGetCurrentFileInfo64(archive, &info, &name[0], name.size(), nullptr, 0, nullptr, 0);
  if (code == UNZ_OK && info.size_filename > name.size()) {
    name.assign(info.size_filename, '\0');
    code = unzGetCurrentFileInfo64(archive, &info, &name[0], name.size(), nullptr, 0, nullptr, 0);
  }
  if (code == UNZ_OK) name.resize(info.size_filename);
  if (code != UNZ_OK) {
    Report("error %d with zipfile in unzGetCurrentFileInfo\n", code);
    return code;
  }
  // Everything after a NUL byte would be lost on the way to the system anyway.
  name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kTransferSize]);
  if (!buffer) {
    Report("Error allocating memory\n");
    return UNZ_INTERNALERROR;
  }
  if (!IsSafeEntryName(name)) {
    Report("refusing entry outside the destination: %s\n", name.c_str());
    return UNZ_BADZIPFILE;
  }

  const std::string target = prefix + name;
  size_t base = 0;
  for (size_t i = 0; i < target.size(); ++i)
    if (IsNameSeparator(target[i])) base = i + 1;
  if (base == target.size()) {
    Report("creating directory: %s\n", target.c_str());
    // Also the levels above it that the archive does not list: an empty
    // directory has no file entry that would make them later.
    MakeDirectoryPath(target);
    return UNZ_OK;
  }

  Path native;
  PathFromUtf8(target, &native);
  code = unzOpenCurrentFilePassword(archive, nullptr);
  if (code != UNZ_OK) {
    Report("error %d with zipfile in unzOpenCurrentFilePassword\n", code);
    unzCloseCurrentFile(archive);
    return code;
  }
  FilePtr file = OpenFileForWriting(native);
  if (!file && base > 0) {
    // Archives need not list the directories their files sit in.
    MakeDirectoryPath(target.substr(0, base - 1));
    file = OpenFileForWriting(native);
  }
  if (!file) {
    Report("error opening %s\n", target.c_str());
    if (skipped) ++*skipped;
  } else {
    Report(" extracting: %s\n", target.c_str());
    code = TransferEntryData(archive, file.get(), buffer.get());
    // Data still buffered may fail to reach the disk only now.
    if (!CloseWrittenFile(std::move(file)) && code == UNZ_OK) {
      Report("error in writing extracted file\n");
      code = UNZ_ERRNO;
    }
    if (code != UNZ_OK) {
      unzCloseCurrentFile(archive);
      return code;
    }
    if (const unsigned mode = StoredUnixMode(info)) SetUnixPermissions(native, mode);
    // Stamped before the entry is closed: a file whose check fails below
    // keeps its data and its time.
    SetEntryFileTime(target, static_cast<uint32_t>(info.dosDate));
  }
  code = unzCloseCurrentFile(archive);
  if (code != UNZ_OK) Report("error %d with zipfile in unzCloseCurrentFile\n", code);
  return code;
}
