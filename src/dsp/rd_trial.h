// The best encoder's kernels, written once and compiled by each kernel file
// for its instruction set (plain, or AVX2 in dsp/x86): the transforms over
// a lane type, the trial quantisation as loops over the 64 positions that
// the compiler turns into vectors of the width it is given. Every value
// goes through the same single-precision operations in the same order
// whatever the width (the build forbids fusing a multiply with an add,
// -ffp-contract=off), so the kernels agree bit for bit.
//
// Internal linkage: each kernel file has its own copy.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/bytes.h"
#include "common/scan.h"
#include "common/transform.h"
#include "common/vlc.h"
#include "dsp/dsp.h"

namespace tarsk::dsp {
namespace {

// The exact transform of a block of samples (as the encoder's fill leaves
// them: transposed, sample of column c and line l at 8c + l) in the modes
// first_mode to last_mode, into scan order: along the lines, the same in
// both modes, then across them, eight columns of coefficients at a time in
// the lanes of V (a row of eight floats with +, - and *, and V::load,
// V::store and V::splat), so that every value goes through the same
// operations whatever the lanes are.

// The raster order's values in scan order, each position spelled out so
// that the compiler sees where every value comes from.
template <int mode, size_t... p>
inline void rd_to_scan_order(const float *raster, float *coeffs, std::index_sequence<p...>) {
  ((coeffs[p] = raster[scan_of(mode)[p]]), ...);
}

// Across the lines each row of coefficients takes sums or differences of
// line pairs: 8x8 rows the pairs mirrored about the middle (even rows
// their sums, odd rows their differences), 2-4-8 rows the two fields' lines
// next to each other (rows 0-3 sums, 4-7 differences). Row r weights pair
// j by the factor of the pair's first line; each coefficient is then
// times its scale.
template <class V, int mode>
inline void rd_transform_across(const V *lines, const RdBasis &bs, float *coeffs) {
  V sums[4], differences[4];
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) {
    const V a = lines[mode ? 2 * j : j], b = lines[mode ? 2 * j + 1 : 7 - j];
    sums[j] = a + b;
    differences[j] = a - b;
  }
  float raster[64];
#pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) {
    const V *pairs = (mode ? r < 4 : r % 2 == 0) ? sums : differences;
    V row = V::splat(bs.vertical[mode][r][0]) * pairs[0];
#pragma GCC unroll 3
    for (int j = 1; j < 4; ++j) row = row + V::splat(bs.vertical[mode][r][mode ? 2 * j : j]) * pairs[j];
    V::store(raster + 8 * r, row * V::load(bs.raster_scale[mode] + 8 * r));
  }
  rd_to_scan_order<mode>(raster, coeffs, std::make_index_sequence<64>());
}

template <class V>
inline void rd_transform_lanes(const dv_coeff_t *samples, const RdBasis &bs, int first_mode,
                               int last_mode, float (*coeffs)[64]) {
  // Along the lines with the lines in the lanes: each column of samples
  // (transposed, they lie together) times each column of coefficients'
  // factor, summed over the columns in order; then the rows and lanes
  // swapped, a line's columns of coefficients in the lanes.
  V columns[8], lines[8];
#pragma GCC unroll 8
  for (int c = 0; c < 8; ++c) columns[c] = V::load_samples(samples + 8 * c);
#pragma GCC unroll 8
  for (int h = 0; h < 8; ++h) {
    V sum = V::splat(bs.horizontal_by_sample[0][h]) * columns[0];
#pragma GCC unroll 7
    for (int c = 1; c < 8; ++c) sum = sum + V::splat(bs.horizontal_by_sample[c][h]) * columns[c];
    lines[h] = sum;
  }
  transpose(lines);
  if (first_mode == 0) rd_transform_across<V, 0>(lines, bs, coeffs[0]);
  if (last_mode == 1) rd_transform_across<V, 1>(lines, bs, coeffs[1]);
}

// 64 flags of one byte each (0 or 1) as the bits of a word, position p's
// flag in bit p. Eight flags at a time: read little-endian, position i's
// flag is bit 8i, and the multiplication moves each byte's low bit to its
// own bit of the top byte.
inline uint64_t flag_bits(const uint8_t *flags) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    const uint64_t eight = load_le64(flags + 8 * i);
    bits |= ((eight * 0x0102040810204080ull) >> 56) << (8 * i);
  }
  return bits;
}

