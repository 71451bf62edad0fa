// The tarsk command's picture and sound readers and writers, its sampling conversion and test
// source, against ffmpeg: every byte comes back; what DV cannot take is refused, saying why.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "audio_in.h"
#include "formats.h"
#include "input.h"
#include "picture.h"
#include "support/ffmpeg.h"
#include "test_source.h"

namespace {

using namespace tarsk::cli;
using namespace tarsk::test;
namespace fs = std::filesystem;

std::vector<uint8_t> random_bytes(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t &b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

template <class Bytes>  // a string or bytes
fs::path write_file(const std::string &suffix, const Bytes &bytes) {
  const fs::path path = scratch_file(suffix);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), std::ssize(bytes));
  return path;
}

// `frames` pictures of a lavfi source at a DV size and rate, written by ffmpeg to `path`.
fs::path lavfi(const std::string &source, int height, int frames, std::vector<std::string> output,
               const fs::path &path) {
  const std::string rate = height == 576 ? "25" : "30000/1001";
  output.insert(output.begin(), {"-f", "lavfi", "-i",
                                 source + "=size=720x" + std::to_string(height) + ":rate=" + rate,
                                 "-frames:v", std::to_string(frames)});
  output.insert(output.end(), {"-y", path.string()});
  run_ffmpeg(output);
  return path;
}

// Every picture of an input as ffmpeg's rawvideo lays them out.
std::vector<uint8_t> read_all(PictureInput &input) {
  std::vector<uint8_t> raw;
  for (;;) {
    auto next = input.next();
    if (!next) ADD_FAILURE() << next.error().message;
    if (!next || !*next) return raw;
    for (const auto *plane : {&(*next)->y, &(*next)->cb, &(*next)->cr, &(*next)->rgb})
      raw.insert(raw.end(), plane->begin(), plane->end());
  }
}

// Random RGB (1x1, odd width, rows of 65535 bytes and one more) as PNG and PPM: ffmpeg agrees.
TEST(Writers, PngAndPpmDecodeToTheSameBytes) {
  for (const auto &[w, h] : {std::pair{1, 1}, {721, 7}, {28, 771}, {28, 772}}) {
    const auto rgb = random_bytes(static_cast<size_t>(w * h * 3), static_cast<unsigned>(w + h));
    for (const auto &[suffix, file] : {std::pair{".png", *png_encode(w, h, rgb)},
                                       std::pair{".ppm", *ppm_encode(w, h, rgb)}}) {
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + suffix);
      const auto run =
          run_command({"ffmpeg", "-v", "error", "-nostdin", "-err_detect", "crccheck", "-i",
                       write_file(suffix, file), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
      EXPECT_EQ(run.err, "");
      EXPECT_TRUE(bytes_of(run.out) == rgb);
    }
  }
  const std::vector<uint8_t> short_picture(3 * 4 * 2 - 1);
  EXPECT_EQ(png_encode(4, 2, short_picture).error().message, "the RGB picture is shorter than its size");
  EXPECT_EQ(ppm_encode(4, 2, short_picture).error().message, "the RGB picture is shorter than its size");
  EXPECT_EQ(png_encode(0, 1, short_picture).error().message, "the picture has no pixels");
}

// Random planes as YUV4MPEG2, read by ffmpeg plane for plane with its header; lines whose
// stride leaves bytes between them go out without those bytes. Packed pictures are refused.
TEST(Writers, Y4mIsReadByFfmpegPlaneForPlane) {
  // clang-format off
  struct Case { tarsk_system system; tarsk_sampling sampling; bool wide; std::string probe; };
  const Case cases[] = {
      {TARSK_SYSTEM_625_50, TARSK_SAMPLING_420, true, "576 64:45 yuv420p topleft bb 25/1"},
      {TARSK_SYSTEM_625_50, TARSK_SAMPLING_411, false, "576 16:15 yuv411p unspecified bb 25/1"},
      {TARSK_SYSTEM_525_60, TARSK_SAMPLING_411, true, "480 32:27 yuv411p unspecified bb 30000/1001"}};
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.probe);
    const int h = c.system == TARSK_SYSTEM_625_50 ? 576 : 480;
    const bool is411 = c.sampling == TARSK_SAMPLING_411;
    const int cw = is411 ? 180 : 360, ch = is411 ? h : h / 2;
    std::vector<uint8_t> stream = bytes_of(y4m_header({c.system, c.sampling, 720, h, c.wide})),
                         expected;
    for (unsigned seed : {1u, 2u}) {
      // Each plane's lines 8 bytes longer than its samples, the extra bytes random too.
      tarsk_picture picture{};
      picture.format = is411 ? TARSK_PIXEL_Y41B : TARSK_PIXEL_I420;
      picture.width = 720;
      picture.height = h;
      std::vector<uint8_t> planes[3];
      for (int p = 0; p < 3; ++p) {
        const int w = p == 0 ? 720 : cw, lines = p == 0 ? h : ch;
        planes[p] = random_bytes(static_cast<size_t>((w + 8) * lines), seed * 3 + p);
        picture.data[p] = planes[p].data();
        picture.stride[p] = w + 8;
        for (int l = 0; l < lines; ++l)
          expected.insert(expected.end(), planes[p].begin() + l * (w + 8),
                          planes[p].begin() + l * (w + 8) + w);
      }
      ASSERT_TRUE(y4m_frame(picture, stream));
    }
    const fs::path path = write_file(".y4m", stream);
    EXPECT_EQ(run_ffprobe({"-select_streams", "v:0", "-show_entries",
                           "stream=height,sample_aspect_ratio,pix_fmt,chroma_location,field_order,"
                           "r_frame_rate",
                           "-of", "csv=p=0:s=\\ ", path.string()}),
              c.probe + "\n");
    EXPECT_TRUE(ffmpeg_raw({"-i", path.string()}, is411 ? "yuv411p" : "yuv420p") == expected);
  }
  std::vector<uint8_t> out, rgb(8 * 2 * 3);
  const tarsk_picture packed{TARSK_PIXEL_RGB24, 8, 2, {rgb.data()}, {24}, nullptr};
  EXPECT_FALSE(y4m_frame(packed, out));
  EXPECT_TRUE(out.empty());
}

