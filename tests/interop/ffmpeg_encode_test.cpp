// Our encoder against ffmpeg: ffmpeg decodes the frames we write, our
// decoder and ffmpeg's agree on them, and the pictures keep their quality
// next to ffmpeg's own DV encoder on the same sources.
#include <gtest/gtest.h>
#include <tarsk/dv.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <span>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "common/dif.h"
#include "encode/encode.h"
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

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.content.name << (c.system.system == e_dv_system_625_50 ? " 625/50" : " 525/60");
}

class EncodeQuality : public testing::TestWithParam<Case> {};

// Quality against the source in the stream's own sampling, both decoded by
// ffmpeg: ours at the default settings must keep its floors. ffmpeg's own
// DV encoder is measured beside it for the record (it rounds where the
// format's reference arithmetic truncates, which is most of the gap).
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
  RecordProperty("ours", testing::PrintToString(ours_db));
  RecordProperty("ffmpeg", testing::PrintToString(theirs_db));
}

const Content contents[] = {
    {"testsrc2", "testsrc2", "", {45.5, 40, 37.5}},
    {"bars", "smptehdbars", "", {60, 43, 44}},
    {"mandelbrot", "mandelbrot", "", {42, 40, 40}},
    {"noise", "testsrc2", "noise=alls=20:allf=t+u", {33, 29, 28}},
    {"interlaced", "testsrc2", "tinterlace=mode=interleave_top", {40, 38, 34}},
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

// The other settings on two sources: fewer passes and the static
// quantiser tables cost quality, within floors.
struct SettingsCase {
  const char *name;
  Settings settings;
  double luma_floor;
};

void PrintTo(const SettingsCase &c, std::ostream *os) { *os << c.name; }

class EncodeSettings : public testing::TestWithParam<SettingsCase> {};

TEST_P(EncodeSettings, KeepTheirFloors) {
  const SettingsCase &c = GetParam();
  for (const char *source : {"testsrc2", "mandelbrot"}) {
    const auto input = source_args(source, "", pal, 2);
    const std::string ours = raw_of(
        {"-i", encode_ours(raw_of(input, "yuyv422"), pal, c.settings).string()}, pal.pix_fmt);
    const auto db = psnr_planes(raw_of(input, pal.pix_fmt), ours, pal);
    EXPECT_GE(db[0], c.luma_floor) << source;
    RecordProperty(source, testing::PrintToString(db));
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, EncodeSettings,
                         testing::Values(SettingsCase{"OnePass", {1, 0, -1}, 31.5},
                                         SettingsCase{"TwoPasses", {2, 0, -1}, 33},
                                         SettingsCase{"StaticTable1", {3, 1, -1}, 38},
                                         SettingsCase{"StaticTable2", {3, 2, -1}, 38}),
                         [](const auto &info) { return std::string(info.param.name); });

// Luma PSNR of our decoder's pictures of a DV file against ffmpeg's YUY2
// decode of it (99 when equal).
double decoders_agree_db(const std::filesystem::path &dv, const System &s,
                         const std::string &theirs) {
  const auto bytes = read_file(dv);
  dv_decoder_t *dec = dv_decoder_new(0, 0, 0);
  std::string ours;
  for (auto frame : split_frames(bytes)) {
    EXPECT_GE(dv_parse_header(dec, frame.data()), 0);
    dec->quality = DV_QUALITY_BEST;
    std::string picture(720u * s.height * 2, '\0');
    uint8_t *pixels[1] = {reinterpret_cast<uint8_t *>(picture.data())};
    int pitches[1] = {720 * 2};
    dv_decode_full_frame(dec, frame.data(), e_dv_color_yuv, pixels, pitches);
    ours += picture;
  }
  dv_decoder_free(dec);
  double sum = 0;
  EXPECT_EQ(ours.size(), theirs.size());
  for (size_t i = 0; i < std::min(ours.size(), theirs.size()); i += 2) {  // luma
    const double d =
        static_cast<uint8_t>(ours[i]) - static_cast<double>(static_cast<uint8_t>(theirs[i]));
    sum += d * d;
  }
  return sum == 0 ? 99
                  : 10 * std::log10(255.0 * 255.0 * static_cast<double>(ours.size() / 2) / sum);
}

// ffmpeg's YUY2 decode of a DV file, with what it warns of beyond the
// notice it gives every raw DV file, its own included.
CommandResult ffmpeg_yuy2(const std::filesystem::path &dv) {
  CommandResult decoded = run_command({"ffmpeg", "-hide_banner", "-v", "warning", "-nostdin", "-i",
                                       dv.string(), "-f", "rawvideo", "-pix_fmt", "yuyv422", "-"});
  const std::string usual = "Estimating duration from bitrate, this may be inaccurate\n";
  if (const size_t at = decoded.err.find(usual); at != std::string::npos)
    decoded.err.erase(0, at + usual.size());
  return decoded;
}

// ffmpeg reads what we write: every frame decodes without a warning, the
// stream has the system's size and rate, our aspect ratio and our time
// code; and our decoder and ffmpeg's agree on the pictures.
TEST(EncodeInterop, FfmpegReadsOurFrames) {
  for (const System &s : {pal, ntsc})
    for (bool wide : {false, true}) {
      SCOPED_TRACE(testing::Message() << s.height << (wide ? " 16:9" : " 4:3"));
      const auto input = source_args("testsrc2", "", s, 3);
      const std::string yuy2 = raw_of(input, "yuyv422");
      const auto dv = encode_ours(yuy2, s, {}, wide);
      const auto decoded = ffmpeg_yuy2(dv);
      EXPECT_EQ(decoded.exit_status, 0);
      EXPECT_EQ(decoded.err, "");
      const std::string probe =
          run_ffprobe({"-v", "error", "-show_entries",
                       "stream=width,height,r_frame_rate,display_aspect_ratio:format_tags=timecode",
                       "-of", "default=noprint_wrappers=1", dv.string()});
      EXPECT_NE(probe.find("height=" + std::to_string(s.height)), std::string::npos) << probe;
      EXPECT_NE(
          probe.find(std::string("r_frame_rate=") + (s.height == 576 ? "25/1" : "30000/1001")),
          std::string::npos)
          << probe;
      EXPECT_NE(probe.find(wide ? "display_aspect_ratio=16:9" : "display_aspect_ratio=4:3"),
                std::string::npos)
          << probe;
      // encode_ours counts the time code from frame 90000: one hour at 25
      // frames a second, fifty minutes at 30.
      EXPECT_NE(probe.find(s.height == 576 ? "TAG:timecode=01:00:00:00" : "TAG:timecode=00:50:00"),
                std::string::npos)
          << probe;
      EXPECT_GE(decoders_agree_db(dv, s, decoded.out), 45);
    }
}

// The DCT mode test: interlaced motion (two moments in the two fields of
// each frame) takes the field transform in many blocks, still pictures in
// few.
TEST(EncodeInterop, FieldTransformOnInterlacedMotionOnly) {
  auto field_share = [](const std::string &source, const std::string &filter) {
    const auto before = tarsk::encode_statistics();
    encode_ours(raw_of(source_args(source, filter, pal, 2), "yuyv422"), pal, {});
    const auto after = tarsk::encode_statistics();
    const double field = static_cast<double>(after.dct_used[1] - before.dct_used[1]);
    return field / static_cast<double>(after.dct_used[0] - before.dct_used[0] + field);
  };
  // Measured: 31 % of the blocks of a scrolling pattern woven from two
  // moments, 3 % of still bars or testsrc2 (blocks at horizontal edges,
  // where lines differ more than columns, rightly take it too).
  const double moving =
      field_share("testsrc2", "scroll=horizontal=0.02,tinterlace=mode=interleave_top");
  const double bars = field_share("smptehdbars", ""), still = field_share("testsrc2", "");
  EXPECT_GT(moving, 0.2);
  EXPECT_LT(bars, 0.05);
  EXPECT_LT(still, 0.05);
  EXPECT_GT(moving, 5 * std::max(bars, still));
}

// Our encoding of planar pictures at the stream's sampling through the C++
// encoder at a quality.
std::filesystem::path encode_planar(const std::string &planar, const System &s,
                                    tarsk::EncodeQuality quality) {
  tarsk::Encoder encoder({.system = s.system, .quality = quality});
  const size_t luma = size_t{720} * s.height, chroma = luma / 4;
  const auto *bytes = reinterpret_cast<const uint8_t *>(planar.data());
  std::vector<uint8_t> out;
  std::vector<uint8_t> frame(encoder.frame_bytes());
  for (size_t at = 0; at + luma + 2 * chroma <= planar.size(); at += luma + 2 * chroma) {
    const tarsk::PicturePlanes picture{
        s.system == e_dv_system_625_50 ? e_dv_sample_420 : e_dv_sample_411,
        {bytes + at, luma},
        {bytes + at + luma, chroma},
        {bytes + at + luma + chroma, chroma}};
    EXPECT_TRUE(encoder.encode(picture, frame));
    out.insert(out.end(), frame.begin(), frame.end());
  }
  const auto path = scratch_file(".dv");
  FILE *f = std::fopen(path.c_str(), "wb");
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
  return path;
}

// Video segments whose multi-pass parse finds an invalid code or a block
// without its end.
int unended_segments(const std::filesystem::path &dv, const System &s) {
  const auto bytes = read_file(dv);
  int bad = 0;
  for (auto frame : split_frames(bytes))
    for (int i = 0; i < tarsk::dif::sequences(s.height == 576); ++i)
      for (int k = 0; k < tarsk::dif::segments_per_sequence; ++k) {
        auto seg = std::make_unique<dv_videosegment_t>();
        std::vector<uint8_t> copy(
            frame.begin() + static_cast<long>(tarsk::dif::segment_offset(i, k)),
            frame.begin() + static_cast<long>(tarsk::dif::segment_offset(i, k)) +
                tarsk::dif::segment_size);
        bitstream_t bs{};
        _dv_bitstream_new_buffer(&bs, copy.data(), static_cast<uint32_t>(copy.size()));
        seg->bs = &bs;
        seg->i = i;
        seg->k = k;
        seg->isPAL = s.height == 576;
        dv_parse_video_segment(seg.get(), DV_QUALITY_BEST);
        bool ok = true;
        for (const dv_macroblock_t &mb : seg->mb) ok = ok && mb.vlc_error == 0 && mb.eob_count == 6;
        bad += !ok;
      }
  return bad;
}

// The best quality on varied contents of both systems: valid DV that ffmpeg
// reads without a word, that our decoder reads as ffmpeg does, whose
// multi-pass parse ends every block; and luma well above the default
// quality's, both decoded by ffmpeg (measured: 1.5 to 5 dB above).
TEST(EncodeInterop, BestQualityIsValidAndBeatsTheDefault) {
  const std::pair<const char *, const char *> contents[] = {
      {"testsrc2", ""},
      {"mandelbrot", ""},
      {"testsrc2", "noise=alls=20:allf=t+u"},
      {"testsrc2", "scroll=horizontal=0.02,tinterlace=mode=interleave_top"}};
  for (const System &s : {pal, ntsc})
    for (const auto &[source, filter] : contents) {
      SCOPED_TRACE(testing::Message() << source << " " << filter << " " << s.height);
      const std::string reference = raw_of(source_args(source, filter, s, 2), s.pix_fmt);
      const auto best = encode_planar(reference, s, tarsk::EncodeQuality::best);
      const auto standard = encode_planar(reference, s, tarsk::EncodeQuality::standard);
      const auto decoded = ffmpeg_yuy2(best);
      EXPECT_EQ(decoded.exit_status, 0);
      EXPECT_EQ(decoded.err, "");
      EXPECT_GE(decoders_agree_db(best, s, decoded.out), 45);
      EXPECT_EQ(unended_segments(best, s), 0);
      const double best_db = psnr_planes(reference, raw_of({"-i", best.string()}, s.pix_fmt), s)[0];
      const double standard_db =
          psnr_planes(reference, raw_of({"-i", standard.string()}, s.pix_fmt), s)[0];
      EXPECT_GT(best_db, standard_db + 1) << "standard " << standard_db;
      RecordProperty(std::string(source) + filter + std::to_string(s.height),
                     std::to_string(best_db) + " over " + std::to_string(standard_db));
    }
}

// The C++ encoder refuses the best quality with settings that take its
// search away, and encodes nothing.
TEST(EncodeInterop, BestQualityRefusesOtherSearches) {
  const std::vector<uint8_t> y(720 * 576, 16), c(360 * 288, 128);
  const tarsk::PicturePlanes picture{e_dv_sample_420, y, c, c};
  for (const tarsk::EncodeSettings settings :
       {tarsk::EncodeSettings{.passes = 2, .quality = tarsk::EncodeQuality::best},
        tarsk::EncodeSettings{.static_qno = 1, .quality = tarsk::EncodeQuality::best}}) {
    tarsk::Encoder encoder(settings);
    std::vector<uint8_t> frame(encoder.frame_bytes());
    const auto done = encoder.encode(picture, frame);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().code, tarsk::Errc::bad_settings);
    EXPECT_EQ(encoder.frames(), 0u);
  }
}

}  // namespace
