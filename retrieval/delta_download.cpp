#include "delta_download.h"

#include <cinttypes>
#include <string>

#include "delta.h"
#include "files.h"
#include "proxy.h"
#include "range_transport.h"
#include "report.h"
#include "request.h"
#include "transfer_log.h"
#include "zip_directory.h"

namespace {

// Beside the target: where the server's bytes wait until the rebuild needs
// them.
const Path kSpoolSuffix = PATH_TEXT(".delta");

unsigned long long Count(uint64_t value) { return static_cast<unsigned long long>(value); }

const char* Requests(unsigned count) { return count == 1 ? "request" : "requests"; }

// One line: why the whole package is needed, and what the attempt cost.
DeltaDownloadResult Whole(const char* why, const RangeTransport& transport) {
  Report(
      "Delta update not used (%s): the whole package is downloaded; %llu bytes fetched in %u %s\n",
      why, Count(transport.received()), transport.requests(), Requests(transport.requests()));
  return DeltaDownloadResult::kWholeNeeded;
}

}  // namespace

DeltaDownloadResult DownloadDelta(const char* url, const char* credentials, const Path& target,
                                  const Path& kept, const TransferLimits& limits,
                                  const char* trusted_ca_pem, ConditionalGet* conditional,
                                  HashedPackage* stored) {
  CurlGlobal curl;
  const ProxyChoice proxy = ChooseProxy(url);
  Report("%s\n", DescribeProxy(proxy).c_str());
  RangeTransport transport(url, credentials, trusted_ca_pem, proxy, limits, limits.deadline);
  PackageFile sink(target);
  const Path spool = target + kSpoolSuffix;

  // A package replaced on the server between the tail and the ranges is
  // planned again once; a second change means a busy publisher, and the
  // whole download.
  for (int plan = 1; plan <= 2; ++plan) {
    std::string tail;
    uint64_t tail_start = 0;
    switch (transport.FetchTail(kMinimumTail, *conditional, &tail, &tail_start, conditional)) {
      case RangeTransport::TailAnswer::kTail:
        break;
      case RangeTransport::TailAnswer::kNotModified:
        conditional->not_modified = true;
        return DeltaDownloadResult::kNotModified;
      case RangeTransport::TailAnswer::kNoRanges:
        return Whole("the server does not answer range requests", transport);
      case RangeTransport::TailAnswer::kUnidentified:
        return Whole("the server does not identify its package", transport);
      case RangeTransport::TailAnswer::kFailed:
        return Whole("the package's end could not be fetched", transport);
    }
    // A package no longer than its tail came whole with it.
    if (tail_start == 0) {
      sink.Expect(0, PartialSource());
      if (WritePackageChunk(&tail[0], 1, tail.size(), &sink) != tail.size() ||
          !sink.Commit(stored)) {
        *stored = HashedPackage();
        sink.Discard();
        return Whole("the package could not be stored", transport);
      }
      Report(
          "Delta update not needed: the whole package came with its end; %llu bytes fetched in "
          "%u %s\n",
          Count(transport.received()), transport.requests(), Requests(transport.requests()));
      return DeltaDownloadResult::kStoredWhole;
    }
    const FetchRanges fetch = [&transport](const std::vector<ByteRange>& batch,
                                           const DeliverBytes& deliver) {
      return transport.Fetch(batch, deliver);
    };
    const ByteSink write = [&sink](const char* data, std::size_t count) {
      return WritePackageChunk(const_cast<char*>(data), 1, count, &sink) == count;
    };
    sink.Expect(0, PartialSource());
    DeltaFigures figures;
    uint64_t needed_start = 0;
    DeltaOutcome outcome = BuildDelta(kept, transport.size(), tail, tail_start, spool, fetch, write,
                                      &figures, &needed_start);
    // A central directory larger than the first guess: the rest of it.
    if (outcome == DeltaOutcome::kTailTooShort && needed_start < tail_start) {
      std::string longer;
      if (transport.FetchSpan(needed_start, tail_start, &longer)) {
        longer += tail;
        tail.swap(longer);
        tail_start = needed_start;
        sink.Discard();
        sink.Expect(0, PartialSource());
        outcome = BuildDelta(kept, transport.size(), tail, tail_start, spool, fetch, write,
                             &figures, &needed_start);
      }
    }
    if (outcome == DeltaOutcome::kBuilt) {
      if (!sink.Commit(stored)) {
        *stored = HashedPackage();
        return Whole("the rebuilt package could not be stored", transport);
      }
      Report(
          "Delta update: %llu of %llu bytes fetched in %u %s, %llu reused from the kept "
          "package (the least a delta fetches: %llu)\n",
          Count(transport.received()), Count(figures.file_size), transport.requests(),
          Requests(transport.requests()), Count(figures.reused), Count(figures.floor));
      return DeltaDownloadResult::kStored;
    }
    sink.Discard();
    RemoveFileEntry(spool);
    if (transport.replaced() && plan == 1) {
      Report(
          "Delta update: the package changed on the server while it was fetched; planning "
          "again\n");
      continue;
    }
    if (transport.replaced()) return Whole("the package changed on the server again", transport);
    return Whole(DeltaOutcomeText(outcome), transport);
  }
  return DeltaDownloadResult::kWholeNeeded;
}