// Y4M of every colour space, raw YUY2 and RGB, PNG of every type and depth, PPM, and PGM in the
// library's layout (ffmpeg's pgmyuv: Cb then Cr on each chroma line): each picture equals
// ffmpeg's decoding (mono Y4M its luma, chroma neutral; 16-bit PNG may differ by one).
TEST(Readers, PicturesEqualFfmpegsDecoding) {
  // clang-format off
  struct Case { const char *kind, *pix_fmt, *raw_fmt; int height, tolerance; };
  const Case cases[] = {
      {"y4m", "yuv420p", "yuv420p", 576, 0}, {"y4m", "yuv411p", "yuv411p", 480, 0},
      {"y4m", "yuv422p", "yuv422p", 576, 0}, {"y4m", "yuv444p", "yuv444p", 480, 0},
      {"y4m", "gray", "yuv420p", 576, 1},    {"yuy2", "yuyv422", "yuv422p", 576, 0},
      {"rgb", "rgb24", "rgb24", 480, 0},     {"png", "rgb24", "rgb24", 576, 0},
      {"png", "rgba", "rgb24", 480, 0},      {"png", "gray", "rgb24", 576, 0},
      {"png", "ya8", "rgb24", 576, 0},       {"png", "pal8", "rgb24", 480, 0},
      {"png", "monob", "rgb24", 576, 0},     {"png", "rgb48be", "rgb24", 576, 1},
      {"png", "gray16be", "rgb24", 480, 1},  {"ppm", "rgb24", "rgb24", 480, 0},
      {"pgm", "yuv420p", "yuv420p", 576, 0}, {"pgm", "yuv420p", "yuv420p", 480, 0}};
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.pix_fmt);
    const std::string kind = c.kind;
    const tarsk_system system = c.height == 576 ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
    const fs::path dir = scratch_file("in");
    fs::create_directory(dir);
    const bool numbered = kind == "png" || kind == "ppm" || kind == "pgm";
    const fs::path path = dir / (numbered ? "f%d." + kind : "in." + kind);
    std::vector<std::string> format{"-pix_fmt", c.pix_fmt, "-f"};
    format.push_back(kind == "y4m" ? "yuv4mpegpipe" : numbered ? "image2" : "rawvideo");
    if (kind == "pgm") format.insert(format.begin(), {"-c:v", "pgmyuv"});
    lavfi("testsrc2", c.height, 2, format, path);
    auto input = kind == "y4m"   ? open_y4m(path)
                 : kind == "png" ? open_png_sequence(path)
                 : numbered ? open_pnm_sequence(path, kind == "ppm" ? PnmKind::ppm : PnmKind::pgm,
                                                false)
                            : open_raw(path, kind == "rgb" ? RawLayout::rgb : RawLayout::yuy2,
                                       system);
    ASSERT_TRUE(input) << input.error().message;
    EXPECT_EQ((*input)->format().system, system);
    auto ours = read_all(**input);  // as many pictures as ffmpeg's, by the size
    std::vector<std::string> in{"-i", path.string()};
    if (kind == "yuy2" || kind == "rgb")
      in = {"-f", "rawvideo",   "-pix_fmt", c.pix_fmt, "-s", "720x" + std::to_string(c.height),
            "-i", path.string()};
    if (kind == "pgm") in.insert(in.begin(), {"-c:v", "pgmyuv"});
    auto theirs = ffmpeg_raw(in, c.raw_fmt);
    // ffmpeg's grey Y4M says XCOLORRANGE=FULL: luma brought to studio range as ffmpeg brings
    // it, chroma neutral.
    if (kind + c.pix_fmt == "y4mgray") {
      EXPECT_TRUE((*input)->format().full_range);
      ASSERT_EQ(ours.size(), theirs.size());
      std::vector<uint8_t> luma, their_luma;
      for (auto at = ours.begin(), them = theirs.begin(); at < ours.end();
           at += 720 * 576 * 3 / 2, them += 720 * 576 * 3 / 2) {
        luma.insert(luma.end(), at, at + 720 * 576);
        their_luma.insert(their_luma.end(), them, them + 720 * 576);
        EXPECT_EQ(std::count(at + 720 * 576, at + 720 * 576 * 3 / 2, 128), 720 * 576 / 2);
      }
      ours = luma;
      theirs = their_luma;
    }
    ASSERT_EQ(ours.size(), theirs.size());
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - theirs[i]));
    EXPECT_LE(worst, c.tolerance);
  }
}

