// Pictures into tarsk encode as their files describe them: a Y4M's pixel aspect and colour
// range, and a still PNG or JPEG held for --duration; ffprobe and ffmpeg's own decoding of the
// same pictures are the oracles.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ffmpeg.h"
#include "tool.h"

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;

// The luma (or a chroma) sample at (x, y) of picture `n` of a Y4M that `tarsk decode` wrote.
struct DecodedY4m {
  std::vector<uint8_t> bytes;
  size_t header = 0, picture = 0;
  int height = 0;
  uint8_t at(size_t n, int plane, int x, int y) const {
    const size_t luma = 720 * static_cast<size_t>(height);
    const bool pal = height == 576;  // 4:2:0 chroma 360 x 288, 4:1:1 180 x 480
    const size_t cw = pal ? 360 : 180;
    size_t offset = header + n * (picture + 6) + 6;
    if (plane == 0) return bytes.at(offset + static_cast<size_t>(y) * 720 + static_cast<size_t>(x));
    offset += luma + (plane == 2 ? luma / 4 : 0);
    const size_t cx = static_cast<size_t>(x) / (pal ? 2 : 4),
                 cy = static_cast<size_t>(pal ? y / 2 : y);
    return bytes.at(offset + cy * cw + cx);
  }
};

DecodedY4m decode(const fs::path &dv, int height) {
  const fs::path y4m = fresh_dir() / "out.y4m";
  const auto run = run_tarsk({"decode", dv, "-o", y4m, "--quiet"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  DecodedY4m d{read_file(y4m), 0, 720 * static_cast<size_t>(height) * 3 / 2, height};
  d.header =
      static_cast<size_t>(std::find(d.bytes.begin(), d.bytes.end(), '\n') - d.bytes.begin()) + 1;
  return d;
}

std::string probe_aspect(const fs::path &dv) {
  return run_ffprobe({"-select_streams", "v", "-show_entries", "stream=display_aspect_ratio", "-of",
                      "csv=p=0", dv.string()});
}

// Two frames of a Y4M whose left half has luma and Cb `lo` and Cr `hi`, the right half the
// other way round; the header's tags as given. The DV's aspect as ffprobe and tarsk info see
// it, what the run said, and the levels decoded from the middle of each half.
// clang-format off
struct Y4mCase {
  std::string tags;
  int height;
  std::vector<std::string> options;
  std::string aspect;       // "4:3" or "16:9"
  std::string said;         // on standard error; empty: nothing at all
  std::array<int, 2> in;    // lo, hi
  std::array<int, 4> out;   // luma lo, hi; chroma lo, hi
};
const Y4mCase y4m_cases[] = {
    {"A64:45", 576, {}, "16:9", "tarsk: in.y4m: 16:9 by its pixel aspect 64:45 (--narrow for 4:3)",
     {16, 235}, {16, 235, 16, 235}},
    {"A16:11", 576, {}, "16:9", "16:9 by its pixel aspect 16:11", {16, 235}, {16, 235, 16, 235}},
    {"A32:27", 480, {}, "16:9", "16:9 by its pixel aspect 32:27", {16, 235}, {16, 235, 16, 235}},
    {"A40:33", 480, {}, "16:9", "16:9 by its pixel aspect 40:33", {16, 235}, {16, 235, 16, 235}},
    {"A16:15", 576, {}, "4:3", "", {16, 235}, {16, 235, 16, 235}},
    {"A12:11", 576, {}, "4:3", "", {16, 235}, {16, 235, 16, 235}},
    {"A10:11", 480, {}, "4:3", "", {16, 235}, {16, 235, 16, 235}},
    {"A1:1", 576, {}, "4:3", "", {16, 235}, {16, 235, 16, 235}},  // 5:4, near 4:3
    {"A1:1", 480, {}, "4:3",
     "tarsk: warning: in.y4m: pixel aspect 1:1 makes its 720x480 pictures 1.50:1, neither 4:3 nor "
     "16:9", {16, 235}, {16, 235, 16, 235}},
    {"A2:1", 576, {}, "4:3", "pictures 2.50:1, neither 4:3 nor 16:9", {16, 235}, {16, 235, 16, 235}},
    {"A0:0", 576, {}, "4:3", "", {16, 235}, {16, 235, 16, 235}},
    {"", 480, {}, "4:3", "", {16, 235}, {16, 235, 16, 235}},
    {"A64:45", 576, {"--narrow"}, "4:3", "", {16, 235}, {16, 235, 16, 235}},
    {"A2:1", 576, {"--narrow"}, "4:3", "", {16, 235}, {16, 235, 16, 235}},
    {"A16:15", 576, {"--wide"}, "16:9", "", {16, 235}, {16, 235, 16, 235}},
    {"A16:15 XCOLORRANGE=FULL", 576, {}, "4:3",
     "tarsk: in.y4m: full-range pictures (XCOLORRANGE=FULL): brought to DV's studio range",
     {0, 255}, {16, 235, 16, 240}},
    {"XCOLORRANGE=FULL A32:27", 480, {}, "16:9", "full-range pictures", {0, 255},
     {16, 235, 16, 240}},
    {"A16:15 XCOLORRANGE=FULL", 576, {}, "4:3", "full-range", {128, 128}, {126, 126, 128, 128}},
    {"A16:15 XCOLORRANGE=LIMITED", 576, {}, "4:3", "", {16, 235}, {16, 235, 16, 235}},
};
// clang-format on

TEST(PicturesIn, Y4mAspectAndRangeAsTheHeaderSays) {
  for (const Y4mCase &c : y4m_cases) {
    SCOPED_TRACE(c.tags + " H" + std::to_string(c.height) + " " +
                 testing::PrintToString(c.options));
    const fs::path dir = fresh_dir(), dv = dir / "out.dv";
    const bool pal = c.height == 576;
    const size_t w = 720, h = static_cast<size_t>(c.height);
    std::string text = "YUV4MPEG2 W720 H" + std::to_string(c.height) +
                       (pal ? " F25:1" : " F30000:1001") + " Ib C444 " + c.tags + "\n";
    for (int f = 0; f < 2; ++f) {
      text += "FRAME\n";
      for (int plane = 0; plane < 3; ++plane)
        for (size_t y = 0; y < h; ++y)
          for (size_t x = 0; x < w; ++x)
            text += static_cast<char>(c.in[(x < w / 2) == (plane == 2) ? 1 : 0]);
    }
    write_bytes(dir / "in.y4m", {text.begin(), text.end()});
    std::vector<std::string> args{"encode", dir / "in.y4m", "-o", dv, "--quiet"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const auto run = run_tarsk(args);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    std::string said = c.said;
    if (const size_t at = said.find("in.y4m"); at != std::string::npos)
      said.replace(at, 6, (dir / "in.y4m").string());
    if (said.empty())
      EXPECT_EQ(run.err, "");
    else
      EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
    EXPECT_EQ(probe_aspect(dv), c.aspect + "\n");
    EXPECT_NE(run_tarsk({"info", "--json", dv}).out.find("\"aspect\": \"" + c.aspect + "\""),
              std::string::npos);
    const DecodedY4m d = decode(dv, c.height);
    for (size_t n = 0; n < 2; ++n)
      for (int half = 0; half < 2; ++half) {
        const int x = half == 0 ? 176 : 536, y = c.height / 2;
        EXPECT_NEAR(d.at(n, 0, x, y), c.out[static_cast<size_t>(half)], 1) << "luma " << half;
        EXPECT_NEAR(d.at(n, 1, x, y), c.out[static_cast<size_t>(2 + half)], 1) << "Cb " << half;
        EXPECT_NEAR(d.at(n, 2, x, y), c.out[static_cast<size_t>(3 - half)], 1) << "Cr " << half;
      }
  }
}

// A still held for --duration (5 seconds without it), and numbered JPEGs, against ffmpeg's
// decoding of the same pictures brought to studio range. Black and white halves come out at
// DV's black and white.
// clang-format off
struct StillCase {
  std::string name, source, pix_fmt;  // the file's name; lavfi source; how ffmpeg writes it
  int height;
  std::vector<std::string> options;
  uint64_t frames;
  bool halves;  // black on the left, white on the right
};
const std::string halves =
    "color=black:size=SIZE,format=rgb24,geq=r='255*gte(X,W/2)':g='255*gte(X,W/2)':"
    "b='255*gte(X,W/2)'";
const StillCase still_cases[] = {
    {"title.png", "testsrc2=size=SIZE", "rgb24", 576, {"--duration", "2"}, 50, false},
    {"title.jpg", "testsrc2=size=SIZE", "yuvj420p", 576, {"--duration", "2"}, 50, false},
    {"title.jpeg", "testsrc2=size=SIZE", "yuvj444p", 480, {"--duration", "0.5"}, 15, false},
    {"title.png", "testsrc2=size=SIZE", "rgb24", 576, {}, 125, false},
    {"halves.png", halves, "rgb24", 576, {"--duration", "0.08"}, 2, true},
    {"halves.jpg", halves, "yuvj444p", 480, {"--duration", "0.1"}, 3, true},
    {"seq%d.jpg", "testsrc2=size=SIZE", "yuvj422p", 576, {}, 4, false},
};
// clang-format on

TEST(PicturesIn, StillsAreHeldAndNumberedJpegsRead) {
  for (const StillCase &c : still_cases) {
    SCOPED_TRACE(c.name + " " + c.pix_fmt + " " + testing::PrintToString(c.options));
    const fs::path dir = fresh_dir(), still = dir / c.name, dv = dir / "out.dv";
    const bool numbered = c.name.find('%') != std::string::npos;
    std::string source = c.source;
    source.replace(source.find("SIZE"), 4, "720x" + std::to_string(c.height));
    run_ffmpeg({"-f", "lavfi", "-i", source, "-frames:v", numbered ? std::to_string(c.frames) : "1",
                "-pix_fmt", c.pix_fmt, "-q:v", "2", "-y", still.string()});
    std::vector<std::string> args{"encode", still, "-o", dv, "--quiet"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const auto run = run_tarsk(args);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const bool pal = c.height == 576;
    ASSERT_EQ(fs::file_size(dv),
              c.frames * frame_bytes(pal ? e_dv_system_625_50 : e_dv_system_525_60));
    const std::string stream_fmt = pal ? "yuv420p" : "yuv411p";
    const auto ours = ffmpeg_raw({"-i", dv}, stream_fmt);
    // Chroma sited as DV has it: 4:2:0 at the even pixels between lines, 4:1:1 every 4th pixel.
    auto want =
        ffmpeg_raw({"-i", still, "-vf",
                    pal ? "scale=out_h_chr_pos=0:out_v_chr_pos=128" : "scale=out_h_chr_pos=0"},
                   stream_fmt);
    const std::vector<uint8_t> first = want;
    for (size_t n = numbered ? c.frames : 1; n < c.frames; ++n)  // the still in every frame
      want.insert(want.end(), first.begin(), first.end());
    ASSERT_EQ(ours.size(), want.size());
    const auto db = lowest_psnr(ours, want, c.height);
    for (size_t p = 0; p < 3; ++p) EXPECT_GT(db[p], 30) << "plane " << p;
    if (!c.halves) continue;
    const DecodedY4m d = decode(dv, c.height);
    for (size_t n = 0; n < c.frames; ++n) {
      EXPECT_NEAR(d.at(n, 0, 176, c.height / 2), 16, 1);
      EXPECT_NEAR(d.at(n, 0, 536, c.height / 2), 235, 1);
      for (int plane = 1; plane < 3; ++plane)
        for (int x : {176, 536}) EXPECT_NEAR(d.at(n, plane, x, c.height / 2), 128, 1);
    }
  }
}

// Refused with exit status 1 (a bad picture) or 2 (a bad command line), a message, nothing on
// standard output and no file left. $D is the directory of the inputs.
struct Refusal {
  std::vector<std::string> args;
  int status;
  std::string message;
};
const Refusal refusals[] = {
    {{"$D/small.jpg", "--duration", "1"},
     1,
     "tarsk: $D/small.jpg: pictures of 640x480; DV takes 720x576 (625/50) or 720x480 (525/60): "
     "scale them, e.g. with ffmpeg's -vf scale=720:576"},
    {{"$D/cut.jpg"}, 1, "tarsk: $D/cut.jpg: damaged JPEG: Premature end of JPEG file"},
    {{"$D/bad.jpg"}, 1, "tarsk: $D/bad.jpg: damaged JPEG: "},
    {{"$D/notes.jpg"}, 1, "tarsk: $D/notes.jpg: not a JPEG picture"},
    {{"$D/none.jpg"}, 1, "tarsk: cannot open $D/none.jpg: No such file"},
    {{"$D/small.png"}, 1, "tarsk: $D/small.png: pictures of 640x480; DV takes 720x576"},
    {{"$D/title.jpg", "--system", "ntsc"},
     1,
     "tarsk: $D/title.jpg: pictures of 720x576 are 625/50, not 525/60"},
    {{"$D/good.y4m", "--duration", "2"},
     2,
     "tarsk: encode: --duration is for --test-pattern and a still picture (one PNG or JPEG); "
     "$D/good.y4m has pictures of its own"},
    {{"$D/f%d.png", "--duration", "2"}, 2, "tarsk: encode: --duration is for --test-pattern"},
    {{"$D/title.jpg", "--wide", "--narrow"},
     2,
     "tarsk: encode: --wide and --narrow cannot both be given"},
};

TEST(PicturesIn, RefusalsSayWhyAndLeaveNothing) {
  const fs::path in = fresh_dir();
  const auto lavfi = [&](const std::string &source, const std::string &name) {
    run_ffmpeg({"-f", "lavfi", "-i", source, "-frames:v", "1", "-y", (in / name).string()});
  };
  lavfi("testsrc2=size=640x480", "small.jpg");
  lavfi("testsrc2=size=640x480", "small.png");
  lavfi("testsrc2=size=720x576", "title.jpg");
  lavfi("testsrc2=size=720x576", "f0.png");
  run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=720x576:rate=25", "-frames:v", "1", "-f",
              "yuv4mpegpipe", "-y", (in / "good.y4m").string()});
  auto jpeg = read_file(in / "title.jpg");
  write_bytes(in / "cut.jpg", {jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2)});
  // A frame header that gives the picture no components.
  const std::array<uint8_t, 2> marker{0xFF, 0xC0};
  const auto sof = std::search(jpeg.begin(), jpeg.end(), marker.begin(), marker.end());
  ASSERT_NE(sof, jpeg.end());
  *(sof + 9) = 0;
  write_bytes(in / "bad.jpg", jpeg);
  const std::string text = "not a picture\n";
  write_bytes(in / "notes.jpg", {text.begin(), text.end()});
  const auto with_dir = [&](std::string s) {
    for (size_t at; (at = s.find("$D")) != std::string::npos;) s.replace(at, 2, in.string());
    return s;
  };
  for (const Refusal &r : refusals) {
    const fs::path out = fresh_dir();
    std::vector<std::string> args{"encode"};
    for (const auto &a : r.args) args.push_back(with_dir(a));
    args.insert(args.end(), {"-o", (out / "new.dv").string()});
    SCOPED_TRACE(testing::PrintToString(args));
    const auto run = run_tarsk(args);
    EXPECT_EQ(run.exit_status, r.status) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(with_dir(r.message), 0), 0u) << run.err;
    EXPECT_TRUE(listing(out).empty());
  }
}

}  // namespace
