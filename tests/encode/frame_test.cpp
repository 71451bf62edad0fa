// Whole frames from pictures: the library path (YUY2, RGB), the input
// filters (PPM, PGM) and the loop path's frame walk give the same video
// for the same picture; the filters' refusals; the DCT mode test.
#include <gtest/gtest.h>
#include <tarsk/dv.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/dif.h"
#include "encode/encode.h"
#include "input/fill.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// A picture with detail in every plane: 4:2:0 planes (the pgm layout's) of
// 720 x lines, luma and chroma from different patterns.
struct Picture420 {
  int lines;
  std::vector<uint8_t> y, cb, cr;  // 720 x lines; 360 x lines/2 each
  explicit Picture420(int lines_)
      : lines(lines_), y(720u * lines_), cb(360u * lines_ / 2), cr(360u * lines_ / 2) {
    for (int l = 0; l < lines; ++l)
      for (int x = 0; x < 720; ++x)
        y[static_cast<size_t>(l * 720 + x)] =
            static_cast<uint8_t>(16 + (x * 3 + l * 5 + (x / 7) * (l / 9)) % 220);
    for (int l = 0; l < lines / 2; ++l)
      for (int x = 0; x < 360; ++x) {
        cb[static_cast<size_t>(l * 360 + x)] = static_cast<uint8_t>(16 + (x * 7 + l * 3) % 225);
        cr[static_cast<size_t>(l * 360 + x)] = static_cast<uint8_t>(240 - (x * 2 + l * 11) % 225);
      }
  }
  // The same picture as YUY2: each chroma line serves two picture lines.
  std::vector<uint8_t> yuy2() const {
    std::vector<uint8_t> out(720u * lines * 2);
    for (int l = 0; l < lines; ++l)
      for (int p = 0; p < 360; ++p) {
        uint8_t *o = &out[static_cast<size_t>((l * 360 + p) * 4)];
        const size_t c = static_cast<size_t>((l / 2) * 360 + p);
        o[0] = y[static_cast<size_t>(l * 720 + 2 * p)];
        o[1] = cb[c];
        o[2] = y[static_cast<size_t>(l * 720 + 2 * p + 1)];
        o[3] = cr[c];
      }
    return out;
  }
  // As a raw PGM: luma lines, then chroma lines of 360 Cb and 360 Cr.
  std::string pgm_file() const {
    const auto path = scratch_file(".pgm");
    std::ofstream f(path, std::ios::binary);
    f << "P5\n# made by the test\n\n720 " << lines * 3 / 2 << "\n255\n";
    f.write(reinterpret_cast<const char *>(y.data()), static_cast<long>(y.size()));
    for (int l = 0; l < lines / 2; ++l) {
      f.write(reinterpret_cast<const char *>(&cb[static_cast<size_t>(l * 360)]), 360);
      f.write(reinterpret_cast<const char *>(&cr[static_cast<size_t>(l * 360)]), 360);
    }
    return path.string();
  }
};

std::vector<uint8_t> rgb_picture(int lines) {
  std::vector<uint8_t> rgb(720u * lines * 3);
  for (size_t i = 0; i < rgb.size(); ++i)
    rgb[i] = static_cast<uint8_t>((i * 37 + i / 2160 * 11) % 256);
  return rgb;
}

std::string ppm_file(const std::vector<uint8_t> &rgb, int lines,
                     const std::string &header_extra = "") {
  const auto path = scratch_file(".ppm");
  std::ofstream f(path, std::ios::binary);
  f << "P6\n" << header_extra << "720 " << lines << "\n255\n";
  f.write(reinterpret_cast<const char *>(rgb.data()), static_cast<long>(rgb.size()));
  return path.string();
}

