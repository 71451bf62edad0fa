// What the transform modules share with each other, the decoder, the
// encoder and the kernels of dsp/.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>

namespace tarsk {

// Arithmetic of the fixed-point transforms: wrapping 32-bit sums, and the
// value cut to 16 bits (two's complement) where the transforms store it.
inline int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
inline int16_t t16(int32_t v) { return static_cast<int16_t>(v); }

// The 8-point forward line transform (unnormalised): `in` and `out` may be
// the same array.
void dct88_aan_line(const int16_t in[8], int16_t out[8]);

// The inverse 8x8 DCT's factors: C88 (the normalisation of each
// frequency), the cosine products by coefficient (v, h) for each sample
// (y, x) at [8v + h][8y + x], and the one-dimensional basis
// C88[k] cos((2n + 1) k pi/16) for n = 0..3 (the rest by symmetry).
struct Idct88Tables {
  double c88[8];
  alignas(64) double by_coefficient[64][64];
  alignas(32) double basis[8][4];
  // Unnormalised: cos((2n + 1) k pi/16) at [k][n], and for the 2-4-8
  // transform's fields cos((2n + 1) k pi/8) at [k][n], n = 0..3.
  double cosine8[8][8];
  double cosine4[4][4];
};
extern Idct88Tables idct88_tables;

// Scan positions where the quantisation areas 0..3 begin (the DC at 0 is
// in none), and the end of the block.
inline constexpr int scan_area_start[5] = {1, 6, 21, 43, 64};
// The quantiser's right shift of each area for a macroblock's qno and a
// block's class: a coefficient is divided by 2^shift, truncated toward zero.
void quant_area_shifts(int qno, int klass, uint8_t shift[4]);

// _dv_quant_88_inverse followed by _dv_weight_88_inverse, in one step with
// the same results: each coefficient times its factor of the table below,
// kept to 16 bits. Defined in dsp/, where it runs the fastest kernel.
void dequantise_weight_88(dv_coeff_t *block, int qno, int klass);
// The 64 factors of that step for a macroblock's qno and a block's class
// (raster order): the inverse weight shifted by the area's quantiser step.
const uint16_t *dequantise_weight_88_factors(int qno, int klass);

// The accurate reconstruction's 64 factors for an 8x8 block of a
// macroblock's qno and a block's class (raster order): the inverse
// transform's normalisation C88[v] C88[h], the exact inverse weight (4 at
// DC) and the quantisation step of the coefficient's area, for the rounded
// inverse transform.
const float *accurate_88_factors(int qno, int klass);
// The same for a 2-4-8 block: the normalisation 1/4 c(v) c(h) of each
// field's 4-point and the 8-point transforms (c(0) = 1/sqrt 2, else 1), the
// exact inverse weight (4 at the sums' DC, the general weight at the
// differences' DC, as decoders have it) and the quantisation step.
const float *accurate_248_factors(int qno, int klass);

// The exact forward weight of 8x8 coefficient (v, h), which the forward
// scale table holds; the decoder's inverse weights are its inverses rounded
// to integers (up to some 15 % off).
double weight_88(int v, int h);

// Builders of the tables that need the maths library, in the order of
// their dependencies: the 2-4-8 set-up reads the weights, the
// dequantisation tables read both.
void weight_init();
void dct_init();
void dct_248_init();
void quant_init();

}  // namespace tarsk
