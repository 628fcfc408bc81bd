#include "transfer_log.h"

#include <cctype>
#include <cstdio>
#include <memory>

#include "report.h"

namespace {

const char kRedacted[] = "[redacted]";

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size() ||
        std::tolower(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(prefix[i]))
      return false;
  }
  return true;
}

// One line of the trace with the credentials' value replaced: the value of
// an Authorization header after its scheme, and the password wherever else
// it appears.
std::string Redacted(std::string line, const std::string& password) {
  for (const char* header : {"authorization:", "proxy-authorization:"}) {
    if (!StartsWithNoCase(line, header)) continue;
    const size_t scheme = line.find_first_not_of(' ', std::char_traits<char>::length(header));
    const size_t value = scheme == std::string::npos ? scheme : line.find(' ', scheme);
    line = (value == std::string::npos ? std::string(header) + " " : line.substr(0, value + 1)) +
           kRedacted;
  }
  if (password.empty()) return line;
  for (size_t at = 0; (at = line.find(password, at)) != std::string::npos;
       at += sizeof kRedacted - 1)
    line.replace(at, password.size(), kRedacted);
  return line;
}

// libcurl's debug callback; `context` is the password.
int WriteRedactedTrace(CURL*, curl_infotype type, char* data, size_t size, void* context) {
  const char* prefix = nullptr;
  switch (type) {
    case CURLINFO_TEXT:
      prefix = "* ";
      break;
    case CURLINFO_HEADER_OUT:
      prefix = "> ";
      break;
    case CURLINFO_HEADER_IN:
      prefix = "< ";
      break;
    default:
      return 0;  // bodies and TLS records are not traced
  }
  const std::string& password = *static_cast<const std::string*>(context);
  const std::string text(data, size);
  std::string out;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    std::string line_end;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
      line_end.insert(line_end.begin(), line.back());
      line.pop_back();
    }
    out += prefix + Redacted(line, password) + (line_end.empty() ? "\n" : line_end);
    start = end;
  }
  std::fputs(out.c_str(), stderr);
  return 0;
}

struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

// The address without any user name or password in it.
std::string WithoutCredentials(const char* address) {
  std::unique_ptr<CURLU, UrlCleanup> url(curl_url());
  if (!address || !url || curl_url_set(url.get(), CURLUPART_URL, address, 0) != CURLUE_OK)
    return "(an address that cannot be shown)";
  curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
  char* text = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || !text)
    return "(an address that cannot be shown)";
  return std::unique_ptr<char, CurlFree>(text).get();
}

// One part of a parsed address; empty when it has none.
std::string PartOf(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || !text) return std::string();
  return std::unique_ptr<char, CurlFree>(text).get();
}

// libcurl's parser ends the user part at the first '@', so a password with
// an '@' of its own would leave its rest in the host name. For the log,
// everything up to the last '@' counts as credentials; what follows is
// parsed as libcurl parses a proxy's address (a bare "host:port" is an
// HTTP proxy). What does not parse is shown as it is after that '@'.
std::string ProxyWithoutCredentials(const std::string& proxy) {
  const size_t scheme_end = proxy.find("://");
  const size_t host = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const size_t at = proxy.rfind('@');
  const std::string address =
      at == std::string::npos || at < host ? proxy : proxy.substr(0, host) + proxy.substr(at + 1);
  std::unique_ptr<CURLU, UrlCleanup> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, address.c_str(),
                           CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) != CURLUE_OK)
    return address;
  std::string shown =
      PartOf(url.get(), CURLUPART_SCHEME) + "://" + PartOf(url.get(), CURLUPART_HOST);
  const std::string port = PartOf(url.get(), CURLUPART_PORT);
  if (!port.empty()) shown += ":" + port;
  return shown;
}

const char* SourceName(ProxySource source) {
  switch (source) {
    case ProxySource::kFixed:
      return "fixed";
    case ProxySource::kPac:
      return "PAC";
    case ProxySource::kDetected:
      return "detected";
    case ProxySource::kEnvironment:
      return "environment";
    case ProxySource::kNone:
      break;
  }
  return nullptr;
}

}  // namespace

std::string DescribeProxy(const ProxyChoice& choice) {
  std::string line = "Proxy: " + (choice.proxy.empty() ? std::string("none")
                                                       : ProxyWithoutCredentials(choice.proxy));
  if (const char* name = SourceName(choice.source)) {
    line += std::string(" (") + name;
    if (!choice.detail.empty()) line += ": " + choice.detail;
    line += ")";
  }
  return line;
}

void LogTransfer(CURL* h, CURLcode result) {
  long status = 0;
  curl_off_t bytes = 0, microseconds = 0;
  char* address = nullptr;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
  curl_easy_getinfo(h, CURLINFO_TOTAL_TIME_T, &microseconds);
  curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &address);
  const std::string answer = status > 0 ? "HTTP " + std::to_string(status) : "no answer";
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f", static_cast<double>(microseconds) / 1e6);
  ReportToLog("Transfer of %s: %s, %s bytes in %s s, result %d (%s)\n",
              WithoutCredentials(address).c_str(), answer.c_str(), std::to_string(bytes).c_str(),
              duration, static_cast<int>(result), curl_easy_strerror(result));
}

std::string PasswordOf(const char* credentials) {
  const std::string text = credentials ? credentials : "";
  const size_t colon = text.find(':');
  return colon == std::string::npos ? std::string() : text.substr(colon + 1);
}

void TraceRedacted(CURL* handle, const std::string* password) {
  curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, &WriteRedactedTrace);
  curl_easy_setopt(handle, CURLOPT_DEBUGDATA, static_cast<const void*>(password));
}
