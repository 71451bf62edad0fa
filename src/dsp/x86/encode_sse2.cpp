// The encoder's SSE2 kernels.
#include <emmintrin.h>

#include <algorithm>
#include <array>

#include "common/colour.h"
#include "common/transform.h"
#include "common/vlc.h"
#include "dsp/x86/transpose_sse2.h"
#include "dsp/x86/x86.h"

namespace tarsk::dsp::x86 {
namespace {

// Eight scan positions a vector span at most two quantisation areas: the
// area of the first lane, that of the last, and which lanes are in the
// first's (all ones) or the last's (zero).
struct LaneAreas {
  int first[8], last[8];
  alignas(16) uint16_t in_first[8][8];
};

constexpr int area_of(int pos) {
  int area = 0;
  while (area < 3 && pos >= scan_area_start[area + 1]) ++area;
  return area;
}

constexpr LaneAreas build_lane_areas() {
  LaneAreas t{};
  for (int v = 0; v < 8; ++v) {
    t.first[v] = area_of(8 * v);
    t.last[v] = area_of(8 * v + 7);
    for (int l = 0; l < 8; ++l) t.in_first[v][l] = area_of(8 * v + l) == t.first[v] ? 0xffff : 0;
  }
  return t;
}
constexpr LaneAreas lane_areas = build_lane_areas();
static_assert(area_of(0) == 0 && area_of(5) == 0 && area_of(6) == 1 && area_of(63) == 3);

}  // namespace

// Each magnitude shifted right by its area's shift, the sign put back (a
// division truncating toward zero, -32768 included: its magnitude 32768 is
// an unsigned 16-bit value). The zero lanes give a mask of the non-zero
// coefficients, and the code bits are summed over those alone, each run
// the distance from the previous one.
unsigned long quantise_count_sse2(const dv_coeff_t *in, dv_coeff_t *out, const uint8_t shift[4],
                                  const uint8_t *bits_lookup) {
  const __m128i counts[4] = {_mm_cvtsi32_si128(shift[0]), _mm_cvtsi32_si128(shift[1]),
                             _mm_cvtsi32_si128(shift[2]), _mm_cvtsi32_si128(shift[3])};
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_set1_epi16(-255), high = _mm_set1_epi16(255);
  __m128i is_zero[8];
  // Each value's part of its lookup index (vlc_index without the run).
  alignas(16) uint16_t amp_index[64];
  for (int v = 0; v < 8; ++v) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 8 * v));
    const __m128i sign = _mm_srai_epi16(x, 15);
    const __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(x, sign), sign);
    __m128i q = _mm_srl_epi16(magnitude, counts[lane_areas.last[v]]);
    if (lane_areas.first[v] != lane_areas.last[v]) {
      const __m128i mask =
          _mm_load_si128(reinterpret_cast<const __m128i *>(lane_areas.in_first[v]));
      const __m128i p = _mm_srl_epi16(magnitude, counts[lane_areas.first[v]]);
      q = _mm_or_si128(_mm_and_si128(mask, p), _mm_andnot_si128(mask, q));
    }
    q = _mm_sub_epi16(_mm_xor_si128(q, sign), sign);
    if (v == 0) q = _mm_insert_epi16(q, static_cast<uint16_t>(in[0]), 0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8 * v), q);
    is_zero[v] = _mm_cmpeq_epi16(q, zero);
    _mm_store_si128(reinterpret_cast<__m128i *>(amp_index + 8 * v),
                    _mm_add_epi16(_mm_min_epi16(_mm_max_epi16(q, low), high), high));
  }
  uint64_t zeros = 0;
  for (int v = 0; v < 8; v += 2) {
    const auto lanes =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(is_zero[v], is_zero[v + 1])));
    zeros |= uint64_t{lanes} << (8 * v);
  }
  uint64_t nonzero = ~zeros & ~uint64_t{1};  // the AC coefficients only
  unsigned long bits = 0;
  int previous = 0;
  while (nonzero != 0) {
    const int i = __builtin_ctzll(nonzero);
    nonzero &= nonzero - 1;
    static_assert(vlc_index(1, -255) == (0u | 1u << 9));
    bits += bits_lookup[amp_index[i] | static_cast<uint32_t>(i - previous - 1) << 9];
    previous = i;
  }
  return bits;
}

namespace {

// 2 x (v - 128) for eight bytes widened to 16 bits.
inline __m128i scale8(__m128i bytes_in_words) {
  const __m128i centred = _mm_sub_epi16(bytes_in_words, _mm_set1_epi16(128));
  return _mm_add_epi16(centred, centred);
}

}  // namespace

void to_encoder_scale_sse2(const uint8_t *in, int16_t *out, int n) {
  const __m128i zero = _mm_setzero_si128();
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), scale8(_mm_unpacklo_epi8(x, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i + 8), scale8(_mm_unpackhi_epi8(x, zero)));
  }
  for (; i < n; ++i) out[i] = encoder_sample(in[i]);
}

// Eight comparisons with zero, packed to bytes, give 16 bits a time.
uint64_t nonzero_ac_sse2(const dv_coeff_t *block) {
  const __m128i zero = _mm_setzero_si128();
  uint64_t zeros = 0;
  for (int v = 0; v < 8; v += 2) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * v));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * v + 8));
    const auto lanes = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero))));
    zeros |= uint64_t{lanes} << (8 * v);
  }
  return ~zeros & ~uint64_t{1};
}

