// tarsk encode, run as a person runs it: pictures and sound that ffmpeg
// makes go in, and what comes out is decoded by ffmpeg and by tarsk decode
// and set against ffmpeg's own rendering of the same source; every refusal
// is checked for its message, its exit status and the files it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/ffmpeg.h"

#ifndef TARSK_BINARY
#error "TARSK_BINARY names the tarsk program under test"
#endif
#ifndef TARSK_SOURCE_DIR
#error "TARSK_SOURCE_DIR names the source tree (its Makefile has the demo)"
#endif

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;

CommandResult tarsk(std::vector<std::string> args) {
  args.insert(args.begin(), TARSK_BINARY);
  return run_command(args);
}

fs::path fresh_dir() {
  const fs::path dir = scratch_file("dir");
  fs::create_directory(dir);
  return dir;
}

std::set<std::string> listing(const fs::path &dir) {
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

constexpr int frames = 3;

struct System {
  dv_system_t system;
  const char *size, *rate, *pix_fmt;  // pix_fmt: the stream's own planar layout
  size_t luma, chroma;                // bytes of a plane
};
const System pal{e_dv_system_625_50, "720x576", "25", "yuv420p", 720 * 576, 360 * 288};
const System ntsc{e_dv_system_525_60, "720x480", "30000/1001", "yuv411p", 720 * 480, 180 * 480};

std::string lavfi_video(const System &s) {
  return std::string("testsrc2=size=") + s.size + ":rate=" + s.rate;
}

// The round trips' pictures: sharp luma, chroma blurred so that the choice
// of chroma filter (ours or ffmpeg's, in resampling 4:4:4 or RGB) matters
// little beside what the codec does.
std::string smooth_chroma(const System &s) {
  return lavfi_video(s) + ",format=yuv444p,gblur=sigma=3:planes=6";
}

// The lavfi pictures at the stream's sampling, as ffmpeg renders them: the
// reference every output is measured against. `filter` is applied first.
std::vector<uint8_t> reference(const System &s, const std::string &filter) {
  const fs::path out = scratch_file("ref.raw");
  std::vector<std::string> args{
      "-f", "lavfi", "-i", smooth_chroma(s), "-frames:v", std::to_string(frames)};
  if (!filter.empty()) args.insert(args.end(), {"-vf", filter});
  args.insert(args.end(), {"-pix_fmt", s.pix_fmt, "-f", "rawvideo", "-y", out.string()});
  run_ffmpeg(args);
  return read_file(out);
}

std::vector<uint8_t> decoded_planes(const fs::path &in, const System &s) {
  const fs::path out = scratch_file("raw");
  run_ffmpeg({"-i", in.string(), "-f", "rawvideo", "-pix_fmt", s.pix_fmt, "-y", out.string()});
  return read_file(out);
}

double psnr(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sum += d * d;
  }
  const double mse = sum / static_cast<double>(a.size());
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The lowest PSNR of each plane (Y, Cb, Cr) over the frames.
std::array<double, 3> lowest_psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b,
                                  const System &s) {
  const size_t frame = s.luma + 2 * s.chroma;
  std::array<double, 3> low{99, 99, 99};
  EXPECT_EQ(a.size(), frame * frames);
  EXPECT_EQ(b.size(), frame * frames);
  if (a.size() != b.size() || a.size() != frame * frames) return {0, 0, 0};
  for (size_t f = 0; f < frames; ++f) {
    size_t at = f * frame;
    for (int p = 0; p < 3; ++p) {
      const size_t n = p == 0 ? s.luma : s.chroma;
      low[p] = std::min(low[p], psnr(std::span(a).subspan(at, n), std::span(b).subspan(at, n)));
      at += n;
    }
  }
  return low;
}

// ---------------------------------------------------------------------------
// Round trips, one per kind of input.

struct Trip {
  const char *name;
  const System *s;
  std::string kind;         // y4m, png, ppm, yuy2, rgb
  std::string pix_fmt;      // how ffmpeg writes the input
  std::string field_order;  // y4m: tt or bb; empty for progressive
  std::string audio_ext, audio_codec;
  int audio_rate, audio_channels;
  std::array<double, 3> floor;  // dB, per plane, a few under what was measured
};

