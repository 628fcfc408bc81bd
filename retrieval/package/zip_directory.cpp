#include "zip_directory.h"

#include <ioapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "archive_io.h"
#include "file_output.h"

namespace {

constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr size_t kCentralFixedSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr uint64_t kPlaceholder = 0xFFFFFFFFu;

// Direct reads of the file's bytes, for the few fields the unzip library
// does not hand out: where the central directory lies and where each
// entry's local header is.
struct Source {
  SpanReader read;
  uint64_t first = 0;  // bytes before this one are not here
  uint64_t size = 0;
};

DirectoryResult ReadBytes(const Source& source, uint64_t offset, unsigned char* out, size_t count,
                          uint64_t* needed_start) {
  if (offset > source.size || count > source.size - offset) return DirectoryResult::kNotZip;
  if (offset < source.first) {
    *needed_start = offset;
    return DirectoryResult::kTailTooShort;
  }
  return source.read(offset, out, count) ? DirectoryResult::kRead : DirectoryResult::kUnreadable;
}

// The central directory's place, from the end record the library found (the
// one whose comment runs to the end of the file) and the Zip64 records
// before it. The directory must end where those records begin: an archive
// with bytes before it (a self-extractor) shifts every offset, and is not
// taken.
DirectoryResult ReadEndRecords(unzFile archive, const Source& source, ZipDirectory* directory,
                               uint64_t* needed_start) {
  unz_global_info64 global;
  if (unzGetGlobalInfo64(archive, &global) != UNZ_OK ||
      source.size < kEndSize + global.size_comment)
    return DirectoryResult::kNotZip;
  const uint64_t end_at = source.size - kEndSize - global.size_comment;
  unsigned char end[kEndSize];
  DirectoryResult result = ReadBytes(source, end_at, end, sizeof end, needed_start);
  if (result != DirectoryResult::kRead) return result;
  if (LittleEndian(end, 4) != kEndSignature) return DirectoryResult::kNotZip;
  uint64_t cd_size = LittleEndian(end + 12, 4), cd_offset = LittleEndian(end + 16, 4);
  uint64_t cd_end = end_at;
  unsigned char locator[kZip64LocatorSize];
  if (end_at >= sizeof locator) {
    result = ReadBytes(source, end_at - sizeof locator, locator, sizeof locator, needed_start);
    if (result == DirectoryResult::kTailTooShort || result == DirectoryResult::kUnreadable)
      return result;
    if (result == DirectoryResult::kRead && LittleEndian(locator, 4) == kZip64LocatorSignature) {
      const uint64_t record_at = LittleEndian(locator + 8, 8);
      unsigned char record[kZip64EndSize];
      result = ReadBytes(source, record_at, record, sizeof record, needed_start);
      if (result != DirectoryResult::kRead) return result;
      if (LittleEndian(record, 4) != kZip64EndSignature) return DirectoryResult::kNotZip;
      cd_size = LittleEndian(record + 40, 8);
      cd_offset = LittleEndian(record + 48, 8);
      cd_end = record_at;
    }
  }
  if (cd_offset > cd_end || cd_end - cd_offset != cd_size) return DirectoryResult::kNotZip;
  directory->file_size = source.size;
  directory->cd_offset = cd_offset;
  directory->cd_size = cd_size;
  directory->entry_count = global.number_entry;
  if (cd_offset < source.first) {
    *needed_start = cd_offset;
    return DirectoryResult::kTailTooShort;
  }
  return DirectoryResult::kRead;
}

// Every entry as the library walks the directory, with the local header's
// offset from the record at the library's position: the library keeps it to
// itself. The walk must visit the records one after the other, from the
// directory's start to its end.
DirectoryResult ReadEntries(unzFile archive, const Source& source, ZipDirectory* directory) {
  unz_global_info64 global;
  if (unzGetGlobalInfo64(archive, &global) != UNZ_OK) return DirectoryResult::kNotZip;
  // Room for every entry at once (no copy while the vector grows); a count
  // from a damaged archive may be huge, but no entry takes less than a
  // record of the directory, whose bytes are here.
  directory->entries.reserve(static_cast<size_t>(
      std::min<ZPOS64_T>(global.number_entry, directory->cd_size / kCentralFixedSize)));
  uint64_t expected = directory->cd_offset, unused = 0;
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    unz_file_info64 info;
    if ((i > 0 && unzGoToNextFile(archive) != UNZ_OK) ||
        unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
        unzGetOffset64(archive) != expected)
      return DirectoryResult::kNotZip;
    unsigned char record[kCentralFixedSize];
    const DirectoryResult result = ReadBytes(source, expected, record, sizeof record, &unused);
    if (result != DirectoryResult::kRead) return result;
    const uint64_t name_size = LittleEndian(record + 28, 2),
                   extra_size = LittleEndian(record + 30, 2);
    if (LittleEndian(record, 4) != kCentralSignature || name_size != info.size_filename ||
        extra_size != info.size_file_extra)
      return DirectoryResult::kNotZip;
    // The raw fields, not the library's: whether it took the Zip64 values
    // depends on the width of unsigned long.
    ZPOS64_T compressed = LittleEndian(record + 20, 4), uncompressed = LittleEndian(record + 24, 4);
    ZPOS64_T local_header = LittleEndian(record + 42, 4);
    if (compressed == kPlaceholder || uncompressed == kPlaceholder ||
        local_header == kPlaceholder) {
      std::vector<unsigned char> extra(extra_size);
      if (extra.empty() ||
          unzGetCurrentFileInfo64(archive, &info, nullptr, 0, extra.data(), extra.size(), nullptr,
                                  0) != UNZ_OK ||
          !ApplyZip64Extra(extra.data(), extra.size(), {&uncompressed, &compressed, &local_header}))
        return DirectoryResult::kNotZip;
    }
    ZipEntry entry;
    entry.local_header_offset = local_header;
    entry.compressed_size = compressed;
    entry.uncompressed_size = uncompressed;
    entry.crc = static_cast<uint32_t>(info.crc);
    entry.method = static_cast<uint16_t>(info.compression_method);
    entry.flags = static_cast<uint16_t>(info.flag);
    entry.name_size = static_cast<uint16_t>(name_size);
    entry.extra_size = static_cast<uint16_t>(extra_size);
    directory->entries.push_back(entry);
    expected += kCentralFixedSize + name_size + extra_size + LittleEndian(record + 32, 2);
  }
  return expected == directory->cd_offset + directory->cd_size ? DirectoryResult::kRead
                                                               : DirectoryResult::kNotZip;
}

