// Classification and the quantiser search.
//
// A video segment (five macroblocks, 30 blocks) must fit 400 bytes. Each
// block gets a class from its activity (its largest AC value): busy blocks
// get coarser steps at the same quantisation number. Each macroblock gets a
// quantisation number (qno, 15 the finest): the search tries numbers on
// copies of the blocks, counting code bits, until the codes fit a block's
// area (one pass), a macroblock's areas (two passes) or the segment (three
// passes). The block's codes are built once, after the choice.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/transform.h"
#include "dsp/dsp.h"
#include "encode/encode.h"

namespace {

using tarsk::EncodeStats;

// Class by activity level (column) for the luminance blocks, Cr and Cb.
constexpr int classes[3][4] = {{0, 1, 2, 3}, {1, 2, 3, 3}, {2, 3, 3, 3}};

// The quantisation numbers worth trying per class, finest first: numbers
// that give a class the same steps as the next one are left out.
constexpr int qnos[4][16] = {{15, 8, 6, 4, 2, 0},
                             {15, 11, 10, 8, 6, 4, 2, 0},
                             {15, 14, 13, 11, 8, 6, 4, 2, 0},
                             {15, 13, 12, 10, 8, 6, 4, 2, 0}};

// (threshold, qno) pairs: the qno of the first threshold below a
// macroblock's bits at qno 15.
constexpr int quant_2_static_table[2][20] = {
    {1700, 0, 1500, 2, 1000, 4, 900, 6, 750, 8, 650, 10, 550, 12, 512, 13, 0, 15, 0, 0},
    {1700, 0, 1400, 2, 1200, 4, 1000, 6, 800, 8, 650, 10, 550, 12, 512, 13, 0, 15, 0, 0}};

struct QnoStart {
  std::array<std::array<int, 16>, 4> next_hit{};
  std::array<std::array<int, 16>, 16> class_combi{};
};

// Walks q from 15 down, keeping in each class list the first entry at most
// q; a set of classes can use the largest of its classes' entries.
constexpr QnoStart build_qno_start() {
  QnoStart t;
  int p[4] = {0, 0, 0, 0};
  int filled[16] = {};
  for (int q = 15; q >= 0; --q) {
    for (int k = 0; k < 4; ++k) {
      if (qnos[k][p[k]] > q) ++p[k];
      t.next_hit[static_cast<size_t>(k)][static_cast<size_t>(q)] = p[k];
    }
    for (int c = 1; c < 16; ++c) {
      int m = 0;
      for (int k = 0; k < 4; ++k)
        if ((c >> k) & 1) m = std::max(m, qnos[k][p[k]]);
      auto &row = t.class_combi[static_cast<size_t>(c)];
      if (filled[c] == 0 || row[static_cast<size_t>(filled[c] - 1)] != m)
        row[static_cast<size_t>(filled[c]++)] = m;
    }
  }
  return t;
}
constexpr QnoStart qno_start = build_qno_start();

constexpr bool is_static(int static_qno) { return static_qno == 1 || static_qno == 2; }

// A block as its last trial quantised it, with the shifts of that trial
// (four bytes in memory order, none at first) and its code bits.
struct Copy {
  dv_coeff_t coeffs[64];
  uint32_t shifts = ~0u;
  long bits = 0;
};
// Macroblock m's block b at 6m + b.
using Copies = Copy[30];

// Code bits of a block quantised at qno, on its copy. Quantised values
// beyond -255..255 (the reach of the 8-bit amplitude escape) are coded and
// counted as those limits: the lookups' index limits every value. Numbers
// that give the block's class the same shifts as the copy's trial give the
// same block: the copy and its count stand.
// The four shifts of each qno and class, a byte each, made once.
struct ShiftTable {
  uint32_t packed[16][4];
  ShiftTable() {
    for (int qno = 0; qno < 16; ++qno)
      for (int klass = 0; klass < 4; ++klass) {
        uint8_t shift[4];
        tarsk::quant_area_shifts(qno, klass, shift);
        std::memcpy(&packed[qno][klass], shift, 4);
      }
  }
};

long trial(const dv_block_t &bl, int qno, Copy &copy) {
  static const ShiftTable table;
  const uint32_t shifts = table.packed[qno][bl.class_no & 3];
  if (shifts != copy.shifts) {
    copy.shifts = shifts;
    uint8_t shift[4];
    std::memcpy(shift, &shifts, 4);
    copy.bits = static_cast<long>(tarsk::dsp::dsp().encode.quantise_count(
        bl.coeffs, copy.coeffs, shift, vlc_num_bits_lookup));
  }
  return copy.bits;
}

long trial_macroblock(const dv_macroblock_t &mb, int qno, Copy *copies) {
  long bits = 0;
  for (int b = 0; b < 6; ++b) bits += trial(mb.b[b], qno, copies[b]);
  return bits;
}

// Stores the chosen qno and builds the six code lists. Where the last
// trial of all six blocks was at that qno (copies_qno) its copies are
// used; otherwise the blocks are quantised in place.
void finish_macroblock(dv_macroblock_t *mb, int qno, Copy *copies, int copies_qno,
                       dv_vlc_block_t *vblocks) {
  mb->qno = qno;
  for (int b = 0; b < 6; ++b) {
    dv_coeff_t *coeffs = copies[b].coeffs;
    if (qno != copies_qno) {
      coeffs = mb->b[b].coeffs;
      _dv_quant(coeffs, qno, mb->b[b].class_no);
    }
    tarsk::vlc_encode_block(coeffs, &vblocks[b]);
  }
}

void count(long *slots, int size, long index) { ++slots[std::clamp<long>(index, 0, size - 1)]; }

}  // namespace

