// The encoder's forward 8x8 DCT in SSE2: the fixed-point line transform of
// common/dct.cpp on eight lines at once, one line per 16-bit lane, giving
// the same integers. Its sums are cut to 16 bits, as 16-bit lanes wrap;
// where it keeps more bits, the low 16 bits of the result are computed
// from the whole 32-bit product.
#include <emmintrin.h>

#include "dsp/x86/transpose_sse2.h"
#include "dsp/x86/x86.h"

namespace tarsk::dsp::x86 {
namespace {

// The low 16 bits of (x * c) >> n (0 < n < 16) on the 32-bit product.
template <int n>
inline __m128i mul_shift(__m128i x, __m128i c) {
  return _mm_or_si128(_mm_slli_epi16(_mm_mulhi_epi16(x, c), 16 - n),
                      _mm_srli_epi16(_mm_mullo_epi16(x, c), n));
}

// ((p + q) * c) >> 16 with p + q in 17 bits: both products summed in 32
// bits by pmaddwd (c in every 16-bit lane); the result fits 16 bits.
inline __m128i sum_mul_shift16(__m128i p, __m128i q, __m128i c) {
  const __m128i lo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(p, q), c), 16);
  const __m128i hi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(p, q), c), 16);
  return _mm_packs_epi32(lo, hi);
}

// The line transform with element k of every line in x[k].
inline void lines(__m128i x[8]) {
  const __m128i c23171 = _mm_set1_epi16(23171), c17734 = _mm_set1_epi16(17734);
  const __m128i c21407 = _mm_set1_epi16(21407), c25079 = _mm_set1_epi16(25079);
  const __m128i a0 = _mm_add_epi16(x[0], x[7]), a1 = _mm_add_epi16(x[1], x[6]);
  const __m128i a2 = _mm_add_epi16(x[2], x[5]), a3 = _mm_add_epi16(x[3], x[4]);
  const __m128i b0 = _mm_sub_epi16(x[0], x[7]), b1 = _mm_sub_epi16(x[1], x[6]);
  const __m128i b2 = _mm_sub_epi16(x[2], x[5]), b3 = _mm_sub_epi16(x[3], x[4]);

  const __m128i e0 = _mm_add_epi16(a0, a3), e1 = _mm_add_epi16(a1, a2);
  const __m128i e2 = _mm_sub_epi16(a1, a2), e3 = _mm_sub_epi16(a0, a3);
  const __m128i z1 = mul_shift<15>(_mm_add_epi16(e2, e3), c23171);

  const __m128i p = _mm_sub_epi16(_mm_setzero_si128(), _mm_add_epi16(b3, b2));
  const __m128i q = _mm_add_epi16(b1, b0), s = _mm_add_epi16(b2, b1);
  const __m128i z5 = sum_mul_shift16(p, q, c25079);
  const __m128i z2 =
      _mm_sub_epi16(_mm_setzero_si128(), _mm_add_epi16(z5, mul_shift<15>(p, c17734)));
  const __m128i z4 = _mm_sub_epi16(mul_shift<14>(q, c21407), z5);
  const __m128i z3 = mul_shift<15>(s, c23171);
  const __m128i z11 = _mm_add_epi16(b0, z3), z13 = _mm_sub_epi16(b0, z3);

  x[0] = _mm_add_epi16(e0, e1);
  x[4] = _mm_sub_epi16(e0, e1);
  x[2] = _mm_add_epi16(e3, z1);
  x[6] = _mm_sub_epi16(e3, z1);
  x[1] = _mm_add_epi16(z11, z4);
  x[7] = _mm_sub_epi16(z11, z4);
  x[5] = _mm_add_epi16(z13, z2);
  x[3] = _mm_sub_epi16(z13, z2);
}

// The 4-point line transform over elements e, e + 2, e + 4 and e + 6 of
// every line, in place.
inline void fields(__m128i x[8], int e) {
  const __m128i d0 = _mm_sub_epi16(x[e], x[e + 6]), s0 = _mm_add_epi16(x[e], x[e + 6]);
  const __m128i d1 = _mm_sub_epi16(x[e + 2], x[e + 4]), s1 = _mm_add_epi16(x[e + 2], x[e + 4]);
  const __m128i z = mul_shift<15>(_mm_add_epi16(d1, d0), _mm_set1_epi16(23171));
  x[e] = _mm_add_epi16(s0, s1);
  x[e + 4] = _mm_sub_epi16(s0, s1);
  x[e + 2] = _mm_add_epi16(d0, z);
  x[e + 6] = _mm_sub_epi16(d0, z);
}

// v / 131072 truncated toward zero, for 32-bit lanes.
inline __m128i div17(__m128i v) {
  const __m128i round = _mm_and_si128(_mm_srai_epi32(v, 31), _mm_set1_epi32(131071));
  return _mm_srai_epi32(_mm_add_epi32(v, round), 17);
}

}  // namespace

// Rows through the line transform, then columns, as the plain kernel does
// (each pass on the transposed block), then every coefficient times its
// post-scale.
namespace {

// Each line of the result times its post-scale over 2^17, stored. The
// quotients are below 2^14 in magnitude, so the saturating pack keeps them
// as they are.
inline void post_scale_store(const __m128i x[8], const int16_t *post_scale, dv_coeff_t *block) {
  for (int c = 0; c < 8; ++c) {
    const __m128i scale = _mm_loadu_si128(reinterpret_cast<const __m128i *>(post_scale + 8 * c));
    const __m128i lo = _mm_mullo_epi16(x[c], scale), hi = _mm_mulhi_epi16(x[c], scale);
    const __m128i product_lo = _mm_unpacklo_epi16(lo, hi), product_hi = _mm_unpackhi_epi16(lo, hi);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(block + 8 * c),
                     _mm_packs_epi32(div17(product_lo), div17(product_hi)));
  }
}

}  // namespace

// The 2-4-8 transform in the plain kernel's steps: each line's two fields
// (its even and odd elements), the 8-point transform across, and the sums
// and differences of the fields' rows.
void fdct_248_sse2(dv_coeff_t *block, const int16_t *post_scale) {
  __m128i x[8];
  for (int r = 0; r < 8; ++r)
    x[r] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * r));
  transpose(x);  // x[e]: element e of every line
  fields(x, 0);
  fields(x, 1);
  transpose(x);  // x[e]: element e of every column of the field transforms
  lines(x);      // x[h]: coefficient h across of every row
  transpose(x);  // x[r]: row r, the fields' rows alternating
  __m128i y[8];
  for (int k = 0; k < 4; ++k) {
    y[k] = _mm_add_epi16(x[2 * k], x[2 * k + 1]);
    y[k + 4] = _mm_sub_epi16(x[2 * k], x[2 * k + 1]);
  }
  post_scale_store(y, post_scale, block);
}

void fdct_88_sse2(dv_coeff_t *block, const int16_t *post_scale) {
  __m128i x[8];
  for (int r = 0; r < 8; ++r)
    x[r] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * r));
  transpose(x);  // x[k]: sample k of every row
  lines(x);      // x[k]: coefficient k of every row: column k of the row pass
  transpose(x);  // x[r]: row r of the row pass, a column to a lane
  lines(x);      // x[k]: coefficient k of every column
  transpose(x);  // x[c]: line c of the result
  post_scale_store(x, post_scale, block);
}

}  // namespace tarsk::dsp::x86
