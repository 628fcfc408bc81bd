#include "transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "report.h"
#include "transfer_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// libcurl's default of 16 KiB costs a system call pair per 16 KiB and about
// a tenth of the throughput on a fast link; the curl command line reads
// 100 KiB at a time. Memory stays this one buffer, whatever the size.
constexpr long kReceiveBufferBytes = 100 * 1024;

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

struct ShareCleanup {
  void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
};
using ShareHandle = std::unique_ptr<CURLSH, ShareCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

bool AddHeader(HeaderList* headers, const std::string& line) {
  curl_slist* list = curl_slist_append(headers->get(), line.c_str());
  if (!list) return false;
  headers->release();
  headers->reset(list);
  return true;
}

// Peer and host-name checks stay on (libcurl's defaults); only whom the
// peer's chain must end at changes. Schannel also checks revocation, and a
// private CA names no CRL or OCSP source: a source that is missing or
// unreachable must not refuse the server, a revoked certificate still is.
// Other TLS back ends ignore the option.
void TrustOnly(CURL* h, const std::string& ca_pem) {
  curl_easy_setopt(h, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  if (ca_pem.empty()) return;
  curl_blob blob{const_cast<char*>(ca_pem.data()), ca_pem.size(), CURL_BLOB_COPY};
  curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
  // The blob replaces the default CA file, but not a default CA directory.
  curl_easy_setopt(h, CURLOPT_CAPATH, static_cast<char*>(nullptr));
}

void UseProxy(CURL* h, const ProxyChoice& proxy) {
  // libcurl applies the environment's variables itself.
  if (proxy.source == ProxySource::kEnvironment) return;
  // Empty strings: a direct connection, and no exemptions, whatever the
  // environment says; the system's settings have decided.
  curl_easy_setopt(h, CURLOPT_PROXY, proxy.proxy.c_str());
  curl_easy_setopt(h, CURLOPT_NOPROXY, "");
  if (proxy.logon_credentials) {
    // ":" stands for the logged-on user (SSPI). Without these, libcurl
    // would answer a proxy's challenge with nothing; the package
    // credentials (CURLOPT_USERPWD) are only ever for the server.
    curl_easy_setopt(h, CURLOPT_PROXYAUTH, CURLAUTH_NEGOTIATE | CURLAUTH_NTLM);
    curl_easy_setopt(h, CURLOPT_PROXYUSERPWD, ":");
  }
}

// If-None-Match as a header of its own, else If-Modified-Since through
// libcurl's time condition. A server judges by the entity tag when it has
// one and ignores the date then; but libcurl also drops the body of any
// answer dated before the condition itself, and would so never fetch a new
// package whose file is older than the installed one's (a release put back,
// a restored backup).
bool SetConditions(CURL* h, const ConditionalGet& conditional, HeaderList* headers) {
  if (!conditional.if_none_match.empty())
    return AddHeader(headers, "If-None-Match: " + conditional.if_none_match);
  const time_t since = conditional.if_modified_since.empty()
                           ? -1
                           : curl_getdate(conditional.if_modified_since.c_str(), nullptr);
  if (since > 0) {
    curl_easy_setopt(h, CURLOPT_TIMECONDITION, static_cast<long>(CURL_TIMECOND_IFMODSINCE));
    curl_easy_setopt(h, CURLOPT_TIMEVALUE_LARGE, static_cast<curl_off_t>(since));
  }
  return true;
}

const char* AnswerHeader(CURL* handle, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return nullptr;
  return header->value;
}

bool IsTlsRefusal(CURLcode result) {
  return result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CONNECT_ERROR ||
         result == CURLE_SSL_CACERT_BADFILE;
}

// Failures on the way that another attempt may not meet.
bool IsBrokenTransfer(CURLcode result) {
  switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:  // a dropped link takes the name server with it
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return true;
    default:
      return false;
  }
}

