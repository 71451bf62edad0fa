// The picture readers of `tarsk encode` on files that ffmpeg makes: every
// picture read must equal ffmpeg's own raw decoding of the same file, byte
// for byte, and every input DV cannot take is refused with its message.
#include "input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ffmpeg.h"

namespace {

using namespace tarsk::cli;
using tarsk::test::read_file;
using tarsk::test::run_ffmpeg;
using tarsk::test::scratch_file;
namespace fs = std::filesystem;

std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

void write_bytes(const fs::path &path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

void write_text(const fs::path &path, const std::string &text) {
  write_bytes(path, bytes_of(text));
}

// The lavfi source of `frames` pictures of a DV size at its rate.
std::vector<std::string> lavfi(const std::string &source, int height, int frames) {
  const std::string rate = height == 576 ? "25" : "30000/1001";
  return {"-f",        "lavfi",
          "-i",        source + "=size=720x" + std::to_string(height) + ":rate=" + rate,
          "-frames:v", std::to_string(frames)};
}

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Every picture of an input, failing the test at the first error.
std::vector<Picture> read_all(PictureInput &input) {
  std::vector<Picture> pictures;
  for (;;) {
    auto next = input.next();
    if (!next) {
      ADD_FAILURE() << next.error();
      break;
    }
    if (!*next) break;
    pictures.push_back(std::move(**next));
  }
  return pictures;
}

// The planes (or packed RGB) of pictures one after another, as ffmpeg's
// rawvideo output lays them out.
std::vector<uint8_t> raw_of(const std::vector<Picture> &pictures) {
  std::vector<uint8_t> raw;
  for (const Picture &p : pictures)
    for (const auto *plane : {&p.y, &p.cb, &p.cr, &p.rgb})
      raw.insert(raw.end(), plane->begin(), plane->end());
  return raw;
}

// First byte where two buffers differ (their common length when none).
size_t first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

// ---------------------------------------------------------------------------
// YUV4MPEG2 of every colour space ffmpeg writes, against ffmpeg's rawvideo
// of the same file.

struct Y4mCase {
  const char *name;
  const char *pix_fmt;
  int height;
  Sampling sampling;
  const char *header_c;  // what ffmpeg's header says: C420jpeg, C411, ...
};

void PrintTo(const Y4mCase &c, std::ostream *os) { *os << c.name; }

class Y4mInput : public testing::TestWithParam<Y4mCase> {};

TEST_P(Y4mInput, PlanesEqualFfmpegsRawVideo) {
  const Y4mCase &c = GetParam();
  const auto path = scratch_file("in.y4m");
  run_ffmpeg(plus(lavfi("testsrc2", c.height, 3),
                  {"-pix_fmt", c.pix_fmt, "-f", "yuv4mpegpipe", "-y", path.string()}));
  const auto file = read_file(path);
  ASSERT_NE(std::string(file.begin(), file.begin() + 80).find(c.header_c), std::string::npos);

  auto input = open_y4m(path.string());
  ASSERT_TRUE(input) << input.error();
  const VideoFormat &f = (*input)->format();
  EXPECT_EQ(f.system, c.height == 576 ? e_dv_system_625_50 : e_dv_system_525_60);
  EXPECT_EQ(f.sampling, c.sampling);
  const auto pictures = read_all(**input);
  ASSERT_EQ(pictures.size(), 3u);
  auto expected =
      bytes_of(run_ffmpeg({"-i", path.string(), "-f", "rawvideo", "-pix_fmt", c.pix_fmt, "-"}));
  auto got = raw_of(pictures);
  if (std::string(c.pix_fmt) == "gray") {  // luma as it is, chroma neutral
    std::vector<uint8_t> luma;
    for (const Picture &p : pictures) {
      luma.insert(luma.end(), p.y.begin(), p.y.end());
      EXPECT_EQ(std::count(p.cb.begin(), p.cb.end(), 128), 720 * 576 / 4);
      EXPECT_EQ(std::count(p.cr.begin(), p.cr.end(), 128), 720 * 576 / 4);
    }
    got = luma;
  }
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_EQ(first_difference(got, expected), got.size()) << "first wrong byte";
}

INSTANTIATE_TEST_SUITE_P(ColourSpaces, Y4mInput,
                         testing::Values(Y4mCase{"Pal420", "yuv420p", 576, Sampling::s420, "C420"},
                                         Y4mCase{"Ntsc411", "yuv411p", 480, Sampling::s411, "C411"},
                                         Y4mCase{"Pal422", "yuv422p", 576, Sampling::s422, "C422"},
                                         Y4mCase{"Ntsc444", "yuv444p", 480, Sampling::s444, "C444"},
                                         Y4mCase{"PalMono", "gray", 576, Sampling::s420, "Cmono"}),
                         [](const auto &info) { return std::string(info.param.name); });

// The stream header's interlacing, and a mixed stream's per frame.
TEST(Y4mHeader, FieldOrderComesFromTheHeaderAndFrames) {
  const size_t picture = 720 * 576 * 3 / 2;
  struct Case {
    std::string header, frame;
    bool interlaced, top_first;
  };
  const Case cases[] = {{"Ip", "FRAME", false, false},     {"It", "FRAME", true, true},
                        {"Ib", "FRAME", true, false},      {"", "FRAME Xyz=1", true, false},
                        {"Im", "FRAME Itpi", true, true},  {"Im", "FRAME Ibpi", true, false},
                        {"Im", "FRAME I1pp", false, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header + " " + c.frame);
    const auto path = scratch_file("fields.y4m");
    std::string text =
        "YUV4MPEG2 W720 H576 F50:2 A16:15 " + c.header + " C420paldv\n" + c.frame + "\n";
    text.resize(text.size() + picture, '\x80');
    write_text(path, text);
    auto input = open_y4m(path.string());
    ASSERT_TRUE(input) << input.error();
    EXPECT_EQ((*input)->format().pixel_aspect.num, 16);
    auto next = (*input)->next();
    ASSERT_TRUE(next && *next) << (next ? "ended" : next.error());
    EXPECT_EQ((*next)->interlaced, c.interlaced);
    EXPECT_EQ((*next)->top_field_first, c.top_first);
  }
}

// Streams DV cannot take, refused at open with a message that says why
// and, where it can, how to convert them.
TEST(Y4mHeader, RefusalsSayWhyAndHow) {
  struct Case {
    std::string header, message;
  };
  const Case cases[] = {
      {"YUV4MPEG2 W640 H480 F30000:1001 C420jpeg",
       ": pictures of 640x480; DV takes 720x576 (625/50) or 720x480 (525/60): scale them, e.g. "
       "with ffmpeg's -vf scale=720:576 (or scale=720:480)"},
      {"YUV4MPEG2 W720 H576 F30000:1001",
       ": pictures at 30000:1001 frames a second; 625/50 DV (720x576) has 25: convert the rate, "
       "e.g. with ffmpeg's -r 25"},
      {"YUV4MPEG2 W720 H480 F25:1 C411",
       ": pictures at 25:1 frames a second; 525/60 DV (720x480) has 30000:1001: convert the "
       "rate, e.g. with ffmpeg's -r 30000/1001"},
      {"YUV4MPEG2 W720 H576 F25:1 C420p10",
       ": colour space C420p10 has 10-bit samples; DV pictures have 8: convert them, e.g. with "
       "ffmpeg's -pix_fmt yuv420p"},
      {"YUV4MPEG2 W720 H576 F25:1 Cmono16",
       ": colour space Cmono16 has 16-bit samples; DV pictures have 8: convert them, e.g. with "
       "ffmpeg's -pix_fmt gray"},
      {"YUV4MPEG2 W720 H576 F25:1 C444alpha",
       ": colour space C444alpha carries an alpha plane, which DV cannot: convert the pictures, "
       "e.g. with ffmpeg's -pix_fmt yuv444p"},
      {"YUV4MPEG2 W720 H576 F25:1 Cxyz",
       ": unknown colour space Cxyz; DV takes 8-bit 4:2:0, 4:1:1, 4:2:2, 4:4:4 or mono pictures"},
      {"YUV4MPEG2 W720 F25:1", ": the YUV4MPEG2 header gives no picture size (W and H)"},
      {"YUV4MPEG2 W720 H576", ": the YUV4MPEG2 header gives no frame rate (F)"},
      {"YUV4MPEG2 W720 H576 F25:0", ": the YUV4MPEG2 header's F25:0 is not a frame rate"},
      {"YUV4MPEG2 W-720 H576 F25:1", ": the YUV4MPEG2 header's W-720 is not a size"},
      {"YUV4MPEG2 W720 H576 F25:1 Iq", ": the YUV4MPEG2 header's Iq is not an interlacing mode"},
      {"P6 720 576 255", ": not a YUV4MPEG2 stream (it does not start with \"YUV4MPEG2 \")"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    const auto path = scratch_file("refused.y4m");
    write_text(path, c.header + "\nFRAME\n");
    auto input = open_y4m(path.string());
    ASSERT_FALSE(input);
    EXPECT_EQ(input.error(), path.string() + c.message);
  }
  const auto endless = scratch_file("endless.y4m");
  write_text(endless, "YUV4MPEG2 W720 H576 F25:1 X" + std::string(5000, 'x') + "\n");
  auto input = open_y4m(endless.string());
  ASSERT_FALSE(input);
  EXPECT_EQ(input.error(), endless.string() + ": the YUV4MPEG2 header is longer than 4096 bytes");
  input = open_y4m("/nonexistent/in.y4m");
  ASSERT_FALSE(input);
  EXPECT_EQ(input.error(), "cannot open /nonexistent/in.y4m: No such file or directory");
}

// An input cut anywhere after its first picture gives that picture, then
// an error naming the frame it ends in; a bad FRAME header likewise.
TEST(Y4mFrames, CutShortInputNamesTheFrame) {
  const auto whole_path = scratch_file("whole.y4m");
  run_ffmpeg(plus(lavfi("testsrc2", 576, 2),
                  {"-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-y", whole_path.string()}));
  const auto whole = read_file(whole_path);
  const size_t picture = 720 * 576 * 3 / 2, frame = 6 + picture;
  const size_t header = whole.size() - 2 * frame;
  struct Case {
    size_t keep;
    std::string message;  // after the name
    std::string tail{};   // bytes added after the kept ones
  };
  const Case cases[] = {
      {header + frame + 3, ": frame 1: the input ends inside its FRAME header"},
      {header + frame + 6, ": frame 1: the input ends inside the picture (0 of 622080 bytes)"},
      {header + frame + 6 + 720 * 576 + 5,
       ": frame 1: the input ends inside the picture (414725 of 622080 bytes)"},
      {whole.size() - 1, ": frame 1: the input ends inside the picture (622079 of 622080 bytes)"},
      {header + frame, ": frame 1: no FRAME header where the picture should start", "FRAMEX\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.keep);
    const auto path = scratch_file("cut.y4m");
    std::vector<uint8_t> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(c.keep));
    bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
    write_bytes(path, bytes);
    auto input = open_y4m(path.string());
    ASSERT_TRUE(input) << input.error();
    auto first = (*input)->next();
    ASSERT_TRUE(first && *first);
    auto second = (*input)->next();
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error(), path.string() + c.message);
  }
}

// Standard input from a pipe: read as it comes, never sought.
TEST(Y4mFrames, ReadFromAPipeOnStandardInput) {
  const auto path = scratch_file("piped.y4m");
  run_ffmpeg(plus(lavfi("smptehdbars", 480, 4),
                  {"-pix_fmt", "yuv411p", "-f", "yuv4mpegpipe", "-y", path.string()}));
  const std::string command =
      "ffmpeg -v error -nostdin -i '" + path.string() + "' -f yuv4mpegpipe -pix_fmt yuv411p -";
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  const int saved = dup(0);
  ASSERT_EQ(dup2(fileno(pipe), 0), 0);
  std::clearerr(stdin);
  auto input = open_y4m("-");
  std::vector<Picture> pictures;
  if (input) pictures = read_all(**input);
  dup2(saved, 0);
  close(saved);
  pclose(pipe);
  ASSERT_TRUE(input) << input.error();
  EXPECT_EQ(pictures.size(), 4u);
  const auto expected =
      bytes_of(run_ffmpeg({"-i", path.string(), "-f", "rawvideo", "-pix_fmt", "yuv411p", "-"}));
  EXPECT_TRUE(raw_of(pictures) == expected);
}

// ---------------------------------------------------------------------------
// Raw frames as `tarsk decode --format yuy2|rgb` writes them.

TEST(RawInput, Yuy2AndRgbFramesEqualFfmpegs) {
  struct Case {
    RawLayout layout;
    const char *file_fmt, *planes_fmt;
    int height;
  };
  for (const Case c : {Case{RawLayout::yuy2, "yuyv422", "yuv422p", 576},
                       Case{RawLayout::rgb, "rgb24", "rgb24", 480}}) {
    SCOPED_TRACE(c.file_fmt);
    const auto path = scratch_file("frames.raw");
    run_ffmpeg(plus(lavfi("testsrc2", c.height, 3),
                    {"-f", "rawvideo", "-pix_fmt", c.file_fmt, "-y", path.string()}));
    const dv_system_t system = c.height == 576 ? e_dv_system_625_50 : e_dv_system_525_60;
    auto input = open_raw(path.string(), c.layout, system);
    ASSERT_TRUE(input) << input.error();
    const auto pictures = read_all(**input);
    ASSERT_EQ(pictures.size(), 3u);
    const auto expected = bytes_of(run_ffmpeg(
        {"-f", "rawvideo", "-pix_fmt", c.file_fmt, "-s", "720x" + std::to_string(c.height), "-i",
         path.string(), "-f", "rawvideo", "-pix_fmt", c.planes_fmt, "-"}));
    EXPECT_TRUE(raw_of(pictures) == expected);

    // Cut inside the third picture.
    auto bytes = read_file(path);
    bytes.resize(bytes.size() - 7);
    write_bytes(path, bytes);
    input = open_raw(path.string(), c.layout, system);
    ASSERT_TRUE(input);
    ASSERT_TRUE((*input)->next() && (*input)->next());
    auto third = (*input)->next();
    ASSERT_FALSE(third);
    const size_t size = bytes.size() / 3 + 3;
    EXPECT_EQ(third.error(), path.string() + ": frame 2: the input ends inside the picture (" +
                                 std::to_string(size - 7) + " of " + std::to_string(size) +
                                 " bytes)");
  }
}

// ---------------------------------------------------------------------------
// Numbered PNG pictures of every colour type and depth, against ffmpeg's
// rgb24 decoding of the same files.

struct PngCase {
  const char *name;
  const char *pix_fmt;  // what ffmpeg writes the PNG as
  int height;
  int tolerance;  // largest difference from ffmpeg allowed per sample
};

void PrintTo(const PngCase &c, std::ostream *os) { *os << c.name; }

class PngInput : public testing::TestWithParam<PngCase> {};

TEST_P(PngInput, PicturesEqualFfmpegsRgb) {
  const PngCase &c = GetParam();
  const fs::path dir = scratch_file("png");
  fs::create_directory(dir);
  const std::string pattern = (dir / "frame%04d.png").string();
  run_ffmpeg(plus(lavfi("testsrc2", c.height, 3),
                  {"-pix_fmt", c.pix_fmt, "-start_number", "1", "-y", pattern}));
  auto input = open_png_sequence(pattern);
  ASSERT_TRUE(input) << input.error();
  EXPECT_EQ((*input)->format().height, c.height);
  const auto pictures = read_all(**input);
  ASSERT_EQ(pictures.size(), 3u);
  const auto expected = bytes_of(run_ffmpeg(
      {"-start_number", "1", "-i", pattern, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"}));
  const auto got = raw_of(pictures);
  ASSERT_EQ(got.size(), expected.size());
  int worst = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - expected[i]));
  EXPECT_LE(worst, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    ColourTypes, PngInput,
    testing::Values(PngCase{"Rgb", "rgb24", 576, 0}, PngCase{"Rgba", "rgba", 480, 0},
                    PngCase{"Grey", "gray", 576, 0}, PngCase{"GreyAlpha", "ya8", 576, 0},
                    PngCase{"Palette", "pal8", 480, 0}, PngCase{"Mono", "monob", 576, 0},
                    // libpng rounds 16-bit samples to the nearest 8-bit value; ffmpeg
                    // differs from it by 1 at most (measured: not always 0).
                    PngCase{"Rgb16", "rgb48be", 576, 1}, PngCase{"Grey16", "gray16be", 480, 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PngRefusals, SayWhichFileAndWhy) {
  const fs::path dir = scratch_file("bad");
  fs::create_directory(dir);
  // A sequence from 0 whose third picture is another system's.
  run_ffmpeg(
      plus(lavfi("testsrc2", 576, 2), {"-start_number", "0", "-y", (dir / "a%d.png").string()}));
  run_ffmpeg(plus(lavfi("testsrc2", 480, 1), {"-y", (dir / "a2.png").string()}));
  run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x480", "-frames:v", "1", "-y",
              (dir / "small.png").string()});
  auto input = open_png_sequence((dir / "a%d.png").string());
  ASSERT_TRUE(input) << input.error();
  ASSERT_TRUE((*input)->next() && (*input)->next());
  auto third = (*input)->next();
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error(),
            (dir / "a2.png").string() + ": 720x480, not 720x576 as the pictures before it");

  struct Case {
    std::string file, message;
  };
  write_text(dir / "text.png", "not a picture at all");
  auto cut = read_file(dir / "a0.png");
  cut.resize(cut.size() / 2);
  write_bytes(dir / "cut.png", cut);
  const Case cases[] = {
      {"small.png",
       ": pictures of 640x480; DV takes 720x576 (625/50) or 720x480 (525/60): scale them, e.g. "
       "with ffmpeg's -vf scale=720:576 (or scale=720:480)"},
      {"text.png", ": not a PNG picture"},
      {"cut.png", ": damaged PNG: "},  // libpng's own words follow
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    const auto picture = read_png((dir / c.file).string());
    ASSERT_FALSE(picture);
    EXPECT_EQ(picture.error().rfind((dir / c.file).string() + c.message, 0), 0u) << picture.error();
  }
  input = open_png_sequence((dir / "none%03d.png").string());
  ASSERT_FALSE(input);
  EXPECT_EQ(input.error(), (dir / "none%03d.png").string() + ": no picture " +
                               (dir / "none000.png").string() + " or " +
                               (dir / "none001.png").string());
  input = open_png_sequence((dir / "plain.png").string());
  ASSERT_FALSE(input);
  EXPECT_EQ(input.error(), (dir / "plain.png").string() +
                               ": not a name with a frame number in it, such as frame%04d.png");
}

}  // namespace
