// Bringing pictures to the stream's sampling, against ffmpeg's own
// conversion of the same picture: filters and siting differ a little, so
// the planes must agree to 40 dB PSNR or better, not byte for byte. What
// needs no conversion must come back untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "picture.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::cli;
using tarsk::test::read_file;
using tarsk::test::run_ffmpeg;
using tarsk::test::scratch_file;

const char *pix_fmt_of(Sampling s) {
  switch (s) {
    case Sampling::s420:
      return "yuv420p";
    case Sampling::s411:
      return "yuv411p";
    case Sampling::s422:
      return "yuv422p";
    case Sampling::s444:
      return "yuv444p";
    case Sampling::rgb:
      return "rgb24";
  }
  return "";
}

// A picture from ffmpeg's raw frame of it at that sampling.
Picture picture_of(const std::vector<uint8_t> &raw, int height, Sampling sampling) {
  Picture p = blank_picture(720, height, sampling);
  auto take = [&, at = size_t{0}](std::vector<uint8_t> &plane) mutable {
    std::copy(raw.begin() + static_cast<std::ptrdiff_t>(at),
              raw.begin() + static_cast<std::ptrdiff_t>(at + plane.size()), plane.begin());
    at += plane.size();
  };
  for (auto *plane : {&p.y, &p.cb, &p.cr, &p.rgb}) take(*plane);
  return p;
}

double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  EXPECT_EQ(a.size(), b.size());
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

struct Case {
  const char *source;  // a lavfi source
  Sampling from, to;
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.source << " " << sampling_label(c.from) << " to " << sampling_label(c.to);
}

class ToStreamSampling : public testing::TestWithParam<Case> {};

TEST_P(ToStreamSampling, AgreesWithFfmpegsConversion) {
  const Case &c = GetParam();
  const int height = c.to == Sampling::s420 ? 576 : 480;
  const std::string size = "720x" + std::to_string(height);
  const auto source = scratch_file("source.raw");
  run_ffmpeg({"-f", "lavfi", "-i", std::string(c.source) + "=size=" + size, "-frames:v", "1", "-f",
              "rawvideo", "-pix_fmt", pix_fmt_of(c.from), "-y", source.string()});
  const Picture ours = to_stream_sampling(picture_of(read_file(source), height, c.from), c.to);
  ASSERT_EQ(ours.sampling, c.to);

  // ffmpeg is told where the chroma samples of each side sit, in 256ths of
  // a pixel: on the first pixel of their group, and 4:2:0 chroma halfway
  // down each pair of lines. It thins RGB's chroma in its own way as it
  // converts, so RGB goes to 4:4:4 first (the matrix alone) and is thinned
  // from there, with the siting told.
  auto vertical = [](Sampling s) { return s == Sampling::s420 ? "128" : "0"; };
  const std::string scale = std::string(c.from == Sampling::rgb ? "format=yuv444p," : "") +
                            "scale=in_h_chr_pos=0:in_v_chr_pos=" + vertical(c.from) +
                            ":out_h_chr_pos=0:out_v_chr_pos=" + vertical(c.to) +
                            ",format=" + pix_fmt_of(c.to);
  const std::string out = run_ffmpeg({"-f", "rawvideo", "-pix_fmt", pix_fmt_of(c.from), "-s", size,
                                      "-i", source.string(), "-vf", scale, "-f", "rawvideo",
                                      "-pix_fmt", pix_fmt_of(c.to), "-"});
  const Picture theirs = picture_of({out.begin(), out.end()}, height, c.to);
  const double y = psnr(ours.y, theirs.y), cb = psnr(ours.cb, theirs.cb),
               cr = psnr(ours.cr, theirs.cr);
  RecordProperty("psnr_y_cb_cr",
                 std::to_string(y) + " " + std::to_string(cb) + " " + std::to_string(cr));
  EXPECT_GE(y, 40);
  EXPECT_GE(cb, 40);
  EXPECT_GE(cr, 40);
}

std::vector<Case> cases() {
  std::vector<Case> all;
  for (const char *source : {"testsrc2", "smptehdbars"})
    for (Sampling to : {Sampling::s420, Sampling::s411})
      for (Sampling from :
           {Sampling::s444, Sampling::s422, Sampling::rgb, Sampling::s420, Sampling::s411})
        if (from != to) all.push_back({source, from, to});
  return all;
}

INSTANTIATE_TEST_SUITE_P(Samplings, ToStreamSampling, testing::ValuesIn(cases()),
                         [](const auto &info) {
                           std::string name = std::string(info.param.source) + "_" +
                                              pix_fmt_of(info.param.from) + "_to_" +
                                              pix_fmt_of(info.param.to);
                           return name;
                         });

// The stream's own sampling passes through byte for byte.
TEST(ToStreamSampling, OwnSamplingPassesThroughUntouched) {
  for (Sampling s : {Sampling::s420, Sampling::s411}) {
    const int height = s == Sampling::s420 ? 576 : 480;
    const std::string raw =
        run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=720x" + std::to_string(height), "-frames:v",
                    "1", "-f", "rawvideo", "-pix_fmt", pix_fmt_of(s), "-"});
    const Picture in = picture_of({raw.begin(), raw.end()}, height, s);
    const Picture out = to_stream_sampling(in, s);
    EXPECT_TRUE(out.y == in.y && out.cb == in.cb && out.cr == in.cr) << pix_fmt_of(s);
  }
}

// RGB colours whose studio-range Y'CbCr every BT.601 table gives: flat
// pictures of them come out as exactly these samples at either sampling.
TEST(ToStreamSampling, RgbPrimariesHaveTheirStudioLevels) {
  struct Colour {
    uint8_t r, g, b, y, cb, cr;
  };
  const Colour colours[] = {{255, 255, 255, 235, 128, 128}, {0, 0, 0, 16, 128, 128},
                            {255, 0, 0, 81, 90, 240},       {0, 255, 0, 145, 54, 34},
                            {0, 0, 255, 41, 240, 110},      {255, 255, 0, 210, 16, 146},
                            {0, 255, 255, 170, 166, 16},    {255, 0, 255, 106, 202, 222}};
  for (const Colour &c : colours)
    for (Sampling s : {Sampling::s420, Sampling::s411}) {
      SCOPED_TRACE(std::to_string(c.r) + " " + std::to_string(c.g) + " " + std::to_string(c.b));
      Picture in = blank_picture(720, 480, Sampling::rgb);
      for (size_t i = 0; i < in.rgb.size(); i += 3) {
        in.rgb[i] = c.r;
        in.rgb[i + 1] = c.g;
        in.rgb[i + 2] = c.b;
      }
      const Picture out = to_stream_sampling(in, s);
      EXPECT_EQ(std::count(out.y.begin(), out.y.end(), c.y), 720 * 480);
      EXPECT_EQ(std::count(out.cb.begin(), out.cb.end(), c.cb), std::ssize(out.cb));
      EXPECT_EQ(std::count(out.cr.begin(), out.cr.end(), c.cr), std::ssize(out.cr));
    }
}

}  // namespace
