#include "delta.h"

#include <algorithm>
#include <vector>

#include "files.h"
#include "zip_directory.h"

namespace {

// Puts into the spool, as if fetched, the local headers of the reused
// entries and of those without data as their central records predict
// them; one that cannot be predicted is not there, and its entry is
// fetched whole. False when the
// directory or the spool cannot be read or written.
bool PredictHeaders(const SpanReader& read, const ZipDirectory& fresh, DeltaPlan* plan,
                    FetchedBytes* fetched) {
  uint64_t at = fresh.cd_offset;
  std::string header;
  for (size_t i = 0; i < fresh.entries.size(); ++i) {
    uint64_t record_size = 0, local = 0;
    if (!ReadCentralRecord(read, at, &record_size, &local, &header)) return false;
    at += record_size;
    const auto slot = std::lower_bound(
        plan->slots.begin(), plan->slots.end(), local,
        [](const DeltaSlot& a, uint64_t offset) { return a.header_offset < offset; });
    if (header.empty() || slot == plan->slots.end() || slot->header_offset != local ||
        (slot->kept_data_offset == 0 && slot->compressed_size != 0))
      continue;
    if (!fetched->Add(local, header.data(), header.size())) return false;
    ++plan->predicted_headers;
  }
  return fetched->Flush();
}

// Plans from the two directories, holding as little at a time as it can:
// the tail goes into the spool (`fetched`) at once and the new package's
// directory is read from there (a directory of 100,000 entries is 10 MB),
// then the kept directory is read and only what the plan needs of it is
// kept. A tail that begins after the central directory grows once. False
// with *failure when there is no plan.
bool Plan(DeltaSources* sources, FetchedBytes* fetched, DeltaPlan* plan, uint64_t* kept_size,
          DeltaOutcome* failure) {
  uint64_t span_start = sources->tail_start;
  if (!fetched->Add(span_start, sources->tail.data(), sources->tail.size()) || !fetched->Flush()) {
    *failure = DeltaOutcome::kWriteFailed;
    return false;
  }
  std::string().swap(sources->tail);
  const SpanReader read = [fetched](uint64_t offset, unsigned char* out, size_t count) {
    return fetched->Read(offset, reinterpret_cast<char*>(out), count);
  };
  ZipDirectory fresh;
  DirectoryResult result = DirectoryResult::kNotZip;
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint64_t needed_start = 0;
    result = ReadZipDirectoryFromSpan(read, span_start, sources->new_size, &fresh, &needed_start);
    if (result != DirectoryResult::kTailTooShort || attempt > 0) break;
    if (needed_start >= span_start) break;
    // Bounded before anything is fetched: the end records say how large
    // the directory is and how many entries it has.
    const uint64_t limit =
        std::min(kMaxDirectoryBytes, kMinimumTail + fresh.entry_count * kMaxDirectoryBytesPerEntry);
    if (sources->new_size - needed_start > limit) {
      *failure = DeltaOutcome::kDirectoryTooLarge;
      return false;
    }
    bool kept = true;
    const bool got = fetched->Holds(needed_start, span_start - needed_start) ||
                     sources->fetch_span(needed_start, span_start,
                                         [&](uint64_t offset, const char* data, size_t count) {
                                           kept = fetched->Add(offset, data, count);
                                           return kept;
                                         });
    if (!kept || !fetched->Flush()) {
      *failure = DeltaOutcome::kWriteFailed;
      return false;
    }
    if (!got || !fetched->Holds(needed_start, span_start - needed_start)) {
      *failure = DeltaOutcome::kFetchFailed;
      return false;
    }
    span_start = needed_start;
  }
  if (result != DirectoryResult::kRead) {
    *failure =
        result == DirectoryResult::kUnreadable ? DeltaOutcome::kWriteFailed : DeltaOutcome::kNotZip;
    return false;
  }
  sources->tail_start = span_start;
  std::vector<KeptData> index;
  bool predict = false;
  {
    ZipDirectory kept;
    if (ReadZipDirectory(sources->kept_package, &kept) != DirectoryResult::kRead) {
      *failure = DeltaOutcome::kKeptUnusable;
      return false;
    }
    *kept_size = kept.file_size;
    predict = sources->predict_headers && kept.local_headers_repeat_central;
    index = IndexKept(kept);
  }
  if (!PlanDelta(index, fresh, span_start, plan, predict)) {
    *failure = DeltaOutcome::kNotZip;
    return false;
  }
  if (predict && !PredictHeaders(read, fresh, plan, fetched)) {
    *failure = DeltaOutcome::kWriteFailed;
    return false;
  }
  return true;
}

