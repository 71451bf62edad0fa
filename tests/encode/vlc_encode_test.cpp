// Coding and placing a block's AC coefficients, checked against the
// decoder: its code reader for single codes and its segment parser for
// whole segments.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/bitstream.h"
#include "common/vlc.h"
#include "encode/encode_support.h"

namespace {

using namespace tarsk::test;
using tarsk::entry_length;
using tarsk::make_entry;

class VlcEncode : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
};

// Every (run, amplitude) pair of the lookup, written and read back by the
// decoder's code reader: `run` zeros, then the amplitude (for amplitude 0
// one more zero), in exactly the bits the bit-count lookup gives.
TEST_F(VlcEncode, EveryPairReadsBackThroughTheDecoder) {
  for (int run = 0; run < 64; ++run)
    for (int amp = -255; amp <= 255; ++amp) {
      const uint32_t index = tarsk::vlc_index(run, amp);
      uint8_t buf[16] = {};
      tarsk::BitWriter w{buf};
      for (int half = 0; half < 2; ++half) {
        const dv_vlc_entry_t e = vlc_encode_lookup[2 * index + static_cast<uint32_t>(half)];
        w.put(tarsk::entry_code(e), entry_length(e));
      }
      ASSERT_EQ(w.pos, vlc_num_bits_lookup[index]) << run << ", " << amp;
      tarsk::BitWindow bits(buf, sizeof buf);
      int zeros = 0;
      int value = 0;
      for (int pos = 0; pos < w.pos;) {
        ASSERT_EQ(value, 0) << "a code after the amplitude: " << run << ", " << amp;
        dv_vlc_t v;
        tarsk::vlc_decode(bits.window(pos), w.pos - pos, &v);
        ASSERT_GT(v.len, 0) << run << ", " << amp << " at bit " << pos;
        ASSERT_GE(v.run, 0);
        zeros += v.run + (v.amp == 0);
        value = v.amp;
        pos += v.len;
      }
      ASSERT_EQ(zeros, amp == 0 ? run + 1 : run) << run << ", " << amp;
      ASSERT_EQ(value, amp) << run;
    }
}

struct BlockCase {
  const char *name;
  std::vector<Coefficient> values;
  std::vector<dv_vlc_entry_t> entries;  // end of block included
};

// The code chosen for telling blocks: rows, escapes and pairs.
TEST_F(VlcEncode, BlocksGetTheStandardsCodes) {
  const dv_vlc_entry_t eob = DV_VLC_EOB;
  const std::vector<BlockCase> cases = {
      {"no AC", {}, {eob}},
      {"+1", {{1, 1}}, {0, make_entry(0b000, 3), eob}},
      {"-1", {{1, -1}}, {0, make_entry(0b001, 3), eob}},
      {"+23: amplitude escape", {{1, 23}}, {0, make_entry(0xfe2e, 16), eob}},
      {"20 zeros, +1: run escape", {{21, 1}}, {make_entry(0x1f80 | 19, 13), make_entry(0, 3), eob}},
      {"3 zeros, 22: no row, two codes",
       {{4, 22}},
       {make_entry(0xfac, 12), make_entry(0x1ef << 1, 10), eob}},
      {"1 zero, -1: row (1, 1)", {{2, -1}}, {0, make_entry(0x7 << 1 | 1, 5), eob}},
      {"62 zeros, +1", {{63, 1}}, {make_entry(0x1f80 | 61, 13), make_entry(0, 3), eob}},
      {"300 codes as 255", {{1, 300}}, {0, make_entry(0xfe00 | 255 << 1, 16), eob}},
      {"-1000 codes as -255", {{1, -1000}}, {0, make_entry(0xfe00 | 255 << 1 | 1, 16), eob}},
  };
  for (const BlockCase &c : cases) {
    dv_block_t bl{};
    set_block(bl, c.values, 17);
    dv_vlc_block_t out{};
    const unsigned long bits = tarsk::vlc_encode_block(bl.coeffs, &out);
    const std::vector<dv_vlc_entry_t> got(out.coeffs, out.coeffs_end);
    EXPECT_EQ(got, c.entries) << c.name;
    unsigned long sum = 0;
    for (dv_vlc_entry_t e : c.entries) sum += static_cast<unsigned long>(entry_length(e));
    EXPECT_EQ(out.coeffs_bits, sum) << c.name;
    EXPECT_EQ(bits, sum - 4) << c.name;
    EXPECT_EQ(_dv_vlc_num_bits_block(bl.coeffs), bits) << c.name;
    EXPECT_EQ(out.coeffs_start, out.coeffs);
  }
}

// A code list made by hand. The record points into itself: fill it where
// it stays.
void fill_list(dv_vlc_block_t &bl, const std::vector<dv_vlc_entry_t> &entries) {
  bl = dv_vlc_block_t{};
  for (size_t i = 0; i < entries.size(); ++i) {
    bl.coeffs[i] = entries[i];
    bl.coeffs_bits += static_cast<uint32_t>(entry_length(entries[i]));
  }
  bl.coeffs_start = bl.coeffs;
  bl.coeffs_end = bl.coeffs + entries.size();
}

