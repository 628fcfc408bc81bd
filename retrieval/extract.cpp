#include "extract.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive_io.h"
#include "basedir.h"
#include "extract_fs.h"
#include "file_output.h"
#include "files.h"
#include "report.h"
#include "text.h"
#include "volume.h"

namespace {

// Entry data moves in blocks of this size: few, large writes.
constexpr size_t kTransferSize = 256 * 1024;
constexpr unsigned kMadeOnUnix = 3;  // "version made by" host system
constexpr unsigned long kUnixTypeMask = 0170000, kUnixRegularFile = 0100000;
constexpr unsigned long kFlagEncrypted = 1u << 0, kFlagUtf8Names = 1u << 11;
constexpr unsigned long kStored = 0, kDeflated = Z_DEFLATED;
// Room a package needs beyond its data: file systems hand out whole
// clusters (4 KiB by default on NTFS and ext4) and keep records for each
// entry, and the volume should not be filled to its last byte.
constexpr uint64_t kClusterSize = 4096;
constexpr uint64_t kSpaceReserve = 8u << 20;

// What the central directory says about one entry, read once before
// anything is written.
struct PlannedEntry {
  std::string name;  // UTF-8 where it could be read as such
  unz64_file_pos position{};
  uint64_t compressed_size = 0;
  uint64_t size = 0;  // uncompressed
  uint32_t crc = 0;
  uint32_t dos_date_time = 0;
  unsigned unix_mode = 0;
  bool directory = false;
};

// What became of one entry; turned into lines by ReportEntry.
enum class Outcome {
  kDirectory,
  kExtracted,
  kNotCreated,           // the target file could not be created: skipped
  kOpenFailed,           // the entry's data could not be opened
  kLocalHeaderMismatch,  // its local header disagrees with the central directory
  kReadFailed,
  kWriteFailed,
  kOverrun,    // more data than the central directory declares
  kShortData,  // less data than declared
  kCloseFailed,
};

struct EntryResult {
  Outcome outcome;
  int code = UNZ_OK;  // the library's or zlib's code, where there is one
};

bool StopsExtraction(Outcome outcome) {
  return outcome != Outcome::kDirectory && outcome != Outcome::kExtracted &&
         outcome != Outcome::kNotCreated;
}

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

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 (also with the superscript digits
// one to three), which Windows opens as devices whatever extension follows
// and whatever blanks end the stem.
bool IsDeviceName(const std::string& name, size_t begin, size_t end) {
  size_t stem_end = begin;
  while (stem_end < end && name[stem_end] != '.') ++stem_end;
  while (stem_end > begin && name[stem_end - 1] == ' ') --stem_end;
  std::string stem = name.substr(begin, stem_end - begin);
  for (char& c : stem)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  if (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0) return false;
  const std::string digit = stem.substr(3);
  return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xc2\xb9" ||
         digit == "\xc2\xb2" || digit == "\xc2\xb3";
}

// A name that Windows can create as it stands: no component is a device,
// holds a character that Windows keeps for itself, or ends in a dot or a
// blank (Windows would drop them and make a different name). The same rules
// on every system, so that what extracts here also extracts on Windows.
bool CanWindowsHoldName(const std::string& name) {
  size_t begin = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsNameSeparator(name[i])) {
      const unsigned char c = static_cast<unsigned char>(name[i]);
      if (c < 0x20 || c == ':' || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' ||
          c == '*')
        return false;
      continue;
    }
    if (i > begin) {
      if (name[i - 1] == '.' || name[i - 1] == ' ') return false;
      if (IsDeviceName(name, begin, i)) return false;
    }
    begin = i + 1;
  }
  return true;
}