// Where the stream's chroma sits, for ffmpeg's rendering of the reference
// from 4:4:4 or RGB: 4:1:1 at every fourth pixel from the first, 4:2:0 at
// the even pixels, halfway between two lines (ffmpeg's default puts 4:1:1
// chroma in the middle of its four pixels instead).
const char *const sited_411 = "scale=out_h_chr_pos=0";
const char *const sited_420 = "scale=out_h_chr_pos=0:out_v_chr_pos=128";

// A top-field-first input is moved down a line, as ffmpeg's fieldorder
// filter does it.
std::string reference_filter(const Trip &t) {
  if (t.field_order == "tt") return "setfield=tff,fieldorder=bff";
  // PPM pictures go through the library's filter, whose chroma is the mean
  // of its pixels, sited in their middle as ffmpeg has it.
  if (t.kind == "ppm") return "";
  if (t.pix_fmt == "yuv444p" || t.pix_fmt == "rgb24") return t.s == &pal ? sited_420 : sited_411;
  return "";
}

const Trip trips[] = {
    {"y4m_420_pal", &pal, "y4m", "yuv420p", "bb", "wav", "pcm_s16le", 48000, 2, {45, 45, 42}},
    {"y4m_411_ntsc", &ntsc, "y4m", "yuv411p", "", "aiff", "pcm_s16be", 44100, 2, {43, 42, 40}},
    {"y4m_422_tff_pal", &pal, "y4m", "yuv422p", "tt", "flac", "flac", 32000, 2, {43, 45, 42}},
    {"y4m_444_ntsc", &ntsc, "y4m", "yuv444p", "", "wav", "pcm_s16le", 48000, 1, {43, 39, 37}},
    {"png_pal", &pal, "png", "rgb24", "", "wav", "pcm_f32le", 48000, 2, {40, 40, 40}},
    {"ppm_ntsc", &ntsc, "ppm", "rgb24", "", "wav", "pcm_s16le", 32000, 2, {39, 38, 38}},
    {"yuy2_pal", &pal, "yuy2", "yuyv422", "", "wav", "pcm_s16le", 44100, 2, {45, 45, 42}},
    {"rgb_ntsc", &ntsc, "rgb", "rgb24", "", "wav", "pcm_s16le", 48000, 2, {39, 38, 37}},
};

// Names the parameter in test listings, instead of a dump of its bytes.
void PrintTo(const Trip &trip, std::ostream *out) { *out << trip.name; }

class RoundTrip : public ::testing::TestWithParam<Trip> {};

// The input in its own form; returns the name tarsk encode takes.
std::string make_pictures(const Trip &t, const fs::path &dir) {
  std::vector<std::string> args{
      "-f",       "lavfi",  "-i", smooth_chroma(*t.s), "-frames:v", std::to_string(frames),
      "-pix_fmt", t.pix_fmt};
  if (!t.field_order.empty()) args.insert(args.end(), {"-field_order", t.field_order});
  std::string name;
  if (t.kind == "y4m") {
    name = (dir / "in.y4m").string();
    args.insert(args.end(), {"-f", "yuv4mpegpipe"});
  } else if (t.kind == "png" || t.kind == "ppm") {
    name = (dir / ("frame%04d." + t.kind)).string();  // ffmpeg numbers them from 1
  } else {
    name = (dir / ("in." + t.kind)).string();
    args.insert(args.end(), {"-f", "rawvideo"});
  }
  args.insert(args.end(), {"-y", name});
  run_ffmpeg(args);
  return name;
}

// Two channels that differ, so that a swap shows; a fifth of a second,
// longer than the pictures.
fs::path make_sound(const Trip &t, const fs::path &dir) {
  const fs::path path = dir / ("in." + t.audio_ext);
  const std::string rate = std::to_string(t.audio_rate);
  const std::string expr =
      t.audio_channels == 1 ? "0.6*sin(1000*2*PI*t)" : "0.6*sin(1000*2*PI*t)|0.3*sin(440*2*PI*t)";
  run_ffmpeg({"-f", "lavfi", "-i", "aevalsrc=" + expr + ":s=" + rate + ":d=0.2", "-c:a",
              t.audio_codec, "-y", path.string()});
  return path;
}