// The stream header's interlacing, and a mixed stream's per frame.
TEST(Readers, Y4mFieldOrderFromTheHeaderAndFrames) {
  // clang-format off
  struct Case { std::string header, frame; bool interlaced, top_first; };
  for (const Case &c : {Case{"Ip", "FRAME", false, false}, {"It", "FRAME", true, true},
                        {"Ib", "FRAME", true, false}, {"", "FRAME Xyz=1", true, false},
                        {"Im", "FRAME Itpi", true, true}, {"Im", "FRAME Ibpi", true, false},
                        {"Im", "FRAME I1pp", false, false}}) {
    // clang-format on
    SCOPED_TRACE(c.header + " " + c.frame);
    std::string text =
        "YUV4MPEG2 W720 H576 F50:2 A16:15 " + c.header + " C420paldv\n" + c.frame + "\n";
    text.resize(text.size() + 720 * 576 * 3 / 2, '\x80');
    auto input = open_y4m(write_file(".y4m", text));
    ASSERT_TRUE(input) << input.error().message;
    EXPECT_EQ((*input)->format().pixel_aspect.num, 16);
    auto next = (*input)->next();
    ASSERT_TRUE(next && *next);
    EXPECT_EQ((*next)->interlaced, c.interlaced);
    EXPECT_EQ((*next)->top_field_first, c.top_first);
  }
}

