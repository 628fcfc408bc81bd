#pragma once

// The plan of a delta update: which bytes of the new package come from the
// server and which are copied from the kept package (the package installed
// last, kept in update/). Pure functions: no files, no network; any thread.
//
// An entry of the new package whose CRC-32, sizes, method and flags equal
// those of an entry of the kept package takes its compressed data from
// there, whatever its name or place. Everything else comes from the server:
// the other entries whole, and the local headers, data descriptors and gaps
// around reused data, so that the result is the new package byte for byte
// even when its publisher wrote new times or extra fields. A local header's
// length is not in the central directory (its extra field may differ from
// the central one), hence two steps: PlanDelta asks first for each reused
// entry's header with room to spare and for its data descriptor; once
// those bytes are here and each header's length is known, LayOutDelta
// places the data exactly and names the bytes still missing.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "byte_range.h"
#include "zip_directory.h"

// Room allowed for a local extra field longer than the central one when a
// reused entry's header is first asked for: Info-ZIP's is 4 bytes longer
// (the access time). A header longer still costs one more request for
// what did not fit.
inline constexpr uint64_t kLocalExtraSlack = 8;
// The longest data descriptor: signature, CRC-32 and two 64-bit sizes.
inline constexpr uint64_t kMaxDescriptorSize = 24;
// A delta that would fetch more than this share of the package is not
// worth its requests and rebuild: the whole package is downloaded instead.
inline constexpr unsigned kMaxFetchPercent = 60;

// One entry of the new package, in file order; it ends where the next one's
// local header begins (SlotEnd). 32 bytes: a plan holds one per entry.
struct DeltaSlot {
  uint64_t header_offset = 0;  // its local header
  uint64_t compressed_size = 0;
  uint64_t kept_data_offset = 0;  // where its data lies in the kept package; 0: not reused
  // Its local header's length, once read (at most 30 + 2 * 65535); 0: not known.
  uint32_t header_size = 0;
  uint16_t name_size = 0;
  uint16_t flags = 0;
};

// What the plan keeps of a kept package's entry: its content's key and
// where its data lies. 32 bytes, so that the kept directory can go before
// the new one is planned.
struct KeptData {
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint64_t data_offset = 0;
  uint32_t crc = 0;
  uint16_t method = 0;
  uint16_t flags = 0;
};

struct DeltaPlan {
  uint64_t file_size = 0;
  uint64_t tail_start = 0;  // the bytes from here on are already here
  uint64_t cd_offset = 0;
  std::vector<DeltaSlot> slots;
  // What to fetch first: the entries not reused, and the headers and
  // descriptors of those reused; coalesced, in file order, before the tail.
  std::vector<ByteRange> first_ranges;
  uint64_t estimated_fetch = 0;    // the tail and first_ranges
  uint64_t estimated_reuse = 0;    // the reused entries' compressed data
  uint64_t predicted_headers = 0;  // put in place by the caller, not fetched
  bool worth_it = false;           // estimated_fetch is at most kMaxFetchPercent of the file
};

// Where slot i ends: the next slot's local header, or the central directory.
inline uint64_t SlotEnd(const DeltaPlan& plan, std::size_t i) {
  return i + 1 < plan.slots.size() ? plan.slots[i + 1].header_offset : plan.cd_offset;
}

// The kept package's entries whose data can be copied (read from disk,
// with data offsets), sorted by content.
std::vector<KeptData> IndexKept(const ZipDirectory& kept);

// Plans the rebuild of the new package `fresh` (read from its tail, which
// begins at tail_start) from the kept package's index. False when the new
// package's layout cannot be followed: entries that overlap or run into
// the central directory, or a tail that begins after the central
// directory. With `predicted_headers`, the local headers of reused entries
// and of entries without data, none with a data descriptor, are not
// fetched: the caller puts them in place.
bool PlanDelta(const std::vector<KeptData>& kept, const ZipDirectory& fresh, uint64_t tail_start,
               DeltaPlan* plan, bool predicted_headers = false);
// The same from the kept package's directory.
bool PlanDelta(const ZipDirectory& kept, const ZipDirectory& fresh, uint64_t tail_start,
               DeltaPlan* plan);

struct DeltaPiece {
  uint64_t offset = 0;  // in the new package
  uint64_t length = 0;
  bool from_kept = false;    // else from the server (fetched, or in the tail)
  uint64_t kept_offset = 0;  // where it lies in the kept package, when from_kept
};

struct DeltaLayout {
  std::vector<DeltaPiece> pieces;  // the new package from its start to its end
  // Bytes of server pieces in neither the plan's first_ranges nor the tail,
  // nor already here: coalesced, in file order.
  std::vector<ByteRange> missing;
  uint64_t reused = 0;  // bytes from the kept package
  uint64_t floor = 0;   // bytes from the server: the least any delta fetches
};

// Lays out the new package from the plan's slots: a reused slot's data
// after its header_size bytes of local header. A reused slot whose
// header_size is 0, or whose data would then run past its end, comes whole
// from the server. `here`, when set, tells the server pieces that need no
// fetching (predicted local headers).
void LayOutDelta(const DeltaPlan& plan, DeltaLayout* layout,
                 const std::function<bool(uint64_t offset, uint64_t length)>& here = nullptr);