// Several ranges in one request are refused in more ways than one range:
// caches and object stores answer 400, 416 or 503 (a backend fetch that
// failed) to what they will not split, and no waiting changes that.
AnswerKind KindOfStatus(long status, bool ranged, bool several) {
  if (ranged && (status == 416 || status == 501)) return AnswerKind::kRangesRefused;
  if (several && (status == 400 || status == 503)) return AnswerKind::kRangesRefused;
  // Time-out, too many requests, and server or gateway failures may change
  // by waiting.
  if (status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
      status == 504)
    return AnswerKind::kBusy;
  if (status == 404 || status == 410) return AnswerKind::kNotFound;
  return AnswerKind::kRefused;
}

std::string Trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
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

// One request in flight.
struct Exchange {
  CURL* handle = nullptr;
  const Request* request = nullptr;
  AnswerBody* body = nullptr;
  Answer* answer = nullptr;
  bool head_ended = false;
  bool accepted = false;  // the body took the answer's head
  bool stopped = false;   // the body, or the length limit, stopped the transfer
  bool draining = false;  // a short error page, read to keep the connection
};

// An error page no longer than this is read and dropped: the connection
// then stays open for the next request (a refusal of several ranges is
// followed by single ones at once). A longer one, or one of unknown
// length, ends the transfer at its head.
constexpr curl_off_t kDrainedErrorPage = 16 * 1024;

