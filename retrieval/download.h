#pragma once

// Package download: one blocking HTTP GET with basic credentials whose body
// becomes BaseDir + "update/update.zip". Everything here
// runs on the calling thread (the main thread, before any window exists).

#include <cstddef>
#include <string>

#include "file_output.h"
#include "package_hash.h"
#include "path.h"

// A conditional GET and what the server answered about the body.
struct ConditionalGet {
  std::string if_none_match;      // sent as If-None-Match when not empty
  std::string if_modified_since;  // an HTTP date, sent as If-Modified-Since
                                  // when not empty and there is no entity tag
  bool not_modified = false;      // out: the server said the body is unchanged
  std::string etag;               // out: the answer's ETag, if any
  std::string last_modified;      // out: the answer's Last-Modified, if any
};

enum class DownloadOutcome {
  kStored,       // a new package is on disk
  kNotModified,  // the server's package is the installed one (304)
  kNone,         // nothing new stored: an earlier package is as it was
};

// Fetches the package from the compiled-in address with the compiled-in
// credentials, trusting the compiled-in CAs for an https address, on the
// condition that it differs from the installed one
// (`conditional` carries the installed package's ETag and Last-Modified,
// and receives the server's), feeding every byte of the body to `hasher`.
// After kStored `hasher` has seen exactly the new package's bytes.
DownloadOutcome DownloadPackage(PackageHasher* hasher, ConditionalGet* conditional);

// Fetches the package's signature file from the package address plus
// ".minisig", with the same credentials, into BaseDir +
// "update/update.zip.minisig". An earlier signature file is removed first:
// it belongs to an earlier package. True when one was stored.
bool DownloadSignature();

// A server that accepts the connection and then stalls must not keep the
// invisible updater alive forever; a slow but moving transfer of any size
// is never cut.
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kLowSpeedLimitBytesPerSecond = 1;
inline constexpr long kLowSpeedTimeSeconds = 60;

struct TransferLimits {
  long connect_timeout_seconds = kConnectTimeoutSeconds;
  long low_speed_limit_bytes_per_second = kLowSpeedLimitBytesPerSecond;
  long low_speed_time_seconds = kLowSpeedTimeSeconds;
};

// Fetches `url` with `credentials` ("user:password", HTTP basic) into
// `target`. The body goes to a partial file beside the target, which
// replaces the target only after a complete transfer with a success status;
// after any failure the target is as it was and the partial file is gone.
// libcurl's verbose trace goes to standard error, with the credentials'
// value replaced; the log gets one line for the transfer instead (status,
// bytes, duration, the address without credentials). A failure also prints
// its decimal libcurl result code and a line end on standard output. Returns
// that code: 0 on success, 22 for any status but a success (2xx), 23 when the body
// could not be stored, 60 when an https server's certificate is refused
// (after a line saying why).
// An https server must present a certificate for the address's host name
// from one of the CAs in `trusted_ca_pem` (PEM text), or, when that is
// empty, from one the system trusts. The proxy is the one the system's
// settings choose for `url` (platform/proxy.h), named in one line on
// standard output before the transfer; the credentials never go to it.
// When `hasher` is given, the sink feeds it every byte it stores. When
// `conditional` is given, the request carries its conditions, and an
// answer that the body is unchanged (304, or a Last-Modified that does
// not meet the condition) stores nothing and returns 0.
int DownloadPackageFrom(const char* url, const char* credentials, const Path& target,
                        const TransferLimits& limits = TransferLimits(),
                        const char* trusted_ca_pem = "", PackageHasher* hasher = nullptr,
                        ConditionalGet* conditional = nullptr);

// Why the last DownloadPackageFrom of this process failed, in a few words
// for the run's outcome line ("the server answered HTTP 404", libcurl's
// text for its code); empty when it succeeded or none ran. Main thread.
std::string LastDownloadFailure();

// Where the body of one transfer goes. Nothing is created before the first
// block arrives. Destroying a sink that was not committed removes its
// partial file.
class PackageFile {
 public:
  explicit PackageFile(Path target);
  ~PackageFile();
  PackageFile(const PackageFile&) = delete;
  PackageFile& operator=(const PackageFile&) = delete;

  const Path& target() const { return target_; }
  const Path& partial() const { return partial_; }
  // True while the partial file is open: from the first block until it is
  // committed or discarded.
  bool started() const { return stream_ != nullptr; }
  // Every byte written from now on is fed to `hasher` too (null: none).
  void set_hasher(PackageHasher* hasher) { hasher_ = hasher; }

  // Writes `count` items of `size` bytes; the result is that of the C block
  // write, or all ones when the partial file cannot be opened.
  std::size_t Write(const char* data, std::size_t size, std::size_t count);
  // Closes the partial file and moves it over the target. False (with the
  // partial file removed and the target untouched) when either step fails
  // or nothing was written.
  bool Commit();
  // Closes and removes the partial file, if any.
  void Discard();

 private:
  Path target_;
  Path partial_;
  FilePtr stream_;
  PackageHasher* hasher_ = nullptr;
};

// libcurl write callback; `sink` is a PackageFile. Returns what
// PackageFile::Write returned: anything but size * count makes libcurl
// abort the transfer with its write error.
std::size_t WritePackageChunk(char* data, std::size_t size, std::size_t count, void* sink);
