#pragma once

// A delta update: the new package rebuilt byte for byte from the kept
// package (the package installed last, kept in update/) and the bytes that
// changed, fetched by range requests. The directory reader
// (zip_directory.h), the plan (delta_plan.h) and the rebuild
// (delta_rebuild.h) together; the transport is the caller's (FetchRanges).
// Main thread; nothing here prints.

#include <cstdint>
#include <string>

#include "delta_rebuild.h"
#include "path.h"

enum class DeltaOutcome {
  kBuilt,          // the sink got the whole new package; its signature decides
  kNoKeptPackage,  // no kept package, or one that cannot be read to its end or is no zip
  kNotZip,         // the tail is no zip's end, or the new package's layout cannot be followed
  kTailTooShort,   // the tail begins too late: fetch it again from *needed_start
  kTooCostly,      // the plan would fetch more than kMaxFetchPercent of the package
  kFetchFailed,    // the server did not deliver a range, or a transfer failed
  kWriteFailed,    // the sink or the spool refused bytes (a full disk)
};

// A few words for the log line ("plan too costly").
const char* DeltaOutcomeText(DeltaOutcome outcome);

struct DeltaFigures {
  uint64_t file_size = 0;
  uint64_t fetched = 0;  // the tail and every byte the range answers brought
  uint64_t reused = 0;   // copied from the kept package
  // The least a delta fetches: the entries not reused, the local headers and
  // descriptors of those reused, the central directory and end records.
  uint64_t floor = 0;
  unsigned requests = 0;  // range requests, the tail's not counted
  uint64_t ranges = 0;    // ranges in them
};

// Rebuilds the new package, `new_size` bytes of which `tail` holds
// [tail_start, new_size) (at least kMinimumTail bytes, or the whole
// package), into `sink`, from the zip at kept_package and the ranges
// `fetch` brings, which wait in the spool file at `spool` (removed before
// this returns). After anything but kBuilt the sink may have had some
// bytes: what it wrote is to be thrown away, and the whole package
// downloaded. kTailTooShort puts into *needed_start where the tail must
// begin. `figures` tells what was fetched and reused, or with kTooCostly
// what the plan estimated.
DeltaOutcome BuildDelta(const Path& kept_package, uint64_t new_size, const std::string& tail,
                        uint64_t tail_start, const Path& spool, const FetchRanges& fetch,
                        const ByteSink& sink, DeltaFigures* figures, uint64_t* needed_start);
