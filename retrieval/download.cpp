#include "download.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "basedir.h"
#include "delta_download.h"
#include "durable.h"
#include "files.h"
#include "multipart.h"
#include "package_ca.h"
#include "proxy.h"
#include "report.h"
#include "request.h"
#include "transfer_log.h"
#include "updater_config.h"

namespace {

// Beside the target, so that the final rename stays on one volume.
const Path kPartialSuffix = PATH_TEXT(".part");
const Path kIdentificationSuffix = PATH_TEXT(".id");

using Clock = std::chrono::steady_clock;

// One request of a download, and what its answer said.
struct Attempt {
  CURL* handle = nullptr;
  PackageFile* sink = nullptr;
  uint64_t offset = 0;         // where the kept partial file ends; 0 asks for the whole body
  PartialSource resumed;       // what the kept partial file is part of, when offset > 0
  Clock::time_point deadline;  // the end of the whole download
  long status = 0;             // the final answer's HTTP status; 0 before one came
  long long retry_after = -1;  // its Retry-After in seconds; -1 without
  bool conditional = false;    // the request carries conditions: a 304 is an answer
  bool inconsistent = false;   // the answer does not continue the partial file
};

// What the server says the body of its whole-body answer is. A weak ETag
// cannot ask for a range (If-Range needs a strong one).
PartialSource SourceOfAnswer(CURL* handle) {
  PartialSource source;
  curl_off_t length = -1;
  if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
      length > 0)
    source.total_size = static_cast<uint64_t>(length);
  const char* etag = AnswerHeader(handle, "ETag");
  const char* date = AnswerHeader(handle, "Last-Modified");
  if (etag && *etag && std::strncmp(etag, "W/", 2) != 0) {
    source.kind = PartialSource::Validator::kETag;
    source.validator = etag;
  } else if (date && *date) {
    source.kind = PartialSource::Validator::kLastModified;
    source.validator = date;
  }
  return source;
}

// Reads a decimal number at *text and moves past it; false when there is none.
bool ReadNumber(const char** text, uint64_t* value) {
  if (**text < '0' || **text > '9') return false;
  char* end = nullptr;
  *value = std::strtoull(*text, &end, 10);
  *text = end;
  return true;
}

// True when a 206 answer is exactly the rest of the partial file: its
// Content-Range ("bytes <first>-<last>/<total>") starts at the offset and
// runs to the end of the same total, and its validator, when it sends one,
// is the partial file's.
bool ContinuesPartial(const Attempt& attempt) {
  const char* range = AnswerHeader(attempt.handle, "Content-Range");
  uint64_t first = 0, last = 0, total = 0;
  if (!range || !ParseContentRange(range, &first, &last, &total)) return false;
  if (first != attempt.offset || last + 1 != total || total != attempt.resumed.total_size)
    return false;
  const bool etag = attempt.resumed.kind == PartialSource::Validator::kETag;
  const char* validator = AnswerHeader(attempt.handle, etag ? "ETag" : "Last-Modified");
  return !validator || attempt.resumed.validator == validator;
}

