#include "download.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "durable.h"
#include "files.h"
#include "report.h"

namespace {

// Beside the target, so that the final rename stays on one volume.
const Path kPartialSuffix = PATH_TEXT(".part");
const Path kIdentificationSuffix = PATH_TEXT(".id");

// Reads a decimal number at *text and moves past it; false when there is none.
bool ReadNumber(const char** text, uint64_t* value) {
  if (**text < '0' || **text > '9') return false;
  char* end = nullptr;
  *value = std::strtoull(*text, &end, 10);
  *text = end;
  return true;
}

}  // namespace

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

bool HasPartialDownload(const Path& target) {
  EntryKind kind;
  return GetEntryKind(target + kPartialSuffix + kIdentificationSuffix, &kind);
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

namespace {

// A whole body into a PackageFile, continuing a kept partial file where
// the server identifies it.
class WholeBody : public AnswerBody {
 public:
  explicit WholeBody(PackageFile* sink) : sink_(sink) {}

  uint64_t Prepare(Request* request) override {
    inconsistent_ = false;
    offset_ = sink_->FindResumable(&resumed_);
    // The rest of the partial file, only if it is still the same file: a
    // server whose file changed, or that ignores ranges, answers 200 with
    // the whole body, which starts over in this same request.
    if (offset_ > 0) {
      request->range = std::to_string(offset_) + "-";
      request->if_range = resumed_.validator;
    }
    return offset_;
  }

  bool Begin(Answer* answer) override {
    if (answer->status != 206) {
      sink_->Expect(0, SourceOf(*answer));
      return true;
    }
    if (!Continues(*answer)) {
      inconsistent_ = true;
      answer->rejection = "the answer does not continue the partial file";
      return false;
    }
    sink_->Expect(offset_, resumed_);
    return true;
  }

  bool Take(const char* data, size_t count) override {
    return sink_->Write(data, 1, count) == count;
  }

  uint64_t Settle(const Answer& answer, bool* start_over) override {
    // A range that does not fit (416) or an answer that does not continue
    // the partial file: it goes, and the next attempt asks for everything.
    *start_over = inconsistent_ || (offset_ > 0 && answer.status == 416);
    if (*start_over) {
      sink_->Discard();
      return 0;
    }
    return sink_->Keep();
  }

 private:
  // Exactly the rest of the partial file: from the offset to the end of the
  // same total, with the partial file's validator when it sends one.
  bool Continues(const Answer& answer) const {
    uint64_t first = 0, last = 0, total = 0;
    if (offset_ == 0 || !ParseContentRange(answer.content_range, &first, &last, &total) ||
        first != offset_ || last + 1 != total || total != resumed_.total_size)
      return false;
    const std::string& validator =
        resumed_.kind == PartialSource::Validator::kETag ? answer.etag : answer.last_modified;
    return validator.empty() || validator == resumed_.validator;
  }

  PackageFile* sink_;
  uint64_t offset_ = 0;
  PartialSource resumed_;
  bool inconsistent_ = false;
};

std::string FailureText(const Answer& answer) {
  if (answer.result == CURLE_HTTP_RETURNED_ERROR && answer.status > 0)
    return "the server answered HTTP " + std::to_string(answer.status);
  if (answer.kind == AnswerKind::kRejected && !answer.rejection.empty()) return answer.rejection;
  return curl_easy_strerror(answer.result);
}

}  // namespace

WholeDownload DownloadWhole(Transport* transport, const std::string& url, const Path& target,
                            HashedPackage* stored, ConditionalGet* conditional) {
  WholeDownload download;
  PackageFile sink(target);
  WholeBody body(&sink);
  Request request;
  request.url = url;
  request.conditions = conditional;
  const Answer answer = transport->Fetch(request, &body, "Download");
  download.kind = answer.kind;
  if (answer.kind == AnswerKind::kNotModified) {
    if (conditional) conditional->not_modified = true;
    return download;
  }
  if (answer.kind != AnswerKind::kSuccess) {
    download.code = answer.result == CURLE_OK ? CURLE_WRITE_ERROR : answer.result;
    download.failure = FailureText(answer);
  } else {
    if (conditional) {
      conditional->not_modified = false;
      conditional->etag = answer.etag;
      conditional->last_modified = answer.last_modified;
    }
    // A transfer that delivered no body leaves the earlier package alone.
    if (sink.started() && !sink.Commit(stored)) {
      download.code = CURLE_WRITE_ERROR;
      download.failure = "the package could not be stored";
    }
    sink.Discard();
  }
  if (download.code != CURLE_OK) Report("%d\n", download.code);
  return download;
}

int DownloadPackageFrom(const char* url, const char* credentials, const Path& target,
                        const TransferLimits& limits, const char* trusted_ca_pem,
                        HashedPackage* stored, ConditionalGet* conditional, std::string* failure) {
  Transport transport(url, credentials, trusted_ca_pem, limits);
  const WholeDownload download = DownloadWhole(&transport, "", target, stored, conditional);
  if (failure) *failure = download.failure;
  return download.code;
}
