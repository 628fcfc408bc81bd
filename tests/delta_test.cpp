// Delta updates on zips made by real archivers: the new package rebuilt
// from the kept one and the ranges a stand-in server hands over must equal
// the new package byte for byte, fetching only what changed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "delta.h"
#include "support.h"
#include "zip_directory.h"

using namespace testing_support;

namespace {

std::string Random(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    c = static_cast<char>(seed);
  }
  return out;
}

std::string Text(size_t lines, const std::string& word) {
  std::string out;
  for (size_t i = 0; i < lines; ++i) out += word + " line " + std::to_string(i) + "\n";
  return out;
}

void Shell(const std::string& command, const std::string& cwd) {
  const RunResult run = RunProgram({"/bin/sh", "-c", command}, cwd, 120);
  ASSERT_EQ(run.exit_code, 0) << command << "\n" << run.err;
}

// A server that answers each request's ranges last first, in pieces of
// 1000 bytes, reading them from `read`.
FetchRanges Serve(std::function<void(uint64_t, char*, size_t)> read,
                  std::vector<ByteRange>* requested) {
  return [read, requested](const std::vector<std::vector<ByteRange>>& batches,
                           const DeliverBytes& deliver) {
    std::vector<char> piece(1000);
    for (const std::vector<ByteRange>& batch : batches) {
      for (auto range = batch.rbegin(); range != batch.rend(); ++range) {
        requested->push_back(*range);
        for (uint64_t at = range->offset; at < range->end(); at += piece.size()) {
          const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), range->end() - at));
          read(at, piece.data(), n);
          if (!deliver(at, piece.data(), n)) return false;
        }
      }
    }
    return true;
  };
}

class Delta : public ::testing::Test {
 protected:
  // Rebuilds the package at new_path from the one at kept_path, with a tail
  // of `tail_size` bytes.
  DeltaOutcome Rebuild(const std::string& kept_path, const std::string& new_path,
                       uint64_t tail_size = kMinimumTail) {
    package = ReadFile(new_path);
    const uint64_t tail_start = package.size() - std::min<uint64_t>(tail_size, package.size());
    rebuilt.clear();
    requested.clear();
    spans.clear();
    const FetchRanges fetch =
        Serve([this](uint64_t at, char* out, size_t n) { package.copy(out, n, at); }, &requested);
    DeltaSources sources;
    sources.kept_package = kept_path;
    sources.new_size = package.size();
    sources.tail = package.substr(tail_start);
    sources.tail_start = tail_start;
    sources.fetch_span = [this](uint64_t start, uint64_t end, const DeliverBytes& deliver) {
      spans.push_back({start, end - start});
      return deliver(start, package.data() + start, static_cast<size_t>(end - start));
    };
    sources.fetch = fetch_instead ? fetch_instead : fetch;
    sources.link = link;
    sources.predict_headers = predict_headers;
    sources.spool = sandbox / "spool";
    sources.earlier_spool = earlier_spool;
    return BuildDelta(
        &sources,
        [this](const char* data, size_t n) {
          rebuilt.append(data, n);
          return !disk_full;
        },
        &figures);
  }

  // Two versions of one large file, the second with its first bytes changed.
  void MakeLargeVersions() {
    MakeDirs(src);
    WriteFile(src + "/a.bin", Random(400000, 1));
    v1 = MakeZip("v1.zip", "zip -q OUT FILES", "a.bin");
    WriteFile(src + "/b.txt", "new");
    v2 = MakeZip("v2.zip", "zip -q OUT FILES", "b.txt a.bin");
  }

  // Bytes of the requested ranges that fall into [offset, offset + length).
  uint64_t RequestedWithin(uint64_t offset, uint64_t length) const {
    uint64_t overlap = 0;
    for (const ByteRange& range : requested) {
      const uint64_t from = std::max(range.offset, offset);
      const uint64_t to = std::min(range.end(), offset + length);
      if (to > from) overlap += to - from;
    }
    return overlap;
  }