// libcurl header callback; `context` is the Attempt. At the end of the final
// answer's head it tells the sink what the body is, or refuses the body:
// an error page is not a package, and a range that does not continue the
// partial file is not part of it.
std::size_t OnHeaderLine(char* data, std::size_t size, std::size_t count, void* context) {
  auto* attempt = static_cast<Attempt*>(context);
  const std::size_t bytes = size * count;
  const long status = StatusAtEndOfHead(attempt->handle, data, bytes);
  if (status == 0) return bytes;
  attempt->status = status;
  curl_off_t retry_after = 0;
  if (curl_easy_getinfo(attempt->handle, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK &&
      AnswerHeader(attempt->handle, "Retry-After"))
    attempt->retry_after = std::max<curl_off_t>(retry_after, 0);  // a date already past: now
  // Not modified: no body follows, and nothing is stored.
  if (status == 304 && attempt->conditional) return bytes;
  if (status == 206) {
    if (attempt->offset == 0 || !ContinuesPartial(*attempt)) {
      attempt->inconsistent = true;
      return 0;
    }
    attempt->sink->Expect(attempt->offset, attempt->resumed);
    return bytes;
  }
  if (status > 299) return 0;
  attempt->sink->Expect(0, SourceOfAnswer(attempt->handle));
  return bytes;
}

// Runs one request into `sink`; returns libcurl's result code, or
// CURLE_FAILED_INIT when there is no handle (nothing was sent then).
CURLcode Transfer(const char* url, const char* credentials, PackageFile* sink,
                  const TransferLimits& limits, const char* trusted_ca_pem,
                  const ProxyChoice& proxy, ConditionalGet* conditional, Attempt* attempt) {
  EasyHandle easy(curl_easy_init());
  if (!easy) return CURLE_FAILED_INIT;
  CURL* h = easy.get();
  HeaderList headers;
  if (conditional && !SetConditions(h, *conditional, &headers)) return CURLE_OUT_OF_MEMORY;
  const std::string password = PasswordOf(credentials);
  SetUpRequest(h, url, credentials, &password, limits, attempt->deadline, trusted_ca_pem, proxy);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WritePackageChunk);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(sink));
  attempt->handle = h;
  attempt->sink = sink;
  attempt->conditional = conditional != nullptr;
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, static_cast<void*>(attempt));
  // The rest of the partial file, only if it is still the same file: a
  // server whose file changed, or that ignores ranges, answers 200 with the
  // whole body, which starts over in this same request.
  // The conditions (in `headers` already) go along with the range.
  std::string range;
  if (attempt->offset > 0) {
    range = std::to_string(attempt->offset) + "-";
    curl_easy_setopt(h, CURLOPT_RANGE, range.c_str());
    if (!AddHeader(&headers, "If-Range: " + attempt->resumed.validator)) return CURLE_OUT_OF_MEMORY;
  }
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  CURLcode result = curl_easy_perform(h);
  if (IsTlsRefusal(result))
    Report("Secure connection to %s refused: %s\n", url,
           *error ? error : curl_easy_strerror(result));
  // The head callback refused the body of an answer that is no success.
  if (result == CURLE_WRITE_ERROR && (attempt->status < 200 || attempt->status > 299) &&
      attempt->status != 0)
    result = CURLE_HTTP_RETURNED_ERROR;
  if (result == CURLE_OK && conditional) {
    long status = 0, unmet = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(h, CURLINFO_CONDITION_UNMET, &unmet);
    // libcurl itself drops the body of a 200 whose Last-Modified does not
    // meet the time condition.
    conditional->not_modified = status == 304 || unmet != 0;
    if (conditional->not_modified) {
      LogTransfer(h, result);
      return CURLE_OK;
    }
    const char* etag = AnswerHeader(h, "ETag");
    const char* last_modified = AnswerHeader(h, "Last-Modified");
    conditional->etag = etag ? etag : "";
    conditional->last_modified = last_modified ? last_modified : "";
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

// What failed, for the attempt's line.
std::string DescribeFailure(CURLcode result, const Attempt& attempt) {
  std::string text;
  if (result == CURLE_HTTP_RETURNED_ERROR && attempt.status != 0) {
    text = "HTTP status " + std::to_string(attempt.status);
    if (attempt.retry_after >= 0)
      text += " with Retry-After " + std::to_string(attempt.retry_after) + " s";
  } else if (attempt.inconsistent) {
    text = "the answer does not continue the partial file";
  } else {
    text = std::string(curl_easy_strerror(result)) + " (" + std::to_string(result) + ")";
  }
  return text;
}

// The identification file's text: the validator under its header name, then
// the total size.
std::string IdentificationText(const PartialSource& source) {
  const bool etag = source.kind == PartialSource::Validator::kETag;
  return std::string(etag ? "ETag: " : "Last-Modified: ") + source.validator +
         "\nTotal-Size: " + std::to_string(source.total_size) + "\n";
}

bool ParseIdentification(const std::string& text, PartialSource* source) {
  const std::string size_field = "\nTotal-Size: ";
  const std::size_t size_at = text.find(size_field);
  if (size_at == std::string::npos || text.empty() || text.back() != '\n') return false;
  const std::string first = text.substr(0, size_at);
  const char* size = text.c_str() + size_at + size_field.size();
  uint64_t total = 0;
  if (!ReadNumber(&size, &total) || *size != '\n' || size + 1 != text.c_str() + text.size())
    return false;
  PartialSource parsed;
  for (const auto& [kind, name] :
       {std::make_pair(PartialSource::Validator::kETag, "ETag: "),
        std::make_pair(PartialSource::Validator::kLastModified, "Last-Modified: ")}) {
    if (first.rfind(name, 0) == 0) {
      parsed.kind = kind;
      parsed.validator = first.substr(std::strlen(name));
    }
  }
  parsed.total_size = total;
  if (!parsed.resumable() || parsed.validator.empty() ||
      parsed.validator.find_first_of("\r\n") != std::string::npos)
    return false;
  *source = parsed;
  return true;
}

}  // namespace

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

