#pragma once

// The run's package, from the server to update/unzip/: fetched by delta
// from the kept package where that works, else whole, with its signature,
// checked (package_check.h) and unpacked (extract.h). The one place that
// decides between delta and whole, and what follows when a rebuilt package
// fails. Main thread, with the run lock held, before any window exists.

#include <cstdint>
#include <string>

#include "package_hash.h"

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
  // The package was rebuilt from the kept one: only its signature, or
  // without a key its extraction, proves it.
  bool rebuilt = false;
};

// Fetches, checks and unpacks the package, with the public keys `keys`
// and the floor `min_time` of the program's build (package_check.h). True
// when it is unpacked and ready to install; false when the run ends here,
// after its outcome was reported (nothing new, a failed download, a
// refused package).
bool ObtainPackage(const char* keys, int64_t min_time);