// Quantises a block's coefficients (scan order) at a step per position,
// each magnitude rounded up from `offset` of a step on and limited to what
// an amplitude escape carries (255): the distortion, the sum of each
// error squared times the position's energy, is returned and the code
// bits without the end of block (the DC left out: bit 0 of the non-zero
// positions is never counted) go to `bits`. Where `out` is given the
// signed values go there (an inverse of 0 leaves a position 0).
inline float rd_quantise(const float *__restrict coeffs, const float *__restrict step,
                         const float *__restrict inverse, const float *__restrict energy,
                         float offset, int *bits, dv_coeff_t *__restrict out) {
  float errors[64];
  int32_t values[64];  // magnitudes
  uint8_t flags[64];
  for (int p = 0; p < 64; ++p) {
    const float magnitude = std::fabs(coeffs[p]);
    const int32_t v = std::min(static_cast<int32_t>(magnitude * inverse[p] + offset), 255);
    const float e = magnitude - static_cast<float>(v) * step[p];
    errors[p] = e * e * energy[p];
    values[p] = v;
    flags[p] = v != 0;
  }
  if (out)
    for (int p = 0; p < 64; ++p)
      out[p] = static_cast<dv_coeff_t>(coeffs[p] < 0 ? -values[p] : values[p]);
  if (bits) {
    uint64_t nonzero = flag_bits(flags) & ~uint64_t{1};
    // A code's length does not depend on its sign: the codes are counted by
    // magnitude, 1 to 255, which needs no limiting (vlc_index's layout: the
    // run above the value + 255).
    const uint8_t *by_magnitude = vlc_num_bits_lookup + vlc_index(0, 0);
    int count = 0;
    for (int last = 0; nonzero != 0; nonzero &= nonzero - 1) {
      const int p = std::countr_zero(nonzero);
      count += by_magnitude[vlc_index(p - last - 1, 0) - vlc_index(0, 0) + values[p]];
      last = p;
    }
    *bits = count;
  }
  // Two vectors of running sums, for a shorter chain of additions.
  float sums[8] = {};
  for (int p = 0; p < 64; p += 8)
    for (int i = 0; i < 8; ++i) sums[i] += errors[p + i];
  return ((sums[0] + sums[4]) + (sums[1] + sums[5])) + ((sums[2] + sums[6]) + (sums[3] + sums[7]));
}

// 1 at the scan positions of each area, 0 elsewhere.
struct RdInArea {
  float in[4][64];
  constexpr RdInArea() : in{} {
    for (int a = 0; a < 4; ++a)
      for (int p = scan_area_start[a]; p < scan_area_start[a + 1]; ++p) in[a][p] = 1;
  }
};
inline constexpr RdInArea rd_in_area_table{};
inline constexpr const float (&rd_in_area)[4][64] = rd_in_area_table.in;

// A block's coefficients quantised at one step, 2^shift, in every area (the
// areas being runs of scan positions, scan_area_start[a] up to
// scan_area_start[a + 1]; the DC is left out), rounded as rd_quantise does:
// each area's share of a trial at a set of steps (see RdShare).
inline void rd_shares(const float *__restrict coeffs, const float *__restrict energy, int shift,
                      float offset, RdShare *out) {
  const float step = static_cast<float>(1 << shift), inverse = 1 / step;
  float errors[64];
  int32_t values[64];
  uint8_t flags[64];
  for (int p = 0; p < 64; ++p) {
    const float magnitude = std::fabs(coeffs[p]);
    const int32_t v = std::min(static_cast<int32_t>(magnitude * inverse + offset), 255);
    const float e = magnitude - static_cast<float>(v) * step;
    errors[p] = e * e * energy[p];
    values[p] = v;
    flags[p] = v != 0;
  }
  const uint64_t nonzero = flag_bits(flags);
  const uint8_t *by_magnitude = vlc_num_bits_lookup + vlc_index(0, 0);
  for (int a = 0; a < 4; ++a) {
    const int begin = scan_area_start[a], end = scan_area_start[a + 1];
    // Eight running sums over the groups of eight positions the area
    // touches, the positions outside it weighted 0.
    float sums[8] = {};
    for (int g = begin & ~7; g < end; g += 8)
      for (int i = 0; i < 8; ++i) sums[i] += errors[g + i] * rd_in_area[a][g + i];
    RdShare &s = out[a];
    s.distortion =
        ((sums[0] + sums[4]) + (sums[1] + sums[5])) + ((sums[2] + sums[6]) + (sums[3] + sums[7]));
    const uint64_t below_end = end == 64 ? ~uint64_t{0} : (uint64_t{1} << end) - 1;
    uint64_t mask = nonzero & below_end & ~((uint64_t{1} << begin) - 1) & ~uint64_t{1};
    s.bits = 0;
    s.first = s.last = s.first_value = 0;
    if (mask == 0) continue;
    int last = std::countr_zero(mask);
    s.first = last;
    s.first_value = values[last];
    int count = 0;
    for (mask &= mask - 1; mask != 0; mask &= mask - 1) {
      const int p = std::countr_zero(mask);
      count += by_magnitude[vlc_index(p - last - 1, 0) - vlc_index(0, 0) + values[p]];
      last = p;
    }
    s.bits = count;
    s.last = last;
  }
}

}  // namespace
}  // namespace tarsk::dsp