PackageFile::PackageFile(Path target)
    : target_(std::move(target)),
      partial_(target_ + kPartialSuffix),
      identification_(partial_ + kIdentificationSuffix) {}

PackageFile::~PackageFile() {
  if (stream_) Discard();
}

uint64_t PackageFile::FindResumable(PartialSource* source) {
  *source = PartialSource();
  std::string text;
  PartialSource found;
  uint64_t size = 0;
  if (ReadWholeFile(identification_, &text) && ParseIdentification(text, &found) &&
      OpenFileForReading(partial_, &size) && size > 0 && size < found.total_size) {
    *source = found;
    found_ = size;
    return size;
  }
  RemoveFiles();
  return 0;
}

void PackageFile::Expect(uint64_t offset, const PartialSource& source) {
  offset_ = offset;
  source_ = source;
}

bool PackageFile::ReadPartial(const std::function<bool(const char*, std::size_t)>& consume) const {
  uint64_t size = 0;
  FilePtr file = OpenFileForReading(partial_, &size);
  if (!file || size < offset_) return false;
  std::unique_ptr<char[]> block(new char[kFileBufferSize]);
  for (uint64_t left = offset_; left > 0;) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, kFileBufferSize));
    if (std::fread(block.get(), 1, want, file.get()) != want || !consume(block.get(), want))
      return false;
    left -= want;
  }
  return true;
}

bool PackageFile::Open() {
  hasher_.reset(new PackageHasher);
  if (offset_ > 0) {
    // Something else may have changed the file since it was measured.
    uint64_t size = 0;
    stream_ = OpenFileForAppending(partial_, &size);
    if (stream_ && size != offset_) stream_.reset();
    // The hash covers the whole package: the bytes already on disk first.
    if (stream_ && !ReadPartial([this](const char* data, std::size_t count) {
          hasher_->Update(data, count);
          return true;
        }))
      stream_.reset();
    size_ = offset_;
    identified_ = true;
    return stream_ != nullptr;
  }
  // The old identification goes before the bytes it described.
  RemoveFileEntry(identification_);
  stream_ = OpenFileForWriting(partial_);
  if (!stream_) return false;
  size_ = 0;
  identified_ = false;
  if (!source_.resumable()) return true;
  // Written whole or not at all: a partial file is never resumed on a
  // half-written identification.
  identified_ = WriteFileAtomically(identification_, IdentificationText(source_));
  return true;
}

std::size_t PackageFile::Write(const char* data, std::size_t size, std::size_t count) {
  if (!stream_ && !Open()) return static_cast<std::size_t>(-1);
  const std::size_t written = std::fwrite(data, size, count, stream_.get());
  size_ += static_cast<uint64_t>(written) * size;
  // Hashing here costs no second pass over the file.
  hasher_->Update(data, written * size);
  return written;
}

