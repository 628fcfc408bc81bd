#include "delta_fetch.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "basedir.h"
#include "delta.h"
#include "download.h"
#include "durable.h"
#include "file_output.h"
#include "files.h"
#include "multipart.h"
#include "report.h"
#include "volume.h"
#include "zip_directory.h"

namespace {

using Clock = std::chrono::steady_clock;

// The tail asked for first: always enough for the end records, and for the
// central directory of a package of some hundred entries.
constexpr uint64_t kTailRequest = kMinimumTail;

// The free space is looked at again after this many bytes are written.
constexpr uint64_t kFreeSpaceCheckBytes = 64 * 1024 * 1024;

unsigned long long Count(uint64_t value) { return static_cast<unsigned long long>(value); }

const char* Plural(unsigned count, const char* one, const char* more) {
  return count == 1 ? one : more;
}

// "in 3 requests over 1 connection"
std::string Cost(const Transport& transport) {
  return "in " + std::to_string(transport.requests()) + " " +
         Plural(transport.requests(), "request", "requests") + " over " +
         std::to_string(transport.connections()) + " " +
         Plural(transport.connections(), "connection", "connections");
}

// The tail of the package: exactly the bytes a "-n" range names, checked
// against the answer's Content-Range and length before any is kept.
class TailBody : public AnswerBody {
 public:
  // `unnamed_ok`: a package the server names by no validator will do.
  TailBody(std::string* tail, bool unnamed_ok) : tail_(tail), unnamed_ok_(unnamed_ok) {}

  bool Begin(Answer* answer) override {
    tail_->clear();
    uint64_t first = 0, last = 0, total = 0;
    if (answer->status != 206) return false;  // the whole package: ranges refused
    if (!ParseContentRange(answer->content_range, &first, &last, &total) || last + 1 != total ||
        last - first + 1 != std::min(total, kTailRequest) ||
        (answer->content_length >= 0 &&
         static_cast<uint64_t>(answer->content_length) != last - first + 1)) {
      answer->rejection = "the answer's Content-Range is not the end that was asked";
      return false;
    }
    source_ = SourceOf(*answer);
    // A server that names its package by nothing at all leaves it to the
    // signature; one whose names do not hold (a weak ETag, a date too
    // fresh) is serving a package that may still change.
    const bool named_by_nothing = answer->etag.empty() && answer->last_modified.empty();
    if (source_.kind == PartialSource::Validator::kNone && !(named_by_nothing && unnamed_ok_)) {
      answer->rejection = "the server does not identify its package";
      return false;
    }
    start_ = first;
    tail_->reserve(static_cast<size_t>(last - first + 1));
    return true;
  }

  bool Take(const char* data, size_t count) override {
    tail_->append(data, count);
    return true;
  }

  const PartialSource& source() const { return source_; }
  uint64_t start() const { return start_; }

 private:
  std::string* tail_;
  const bool unnamed_ok_;
  PartialSource source_;
  uint64_t start_ = 0;
};

// Whether the package ends as the kept one does: the same size and the
// same last bytes, its central directory among them, are the same package.
bool EndsAsKept(const Path& kept, uint64_t size, const std::string& tail) {
  uint64_t kept_size = 0;
  FilePtr file = OpenFileForReading(kept, &kept_size);
  if (!file || kept_size != size || tail.size() > size || !SeekFile(file.get(), size - tail.size()))
    return false;
  std::string bytes(tail.size(), '\0');
  return std::fread(&bytes[0], 1, bytes.size(), file.get()) == bytes.size() && bytes == tail;
}

// Checks that an answer is about the tail's package; notes when it is not.
class SamePackage {
 public:
  explicit SamePackage(const PartialSource& source) : source_(source) {}
  bool Check(const Answer& answer) {
    const PartialSource now = SourceOf(answer);
    if (now.kind == source_.kind && now.validator != source_.validator) replaced_ = true;
    // A multipart answer names the size in its parts only.
    if (now.total_size != 0 && now.total_size != source_.total_size) replaced_ = true;
    return !replaced_;
  }
  bool replaced() const { return replaced_; }
  const PartialSource& source() const { return source_; }

