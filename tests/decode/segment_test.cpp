// Parsing hand-built video segments: DC fields, the first pass over each
// block's own area, and the recovery of codes spilled into other areas.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/segment_builder.h"

namespace {

using namespace tarsk::test;

constexpr unsigned dc_only = DV_QUALITY_COLOR;
constexpr unsigned single_pass = DV_QUALITY_COLOR | DV_QUALITY_AC_1;
constexpr unsigned multi_pass = DV_QUALITY_COLOR | DV_QUALITY_AC_2;

class Segment : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }

  std::unique_ptr<ParsedSegment> parse(unsigned quality, int i = 0, int k = 0, bool pal = true) {
    return std::make_unique<ParsedSegment>(builder.bytes(), quality, i, k, pal);
  }

  SegmentBuilder builder;
};

// Coefficient index of scan position n (8x8 mode).
int zigzag(int n) { return dv_88_reorder_prime[n]; }

// Codes that fill exactly `bits` bits (a multiple of 4) with amplitudes
// and no end of block: 4-bit (0, 2) codes, then amplitude escapes.
Bits filler(int bits) {
  EXPECT_EQ(bits % 4, 0);
  Bits b;
  for (; bits % 16 != 0; bits -= 4) b.code(0, 2);
  for (; bits > 0; bits -= 16) b.code(0, 100);
  return b;
}

// Codes and an end of block that fill block b's area exactly: no free
// bits to lend.
void fill_area_with_eob(SegmentBuilder &builder, int m, int b) {
  const int area = SegmentBuilder::area_end(m, b) - SegmentBuilder::ac_start(m, b);
  Bits codes = filler(area - 4);
  codes.eob();
  builder.place(codes, {{SegmentBuilder::ac_start(m, b), SegmentBuilder::area_end(m, b)}});
}

TEST_F(Segment, DcOnlyReadsDcModeAndClass) {
  builder.all_empty().status(0, 0, 9).status(4, 0xf, 15);
  builder.dc(0, 0, 0x100, 1, 3).dc(0, 1, 0x0ff, 0, 2).dc(4, 5, 0x1ff);
  auto p = parse(dc_only);
  const dv_macroblock_t &mb = p->seg.mb[0];
  EXPECT_EQ(mb.qno, 9);
  EXPECT_EQ(mb.b[0].coeffs[0], -256);
  EXPECT_EQ(mb.b[0].dct_mode, 1);
  EXPECT_EQ(mb.b[0].class_no, 3);
  EXPECT_EQ(mb.b[1].coeffs[0], 255);
  EXPECT_EQ(mb.b[1].class_no, 2);
  EXPECT_EQ(p->seg.mb[4].qno, 15);
  EXPECT_EQ(p->seg.mb[4].b[5].coeffs[0], -1);
  for (const dv_macroblock_t &m : p->seg.mb)
    for (const dv_block_t &b : m.b)
      for (int c = 1; c < 64; ++c) ASSERT_EQ(b.coeffs[c], 0);
}

TEST_F(Segment, MacroblocksComeFromFiveSuperBlocks) {
  builder.all_empty();
  auto ntsc = parse(dc_only, 9, 0, false);
  const int ntsc_i[5] = {1, 5, 7, 9, 3};
  const int j[5] = {2, 1, 3, 0, 4};
  for (int m = 0; m < 5; ++m) {
    EXPECT_EQ(ntsc->seg.mb[m].i, ntsc_i[m]);
    EXPECT_EQ(ntsc->seg.mb[m].j, j[m]);
    EXPECT_EQ(ntsc->seg.mb[m].k, 0);
  }
  auto pal = parse(multi_pass, 11, 26, true);
  const int pal_i[5] = {1, 5, 7, 11, 3};
  for (int m = 0; m < 5; ++m) {
    EXPECT_EQ(pal->seg.mb[m].i, pal_i[m]);
    EXPECT_EQ(pal->seg.mb[m].k, 26);
  }
}