// At the end of the final answer's head: what it is, and whether the body
// is wanted. An error page is never a body.
size_t OnHeaderLine(char* data, size_t size, size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  const size_t bytes = size * count;
  const bool end_of_head =
      (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
  if (!end_of_head) return bytes;
  long status = 0;
  curl_easy_getinfo(exchange->handle, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200) return bytes;  // an interim answer: the final one follows
  Answer& answer = *exchange->answer;
  answer.status = status;
  exchange->head_ended = true;
  for (const auto& [name, value] :
       {std::make_pair("Content-Type", &answer.content_type),
        std::make_pair("Content-Range", &answer.content_range),
        std::make_pair("ETag", &answer.etag),
        std::make_pair("Last-Modified", &answer.last_modified),
        std::make_pair("Server", &answer.server), std::make_pair("Date", &answer.date)}) {
    const char* text = AnswerHeader(exchange->handle, name);
    *value = text ? text : "";
  }
  curl_off_t length = -1;
  if (curl_easy_getinfo(exchange->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
          CURLE_OK &&
      length >= 0)
    answer.content_length = length;
  curl_off_t retry_after = 0;
  if (curl_easy_getinfo(exchange->handle, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK &&
      AnswerHeader(exchange->handle, "Retry-After"))
    answer.retry_after = std::max<curl_off_t>(retry_after, 0);       // a date already past: now
  if (status == 304 && exchange->request->conditions) return bytes;  // no body follows
  if (status > 299) {
    exchange->draining = length >= 0 && length <= kDrainedErrorPage;
    return exchange->draining ? bytes : 0;
  }
  exchange->accepted = exchange->body->Begin(&answer);
  return exchange->accepted ? bytes : 0;
}

size_t OnBody(char* data, size_t size, size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  const size_t bytes = size * count;
  Answer& answer = *exchange->answer;
  if (exchange->draining) return bytes;
  if (!exchange->accepted) return 0;
  if (bytes > exchange->request->max_body - answer.received) {
    answer.rejection = "the answer is longer than what was asked";
    exchange->stopped = true;
    return 0;
  }
  answer.received += bytes;
  if (exchange->body->Take(data, bytes)) return bytes;
  exchange->stopped = true;
  return 0;
}

}  // namespace

bool ParseContentRange(const std::string& header, uint64_t* first, uint64_t* last,
                       uint64_t* total) {
  const std::string value = Trimmed(header);
  if (value.size() < 5) return false;
  for (size_t i = 0; i < 5; ++i)
    if ((value[i] | 0x20) != "bytes"[i]) return false;
  size_t at = 5;
  while (at < value.size() && value[at] == ' ') ++at;
  if (!ParseNumber(value, &at, first) || at >= value.size() || value[at++] != '-' ||
      !ParseNumber(value, &at, last) || at >= value.size() || value[at++] != '/' ||
      !ParseNumber(value, &at, total) || at != value.size())
    return false;
  return *first <= *last && *last < *total;
}

namespace {

// A file changed twice within the server's clock's resolution, or just
// before it answered, would keep its date: only a date a minute older than
// the answer names one version. Without a Date there is nothing to
// compare, and the date stands.
constexpr time_t kSettledSeconds = 60;

bool DateIsSettled(const Answer& answer) {
  if (answer.date.empty()) return true;
  const time_t modified = curl_getdate(answer.last_modified.c_str(), nullptr);
  const time_t now = curl_getdate(answer.date.c_str(), nullptr);
  return modified >= 0 && now >= 0 && modified <= now - kSettledSeconds;
}

// Bodies shorter than this say more about a server's start than about
// the link's rate.
constexpr uint64_t kMeasuredBody = 16 * 1024;

// One exchange's times: from the request sent to the answer's first byte
// (-1 when libcurl cannot tell), and from that byte to the last.
struct Timing {
  double wait = -1;
  double body = 0;
};

Timing TimingOf(CURL* h) {
  curl_off_t sent = 0, first = 0, total = 0;
  Timing timing;
  if (curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &sent) != CURLE_OK ||
      curl_easy_getinfo(h, CURLINFO_STARTTRANSFER_TIME_T, &first) != CURLE_OK ||
      curl_easy_getinfo(h, CURLINFO_TOTAL_TIME_T, &total) != CURLE_OK || first <= sent)
    return timing;
  timing.wait = static_cast<double>(first - sent) / 1e6;
  timing.body = static_cast<double>(total - first) / 1e6;
  return timing;
}

}  // namespace

PartialSource SourceOf(const Answer& answer) {
  PartialSource source;
  uint64_t first = 0, last = 0, total = 0;
  if (answer.status == 206 && ParseContentRange(answer.content_range, &first, &last, &total))
    source.total_size = total;
  else if (answer.status != 206 && answer.content_length > 0)
    source.total_size = static_cast<uint64_t>(answer.content_length);
  if (!answer.etag.empty() && answer.etag.compare(0, 2, "W/") != 0) {
    source.kind = PartialSource::Validator::kETag;
    source.validator = answer.etag;
  } else if (!answer.last_modified.empty() && DateIsSettled(answer)) {
    source.kind = PartialSource::Validator::kLastModified;
    source.validator = answer.last_modified;
  }
  return source;
}

std::string Describe(const Answer& answer) {
  if (answer.kind == AnswerKind::kRejected && !answer.rejection.empty()) return answer.rejection;
  if (answer.status > 299 || (answer.kind == AnswerKind::kRangesRefused && answer.status != 0)) {
    std::string text = "HTTP status " + std::to_string(answer.status);
    if (answer.retry_after >= 0)
      text += " with Retry-After " + std::to_string(answer.retry_after) + " s";
    return text;
  }
  return std::string(curl_easy_strerror(answer.result)) + " (" + std::to_string(answer.result) +
         ")";
}

std::chrono::milliseconds RetryDelay(int failures, long long retry_after_seconds,
                                     const TransferLimits& limits, double draw) {
  using std::chrono::milliseconds;
  milliseconds backoff = limits.first_retry_delay;
  for (int i = 1; i < failures && backoff < limits.max_retry_delay; ++i) backoff *= 2;
  backoff = std::min(backoff, limits.max_retry_delay);
  const double share = 0.5 + 0.5 * std::min(std::max(draw, 0.0), 1.0);
  milliseconds delay(static_cast<milliseconds::rep>(static_cast<double>(backoff.count()) * share));
  if (retry_after_seconds >= 0) {
    const long long cap_seconds = limits.max_retry_delay.count() / 1000 + 1;
    const milliseconds asked(std::min(retry_after_seconds, cap_seconds) * 1000);
    delay = std::max(delay, std::min(asked, limits.max_retry_delay));
  }
  return delay;
}

// libcurl's global state, then the handles: one multi handle, whose
// connection cache every request shares, the TLS sessions and names that
// its easy handles share, and an easy handle for each request that may be
// in flight at once.
struct Transport::Curl {
  Curl()
      : global(curl_global_init(CURL_GLOBAL_ALL)),
        multi(curl_multi_init()),
        share(curl_share_init()) {
    for (EasyHandle& handle : easy) handle.reset(curl_easy_init());
    if (share) {
      curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
      curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    if (!multi) return;
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, kParallelRequests);
    curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, kParallelRequests);
  }
  ~Curl() {
    for (EasyHandle& handle : easy) handle.reset();
    multi.reset();
    share.reset();
    curl_global_cleanup();
  }
  CURLcode global;
  MultiHandle multi;
  ShareHandle share;
  EasyHandle easy[kParallelRequests];
  // Seeded apart on every machine, so that clients that failed together
  // spread out.
  std::mt19937 random{std::random_device()() ^
                      static_cast<unsigned>(Clock::now().time_since_epoch().count())};
};

