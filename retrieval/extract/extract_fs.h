#pragma once

// File-system steps of the package extraction. Paths are UTF-8 text owned by
// the caller and become native paths (path.h) before they reach the system;
// text that is not valid UTF-8 becomes an empty path, so nothing is created
// under a garbled name. Called on the extracting thread; results only,
// except for the lines named below.

#include <cstdint>
#include <string>

#include "files.h"

// Archive names and the paths built from them use either separator.
inline bool IsNameSeparator(char c) { return c == '/' || c == '\\'; }

// End of the level above path[0, end): the position of the separator (run)
// before its last component; 0 when there is no level above within path
// (a leading separator never ends one).
size_t ParentEnd(const char* path, size_t end);

// Creates the last level of path. True when it was created; otherwise
// *reason (when given) tells why not.
bool MakeDirectory(const std::string& path, MakeDirResult* reason = nullptr);

// Creates every missing directory along path ('/' and '\' both separate;
// one trailing separator is ignored). 1 done; 0 for an empty path or when a
// level cannot be made because the one above it is missing (prints
// "couldn't create directory %s\n" with that prefix, or, when failed_at is
// given, stores the prefix there instead so that the caller can print it
// later); -104 when no working copy can be allocated (prints "Error
// allocating memory\n").
int MakeDirectoryPath(const std::string& path, std::string* failed_at = nullptr);

// Stamps the file with an archive entry's MS-DOS date/time (local time):
// last-write (and creation, where kept) time set, last-access time kept.
// A file that cannot be opened keeps its times, silently.
void SetEntryFileTime(const std::string& path, uint32_t dos_date_time);
