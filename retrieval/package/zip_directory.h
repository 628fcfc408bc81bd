#pragma once

// The central directory of a zip file, read with the unzip library, for the
// delta update: what each entry's data is (checksum, sizes, method, flags)
// and where it lies. Two sources: a file on disk (the kept package) and the
// tail of a file that is elsewhere (bytes [tail_start, file_size) of a new
// package, fetched with a Range request), in memory or read on demand. Any thread; nothing here
// prints.

#include <unzip.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "path.h"

// 40 bytes: a directory of 100,000 entries takes 4 MB.
struct ZipEntry {
  uint64_t local_header_offset = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  // The local header's whole length, from that header; 0 when it was not
  // read (a tail) or is not sound.
  uint32_t local_header_size = 0;
  uint32_t crc = 0;
  uint16_t method = 0;
  uint16_t flags = 0;  // general purpose bit flags
  uint16_t name_size = 0;
  uint16_t extra_size = 0;  // the central record's extra field

  // Where the compressed data begins; 0 when the local header was not read.
  uint64_t data_offset() const {
    return local_header_size == 0 ? 0 : local_header_offset + local_header_size;
  }
};

struct ZipDirectory {
  uint64_t file_size = 0;
  uint64_t cd_offset = 0;  // where the central directory begins
  uint64_t cd_size = 0;
  uint64_t entry_count = 0;       // as the end records say
  std::vector<ZipEntry> entries;  // in the central directory's order
  // Read from a file: its tool repeats the central records in the local
  // headers (see PredictLocalHeader), as the first entries show.
  bool local_headers_repeat_central = false;
};

enum class DirectoryResult {
  kRead,
  kUnreadable,    // the file cannot be opened or read
  kNotZip,        // no zip end records, or a layout this reader does not take
                  // (bytes before the archive, records that disagree)
  kTailTooShort,  // the tail begins after the central directory or the end records
};

// The shortest tail that always holds a zip's end records (the end record
// with the longest comment, and the Zip64 locator and record before it).
inline constexpr uint64_t kMinimumTail = 68 * 1024;

// Reads the directory of the zip file at `path`, each entry with its data
// offset from its local header (0 for an entry whose local header is
// missing or disagrees on the name's length).
DirectoryResult ReadZipDirectory(const Path& path, ZipDirectory* directory);

// Copies `count` bytes of a file from `offset` into `out`; false when they
// cannot be had.
using SpanReader = std::function<bool(uint64_t offset, unsigned char* out, std::size_t count)>;

// Reads the directory of a zip file of `file_size` bytes of which `read`
// gives bytes [span_start, file_size); data offsets stay 0. The span must
// hold at least kMinimumTail bytes, or the whole file. kTailTooShort puts
// into *needed_start where a span must begin: the central directory's
// offset once the end records were read, else file_size - kMinimumTail.
// kUnreadable when `read` failed.
DirectoryResult ReadZipDirectoryFromSpan(const SpanReader& read, uint64_t span_start,
                                         uint64_t file_size, ZipDirectory* directory,
                                         uint64_t* needed_start);

// The same over a tail held in memory: `tail` holds bytes
// [tail_start, file_size).
DirectoryResult ReadZipDirectoryFromTail(const std::string& tail, uint64_t tail_start,
                                         uint64_t file_size, ZipDirectory* directory,
                                         uint64_t* needed_start);

// Reads the central record at `offset`: its length, where its entry's
// local header is, and into *predicted that local header as a tool that
// repeats the central record writes it (the record's version needed,
// flags, method, time, checksum, sizes, name and extra field), or nothing
// where no such header can be told: an entry with a data descriptor or
// Zip64 values. False when the record cannot be read or is none.
bool ReadCentralRecord(const SpanReader& read, uint64_t offset, uint64_t* record_size,
                       uint64_t* local_header_offset, std::string* predicted);

// The fixed part of a local header, before its name and extra field.
inline constexpr std::size_t kLocalHeaderFixedSize = 30;

// From the fixed part of a local header: its whole length (fixed part, name
// and extra field) and its name's length. False when `header` is no local
// header.
bool ReadLocalHeaderSize(const unsigned char* header, uint64_t* size, uint16_t* name_size);

// The values of the Zip64 extra field in an entry's central `extra` field
// stand, in order, for the fields that hold 0xFFFFFFFF: each of `fields`
// that holds it takes the next value. False when a value is missing. An
// extra field without Zip64 values changes nothing.
bool ApplyZip64Extra(const unsigned char* extra, std::size_t size,
                     std::initializer_list<ZPOS64_T*> fields);

// Little-endian unsigned value of `count` bytes.
uint64_t LittleEndian(const unsigned char* bytes, std::size_t count);