// The video blocks of a frame (everything but headers and audio).
std::vector<uint8_t> video_of(const std::vector<uint8_t> &frame, bool pal) {
  std::vector<uint8_t> video;
  for (int s = 0; s < dif::sequences(pal); ++s)
    for (int k = 0; k < dif::segments_per_sequence; ++k)
      for (int m = 0; m < 5; ++m) {
        const uint8_t *b = &frame[dif::block_offset(s, dif::video_block(k, m))];
        video.insert(video.end(), b + 3, b + dif::block_size);
      }
  return video;
}

std::vector<uint8_t> library_encode(std::vector<uint8_t> picture, bool pal,
                                    dv_color_space_t space) {
  dv_encoder_t *enc = dv_encoder_new(0, 0, 0);
  enc->isPAL = pal;
  enc->force_dct = -1;
  std::vector<uint8_t> frame(dif::frame_size(pal));
  uint8_t *in[1] = {picture.data()};
  EXPECT_EQ(dv_encode_full_frame(enc, in, space, frame.data()), 0);
  dv_encoder_free(enc);
  return frame;
}

// A picture through a named input filter and the loop path's frame walk.
std::vector<uint8_t> filter_encode(const char *name, const std::string &file, bool *pal) {
  dv_enc_input_filter_t *filters;
  int count;
  dv_enc_get_input_filters(&filters, &count);
  for (int n = 0; n < count; ++n) {
    if (std::string(filters[n].filter_name) != name) continue;
    EXPECT_EQ(filters[n].init(0, -1), 0);
    int isPAL = -1;
    EXPECT_EQ(filters[n].load(file.c_str(), &isPAL), 0);
    *pal = isPAL == 1;
    std::vector<uint8_t> frame(dif::frame_size(true));
    tarsk::encode(&filters[n], isPAL, frame.data(), 3, 0);
    filters[n].finish();
    frame.resize(dif::frame_size(*pal));
    return frame;
  }
  ADD_FAILURE() << "no filter " << name;
  return {};
}

// A picture as PGM (4:2:0 planes) and as YUY2 gives the same video, in
// both systems: the right-most 16x16 macroblocks of 525/60 included.
TEST(EncodeFrame, PgmAndYuy2OfOnePictureGiveTheSameVideo) {
  for (int lines : {576, 480}) {
    const Picture420 picture(lines);
    bool pal = false;
    const auto from_pgm = filter_encode("pgm", picture.pgm_file(), &pal);
    EXPECT_EQ(pal, lines == 576);
    const auto from_yuy2 = library_encode(picture.yuy2(), pal, e_dv_color_yuv);
    EXPECT_EQ(video_of(from_pgm, pal), video_of(from_yuy2, pal)) << lines;
  }
}

TEST(EncodeFrame, PpmAndRgbOfOnePictureGiveTheSameVideo) {
  for (int lines : {576, 480}) {
    const auto rgb = rgb_picture(lines);
    bool pal = false;
    const auto from_ppm = filter_encode("ppm", ppm_file(rgb, lines, "# comment\n\n"), &pal);
    const auto from_rgb = library_encode(rgb, pal, e_dv_color_rgb);
    EXPECT_EQ(video_of(from_ppm, pal), video_of(from_rgb, pal)) << lines;
  }
}