// --wrong-interlace reads PPM and PGM a line further on, the last line repeated: PPM lines and PGM
// luma move up a line, PGM chroma up one of its own lines (as the library's pgm filter reads
// them). A PGM that is not 720 wide and 3/2 of a DV picture's height, and a PPM whose samples
// are not 8-bit, are refused.
TEST(Readers, PnmWrongInterlaceMovesEveryLineUp) {
  const fs::path dir = scratch_file("pnm");
  fs::create_directory(dir);
  lavfi("testsrc2", 576, 1, {"-c:v", "pgmyuv", "-pix_fmt", "yuv420p"}, dir / "g%d.pgm");
  lavfi("testsrc2", 480, 1, {"-pix_fmt", "rgb24"}, dir / "c%d.ppm");
  for (const auto &[name, kind] : {std::pair{"g%d.pgm", PnmKind::pgm}, {"c%d.ppm", PnmKind::ppm}}) {
    SCOPED_TRACE(name);
    auto plain = open_pnm_sequence(dir / name, kind, false);
    auto moved = open_pnm_sequence(dir / name, kind, true);
    ASSERT_TRUE(plain && moved);
    auto a = (*plain)->next(), b = (*moved)->next();
    ASSERT_TRUE(a && *a && b && *b);
    const Picture &p = **a, &q = **b;
    EXPECT_FALSE(q.interlaced && q.top_field_first);  // taken as DV has it: no other shift
    const auto check = [](const std::vector<uint8_t> &from, const std::vector<uint8_t> &to,
                          size_t line) {
      ASSERT_EQ(from.size(), to.size());
      ASSERT_FALSE(from == to);
      EXPECT_TRUE(std::equal(to.begin(), to.end() - static_cast<long>(line),
                             from.begin() + static_cast<long>(line)));
      EXPECT_TRUE(std::equal(to.end() - static_cast<long>(line), to.end(),
                             from.end() - static_cast<long>(line)));
    };
    if (kind == PnmKind::ppm) {
      check(p.rgb, q.rgb, 720 * 3);
    } else {
      check(p.y, q.y, 720);
      check(p.cb, q.cb, 360);
      check(p.cr, q.cr, 360);
    }
  }
  const auto refused = [&](const std::string &file, const std::string &header, PnmKind kind) {
    std::string bytes = header;
    bytes.resize(header.size() + 720 * 864 * 2, '\x40');
    std::ofstream(dir / file, std::ios::binary) << bytes;
    return open_pnm_sequence(dir / "x%d.pnm", kind, false).error().message;
  };
  EXPECT_EQ(refused("x1.pnm", "P5\n720 576\n255\n", PnmKind::pgm),
            (dir / "x1.pnm").string() +
                ": frame 0: not a PGM picture of 720x576 or 720x480 that can be read whole");
  EXPECT_EQ(refused("x1.pnm", "P6\n720 576\n65535\n", PnmKind::ppm),
            (dir / "x1.pnm").string() +
                ": frame 0: not a PPM picture of 720x576 or 720x480 that can be read whole");
  // Comments and any whitespace between the header's numbers.
  const std::string samples = std::string(720 * 480 * 3 - 1, '\x40') + '\x41';
  std::ofstream(dir / "k1.ppm", std::ios::binary) << "P6 # a comment\n720\n480 255\n" + samples;
  auto commented = open_pnm_sequence(dir / "k%d.ppm", PnmKind::ppm, false);
  ASSERT_TRUE(commented) << commented.error().message;
  auto picture = (*commented)->next();
  ASSERT_TRUE(picture && *picture);
  EXPECT_EQ((*commented)->format().system, TARSK_SYSTEM_525_60);
  EXPECT_TRUE((*picture)->rgb == std::vector<uint8_t>(samples.begin(), samples.end()));
}

