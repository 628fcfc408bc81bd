#include "request.h"

#include <algorithm>
#include <cstring>

#include "transfer_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// libcurl's default of 16 KiB costs a system call pair per 16 KiB and about
// a tenth of the throughput on a fast link; the curl command line reads
// 100 KiB at a time. Memory stays this one buffer, whatever the size.
constexpr long kReceiveBufferBytes = 100 * 1024;

// Peer and host-name checks stay on (libcurl's defaults); only whom the
// peer's chain must end at changes. Schannel also checks revocation, and a
// private CA names no CRL or OCSP source: a source that is missing or
// unreachable must not refuse the server, a revoked certificate still is.
// Other TLS back ends ignore the option.
void TrustOnly(CURL* h, const char* ca_pem) {
  curl_easy_setopt(h, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  if (!*ca_pem) return;
  curl_blob blob{const_cast<char*>(ca_pem), std::strlen(ca_pem), CURL_BLOB_COPY};
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

// Statuses that may change by waiting: time-out, too many requests, and
// server or gateway failures.
bool IsPassingStatus(long status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
         status == 504;
}

}  // namespace

bool AddHeader(HeaderList* headers, const std::string& line) {
  curl_slist* list = curl_slist_append(headers->get(), line.c_str());
  if (!list) return false;
  headers->release();
  headers->reset(list);
  return true;
}

long StatusAtEndOfHead(CURL* handle, const char* data, std::size_t bytes) {
  const bool end_of_head =
      (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
  if (!end_of_head) return 0;
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return status < 200 ? 0 : status;  // an interim answer: the final one follows
}

const char* AnswerHeader(CURL* handle, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return nullptr;
  return header->value;
}

void SetUpRequest(CURL* h, const char* url, const char* credentials, const std::string* password,
                  const TransferLimits& limits, Clock::time_point deadline,
                  const char* trusted_ca_pem, const ProxyChoice& proxy) {
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(h, CURLOPT_USERPWD, credentials);
  TraceRedacted(h, password);
  // An error page is not a package: its body is never delivered.
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_seconds);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_limit_bytes_per_second);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time_seconds);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  // The whole download phase's deadline cuts this request too.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(left.count(), 1)));
  TrustOnly(h, trusted_ca_pem);
  UseProxy(h, proxy);
}

// If-None-Match as a header of its own, else If-Modified-Since through
// libcurl's time condition. A server
// judges by the entity tag when it has one and ignores the date then; but
// libcurl also drops the body of any answer dated before the condition
// itself, and would so never fetch a new package whose file is older than
// the installed one's (a release put back, a restored backup).
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

bool IsTlsRefusal(CURLcode result) {
  return result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CONNECT_ERROR ||
         result == CURLE_SSL_CACERT_BADFILE;
}

bool WorthRetrying(CURLcode result, long status) {
  switch (result) {
    case CURLE_HTTP_RETURNED_ERROR:
      return IsPassingStatus(status);
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