// The expected seconds of fetching `ranges`, and of the whole download.
void Estimate(const LinkCost& link, const std::vector<ByteRange>& ranges, uint64_t file_size,
              DeltaFigures* figures) {
  if (link.bytes_per_second <= 0) return;
  // Requests go a few at a time: each group costs one round trip.
  const size_t parallel = std::max(link.parallel, 1u);
  const size_t requests =
      ((link.single_ranges ? ranges.size() : BatchRanges(ranges).size()) + parallel - 1) / parallel;
  uint64_t bytes = 0;
  for (const ByteRange& range : ranges) bytes += range.length;
  figures->seconds = static_cast<double>(requests) * link.round_trip +
                     static_cast<double>(bytes) / link.bytes_per_second;
  figures->whole_seconds = link.round_trip + static_cast<double>(file_size) / link.bytes_per_second;
}

bool SlowerThanWhole(const DeltaFigures& figures) {
  return figures.seconds > figures.whole_seconds + kSlowerMargin;
}

// Fetches the ranges request by request into `fetched`. Where the server
// takes one range a request, known beforehand or learnt on the way, the
// ranges still to come are joined across gaps that cost less than a round
// trip, and a rest that would then take longer than the whole download is
// not fetched. *ranges becomes what was asked.
DeltaOutcome FetchInto(std::vector<ByteRange>* ranges, const DeltaSources& sources,
                       FetchedBytes* fetched, DeltaFigures* figures) {
  bool single = false;
  std::vector<std::vector<ByteRange>> batches = BatchRanges(*ranges);
  for (size_t b = 0; b < batches.size();) {
    const LinkCost link = sources.link ? sources.link() : LinkCost();
    if (!single && link.single_ranges) {
      single = true;
      std::vector<ByteRange> rest;
      for (size_t k = b; k < batches.size(); ++k)
        rest.insert(rest.end(), batches[k].begin(), batches[k].end());
      rest = CoalesceRanges(std::move(rest), CoalesceGap(link));
      DeltaFigures estimate;
      Estimate(link, rest, sources.new_size, &estimate);
      if (b > 0 && SlowerThanWhole(estimate)) return DeltaOutcome::kSlowerThanWhole;
      batches.resize(b);
      for (std::vector<ByteRange>& batch : BatchRanges(rest)) batches.push_back(std::move(batch));
    }
    // Several ranges a request: a few requests at once. Single ranges go
    // a batch at a time, a few of its ranges at once.
    const size_t together =
        single ? 1 : std::min<size_t>(batches.size() - b, std::max(link.parallel, 1u));
    const std::vector<std::vector<ByteRange>> group(
        batches.begin() + static_cast<std::ptrdiff_t>(b),
        batches.begin() + static_cast<std::ptrdiff_t>(b + together));
    figures->requests += static_cast<unsigned>(together);
    for (const std::vector<ByteRange>& batch : group) figures->ranges += batch.size();
    bool refused = false;
    const bool fetched_all =
        sources.fetch(group, [&](uint64_t offset, const char* data, size_t count) {
          // Bytes outside the package are no answer to these requests.
          if (offset > sources.new_size || count > sources.new_size - offset) return false;
          refused = !fetched->Add(offset, data, count);
          return !refused;
        });
    if (refused) return DeltaOutcome::kWriteFailed;
    if (!fetched_all) return DeltaOutcome::kFetchFailed;
    b += together;
  }
  ranges->clear();
  for (const std::vector<ByteRange>& batch : batches)
    ranges->insert(ranges->end(), batch.begin(), batch.end());
  return fetched->Flush() ? DeltaOutcome::kBuilt : DeltaOutcome::kWriteFailed;
}