TEST_P(RoundTrip, FfmpegAndTarskDecodeWhatWentIn) {
  const Trip &t = GetParam();
  const fs::path dir = fresh_dir();
  const std::string in = make_pictures(t, dir);
  const fs::path sound = make_sound(t, dir);
  const fs::path dv = dir / "out.dv";
  std::vector<std::string> args{"encode", in, "-o", dv.string(), "--audio", sound.string()};
  if (t.kind == "yuy2" || t.kind == "rgb")
    args.insert(args.end(), {"--system", t.s == &pal ? "pal" : "ntsc"});
  const auto run = tarsk(args);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");  // nothing to warn about
  ASSERT_EQ(fs::file_size(dv), frames * frame_bytes(t.s->system));

  const auto ref = reference(*t.s, reference_filter(t));
  const auto theirs = lowest_psnr(decoded_planes(dv, *t.s), ref, *t.s);
  const fs::path y4m = dir / "ours.y4m";
  const auto decode = tarsk({"decode", dv.string(), "-o", y4m.string(), "--quiet"});
  ASSERT_EQ(decode.exit_status, 0) << decode.err;
  const auto ours = lowest_psnr(decoded_planes(y4m, *t.s), ref, *t.s);
  for (int p = 0; p < 3; ++p) {
    RecordProperty(std::string("psnr_db_plane") + std::to_string(p), std::to_string(theirs[p]));
    EXPECT_GE(theirs[p], t.floor[p]) << "ffmpeg's decoding, plane " << p;
    EXPECT_GE(ours[p], t.floor[p]) << "tarsk's decoding, plane " << p;
  }
  std::printf("%s: PSNR ffmpeg %.2f %.2f %.2f, tarsk %.2f %.2f %.2f dB\n", t.name, theirs[0],
              theirs[1], theirs[2], ours[0], ours[1], ours[2]);

  // The sound comes out as it went in (a mono file on both channels), the
  // frames' shares one after another: a prefix of the input.
  auto given = ffmpeg_audio_s16le(sound, t.audio_channels);
  if (t.audio_channels == 1) {
    std::vector<uint8_t> stereo;
    for (size_t i = 0; i + 1 < given.size(); i += 2)
      stereo.insert(stereo.end(), {given[i], given[i + 1], given[i], given[i + 1]});
    given = stereo;
  }
  const fs::path wav = dir / "ours.wav";
  const auto audio = tarsk({"decode", dv.string(), "--audio", wav.string(), "--quiet"});
  ASSERT_EQ(audio.exit_status, 0) << audio.err;
  const double seconds = frames * (t.s == &pal ? 1 / 25.0 : 1001 / 30000.0);
  const auto least = static_cast<size_t>(seconds * t.audio_rate - frames) * 4;
  for (const auto &got : {ffmpeg_audio_s16le(dv, 2), ffmpeg_audio_s16le(wav, 2)}) {
    ASSERT_GE(got.size(), least);
    ASSERT_LE(got.size(), given.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), given.begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, RoundTrip, ::testing::ValuesIn(trips),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The pipe from ffmpeg, and what the frames say about themselves.

std::string quoted(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

TEST(Pipe, Y4mFromFfmpegWithTimeCodeAspectAndDate) {
  const fs::path dir = fresh_dir();
  const fs::path wav = dir / "a.wav", dv = dir / "x.dv";
  run_ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=0.3", "-ac", "2",
              "-c:a", "pcm_s16le", "-y", wav.string()});
  const std::string line =
      "ffmpeg -hide_banner -loglevel error -nostdin -f lavfi -i " + lavfi_video(ntsc) +
      " -frames:v 3 -pix_fmt yuv411p -f yuv4mpegpipe - | " + quoted(TARSK_BINARY) +
      " encode - -o " + quoted(dv.string()) + " --audio " + quoted(wav.string()) +
      " --timecode 01:02:03:04 --wide --date '2024-03-04 05:06:07'";
  const auto run = run_command({"sh", "-c", line});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(fs::file_size(dv), 3 * frame_bytes(e_dv_system_525_60));
  const std::string probe = run_ffprobe({"-v", "error", "-show_entries",
                                         "format_tags=timecode:stream=display_aspect_ratio", "-of",
                                         "default=noprint_wrappers=1", dv.string()});
  EXPECT_NE(probe.find("TAG:timecode=01:02:03:04"), std::string::npos) << probe;
  EXPECT_NE(probe.find("display_aspect_ratio=16:9"), std::string::npos) << probe;
  const auto info = tarsk({"info", dv.string()});
  EXPECT_NE(info.out.find("01:02:03.04 to 01:02:03.06"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("recorded:    2024-03-04 05:06:07"), std::string::npos) << info.out;
}

// Bytes 3 to 79 of the video and audio blocks of a frame: what a frame
// carries, without the identifiers that count frames and the subcode.
std::vector<uint8_t> payload(std::span<const uint8_t> frame) {
  std::vector<uint8_t> out;
  for (size_t at = 0; at < frame.size(); at += 80) {
    const int section = frame[at] >> 5;
    if (section == 3 || section == 4) out.insert(out.end(), &frame[at + 3], &frame[at + 80]);
  }
  return out;
}

// --frames 2:5 makes the frames that are frames 2 to 4 of the whole run,
// their sound included: nothing slips by a frame or a sample.
TEST(Range, FramesAreACutOfTheWholeRun) {
  const fs::path dir = fresh_dir();
  const fs::path whole = dir / "whole.dv", cut = dir / "cut.dv";
  for (const auto &[out, extra] : {std::pair{whole, std::vector<std::string>{}},
                                   std::pair{cut, std::vector<std::string>{"--frames", "2:5"}}}) {
    std::vector<std::string> args{"encode", "--test-pattern", "zoneplate", "--duration", "0.24",
                                  "--date", "2024-01-01",     "-o",        out.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto run = tarsk(args);
    ASSERT_EQ(run.exit_status, 0) << run.err;
  }
  const auto a = read_file(whole), b = read_file(cut);
  const auto frames_a = split_frames(a), frames_b = split_frames(b);
  ASSERT_EQ(frames_a.size(), 6u);
  ASSERT_EQ(frames_b.size(), 3u);
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_TRUE(payload(frames_b[k]) == payload(frames_a[k + 2])) << "cut frame " << k;
    EXPECT_FALSE(payload(frames_b[k]) == payload(frames_a[k + 1])) << "the pattern moves";
  }
}

// ---------------------------------------------------------------------------
// Refusals: a message that says what is wrong, the exit status, and no
// output left behind (an older file of the name kept as it was).

struct Refusal {
  const char *name;
  std::vector<std::string> args;  // $D: the directory of inputs
  int status;
  std::string message;
};

class Refusals : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    inputs_ = fresh_dir();
    const std::string d = inputs_.string();
    auto y4m = [&](const std::string &video, const std::string &name) {
      run_ffmpeg({"-f", "lavfi", "-i", video, "-frames:v", "2", "-pix_fmt", "yuv420p", "-f",
                  "yuv4mpegpipe", "-y", d + "/" + name});
    };
    y4m(lavfi_video(pal), "good.y4m");
    y4m("testsrc2=size=640x480:rate=25", "small.y4m");
    y4m("testsrc2=size=720x576:rate=30", "rate30.y4m");
    auto good = read_file(inputs_ / "good.y4m");
    good.resize(good.size() - 1000);  // the second picture cut short
    std::ofstream(inputs_ / "cut.y4m", std::ios::binary)
        .write(reinterpret_cast<const char *>(good.data()),
               static_cast<std::streamsize>(good.size()));
    run_ffmpeg({"-f", "lavfi", "-i", lavfi_video(pal), "-frames:v", "3", "-pix_fmt", "rgb24", "-y",
                d + "/f%04d.ppm"});
    fs::resize_file(inputs_ / "f0002.ppm", 5000);
    run_ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=22050:duration=0.2", "-y", d + "/a22k.wav"});
  }
  static fs::path inputs_;
};
fs::path Refusals::inputs_;