namespace tarsk {

extern constexpr std::array<std::array<int, 16>, 4> qno_next_hit = qno_start.next_hit;
extern constexpr std::array<std::array<int, 16>, 16> qnos_class_combi = qno_start.class_combi;

int classify(const dv_coeff_t *bl) {
  const int largest = dsp::dsp().encode.largest_ac(bl);
  return largest > 35 ? 3 : largest > 23 ? 2 : largest > 11 ? 1 : 0;
}

void do_classify(dv_macroblock_t *mb, int static_qno, EncodeStats &stats) {
  for (int b = 0; b < 6; ++b) {
    dv_block_t &bl = mb->b[b];
    if (static_qno != 0) {
      bl.class_no = 3;
      continue;
    }
    const int kind = b < 4 ? 0 : b - 3;  // luminance, Cr, Cb
    bl.class_no = classes[kind][classify(bl.coeffs)];
    ++stats.classes_used[bl.class_no];
  }
}

TwoPassStart two_pass_start(long n) {
  TwoPassStart start{static_cast<int>(std::min((n - macroblock_code_budget) / 750 + 1, 3L)), 16, 8};
  for (int i = 0; i < start.steps; ++i) {
    start.qno -= start.increment;
    start.increment >>= 1;
  }
  return start;
}

int static_qno_lookup(int row, long n) {
  const int *pairs = quant_2_static_table[row];
  for (int p = 0; p < 9; ++p)
    if (pairs[2 * p] < n) return pairs[2 * p + 1];
  return 15;
}

void quant_1_pass(dv_videosegment_t *videoseg, dv_vlc_block_t *vblocks, int /*static_qno*/,
                  EncodeStats &stats) {
  Copies copies;
  for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
    dv_macroblock_t *mb = &videoseg->mb[m];
    Copy *mb_copies = &copies[6 * m];
    int qno = 15;
    int failures = 0;
    // The qno only falls from block to block; at 0 the search gives up and
    // the code lists are cut to their areas.
    for (int b = 0; b < 6 && qno != 0; ++b) {
      const int klass = mb->b[b].class_no;
      int idx = qno_next_hit[static_cast<size_t>(klass)][static_cast<size_t>(qno)];
      long bits = trial(mb->b[b], qno, mb_copies[b]);
      while (bits > block_code_budget(b)) {
        ++idx;
        ++failures;
        qno = qnos[klass][idx];
        if (qno == 0) break;
        bits = trial(mb->b[b], qno, mb_copies[b]);
      }
    }
    count(stats.cycles_used, 450, failures);
    ++stats.qnos_used[qno];
    finish_macroblock(mb, qno, mb_copies, 15, &vblocks[6 * m]);
    // Each block was tried at the qno of its turn, yet its codes at the
    // macroblock's final qno can still overrun its area (fuzzing found
    // such a segment): every code list is cut to its area, end of block
    // kept, not only at qno 0. A list that fits is left as it is.
    for (int b = 0; b < 6; ++b) vlc_make_fit(&vblocks[6 * m + b], 1, block_area_bits(b), stats);
  }
}