// What the filters refuse, with their messages; nothing is claimed loaded.
TEST(InputFilters, Refusals) {
  const std::string size_ppm =
      "Invalid picture size! (704, 576)\nAllowed sizes are 720x576 for PAL and 720x480 for "
      "NTSC\nProbably you should try ppmqscale...\n";
  const std::string size_pgm =
      "Invalid picture size! (720, 400)\nAllowed sizes are 720x864 for PAL and 720x720 for "
      "NTSC\nProbably you should try ppms and ppmqscale...\n(Or write pgmqscale and include it in "
      "tarsk ;-)\n";
  struct Case {
    const char *filter;
    std::string content, message;
  };
  const std::string short_picture = "P6\n720 576\n255\n" + std::string(1000, 'x');
  for (const Case &c : std::vector<Case>{
           {"ppm", "", ""},
           {"ppm", "P6\nseven by nine\n255\n", "Bad PPM file!\n"},
           {"pgm", "P5\n720\n", "Bad PGM file!\n"},
           {"ppm", "P6\n704 576\n255\n", size_ppm},
           {"pgm", "P5\n720 600\n255\n", size_pgm},
           {"ppm", short_picture, "PPM picture data cut short: 1000 of 1244160 bytes\n"},
       }) {
    const auto path = scratch_file(".pnm");
    std::ofstream(path, std::ios::binary) << c.content;
    dv_enc_input_filter_t *filters;
    int count;
    dv_enc_get_input_filters(&filters, &count);
    dv_enc_input_filter_t &f = filters[std::string(c.filter) == "ppm" ? 0 : 1];
    ASSERT_EQ(f.init(0, -1), 0);
    int isPAL = -1;
    CaptureStderr();
    EXPECT_EQ(f.load(path.c_str(), &isPAL), -1) << c.content.substr(0, 20);
    EXPECT_EQ(GetCapturedStderr(), c.message);
    CaptureStderr();
    EXPECT_EQ(f.load("/nonexistent/x.ppm", &isPAL), -1);
    EXPECT_EQ(GetCapturedStderr(), "Can't open picture file: /nonexistent/x.ppm\n");
    EXPECT_EQ(f.skip("/nonexistent/x.ppm", &isPAL), 0);  // a file is skipped unread
    f.finish();
    EXPECT_EQ(f.init(0, 2), -1);
  }
}

// With the wrong interlace, every line moves up by one and the last one is
// repeated: the first luma block's top line is the file's line 1.
TEST(InputFilters, WrongInterlaceMovesLinesUp) {
  std::vector<uint8_t> rgb(720u * 576 * 3);
  for (int l = 0; l < 576; ++l)
    std::fill_n(&rgb[static_cast<size_t>(l) * 2160], 2160, static_cast<uint8_t>((l * 7) % 200));
  const std::string file = ppm_file(rgb, 576);
  dv_enc_input_filter_t *filters;
  int count;
  dv_enc_get_input_filters(&filters, &count);
  dv_macroblock_t top[2]{}, bottom[2]{};  // at the top and the bottom of the picture
  for (int shifted : {0, 1}) {
    ASSERT_EQ(filters[0].init(shifted, 0), 0);
    int isPAL = 0;
    ASSERT_EQ(filters[0].load(file.c_str(), &isPAL), 0);
    bottom[shifted].y = 560;
    filters[0].fill_macroblock(&top[shifted], 1);
    filters[0].fill_macroblock(&bottom[shifted], 1);
    filters[0].finish();
  }
  // Column 0 of luma block 0 holds lines 0..7, of block 2 lines 568..575
  // (a sample of column c, line l at 8c + l).
  const dv_coeff_t *t0 = top[0].b[0].coeffs, *t1 = top[1].b[0].coeffs;
  const dv_coeff_t *b0 = bottom[0].b[2].coeffs, *b1 = bottom[1].b[2].coeffs;
  EXPECT_NE(t0[0], t0[1]);
  for (int l = 0; l < 7; ++l) EXPECT_EQ(t1[l], t0[l + 1]) << l;
  EXPECT_EQ(b1[6], b0[7]);
  EXPECT_EQ(b1[7], b0[7]);  // the last line repeated
  EXPECT_NE(b0[6], b0[7]);
}