DeltaOutcome Build(DeltaSources* sources, const ByteSink& sink, DeltaFigures* figures) {
  // Everything the server sends, the tail included, waits in the spool;
  // none of it is held in memory ahead of its place.
  FetchedBytes fetched;
  if (!fetched.Open(sources->spool)) return DeltaOutcome::kWriteFailed;
  if (!sources->earlier_spool.empty())
    figures->continued = fetched.TakeEarlier(sources->earlier_spool);
  DeltaPlan plan;
  uint64_t kept_size = 0;
  DeltaOutcome failure = DeltaOutcome::kNotZip;
  if (!Plan(sources, &fetched, &plan, &kept_size, &failure)) return failure;
  // What an earlier run fetched is not asked for again.
  plan.first_ranges = fetched.Missing(plan.first_ranges);
  figures->fetched = plan.estimated_fetch;
  figures->reused = plan.estimated_reuse;
  figures->predicted = plan.predicted_headers;
  if (!plan.worth_it) return DeltaOutcome::kTooCostly;
  if (plan.estimated_reuse > kMaxReuseFactor * kept_size) return DeltaOutcome::kTooMuchReuse;

  if (sources->link) {
    const LinkCost link = sources->link();
    if (link.single_ranges)
      plan.first_ranges = CoalesceRanges(std::move(plan.first_ranges), CoalesceGap(link));
    Estimate(link, plan.first_ranges, plan.file_size, figures);
    if (SlowerThanWhole(*figures)) return DeltaOutcome::kSlowerThanWhole;
  }
  DeltaOutcome outcome = FetchInto(&plan.first_ranges, *sources, &fetched, figures);
  figures->fetched = fetched.received();
  if (outcome != DeltaOutcome::kBuilt) return outcome;
  // The reused entries' local headers are here now: their lengths place
  // the data.
  for (DeltaSlot& slot : plan.slots) {
    unsigned char header[kLocalHeaderFixedSize];
    uint64_t header_size = 0;
    uint16_t name_size = 0;
    if (slot.kept_data_offset != 0 &&
        fetched.Read(slot.header_offset, reinterpret_cast<char*>(header), sizeof header) &&
        ReadLocalHeaderSize(header, &header_size, &name_size) && name_size == slot.name_size)
      slot.header_size = static_cast<uint32_t>(header_size);
  }
  DeltaLayout layout;
  LayOutDelta(plan, &layout, [&fetched](uint64_t offset, uint64_t length) {
    return fetched.Holds(offset, length);
  });
  plan = DeltaPlan();
  layout.missing = fetched.Missing(layout.missing);
  figures->reused = layout.reused;
  figures->floor = layout.floor;
  if (layout.reused > kMaxReuseFactor * kept_size) return DeltaOutcome::kTooMuchReuse;
  outcome = FetchInto(&layout.missing, *sources, &fetched, figures);
  figures->fetched = fetched.received();
  if (outcome != DeltaOutcome::kBuilt) return outcome;
  // Nothing goes to the sink unless all of it can.
  for (const DeltaPiece& piece : layout.pieces)
    if (!piece.from_kept && !fetched.Holds(piece.offset, piece.length))
      return DeltaOutcome::kFetchFailed;
  switch (WriteRebuilt(layout.pieces, sources->kept_package, &fetched, sink, sources->keep_going)) {
    case RebuildResult::kWritten:
      return DeltaOutcome::kBuilt;
    case RebuildResult::kKeptUnreadable:
      return DeltaOutcome::kKeptUnusable;
    case RebuildResult::kMissing:
      return DeltaOutcome::kFetchFailed;
    case RebuildResult::kStopped:
      return DeltaOutcome::kStopped;
    case RebuildResult::kSinkFailed:
      break;
  }
  return DeltaOutcome::kWriteFailed;
}

}  // namespace

uint64_t CoalesceGap(const LinkCost& link) {
  constexpr double kMostGap = 8.0 * 1024 * 1024;
  if (!link.single_ranges) return kCoalesceGap;
  const double carried =
      std::min(kMostGap, link.round_trip * link.bytes_per_second / std::max(link.parallel, 1u));
  return std::max(kCoalesceGap, static_cast<uint64_t>(carried));
}

const char* DeltaOutcomeText(DeltaOutcome outcome) {
  switch (outcome) {
    case DeltaOutcome::kBuilt:
      return "rebuilt";
    case DeltaOutcome::kKeptUnusable:
      return "no readable kept package";
    case DeltaOutcome::kNotZip:
      return "not a zip the delta can follow";
    case DeltaOutcome::kDirectoryTooLarge:
      return "the package's central directory is larger than a delta reads";
    case DeltaOutcome::kTooCostly:
      return "plan too costly";
    case DeltaOutcome::kTooMuchReuse:
      return "the plan would copy more from the kept package than a release holds";
    case DeltaOutcome::kFetchFailed:
      return "the server did not deliver a range";
    case DeltaOutcome::kWriteFailed:
      return "write failed";
    case DeltaOutcome::kStopped:
      return "stopped by the time limit or the free space";
    case DeltaOutcome::kSlowerThanWhole:
      return "slower than the whole download on this link";
  }
  return "unknown";
}

DeltaOutcome BuildDelta(DeltaSources* sources, const ByteSink& sink, DeltaFigures* figures) {
  *figures = DeltaFigures();
  figures->file_size = sources->new_size;
  return Build(sources, sink, figures);
}
