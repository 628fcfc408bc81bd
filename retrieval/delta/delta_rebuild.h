#pragma once

// Writing the new package of a delta update in order, from its layout
// (delta_plan.h): pieces of the kept package copied from its file, pieces
// from the server taken from what the server sent. The server sends in an
// order of its own, and sends everything before the package is written, so
// its bytes wait in a spool file (in update/), not in memory: the rebuild
// takes one 256 KiB block, the spool's write buffer and an index of what
// arrived, whatever the package's size. One thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "byte_range.h"
#include "delta_plan.h"
#include "file_output.h"
#include "path.h"

// Receives the next bytes of the new package, in order. False when they
// could not be written (a full disk): the rebuild ends.
using ByteSink = std::function<bool(const char* data, std::size_t count)>;

// Fetches the ranges of `batches`, a request each (in file order; its
// Range value is RangeSpec(batch)), sent together, and hands every byte
// the server sends to `deliver`, with its offset in the package, in
// whatever order it arrives. False when a transfer failed, the server did
// not deliver every range (RangeBodyReader::Uncovered), or `deliver`
// refused bytes.
using FetchRanges = std::function<bool(const std::vector<std::vector<ByteRange>>& batches,
                                       const DeliverBytes& deliver)>;

// The new package's bytes that came from the server (its tail, the
// directory and whatever the range requests brought) in a spool file. The
// spool is a series of records, each one span of the package behind a
// 16-byte head (offset, length, CRC-32; little-endian), so that a spool
// left by a run that was cut off or killed can be read back up to its last
// whole record.
class FetchedBytes {
 public:
  FetchedBytes() = default;
  // Writes what was added since the last Flush: a rebuild that ends early
  // leaves every byte it received in the spool.
  ~FetchedBytes();
  FetchedBytes(const FetchedBytes&) = delete;
  FetchedBytes& operator=(const FetchedBytes&) = delete;

  // Creates (or empties) the spool file. The caller removes it when done.
  bool Open(const Path& spool);
  // Takes into the spool, as if fetched (not counted as received), every
  // whole record of the spool an earlier run left at `earlier`, up to the
  // first that is torn or damaged. Returns the bytes taken.
  uint64_t TakeEarlier(const Path& earlier);
  // Keeps bytes of the package (a DeliverBytes). False when the spool
  // cannot take them.
  bool Add(uint64_t offset, const char* data, std::size_t count);
  // Makes everything added so far readable (Holds and Read see nothing
  // added since the last Flush). False when the spool could not be
  // written.
  bool Flush();
  // Whether every byte of the span is here (added and flushed).
  bool Holds(uint64_t offset, uint64_t length) const;
  // What of `ranges` (in file order) is not here, in file order.
  std::vector<ByteRange> Missing(const std::vector<ByteRange>& ranges) const;
  // Copies bytes of the package that are here into `out`; false when some
  // are not, or the spool cannot be read.
  bool Read(uint64_t offset, char* out, std::size_t count);
  // Bytes added so far.
  uint64_t received() const { return received_; }

 private:
  struct Run {
    uint64_t offset;  // in the package
    uint64_t length;
    uint64_t spool_offset;
  };
  // The run that holds the byte at `offset`, or null.
  const Run* RunAt(uint64_t offset) const;
  bool Keep(uint64_t offset, const char* data, std::size_t count);
  // Writes the pending bytes as one record.
  bool WriteRecord();

  Path path_;
  FilePtr writer_, reader_;
  std::vector<Run> runs_;   // after Flush: in file order, apart
  std::size_t sorted_ = 0;  // runs_ up to here are sorted: the rest came after Flush
  std::string pending_;     // the next record's bytes, which begin at pending_offset_
  uint64_t pending_offset_ = 0;
  uint64_t read_at_ = UINT64_MAX;  // where reader_ stands, when known
  uint64_t spool_size_ = 0;
  uint64_t received_ = 0;
};

enum class RebuildResult {
  kWritten,
  kMissing,         // server bytes that are not here, or a spool that cannot be read
  kKeptUnreadable,  // the kept package cannot be opened or is shorter than the pieces say
  kSinkFailed,
  kStopped,  // keep_going said no
};

// Writes the package's pieces, in order, to `sink`: from the kept package
// at kept_package, or from `fetched`. `keep_going`, when set, is asked
// before each block.
RebuildResult WriteRebuilt(const std::vector<DeltaPiece>& pieces, const Path& kept_package,
                           FetchedBytes* fetched, const ByteSink& sink,
                           const std::function<bool()>& keep_going = nullptr);
