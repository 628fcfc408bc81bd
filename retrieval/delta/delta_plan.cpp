#include "delta_plan.h"

#include <algorithm>
#include <tuple>

namespace {

constexpr uint16_t kFlagEncrypted = 1u << 0;
constexpr uint16_t kFlagDescriptor = 1u << 3;

// What decides that two entries hold the same compressed data. Equal
// values do not prove equal bytes, but a wrong match only makes a package
// whose signature fails, and the whole package is downloaded then.
template <typename Entry>
auto ContentKey(const Entry& entry) {
  return std::make_tuple(entry.crc, entry.compressed_size, entry.uncompressed_size, entry.method,
                         entry.flags);
}

// The part of [from, to) before `limit`.
ByteRange Before(uint64_t from, uint64_t to, uint64_t limit) {
  to = std::min(to, limit);
  return to > from ? ByteRange{from, to - from} : ByteRange{from, 0};
}

// Appends a piece, joined with the last one where it continues it.
void AddPiece(std::vector<DeltaPiece>* pieces, DeltaPiece piece) {
  if (piece.length == 0) return;
  if (!pieces->empty()) {
    DeltaPiece& last = pieces->back();
    if (!last.from_kept && !piece.from_kept) {
      last.length += piece.length;
      return;
    }
  }
  pieces->push_back(piece);
}

}  // namespace

std::vector<KeptData> IndexKept(const ZipDirectory& kept) {
  std::vector<KeptData> index;
  size_t count = 0;
  for (const ZipEntry& entry : kept.entries)
    if (entry.data_offset() != 0 && entry.compressed_size > 0 && !(entry.flags & kFlagEncrypted))
      ++count;
  index.reserve(count);
  for (const ZipEntry& entry : kept.entries)
    if (entry.data_offset() != 0 && entry.compressed_size > 0 && !(entry.flags & kFlagEncrypted)) {
      KeptData data;
      data.compressed_size = entry.compressed_size;
      data.uncompressed_size = entry.uncompressed_size;
      data.data_offset = entry.data_offset();
      data.crc = entry.crc;
      data.method = entry.method;
      data.flags = entry.flags;
      index.push_back(data);
    }
  std::sort(index.begin(), index.end(),
            [](const KeptData& a, const KeptData& b) { return ContentKey(a) < ContentKey(b); });
  return index;
}

bool PlanDelta(const ZipDirectory& kept, const ZipDirectory& fresh, uint64_t tail_start,
               DeltaPlan* plan) {
  return PlanDelta(IndexKept(kept), fresh, tail_start, plan);
}

