// The encoder's codes and their placing, read back by the decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "common/bitstream.h"
#include "common/scan.h"
#include "common/vlc.h"
#include "encode/encode.h"
#include "support/segment_builder.h"

namespace {

using namespace tarsk::test;
using tarsk::entry_length;
using tarsk::make_entry;

class Codes : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
};

dv_block_t &block_of(dv_videosegment_t &seg, int i) { return seg.mb[i / 6].b[i % 6]; }

// Every pair reads back as `run` zeros then the amplitude (0: one more zero), in its counted bits.
TEST_F(Codes, EveryPairReadsBackThroughTheDecoder) {
  for (int run = 0; run < 64; ++run)
    for (int amp = -255; amp <= 255; ++amp) {
      const uint32_t index = tarsk::vlc_index(run, amp);
      uint8_t buf[16] = {};
      tarsk::BitWriter w{buf};
      for (uint32_t half = 0; half < 2; ++half) {
        const dv_vlc_entry_t e = vlc_encode_lookup[2 * index + half];
        w.put(tarsk::entry_code(e), entry_length(e));
      }
      ASSERT_EQ(w.pos, vlc_num_bits_lookup[index]) << run << ", " << amp;
      tarsk::BitWindow bits(buf, sizeof buf);
      int zeros = 0, value = 0;
      for (int pos = 0; pos < w.pos;) {
        ASSERT_EQ(value, 0) << "a code after the amplitude: " << run << ", " << amp;
        dv_vlc_t v;
        tarsk::vlc_decode(bits.window(pos), w.pos - pos, &v);
        ASSERT_TRUE(v.len > 0 && v.run >= 0) << run << ", " << amp << " at bit " << pos;
        zeros += v.run + (v.amp == 0);
        value = v.amp;
        pos += v.len;
      }
      ASSERT_EQ(zeros, amp == 0 ? run + 1 : run) << run << ", " << amp;
      ASSERT_EQ(value, amp) << run;
    }
}

// Six 16-bit codes fill 96 of 100 bits, then a 16-bit and a 3-bit code: one pass drops the
// first that does not fit and all after; more write its head and keep its tail to spill.
TEST_F(Codes, PassOneDropsOrSplitsTheFirstCodeThatDoesNotFit) {
  for (int passes = 1; passes <= 3; ++passes) {
    dv_vlc_block_t bl{};
    std::vector<dv_vlc_entry_t> entries(6, make_entry(0xfe2e, 16));
    entries.insert(entries.end(), {make_entry(0xabcd, 16), make_entry(0, 3), DV_VLC_EOB});
    for (size_t i = 0; i < entries.size(); ++i) bl.coeffs[i] = entries[i];
    bl.coeffs_start = bl.coeffs, bl.coeffs_end = bl.coeffs + entries.size();
    bl.bit_offset = 44, bl.bit_budget = 100;
    uint8_t buf[80] = {};
    tarsk::vlc_encode_block_pass_1(&bl, buf, passes);
    tarsk::BitWindow bits(buf, sizeof buf);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(bits.bits(44 + 16 * i, 16), 0xfe2eu);
    EXPECT_EQ(bits.bits(140, 4), passes == 1 ? 0u : 0xau) << passes;
    EXPECT_EQ(bits.bits(144, 16), 0u) << "nothing past the area";
    if (passes > 1) {
      EXPECT_EQ(*bl.coeffs_start, make_entry(0xbcd, 12)) << "the rest stays to be spilled";
    }
  }
}

// Random quantised blocks: empty, sparse, dense, over-full, or a mix.
void fill_segment(dv_videosegment_t &seg, int kind, std::mt19937 &rng) {
  const double density[4] = {0, 0.08, 0.5, 0.9};
  const unsigned largest[4] = {1, 6, 30, 255};
  for (int i = 0; i < 30; ++i) {
    dv_block_t &bl = block_of(seg, i);
    seg.mb[i / 6].qno = static_cast<int>(rng() % 16);
    bl.coeffs[0] = static_cast<dv_coeff_t>(static_cast<int>(rng() % 512) - 256);
    bl.dct_mode = static_cast<int>(rng() % 2);
    bl.class_no = static_cast<int>(rng() % 4);
    const int k = kind < 4 ? kind : static_cast<int>(rng() % 4);
    for (int pos = 1; pos < 64; ++pos) {
      const int v = std::uniform_real_distribution<double>(0, 1)(rng) < density[k]
                        ? 1 + static_cast<int>(rng() % largest[k]) : 0;
      bl.coeffs[pos] = static_cast<dv_coeff_t>(rng() % 2 ? -v : v);
    }
  }
}

// Dark left, light right: the forward transform's largest values (453 at 1), in scan order.
void half_plane_block(dv_block_t &bl, int dct_mode) {
  for (int i = 0; i < 64; ++i) bl.coeffs[i] = static_cast<dv_coeff_t>(i < 32 ? -256 : 254);
  dct_mode == 1 ? _dv_dct_248(bl.coeffs) : _dv_dct_88(bl.coeffs);
  bl.dct_mode = dct_mode;
  tarsk::reorder_block(&bl);
}

