#include "extract.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
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
#include "zip_directory.h"

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
// anything is written. No heap of its own: a package of 100,000 entries
// keeps 40 bytes each, and its names in one block (Plan::names).
struct PlannedEntry {
  uint64_t directory_offset = 0;  // of its record in the central directory
  uint64_t compressed_size = 0;
  uint64_t size = 0;      // uncompressed
  uint32_t name_end = 0;  // where its name ends in Plan::names
  uint32_t crc = 0;
  uint32_t dos_date_time = 0;
  uint16_t unix_mode = 0;
  bool directory = false;
};

struct Plan {
  std::vector<PlannedEntry> entries;  // in archive order
  std::string
      names;  // every entry's name (UTF-8 where it could be read as such), one after another
  bool has_repeats = false;  // some name comes twice: the later must win

  std::string Name(size_t index) const {
    const size_t begin = index == 0 ? 0 : static_cast<size_t>(entries[index - 1].name_end);
    return names.substr(begin, static_cast<size_t>(entries[index].name_end) - begin);
  }
  // Where the library finds entry `index` again.
  unz64_file_pos Position(size_t index) const { return {entries[index].directory_offset, index}; }
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
  kMoveFailed,  // the next entry could not be reached
};

struct EntryResult {
  Outcome outcome;
  int code = UNZ_OK;     // the library's or zlib's code, where there is one
  bool created = false;  // a target file was created (or emptied)
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
  const std::string stem = UpperCaseAscii(name.substr(begin, stem_end - begin));
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

// 64-bit FNV-1a, continued from hash.
uint64_t Fnv1a(uint64_t hash, char c) {
  return (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
}
constexpr uint64_t kFnvStart = 14695981039346656037u;

// Hashes of the paths from the first component of a normalized name to
// each of its components: the name's directories, then the whole name.
std::vector<uint64_t> PathHashes(const std::string& normalized) {
  std::vector<uint64_t> hashes;
  uint64_t hash = kFnvStart;
  for (const char c : normalized) {
    if (c == '/') hashes.push_back(hash);
    hash = Fnv1a(hash, c);
  }
  hashes.push_back(hash);
  return hashes;
}

// The hashes of a name's paths (see PathHashes), as given and upper-cased.
// Upper-casing may change a component's length in bytes, never the
// separators: both forms have the same components.
void CasePathHashes(const std::string& name, std::vector<uint64_t>* originals,
                    std::vector<uint64_t>* uppers) {
  const std::string original = NormalizedName(name);
  *originals = PathHashes(original);
  *uppers = PathHashes(UpperCaseForNames(original));
  const size_t count = std::min(originals->size(), uppers->size());
  originals->resize(count);
  uppers->resize(count);
}

// Paths of the package (entries and the directories they imply) by their
// upper-cased form, to find two that Windows would take for one. A path is
// a slot of 12 bytes in an open-addressed table: the 64-bit hash of its
// upper-cased form, 31 bits of the hash of its own form and a bit for an
// entry of its own, so that 100,000 entries take about 1.5 MB. Two paths
// whose hashes agree are taken for one (about one in 2^64 per pair, one
// in 2^31 for two that differ only in letter case).
class CaseCollisions {
 public:
  enum class Result { kNew, kRepeated, kCollides };

  // Adds the paths of a name. kRepeated: an earlier entry had this very
  // name. kCollides: one of its paths differs from an earlier one only in
  // letter case; *upper and *components say which (see EarlierPath).
  Result Add(const std::string& name, uint64_t* upper, size_t* components) {
    CasePathHashes(name, &originals_, &uppers_);
    Result result = Result::kNew;
    for (size_t k = 0; k < uppers_.size(); ++k) {
      if ((used_ + 1) * 8 > slots_.size() * 7) Grow();
      const uint32_t mark = static_cast<uint32_t>(originals_[k] >> 32) & ~kWholeEntry;
      Slot& slot = slots_[Find(uppers_[k])];
      if (slot.upper_low == 0 && slot.upper_high == 0) {
        slot = SlotFor(uppers_[k], mark);
        ++used_;
      } else if ((slot.original & ~kWholeEntry) != mark) {
        *upper = uppers_[k];
        *components = k + 1;
        return Result::kCollides;
      }
      if (k + 1 == uppers_.size()) {
        if (slot.original & kWholeEntry) result = Result::kRepeated;
        slot.original |= kWholeEntry;
      }
    }
    return result;
  }

 private:
  struct Slot {
    uint32_t upper_low, upper_high;  // both 0: a free slot
    uint32_t original;
  };
  static constexpr uint32_t kWholeEntry = 1;

  static Slot SlotFor(uint64_t upper, uint32_t original) {
    if (upper == 0) upper = 1;  // 0 marks a free slot
    return {static_cast<uint32_t>(upper), static_cast<uint32_t>(upper >> 32), original};
  }
  // The slot of `upper`, or the free slot where it belongs.
  size_t Find(uint64_t upper) const {
    const Slot key = SlotFor(upper, 0);
    const size_t mask = slots_.size() - 1;
    for (size_t at = static_cast<size_t>((upper * 0x9E3779B97F4A7C15u) >> 40) & mask;;
         at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if ((slot.upper_low == 0 && slot.upper_high == 0) ||
          (slot.upper_low == key.upper_low && slot.upper_high == key.upper_high))
        return at;
    }
  }
  void Grow() {
    std::vector<Slot> old(std::max<size_t>(slots_.size() * 2, 1024));
    old.swap(slots_);
    for (const Slot& slot : old)
      if (slot.upper_low != 0 || slot.upper_high != 0)
        slots_[Find(uint64_t{slot.upper_high} << 32 | slot.upper_low)] = slot;
  }

  std::vector<Slot> slots_;  // a power of two of them, at most 7/8 used
  size_t used_ = 0;
  std::vector<uint64_t> originals_, uppers_;  // Add's, kept for their room
};

// The first `components` components of a name, as CaseCollisions sees it.
std::string LeadingComponents(const std::string& name, size_t components) {
  const std::string normalized = NormalizedName(name);
  size_t end = 0;
  for (size_t k = 0; k < components && end != std::string::npos; ++k)
    end = normalized.find('/', k == 0 ? 0 : end + 1);
  return normalized.substr(0, end);
}

// The earliest entry's path of `components` components whose upper-cased
// form hashes to `upper`: the path CaseCollisions found a later one to
// collide with. Walks the plan again, on the refusal's way only.
std::string EarlierPath(const Plan& plan, uint64_t upper, size_t components) {
  std::vector<uint64_t> originals, uppers;
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const std::string name = plan.Name(i);
    CasePathHashes(name, &originals, &uppers);
    if (uppers.size() >= components && uppers[components - 1] == upper)
      return LeadingComponents(name, components);
  }
  return std::string();
}

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

// The unzip library takes the sizes from an entry's Zip64 record only where
// unsigned long is 32 bits wide; elsewhere the central directory's
// placeholder 0xFFFFFFFF stays. The record is read here then.
int ReadZip64Sizes(unzFile archive, unz_file_info64* info) {
  constexpr uint64_t kPlaceholder = 0xFFFFFFFFu;
  if ((info->uncompressed_size != kPlaceholder && info->compressed_size != kPlaceholder) ||
      info->size_file_extra == 0)
    return UNZ_OK;
  std::vector<unsigned char> extra(info->size_file_extra);
  unz_file_info64 again;
  const int code =
      unzGetCurrentFileInfo64(archive, &again, nullptr, 0, extra.data(), extra.size(), nullptr, 0);
  if (code != UNZ_OK) return code;
  return ApplyZip64Extra(extra.data(), extra.size(),
                         {&info->uncompressed_size, &info->compressed_size})
             ? UNZ_OK
             : UNZ_BADZIPFILE;
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

// The stored names' bytes of the first `count` entries, as the central
// directory gives them (a name read in a legacy code page may grow a
// little as UTF-8). Leaves the archive at its first entry; 0 when the walk
// fails, which the plan's own walk then reports.
size_t NameBytes(unzFile archive, ZPOS64_T count) {
  size_t total = 0;
  for (ZPOS64_T i = 0; i < count; ++i) {
    unz_file_info64 info;
    if ((i > 0 && unzGoToNextFile(archive) != UNZ_OK) ||
        unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
      total = 0;
      break;
    }
    total += info.size_filename;
  }
  unzGoToFirstFile(archive);
  return total;
}

// The one pass over the central directory before anything is written:
// every entry's name decoded and checked, its sizes and position noted, and
// the room the whole package needs added up. False after the line that
// refuses the package.
bool PlanExtraction(unzFile archive, Plan* plan, uint64_t* needed) {
  unz_global_info64 global;
  int code = unzGetGlobalInfo64(archive, &global);
  if (code != UNZ_OK) {
    Report("error %d with zipfile in unzGetGlobalInfo \n", code);
    return false;  // without a count there is no telling what was left out
  }
  CaseCollisions collisions;
  *needed = kSpaceReserve;
  // A count from a damaged archive may be huge: reserve no more than a
  // large package holds. Pages never written cost address space only.
  plan->entries.reserve(static_cast<size_t>(std::min<ZPOS64_T>(global.number_entry, 1u << 20)));
  // The names' block at its size at once: grown by doubling, it would hold
  // its old and new copies at once while the plan is at its largest.
  plan->names.reserve(NameBytes(archive, global.number_entry));
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    if (i > 0 && (code = unzGoToNextFile(archive)) != UNZ_OK) {
      Report("error %d with zipfile in unzGoToNextFile\n", code);
      return false;
    }
    unz_file_info64 info{};
    PlannedEntry entry;
    std::string name;
    unz64_file_pos position{};
    if ((code = ReadEntryInfo(archive, &info, &name)) != UNZ_OK ||
        (code = ReadZip64Sizes(archive, &info)) != UNZ_OK ||
        (code = unzGetFilePos64(archive, &position)) != UNZ_OK) {
      Report("error %d with zipfile in unzGetCurrentFileInfo\n", code);
      return false;
    }
    entry.directory_offset = position.pos_in_zip_directory;
    name = DecodeEntryName(std::move(name), info.flag);
    entry.directory = name.empty() || IsNameSeparator(name.back());
    if (!IsSafeEntryName(name)) {
      Report("refusing entry outside the destination: %s\n", name.c_str());
      return false;
    }
    if (!CanWindowsHoldName(name)) {
      Report("refusing entry with a name Windows cannot hold: %s\n", name.c_str());
      return false;
    }
    uint64_t upper = 0;
    size_t components = 0;
    const CaseCollisions::Result seen = collisions.Add(name, &upper, &components);
    if (seen == CaseCollisions::Result::kCollides) {
      Report("refusing entry whose name differs from %s only in letter case: %s\n",
             EarlierPath(*plan, upper, components).c_str(), name.c_str());
      return false;
    }
    plan->has_repeats = plan->has_repeats || seen == CaseCollisions::Result::kRepeated;
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
      entry.unix_mode = static_cast<uint16_t>(StoredUnixMode(info));
    }
    entry.dos_date_time = static_cast<uint32_t>(info.dosDate);
    *needed = std::min(*needed + RoomFor(entry.size), RoomFor(~uint64_t{0}));
    // Names of 4 GiB in all would not fit in memory anyway.
    if (plan->names.size() + name.size() > UINT32_MAX) {
      Report("refusing package whose names take more than 4 GiB\n");
      return false;
    }
    plan->names += name;
    entry.name_end = static_cast<uint32_t>(plan->names.size());
    plan->entries.push_back(entry);
  }
  return true;
}