  // Zips the files of src (in the order named) with `command` ("zip -q
  // OUT FILES" style: OUT and FILES replaced) into the sandbox.
  std::string MakeZip(const std::string& name, const std::string& command,
                      const std::string& files) {
    std::string line = command;
    line.replace(line.find("OUT"), 3, sandbox / name);
    line.replace(line.find("FILES"), 5, files);
    Shell(line, src);
    return sandbox / name;
  }

  TempDir sandbox;
  const std::string src = sandbox / "src";
  std::string package, rebuilt;
  std::vector<ByteRange> requested;
  DeltaFigures figures;
  std::vector<ByteRange> spans;  // what fetch_span was asked for
  FetchRanges fetch_instead;
  std::function<LinkCost()> link;
  bool predict_headers = false;
  bool disk_full = false;
  std::string earlier_spool;
  std::string v1, v2;
};

// A tree of incompressible files (reused) and text (changed) for each
// archiver; version 2 changes the text, renames one file and is zipped in
// another order with new times.
class DeltaBy : public Delta, public ::testing::WithParamInterface<const char*> {
 protected:
  void MakeVersions() {
    MakeDirs(src + "/d");
    WriteFile(src + "/a.bin", Random(100000, 1));
    WriteFile(src + "/b.bin", Random(50000, 2));
    WriteFile(src + "/d/e.bin", Random(40000, 3));
    WriteFile(src + "/c.txt", Text(2000, "first"));
    WriteFile(src + "/f.txt", "small");
    v1 = MakeZip("v1.zip", GetParam(), "a.bin b.bin c.txt d d/e.bin f.txt");
    WriteFile(src + "/c.txt", Text(2000, "second"));
    WriteFile(src + "/f.txt", "smaller");
    Shell("mv a.bin a2.bin && touch -d '2031-05-06 07:08:09' a2.bin b.bin c.txt d/e.bin f.txt",
          src);
    v2 = MakeZip("v2.zip", GetParam(), "d d/e.bin f.txt a2.bin c.txt b.bin");
  }
};

const char* const kArchivers[] = {
    "zip -q OUT FILES",
    "zip -q -fd OUT FILES",  // data descriptors
    "zip -q - FILES | cat > OUT",
    "zip -q -fz OUT FILES",
    "bsdtar --format zip -cf OUT FILES",
    "7z a -tzip -bso0 -bsp0 OUT FILES",
    "python3 -c 'import sys, zipfile\n"
    "with zipfile.ZipFile(\"OUT\", \"w\", zipfile.ZIP_DEFLATED) as z:\n"
    "  [z.write(f) for f in sys.argv[1:]]' FILES",
};
const char* const kArchiverNames[] = {
    "InfoZip", "InfoZipDescriptors", "InfoZipStreamed", "InfoZipZip64",
    "Bsdtar",  "SevenZip",           "Python"};

std::string ArchiverName(const ::testing::TestParamInfo<const char*>& info) {
  return kArchiverNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(Archivers, DeltaBy, ::testing::ValuesIn(kArchivers), ArchiverName);

}  // namespace

TEST_P(DeltaBy, RebuildsTheNewPackageFetchingOnlyWhatChanged) {
  MakeVersions();
  ASSERT_EQ(Rebuild(v1, v2), DeltaOutcome::kBuilt);
  EXPECT_TRUE(rebuilt == package);

  ZipDirectory kept, fresh;
  ASSERT_EQ(ReadZipDirectory(v1, &kept), DirectoryResult::kRead);
  ASSERT_EQ(ReadZipDirectory(v2, &fresh), DirectoryResult::kRead);
  uint64_t reusable = 0;
  for (const ZipEntry& entry : fresh.entries) {
    const bool unchanged =
        entry.compressed_size > 0 &&
        std::any_of(kept.entries.begin(), kept.entries.end(), [&](const ZipEntry& old) {
          return old.crc == entry.crc && old.compressed_size == entry.compressed_size;
        });
    if (!unchanged) continue;
    reusable += entry.compressed_size;
    // At most the room allowed for a longer local header (or the central
    // extra field that a shorter one lacks: 7-Zip's times), and a
    // descriptor.
    EXPECT_LE(RequestedWithin(entry.data_offset(), entry.compressed_size),
              kLocalExtraSlack + entry.extra_size + kMaxDescriptorSize);
  }
  EXPECT_GE(reusable, 190000u);  // the three random files, one renamed
  EXPECT_EQ(figures.reused, reusable);
  EXPECT_EQ(figures.floor, package.size() - reusable);
  EXPECT_LE(figures.requests, 2u);
}