void quant_2_passes(dv_videosegment_t *videoseg, dv_vlc_block_t *vblocks, int static_qno,
                    EncodeStats &stats) {
  Copies copies;
  for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
    dv_macroblock_t *mb = &videoseg->mb[m];
    Copy *mb_copies = &copies[6 * m];
    const long n = trial_macroblock(*mb, 15, mb_copies);
    int steps = 0;
    int trials = 0;
    int qno = 15;
    if (n > macroblock_code_budget && is_static(static_qno)) {
      qno = static_qno_lookup(static_qno - 1, n);
    } else if (n > macroblock_code_budget) {
      // Jump down by halves of 16 (more halvings the more bits are over),
      // then search by halving increments; odd numbers below 10 give no
      // class a step of its own and are not tried.
      const TwoPassStart start = two_pass_start(n);
      steps = start.steps;
      qno = start.qno;
      int increment = start.increment;
      int qno_ok = 0;
      for (int i = steps; i <= 4; ++i) {
        ++trials;
        if (trial_macroblock(*mb, qno, mb_copies) <= macroblock_code_budget) {
          qno_ok = qno;
          qno += increment;
        } else {
          qno -= increment;
        }
        if (increment == 1 && qno <= 9) break;
        increment >>= 1;
      }
      qno = qno_ok;
    }
    count(stats.runs_used, 15, steps);
    count(stats.cycles_used, 450, trials);
    ++stats.qnos_used[qno];
    finish_macroblock(mb, qno, mb_copies, 15, &vblocks[6 * m]);
    if (qno == 0 || static_qno != 0) vlc_make_fit(&vblocks[6 * m], 6, macroblock_area_bits, stats);
  }
}

void quant_3_passes(dv_videosegment_t *videoseg, dv_vlc_block_t *vblocks, int static_qno,
                    EncodeStats &stats) {
  constexpr int mbs = dif::macroblocks_per_segment;
  Copies copies;
  int qno[mbs];
  int index[mbs];
  int mask[mbs];
  int trialled[mbs];  // the qno of each macroblock's copies
  long bits[mbs];
  long total = 0;
  for (int m = 0; m < mbs; ++m) {
    qno[m] = 15;
    index[m] = 0;
    mask[m] = 0;
    trialled[m] = 15;
    for (const dv_block_t &bl : videoseg->mb[m].b) mask[m] |= 1 << bl.class_no;
    bits[m] = trial_macroblock(videoseg->mb[m], 15, &copies[6 * m]);
    total += bits[m];
  }
  int iterations = 0;
  if (total > segment_code_budget && is_static(static_qno)) {
    for (int m = 0; m < mbs; ++m) {
      const int q = static_qno_lookup(static_qno - 1, bits[m]);
      qno[m] = q < 14 ? q + 1 : q;
    }
  } else {
    // Move the macroblock with the most bits down its classes' list, more
    // steps the more the segment is over, until the segment fits or a
    // macroblock reaches 0.
    while (total > segment_code_budget) {
      const long steps_max = (total - segment_code_budget) / 500 + 1;
      ++iterations;
      const int m = static_cast<int>(std::max_element(bits, bits + mbs) - bits);  // first of a tie
      const auto &list = qnos_class_combi[static_cast<size_t>(mask[m])];
      int moves = 0;
      for (long s = 0; s < std::min(steps_max, 3L); ++s) {
        qno[m] = list[static_cast<size_t>(++index[m])];
        if (qno[m] == 0) break;
        ++moves;
      }
      count(stats.runs_used, 15, moves);
      if (qno[m] == 0) break;
      const long fresh = trial_macroblock(videoseg->mb[m], qno[m], &copies[6 * m]);
      trialled[m] = qno[m];
      total += fresh - bits[m];
      bits[m] = fresh;
    }
  }
  count(stats.cycles_used, 450, iterations);
  for (int m = 0; m < mbs; ++m) {
    ++stats.qnos_used[qno[m]];
    finish_macroblock(&videoseg->mb[m], qno[m], &copies[6 * m], trialled[m], &vblocks[6 * m]);
  }
  // In the static case `total` is still the count at qno 15.
  if (total > segment_code_budget) vlc_make_fit(vblocks, 30, segment_area_bits, stats);
}

}  // namespace tarsk
