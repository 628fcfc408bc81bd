#include "delta.h"

#include <vector>

#include "files.h"
#include "zip_directory.h"

namespace {

// Plans from the two directories, which are let go of once the plan holds
// what it needs of them. kBuilt here means planned.
DeltaOutcome Plan(const Path& kept_package, uint64_t new_size, const std::string& tail,
                  uint64_t tail_start, DeltaPlan* plan, uint64_t* needed_start) {
  ZipDirectory fresh, kept;
  switch (ReadZipDirectoryFromTail(tail, tail_start, new_size, &fresh, needed_start)) {
    case DirectoryResult::kRead:
      break;
    case DirectoryResult::kTailTooShort:
      return DeltaOutcome::kTailTooShort;
    default:
      return DeltaOutcome::kNotZip;
  }
  if (ReadZipDirectory(kept_package, &kept) != DirectoryResult::kRead)
    return DeltaOutcome::kNoKeptPackage;
  return PlanDelta(kept, fresh, tail_start, plan) ? DeltaOutcome::kBuilt : DeltaOutcome::kNotZip;
}

// Fetches the ranges request by request into `fetched`.
DeltaOutcome Fetch(const std::vector<ByteRange>& ranges, uint64_t new_size,
                   const FetchRanges& fetch, FetchedBytes* fetched, DeltaFigures* figures) {
  for (const std::vector<ByteRange>& batch : BatchRanges(ranges)) {
    ++figures->requests;
    figures->ranges += batch.size();
    bool refused = false;
    const bool fetched_all = fetch(batch, [&](uint64_t offset, const char* data, size_t count) {
      // Bytes outside the package are no answer to these requests.
      if (offset > new_size || count > new_size - offset) return false;
      refused = !fetched->Add(offset, data, count);
      return !refused;
    });
    if (refused) return DeltaOutcome::kWriteFailed;
    if (!fetched_all) return DeltaOutcome::kFetchFailed;
  }
  return fetched->Flush() ? DeltaOutcome::kBuilt : DeltaOutcome::kWriteFailed;
}

DeltaOutcome Build(const Path& kept_package, uint64_t new_size, const std::string& tail,
                   uint64_t tail_start, const Path& spool, const FetchRanges& fetch,
                   const ByteSink& sink, DeltaFigures* figures, uint64_t* needed_start) {
  DeltaPlan plan;
  DeltaOutcome outcome = Plan(kept_package, new_size, tail, tail_start, &plan, needed_start);
  if (outcome != DeltaOutcome::kBuilt) return outcome;
  figures->fetched = plan.estimated_fetch;
  figures->reused = plan.estimated_reuse;
  if (!plan.worth_it) return DeltaOutcome::kTooCostly;

  FetchedBytes fetched(tail, tail_start);
  if (!fetched.Open(spool)) return DeltaOutcome::kWriteFailed;
  outcome = Fetch(plan.first_ranges, new_size, fetch, &fetched, figures);
  figures->fetched = tail.size() + fetched.received();
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
      slot.header_size = header_size;
  }
  DeltaLayout layout;
  LayOutDelta(plan, &layout);
  plan = DeltaPlan();
  figures->reused = layout.reused;
  figures->floor = layout.floor;
  outcome = Fetch(layout.missing, new_size, fetch, &fetched, figures);
  figures->fetched = tail.size() + fetched.received();
  if (outcome != DeltaOutcome::kBuilt) return outcome;
  // Nothing goes to the sink unless all of it can.
  for (const DeltaPiece& piece : layout.pieces)
    if (!piece.from_kept && !fetched.Holds(piece.offset, piece.length))
      return DeltaOutcome::kFetchFailed;
  switch (WriteRebuilt(layout.pieces, kept_package, &fetched, sink)) {
    case RebuildResult::kWritten:
      return DeltaOutcome::kBuilt;
    case RebuildResult::kKeptUnreadable:
      return DeltaOutcome::kNoKeptPackage;
    case RebuildResult::kMissing:
      return DeltaOutcome::kFetchFailed;
    case RebuildResult::kSinkFailed:
      break;
  }
  return DeltaOutcome::kWriteFailed;
}

}  // namespace

const char* DeltaOutcomeText(DeltaOutcome outcome) {
  switch (outcome) {
    case DeltaOutcome::kBuilt:
      return "rebuilt";
    case DeltaOutcome::kNoKeptPackage:
      return "no readable kept package";
    case DeltaOutcome::kNotZip:
      return "not a zip the delta can follow";
    case DeltaOutcome::kTailTooShort:
      return "tail too short";
    case DeltaOutcome::kTooCostly:
      return "plan too costly";
    case DeltaOutcome::kFetchFailed:
      return "the server did not deliver a range";
    case DeltaOutcome::kWriteFailed:
      return "write failed";
  }
  return "unknown";
}

DeltaOutcome BuildDelta(const Path& kept_package, uint64_t new_size, const std::string& tail,
                        uint64_t tail_start, const Path& spool, const FetchRanges& fetch,
                        const ByteSink& sink, DeltaFigures* figures, uint64_t* needed_start) {
  *figures = DeltaFigures();
  figures->file_size = new_size;
  const DeltaOutcome outcome =
      Build(kept_package, new_size, tail, tail_start, spool, fetch, sink, figures, needed_start);
  RemoveFileEntry(spool);
  return outcome;
}
