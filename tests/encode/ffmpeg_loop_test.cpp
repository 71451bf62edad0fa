// The encode loop's streams played by ffmpeg: numbered pictures and a
// counting WAV go in; ffmpeg must show the pictures in their frames and give
// the WAV's samples back exactly from where the first stored frame starts,
// so that sound and pictures stay together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encode/loop_support.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;

struct PlayCase {
  const char *name;
  const char *kind;
  bool pal;
  int rate, start, frames;
  long long offset, samples;  // where the first frame's sound starts; how much there is
};

void PrintTo(const PlayCase &c, std::ostream *os) { *os << c.name; }

// The sound of the pictures passed over and of the frames stored, by the
// exact length rounded down where the count is not DV's customary one: 1600
// + 1602 before picture 2 of 525/60 at 48 kHz and 30 x 1601.6 in 30 frames;
// at 32 kHz 1067.73 before picture 1 and 7 x 1067.73 - 1067 in the next
// six; 8 x 1471.47 at 44.1 kHz; 1280 and 1920 a frame in 625/50.
const PlayCase cases[] = {
    {"Ppm525At48kFromPicture2", "ppm", false, 48000, 2, 30, 3202, 48048},
    {"Pgm525At44k", "pgm", false, 44100, 0, 8, 0, 11771},
    {"Pgm525At32kFromPicture1", "pgm", false, 32000, 1, 6, 1067, 6407},
    {"Pgm625At32kFromPicture1", "pgm", true, 32000, 1, 6, 1280, 7680},
    {"Ppm625At48k", "ppm", true, 48000, 0, 4, 0, 7680},
};

class FfmpegPlaysTheLoop : public testing::TestWithParam<PlayCase> {};

TEST_P(FfmpegPlaysTheLoop, PicturesAndSoundInStep) {
  const PlayCase c = GetParam();
  const int lines = c.pal ? 576 : 480;
  const int last = c.start + c.frames - 1;
  const std::string wav = counting_wav(c.rate, 2, c.rate * (last + 2) / 25);
  LoopArgs a;
  a.kind = c.kind;
  a.pattern = number_pictures(c.kind, last + 1, lines);
  a.start = c.start;
  a.end = last;
  a.wav = wav.c_str();
  const LoopRun r = run_loop(a);
  ASSERT_EQ(r.result, 0) << r.err;
  ASSERT_EQ(r.frames.size(), static_cast<size_t>(c.frames));
  const auto path = scratch_file(".dv");
  write_file(path, std::string(r.bytes.begin(), r.bytes.end()));

  const std::vector<uint8_t> pcm = ffmpeg_audio_s16le(path);
  ASSERT_EQ(static_cast<long long>(pcm.size()), 4 * c.samples);
  for (long long i = 0; i < c.samples; ++i)
    for (int ch = 0; ch < 2; ++ch) {
      const size_t at = static_cast<size_t>(4 * i + 2 * ch);
      const auto got = static_cast<int16_t>(pcm[at] | pcm[at + 1] << 8);
      ASSERT_EQ(got, counted(c.offset + i, ch)) << "sample " << i << " channel " << ch;
    }

  // The luma plane of each picture in the stream's own sampling.
  const std::string video = run_ffmpeg({"-v", "error", "-i", path.string(), "-f", "rawvideo",
                                        "-pix_fmt", c.pal ? "yuv420p" : "yuv411p", "-"});
  const size_t luma = 720u * lines, picture = luma * 3 / 2;
  ASSERT_EQ(video.size(), picture * c.frames);
  for (int n = 0; n < c.frames; ++n) {
    double sum = 0;
    for (size_t i = 0; i < luma; ++i) sum += static_cast<uint8_t>(video[n * picture + i]);
    EXPECT_EQ(picture_of_luma(c.kind, sum / static_cast<double>(luma)), (c.start + n) % 16)
        << "frame " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, FfmpegPlaysTheLoop, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<PlayCase> &info) {
                           return info.param.name;
                         });

}  // namespace