// The name's components joined by '/' (runs of either separator count as
// one), the form two names are compared in.
std::string NormalizedName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    if (!IsNameSeparator(name[i]))
      out += name[i];
    else if (!out.empty() && out.back() != '/')
      out += '/';
  }
  if (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

// Paths of the package (entries and the directories they imply) by their
// upper-cased form, to find two that Windows would take for one.
class CaseCollisions {
 public:
  // The earlier path that differs from one of this name's paths only in
  // letter case; empty when there is none.
  std::string Add(const std::string& name) {
    const std::string original = NormalizedName(name);
    const std::string upper = UpperCaseForNames(original);
    // Upper-casing may change a component's length in bytes, never the
    // separators: walk both strings one component at a time.
    size_t o = 0, u = 0;
    for (;;) {
      const size_t o_end = original.find('/', o), u_end = upper.find('/', u);
      const std::string path = original.substr(0, o_end);
      const auto seen = seen_.emplace(upper.substr(0, u_end), path).first;
      if (seen->second != path) return seen->second;
      if (o_end == std::string::npos || u_end == std::string::npos) return std::string();
      o = o_end + 1;
      u = u_end + 1;
    }
  }

 private:
  std::unordered_map<std::string, std::string> seen_;
};

// Unix permission bits of a regular file made on a Unix system; 0 when the
// entry carries none.
unsigned StoredUnixMode(const unz_file_info64& info) {
  if (((info.version >> 8) & 0xFF) != kMadeOnUnix) return 0;
  const unsigned long mode = info.external_fa >> 16;
  if ((mode & kUnixTypeMask) != kUnixRegularFile) return 0;
  return static_cast<unsigned>(mode & 0777);
}

// The current entry's information and its stored name, of any length
// (everything after a NUL byte would be lost on the way to the system).
int ReadEntryInfo(unzFile archive, unz_file_info64* info, std::string* name) {
  name->assign(256, '\0');
  int code =
      unzGetCurrentFileInfo64(archive, info, &(*name)[0], name->size(), nullptr, 0, nullptr, 0);
  if (code == UNZ_OK && info->size_filename > name->size()) {
    name->assign(info->size_filename, '\0');
    code =
        unzGetCurrentFileInfo64(archive, info, &(*name)[0], name->size(), nullptr, 0, nullptr, 0);
  }
  if (code != UNZ_OK) return code;
  name->resize(info->size_filename);
  const size_t nul = name->find('\0');
  if (nul != std::string::npos) name->resize(nul);
  return UNZ_OK;
}

uint64_t LittleEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

// The unzip library takes the sizes from an entry's Zip64 record only where
// unsigned long is 32 bits wide; elsewhere the central directory's
// placeholder 0xFFFFFFFF stays. The record is read here then: its 64-bit
// values stand, in order, for the fields that hold the placeholder.
int ReadZip64Sizes(unzFile archive, unz_file_info64* info) {
  constexpr uint64_t kPlaceholder = 0xFFFFFFFFu;
  constexpr unsigned kZip64Record = 0x0001;
  if ((info->uncompressed_size != kPlaceholder && info->compressed_size != kPlaceholder) ||
      info->size_file_extra == 0)
    return UNZ_OK;
  std::vector<unsigned char> extra(info->size_file_extra);
  unz_file_info64 again;
  const int code =
      unzGetCurrentFileInfo64(archive, &again, nullptr, 0, extra.data(), extra.size(), nullptr, 0);
  if (code != UNZ_OK) return code;
  for (size_t at = 0; at + 4 <= extra.size();) {
    const unsigned id = static_cast<unsigned>(LittleEndian(&extra[at], 2));
    const size_t size = static_cast<size_t>(LittleEndian(&extra[at + 2], 2));
    const size_t end = std::min(extra.size(), at + 4 + size);
    if (id == kZip64Record) {
      size_t field = at + 4;
      for (ZPOS64_T* value : {&info->uncompressed_size, &info->compressed_size}) {
        if (*value != kPlaceholder) continue;
        if (field + 8 > end) return UNZ_BADZIPFILE;
        *value = LittleEndian(&extra[field], 8);
        field += 8;
      }
      return UNZ_OK;
    }
    at = end;
  }
  return UNZ_OK;
}

// Archivers on Chinese Windows store names in the legacy code page without
// the UTF-8 flag; valid UTF-8 is taken as such, flag or not.
std::string DecodeEntryName(std::string stored, unsigned long flags) {
  std::string converted;
  if ((flags & kFlagUtf8Names) == 0 && !IsValidUtf8(stored) &&
      LegacyChineseToUtf8(stored, &converted))
    return converted;
  return stored;
}

// The room an entry of this size takes: whole clusters and one more for
// its records. Capped, so that sums of declared sizes cannot wrap around.
uint64_t RoomFor(uint64_t size) {
  constexpr uint64_t kCap = uint64_t{1} << 62;
  if (size >= kCap) return kCap;
  return (size + kClusterSize - 1) / kClusterSize * kClusterSize + kClusterSize;
}

// The one pass over the central directory before anything is written:
// every entry's name decoded and checked, its sizes and position noted, and
// the room the whole package needs added up. False after the line that
// refuses the package.
bool PlanExtraction(unzFile archive, std::vector<PlannedEntry>* plan, uint64_t* needed) {
  unz_global_info64 global;
  int code = unzGetGlobalInfo64(archive, &global);
  if (code != UNZ_OK) {
    Report("error %d with zipfile in unzGetGlobalInfo \n", code);
    return false;  // without a count there is no telling what was left out
  }
  CaseCollisions collisions;
  *needed = kSpaceReserve;
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    if (i > 0 && (code = unzGoToNextFile(archive)) != UNZ_OK) {
      Report("error %d with zipfile in unzGoToNextFile\n", code);
      return false;
    }
    unz_file_info64 info{};
    PlannedEntry entry;
    if ((code = ReadEntryInfo(archive, &info, &entry.name)) != UNZ_OK ||
        (code = ReadZip64Sizes(archive, &info)) != UNZ_OK ||
        (code = unzGetFilePos64(archive, &entry.position)) != UNZ_OK) {
      Report("error %d with zipfile in unzGetCurrentFileInfo\n", code);
      return false;
    }
    entry.name = DecodeEntryName(std::move(entry.name), info.flag);
    const std::string& name = entry.name;
    entry.directory = name.empty() || IsNameSeparator(name.back());
    if (!IsSafeEntryName(name)) {
      Report("refusing entry outside the destination: %s\n", name.c_str());
      return false;
    }
    if (!CanWindowsHoldName(name)) {
      Report("refusing entry with a name Windows cannot hold: %s\n", name.c_str());
      return false;
    }
    const std::string earlier = collisions.Add(name);
    if (!earlier.empty()) {
      Report("refusing entry whose name differs from %s only in letter case: %s\n", earlier.c_str(),
             name.c_str());
      return false;
    }
    if (!entry.directory) {
      if (info.flag & kFlagEncrypted) {
        Report("refusing encrypted entry: %s\n", name.c_str());
        return false;
      }
      if (info.compression_method != kStored && info.compression_method != kDeflated) {
        Report("refusing entry with compression method %lu: %s\n", info.compression_method,
               name.c_str());
        return false;
      }
      entry.compressed_size = info.compressed_size;
      entry.size = info.uncompressed_size;
      entry.crc = static_cast<uint32_t>(info.crc);
      entry.unix_mode = StoredUnixMode(info);
    }
    entry.dos_date_time = static_cast<uint32_t>(info.dosDate);
    *needed = std::min(*needed + RoomFor(entry.size), RoomFor(~uint64_t{0}));
    plan->push_back(std::move(entry));
  }
  return true;
}