std::vector<dv_vlc_entry_t> entries_of(const dv_vlc_block_t &bl) {
  const dv_vlc_entry_t *begin = bl.coeffs;
  return std::vector<dv_vlc_entry_t>(begin, static_cast<const dv_vlc_entry_t *>(bl.coeffs_end));
}

long written_bits(const dv_vlc_block_t *bl, int n) {
  long bits = 0;
  for (int b = 0; b < n; ++b)
    for (const dv_vlc_entry_t *e = bl[b].coeffs; e < bl[b].coeffs_end; ++e)
      bits += entry_length(*e);
  return bits;
}

// Trimming takes codes from the last block back, one per block in turn,
// keeping each end of block, until what will be written fits.
TEST_F(VlcEncode, MakeFitTrimsFromTheLastBlockRoundAndRound) {
  const dv_vlc_entry_t eob = DV_VLC_EOB;
  const dv_vlc_entry_t c8 = make_entry(0xe0, 8);       // (7, 0)
  const dv_vlc_entry_t c9 = make_entry(0xe0 << 1, 9);  // (7, 1) and its sign
  struct Case {
    const char *name;
    std::vector<std::vector<dv_vlc_entry_t>> lists, trimmed;
    long budget;
    long overflows;
  };
  const Case cases[] = {
      {"one block: the 8-bit code goes", {{0, c8, eob}}, {{0, eob}}, 10, 1},
      {"fits: unchanged, not counted", {{0, c9, eob}}, {{0, c9, eob}}, 13, 0},
      {"the last block first, then the one before",
       {{0, c9, eob}, {0, c9, 0, c9, eob}},
       {{0, eob}, {0, c9, 0, eob}},
       22,
       1},
      {"no uncounted end of block: 13 bits would not fit 12",
       {{0, c9, 0, c9, eob}},
       {{0, eob}},
       12,
       1},
      {"a budget no list meets ends at the ends of block",
       {{make_entry(0xfe2e, 16), make_entry(0xfe2e, 16), eob}},
       {{eob}},
       0,
       1},
  };
  for (const Case &c : cases) {
    std::vector<dv_vlc_block_t> blocks(c.lists.size());
    for (size_t b = 0; b < blocks.size(); ++b) fill_list(blocks[b], c.lists[b]);
    tarsk::EncodeStats stats{};
    const int n = static_cast<int>(blocks.size());
    tarsk::vlc_make_fit(blocks.data(), n, c.budget, stats);
    for (int b = 0; b < n; ++b) {
      EXPECT_EQ(entries_of(blocks[static_cast<size_t>(b)]), c.trimmed[static_cast<size_t>(b)])
          << c.name << ", block " << b;
      EXPECT_EQ(blocks[static_cast<size_t>(b)].coeffs_bits,
                written_bits(&blocks[static_cast<size_t>(b)], 1))
          << c.name;
    }
    if (c.budget >= 4 * n) {
      EXPECT_LE(written_bits(blocks.data(), n), c.budget) << c.name;
    }
    EXPECT_EQ(stats.vlc_overflows, c.overflows) << c.name;
  }
}

// Six 16-bit codes fill 96 bits of a 100-bit area; a 16-bit code follows,
// then a 3-bit one that would fit the 4 bits left.
TEST_F(VlcEncode, PassOneDropsOrSplitsTheFirstCodeThatDoesNotFit) {
  const dv_vlc_entry_t escape = make_entry(0xfe2e, 16);
  const dv_vlc_entry_t last = make_entry(0xabcd, 16);
  std::vector<dv_vlc_entry_t> entries(6, escape);
  entries.push_back(last);
  entries.push_back(make_entry(0, 3));
  entries.push_back(DV_VLC_EOB);
  for (int passes = 1; passes <= 3; ++passes) {
    dv_vlc_block_t bl;
    fill_list(bl, entries);
    bl.bit_offset = 44;
    bl.bit_budget = 100;
    uint8_t buf[80] = {};
    tarsk::vlc_encode_block_pass_1(&bl, buf, passes);
    tarsk::BitWindow bits(buf, sizeof buf);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(bits.bits(44 + 16 * i, 16), 0xfe2eu);
    if (passes == 1) {
      EXPECT_EQ(bits.bits(140, 4), 0u) << "nothing after the first code that does not fit";
      EXPECT_EQ(bl.bit_budget, 4);
      EXPECT_EQ(bl.coeffs_start, bl.coeffs + 6);
    } else {
      EXPECT_EQ(bits.bits(140, 4), 0xau) << "the head of the code ends the area";
      EXPECT_EQ(bl.bit_budget, 0);
      EXPECT_EQ(bl.bit_offset, 144);
      EXPECT_EQ(*bl.coeffs_start, make_entry(0xbcd, 12)) << "the rest stays to be spilled";
      EXPECT_EQ(bl.can_supply, 0);
    }
    EXPECT_EQ(bits.bits(144, 16), 0u) << "nothing past the area";
  }
}

