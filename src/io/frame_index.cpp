// Where each frame of a raw DV stream stands (see frame_index.h).
#include "io/frame_index.h"

#include "common/dif.h"

namespace tarsk::io {

namespace {

constexpr size_t block_size = dif::block_size;
constexpr int blocks_of(bool fifty) { return dif::sequences(fifty) * dif::blocks_per_sequence; }
// The first blocks of DIF sequence 0: the header, two subcode blocks and
// the first VAUX block, the run the assembler also wants before it takes a
// block that opens a frame.
constexpr int first_blocks = 4;
// How much of the stream an assembling pass reads at a time.
constexpr size_t chunk_size = 256 * 1024;

}  // namespace

FrameIndex::Learned FrameIndex::learn(uint64_t n) {
  while (entries_.size() <= n) {
    if (ended_) return Learned::end;
    if (next_at_ != 0) {
      const Probe p = probe(next_at_);
      if (p == Probe::error) return Learned::error;
      if (p == Probe::frame) continue;
    }
    const uint64_t last = entries_.empty() ? 0 : entries_.size() - 1;
    if (assemble(start_for(last), entries_.size()) == Learned::error) return Learned::error;
  }
  return Learned::frame;
}

FrameIndex::Start FrameIndex::start_for(uint64_t n) const {
  for (uint64_t k = n; k > 0; --k)
    if (entries_[k].restart) return {entries_[k].offset, k};
  return {0, 0};  // the stream's start itself
}

FrameIndex::Probe FrameIndex::probe(uint64_t at) {
  uint8_t head[first_blocks * block_size];
  const int64_t got = read_(at, head, sizeof head);
  if (got < 0) return Probe::error;
  if (got < static_cast<int64_t>(sizeof head)) return Probe::no;
  for (int b = 0; b < first_blocks; ++b)
    if (block_place(head + static_cast<size_t>(b) * block_size) != b) return Probe::no;
  const bool fifty = dif::fifty_fields_of(head);
  uint8_t tail[block_size];
  const int64_t got_tail = read_(at + dif::frame_size(fifty) - block_size, tail, block_size);
  if (got_tail < 0) return Probe::error;
  if (got_tail < static_cast<int64_t>(block_size) || block_place(tail) != blocks_of(fifty) - 1)
    return Probe::no;
  entries_.push_back({at, fifty, true});
  next_at_ = at + dif::frame_size(fifty);
  return Probe::frame;
}

FrameIndex::Learned FrameIndex::assemble(const Start &from, uint64_t n) {
  FrameAssembler assembler(from.position);
  std::vector<uint8_t> chunk(chunk_size);
  uint64_t position = from.position, k = from.frame;
  bool finished = false;
  next_at_ = 0;
  for (;;) {
    while (assembler.has_frame()) {
      const AssembledFrame f = assembler.pop();
      // Whole: every block came, one after another, nothing passed over
      // before or inside it. A fresh reader starting at its first block
      // makes it and what follows as this pass does, whatever came before.
      const bool whole = f.missing_blocks == 0 && f.skipped_bytes == 0;
      if (k == entries_.size()) entries_.push_back({f.offset, f.fifty_fields, k == 0 || whole});
      ++k;
      // Back to checking frames by their ends after a whole frame.
      if (k > n && whole) {
        next_at_ = f.offset + dif::frame_size(f.fifty_fields);
        return Learned::frame;
      }
    }
    if (finished) break;
    // A stream with no DV block early on holds no frames.
    if (!assembler.found_dv() && position - from.position > dv_search_limit) break;
    const int64_t got = read_(position, chunk.data(), chunk.size());
    if (got < 0) return Learned::error;
    if (got == 0) {
      assembler.finish();
      finished = true;
      continue;
    }
    assembler.push({chunk.data(), static_cast<size_t>(got)});
    position += static_cast<uint64_t>(got);
  }
  ended_ = true;
  return k > n ? Learned::frame : Learned::end;
}

}  // namespace tarsk::io
