// The kernels that have fast versions, one table of function pointers per
// family. dsp() holds the fastest the processor runs, filled once from its
// features; plain_dsp() the plain C++ kernels, which every build has and
// which the fast ones must match bit for bit.
#pragma once

#include <tarsk/dv.h>

#include <cstddef>
#include <cstdint>

#include "dsp/pixels.h"

namespace tarsk::dsp {

// The inverse 8x8 DCT: the double-precision definition, truncated.
struct IdctDsp {
  void (*idct_88)(dv_coeff_t *block);
  // The inverse 8x8 DCT rounded to nearest: each coefficient times its
  // factor (the normalisation, and for decoding the exact inverse weight and
  // the dequantisation step), then the column and line transforms in single
  // precision (dsp/idct_rounded.h), each sample rounded to the nearest
  // integer and held to 16 bits.
  void (*idct_88_rounded)(dv_coeff_t *block, const float *factors);
  // The inverse 2-4-8 DCT the same way: each coefficient times its factor;
  // per column the sums (rows 0-3 plus rows 4-7) and differences of the two
  // fields' coefficients; the 8-point transform across and the 4-point one
  // down each field; lines 2z from the sums, 2z + 1 from the differences.
  void (*idct_248_rounded)(dv_coeff_t *block, const float *factors);
};

// The best encoder's exact transforms: a block's samples along the lines
// (the same in both modes), then across them in each mode, each
// coefficient in scan order times its scale.
struct RdBasis {
  float horizontal_by_sample[8][8];  // [sample of a line][column of coefficients]
  float vertical[2][8][8];           // [mode][row of coefficients][line]
  float raster_scale[2][64];         // [mode][row * 8 + column]
};

// A block's share in one area of the best encoder's trial at some step set:
// an area's values depend only on its own step, and its codes only on its
// own values but for the first one's run, which reaches back to the last
// value of an earlier area (or the DC). A trial at a set of steps is put
// together exactly from the shares at each area's step: their distortions
// summed, their bits summed with each area's first value coded at its run
// from the last value before it.
struct RdShare {
  float distortion;
  int bits;                // the area's codes after its first
  int first, last;         // scan positions of its first and last values; 0 where it has none
  int first_value;         // the first value's magnitude
};

// Dequantisation and 8x8 inverse weighting in one: each coefficient times
// its factor, kept to 16 bits.
struct QuantDsp {
  void (*dequantise_weight_88)(dv_coeff_t *block, const uint16_t *factors);
};

// The encoder's trial quantisation: a block's AC coefficients in scan
// order divided by 2^shift[area], truncated toward zero, into `out` (the DC
// copied as it is), and the code bits of the quantised block without its
// end of block, from the encoder's bit-count lookup (indexed by vlc_index).
//
// The forward 8x8 DCT of a transposed block in 16-bit fixed point with its
// truncations, each coefficient then times its post-scale over 2^17
// (postSC88: the normalisation and the weights).
struct EncodeDsp {
  unsigned long (*quantise_count)(const dv_coeff_t *in, dv_coeff_t *out, const uint8_t shift[4],
                                  const uint8_t *bits_lookup);
  void (*fdct_88)(dv_coeff_t *block, const int16_t *post_scale);
  // The forward 2-4-8 DCT of a transposed block the same way (postSC248):
  // a 4-point transform over each field's lines, the sums and differences
  // of the two fields' coefficients, and the 8-point one across.
  void (*fdct_248)(dv_coeff_t *block, const int16_t *post_scale);
  // The largest magnitude of a block's AC coefficients (1..63).
  int (*largest_ac)(const dv_coeff_t *block);
  // Of a transposed block (sample of column c, line l at 8c + l): the sums
  // of the magnitudes of the differences between vertically neighbouring
  // samples (sums[0]) and between horizontally neighbouring ones (sums[1]).
  void (*neighbour_differences)(const dv_coeff_t *block, int sums[2]);
  // Bit i set for each non-zero AC coefficient i (1..63) of a block.
  uint64_t (*nonzero_ac)(const dv_coeff_t *block);
  // n 8-bit samples into the encoder's scale, 2 x (sample - 128).
  void (*to_encoder_scale)(const uint8_t *in, int16_t *out, int n);
  // The 8x8 samples from `lines` 16-bit lines `stride` samples apart,
  // transposed: sample c of line l at 8c + l.
  void (*load_transposed)(const int16_t *lines, int stride, dv_coeff_t *block);
  // The same from 16 lines, each sample the mean of a pair of lines
  // (rounded down): line l of the block from lines 2l and 2l + 1.
  void (*load_transposed_line_pairs)(const int16_t *lines, int stride, dv_coeff_t *block);
  // The best encoder's quantisation of a block's exact coefficients in
  // scan order (dsp/rd_trial.h): each magnitude times its position's
  // inverse step, rounded up from `offset` on and limited to 255; returns
  // the squared errors times the positions' energies, summed, and sets
  // `bits`, where it is given, to the AC codes' bits without the end of
  // block. The signed values go to `out` where it is given (a trial keeps
  // none).
  float (*rd_quantise)(const float *coeffs, const float *step, const float *inverse,
                       const float *energy, float offset, int *bits, dv_coeff_t *out);
  // The same at step 2^shift in every area, into the four areas' shares
  // (area a: scan positions scan_area_start[a] up to scan_area_start[a + 1]).
  void (*rd_shares)(const float *coeffs, const float *energy, int shift, float offset,
                    RdShare *out);
  // The exact transforms of a transposed block of samples (sample of column
  // c, line l at 8c + l) in the modes first_mode to last_mode (0: 8x8, 1:
  // 2-4-8) into coeffs[mode], in scan order.
  void (*rd_transform)(const dv_coeff_t *samples, const RdBasis &basis, int first_mode,
                       int last_mode, float (*coeffs)[64]);
};

// The clamps of YUY2 output: sample + 128 (+ 16 with the NTSC set-up) held
// between limits. The tables and their limits describe the same clamp.
struct Yuy2Tables {
  OffsetTable<uint8_t, -128, 127> uv;
  OffsetTable<uint8_t, -256, 511> y;
  OffsetTable<uint8_t, -256, 511> y_setup;  // the NTSC 7.5 IRE set-up
  uint8_t luma_low, luma_high, chroma_low, chroma_high;
};

// Writers of one placed macroblock into packed YUY2 lines `pitch` bytes
// apart: 4:1:1 32x8, 4:1:1 16x16 at the right edge, 4:2:0 16x16.
using Yuy2Writer = void (*)(const dv_macroblock_t *mb, uint8_t *pixels, int pitch,
                            const Yuy2Tables &t, bool setup);
struct Yuy2Dsp {
  Yuy2Writer mb411, mb411_right, mb420;
};

// Planes of Y, Cb and Cr, lines pitch[p] bytes apart, the chroma thinned
// by 2^shift_x across and 2^shift_y down.
struct PlaneSet {
  uint8_t *plane[3];
  ptrdiff_t pitch[3];
  int shift_x, shift_y;
};

// Writers of one placed macroblock into planes, with YUY2's clamps (so that
// planar 4:2:2 holds the bytes of YUY2): the shapes as for YUY2, the chroma
// at the macroblock's own sampling (4:2:0: shifts 1, 1; 4:1:1: 2, 0) or at
// 4:2:2 (1, 0), each chroma sample written to the cells it covers.
using PlanarWriter = void (*)(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t,
                              bool setup);
struct PlanarDsp {
  PlanarWriter mb411, mb411_right, mb420;
};

struct Dsp {
  IdctDsp idct;
  QuantDsp quant;
  Yuy2Dsp yuy2;
  PlanarDsp planar;
  EncodeDsp encode;
};

const Dsp &dsp();
const Dsp &plain_dsp();

// The plain kernels, by family.
void idct_dsp_init(IdctDsp &d);
void quant_dsp_init(QuantDsp &d);
void yuy2_dsp_init(Yuy2Dsp &d);
void planar_dsp_init(PlanarDsp &d);
void encode_dsp_init(EncodeDsp &d);

}  // namespace tarsk::dsp
