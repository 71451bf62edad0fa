// Classification and the quantiser searches: the start tables, the
// thresholds and start points that decide streams, and whole searches
// parsed back by the decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "encode/encode_support.h"

namespace {

using namespace tarsk::test;
using tarsk::EncodeStats;

class Quantise : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
  EncodeStats stats{};
};

TEST_F(Quantise, StartTablesHoldTheirRows) {
  const int next_hit[4][16] = {{5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 0},
                               {7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 1, 1, 1, 1, 0},
                               {8, 8, 7, 7, 6, 6, 5, 5, 4, 4, 4, 3, 3, 2, 1, 0},
                               {8, 8, 7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 1, 1, 0}};
  for (int k = 0; k < 4; ++k)
    for (int q = 0; q < 16; ++q)
      EXPECT_EQ(tarsk::qno_next_hit[k][q], next_hit[k][q]) << k << ", " << q;

  struct Row {
    std::vector<int> masks, qnos;
  };
  const Row rows[] = {{{0}, {}},
                      {{1}, {15, 8, 6, 4, 2}},
                      {{2, 3}, {15, 11, 10, 8, 6, 4, 2}},
                      {{4, 5}, {15, 14, 13, 11, 8, 6, 4, 2}},
                      {{6, 7}, {15, 14, 13, 11, 10, 8, 6, 4, 2}},
                      {{8, 9}, {15, 13, 12, 10, 8, 6, 4, 2}},
                      {{10, 11}, {15, 13, 12, 11, 10, 8, 6, 4, 2}},
                      {{12, 13, 14, 15}, {15, 14, 13, 12, 11, 10, 8, 6, 4, 2}}};
  for (const Row &row : rows)
    for (int mask : row.masks) {
      std::vector<int> want = row.qnos;
      want.resize(16, 0);  // the list ends at 0, and 0 fills the rest
      const auto &got = tarsk::qnos_class_combi[static_cast<size_t>(mask)];
      EXPECT_EQ(std::vector<int>(got.begin(), got.end()), want) << "mask " << mask;
    }
}

TEST_F(Quantise, ActivityLevelsByLargestAcValue) {
  const struct {
    int value, level;
  } cases[] = {{0, 0}, {11, 0}, {12, 1}, {-12, 1}, {23, 1}, {24, 2}, {35, 2}, {-36, 3}, {255, 3}};
  for (const auto &c : cases)
    for (int pos : {1, 63}) {
      dv_block_t bl{};
      set_block(bl, {{pos, c.value}, {30, 5}}, 1000);  // DC does not count
      EXPECT_EQ(tarsk::classify(bl.coeffs), c.level) << c.value << " at " << pos;
    }
}

TEST_F(Quantise, ClassesByLevelAndBlock) {
  const int largest_of_level[4] = {0, 12, 24, 36};
  const int classes[3][4] = {{0, 1, 2, 3}, {1, 2, 3, 3}, {2, 3, 3, 3}};
  for (int level = 0; level < 4; ++level) {
    dv_macroblock_t mb{};
    for (dv_block_t &bl : mb.b) set_block(bl, {{5, largest_of_level[level]}});
    EncodeStats counted{};
    tarsk::do_classify(&mb, 0, counted);
    for (int b = 0; b < 6; ++b) EXPECT_EQ(mb.b[b].class_no, classes[b < 4 ? 0 : b - 3][level]);
    long blocks = 0;
    for (int k = 0; k < 4; ++k) blocks += counted.classes_used[k];
    EXPECT_EQ(blocks, 6);
    EXPECT_EQ(counted.classes_used[classes[0][level]], level == 3 ? 6 : 4);

    EncodeStats untouched{};
    tarsk::do_classify(&mb, 2, untouched);
    for (const dv_block_t &bl : mb.b) EXPECT_EQ(bl.class_no, 3);
    EXPECT_EQ(untouched, EncodeStats{});
  }
}

using Search = void (*)(dv_videosegment_t *, dv_vlc_block_t *, int, EncodeStats &);
constexpr Search searches[4] = {nullptr, tarsk::quant_1_pass, tarsk::quant_2_passes,
                                tarsk::quant_3_passes};

