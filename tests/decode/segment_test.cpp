// Parsing hand-built video segments: DC fields, the first pass, and recovery of spilled codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "support/segment_builder.h"

namespace {

using namespace tarsk::test;
using SB = SegmentBuilder;

constexpr unsigned single_pass = DV_QUALITY_COLOR | DV_QUALITY_AC_1;
constexpr unsigned multi_pass = DV_QUALITY_COLOR | DV_QUALITY_AC_2;

void expect_no_marks(const dv_videosegment_t &seg) {
  for (const dv_macroblock_t &m : seg.mb)
    for (const dv_block_t &b : m.b) ASSERT_EQ(b.mark, 0);
}

class Segment : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
  std::unique_ptr<ParsedSegment> parse(unsigned quality) {
    return std::make_unique<ParsedSegment>(builder.bytes(), quality);
  }
  SegmentBuilder builder = SegmentBuilder().all_empty();
};

// Coefficient index of scan position n (8x8 mode).
int zigzag(int n) { return dv_88_reorder_prime[n]; }

// Codes filling exactly `bits` (a multiple of 4), no end of block: 4-bit (0, 2), then escapes.
Bits filler(int bits) {
  EXPECT_EQ(bits % 4, 0);
  Bits b;
  for (; bits % 16 != 0; bits -= 4) b.code(0, 2);
  for (; bits > 0; bits -= 16) b.code(0, 100);
  return b;
}

// Block b's own area, and the first free bits after its end of block.
std::vector<Region> own(int m, int b) { return {{SB::ac_start(m, b), SB::area_end(m, b)}}; }
int free_bits(int m, int b) { return SB::ac_start(m, b) + 4; }
Region free_area(int m, int b) { return {free_bits(m, b), SB::area_end(m, b)}; }

// Codes and an end of block that fill block b's area: no bits to lend.
void fill_area_with_eob(SegmentBuilder &builder, int m, int b) {
  builder.place(filler(SB::area_end(m, b) - SB::ac_start(m, b) - 4).eob(), own(m, b));
}

// Macroblock 0 fills its areas exactly, Y0 without its end of block.
void fill_macroblock_0_exactly(SegmentBuilder &builder) {
  builder.place(filler(100), own(0, 0));
  for (int b = 1; b < 6; ++b) fill_area_with_eob(builder, 0, b);
}

// The DC is 9 bits of two's complement: 0x100 is -256, 0x0ff is 255.
TEST_F(Segment, DcOnlyReadsDcModeAndClass) {
  builder.status(0, 0, 9).status(4, 0xf, 15);
  builder.dc(0, 0, 0x100, 1, 3).dc(0, 1, 0x0ff, 0, 2).dc(4, 5, 0x1ff);
  auto p = parse(DV_QUALITY_COLOR);  // DC only
  const dv_macroblock_t &mb = p->seg.mb[0];
  EXPECT_EQ(mb.qno, 9);
  EXPECT_EQ(std::tuple(mb.b[0].coeffs[0], mb.b[0].dct_mode, mb.b[0].class_no),
            std::tuple(-256, 1, 3));
  EXPECT_EQ(std::tuple(mb.b[1].coeffs[0], mb.b[1].dct_mode, mb.b[1].class_no),
            std::tuple(255, 0, 2));
  EXPECT_EQ(p->seg.mb[4].qno, 15);
  EXPECT_EQ(p->seg.mb[4].b[5].coeffs[0], -1);
  for (const dv_macroblock_t &m : p->seg.mb)
    for (const dv_block_t &b : m.b)
      for (int c = 1; c < 64; ++c) ASSERT_EQ(b.coeffs[c], 0);
}

TEST_F(Segment, FirstPassPutsAmplitudesAtTheirCoefficients) {
  Bits y0;
  y0.code(0, 1).code(2, -1).code(0, -200).code(6, 0).code(0, 5).eob();
  builder.place(y0, own(0, 0));
  // A 2-4-8 block scans the sum and difference halves in turn.
  builder.dc(1, 2, 7, 1);
  builder.place(Bits().code(0, 3).code(1, 4).eob(), own(1, 2));
  // 75 positions in macroblock 2: too many coefficients, an error.
  builder.place(Bits().code(14, 1).code(14, 1).code(14, 1).code(14, 1).code(14, 1), own(2, 0));

  for (unsigned quality : {single_pass, multi_pass}) {
    auto p = parse(quality);
    const dv_block_t &b = p->seg.mb[0].b[0];
    // (6, 0) stands for seven zeros.
    EXPECT_EQ(std::tuple(b.eob, b.coeffs[zigzag(1)], b.coeffs[zigzag(4)], b.coeffs[zigzag(5)],
                         b.coeffs[zigzag(13)]),
              std::tuple(1, 1, -1, -200, 5));
    EXPECT_EQ(std::count_if(b.coeffs + 1, b.coeffs + 64, [](int c) { return c != 0; }), 4);
    EXPECT_EQ(b.offset, SB::ac_start(0, 0) + y0.size());
    EXPECT_EQ(p->seg.mb[0].eob_count, 6);
    const dv_block_t &b248 = p->seg.mb[1].b[2];
    // Scan positions 1 and 3 are the first differences, coefficients 32 and 33.
    EXPECT_EQ(std::tuple(b248.dct_mode, b248.coeffs[0], b248.coeffs[32], b248.coeffs[33]),
              std::tuple(1, 7, 3, 4));
    EXPECT_EQ(std::tuple(p->seg.mb[1].vlc_error, p->seg.mb[2].vlc_error, p->seg.mb[2].b[0].eob),
              std::tuple(0, 1, 0));
  }
}

