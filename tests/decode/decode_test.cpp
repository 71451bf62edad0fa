// Whole-frame decoding: the walk over a frame's segments, the choice of
// writer, the quality flags and the damage report.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "decode/frame.h"
#include "support/decoder.h"
#include "support/frame_builder.h"
#include "support/segment_builder.h"

namespace {

using namespace tarsk::test;

// A frame whose every macroblock is flat: DC only (end of block first),
// the luma DC of macroblock m of segment (s, k) chosen by `level`, which
// decodes to that level (a flat block of level v has DC 2v).
template <typename Level>
FrameBuilder flat_frame(dv_system_t system, int apt, Level level) {
  FrameBuilder frame(system);
  frame.apt(apt);
  for (int s = 0; s < frame.dif_sequences(); ++s)
    for (int k = 0; k < 27; ++k) {
      SegmentBuilder seg;
      seg.all_empty();
      for (int m = 0; m < 5; ++m) {
        for (int b = 0; b < 4; ++b) seg.dc(m, b, 2 * level(s, k, m));
        seg.dc(m, 4, 2 * 40);   // Cr
        seg.dc(m, 5, 2 * -30);  // Cb
      }
      frame.put_segment(s, k, seg.bytes());
    }
  return frame;
}

struct Layout {
  dv_system_t system;
  int apt;
  int width, height;
};

class DecodeFrame : public testing::TestWithParam<Layout> {};

// Every macroblock lands where placement puts it: each is painted with a
// level of its own and found again at its place in the picture.
TEST_P(DecodeFrame, EverySegmentIsDecodedAndPlaced) {
  const Layout layout = GetParam();
  auto level = [](int s, int k, int m) { return (s * 27 * 5 + k * 5 + m) % 200 - 100; };
  FrameBuilder frame = flat_frame(layout.system, layout.apt, level);
  auto dv = new_decoder();
  ASSERT_GE(dv_parse_header(dv.get(), frame.bytes().data()), 0);
  dv->quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
  std::vector<uint8_t> picture(static_cast<size_t>(layout.width * layout.height * 2), 0);
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {layout.width * 2};
  dv_decode_full_frame(dv.get(), frame.bytes().data(), e_dv_color_yuv, pixels, pitches);

  dv_videosegment_t seg{};
  for (int s = 0; s < dv->num_dif_seqs; ++s)
    for (int k = 0; k < 27; ++k) {
      seg.i = s;
      seg.k = k;
      dv_place_video_segment(dv.get(), &seg);
      for (int m = 0; m < 5; ++m) {
        const dv_macroblock_t &mb = seg.mb[m];
        const size_t at = static_cast<size_t>(mb.y * pitches[0] + mb.x * 2);
        ASSERT_EQ(picture[at], level(s, k, m) + 128) << s << " " << k << " " << m;
        ASSERT_EQ(picture[at + 1], -30 + 128);
        ASSERT_EQ(picture[at + 3], 40 + 128);
      }
    }
}

TEST_P(DecodeFrame, RgbAndBgr0FillTheirLinesExactly) {
  const Layout layout = GetParam();
  FrameBuilder frame = flat_frame(layout.system, layout.apt, [](int, int, int) { return 0; });
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  dv->quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
  for (auto [space, bytes] : {std::pair{e_dv_color_rgb, 3}, std::pair{e_dv_color_bgr0, 4}}) {
    // One spare line after the picture must stay untouched.
    std::vector<uint8_t> picture(static_cast<size_t>(layout.width * (layout.height + 1) * bytes), 0xee);
    uint8_t *pixels[1] = {picture.data()};
    int pitches[1] = {layout.width * bytes};
    dv_decode_full_frame(dv.get(), frame.bytes().data(), space, pixels, pitches);
    const size_t end = static_cast<size_t>(layout.width * layout.height * bytes);
    for (size_t i = 0; i < end; ++i)
      if (bytes == 4 && i % 4 == 3) ASSERT_EQ(picture[i], 0) << i;
      else ASSERT_NE(picture[i], 0xee) << i;
    for (size_t i = end; i < picture.size(); ++i) ASSERT_EQ(picture[i], 0xee);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, DecodeFrame,
                         testing::Values(Layout{e_dv_system_525_60, 1, 720, 480},
                                         Layout{e_dv_system_625_50, 0, 720, 576},
                                         Layout{e_dv_system_625_50, 1, 720, 576}));

TEST(DecodeOptions, UnknownColourSpaceWritesNothing) {
  FrameBuilder frame = flat_frame(e_dv_system_625_50, 0, [](int, int, int) { return 50; });
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  dv->quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
  std::vector<uint8_t> picture(720 * 576 * 4, 0xee);
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {720 * 4};
  dv_decode_full_frame(dv.get(), frame.bytes().data(), static_cast<dv_color_space_t>(3), pixels,
                       pitches);
  for (uint8_t b : picture) ASSERT_EQ(b, 0xee);
}

TEST(DecodeOptions, WithoutColourTheColourBlocksAreLeftAsTheyStand) {
  std::vector<uint8_t> bytes(400);
  SegmentBuilder builder;
  builder.all_empty();
  for (int m = 0; m < 5; ++m) builder.dc(m, 0, 64).dc(m, 4, 20).dc(m, 5, -20);
  ParsedSegment parsed(builder.bytes(), DV_QUALITY_COLOR | DV_QUALITY_AC_2);
  auto dv = new_decoder();
  dv_decode_video_segment(dv.get(), &parsed.seg, DV_QUALITY_AC_2);
  for (const dv_macroblock_t &mb : parsed.seg.mb) {
    EXPECT_EQ(mb.b[0].coeffs[63], 32);  // reconstructed: DC 64 -> 32
    EXPECT_EQ(mb.b[4].coeffs[0], 20);   // still the parsed DC
    EXPECT_EQ(mb.b[5].coeffs[0], -20);
  }
  dv_decode_video_segment(dv.get(), &parsed.seg, DV_QUALITY_COLOR | DV_QUALITY_AC_2);
  EXPECT_EQ(parsed.seg.mb[0].b[4].coeffs[63], 10);
}

// Without the colour flag the picture is grey, whatever the colour blocks
// of the segment record held before (earlier frames, other decoders).
TEST(DecodeOptions, WithoutColourThePictureIsGrey) {
  FrameBuilder frame = flat_frame(e_dv_system_625_50, 0, [](int, int, int) { return 20; });
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  std::vector<uint8_t> picture(720 * 576 * 2);
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {720 * 2};
  dv->quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2;  // leaves chroma 40, -30 behind
  dv_decode_full_frame(dv.get(), frame.bytes().data(), e_dv_color_yuv, pixels, pitches);
  dv->quality = DV_QUALITY_AC_2;
  dv_decode_full_frame(dv.get(), frame.bytes().data(), e_dv_color_yuv, pixels, pitches);
  for (size_t i = 0; i < picture.size(); i += 2) {
    ASSERT_EQ(picture[i], 20 + 128);
    ASSERT_EQ(picture[i + 1], 128) << i;
  }
}

TEST(DecodeOptions, NtscSetUpOn411PicturesOnly) {
  for (auto [system, apt] : {std::pair{e_dv_system_525_60, 1}, std::pair{e_dv_system_625_50, 0}}) {
    FrameBuilder frame = flat_frame(system, apt, [](int, int, int) { return 0; });
    dv_decoder_t *dv = dv_decoder_new(1, 0, 0);
    dv_parse_header(dv, frame.bytes().data());
    dv->quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
    std::vector<uint8_t> picture(720 * 576 * 2);
    uint8_t *pixels[1] = {picture.data()};
    int pitches[1] = {720 * 2};
    dv_decode_full_frame(dv, frame.bytes().data(), e_dv_color_yuv, pixels, pitches);
    EXPECT_EQ(picture[0], system == e_dv_system_525_60 ? 128 + 16 : 128);
    dv_decoder_free(dv);
  }
}

// Every decoder writes its frames with its own clamp setting, whichever
// decoder came first and whatever dv_reconfigure chose for the macroblock
// writers: levels beyond the clamps (luma -120 and 120, chroma 100 and
// -100) come out clamped by one decoder and whole by the other, in every
// colour space.
TEST(DecodeOptions, EachDecoderClampsAsItWasMade) {
  FrameBuilder frame(e_dv_system_625_50);
  frame.apt(0);
  for (int s = 0; s < frame.dif_sequences(); ++s)
    for (int k = 0; k < 27; ++k) {
      SegmentBuilder seg;
      seg.all_empty();
      for (int m = 0; m < 5; ++m) {
        for (int b = 0; b < 4; ++b) seg.dc(m, b, 2 * (b % 2 ? 120 : -120));
        seg.dc(m, 4, 2 * 100).dc(m, 5, 2 * -100);
      }
      frame.put_segment(s, k, seg.bytes());
    }
  struct Case {
    dv_color_space_t space;
    int bytes;
  };
  auto decode = [&](dv_decoder_t *dv, Case c) {
    dv_parse_header(dv, frame.bytes().data());
    dv->quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
    std::vector<uint8_t> picture(static_cast<size_t>(720 * 576 * c.bytes));
    uint8_t *pixels[1] = {picture.data()};
    int pitches[1] = {720 * c.bytes};
    dv_decode_full_frame(dv, frame.bytes().data(), c.space, pixels, pitches);
    return picture;
  };
  dv_decoder_t *plain = dv_decoder_new(0, 0, 0);
  dv_decoder_t *clamped = dv_decoder_new(0, 1, 1);
  dv_reconfigure(0, 0);
  for (int round = 0; round < 2; ++round) {
    const auto yuy2 = decode(plain, {e_dv_color_yuv, 2});
    EXPECT_EQ((std::vector<int>{yuy2[0], yuy2[1], yuy2[2], yuy2[3]}),
              (std::vector<int>{8, 28, 8, 228}));  // Y0 Cb Y0 Cr of the first pixels
    const auto yuy2c = decode(clamped, {e_dv_color_yuv, 2});
    EXPECT_EQ((std::vector<int>{yuy2c[0], yuy2c[1], yuy2c[2], yuy2c[3]}),
              (std::vector<int>{16, 28, 16, 228}));
    EXPECT_EQ(yuy2[16], 248);   // pixel 8: block Y1
    EXPECT_EQ(yuy2c[16], 235);
    const auto rgb = decode(plain, {e_dv_color_rgb, 3});
    const auto rgbc = decode(clamped, {e_dv_color_rgb, 3});
    const auto bgr0c = decode(clamped, {e_dv_color_bgr0, 4});
    EXPECT_NE(rgb, rgbc);
    EXPECT_EQ((std::vector<int>{rgbc[0], rgbc[1], rgbc[2]}),
              (std::vector<int>{bgr0c[2], bgr0c[1], bgr0c[0]}));
    dv_reconfigure(1, 1);  // the macroblock writers' choice changes nothing here
  }
  dv_reconfigure(0, 0);
  dv_decoder_free(plain);
  dv_decoder_free(clamped);
}

TEST(DamageReport, OneLinePerDamagedVideoBlock) {
  FrameBuilder frame(e_dv_system_625_50);
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  dv_parse_packs(dv.get(), frame.bytes().data());
  FILE *log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  dv_set_error_log(dv.get(), log);
  dv_report_video_error(dv.get(), frame.bytes().data());
  EXPECT_EQ(read_stream(log), "");  // every status nibble is 0

  uint8_t *first = frame.segment(0, 0);  // DIF block 7 of sequence 0
  first[0] = 0x90;
  first[1] = 0x07;
  first[2] = 0x00;
  first[3] = 0x20;
  uint8_t *last = &frame.bytes()[dif::block_offset(11, dif::blocks_per_sequence - 1)];
  last[3] = 0xf0;
  frame.subcode(6, 0, timecode(1, 2, 3, 4));
  dv_parse_packs(dv.get(), frame.bytes().data());
  dv_report_video_error(dv.get(), frame.bytes().data());
  char expected_last[96];
  std::snprintf(expected_last, sizeof expected_last,
                "ver 01:02:03.04 0000-00-00 00:00:00 %02x %02x %02x f0\n", last[0], last[1],
                last[2]);
  EXPECT_EQ(read_stream(log),
            std::string("ver 01:02:03.04 0000-00-00 00:00:00 90 07 00 20\n") + expected_last);

  // A status nibble on a block that is not video is not reported; nor is
  // anything with the log switched off.
  std::fclose(log);
  log = std::tmpfile();
  dv_set_error_log(dv.get(), log);
  first[3] = 0x00;
  last[3] = 0x00;
  frame.bytes()[dif::audio_offset(0, 0) + 3] = 0xf0;  // an audio block
  dv_report_video_error(dv.get(), frame.bytes().data());
  EXPECT_EQ(read_stream(log), "");
  first[3] = 0x20;
  dv_set_error_log(dv.get(), nullptr);
  dv_report_video_error(dv.get(), frame.bytes().data());
  EXPECT_EQ(read_stream(log), "");
  std::fclose(log);
}

TEST(CoefficientRanges, WidenPerBlockPosition) {
  dv_macroblock_t mb{};
  mb.b[2].coeffs[5] = -300;
  mb.b[5].coeffs[63] = 1234;
  dv_check_coeff_ranges(&mb);
  EXPECT_LE(tarsk::ranges[2][0], -300);
  EXPECT_GE(tarsk::ranges[5][1], 1234);
  EXPECT_LE(tarsk::ranges[0][0], 0);
}

}  // namespace
