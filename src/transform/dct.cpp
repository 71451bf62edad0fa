// The 8x8 DCT: a fast integer forward transform for the encoder and the
// exact floating-point inverse for the decoder.
#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "transform/transform.h"

namespace {

double C88[8];
// KC88[x][y][h][v]: the cosine products of the inverse transform's sum.
double KC88[8][8][8][8];
// The same products, laid out per coefficient (v, h) as 64 consecutive
// sample weights y * 8 + x, so that one coefficient's contribution to the
// whole block is a single vectorisable loop.
alignas(64) double by_coefficient[64][64];
// The one-dimensional inverse basis: basis[k][n] = C88[k] cos((2n+1) k pi/16)
// for n = 0..3 (the other half follows by symmetry), from the same cosines
// as KC88.
alignas(32) double basis[8][4];

using tarsk::t16;

// cos((2n + 1) k pi / 16), the factor of sample n in the basis function k.
double cosine(int n, int k) { return std::cos((2 * n + 1) * k * M_PI / 16.0); }

// a * b >> s on 32-bit products, the shift arithmetic.
inline int32_t mul_shift(int32_t a, int32_t b, int s) { return (a * b) >> s; }

// The nonzero coefficients of a block, in raster order, each with its
// factor C88[v] C88[h] F(v, h).
struct Terms {
  int count = 0;
  int index[64];
  double a[64];
};

inline void collect(const dv_coeff_t *block, Terms &t) {
  for (int c = 0; c < 64; ++c) {
    if (block[c] == 0) continue;
    t.index[t.count] = c;
    t.a[t.count] = C88[c / 8] * C88[c % 8] * block[c];
    ++t.count;
  }
}

void idct_88_plain(dv_coeff_t *block) {
  Terms t;
  collect(block, t);
  alignas(64) double sum[64];
  for (double &s : sum) s = 0.0;
  for (int n = 0; n < t.count; ++n) {
    const double a = t.a[n];
    const double *k = by_coefficient[t.index[n]];
    for (int i = 0; i < 64; ++i) sum[i] += a * k[i];
  }
  for (int i = 0; i < 64; ++i) block[i] = t16(static_cast<int32_t>(sum[i]));
}

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
      t.a[t.count] = C88[c / 8] * C88[c % 8] * block[c];
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
      const double *k = by_coefficient[t.index[n]] + half;
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
    const __m256d c = _mm256_broadcast_sd(&basis[vs[i]][y]);
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
    __m256d even = _mm256_mul_pd(_mm256_broadcast_sd(f + 0), _mm256_load_pd(basis[0]));
    __m256d odd = _mm256_mul_pd(_mm256_broadcast_sd(f + 1), _mm256_load_pd(basis[1]));
    for (int h = 2; h < 8; h += 2) {
      even = _mm256_add_pd(even,
                           _mm256_mul_pd(_mm256_broadcast_sd(f + h), _mm256_load_pd(basis[h])));
      odd = _mm256_add_pd(
          odd, _mm256_mul_pd(_mm256_broadcast_sd(f + h + 1), _mm256_load_pd(basis[h + 1])));
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

__attribute__((target("avx2"))) void idct_88_avx2(dv_coeff_t *block) {
  if (nonzero_count(block) > kSparse && separable_avx2(block)) return;
  Terms t;
  collect_avx2(block, t);
  sum_terms_avx2(t, block);
}

// Chosen once, by what the processor offers.
bool have_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

void idct_88(dv_coeff_t *block) {
  static const auto chosen = have_avx2() ? idct_88_avx2 : idct_88_plain;
  chosen(block);
}

}  // namespace

namespace tarsk {

void idct_88_without_vectors(dv_coeff_t *block) { idct_88_plain(block); }

void dct88_aan_line(const int16_t in[8], int16_t out[8]) {
  const int32_t a0 = t16(in[0] + in[7]), a1 = t16(in[1] + in[6]);
  const int32_t a2 = t16(in[2] + in[5]), a3 = t16(in[3] + in[4]);
  const int32_t b0 = t16(in[0] - in[7]), b1 = t16(in[1] - in[6]);
  const int32_t b2 = t16(in[2] - in[5]), b3 = t16(in[3] - in[4]);

  const int32_t e0 = t16(a0 + a3), e1 = t16(a1 + a2);
  const int32_t e2 = t16(a1 - a2), e3 = t16(a0 - a3);
  const int32_t z1 = mul_shift(t16(e2 + e3), 23171, 15);

  const int32_t p = t16(-(b3 + b2)), q = t16(b1 + b0), s = t16(b2 + b1);
  const int32_t z5 = mul_shift(p + q, 25079, 16);
  const int32_t z2 = t16(-(z5 + mul_shift(p, 17734, 15)));
  const int32_t z4 = t16(mul_shift(q, 21407, 14) - z5);
  const int32_t z3 = mul_shift(s, 23171, 15);
  const int32_t z11 = t16(b0 + z3), z13 = t16(b0 - z3);

  out[0] = t16(e0 + e1);
  out[4] = t16(e0 - e1);
  out[2] = t16(e3 + z1);
  out[6] = t16(e3 - z1);
  out[1] = t16(z11 + z4);
  out[7] = t16(z11 - z4);
  out[5] = t16(z13 + z2);
  out[3] = t16(z13 - z2);
}

}  // namespace tarsk

extern "C" {

void _dv_dct_init(void) {
  for (int x = 0; x < 8; ++x)
    for (int y = 0; y < 8; ++y)
      for (int h = 0; h < 8; ++h)
        for (int v = 0; v < 8; ++v) {
          KC88[x][y][h][v] = cosine(y, v) * cosine(x, h);
          by_coefficient[v * 8 + h][y * 8 + x] = KC88[x][y][h][v];
        }
  // 1/(2 sqrt 2), correctly rounded: sqrt(0.125) is, 0.5 / sqrt(2.0) is one
  // unit in the last place low, which would make C88[0]^2 fall short of
  // 1/8 and a flat block's samples truncate one level low.
  C88[0] = std::sqrt(0.125);
  for (int n = 1; n < 8; ++n) C88[n] = 0.5;
  for (int k = 0; k < 8; ++k)
    for (int n = 0; n < 4; ++n) basis[k][n] = C88[k] * cosine(n, k);
}

void _dv_dct_88(dv_coeff_t *block) {
  dv_coeff_t scratch[64];
  for (int r = 0; r < 8; ++r) tarsk::dct88_aan_line(block + 8 * r, block + 8 * r);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) scratch[c * 8 + r] = block[r * 8 + c];
  for (int r = 0; r < 8; ++r) tarsk::dct88_aan_line(scratch + 8 * r, scratch + 8 * r);
  for (int i = 0; i < 64; ++i) block[i] = t16(scratch[i] * postSC88[i] / 131072);
}

// The inverse is the definition itself: each sample the double-precision
// sum over the coefficients in raster order, truncated toward zero. Zero
// coefficients add exactly nothing to any sample, so they are skipped;
// every sample still sums the same terms in the same order. The vector
// version computes each sample with the same multiplications and
// additions, four samples at a time, and so the same bits; for denser
// blocks it first tries the separable shortcut, whose result it keeps only
// where it provably truncates to the same integers.
void _dv_idct_88(dv_coeff_t *block) { idct_88(block); }

}  // extern "C"