bool PackageFile::Commit(HashedPackage* stored) {
  if (!stream_) return false;
  if (!CloseWrittenFile(std::move(stream_)) || !MoveReplacing(partial_, target_)) {
    RemoveFiles();
    return false;
  }
  RemoveFileEntry(identification_);
  const PackageDigests digests = hasher_->Finish();
  hasher_.reset();
  if (!stored) return true;
  // The rename kept the file: it is identified where the extraction will
  // find it, and must hold exactly what went through the hasher.
  FileIdentity identity;
  if (!IdentifyFile(target_, &identity) || identity.size != digests.size) return false;
  stored->file = target_;
  stored->identity = identity;
  stored->digests = digests;
  return true;
}

uint64_t PackageFile::Keep() {
  // Nothing written: whatever the disk held stays as it was.
  if (!stream_) return found_;
  hasher_.reset();
  if (CloseWrittenFile(std::move(stream_)) && identified_ && size_ > 0 && FlushFile(partial_))
    return size_;
  RemoveFiles();
  return 0;
}

void PackageFile::Discard() {
  stream_.reset();
  RemoveFiles();
}

void PackageFile::RemoveFiles() {
  hasher_.reset();
  RemoveFileEntry(partial_);
  RemoveFileEntry(identification_);
  offset_ = 0;
  found_ = 0;
  size_ = 0;
  identified_ = false;
}

std::size_t WritePackageChunk(char* data, std::size_t size, std::size_t count, void* sink) {
  return static_cast<PackageFile*>(sink)->Write(data, size, count);
}

int DownloadPackageFrom(const char* url, const char* credentials, const Path& target,
                        const TransferLimits& limits, const char* trusted_ca_pem,
                        HashedPackage* stored, ConditionalGet* conditional) {
  CurlGlobal curl;
  PackageFile sink(target);
  const ProxyChoice proxy = ChooseProxy(url);
  Report("%s\n", DescribeProxy(proxy).c_str());
  const Clock::time_point deadline =
      limits.deadline != Clock::time_point() ? limits.deadline : Clock::now() + limits.time_limit;
  // Seeded apart on every machine, so that clients that failed together
  // spread out.
  std::seed_seq seed{std::random_device()(),
                     static_cast<unsigned>(Clock::now().time_since_epoch().count())};
  std::mt19937 random(seed);
  int result = CURLE_OK;
  // Attempts in a row that brought no new bytes: a flaky link that cuts a
  // long transfer again and again still moves it forward.
  int fruitless = 0;
  for (int number = 1;; ++number) {
    Attempt attempt;
    attempt.deadline = deadline;
    attempt.offset = sink.FindResumable(&attempt.resumed);
    const CURLcode code =
        Transfer(url, credentials, &sink, limits, trusted_ca_pem, proxy, conditional, &attempt);
    result = code;
    if (code == CURLE_FAILED_INIT) return result;
    if (code == CURLE_OK) {
      // A transfer that delivered no body leaves the earlier package alone.
      if (sink.started() && !sink.Commit(stored)) result = CURLE_WRITE_ERROR;
      sink.Discard();
      break;
    }
    // A range that does not fit (416) or an answer that does not continue
    // the partial file: it goes, and the next attempt asks for everything.
    const bool restart = attempt.inconsistent || (attempt.offset > 0 && attempt.status == 416);
    uint64_t kept = 0;
    if (restart)
      sink.Discard();
    else
      kept = sink.Keep();
    fruitless = kept > attempt.offset ? 0 : fruitless + 1;

    // Either another attempt after `delay`, or the end, and why.
    std::string next;
    std::chrono::milliseconds delay(0);
    if (!restart && !WorthRetrying(code, attempt.status)) {
      next = "not retried";
    } else if (fruitless >= limits.max_attempts_without_progress) {
      next = "giving up after " + std::to_string(fruitless) + " attempts without new bytes";
    } else {
      if (!restart)
        delay = RetryDelay(std::max(fruitless, 1), attempt.retry_after, limits,
                           std::uniform_real_distribution<double>(0.0, 1.0)(random));
      if (Clock::now() + delay >= deadline)
        next = "the download's time limit of " + std::to_string(limits.time_limit.count() / 1000) +
               " s is reached";
    }
    const bool again = next.empty();
    if (again && restart) {
      next = "starting over at once";
    } else if (again) {
      char wait[48];
      std::snprintf(wait, sizeof wait, "next attempt in %.1f s",
                    static_cast<double>(delay.count()) / 1000);
      next = wait;
    }
    const std::string kept_bytes = kept > 0 ? ", " + std::to_string(kept) + " bytes kept" : "";
    Report("Download attempt %d failed: %s%s; %s\n", number, DescribeFailure(code, attempt).c_str(),
           kept_bytes.c_str(), next.c_str());
    if (!again) break;
    std::this_thread::sleep_for(delay);
  }
  if (result != CURLE_OK) Report("%d\n", result);
  NoteDownloadResult(result);
  return result;
}

