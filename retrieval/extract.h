#pragma once

// Unpacking the update package. Main thread, before any window exists;
// every call blocks until it is done. Progress and failures are printed as
// lines on standard output ("Cannot open " on standard error).

#include <unzip.h>

#include <string>

#include "path.h"

// Unpacks BaseDir + "update/update.zip" into BaseDir + "update/unzip/",
// which is emptied first (links in it are removed, never followed), so that
// exactly this package's files are there afterwards. True only when the
// package was extracted completely, so that there is something to install.
bool ExtractPackage();

// Extracts every entry of the archive at archive_path below destination
// (created when missing; a trailing separator is added when there is none).
// True when the archive was opened and every entry was visited without a
// stopping failure. Entries that were reported and skipped are counted into
// *skipped when it is given.
bool ExtractArchive(Path archive_path, Path destination, unsigned* skipped = nullptr);

// Visits the entries of an open archive from its current one on, extracting
// each below prefix (UTF-8, ending in a separator). 1 when the last entry
// was reached (also for an archive without entries), 0 when it stopped.
int ExtractAllEntries(unzFile archive, const std::string& prefix, unsigned* skipped = nullptr);

// Extracts the archive's current entry below prefix. 0 lets the walk go on;
// a negative unzip-library code (UNZ_ERRNO for a failed write) stops it.
// A target file that cannot be created is reported and skipped (0), and
// counted into *skipped when it is given.
// Names that would reach outside prefix are refused and stop the walk.
int ExtractCurrentEntry(unzFile archive, const std::string& prefix, unsigned* skipped = nullptr);