// Refuses, with one line, a package that would not fit on the destination's
// volume. The destination need not exist yet: its nearest existing parent
// tells. When nothing can tell, the extraction goes ahead.
bool FitsOnVolume(const Path& destination, uint64_t needed) {
  Path directory = destination;
  uint64_t free = 0;
  while (!FreeSpaceOnVolume(directory, &free)) {
    while (!directory.empty() && IsPathSeparator(directory.back())) directory.pop_back();
    while (!directory.empty() && !IsPathSeparator(directory.back())) directory.pop_back();
    if (directory.empty()) return true;
  }
  if (needed <= free) return true;
  constexpr uint64_t kMiB = 1u << 20;
  Report("not enough free space for the package in %s: %" PRIu64 " MiB needed, %" PRIu64
         " MiB free\n",
         PathToUtf8(destination).c_str(), (needed + kMiB - 1) / kMiB, free / kMiB);
  return false;
}

// The directory part of a target path ("" when it has none).
std::string DirectoryOf(const std::string& target) {
  size_t end = target.size();
  while (end > 0 && IsNameSeparator(target[end - 1])) --end;
  return target.substr(0, ParentEnd(target.c_str(), end));
}

// Every directory the package needs, made before any file is written: the
// directory entries and the directories of the files, which archives need
// not list. A level that cannot be made is kept by directory, to be
// reported where the entries that needed it are.
class Directories {
 public:
  void Make(const Plan& plan, const std::string& prefix) {
    std::unordered_set<std::string> made;
    for (size_t i = 0; i < plan.entries.size(); ++i) {
      const PlannedEntry& entry = plan.entries[i];
      std::string directory = prefix + plan.Name(i);
      if (entry.directory) {
        while (!directory.empty() && IsNameSeparator(directory.back())) directory.pop_back();
      } else {
        directory = DirectoryOf(directory);
      }
      if (directory.size() < prefix.size() || !made.insert(directory).second) continue;
      std::string failed_at;
      MakeDirectoryPath(directory, &failed_at);
      if (!failed_at.empty())
        failed_[directory] = failed_at;
      else
        ++made_;
    }
  }