// Refuses, with one line, a package that would not fit on the destination's
// volume. The destination need not exist yet: its nearest existing parent
// tells. When nothing can tell, the extraction goes ahead.
bool FitsOnVolume(const Path& destination, uint64_t needed) {
  Path directory = destination;
  uint64_t free = 0;
  while (!GetFreeSpace(directory, &free)) {
    while (!directory.empty() && IsPathSeparator(directory.back())) directory.pop_back();
    while (!directory.empty() && !IsPathSeparator(directory.back())) directory.pop_back();
    if (directory.empty()) return true;
  }
  if (needed <= free) return true;
  constexpr uint64_t kMiB = 1u << 20;
  Report("not enough free space for the package in %s: %llu MiB needed, %llu MiB free\n",
         PathToUtf8(destination).c_str(),
         static_cast<unsigned long long>((needed + kMiB - 1) / kMiB),
         static_cast<unsigned long long>(free / kMiB));
  return false;
}

void ReportEntry(const std::string& target, const EntryResult& result) {
  switch (result.outcome) {
    case Outcome::kDirectory:
      Report("creating directory: %s\n", target.c_str());
      return;
    case Outcome::kNotCreated:
      Report("error opening %s\n", target.c_str());
      return;
    case Outcome::kOpenFailed:
      Report("error %d with zipfile in unzOpenCurrentFilePassword\n", result.code);
      return;
    case Outcome::kLocalHeaderMismatch:
      Report("refusing entry whose local header disagrees with the central directory: %s\n",
             target.c_str());
      return;
    default:
      break;
  }
  Report(" extracting: %s\n", target.c_str());
  switch (result.outcome) {
    case Outcome::kReadFailed:
      Report("error %d with zipfile in unzReadCurrentFile\n", result.code);
      break;
    case Outcome::kWriteFailed:
      Report("error in writing extracted file\n");
      break;
    case Outcome::kOverrun:
      Report("refusing entry whose data runs past its declared size: %s\n", target.c_str());
      break;
    case Outcome::kShortData:
      Report("refusing entry whose data ends before its declared size: %s\n", target.c_str());
      break;
    case Outcome::kCloseFailed:
      Report("error %d with zipfile in unzCloseCurrentFile\n", result.code);
      break;
    default:
      break;
  }
}

