// Feeds arbitrary bytes as the tail of a zip file to the delta's directory
// reader, and what it reads to the plan and the layout, checking what they
// promise: a tail too short asks for an earlier start; a plan's first ranges
// and a layout's missing bytes are in file order, before the tail; the
// layout's pieces make up the whole file, and every byte from the server
// that is neither fetched first nor in the tail is missing.
//
// Input: 8 bytes, little-endian: the low 40 bits are how many bytes of the
// file come before the tail; bit 63 set keeps the tail as it is, else a tail
// shorter than kMinimumTail is filled in front with zeros up to it (so that
// small inputs reach the reader). Then the tail's own bytes.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "delta_plan.h"
#include "zip_directory.h"

namespace {

constexpr uint64_t kMaxBefore = (uint64_t{1} << 40) - 1;
// The zero-filled tail that checks a requested start: small enough for
// every run.
constexpr uint64_t kMaxRetail = 1u << 20;

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "zip_tail_fuzzer: %s\n", what);
  abort();
}

void Check(bool holds, const char* what) {
  if (!holds) Fail(what);
}

// A kept package of a few stored entries whose content keys match the seed
// archives' small stored entries ("hello" and "world" stored, with and
// without a data descriptor) and one deflated entry no seed has.
ZipDirectory KeptDirectory() {
  ZipDirectory kept;
  const auto add = [&kept](uint32_t crc, uint64_t size, uint16_t method, uint16_t flags,
                           uint64_t data_offset) {
    ZipEntry entry;
    entry.crc = crc;
    entry.compressed_size = entry.uncompressed_size = size;
    entry.method = method;
    entry.flags = flags;
    entry.local_header_size = kLocalHeaderFixedSize + 5;
    entry.local_header_offset = data_offset - entry.local_header_size;
    kept.entries.push_back(entry);
  };
  add(0x3610a686, 5, 0, 0, 35);       // "hello"
  add(0x3a771143, 5, 0, 0, 75);       // "world"
  add(0x3610a686, 5, 0, 8, 115);      // "hello", data descriptor
  add(0x3a771143, 5, 0, 0x808, 155);  // "world", descriptor and UTF-8 name
  add(0x12345678, 300, 8, 0, 200);
  kept.cd_offset = 600;
  kept.file_size = 700;
  return kept;
}

// Ranges in file order: non-empty, not overlapping, coalesced, inside [0, limit).
void CheckRanges(const std::vector<ByteRange>& ranges, uint64_t limit, const char* what) {
  for (size_t i = 0; i < ranges.size(); ++i) {
    const ByteRange& r = ranges[i];
    if (r.length == 0 || r.offset > limit || r.length > limit - r.offset) Fail(what);
    if (i > 0 && r.offset < ranges[i - 1].end() + kCoalesceGap) Fail(what);
  }
}

// True when [from, to) lies in the union of the ranges (in file order).
bool Covered(uint64_t from, uint64_t to, const std::vector<ByteRange>& ranges) {
  for (const ByteRange& r : ranges) {
    if (from >= to) break;
    if (r.end() <= from) continue;
    if (r.offset > from) return false;
    from = r.end();
  }
  return from >= to;
}

void CheckPlan(const ZipDirectory& fresh, uint64_t tail_start, const DeltaPlan& plan) {
  Check(plan.file_size == fresh.file_size && plan.tail_start == tail_start &&
            plan.cd_offset == fresh.cd_offset && plan.slots.size() == fresh.entries.size(),
        "the plan does not describe the directory");
  Check(tail_start <= plan.cd_offset, "a plan for a tail after the central directory");
  for (size_t i = 0; i < plan.slots.size(); ++i) {
    const DeltaSlot& slot = plan.slots[i];
    const uint64_t end = SlotEnd(plan, i);
    Check(slot.header_offset <= end, "slots out of file order");
    Check(slot.header_size == 0, "a header length before any header was read");
    // Each entry's least (header without extra field, and its data) fits
    // before the next one: nothing overlaps or runs into the directory.
    const uint64_t room = end - slot.header_offset;
    Check(room >= kLocalHeaderFixedSize + slot.name_size &&
              room - kLocalHeaderFixedSize - slot.name_size >= slot.compressed_size,
          "a planned entry runs past the next one");
  }
  CheckRanges(plan.first_ranges, tail_start, "first ranges out of order or past the tail");
  uint64_t fetch = plan.file_size - tail_start;
  for (const ByteRange& r : plan.first_ranges) fetch += r.length;
  Check(plan.estimated_fetch == fetch, "estimated fetch is not the tail and first ranges");
  Check(plan.estimated_reuse <= plan.file_size, "more reuse than the file holds");
}

