// Macroblock fill from 4:2:2 or native planes, and the DCT mode test.
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

void clamp_chroma_block(dv_coeff_t *bl, bool clamp) {
  if (clamp)
    for (int i = 0; i < 64; ++i) bl[i] = chroma_value(bl[i], true);
}

// 4:2:0 field by field: block line l = 2a + f (y is a multiple of 16, so
// l's parity is its field's) is the mean of plane lines y + 4a + f and
// y + 4a + f + 2. The samples are even (twice an 8-bit value), so the mean
// is exact.
void load_transposed_field_pairs(const int16_t *lines, int stride, dv_coeff_t *bl) {
  for (int l = 0; l < 8; ++l) {
    const int16_t *upper = lines + (2 * l - l % 2) * stride, *lower = upper + 2 * stride;
    for (int c = 0; c < 8; ++c) bl[8 * c + l] = static_cast<dv_coeff_t>((upper[c] + lower[c]) >> 1);
  }
}

// 4:2:0, for the 16x16 macroblock at (x, y): from 4:2:2 planes,
// chroma line l is the mean of plane lines y + 2l and y + 2l + 1, or of
// its field's pair; native planes hold it as line y / 2 + l.
void chroma_420(const Planes &p, const int16_t *plane, int x, int y, dv_coeff_t *bl, bool clamp) {
  const auto &k = dsp::dsp().encode;
  const int16_t *from = plane + y * p.chroma_stride + x / 2;
  if (p.native)
    k.load_transposed(plane + (y / 2) * p.chroma_stride + x / 2, p.chroma_stride, bl);
  else if (p.fields)
    load_transposed_field_pairs(from, p.chroma_stride, bl);
  else
    k.load_transposed_line_pairs(from, p.chroma_stride, bl);
  clamp_chroma_block(bl, clamp);
}

// 4:1:1: `columns` chroma columns from lines line0 .. line0 + 7
// into block columns c0 on, for the macroblock whose luma starts at column
// x. From 4:2:2 planes chroma column c is the mean of plane columns
// x / 2 + 2c and x / 2 + 2c + 1; native planes hold it as column x / 4 + c.
void chroma_411(const Planes &p, const int16_t *plane, int x, int line0, int columns,
                dv_coeff_t *bl, int c0, bool clamp) {
  for (int c = 0; c < columns; ++c)
    for (int l = 0; l < 8; ++l) {
      const int16_t *line = plane + (line0 + l) * p.chroma_stride;
      const int v = p.native ? line[x / 4 + c] : (line[x / 2 + 2 * c] + line[x / 2 + 2 * c + 1]) >> 1;
      bl[8 * (c0 + c) + l] = chroma_value(v, clamp);
    }
}

}  // namespace

void fill_macroblock(const Planes &p, dv_macroblock_t *mb, bool clamp_luma, bool clamp_chroma) {
  const int x = mb->x, y = mb->y;
  const bool is_420 = p.sampling == e_dv_sample_420;
  const bool square = is_420 || x >= 704;  // 16x16 macroblocks
  for (int b = 0; b < 4; ++b) {
    const int bx = square ? x + 8 * (b % 2) : x + 8 * b;
    const int by = square ? y + 8 * (b / 2) : y;
    luma_block(p.y, bx, by, mb->b[b].coeffs, clamp_luma);
  }
  const int16_t *chroma[2] = {p.cr, p.cb};
  for (int n = 0; n < 2; ++n) {
    dv_coeff_t *bl = mb->b[4 + n].coeffs;
    if (is_420) {
      chroma_420(p, chroma[n], x, y, bl, clamp_chroma);
    } else if (x < 704) {
      chroma_411(p, chroma[n], x, y, 8, bl, 0, clamp_chroma);
    } else {
      // The right-most 16x16 macroblocks: columns 0..3 from the upper eight
      // lines, 4..7 from the lower eight.
      chroma_411(p, chroma[n], x, y, 4, bl, 0, clamp_chroma);
      chroma_411(p, chroma[n], x, y + 8, 4, bl, 4, clamp_chroma);
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