DownloadResult DownloadPackage(ConditionalGet* conditional, bool whole,
                               Clock::time_point phase_start) {
  DownloadResult fetched;
  fetched.deadline = phase_start + kDownloadTimeLimit;
  TransferLimits limits;
  limits.deadline = fetched.deadline;
  // Where the extraction reads it, whatever the current directory; the
  // program never creates "update".
  const Path target = UpdateDir() + kPackageName;
  const Path kept = UpdateDir() + kKeptPackageName;
  // A partial download goes on where it stopped; only a fresh start can
  // take the delta's way.
  EntryKind kind;
  if (!whole && GetEntryKind(kept, &kind) && kind == EntryKind::kFile &&
      !GetEntryKind(target + kPartialSuffix + kIdentificationSuffix, &kind)) {
    const DeltaDownloadResult result =
        DownloadDelta(config::kPackageUrl, config::kCredentials, target, kept, limits,
                      config::kPackageCaPem, conditional, &fetched.package);
    switch (result) {
      case DeltaDownloadResult::kStored:
      case DeltaDownloadResult::kStoredWhole:
        fetched.outcome = DownloadOutcome::kStored;
        fetched.rebuilt = result == DeltaDownloadResult::kStored;
        return fetched;
      case DeltaDownloadResult::kNotModified:
        fetched.outcome = DownloadOutcome::kNotModified;
        return fetched;
      case DeltaDownloadResult::kWholeNeeded:
        fetched.package = HashedPackage();
        break;
    }
  }
  const int result = DownloadPackageFrom(config::kPackageUrl, config::kCredentials, target, limits,
                                         config::kPackageCaPem, &fetched.package, conditional);
  if (result != CURLE_OK) {
    fetched.package = HashedPackage();
    fetched.failure = LastDownloadFailure();
  } else if (conditional->not_modified) {
    fetched.outcome = DownloadOutcome::kNotModified;
  } else if (fetched.package.present()) {
    fetched.outcome = DownloadOutcome::kStored;
  } else {
    // A success without a body: an empty 200, a 204, an empty 206.
    Report("The server's answer held no package\n");
    fetched.failure = "the server's answer held no package";
  }
  return fetched;
}

bool DownloadSignature(Clock::time_point deadline) {
  const Path target = UpdateDir() + kPackageName + PATH_TEXT(".minisig");
  RemoveFileEntry(target);
  const std::string url = std::string(config::kPackageUrl) + ".minisig";
  TransferLimits limits;
  limits.deadline = deadline;
  return DownloadPackageFrom(url.c_str(), config::kCredentials, target, limits,
                             config::kPackageCaPem) == CURLE_OK;
}
