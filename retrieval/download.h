#pragma once

// Package download: one blocking HTTP GET with basic credentials whose body
// becomes BaseDir + "update/update.zip". Everything here
// runs on the calling thread (the main thread, before any window exists).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

// What the download of a run brought.
struct DownloadResult {
  DownloadOutcome outcome = DownloadOutcome::kNone;
  // With kStored: the package file that this run committed, hashed as its
  // bytes arrived. Empty otherwise, whatever an attempt had received.
  HashedPackage package;
  // Why nothing was stored, when the download failed or the server's
  // answer held no package; empty otherwise.
  std::string failure;
  // The end of the run's download phase: the signature's fetch keeps to it
  // too.
  std::chrono::steady_clock::time_point deadline;
  // The package was rebuilt from the kept one (delta_download.h): one that
  // fails its check is to be downloaded whole, in the same run.
  bool rebuilt = false;
};

// Fetches the package from the compiled-in address with the compiled-in
// credentials, trusting the compiled-in CAs for an https address, on the
// condition that it differs from the installed one
// (`conditional` carries the installed package's ETag and Last-Modified,
// and receives the server's). With the installed package kept in update/
// and no partial download to continue, it is first tried as a delta
// (delta_download.h), unless `whole` asks for the whole package. The whole
// download phase, the signature's fetch included, ends kDownloadTimeLimit
// after `phase_start`.
DownloadResult DownloadPackage(
    ConditionalGet* conditional, bool whole = false,
    std::chrono::steady_clock::time_point phase_start = std::chrono::steady_clock::now());

// Fetches the package's signature file from the package address plus
// ".minisig", with the same credentials, into BaseDir +
// "update/update.zip.minisig", by `deadline` (the download phase's). An
// earlier signature file is removed first: it belongs to an earlier
// package. True when one was stored.
bool DownloadSignature(std::chrono::steady_clock::time_point deadline);

// A server that accepts the connection and then stalls must not keep the
// invisible updater alive forever; a slow but moving transfer is cut only
// by the download's time limit (below).
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kLowSpeedLimitBytesPerSecond = 1;
inline constexpr long kLowSpeedTimeSeconds = 60;

// Links that drop for seconds and servers that shed load: a failed attempt
// is retried when waiting may help, up to this many attempts in a row that
// bring no new bytes, after a back-off that doubles from the first delay up
// to the largest. The whole download, waits included, ends at the time
// limit; what it got by then is kept for the next run.
inline constexpr int kMaxAttemptsWithoutProgress = 5;
inline constexpr std::chrono::milliseconds kFirstRetryDelay{2000};
inline constexpr std::chrono::milliseconds kMaxRetryDelay{60000};
inline constexpr std::chrono::milliseconds kDownloadTimeLimit{10 * 60 * 1000};

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

// Fetches `url` with `credentials` ("user:password", HTTP basic) into
// `target`. The body goes to a partial file beside the target, which
// replaces the target only after a complete transfer with a success status;
// after any failure the target is as it was. A partial file whose source the
// server identified (a strong ETag or a Last-Modified date, and the total
// size) is kept with its identification file after a failure, and the next
// attempt, in this run or a later one, asks only for the rest; any other is
// removed. Connection failures, time-outs, cut bodies and the statuses 408,
// 429, 500, 502, 503 and 504 are retried within `limits`; each failed
// attempt prints one line on standard output (its number, what failed, and
// the wait before the next). libcurl's verbose trace goes to standard error,
// with the credentials' value replaced; the log gets one line for each transfer
// (status, bytes, duration, the address without credentials). A failed
// download ends with its decimal libcurl result code and a line end on
// standard output. Returns that code: 0 on success, 22 for any status but a
// success (2xx), 23 when the body could not be stored, 60 when an https
// server's certificate is refused (after a line saying why).
// An https server must present a certificate for the address's host name
// from one of the CAs in `trusted_ca_pem` (PEM text), or, when that is
// empty, from one the system trusts. The proxy is the one the system's
// settings choose for `url` (platform/proxy.h), named in one line on
// standard output before the transfer; the credentials never go to it.
// When a body was committed and `stored` is given, *stored describes the
// target: its identity once in place and the digest of exactly the bytes
// of that body (those already on disk first, when a transfer continued a
// partial file); otherwise *stored is left empty. When
// `conditional` is given, the request carries its conditions, and an
// answer that the body is unchanged (304, or a Last-Modified that does
// not meet the condition) stores nothing and returns 0.
int DownloadPackageFrom(const char* url, const char* credentials, const Path& target,
                        const TransferLimits& limits = TransferLimits(),
                        const char* trusted_ca_pem = "", HashedPackage* stored = nullptr,
                        ConditionalGet* conditional = nullptr);

