#include "download.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "basedir.h"
#include "files.h"
#include "package_ca.h"
#include "proxy.h"
#include "report.h"
#include "transfer_log.h"
#include "updater_config.h"

namespace {

// Beside the target, so that the final rename stays on one volume.
const Path kPartialSuffix = PATH_TEXT(".part");

// libcurl's default of 16 KiB costs a system call pair per 16 KiB and about
// a tenth of the throughput on a fast link; the curl command line reads
// 100 KiB at a time. Memory stays this one buffer, whatever the size.
constexpr long kReceiveBufferBytes = 100 * 1024;

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

class CurlGlobal {
 public:
  CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

// Puts the conditions on the request: If-None-Match as a header of its
// own, else If-Modified-Since through libcurl's time condition. A server
// judges by the entity tag when it has one and ignores the date then; but
// libcurl also drops the body of any answer dated before the condition
// itself, and would so never fetch a new package whose file is older than
// the installed one's (a release put back, a restored backup).
bool SetConditions(CURL* h, const ConditionalGet& conditional, HeaderList* headers) {
  if (!conditional.if_none_match.empty()) {
    const std::string line = "If-None-Match: " + conditional.if_none_match;
    curl_slist* list = curl_slist_append(nullptr, line.c_str());
    if (!list) return false;
    headers->reset(list);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
    return true;
  }
  const time_t since = conditional.if_modified_since.empty()
                           ? -1
                           : curl_getdate(conditional.if_modified_since.c_str(), nullptr);
  if (since > 0) {
    curl_easy_setopt(h, CURLOPT_TIMECONDITION, static_cast<long>(CURL_TIMECOND_IFMODSINCE));
    curl_easy_setopt(h, CURLOPT_TIMEVALUE_LARGE, static_cast<curl_off_t>(since));
  }
  return true;
}

std::string ResponseHeader(CURL* h, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(h, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return std::string();
  return header->value;
}

// Peer and host-name checks stay on (libcurl's defaults); only whom the
// peer's chain must end at changes.
void TrustOnly(CURL* h, const char* ca_pem) {
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

bool IsTlsRefusal(CURLcode result) {
  return result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CONNECT_ERROR ||
         result == CURLE_SSL_CACERT_BADFILE;
}

// Runs the transfer into `sink`; returns libcurl's result code, or
// CURLE_FAILED_INIT when there is no handle (nothing was sent then).
CURLcode Transfer(const char* url, const char* credentials, PackageFile* sink,
                  const TransferLimits& limits, const char* trusted_ca_pem,
                  const ProxyChoice& proxy, ConditionalGet* conditional = nullptr) {
  EasyHandle easy(curl_easy_init());
  if (!easy) return CURLE_FAILED_INIT;
  CURL* h = easy.get();
  HeaderList headers;
  if (conditional && !SetConditions(h, *conditional, &headers)) return CURLE_OUT_OF_MEMORY;
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WritePackageChunk);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(sink));
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(h, CURLOPT_USERPWD, credentials);
  const std::string password = PasswordOf(credentials);
  TraceRedacted(h, &password);
  // An error page is not a package: its body is never delivered.
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_seconds);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_limit_bytes_per_second);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time_seconds);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  TrustOnly(h, trusted_ca_pem);
  UseProxy(h, proxy);
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  CURLcode result = curl_easy_perform(h);
  if (IsTlsRefusal(result))
    Report("Secure connection to %s refused: %s\n", url,
           *error ? error : curl_easy_strerror(result));
  if (result == CURLE_OK && conditional) {
    long status = 0, unmet = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(h, CURLINFO_CONDITION_UNMET, &unmet);
    // libcurl itself drops the body of a 200 whose Last-Modified does not
    // meet the time condition.
    conditional->not_modified = status == 304 || unmet != 0;
    if (conditional->not_modified) return CURLE_OK;
    conditional->etag = ResponseHeader(h, "ETag");
    conditional->last_modified = ResponseHeader(h, "Last-Modified");
  }
  if (result == CURLE_OK) {
    // libcurl lets a 401 through when the server sent no challenge it
    // recognises, and redirects are not followed: only a success status
    // delivers a package, whatever libcurl made of the rest.
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) result = CURLE_HTTP_RETURNED_ERROR;
  }
  LogTransfer(h, result);
  return result;
}

}  // namespace

PackageFile::PackageFile(Path target)
    : target_(std::move(target)), partial_(target_ + kPartialSuffix) {}

PackageFile::~PackageFile() { Discard(); }

std::size_t PackageFile::Write(const char* data, std::size_t size, std::size_t count) {
  if (!stream_) {
    stream_ = OpenFileForWriting(partial_);
    if (!stream_) return static_cast<std::size_t>(-1);
  }
  const std::size_t written = std::fwrite(data, size, count, stream_.get());
  // Hashing here costs no second pass over the file.
  if (hasher_) hasher_->Update(data, written * size);
  return written;
}

bool PackageFile::Commit() {
  if (!stream_) return false;
  if (!CloseWrittenFile(std::move(stream_)) || !MoveReplacing(partial_, target_)) {
    RemoveFileEntry(partial_);
    return false;
  }
  return true;
}

void PackageFile::Discard() {
  if (!stream_) return;
  stream_.reset();
  RemoveFileEntry(partial_);
}

std::size_t WritePackageChunk(char* data, std::size_t size, std::size_t count, void* sink) {
  return static_cast<PackageFile*>(sink)->Write(data, size, count);
}

int DownloadPackageFrom(const char* url, const char* credentials, const Path& target,
                        const TransferLimits& limits, const char* trusted_ca_pem,
                        PackageHasher* hasher, ConditionalGet* conditional) {
  CurlGlobal curl;
  PackageFile sink(target);
  sink.set_hasher(hasher);
  const ProxyChoice proxy = ChooseProxy(url);
  Report("%s\n", DescribeProxy(proxy).c_str());
  int result = Transfer(url, credentials, &sink, limits, trusted_ca_pem, proxy, conditional);
  if (result == CURLE_FAILED_INIT) return result;
  // A transfer that delivered no body leaves the earlier package alone.
  if (result == CURLE_OK && sink.started() && !sink.Commit()) result = CURLE_WRITE_ERROR;
  sink.Discard();
  if (result != CURLE_OK) Report("%d\n", result);
  NoteDownloadResult(result);
  return result;
}

DownloadOutcome DownloadPackage(PackageHasher* hasher, ConditionalGet* conditional) {
  // Where the extraction reads it, whatever the current directory; the
  // program never creates "update".
  const Path target = GetBaseDir() + PATH_TEXT("update") + kPathSeparator + PATH_TEXT("update.zip");
  const int result =
      DownloadPackageFrom(config::kPackageUrl, config::kCredentials, target, TransferLimits(),
                          config::kPackageCaPem, hasher, conditional);
  if (result != CURLE_OK) return DownloadOutcome::kNone;
  if (conditional->not_modified) return DownloadOutcome::kNotModified;
  // A success without a body stored nothing.
  return hasher->size() > 0 ? DownloadOutcome::kStored : DownloadOutcome::kNone;
}

bool DownloadSignature() {
  const Path target =
      GetBaseDir() + PATH_TEXT("update") + kPathSeparator + PATH_TEXT("update.zip.minisig");
  RemoveFileEntry(target);
  const std::string url = std::string(config::kPackageUrl) + ".minisig";
  return DownloadPackageFrom(url.c_str(), config::kCredentials, target, TransferLimits(),
                             config::kPackageCaPem) == CURLE_OK;
}