// The largest and the smallest AC value, the magnitude taken in 32 bits
// (-32768 has none in 16).
int largest_ac_sse2(const dv_coeff_t *block) {
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block));
  // The DC lane takes the value of its neighbour, which counts anyway.
  const __m128i ac = _mm_shufflelo_epi16(first, _MM_SHUFFLE(3, 2, 1, 1));
  __m128i high = ac, low = ac;
  for (int v = 1; v < 8; ++v) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * v));
    high = _mm_max_epi16(high, x);
    low = _mm_min_epi16(low, x);
  }
  high = _mm_max_epi16(high, _mm_srli_si128(high, 8));
  low = _mm_min_epi16(low, _mm_srli_si128(low, 8));
  high = _mm_max_epi16(high, _mm_srli_si128(high, 4));
  low = _mm_min_epi16(low, _mm_srli_si128(low, 4));
  high = _mm_max_epi16(high, _mm_srli_si128(high, 2));
  low = _mm_min_epi16(low, _mm_srli_si128(low, 2));
  const int largest = static_cast<int16_t>(_mm_cvtsi128_si32(high));
  const int smallest = static_cast<int16_t>(_mm_cvtsi128_si32(low));
  return std::max({largest, -smallest, 0});
}

namespace {

// The magnitudes of a - b for eight 16-bit lanes, in 32 bits, summed in
// pairs into four 32-bit lanes (lanes where `keep` is 0 add nothing).
inline __m128i sum_differences(__m128i a, __m128i b, __m128i keep) {
  const __m128i a_lo = _mm_srai_epi32(_mm_unpacklo_epi16(a, a), 16);
  const __m128i a_hi = _mm_srai_epi32(_mm_unpackhi_epi16(a, a), 16);
  const __m128i b_lo = _mm_srai_epi32(_mm_unpacklo_epi16(b, b), 16);
  const __m128i b_hi = _mm_srai_epi32(_mm_unpackhi_epi16(b, b), 16);
  auto magnitude = [](__m128i d) {
    const __m128i sign = _mm_srai_epi32(d, 31);
    return _mm_sub_epi32(_mm_xor_si128(d, sign), sign);
  };
  const __m128i keep_lo = _mm_unpacklo_epi16(keep, keep), keep_hi = _mm_unpackhi_epi16(keep, keep);
  return _mm_add_epi32(_mm_and_si128(keep_lo, magnitude(_mm_sub_epi32(a_lo, b_lo))),
                       _mm_and_si128(keep_hi, magnitude(_mm_sub_epi32(a_hi, b_hi))));
}

inline int lanes_sum(__m128i x) {
  x = _mm_add_epi32(x, _mm_srli_si128(x, 8));
  x = _mm_add_epi32(x, _mm_srli_si128(x, 4));
  return _mm_cvtsi128_si32(x);
}

}  // namespace

// Vertical neighbours are the lanes of a column's vector and the next lane
// (the last lane has none); horizontal neighbours the same lane of two
// columns' vectors.
void neighbour_differences_sse2(const dv_coeff_t *block, int sums[2]) {
  const __m128i all = _mm_set1_epi16(-1);
  const __m128i but_last = _mm_srli_si128(all, 2);
  __m128i column[8];
  for (int c = 0; c < 8; ++c)
    column[c] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 8 * c));
  __m128i v = _mm_setzero_si128(), h = _mm_setzero_si128();
  for (int c = 0; c < 8; ++c) {
    v = _mm_add_epi32(v, sum_differences(column[c], _mm_srli_si128(column[c], 2), but_last));
    if (c < 7) h = _mm_add_epi32(h, sum_differences(column[c], column[c + 1], all));
  }
  sums[0] = lanes_sum(v);
  sums[1] = lanes_sum(h);
}

void load_transposed_sse2(const int16_t *lines, int stride, dv_coeff_t *block) {
  __m128i x[8];
  for (int l = 0; l < 8; ++l)
    x[l] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lines + l * stride));
  transpose(x);
  for (int c = 0; c < 8; ++c) _mm_storeu_si128(reinterpret_cast<__m128i *>(block + 8 * c), x[c]);
}

// floor((a + b) / 2) in 16 bits: both halves rounded down, and the one
// that both odd values lose put back.
void load_transposed_line_pairs_sse2(const int16_t *lines, int stride, dv_coeff_t *block) {
  const __m128i one = _mm_set1_epi16(1);
  __m128i x[8];
  for (int l = 0; l < 8; ++l) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lines + 2 * l * stride));
    const __m128i b =
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(lines + (2 * l + 1) * stride));
    x[l] = _mm_add_epi16(_mm_add_epi16(_mm_srai_epi16(a, 1), _mm_srai_epi16(b, 1)),
                         _mm_and_si128(_mm_and_si128(a, b), one));
  }
  transpose(x);
  for (int c = 0; c < 8; ++c) _mm_storeu_si128(reinterpret_cast<__m128i *>(block + 8 * c), x[c]);
}

}  // namespace tarsk::dsp::x86
