// Concealment of damaged macroblocks, as DV decks do it: a macroblock that
// is missing, flagged by the recorder or does not parse shows the same
// macroblock of the previous picture (grey while there is none). It works
// on decoded pictures in the caller's layout, in stream order, after the
// frame's segments were decoded (on any number of threads) with the
// damaged macroblocks marked and written grey.
#pragma once

#include <tarsk/dv.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/frame.h"

namespace tarsk {

class PreviousPicture {
 public:
  // Covers the damaged macroblocks of the picture at `target` with the
  // previous picture's where it has the same geometry and layout, then
  // keeps the picture as the previous one. Returns the number of damaged
  // macroblocks.
  int conceal(const dv_decoder_t *dv, const output::Target &target, const FrameDamage &damage);
  // Forgets the previous picture (after a jump in the stream).
  void reset() { have_ = false; }

 private:
  std::vector<uint8_t> planes_[3];
  int height_ = 0, sequences_ = 0;
  dv_sample_t sampling_ = e_dv_sample_none;
  output::Layout layout_ = output::Layout::none;
  int shift_x_ = 0, shift_y_ = 0;
  bool have_ = false;
};

}  // namespace tarsk
