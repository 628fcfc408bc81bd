#include "multipart.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "delta_plan.h"

namespace {

// Header lines longer than this are no part headers a server would send.
constexpr size_t kMaxLine = 4096;

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

bool ParseNumber(const std::string& text, size_t* at, uint64_t* value) {
  const size_t begin = *at;
  *value = 0;
  for (; *at < text.size() && text[*at] >= '0' && text[*at] <= '9'; ++*at) {
    const uint64_t digit = static_cast<uint64_t>(text[*at] - '0');
    if (*value > (UINT64_MAX - digit) / 10) return false;
    *value = *value * 10 + digit;
  }
  return *at > begin;
}

// "bytes first-last/total" naming bytes of a file of file_size bytes.
bool ParseRangeOf(const std::string& header, uint64_t file_size, uint64_t* first, uint64_t* last) {
  uint64_t total = 0;
  return ParseContentRange(header, first, last, &total) && total == file_size;
}

}  // namespace

bool ParseContentRange(const std::string& header, uint64_t* first, uint64_t* last,
                       uint64_t* total) {
  const std::string value = Trimmed(header);
  if (Lower(value.substr(0, 5)) != "bytes") return false;
  size_t at = 5;
  while (at < value.size() && value[at] == ' ') ++at;
  if (!ParseNumber(value, &at, first) || at >= value.size() || value[at++] != '-' ||
      !ParseNumber(value, &at, last) || at >= value.size() || value[at++] != '/' ||
      !ParseNumber(value, &at, total) || at != value.size())
    return false;
  return *first <= *last && *last < *total;
}

RangeBodyReader::RangeBodyReader(const std::string& content_type, const std::string& content_range,
                                 uint64_t file_size, std::vector<ByteRange> requested,
                                 DeliverBytes deliver)
    : file_size_(file_size),
      requested_(std::move(requested)),
      deliver_(std::move(deliver)),
      boundary_(BoundaryOf(content_type)) {
  if (!boundary_.empty()) return;
  // One part: the answer's own Content-Range.
  uint64_t first = 0, last = 0;
  if (!ParseRangeOf(content_range, file_size_, &first, &last)) {
    state_ = State::kMalformed;
    return;
  }
  BeginRange(first, last);
  state_ = State::kData;
}

void RangeBodyReader::BeginRange(uint64_t first, uint64_t last) {
  part_first_ = part_at_ = first;
  part_remaining_ = last - first + 1;
}

void RangeBodyReader::EndRange() {
  if (part_at_ > part_first_) delivered_.push_back({part_first_, part_at_ - part_first_});
  part_first_ = part_at_;
}

bool RangeBodyReader::Feed(const char* data, size_t count) {
  for (size_t i = 0; i < count;) {
    switch (state_) {
      case State::kData: {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count - i, part_remaining_));
        if (!deliver_(part_at_, data + i, n)) {
          EndRange();
          state_ = State::kRefused;
          return false;
        }
        part_at_ += n;
        part_remaining_ -= n;
        i += n;
        if (part_remaining_ == 0) {
          EndRange();
          state_ = boundary_.empty() ? State::kDone : State::kAfterData;
        }
        break;
      }
      case State::kDone:
        // A multipart body's epilogue means nothing; a single part has none.
        if (boundary_.empty()) state_ = State::kMalformed;
        return !boundary_.empty();
      case State::kMalformed:
      case State::kRefused:
        return false;
      default: {
        const char* newline = static_cast<const char*>(memchr(data + i, '\n', count - i));
        const size_t end = newline ? static_cast<size_t>(newline - data) : count;
        line_.append(data + i, end - i);
        i = newline ? end + 1 : count;
        if (line_.size() > kMaxLine) {
          state_ = State::kMalformed;
          return false;
        }
        if (!newline) break;
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        const bool taken = TakeLine(line_);
        line_.clear();
        if (!taken) {
          state_ = State::kMalformed;
          return false;
        }
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
    if (!ParseRangeOf(line.substr(colon + 1), file_size_, &first, &last)) return false;
    BeginRange(first, last);
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

bool RangeBodyReader::Finish() {
  if (state_ == State::kData) EndRange();
  return state_ == State::kDone;
}

std::vector<ByteRange> RangeBodyReader::Uncovered() const {
  std::vector<ByteRange> delivered = delivered_;
  if (state_ == State::kData && part_at_ > part_first_)
    delivered.push_back({part_first_, part_at_ - part_first_});
  delivered = CoalesceRanges(std::move(delivered), 0);
  std::vector<ByteRange> missing;
  for (const ByteRange& range : CoalesceRanges(requested_, 0)) {
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
