#pragma once

// Spans of a file's bytes, as a Range request asks for them and as its
// answer delivers them, and the shaping of range requests: spans joined,
// split into requests, written as a Range value. Any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t end() const { return offset + length; }
};

inline bool operator==(const ByteRange& a, const ByteRange& b) {
  return a.offset == b.offset && a.length == b.length;
}

// Receives `count` bytes of the file that begin `offset` bytes from its
// start. False when they could not be kept: the transfer stops.
using DeliverBytes = std::function<bool(uint64_t offset, const char* data, std::size_t count)>;

// Ranges closer than this are fetched as one (see byte_range.cpp for why).
inline constexpr uint64_t kCoalesceGap = 256;
// The longest Range header value of one request: well under the 8 KiB that
// servers (nginx by default) take for a whole header line.
inline constexpr std::size_t kMaxRangeValue = 4000;
// The most ranges in one request: Apache answers more than its default
// MaxRanges (200) with the whole file.
inline constexpr std::size_t kMaxRangesPerRequest = 200;

// Appends a range to ranges in order of their starts, joined with the last
// one where they overlap or lie less than `gap` apart.
void AddRange(std::vector<ByteRange>* ranges, ByteRange range, uint64_t gap);

// Ranges in any order joined where they overlap or lie less than `gap`
// bytes apart; in file order.
std::vector<ByteRange> CoalesceRanges(std::vector<ByteRange> ranges, uint64_t gap = kCoalesceGap);

// Ranges (in file order) split into requests, in order, each with a Range
// value (RangeHeaderValue) of at most max_value characters and at most
// kMaxRangesPerRequest ranges.
std::vector<std::vector<ByteRange>> BatchRanges(const std::vector<ByteRange>& ranges,
                                                std::size_t max_value = kMaxRangeValue);

// "first-last,first-last,..." for the ranges of one request: the value of
// a Range header after "bytes=".
std::string RangeSpec(const std::vector<ByteRange>& batch);
