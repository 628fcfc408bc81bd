// Feeds arbitrary 206 answers to the reader of Range bodies, in pieces of
// arbitrary sizes, and checks what it delivers: every run lies inside the
// file and inside the ranges asked for, and all runs together are
// never more than was asked for. Also parses arbitrary Content-Range text.
//
// Input, in order:
//   8 bytes   the file's size, little-endian
//   1 byte    how many ranges were asked for (0 to 7)
//   per range 4 bytes of gap after the last one, 4 of length (little-endian;
//             clipped to the file, as a real request's ranges are)
//   1 byte    how many piece sizes follow, then one byte each: the body is
//             fed in pieces of these sizes in turn (0 feeds nothing), the
//             rest at once
//   a line    the Content-Type header (to '\n')
//   a line    the Content-Range header (to '\n'), also parsed on its own
//   the rest  the body

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "multipart.h"
#include "transport.h"

namespace {

[[noreturn]] void Fail(const char* what, uint64_t offset, size_t count) {
  fprintf(stderr, "range_body_fuzzer: %s: %llu bytes at %llu\n", what,
          static_cast<unsigned long long>(count), static_cast<unsigned long long>(offset));
  abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint64_t Number(size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes && at_ < size_; ++i, ++at_)
      value |= uint64_t{data_[at_]} << (8 * i);
    return value;
  }
  std::string Line() {
    std::string line;
    while (at_ < size_ && data_[at_] != '\n') line += static_cast<char>(data_[at_++]);
    if (at_ < size_) ++at_;
    return line;
  }
  const char* rest() const { return reinterpret_cast<const char*>(data_) + at_; }
  size_t left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const uint64_t file_size = input.Number(8);
  std::vector<ByteRange> requested;
  uint64_t asked = 0, at = 0;
  for (uint64_t n = input.Number(1) % 8; n > 0; --n) {
    const uint64_t gap = input.Number(4), length = input.Number(4);
    if (at > file_size || gap > file_size - at) break;
    const uint64_t offset = at + gap;
    const uint64_t clipped = std::min(length, file_size - offset);
    if (clipped == 0) break;
    requested.push_back({offset, clipped});
    asked += clipped;
    at = offset + clipped;
  }
  std::vector<size_t> pieces;
  for (uint64_t n = input.Number(1); n > 0; --n) pieces.push_back(input.Number(1));
  const std::string content_type = input.Line(), content_range = input.Line();

  uint64_t first = 0, last = 0, total = 0;
  if (ParseContentRange(content_range, &first, &last, &total)) {
    if (!(first <= last && last < total))
      Fail("a Content-Range parsed that is empty or outside its total", first, 0);
    // What was read, written plainly, reads the same.
    const std::string plain =
        "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(total);
    uint64_t again[3] = {};
    if (!ParseContentRange(plain, &again[0], &again[1], &again[2]) || again[0] != first ||
        again[1] != last || again[2] != total)
      Fail("a Content-Range that does not read back", first, 0);
  }

  uint64_t delivered = 0;
  // Adjacent ranges are one span of the file: a run may cross from one to
  // the next.
  const std::vector<ByteRange> spans = CoalesceRanges(requested, 0);
  const DeliverBytes deliver = [&](uint64_t offset, const char*, size_t count) {
    if (offset > file_size || count > file_size - offset) Fail("run past the file", offset, count);
    bool inside = false;
    for (const ByteRange& r : spans)
      inside = inside || (offset >= r.offset && offset - r.offset <= r.length &&
                          count <= r.length - (offset - r.offset));
    if (!inside) Fail("run outside the requested ranges", offset, count);
    delivered += count;
    if (delivered > asked) Fail("more bytes than were asked for", offset, count);
    return true;
  };
  RangeBodyReader reader(content_type, content_range, file_size, requested, deliver);
  const char* body = input.rest();
  size_t left = input.left();
  for (size_t i = 0; i < pieces.size() && left > 0; ++i) {
    const size_t n = std::min(pieces[i], left);
    reader.Feed(body, n);
    body += n;
    left -= n;
  }
  reader.Feed(body, left);
  reader.Finish();
  uint64_t uncovered = 0;
  for (const ByteRange& r : reader.Uncovered()) uncovered += r.length;
  if (uncovered > asked) Fail("more uncovered than was asked for", 0, uncovered);
  return 0;
}