// Random quantised segments of several kinds, in scan order.
enum class Kind { empty, sparse, dense, overfull, mixed };

struct SegmentCase {
  const char *name;
  Kind kind;
};

void fill_block(dv_block_t &bl, Kind kind, std::mt19937 &rng) {
  std::uniform_real_distribution<double> u(0, 1);
  double density = 0;
  int largest = 0;
  switch (kind) {
    case Kind::empty:
      break;
    case Kind::sparse:
      density = 0.08, largest = 6;
      break;
    case Kind::dense:
      density = 0.5, largest = 30;
      break;
    case Kind::overfull:
      density = 0.9, largest = 255;
      break;
    case Kind::mixed: {
      constexpr Kind kinds[4] = {Kind::empty, Kind::sparse, Kind::dense, Kind::overfull};
      fill_block(bl, kinds[rng() % 4], rng);
      return;
    }
  }
  for (int i = 1; i < 64; ++i) {
    int v = 0;
    if (u(rng) < density) v = 1 + static_cast<int>(rng() % static_cast<unsigned>(largest));
    bl.coeffs[i] = static_cast<dv_coeff_t>(rng() % 2 ? -v : v);
  }
}

void fill_segment(dv_videosegment_t &seg, Kind kind, std::mt19937 &rng) {
  for (int m = 0; m < 5; ++m) {
    seg.mb[m].qno = static_cast<int>(rng() % 16);
    for (dv_block_t &bl : seg.mb[m].b) {
      bl.coeffs[0] = static_cast<dv_coeff_t>(static_cast<int>(rng() % 512) - 256);
      bl.dct_mode = static_cast<int>(rng() % 2);
      bl.class_no = static_cast<int>(rng() % 4);
      fill_block(bl, kind, rng);
    }
  }
}

// Encoded at 1, 2 and 3 passes and parsed back at the multi-pass level:
// every block whose codes were all placed comes back exactly; with 3
// passes, a segment whose codes fit comes back whole. So the encoder
// spills where and in the order the decoder collects.
TEST_F(VlcEncode, SegmentsParseBackAtEveryPassCount) {
  const SegmentCase cases[] = {{"empty", Kind::empty},
                               {"sparse", Kind::sparse},
                               {"dense", Kind::dense},
                               {"over-full", Kind::overfull},
                               {"mixed", Kind::mixed}};
  std::mt19937 rng(14);
  int spilled_and_read[4] = {};
  int fitting_segments = 0;
  for (const SegmentCase &c : cases)
    for (int round = 0; round < 12; ++round) {
      auto seg = new_segment();
      fill_segment(*seg, c.kind, rng);
      for (int passes = 1; passes <= 3; ++passes) {
        SCOPED_TRACE(testing::Message()
                     << c.name << " round " << round << ", " << passes << " passes");
        dv_vlc_block_t vblocks[30];
        long bits = 0;
        for (int i = 0; i < 30; ++i) {
          tarsk::vlc_encode_block(block_of(*seg, i).coeffs, &vblocks[i]);
          bits += vblocks[i].coeffs_bits;
        }
        std::vector<uint8_t> bytes(400, 0);
        write_block_heads(*seg, bytes);
        tarsk::place_segment_codes(vblocks, bytes.data(), passes);
        ParsedSegment parsed(bytes, DV_QUALITY_COLOR | DV_QUALITY_AC_2);
        const bool fits = bits <= tarsk::segment_area_bits;
        fitting_segments += fits && passes == 3;
        for (int i = 0; i < 30; ++i) {
          const dv_block_t &want = block_of(*seg, i);
          const dv_block_t &got = block_of(parsed.seg, i);
          ASSERT_EQ(got.coeffs[0], want.coeffs[0]);
          ASSERT_EQ(got.dct_mode, want.dct_mode);
          ASSERT_EQ(got.class_no, want.class_no);
          const bool placed = vblocks[i].coeffs_start == vblocks[i].coeffs_end;
          if (passes == 3 && fits) {
            ASSERT_TRUE(placed) << "block " << i;
          }
          if (!placed) continue;
          ASSERT_EQ(got.eob, 1) << "block " << i;
          const std::vector<int> expected(want.coeffs, want.coeffs + 64);
          ASSERT_EQ(scanned(got), expected) << "block " << i;
          spilled_and_read[passes] +=
              static_cast<int>(vblocks[i].coeffs_bits) > tarsk::block_area_bits(i % 6);
        }
        for (int m = 0; m < 5; ++m) ASSERT_EQ(parsed.seg.mb[m].qno, seg->mb[m].qno);
      }
    }
  // The cases must reach what they are for: blocks read back from other
  // areas with 2 and 3 passes, and segments that fit only with spilling.
  EXPECT_EQ(spilled_and_read[1], 0);
  EXPECT_GT(spilled_and_read[2], 10);
  EXPECT_GT(spilled_and_read[3], spilled_and_read[2]);
  EXPECT_GT(fitting_segments, 20);
}

}  // namespace
