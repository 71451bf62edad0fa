// Whole frames of flat hand-built macroblocks: the walk over the segments,
// the writers and their clamps, the quality flags and the damage report.
#include <gtest/gtest.h>
#include <popt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/decoder.h"
#include "support/frame_builder.h"
#include "support/segment_builder.h"

namespace {

using namespace tarsk::test;

// A frame whose every macroblock is flat, DC only: the luma level of
// macroblock m of segment (s, k) from `level`, chroma from `cr` and `cb`
// (a flat block of level v has DC 2v).
template <typename Level>
FrameBuilder flat_frame(dv_system_t system, int apt, Level level, int cr = 40, int cb = -30) {
  FrameBuilder frame(system);
  frame.apt(apt);
  for (int s = 0; s < frame.dif_sequences(); ++s)
    for (int k = 0; k < 27; ++k) {
      SegmentBuilder seg;
      seg.all_empty();
      for (int m = 0; m < 5; ++m) {
        for (int b = 0; b < 4; ++b) seg.dc(m, b, 2 * level(s, k, m, b));
        seg.dc(m, 4, 2 * cr).dc(m, 5, 2 * cb);
      }
      frame.put_segment(s, k, seg.bytes());
    }
  return frame;
}

// The picture of a frame in a colour space, with one spare line after it.
std::vector<uint8_t> decode(dv_decoder_t *dv, FrameBuilder &frame, dv_color_space_t space,
                            int bytes, uint8_t fill = 0xee,
                            unsigned quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2) {
  dv_parse_header(dv, frame.bytes().data());
  dv->quality = quality;
  std::vector<uint8_t> picture(static_cast<size_t>(720 * (dv->height + 1) * bytes), fill);
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {720 * bytes};
  dv_decode_full_frame(dv, frame.bytes().data(), space, pixels, pitches);
  return picture;
}

// Every macroblock has a level of its own, found again where placement puts
// it; every pixel has the frame's chroma: the segments cover the picture.
TEST(DecodeFrame, EverySegmentIsDecodedAndPlaced) {
  for (auto [system, apt] : {std::pair{e_dv_system_525_60, 1}, std::pair{e_dv_system_625_50, 0},
                             std::pair{e_dv_system_625_50, 1}}) {
    auto level = [](int s, int k, int m, int) { return (s * 27 * 5 + k * 5 + m) % 200 - 100; };
    FrameBuilder frame = flat_frame(system, apt, level);
    auto dv = new_decoder();
    const auto picture = decode(dv.get(), frame, e_dv_color_yuv, 2);
    for (int y = 0; y < dv->height; ++y)
      for (int x = 0; x < 720; x += 2) {
        const uint8_t *p = &picture[static_cast<size_t>((y * 720 + x) * 2)];
        ASSERT_EQ(std::tuple(p[1], p[3]), std::tuple(-30 + 128, 40 + 128)) << x << " " << y;
      }
    dv_videosegment_t seg{};
    for (seg.i = 0; seg.i < dv->num_dif_seqs; ++seg.i)
      for (seg.k = 0; seg.k < 27; ++seg.k) {
        dv_place_video_segment(dv.get(), &seg);
        for (int m = 0; m < 5; ++m) {
          const dv_macroblock_t &mb = seg.mb[m];
          ASSERT_EQ(picture[static_cast<size_t>(mb.y * 1440 + mb.x * 2)],
                    level(seg.i, seg.k, m, 0) + 128)
              << seg.i << " " << seg.k << " " << m;
        }
      }
  }
}

// Without the colour flag the picture is grey, whatever the colour blocks
// held before. The NTSC set-up adds 16 to the luma, after its clamp, of
// 4:1:1 525/60 pictures only: Y0 at level 0, Y1 at 120 (clamped to 235).
TEST(DecodeFrame, QualityAndSetUp) {
  FrameBuilder frame = flat_frame(e_dv_system_625_50, 0, [](int, int, int, int) { return 20; });
  auto dv = new_decoder();
  decode(dv.get(), frame, e_dv_color_yuv, 2);  // leaves chroma 40, -30 behind
  const auto grey = decode(dv.get(), frame, e_dv_color_yuv, 2, 0xee, DV_QUALITY_AC_2);
  for (size_t i = 0; i < 720 * 576 * 2; i += 2)
    ASSERT_EQ(std::tuple(grey[i], grey[i + 1]), std::tuple(148, 128)) << i;
  for (auto [system, apt, lift] :
       {std::tuple{e_dv_system_525_60, 1, 16}, std::tuple{e_dv_system_625_50, 0, 0}}) {
    FrameBuilder levels =
        flat_frame(system, apt, [](int, int, int, int b) { return b % 2 ? 120 : 0; });
    const auto p = decode(Decoder(dv_decoder_new(1, 1, 1)).get(), levels, e_dv_color_yuv, 2);
    EXPECT_EQ(std::tuple(p[0], p[16]), std::tuple(128 + lift, 235 + lift));
  }
}

// The decoder's popt options, given on a command line: an invalid value prints its usage line as
// it always did and goes back to its default (the process goes on); a valid one is kept. The
// decoder then decodes with what the options left.
TEST(DecodeFrame, InvalidOptionValuesFallBackToTheirDefaults) {
  struct Case {
    std::vector<const char *> args;
    const char *usage;  // "": none
    int dv_decoder_t::*field_of_decoder;
    int dv_video_t::*field_of_video;
    int dv_audio_t::*field_of_audio;
    int value;
    unsigned quality;  // the video record's quality flags after the options
  };
  constexpr unsigned colour = DV_QUALITY_COLOR, ac2 = DV_QUALITY_AC_2, ac1 = DV_QUALITY_AC_1;
  // clang-format off
  const Case cases[] = {
      {{"-V", "7"}, "-V, --video-system=(0|1|2|3)\n", &dv_decoder_t::arg_video_system, nullptr, nullptr, 0, colour | ac2},
      {{"-V", "2"}, "", &dv_decoder_t::arg_video_system, nullptr, nullptr, 2, colour | ac2},
      {{"-q", "9"}, "-q, --quality=(1|2|3)\n", nullptr, &dv_video_t::arg_block_quality, nullptr, 3, colour | ac2},
      {{"-q", "0", "-m"}, "-q, --quality=(1|2|3)\n", nullptr, &dv_video_t::arg_block_quality, nullptr, 3, ac2},
      {{"-q", "2"}, "", nullptr, &dv_video_t::arg_block_quality, nullptr, 2, colour | ac1},
      {{"-q", "1"}, "", nullptr, &dv_video_t::arg_block_quality, nullptr, 1, colour},
      {{"-f", "4"}, "-f, --frequency=(0|1|2|3)\n", nullptr, nullptr, &dv_audio_t::arg_audio_frequency, 0, colour | ac2},
      {{"-Q", "-1"}, "-Q, --quantization=(0|1|2)\n", nullptr, nullptr, &dv_audio_t::arg_audio_quantization, 0, colour | ac2},
      {{"-e", "3"}, "-e, --emphasis=(0|1|2)\n", nullptr, nullptr, &dv_audio_t::arg_audio_emphasis, 0, colour | ac2},
      {{"-e", "1"}, "", nullptr, nullptr, &dv_audio_t::arg_audio_emphasis, 1, colour | ac2},
  };
  // clang-format on
  FrameBuilder frame = flat_frame(e_dv_system_625_50, 0, [](int, int, int, int) { return 20; });
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.args[0]) + " " + c.args[1]);
    auto dv = new_decoder();
    std::vector<const char *> argv = {"decode"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    poptContext con =
        poptGetContext("decode", static_cast<int>(argv.size()), argv.data(), dv->option_table, 0);
    testing::internal::CaptureStderr();
    int rc;
    while ((rc = poptGetNextOpt(con)) > 0) {
    }
    const std::string printed = testing::internal::GetCapturedStderr();
    poptFreeContext(con);
    EXPECT_EQ(rc, -1);  // every option read
    EXPECT_EQ(printed, c.usage);
    const int value = c.field_of_decoder ? dv.get()->*c.field_of_decoder
                      : c.field_of_video ? dv->video->*c.field_of_video
                                         : dv->audio->*c.field_of_audio;
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(dv->video->quality, c.quality);
    // Decoding goes on: flat luma 20 (Y' 148) at the quality the options left.
    const auto picture = decode(dv.get(), frame, e_dv_color_yuv, 2, 0xee, dv->video->quality);
    EXPECT_EQ(picture[0], 148);
  }
}

