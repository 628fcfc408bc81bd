#pragma once

// Spans of a file's bytes, as a Range request asks for them and as its
// answer delivers them. Any thread.

#include <cstddef>
#include <cstdint>
#include <functional>

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