DirectoryResult ReadDirectory(unzFile archive, const Source& source, ZipDirectory* directory,
                              uint64_t* needed_start) {
  *directory = ZipDirectory();
  const DirectoryResult result = ReadEndRecords(archive, source, directory, needed_start);
  return result == DirectoryResult::kRead ? ReadEntries(archive, source, directory) : result;
}

// The unzip library's file layer over a span of the file that `read`
// gives: positions are the whole file's, and a read of bytes before the
// span fails.
struct SpanStream {
  const SpanReader* read;
  uint64_t start;
  uint64_t size;
  uint64_t position;
  bool failed = false;  // `read` said no
};

voidpf ZCALLBACK OpenTail(voidpf opaque, const void*, int) { return opaque; }

uLong ZCALLBACK ReadTail(voidpf, voidpf stream, void* buffer, uLong count) {
  SpanStream* span = static_cast<SpanStream*>(stream);
  if (span->position < span->start || span->position > span->size) return 0;
  const uint64_t n = std::min<uint64_t>(count, span->size - span->position);
  if (!(*span->read)(span->position, static_cast<unsigned char*>(buffer), static_cast<size_t>(n))) {
    span->failed = true;
    return 0;
  }
  span->position += n;
  return static_cast<uLong>(n);
}

uLong ZCALLBACK WriteTail(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK TellTail(voidpf, voidpf stream) {
  return static_cast<SpanStream*>(stream)->position;
}

long ZCALLBACK SeekTail(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  SpanStream* span = static_cast<SpanStream*>(stream);
  const uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET   ? 0
                        : origin == ZLIB_FILEFUNC_SEEK_CUR ? span->position
                                                           : span->size;
  // Seeks backwards from the end come as huge unsigned offsets.
  const uint64_t target = base + offset;
  if (target > span->size) return -1;
  span->position = target;
  return 0;
}

int ZCALLBACK CloseTail(voidpf, voidpf) { return 0; }
int ZCALLBACK ErrorTail(voidpf, voidpf) { return 0; }

}  // namespace

