// What the transform modules share with each other and with the encoder.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>

namespace tarsk {

// The eight weighting constants of DV, W(0)..W(7).
extern double W[8];

// Arithmetic of the fixed-point transforms: wrapping 32-bit sums, and the
// value cut to 16 bits (two's complement) where the transforms store it.
inline int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
inline int16_t t16(int32_t v) { return static_cast<int16_t>(v); }

// The 8-point forward line transform (unnormalised): `in` and `out` may be
// the same array.
void dct88_aan_line(const int16_t in[8], int16_t out[8]);

// _dv_quant_88_inverse followed by _dv_weight_88_inverse, in one step with
// the same results.
void dequantise_weight_88(dv_coeff_t *block, int qno, int klass);

// The inverse 8x8 DCT without the vector unit's help: the same results as
// _dv_idct_88, which uses it where the processor has it.
void idct_88_without_vectors(dv_coeff_t *block);

}  // namespace tarsk
