// The rounded inverse transforms with AVX2: the templates of
// dsp/idct_rounded.h over eight float lanes in a register, one block row
// per register, so that they give the plain kernels' samples bit for bit.
#include <immintrin.h>

#include "common/transform.h"
#include "dsp/x86/x86.h"

#include "dsp/x86/avx2_begin.h"

#include "dsp/idct_rounded.h"
#include "dsp/x86/f8.h"

namespace tarsk::dsp::x86 {
namespace {

// Each coefficient times its factor, by rows.
inline void load(const dv_coeff_t *block, const float *factors, F8 *rows) {
#pragma GCC unroll 8
  for (int v = 0; v < 8; ++v) {
    const __m128i line = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * v));
    rows[v].v = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(line)),
                              _mm256_loadu_ps(factors + 8 * v));
  }
}

// Rounded to the nearest integer (halves to even) and held to 16 bits.
inline void store(const F8 *rows, dv_coeff_t *block) {
#pragma GCC unroll 4
  for (int y = 0; y < 8; y += 2) {
    const __m256i pair = _mm256_packs_epi32(_mm256_cvtps_epi32(rows[y].v),
                                            _mm256_cvtps_epi32(rows[y + 1].v));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(block + 8 * y),
                        _mm256_permute4x64_epi64(pair, 0xd8));
  }
}

}  // namespace

void idct_88_rounded_avx2(dv_coeff_t *block, const float *factors) {
  F8 rows[8];
  load(block, factors, rows);
  idct_88_lanes(rows, lane_cosines<F8>());
  store(rows, block);
}

void idct_248_rounded_avx2(dv_coeff_t *block, const float *factors) {
  F8 rows[8];
  load(block, factors, rows);
  idct_248_lanes(rows, lane_cosines<F8>());
  store(rows, block);
}

}  // namespace tarsk::dsp::x86

#include "dsp/x86/avx2_end.h"
