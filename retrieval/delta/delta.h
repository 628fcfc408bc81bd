#pragma once

// A delta update: the new package rebuilt byte for byte from the kept
// package (the package installed last, kept in update/) and the bytes that
// changed, fetched by range requests. The directory reader
// (zip_directory.h), the plan (delta_plan.h) and the rebuild
// (delta_rebuild.h) together; the requests are the caller's (FetchSpan,
// FetchRanges). Main thread; nothing here prints.

#include <cstdint>
#include <functional>
#include <string>

#include "delta_rebuild.h"
#include "path.h"

enum class DeltaOutcome {
  kBuilt,              // the sink got the whole new package; its signature decides
  kKeptUnusable,       // no kept package, or one that cannot be read to its end or is no zip
  kNotZip,             // the tail is no zip's end, or the new package's layout cannot be followed
  kDirectoryTooLarge,  // the central directory is larger than kept in memory
  kTooCostly,          // the plan would fetch more than kMaxFetchPercent of the package
  kTooMuchReuse,       // the rebuild would copy more than kMaxReuseFactor kept packages
  kFetchFailed,        // the server did not deliver a range, or a transfer failed
  kWriteFailed,        // the sink or the spool refused bytes (a full disk)
  kStopped,            // the deadline or the free space stopped the rebuild
  kSlowerThanWhole,    // on this link the plan would take longer than the whole download
};

// A few words for the log line ("plan too costly").
const char* DeltaOutcomeText(DeltaOutcome outcome);

// The most central directory read into memory: 512 bytes an entry (a
// record is 46 bytes, its name and extra fields seldom 200 more; 5 MiB for
// 10,000 entries) and 32 MiB in all, a small share of even the 32-bit
// build's address space. A larger one means the whole download.
inline constexpr uint64_t kMaxDirectoryBytesPerEntry = 512;
inline constexpr uint64_t kMaxDirectoryBytes = 32 * 1024 * 1024;
// The most the rebuild copies from the kept package, as a multiple of its
// size: a release that holds the same file twice reuses its bytes twice,
// but a directory whose entries all name one kept entry is no release.
inline constexpr uint64_t kMaxReuseFactor = 2;

struct DeltaFigures {
  uint64_t file_size = 0;
  uint64_t fetched = 0;  // the tail and every byte the range answers brought
  uint64_t reused = 0;   // copied from the kept package
  // The least a delta fetches: the entries not reused, the local headers and
  // descriptors of those reused, the central directory and end records.
  uint64_t floor = 0;
  unsigned requests = 0;   // range requests, the tail's not counted
  uint64_t ranges = 0;     // ranges in them
  uint64_t predicted = 0;  // local headers predicted, not fetched
  uint64_t continued = 0;  // taken from the spool of an earlier run
  // Expected seconds of the plan's requests and of the whole download, from
  // the link's figures; both 0 when the link was not measured.
  double seconds = 0, whole_seconds = 0;
};

// What a request costs on the link, as the run has measured it.
struct LinkCost {
  double round_trip = 0;        // seconds from a request to its first byte
  double bytes_per_second = 0;  // 0: not measured
  bool single_ranges = false;   // the server answers one range per request
  unsigned parallel = 1;        // single-range requests in flight at once
};

// The most bytes between two ranges that are fetched rather than paid for
// with another request: on a link whose server takes one range a request,
// what the link carries in the share of a round trip that a request costs
// when `parallel` are in flight (at most 8 MiB).
uint64_t CoalesceGap(const LinkCost& link);

// Within this many seconds of the whole download a delta goes ahead: the
// estimates are not finer, and it saves the bytes.
inline constexpr double kSlowerMargin = 0.5;

// Fetches bytes [start, end) of the new package, handing them to `deliver`
// in order; false when they could not all be had.
using FetchSpan = std::function<bool(uint64_t start, uint64_t end, const DeliverBytes& deliver)>;

// What a rebuild works from.
struct DeltaSources {
  Path kept_package;
  uint64_t new_size = 0;
  // Bytes [tail_start, new_size) of the new package: at least kMinimumTail
  // bytes, or the whole package. A tail that begins after the central
  // directory grows by fetch_span, once, within kMaxDirectoryBytes. The
  // tail goes to the spool first and this is emptied; tail_start then
  // tells where the bytes fetched before the ranges begin.
  std::string tail;
  uint64_t tail_start = 0;
  FetchSpan fetch_span;
  FetchRanges fetch;
  // The rebuild is proven by a signature: where the kept package's tool
  // repeats its central records in its local headers, the reused entries'
  // headers are predicted from the new central directory, not fetched.
  bool predict_headers = false;
  // The link's cost once the directory is here; unset: not measured, and
  // the plan's bytes alone decide.
  std::function<LinkCost()> link;
  // Where fetched ranges wait. BuildDelta leaves it: the caller removes
  // it, or keeps it for a later run of the same package to continue.
  Path spool;
  // A spool that an earlier run of the same package left (empty: none):
  // what it holds is taken first, and only the rest is fetched.
  Path earlier_spool;
  // Asked before each block the rebuild writes: false stops it (the
  // deadline has come, the disk is filling).
  std::function<bool()> keep_going;
};

// Rebuilds the new package into `sink`. After anything but kBuilt the sink
// may have had some bytes: what it wrote is to be thrown away, and the
// whole package downloaded. `figures` tells what was fetched and reused,
// or with kTooCostly what the plan estimated.
DeltaOutcome BuildDelta(DeltaSources* sources, const ByteSink& sink, DeltaFigures* figures);