// What DV cannot take is refused at open or at the bad frame: file, why, and how to convert.
TEST(Readers, RefusalsSayWhyAndHow) {
  const fs::path dir = scratch_file("bad");
  fs::create_directory(dir);
  const auto y4m = read_file(lavfi("testsrc2", 576, 2, {"-pix_fmt", "yuv420p"}, dir / "good.y4m"));
  lavfi("testsrc2", 576, 2, {"-start_number", "0"}, dir / "a%d.png");
  lavfi("testsrc2", 480, 1, {}, dir / "a2.png");
  lavfi("rgbtestsrc", 576, 1, {}, dir / "s.png");
  run_ffmpeg(
      {"-i", (dir / "s.png").string(), "-vf", "scale=640:480", "-y", (dir / "small.png").string()});
  auto cut_png = read_file(dir / "a0.png");
  cut_png.resize(cut_png.size() / 2);
  const size_t frame = 6 + 720 * 576 * 3 / 2, header = y4m.size() - 2 * frame;
  const auto cut_y4m = [&](size_t keep, const std::string &tail = "") {
    std::vector<uint8_t> b(y4m.begin(), y4m.begin() + static_cast<long>(keep));
    b.insert(b.end(), tail.begin(), tail.end());
    return write_file(".y4m", b);
  };
  // clang-format off
  struct Case { fs::path path; std::string message; int good_frames = 0; };  // "*": libpng's words
  const auto h = [](const std::string &head) { return write_file(".y4m", head + "\nFRAME\n"); };
  const std::string y = "YUV4MPEG2 W720 H576 F25:1";
  const Case cases[] = {
    {h("YUV4MPEG2 W720 H576 F30000:1001"), ": pictures at 30000:1001 frames a second; "
     "625/50 DV (720x576) has 25: convert the rate, e.g. with ffmpeg's -r 25"},
    {h(y + " C420p10"), ": colour space C420p10 has 10-bit samples; DV pictures have 8: "
     "convert them, e.g. with ffmpeg's -pix_fmt yuv420p"},
    {h(y + " C444alpha"), ": colour space C444alpha carries an alpha plane, which DV "
     "cannot: convert the pictures, e.g. with ffmpeg's -pix_fmt yuv444p"},
    {h(y + " Cxyz"), ": unknown colour space Cxyz; DV takes 8-bit 4:2:0, 4:1:1, 4:2:2, "
     "4:4:4 or mono pictures"},
    {h("YUV4MPEG2 W720 F25:1"), ": the YUV4MPEG2 header gives no picture size (W and H)"},
    {h("YUV4MPEG2 W720 H576 F25:0"), ": the YUV4MPEG2 header's F25:0 is not a frame rate"},
    {h(y + " Iq"), ": the YUV4MPEG2 header's Iq is not an interlacing mode"},
    {h("P6 720 576 255"), ": not a YUV4MPEG2 stream (it does not start with \"YUV4MPEG2 \")"},
    {h(y + " X" + std::string(5000, 'x')), ": the YUV4MPEG2 header is longer than 4096 bytes"},
    {cut_y4m(header + frame + 3), ": frame 1: the input ends inside its FRAME header", 1},
    {cut_y4m(header + frame, "FRAMEX\n"), ": frame 1: no FRAME header where the picture should "
     "start", 1},
    {dir / "small.png", ": pictures of 640x480; DV takes 720x576 (625/50) or 720x480 (525/60): "
     "scale them, e.g. with ffmpeg's -vf scale=720:576 (or scale=720:480)"},
    {write_file(".png", std::string("not a picture at all")), ": not a PNG picture"},
    {write_file(".png", cut_png), ": damaged PNG: *"}};
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    std::string error;
    if (c.path.extension() == ".png") {
      auto picture = read_png(c.path);
      ASSERT_FALSE(picture);
      error = picture.error().message;
    } else if (auto input = open_y4m(c.path); !input) {
      error = input.error().message;
    } else {
      for (int n = 0; n < c.good_frames; ++n) ASSERT_TRUE((*input)->next());
      auto next = (*input)->next();
      ASSERT_FALSE(next);
      error = next.error().message;
    }
    const std::string want = c.path.string() + c.message;
    EXPECT_EQ(error.substr(0, std::min(error.size(), want.find('*'))),
              want.substr(0, want.find('*')));
  }
  // A third picture of another system; names without a picture or a number; a missing file.
  auto sequence = open_png_sequence(dir / "a%d.png");
  ASSERT_TRUE(sequence && (*sequence)->next() && (*sequence)->next());
  EXPECT_EQ((*sequence)->next().error().message,
            (dir / "a2.png").string() + ": 720x480, not 720x576 as the pictures before it");
  EXPECT_EQ(open_png_sequence(dir / "none%03d.png").error().message,
            (dir / "none%03d.png").string() + ": no picture " + (dir / "none000.png").string() +
                " or " + (dir / "none001.png").string());
  EXPECT_EQ(open_png_sequence(dir / "plain.png").error().message,
            (dir / "plain.png").string() +
                ": not a name with a frame number in it, such as frame%04d.png");
  EXPECT_EQ(open_y4m("/nonexistent/in.y4m").error().message,
            "cannot open /nonexistent/in.y4m: No such file or directory");
  auto bytes =
      read_file(lavfi("testsrc2", 480, 3, {"-f", "rawvideo", "-pix_fmt", "rgb24"}, dir / "in.rgb"));
  bytes.resize(bytes.size() - 7);
  auto raw = open_raw(write_file(".rgb", bytes), RawLayout::rgb, TARSK_SYSTEM_525_60);
  ASSERT_TRUE(raw && (*raw)->next() && (*raw)->next());
  EXPECT_NE((*raw)->next().error().message.find(
                ": frame 2: the input ends inside the picture (1036793 of 1036800 bytes)"),
            std::string::npos);
}

