#include "delta_rebuild.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The house block: few, large reads and writes.
constexpr size_t kBlockSize = 256 * 1024;

}  // namespace

bool FetchedBytes::Open(const Path& spool) {
  path_ = spool;
  reader_.reset();
  runs_.clear();
  spool_size_ = 0;
  sorted_ = 0;
  writer_ = OpenFileForWriting(spool);
  return writer_ != nullptr;
}

bool FetchedBytes::Add(uint64_t offset, const char* data, size_t count) {
  if (!writer_ || fwrite(data, 1, count, writer_.get()) != count) return false;
  received_ += count;
  if (runs_.size() > sorted_) {
    Run& last = runs_.back();
    if (last.offset + last.length == offset && last.spool_offset + last.length == spool_size_) {
      last.length += count;
      spool_size_ += count;
      return true;
    }
  }
  runs_.push_back({offset, count, spool_size_});
  spool_size_ += count;
  return true;
}

bool FetchedBytes::Flush() {
  if (!writer_ || fflush(writer_.get()) != 0) return false;
  if (!reader_) reader_ = OpenFileForReading(path_);
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

bool FetchedBytes::Read(uint64_t offset, char* out, size_t count) {
  while (count > 0) {
    const Run* run = RunAt(offset);
    if (!run || !reader_) return false;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(count, run->offset + run->length - offset));
    if (!SeekFile(reader_.get(), run->spool_offset + (offset - run->offset)) ||
        fread(out, 1, n, reader_.get()) != n)
      return false;
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
  FilePtr kept = OpenFileForReading(kept_package);
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
