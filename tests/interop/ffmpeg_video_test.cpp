// Whole frames of DV files that ffmpeg makes at test time, decoded here and
// by ffmpeg. ffmpeg's decoder is an independent peer: the two transforms
// need not agree bit for bit, but on every plane the pictures must be close.
// We compare at the stream's own resolution, so that no resampling stands
// between the two: ffmpeg writes its native planar picture (yuv420p for
// 625/50 4:2:0 frames, yuv411p for 4:1:1 frames) and we take the samples of
// the stream out of our packed YUY2 output.
//
// RGB output is checked two ways: exactly, against the ITU-R BT.601 matrix
// applied here to our own YUY2 picture, and loosely against ffmpeg's rgb24.
//
// Every figure measured is printed (and recorded as a test property), so the
// test log holds the closeness of the two decoders for each file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/decoder.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;

constexpr unsigned best = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
constexpr unsigned single_pass = DV_QUALITY_COLOR | DV_QUALITY_AC_1;
constexpr unsigned dc_only = DV_QUALITY_COLOR | DV_QUALITY_DC;

// ---------------------------------------------------------------------------
// The files.

struct Content {
  const char *name;
  const char *source;
  const char *filter;
  // Let ffmpeg's encoder choose the 2-4-8 DCT for blocks whose two fields
  // differ; without it every block is an 8x8 one.
  bool field_blocks;
  // The lowest PSNR (dB) that DC-only and single-pass decoding may give on
  // any plane of any frame: the lowest we measured, less some 3 dB.
  double dc_only_db;
  double single_pass_db;
  // The lowest PSNR the best level may give: 40 dB, except on full-range
  // noise. ffmpeg codes it at the finest quantiser, with large
  // high-frequency coefficients, and the 8x8 inverse weights of this
  // decoder are whole numbers (up to 19 % off 1 / weight): measured 34.0
  // dB luma there, where exact weights would give 51 dB.
  double best_db = 40;
};

// testsrc2 and SMPTE bars have flat areas and hard edges, the Mandelbrot
// set fine detail everywhere. Noise makes every sample random, over the
// whole range (the most a DV encoder can be asked to keep) or over a
// quarter of it around mid-grey; geq's random() starts from the same state
// in each plane, so the two chroma planes come out alike. The interlaced
// picture weaves the upper and lower half of a Mandelbrot picture into its
// two fields, so that the lines of a field differ from their neighbours in
// the other field: ffmpeg codes most of its blocks with the 2-4-8 DCT.
const Content contents[] = {
    {"Testsrc2", "testsrc2", "", false, 15, 24},
    {"Mandelbrot", "mandelbrot", "", false, 22, 29},
    {"SmpteHdBars", "smptehdbars", "", false, 20, 31},
    {"Noise", "nullsrc", "geq=random(1)*255:random(2)*255:random(3)*255", false, 13, 26, 33},
    {"MildNoise", "nullsrc", "geq=96+random(1)*64:96+random(2)*64:96+random(3)*64", false, 22, 29},
    {"Interlaced", "mandelbrot", "il=l=i:c=i", true, 17, 29},
};

struct Layout {
  const char *name;
  dv_system_t system;
  const char *pix_fmt;
};

const Layout layouts[] = {
    {"Pal420", e_dv_system_625_50, "yuv420p"},
    {"Ntsc411", e_dv_system_525_60, "yuv411p"},
    {"Pal411", e_dv_system_625_50, "yuv411p"},
};

struct Case {
  std::string name;
  DvRecipe recipe;
  Content content;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

Case make_case(const Content &content, const Layout &layout) {
  return {std::string(content.name) + layout.name,
          {.system = layout.system,
           .pix_fmt = layout.pix_fmt,
           .frames = 3,
           .video_source = content.source,
           .video_filter = content.filter},
          content};
}

// Every content in each of the three layouts of DV video.
std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (const Content &content : contents)
    for (const Layout &layout : layouts) cases.push_back(make_case(content, layout));
  return cases;
}

