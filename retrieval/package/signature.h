#pragma once

// minisign signatures of update packages. A publisher makes a key pair with
// `minisign -G` and signs each package with `minisign -Sm update.zip`; the
// updater carries the public keys and checks the signature file
// (update.zip.minisig) against the package's BLAKE2b-512, computed while
// the package arrived. Only the prehashed algorithm ("ED") is accepted.
// Main thread; nothing here prints.

#include <cstdint>
#include <string>

#include "path.h"

// The public keys in `keys`: minisign public key lines ("RW..." base64, as
// `minisign -G` writes them), separated by ';'. Spaces around each are
// ignored. An empty text means none: package signatures are not checked.
bool HasPublicKeys(const char* keys);

// Checks the signature file at `signature` for a package whose BLAKE2b-512
// is `blake2b` against the public keys in `keys`: the key id, the
// signature of the package and the global signature over the trusted
// comment. True when all three hold; *trusted_comment gets the comment.
// Otherwise false, with *reason saying why in a few words (and naming the
// key id where there is one).
bool VerifyPackageSignature(const char* keys, const Path& signature,
                            const unsigned char (&blake2b)[64], std::string* trusted_comment,
                            std::string* reason);

// The signed time that minisign puts into a trusted comment
// ("timestamp:<unix time>", first or after a tab or space). False when the
// comment holds none.
bool SignedTimestamp(const std::string& trusted_comment, int64_t* timestamp);
