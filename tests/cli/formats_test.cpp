// The tarsk command's output formats, read back by ffmpeg: pictures must
// come back byte for byte, audio sample for sample, through files and pipes.
#include "formats.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/ffmpeg.h"

namespace {

using namespace tarsk::cli;
using tarsk::test::read_file;
using tarsk::test::run_command;
using tarsk::test::run_ffmpeg;
using tarsk::test::run_ffprobe;
using tarsk::test::scratch_file;
namespace fs = std::filesystem;

std::vector<uint8_t> random_bytes(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t &b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

void write_file(const fs::path &path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// ffmpeg's decoding of a picture file as packed RGB. With crccheck it
// complains of any chunk whose CRC is wrong, so nothing may go to stderr.
std::vector<uint8_t> ffmpeg_rgb(const fs::path &path) {
  const auto result =
      run_command({"ffmpeg", "-hide_banner", "-v", "error", "-nostdin", "-err_detect", "crccheck",
                   "-i", path.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  return bytes_of(result.out);
}

// Sizes of RGB pictures: a single pixel, odd widths, rows of exactly
// 65535 bytes with their filter bytes (28 x 771) and one more, and a full DV
// frame.
struct Size {
  int width, height;
};

void PrintTo(const Size &s, std::ostream *os) { *os << s.width << "x" << s.height; }

class RgbPictures : public testing::TestWithParam<Size> {};

TEST_P(RgbPictures, PngDecodesToTheSameBytes) {
  const auto [w, h] = GetParam();
  const auto rgb = random_bytes(static_cast<size_t>(w) * h * 3, static_cast<unsigned>(w * 7 + h));
  const auto path = scratch_file("picture.png");
  write_file(path, png_encode(w, h, rgb));
  EXPECT_TRUE(ffmpeg_rgb(path) == rgb);
}

TEST_P(RgbPictures, PpmDecodesToTheSameBytes) {
  const auto [w, h] = GetParam();
  const auto rgb = random_bytes(static_cast<size_t>(w) * h * 3, static_cast<unsigned>(w + h * 5));
  const auto path = scratch_file("picture.ppm");
  write_file(path, ppm_encode(w, h, rgb));
  EXPECT_TRUE(ffmpeg_rgb(path) == rgb);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RgbPictures,
                         testing::Values(Size{1, 1}, Size{5, 3}, Size{721, 7}, Size{28, 771},
                                         Size{28, 772}, Size{720, 576}),
                         [](const auto &info) {
                           return std::to_string(info.param.width) + "x" +
                                  std::to_string(info.param.height);
                         });

// libpng compresses: a decoded DV picture is mostly smooth, and so is this
// gradient, which must come out far smaller than its samples.
TEST(RgbPictures, PngIsCompressed) {
  const int w = 720, h = 576;
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>((i / 3 % w) * 255 / w);
  const auto png = png_encode(w, h, rgb);
  EXPECT_LT(png.size(), rgb.size() / 20);
  const auto path = scratch_file("gradient.png");
  write_file(path, png);
  EXPECT_TRUE(ffmpeg_rgb(path) == rgb);
}

TEST(RgbPictures, RejectPicturesShorterThanTheirSize) {
  const std::vector<uint8_t> rgb(3 * 4 * 2 - 1);
  EXPECT_THROW(png_encode(4, 2, rgb), std::invalid_argument);
  EXPECT_THROW(ppm_encode(4, 2, rgb), std::invalid_argument);
  EXPECT_THROW(png_encode(0, 1, rgb), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// YUV4MPEG2

struct Y4mCase {
  const char *name;
  dv_system_t system;
  dv_sample_t sampling;
  bool wide;
  const char *pix_fmt;  // ffmpeg's name of the stream's sampling
  const char *siting;   // its chroma location: DV 4:2:0 chroma is sited top left
  const char *rate;     // as ffprobe reports it
  const char *aspect;
};

void PrintTo(const Y4mCase &c, std::ostream *os) { *os << c.name; }

// The planes of a YUY2 picture, sample by sample from where each pixel
// keeps its own: the luma at 2 x of its line, its pair's Cb and Cr at
// 4 (x / 2) + 1 and + 3. A 4:2:0 chroma sample is that of the pixel at
// (2 i, 2 j), a 4:1:1 one that of the pixel at (4 i, j).
std::vector<uint8_t> expected_planes(const std::vector<uint8_t> &yuy2, int w, int h,
                                     dv_sample_t sampling) {
  auto at = [&](int x, int y) {
    return static_cast<size_t>(y) * w * 2 + static_cast<size_t>(x) * 2;
  };
  std::vector<uint8_t> planes;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) planes.push_back(yuy2[at(x, y)]);
  const bool is411 = sampling == e_dv_sample_411;
  const int cw = is411 ? w / 4 : w / 2, ch = is411 ? h : h / 2;
  for (int offset : {1, 3})
    for (int j = 0; j < ch; ++j)
      for (int i = 0; i < cw; ++i) {
        const int x = is411 ? 4 * i : 2 * i, y = is411 ? j : 2 * j;
        planes.push_back(yuy2[at(x & ~1, y) + static_cast<size_t>(offset)]);
      }
  return planes;
}

class Y4m : public testing::TestWithParam<Y4mCase> {};

// Two frames of random samples (every sample its own draw, so one taken
// from the wrong place shows) read back by ffmpeg plane for plane, with
// the stream's size, rate, field order and pixel aspect as ffprobe sees them.
TEST_P(Y4m, FfmpegReadsTheStreamAndItsPlanes) {
  const Y4mCase &c = GetParam();
  const int w = 720, h = c.system == e_dv_system_625_50 ? 576 : 480;
  const size_t size = static_cast<size_t>(w) * h * 2;
  const std::vector<uint8_t> pictures[2] = {random_bytes(size, 1), random_bytes(size, 2)};

  std::vector<uint8_t> stream, expected;
  for (const auto &yuy2 : pictures) {
    const Yuy2Picture picture{c.system, c.sampling, w, h, c.wide, yuy2};
    if (stream.empty()) {
      const std::string header = y4m_header(picture);
      stream.assign(header.begin(), header.end());
    }
    y4m_frame(picture, stream);
    const auto planes = expected_planes(yuy2, w, h, c.sampling);
    expected.insert(expected.end(), planes.begin(), planes.end());
  }
  const auto path = scratch_file("stream.y4m");
  write_file(path, stream);

  const std::string probe =
      run_ffprobe({"-f", "yuv4mpegpipe", "-select_streams", "v:0", "-show_entries",
                   "stream=width,height,pix_fmt,r_frame_rate,field_order,chroma_location,"
                   "sample_aspect_ratio",
                   "-of", "default=noprint_wrappers=1", path.string()});
  EXPECT_EQ(probe, "width=720\nheight=" + std::to_string(h) + "\nsample_aspect_ratio=" + c.aspect +
                       "\npix_fmt=" + c.pix_fmt + "\nchroma_location=" + c.siting +
                       "\nfield_order=bb\nr_frame_rate=" + c.rate + "\n");

  const std::vector<uint8_t> decoded = bytes_of(run_ffmpeg(
      {"-f", "yuv4mpegpipe", "-i", path.string(), "-f", "rawvideo", "-pix_fmt", c.pix_fmt, "-"}));
  ASSERT_EQ(decoded.size(), expected.size());
  size_t first_wrong = 0;
  while (first_wrong < decoded.size() && decoded[first_wrong] == expected[first_wrong])
    ++first_wrong;
  EXPECT_EQ(first_wrong, decoded.size()) << "first wrong byte of the planes";
}

INSTANTIATE_TEST_SUITE_P(
    Systems, Y4m,
    testing::Values(Y4mCase{"Pal420", e_dv_system_625_50, e_dv_sample_420, false, "yuv420p",
                            "topleft", "25/1", "16:15"},
                    Y4mCase{"Pal420Wide", e_dv_system_625_50, e_dv_sample_420, true, "yuv420p",
                            "topleft", "25/1", "64:45"},
                    Y4mCase{"Pal411", e_dv_system_625_50, e_dv_sample_411, false, "yuv411p",
                            "unspecified", "25/1", "16:15"},
                    Y4mCase{"Ntsc411", e_dv_system_525_60, e_dv_sample_411, false, "yuv411p",
                            "unspecified", "30000/1001", "8:9"},
                    Y4mCase{"Ntsc411Wide", e_dv_system_525_60, e_dv_sample_411, true, "yuv411p",
                            "unspecified", "30000/1001", "32:27"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Y4mFrame, AppendsAfterWhatIsThereAndRejectsShortPictures) {
  const std::vector<uint8_t> yuy2 = random_bytes(8 * 2 * 2, 3);
  std::vector<uint8_t> out{'x'};
  y4m_frame({e_dv_system_625_50, e_dv_sample_420, 8, 2, false, yuy2}, out);
  ASSERT_EQ(out.size(), 1 + 6 + 16 + 4 + 4u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 7), "xFRAME\n");
  const std::span<const uint8_t> short_picture(yuy2.data(), yuy2.size() - 1);
  EXPECT_THROW(y4m_frame({e_dv_system_625_50, e_dv_sample_420, 8, 2, false, short_picture}, out),
               std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Audio

struct AudioCase {
  int channels, rate;
};

void PrintTo(const AudioCase &c, std::ostream *os) { *os << c.channels << "@" << c.rate; }

// Per-channel samples covering the whole range, and the interleaved
// little-endian bytes a reader must get back: the samples, then `silent`
// frames of zeros, then the samples again.
struct Audio {
  std::vector<std::vector<int16_t>> channels;
  std::vector<uint8_t> expected;
  size_t samples, silent;
};

Audio make_audio(int channels, size_t samples, size_t silent, unsigned seed) {
  std::mt19937 rng(seed);
  Audio a{std::vector<std::vector<int16_t>>(static_cast<size_t>(channels)), {}, samples, silent};
  for (auto &ch : a.channels) {
    for (size_t i = 0; i < samples; ++i) ch.push_back(static_cast<int16_t>(rng()));
    ch[0] = -32768;
    ch[1] = 32767;
  }
  auto put = [&](int16_t v) {
    const auto u = static_cast<uint16_t>(v);
    a.expected.push_back(static_cast<uint8_t>(u & 0xff));
    a.expected.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < samples; ++i)
      for (const auto &ch : a.channels) put(ch[i]);
    if (pass == 0) a.expected.resize(a.expected.size() + silent * channels * 2, 0);
  }
  return a;
}

// Writes the audio in the calls the command makes: a frame's worth at a
// time, some silence, and the samples again in one go.
bool write_audio(AudioWriter &writer, const Audio &a, int rate) {
  if (!writer.start(rate, static_cast<int>(a.channels.size()))) return false;
  std::vector<std::vector<int16_t>> slice(a.channels.size());
  for (size_t first = 0; first < a.samples; first += 1601) {
    const size_t n = std::min<size_t>(1601, a.samples - first);
    for (size_t c = 0; c < slice.size(); ++c)
      slice[c].assign(a.channels[c].begin() + static_cast<std::ptrdiff_t>(first),
                      a.channels[c].begin() + static_cast<std::ptrdiff_t>(first + n));
    if (!writer.write(slice, n)) return false;
  }
  if (!writer.silence(a.silent)) return false;
  if (!writer.write(a.channels, a.samples)) return false;
  return writer.finish();
}

// ffmpeg's decoding of a WAV file at the given layout: had it read another
// channel count or rate from the header, it would mix or resample.
std::vector<std::string> s16le_args(int channels, int rate) {
  return {"-f", "s16le", "-ac", std::to_string(channels), "-ar", std::to_string(rate)};
}

class Wav : public testing::TestWithParam<AudioCase> {};

TEST_P(Wav, FileHasItsSizesAndFfmpegReadsTheSamples) {
  const auto [channels, rate] = GetParam();
  const Audio a = make_audio(channels, 5000, 777, static_cast<unsigned>(rate + channels));
  const auto path = scratch_file("audio.wav");
  FILE *out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  AudioWriter writer(out, true);
  EXPECT_TRUE(write_audio(writer, a, rate));
  ASSERT_EQ(std::fclose(out), 0);

  const auto file = read_file(path);
  ASSERT_EQ(file.size(), 44 + a.expected.size());
  EXPECT_EQ(le32(file, 4), file.size() - 8) << "RIFF size";
  EXPECT_EQ(le32(file, 40), a.expected.size()) << "data size";
  std::vector<std::string> args{"-i", path.string()};
  for (const auto &arg : s16le_args(channels, rate)) args.push_back(arg);
  args.push_back("-");
  EXPECT_TRUE(bytes_of(run_ffmpeg(args)) == a.expected);
}

// On a pipe the sizes stay unknown; ffmpeg reads the stream as it comes
// and a copy of it kept by tee shows the header.
TEST_P(Wav, PipeKeepsUnknownSizesAndFfmpegReadsTheSamples) {
  const auto [channels, rate] = GetParam();
  const Audio a = make_audio(channels, 4000, 1000, static_cast<unsigned>(rate * channels));
  const auto copy = scratch_file("piped.wav");
  const auto decoded = scratch_file("piped.s16le");
  std::string command = "tee '" + copy.string() + "' | ffmpeg -hide_banner -v error -f wav -i -";
  for (const auto &arg : s16le_args(channels, rate)) command += " " + arg;
  command += " -y '" + decoded.string() + "'";
  std::signal(SIGPIPE, SIG_IGN);  // should ffmpeg stop early, fail here rather than die
  FILE *pipe = popen(command.c_str(), "w");
  ASSERT_NE(pipe, nullptr);
  AudioWriter writer(pipe, true);
  EXPECT_TRUE(write_audio(writer, a, rate));
  const int status = pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;

  const auto file = read_file(copy);
  ASSERT_EQ(file.size(), 44 + a.expected.size());
  EXPECT_EQ(le32(file, 4), 0xffffffffu) << "RIFF size";
  EXPECT_EQ(le32(file, 40), 0xffffffffu) << "data size";
  EXPECT_TRUE(read_file(decoded) == a.expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Wav,
                         testing::Values(AudioCase{2, 32000}, AudioCase{2, 44100},
                                         AudioCase{2, 48000}, AudioCase{4, 32000},
                                         AudioCase{4, 48000}),
                         [](const auto &info) {
                           return std::to_string(info.param.channels) + "ch" +
                                  std::to_string(info.param.rate);
                         });

// A WAV written after other bytes gets its own header patched, not the
// start of the file; one on a stream that appends keeps unknown sizes
// rather than sizes appended at the end.
TEST(WavHeader, IsPatchedWhereItStartsAndNotOnAppendingStreams) {
  const Audio a = make_audio(2, 300, 10, 9);
  const std::string prefix = "0123456789";
  for (const char *mode : {"wb", "ab"}) {
    SCOPED_TRACE(mode);
    const auto path = scratch_file("prefixed.wav");
    FILE *out = std::fopen(path.c_str(), mode);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(prefix.data(), 1, prefix.size(), out), prefix.size());
    AudioWriter writer(out, true);
    EXPECT_TRUE(write_audio(writer, a, 48000));
    ASSERT_EQ(std::fclose(out), 0);

    const auto file = read_file(path);
    ASSERT_EQ(file.size(), prefix.size() + 44 + a.expected.size());
    EXPECT_EQ(std::string(file.begin(), file.begin() + 14), prefix + "RIFF");
    const bool append = mode[0] == 'a';
    EXPECT_EQ(le32(file, 14), append ? 0xffffffffu : 36 + a.expected.size());
    EXPECT_EQ(le32(file, 50), append ? 0xffffffffu : a.expected.size());
    EXPECT_TRUE(std::vector<uint8_t>(file.begin() + 54, file.end()) == a.expected);
  }
}

// Raw output is the interleaved samples alone; channels the caller does
// not give, or gives too few samples of, are silent; the first start()
// fixes the layout.
TEST(RawAudio, IsInterleavedLittleEndianSamples) {
  const auto path = scratch_file("audio.raw");
  FILE *out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  AudioWriter writer(out, false);
  EXPECT_FALSE(writer.started());
  ASSERT_TRUE(writer.start(32000, 3));
  EXPECT_TRUE(writer.start(48000, 2));
  EXPECT_EQ(writer.frequency(), 32000);
  EXPECT_EQ(writer.channels(), 3);
  EXPECT_TRUE(writer.write({{0x0102, -2, 0x7f80}, {-32768, 0x1234}}, 3));
  EXPECT_TRUE(writer.silence(2));
  EXPECT_TRUE(writer.finish());
  ASSERT_EQ(std::fclose(out), 0);
  const std::vector<uint8_t> expected = {
      0x02, 0x01, 0x00, 0x80, 0, 0,  // frame 0
      0xfe, 0xff, 0x34, 0x12, 0, 0,  // frame 1
      0x80, 0x7f, 0,    0,    0, 0,  // frame 2: the second channel ran out
      0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(read_file(path) == expected);
}

// Whether the device runs out at once (a write larger than the stream's
// buffer) or only when the buffer is flushed, the writer says so.
TEST(AudioWriterFailure, IsReportedOnAFullDevice) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const Audio small = make_audio(2, 100, 0, 5);
  const Audio large = make_audio(2, 50000, 0, 6);
  for (bool wav : {true, false}) {
    SCOPED_TRACE(wav ? "wav" : "raw");
    FILE *out = std::fopen("/dev/full", "wb");
    ASSERT_NE(out, nullptr);
    AudioWriter flushed(out, wav);
    ASSERT_TRUE(flushed.start(48000, 2));  // still in the stream's buffer
    // Raw samples stay in the buffer until finish(); libsndfile goes back
    // to rewrite the WAV header with the first samples, which flushes.
    const bool written = flushed.write(small.channels, small.samples);
    EXPECT_EQ(written, !wav);
    EXPECT_FALSE(written && flushed.finish());
    std::fclose(out);

    out = std::fopen("/dev/full", "wb");
    ASSERT_NE(out, nullptr);
    AudioWriter at_once(out, wav);
    ASSERT_TRUE(at_once.start(48000, 2));
    EXPECT_FALSE(at_once.write(large.channels, large.samples));
    EXPECT_FALSE(at_once.silence(100000));
    std::fclose(out);
  }
}

}  // namespace