// RGB output is checked on fewer files: each content once, each layout
// twice. The noise with clipped samples goes to 4:1:1, whose right-edge
// macroblocks have writers of their own.
std::vector<Case> rgb_cases() {
  constexpr size_t layout_of[] = {1, 0, 2, 2, 0, 1};  // by content
  static_assert(std::size(layout_of) == std::size(contents));
  std::vector<Case> cases;
  for (size_t i = 0; i < std::size(contents); ++i)
    cases.push_back(make_case(contents[i], layouts[layout_of[i]]));
  return cases;
}

// Picture size and the size of the chroma planes at the stream's own
// resolution: 4:2:0 halves both directions, 4:1:1 quarters the width.
struct Geometry {
  int width = 720;
  int height = 0;
  bool is_420 = false;
  int chroma_width = 0;
  int chroma_height = 0;

  explicit Geometry(const DvRecipe &recipe)
      : height(recipe.system == e_dv_system_625_50 ? 576 : 480),
        is_420(recipe.pix_fmt == "yuv420p"),
        chroma_width(is_420 ? 360 : 180),
        chroma_height(is_420 ? height / 2 : height) {}

  size_t pixels() const { return static_cast<size_t>(width) * height; }
  size_t chroma_samples() const { return static_cast<size_t>(chroma_width) * chroma_height; }
};

std::filesystem::path make_file(const Case &c) {
  if (!c.content.field_blocks) return make_dv(c.recipe);
  const std::filesystem::path out = scratch_file("fields.dv");
  std::vector<std::string> args = dv_command(c.recipe, out);
  const auto codec = std::find(args.begin(), args.end(), "dvvideo");
  if (codec == args.end()) throw std::logic_error("no video codec in the ffmpeg command");
  args.insert(codec + 1, {"-flags", "+ildct"});
  run_ffmpeg(args);
  return out;
}

const MadeDv &made(const Case &c) {
  const MadeDv &file = made_dv(c.name, [&] { return make_file(c); });
  if (file.frames.size() != static_cast<size_t>(c.recipe.frames))
    throw std::runtime_error("ffmpeg made " + std::to_string(file.frames.size()) + " frames");
  return file;
}

// The share of a frame's blocks coded with the 2-4-8 DCT. In a video DIF
// block (section type 4 in the top three bits of its first byte) the six
// block areas start at bytes 4, 18, 32, 46, 60 and 70; each opens with the
// 9-bit DC value and the DCT mode bit.
double field_block_share(std::span<const uint8_t> frame) {
  long blocks = 0, field = 0;
  for (size_t at = 0; at + 80 <= frame.size(); at += 80) {
    if ((frame[at] >> 5) != 4) continue;
    for (const int area : {4, 18, 32, 46, 60, 70}) {
      ++blocks;
      field += (frame[at + static_cast<size_t>(area) + 1] & 0x40) != 0;
    }
  }
  return blocks ? static_cast<double>(field) / static_cast<double>(blocks) : 0;
}