// A run past the last coefficient is no code: the block ends damaged at every quality. Y2 of
// macroblock 1 runs to coefficient 62, then 61 more: in its area, or completed from Cr's bits.
TEST_F(Segment, RunPastTheLastCoefficientEndsTheBlockDamaged) {
  for (int amplitudes : {2, 5}) {  // 5: 80 + 13 bits, 7 left for the 13-bit run
    SCOPED_TRACE(amplitudes);
    builder = SegmentBuilder().all_empty();
    Bits codes;
    for (int n = 0; n < amplitudes; ++n) codes.code(0, 100);
    codes.code(61 - amplitudes, 0).code(61, 0).eob();
    builder.place(codes, {{SB::ac_start(1, 2), SB::area_end(1, 2)}, free_area(1, 4)});
    for (unsigned quality : {single_pass, multi_pass}) {
      auto p = parse(quality);
      const dv_macroblock_t &mb = p->seg.mb[1];
      EXPECT_EQ(mb.b[2].eob, 0) << quality;
      EXPECT_EQ(mb.eob_count, 5) << quality;
      EXPECT_EQ(mb.b[2].coeffs[zigzag(1)], 100) << quality;
    }
  }
}

// Y0 of macroblock 0 fills its area; its end of block lies in Y1's free bits or, with macroblock
// 0 full, macroblock 1's Y0 (pass 2). One pass leaves Y0 unended; the lender is used up to it.
TEST_F(Segment, EndOfBlockFromALender) {
  for (auto [m, b] : {std::pair{0, 1}, {1, 0}}) {
    SCOPED_TRACE(m);
    builder = SegmentBuilder().all_empty();
    if (m == 0)
      builder.place(filler(100), own(0, 0));
    else
      fill_macroblock_0_exactly(builder);
    builder.place(Bits().eob(), {free_area(m, b)});
    auto single = parse(single_pass), multi = parse(multi_pass);
    const dv_macroblock_t &one = single->seg.mb[0], &mb = multi->seg.mb[0];
    EXPECT_EQ(std::tuple(one.b[0].eob, one.eob_count, one.b[0].coeffs[zigzag(1)]),
              std::tuple(0, 5, 2));
    EXPECT_EQ(std::tuple(mb.b[0].eob, mb.eob_count), std::tuple(1, 6));
    EXPECT_EQ(one.b[0].coeffs[zigzag(7)], 100);
    EXPECT_EQ(mb.b[0].coeffs[zigzag(7)], 100);
    EXPECT_EQ(multi->seg.mb[m].b[b].offset, free_bits(m, b) + 4);
    expect_no_marks(multi->seg);
  }
}

// An escape cut by Y2's area end is completed from Cr, the first lender (Y0, Y1, Y3 are full).
TEST_F(Segment, CodeCutByTheEndOfAnAreaIsCompletedFromAnother) {
  for (int b : {0, 1, 3}) fill_area_with_eob(builder, 3, b);
  // 12 bits of the escape fit: 4 + 8 + 4 spill over.
  builder.place(filler(88).code(0, -77).code(1, 3).eob(), {own(3, 2)[0], free_area(3, 4)});
  auto p = parse(multi_pass);
  const dv_block_t &b = p->seg.mb[3].b[2];
  EXPECT_EQ(std::tuple(b.eob, b.coeffs[zigzag(8)], b.coeffs[zigzag(10)]), std::tuple(1, -77, 3));
  EXPECT_EQ(p->seg.mb[3].b[4].offset, free_bits(3, 4) + 16);
}