  // The directories that were made or found in place.
  size_t made() const { return made_; }

  // The level that could not be made on the way to directory, or null.
  const std::string* FailedOnTheWayTo(const std::string& directory) const {
    const auto found = failed_.find(directory);
    return found == failed_.end() ? nullptr : &found->second;
  }

 private:
  std::unordered_map<std::string, std::string> failed_;
  size_t made_ = 0;
};

// What an extraction wrote, for its summary line.
struct Tally {
  size_t files = 0;
  size_t directories = 0;
  uint64_t bytes = 0;
};

// Prints an entry's lines. Main thread.
void ReportEntry(const std::string& target, const EntryResult& result,
                 const Directories& directories) {
  switch (result.outcome) {
    case Outcome::kDirectory: {
      ReportProgress("creating directory: %s\n", target.c_str());
      std::string directory = target;
      while (!directory.empty() && IsNameSeparator(directory.back())) directory.pop_back();
      if (const std::string* failed = directories.FailedOnTheWayTo(directory))
        Report("couldn't create directory %s\n", failed->c_str());
      return;
    }
    case Outcome::kNotCreated:
      if (const std::string* failed = directories.FailedOnTheWayTo(DirectoryOf(target)))
        Report("couldn't create directory %s\n", failed->c_str());
      Report("error opening %s\n", target.c_str());
      return;
    case Outcome::kOpenFailed:
      Report("error %d with zipfile in unzOpenCurrentFilePassword\n", result.code);
      return;
    case Outcome::kLocalHeaderMismatch:
      Report("refusing entry whose local header disagrees with the central directory: %s\n",
             target.c_str());
      return;
    case Outcome::kMoveFailed:
      Report("error %d with zipfile in unzGoToNextFile\n", result.code);
      return;
    default:
      break;
  }
  // The log names a file only when something went wrong with it.
  if (result.outcome == Outcome::kExtracted)
    ReportProgress(" extracting: %s\n", target.c_str());
  else
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

  // False when the buffers or a reading handle on the archive at
  // archive_path cannot be had.
  bool Init(const Path& archive_path) {
    in_.reset(new (std::nothrow) char[kTransferSize]);
    out_.reset(new (std::nothrow) char[kTransferSize]);
    if (!in_ || !out_) return false;
    data_ = OpenFileForReading(archive_path);
    if (!data_) return false;
    inflating_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
    return inflating_;
  }

  // Extracts the archive's current entry, a file, to target. The library
  // reads its local header and checks it; its data is then read here, raw,
  // in large blocks, and inflated here, so that data running past the
  // declared size is seen instead of cut off.
  // Its directory was made before.
  EntryResult Extract(unzFile archive, const PlannedEntry& entry, const std::string& target) {
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
    if (!SeekFile(data_.get(), unzGetCurrentFileZStreamPos64(archive))) {
      unzCloseCurrentFile(archive);
      return {Outcome::kOpenFailed, UNZ_ERRNO};
    }
    FilePtr file = OpenFileForWriting(native);
    if (!file) {
      unzCloseCurrentFile(archive);
      return {Outcome::kNotCreated};
    }
    uint32_t crc = 0;
    EntryResult result = Transfer(entry, static_cast<unsigned long>(method), file.get(), &crc);
    // Data still buffered may fail to reach the disk only now.
    if (!CloseWrittenFile(std::move(file)) && result.outcome == Outcome::kExtracted)
      result = {Outcome::kWriteFailed};
    result.created = true;
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
    if (code != UNZ_OK) return {Outcome::kCloseFailed, code, true};
    return {Outcome::kExtracted, UNZ_OK, true};
  }

 private:
  // Moves the entry's raw data, from the archive handle's position on, to
  // file, inflating deflated data, and checks its size against the
  // declared one.
  EntryResult Transfer(const PlannedEntry& entry, unsigned long method, FILE* file,
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
      const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kTransferSize));
      const size_t n = fread(in_.get(), 1, want, data_.get());
      if (n < want && ferror(data_.get())) return {Outcome::kReadFailed, UNZ_ERRNO};
      if (n == 0) break;
      remaining -= n;
      if (method == kStored) {
        const Outcome put_outcome = put(in_.get(), n);
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
  FilePtr data_;  // the archive, read without a buffer of its own
  z_stream stream_{};
  bool inflating_ = false;
};

