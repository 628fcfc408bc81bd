#include "package_hash.h"

#include <cstdio>
#include <memory>

#include "file_output.h"

PackageHasher::PackageHasher() {
  // Picks the fastest implementations for this processor; safe to call
  // more than once. The hash functions work (slower) even when it fails.
  const int ready = sodium_init();
  (void)ready;
  Reset();
}

void PackageHasher::Reset() {
  crypto_generichash_init(&blake2b_, nullptr, 0, sizeof PackageDigests::blake2b);
  size_ = 0;
}

void PackageHasher::Update(const void* data, std::size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  crypto_generichash_update(&blake2b_, bytes, count);
  size_ += count;
}

PackageDigests PackageHasher::Finish() {
  PackageDigests digests;
  crypto_generichash_final(&blake2b_, digests.blake2b, sizeof digests.blake2b);
  digests.size = size_;
  return digests;
}

bool HashFile(const Path& path, PackageHasher* hasher) {
  FilePtr file = OpenFileForReading(path);
  if (!file) return false;
  std::unique_ptr<unsigned char[]> block(new unsigned char[kFileBufferSize]);
  for (;;) {
    const std::size_t n = std::fread(block.get(), 1, kFileBufferSize, file.get());
    hasher->Update(block.get(), n);
    if (n < kFileBufferSize) return std::ferror(file.get()) == 0;
  }
}