TEST_F(Quantise, FlatSegmentKeepsTheFinestQuantiser) {
  for (int passes = 1; passes <= 3; ++passes) {
    auto seg = new_segment();
    EncodeStats counted{};
    for (dv_macroblock_t &mb : seg->mb) tarsk::do_classify(&mb, 0, counted);
    for (int b = 0; b < 6; ++b) EXPECT_EQ(seg->mb[2].b[b].class_no, b < 4 ? 0 : b - 3);
    dv_vlc_block_t vblocks[30];
    searches[passes](seg.get(), vblocks, 0, counted);
    for (const dv_macroblock_t &mb : seg->mb) EXPECT_EQ(mb.qno, 15);
    for (const dv_vlc_block_t &vb : vblocks) EXPECT_EQ(vb.coeffs_bits, 4u);
    EXPECT_EQ(counted.cycles_used[0], passes == 3 ? 1 : 5);
    EXPECT_EQ(std::count(std::begin(counted.cycles_used), std::end(counted.cycles_used), 0L), 449);
    EXPECT_EQ(counted.qnos_used[15], 5);
  }
}

// Fills a macroblock with n code bits (n > 389) whose count no quantiser
// of class 0 changes: amplitude escapes of 255, alone (16 bits) or after
// one zero (11 + 16 bits).
void invariant_bits(dv_macroblock_t &mb, long n) {
  int after_zero = 0;
  while ((n - 27 * after_zero) % 16 != 0) ++after_zero;
  long alone = (n - 27 * after_zero) / 16;
  ASSERT_GE(alone, 0);
  int pos[6] = {1, 1, 1, 1, 1, 1};
  for (dv_block_t &bl : mb.b) set_block(bl, {}), bl.class_no = 0;
  for (int unit = 0; alone > 0 || after_zero > 0; ++unit) {
    const int b = unit % 6;
    if (after_zero > 0) {
      ++pos[b];
      --after_zero;
    } else {
      --alone;
    }
    ASSERT_LT(pos[b], 64);
    mb.b[b].coeffs[pos[b]++] = 255;
  }
  long bits = 0;
  for (dv_block_t &bl : mb.b) bits += static_cast<long>(_dv_vlc_num_bits_block(bl.coeffs));
  ASSERT_EQ(bits, n);
}

TEST_F(Quantise, TwoPassStartPoints) {
  const struct {
    long n;
    tarsk::TwoPassStart start;
  } cases[] = {{513, {1, 8, 4}},  {1261, {1, 8, 4}}, {1262, {2, 4, 2}},
               {2011, {2, 4, 2}}, {2012, {3, 2, 1}}, {9000, {3, 2, 1}}};
  for (const auto &c : cases) {
    const tarsk::TwoPassStart got = tarsk::two_pass_start(c.n);
    EXPECT_EQ(got.steps, c.start.steps) << c.n;
    EXPECT_EQ(got.qno, c.start.qno) << c.n;
    EXPECT_EQ(got.increment, c.start.increment) << c.n;
  }
}

// Macroblocks that fit at no quantiser: the search makes every trial its
// start allows (8, 4, 2 from 8; 4, 2 from 4; 2 alone from 2) and ends at 0,
// where the code lists are cut to the macroblock.
TEST_F(Quantise, TwoPassSearchFromEachStart) {
  const struct {
    long n;
    int steps, trials, qno;
  } cases[] = {{512, 0, 0, 15}, {513, 1, 3, 0},  {1261, 1, 3, 0},
               {1262, 2, 2, 0}, {2011, 2, 2, 0}, {2012, 3, 1, 0}};
  for (const auto &c : cases) {
    auto seg = new_segment();
    invariant_bits(seg->mb[0], c.n);
    EncodeStats counted{};
    dv_vlc_block_t vblocks[30];
    tarsk::quant_2_passes(seg.get(), vblocks, 0, counted);
    EXPECT_EQ(seg->mb[0].qno, c.qno) << c.n;
    EXPECT_EQ(counted.runs_used[c.steps], c.steps == 0 ? 5 : 1) << c.n;
    EXPECT_EQ(counted.cycles_used[c.trials], c.trials == 0 ? 5 : 1) << c.n;
    EXPECT_EQ(counted.vlc_overflows, c.qno == 0 ? 1 : 0) << c.n;
    long bits = 0;
    for (int b = 0; b < 6; ++b) bits += vblocks[b].coeffs_bits;
    EXPECT_LE(bits, tarsk::macroblock_area_bits) << c.n;
  }
}

TEST_F(Quantise, StaticLookup) {
  const struct {
    int row;
    long n;
    int qno;
  } cases[] = {{0, 0, 15},   {0, 512, 15}, {0, 513, 13}, {0, 550, 13}, {0, 551, 12}, {0, 1700, 2},
               {0, 1701, 0}, {1, 1400, 4}, {1, 1401, 2}, {1, 800, 10}, {1, 801, 8}};
  for (const auto &c : cases) EXPECT_EQ(tarsk::static_qno_lookup(c.row, c.n), c.qno) << c.n;

  // Through the two-pass search with static_qno 1 (row 0).
  for (const auto &c : cases) {
    if (c.row != 0 || c.n < 513) continue;
    auto seg = new_segment();
    invariant_bits(seg->mb[3], c.n);
    dv_vlc_block_t vblocks[30];
    tarsk::quant_2_passes(seg.get(), vblocks, 1, stats);
    EXPECT_EQ(seg->mb[3].qno, c.qno) << c.n;
    EXPECT_EQ(seg->mb[0].qno, 15);
  }
}