// Flat pictures of colours in BT.601's published table come out as exactly its Y'CbCr.
TEST(Sampling, RgbPrimariesHaveTheirStudioLevels) {
  // clang-format off
  struct Colour { uint8_t r, g, b, y, cb, cr; };
  for (const Colour c : {Colour{255, 255, 255, 235, 128, 128}, {0, 0, 0, 16, 128, 128},
                         {255, 0, 0, 81, 90, 240}, {0, 255, 0, 145, 54, 34},
                         {0, 0, 255, 41, 240, 110}, {255, 255, 0, 210, 16, 146},
                         {0, 255, 255, 170, 166, 16}, {255, 0, 255, 106, 202, 222}})
    // clang-format on
    for (StreamSampling s : {StreamSampling::s420, StreamSampling::s411}) {
      SCOPED_TRACE(std::to_string(c.r) + " " + std::to_string(c.g) + " " + std::to_string(c.b));
      Picture in = blank_picture(720, 480, Sampling::rgb);
      for (size_t i = 0; i < in.rgb.size(); i += 3) std::copy_n(&c.r, 3, &in.rgb[i]);
      const Picture out = to_stream_sampling(in, s);
      for (const auto &[plane, want] : {std::pair{&out.y, c.y}, {&out.cb, c.cb}, {&out.cr, c.cr}})
        EXPECT_EQ(std::count(plane->begin(), plane->end(), want), std::ssize(*plane)) << int(want);
    }
}

// Sound read through libsndfile, a DV frame's worth at a time.
std::vector<int16_t> read_sound(AudioInput &in) {
  std::vector<int16_t> all;
  const size_t per_frame = static_cast<size_t>(in.rate() / 25);
  for (;;) {
    auto chunk = in.read(per_frame);
    if (!chunk) ADD_FAILURE() << chunk.error().message;
    if (!chunk) return all;
    all.insert(all.end(), chunk->begin(), chunk->end());
    if (chunk->size() < per_frame * 2) return all;
  }
}

std::vector<int16_t> samples_of(const std::string &s16le) {
  std::vector<int16_t> samples(s16le.size() / 2);
  std::memcpy(samples.data(), s16le.data(), samples.size() * 2);  // the test host is little-endian
  return samples;
}

// Every format and depth equals ffmpeg's 16-bit decoding: 24 bits keep the top 16, float is
// scaled by 32768, rounded and clipped (loud passes full scale); mono on both channels.
TEST(Sound, SamplesEqualFfmpegsDecoding) {
  // clang-format off
  struct Case { const char *source; int rate, channels; std::vector<std::string> codec; };
  const char *sine = "sine=frequency=997",
             *loud = "aevalsrc=1.5*sin(2*PI*440*t)|-1.5*sin(2*PI*330*t)";
  for (const Case &c : {Case{sine, 48000, 2, {"pcm_s16le", "-f", "wav"}},
                        {sine, 44100, 1, {"pcm_s16le", "-f", "wav"}},
                        {sine, 32000, 2, {"pcm_s24le", "-f", "wav"}},
                        {loud, 48000, 2, {"pcm_f32le", "-f", "wav"}},
                        {sine, 44100, 2, {"pcm_s16be", "-f", "aiff"}},
                        {sine, 48000, 1, {"flac", "-f", "flac"}},
                        {sine, 32000, 2, {"flac", "-sample_fmt", "s32", "-f", "flac"}}}) {
    // clang-format on
    SCOPED_TRACE(c.codec.front() + c.codec.back() + std::to_string(c.channels));
    const fs::path path = scratch_file("." + c.codec.back());
    std::vector<std::string> args{
        "-f",  "lavfi", "-i",  c.source + (":sample_rate=" + std::to_string(c.rate)),
        "-t",  "0.5",   "-ac", std::to_string(c.channels),
        "-c:a"};
    args.insert(args.end(), c.codec.begin(), c.codec.end());
    args.insert(args.end(), {"-y", path.string()});
    run_ffmpeg(args);
    auto in = AudioInput::open(path);
    ASSERT_TRUE(in) << in.error().message;
    EXPECT_EQ((*in)->rate(), c.rate);
    EXPECT_EQ((*in)->channels(), c.channels);
    auto theirs = samples_of(run_ffmpeg({"-i", path.string(), "-f", "s16le", "-"}));
    for (size_t i = 0; c.channels == 1 && i < theirs.size(); i += 2)
      theirs.insert(theirs.begin() + static_cast<long>(i), theirs[i]);
    const auto ours = read_sound(**in);
    EXPECT_EQ(ours.size(), static_cast<size_t>(c.rate));  // half a second of stereo
    EXPECT_TRUE(ours == theirs);
  }
}

