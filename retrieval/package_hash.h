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

// Feeds the whole file at `path` to `hasher`, in blocks. False when it
// cannot be opened or read to its end.
bool HashFile(const Path& path, PackageHasher* hasher);
