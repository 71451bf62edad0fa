// Our encoder against ffmpeg: ffmpeg decodes the frames we write, our
// decoder and ffmpeg's agree on them, and the pictures keep their quality
// next to ffmpeg's own DV encoder on the same sources.
#include <gtest/gtest.h>

#include <tarsk/dv.h>

#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/dif.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;

struct System {
  dv_system_t system;
  int height;
  const char *rate, *pix_fmt;
};
constexpr System pal{e_dv_system_625_50, 576, "25", "yuv420p"};
constexpr System ntsc{e_dv_system_525_60, 480, "30000/1001", "yuv411p"};

// A lavfi source of the system's size and rate, with an optional filter.
// Interlacing filters take two pictures for each frame: their source runs
// at twice the rate.
std::vector<std::string> source_args(const std::string &source, const std::string &filter,
                                     const System &s, int frames) {
  const bool fields = filter.find("interlace") != std::string::npos;
  const std::string rate = fields ? (s.height == 576 ? "50" : "60000/1001") : s.rate;
  std::string graph = source + "=size=720x" + std::to_string(s.height) + ":rate=" + rate;
  if (!filter.empty()) graph += "," + filter;
  return {"-f", "lavfi", "-i", graph, "-frames:v", std::to_string(frames)};
}

std::string raw_of(std::vector<std::string> input, const std::string &pix_fmt) {
  std::vector<std::string> args = {"-hide_banner", "-loglevel", "error", "-nostdin"};
  args.insert(args.end(), input.begin(), input.end());
  for (const char *a : {"-f", "rawvideo", "-pix_fmt"}) args.emplace_back(a);
  args.push_back(pix_fmt);
  args.emplace_back("-");
  return run_ffmpeg(args);
}

struct Settings {
  int passes = 3, static_qno = 0, force_dct = -1;
};

// Our encoding of YUY2 pictures into a DV file.
std::filesystem::path encode_ours(const std::string &yuy2, const System &s, Settings settings,
                                  bool wide = false) {
  dv_encoder_t *enc = dv_encoder_new(0, 0, 0);
  enc->isPAL = s.system == e_dv_system_625_50;
  enc->is16x9 = wide;
  enc->vlc_encode_passes = settings.passes;
  enc->static_qno = settings.static_qno;
  enc->force_dct = settings.force_dct;
  const size_t picture = size_t{720} * s.height * 2;
  const size_t frame = tarsk::dif::frame_size(enc->isPAL != 0);
  std::vector<uint8_t> out;
  for (size_t at = 0; at + picture <= yuy2.size(); at += picture) {
    std::vector<uint8_t> in(yuy2.begin() + static_cast<long>(at),
                            yuy2.begin() + static_cast<long>(at + picture));
    uint8_t *pixels[1] = {in.data()};
    std::vector<uint8_t> dv(frame);
    EXPECT_EQ(dv_encode_full_frame(enc, pixels, e_dv_color_yuv, dv.data()), 0);
    dv_encode_timecode(dv.data(), enc->isPAL, enc->frame_count - 1 + 90000);
    out.insert(out.end(), dv.begin(), dv.end());
  }
  dv_encoder_free(enc);
  const auto path = scratch_file(".dv");
  FILE *f = std::fopen(path.c_str(), "wb");
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
  return path;
}

// PSNR of three planes (Y, Cb, Cr) of planar pictures in the stream's
// sampling; infinite when equal.
std::array<double, 3> psnr_planes(const std::string &a, const std::string &b, const System &s) {
  const size_t luma = size_t{720} * s.height;
  const size_t chroma = luma / 4;  // 4:2:0 and 4:1:1 alike
  const size_t frame = luma + 2 * chroma;
  std::array<double, 3> sum{}, n{};
  EXPECT_EQ(a.size(), b.size());
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    const size_t at = i % frame;
    const int plane = at < luma ? 0 : at < luma + chroma ? 1 : 2;
    const double d = static_cast<double>(static_cast<uint8_t>(a[i])) - static_cast<uint8_t>(b[i]);
    sum[plane] += d * d;
    n[plane] += 1;
  }
  std::array<double, 3> db;
  for (int p = 0; p < 3; ++p)
    db[p] = sum[p] == 0 ? std::numeric_limits<double>::infinity()
                        : 10 * std::log10(255.0 * 255.0 * n[p] / sum[p]);
  return db;
}

struct Content {
  const char *name;
  std::string source, filter;
  // Floors at the default settings, per plane (a few dB under what was
  // measured; see the tests' cases).
  std::array<double, 3> floor;
};

struct Case {
  Content content;
  System system;
};

class EncodeQuality : public testing::TestWithParam<Case> {};

// Quality against the source in the stream's own sampling, both decoded by
// ffmpeg: ours at the default settings and ffmpeg's own DV encoder. Ours
// must keep its floors; its luma must stay within 1.5 dB of ffmpeg's.
TEST_P(EncodeQuality, DefaultSettingsAgainstTheSourceAndFfmpegsEncoder) {
  const Case &c = GetParam();
  const System &s = c.system;
  const auto input = source_args(c.content.source, c.content.filter, s, 3);
  const std::string reference = raw_of(input, s.pix_fmt);
  const std::string ours =
      raw_of({"-i", encode_ours(raw_of(input, "yuyv422"), s, {}).string()}, s.pix_fmt);
  const auto theirs_dv = scratch_file(".dv");
  std::vector<std::string> args = {"-hide_banner", "-loglevel", "error", "-nostdin"};
  args.insert(args.end(), input.begin(), input.end());
  for (const char *a : {"-c:v", "dvvideo", "-pix_fmt", s.pix_fmt, "-f", "dv", "-y"})
    args.emplace_back(a);
  args.push_back(theirs_dv.string());
  run_ffmpeg(args);
  const std::string theirs = raw_of({"-i", theirs_dv.string()}, s.pix_fmt);
  const auto ours_db = psnr_planes(reference, ours, s);
  const auto theirs_db = psnr_planes(reference, theirs, s);
  for (int p = 0; p < 3; ++p) EXPECT_GE(ours_db[p], c.content.floor[p]) << "plane " << p;
  EXPECT_GE(ours_db[0], theirs_db[0] - 1.5) << "ffmpeg's encoder: " << theirs_db[0];
  RecordProperty("ours", testing::PrintToString(ours_db));
  RecordProperty("ffmpeg", testing::PrintToString(theirs_db));
}

const Content contents[] = {
    {"testsrc2", "testsrc2", "", {40, 40, 40}},
    {"bars", "smptehdbars", "", {40, 40, 40}},
    {"mandelbrot", "mandelbrot", "", {35, 35, 35}},
    {"noise", "testsrc2", "noise=alls=20:allf=t+u", {30, 30, 30}},
    {"interlaced", "testsrc2", "tinterlace=mode=interleave_top", {35, 35, 35}},
};

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (const Content &c : contents)
    for (const System &s : {pal, ntsc}) cases.push_back({c, s});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Sources, EncodeQuality, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case> &info) {
                           return std::string(info.param.content.name) +
                                  (info.param.system.system == e_dv_system_625_50 ? "Pal" : "Ntsc");
                         });

}  // namespace
