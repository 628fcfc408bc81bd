#pragma once

// Every request of a run to the package's server, whatever it fetches (the
// whole package, its signature, the tail, the directory, batches of
// ranges), goes through one Transport: one place that sets a request up
// (credentials with their trace redacted, the trusted CAs, the proxy, the
// stall limits, the download phase's deadline), classifies its answer,
// describes a failure, and retries with one policy. Its requests share one
// libcurl multi handle, so that they reuse its connections, and the TLS
// sessions, where the server keeps them open. Main thread.

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "proxy.h"

// A server that accepts the connection and then stalls must not keep the
// invisible updater alive forever; a slow but moving transfer is cut only
// by the download's time limit (below).
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kLowSpeedLimitBytesPerSecond = 1;
inline constexpr long kLowSpeedTimeSeconds = 60;

// Links that drop for seconds and servers that shed load: a failed attempt
// is retried when waiting may help, up to this many attempts in a row that
// keep no new bytes, after a back-off that doubles from the first delay up
// to the largest. The whole download phase, waits included, ends at the
// time limit.
inline constexpr int kMaxAttemptsWithoutProgress = 5;
inline constexpr std::chrono::milliseconds kFirstRetryDelay{2000};
inline constexpr std::chrono::milliseconds kMaxRetryDelay{60000};
inline constexpr std::chrono::milliseconds kDownloadTimeLimit{10 * 60 * 1000};

// Requests in flight at once (FetchTogether), and connections to a server:
// where a server takes one range a request, a few at a time hide most
// round trips without weighing on the server.
inline constexpr long kParallelRequests = 4;

struct TransferLimits {
  long connect_timeout_seconds = kConnectTimeoutSeconds;
  long low_speed_limit_bytes_per_second = kLowSpeedLimitBytesPerSecond;
  long low_speed_time_seconds = kLowSpeedTimeSeconds;
  int max_attempts_without_progress = kMaxAttemptsWithoutProgress;
  std::chrono::milliseconds first_retry_delay = kFirstRetryDelay;
  std::chrono::milliseconds max_retry_delay = kMaxRetryDelay;
  std::chrono::milliseconds time_limit = kDownloadTimeLimit;
  // When set, the end of the whole download phase, which began earlier
  // (time_limit then only names its length in the lines).
  std::chrono::steady_clock::time_point deadline{};
};

// The wait before the next attempt, after `failures` attempts in a row
// without new bytes (1 after the first): first_retry_delay doubled for each
// further failure, at most max_retry_delay, and placed by `draw` (0 to 1)
// between half and the whole of that, so that clients that failed together
// do not return together. A server's Retry-After (`retry_after_seconds`,
// negative when it sent none) is waited for instead when it is longer, up to
// max_retry_delay.
std::chrono::milliseconds RetryDelay(int failures, long long retry_after_seconds,
                                     const TransferLimits& limits, double draw);

// A conditional GET and what the server answered about the body.
struct ConditionalGet {
  std::string if_none_match;      // sent as If-None-Match when not empty
  std::string if_modified_since;  // an HTTP date, sent as If-Modified-Since
                                  // when not empty and there is no entity tag
  bool not_modified = false;      // out: the server said the body is unchanged
  std::string etag;               // out: the answer's ETag, if any
  std::string last_modified;      // out: the answer's Last-Modified, if any
};

// What the server said a body is: its validator (a strong ETag, else a
// Last-Modified date; the If-Range value) and its total size. A partial file
// is resumable only with both.
struct PartialSource {
  enum class Validator { kNone, kETag, kLastModified };
  Validator kind = Validator::kNone;
  std::string validator;
  uint64_t total_size = 0;
  bool resumable() const { return kind != Validator::kNone && total_size > 0; }
};

// A Content-Range value, "bytes <first>-<last>/<total>" (the unit in any
// case, blanks around it): false for anything else, or for a range that is
// empty or outside the total.
bool ParseContentRange(const std::string& header, uint64_t* first, uint64_t* last, uint64_t* total);

// What an answer was, as far as what to do next goes.
enum class AnswerKind {
  kSuccess,        // a 2xx whose body the request's body took whole
  kNotModified,    // 304 to a conditional request (or libcurl's unmet date)
  kRangesRefused,  // a range request answered 200 (body not wanted), 416 or 501; one
                   // of several ranges also 400 or 503
  kBusy,           // 408, 429, 500, 502, 503, 504: waiting may help
  kNotFound,       // 404, 410
  kRefused,        // any other status, a refused certificate, a bad address
  kBroken,         // no connection, a time-out, a body cut off: another attempt may help
  kRejected,       // the body refused the answer: not what was asked, or not storable
};

// One answer: its head, as far as the requests need it, and its class.
struct Answer {
  AnswerKind kind = AnswerKind::kBroken;
  CURLcode result = CURLE_OK;
  long status = 0;             // the final answer's; 0 before one came
  long long retry_after = -1;  // seconds; -1 without
  long long content_length = -1;
  std::string content_type, content_range, etag, last_modified;
  std::string server;     // the Server header: which software answered
  std::string date;       // the Date header: when the server answered
  uint64_t received = 0;  // body bytes that arrived
  std::string rejection;  // with kRejected: why, in a few words
};

