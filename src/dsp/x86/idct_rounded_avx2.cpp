// The rounded inverse transforms with AVX2: the templates of
// dsp/idct_rounded.h over eight float lanes in a register, one block row
// per register, so that they give the plain kernels' samples bit for bit.
#include <immintrin.h>

#include "common/transform.h"
#include "dsp/x86/x86.h"

#include "dsp/x86/avx2_begin.h"

#include "dsp/idct_rounded.h"

namespace tarsk::dsp::x86 {
namespace {

struct F8 {
  __m256 v;
};
inline F8 operator+(F8 a, F8 b) { return {_mm256_add_ps(a.v, b.v)}; }
inline F8 operator-(F8 a, F8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline F8 operator*(F8 a, F8 b) { return {_mm256_mul_ps(a.v, b.v)}; }

inline void transpose(F8 *r) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0].v, r[1].v), t1 = _mm256_unpackhi_ps(r[0].v, r[1].v);
  const __m256 t2 = _mm256_unpacklo_ps(r[2].v, r[3].v), t3 = _mm256_unpackhi_ps(r[2].v, r[3].v);
  const __m256 t4 = _mm256_unpacklo_ps(r[4].v, r[5].v), t5 = _mm256_unpackhi_ps(r[4].v, r[5].v);
  const __m256 t6 = _mm256_unpacklo_ps(r[6].v, r[7].v), t7 = _mm256_unpackhi_ps(r[6].v, r[7].v);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xee);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xee);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xee);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xee);
  r[0].v = _mm256_permute2f128_ps(u0, u4, 0x20);
  r[1].v = _mm256_permute2f128_ps(u1, u5, 0x20);
  r[2].v = _mm256_permute2f128_ps(u2, u6, 0x20);
  r[3].v = _mm256_permute2f128_ps(u3, u7, 0x20);
  r[4].v = _mm256_permute2f128_ps(u0, u4, 0x31);
  r[5].v = _mm256_permute2f128_ps(u1, u5, 0x31);
  r[6].v = _mm256_permute2f128_ps(u2, u6, 0x31);
  r[7].v = _mm256_permute2f128_ps(u3, u7, 0x31);
}

const Cosines<F8> &lane_cosines() {
  static const Cosines<F8> k = cosines<F8>([](float c) { return F8{_mm256_set1_ps(c)}; });
  return k;
}

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
  idct_88_lanes(rows, lane_cosines(), transpose);
  store(rows, block);
}

void idct_248_rounded_avx2(dv_coeff_t *block, const float *factors) {
  F8 rows[8];
  load(block, factors, rows);
  idct_248_lanes(rows, lane_cosines(), transpose);
  store(rows, block);
}

}  // namespace tarsk::dsp::x86

#include "dsp/x86/avx2_end.h"
