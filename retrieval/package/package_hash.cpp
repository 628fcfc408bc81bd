#include "package_hash.h"

#include <sodium.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "file_output.h"

namespace {

// Blocks of this size go to the worker; a few of them are all the memory
// the hasher takes, whatever the package's size.
constexpr std::size_t kBlockSize = 256 * 1024;
constexpr std::size_t kBlocks = 4;

}  // namespace

// A ring of kBlocks blocks: the caller fills them in turn, the worker
// hashes them in the same order. The state is the worker's alone while it
// runs; the caller touches it only once the ring is empty.
struct PackageHasher::Worker {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<unsigned char> blocks[kBlocks];
  std::size_t first = 0;  // the oldest block handed over, not yet hashed
  std::size_t queued = 0;
  bool stopping = false;
  crypto_generichash_state blake2b;
  std::size_t filling = 0;  // the caller's block
  std::thread thread;

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return queued > 0 || stopping; });
      if (queued == 0) return;
      std::vector<unsigned char>& block = blocks[first];
      lock.unlock();
      crypto_generichash_update(&blake2b, block.data(), block.size());
      lock.lock();
      block.clear();
      first = (first + 1) % kBlocks;
      --queued;
      changed.notify_all();
    }
  }

  // Waits until every block handed over is hashed.
  void Drain() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return queued == 0; });
  }
};

PackageHasher::PackageHasher() : worker_(new Worker) {
  // Picks the fastest implementations for this processor; safe to call
  // more than once. The hash functions work (slower) even when it fails.
  const int ready = sodium_init();
  (void)ready;
  for (auto& block : worker_->blocks) block.reserve(kBlockSize);
  Reset();
  worker_->thread = std::thread([this] { worker_->Run(); });
}

PackageHasher::~PackageHasher() {
  {
    std::lock_guard<std::mutex> lock(worker_->mutex);
    worker_->stopping = true;
  }
  worker_->changed.notify_all();
  worker_->thread.join();
}

void PackageHasher::Reset() {
  worker_->Drain();
  crypto_generichash_init(&worker_->blake2b, nullptr, 0, sizeof PackageDigests::blake2b);
  worker_->blocks[worker_->filling].clear();
  size_ = 0;
}

void PackageHasher::Pass() {
  Worker& w = *worker_;
  std::unique_lock<std::mutex> lock(w.mutex);
  ++w.queued;
  w.changed.notify_all();
  w.filling = (w.filling + 1) % kBlocks;
  // The next block is free once the worker is done with it.
  w.changed.wait(lock, [&w] { return w.queued < kBlocks; });
}

void PackageHasher::Update(const void* data, std::size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_ += count;
  while (count > 0) {
    std::vector<unsigned char>& block = worker_->blocks[worker_->filling];
    const std::size_t take = std::min(count, kBlockSize - block.size());
    block.insert(block.end(), bytes, bytes + take);
    bytes += take;
    count -= take;
    if (block.size() == kBlockSize) Pass();
  }
}

PackageDigests PackageHasher::Finish() {
  if (!worker_->blocks[worker_->filling].empty()) Pass();
  worker_->Drain();
  PackageDigests digests;
  crypto_generichash_final(&worker_->blake2b, digests.blake2b, sizeof digests.blake2b);
  digests.size = size_;
  return digests;
}

bool HashPackageFile(const Path& path, HashedPackage* package) {
  FilePtr file = OpenFileForReading(path);
  FileIdentity before, after;
  if (!file || !IdentifyOpenFile(file.get(), &before)) return false;
  PackageHasher hasher;
  std::unique_ptr<unsigned char[]> block(new unsigned char[kFileBufferSize]);
  for (;;) {
    const std::size_t n = std::fread(block.get(), 1, kFileBufferSize, file.get());
    hasher.Update(block.get(), n);
    if (n < kFileBufferSize) break;
  }
  if (std::ferror(file.get()) || !IdentifyOpenFile(file.get(), &after) || after != before)
    return false;
  package->digests = hasher.Finish();
  // A file that grew or shrank between the two looks would show in its
  // identity; one that holds other bytes than were read would not be this.
  if (package->digests.size != after.size) return false;
  package->file = path;
  package->identity = after;
  return true;
}

bool IsStillTheHashedFile(const HashedPackage& package) {
  FileIdentity now;
  return package.present() && IdentifyFile(package.file, &now) && now == package.identity;
}
