#pragma once

// What every request of the package's server has in common, whether it
// fetches the whole package, its signature or ranges of it: the handle's
// owners, the credentials with their trace redacted, the trusted CAs, the
// proxy, the stall limits and the download phase's deadline. Used by the
// download and the range transport; main thread.

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "download.h"
#include "proxy.h"

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

// libcurl's global state for the life of the object.
class CurlGlobal {
 public:
  CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

// Appends a header line to `headers`; false when memory runs out.
bool AddHeader(HeaderList* headers, const std::string& line);

// For a header callback: the final answer's status once its head has
// ended with this line (`data`, `bytes` long); 0 for any other line, and
// for the end of an interim (1xx) answer's head.
long StatusAtEndOfHead(CURL* handle, const char* data, std::size_t bytes);

// The value of a header of the final answer, or null.
const char* AnswerHeader(CURL* handle, const char* name);

// Sets up `handle` for one GET of `url`: credentials (basic; `password`, the
// credentials' password, must outlive the transfer, whose trace shows it
// redacted), the CAs of `trusted_ca_pem` (PEM text; empty: the system's),
// the chosen proxy, the connect and stall limits of `limits`, a time-out at
// `deadline`, and an error page refused (CURLOPT_FAILONERROR).
void SetUpRequest(CURL* handle, const char* url, const char* credentials,
                  const std::string* password, const TransferLimits& limits,
                  std::chrono::steady_clock::time_point deadline, const char* trusted_ca_pem,
                  const ProxyChoice& proxy);

// Puts the conditions of `conditional` on the request; header lines go to
// `headers`, which the caller hands to libcurl. False when memory runs out.
bool SetConditions(CURL* handle, const ConditionalGet& conditional, HeaderList* headers);

// Whether a result is the server's certificate being refused.
bool IsTlsRefusal(CURLcode result);

// Failures that another attempt may not meet: the network or the server
// failed on the way (`status`, the answer's), not the request.
bool WorthRetrying(CURLcode result, long status);
