#pragma once

// The gate between download and extraction: only a package whose minisign
// signature verifies against a built-in key, and that is not older than
// the installed one, goes on to be extracted. Main thread, with the run
// lock held, before any window exists.

#include "download.h"
#include "package_hash.h"

// The conditions of the package download: the installed package's ETag
// and Last-Modified, from its record (none without a sound record).
ConditionalGet InstalledPackageConditions();

enum class PackageVerdict {
  kInstall,     // extract and install it (or there is no package at all:
                // the extraction reports that)
  kNothingNew,  // the server's package is the installed one
  kRefused,     // not genuine, older than the installed one, or unreadable
};

// Decides about BaseDir + "update/update.zip" after the download, whose
// `outcome`, `hasher` (which saw a stored package arrive) and `answer`
// (the server's ETag and Last-Modified) it is given. A package that was not
// stored in this run (placed by hand, or left by an earlier run) is hashed
// here.
//
// Nothing new, with one line "No new package": the server answered that
// its package is unchanged and there is none in update/, or the package's
// BLAKE2b-512 and size are those of the installed package's record (a copy
// downloaded in this run is then removed; one placed by hand is left).
//
// With public keys in `keys` (see signature.h), the signature file
// "update/update.zip.minisig" (fetched beside a package downloaded in this
// run) must verify, and the signed timestamp must not be older than the
// installed package's. Refused: one line gives the reason, and the package
// and its signature file are removed. With no keys, signatures are not
// checked (one line says so) and neither are timestamps.
//
// To install, the package's record is written to update/pending.record.
PackageVerdict CheckPackage(const char* keys, DownloadOutcome outcome, PackageHasher* hasher,
                            const ConditionalGet& answer);
