#pragma once

// The package as a delta: rebuilt from the package installed last (kept in
// update/) and the byte ranges of the server's package that differ, when
// the server's package is due (not a 304) and the server serves ranges of a
// package it identifies. Every request goes through the run's transport.
// What is rebuilt is written and hashed like a downloaded package, through
// the same partial file. Main thread, within the download phase.

#include "package_hash.h"
#include "path.h"
#include "transport.h"

enum class DeltaResult {
  kStored,       // the rebuilt package is at the target: *stored describes it
  kStoredWhole,  // the package was no longer than its end, and came whole
  kNotModified,  // the server's package is the installed one (304)
  kWholeNeeded,  // no delta: the whole package is to be downloaded
  kCut,          // cut off (the deadline, a lost link): the next run continues it
};

// Beside the target: where the server's ranges wait until the rebuild
// needs them. A delta that is cut off, or a run that is killed, leaves it
// with its identification (kSpoolIdSuffix: "Runs: <n>", then the package's
// ETag or Last-Modified and Total-Size as a partial download's), and the
// next run continues it while the server still has that package, for at
// most kMaxDeltaRuns runs. Moved aside (kEarlierSpoolSuffix) while a run
// takes its bytes back.
inline constexpr PathChar kSpoolSuffix[] = PATH_TEXT(".delta");
inline constexpr PathChar kSpoolIdSuffix[] = PATH_TEXT(".delta.id");
inline constexpr PathChar kEarlierSpoolSuffix[] = PATH_TEXT(".delta.earlier");
inline constexpr unsigned kMaxDeltaRuns = 2;

// Removes the delta's spool of `target`, and what identifies it.
void DiscardDeltaSpool(const Path& target);

// Room kept free on the volume beyond what the rebuilt package takes.
inline constexpr uint64_t kFreeSpaceMargin = 64 * 1024 * 1024;

// Fetches the tail of the transport's package (on the installed package's
// conditions, `conditional`, which receives the server's ETag and
// Last-Modified), plans from its central directory and that of the kept
// package at `kept`, fetches what the plan needs and writes the rebuilt
// package to `target`. One line says what was chosen and why, with the
// bytes fetched and reused and the requests and connections they took.
// A package that the server names by no validator at all is rebuilt only
// in a `signed_build`, where its signature proves it; one named only by a
// weak ETag or a Last-Modified less than a minute old is downloaded whole; a tail that equals the
// kept package's own end is the installed package again (kNotModified), whatever the server says.
struct DeltaTrust {
  bool signed_build = false;       // a signature will prove what is rebuilt
  bool kept_is_installed = false;  // the installed record names the kept package
  // Local headers may be predicted (delta.h): a signature will prove them.
  bool predict_headers = false;
};
DeltaResult DownloadDelta(Transport* transport, const Path& target, const Path& kept,
                          const DeltaTrust& trust, ConditionalGet* conditional,
                          HashedPackage* stored, bool* predicted);
