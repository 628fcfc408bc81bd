#pragma once

// The body of an HTTP 206 answer to a Range request, read as it arrives:
// either one part (the answer's own Content-Range says which bytes) or
// "multipart/byteranges", each part with its own Content-Range, parts in any
// order and one part possibly covering several of the ranges asked for.
// Fed the body in pieces of any size, as libcurl's write callback hands them
// over (a boundary may be split between two); only the header line being
// read is buffered.
//
// Bounded by what was asked: only bytes of the requested ranges are
// delivered, each at most once; a part that names no requested byte or
// repeats delivered ones is malformed; the bytes a part carries beyond the
// ranges (a server may join close ranges) may not outgrow the requested
// bytes, nor the part headers and boundaries a small allowance per range;
// nothing after the closing boundary is read. One thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_range.h"

class RangeBodyReader {
 public:
  // `content_type` and `content_range`: the answer's headers (empty when it
  // had none); `file_size`: the whole file's size, which every
  // Content-Range must name; `requested`: the ranges the request asked for;
  // `deliver`: gets the file's bytes, each run with its offset.
  RangeBodyReader(const std::string& content_type, const std::string& content_range,
                  uint64_t file_size, const std::vector<ByteRange>& requested,
                  DeliverBytes deliver);

  // Reads the next bytes of the body. False once the body is malformed,
  // `deliver` refused bytes, or the body has ended (done()); every later
  // call is false too.
  bool Feed(const char* data, std::size_t count);
  // After the last bytes: true when the body ended where it should (after
  // the closing boundary, or after the single part's last byte).
  bool Finish();
  // The closing boundary (or the single part's last byte) has been read.
  bool done() const { return state_ == State::kDone; }
  // True when the body was malformed (as opposed to refused by `deliver`).
  bool malformed() const { return state_ == State::kMalformed; }
  // The requested bytes that no part delivered, in file order.
  std::vector<ByteRange> Uncovered() const;

 private:
  enum class State { kPreamble, kHeaders, kData, kAfterData, kDone, kMalformed, kRefused };

  bool TakeLine(const std::string& line);
  bool BeginPart(uint64_t first, uint64_t last);
  bool Fail(State state);

  const uint64_t file_size_;
  std::vector<ByteRange> requested_;  // joined, in file order
  const DeliverBytes deliver_;
  std::string boundary_;  // empty: a single part
  State state_ = State::kPreamble;
  std::string line_;
  bool has_range_ = false;        // the part's headers named its bytes
  uint64_t part_at_ = 0;          // the next byte's offset in the file
  uint64_t part_remaining_ = 0;   // bytes of the part still to come
  std::vector<ByteRange> parts_;  // every part's span so far
  uint64_t requested_bytes_ = 0;
  uint64_t outside_ = 0;  // part bytes outside the requested ranges
  uint64_t framing_ = 0;  // bytes that were no part's data
  uint64_t framing_limit_ = 0;
};
