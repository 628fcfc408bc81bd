#pragma once

// The whole download of a file (the package, its signature) through the
// run's transport: the body goes to a partial file beside the target, which
// replaces the target only after a complete transfer with a success
// status. Everything here runs on the calling thread (the main thread,
// before any window exists).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "file_output.h"
#include "package_hash.h"
#include "path.h"
#include "transport.h"

// What a whole download brought.
struct WholeDownload {
  // libcurl's result code: 0 on success, 22 for any status but a success
  // (2xx), 23 when the body could not be stored, 60 when an https server's
  // certificate is refused.
  int code = 0;
  // With code 0: the server said the body is unchanged (304, or a
  // Last-Modified that does not meet the condition); nothing was stored.
  bool not_modified = false;
  // Why it failed, in a few words for the run's outcome line ("the server
  // answered HTTP 404", libcurl's text for its code); empty on success.
  std::string failure;
  // What the last answer was.
  AnswerKind kind = AnswerKind::kSuccess;
};

// Fetches `url` (empty: the transport's address) into `target`. A partial
// file whose source the server identified (a strong ETag or a Last-Modified
// date, and the total size) is kept with its identification file after a
// failure, and the next attempt, in this run or a later one, asks only for
// the rest; any other is removed. Failures are retried with the
// transport's policy (transport.h), as "Download attempt N failed: ..."
// lines; a failed download ends with its decimal libcurl result code and a
// line end on standard output. After any failure the target is as it was.
// When a body was committed and `stored` is given, *stored describes the
// target: its identity once in place and the digest of exactly the bytes of
// that body (those already on disk first, when a transfer continued a
// partial file); otherwise *stored is left empty. When `conditional` is
// given, the request carries its conditions and receives the answer's ETag
// and Last-Modified.
WholeDownload DownloadWhole(Transport* transport, const std::string& url, const Path& target,
                            HashedPackage* stored = nullptr, ConditionalGet* conditional = nullptr);

// DownloadWhole through a transport of its own, for `url` with
// `credentials`, trusting `trusted_ca_pem` (empty: the system's CAs).
// Returns the result code; *failure, when given, gets the reason.
int DownloadPackageFrom(const char* url, const char* credentials, const Path& target,
                        const TransferLimits& limits = TransferLimits(),
                        const char* trusted_ca_pem = "", HashedPackage* stored = nullptr,
                        ConditionalGet* conditional = nullptr, std::string* failure = nullptr);

// What a body is, as a file beside it says (a partial file's
// identification, a complete package waiting for its signature): the
// validator under its header name ("ETag: ..." or "Last-Modified: ..."),
// then "Total-Size: <bytes>". Parsing is false for anything else, or for a
// source that is not resumable.
std::string IdentificationText(const PartialSource& source);
bool ParseIdentification(const std::string& text, PartialSource* source);

// Whether a download of `target` left a partial file to continue.
bool HasPartialDownload(const Path& target);

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

enum class DownloadOutcome {
  kStored,       // a new package is on disk
  kNotModified,  // the server's package is the installed one (304)
  kNone,         // nothing new stored: an earlier package is as it was
};

// What the download of a run brought.
struct DownloadResult {
  DownloadOutcome outcome = DownloadOutcome::kNone;
  // With kStored: the package file, hashed as its bytes arrived (or, for a
  // package that waited for its signature, as this run read it).
  HashedPackage package;
  // Why nothing was stored, when the download failed or the server's
  // answer held no package; empty otherwise.
  std::string failure;
  // The package was rebuilt from the kept one (delta_fetch.h): only its
  // signature, or without a key its extraction, proves it.
  bool rebuilt = false;
  // Some of its local headers were predicted, not fetched.
  bool predicted = false;
};
