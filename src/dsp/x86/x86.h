// The x86-64 kernels (SSE2 is always there; AVX2 where the processor says
// so). Compiled only into x86-64 builds with fast kernels on.
#pragma once

#include "dsp/dsp.h"

namespace tarsk::dsp::x86 {

// Replaces the plain kernels of `d` by the fastest this processor runs.
void dsp_init(Dsp &d);

void idct_88_avx2(dv_coeff_t *block);
void idct_88_rounded_avx2(dv_coeff_t *block, const float *factors);
void idct_248_rounded_avx2(dv_coeff_t *block, const float *factors);
float rd_quantise_avx2(const float *coeffs, const float *step, const float *inverse,
                       const float *energy, float offset, int *bits, dv_coeff_t *out);
void rd_transform_avx2(const dv_coeff_t *samples, const RdBasis &basis, int first_mode,
                       int last_mode, float (*coeffs)[64]);
void rd_shares_avx2(const float *coeffs, const float *energy, int shift, float offset,
                    RdShare *out);
void dequantise_weight_88_sse2(dv_coeff_t *block, const uint16_t *factors);
unsigned long quantise_count_sse2(const dv_coeff_t *in, dv_coeff_t *out, const uint8_t shift[4],
                                  const uint8_t *bits_lookup);
void fdct_88_sse2(dv_coeff_t *block, const int16_t *post_scale);
void fdct_248_sse2(dv_coeff_t *block, const int16_t *post_scale);
int largest_ac_sse2(const dv_coeff_t *block);
void to_encoder_scale_sse2(const uint8_t *in, int16_t *out, int n);
uint64_t nonzero_ac_sse2(const dv_coeff_t *block);
void neighbour_differences_sse2(const dv_coeff_t *block, int sums[2]);
void load_transposed_sse2(const int16_t *lines, int stride, dv_coeff_t *block);
void load_transposed_line_pairs_sse2(const int16_t *lines, int stride, dv_coeff_t *block);
void yuy2_411_sse2(const dv_macroblock_t *mb, uint8_t *pixels, int pitch, const Yuy2Tables &t,
                   bool setup);
void yuy2_411_right_sse2(const dv_macroblock_t *mb, uint8_t *pixels, int pitch,
                         const Yuy2Tables &t, bool setup);
void yuy2_420_sse2(const dv_macroblock_t *mb, uint8_t *pixels, int pitch, const Yuy2Tables &t,
                   bool setup);
void planar_411_sse2(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t,
                     bool setup);
void planar_411_right_sse2(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t,
                           bool setup);
void planar_420_sse2(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t,
                     bool setup);

}  // namespace tarsk::dsp::x86
