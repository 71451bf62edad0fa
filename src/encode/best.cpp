// The high-quality segment search: spends a video segment's fixed bit
// budget by rate and distortion instead of the greedy quantiser steps.
//
// Each block is transformed exactly in both DCT modes (in floating point,
// scaled to what the decoder's dequantisation, weighting and inverse
// transforms make of a coefficient). Where the whole segment fits at the
// finest steps rounded to the nearest, each block in the mode that leaves
// it closest to its samples, that is the choice: clean footage mostly
// does. Otherwise each block is given a mode and tried at every distinct
// set of area steps a (qno, class) pair can give, each trial put together
// from the block's quantisation at one step in all areas (dsp::RdShare):
// its bits and its distortion in squared sample error as the decoder
// reconstructs the block (luminance counted twice). A Lagrangian search
// then picks, for the whole segment at once, each macroblock's qno and each
// block's class that minimise the distortion plus lambda times the bits;
// lambda is bisected until the segment's codes fit its areas, and the
// spare bits go to macroblocks that can use them, then to rounding to the
// nearest step or the other DCT mode.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "common/scan.h"
#include "common/transform.h"
#include "dsp/dsp.h"
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
// decoder's own reconstruction of a coefficient, so a coefficient is the
// orthonormal transform's value divided by its scale, and an error e in it
// costs e^2 scale^2 in squared sample error.
struct Basis {
  dsp::RdBasis transform;      // the transforms' factors (see dsp::RdBasis)
  float horizontal[8][8];      // [column of coefficients][sample of a line]
  float ac_energy[modes][64];  // scale squared; 0 for the DC, which has no step
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
      bs.transform.horizontal_by_sample[n][k] = bs.horizontal[k][n];
      bs.transform.vertical[0][k][n] = bs.horizontal[k][n];
      // 2-4-8: rows 0-3 the sum of the fields (lines 0, 2, .. and 1, 3, ..),
      // rows 4-7 their difference.
      const double field = dct_basis(n / 2, k % 4, 4) * std::sqrt(0.5);
      bs.transform.vertical[1][k][n] = static_cast<float>(k >= 4 && n % 2 ? -field : field);
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
      // The reconstruction is the orthonormal function times a scale (to
      // some 1e-6 of its energy): the scale is their inner product.
      double along = 0;
      for (int s = 0; s < 64; ++s)
        along += double{bs.transform.vertical[mode][r][s / 8]} * bs.horizontal[h][s % 8] *
                 out[s] / value;
      // The 8x8 inverse weights are integers near the exact 1 / weight; a
      // decoder that weights exactly (as the format defines, and ffmpeg does)
      // reconstructs by the exact one, which the coefficients aim at.
      if (mode == 0) along *= 1 / (weight_88(r, h) * dv_weight_inverse_88_matrix[scan[p]]);
      // The encoder's samples are twice the decoder's.
      bs.transform.raster_scale[mode][scan[p]] = static_cast<float>(1 / (2 * along));
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

// Values round to the nearer step only from 0.6 of a step on: rounding
// down a little more often saves more bits than it costs where the budget
// is tight. Where a segment has bits to spare, its blocks round to the
// nearest step instead (see spend_spare_bits).
constexpr float rounding = 0.4f;
constexpr float nearest = 0.5f;

// A lambda typical of the search's (distortion per bit, measured), by
// which the DCT mode of a block is chosen.
constexpr float mode_lambda = 20;

// A block's AC coefficients (scan order) quantised at a step set, each
// magnitude rounded up from `offset` of a step on (the DC's step, inverse
// and energy are 0, which leaves it 0 and adds nothing): the distortion is
// returned and the code bits without the end of block go to `bits`; the
// values go to `out` where it is given (a trial keeps none).
float quantise(const dsp::EncodeDsp &k, const float *coeffs, int mode, int set, float offset,
               int &bits, dv_coeff_t *out = nullptr) {
  const StepSets &sets = step_sets();
  return k.rd_quantise(coeffs, sets.step[set][mode], sets.inverse[set][mode],
                       basis().ac_energy[mode], offset, &bits, out);
}

// The largest magnitude of a block's AC coefficients (scan order): eight
// running maxima over the groups of eight after the first, whose seven AC
// values are taken one by one (maxima of values, which need no branch).
float largest_ac(const float *f) {
  auto larger = [](float a, float b) { return a < b ? b : a; };
  float m[8] = {};
  for (int p = 8; p < 64; p += 8)
    for (int i = 0; i < 8; ++i) m[i] = larger(m[i], std::fabs(f[p + i]));
  for (int p = 1; p < 8; ++p) m[p] = larger(m[p], std::fabs(f[p]));
  return larger(larger(larger(m[0], m[1]), larger(m[2], m[3])),
                larger(larger(m[4], m[5]), larger(m[6], m[7])));
}

// A block's trials: its exact coefficients, and its bits and distortion
// at every step set in each of its modes, put together from its shares at
// each step (dsp::RdShare).
constexpr int shifts_tried = 6;  // steps 1 to 32

struct Trials {
  int first_mode, last_mode;  // the modes it may take
  bool either;                // the caller left the mode free (both transformed)
  float coeffs[modes][64];    // exact, in scan order
  float largest[modes];       // the largest AC magnitude
  float weight;
  int bits[modes][max_sets];
  float distortion[modes][max_sets];
  dsp::RdShare shares[modes][shifts_tried][4];  // [mode][shift][area]
  int shared[modes];                            // the shares are there at shifts below this
  // The values of the last trial kept in each mode, with its set and
  // rounding (set -1: none), for the block's final quantisation.
  dv_coeff_t kept[modes][64];
  int kept_set[modes];
  float kept_offset[modes];
  // In the block's one mode once chosen, the trial of each class and qno:
  // [class][qno].
  float by_qno_distortion[4][16], by_qno_bits[4][16];
};

// The block's shares in a mode at the shifts below `end` it lacks. Where
// every value is 0 at a step, it is at every coarser one, with the same
// errors: those shares are copies.
void share_out(const dsp::EncodeDsp &k, Trials &t, int mode, int end) {
  for (; t.shared[mode] < end; ++t.shared[mode]) {
    dsp::RdShare *shares = t.shares[mode][t.shared[mode]];
    const dsp::RdShare *finer = t.shared[mode] > 0 ? t.shares[mode][t.shared[mode] - 1] : nullptr;
    if (finer && finer[0].first == 0 && finer[1].first == 0 && finer[2].first == 0 &&
        finer[3].first == 0)
      std::copy(finer, finer + 4, shares);
    else
      k.rd_shares(t.coeffs[mode], basis().ac_energy[mode], t.shared[mode], rounding, shares);
  }
}

// Tries a set on a block in a mode, from the shares at its steps.
void try_set(const StepSets &sets, Trials &t, int mode, int id) {
  float distortion = 0;
  int bits = 0, last = 0;
  for (int a = 0; a < 4; ++a) {
    const dsp::RdShare &s = t.shares[mode][sets.shifts[id][a]][a];
    distortion += s.distortion;
    if (s.first == 0) continue;
    bits += s.bits + vlc_num_bits_lookup[vlc_index(s.first - last - 1, s.first_value)];
    last = s.last;
  }
  t.bits[mode][id] = bits;
  t.distortion[mode][id] = t.weight * distortion;
}

// Transforms a block in its modes.
void transform_block(const dsp::EncodeDsp &k, const dv_block_t &bl, int first_mode,
                     int last_mode, float weight, Trials &t) {
  t.weight = weight;
  t.first_mode = first_mode;
  t.last_mode = last_mode;
  t.either = first_mode != last_mode;
  k.rd_transform(bl.coeffs, basis().transform, first_mode, last_mode, t.coeffs);
  for (int mode = first_mode; mode <= last_mode; ++mode) {
    t.largest[mode] = largest_ac(t.coeffs[mode]);
    t.shared[mode] = 0;
    t.kept_set[mode] = -1;
  }
}

// Gives the block one mode and tries it at the finest steps. Where both
// modes are allowed, the block is tried in both at a fine and a middle
// step (qno 15 and 6, class 1) and keeps the one of smaller distortion plus
// mode_lambda times the bits there: trying both at every step would take
// some 20 % more time for a tenth or two of a dB.
void decide_mode(const dsp::EncodeDsp &k, Trials &t) {
  const StepSets &sets = step_sets();
  const int fine = sets.of[15][1], middle = sets.of[6][1], finest = sets.of[15][0];
  if (t.either) {
    int end = 0;
    for (int a = 0; a < 4; ++a)
      end = std::max({end, sets.shifts[fine][a] + 1, sets.shifts[middle][a] + 1});
    for (int mode = 0; mode < modes; ++mode) {
      share_out(k, t, mode, end);
      try_set(sets, t, mode, fine);
      try_set(sets, t, mode, middle);
    }
    auto cost = [&](int mode) {
      return t.distortion[mode][fine] + t.distortion[mode][middle] +
             mode_lambda * static_cast<float>(t.bits[mode][fine] + t.bits[mode][middle]);
    };
    t.first_mode = t.last_mode = cost(0) <= cost(1) ? 0 : 1;
  }
  // The finest steps, which the segment takes where they fit.
  share_out(k, t, t.first_mode, 1);
  try_set(sets, t, t.first_mode, finest);
}

// A trial whose values the block keeps, in case it is the one chosen.
float kept_trial(const dsp::EncodeDsp &k, Trials &t, int mode, int set, float offset, int &bits) {
  t.kept_set[mode] = set;
  t.kept_offset[mode] = offset;
  return quantise(k, t.coeffs[mode], mode, set, offset, bits, t.kept[mode]);
}

// Whether a value of the block at the finest steps, rounded from `offset`
// of a step on, is beyond what an amplitude escape carries (smooth, strong
// chroma): a coarser step may then be the closer one.
bool beyond_escape(const Trials &t, int mode, float offset) {
  return t.largest[mode] + offset >= 256;
}

// The block's trials at every set in its one mode, laid out by class and
// qno, bits as floats (exact) for the search's costs.
void finish_block(const dsp::EncodeDsp &k, Trials &t) {
  const StepSets &sets = step_sets();
  share_out(k, t, t.first_mode, shifts_tried);
  for (int id = 0; id < sets.count; ++id) try_set(sets, t, t.first_mode, id);
  for (int k = 0; k < 4; ++k)
    for (int q = 0; q < 16; ++q) {
      const int id = sets.of[q][k];
      t.by_qno_distortion[k][q] = t.distortion[t.first_mode][id];
      t.by_qno_bits[k][q] = static_cast<float>(t.bits[t.first_mode][id]);
    }
}

// Luminance errors count this many times chroma's: luminance is where the
// eye (and its PSNR) looks, and chroma's few samples cost few bits anyway.
// 4:1:1 chroma, a quarter of the width at full height, carries more of a
// picture's detail in each block than 4:2:0's and needs more of the bits:
// these weights hold every plane at or above ffmpeg's DV encoder on grainy
// sources of both kinds with luma at least 0.5 dB above it (measured with
// bench/quality_encode.sh).
constexpr float luma_weight_420 = 1.75f, luma_weight_411 = 1.25f;

struct Segment {
  Trials trials[mbs][6];
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
  // Each qno's cost: its blocks' costs, each block in its cheapest class,
  // worked for all 16 qnos at once from the blocks' trials laid out by
  // class and qno.
  float total[16] = {};
  for (int b = 0; b < 6; ++b) {
    const Trials &t = sg.trials[m][b];
    float least[16];
    for (int q = 0; q < 16; ++q) least[q] = t.by_qno_distortion[0][q] + lambda * t.by_qno_bits[0][q];
    for (int k = 1; k < 4; ++k)
      for (int q = 0; q < 16; ++q) {
        const float c = t.by_qno_distortion[k][q] + lambda * t.by_qno_bits[k][q];
        least[q] = c < least[q] ? c : least[q];
      }
    for (int q = 0; q < 16; ++q) total[q] += least[q];
  }
  // The qno whose blocks cost least; the finer of equal ones.
  MacroblockChoice c;
  float best_cost = INFINITY;
  for (int qno = 15; qno >= 0; --qno)
    if (total[qno] < best_cost) {
      best_cost = total[qno];
      c.qno = qno;
    }
  // Each block's cheapest class there; the first of equal ones.
  for (int b = 0; b < 6; ++b) {
    const Trials &t = sg.trials[m][b];
    auto cost = [&](int k) {
      return t.by_qno_distortion[k][c.qno] + lambda * t.by_qno_bits[k][c.qno];
    };
    int best = 0;
    for (int k = 1; k < 4; ++k)
      if (cost(k) < cost(best)) best = k;
    const int id = sets.of[c.qno][c.klass[b] = best];
    const int mode = c.mode[b] = t.first_mode;
    c.bits += t.bits[mode][id];
    c.distortion += t.distortion[mode][id];
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
// lambda can find. Lambda starts at 64 and moves by factors of 16 until a
// fitting and an overflowing choice bracket it (lambda 0, the finest
// steps, when even small ones fit), is bisected on a log scale, and then
// macroblocks take the overflowing side's finer choice where the spare
// bits allow, the largest gain first. When not even the coarsest choice
// fits, that one. `evaluations` counts the choices made.
constexpr int bisections = 4;

SegmentChoice search(const Segment &sg, int &evaluations) {
  auto fits = [](const SegmentChoice &c) { return c.bits <= segment_code_budget; };
  float lambda = 64, low = 0, high = 0;
  SegmentChoice c = choose(sg, lambda), fit, over;
  evaluations = 1;
  if (fits(c)) {
    fit = c;
    high = lambda;
    for (;;) {
      lambda = lambda < 1.0f / 64 ? 0 : lambda / 16;
      c = choose(sg, lambda);
      ++evaluations;
      if (!fits(c)) break;
      fit = c;
      high = lambda;
      if (lambda == 0) return fit;
    }
    over = c;
    low = lambda;
  } else {
    for (over = c, low = lambda;;) {
      lambda *= 16;
      c = choose(sg, lambda);
      ++evaluations;
      if (fits(c)) break;
      if (lambda > 1e12f) return c;  // nothing fits: the coarsest
      over = c;
      low = lambda;
    }
    fit = c;
    high = lambda;
  }
  for (int i = 0; i < bisections; ++i) {
    const float mid = low == 0 ? high / 16 : std::sqrt(low * high);
    c = choose(sg, mid);
    ++evaluations;
    if (fits(c)) {
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

// The bits a segment's choice leaves unused go to the blocks' precision.
// The search rounds below the half and picks a block's DCT mode by a fixed
// exchange of bits for distortion, both of which save bits where they are
// scarce; with bits to spare a block may instead round to the nearest step,
// in its own mode or the other one where it may take either, whichever
// gives the least distortion. Upgrades go in the order of the distortion
// they save per extra bit (those that save bits as well first), while the
// bits last, one to a block. Sets the mode and the rounding each block is
// to be quantised with.
struct Precision {
  int mode;
  float offset;
};

void spend_spare_bits(const dsp::EncodeDsp &k, Segment &sg, const SegmentChoice &fit,
                      Precision chosen[mbs][6]) {
  const StepSets &sets = step_sets();
  struct Upgrade {
    int m, b, extra;
    float saved;
    Precision to;
  };
  Upgrade upgrades[mbs * 6];
  int count = 0;
  for (int m = 0; m < mbs; ++m)
    for (int b = 0; b < 6; ++b) {
      Trials &t = sg.trials[m][b];
      const int mode = fit.mb[m].mode[b], id = sets.of[fit.mb[m].qno][fit.mb[m].klass[b]];
      chosen[m][b] = {mode, rounding};
      Upgrade best{m, b, 0, 0, {mode, rounding}};
      for (int to = t.either ? 0 : mode; to <= (t.either ? modes - 1 : mode); ++to) {
        int bits;
        const float distortion = t.weight * kept_trial(k, t, to, id, nearest, bits);
        const float saved = t.distortion[mode][id] - distortion;
        if (saved > best.saved) best = {m, b, bits - t.bits[mode][id], saved, {to, nearest}};
      }
      if (best.saved > 0) upgrades[count++] = best;
    }
  std::sort(upgrades, upgrades + count, [](const Upgrade &x, const Upgrade &y) {
    // saved / extra, descending, without dividing by an extra of 0 or less.
    if ((x.extra <= 0) != (y.extra <= 0)) return x.extra <= 0;
    if (x.extra <= 0) return x.saved > y.saved;
    return x.saved * static_cast<float>(y.extra) > y.saved * static_cast<float>(x.extra);
  });
  long spare = segment_code_budget - fit.bits;
  for (int i = 0; i < count; ++i)
    if (upgrades[i].extra <= spare) {
      spare -= upgrades[i].extra;
      chosen[upgrades[i].m][upgrades[i].b] = upgrades[i].to;
    }
}

}  // namespace

void quant_best(dv_videosegment_t *seg, dv_vlc_block_t *vblocks, int force_dct,
                dv_sample_t sampling, EncodeStats &stats) {
  static thread_local Segment sg;
  const dsp::EncodeDsp &k = dsp::dsp().encode;
  const float luma_weight = sampling == e_dv_sample_411 ? luma_weight_411 : luma_weight_420;
  for (int m = 0; m < mbs; ++m)
    for (int b = 0; b < 6; ++b)
      // Both transforms are tried unless the caller forces one: the
      // distortion decides, motion or not.
      transform_block(k, seg->mb[m].b[b], force_dct == -1 ? 0 : force_dct,
                      force_dct == -1 ? 1 : force_dct, b < 4 ? luma_weight : 1.0f,
                      sg.trials[m][b]);
  const StepSets &sets = step_sets();
  const int finest = sets.of[15][0];
  SegmentChoice fit;  // every macroblock at qno 15, every block in class 0
  Precision chosen[mbs][6];
  int evaluations = 0;
  // Most segments of clean footage fit at the finest steps rounded to the
  // nearest, each block in the mode that leaves it closest to its samples:
  // then nothing is to be searched.
  bool fast = true;
  for (int m = 0; m < mbs && fast; ++m)
    for (int b = 0; b < 6 && fast; ++b) {
      Trials &t = sg.trials[m][b];
      // The first mode's trial; the other's distortion alone, and its codes
      // only where it is the closer.
      int mode = t.first_mode, bits;
      const float distortion = kept_trial(k, t, mode, finest, nearest, bits);
      if (t.either && k.rd_quantise(t.coeffs[1], sets.step[finest][1], sets.inverse[finest][1],
                                    basis().ac_energy[1], nearest, nullptr,
                                    nullptr) < distortion)
        kept_trial(k, t, mode = 1, finest, nearest, bits);
      chosen[m][b] = {mode, nearest};
      fit.bits += bits;
      fast = !beyond_escape(t, t.first_mode, nearest) && !beyond_escape(t, t.last_mode, nearest) &&
             fit.bits <= segment_code_budget;
    }
  if (!fast) {
    // Else the search's own rounding: where every block fits at the finest
    // steps all the same, the spare bits go to precision; else the search.
    fit = SegmentChoice{};
    bool finest_fits = true;
    for (int m = 0; m < mbs; ++m)
      for (int b = 0; b < 6; ++b) {
        Trials &t = sg.trials[m][b];
        decide_mode(k, t);
        finest_fits = finest_fits && !beyond_escape(t, t.first_mode, rounding);
        fit.mb[m].mode[b] = t.first_mode;
        fit.mb[m].bits += t.bits[t.first_mode][finest];
        fit.mb[m].distortion += t.distortion[t.first_mode][finest];
        fit.bits += t.bits[t.first_mode][finest];
      }
    if (!finest_fits || fit.bits > segment_code_budget) {
      for (int m = 0; m < mbs; ++m)
        for (int b = 0; b < 6; ++b) finish_block(k, sg.trials[m][b]);
      fit = search(sg, evaluations);
    }
    if (fit.bits <= segment_code_budget) {
      spend_spare_bits(k, sg, fit, chosen);
    } else {
      for (int m = 0; m < mbs; ++m)
        for (int b = 0; b < 6; ++b) chosen[m][b] = {fit.mb[m].mode[b], rounding};
    }
  }
  ++stats.cycles_used[std::min(evaluations, 449)];
  for (int m = 0; m < mbs; ++m) {
    dv_macroblock_t &mb = seg->mb[m];
    const MacroblockChoice &c = fit.mb[m];
    mb.qno = c.qno;
    ++stats.qnos_used[c.qno];
    for (int b = 0; b < 6; ++b) {
      dv_block_t &bl = mb.b[b];
      bl.class_no = c.klass[b];
      bl.dct_mode = chosen[m][b].mode;
      ++stats.classes_used[bl.class_no];
      ++stats.dct_used[bl.dct_mode];
      const Trials &t = sg.trials[m][b];
      const float *f = t.coeffs[bl.dct_mode];
      const int id = sets.of[c.qno][bl.class_no];
      const float offset = chosen[m][b].offset;
      if (t.kept_set[bl.dct_mode] == id && t.kept_offset[bl.dct_mode] == offset) {
        std::memcpy(bl.coeffs, t.kept[bl.dct_mode], sizeof bl.coeffs);
      } else {
        int bits;
        quantise(k, f, bl.dct_mode, id, offset, bits, bl.coeffs);
      }
      bl.coeffs[0] = static_cast<dv_coeff_t>(std::clamp(std::lround(f[0]), -256L, 255L));
      vlc_encode_block(bl.coeffs, &vblocks[6 * m + b]);
    }
  }
  // Only a segment that overflows at the coarsest steps is cut.
  if (fit.bits > segment_code_budget) vlc_make_fit(vblocks, 30, segment_area_bits, stats);
}

}  // namespace tarsk
