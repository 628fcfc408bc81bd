#pragma once

#include "path.h"

// BaseDir: the full directory of the running executable, always ending in
// a separator. Computed afresh for every call; any thread.
Path GetBaseDir();

// The records of BaseDir + "update/" that outlive a run (see
// retrieval/package_record.h): written by the retrieval subsystem, the
// pending one renamed over the installed one by the install step.
inline constexpr PathChar kInstalledRecordName[] = PATH_TEXT("installed.record");
inline constexpr PathChar kPendingRecordName[] = PATH_TEXT("pending.record");