TEST_F(Segment, FirstPassPutsAmplitudesAtTheirCoefficients) {
  builder.all_empty();
  Bits y0;
  y0.code(0, 1).code(2, -1).code(0, -200).code(6, 0).code(0, 5).eob();
  builder.place(y0, {{SegmentBuilder::ac_start(0, 0), SegmentBuilder::area_end(0, 0)}});
  // A 2-4-8 block scans the sum and difference halves in turn.
  builder.dc(1, 2, 7, 1);
  Bits y2;
  y2.code(0, 3).code(1, 4).eob();
  builder.place(y2, {{SegmentBuilder::ac_start(1, 2), SegmentBuilder::area_end(1, 2)}});

  for (unsigned quality : {single_pass, multi_pass}) {
    auto p = parse(quality);
    const dv_block_t &b = p->seg.mb[0].b[0];
    EXPECT_EQ(b.eob, 1);
    EXPECT_EQ(b.coeffs[zigzag(1)], 1);
    EXPECT_EQ(b.coeffs[zigzag(4)], -1);
    EXPECT_EQ(b.coeffs[zigzag(5)], -200);
    // (6, 0) stands for seven zeros, then 5.
    EXPECT_EQ(b.coeffs[zigzag(13)], 5);
    int nonzero = 0;
    for (int c = 1; c < 64; ++c) nonzero += b.coeffs[c] != 0;
    EXPECT_EQ(nonzero, 4);
    EXPECT_EQ(b.offset, SegmentBuilder::ac_start(0, 0) + y0.size());

    const dv_block_t &b248 = p->seg.mb[1].b[2];
    EXPECT_EQ(b248.dct_mode, 1);
    EXPECT_EQ(b248.coeffs[0], 7);
    EXPECT_EQ(b248.coeffs[32], 3);  // scan position 1: first difference
    EXPECT_EQ(b248.coeffs[33], 4);  // scan position 3
    EXPECT_EQ(p->seg.mb[0].eob_count, 6);
  }
}

TEST_F(Segment, EndOfBlockFirst) {
  builder.all_empty().dc(2, 3, 42);
  auto p = parse(single_pass);
  const dv_block_t &b = p->seg.mb[2].b[3];
  EXPECT_EQ(b.eob, 1);
  EXPECT_EQ(b.coeffs[0], 42);
  for (int c = 1; c < 64; ++c) ASSERT_EQ(b.coeffs[c], 0);
  EXPECT_EQ(b.offset, SegmentBuilder::ac_start(2, 3) + 4);
}

TEST_F(Segment, TooManyCoefficientsAreAnError) {
  builder.all_empty();
  Bits y0;
  for (int n = 0; n < 5; ++n) y0.code(14, 1);  // 75 positions
  builder.place(y0, {{SegmentBuilder::ac_start(0, 0), SegmentBuilder::area_end(0, 0)}});
  auto p = parse(single_pass);
  EXPECT_EQ(p->seg.mb[0].vlc_error, 1);
  EXPECT_EQ(p->seg.mb[0].b[0].eob, 0);
  EXPECT_EQ(p->seg.mb[1].vlc_error, 0);
}

// A run of zeros past the block's last coefficient is no code: the block
// ends there, damaged, at every quality level, and nothing after it counts
// as its end of block. Y2 of macroblock 1 holds amplitudes and a run to
// coefficient 62, then a run of 61 more and an end of block: once all in
// its own area, once with the bad run cut by the area's end and completed
// from Cr's free bits.
TEST_F(Segment, RunPastTheLastCoefficientEndsTheBlockDamaged) {
  for (int amplitudes : {2, 5}) {  // 5: 80 + 13 bits, 7 left for the 13-bit run
    SCOPED_TRACE(amplitudes);
    builder = SegmentBuilder();
    builder.all_empty();
    Bits codes;
    for (int n = 0; n < amplitudes; ++n) codes.code(0, 100);
    codes.code(61 - amplitudes, 0).code(61, 0).eob();
    const int cr_free = SegmentBuilder::ac_start(1, 4) + 4;
    builder.place(codes, {{SegmentBuilder::ac_start(1, 2), SegmentBuilder::area_end(1, 2)},
                          {cr_free, SegmentBuilder::area_end(1, 4)}});
    for (unsigned quality : {single_pass, multi_pass}) {
      auto p = parse(quality);
      const dv_macroblock_t &mb = p->seg.mb[1];
      EXPECT_EQ(mb.b[2].eob, 0) << quality;
      EXPECT_EQ(mb.eob_count, 5) << quality;
      EXPECT_EQ(mb.b[2].coeffs[zigzag(1)], 100) << quality;
    }
  }
}