// One attempt at one request on one handle: its options and what came.
struct Transport::Attempt {
  Attempt(const Request& request, AnswerBody* body) : request(request), body(body) {}
  const Request& request;
  AnswerBody* body;
  Answer answer;
  Exchange exchange;
  HeaderList headers;
  std::string url;
  char error[CURL_ERROR_SIZE] = "";
};

Transport::Transport(const char* url, const char* credentials, const char* trusted_ca_pem,
                     const TransferLimits& limits)
    : curl_(new Curl),
      url_(url),
      credentials_(credentials),
      password_(PasswordOf(credentials)),
      trusted_ca_pem_(trusted_ca_pem),
      proxy_(ChooseProxy(url)),
      limits_(limits),
      deadline_(limits.deadline != Clock::time_point() ? limits.deadline
                                                       : Clock::now() + limits.time_limit) {
  Report("%s\n", DescribeProxy(proxy_).c_str());
}

Transport::~Transport() = default;

bool Transport::Prepare(CURL* h, Attempt* attempt) {
  const Request& request = attempt->request;
  Answer& answer = attempt->answer;
  if (!h || !curl_->multi) {
    answer.result = CURLE_FAILED_INIT;
    answer.kind = AnswerKind::kRefused;
    return false;
  }
  // The options go, the connection and the TLS session stay.
  curl_easy_reset(h);
  attempt->url = request.url.empty() ? url_ : request.url;
  curl_easy_setopt(h, CURLOPT_URL, attempt->url.c_str());
  if (curl_->share) curl_easy_setopt(h, CURLOPT_SHARE, curl_->share.get());
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(h, CURLOPT_USERPWD, credentials_.c_str());
  TraceRedacted(h, &password_);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits_.connect_timeout_seconds);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits_.low_speed_limit_bytes_per_second);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits_.low_speed_time_seconds);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(left.count(), 1)));
  TrustOnly(h, trusted_ca_pem_);
  UseProxy(h, proxy_);

  bool made = !request.conditions || SetConditions(h, *request.conditions, &attempt->headers);
  if (!request.range.empty()) {
    curl_easy_setopt(h, CURLOPT_RANGE, request.range.c_str());
    if (!request.if_range.empty())
      made = made && AddHeader(&attempt->headers, "If-Range: " + request.if_range);
  }
  if (!made) {
    answer.result = CURLE_OUT_OF_MEMORY;
    answer.kind = AnswerKind::kRefused;
    return false;
  }
  if (attempt->headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, attempt->headers.get());
  attempt->exchange = Exchange{h, &request, attempt->body, &answer};
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, static_cast<void*>(&attempt->exchange));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(&attempt->exchange));
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, attempt->error);
  return true;
}

std::vector<CURLcode> Transport::Perform(const std::vector<CURL*>& handles) {
  CURLM* multi = curl_->multi.get();
  std::vector<CURLcode> results(handles.size(), CURLE_OUT_OF_MEMORY);
  for (CURL* h : handles) curl_multi_add_handle(multi, h);
  for (int running = 1; running > 0;) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    if (running > 0 && curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK) break;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    for (size_t i = 0; i < handles.size(); ++i)
      if (handles[i] == message->easy_handle) results[i] = message->data.result;
  }
  for (CURL* h : handles) curl_multi_remove_handle(multi, h);
  return results;
}