// WAV chunks in any order; floats past full scale or infinite clip to their side, NaN is silence.
TEST(Sound, WavChunksInAnyOrderAndFloatExtremes) {
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  };
  auto chunk = [&](const std::string &id, const std::string &body) {
    return id + le(static_cast<uint32_t>(body.size()), 4) + body;
  };
  auto fmt = [&](int tag, int bits) {
    return chunk("fmt ", le(tag, 2) + le(2, 2) + le(48000, 4) + le(48000 * bits / 4, 4) +
                             le(bits / 4, 2) + le(bits, 2));
  };
  const std::string pcm = run_ffmpeg(
      {"-f", "lavfi", "-i", "sine=sample_rate=48000", "-t", "0.2", "-ac", "2", "-f", "s16le", "-"});
  auto in = AudioInput::open(write_file(
      ".wav", chunk("RIFF", "WAVE" + chunk("JUNK", std::string(28, '\0')) + fmt(1, 16) +
                                chunk("LIST", "INFOISFT" + le(6, 4) + std::string("tarsk\0", 6)) +
                                chunk("data", pcm))));
  ASSERT_TRUE(in) << in.error().message;
  EXPECT_TRUE(read_sound(**in) == samples_of(pcm));

  std::string floats;
  for (float f : {1e30f, -1e30f, INFINITY, -INFINITY, NAN, 0.5f, 1.0f, -1.0f})
    floats += le(std::bit_cast<uint32_t>(f), 4);
  in = AudioInput::open(
      write_file(".wav", chunk("RIFF", "WAVE" + fmt(3, 32) + chunk("data", floats))));
  ASSERT_TRUE(in) << in.error().message;
  EXPECT_EQ(read_sound(**in),
            (std::vector<int16_t>{32767, -32768, 32767, -32768, 0, 16384, 32767, -32768}));
}

// The test source: deterministic, moving, at published levels: BT.601's 75% bars (white, yellow,
// cyan, green, magenta, red, blue, black); a ramp and zone plate from black to white.
TEST(TestSource, PicturesAreDeterministicMoveAndHaveTheirLevels) {
  const int y[8] = {180, 162, 131, 112, 84, 65, 35, 16},
            cb[8] = {128, 44, 156, 72, 184, 100, 212, 128},
            cr[8] = {128, 142, 44, 58, 198, 212, 114, 128};
  for (const auto &[system, sampling, height] :
       {std::tuple{TARSK_SYSTEM_625_50, Sampling::s420, 576},
        {TARSK_SYSTEM_525_60, Sampling::s411, 480},
        {TARSK_SYSTEM_625_50, Sampling::s411, 576}}) {
    SCOPED_TRACE(height);
    const auto picture = [&](Pattern p, uint64_t n) {
      return test_picture(p, system, sampling, n);
    };
    for (Pattern p : {Pattern::bars, Pattern::ramp, Pattern::zoneplate}) {
      const Picture first = picture(p, 7);
      ASSERT_EQ(first.y.size(), 720u * height);
      ASSERT_EQ(first.cb.size(), 720u * height / 4);
      EXPECT_TRUE(first.y == picture(p, 7).y && first.cb == picture(p, 7).cb);
      for (uint64_t n : {0, 1, 6, 8})
        EXPECT_FALSE(first.y == picture(p, n).y && first.cb == picture(p, n).cb) << n;
      EXPECT_EQ(*std::min_element(first.y.begin(), first.y.end()), 16);
      EXPECT_EQ(*std::max_element(first.y.begin(), first.y.end()), 235);
      EXPECT_TRUE(p == Pattern::bars ||
                  std::count(first.cr.begin(), first.cr.end(), 128) == std::ssize(first.cr));
    }
    const Picture bars = picture(Pattern::bars, 3);
    const int cw = sampling == Sampling::s420 ? 360 : 180, line = height / 3;
    for (int bar = 0; bar < 8; ++bar) {
      const int x = bar * 90 + 45;
      const size_t c =
          static_cast<size_t>((sampling == Sampling::s420 ? line / 2 : line) * cw + x / (720 / cw));
      EXPECT_EQ((std::array{int(bars.y[size_t(line * 720 + x)]), int(bars.cb[c]), int(bars.cr[c])}),
                (std::array{y[bar], cb[bar], cr[bar]}))
          << "bar " << bar;
    }
  }
}