 private:
  PartialSource source_;
  bool replaced_ = false;
};

// One span of the package, as one part.
class SpanBody : public AnswerBody {
 public:
  SpanBody(uint64_t start, uint64_t end, const DeliverBytes& deliver, SamePackage* package)
      : start_(start), end_(end), deliver_(deliver), package_(package) {}

  bool Begin(Answer* answer) override {
    uint64_t first = 0, last = 0, total = 0;
    // Checked first: If-Range makes a server send the whole of a newer
    // package.
    if (!package_->Check(*answer) || answer->status != 206) return false;
    if (!ParseContentRange(answer->content_range, &first, &last, &total) || first != start_ ||
        last + 1 != end_) {
      answer->rejection = "the answer's Content-Range is not the span that was asked";
      return false;
    }
    return true;
  }
  bool Take(const char* data, size_t count) override {
    if (count > end_ - start_ - received_) return false;
    if (!deliver_(start_ + received_, data, count)) return false;
    received_ += count;
    return true;
  }
  bool complete() const { return received_ == end_ - start_; }

 private:
  const uint64_t start_, end_;
  const DeliverBytes& deliver_;
  SamePackage* package_;
  uint64_t received_ = 0;
};

// The ranges of one request, as 206 parts; another attempt asks only for
// what the earlier ones left out.
class RangesBody : public AnswerBody {
 public:
  RangesBody(std::vector<ByteRange> asked, const DeliverBytes& deliver, SamePackage* package)
      : left_(std::move(asked)), deliver_(deliver), package_(package) {}

  uint64_t Prepare(Request* request) override {
    request->range = RangeSpec(left_);
    return kept_;
  }
  bool Begin(Answer* answer) override {
    reader_.reset();
    // Checked first: If-Range makes a server send the whole of a newer
    // package.
    if (!package_->Check(*answer) || answer->status != 206) return false;
    reader_.reset(new RangeBodyReader(answer->content_type, answer->content_range,
                                      package_->source().total_size, left_,
                                      [this](uint64_t offset, const char* data, size_t count) {
                                        kept_ += count;
                                        return deliver_(offset, data, count);
                                      }));
    if (reader_->malformed()) answer->rejection = "the answer's parts are not what was asked";
    return !reader_->malformed();
  }
  bool Take(const char* data, size_t count) override { return reader_->Feed(data, count); }
  bool Complete() const override { return reader_ && reader_->done(); }
  uint64_t Settle(const Answer& answer, bool* start_over) override {
    (void)answer;
    *start_over = false;
    Collect();
    return kept_;
  }
  // After the last attempt: what no part delivered.
  const std::vector<ByteRange>& Left() {
    Collect();
    return left_;
  }

 private:
  void Collect() {
    if (reader_) left_ = reader_->Uncovered();
    reader_.reset();
  }

  std::vector<ByteRange> left_;
  const DeliverBytes& deliver_;
  SamePackage* package_;
  std::unique_ptr<RangeBodyReader> reader_;
  uint64_t kept_ = 0;
};

// Whether a server takes several ranges in one request. One that refused
// them once is remembered in update/ for its address and its software (the
// Server header), so that later runs do not pay the refusal again.
class RangeMode {
 public:
  RangeMode(const Path& state, const std::string& address, const std::string& server)
      : state_(state), identity_(address + "\n" + server + "\n") {
    std::string text;
    single_ = ReadWholeFile(state_, &text) && text == identity_;
    if (!single_) RemoveFileEntry(state_);
  }
  bool single() const { return single_; }
  void Refused() {
    if (!single_) WriteFileAtomically(state_, identity_);
    single_ = true;
  }