// Y0 fills its area exactly; its end of block stands in Y1's free bits.
TEST_F(Segment, EndOfBlockFromALenderOfTheSameMacroblock) {
  builder.all_empty();
  const int y0 = SegmentBuilder::ac_start(0, 0);
  builder.place(filler(100), {{y0, SegmentBuilder::area_end(0, 0)}});
  const int y1_free = SegmentBuilder::ac_start(0, 1) + 4;
  builder.place(Bits().eob(), {{y1_free, SegmentBuilder::area_end(0, 1)}});

  auto single = parse(single_pass);
  EXPECT_EQ(single->seg.mb[0].b[0].eob, 0);
  EXPECT_EQ(single->seg.mb[0].eob_count, 5);
  EXPECT_EQ(single->seg.mb[0].b[0].coeffs[zigzag(1)], 2);
  EXPECT_EQ(single->seg.mb[0].b[0].coeffs[zigzag(7)], 100);

  auto multi = parse(multi_pass);
  const dv_macroblock_t &mb = multi->seg.mb[0];
  EXPECT_EQ(mb.b[0].eob, 1);
  EXPECT_EQ(mb.eob_count, 6);
  EXPECT_EQ(mb.b[0].coeffs[zigzag(7)], 100);
  EXPECT_EQ(mb.b[1].offset, y1_free + 4);  // the lender's bits are used up to there
  for (const dv_block_t &b : mb.b) EXPECT_EQ(b.mark, 0);
}

// The same amplitude escape, once whole in its own area and once cut by the
// end of Y2's area and completed from Cr's free bits: Y0, Y1 and Y3 have
// none, so Cr is the first block of the macroblock that can lend.
TEST_F(Segment, CodeCutByTheEndOfAnAreaIsCompletedFromAnother) {
  builder.all_empty();
  for (int b : {0, 1, 3}) fill_area_with_eob(builder, 3, b);
  const int y2 = SegmentBuilder::ac_start(3, 2);
  Bits codes = filler(88);
  codes.code(0, -77).code(1, 3).eob();  // 12 bits fit: 4 + 8 + 4 spill over
  const int cr_free = SegmentBuilder::ac_start(3, 4) + 4;
  builder.place(codes, {{y2, SegmentBuilder::area_end(3, 2)}, {cr_free, SegmentBuilder::area_end(3, 4)}});

  auto p = parse(multi_pass);
  const dv_block_t &b = p->seg.mb[3].b[2];
  EXPECT_EQ(b.eob, 1);
  EXPECT_EQ(b.coeffs[zigzag(8)], -77);
  EXPECT_EQ(b.coeffs[zigzag(10)], 3);
  EXPECT_EQ(p->seg.mb[3].b[4].offset, cr_free + 16);

  // Contiguous, the same codes give the same coefficients.
  SegmentBuilder whole;
  whole.all_empty();
  Bits short_codes = filler(20);
  short_codes.code(0, -77).code(1, 3).eob();
  whole.place(short_codes, {{y2, SegmentBuilder::area_end(3, 2)}});
  ParsedSegment reference(whole.bytes(), multi_pass);
  EXPECT_EQ(reference.seg.mb[3].b[2].coeffs[zigzag(3)], -77);
  EXPECT_EQ(reference.seg.mb[3].b[2].coeffs[zigzag(5)], 3);
}