// Extracts plan.entries[begin, end) in archive order through its own
// archive handle, handing each entry's result to keep(index, result), which
// returns false to stop. Ends at the first entry that stops the extraction,
// and before the next entry once *stop is set. Any thread.
template <class Keep>
void ExtractRange(unzFile archive, EntryWriter* writer, const Plan& plan, size_t begin, size_t end,
                  const std::string& prefix, const std::atomic<bool>& stop, Keep keep) {
  for (size_t i = begin; i < end && !stop.load(std::memory_order_relaxed); ++i) {
    const PlannedEntry& entry = plan.entries[i];
    const unz64_file_pos position = plan.Position(i);
    const int code = i == begin ? unzGoToFilePos64(archive, &position) : unzGoToNextFile(archive);
    EntryResult result{Outcome::kMoveFailed, code};
    if (code == UNZ_OK)
      result = entry.directory ? EntryResult{Outcome::kDirectory}
                               : writer->Extract(archive, entry, prefix + plan.Name(i));
    if (!keep(i, result) || StopsExtraction(result.outcome)) return;
  }
}

// Where the second worker's share begins: the entries are split in archive
// order so that each share holds about half of the compressed data, with an
// allowance for each file's own cost (create, close, stamp). plan's size
// when there is nothing worth a second worker.
size_t SecondShareBegins(const Plan& plan) {
  constexpr uint64_t kPerFileWeight = 8 * 1024;
  uint64_t total = 0;
  for (const PlannedEntry& entry : plan.entries)
    if (!entry.directory) total += entry.compressed_size + kPerFileWeight;
  uint64_t sum = 0;
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const PlannedEntry& entry = plan.entries[i];
    if (entry.directory) continue;
    if (sum > 0 && sum + (entry.compressed_size + kPerFileWeight) / 2 > total / 2) return i;
    sum += entry.compressed_size + kPerFileWeight;
  }
  return plan.entries.size();
}

