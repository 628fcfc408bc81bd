#include "multipart.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport.h"

namespace {

// Header lines longer than this are no part headers a server would send.
constexpr size_t kMaxLine = 4096;
// Boundaries and part headers: about 110 bytes a part from the servers
// seen, with room for longer boundaries and a preamble.
constexpr uint64_t kFramingPerRange = 512;
constexpr uint64_t kFramingBase = 4096;

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string Trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The boundary parameter of a "multipart/byteranges" media type, quoted or
// not; empty for any other type, or when there is none.
std::string BoundaryOf(const std::string& content_type) {
  const size_t semicolon = content_type.find(';');
  if (Lower(Trimmed(content_type.substr(0, semicolon))) != "multipart/byteranges") return {};
  size_t at = semicolon;
  while (at != std::string::npos && at < content_type.size()) {
    const size_t equals = content_type.find('=', at + 1);
    if (equals == std::string::npos) return {};
    const std::string name = Lower(Trimmed(content_type.substr(at + 1, equals - at - 1)));
    std::string value;
    size_t i = equals + 1;
    while (i < content_type.size() && (content_type[i] == ' ' || content_type[i] == '\t')) ++i;
    if (i < content_type.size() && content_type[i] == '"') {
      for (++i; i < content_type.size() && content_type[i] != '"'; ++i) {
        if (content_type[i] == '\\' && i + 1 < content_type.size()) ++i;
        value += content_type[i];
      }
      at = content_type.find(';', i);
    } else {
      at = content_type.find(';', i);
      value = Trimmed(content_type.substr(i, at == std::string::npos ? at : at - i));
    }
    if (name == "boundary") return value;
  }
  return {};
}

// "bytes first-last/total" naming bytes of a file of file_size bytes.
bool ParseRangeOf(const std::string& header, uint64_t file_size, uint64_t* first, uint64_t* last) {
  uint64_t total = 0;
  return ParseContentRange(header, first, last, &total) && total == file_size;
}

// The first of `ranges` (joined, in file order) that ends after `offset`.
std::vector<ByteRange>::const_iterator RangeFrom(const std::vector<ByteRange>& ranges,
                                                 uint64_t offset) {
  return std::upper_bound(ranges.begin(), ranges.end(), offset,
                          [](uint64_t at, const ByteRange& range) { return at < range.end(); });
}

}  // namespace

RangeBodyReader::RangeBodyReader(const std::string& content_type, const std::string& content_range,
                                 uint64_t file_size, const std::vector<ByteRange>& requested,
                                 DeliverBytes deliver)
    : file_size_(file_size),
      requested_(CoalesceRanges(requested, 0)),
      deliver_(std::move(deliver)),
      boundary_(BoundaryOf(content_type)) {
  for (const ByteRange& range : requested_) requested_bytes_ += range.length;
  framing_limit_ = kFramingBase + kFramingPerRange * requested_.size();
  if (!boundary_.empty()) return;
  // One part: the answer's own Content-Range.
  uint64_t first = 0, last = 0;
  if (!ParseRangeOf(content_range, file_size_, &first, &last) || !BeginPart(first, last)) {
    state_ = State::kMalformed;
    return;
  }
  state_ = State::kData;
}

bool RangeBodyReader::Fail(State state) {
  state_ = state;
  return false;
}

bool RangeBodyReader::BeginPart(uint64_t first, uint64_t last) {
  const ByteRange part{first, last - first + 1};
  // A part must bring requested bytes, and none that came already.
  const auto range = RangeFrom(requested_, first);
  if (range == requested_.end() || range->offset > last) return false;
  for (const ByteRange& earlier : parts_)
    if (earlier.offset < part.end() && part.offset < earlier.end()) return false;
  parts_.push_back(part);
  part_at_ = first;
  part_remaining_ = part.length;
  return true;
}