TEST_F(Quantise, ThreePassStaticTakesOneFinerThanTheTable) {
  auto seg = new_segment();
  const long bits[5] = {600, 400, 700, 700, 1800};  // 4200 in all
  for (int m = 0; m < 5; ++m) invariant_bits(seg->mb[m], bits[m]);
  dv_vlc_block_t vblocks[30];
  tarsk::quant_3_passes(seg.get(), vblocks, 1, stats);
  const int want[5] = {13, 15, 11, 11, 1};  // 12 + 1, 15, 10 + 1, 10 + 1, 0 + 1
  for (int m = 0; m < 5; ++m) EXPECT_EQ(seg->mb[m].qno, want[m]) << m;
  EXPECT_EQ(stats.cycles_used[0], 1);
  EXPECT_EQ(stats.vlc_overflows, 1);
}

// Two macroblocks with the most bits, tied: the lower one moves down first,
// and one move (to qno 8, which halves area 3 of class 0) makes the segment
// fit, so the other keeps 15.
TEST_F(Quantise, ThreePassTieGoesToTheLowerMacroblock) {
  auto seg = new_segment();
  for (int m : {1, 3}) {
    for (int b = 0; b < 6; ++b) {
      std::vector<Coefficient> values;
      for (int pos = 1; pos <= (b < 3 ? 8 : 7); ++pos) values.push_back({pos, 255});
      for (int pos = 43; pos < 64; ++pos) values.push_back({pos, 2});  // 4 bits, 3 at qno 8
      set_block(seg->mb[m].b[b], values);
    }
  }
  long bits[5] = {};
  for (int m = 0; m < 5; ++m)
    for (dv_block_t &bl : seg->mb[m].b)
      bits[m] += static_cast<long>(_dv_vlc_num_bits_block(bl.coeffs));
  ASSERT_EQ(bits[1], bits[3]);
  ASSERT_GT(bits[1] + bits[3], tarsk::segment_code_budget);
  ASSERT_LE(bits[1] + bits[3] - 6 * 21, tarsk::segment_code_budget);

  dv_vlc_block_t vblocks[30];
  tarsk::quant_3_passes(seg.get(), vblocks, 0, stats);
  EXPECT_EQ(seg->mb[1].qno, 8);
  EXPECT_EQ(seg->mb[3].qno, 15);
  EXPECT_EQ(stats.cycles_used[1], 1);
  EXPECT_EQ(stats.runs_used[1], 1);
  EXPECT_EQ(stats.vlc_overflows, 0);
}

// Block 0 fits at no quantiser: the search stops at 0 after five failures
// (15, 8, 6, 4, 2) without trying blocks 1 to 5, and each block is cut to
// its own area.
TEST_F(Quantise, OnePassStopsAtZero) {
  auto seg = new_segment();
  for (int b = 0; b < 6; ++b) {
    std::vector<Coefficient> values;
    for (int pos = 1; pos <= (b == 0 ? 10 : 8); ++pos) values.push_back({pos, -255});
    set_block(seg->mb[0].b[b], values);
  }
  dv_vlc_block_t vblocks[30];
  tarsk::quant_1_pass(seg.get(), vblocks, 0, stats);
  EXPECT_EQ(seg->mb[0].qno, 0);
  EXPECT_EQ(stats.cycles_used[5], 1);
  EXPECT_EQ(stats.cycles_used[0], 4);
  EXPECT_EQ(stats.vlc_overflows, 6);
  for (int b = 0; b < 6; ++b) {
    long bits = 0;
    for (const dv_vlc_entry_t *e = vblocks[b].coeffs; e < vblocks[b].coeffs_end; ++e)
      bits += tarsk::entry_length(*e);
    EXPECT_LE(bits, tarsk::block_area_bits(b)) << b;
    EXPECT_EQ(vblocks[b].coeffs_end[-1], static_cast<dv_vlc_entry_t>(DV_VLC_EOB));
  }
}

// Blocks in scan order as a forward transform leaves them: values falling
// off with the scan position, at a given strength.
void natural_block(dv_block_t &bl, double strength, std::mt19937 &rng) {
  std::normal_distribution<double> noise(0, 1);
  bl.coeffs[0] = static_cast<dv_coeff_t>(std::lround(noise(rng) * 60));
  for (int pos = 1; pos < 64; ++pos)
    bl.coeffs[pos] =
        static_cast<dv_coeff_t>(std::lround(noise(rng) * strength * std::exp(-pos / 12.0)));
}