DirectoryResult ReadZipDirectory(const Path& path, ZipDirectory* directory) {
  uint64_t size = 0;
  if (!OpenFileForReading(path, &size)) return DirectoryResult::kUnreadable;
  // Unbuffered: each read is a few bytes somewhere else.
  FilePtr file = OpenFileForReading(path);
  if (!file) return DirectoryResult::kUnreadable;
  ArchivePtr archive = OpenArchive(path);
  if (!archive) return DirectoryResult::kNotZip;
  const Source source{[&file](uint64_t offset, unsigned char* out, size_t count) {
                        return SeekFile(file.get(), offset) &&
                               fread(out, 1, count, file.get()) == count;
                      },
                      0, size};
  uint64_t unused = 0;
  const DirectoryResult result = ReadDirectory(archive.get(), source, directory, &unused);
  if (result != DirectoryResult::kRead) return result;
  for (ZipEntry& entry : directory->entries) {
    unsigned char header[kLocalHeaderFixedSize];
    uint64_t header_size = 0;
    uint16_t name_size = 0;
    if (entry.local_header_offset < directory->cd_offset &&
        ReadBytes(source, entry.local_header_offset, header, sizeof header, &unused) ==
            DirectoryResult::kRead &&
        ReadLocalHeaderSize(header, &header_size, &name_size) && name_size == entry.name_size &&
        header_size + entry.compressed_size <= directory->cd_offset - entry.local_header_offset)
      entry.local_header_size = static_cast<uint32_t>(header_size);
  }
  // A few hundred entries tell the tool's habit; a package whose later
  // entries break it is caught by its signature.
  constexpr size_t kHeadersChecked = 256;
  uint64_t at = directory->cd_offset;
  size_t agreeing = 0;
  bool disagreeing = false;
  std::string predicted, local;
  for (size_t i = 0; i < std::min(kHeadersChecked, directory->entries.size()); ++i) {
    uint64_t record_size = 0, header_at = 0;
    if (!ReadCentralRecord(source.read, at, &record_size, &header_at, &predicted)) break;
    at += record_size;
    if (predicted.empty()) continue;
    local.assign(predicted.size(), '\0');
    const bool same =
        header_at + predicted.size() <= directory->cd_offset &&
        source.read(header_at, reinterpret_cast<unsigned char*>(&local[0]), local.size()) &&
        local == predicted;
    agreeing += same;
    disagreeing = disagreeing || !same;
  }
  directory->local_headers_repeat_central = agreeing > 0 && !disagreeing;
  return DirectoryResult::kRead;
}