// How many workers extract: as asked, else two where the machine has two
// cores and the package is large enough to gain from them. One whenever a
// name comes twice, so that the later entry is written last.
unsigned WorkersFor(const Plan& plan, unsigned asked) {
  constexpr uint64_t kWorthASecondWorker = 1u << 20;
  if (plan.has_repeats) return 1;
  if (asked) return asked;
  uint64_t compressed = 0;
  for (const PlannedEntry& entry : plan.entries) compressed += entry.compressed_size;
  return std::thread::hardware_concurrency() >= 2 && compressed >= kWorthASecondWorker ? 2 : 1;
}

// The second worker: a thread with its own archive handle and buffers that
// extracts one share and keeps each entry's result for the main thread,
// which alone may report.
class SecondWorker {
 public:
  SecondWorker(const Path& archive_path, const Plan& plan, size_t begin, const std::string& prefix,
               const std::atomic<bool>& stop)
      : plan_(plan), begin_(begin), prefix_(prefix), stop_(stop) {
    archive_ = OpenArchive(archive_path);
    if (!archive_ || !writer_.Init(archive_path)) return;
    results_.reserve(plan.entries.size() - begin);
    // Threads are an operating-system resource: without one, the main
    // thread extracts this share itself.
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
    }
  }
  ~SecondWorker() { Wait(); }
  SecondWorker(const SecondWorker&) = delete;
  SecondWorker& operator=(const SecondWorker&) = delete;

  bool started() const { return thread_.joinable() || joined_; }
  void Wait() {
    if (thread_.joinable()) {
      thread_.join();
      joined_ = true;
    }
  }
  // After Wait: the results of the entries it visited, from its first on.
  const std::vector<EntryResult>& results() const { return results_; }

 private:
  void Run() {
    ExtractRange(archive_.get(), &writer_, plan_, begin_, plan_.entries.size(), prefix_, stop_,
                 [this](size_t, const EntryResult& result) {
                   results_.push_back(result);
                   return true;
                 });
  }

  const Plan& plan_;
  const size_t begin_;
  const std::string& prefix_;
  const std::atomic<bool>& stop_;
  ArchivePtr archive_;
  EntryWriter writer_;
  std::vector<EntryResult> results_;
  std::thread thread_;
  bool joined_ = false;
};

