#pragma once

// The gate between download and extraction: only a package whose minisign
// signature verifies against a built-in key, and that is not older than
// the installed one, goes on to be extracted. Main thread, with the run
// lock held, before any window exists.

#include "package_hash.h"

// Checks BaseDir + "update/update.zip" against its signature file
// "update/update.zip.minisig" and the public keys in `keys` (see
// signature.h), and its signed timestamp against the record of the
// installed package. `downloaded` is the hasher that saw the package
// arrive, or null when it was not downloaded in this run (then the file is
// hashed here). With no keys, signatures are not checked (one line says
// so) and neither are timestamps.
//
// True when the package may be installed: its record is then written to
// update/pending.record. Also true when there is no package at all (the
// extraction reports that). False when it is refused: one line gives the
// reason, and the package and its signature file are removed.
bool CheckPackage(const char* keys, PackageHasher* downloaded);
