// The inverse 8x8 DCT with AVX2, bit for bit the plain definition's.
//
// Sparse blocks sum the same terms in the same order as the definition,
// four samples at a time. Denser blocks first try a separable evaluation,
// kept only where it provably truncates as the definition does.
#include <immintrin.h>

#include "common/transform.h"
#include "dsp/x86/x86.h"

namespace tarsk::dsp::x86 {
namespace {

using tarsk::t16;
const Idct88Tables &tables = idct88_tables;

// The nonzero coefficients of a block, in raster order, each with its
// factor C88[v] C88[h] F(v, h).
struct Terms {
  int count = 0;
  int index[64];
  double a[64];
};

// The nonzero coefficients found sixteen at a time.
__attribute__((target("avx2"))) inline void collect_avx2(const dv_coeff_t *block, Terms &t) {
  const __m256i zero = _mm256_setzero_si256();
  for (int base = 0; base < 64; base += 16) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + base));
    // Two mask bits per coefficient; keep one.
    uint32_t nonzero = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(v, zero))) &
                       0x55555555u;
    while (nonzero != 0) {
      const int c = base + __builtin_ctz(nonzero) / 2;
      nonzero &= nonzero - 1;
      t.index[t.count] = c;
      t.a[t.count] = tables.c88[c / 8] * tables.c88[c % 8] * block[c];
      ++t.count;
    }
  }
}

// 32 samples at a time in eight AVX registers, so that the sums never
// leave the registers while the coefficients are added in.
__attribute__((target("avx2"))) void sum_terms_avx2(const Terms &t, dv_coeff_t *block) {
  alignas(32) int32_t out[64];
  for (int half = 0; half < 64; half += 32) {
    __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd(), s2 = _mm256_setzero_pd(),
            s3 = _mm256_setzero_pd(), s4 = _mm256_setzero_pd(), s5 = _mm256_setzero_pd(),
            s6 = _mm256_setzero_pd(), s7 = _mm256_setzero_pd();
    for (int n = 0; n < t.count; ++n) {
      const __m256d a = _mm256_set1_pd(t.a[n]);
      const double *k = tables.by_coefficient[t.index[n]] + half;
      s0 = _mm256_add_pd(s0, _mm256_mul_pd(a, _mm256_load_pd(k + 0)));
      s1 = _mm256_add_pd(s1, _mm256_mul_pd(a, _mm256_load_pd(k + 4)));
      s2 = _mm256_add_pd(s2, _mm256_mul_pd(a, _mm256_load_pd(k + 8)));
      s3 = _mm256_add_pd(s3, _mm256_mul_pd(a, _mm256_load_pd(k + 12)));
      s4 = _mm256_add_pd(s4, _mm256_mul_pd(a, _mm256_load_pd(k + 16)));
      s5 = _mm256_add_pd(s5, _mm256_mul_pd(a, _mm256_load_pd(k + 20)));
      s6 = _mm256_add_pd(s6, _mm256_mul_pd(a, _mm256_load_pd(k + 24)));
      s7 = _mm256_add_pd(s7, _mm256_mul_pd(a, _mm256_load_pd(k + 28)));
    }
    // Truncation toward zero, as the scalar conversion does.
    int32_t *o = out + half;
    _mm_store_si128(reinterpret_cast<__m128i *>(o + 0), _mm256_cvttpd_epi32(s0));
    _mm_store_si128(reinterpret_cast<__m128i *>(o + 4), _mm256_cvttpd_epi32(s1));
    _mm_store_si128(reinterpret_cast<__m128i *>(o + 8), _mm256_cvttpd_epi32(s2));
    _mm_store_si128(reinterpret_cast<__m128i *>(o + 12), _mm256_cvttpd_epi32(s3));
    _mm_store_si128(reinterpret_cast<__m128i *>(o + 16), _mm256_cvttpd_epi32(s4));
    _mm_store_si128(reinterpret_cast<__m128i *>(o + 20), _mm256_cvttpd_epi32(s5));
    _mm_store_si128(reinterpret_cast<__m128i *>(o + 24), _mm256_cvttpd_epi32(s6));
    _mm_store_si128(reinterpret_cast<__m128i *>(o + 28), _mm256_cvttpd_epi32(s7));
  }
  for (int i = 0; i < 64; ++i) block[i] = t16(out[i]);
}

// The separable shortcut. The definition sums, for each sample, 64
// products in double precision and truncates; a row-column evaluation of
// the same sum (one-dimensional inverse transforms of the rows, then of
// the columns, each split into even and odd halves) needs far fewer
// multiplications but rounds differently. For any 16-bit block the sum has
// at most 64 terms of at most 2^15 / 4 (samples stay below 2^19), so each
// evaluation's rounding moves a sample by less than 2^-26; the cosines the
// two use (the definition's products, the shortcut's factors and the
// symmetry it relies on) differ by less than 2^-45 each, which moves a
// sample by less than 2^-26 as well. Where every sample of the shortcut is
// more than kNearInteger (2^-20) away from an integer, both sums therefore
// lie strictly between the same two integers and truncate alike; otherwise
// the block is summed as defined. Returns whether the shortcut's result
// stood (and was written).
constexpr double kNearInteger = 0x1p-20;

// Rows v of the same parity add into the even or the odd half of each
// column: basis[v][7 - y] = (-1)^v basis[v][y].
struct Halves {
  __m256d left, right;
};

