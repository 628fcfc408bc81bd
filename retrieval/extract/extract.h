#pragma once

// Unpacking the update package. Main thread, before any window exists;
// every call blocks until it is done. Progress and failures are printed as
// lines on standard output ("Cannot open " on standard error).

#include <string>

#include "package_hash.h"
#include "path.h"

// Unpacks `package` (the file that the signature check hashed) into
// BaseDir + "update/unzip/", which is emptied first (links in it are
// removed, never followed), so that exactly this package's files are there
// afterwards. A file that is no longer the one that was hashed (replaced or
// changed since) is not unpacked, with one line; nor is one that changes
// while it is unpacked. True only when the package was extracted
// completely, so that there is something to install.
bool ExtractPackage(const HashedPackage& package);

// Extracts every entry of the archive at archive_path below destination
// (created when missing; a trailing separator is added when there is none).
// One pass over the archive's central directory comes before anything is
// written: a name that would reach outside the destination, that Windows
// cannot hold (a device name, a reserved character such as ':', a component
// ending in a dot or a blank) or that differs from another only in letter
// case, an encrypted entry or an unknown compression method refuses the
// whole package with one line naming the entry; so does a package that
// would not fit in the free space of the destination's volume. Names stored
// without the UTF-8 flag that are not UTF-8 are read in the Chinese legacy
// code page (936). An entry whose local header disagrees with the central
// directory, or whose data is longer or shorter than declared, stops the
// extraction with a line naming it.
// Directories are made first; the files are then written by `workers`
// workers (1 or 2; 0 picks two where the machine has two cores and the
// package is not tiny), each with its own handle on the archive and a share
// of the entries in archive order. The lines come in archive order all the
// same, and an entry that stops the extraction leaves only what one worker
// would have written.
// True when the archive was opened and every entry was visited without a
// stopping failure. Entries that were reported and skipped (a target file
// that cannot be created) are counted into *skipped when it is given.
bool ExtractArchive(Path archive_path, Path destination, unsigned* skipped = nullptr,
                    unsigned workers = 0);