// Each decoder clamps as it was made (luma 16..235, chroma 16..240), whatever
// came first or dv_reconfigure chose: luma -120 and 120, Cb -120, Cr 120, in
// every colour space; in RGB Cr drives red and Cb blue.
TEST(DecodeFrame, EachDecoderClampsAsItWasMade) {
  FrameBuilder frame = flat_frame(
      e_dv_system_625_50, 0, [](int, int, int, int b) { return b % 2 ? 120 : -120; }, 120, -120);
  const Decoder plain_owner(dv_decoder_new(0, 0, 0)), clamped_owner(dv_decoder_new(0, 1, 1));
  dv_decoder_t *plain = plain_owner.get(), *clamped = clamped_owner.get();
  for (int round = 0; round < 2; ++round) {
    dv_reconfigure(round, round);
    const auto yuy2 = decode(plain, frame, e_dv_color_yuv, 2),
               yuy2c = decode(clamped, frame, e_dv_color_yuv, 2);
    // Y Cb Y Cr of the first pixels (block Y0), and the luma of pixel 8 (Y1).
    EXPECT_EQ((std::vector<int>{yuy2[0], yuy2[1], yuy2[2], yuy2[3], yuy2[16]}),
              (std::vector<int>{8, 8, 8, 248, 248}));
    EXPECT_EQ((std::vector<int>{yuy2c[0], yuy2c[1], yuy2c[2], yuy2c[3], yuy2c[16]}),
              (std::vector<int>{16, 16, 16, 240, 235}));
    const auto rgb = decode(plain, frame, e_dv_color_rgb, 3),
               rgbc = decode(clamped, frame, e_dv_color_rgb, 3),
               bgr0c = decode(clamped, frame, e_dv_color_bgr0, 4);
    EXPECT_NE(rgb, rgbc);
    EXPECT_TRUE(rgb[0] > rgb[2] && rgbc[0] > rgbc[2]);
    EXPECT_EQ(std::tuple(rgbc[0], rgbc[1], rgbc[2]), std::tuple(bgr0c[2], bgr0c[1], bgr0c[0]));
  }
  dv_reconfigure(0, 0);
}