TEST_F(Delta, InfoZipLocalExtraFieldsDifferFromTheCentralOnes) {
  MakeDirs(src);
  WriteFile(src + "/a.bin", Random(10000, 1));
  ZipDirectory directory;
  ASSERT_EQ(ReadZipDirectory(MakeZip("v.zip", "zip -q OUT FILES", "a.bin"), &directory),
            DirectoryResult::kRead);
  const ZipEntry& entry = directory.entries.at(0);
  EXPECT_NE(entry.local_header_size, kLocalHeaderFixedSize + entry.name_size + entry.extra_size);
}

TEST_F(Delta, ReleaseRezippedAtAnotherLevelGoesToTheFullDownload) {
  MakeDirs(src);
  for (int i = 0; i < 5; ++i) WriteFile(src + "/t" + std::to_string(i), Text(3000, "same"));
  v1 = MakeZip("v1.zip", "zip -q -1 OUT FILES", "t0 t1 t2 t3 t4");
  v2 = MakeZip("v2.zip", "zip -q -9 OUT FILES", "t0 t1 t2 t3 t4");
  EXPECT_EQ(Rebuild(v1, v2), DeltaOutcome::kTooCostly);
  EXPECT_TRUE(requested.empty());
}

// 300 changed text entries, each followed by a reused random one: more
// ranges than one request holds.
TEST_F(Delta, OnTheLinkAsMeasuredTheQuickerWayIsTaken) {
  MakeDirs(src);
  std::string files;
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    WriteFile(src + "/t" + n, Text(20, "old " + n));
    WriteFile(src + "/r" + n, Random(2000, static_cast<uint32_t>(i + 1)));
    files += " t" + n + " r" + n;
  }
  v1 = MakeZip("v1.zip", "zip -q OUT FILES", files);
  for (int i = 0; i < 300; ++i) WriteFile(src + "/t" + std::to_string(i), Text(20, "new"));
  v2 = MakeZip("v2.zip", "zip -q OUT FILES", files);
  // Two requests of a long round trip take longer than the whole package.
  link = [] { return LinkCost{100, 1e12, false}; };
  EXPECT_EQ(Rebuild(v1, v2), DeltaOutcome::kSlowerThanWhole);
  EXPECT_TRUE(requested.empty());
  EXPECT_GT(figures.seconds, figures.whole_seconds);
  // One range a request: the ranges are joined across what a round trip
  // carries, into one request.
  link = [] { return LinkCost{0.01, 1e6, true}; };
  ASSERT_EQ(Rebuild(v1, v2), DeltaOutcome::kBuilt);
  EXPECT_EQ(rebuilt, package);
  EXPECT_EQ(requested.size(), 1u);
}

// Python's zipfile repeats its central records in its local headers: the
// headers of the reused entries and of a directory are predicted, and only
// the changed entry is fetched. Info-ZIP's differ, and are fetched.
TEST_F(Delta, LocalHeadersArePredictedWhereTheKeptPackageShowsThatTheyCanBe) {
  MakeDirs(src + "/d");
  std::string files = "t";
  for (int i = 0; i < 20; ++i) {
    WriteFile(src + "/r" + std::to_string(i), Random(8000, static_cast<uint32_t>(i + 1)));
    files += " r" + std::to_string(i) + (i == 0 ? " d" : "");
  }
  predict_headers = true;
  for (const char* zipper : {"python3 -m zipfile -c OUT FILES", "zip -q OUT FILES"}) {
    SCOPED_TRACE(zipper);
    WriteFile(src + "/t", Text(50, "old"));
    v1 = MakeZip("v1.zip", zipper, files);
    WriteFile(src + "/t", Text(50, "new"));
    v2 = MakeZip("v2.zip", zipper, files);
    ASSERT_EQ(Rebuild(v1, v2), DeltaOutcome::kBuilt);
    EXPECT_EQ(rebuilt, package);
    EXPECT_EQ(requested.size() == 1, zipper[0] == 'p');
    RemoveTree(sandbox / "v1.zip");
    RemoveTree(sandbox / "v2.zip");
  }
}

