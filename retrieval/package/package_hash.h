#pragma once

// The digest of an update package, computed while its bytes go by: the
// BLAKE2b-512 that its minisign signature signs, which the record of the
// installed package keeps too. One pass, flat memory, whatever the size.
// The hashing itself runs on a thread of the hasher's own, so that it
// overlaps the transfer instead of adding to it. One thread at a time calls
// a hasher; one object per package.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "files.h"
#include "path.h"

struct PackageDigests {
  unsigned char blake2b[64] = {};
  uint64_t size = 0;
};

class PackageHasher {
 public:
  PackageHasher();
  ~PackageHasher();
  PackageHasher(const PackageHasher&) = delete;
  PackageHasher& operator=(const PackageHasher&) = delete;

  // Feeds the next bytes of the package, in order. Copies them: `data` may
  // change once this returns.
  void Update(const void* data, std::size_t count);
  // Forgets everything fed: the package starts over.
  void Reset();
  // Bytes fed so far.
  uint64_t size() const { return size_; }
  // The digests of everything fed; the hasher is done with after this.
  PackageDigests Finish();

 private:
  struct Worker;
  // Hands the block being filled to the worker.
  void Pass();

  std::unique_ptr<Worker> worker_;
  uint64_t size_ = 0;
};

// One package file as it was hashed: where it is, which file that was when
// its bytes went through the hasher, and the digests of exactly those bytes.
// The signature is checked against `digests` and the extraction reads
// `file` only while it is still `identity`: what was verified is what is
// unpacked. An empty `file` is no package.
struct HashedPackage {
  Path file;
  FileIdentity identity;
  PackageDigests digests;
  bool present() const { return !file.empty(); }
};

// Hashes the file at `path` through one handle, whose file is identified
// before and after the read. False when it cannot be opened or read to its
// end, or changed meanwhile.
bool HashPackageFile(const Path& path, HashedPackage* package);

// True when the file at package.file is still the one that was hashed (same
// file, size and last-write time).
bool IsStillTheHashedFile(const HashedPackage& package);