// Extracts file entries: the transfer buffers and the inflate state, made
// once and used for every entry. One per thread that extracts.
class EntryWriter {
 public:
  EntryWriter() = default;
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;
  ~EntryWriter() {
    if (inflating_) inflateEnd(&stream_);
  }

  // False when the buffers cannot be had.
  bool Init() {
    in_.reset(new (std::nothrow) char[kTransferSize]);
    out_.reset(new (std::nothrow) char[kTransferSize]);
    if (!in_ || !out_) return false;
    inflating_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
    return inflating_;
  }

  // Extracts the archive's current entry, a file, to target. Its data is
  // read raw and inflated here, so that data running past the declared
  // size is seen instead of cut off.
  EntryResult Extract(unzFile archive, const PlannedEntry& entry, const std::string& target,
                      bool make_directories) {
    Path native;
    PathFromUtf8(target, &native);
    int method = 0, level = 0;
    int code = unzOpenCurrentFile3(archive, &method, &level, 1, nullptr);
    if (code != UNZ_OK) {
      unzCloseCurrentFile(archive);
      // The library checks the local header against the central directory
      // (sizes, checksum, name) and reports a mismatch as a bad archive.
      return {code == UNZ_BADZIPFILE ? Outcome::kLocalHeaderMismatch : Outcome::kOpenFailed, code};
    }
    FilePtr file = OpenFileForWriting(native);
    const size_t base = target.find_last_of("/\\");
    if (!file && make_directories && base != std::string::npos) {
      // Archives need not list the directories their files sit in.
      MakeDirectoryPath(target.substr(0, base));
      file = OpenFileForWriting(native);
    }
    if (!file) {
      unzCloseCurrentFile(archive);
      return {Outcome::kNotCreated};
    }
    uint32_t crc = 0;
    EntryResult result =
        Transfer(archive, entry, static_cast<unsigned long>(method), file.get(), &crc);
    // Data still buffered may fail to reach the disk only now.
    if (!CloseWrittenFile(std::move(file)) && result.outcome == Outcome::kExtracted)
      result = {Outcome::kWriteFailed};
    if (result.outcome != Outcome::kExtracted) {
      unzCloseCurrentFile(archive);
      return result;
    }
    if (entry.unix_mode) SetUnixPermissions(native, entry.unix_mode);
    // Stamped before the checksum is compared: a file whose check fails
    // keeps its data and its time.
    SetFileTimeFromDos(native, entry.dos_date_time);
    code = unzCloseCurrentFile(archive);
    if (crc != entry.crc) code = UNZ_CRCERROR;
    if (code != UNZ_OK) return {Outcome::kCloseFailed, code};
    return {Outcome::kExtracted};
  }

