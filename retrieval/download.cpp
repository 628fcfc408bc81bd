#include "download.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "basedir.h"
#include "files.h"
#include "package_ca.h"
#include "proxy.h"
#include "report.h"
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
                  const ProxyChoice& proxy) {
  EasyHandle easy(curl_easy_init());
  if (!easy) return CURLE_FAILED_INIT;
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WritePackageChunk);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(sink));
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(h, CURLOPT_USERPWD, credentials);
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
  if (result == CURLE_OK) {
    // libcurl lets a 401 through when the server sent no challenge it
    // recognises, and redirects are not followed: only a success status
    // delivers a package, whatever libcurl made of the rest.
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) result = CURLE_HTTP_RETURNED_ERROR;
  }
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
  return std::fwrite(data, size, count, stream_.get());
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
                        const TransferLimits& limits, const char* trusted_ca_pem) {
  CurlGlobal curl;
  PackageFile sink(target);
  const ProxyChoice proxy = ChooseProxy(url);
  Report("%s\n", DescribeProxy(proxy).c_str());
  int result = Transfer(url, credentials, &sink, limits, trusted_ca_pem, proxy);
  if (result == CURLE_FAILED_INIT) return result;
  // A transfer that delivered no body leaves the earlier package alone.
  if (result == CURLE_OK && sink.started() && !sink.Commit()) result = CURLE_WRITE_ERROR;
  sink.Discard();
  if (result != CURLE_OK) Report("%d\n", result);
  return result;
}

int DownloadPackage() {
  // Where the extraction reads it, whatever the current directory; the
  // program never creates "update".
  const Path target = GetBaseDir() + PATH_TEXT("update") + kPathSeparator + PATH_TEXT("update.zip");
  DownloadPackageFrom(config::kPackageUrl, config::kCredentials, target, TransferLimits(),
                      config::kPackageCaPem);
  return 0;
}
