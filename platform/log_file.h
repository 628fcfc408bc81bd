#pragma once

// The pieces of the updater's log file that differ between systems: one
// append of whole lines that several processes may make to the same file at
// once, its rotation, and the time stamp and process id of each line. Any
// thread; nothing here prints.

#include <cstdint>
#include <string>

#include "path.h"

// Appends `lines` to the file at `path` in a single write at its end,
// creating the file when it is missing; two processes appending at once
// never interleave within one call. When the file already holds something
// and the append would take it past `limit` bytes, the file is first
// renamed to `rotated` (replacing that file) and a new one is started;
// unless the file at `path` is no longer the one this process has open
// (another process rotated it meanwhile): that newer file is never
// rotated over the older one, and the append goes to it.
// False when nothing was written (a directory in the way, a full disk).
// *renamed (when given) is set when this call renamed the file to
// `rotated`. The file stays open for the next append to the same path,
// until CloseLog or a failed write. One thread at a time.
bool AppendToLog(const Path& path, const Path& rotated, const std::string& lines,
                 std::uint64_t limit, bool* renamed = nullptr);

// Closes the file that AppendToLog keeps open, if any.
void CloseLog();

// The local time now, "YYYY-MM-DD HH:MM:SS.mmm".
std::string LocalTimeStamp();

// This process's id.
unsigned long CurrentProcessId();
