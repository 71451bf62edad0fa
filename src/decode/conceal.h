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
  // Covers the damaged macroblocks of the picture `out` (lines `pitch`
  // bytes apart) with the previous picture's where it has the same
  // geometry and layout, then keeps `out` as the previous picture. Returns
  // the number of damaged macroblocks.
  int conceal(const dv_decoder_t *dv, dv_color_space_t space, const FrameDamage &damage,
              uint8_t *out, size_t pitch);
  // Forgets the previous picture (after a jump in the stream).
  void reset() { have_ = false; }

 private:
  std::vector<uint8_t> pixels_;
  size_t line_ = 0;
  int height_ = 0, sequences_ = 0;
  dv_sample_t sampling_ = e_dv_sample_none;
  dv_color_space_t space_ = e_dv_color_yuv;
  bool have_ = false;
};

}  // namespace tarsk
