#pragma once

// The gate between download and extraction: only a package whose minisign
// signature verifies against a built-in key, and that is not older than
// the installed one nor than the build accepts, goes on to be extracted.
// Main thread, with the run lock held, before any window exists.

#include <cstdint>
#include <string>

#include "download.h"
#include "package_hash.h"
#include "package_record.h"
#include "transport.h"

// The conditions of the package download: the installed package's ETag
// and Last-Modified, from its record (none without a sound record).
ConditionalGet InstalledPackageConditions();

enum class PackageVerdict {
  kInstall,     // extract and install it
  kNothingNew,  // the server's package is the installed one
  kRefused,     // not genuine, too old, or unreadable
  kNoPackage,   // the download brought none and none is waiting in update/
  kNotProved,   // a package rebuilt from the kept one failed its signature: it
                // is gone, and the whole package is to be downloaded
};

// A verdict and the package file it is about: the extraction reads that
// file only while it is still the one that was hashed.
struct CheckedPackage {
  PackageVerdict verdict = PackageVerdict::kNoPackage;
  HashedPackage package;  // with kInstall
};

// Decides about the package after the download (`fetched`, with the
// server's ETag and Last-Modified in `answer`). A package stored in this
// run comes with the digest taken while it arrived; any other file at
// BaseDir + "update/update.zip" (placed by hand, or left by an earlier run)
// is hashed here, through one handle. No digest of one file ever stands
// for another.
//
// Nothing new, with one line "No new package": the server answered that
// its package is unchanged and there is none in update/, or the package's
// BLAKE2b-512 and size are those of the installed package's record (a copy
// downloaded in this run is then removed; one placed by hand is left).
//
// With public keys in `keys` (see signature.h), the signature file
// "update/update.zip.minisig" (fetched beside a package stored in this
// run) must verify, and the signed timestamp must not
// be older than the installed package's nor than `min_time` (a Unix time;
// 0: no floor). Refused: one line gives the reason, and the package and
// its signature file are removed; a package that cannot be removed is
// said to be so, and a later run checks it again like any other. With no
// keys, signatures are not checked (one line says so) and neither are
// timestamps.
//
// A package rebuilt from the kept one (fetched.rebuilt) whose signature
// does not verify is removed with one line, and kNotProved says so, with
// no outcome: fetch.h decides what follows (a damaged kept package or a
// server that sent other bytes costs a download, never an install).
//
// To install, the package's record is written to update/pending.record.
// Reports the run's outcome for every verdict but kInstall, kNoPackage and
// kNotProved.
CheckedPackage CheckPackage(const char* keys, int64_t min_time, const DownloadResult& fetched,
                            const ConditionalGet& answer);

// Whether a package signed with `comment` (its trusted comment) may follow
// the installed one (`installed`, when `has_installed`) in a build whose
// floor is `min_time`: not older than either, and dated when either has a
// date. Puts the signed timestamp into *pending; *reason says why not.
bool MayFollow(const std::string& comment, const PackageRecord& installed, bool has_installed,
               int64_t min_time, PackageRecord* pending, std::string* reason);