bool ReadCentralRecord(const SpanReader& read, uint64_t offset, uint64_t* record_size,
                       uint64_t* local_header_offset, std::string* predicted) {
  unsigned char record[kCentralFixedSize];
  if (!read(offset, record, sizeof record) || LittleEndian(record, 4) != kCentralSignature)
    return false;
  const size_t name_size = static_cast<size_t>(LittleEndian(record + 28, 2)),
               extra_size = static_cast<size_t>(LittleEndian(record + 30, 2));
  *record_size = kCentralFixedSize + name_size + extra_size + LittleEndian(record + 32, 2);
  *local_header_offset = LittleEndian(record + 42, 4);
  predicted->clear();
  constexpr uint64_t kDescriptorFlag = 1u << 3;
  if ((LittleEndian(record + 8, 2) & kDescriptorFlag) ||
      LittleEndian(record + 20, 4) == kPlaceholder ||
      LittleEndian(record + 24, 4) == kPlaceholder || *local_header_offset == kPlaceholder)
    return true;
  predicted->resize(kLocalHeaderFixedSize + name_size + extra_size);
  unsigned char* header = reinterpret_cast<unsigned char*>(&(*predicted)[0]);
  static const unsigned char kLocalMagic[4] = {0x50, 0x4b, 0x03, 0x04};
  memcpy(header, kLocalMagic, 4);
  memcpy(header + 4, record + 6, 22);   // version needed to sizes
  memcpy(header + 26, record + 28, 4);  // name and extra field lengths
  if (!read(offset + kCentralFixedSize, header + kLocalHeaderFixedSize, name_size + extra_size)) {
    predicted->clear();
    return false;
  }
  return true;
}

DirectoryResult ReadZipDirectoryFromSpan(const SpanReader& read, uint64_t span_start,
                                         uint64_t file_size, ZipDirectory* directory,
                                         uint64_t* needed_start) {
  if (span_start > file_size) return DirectoryResult::kNotZip;
  if (span_start > 0 && file_size - span_start < kMinimumTail) {
    *needed_start = file_size - std::min(file_size, kMinimumTail);
    return DirectoryResult::kTailTooShort;
  }
  SpanStream stream{&read, span_start, file_size, 0};
  zlib_filefunc64_def functions{OpenTail, ReadTail,  WriteTail, TellTail,
                                SeekTail, CloseTail, ErrorTail, &stream};
  ArchivePtr archive(unzOpen2_64("span", &functions));
  if (!archive) return DirectoryResult::kNotZip;
  const Source source{read, span_start, file_size};
  const DirectoryResult result = ReadDirectory(archive.get(), source, directory, needed_start);
  // A span that could not be read is no verdict on the package.
  return result == DirectoryResult::kNotZip && stream.failed ? DirectoryResult::kUnreadable
                                                             : result;
}

DirectoryResult ReadZipDirectoryFromTail(const std::string& tail, uint64_t tail_start,
                                         uint64_t file_size, ZipDirectory* directory,
                                         uint64_t* needed_start) {
  if (tail_start > file_size || tail.size() != file_size - tail_start)
    return DirectoryResult::kNotZip;
  const SpanReader read = [&](uint64_t offset, unsigned char* out, size_t count) {
    memcpy(out, tail.data() + (offset - tail_start), count);
    return true;
  };
  return ReadZipDirectoryFromSpan(read, tail_start, file_size, directory, needed_start);
}

bool ReadLocalHeaderSize(const unsigned char* header, uint64_t* size, uint16_t* name_size) {
  if (LittleEndian(header, 4) != kLocalSignature) return false;
  *name_size = static_cast<uint16_t>(LittleEndian(header + 26, 2));
  *size = kLocalHeaderFixedSize + *name_size + LittleEndian(header + 28, 2);
  return true;
}

bool ApplyZip64Extra(const unsigned char* extra, size_t size,
                     std::initializer_list<ZPOS64_T*> fields) {
  constexpr unsigned kZip64Record = 0x0001;
  for (size_t at = 0; at + 4 <= size;) {
    const unsigned id = static_cast<unsigned>(LittleEndian(&extra[at], 2));
    const size_t length = static_cast<size_t>(LittleEndian(&extra[at + 2], 2));
    const size_t end = std::min(size, at + 4 + length);
    if (id == kZip64Record) {
      size_t field = at + 4;
      for (ZPOS64_T* value : fields) {
        if (*value != kPlaceholder) continue;
        if (field + 8 > end) return false;
        *value = LittleEndian(&extra[field], 8);
        field += 8;
      }
      return true;
    }
    at = end;
  }
  return true;
}

uint64_t LittleEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}
