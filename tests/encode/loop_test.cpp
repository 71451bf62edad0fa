// Whole frames from pictures: the input filters against the library's own
// entry, and the encode loop (which picture lands in which frame, its
// failures), its streams played by ffmpeg with the sound in step.
#include <gtest/gtest.h>
#include <tarsk/dv.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/dif.h"
#include "encode/encode.h"
#include "support/decoder.h"
#include "support/ffmpeg.h"
#include "support/wav.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;

template <class Filter>
Filter *named(int (*get)(Filter **, int *), const std::string &name) {
  Filter *filters;
  int count;
  get(&filters, &count);
  for (int i = 0; i < count; ++i)
    if (filters[i].filter_name == name) return &filters[i];
  throw std::runtime_error("no filter " + name);
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

// One picture as a PGM file (luma lines, then chroma lines of 360 Cb and
// 360 Cr) and as YUY2 (each chroma line serving two lines), and another as
// a PPM file and as RGB: the input filters and the loop's frame walk make
// the video of the library's own entry, the right-most 16x16 macroblocks
// of 525/60 included.
TEST(EncodeFrame, FiltersMakeTheVideoOfTheLibrary) {
  auto luma = [](int l, int x) {
    return static_cast<char>(16 + (x * 3 + l * 5 + x / 7 * (l / 9)) % 220);
  };
  auto cb = [](int l, int x) { return static_cast<char>(16 + (x * 7 + l * 3) % 225); };
  auto cr = [](int l, int x) { return static_cast<char>(240 - (x * 2 + l * 11) % 225); };
  for (int lines : {576, 480}) {
    const bool pal = lines == 576;
    std::string pgm = "P5\n# made by the test\n\n720 " + std::to_string(lines * 3 / 2) + "\n255\n";
    std::string ppm = "P6\n720 " + std::to_string(lines) + "\n255\n", yuy2, rgb;
    for (int l = 0; l < lines; ++l)
      for (int x = 0; x < 720; ++x) pgm += luma(l, x);
    for (int l = 0; l < lines / 2; ++l) {
      for (int x = 0; x < 360; ++x) pgm += cb(l, x);
      for (int x = 0; x < 360; ++x) pgm += cr(l, x);
    }
    for (int l = 0; l < lines; ++l)
      for (int p = 0; p < 360; ++p)
        yuy2 += {luma(l, 2 * p), cb(l / 2, p), luma(l, 2 * p + 1), cr(l / 2, p)};
    for (size_t i = 0; i < 720u * lines * 3; ++i)
      rgb += static_cast<char>((i * 37 + i / 2160 * 11) % 256);
    ppm += rgb;
    for (auto [name, file, picture, space] : {std::tuple{"pgm", pgm, yuy2, e_dv_color_yuv},
                                              std::tuple{"ppm", ppm, rgb, e_dv_color_rgb}}) {
      const auto path = scratch_file(std::string(".") + name);
      write_file(path, file);
      dv_enc_input_filter_t *filter = named(dv_enc_get_input_filters, name);
      ASSERT_EQ(filter->init(0, -1), 0);
      int isPAL = -1;
      ASSERT_EQ(filter->load(path.c_str(), &isPAL), 0);
      EXPECT_EQ(isPAL, pal ? 1 : 0);
      // The frame walk fills a buffer of the larger system's frame.
      std::vector<uint8_t> from_filter(dif::frame_size(true)), from_library(dif::frame_size(pal));
      tarsk::encode(filter, isPAL, from_filter.data(), 3, 0);
      filter->finish();
      dv_encoder_t *enc = dv_encoder_new(0, 0, 0);
      enc->isPAL = pal;
      enc->force_dct = -1;  // chosen per block, as the loop does
      uint8_t *in[1] = {reinterpret_cast<uint8_t *>(picture.data())};
      EXPECT_EQ(dv_encode_full_frame(enc, in, space, from_library.data()), 0);
      dv_encoder_free(enc);
      EXPECT_EQ(video_of(from_filter, pal), video_of(from_library, pal)) << name << " " << lines;
    }
  }
}

// White and black: luma at the top and the bottom of the studio range less
// 128, in the planes' doubled scale; no chroma.
TEST(EncodeFrame, RgbConversionOfWhiteAndBlack) {
  uint8_t rgb[2 * 720 * 3];
  std::fill_n(rgb, 2160, 255);
  std::fill_n(rgb + 2160, 2160, 0);
  std::vector<int16_t> y(1440), cr(720), cb(720);
  dv_enc_rgb_to_ycb(rgb, 2, y.data(), cr.data(), cb.data());
  EXPECT_EQ(y[0], 212);
  EXPECT_EQ(y[720], -224);
  EXPECT_EQ(cb[0] | cr[359] | cb[360], 0);
}

// Numbered flat pictures that say their number (modulo 16) by their
// brightness: luma 16 + 12k in a PGM series, grey 20 + 14k in a PPM one.
std::string number_pictures(const std::string &kind, int count, int lines) {
  const std::string pattern = scratch_file("-pic").string() + "%03d." + kind;
  for (int k = 0; k < count; ++k) {
    char name[1100];
    std::snprintf(name, sizeof name, pattern.c_str(), k);
    std::ofstream f(name, std::ios::binary);
    if (kind == "pgm")
      f << "P5\n720 " << lines * 3 / 2 << "\n255\n"
        << std::string(720u * lines, static_cast<char>(16 + 12 * (k % 16)))
        << std::string(360u * lines, static_cast<char>(128));
    else
      f << "P6\n720 " << lines << "\n255\n"
        << std::string(3 * 720u * lines, static_cast<char>(20 + 14 * (k % 16)));
  }
  return pattern;
}

// The picture number of a mean luma; -1: none.
int picture_of_luma(const std::string &kind, double luma) {
  for (int k = 0; k < 16; ++k)
    if (std::fabs(luma - (kind == "pgm" ? 16 + 12 * k : 16 + (20 + 14 * k) * 219.0 / 255)) < 3)
      return k;
  return -1;
}

struct LoopRun {
  int result;
  std::string err;
  std::vector<uint8_t> bytes;
};

struct LoopArgs {
  std::string kind = "pgm", pattern;
  int start = 0, end = 0;
  const char *wav = nullptr;  // no sound
  int passes = 3, fps = 0, verbose = 0;
};

// One run of the loop into the raw filter, standard error captured.
LoopRun run_loop(const LoopArgs &a) {
  dv_enc_input_filter_t *input = named(dv_enc_get_input_filters, a.kind);
  dv_enc_audio_input_filter_t *wav = named(dv_enc_get_audio_input_filters, "wav");
  dv_enc_output_filter_t *raw = named(dv_enc_get_output_filters, "raw");
  const auto out_path = scratch_file(".dv");
  FILE *out = std::fopen(out_path.c_str(), "wb");
  EXPECT_EQ(input->init(0, -1), 0);
  EXPECT_EQ(raw->init(out), 0);
  LoopRun r;
  testing::internal::CaptureStderr();
  r.result = dv_encoder_loop(input, a.wav ? wav : nullptr, raw, a.start, a.end, a.pattern.c_str(),
                             a.wav, a.passes, 0, a.verbose, a.fps, 0);
  r.err = testing::internal::GetCapturedStderr();
  input->finish();
  raw->finish();
  wav->finish();
  std::fclose(out);
  r.bytes = read_file(out_path);
  return r;
}

// A counting WAV: left sample n is n (16 bits, wrapping), right -1 - n,
// but left sample 5 is -32768, which DV carries as -32767.
std::string counting_wav(int rate, int channels, int sample_frames) {
  std::vector<int16_t> s;
  for (int n = 0; n < sample_frames; ++n)
    for (int ch = 0; ch < channels; ++ch)
      s.push_back(static_cast<int16_t>(ch % 2 ? -1 - n : n == 5 ? -32768 : n));
  WavHeader h;
  h.rate = rate;
  h.channels = channels;
  const auto path = scratch_file(".wav");
  write_file(path, wav_bytes(h, s16le(s)));
  return path.string();
}

// A failure of any filter ends the loop with -1, what was stored staying
// stored; settings that cannot work, and file name patterns other than
// one conversion of the picture number, are refused before anything is read.
TEST(EncoderLoop, FailuresEndIt) {
  const std::string pictures = number_pictures("pgm", 2, 480);
  const std::string twelve_bit = counting_wav(32000, 4, 8000),
                    absent = scratch_file("absent.wav").string();
  char third[1100];
  std::snprintf(third, sizeof third, pictures.c_str(), 2);
  struct Case {
    LoopArgs args;
    size_t frames;
    std::string message;
  };
  // clang-format off
  std::vector<Case> cases = {
      {{"pgm", pictures, 0, 3}, 2, std::string("Can't open picture file: ") + third + "\n"},
      {{"pgm", pictures, 0, 1, absent.c_str()}, 0, "Can't open WAV file: " + absent + "\n"},
      {{"pgm", pictures, 0, 1, twelve_bit.c_str()}, 0, "Unsupported bits: 12\n FIXME!\n"},
      {{"pgm", pictures, 0, 1, nullptr, 4},
       0,
       "Invalid value for vlc_encode_passes specified: 4!\n"},
      {{"pgm", pictures, 0, 1, nullptr, 3, -1}, 0, "Invalid frame rate: -1\n"},
      {{"pgm", std::string(1100, 'x') + "%d", 0, 1},
       0,
       "The file name of picture 0 does not fit 1023 bytes\n"},
  };
  for (const char *p :
       {"pic.pgm", "%s.pgm", "%d-%d.pgm", "%n%d", "%ld.pgm", "%*d.pgm", "%.*d", "pic%"})
    cases.push_back(
        {{"pgm", p, 0, 1},
         0,
         std::string("The file name pattern ") + p +
             " needs exactly one conversion of the picture number (such as %04d) and no other\n"});
  // clang-format on
  for (const Case &c : cases) {
    const LoopRun r = run_loop(c.args);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.bytes.size(), c.frames * dif::frame_size(false));
  }
  // A write that fails is a failure, even when the stream's buffer would
  // take the whole frame and the error would show only when it is flushed.
  dv_enc_input_filter_t *input = named(dv_enc_get_input_filters, "pgm");
  dv_enc_output_filter_t *raw = named(dv_enc_get_output_filters, "raw");
  std::vector<char> buffer(1 << 20);
  FILE *full = std::fopen("/dev/full", "wb");
  ASSERT_EQ(std::setvbuf(full, buffer.data(), _IOFBF, buffer.size()), 0);
  ASSERT_EQ(input->init(0, -1) | raw->init(full), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dv_encoder_loop(input, nullptr, raw, 0, 1, pictures.c_str(), nullptr, 3, 0, 1, 0, 0),
            -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "raw: could not write the frame\n");
  input->finish();
  raw->init(stdout);
  std::fclose(full);
}

