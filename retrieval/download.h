#pragma once

// Package download: one blocking HTTP GET with basic credentials whose body
// becomes BaseDir + "update/update.zip". Everything here
// runs on the calling thread (the main thread, before any window exists).

#include <cstddef>

#include "file_output.h"
#include "path.h"

// Fetches the package from the compiled-in address with the compiled-in
// credentials, trusting the compiled-in CAs for an https address. Always returns 0: the outcome
// shows in the file on disk and in the diagnostics.
int DownloadPackage();

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
// libcurl's verbose trace goes to standard error; a failure also prints its
// decimal libcurl result code and a line end on standard output. Returns
// that code: 0 on success, 22 for any status but a success (2xx), 23 when the body
// could not be stored, 60 when an https server's certificate is refused
// (after a line saying why).
// An https server must present a certificate for the address's host name
// from one of the CAs in `trusted_ca_pem` (PEM text), or, when that is
// empty, from one the system trusts. The proxy is the one the system's
// settings choose for `url` (platform/proxy.h), named in one line on
// standard output before the transfer; the credentials never go to it.
int DownloadPackageFrom(const char* url, const char* credentials, const Path& target,
                        const TransferLimits& limits = TransferLimits(),
                        const char* trusted_ca_pem = "");

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
};

// libcurl write callback; `sink` is a PackageFile. Returns what
// PackageFile::Write returned: anything but size * count makes libcurl
// abort the transfer with its write error.
std::size_t WritePackageChunk(char* data, std::size_t size, std::size_t count, void* sink);