// Segments at 1 to 3 passes parsed back: random blocks as they stand (kinds 0-4), quantiser
// searches on quiet to extreme content (5-9; half-plane blocks, where 453 meets 255). Headers come
// back; a placed block as quantised (to -255..255) or a head of its cut list; with 3 passes all
// of a fitting segment is placed: the encoder spills where and as the decoder collects.
TEST_F(Codes, SegmentsParseBackAtEveryPassCount) {
  const decltype(&tarsk::quant_1_pass) searches[4] = {nullptr, tarsk::quant_1_pass,
                                                      tarsk::quant_2_passes, tarsk::quant_3_passes};
  const double strength[3] = {6, 60, 400};
  std::mt19937 rng(14);
  std::normal_distribution<double> noise(0, 1);
  int spilled_and_read[4] = {}, fitting = 0, limited = 0;
  for (int kind = 0; kind < 10; ++kind)
    for (int round = 0; round < (kind < 5 ? 12 : 4); ++round) {
      auto original = std::make_unique<dv_videosegment_t>();
      if (kind < 5) fill_segment(*original, kind, rng);
      for (int i = 0; kind >= 5 && i < 30; ++i) {
        dv_block_t &bl = block_of(*original, i);
        if (kind == 8 || (kind == 9 && (i % 6 == 0 || i % 6 == 4))) {
          half_plane_block(bl, static_cast<int>(rng() % 2));
        } else if (kind < 8) {
          bl.coeffs[0] = static_cast<dv_coeff_t>(std::lround(noise(rng) * 60));
          for (int pos = 1; pos < 64; ++pos)
            bl.coeffs[pos] = static_cast<dv_coeff_t>(
                std::lround(noise(rng) * strength[kind - 5] * std::exp(-pos / 12.0)));
        }
      }
      for (int passes = 1; passes <= 3; ++passes) {
        SCOPED_TRACE(testing::Message()
                     << "kind " << kind << " round " << round << ", " << passes << " passes");
        auto seg = std::make_unique<dv_videosegment_t>(*original);
        dv_vlc_block_t vblocks[30];
        tarsk::EncodeStats stats{};
        if (kind < 5) {
          for (int i = 0; i < 30; ++i)
            tarsk::vlc_encode_block(block_of(*seg, i).coeffs, &vblocks[i]);
        } else {
          for (dv_macroblock_t &mb : seg->mb) tarsk::do_classify(&mb, 0, stats);
          for (int i = 0; kind == 9 && i < 30; ++i) block_of(*seg, i).class_no = i % 3;
          searches[passes](seg.get(), vblocks, 0, stats);
        }
        long bits = 0;
        for (const dv_vlc_block_t &vb : vblocks) bits += vb.coeffs_bits;
        const bool fits = bits <= tarsk::segment_area_bits;
        fitting += kind < 5 && fits && passes == 3;
        SegmentBuilder heads;  // each macroblock's qno, each block's DC, DCT mode and class
        for (int i = 0; i < 30; ++i) {
          const dv_block_t &bl = block_of(*seg, i);
          heads.status(i / 6, 0, seg->mb[i / 6].qno);
          heads.dc(i / 6, i % 6, bl.coeffs[0], bl.dct_mode, bl.class_no);
        }
        tarsk::place_segment_codes(vblocks, heads.bytes().data(), passes);
        ParsedSegment parsed(heads.bytes(), DV_QUALITY_COLOR | DV_QUALITY_AC_2);
        for (int m = 0; m < 5; ++m) ASSERT_EQ(parsed.seg.mb[m].qno, seg->mb[m].qno);
        for (int i = 0; i < 30; ++i) {
          const dv_block_t &want = block_of(*seg, i), &got = block_of(parsed.seg, i);
          ASSERT_EQ(std::tuple(got.coeffs[0], got.dct_mode, got.class_no),
                    std::tuple(want.coeffs[0], want.dct_mode, want.class_no));
          const bool placed = vblocks[i].coeffs_start == vblocks[i].coeffs_end;
          const bool must_place = passes == 3 || (kind >= 5 && stats.vlc_overflows == 0);
          ASSERT_TRUE(placed || !fits || !must_place) << "block " << i;
          if (!placed) continue;
          ASSERT_EQ(got.eob, 1) << "block " << i;
          dv_coeff_t quantised[64];
          std::copy_n(block_of(*original, i).coeffs, 64, quantised);
          if (kind >= 5) _dv_quant(quantised, seg->mb[i / 6].qno, want.class_no);
          std::vector<int> values(quantised, quantised + 64), read;  // read: in scan order
          for (int pos = 0; pos < 64; ++pos)
            read.push_back(got.coeffs[tarsk::scan_of(got.dct_mode)[pos]]);
          for (int &v : values) limited += std::abs(v) > 255, v = std::clamp(v, -255, 255);
          values[0] = read[0] = 0;
          if (vblocks[i].coeffs_bits == _dv_vlc_num_bits_block(quantised) + 4) {
            ASSERT_EQ(read, values) << "block " << i;
          }
          const auto cut = std::mismatch(read.begin(), read.end(), values.begin()).first;
          ASSERT_TRUE(std::all_of(cut, read.end(), [](int v) { return v == 0; })) << "block " << i;
          spilled_and_read[passes] +=
              static_cast<int>(vblocks[i].coeffs_bits) > tarsk::block_area_bits(i % 6);
        }
      }
    }
  // The cases reach their aims: spilled blocks read back, segments fit by spilling, values limited.
  EXPECT_EQ(spilled_and_read[1], 0);
  EXPECT_GT(spilled_and_read[2], 10);
  EXPECT_GT(spilled_and_read[3], spilled_and_read[2]);
  EXPECT_GT(fitting, 20);
  EXPECT_GT(limited, 0);
}

}  // namespace