struct PlayCase {
  const char *name, *kind;
  bool pal;
  int rate, start, fps;
  std::vector<int> shown;     // the picture each frame shows
  long long offset, samples;  // where the first frame's sound starts; how much there is
};

void PrintTo(const PlayCase &c, std::ostream *os) { *os << c.name; }

class FfmpegPlaysTheLoop : public testing::TestWithParam<PlayCase> {};

// Numbered pictures and a counting WAV through the loop, played by ffmpeg.
// Each frame shows its picture: the start passes over the pictures before
// it, and a thinned rate repeats the previous picture, evenly spread (12 of
// 30: two fresh pictures in every five frames; 20 of 25: every fifth frame
// repeats); a rate at or above the system's encodes every picture. The
// WAV's samples come back exactly from where the first stored frame starts,
// so that sound and pictures stay together: the sound passed over and
// stored is the exact length rounded down where DV has no customary count
// (1600 + 1602 before picture 2 of 525/60 at 48 kHz, 8008 every 5 frames;
// at 32 kHz 1067.73 before picture 1 and 7 x 1067.73 - 1067 in the next
// six; 8 x 1471.47 at 44.1 kHz; 1280 and 1920 a frame in 625/50).
TEST_P(FfmpegPlaysTheLoop, PicturesAndSoundInStep) {
  const PlayCase c = GetParam();
  const int lines = c.pal ? 576 : 480, frames = static_cast<int>(c.shown.size());
  const int last = c.start + frames - 1;
  const std::string wav = counting_wav(c.rate, 2, c.rate * (last + 2) / 25);
  const LoopRun r = run_loop(
      {c.kind, number_pictures(c.kind, last + 1, lines), c.start, last, wav.c_str(), 3, c.fps});
  ASSERT_EQ(r.result, 0) << r.err;
  const auto path = scratch_file(".dv"), pcm_path = scratch_file(".s16le");
  write_file(path, std::string(r.bytes.begin(), r.bytes.end()));
  // One run of ffmpeg: the sound to a file, the luma planes to us.
  const std::string luma = run_ffmpeg({"-v", "error", "-i", path.string(), "-map", "0:a", "-f",
                                       "s16le", "-ac", "2", "-y", pcm_path.string(), "-map", "0:v",
                                       "-vf", "extractplanes=y", "-f", "rawvideo", "-"});
  const std::vector<uint8_t> pcm = read_file(pcm_path);
  ASSERT_EQ(static_cast<long long>(pcm.size()), 4 * c.samples);
  for (long long i = 0; i < c.samples; ++i)
    for (int ch = 0; ch < 2; ++ch) {
      const long long n = c.offset + i;
      const auto want = static_cast<int16_t>(ch == 1 ? -1 - n : n == 5 ? -32767 : n);
      const size_t at = static_cast<size_t>(4 * i + 2 * ch);
      ASSERT_EQ(static_cast<int16_t>(pcm[at] | pcm[at + 1] << 8), want)
          << "sample " << i << " channel " << ch;
    }
  const size_t picture = 720u * lines;
  ASSERT_EQ(luma.size(), picture * frames);
  for (int n = 0; n < frames; ++n) {
    double sum = 0;
    for (size_t i = 0; i < picture; ++i) sum += static_cast<uint8_t>(luma[n * picture + i]);
    EXPECT_EQ(picture_of_luma(c.kind, sum / static_cast<double>(picture)), c.shown[n])
        << "frame " << n;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Streams, FfmpegPlaysTheLoop, testing::Values(
    PlayCase{"Ppm525At48kFromPicture2At12Fps", "ppm", false, 48000, 2, 12, {2, 2, 4, 4, 4, 7, 7, 9, 9, 9}, 3202, 16016},
    PlayCase{"Pgm525At44k", "pgm", false, 44100, 0, 0, {0, 1, 2, 3, 4, 5, 6, 7}, 0, 11771},
    PlayCase{"Pgm525At32kFromPicture1AtMostFps", "pgm", false, 32000, 1, 2147483647, {1, 2, 3, 4, 5, 6}, 1067, 6407},
    PlayCase{"Pgm625At32kFromPicture1", "pgm", true, 32000, 1, 0, {1, 2, 3, 4, 5, 6}, 1280, 7680},
    PlayCase{"Ppm625At48kAt20Fps", "ppm", true, 48000, 0, 20, {0, 1, 2, 3, 3}, 0, 9600}),
    [](const testing::TestParamInfo<PlayCase> &info) { return info.param.name; });
// clang-format on

}  // namespace