const Refusal refusals[] = {
    {"wrong size",
     {"encode", "$D/small.y4m"},
     1,
     "$D/small.y4m: pictures of 640x480; DV takes 720x576 (625/50) or 720x480 (525/60): scale "
     "them, e.g. with ffmpeg's -vf scale=720:576"},
    {"wrong rate",
     {"encode", "$D/rate30.y4m"},
     1,
     "$D/rate30.y4m: pictures at 30:1 frames a second; 625/50 DV (720x576) has 25: convert the "
     "rate, e.g. with ffmpeg's -r 25"},
    {"system against size",
     {"encode", "$D/good.y4m", "--system", "ntsc"},
     1,
     "$D/good.y4m: pictures of 720x576 are 625/50, not 525/60 (NTSC) as --system asks"},
    {"audio rate",
     {"encode", "$D/good.y4m", "--audio", "$D/a22k.wav"},
     1,
     "$D/a22k.wav: sound at 22050 Hz; DV carries 48000, 44100 or 32000 Hz: resample it, e.g. "
     "with ffmpeg's -ar 48000"},
    {"unreadable sound",
     {"encode", "$D/good.y4m", "--audio", "$D/none.wav"},
     1,
     "$D/none.wav: cannot read its sound"},
    {"unreadable pictures", {"encode", "$D/none.y4m"}, 1, "cannot open $D/none.y4m: No such file"},
    {"ends mid-picture",
     {"encode", "$D/cut.y4m"},
     1,
     "$D/cut.y4m: frame 1: the input ends inside the picture"},
    {"bad picture in a sequence",
     {"encode", "$D/f%04d.ppm"},
     1,
     "$D/f0002.ppm: frame 1: not a PPM picture of 720x576 or 720x480 that can be read whole"},
    {"passes",
     {"encode", "$D/good.y4m", "--passes", "4"},
     2,
     "encode: --passes takes 1, 2, 3, not '4'"},
    {"quality",
     {"encode", "$D/good.y4m", "--quality", "high"},
     2,
     "encode: --quality takes standard, best, not 'high'"},
    {"best quality with two passes",
     {"encode", "$D/good.y4m", "--quality", "best", "--passes", "2"},
     2,
     "encode: --quality best searches the whole segment: it takes no --passes 1|2 or --static-qno "
     "1|2"},
    {"threads",
     {"encode", "$D/good.y4m", "--threads", "0"},
     2,
     "encode: --threads takes 1 to 64, not '0'"},
    {"dct",
     {"encode", "$D/good.y4m", "--dct", "44"},
     2,
     "encode: --dct takes auto, 88, 248, not '44'"},
    {"unknown option", {"encode", "$D/good.y4m", "--bogus"}, 2, "encode: --bogus: unknown option"},
    {"time code form",
     {"encode", "$D/good.y4m", "--timecode", "1:2:3"},
     2,
     "encode: --timecode takes HH:MM:SS:FF"},
    {"time code frames",
     {"encode", "$D/good.y4m", "--timecode", "00:00:00:25"},
     2,
     "encode: --timecode 00:00:00:25: 625/50 (PAL) frames are numbered 00 to 24"},
    {"date", {"encode", "$D/good.y4m", "--date", "2024-02-30"}, 2, "encode: --date takes"},
    {"no input", {"encode"}, 2, "encode: no input given"},
    {"format unknown",
     {"encode", "$D/good.mov"},
     2,
     "encode: cannot tell the format from the name"},
    {"wrong interlace",
     {"encode", "$D/good.y4m", "--wrong-interlace"},
     2,
     "encode: --wrong-interlace is for PPM and PGM pictures"},
};

