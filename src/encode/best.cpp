// The high-quality segment search: spends a video segment's fixed bit
// budget by rate and distortion instead of the greedy quantiser steps.
//
// Each block is transformed exactly (a projection on the decoder's own
// basis functions, measured once from its dequantisation, weighting and
// inverse transforms), then quantised by rounding at every distinct set of
// area steps a (qno, class) pair can give. Each such trial has a bit count
// and a distortion measured as the decoder reconstructs it. A Lagrangian
// search then picks, for the whole segment at once, each macroblock's qno
// and each block's class (and DCT mode where the caller leaves it free)
// that minimise the distortion plus lambda times the bits; lambda is
// bisected until the segment's codes fit its areas, and the spare bits go
// to macroblocks that can use them.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "common/scan.h"
#include "common/transform.h"
#include "encode/encode.h"

namespace tarsk {
namespace {

constexpr int mbs = dif::macroblocks_per_segment;
constexpr int modes = 2;  // 0: 8x8, 1: 2-4-8

// The decoder's view of a block. Its basis functions are those of the
// orthonormal transforms (the 8x8 DCT; for 2-4-8 a 4-point DCT of each
// field's lines, their sum and difference, then an 8-point DCT along the
// lines), each scaled by what dequantisation at step 1, weighting and the
// inverse transform give it. The scales are measured once from the
// decoder's own reconstruction of a unit coefficient, so a coefficient is
// the orthonormal transform's value divided by its scale, and an error e
// in it costs e^2 scale^2 in squared sample error.
struct Basis {
  float vertical[modes][8][8];  // [mode][row of coefficients][line]
  float horizontal[8][8];       // [column of coefficients][sample of a line]
  float scale[modes][64];       // by scan position, in the encoder's sample scale
  float ac_energy[modes][64];   // scale squared; 0 for the DC, which has no step
  double worst_fit;             // largest share of a measured function off its model
};

double dct_basis(int n, int k, int points) {
  return (k == 0 ? std::sqrt(1.0 / points) : std::sqrt(2.0 / points)) *
         std::cos((2 * n + 1) * k * M_PI / (2 * points));
}

// Samples of the decoder's reconstruction of a block holding only `value`
// at raster position `at`, at the finest step (qno 15, class 0).
void reconstruct_impulse(int mode, int at, int value, dv_coeff_t out[64]) {
  std::memset(out, 0, 64 * sizeof(dv_coeff_t));
  out[at] = static_cast<dv_coeff_t>(value);
  if (mode == 1) {
    dv_248_coeff_t scaled[64];
    _dv_quant_248_inverse(out, 15, 0, scaled);
    dv_idct_248(scaled, out);
  } else {
    dequantise_weight_88(out, 15, 0);
    _dv_idct_88(out);
  }
}

Basis measure_basis() {
  Basis bs{};
  for (int k = 0; k < 8; ++k)
    for (int n = 0; n < 8; ++n) {
      bs.horizontal[k][n] = static_cast<float>(dct_basis(n, k, 8));
      bs.vertical[0][k][n] = bs.horizontal[k][n];
      // 2-4-8: rows 0-3 the sum of the fields (lines 0, 2, .. and 1, 3, ..),
      // rows 4-7 their difference.
      const double field = dct_basis(n / 2, k % 4, 4) * std::sqrt(0.5);
      bs.vertical[1][k][n] = static_cast<float>(k >= 4 && n % 2 ? -field : field);
    }
  for (int mode = 0; mode < modes; ++mode) {
    const int8_t *scan = scan_of(mode);
    for (int p = 0; p < 64; ++p) {
      // Grow the impulse until the samples carry 12 bits, for precision,
      // while the 16-bit dequantisation cannot overflow.
      dv_coeff_t out[64];
      int value = 1;
      for (;; value *= 2) {
        reconstruct_impulse(mode, scan[p], value, out);
        int largest = 0;
        for (int s = 0; s < 64; ++s) largest = std::max(largest, std::abs(int{out[s]}));
        if (largest >= 2048 || value >= 2048) break;
      }
      const int r = scan[p] / 8, h = scan[p] % 8;
      double along = 0, energy = 0, model[64], unit[64];
      for (int s = 0; s < 64; ++s) {
        unit[s] = static_cast<double>(out[s]) / value;
        model[s] = double{bs.vertical[mode][r][s / 8]} * bs.horizontal[h][s % 8];
        along += model[s] * unit[s];
        energy += unit[s] * unit[s];
      }
      double off = 0;
      for (int s = 0; s < 64; ++s)
        off += (unit[s] - along * model[s]) * (unit[s] - along * model[s]);
      bs.worst_fit = std::max(bs.worst_fit, off / energy);
      // The encoder's samples are twice the decoder's.
      bs.scale[mode][p] = static_cast<float>(2 * along);
      bs.ac_energy[mode][p] = p == 0 ? 0 : static_cast<float>(4 * along * along);
    }
  }
  return bs;
}

const Basis &basis() {
  static const Basis b = measure_basis();
  return b;
}

// The distinct step sets: a (qno, class) pair gives the row qno + the
// class's offset of the shift table, and class 3 one more shift in every
// area. Many pairs share their steps; each block is tried once per set.
// Per set and mode, each scan position's step and its inverse.
constexpr int max_sets = 16;
struct StepSets {
  int count = 0;
  std::array<std::array<int, 4>, max_sets> shifts{};  // per set, per area
  std::array<std::array<int, 4>, 16> of{};            // [qno][class] -> set
  float step[max_sets][modes][64], inverse[max_sets][modes][64];
  float area_inverse[max_sets][4];
  uint8_t area[modes][64];  // by scan position
};

StepSets build_step_sets() {
  StepSets t;
  for (int q = 0; q < 16; ++q)
    for (int k = 0; k < 4; ++k) {
      std::array<int, 4> s{};
      for (int a = 0; a < 4; ++a) s[a] = dv_quant_shifts[q + dv_quant_offset[k]][a] + (k == 3);
      int id = 0;
      while (id < t.count && t.shifts[id] != s) ++id;
      if (id == t.count) t.shifts[t.count++] = s;
      t.of[q][k] = id;
    }
  for (int mode = 0; mode < modes; ++mode)
    for (int p = 1; p < 64; ++p)
      t.area[mode][p] = (mode ? dv_248_areas : dv_88_areas)[scan_of(mode)[p]];
  for (int id = 0; id < t.count; ++id)
    for (int a = 0; a < 4; ++a)
      t.area_inverse[id][a] = 1.0f / static_cast<float>(1 << t.shifts[id][a]);
  for (int id = 0; id < t.count; ++id)
    for (int mode = 0; mode < modes; ++mode) {
      const uint8_t *areas = mode ? dv_248_areas : dv_88_areas;
      const int8_t *scan = scan_of(mode);
      t.step[id][mode][0] = 0;  // the DC is not quantised here
      t.inverse[id][mode][0] = 0;
      for (int p = 1; p < 64; ++p) {
        const int step = 1 << t.shifts[id][areas[scan[p]]];
        t.step[id][mode][p] = static_cast<float>(step);
        t.inverse[id][mode][p] = 1.0f / static_cast<float>(step);
      }
    }
  return t;
}

const StepSets &step_sets() {
  static const StepSets t = build_step_sets();
  return t;
}

// A block's exact coefficients in scan order per DCT mode, and each trial's
// bits and distortion.
struct BlockTrials {
  float coeffs[modes][64];
  int bits[modes][max_sets];
  float distortion[modes][max_sets];
};

// Quantises a block's AC coefficients at a step set by rounding to the
// nearest step, limited to what an amplitude escape carries; returns the
// distortion.
// All 64 positions are worked alike, four sums at a time, so that the
// compiler can use vectors; the DC's step, inverse and energy are 0, which
// leaves out[0] 0 and adds nothing.
float quantise(const float *__restrict coeffs, const float *__restrict step,
               const float *__restrict inverse, const float *__restrict energy,
               dv_coeff_t *__restrict out) {
  float errors[64];
  int32_t values[64];
  for (int p = 0; p < 64; ++p) {
    const float magnitude = std::fabs(coeffs[p]);
    const int32_t v = std::min(static_cast<int32_t>(magnitude * inverse[p] + 0.5f), 255);
    const float e = magnitude - static_cast<float>(v) * step[p];
    errors[p] = e * e * energy[p];
    values[p] = coeffs[p] < 0 ? -v : v;
  }
  for (int p = 0; p < 64; ++p) out[p] = static_cast<dv_coeff_t>(values[p]);
  float sums[4] = {};
  for (int p = 0; p < 64; p += 4)
    for (int i = 0; i < 4; ++i) sums[i] += errors[p + i];
  return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

float quantise(const float *coeffs, int mode, int set, dv_coeff_t *out) {
  const StepSets &sets = step_sets();
  return quantise(coeffs, sets.step[set][mode], sets.inverse[set][mode], basis().ac_energy[mode],
                  out);
}

// The exact transform of a block of samples (as the fill leaves them:
// transposed, sample of column c and line l at 8c + l) into scan order.
void transform(const dv_coeff_t *samples, int mode, float *coeffs) {
  const Basis &bs = basis();
  float lines[8][8];  // [line][column of coefficients]
  for (int l = 0; l < 8; ++l)
    for (int h = 0; h < 8; ++h) {
      float sum = 0;
      for (int c = 0; c < 8; ++c) sum += bs.horizontal[h][c] * samples[8 * c + l];
      lines[l][h] = sum;
    }
  float raster[64];
  for (int r = 0; r < 8; ++r)
    for (int h = 0; h < 8; ++h) {
      float sum = 0;
      for (int l = 0; l < 8; ++l) sum += bs.vertical[mode][r][l] * lines[l][h];
      raster[8 * r + h] = sum;
    }
  const int8_t *scan = scan_of(mode);
  for (int p = 0; p < 64; ++p) coeffs[p] = raster[scan[p]] / bs.scale[mode][p];
}

// A step set leaves a block empty when the largest value of each area
// rounds to 0: then it has no codes, and its distortion is the energy of
// all its AC values. Most sets of quiet blocks are such, and need no trial.
void try_block(const dv_block_t &bl, int first_mode, int last_mode, BlockTrials &t) {
  const StepSets &sets = step_sets();
  for (int mode = first_mode; mode <= last_mode; ++mode) {
    const float *energy = basis().ac_energy[mode];
    const float *f = t.coeffs[mode];
    transform(bl.coeffs, mode, t.coeffs[mode]);
    float largest[4] = {}, empty = 0;
    for (int p = 1; p < 64; ++p) {
      float &l = largest[sets.area[mode][p]];
      l = std::max(l, std::fabs(f[p]));
      empty += f[p] * f[p] * energy[p];
    }
    for (int id = 0; id < sets.count; ++id) {
      bool rounds_to_0 = true;
      for (int a = 0; a < 4; ++a)
        rounds_to_0 = rounds_to_0 && largest[a] * sets.area_inverse[id][a] + 0.5f < 1.0f;
      if (rounds_to_0) {
        t.distortion[mode][id] = empty;
        t.bits[mode][id] = 0;
        continue;
      }
      dv_coeff_t q[64];
      t.distortion[mode][id] = quantise(f, sets.step[id][mode], sets.inverse[id][mode], energy, q);
      t.bits[mode][id] = static_cast<int>(_dv_vlc_num_bits_block(q));
    }
  }
}

struct Segment {
  BlockTrials trials[mbs][6];
  int first_mode[mbs][6], last_mode[mbs][6];  // the modes tried
};

// What a macroblock takes at some lambda: its qno, each block's class and
// mode, and their bits and distortion.
struct MacroblockChoice {
  int qno = 15, bits = 0;
  float distortion = 0;
  int klass[6] = {}, mode[6] = {};
};

MacroblockChoice best_of_macroblock(const Segment &sg, int m, float lambda) {
  const StepSets &sets = step_sets();
  // Each block's cost per step set, in its better mode.
  float cost[6][max_sets];
  int mode_of[6][max_sets];
  for (int b = 0; b < 6; ++b) {
    const BlockTrials &t = sg.trials[m][b];
    for (int id = 0; id < sets.count; ++id) {
      cost[b][id] = INFINITY;
      for (int mode = sg.first_mode[m][b]; mode <= sg.last_mode[m][b]; ++mode) {
        const float c = t.distortion[mode][id] + lambda * static_cast<float>(t.bits[mode][id]);
        if (c < cost[b][id]) {
          cost[b][id] = c;
          mode_of[b][id] = mode;
        }
      }
    }
  }
  // The qno whose blocks, each in its cheapest class, cost least; the
  // finer of equal ones.
  auto cheapest_class = [&](int b, int qno) {
    int best = 0;
    for (int k = 1; k < 4; ++k)
      if (cost[b][sets.of[qno][k]] < cost[b][sets.of[qno][best]]) best = k;
    return best;
  };
  MacroblockChoice c;
  float best_cost = INFINITY;
  for (int qno = 15; qno >= 0; --qno) {
    float total = 0;
    for (int b = 0; b < 6; ++b) total += cost[b][sets.of[qno][cheapest_class(b, qno)]];
    if (total < best_cost) {
      best_cost = total;
      c.qno = qno;
    }
  }
  for (int b = 0; b < 6; ++b) {
    const int id = sets.of[c.qno][c.klass[b] = cheapest_class(b, c.qno)];
    const int mode = c.mode[b] = mode_of[b][id];
    c.bits += sg.trials[m][b].bits[mode][id];
    c.distortion += sg.trials[m][b].distortion[mode][id];
  }
  return c;
}

struct SegmentChoice {
  MacroblockChoice mb[mbs];
  long bits = 0;
};

SegmentChoice choose(const Segment &sg, float lambda) {
  SegmentChoice c;
  for (int m = 0; m < mbs; ++m) {
    c.mb[m] = best_of_macroblock(sg, m, lambda);
    c.bits += c.mb[m].bits;
  }
  return c;
}

// The choice that fits the segment's budget with the least distortion
// lambda can find: lambda 0 (the finest steps) when it fits; otherwise
// lambda is bisected on a log scale between an overflowing and a fitting
// choice, and then macroblocks take the overflowing side's finer choice
// where the spare bits allow, the largest gain first. When not even the
// coarsest choice fits, that one. `evaluations` counts the choices made.
SegmentChoice search(const Segment &sg, int &evaluations) {
  SegmentChoice fit = choose(sg, 0);
  evaluations = 1;
  if (fit.bits <= segment_code_budget) return fit;
  SegmentChoice over = fit;
  // A bracket: lambda grows by 16 from 16 until the codes fit.
  float low = 0, high = 16;
  for (;; low = high, high *= 16) {
    fit = choose(sg, high);
    ++evaluations;
    if (fit.bits <= segment_code_budget) break;
    if (high > 1e12f) return fit;  // nothing fits: the coarsest
    over = fit;
  }
  for (int i = 0; i < 6; ++i) {
    const float mid = low == 0 ? high / 16 : std::sqrt(low * high);
    SegmentChoice c = choose(sg, mid);
    ++evaluations;
    if (c.bits <= segment_code_budget) {
      fit = c;
      high = mid;
    } else {
      over = c;
      low = mid;
    }
  }
  for (;;) {
    int pick = -1;
    float gain = 0;
    for (int m = 0; m < mbs; ++m) {
      const long bits = fit.bits - fit.mb[m].bits + over.mb[m].bits;
      const float g = fit.mb[m].distortion - over.mb[m].distortion;
      if (bits <= segment_code_budget && g > gain) {
        gain = g;
        pick = m;
      }
    }
    if (pick < 0) return fit;
    fit.bits += over.mb[pick].bits - fit.mb[pick].bits;
    fit.mb[pick] = over.mb[pick];
  }
}

}  // namespace

void quant_best(dv_videosegment_t *seg, dv_vlc_block_t *vblocks, int force_dct,
                EncodeStats &stats) {
  static thread_local Segment sg;
  for (int m = 0; m < mbs; ++m)
    for (int b = 0; b < 6; ++b) {
      const dv_block_t &bl = seg->mb[m].b[b];
      // Both transforms are tried unless the caller forces one: 2-4-8 is
      // often the more precise at fine steps even without motion.
      sg.first_mode[m][b] = force_dct == -1 ? 0 : force_dct;
      sg.last_mode[m][b] = force_dct == -1 ? 1 : force_dct;
      try_block(bl, sg.first_mode[m][b], sg.last_mode[m][b], sg.trials[m][b]);
    }
  int evaluations = 0;
  const SegmentChoice fit = search(sg, evaluations);
  ++stats.cycles_used[std::min(evaluations, 449)];
  const StepSets &sets = step_sets();
  for (int m = 0; m < mbs; ++m) {
    dv_macroblock_t &mb = seg->mb[m];
    const MacroblockChoice &c = fit.mb[m];
    mb.qno = c.qno;
    ++stats.qnos_used[c.qno];
    for (int b = 0; b < 6; ++b) {
      dv_block_t &bl = mb.b[b];
      bl.class_no = c.klass[b];
      bl.dct_mode = c.mode[b];
      ++stats.classes_used[bl.class_no];
      ++stats.dct_used[bl.dct_mode];
      const float *f = sg.trials[m][b].coeffs[bl.dct_mode];
      quantise(f, bl.dct_mode, sets.of[c.qno][bl.class_no], bl.coeffs);
      bl.coeffs[0] = static_cast<dv_coeff_t>(std::clamp(std::lround(f[0]), -256L, 255L));
      vlc_encode_block(bl.coeffs, &vblocks[6 * m + b]);
    }
  }
  // Only a segment that overflows at the coarsest steps is cut.
  if (fit.bits > segment_code_budget) vlc_make_fit(vblocks, 30, segment_area_bits, stats);
}

}  // namespace tarsk