TEST(DamageReport, OneLinePerDamagedVideoBlock) {
  FrameBuilder frame(e_dv_system_625_50);
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  FILE *log = std::tmpfile();
  dv_set_error_log(dv.get(), log);
  dv_report_video_error(dv.get(), frame.bytes().data());  // every status nibble is 0
  uint8_t *first = frame.segment(0, 0);                   // DIF block 7 of sequence 0
  first[3] = 0x20;
  uint8_t *last = &frame.bytes()[dif::block_offset(11, dif::blocks_per_sequence - 1)];
  last[3] = 0xf0;
  frame.bytes()[dif::audio_offset(0, 0) + 3] = 0xf0;  // not video: not reported
  frame.subcode(6, 0, timecode(1, 2, 3, 4));
  dv_parse_packs(dv.get(), frame.bytes().data());
  dv_report_video_error(dv.get(), frame.bytes().data());
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "ver 01:02:03.04 0000-00-00 00:00:00 %02x %02x %02x 20\n"
                "ver 01:02:03.04 0000-00-00 00:00:00 %02x %02x %02x f0\n",
                first[0], first[1], first[2], last[0], last[1], last[2]);
  dv_set_error_log(dv.get(), nullptr);  // nothing with the log off
  dv_report_video_error(dv.get(), frame.bytes().data());
  EXPECT_EQ(read_stream(log), expected);
  std::fclose(log);
}

