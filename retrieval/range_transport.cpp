#include "range_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "delta_plan.h"
#include "multipart.h"
#include "report.h"
#include "request.h"
#include "transfer_log.h"

using Clock = std::chrono::steady_clock;

struct RangeTransport::Answer {
  CURLcode result = CURLE_OK;
  long status = 0;
  long long retry_after = -1;
  std::string content_type, content_range, etag, last_modified;
  bool not_modified = false;
};

namespace {

using Body = std::function<bool(const RangeTransport::Answer&, const char*, std::size_t)>;

// One request in flight.
struct Exchange {
  CURL* handle = nullptr;
  RangeTransport::Answer* answer = nullptr;
  const Body* body = nullptr;
  uint64_t received = 0;
};

// At the end of the final answer's head: what it is.
std::size_t OnHead(char* data, std::size_t size, std::size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  const std::size_t bytes = size * count;
  const long status = StatusAtEndOfHead(exchange->handle, data, bytes);
  if (status == 0) return bytes;
  RangeTransport::Answer* answer = exchange->answer;
  answer->status = status;
  for (const auto& [name, value] : {std::make_pair("Content-Type", &answer->content_type),
                                    std::make_pair("Content-Range", &answer->content_range),
                                    std::make_pair("ETag", &answer->etag),
                                    std::make_pair("Last-Modified", &answer->last_modified)}) {
    const char* text = AnswerHeader(exchange->handle, name);
    *value = text ? text : "";
  }
  curl_off_t retry_after = 0;
  if (curl_easy_getinfo(exchange->handle, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK &&
      AnswerHeader(exchange->handle, "Retry-After"))
    answer->retry_after = std::max<curl_off_t>(retry_after, 0);
  return bytes;
}

// Only a 206 carries ranges: any other body (the whole package, from a
// server that ignores ranges or whose package changed) is cut off at once.
std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  const std::size_t bytes = size * count;
  if (exchange->answer->status != 206) return 0;
  exchange->received += bytes;
  return (*exchange->body)(*exchange->answer, data, bytes) ? bytes : 0;
}

// What the server says identifies its package (the If-Range value): a
// strong ETag, else a Last-Modified date.
PartialSource Validator(const RangeTransport::Answer& answer) {
  PartialSource source;
  if (!answer.etag.empty() && answer.etag.compare(0, 2, "W/") != 0) {
    source.kind = PartialSource::Validator::kETag;
    source.validator = answer.etag;
  } else if (!answer.last_modified.empty()) {
    source.kind = PartialSource::Validator::kLastModified;
    source.validator = answer.last_modified;
  }
  return source;
}

std::string Describe(const RangeTransport::Answer& answer) {
  if (answer.result == CURLE_HTTP_RETURNED_ERROR && answer.status != 0)
    return "HTTP status " + std::to_string(answer.status);
  return std::string(curl_easy_strerror(answer.result)) + " (" + std::to_string(answer.result) +
         ")";
}

uint64_t Bytes(const std::vector<ByteRange>& ranges) {
  uint64_t total = 0;
  for (const ByteRange& range : ranges) total += range.length;
  return total;
}

}  // namespace

RangeTransport::RangeTransport(const char* url, const char* credentials, const char* trusted_ca_pem,
                               const ProxyChoice& proxy, const TransferLimits& limits,
                               Clock::time_point deadline)
    : url_(url),
      credentials_(credentials),
      trusted_ca_pem_(trusted_ca_pem),
      proxy_(proxy),
      limits_(limits),
      deadline_(deadline) {}

RangeTransport::Answer RangeTransport::Request(const std::string& range,
                                               const ConditionalGet* conditions, const Body& body) {
  Answer answer;
  EasyHandle easy(curl_easy_init());
  if (!easy) {
    answer.result = CURLE_FAILED_INIT;
    return answer;
  }
  CURL* h = easy.get();
  const std::string password = PasswordOf(credentials_);
  SetUpRequest(h, url_, credentials_, &password, limits_, deadline_, trusted_ca_pem_, proxy_);
  HeaderList headers;
  bool headers_made = !conditions || SetConditions(h, *conditions, &headers);
  if (source_.kind != PartialSource::Validator::kNone)
    headers_made = headers_made && AddHeader(&headers, "If-Range: " + source_.validator);
  if (!headers_made) {
    answer.result = CURLE_OUT_OF_MEMORY;
    return answer;
  }
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_RANGE, range.c_str());
  Exchange exchange{h, &answer, &body, 0};
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHead);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, static_cast<void*>(&exchange));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(&exchange));
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  answer.result = curl_easy_perform(h);
  if (IsTlsRefusal(answer.result))
    Report("Secure connection to %s refused: %s\n", url_,
           *error ? error : curl_easy_strerror(answer.result));
  long unmet = 0;
  curl_easy_getinfo(h, CURLINFO_CONDITION_UNMET, &unmet);
  answer.not_modified = answer.result == CURLE_OK && (answer.status == 304 || unmet != 0);
  ++requests_;
  received_ += exchange.received;
  LogTransfer(h, answer.result);
  // An answer for another package than the tail's: If-Range made the
  // server send the whole of the new one, or it says so in its validator.
  if (source_.kind != PartialSource::Validator::kNone && answer.status >= 200 &&
      answer.status < 300) {
    const PartialSource now = Validator(answer);
    if (now.kind == source_.kind && now.validator != source_.validator) replaced_ = true;
  }
  return answer;
}

