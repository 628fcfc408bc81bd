#include "delta_rebuild.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "zip_directory.h"

namespace {

// The house block: few, large reads and writes.
constexpr size_t kBlockSize = 256 * 1024;

// A spool record: its head, and at most a block of the package's bytes.
constexpr size_t kRecordHead = 16;
constexpr size_t kRecordData = kBlockSize;
constexpr size_t kReadBuffer = 64 * 1024;

uint64_t Crc(const char* data, size_t count) {
  return crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data),
               static_cast<uInt>(count));
}

// The rebuild reads the spool and the kept package piece by piece, and a
// package of many small entries makes many small pieces close together: a
// read buffer serves those, and seeks within it, without a system call.
FilePtr ReadBuffered(FilePtr file) {
  if (!file) return file;
  // The buffer is the stream's owner's, freed after the stream is closed.
  std::unique_ptr<char[]>& buffer = file.get_deleter().buffer;
  buffer.reset(new (std::nothrow) char[kReadBuffer]);
  if (buffer) setvbuf(file.get(), buffer.get(), _IOFBF, kReadBuffer);
  return file;
}

void PutLittleEndian(unsigned char* out, uint64_t value, size_t count) {
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

FetchedBytes::~FetchedBytes() { WriteRecord(); }

bool FetchedBytes::Open(const Path& spool) {
  path_ = spool;
  reader_.reset();
  read_at_ = UINT64_MAX;
  runs_.clear();
  pending_.clear();
  spool_size_ = 0;
  sorted_ = 0;
  writer_ = OpenFileForWriting(spool);
  return writer_ != nullptr;
}

uint64_t FetchedBytes::TakeEarlier(const Path& earlier) {
  FilePtr file = OpenFileForReading(earlier);
  uint64_t taken = 0;
  unsigned char head[kRecordHead];
  std::string data;
  // A killed run's last record may be torn, and a crash may leave zeros or
  // garbage where the system had not yet written: the first record that
  // does not hold together ends what is taken.
  while (file && fread(head, 1, sizeof head, file.get()) == sizeof head) {
    const uint64_t offset = LittleEndian(head, 8);
    const size_t size = static_cast<size_t>(LittleEndian(head + 8, 4));
    if (size == 0 || size > kRecordData) break;
    data.resize(size);
    if (fread(&data[0], 1, size, file.get()) != size ||
        Crc(data.data(), size) != LittleEndian(head + 12, 4) || !Keep(offset, data.data(), size))
      break;
    taken += size;
  }
  return taken;
}

bool FetchedBytes::Add(uint64_t offset, const char* data, size_t count) {
  if (!Keep(offset, data, count)) return false;
  received_ += count;
  return true;
}

bool FetchedBytes::Keep(uint64_t offset, const char* data, size_t count) {
  while (count > 0) {
    if (!pending_.empty() && offset != pending_offset_ + pending_.size() && !WriteRecord())
      return false;
    if (pending_.empty()) pending_offset_ = offset;
    const size_t n = std::min(count, kRecordData - pending_.size());
    pending_.append(data, n);
    offset += n;
    data += n;
    count -= n;
    // A whole record goes to the system at once: a killed run loses at
    // most the record it was filling.
    if (pending_.size() == kRecordData && (!WriteRecord() || fflush(writer_.get()) != 0))
      return false;
  }
  return true;
}

bool FetchedBytes::WriteRecord() {
  if (pending_.empty()) return true;
  unsigned char head[kRecordHead];
  PutLittleEndian(head, pending_offset_, 8);
  PutLittleEndian(head + 8, pending_.size(), 4);
  PutLittleEndian(head + 12, Crc(pending_.data(), pending_.size()), 4);
  if (!writer_ || fwrite(head, 1, sizeof head, writer_.get()) != sizeof head ||
      fwrite(pending_.data(), 1, pending_.size(), writer_.get()) != pending_.size())
    return false;
  runs_.push_back({pending_offset_, pending_.size(), spool_size_ + kRecordHead});
  spool_size_ += kRecordHead + pending_.size();
  pending_.clear();
  return true;
}

bool FetchedBytes::Flush() {
  if (!WriteRecord() || !writer_ || fflush(writer_.get()) != 0) return false;
  if (!reader_) reader_ = ReadBuffered(OpenFileForReading(path_));
  if (!reader_) return false;
  // The server's parts may come in any order and overlap (it may merge ranges):
  // in file order, each byte is kept once.
  std::stable_sort(runs_.begin(), runs_.end(),
                   [](const Run& a, const Run& b) { return a.offset < b.offset; });
  std::vector<Run> apart;
  apart.reserve(runs_.size());
  for (Run run : runs_) {
    if (!apart.empty()) {
      const uint64_t covered = apart.back().offset + apart.back().length;
      if (covered >= run.offset + run.length) continue;
      if (covered > run.offset) {
        const uint64_t overlap = covered - run.offset;
        run.offset += overlap;
        run.spool_offset += overlap;
        run.length -= overlap;
      }
    }
    apart.push_back(run);
  }
  runs_.swap(apart);
  sorted_ = runs_.size();
  return true;
}

const FetchedBytes::Run* FetchedBytes::RunAt(uint64_t offset) const {
  // Only what Flush sorted: runs added since are in arrival order.
  const auto sorted_end = runs_.begin() + static_cast<std::ptrdiff_t>(sorted_);
  auto after = std::upper_bound(runs_.begin(), sorted_end, offset,
                                [](uint64_t at, const Run& run) { return at < run.offset; });
  if (after == runs_.begin()) return nullptr;
  const Run& run = *(after - 1);
  return offset < run.offset + run.length ? &run : nullptr;
}

bool FetchedBytes::Holds(uint64_t offset, uint64_t length) const {
  const uint64_t end = offset + length;
  while (offset < end) {
    const Run* run = RunAt(offset);
    if (!run) return false;
    offset = run->offset + run->length;
  }
  return true;
}

std::vector<ByteRange> FetchedBytes::Missing(const std::vector<ByteRange>& ranges) const {
  std::vector<ByteRange> missing;
  const auto sorted_end = runs_.begin() + static_cast<std::ptrdiff_t>(sorted_);
  for (const ByteRange& range : ranges) {
    uint64_t at = range.offset;
    while (at < range.end()) {
      if (const Run* run = RunAt(at)) {
        at = run->offset + run->length;
        continue;
      }
      const auto next =
          std::upper_bound(runs_.begin(), sorted_end, at,
                           [](uint64_t offset, const Run& run) { return offset < run.offset; });
      const uint64_t until = next == sorted_end ? range.end() : std::min(range.end(), next->offset);
      AddRange(&missing, {at, until - at}, kCoalesceGap);
      at = until;
    }
  }
  return missing;
}

bool FetchedBytes::Read(uint64_t offset, char* out, size_t count) {
  while (count > 0) {
    const Run* run = RunAt(offset);
    if (!run || !reader_) return false;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(count, run->offset + run->length - offset));
    // Reads that follow each other need no seek (a seek costs a system
    // call, even within the buffer); one after the end of what the file
    // held does, since the stream has noted the end.
    const uint64_t at = run->spool_offset + (offset - run->offset);
    const bool there = at == read_at_ && !feof(reader_.get());
    read_at_ = UINT64_MAX;
    if ((!there && !SeekFile(reader_.get(), at)) || fread(out, 1, n, reader_.get()) != n)
      return false;
    read_at_ = at + n;
    offset += n;
    out += n;
    count -= n;
  }
  return true;
}

RebuildResult WriteRebuilt(const std::vector<DeltaPiece>& pieces, const Path& kept_package,
                           FetchedBytes* fetched, const ByteSink& sink,
                           const std::function<bool()>& keep_going) {
  std::unique_ptr<char[]> block(new (std::nothrow) char[kBlockSize]);
  if (!block) return RebuildResult::kSinkFailed;
  FilePtr kept = ReadBuffered(OpenFileForReading(kept_package));
  for (const DeltaPiece& piece : pieces) {
    if (piece.from_kept && (!kept || !SeekFile(kept.get(), piece.kept_offset)))
      return RebuildResult::kKeptUnreadable;
    for (uint64_t done = 0; done < piece.length;) {
      if (keep_going && !keep_going()) return RebuildResult::kStopped;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlockSize, piece.length - done));
      if (piece.from_kept) {
        if (fread(block.get(), 1, n, kept.get()) != n) return RebuildResult::kKeptUnreadable;
      } else if (!fetched->Read(piece.offset + done, block.get(), n)) {
        return RebuildResult::kMissing;
      }
      if (!sink(block.get(), n)) return RebuildResult::kSinkFailed;
      done += n;
    }
  }
  return RebuildResult::kWritten;
}
