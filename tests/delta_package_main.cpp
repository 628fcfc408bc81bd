// Rebuilds NEW from KEPT as the updater would, in a process of its own so
// that its peak memory is the rebuild's: the tail first (kMinimumTail
// bytes; the rebuild asks for the rest of the directory when that is not
// enough), the ranges read from NEW's file, the result written to OUT. Prints the
// figures and the peak resident memory; exit status 0 when rebuilt.
//   delta_package_main KEPT NEW SPOOL OUT

#include <sys/resource.h>

#include <cstdio>
#include <memory>

#include "delta.h"

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

bool ReadAt(FILE* file, uint64_t offset, char* out, size_t count) {
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
         fread(out, 1, count, file) == count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  File served(fopen(argv[2], "rb"), fclose), out(fopen(argv[4], "wb"), fclose);
  if (!served || !out || fseeko(served.get(), 0, SEEK_END) != 0) return 2;
  const uint64_t size = static_cast<uint64_t>(ftello(served.get()));
  const FetchRanges fetch = [&served](const std::vector<std::vector<ByteRange>>& batches,
                                      const DeliverBytes& deliver) {
    std::unique_ptr<char[]> block(new char[64 * 1024]);
    for (const std::vector<ByteRange>& batch : batches) {
      for (const ByteRange& range : batch) {
        for (uint64_t at = range.offset; at < range.end(); at += 64 * 1024) {
          const size_t n = static_cast<size_t>(std::min<uint64_t>(64 * 1024, range.end() - at));
          if (!ReadAt(served.get(), at, block.get(), n) || !deliver(at, block.get(), n))
            return false;
        }
      }
    }
    return true;
  };
  const ByteSink sink = [&out](const char* data, size_t count) {
    return fwrite(data, 1, count, out.get()) == count;
  };
  DeltaSources sources;
  sources.kept_package = argv[1];
  sources.new_size = size;
  sources.tail_start = size - std::min(size, kMinimumTail);
  sources.tail.resize(size - sources.tail_start);
  if (!ReadAt(served.get(), sources.tail_start, &sources.tail[0], sources.tail.size())) return 2;
  sources.fetch_span = [&served](uint64_t start, uint64_t end, const DeliverBytes& deliver) {
    std::string bytes(end - start, '\0');
    return ReadAt(served.get(), start, &bytes[0], bytes.size()) &&
           deliver(start, bytes.data(), bytes.size());
  };
  sources.fetch = fetch;
  sources.spool = argv[3];
  DeltaFigures figures;
  const DeltaOutcome outcome = BuildDelta(&sources, sink, &figures);
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf(
      "%s: size %llu, fetched %llu, reused %llu, floor %llu, %u requests, %llu ranges, "
      "peak %ld KiB\n",
      DeltaOutcomeText(outcome), static_cast<unsigned long long>(size),
      static_cast<unsigned long long>(figures.fetched),
      static_cast<unsigned long long>(figures.reused),
      static_cast<unsigned long long>(figures.floor), figures.requests,
      static_cast<unsigned long long>(figures.ranges), usage.ru_maxrss);
  return outcome == DeltaOutcome::kBuilt && fclose(out.release()) == 0 ? 0 : 1;
}