// ffmpeg's decoding of the video of a file in a raw pixel format, split into
// frames of frame_bytes each; `extra` goes before the output options.
std::vector<std::vector<uint8_t>> ffmpeg_frames(const MadeDv &file, const std::string &pix_fmt,
                                                size_t frame_bytes,
                                                const std::vector<std::string> &extra = {}) {
  std::vector<std::string> args{"-i", file.path.string(), "-map", "0:v:0"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.insert(args.end(), {"-f", "rawvideo", "-pix_fmt", pix_fmt, "pipe:1"});
  const std::string raw = run_ffmpeg(args);
  if (raw.size() != frame_bytes * file.frames.size())
    throw std::runtime_error("ffmpeg gave " + std::to_string(raw.size()) + " bytes of " + pix_fmt +
                             ", not " + std::to_string(file.frames.size()) + " frames of " +
                             std::to_string(frame_bytes));
  std::vector<std::vector<uint8_t>> frames;
  for (size_t at = 0; at < raw.size(); at += frame_bytes)
    frames.emplace_back(raw.begin() + static_cast<long>(at),
                        raw.begin() + static_cast<long>(at + frame_bytes));
  return frames;
}

// ---------------------------------------------------------------------------
// Decoding here.

// A decoded picture: `height` lines `pitch` bytes apart. The pitch is wider
// than the pixels, and the bytes past them must come back untouched.
struct Picture {
  std::vector<uint8_t> bytes;
  int pitch = 0;
  int bytes_per_pixel = 0;

  const uint8_t *line(int y) const { return bytes.data() + static_cast<size_t>(y) * pitch; }
};

constexpr uint8_t untouched = 0x5a;
constexpr int line_padding = 24;

int bytes_per_pixel(dv_color_space_t color_space) {
  return color_space == e_dv_color_yuv ? 2 : color_space == e_dv_color_rgb ? 3 : 4;
}

// The frame is copied into a buffer of exactly its size, so that the
// sanitizer build catches a read past its end.
Picture decode(dv_decoder_t *dv, std::span<const uint8_t> frame, const Geometry &g,
               unsigned quality, dv_color_space_t color_space) {
  const std::vector<uint8_t> copy(frame.begin(), frame.end());
  if (dv_parse_header(dv, copy.data()) < 0) throw std::runtime_error("not a DV frame");
  if (dv->width != g.width || dv->height != g.height)
    throw std::runtime_error("the header gives " + std::to_string(dv->width) + "x" +
                             std::to_string(dv->height));
  dv->quality = quality;
  Picture p;
  p.bytes_per_pixel = bytes_per_pixel(color_space);
  p.pitch = g.width * p.bytes_per_pixel + line_padding;
  p.bytes.assign(static_cast<size_t>(p.pitch) * g.height, untouched);
  uint8_t *pixels[1] = {p.bytes.data()};
  int pitches[1] = {p.pitch};
  dv_decode_full_frame(dv, copy.data(), color_space, pixels, pitches);

  long touched = 0;
  for (int y = 0; y < g.height; ++y)
    for (int i = g.width * p.bytes_per_pixel; i < p.pitch; ++i)
      touched += p.line(y)[i] != untouched;
  EXPECT_EQ(touched, 0) << "bytes written between the end of a line and the next line";
  return p;
}

// A picture at the stream's own resolution, in ffmpeg's planar layout.
struct Planes {
  std::span<const uint8_t> y, cb, cr;
};

Planes planes_of(std::span<const uint8_t> planar, const Geometry &g) {
  const size_t n = g.pixels();
  const size_t c = g.chroma_samples();
  return {planar.subspan(0, n), planar.subspan(n, c), planar.subspan(n + c, c)};
}

// Our YUY2 picture (Y0 Cb Y1 Cr for each pair of pixels) at the stream's
// own resolution. Every pair carries the chroma of the cell it lies in:
// a 4:2:0 cell is two pixels by two lines, a 4:1:1 cell four pixels of one
// line. The pair at the cell's first line and first pixel gives the
// stream's sample; `repeats_differ` counts the other pairs of a cell whose
// chroma is not the same.
struct NativeYuv {
  std::vector<uint8_t> planar;
  long repeats_differ = 0;
};

NativeYuv native_yuv(const Picture &p, const Geometry &g) {
  NativeYuv out;
  out.planar.resize(g.pixels() + 2 * g.chroma_samples());
  uint8_t *y_plane = out.planar.data();
  uint8_t *cb_plane = y_plane + g.pixels();
  uint8_t *cr_plane = cb_plane + g.chroma_samples();
  const int cell_pairs = g.is_420 ? 1 : 2;  // pixel pairs across a cell
  const int cell_lines = g.is_420 ? 2 : 1;
  for (int y = 0; y < g.height; ++y) {
    const uint8_t *line = p.line(y);
    for (int x = 0; x < g.width; ++x) y_plane[static_cast<size_t>(y) * g.width + x] = line[2 * x];
    for (int pair = 0; pair < g.width / 2; ++pair) {
      const size_t at = static_cast<size_t>(y / cell_lines) * g.chroma_width + pair / cell_pairs;
      const uint8_t cb = line[4 * pair + 1];
      const uint8_t cr = line[4 * pair + 3];
      if (y % cell_lines == 0 && pair % cell_pairs == 0) {
        cb_plane[at] = cb;
        cr_plane[at] = cr;
      } else {
        out.repeats_differ += cb != cb_plane[at] || cr != cr_plane[at];
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Measures.

constexpr double infinite_db = std::numeric_limits<double>::infinity();

// Peak signal-to-noise ratio of b against a, every `stride`-th byte from
// `first`; infinite when they are equal.
double psnr(std::span<const uint8_t> a, std::span<const uint8_t> b, size_t first = 0,
            size_t stride = 1) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = first; i < a.size(); i += stride, ++n) {
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    sum += d * d;
  }
  if (sum == 0) return infinite_db;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(n) / sum);
}

constexpr std::array<const char *, 3> plane_names = {"Y", "Cb", "Cr"};
constexpr std::array<const char *, 3> channel_names = {"R", "G", "B"};

// Lowest values seen of three planes or channels.
using Lowest = std::array<double, 3>;

Lowest none_yet() { return {infinite_db, infinite_db, infinite_db}; }

std::string figures(const Lowest &db, const std::array<const char *, 3> &names) {
  std::string text;
  for (int p = 0; p < 3; ++p) {
    char item[32];
    std::snprintf(item, sizeof item, "%s%s %.2f", p ? "  " : "", names[p], db[p]);
    text += item;
  }
  return text;
}

// Prints a line of figures to the test log and records it with the test.
void report(const std::string &test_case, const std::string &what, const std::string &text) {
  std::printf("[ figures  ] %-22s %-22s %s\n", test_case.c_str(), what.c_str(), text.c_str());
  std::fflush(stdout);
  testing::Test::RecordProperty(what, text);
}

// ---------------------------------------------------------------------------
// ITU-R BT.601 from 8-bit Y'CbCr (luma 16..235, chroma 16..240 about 128)
// to full-range R'G'B', in fixed point with 10 fraction bits: each product
// of a sample and a matrix coefficient, scaled by 255/219 for luma and
// 255/224 for chroma, is rounded to an integer before the sums. Luma runs
// from -128 to 639 so that samples beyond the byte range can bound the
// result of those that the YUY2 bytes had to clip. The rounded products
// are computed once for every sample value.
struct Rgb {
  int r, g, b;
};

class Bt601 {
 public:
  Bt601() {
    const auto fixed10 = [](double value) { return static_cast<int>(std::lrint(value)); };
    for (int l = -128; l <= 639; ++l) luma_[l + 128] = fixed10((l - 16) * 1191.936);
    for (int c = 0; c < 256; ++c) {
      red_[c] = fixed10((c - 128) * 1634.304);
      green_cr_[c] = fixed10((c - 128) * 832.512);
      green_cb_[c] = fixed10((c - 128) * 400.384);
      blue_[c] = fixed10((c - 128) * 2066.432);
    }
  }

  Rgb operator()(int luma, int cb, int cr) const {
    const int y = luma_[luma + 128];
    return {channel(y + red_[cr]), channel(y - (green_cr_[cr] + green_cb_[cb])),
            channel(y + blue_[cb])};
  }

 private:
  static int channel(int fixed) { return std::clamp(fixed >> 10, 0, 255); }

  std::array<int, 768> luma_{};
  std::array<int, 256> red_{}, green_cr_{}, green_cb_{}, blue_{};
};

// ---------------------------------------------------------------------------

class FfmpegVideo : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override { decoder_ = new_decoder(); }

  dv_decoder_t *dv() const { return decoder_.get(); }
  const Case &test_case() const { return GetParam(); }
  Geometry geometry() const { return Geometry(test_case().recipe); }
  const MadeDv &file() const { return made(test_case()); }

 private:
  Decoder decoder_;
};

// At the best quality every plane of every frame must be within 40 dB of
// ffmpeg's decoding. The lower levels read less of each block: the DC-only
// picture is a mosaic of block averages, the single pass loses the codes
// that spilled into other blocks' areas. They must still resemble ffmpeg's
// picture, and recovering the spilled codes may only bring a frame closer.
TEST_P(FfmpegVideo, DecodesLikeFfmpegAtEveryQuality) {
  const Geometry g = geometry();
  const auto theirs =
      ffmpeg_frames(file(), test_case().recipe.pix_fmt, g.pixels() + 2 * g.chroma_samples());

  double field_share = 1;
  for (const auto &frame : file().frames)
    field_share = std::min(field_share, field_block_share(frame));
  if (test_case().content.field_blocks) {
    EXPECT_GT(field_share, 0.25) << "too few 2-4-8 blocks to try that transform";
  }

  struct Level {
    const char *name;
    unsigned quality;
    double bound;
    Lowest lowest = none_yet();
  };
  std::array<Level, 3> levels = {{{"best", best, test_case().content.best_db},
                                  {"single pass", single_pass, test_case().content.single_pass_db},
                                  {"DC only", dc_only, test_case().content.dc_only_db}}};

  for (size_t f = 0; f < file().frames.size(); ++f) {
    const Planes ffmpeg = planes_of(theirs[f], g);
    std::array<Lowest, 3> db{};
    for (size_t l = 0; l < levels.size(); ++l) {
      const NativeYuv ours =
          native_yuv(decode(dv(), file().frames[f], g, levels[l].quality, e_dv_color_yuv), g);
      EXPECT_EQ(ours.repeats_differ, 0)
          << "frame " << f << " at " << levels[l].name
          << ": pixel pairs of one chroma cell carry different chroma";
      const Planes mine = planes_of(ours.planar, g);
      db[l] = {psnr(ffmpeg.y, mine.y), psnr(ffmpeg.cb, mine.cb), psnr(ffmpeg.cr, mine.cr)};
      for (int p = 0; p < 3; ++p) levels[l].lowest[p] = std::min(levels[l].lowest[p], db[l][p]);
    }
    for (int p = 0; p < 3; ++p)
      EXPECT_GE(db[0][p], db[1][p]) << "frame " << f << " plane " << plane_names[p]
                                    << ": the multi-pass parse is further from ffmpeg than the "
                                       "single pass";
  }

  char share[32];
  std::snprintf(share, sizeof share, "%.1f%%", 100 * field_share);
  report(test_case().name, "2-4-8 blocks (fewest)", share);
  for (const Level &level : levels) {
    report(test_case().name, std::string("PSNR ") + level.name, figures(level.lowest, plane_names));
    for (int p = 0; p < 3; ++p)
      EXPECT_GE(level.lowest[p], level.bound)
          << level.name << " plane " << plane_names[p] << " (lowest over the frames, dB)";
  }
}

class FfmpegRgb : public FfmpegVideo {};

// RGB and BGR0 must be exactly the BT.601 conversion of our own YUY2
// picture, pixel by pixel with the chroma of the pixel's cell. Where a luma
// sample lay outside the byte range the YUY2 byte holds it clipped (0 or
// 255) while RGB converts the sample itself: there each channel must lie
// between the conversions of the clipped byte and of the furthest sample
// the decoder keeps (-128 or 639).
//
// Against ffmpeg's conversion to rgb24 the pictures need only be close.
// By default ffmpeg interpolates chroma between cells, which on sharp
// colour edges of 4:1:1 pictures alone costs some 10 dB; asked for the
// nearest chroma sample ("neighbor+full_chroma_int"), it converts as we do,
// and that comparison must reach 30 dB. The default one must reach 25 dB.
TEST_P(FfmpegRgb, RgbIsBt601OfTheYuy2Picture) {
  static const Bt601 bt601;
  const Geometry g = geometry();
  const auto nearest =
      ffmpeg_frames(file(), "rgb24", 3 * g.pixels(), {"-sws_flags", "neighbor+full_chroma_int"});
  const auto interpolated = ffmpeg_frames(file(), "rgb24", 3 * g.pixels());
  Lowest lowest_nearest = none_yet(), lowest_interpolated = none_yet();
  long exact = 0, bounded = 0, wrong = 0, wrong_padding = 0;
  std::string first_wrong;

  for (size_t f = 0; f < file().frames.size(); ++f) {
    const Picture yuy2 = decode(dv(), file().frames[f], g, best, e_dv_color_yuv);
    const Picture rgb = decode(dv(), file().frames[f], g, best, e_dv_color_rgb);
    const Picture bgr0 = decode(dv(), file().frames[f], g, best, e_dv_color_bgr0);
    std::vector<uint8_t> packed_rgb(3 * g.pixels());

    for (int y = 0; y < g.height; ++y) {
      uint8_t *packed = &packed_rgb[3 * static_cast<size_t>(y) * g.width];
      for (int x = 0; x < g.width; ++x) {
        const uint8_t *yuv = yuy2.line(y) + 4 * (x / 2);
        const int luma = yuv[2 * (x % 2)];
        const uint8_t *a = rgb.line(y) + 3 * x;
        const uint8_t *b = bgr0.line(y) + 4 * x;
        packed[3 * x] = a[0];
        packed[3 * x + 1] = a[1];
        packed[3 * x + 2] = a[2];
        wrong_padding += b[3] != 0;

        const bool clipped = luma == 0 || luma == 255;
        const Rgb low = bt601(luma == 0 ? -128 : luma, yuv[1], yuv[3]);
        const Rgb high = clipped ? bt601(luma == 255 ? 639 : luma, yuv[1], yuv[3]) : low;
        ++(clipped ? bounded : exact);
        const bool ok = a[0] >= low.r && a[0] <= high.r && a[1] >= low.g && a[1] <= high.g &&
                        a[2] >= low.b && a[2] <= high.b && b[2] == a[0] && b[1] == a[1] &&
                        b[0] == a[2];
        if (!ok && wrong++ == 0) {
          char text[200];
          std::snprintf(text, sizeof text,
                        "frame %zu pixel (%d, %d): Y %d Cb %d Cr %d gives RGB %d %d %d, BGR0 %d %d "
                        "%d; want RGB %d..%d %d..%d %d..%d",
                        f, x, y, luma, yuv[1], yuv[3], a[0], a[1], a[2], b[0], b[1], b[2], low.r,
                        high.r, low.g, high.g, low.b, high.b);
          first_wrong = text;
        }
      }
    }
    for (int c = 0; c < 3; ++c) {
      const size_t first = static_cast<size_t>(c);
      lowest_nearest[c] = std::min(lowest_nearest[c], psnr(nearest[f], packed_rgb, first, 3));
      lowest_interpolated[c] =
          std::min(lowest_interpolated[c], psnr(interpolated[f], packed_rgb, first, 3));
    }
  }

  EXPECT_EQ(wrong, 0) << "pixels not the BT.601 conversion of the YUY2 picture; first: "
                      << first_wrong;
  EXPECT_EQ(wrong_padding, 0) << "BGR0 pixels whose fourth byte is not 0";
  // Nearly every pixel must have met the exact comparison, not the bounds.
  EXPECT_GT(exact, 9 * bounded) << exact << " pixels compared exactly, " << bounded << " bounded";
  char share[32];
  std::snprintf(share, sizeof share, "%.3f%%",
                100.0 * static_cast<double>(bounded) / static_cast<double>(exact + bounded));
  report(test_case().name, "luma clipped in YUY2", share);
  report(test_case().name, "PSNR rgb24 nearest", figures(lowest_nearest, channel_names));
  report(test_case().name, "PSNR rgb24 default", figures(lowest_interpolated, channel_names));
  for (int c = 0; c < 3; ++c) {
    EXPECT_GE(lowest_nearest[c], 30.0)
        << "channel " << channel_names[c] << " against ffmpeg's rgb24, nearest chroma (dB)";
    EXPECT_GE(lowest_interpolated[c], 25.0)
        << "channel " << channel_names[c] << " against ffmpeg's rgb24, interpolated chroma (dB)";
  }
}

std::string case_name(const testing::TestParamInfo<Case> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Files, FfmpegVideo, testing::ValuesIn(all_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(Files, FfmpegRgb, testing::ValuesIn(rgb_cases()), case_name);

}  // namespace