// The validator of an answer and its total size (Content-Range's total,
// else its length). A weak ETag cannot ask for a range (If-Range needs a
// strong one); a Last-Modified date less than a minute older than the
// answer's Date may name a file still being written, and names nothing.
PartialSource SourceOf(const Answer& answer);

// What failed, for a line ("HTTP status 503 with Retry-After 1 s").
std::string Describe(const Answer& answer);

struct Request {
  std::string url;    // empty: the transport's address
  std::string range;  // "a-b,c-d", "a-" or "-n"; empty: the whole body
  std::string if_range;
  const ConditionalGet* conditions = nullptr;
  // The most body bytes taken; a longer body ends the transfer, rejected.
  uint64_t max_body = UINT64_MAX;
};

// Where an answer's body goes.
class AnswerBody {
 public:
  virtual ~AnswerBody() = default;
  // Before each attempt: may ask for the rest of what it keeps (a range and
  // its If-Range). Returns the bytes it keeps for good so far.
  virtual uint64_t Prepare(Request* request) {
    (void)request;
    return 0;
  }
  // At the end of the final answer's head, for a 2xx: false refuses the
  // body (the transfer ends; `answer->rejection` may say why).
  virtual bool Begin(Answer* answer) = 0;
  // The next bytes. False stops the transfer: rejected, unless Complete().
  virtual bool Take(const char* data, std::size_t count) = 0;
  // Whether everything wanted has come, though the transfer was stopped
  // (nothing after a multipart body's closing boundary is read).
  virtual bool Complete() const { return false; }
  // After an attempt that failed: keeps what may be kept. Returns the bytes
  // kept for good so far; *start_over asks for another attempt at once,
  // from nothing (what it kept did not fit the answer).
  virtual uint64_t Settle(const Answer& answer, bool* start_over) {
    (void)answer;
    *start_over = false;
    return 0;
  }
};

class Transport {
 public:
  // For `url` with `credentials` ("user:password", HTTP basic), trusting
  // the CAs of `trusted_ca_pem` (PEM text; empty: the system's). The proxy
  // is the one the system's settings choose for `url` (platform/proxy.h),
  // named in one line on standard output. Every request ends by
  // limits.deadline when that is set, else time_limit from now.
  Transport(const char* url, const char* credentials, const char* trusted_ca_pem,
            const TransferLimits& limits = TransferLimits());
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // One request, one attempt. libcurl's verbose trace goes to standard
  // error with the credentials' value replaced; the log gets one line for
  // the transfer. A refused certificate gets one line saying why.
  Answer Send(const Request& request, AnswerBody* body);
  // One request with the retry policy: a kBusy or kBroken answer, or a
  // body that asks to start over, is tried again within the limits, the
  // attempts in a row that keep no new bytes and the deadline; each failed
  // attempt prints one line ("<what> attempt N failed: ...; next attempt in
  // 2.0 s"). Returns the last answer.
  Answer Fetch(const Request& request, AnswerBody* body, const char* what);
  // Requests that do not depend on each other, kParallelRequests at a
  // time: over HTTP/1.1 each on a connection of its own (kept for later
  // requests), over HTTP/2 all on one. Each body gets its own answer, in
  // order; one that failed in a way that another attempt may help goes on
  // alone with Fetch's policy, after a line, until one fails for good.
  // Their bodies arrive interleaved, all on the calling thread.
  std::vector<Answer> FetchTogether(const std::vector<Request>& requests,
                                    const std::vector<AnswerBody*>& bodies, const char* what);

  const std::string& url() const { return url_; }
  const TransferLimits& limits() const { return limits_; }
  std::chrono::steady_clock::time_point deadline() const { return deadline_; }
  // Since the transport was made: requests sent, connections opened, body
  // bytes received.
  unsigned requests() const { return requests_; }
  unsigned connections() const { return connections_; }
  uint64_t received() const { return received_; }
  // What the link has shown so far: the shortest wait from a request to
  // the first byte of its answer (0 before any answer), and the rate at
  // which answers' bodies came (0 before a body of some size came).
  double round_trip() const { return round_trip_; }
  double bytes_per_second() const {
    return body_seconds_ > 0 ? static_cast<double>(body_bytes_) / body_seconds_ : 0;
  }

 private:
  struct Curl;
  struct Attempt;
  // Sets a handle up for one attempt; false (with its answer) when it
  // cannot be.
  bool Prepare(CURL* h, Attempt* attempt);
  // Runs the handles' transfers together; their results, in order.
  std::vector<CURLcode> Perform(const std::vector<CURL*>& handles);
  // Counts and classifies what an attempt brought; `alone`: no other
  // transfer shared the link, and its body measures the rate.
  Answer Conclude(CURL* h, Attempt* attempt, CURLcode result, bool alone);

  std::unique_ptr<Curl> curl_;
  std::string url_, credentials_, password_, trusted_ca_pem_;
  ProxyChoice proxy_;
  TransferLimits limits_;
  std::chrono::steady_clock::time_point deadline_;
  unsigned requests_ = 0, connections_ = 0;
  uint64_t received_ = 0;
  double round_trip_ = 0;
  uint64_t body_bytes_ = 0;
  double body_seconds_ = 0;
};