// A code cut into three: the end of Y0's area, all of Y1's few free bits
// and the start of Y2's.
TEST_F(Segment, CodeSpanningTwoLenders) {
  builder.all_empty();
  Bits y1 = filler(88);
  y1.code(0, 1).eob();  // 95 bits: 5 free
  builder.place(y1, {{SegmentBuilder::ac_start(0, 1), SegmentBuilder::area_end(0, 1)}});
  const int y1_free = SegmentBuilder::ac_start(0, 1) + y1.size();
  const int y2_free = SegmentBuilder::ac_start(0, 2) + 4;
  Bits y0 = filler(92);
  y0.code(0, 200).eob();  // 8 bits in Y0, 5 in Y1, 3 and the end of block in Y2
  builder.place(y0, {{SegmentBuilder::ac_start(0, 0), SegmentBuilder::area_end(0, 0)},
                     {y1_free, SegmentBuilder::area_end(0, 1)},
                     {y2_free, SegmentBuilder::area_end(0, 2)}});
  auto p = parse(multi_pass);
  const dv_block_t &b = p->seg.mb[0].b[0];
  EXPECT_EQ(b.eob, 1);
  EXPECT_EQ(b.coeffs[zigzag(9)], 200);
  EXPECT_EQ(p->seg.mb[0].b[1].offset, SegmentBuilder::area_end(0, 1));
  EXPECT_EQ(p->seg.mb[0].b[2].offset, y2_free + 3 + 4);
  EXPECT_EQ(p->seg.mb[0].eob_count, 6);
}

// Macroblock 0's blocks all end exactly at their area ends, Y0 without its
// end of block: it must come from another macroblock.
void fill_macroblock_0_exactly(SegmentBuilder &builder) {
  builder.place(filler(100), {{SegmentBuilder::ac_start(0, 0), SegmentBuilder::area_end(0, 0)}});
  for (int b = 1; b < 6; ++b) fill_area_with_eob(builder, 0, b);
}

// The first free bits of a macroblock's block after its own end of block.
int free_bits(int m, int b) { return SegmentBuilder::ac_start(m, b) + 4; }

TEST_F(Segment, EndOfBlockFromAnotherMacroblockInTheSecondPass) {
  builder.all_empty();
  fill_macroblock_0_exactly(builder);
  builder.place(Bits().eob(), {{free_bits(1, 0), SegmentBuilder::area_end(1, 0)}});

  auto single = parse(single_pass);
  EXPECT_EQ(single->seg.mb[0].b[0].eob, 0);
  auto p = parse(multi_pass);
  EXPECT_EQ(p->seg.mb[0].b[0].eob, 1);
  EXPECT_EQ(p->seg.mb[0].eob_count, 6);
  EXPECT_EQ(p->seg.mb[0].b[0].coeffs[zigzag(7)], 100);
  EXPECT_EQ(p->seg.mb[1].b[0].offset, free_bits(1, 0) + 4);
  for (const dv_macroblock_t &m : p->seg.mb)
    for (const dv_block_t &b : m.b) ASSERT_EQ(b.mark, 0);
}

// Macroblock 1's Y0 ends on the run escape prefix 1111110, and Y1's free
// bits go on with a 6-bit run: 7 makes a code, 2 does not (runs below 6
// have codes of their own).
void spill_run_escape(SegmentBuilder &builder, int run) {
  Bits y0 = filler(88);
  y0.code(1, 1).add(0x7e, 7);
  builder.place(y0, {{SegmentBuilder::ac_start(1, 0), SegmentBuilder::area_end(1, 0)}});
  Bits y1_free;
  y1_free.add(static_cast<uint32_t>(run), 6).eob().eob();
  builder.place(y1_free, {{free_bits(1, 1), SegmentBuilder::area_end(1, 1)}});
}

TEST_F(Segment, InvalidCodeInTheFirstRecoveryPassCancelsTheSecond) {
  // With a valid spanning code macroblock 1 completes in pass 1, and pass 2
  // gives macroblock 0 the end of block that follows in Y1's free bits.
  builder.all_empty();
  fill_macroblock_0_exactly(builder);
  spill_run_escape(builder, 7);
  auto valid = parse(multi_pass);
  EXPECT_EQ(valid->seg.mb[1].b[0].eob, 1);
  // (1, 1) at position 9; (7, 0) then covers positions 10 to 17.
  EXPECT_EQ(valid->seg.mb[1].b[0].coeffs[zigzag(9)], 1);
  EXPECT_EQ(valid->seg.mb[1].b[0].reorder, valid->seg.mb[1].b[0].reorder_sentinel);
  EXPECT_EQ(valid->seg.mb[0].b[0].eob, 1);

  // Run 2: invalid; no second pass, though macroblock 2 offers an end of
  // block that pass 2 would give to macroblock 0.
  SegmentBuilder invalid_builder;
  invalid_builder.all_empty();
  fill_macroblock_0_exactly(invalid_builder);
  spill_run_escape(invalid_builder, 2);
  invalid_builder.place(Bits().eob(), {{free_bits(2, 0), SegmentBuilder::area_end(2, 0)}});
  ParsedSegment invalid(invalid_builder.bytes(), multi_pass);
  EXPECT_EQ(invalid.seg.mb[1].b[0].eob, 0);
  EXPECT_EQ(invalid.seg.mb[0].b[0].eob, 0);
  EXPECT_EQ(invalid.seg.mb[2].b[0].offset, free_bits(2, 0));
  for (const dv_macroblock_t &m : invalid.seg.mb)
    for (const dv_block_t &b : m.b) ASSERT_EQ(b.mark, 0);
}