TEST(EncodeFrame, RefusesOtherColourSpacesAndNormalisesSettings) {
  dv_encoder_t *enc = dv_encoder_new(0, 0, 0);
  std::vector<uint8_t> picture(720 * 480 * 4), frame(dif::frame_size(false), 0x55);
  uint8_t *in[1] = {picture.data()};
  CaptureStderr();
  EXPECT_EQ(dv_encode_full_frame(enc, in, e_dv_color_bgr0, frame.data()), -1);
  EXPECT_EQ(GetCapturedStderr(), "Invalid value for color_space specified: 2!\n");
  EXPECT_EQ(enc->frame_count, 0);
  struct Case {
    int passes, static_qno, force_dct, passes_after, static_after, dct_after;
  };
  for (const Case &c : {Case{0, 3, 2, 3, 0, -1}, Case{7, -1, -1, 3, 0, -1}, Case{2, 1, 0, 2, 1, 0},
                        Case{1, 2, 1, 1, 2, 1}}) {
    enc->vlc_encode_passes = c.passes;
    enc->static_qno = c.static_qno;
    enc->force_dct = c.force_dct;
    ASSERT_EQ(dv_encode_full_frame(enc, in, e_dv_color_yuv, frame.data()), 0);
    EXPECT_EQ(enc->vlc_encode_passes, c.passes_after);
    EXPECT_EQ(enc->static_qno, c.static_after);
    EXPECT_EQ(enc->force_dct, c.dct_after);
    EXPECT_EQ(frame[3] & 0x80, 0);  // 525/60
  }
  EXPECT_EQ(enc->frame_count, 4);
  // The frame counter runs from its largest value back to 0; a missing
  // picture and a segment encoder asked for other passes are refused (the
  // caller's process goes on).
  enc->frame_count = INT_MAX;
  ASSERT_EQ(dv_encode_full_frame(enc, in, e_dv_color_yuv, frame.data()), 0);
  EXPECT_EQ(enc->frame_count, 0);
  CaptureStderr();
  EXPECT_EQ(dv_encode_full_frame(enc, nullptr, e_dv_color_yuv, frame.data()), -1);
  EXPECT_EQ(GetCapturedStderr(), "dv_encode_full_frame needs a picture and a frame buffer\n");
  auto seg = std::make_unique<dv_videosegment_t>();
  std::vector<uint8_t> segment(dif::segment_size);
  enc->vlc_encode_passes = 4;
  CaptureStderr();
  EXPECT_EQ(dv_encode_videosegment(enc, seg.get(), segment.data()), -1);
  EXPECT_EQ(GetCapturedStderr(), "Invalid value for vlc_encode_passes specified: 4!\n");
  enc->vlc_encode_passes = 1;
  enc->static_qno = 3;
  enc->force_dct = 2;
  EXPECT_EQ(dv_encode_videosegment(enc, seg.get(), segment.data()), 0);
  EXPECT_EQ(enc->static_qno, 0);
  EXPECT_EQ(enc->force_dct, -1);
  dv_encoder_free(enc);
}

TEST(EncodeFrame, RgbConversionOfWhiteAndBlack) {
  uint8_t rgb[2 * 720 * 3];
  std::fill_n(rgb, 2160, 255);
  std::fill_n(rgb + 2160, 2160, 0);
  std::vector<int16_t> y(1440), cr(720), cb(720);
  dv_enc_rgb_to_ycb(rgb, 2, y.data(), cr.data(), cb.data());
  EXPECT_EQ(y[0], 212);
  EXPECT_EQ(cb[0], 0);
  EXPECT_EQ(cr[359], 0);
  EXPECT_EQ(y[720], -224);
  EXPECT_EQ(cb[360], 0);
}

// Vertical differences (between lines of a field pair) outweighing the
// horizontal ones select the field transform.
TEST(DctMode, InterlacedBlocksTakeTheFieldTransform) {
  dv_coeff_t lines[64], columns[64], flat[64];
  for (int c = 0; c < 8; ++c)
    for (int l = 0; l < 8; ++l) {
      lines[8 * c + l] = static_cast<dv_coeff_t>(l % 2 ? 100 : -100);
      columns[8 * c + l] = static_cast<dv_coeff_t>(c % 2 ? 100 : -100);
      flat[8 * c + l] = 40;
    }
  EXPECT_EQ(tarsk::need_dct_248_transposed(lines), 1);
  EXPECT_EQ(tarsk::need_dct_248_transposed(columns), 0);
  EXPECT_EQ(tarsk::need_dct_248_transposed(flat), 0);
}

}  // namespace