 private:
  Path state_;
  std::string identity_;
  bool single_ = false;
};

// Why a delta whose request failed after every attempt, or that is
// stopped, is cut off.
const char* CutOff(const Transport& transport) {
  // A transfer's own time-out ends it a little before the deadline.
  const auto grain = std::chrono::milliseconds(200);
  return Clock::now() + grain >= transport.deadline() ? "the time limit was reached"
                                                      : "the connection to the server was lost";
}

// What a request costs on this transport's link.
LinkCost LinkOf(const Transport& transport, bool single_ranges) {
  LinkCost link;
  link.round_trip = transport.round_trip();
  link.bytes_per_second = transport.bytes_per_second();
  link.single_ranges = single_ranges;
  link.parallel = kParallelRequests;
  return link;
}

// A request for each of `asked` (one request's ranges each), sent together
// with If-Range; *bodies gets what each answer delivered.
std::vector<Answer> SendTogether(Transport* transport, SamePackage* package,
                                 const std::vector<std::vector<ByteRange>>& asked,
                                 const DeliverBytes& deliver,
                                 std::vector<std::unique_ptr<RangesBody>>* bodies) {
  std::vector<AnswerBody*> receivers;
  std::vector<Request> requests(asked.size());
  for (size_t i = 0; i < asked.size(); ++i) {
    bodies->emplace_back(new RangesBody(asked[i], deliver, package));
    receivers.push_back(bodies->back().get());
    requests[i].if_range = package->source().validator;
  }
  return transport->FetchTogether(requests, receivers, "Range request");
}

// A batch in one request, as multipart/byteranges or one part; what a
// server leaves out, and the whole batch when it refuses several ranges in
// one request (transport.h says how), in requests of one range each,
// joined where a round trip costs more than the gap between them.
bool FetchBatch(Transport* transport, SamePackage* package, RangeMode* mode,
                const std::vector<ByteRange>& batch, const DeliverBytes& deliver,
                const char** cut) {
  std::vector<ByteRange> left = batch;
  while (!left.empty()) {
    // One range a request: a few at once, each answer a part of its own.
    if (mode->single() && left.size() > 1) {
      const size_t count = std::min<size_t>(left.size(), kParallelRequests);
      std::vector<std::vector<ByteRange>> asked;
      for (size_t i = 0; i < count; ++i) asked.push_back({left[i]});
      std::vector<std::unique_ptr<RangesBody>> bodies;
      const std::vector<Answer> answers = SendTogether(transport, package, asked, deliver, &bodies);
      for (size_t i = 0; i < count; ++i) {
        if (answers[i].kind == AnswerKind::kBroken) *cut = CutOff(*transport);
        if (package->replaced() || answers[i].kind != AnswerKind::kSuccess ||
            !bodies[i]->Left().empty())
          return false;
      }
      left.erase(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(count));
      continue;
    }
    const std::vector<ByteRange> asked =
        mode->single() ? std::vector<ByteRange>{left.front()} : left;
    const std::vector<ByteRange> rest(left.begin() + static_cast<std::ptrdiff_t>(asked.size()),
                                      left.end());
    RangesBody body(asked, deliver, package);
    Request request;
    request.if_range = package->source().validator;
    const Answer answer = transport->Fetch(request, &body, "Range request");
    if (answer.kind == AnswerKind::kBroken) *cut = CutOff(*transport);
    if (package->replaced()) return false;
    const std::vector<ByteRange> missed = body.Left();
    if (answer.kind == AnswerKind::kRangesRefused) {
      // Several ranges in one request are more than some servers serve.
      if (asked.size() == 1) return false;
      mode->Refused();
      left = CoalesceRanges(std::move(left), CoalesceGap(LinkOf(*transport, true)));
      continue;
    }
    if (answer.kind != AnswerKind::kSuccess) return false;
    left = missed;
    left.insert(left.end(), rest.begin(), rest.end());
    // A server that sends only some of the ranges gets them one by one;
    // one that leaves out the only range it was asked for has none.
    if (!missed.empty()) {
      if (asked.size() == 1) return false;
      mode->Refused();
      left = CoalesceRanges(std::move(left), CoalesceGap(LinkOf(*transport, true)));
    }
  }
  return true;
}

// How many runs have begun a delta of the package `source` names, as the
// spool's identification says: 0 when it names another package, or none.
unsigned EarlierRuns(const Path& id, const PartialSource& source) {
  std::string text;
  const std::string runs_field = "Runs: ";
  if (!ReadWholeFile(id, &text) || text.rfind(runs_field, 0) != 0) return 0;
  const size_t line_end = text.find('\n');
  const char* number = text.c_str() + runs_field.size();
  char* end = nullptr;
  const unsigned long runs = std::strtoul(number, &end, 10);
  PartialSource earlier;
  if (line_end == std::string::npos || *number < '0' || *number > '9' ||
      end != text.c_str() + line_end || !ParseIdentification(text.substr(line_end + 1), &earlier) ||
      earlier.kind != source.kind || earlier.validator != source.validator ||
      earlier.total_size != source.total_size)
    return 0;
  return static_cast<unsigned>(std::min<unsigned long>(runs, kMaxDeltaRuns));
}

// Batches of several ranges sent together. What a server leaves out, and
// the whole of a batch it refuses to split, follows in single ranges.
bool FetchBatches(Transport* transport, SamePackage* package, RangeMode* mode,
                  const std::vector<std::vector<ByteRange>>& batches, const DeliverBytes& deliver,
                  const char** cut) {
  if (batches.size() == 1 || mode->single()) {
    for (const std::vector<ByteRange>& batch : batches)
      if (!FetchBatch(transport, package, mode, batch, deliver, cut)) return false;
    return true;
  }
  std::vector<std::unique_ptr<RangesBody>> bodies;
  const std::vector<Answer> answers = SendTogether(transport, package, batches, deliver, &bodies);
  std::vector<ByteRange> rest;
  for (size_t i = 0; i < batches.size(); ++i) {
    if (answers[i].kind == AnswerKind::kBroken) *cut = CutOff(*transport);
    if (package->replaced()) return false;
    const bool refused = answers[i].kind == AnswerKind::kRangesRefused;
    if ((!refused && answers[i].kind != AnswerKind::kSuccess) ||
        (refused && batches[i].size() == 1))
      return false;
    const std::vector<ByteRange>& missed = bodies[i]->Left();
    rest.insert(rest.end(), missed.begin(), missed.end());
  }
  if (rest.empty()) return true;
  mode->Refused();
  return FetchBatch(transport, package, mode,
                    CoalesceRanges(std::move(rest), CoalesceGap(LinkOf(*transport, true))), deliver,
                    cut);
}

// "; expected 0.6 s, the whole download 4.4 s", where the link was measured.
std::string Expected(const DeltaFigures& figures) {
  if (figures.whole_seconds <= 0) return std::string();
  char text[96];
  std::snprintf(text, sizeof text, "; expected %.1f s, the whole download %.1f s", figures.seconds,
                figures.whole_seconds);
  return text;
}

// One line: why the whole package is needed, and what the attempt cost.
DeltaResult Whole(const std::string& why, const Transport& transport) {
  Report("Delta update not used (%s): the whole package is downloaded; %llu bytes fetched %s\n",
         why.c_str(), Count(transport.received()), Cost(transport).c_str());
  return DeltaResult::kWholeNeeded;
}

}  // namespace

