// Eight floats in an AVX2 register: the lane type of the kernels written
// over lanes (dsp/idct_rounded.h, dsp/rd_trial.h), the twin of dsp/lanes.h.
// Included inside the AVX2 region (dsp/x86/avx2_begin.h); internal linkage.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace tarsk::dsp::x86 {
namespace {

struct F8 {
  __m256 v;
  static F8 load(const float *p) { return {_mm256_loadu_ps(p)}; }
  static void store(float *p, F8 x) { _mm256_storeu_ps(p, x.v); }
  static F8 splat(float x) { return {_mm256_set1_ps(x)}; }
  // Eight 16-bit samples as floats.
  static F8 load_samples(const int16_t *p) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return {_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(s))};
  }
};
inline F8 operator+(F8 a, F8 b) { return {_mm256_add_ps(a.v, b.v)}; }
inline F8 operator-(F8 a, F8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline F8 operator*(F8 a, F8 b) { return {_mm256_mul_ps(a.v, b.v)}; }

// Eight rows of lanes swapped with their lanes.
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

}  // namespace
}  // namespace tarsk::dsp::x86