// The YV12 planes of a 4:2:0 macroblock at the picture's last corner: luma
// sample i of block b holds 64 b + i - 128, chroma sample i -100 + i (Cr)
// and 100 - i (Cb), so each byte shows which sample went there; then the
// clamp. And the RGB writer's saturation, worked out from BT.601.
TEST(Writers, Yv12PlanesAndRgbSaturation) {
  auto dv = new_decoder();  // builds the writers' tables
  std::vector<uint8_t> luma(720 * 576, 0xee), cr(360 * 288, 0xee), cb(360 * 288, 0xee);
  uint8_t *planes[3] = {luma.data(), cr.data(), cb.data()};
  uint16_t pitches[3] = {720, 360, 360};
  dv_macroblock_t mb{};
  mb.x = 704, mb.y = 560;
  for (int i = 0; i < 64; ++i) {
    for (int b = 0; b < 4; ++b) mb.b[b].coeffs[i] = static_cast<dv_coeff_t>(64 * b + i - 128);
    mb.b[4].coeffs[i] = static_cast<dv_coeff_t>(-100 + i);
    mb.b[5].coeffs[i] = static_cast<dv_coeff_t>(100 - i);
  }
  dv_mb420_YV12(&mb, planes, pitches);
  for (int line = 0; line < 16; ++line)
    for (int px = 0; px < 16; ++px)
      ASSERT_EQ(luma[static_cast<size_t>((560 + line) * 720 + 704 + px)],
                64 * ((line / 8) * 2 + px / 8) + (line % 8) * 8 + px % 8);
  EXPECT_EQ(luma[559 * 720 + 704], 0xee);
  for (int i = 0; i < 64; ++i) {
    const size_t at = static_cast<size_t>((280 + i / 8) * 360 + 352 + i % 8);
    ASSERT_EQ(std::tuple(cr[at], cb[at]), std::tuple(28 + i, 228 - i)) << i;
  }
  auto rgb = [](int y, int cr, int cb) {
    dv_macroblock_t flat{};
    for (int b = 0; b < 6; ++b)
      for (dv_coeff_t &c : flat.b[b].coeffs) c = static_cast<dv_coeff_t>(b < 4 ? y : b == 4 ? cr : cb);
    std::vector<uint8_t> p(32 * 16 * 3);
    uint8_t *pixels[1] = {p.data()};
    int pitch[1] = {32 * 3};
    dv_mb411_rgb(&flat, pixels, pitch, 0);
    return std::vector<int>{p[0], p[1], p[2]};
  };
  for (auto [y, red, green, blue, want] :
       {std::tuple{0, 0, 0, 0, 130}, {-112, 0, 0, 0, 0}, {107, 0, 0, 0, 254}, {108, 0, 0, 0, 255},
        {32767, -32768, 32767, 0, 255}})
    EXPECT_EQ(rgb(y, red, blue + green), std::vector<int>(3, want)) << y;
  EXPECT_EQ(rgb(0, 127, 0)[0], 255);
  EXPECT_EQ(rgb(0, 0, 127)[2], 255);
  dv_reconfigure(1, 1);
  mb = {};
  for (int b = 0; b < 6; ++b) mb.b[b].coeffs[0] = static_cast<dv_coeff_t>(b < 4 ? 300 : b == 4 ? 127 : -300);
  dv_mb420_YV12(&mb, planes, pitches);
  EXPECT_EQ(std::tuple(luma[0], cr[0], cb[0]), std::tuple(235, 240, 16));
  dv_reconfigure(0, 0);
}

}  // namespace