void DiscardDeltaSpool(const Path& target) {
  for (const PathChar* suffix : {kSpoolSuffix, kEarlierSpoolSuffix, kSpoolIdSuffix})
    RemoveFileEntry(target + suffix);
}

DeltaResult DownloadDelta(Transport* transport, const Path& target, const Path& kept,
                          const DeltaTrust& trust, ConditionalGet* conditional,
                          HashedPackage* stored, bool* predicted) {
  *predicted = false;
  PackageFile sink(target);
  const Path spool = target + kSpoolSuffix;
  const Path earlier = target + kEarlierSpoolSuffix;
  const Path spool_id = target + kSpoolIdSuffix;
  const Path directory = target.substr(0, target.size() - Path(kPackageName).size());

  // A package replaced on the server between the tail and the ranges is
  // planned again once; a second change means a busy publisher, and the
  // whole download.
  for (int plan = 1; plan <= 2; ++plan) {
    std::string tail;
    TailBody tail_body(&tail, trust.signed_build);
    Request tail_request;
    tail_request.range = "-" + std::to_string(kTailRequest);
    tail_request.conditions = conditional;
    tail_request.max_body = kTailRequest;
    const Answer answer = transport->Fetch(tail_request, &tail_body, "Range request");
    switch (answer.kind) {
      case AnswerKind::kSuccess:
        break;
      case AnswerKind::kNotModified:
        DiscardDeltaSpool(target);
        conditional->not_modified = true;
        return DeltaResult::kNotModified;
      case AnswerKind::kRangesRefused:
        DiscardDeltaSpool(target);
        return Whole("the server does not answer range requests", *transport);
      case AnswerKind::kRejected:
        DiscardDeltaSpool(target);
        return Whole(answer.rejection, *transport);
      default:
        // A spool of an earlier run stays for a run that reaches the server.
        return Whole("the package's end could not be fetched", *transport);
    }
    conditional->not_modified = false;
    conditional->etag = answer.etag;
    conditional->last_modified = answer.last_modified;
    const PartialSource& source = tail_body.source();
    const uint64_t size = source.total_size;
    // A spool of this same package that an earlier run left is continued;
    // any other goes.
    const unsigned runs = source.resumable() ? EarlierRuns(spool_id, source) : 0;
    if (runs == 0) DiscardDeltaSpool(target);
    // A server that names its package by no validator cannot answer 304:
    // the package's own end tells.
    if (trust.kept_is_installed && EndsAsKept(kept, size, tail)) {
      Report("The server's package ends as the installed one does: it is the same\n");
      DiscardDeltaSpool(target);
      conditional->not_modified = true;
      return DeltaResult::kNotModified;
    }
    // A package no longer than its tail came whole with it.
    if (tail_body.start() == 0) {
      DiscardDeltaSpool(target);
      sink.Expect(0, PartialSource());
      if (sink.Write(tail.data(), 1, tail.size()) != tail.size() || !sink.Commit(stored)) {
        *stored = HashedPackage();
        sink.Discard();
        return Whole("the package could not be stored", *transport);
      }
      Report(
          "Delta update not needed: the whole package came with its end; %llu bytes fetched %s\n",
          Count(transport->received()), Cost(*transport).c_str());
      return DeltaResult::kStoredWhole;
    }
    // The rebuilt package and its spool go beside the target: room for
    // the package as its end claims it, and some.
    uint64_t free_space = 0;
    if (FreeSpaceOnVolume(directory, &free_space) && free_space < size + kFreeSpaceMargin) {
      DiscardDeltaSpool(target);
      return Whole("the package's size, " + std::to_string(size) +
                       " bytes, is more than the free space allows",
                   *transport);
    }
    // A delta that did not finish in its runs gives way to the whole
    // download, which continues across runs on its own; its
    // identification stays until the server has another package.
    if (runs >= kMaxDeltaRuns) {
      RemoveFileEntry(spool);
      RemoveFileEntry(earlier);
      return Whole("it did not finish in " + std::to_string(runs) + " runs", *transport);
    }
    if (source.resumable())
      WriteFileAtomically(spool_id,
                          "Runs: " + std::to_string(runs + 1) + "\n" + IdentificationText(source));
    EntryKind kind;
    // A run killed while it took an earlier spool's bytes left them aside.
    const bool continued =
        runs > 0 && (GetEntryKind(earlier, &kind) || MoveReplacing(spool, earlier));

    SamePackage package(source);
    const char* cut = nullptr;  // why the delta was cut off, if it was
    RangeMode mode(directory + kRangeStateName, transport->url(), answer.server);
    DeltaSources sources;
    sources.kept_package = kept;
    sources.new_size = size;
    sources.tail.swap(tail);
    sources.tail_start = tail_body.start();
    sources.spool = spool;
    if (continued) sources.earlier_spool = earlier;
    sources.fetch_span = [&](uint64_t start, uint64_t end, const DeliverBytes& deliver) {
      SpanBody body(start, end, deliver, &package);
      Request request;
      request.range = std::to_string(start) + "-" + std::to_string(end - 1);
      request.if_range = package.source().validator;
      request.max_body = end - start;
      const AnswerKind kind = transport->Fetch(request, &body, "Range request").kind;
      if (kind == AnswerKind::kBroken) cut = CutOff(*transport);
      return kind == AnswerKind::kSuccess && body.complete();
    };
    sources.fetch = [&](const std::vector<std::vector<ByteRange>>& batches,
                        const DeliverBytes& deliver) {
      return FetchBatches(transport, &package, &mode, batches, deliver, &cut);
    };
    sources.link = [&]() { return LinkOf(*transport, mode.single()); };
    sources.predict_headers = trust.predict_headers;
    uint64_t written = 0, checked_at = 0;
    sources.keep_going = [&]() {
      if (Clock::now() >= transport->deadline()) {
        cut = CutOff(*transport);
        return false;
      }
      if (written - checked_at < kFreeSpaceCheckBytes) return true;
      checked_at = written;
      uint64_t left = 0;
      return !FreeSpaceOnVolume(directory, &left) || left >= kFreeSpaceMargin;
    };
    const ByteSink write = [&](const char* data, size_t count) {
      written += count;
      return sink.Write(data, 1, count) == count;
    };
    sink.Expect(0, PartialSource());
    DeltaFigures figures;
    const DeltaOutcome outcome = BuildDelta(&sources, write, &figures);
    RemoveFileEntry(earlier);
    if (outcome == DeltaOutcome::kBuilt) {
      DiscardDeltaSpool(target);
      if (!sink.Commit(stored)) {
        *stored = HashedPackage();
        return Whole("the rebuilt package could not be stored", *transport);
      }
      Report(
          "Delta update: %llu of %llu bytes fetched %s, %llu reused from the kept package (the "
          "least a delta fetches: %llu)%s%s%s\n",
          Count(transport->received()), Count(figures.file_size), Cost(*transport).c_str(),
          Count(figures.reused), Count(figures.floor),
          figures.continued == 0
              ? ""
              : (", " + std::to_string(figures.continued) + " fetched by an earlier run").c_str(),
          figures.predicted == 0
              ? ""
              : (", " + std::to_string(figures.predicted) + " local headers predicted").c_str(),
          Expected(figures).c_str());
      *predicted = figures.predicted > 0;
      return DeltaResult::kStored;
    }
    sink.Discard();
    // Cut off by the deadline or a lost link, what came waits for the
    // next run, tied to the package's identity; cut off in its last run,
    // the next run downloads the whole package.
    if (cut != nullptr && source.resumable() && !package.replaced() &&
        (outcome == DeltaOutcome::kFetchFailed || outcome == DeltaOutcome::kStopped)) {
      const bool last = runs + 1 >= kMaxDeltaRuns;
      if (last) RemoveFileEntry(spool);
      Report("Delta update cut off (%s): %s; %llu bytes fetched %s\n", cut,
             last ? "the next run downloads the whole package"
                  : (std::to_string(figures.continued + figures.fetched) +
                     " bytes of the package wait for the next run")
                        .c_str(),
             Count(transport->received()), Cost(*transport).c_str());
      return DeltaResult::kCut;
    }
    DiscardDeltaSpool(target);
    if (package.replaced() && plan == 1) {
      Report(
          "Delta update: the package changed on the server while it was fetched; planning "
          "again\n");
      continue;
    }
    if (package.replaced()) return Whole("the package changed on the server again", *transport);
    if (outcome == DeltaOutcome::kSlowerThanWhole)
      return Whole(std::string(DeltaOutcomeText(outcome)) + Expected(figures), *transport);
    return Whole(DeltaOutcomeText(outcome), *transport);
  }
  return DeltaResult::kWholeNeeded;
}