// Why the last DownloadPackageFrom of this process failed, in a few words
// for the run's outcome line ("the server answered HTTP 404", libcurl's
// text for its code); empty when it succeeded or none ran. Main thread.
std::string LastDownloadFailure();

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

// Where the body of one transfer goes: the partial file beside the target,
// with an identification file beside it ("<target>.part.id", written
// atomically) while it holds part of a resumable body. Files are created or
// opened only when the first block arrives. Every body is hashed as it is
// written, by a hasher that starts with that body: what one body left is
// never mistaken for another's. Destroying a sink while its partial file
// is open (neither committed nor kept) removes it. Calling thread only.
class PackageFile {
 public:
  explicit PackageFile(Path target);
  ~PackageFile();
  PackageFile(const PackageFile&) = delete;
  PackageFile& operator=(const PackageFile&) = delete;

  const Path& target() const { return target_; }
  const Path& partial() const { return partial_; }
  // True while the partial file is open: from the first block until it is
  // committed, kept or discarded.
  bool started() const { return stream_ != nullptr; }

  // A partial file that an earlier transfer left with its identification:
  // puts what that says into `source` and returns the file's size, which is
  // where the next body must start. Returns 0 when there is none, after
  // removing a partial file without a valid identification, or larger than
  // its total, and an identification without its partial file.
  uint64_t FindResumable(PartialSource* source);
  // Says what the coming body is: the rest of the partial file from
  // `offset` (as FindResumable returned it) or, with offset 0, a whole body
  // from `source` (resumable or not). Touches no file.
  void Expect(uint64_t offset, const PartialSource& source);
  // Hands the bytes that the partial file already holds, up to the offset
  // given to Expect, to `consume` in order (for whatever must see the whole
  // body, such as a hash, when a transfer continues it). False when they
  // cannot all be read or `consume` returns false.
  bool ReadPartial(const std::function<bool(const char*, std::size_t)>& consume) const;

  // Writes `count` items of `size` bytes; the result is that of the C block
  // write, or all ones when the partial file cannot be opened. The first
  // block of a whole body replaces any earlier partial file and writes the
  // identification of a resumable one; the first block of a continuation
  // appends, after checking that the file still ends at the offset.
  std::size_t Write(const char* data, std::size_t size, std::size_t count);
  // Closes the partial file and moves it over the target; removes the
  // identification. False (with the partial file removed and the target
  // untouched) when either step fails or nothing was written. When
  // `stored` is given, it then gets the target's identity and the digest of
  // the body (see DownloadPackageFrom); false, and nothing in *stored, when
  // the file in place is not the size that was hashed.
  bool Commit(HashedPackage* stored = nullptr);
  // After a failed transfer: closes the partial file and leaves it on the
  // disk, its bytes flushed, when it holds part of a resumable body and its
  // identification was written; removes both otherwise. Returns the bytes
  // kept.
  uint64_t Keep();
  // Closes and removes the partial file, if any, and its identification.
  void Discard();

 private:
  void RemoveFiles();
  bool Open();

  Path target_;
  Path partial_;
  Path identification_;
  FilePtr stream_;
  uint64_t offset_ = 0;
  uint64_t found_ = 0;  // the size FindResumable found
  PartialSource source_;
  uint64_t size_ = 0;
  bool identified_ = false;  // the identification file describes the open partial file
  std::unique_ptr<PackageHasher> hasher_;  // the open body's
};

// libcurl write callback; `sink` is a PackageFile. Returns what
// PackageFile::Write returned: anything but size * count makes libcurl
// abort the transfer with its write error.
std::size_t WritePackageChunk(char* data, std::size_t size, std::size_t count, void* sink);
