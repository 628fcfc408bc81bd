#pragma once

#include "path.h"

// BaseDir: the full directory of the running executable, always ending in
// a separator. Computed afresh for every call; any thread.
Path GetBaseDir();

// The updater's working directory, BaseDir + "update/" (the program never
// creates it), and the package in it as downloaded.
inline constexpr PathChar kWorkingDirName[] = PATH_TEXT("update");
inline constexpr PathChar kPackageName[] = PATH_TEXT("update.zip");
// GetBaseDir() + kWorkingDirName + a separator.
Path UpdateDir();

// The records of BaseDir + "update/" that outlive a run (see
// retrieval/package_record.h): written by the retrieval subsystem, the
// pending one renamed over the installed one by the install step.
inline constexpr PathChar kInstalledRecordName[] = PATH_TEXT("installed.record");
inline constexpr PathChar kPendingRecordName[] = PATH_TEXT("pending.record");
// The package installed last, kept after its install as the seed of the
// next delta update (retrieval/delta/delta_fetch.h); its record is
// kInstalledRecordName.
inline constexpr PathChar kKeptPackageName[] = PATH_TEXT("installed.zip");
// The address and Server header of a server that refused several ranges in
// one request (retrieval/delta/delta_fetch.h); kept across installs.
inline constexpr PathChar kRangeStateName[] = PATH_TEXT("single-ranges.state");