TEST_F(Delta, DirectoryBeyondTheTailIsAskedForFromWhereItStarts) {
  MakeDirs(src);
  std::string files;
  for (int i = 0; i < 800; ++i) {
    const std::string name = "a-long-file-name-for-a-large-central-directory-" + std::to_string(i);
    WriteFile(src + "/" + name, Random(5000, static_cast<uint32_t>(i + 1)));
    files += name + " ";
  }
  v1 = MakeZip("v1.zip", "zip -q OUT FILES", files);
  ZipDirectory directory;
  ASSERT_EQ(ReadZipDirectory(v1, &directory), DirectoryResult::kRead);
  ASSERT_GT(directory.cd_size, kMinimumTail);

  EXPECT_EQ(Rebuild(v1, v1), DeltaOutcome::kBuilt);
  EXPECT_TRUE(rebuilt == package);
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0].offset, directory.cd_offset);
}

TEST_F(Delta, TruncatedKeptPackageIsReported) {
  MakeLargeVersions();
  const std::string whole = ReadFile(v1);
  WriteFile(v1, whole.substr(0, whole.size() / 2));
  EXPECT_EQ(Rebuild(v1, v2), DeltaOutcome::kKeptUnusable);
}

TEST_F(Delta, DamagedKeptDataMakesBytesThatDiffer) {
  MakeLargeVersions();
  std::string damaged = ReadFile(v1);
  damaged[1000] ^= 0x55;
  WriteFile(v1, damaged);
  ASSERT_EQ(Rebuild(v1, v2), DeltaOutcome::kBuilt);
  EXPECT_EQ(rebuilt.size(), package.size());
  EXPECT_FALSE(rebuilt == package);  // the signature check refuses it
}

TEST_F(Delta, RangeTheServerLeftOutEndsItBeforeAnythingIsWritten) {
  MakeLargeVersions();
  fetch_instead = [](const std::vector<std::vector<ByteRange>>&, const DeliverBytes&) {
    return true;
  };
  EXPECT_EQ(Rebuild(v1, v2), DeltaOutcome::kFetchFailed);
  EXPECT_TRUE(rebuilt.empty());
}

TEST_F(Delta, FullDiskEndsIt) {
  MakeLargeVersions();
  disk_full = true;
  EXPECT_EQ(Rebuild(v1, v2), DeltaOutcome::kWriteFailed);
}

// A delta cut off leaves its spool: the next rebuild takes what that holds,
// up to a torn last record, and fetches only the rest.
TEST_F(Delta, ACutOffDeltaIsContinuedFromItsSpool) {
  MakeDirs(src);
  WriteFile(src + "/a.bin", Random(2000000, 1));
  v1 = MakeZip("v1.zip", "zip -q OUT FILES", "a.bin");
  WriteFile(src + "/c.bin", Random(900000, 2));
  v2 = MakeZip("v2.zip", "zip -q OUT FILES", "c.bin a.bin");
  fetch_instead = [this](const std::vector<std::vector<ByteRange>>& batches,
                         const DeliverBytes& deliver) {
    EXPECT_EQ(batches.front().front().offset, 0u);
    EXPECT_TRUE(deliver(0, package.data(), 600000));
    return false;  // the link is lost
  };
  ASSERT_EQ(Rebuild(v1, v2), DeltaOutcome::kFetchFailed);
  const std::string spool = ReadFile(sandbox / "spool");
  earlier_spool = sandbox / "earlier";
  WriteFile(earlier_spool, spool.substr(0, spool.size() - 1000));
  fetch_instead = nullptr;
  ASSERT_EQ(Rebuild(v1, v2), DeltaOutcome::kBuilt);
  EXPECT_TRUE(rebuilt == package);
  // The tail and two whole records of 256 KiB; the third was torn.
  EXPECT_EQ(figures.continued, kMinimumTail + 2 * 262144u);
  EXPECT_EQ(RequestedWithin(0, 2 * 262144), 0u);
  EXPECT_GT(RequestedWithin(2 * 262144, 600000 - 2 * 262144), 0u);
}

