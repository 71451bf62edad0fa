// Frames out of a raw DV stream that may be damaged: bytes go in as they
// arrive, in pieces of any size, and whole frames come out.
//
// Every 80-byte DIF block names its place in its frame: section type,
// DIF sequence and block number. The assembler reads the stream block by
// block and puts each block where its identifier says. Where the stream
// stops making sense (stray bytes, lost bytes, zeros, garbage) it moves on
// a byte at a time until three blocks in a row name consecutive places,
// and carries on from there: sync is never lost for longer than the damage.
// A frame is handed out when its last block has come, when a block of the
// next frame comes, or at the end of the stream; blocks that never came are
// filled in so that the frame reads as damaged there and nowhere else:
// video blocks marked by their status nibble, audio samples error-coded,
// header, subcode and VAUX blocks copied from another DIF sequence of the
// frame (or the previous frame), which repeat the same packs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace tarsk::io {

struct AssembledFrame {
  std::vector<uint8_t> bytes;  // the whole frame, 120000 or 144000 bytes
  bool fifty_fields = false;   // 625/50 (its size follows)
  uint64_t offset = 0;         // stream position of the first of its blocks that came
  int missing_blocks = 0;      // DIF blocks that never came, filled in
  int missing_video = 0;       // of them video blocks
  uint64_t skipped_bytes = 0;  // bytes passed over to find sync, before and inside it
  bool cut_short = false;      // the stream ended inside it
};

// How far into a stream the first DV block is looked for before the
// stream is taken for something else.
inline constexpr uint64_t dv_search_limit = uint64_t{16} << 20;

class FrameAssembler {
 public:
  // A stream read from position `start` on (0: its beginning).
  explicit FrameAssembler(uint64_t start = 0);

  // Takes the next bytes of the stream.
  void push(std::span<const uint8_t> bytes);
  // The stream has ended: what is left makes the last frame.
  void finish();
  // The oldest frame made and not yet taken, if any.
  bool has_frame() const { return !ready_.empty(); }
  AssembledFrame pop();

  // Bytes taken so far, and of them the ones that were no part of any frame.
  uint64_t bytes_in() const { return base_ + buffer_.size(); }
  uint64_t bytes_skipped() const { return skipped_total_; }
  // Whether any DIF block has been placed yet.
  bool found_dv() const { return found_; }

 private:
  static constexpr int max_blocks = 1800;  // of a 625/50 frame

  void work(bool at_end);
  bool accept(size_t at, int place, bool at_end);
  bool verified(size_t at, int place, bool at_end) const;
  void place(size_t at, int place);
  void start_frame(uint64_t offset);
  void emit(bool cut_short);
  int blocks_of_frame() const;

  std::vector<uint8_t> buffer_;  // bytes not yet read, from stream position base_
  size_t read_ = 0;
  uint64_t base_ = 0;
  bool in_sync_ = false;

  // The frame being put together.
  bool open_ = false;
  std::vector<uint8_t> frame_;
  std::vector<uint8_t> present_;  // per DIF block place
  int last_ = -1;                 // the place of the last block placed
  int system_ = -1;               // -1 unknown, 0 525/60, 1 625/50: from a header block
  uint64_t frame_offset_ = 0, last_offset_ = 0;
  uint64_t skipped_ = 0;       // bytes passed over, counted for the frame being built
  uint64_t pending_skip_ = 0;  // and those since its last block, for the frame they come before
  uint64_t skipped_total_ = 0;
  bool found_ = false;

  // The blocks of the last frame handed out that a frame missing them borrows.
  std::vector<uint8_t> previous_;
  bool have_previous_ = false;
  int previous_system_ = -1;

  std::deque<AssembledFrame> ready_;
};

// The place of a DIF block in its frame (150 s + its number in sequence s)
// by its identifier, or -1 when the identifier cannot be a DV block's.
int block_place(const uint8_t *block);

}  // namespace tarsk::io