// A code cut into three: Y0's area end, Y1's few free bits, the start of Y2's.
TEST_F(Segment, CodeSpanningTwoLenders) {
  Bits y1 = filler(88);
  y1.code(0, 1).eob();  // 95 bits: 5 free
  builder.place(y1, own(0, 1));
  const int y1_free = SB::ac_start(0, 1) + y1.size();
  // 8 bits in Y0, 5 in Y1, 3 and the end of block in Y2.
  builder.place(filler(92).code(0, 200).eob(),
                {own(0, 0)[0], {y1_free, SB::area_end(0, 1)}, free_area(0, 2)});
  auto p = parse(multi_pass);
  const dv_block_t &b = p->seg.mb[0].b[0];
  EXPECT_EQ(std::tuple(b.eob, b.coeffs[zigzag(9)]), std::tuple(1, 200));
  EXPECT_EQ(p->seg.mb[0].b[1].offset, SB::area_end(0, 1));
  EXPECT_EQ(p->seg.mb[0].b[2].offset, free_bits(0, 2) + 3 + 4);
  EXPECT_EQ(p->seg.mb[0].eob_count, 6);
}

// Macroblock 1's Y0 ends on run escape 1111110, Y1's bits add a 6-bit run (below 6: invalid).
void spill_run_escape(SegmentBuilder &builder, int run) {
  builder.place(filler(88).code(1, 1).add(0x7e, 7), own(1, 0));
  builder.place(Bits().add(static_cast<uint32_t>(run), 6).eob().eob(), {free_area(1, 1)});
}

TEST_F(Segment, InvalidCodeInTheFirstRecoveryPassCancelsTheSecond) {
  // Valid: macroblock 1 completes in pass 1; pass 2 gives macroblock 0 the end after it.
  fill_macroblock_0_exactly(builder);
  spill_run_escape(builder, 7);
  auto valid = parse(multi_pass);
  const dv_block_t &spanning = valid->seg.mb[1].b[0];
  // (1, 1) at position 9; (7, 0) then covers positions 10 to 17.
  EXPECT_EQ(std::tuple(spanning.eob, spanning.coeffs[zigzag(9)], valid->seg.mb[0].b[0].eob),
            std::tuple(1, 1, 1));
  EXPECT_EQ(spanning.reorder, spanning.reorder_sentinel);

  // Run 2, invalid: no pass 2, though macroblock 2 offers macroblock 0 an end of block.
  SegmentBuilder invalid_builder = SegmentBuilder().all_empty();
  fill_macroblock_0_exactly(invalid_builder);
  spill_run_escape(invalid_builder, 2);
  invalid_builder.place(Bits().eob(), {free_area(2, 0)});
  ParsedSegment invalid(invalid_builder.bytes(), multi_pass);
  EXPECT_EQ(std::tuple(invalid.seg.mb[1].b[0].eob, invalid.seg.mb[0].b[0].eob), std::tuple(0, 0));
  EXPECT_EQ(invalid.seg.mb[2].b[0].offset, free_bits(2, 0));
  expect_no_marks(invalid.seg);
}

TEST_F(Segment, FirstPassErrorSkipsOnlyThatMacroblockInRecoveryPassOne) {
  fill_macroblock_0_exactly(builder);
  builder.place(Bits().add(0x7e, 7).add(2, 6), own(1, 0));  // an invalid run escape
  builder.place(Bits().eob(), {free_area(2, 0)});
  auto p = parse(multi_pass);
  // Macroblock 0's end of block comes from macroblock 2, in pass 2.
  EXPECT_EQ(std::tuple(p->seg.mb[1].vlc_error, p->seg.mb[1].b[0].eob, p->seg.mb[0].b[0].eob),
            std::tuple(1, 0, 1));
  EXPECT_EQ(p->seg.mb[2].b[0].offset, free_bits(2, 0) + 4);
}

// Y0's end of block lies in Cr's free bits. Without colour the luma comes out as with it (Cr is
// parsed all the same), and the colour blocks as the caller left them.
TEST_F(Segment, ColourOffGivesTheSameLuminanceAndLeavesColourAlone) {
  builder.place(filler(100), own(0, 0));
  for (int b = 1; b < 4; ++b) fill_area_with_eob(builder, 0, b);
  builder.place(Bits().eob(), {free_area(0, 4)});
  auto colour = parse(multi_pass), p = parse(multi_pass);
  ASSERT_EQ(colour->seg.mb[0].b[0].eob, 1);
  std::memset(&p->seg.mb[0].b[4], 0x5a, 2 * sizeof(dv_block_t));
  const std::vector<uint8_t> left(256, 0x5a);
  p->parse(builder.bytes(), DV_QUALITY_AC_2);
  EXPECT_EQ(p->seg.mb[0].eob_count, 4);
  EXPECT_EQ(std::memcmp(&p->seg.mb[0].b[4], left.data(), left.size()), 0);
  for (int m = 0; m < 5; ++m)
    for (int b = 0; b < 4; ++b) {
      EXPECT_EQ(p->seg.mb[m].b[b].eob, colour->seg.mb[m].b[b].eob);
      EXPECT_EQ(std::memcmp(p->seg.mb[m].b[b].coeffs, colour->seg.mb[m].b[b].coeffs, 128), 0);
    }
}

}  // namespace