void CheckLayout(const DeltaPlan& plan, const DeltaLayout& layout) {
  uint64_t at = 0, reused = 0;
  for (const DeltaPiece& piece : layout.pieces) {
    Check(piece.length > 0, "an empty piece");
    Check(piece.offset == at, "pieces leave a gap or overlap");
    Check(piece.length <= plan.file_size - at, "a piece past the file's end");
    at += piece.length;
    if (piece.from_kept) reused += piece.length;
  }
  Check(at == plan.file_size, "the pieces do not reach the file's end");
  Check(layout.reused == reused && layout.floor == plan.file_size - reused,
        "reuse and floor disagree with the pieces");
  CheckRanges(layout.missing, plan.tail_start, "missing ranges out of order or past the tail");
  // What the server sends before the tail and the first ranges miss.
  for (const DeltaPiece& piece : layout.pieces) {
    if (piece.from_kept) continue;
    uint64_t from = piece.offset;
    const uint64_t to = std::min(piece.offset + piece.length, plan.tail_start);
    for (const ByteRange& r : plan.first_ranges) {
      if (from >= to) break;
      if (r.end() <= from) continue;
      const uint64_t gap_end = std::min(to, r.offset);
      if (gap_end > from && !Covered(from, gap_end, layout.missing))
        Fail("server bytes that are neither fetched nor missing");
      from = std::max(from, r.end());
    }
    if (from < to && !Covered(from, to, layout.missing))
      Fail("server bytes that are neither fetched nor missing");
  }
}

// The local header lengths a download would find: from the tail where the
// header is in it, else made up from the offset (some too short, some
// longer than the plan's guess).
void SetHeaderSizes(const std::string& tail, uint64_t tail_start, DeltaPlan* plan) {
  for (DeltaSlot& slot : plan->slots) {
    if (slot.kept_data_offset == 0) continue;
    const uint64_t at = slot.header_offset;
    uint64_t size = 0;
    uint16_t name_size = 0;
    if (at >= tail_start && tail.size() - (at - tail_start) >= kLocalHeaderFixedSize &&
        ReadLocalHeaderSize(reinterpret_cast<const unsigned char*>(tail.data()) + (at - tail_start),
                            &size, &name_size) &&
        name_size == slot.name_size) {
      slot.header_size = static_cast<uint32_t>(size);
    } else if (at % 5 != 0) {
      slot.header_size = static_cast<uint32_t>(kLocalHeaderFixedSize + slot.name_size + at % 53);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint64_t word = LittleEndian(data, 8);
  const uint64_t before = word & kMaxBefore;
  std::string tail(reinterpret_cast<const char*>(data) + 8, size - 8);
  if (before > 0 && !(word >> 63) && tail.size() < kMinimumTail)
    tail.insert(0, kMinimumTail - tail.size(), '\0');
  const uint64_t tail_start = before, file_size = before + tail.size();

  ZipDirectory fresh;
  uint64_t needed = UINT64_MAX;
  const DirectoryResult result =
      ReadZipDirectoryFromTail(tail, tail_start, file_size, &fresh, &needed);
  if (result == DirectoryResult::kTailTooShort) {
    Check(needed < tail_start, "a tail too short that needs no earlier start");
    // A tail from there (its new bytes zero) never asks for the same start
    // again, or a later one: the download's retry makes progress.
    if (file_size - needed <= kMaxRetail) {
      const std::string longer = std::string(tail_start - needed, '\0') + tail;
      uint64_t again = UINT64_MAX;
      ZipDirectory unused;
      if (ReadZipDirectoryFromTail(longer, needed, file_size, &unused, &again) ==
          DirectoryResult::kTailTooShort)
        Check(again < needed, "a longer tail asks for no earlier start");
    }
    return 0;
  }
  if (result != DirectoryResult::kRead) return 0;
  Check(fresh.file_size == file_size, "the directory's file size is not the file's");
  Check(fresh.cd_offset >= tail_start && fresh.cd_offset <= file_size &&
            fresh.cd_size <= file_size - fresh.cd_offset,
        "the central directory lies outside the tail");

  static const ZipDirectory kept = KeptDirectory();
  DeltaPlan plan;
  if (!PlanDelta(kept, fresh, tail_start, &plan)) return 0;
  CheckPlan(fresh, tail_start, plan);
  DeltaLayout layout;
  // Before the headers are read: every reused entry comes whole.
  LayOutDelta(plan, &layout);
  CheckLayout(plan, layout);
  Check(layout.reused == 0, "reuse before any local header was read");
  SetHeaderSizes(tail, tail_start, &plan);
  LayOutDelta(plan, &layout);
  CheckLayout(plan, layout);
  return 0;
}