// JPEG as libjpeg writes it at quality 100: grey to studio-range luma with neutral chroma, RGB
// stored as RGB kept RGB, Y'CbCr brought to studio range; CMYK refused. Ramps, so that a level
// off by one shows.
TEST(Readers, JpegColourSpacesComeToStudioRange) {
  struct Case {
    J_COLOR_SPACE in, stored;
    int components;
  };
  for (const Case c : {Case{JCS_GRAYSCALE, JCS_GRAYSCALE, 1},
                       {JCS_RGB, JCS_RGB, 3},
                       {JCS_RGB, JCS_YCbCr, 3},
                       {JCS_CMYK, JCS_CMYK, 4}}) {
    SCOPED_TRACE(std::to_string(c.stored));
    constexpr int width = 720, height = 576;
    const auto sample = [](int x, int y, int k) {
      return k == 0   ? x * 255 / (width - 1)
             : k == 1 ? 255 - x * 255 / (width - 1)
                      : y * 255 / (height - 1);
    };
    std::vector<uint8_t> pixels;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        for (int k = 0; k < c.components; ++k)
          pixels.push_back(static_cast<uint8_t>(sample(x, y, k)));
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *bytes = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &bytes, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = c.components;
    info.in_color_space = c.in;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, c.stored);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < height) {
      JSAMPROW row = pixels.data() + info.next_scanline * width * c.components;
      jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const fs::path path = write_file(".jpg", std::vector<uint8_t>(bytes, bytes + size));
    std::free(bytes);
    const auto picture = read_jpeg(path);
    if (c.stored == JCS_CMYK) {
      ASSERT_FALSE(picture);
      EXPECT_EQ(picture.error().message, path.string() +
                                             ": a CMYK JPEG; DV pictures are Y'CbCr: "
                                             "convert it, e.g. with ffmpeg's -pix_fmt yuvj444p");
      continue;
    }
    ASSERT_TRUE(picture) << picture.error().message;
    EXPECT_EQ(picture->sampling, c.stored == JCS_RGB ? Sampling::rgb : Sampling::s444);
    // What each pixel should be: RGB as written; else BT.601 studio-range Y'CbCr of it.
    int worst = 0;
    for (int y = 0; y < height; y += 7)
      for (int x = 0; x < width; x += 5) {
        const size_t p = static_cast<size_t>(y) * width + static_cast<size_t>(x);
        const double r = sample(x, y, 0), g = c.components == 1 ? r : sample(x, y, 1),
                     b = c.components == 1 ? r : sample(x, y, 2);
        const double e = (0.299 * r + 0.587 * g + 0.114 * b) / 255;
        std::array<double, 3> want{16 + 219 * e, 128 + 224 * (b / 255 - e) / 1.772,
                                   128 + 224 * (r / 255 - e) / 1.402};
        std::array<int, 3> got{};
        if (c.stored == JCS_RGB) {
          want = {r, g, b};
          for (size_t k = 0; k < 3; ++k) got[k] = picture->rgb[3 * p + k];
        } else {
          got = {picture->y[p], picture->cb[p], picture->cr[p]};
        }
        for (size_t k = 0; k < 3; ++k)
          worst = std::max(worst, static_cast<int>(std::lround(std::abs(got[k] - want[k]))));
      }
    EXPECT_LE(worst, 2);
  }
}

}  // namespace