// The largest values the forward transform gives: a block dark on the left
// and light on the right (453 at coefficient 1), in scan order.
void half_plane_block(dv_block_t &bl, int dct_mode) {
  for (int x = 0; x < 8; ++x)
    for (int y = 0; y < 8; ++y) bl.coeffs[8 * x + y] = static_cast<dv_coeff_t>(x < 4 ? -256 : 254);
  if (dct_mode == 1)
    _dv_dct_248(bl.coeffs);
  else
    _dv_dct_88(bl.coeffs);
  bl.dct_mode = dct_mode;
  tarsk::reorder_block(&bl);
}

// Extreme content: half-plane blocks everywhere (classified: class 3
// halves them), or in two blocks of each macroblock with classes 0..2 given
// (a segment that fits at qno 15, where 453 meets the limit).
enum class Content { quiet, busy, very_busy, extreme, extreme_fixed_class };

// Whole searches, placed and parsed back: each macroblock's qno, and every
// block whose codes were all placed decodes to what its code list says;
// code lists that were not cut say what the quantiser made of the block,
// limited to -255..255.
TEST_F(Quantise, SearchesParseBack) {
  std::mt19937 rng(6);
  int limited = 0;
  for (Content content : {Content::quiet, Content::busy, Content::very_busy, Content::extreme,
                          Content::extreme_fixed_class})
    for (int passes = 1; passes <= 3; ++passes)
      for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(testing::Message() << "content " << static_cast<int>(content) << ", " << passes
                                        << " passes, round " << round);
        auto seg = new_segment();
        for (int i = 0; i < 30; ++i) {
          dv_block_t &bl = block_of(*seg, i);
          const double strength[3] = {6, 60, 400};
          if (content == Content::extreme ||
              (content == Content::extreme_fixed_class && (i % 6 == 0 || i % 6 == 4)))
            half_plane_block(bl, static_cast<int>(rng() % 2));
          else if (content != Content::extreme_fixed_class)
            natural_block(bl, strength[static_cast<int>(content)], rng);
        }
        auto original = std::make_unique<dv_videosegment_t>(*seg);
        EncodeStats counted{};
        for (dv_macroblock_t &mb : seg->mb) tarsk::do_classify(&mb, 0, counted);
        if (content == Content::extreme_fixed_class)
          for (int i = 0; i < 30; ++i) block_of(*seg, i).class_no = i % 3;
        dv_vlc_block_t vblocks[30];
        searches[passes](seg.get(), vblocks, 0, counted);

        std::vector<std::vector<int>> coded(30);
        for (int i = 0; i < 30; ++i) {
          coded[static_cast<size_t>(i)] = decode_entries(vblocks[i].coeffs, vblocks[i].coeffs_end);
          const dv_block_t &bl = block_of(*seg, i);
          dv_coeff_t quantised[64];
          std::copy(std::begin(block_of(*original, i).coeffs),
                    std::end(block_of(*original, i).coeffs), quantised);
          _dv_quant(quantised, seg->mb[i / 6].qno, bl.class_no);
          std::vector<int> want(quantised, quantised + 64);
          for (int &v : want) {
            limited += std::abs(v) > 255;
            v = std::clamp(v, -255, 255);
          }
          want[0] = 0;
          const unsigned long full_bits = _dv_vlc_num_bits_block(quantised) + 4;
          if (vblocks[i].coeffs_bits == full_bits) {
            ASSERT_EQ(coded[static_cast<size_t>(i)], want) << "block " << i;
          }
        }

        std::vector<uint8_t> bytes(400, 0);
        write_block_heads(*seg, bytes);
        tarsk::place_segment_codes(vblocks, bytes.data(), passes);
        ParsedSegment parsed(bytes, DV_QUALITY_COLOR | DV_QUALITY_AC_2);
        for (int m = 0; m < 5; ++m) ASSERT_EQ(parsed.seg.mb[m].qno, seg->mb[m].qno);
        for (int i = 0; i < 30; ++i) {
          const bool placed = vblocks[i].coeffs_start == vblocks[i].coeffs_end;
          if (passes == 3 || counted.vlc_overflows == 0) {
            ASSERT_TRUE(placed) << "block " << i;
          }
          if (!placed) continue;
          std::vector<int> got = scanned(block_of(parsed.seg, i));
          got[0] = 0;
          ASSERT_EQ(got, coded[static_cast<size_t>(i)]) << "block " << i;
        }
      }
  EXPECT_GT(limited, 0) << "no value beyond 255 reached the limit";
}

}  // namespace
