#pragma once

// The package as a delta: rebuilt from the package installed last (kept in
// update/) and the byte ranges of the server's package that differ, when
// the server's package is due (not a 304) and the server serves ranges of a
// package it identifies. What is rebuilt is written and hashed like a
// downloaded package, and proved by its signature like one; anything that
// does not fit ends in the whole download. Main thread, within the
// download phase.

#include <chrono>

#include "download.h"
#include "package_hash.h"
#include "path.h"

enum class DeltaDownloadResult {
  kStored,       // the rebuilt package is at the target: *stored describes it
  kStoredWhole,  // the package was no longer than its end, and came whole
  kNotModified,  // the server's package is the installed one (304)
  kWholeNeeded,  // no delta: the whole package is to be downloaded
};

// Fetches the tail of the package at `url` (on the installed package's
// conditions, `conditional`, which receives the server's ETag and
// Last-Modified), plans from its central directory and the kept package's
// at `kept`, fetches what the plan needs and writes the rebuilt package to
// `target` through the same partial file as a download. One line in the
// log says what was chosen and why, with the bytes fetched and reused.
// Requests are made as DownloadPackageFrom makes them, within
// limits.deadline.
DeltaDownloadResult DownloadDelta(const char* url, const char* credentials, const Path& target,
                                  const Path& kept, const TransferLimits& limits,
                                  const char* trusted_ca_pem, ConditionalGet* conditional,
                                  HashedPackage* stored);