TEST(DeltaPlanning, LocalHeaderLongerThanGuessedIsFetchedInASecondStep) {
  ZipEntry reused;
  reused.crc = 1;
  reused.compressed_size = reused.uncompressed_size = 10000;
  reused.method = 8;
  reused.name_size = 10;
  ZipDirectory kept, fresh;
  kept.entries = {reused};
  kept.entries[0].local_header_size = 100;
  ZipEntry changed = reused;
  changed.crc = 2;
  changed.compressed_size = 500;
  changed.local_header_offset = 10156;
  fresh.entries = {changed, reused};
  fresh.cd_offset = 10696;
  fresh.file_size = 11000;
  DeltaPlan plan;
  ASSERT_TRUE(PlanDelta(kept, fresh, fresh.cd_offset, &plan));
  EXPECT_EQ(plan.first_ranges,
            (std::vector<ByteRange>{{0, 30 + 10 + kLocalExtraSlack}, {10156, 540}}));
  plan.slots[0].header_size = 140;  // as its local header says
  DeltaLayout layout;
  LayOutDelta(plan, &layout);
  EXPECT_EQ(layout.missing,
            (std::vector<ByteRange>{
                {30 + 10 + kLocalExtraSlack, 140 - (30 + 10 + kLocalExtraSlack)}, {10140, 16}}));
  ASSERT_EQ(layout.pieces.size(), 3u);
  EXPECT_TRUE(layout.pieces[1].from_kept);
  EXPECT_EQ(layout.pieces[1].offset, 140u);
  EXPECT_EQ(layout.pieces[1].kept_offset, 100u);
  EXPECT_EQ(layout.reused, 10000u);
  EXPECT_EQ(layout.floor, 1000u);
}

TEST(DeltaPlanning, RangeValuesStayUnderTheHeaderLimit) {
  std::vector<ByteRange> ranges;
  for (uint64_t i = 0; i < 1000; ++i) ranges.push_back({1000000000 + i * 100, 10});
  const std::vector<std::vector<ByteRange>> batches = BatchRanges(ranges);
  EXPECT_GT(batches.size(), 1u);
  std::vector<ByteRange> joined;
  for (const std::vector<ByteRange>& batch : batches) {
    EXPECT_LE(RangeSpec(batch).size() + 6, kMaxRangeValue);
    joined.insert(joined.end(), batch.begin(), batch.end());
  }
  EXPECT_EQ(joined, ranges);
  EXPECT_EQ(RangeSpec({{0, 10}, {100, 1}}), "0-9,100-100");
}

// In a process of its own, so that the peak memory is the rebuild's.
TEST_F(Delta, TwentyThousandEntriesStayUnder16MiB) {
  Shell(
      "python3 -c 'import random, zipfile\n"
      "for v in (1, 2):\n"
      "  with zipfile.ZipFile(\"v%d.zip\" % v, \"w\", zipfile.ZIP_DEFLATED) as z:\n"
      "    for i in range(20000):\n"
      "      data = random.Random(i + (v * 100000 if i % 100 == 0 else 0)).randbytes(3000)\n"
      "      z.writestr(\"dir%d/file-%d.bin\" % (i // 1000, i), data)'",
      sandbox.path());
  const RunResult run = RunProgram({DELTA_PACKAGE_EXE, sandbox / "v1.zip", sandbox / "v2.zip",
                                    sandbox / "spool", sandbox / "out.zip"},
                                   sandbox.path(), 120);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_TRUE(ReadFile(sandbox / "out.zip") == ReadFile(sandbox / "v2.zip"));
  const size_t peak = run.out.find("peak ");
  ASSERT_NE(peak, std::string::npos) << run.out;
  EXPECT_LT(std::stol(run.out.substr(peak + 5)), 16 * 1024) << run.out;  // KiB
  printf("%s", run.out.c_str());
}