bool RangeBodyReader::Feed(const char* data, size_t count) {
  for (size_t i = 0; i < count;) {
    switch (state_) {
      case State::kData: {
        size_t n = static_cast<size_t>(std::min<uint64_t>(count - i, part_remaining_));
        // Bytes of the requested ranges go on; those between them are
        // passed over, within bounds.
        const auto range = RangeFrom(requested_, part_at_);
        if (range != requested_.end() && range->offset <= part_at_) {
          n = static_cast<size_t>(std::min<uint64_t>(n, range->end() - part_at_));
          if (!deliver_(part_at_, data + i, n)) return Fail(State::kRefused);
        } else {
          if (range != requested_.end())
            n = static_cast<size_t>(std::min<uint64_t>(n, range->offset - part_at_));
          outside_ += n;
          if (outside_ > requested_bytes_) return Fail(State::kMalformed);
        }
        part_at_ += n;
        part_remaining_ -= n;
        i += n;
        if (part_remaining_ == 0) state_ = boundary_.empty() ? State::kDone : State::kAfterData;
        break;
      }
      case State::kDone:
        // Nothing after the end is read: a single part has no more, and a
        // multipart body's epilogue means nothing. A body that ends with
        // its closing boundary ends its transfer as usual, and leaves the
        // connection open for the next request.
        if (boundary_.empty()) state_ = State::kMalformed;
        return false;
      case State::kMalformed:
      case State::kRefused:
        return false;
      default: {
        const char* newline = static_cast<const char*>(memchr(data + i, '\n', count - i));
        const size_t end = newline ? static_cast<size_t>(newline - data) : count;
        line_.append(data + i, end - i);
        framing_ += end - i + (newline ? 1 : 0);
        i = newline ? end + 1 : count;
        if (line_.size() > kMaxLine || framing_ > framing_limit_) return Fail(State::kMalformed);
        if (!newline) break;
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        const bool taken = TakeLine(line_);
        line_.clear();
        if (!taken) return Fail(State::kMalformed);
      }
    }
  }
  return true;
}

// One line outside a part's data, without its line end. False when it has
// no place there.
bool RangeBodyReader::TakeLine(const std::string& line) {
  if (state_ == State::kHeaders) {
    if (line.empty()) {
      if (!has_range_) return false;
      state_ = State::kData;
      return true;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    if (Lower(Trimmed(line.substr(0, colon))) != "content-range") return true;
    uint64_t first = 0, last = 0;
    if (has_range_ || !ParseRangeOf(line.substr(colon + 1), file_size_, &first, &last) ||
        !BeginPart(first, last))
      return false;
    has_range_ = true;
    return true;
  }
  // Blanks may follow a boundary.
  const std::string delimiter = "--" + boundary_, trimmed = Trimmed(line);
  if (trimmed == delimiter) {
    state_ = State::kHeaders;
    has_range_ = false;
    return true;
  }
  if (trimmed == delimiter + "--") {
    state_ = State::kDone;
    return true;
  }
  // Before the first boundary anything goes; between parts, only the line
  // end that precedes a boundary.
  return state_ == State::kPreamble || trimmed.empty();
}

bool RangeBodyReader::Finish() { return state_ == State::kDone; }

std::vector<ByteRange> RangeBodyReader::Uncovered() const {
  // What a part brought: its span up to where it stopped.
  std::vector<ByteRange> delivered = parts_;
  if (!delivered.empty() && part_remaining_ > 0 && state_ != State::kDone)
    delivered.back().length -= part_remaining_;
  delivered = CoalesceRanges(std::move(delivered), 0);
  std::vector<ByteRange> missing;
  for (const ByteRange& range : requested_) {
    uint64_t at = range.offset;
    for (const ByteRange& got : delivered) {
      if (got.end() <= at) continue;
      if (got.offset >= range.end()) break;
      if (got.offset > at) missing.push_back({at, got.offset - at});
      at = std::max(at, got.end());
    }
    if (at < range.end()) missing.push_back({at, range.end() - at});
  }
  return missing;
}