bool PlanDelta(const std::vector<KeptData>& kept, const ZipDirectory& fresh, uint64_t tail_start,
               DeltaPlan* plan, bool predicted_headers) {
  *plan = DeltaPlan();
  plan->file_size = fresh.file_size;
  plan->tail_start = tail_start;
  plan->cd_offset = fresh.cd_offset;
  if (tail_start > fresh.cd_offset) return false;

  plan->slots.reserve(fresh.entries.size());
  for (const ZipEntry& entry : fresh.entries) {
    DeltaSlot slot;
    slot.header_offset = entry.local_header_offset;
    slot.compressed_size = entry.compressed_size;
    slot.name_size = entry.name_size;
    slot.flags = entry.flags;
    const auto match = std::lower_bound(
        kept.begin(), kept.end(), entry,
        [](const KeptData& a, const ZipEntry& b) { return ContentKey(a) < ContentKey(b); });
    if (entry.compressed_size > 0 && match != kept.end() && ContentKey(*match) == ContentKey(entry))
      slot.kept_data_offset = match->data_offset;
    // Until the ranges are planned, header_size holds the length first asked
    // for: the central record's name and extra field, and room for a longer
    // local extra field.
    slot.header_size = static_cast<uint32_t>(kLocalHeaderFixedSize + entry.name_size +
                                             entry.extra_size + kLocalExtraSlack);
    plan->slots.push_back(slot);
  }
  std::sort(plan->slots.begin(), plan->slots.end(), [](const DeltaSlot& a, const DeltaSlot& b) {
    return a.header_offset < b.header_offset;
  });

  std::vector<ByteRange>& ranges = plan->first_ranges;
  uint64_t cursor = 0;
  for (size_t i = 0; i < plan->slots.size(); ++i) {
    DeltaSlot& slot = plan->slots[i];
    const uint64_t end = SlotEnd(*plan, i);
    const uint64_t guess = slot.header_size;
    slot.header_size = 0;
    // The least an entry takes: a local header without extra field, and its data.
    const uint64_t least = kLocalHeaderFixedSize + slot.name_size + slot.compressed_size;
    if (slot.header_offset < cursor || end < slot.header_offset || end - slot.header_offset < least)
      return false;
    AddRange(&ranges, Before(cursor, slot.header_offset, tail_start), kCoalesceGap);
    cursor = end;
    // An entry without data (a directory) is its local header alone.
    const bool header_only =
        predicted_headers && slot.compressed_size == 0 && !(slot.flags & kFlagDescriptor);
    if (slot.kept_data_offset == 0) {
      if (!header_only)
        AddRange(&ranges, Before(slot.header_offset, end, tail_start), kCoalesceGap);
      continue;
    }
    plan->estimated_reuse += slot.compressed_size;
    if (predicted_headers && !(slot.flags & kFlagDescriptor)) continue;
    AddRange(&ranges,
             Before(slot.header_offset,
                    slot.header_offset + std::min(guess, end - slot.header_offset), tail_start),
             kCoalesceGap);
    if (slot.flags & kFlagDescriptor) {
      const uint64_t data_end = slot.header_offset + least;
      const uint64_t from = std::max(data_end, end - std::min(end, kMaxDescriptorSize));
      AddRange(&ranges, Before(from, end, tail_start), kCoalesceGap);
    }
  }
  AddRange(&ranges, Before(cursor, fresh.cd_offset, tail_start), kCoalesceGap);

  plan->estimated_fetch = plan->file_size - tail_start;
  for (const ByteRange& range : ranges) plan->estimated_fetch += range.length;
  plan->worth_it = plan->estimated_fetch * 100 <= plan->file_size * kMaxFetchPercent;
  return true;
}

void LayOutDelta(const DeltaPlan& plan, DeltaLayout* layout,
                 const std::function<bool(uint64_t offset, uint64_t length)>& here) {
  *layout = DeltaLayout();
  std::vector<DeltaPiece>& pieces = layout->pieces;
  const auto server = [&pieces](uint64_t from, uint64_t to) {
    if (to > from) AddPiece(&pieces, {from, to - from, false, 0});
  };
  // Each slot adds at most a kept piece and the server piece after it.
  pieces.reserve(2 * plan.slots.size() + 2);
  uint64_t cursor = 0;
  for (size_t i = 0; i < plan.slots.size(); ++i) {
    const DeltaSlot& slot = plan.slots[i];
    const uint64_t end = SlotEnd(plan, i);
    server(cursor, slot.header_offset);
    cursor = end;
    const uint64_t data = slot.header_offset + slot.header_size;
    if (slot.kept_data_offset == 0 || slot.header_size < kLocalHeaderFixedSize + slot.name_size ||
        data > end || end - data < slot.compressed_size) {
      server(slot.header_offset, end);
      continue;
    }
    server(slot.header_offset, data);
    AddPiece(&pieces, {data, slot.compressed_size, true, slot.kept_data_offset});
    server(data + slot.compressed_size, end);
    layout->reused += slot.compressed_size;
  }
  server(cursor, plan.file_size);
  layout->floor = plan.file_size - layout->reused;

  // The server pieces less what the first ranges and the tail hold.
  const std::vector<ByteRange>& fetched = plan.first_ranges;
  size_t next = 0;
  for (const DeltaPiece& piece : pieces) {
    if (piece.from_kept) continue;
    uint64_t at = piece.offset;
    const uint64_t end = std::min(piece.offset + piece.length, plan.tail_start);
    if (here && at < end && here(at, end - at)) continue;
    while (at < end) {
      while (next < fetched.size() && fetched[next].end() <= at) ++next;
      if (next < fetched.size() && fetched[next].offset <= at) {
        at = fetched[next].end();
        continue;
      }
      const uint64_t until = next < fetched.size() ? std::min(end, fetched[next].offset) : end;
      AddRange(&layout->missing, {at, until - at}, kCoalesceGap);
      at = until;
    }
  }
}
