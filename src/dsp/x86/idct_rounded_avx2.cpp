// The rounded inverse transforms with AVX2: the templates of
// dsp/idct_rounded.h over eight float lanes in a register, one block row
// per register, so that they give the plain kernels' samples bit for bit.
#include <immintrin.h>

#include "common/transform.h"
#include "dsp/x86/x86.h"

// Everything below, the shared templates included, is compiled for AVX2
// and runs only where dsp_init found it. The headers above stay outside, so
// that no inline function of theirs is emitted with AVX2 instructions.
#pragma GCC push_options
#pragma GCC target("avx2")

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
  __m256 t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(r[i].v, r[i + 1].v);
    t[i + 1] = _mm256_unpackhi_ps(r[i].v, r[i + 1].v);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
    u[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xee);
    u[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
    u[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xee);
  }
  for (int i = 0; i < 4; ++i) {
    r[i].v = _mm256_permute2f128_ps(u[i], u[i + 4], 0x20);
    r[i + 4].v = _mm256_permute2f128_ps(u[i], u[i + 4], 0x31);
  }
}

const Cosines<F8> &lane_cosines() {
  static const Cosines<F8> k = cosines<F8>([](float c) { return F8{_mm256_set1_ps(c)}; });
  return k;
}

// Each coefficient times its factor, by rows.
inline void load(const dv_coeff_t *block, const float *factors, F8 *rows) {
  for (int v = 0; v < 8; ++v) {
    const __m128i line = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * v));
    rows[v].v = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(line)),
                              _mm256_loadu_ps(factors + 8 * v));
  }
}

// Rounded to the nearest integer (halves to even) and held to 16 bits.
inline void store(const F8 *rows, dv_coeff_t *block) {
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

#pragma GCC pop_options