std::string with_dir(std::string s, const fs::path &dir) {
  for (size_t at; (at = s.find("$D")) != std::string::npos;) s.replace(at, 2, dir.string());
  return s;
}

TEST_F(Refusals, SayWhyExitAndLeaveNothing) {
  for (const Refusal &r : refusals) {
    SCOPED_TRACE(r.name);
    const fs::path out_dir = fresh_dir();
    const fs::path out = out_dir / "out.dv";
    std::ofstream(out) << "an older file";
    std::vector<std::string> args;
    for (const auto &a : r.args) args.push_back(with_dir(a, inputs_));
    args.insert(args.end(), {"-o", out.string()});
    const auto run = tarsk(args);
    EXPECT_EQ(run.exit_status, r.status) << run.err;
    EXPECT_NE(run.err.find("tarsk: " + with_dir(r.message, inputs_)), std::string::npos) << run.err;
    EXPECT_EQ(listing(out_dir), std::set<std::string>{"out.dv"});
    EXPECT_EQ(read_file(out).size(), std::string("an older file").size());
  }
}

// Sound shorter than the pictures: what there is, then silence, and a
// warning that says where it ran out.
TEST_F(Refusals, ShortSoundIsMadeUpWithSilence) {
  const fs::path dir = fresh_dir();
  const fs::path wav = dir / "short.wav", dv = dir / "out.dv";
  run_ffmpeg({"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=0.05", "-ac",
              "2", "-y", wav.string()});
  const auto run = tarsk(
      {"encode", (inputs_ / "good.y4m").string(), "-o", dv.string(), "--audio", wav.string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "tarsk: warning: " + wav.string() +
                         ": the sound runs out in frame 1 of 2; silence after it\n");
  const auto given = ffmpeg_audio_s16le(wav, 2), got = ffmpeg_audio_s16le(dv, 2);
  ASSERT_EQ(given.size(), 2400u * 4);
  ASSERT_EQ(got.size(), 2 * 1920u * 4);  // what two frames carry
  EXPECT_TRUE(std::equal(given.begin(), given.end(), got.begin()));
  EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(given.size()), got.end(),
                          [](uint8_t b) { return b == 0; }));
}

