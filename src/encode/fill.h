// Filling the encoder's macroblocks from pictures: the sample layout of a
// block for the forward transforms and the choice of each block's DCT mode.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>

namespace tarsk {

// A picture in the encoder's scale (each sample 2 x (8-bit value - 128))
// for a stream of chroma sampling `sampling` (4:2:0: 625/50 of IEC 61834;
// 4:1:1: 525/60, and 625/50 of SMPTE 314M): 720 luma samples a line, and
// chroma either at 4:2:2 (360 Cr and Cb samples on every line) or,
// `native`, at the stream's sampling (4:2:0: 360 samples on every other
// line; 4:1:1: 180 on every line), lines `chroma_stride` samples apart.
//
// 4:2:2 chroma brought to 4:2:0 either frame-wise, each chroma line the
// mean of picture lines 2l and 2l + 1 (dv.h's encoder), or, `fields`, as
// interlaced 625/50 pictures carry it: chroma line 2m + f belongs to field
// f and is the mean of that field's lines 2m and 2m + 1 (picture lines
// 4m + f and 4m + f + 2), so that each field keeps its own colour.
struct Planes {
  const int16_t *y, *cr, *cb;
  dv_sample_t sampling;
  int chroma_stride = 360;
  bool native = false;
  bool fields = false;
};
inline constexpr int luma_stride = 720;
inline constexpr int chroma_stride = 360;

// The nominal ranges in that scale: luma 16..235, chroma 16..240.
inline constexpr int luma_low = -224, luma_high = 214, chroma_low = -224, chroma_high = 224;

// Fills the six blocks of a macroblock placed for the planes' sampling
// (x, y set): blocks 0..3 luma, 4 Cr, 5 Cb, each sample of column c and
// line l at index 8c + l (the transforms take blocks transposed). 4:2:2
// chroma is brought to the stream's sampling by averaging pairs: two lines
// (4:2:0, of the picture or of a field) or two columns (4:1:1); native
// chroma is taken as it is.
// Optionally clamps to the nominal ranges.
void fill_macroblock(const Planes &p, dv_macroblock_t *mb, bool clamp_luma, bool clamp_chroma);

// The DCT mode test of a transposed block: 1 (the 2-4-8 transform) when
// differences between vertically neighbouring samples outweigh horizontal
// ones by more than 1.7, as interlaced motion makes them.
int need_dct_248_transposed(const dv_coeff_t *bl);

// Sets every block's DCT mode: by the test when force_dct is -1, else to
// force_dct.
void choose_dct_modes(dv_macroblock_t *mb, int force_dct);

}  // namespace tarsk