TEST_F(Segment, FirstPassErrorSkipsOnlyThatMacroblockInRecoveryPassOne) {
  builder.all_empty();
  fill_macroblock_0_exactly(builder);
  // Macroblock 1 opens Y0 with an invalid run escape.
  builder.place(Bits().add(0x7e, 7).add(2, 6), {{SegmentBuilder::ac_start(1, 0),
                                                  SegmentBuilder::area_end(1, 0)}});
  builder.place(Bits().eob(), {{free_bits(2, 0), SegmentBuilder::area_end(2, 0)}});
  auto p = parse(multi_pass);
  EXPECT_EQ(p->seg.mb[1].vlc_error, 1);
  EXPECT_EQ(p->seg.mb[1].b[0].eob, 0);
  EXPECT_EQ(p->seg.mb[0].b[0].eob, 1);  // from macroblock 2, in pass 2
  EXPECT_EQ(p->seg.mb[2].b[0].offset, free_bits(2, 0) + 4);
}

// Y0 fills its area; its end of block stands in Cr's free bits. Without
// colour the luminance must come out as with colour, and the colour blocks
// as the caller left them.
TEST_F(Segment, ColourOffGivesTheSameLuminanceAndLeavesColourAlone) {
  builder.all_empty();
  builder.place(filler(100), {{SegmentBuilder::ac_start(0, 0), SegmentBuilder::area_end(0, 0)}});
  for (int b = 1; b < 4; ++b) fill_area_with_eob(builder, 0, b);
  builder.place(Bits().eob(), {{free_bits(0, 4), SegmentBuilder::area_end(0, 4)}});

  auto colour = parse(multi_pass);
  ASSERT_EQ(colour->seg.mb[0].b[0].eob, 1);

  auto p = std::make_unique<ParsedSegment>(builder.bytes(), multi_pass);
  dv_block_t before[5][2];
  for (int m = 0; m < 5; ++m)
    for (int b = 4; b < 6; ++b) {
      std::memset(&p->seg.mb[m].b[b], 0x5a + b, sizeof(dv_block_t));
      before[m][b - 4] = p->seg.mb[m].b[b];
    }
  for (unsigned quality : {unsigned{DV_QUALITY_AC_2}, unsigned{DV_QUALITY_AC_1}, 0u}) {
    p->parse(builder.bytes(), quality);
    for (int m = 0; m < 5; ++m) {
      EXPECT_LE(p->seg.mb[m].eob_count, 4);
      for (int b = 4; b < 6; ++b)
        EXPECT_EQ(std::memcmp(&p->seg.mb[m].b[b], &before[m][b - 4], sizeof(dv_block_t)), 0)
            << quality << " " << m << " " << b;
    }
  }
  p->parse(builder.bytes(), DV_QUALITY_AC_2);
  EXPECT_EQ(p->seg.mb[0].eob_count, 4);
  for (int m = 0; m < 5; ++m)
    for (int b = 0; b < 4; ++b) {
      const dv_block_t &mono = p->seg.mb[m].b[b];
      const dv_block_t &full = colour->seg.mb[m].b[b];
      EXPECT_EQ(mono.eob, full.eob);
      EXPECT_EQ(std::memcmp(mono.coeffs, full.coeffs, sizeof mono.coeffs), 0) << m << " " << b;
    }
}

}  // namespace