__attribute__((target("avx2"))) inline Halves column_half(const double (*rows)[8], const int *vs,
                                                          int count, int y) {
  Halves s{_mm256_setzero_pd(), _mm256_setzero_pd()};
  for (int i = 0; i < count; ++i) {
    const __m256d c = _mm256_broadcast_sd(&tables.basis[vs[i]][y]);
    s.left = _mm256_add_pd(s.left, _mm256_mul_pd(c, _mm256_load_pd(rows[vs[i]])));
    s.right = _mm256_add_pd(s.right, _mm256_mul_pd(c, _mm256_load_pd(rows[vs[i]] + 4)));
  }
  return s;
}

// Truncates four samples into `out` and flags those near an integer.
__attribute__((target("avx2"))) inline __m256d store_and_check(__m256d samples, int32_t *out,
                                                               __m256d near) {
  _mm_store_si128(reinterpret_cast<__m128i *>(out), _mm256_cvttpd_epi32(samples));
  const __m256d off = _mm256_sub_pd(
      samples, _mm256_round_pd(samples, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), off);
  return _mm256_or_pd(near, _mm256_cmp_pd(magnitude, _mm256_set1_pd(kNearInteger), _CMP_LE_OQ));
}

__attribute__((target("avx2"))) bool separable_avx2(dv_coeff_t *block) {
  // One-dimensional inverse of each nonzero coefficient row v over x.
  alignas(32) double rows[8][8];
  int even_rows[4], odd_rows[4];
  int evens = 0, odds = 0;
  for (int v = 0; v < 8; ++v) {
    const __m128i line = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * v));
    if (_mm_testz_si128(line, line)) continue;
    alignas(32) double f[8];
    _mm256_store_pd(f, _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(line)));
    _mm256_store_pd(f + 4, _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_srli_si128(line, 8))));
    // The even h give the sum's symmetric part, the odd h its
    // antisymmetric part: x = 0..3 is their sum, x = 7..4 their difference.
    __m256d even = _mm256_mul_pd(_mm256_broadcast_sd(f + 0), _mm256_load_pd(tables.basis[0]));
    __m256d odd = _mm256_mul_pd(_mm256_broadcast_sd(f + 1), _mm256_load_pd(tables.basis[1]));
    for (int h = 2; h < 8; h += 2) {
      even = _mm256_add_pd(even,
                           _mm256_mul_pd(_mm256_broadcast_sd(f + h), _mm256_load_pd(tables.basis[h])));
      odd = _mm256_add_pd(
          odd, _mm256_mul_pd(_mm256_broadcast_sd(f + h + 1), _mm256_load_pd(tables.basis[h + 1])));
    }
    _mm256_store_pd(rows[v], _mm256_add_pd(even, odd));
    _mm256_store_pd(rows[v] + 4, _mm256_permute4x64_pd(_mm256_sub_pd(even, odd), 0x1B));
    if (v % 2 == 0)
      even_rows[evens++] = v;
    else
      odd_rows[odds++] = v;
  }
  // The columns, sample rows y and 7 - y together.
  alignas(32) int32_t out[64];
  __m256d near = _mm256_setzero_pd();
  for (int y = 0; y < 4; ++y) {
    const Halves e = column_half(rows, even_rows, evens, y);
    const Halves o = column_half(rows, odd_rows, odds, y);
    near = store_and_check(_mm256_add_pd(e.left, o.left), out + 8 * y, near);
    near = store_and_check(_mm256_add_pd(e.right, o.right), out + 8 * y + 4, near);
    near = store_and_check(_mm256_sub_pd(e.left, o.left), out + 8 * (7 - y), near);
    near = store_and_check(_mm256_sub_pd(e.right, o.right), out + 8 * (7 - y) + 4, near);
  }
  if (_mm256_movemask_pd(near) != 0) return false;
  for (int i = 0; i < 64; ++i) block[i] = t16(out[i]);
  return true;
}

// Blocks with few coefficients are summed as defined: that is cheap for
// them, and their samples are often exact multiples of 1/8, which the
// shortcut would have to hand back. Denser blocks take the shortcut.
constexpr int kSparse = 4;

// How many coefficients of the block are nonzero.
__attribute__((target("avx2"))) inline int nonzero_count(const dv_coeff_t *block) {
  const __m256i zero = _mm256_setzero_si256();
  int zero_bytes = 0;
  for (int base = 0; base < 64; base += 16) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + base));
    zero_bytes += __builtin_popcount(
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(v, zero))));
  }
  return 64 - zero_bytes / 2;
}

// A block with its DC alone (most blocks of calm pictures): every cosine
// product of coefficient (0, 0) is cos(0) cos(0) = 1 exactly, so each
// sample's sum is 0.0 + a * 1.0 = a, with a = C88[0] C88[0] F(0, 0) as the
// definition forms it, and the block is that value truncated.
__attribute__((target("avx2"))) inline void dc_only(dv_coeff_t *block) {
  const double a = tables.c88[0] * tables.c88[0] * block[0];
  const __m256i v = _mm256_set1_epi16(t16(static_cast<int32_t>(a)));
  for (int i = 0; i < 64; i += 16) _mm256_storeu_si256(reinterpret_cast<__m256i *>(block + i), v);
}

}  // namespace

__attribute__((target("avx2"))) void idct_88_avx2(dv_coeff_t *block) {
  const int nonzero = nonzero_count(block);
  if (nonzero <= 1 && (block[0] != 0 || nonzero == 0)) return dc_only(block);
  if (nonzero > kSparse && separable_avx2(block)) return;
  Terms t;
  collect_avx2(block, t);
  sum_terms_avx2(t, block);
}

}  // namespace tarsk::dsp::x86