// Extracts the planned entries below prefix with one or two workers and
// prints their lines in archive order. False when an entry stopped the
// extraction; the files of entries after that one are removed again, so
// that what stays is what one worker would have left.
bool ExtractEntries(const Path& archive_path, unzFile archive, const Plan& plan,
                    const std::string& prefix, unsigned workers, unsigned* skipped, Tally* tally) {
  if (plan.entries.empty()) return true;
  Directories directories;
  directories.Make(plan, prefix);
  tally->directories = directories.made();
  EntryWriter writer;
  if (!writer.Init(archive_path)) {
    Report("Error allocating memory\n");
    return false;
  }
  const size_t count = plan.entries.size();
  const size_t split = WorkersFor(plan, workers) >= 2 ? SecondShareBegins(plan) : count;
  std::atomic<bool> stop{false};
  std::unique_ptr<SecondWorker> second;
  if (split < count) second.reset(new SecondWorker(archive_path, plan, split, prefix, stop));
  const size_t first_end = second && second->started() ? split : count;

  bool complete = true;
  auto report = [&](size_t i, const EntryResult& result) {
    ReportEntry(prefix + plan.Name(i), result, directories);
    if (result.outcome == Outcome::kExtracted) {
      ++tally->files;
      tally->bytes += plan.entries[i].size;
    }
    if (result.outcome == Outcome::kNotCreated && skipped) ++*skipped;
    if (StopsExtraction(result.outcome)) complete = false;
    return complete;
  };
  ExtractRange(archive, &writer, plan, 0, first_end, prefix, stop, report);
  if (!complete) stop = true;
  if (first_end == count) return complete;

  second->Wait();
  const std::vector<EntryResult>& results = second->results();
  for (size_t k = 0; k < results.size(); ++k) {
    if (!complete) {
      // Written after the entry that stopped the extraction.
      if (results[k].created) {
        Path native;
        if (PathFromUtf8(prefix + plan.Name(split + k), &native)) RemoveFileEntry(native);
      }
      continue;
    }
    report(split + k, results[k]);
  }
  return complete;
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

bool ExtractPackage(const HashedPackage& package) {
  const Path update = UpdateDir();
  const Path destination = update + PATH_TEXT("unzip");

  // A tree left by an earlier run would otherwise be installed along with
  // this package.
  if (!ClearDestination(destination)) {
    Report("couldn't empty directory %s\n", PathToUtf8(destination).c_str());
    return false;
  }
  EntryKind kind;
  if (!GetEntryKind(package.file, &kind)) {
    ReportError("Cannot open %s\n", PathToUtf8(package.file).c_str());
    return false;
  }
  if (!IsStillTheHashedFile(package)) {
    Report("%s is not the package that was checked; nothing is unpacked\n",
           PathToUtf8(package.file).c_str());
    return false;
  }
  unsigned skipped = 0;
  if (!ExtractArchive(package.file, destination, &skipped)) return false;
  // Each worker opened the file by its name: it must still be the one.
  if (!IsStillTheHashedFile(package)) {
    Report("%s changed while it was unpacked; nothing is installed\n",
           PathToUtf8(package.file).c_str());
    return false;
  }
  // Installing the rest of a package without some of its files would leave
  // the application half-updated.
  if (skipped > 0) {
    Report("package incomplete (%u entries not extracted): nothing is installed\n", skipped);
    return false;
  }
  return true;
}

bool ExtractArchive(Path archive_path, Path destination, unsigned* skipped, unsigned workers) {
  const auto start = std::chrono::steady_clock::now();
  destination = WithTrailingSeparator(std::move(destination));
  ArchivePtr archive = OpenArchive(archive_path);
  if (!archive) {
    ReportError("Cannot open %s\n", PathToUtf8(archive_path).c_str());
    return false;
  }
  Plan plan;
  uint64_t needed = 0;
  if (!PlanExtraction(archive.get(), &plan, &needed) || !FitsOnVolume(destination, needed))
    return false;
  MakeOneDirectory(destination);
  Tally tally;
  const bool complete = ExtractEntries(archive_path, archive.get(), plan, PathToUtf8(destination),
                                       workers, skipped, &tally);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ReportToLog("%s: %llu files, %llu directories, %" PRIu64 " bytes written in %.2f s\n",
              complete ? "Extracted" : "Extraction stopped",
              static_cast<unsigned long long>(tally.files),
              static_cast<unsigned long long>(tally.directories), tally.bytes, seconds);
  return complete;
}