 private:
  // Moves the open entry's raw data to file, inflating deflated data, and
  // checks its size against the declared one.
  EntryResult Transfer(unzFile archive, const PlannedEntry& entry, unsigned long method, FILE* file,
                       uint32_t* crc_out) {
    uint64_t written = 0;
    uLong crc = crc32(0, nullptr, 0);
    auto put = [&](const char* data, size_t n) {
      if (n > entry.size - written) return Outcome::kOverrun;
      crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(n));
      if (fwrite(data, n, 1, file) != 1) return Outcome::kWriteFailed;
      written += n;
      return Outcome::kExtracted;
    };
    if (method == kDeflated && inflateReset(&stream_) != Z_OK) return {Outcome::kReadFailed};
    // Read no further than the entry's own data, and stop at the end of a
    // deflated stream: what may follow it is not the entry's.
    uint64_t remaining = entry.compressed_size;
    bool ended = false;
    while (remaining > 0 && !ended) {
      const unsigned want = static_cast<unsigned>(std::min<uint64_t>(remaining, kTransferSize));
      const int n = unzReadCurrentFile(archive, in_.get(), want);
      if (n < 0) return {Outcome::kReadFailed, n};
      if (n == 0) break;
      remaining -= static_cast<unsigned>(n);
      if (method == kStored) {
        const Outcome put_outcome = put(in_.get(), static_cast<size_t>(n));
        if (put_outcome != Outcome::kExtracted) return {put_outcome};
        continue;
      }
      stream_.next_in = reinterpret_cast<Bytef*>(in_.get());
      stream_.avail_in = static_cast<uInt>(n);
      // Until this input is used up and no output is held back.
      do {
        stream_.next_out = reinterpret_cast<Bytef*>(out_.get());
        stream_.avail_out = static_cast<uInt>(kTransferSize);
        const int z = inflate(&stream_, Z_NO_FLUSH);
        if (z == Z_STREAM_END)
          ended = true;
        else if (z != Z_OK && z != Z_BUF_ERROR)
          return {Outcome::kReadFailed, z == Z_NEED_DICT ? Z_DATA_ERROR : z};
        const size_t made = kTransferSize - stream_.avail_out;
        if (made > 0) {
          const Outcome put_outcome = put(out_.get(), made);
          if (put_outcome != Outcome::kExtracted) return {put_outcome};
        }
      } while (!ended && (stream_.avail_in > 0 || stream_.avail_out == 0));
    }
    // A deflated stream cut short: the library's code for no progress.
    if (method == kDeflated && !ended) return {Outcome::kReadFailed, Z_BUF_ERROR};
    if (written != entry.size) return {Outcome::kShortData};
    *crc_out = static_cast<uint32_t>(crc);
    return {Outcome::kExtracted};
  }

  std::unique_ptr<char[]> in_, out_;
  z_stream stream_{};
  bool inflating_ = false;
};

// Extracts the planned entries in archive order below prefix, printing the
// lines of each as it goes. False when an entry stopped the extraction.
bool ExtractEntries(unzFile archive, const std::vector<PlannedEntry>& plan,
                    const std::string& prefix, unsigned* skipped) {
  EntryWriter writer;
  if (!plan.empty() && !writer.Init()) {
    Report("Error allocating memory\n");
    return false;
  }
  for (size_t i = 0; i < plan.size(); ++i) {
    const int code =
        i == 0 ? unzGoToFilePos64(archive, &plan[i].position) : unzGoToNextFile(archive);
    if (code != UNZ_OK) {
      Report("error %d with zipfile in unzGoToNextFile\n", code);
      return false;
    }
    const PlannedEntry& entry = plan[i];
    const std::string target = prefix + entry.name;
    if (entry.directory) {
      ReportEntry(target, {Outcome::kDirectory});
      // Also the levels above it that the archive does not list: an empty
      // directory has no file entry that would make them later.
      MakeDirectoryPath(target);
      continue;
    }
    const EntryResult result = writer.Extract(archive, entry, target, true);
    ReportEntry(target, result);
    if (result.outcome == Outcome::kNotCreated && skipped) ++*skipped;
    if (StopsExtraction(result.outcome)) return false;
  }
  return true;
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
    fprintf(stderr, "Cannot open %s\n", PathToUtf8(archive_path).c_str());
    fflush(stderr);
    return false;
  }
  std::vector<PlannedEntry> plan;
  uint64_t needed = 0;
  if (!PlanExtraction(archive.get(), &plan, &needed) || !FitsOnVolume(destination, needed))
    return false;
  MakeOneDirectory(destination);
  return ExtractEntries(archive.get(), plan, PathToUtf8(destination), skipped);
}