Answer Transport::Conclude(CURL* h, Attempt* attempt, CURLcode result, bool alone) {
  const Request& request = attempt->request;
  AnswerBody* body = attempt->body;
  const Exchange& exchange = attempt->exchange;
  Answer answer = attempt->answer;
  answer.result = result;
  if (IsTlsRefusal(answer.result))
    Report("Secure connection to %s refused: %s\n", attempt->url.c_str(),
           *attempt->error ? attempt->error : curl_easy_strerror(answer.result));
  long connects = 0, unmet = 0;
  curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
  curl_easy_getinfo(h, CURLINFO_CONDITION_UNMET, &unmet);
  ++requests_;
  connections_ += static_cast<unsigned>(std::max(connects, 0L));
  received_ += answer.received;
  const Timing timing = TimingOf(h);
  if (timing.wait >= 0)
    round_trip_ = round_trip_ > 0 ? std::min(round_trip_, timing.wait) : timing.wait;
  // Answers that shared the link say what each got of it, not its rate.
  if (alone && answer.received >= kMeasuredBody && timing.body > 0) {
    body_bytes_ += answer.received;
    body_seconds_ += timing.body;
  }
  LogTransfer(h, answer.result);

  const bool ranged = !request.range.empty();
  const bool success = answer.status >= 200 && answer.status <= 299;
  if (request.conditions && (answer.status == 304 || (answer.result == CURLE_OK && unmet != 0))) {
    // libcurl itself drops the body of a 200 whose Last-Modified does not
    // meet the time condition.
    answer.kind = AnswerKind::kNotModified;
    answer.result = CURLE_OK;
  } else if (success && exchange.stopped && body->Complete()) {
    answer.kind = AnswerKind::kSuccess;
    answer.result = CURLE_OK;
  } else if (success && answer.result == CURLE_OK && exchange.accepted) {
    answer.kind = AnswerKind::kSuccess;
  } else if (success && ranged && answer.status == 200 && !exchange.accepted) {
    answer.kind = AnswerKind::kRangesRefused;
  } else if (success && (exchange.stopped || !exchange.accepted)) {
    answer.kind = AnswerKind::kRejected;
    if (answer.rejection.empty()) answer.rejection = "the answer could not be kept";
  } else if (answer.status > 299) {
    // libcurl lets a 401 through when the server sent no challenge it
    // recognises, and redirects are not followed: only a success status
    // delivers a body, whatever libcurl made of the rest.
    answer.kind = KindOfStatus(answer.status, ranged, request.range.find(',') != std::string::npos);
    if (answer.result == CURLE_OK || answer.result == CURLE_WRITE_ERROR)
      answer.result = CURLE_HTTP_RETURNED_ERROR;
  } else if (IsBrokenTransfer(answer.result)) {
    answer.kind = AnswerKind::kBroken;
  } else {
    answer.kind = AnswerKind::kRefused;
  }
  if (answer.kind == AnswerKind::kSuccess && !answer.rejection.empty()) answer.rejection.clear();
  return answer;
}

Answer Transport::Send(const Request& request, AnswerBody* body) {
  CURL* h = curl_->easy[0].get();
  Attempt attempt(request, body);
  if (!Prepare(h, &attempt)) return attempt.answer;
  return Conclude(h, &attempt, Perform({h})[0], true);
}

