// Where each frame of a raw DV stream stands, learned as the stream is
// read, so that a reader can start at any frame and make it exactly as a
// reading from the stream's start does.
//
// Raw DV has frames of a fixed size: in an undamaged stretch frame n + 1
// starts a frame's length after frame n. The index checks each such frame
// at its ends only (its first four blocks must be a frame's first four,
// the block before it the previous frame's last), which costs two small
// reads a frame. Where a frame fails that check (bytes lost or added,
// recordings of the other system joined on) the stretch is read through
// the frame assembler, as a reading from the start would read it, until
// whole frames follow one another again.
//
// A reader that starts fresh at a frame's first block makes the same frames
// from there on as one that read everything before, when nothing before
// that block is left pending in the assembler: when the frame before ended
// with its own last block just before it (what the check by the ends
// finds), or when the frame itself came whole (every block in order,
// nothing passed over). The index calls such frames restart points. The
// one thing a fresh start lacks is the previous frame, from which the
// assembler fills in blocks a frame is missing; a frame is therefore exact
// once a frame without missing blocks has been made since the start (see
// FrameIndex::exact).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "io/assembler.h"

namespace tarsk::io {

// Reads up to `size` bytes at stream position `offset`: the count read
// (fewer than asked only at the end of the stream), or -1 on an error.
using ReadAt = std::function<int64_t(uint64_t offset, uint8_t *bytes, size_t size)>;

class FrameIndex {
 public:
  explicit FrameIndex(ReadAt read) : read_(std::move(read)) {}

  enum class Learned { frame, end, error };
  // Learns the stream up to frame `n`: `frame` when the stream has it,
  // `end` when it has fewer frames, `error` when a read failed.
  Learned learn(uint64_t n);
  // Frames known so far, and whether they are all the stream has.
  uint64_t known() const { return entries_.size(); }
  bool ended() const { return ended_; }

  // Where a fresh reader starts to make frame `n` (known): the stream
  // position it starts reading at and the number of the first frame it
  // makes there (the last restart point at or before `n`).
  struct Start {
    uint64_t position = 0;
    uint64_t frame = 0;
  };
  Start start_for(uint64_t n) const;

  // Whether frames made from a fresh start are exact from frame `made` on,
  // given that the start was at the stream's beginning or a frame without
  // missing blocks has been made since it.
  static bool exact(const Start &start, bool whole_frame_seen) {
    return start.frame == 0 || whole_frame_seen;
  }

 private:
  struct Entry {
    uint64_t offset;  // its first block's stream position
    bool fifty;       // 625/50
    bool restart;     // a fresh reader may start at `offset`
  };

  // One more frame by its ends; false where they do not check out.
  enum class Probe { frame, no, error };
  Probe probe(uint64_t at);
  // Reads from a restart point through the assembler until frame `n` is
  // known and the frames stand whole one after another again (or the
  // stream ends).
  Learned assemble(const Start &from, uint64_t n);

  ReadAt read_;
  std::vector<Entry> entries_;
  bool ended_ = false;
  // Where the next frame stands if the stream runs on undamaged, once a
  // whole frame ended there; 0 while the next frame must be assembled.
  uint64_t next_at_ = 0;
};

}  // namespace tarsk::io
