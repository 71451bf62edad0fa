// Macroblock fill from 4:2:2 planes and the DCT mode test.
#include "encode/fill.h"

#include <algorithm>
#include <cstdlib>

#include "dsp/dsp.h"

namespace tarsk {
namespace {

// Luma block at picture column x0, line y0: 8 columns, 8 lines.
void luma_block(const int16_t *y, int x0, int y0, dv_coeff_t *bl, bool clamp) {
  dsp::dsp().encode.load_transposed(y + y0 * luma_stride + x0, luma_stride, bl);
  if (clamp)
    for (int i = 0; i < 64; ++i)
      bl[i] = static_cast<dv_coeff_t>(std::clamp<int>(bl[i], luma_low, luma_high));
}

dv_coeff_t chroma_value(int v, bool clamp) {
  return static_cast<dv_coeff_t>(clamp ? std::clamp(v, chroma_low, chroma_high) : v);
}

// 625/50, 4:2:0: chroma line l is the mean of plane lines y + 2l and
// y + 2l + 1.
void chroma_420(const int16_t *p, int x, int y, dv_coeff_t *bl, bool clamp) {
  dsp::dsp().encode.load_transposed_line_pairs(p + y * chroma_stride + x / 2, chroma_stride, bl);
  if (clamp)
    for (int i = 0; i < 64; ++i) bl[i] = chroma_value(bl[i], true);
}

// 525/60, 4:1:1: chroma column c is the mean of plane columns 2c and
// 2c + 1, from column `first` of lines `line0` on.
void chroma_411(const int16_t *p, int first, int line0, int columns, dv_coeff_t *bl, int c0,
                bool clamp) {
  for (int c = 0; c < columns; ++c)
    for (int l = 0; l < 8; ++l) {
      const int16_t *at = p + (line0 + l) * chroma_stride + first + 2 * c;
      bl[8 * (c0 + c) + l] = chroma_value((at[0] + at[1]) >> 1, clamp);
    }
}

}  // namespace

void fill_macroblock_422(const Planes422 &p, dv_macroblock_t *mb, bool pal, bool clamp_luma,
                         bool clamp_chroma) {
  const int x = mb->x, y = mb->y;
  const bool square = pal || x >= 704;  // 16x16 macroblocks
  for (int b = 0; b < 4; ++b) {
    const int bx = square ? x + 8 * (b % 2) : x + 8 * b;
    const int by = square ? y + 8 * (b / 2) : y;
    luma_block(p.y, bx, by, mb->b[b].coeffs, clamp_luma);
  }
  const int16_t *chroma[2] = {p.cr, p.cb};
  for (int n = 0; n < 2; ++n) {
    dv_coeff_t *bl = mb->b[4 + n].coeffs;
    if (pal) {
      chroma_420(chroma[n], x, y, bl, clamp_chroma);
    } else if (x < 704) {
      chroma_411(chroma[n], x / 2, y, 8, bl, 0, clamp_chroma);
    } else {
      // The right-most 16x16 macroblocks: columns 0..3 from the upper eight
      // lines, 4..7 from the lower eight.
      chroma_411(chroma[n], x / 2, y, 4, bl, 0, clamp_chroma);
      chroma_411(chroma[n], x / 2, y + 8, 4, bl, 4, clamp_chroma);
    }
  }
}

int need_dct_248_transposed(const dv_coeff_t *bl) {
  int sums[2];
  dsp::dsp().encode.neighbour_differences(bl, sums);
  const int v = 1 + sums[0], h = 1 + sums[1];
  // 1.7 in 16.16 fixed point.
  return (static_cast<int64_t>(v) * 65536) / h > 111411;
}

void choose_dct_modes(dv_macroblock_t *mb, int force_dct) {
  for (dv_block_t &b : mb->b)
    b.dct_mode = force_dct == -1 ? need_dct_248_transposed(b.coeffs) : force_dct;
}

}  // namespace tarsk