std::vector<Answer> Transport::FetchTogether(const std::vector<Request>& requests,
                                             const std::vector<AnswerBody*>& bodies,
                                             const char* what) {
  std::vector<Answer> answers(requests.size());
  for (size_t first = 0; first < requests.size(); first += kParallelRequests) {
    const size_t count = std::min<size_t>(kParallelRequests, requests.size() - first);
    std::vector<Request> asked(requests.begin() + static_cast<std::ptrdiff_t>(first),
                               requests.begin() + static_cast<std::ptrdiff_t>(first + count));
    std::vector<std::unique_ptr<Attempt>> attempts;
    std::vector<CURL*> handles;
    std::vector<size_t> which;
    for (size_t i = 0; i < count; ++i) {
      bodies[first + i]->Prepare(&asked[i]);
      attempts.emplace_back(new Attempt(asked[i], bodies[first + i]));
      CURL* h = curl_->easy[i].get();
      if (!Prepare(h, attempts.back().get())) {
        answers[first + i] = attempts.back()->answer;
        continue;
      }
      // Over TLS the server may offer HTTP/2, whose one connection
      // carries them all: they wait for its answer before opening more.
      // Plain http stays HTTP/1.1, where each needs a connection.
      if (attempts.back()->url.compare(0, 6, "https:") == 0)
        curl_easy_setopt(h, CURLOPT_PIPEWAIT, 1L);
      handles.push_back(h);
      which.push_back(i);
    }
    const std::vector<CURLcode> results = Perform(handles);
    for (size_t k = 0; k < handles.size(); ++k)
      answers[first + which[k]] =
          Conclude(handles[k], attempts[which[k]].get(), results[k], handles.size() == 1);
  }
  // What failed goes on alone, with the retry policy; once one has failed
  // for good (a link that stays down), the others are not tried again.
  bool given_up = false;
  const auto done = [](const Answer& answer) {
    return answer.kind == AnswerKind::kSuccess || answer.kind == AnswerKind::kNotModified;
  };
  for (size_t i = 0; i < requests.size(); ++i) {
    if (done(answers[i])) continue;
    bool start_over = false;
    bodies[i]->Settle(answers[i], &start_over);
    if (given_up || (!start_over && answers[i].kind != AnswerKind::kBusy &&
                     answers[i].kind != AnswerKind::kBroken))
      continue;
    Report("%s sent with others failed: %s; it goes on alone\n", what,
           Describe(answers[i]).c_str());
    answers[i] = Fetch(requests[i], bodies[i], what);
    given_up = !done(answers[i]);
  }
  return answers;
}

Answer Transport::Fetch(const Request& request, AnswerBody* body, const char* what) {
  // Attempts in a row that kept no new bytes: a flaky link that cuts a
  // long transfer again and again still moves it forward, and one whose
  // bytes are thrown away each time does not.
  int fruitless = 0;
  for (int number = 1;; ++number) {
    Request attempt = request;
    const uint64_t kept_before = body->Prepare(&attempt);
    const Answer answer = Send(attempt, body);
    if (answer.kind == AnswerKind::kSuccess || answer.kind == AnswerKind::kNotModified)
      return answer;
    bool start_over = false;
    const uint64_t kept = body->Settle(answer, &start_over);
    fruitless = kept > kept_before ? 0 : fruitless + 1;

    // Either another attempt after `delay`, or the end, and why.
    std::string next;
    std::chrono::milliseconds delay(0);
    const bool may_help = answer.kind == AnswerKind::kBusy || answer.kind == AnswerKind::kBroken;
    if (!start_over && !may_help) {
      next = "not retried";
    } else if (fruitless >= limits_.max_attempts_without_progress) {
      next = "giving up after " + std::to_string(fruitless) + " attempts without new bytes";
    } else {
      if (!start_over)
        delay = RetryDelay(std::max(fruitless, 1), answer.retry_after, limits_,
                           std::uniform_real_distribution<double>(0.0, 1.0)(curl_->random));
      if (Clock::now() + delay >= deadline_)
        next = "the download's time limit of " + std::to_string(limits_.time_limit.count() / 1000) +
               " s is reached";
    }
    const bool again = next.empty();
    if (again && start_over) {
      next = "starting over at once";
    } else if (again) {
      char wait[48];
      std::snprintf(wait, sizeof wait, "next attempt in %.1f s",
                    static_cast<double>(delay.count()) / 1000);
      next = wait;
    }
    const std::string kept_bytes = kept > 0 ? ", " + std::to_string(kept) + " bytes kept" : "";
    Report("%s attempt %d failed: %s%s; %s\n", what, number, Describe(answer).c_str(),
           kept_bytes.c_str(), next.c_str());
    if (!again) return answer;
    std::this_thread::sleep_for(delay);
  }
}