bool RangeTransport::Again(const Answer& answer, bool progressed, int* fruitless) {
  if (!WorthRetrying(answer.result, answer.status) || replaced_) return false;
  *fruitless = progressed ? 0 : *fruitless + 1;
  if (*fruitless >= limits_.max_attempts_without_progress) return false;
  static std::mt19937 random(std::random_device{}());
  const std::chrono::milliseconds delay =
      RetryDelay(std::max(*fruitless, 1), answer.retry_after, limits_,
                 std::uniform_real_distribution<double>(0.0, 1.0)(random));
  if (Clock::now() + delay >= deadline_) return false;
  Report("Range request failed: %s; next attempt in %.1f s\n", Describe(answer).c_str(),
         static_cast<double>(delay.count()) / 1000);
  std::this_thread::sleep_for(delay);
  return true;
}

RangeTransport::TailAnswer RangeTransport::FetchTail(uint64_t length,
                                                     const ConditionalGet& conditions,
                                                     std::string* tail, uint64_t* tail_start,
                                                     ConditionalGet* answer_out) {
  source_ = PartialSource();
  replaced_ = false;
  int fruitless = 0;
  for (;;) {
    tail->clear();
    const Answer answer = Request("-" + std::to_string(length), &conditions,
                                  [&](const Answer&, const char* data, std::size_t count) {
                                    tail->append(data, count);
                                    return true;
                                  });
    if (answer.not_modified) return TailAnswer::kNotModified;
    if (answer.status == 200 || answer.status == 416 || answer.status == 501)
      return TailAnswer::kNoRanges;
    if (answer.result == CURLE_OK && answer.status == 206) {
      uint64_t first = 0, last = 0, total = 0;
      const PartialSource source = Validator(answer);
      if (!ParseContentRange(answer.content_range, &first, &last, &total) || last + 1 != total ||
          tail->size() != total - first || source.kind == PartialSource::Validator::kNone)
        return TailAnswer::kUnidentified;
      source_ = source;
      source_.total_size = total;
      size_ = total;
      *tail_start = first;
      answer_out->etag = answer.etag;
      answer_out->last_modified = answer.last_modified;
      return TailAnswer::kTail;
    }
    if (!Again(answer, !tail->empty(), &fruitless)) return TailAnswer::kFailed;
  }
}

bool RangeTransport::FetchSpan(uint64_t start, uint64_t end, std::string* bytes) {
  int fruitless = 0;
  for (;;) {
    bytes->clear();
    const Answer answer = Request(std::to_string(start) + "-" + std::to_string(end - 1), nullptr,
                                  [&](const Answer&, const char* data, std::size_t count) {
                                    bytes->append(data, count);
                                    return true;
                                  });
    uint64_t first = 0, last = 0, total = 0;
    if (answer.result == CURLE_OK && answer.status == 206 && !replaced_)
      return ParseContentRange(answer.content_range, &first, &last, &total) && first == start &&
             last + 1 == end && total == size_ && bytes->size() == end - start;
    if (!Again(answer, !bytes->empty(), &fruitless)) return false;
  }
}

bool RangeTransport::FetchOne(const std::vector<ByteRange>& ranges, const DeliverBytes& deliver,
                              std::vector<ByteRange>* uncovered, bool* refused, Answer* out) {
  std::unique_ptr<RangeBodyReader> reader;
  const Answer answer =
      Request(RangeHeaderValue(ranges).substr(6), nullptr,
              [&](const Answer& head, const char* data, std::size_t count) {
                if (!reader)
                  reader.reset(new RangeBodyReader(head.content_type, head.content_range, size_,
                                                   ranges, deliver));
                return reader->Feed(data, count);
              });
  *out = answer;
  *refused = !replaced_ && (answer.status == 200 || answer.status == 416 || answer.status == 501);
  const bool answered = answer.result == CURLE_OK && answer.status == 206 && !replaced_;
  if (answered && reader) reader->Finish();
  *uncovered = reader ? reader->Uncovered() : ranges;
  return answered;
}

bool RangeTransport::Fetch(const std::vector<ByteRange>& batch, const DeliverBytes& deliver) {
  std::vector<ByteRange> left = batch;
  bool one_by_one = false;
  int fruitless = 0;
  while (!left.empty()) {
    const std::vector<ByteRange> asked = one_by_one ? std::vector<ByteRange>{left.front()} : left;
    const std::vector<ByteRange> rest(left.begin() + static_cast<std::ptrdiff_t>(asked.size()),
                                      left.end());
    std::vector<ByteRange> missed;
    bool refused = false;
    Answer answer;
    const bool answered = FetchOne(asked, deliver, &missed, &refused, &answer);
    if (replaced_) return false;
    if (refused) {
      // Several ranges in one request are more than some servers serve.
      if (asked.size() == 1) return false;
      one_by_one = true;
      continue;
    }
    const bool progressed = Bytes(missed) < Bytes(asked);
    left = missed;
    left.insert(left.end(), rest.begin(), rest.end());
    if (answered) {
      if (!missed.empty()) {
        // A server that sends only some of the ranges gets them one by one;
        // one that leaves out the only range it was asked for has none.
        if (one_by_one) return false;
        one_by_one = true;
      }
      fruitless = 0;
      continue;
    }
    if (!Again(answer, progressed, &fruitless)) return false;
  }
  return true;
}
