// The encoder's SSE2 kernels.
#include <emmintrin.h>

#include <array>

#include "common/transform.h"
#include "common/vlc.h"
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
  __m128i is_zero[8];
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
    bits += bits_lookup[vlc_index(i - previous - 1, out[i])];
    previous = i;
  }
  return bits;
}

}  // namespace tarsk::dsp::x86