// ---------------------------------------------------------------------------
// make demo's steps on a machine without ffmpeg: a PATH with make, mkdir
// and echo only, the tool named by its full path.

// --stats prints the encoder's table at the end: its DCT column counts
// every block of the frames encoded (9720 to a 625/50 frame).
TEST(Stats, TableCountsEveryBlock) {
  const fs::path dv = scratch_file(".dv");
  const auto run = tarsk({"encode", "--test-pattern", "bars", "--duration", "0.2", "--stats",
                          "--quiet", "-o", dv.string()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const size_t at = run.err.find("Final statistics:");
  ASSERT_NE(at, std::string::npos) << run.err;
  long dct88 = -1, dct248 = -1;
  for (std::istringstream lines(run.err.substr(at)); !lines.eof();) {
    std::string line;
    std::getline(lines, line);
    const size_t bar = line.rfind('|');
    if (line.find("(DCT88)") != std::string::npos) dct88 = std::stol(line.substr(bar + 1));
    if (line.find("(DCT248)") != std::string::npos) dct248 = std::stol(line.substr(bar + 1));
  }
  EXPECT_EQ(dct88 + dct248, 5 * 9720);
}

TEST(Demo, RunsWithoutFfmpeg) {
  const fs::path bin = fresh_dir(), out = fresh_dir();
  for (const char *tool : {"make", "mkdir", "echo"}) {
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
    fs::path found;
    for (size_t at = 0; found.empty() && at <= path.size();) {
      const size_t end = std::min(path.find(':', at), path.size());
      const fs::path candidate = fs::path(path.substr(at, end - at)) / tool;
      if (end > at && fs::exists(candidate)) found = candidate;
      at = end + 1;
    }
    ASSERT_FALSE(found.empty()) << tool << " is not on the PATH";
    fs::create_symlink(found, bin / tool);
  }
  const auto run =
      run_command({"/usr/bin/env", "PATH=" + bin.string(), "make", "-s", "-C", TARSK_SOURCE_DIR,
                   "demo-run", "DEMO=" + out.string(), std::string("TARSK=") + TARSK_BINARY});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("625/50 (PAL)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("10:00:00.00 to 10:00:01.24"), std::string::npos) << run.out;
  EXPECT_EQ(listing(out), (std::set<std::string>{"demo.dv", "demo.wav", "first.png"}));
  EXPECT_EQ(fs::file_size(out / "demo.dv"), 50 * frame_bytes(e_dv_system_625_50));
  const auto png = read_file(out / "first.png");
  ASSERT_GE(png.size(), 8u);
  EXPECT_EQ(png[1], 'P');
  // Two seconds of 16-bit stereo at 48 kHz after a 44-byte WAV header.
  EXPECT_EQ(fs::file_size(out / "demo.wav"), 44 + 2 * 48000 * 4);
}

}  // namespace
