// The encode loop: which picture lands in which frame (start offset,
// skipped pictures, rate thinning), the sound read back by our decoder, the
// loop's messages and failures, and the statistics printout.
#include <gtest/gtest.h>
#include <tarsk/dv.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/audio.h"
#include "common/dif.h"
#include "encode/encode.h"
#include "encode/loop_support.h"
#include "support/decoder.h"
#include "support/ffmpeg.h"
#include "support/wav.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct PictureCase {
  const char *what;
  const char *kind;
  int lines, start, end, fps;
  std::vector<int> shown;  // the picture each stored frame shows
  std::string verbose;     // what the loop says
};

// Which picture lands in which frame: the start offset passes over the
// pictures before it, and a thinned rate repeats the previous picture,
// evenly spread (12 of 30: the 16.16 accumulator gains 39322 a frame and
// repeats when it passes a picture; 20 of 25: every fifth frame). A rate at or above the
// system's encodes every picture.
TEST(EncoderLoop, PicturesLandWhereTheyShould) {
  const PictureCase cases[] = {
      {"one picture", "pgm", 480, 0, 0, 0, {0}, "[0] "},
      {"12 of 30",
       "pgm",
       480,
       0,
       7,
       12,
       {0, 0, 2, 2, 2, 5, 5, 7},
       "[0] _1_ [2] _3_ _4_ [5] _6_ [7] "},
      {"20 of 25",
       "ppm",
       576,
       0,
       9,
       20,
       {0, 1, 2, 3, 3, 5, 6, 7, 8, 8},
       "[0] [1] [2] [3] _4_ [5] [6] [7] [8] _9_ "},
      {"start 3",
       "ppm",
       480,
       3,
       5,
       0,
       {3, 4, 5},
       "Skipping 3 frames (video and audio!!!)\n[3] [4] [5] "},
      {"start 2, 12 of 30",
       "pgm",
       480,
       2,
       5,
       12,
       {2, 2, 4, 4},
       "Skipping 2 frames (video and audio!!!)\n[2] _3_ [4] _5_ "},
      {"start after end", "pgm", 576, 3, 2, 0, {}, "Skipping 3 frames (video and audio!!!)\n"},
      {"the system's rate", "pgm", 576, 0, 3, 25, {0, 1, 2, 3}, "[0] [1] [2] [3] "},
      {"above it", "ppm", 480, 0, 3, 1000, {0, 1, 2, 3}, "[0] [1] [2] [3] "},
      {"far above it",
       "pgm",
       576,
       1,
       3,
       2147483647,
       {1, 2, 3},
       "Skipping 1 frames (video and audio!!!)\n[1] [2] [3] "},
  };
  for (const PictureCase &c : cases) {
    SCOPED_TRACE(c.what);
    LoopArgs a;
    a.kind = c.kind;
    a.pattern = number_pictures(c.kind, c.end + 1, c.lines);
    a.start = c.start;
    a.end = c.end;
    a.fps = c.fps;
    a.verbose = 1;
    const LoopRun r = run_loop(a);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, c.verbose);
    ASSERT_EQ(r.frames.size(), c.shown.size());
    for (size_t n = 0; n < c.shown.size(); ++n) {
      EXPECT_EQ(r.frames[n].size(), dif::frame_size(c.lines == 576)) << "frame " << n;
      EXPECT_EQ(picture_number(c.kind, r.frames[n]), c.shown[n]) << "frame " << n;
    }
  }
}

// From standard input the pictures before the start are read and dropped.
TEST(EncoderLoop, StartOnStandardInputDropsPictures) {
  const std::string pattern = number_pictures("pgm", 5, 480);
  const auto stream = scratch_file(".pgms");
  {
    std::ofstream all(stream, std::ios::binary);
    for (int k = 0; k < 5; ++k) {
      char name[1100];
      std::snprintf(name, sizeof name, pattern.c_str(), k);
      all << std::ifstream(name, std::ios::binary).rdbuf();
    }
  }
  ASSERT_NE(std::freopen(stream.c_str(), "rb", stdin), nullptr);
  LoopArgs a;
  a.pattern = "-";
  a.start = 2;
  a.end = 4;
  const LoopRun r = run_loop(a);
  EXPECT_EQ(r.result, 0);
  ASSERT_EQ(r.frames.size(), 3u);
  for (int n = 0; n < 3; ++n) EXPECT_EQ(picture_number("pgm", r.frames[n]), n + 2);
  std::freopen("/dev/null", "rb", stdin);
}

// The thinning accumulator against a plain twin that keeps the arithmetic
// of the definition in 64 bits, unbounded: the same choice frame after
// frame, the share of repeated frames 1 - fps / rate, and an accumulator
// that stays within one picture over a run of a million frames, also far
// above the system's rate (where, in 32 bits and unbounded, it overflowed
// after some hundreds of frames).
TEST(RateThinner, MatchesTheDefinitionAndStaysBounded) {
  for (bool pal : {false, true}) {
    const int rate = pal ? 25 : 30;
    for (int fps : {0, 1, 7, 12, 20, 24, 25, 29, 30, 31, 60, 1000, 1 << 20, 2147483647}) {
      SCOPED_TRACE(testing::Message() << "pal " << pal << " fps " << fps);
      tarsk::RateThinner thinner(fps);
      const long long step = fps == 0 ? 65536 : static_cast<long long>(fps) * 65536 / rate;
      long long twin = 0;
      int repeated = 0;
      constexpr int frames = 1000000;
      for (int n = 0; n < frames; ++n) {
        twin += 65536 - step;
        const bool fresh = twin <= 65535;
        if (!fresh) twin -= 65536;
        ASSERT_EQ(thinner.next(pal), fresh) << "frame " << n;
        ASSERT_TRUE(thinner.accumulator() >= 0 && thinner.accumulator() < 65536);
        repeated += !fresh;
      }
      const double share = fps == 0 || fps >= rate ? 0 : 1 - static_cast<double>(fps) / rate;
      EXPECT_NEAR(repeated, share * frames, frames * 1e-4);
    }
  }
}

struct SoundCase {
  bool pal;
  int rate, start, frames;
  int period, period_samples;  // frames holding a whole number of samples
};

// The loop's sound read back by our decoder: every frame says how many
// samples it carries, they continue the WAV exactly where the previous
// frame (or the pictures passed over at the start) ended, and the counts
// add up to the exact length: 8008 samples every 5 frames of 525/60 at
// 48 kHz, 16016 every 15 at 32 kHz, 147147 every 100 at 44.1 kHz (within
// two samples at every frame), a fifth of a second in 5 frames of 625/50.
TEST(EncoderLoop, SoundComesBackWholeAndInStep) {
  const SoundCase cases[] = {
      {false, 48000, 0, 5, 5, 8008},    {false, 44100, 0, 5, 100, 147147},
      {false, 32000, 0, 15, 15, 16016}, {true, 48000, 0, 5, 5, 9600},
      {true, 44100, 0, 5, 5, 8820},     {true, 32000, 0, 5, 5, 6400},
      {false, 48000, 3, 5, 5, 8008},    {true, 32000, 2, 4, 5, 6400},
  };
  for (const SoundCase &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "pal " << c.pal << ", " << c.rate << " Hz, start " << c.start);
    const std::string wav = counting_wav(c.rate, 2, c.rate * (c.start + c.frames + 1) / 25);
    LoopArgs a;
    a.pattern = number_pictures("pgm", c.start + c.frames, c.pal ? 576 : 480);
    a.start = c.start;
    a.end = c.start + c.frames - 1;
    a.wav = wav.c_str();
    const LoopRun r = run_loop(a);
    ASSERT_EQ(r.result, 0) << r.err;
    ASSERT_EQ(r.frames.size(), static_cast<size_t>(c.frames));
    // The share of the pictures passed over: their exact length rounded
    // down (in both cases here the sum of their counts: 1600 + 1602 + 1602
    // at 48 kHz in 525/60, 2 x 1280 at 32 kHz in 625/50).
    const long long frame_time = c.pal ? 1200 : 1001;  // in 1/30000 s
    long long next = c.start * frame_time * c.rate / 30000;
    auto dv = new_decoder();
    for (int k = 0; k < c.frames; ++k) {
      std::vector<uint8_t> frame(r.frames[k].begin(), r.frames[k].end());
      ASSERT_GE(dv_parse_header(dv.get(), frame.data()), 0);
      ASSERT_EQ(dv->audio->frequency, c.rate);
      std::vector<int16_t> left(1944), right(1944);
      int16_t *out[4] = {left.data(), right.data(), nullptr, nullptr};
      ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.data(), out), 1);
      const int count = dv->audio->samples_this_frame;
      for (int i = 0; i < count; ++i) {
        ASSERT_EQ(left[i], counted(next + i, 0)) << "frame " << k << " sample " << i;
        ASSERT_EQ(right[i], counted(next + i, 1)) << "frame " << k << " sample " << i;
      }
      next += count;
      const long long exact = (c.start + k + 1) * frame_time * c.rate;  // x 30000
      ASSERT_LE(std::llabs(next * 30000 - exact), 2 * 30000LL) << "frame " << k;
      if ((c.start + k + 1) % c.period == 0) {
        EXPECT_EQ(next, (c.start + k + 1) / c.period * static_cast<long long>(c.period_samples));
      }
    }
  }
}

// A failure of any filter ends the loop with -1; what was stored stays
// stored and nothing more is. Settings that cannot work are refused
// before anything is read.
TEST(EncoderLoop, FailuresEndIt) {
  const std::string pictures = number_pictures("pgm", 2, 480);
  struct Case {
    const char *what;
    LoopArgs args;
    size_t frames;
    std::string message;
  };
  const std::string twelve_bit = counting_wav(32000, 4, 8000);
  const std::string absent_wav = scratch_file("absent.wav").string();
  char third[1100];
  std::snprintf(third, sizeof third, pictures.c_str(), 2);
  const Case cases[] = {
      {"a missing picture",
       {"pgm", pictures, 0, 3},
       2,
       std::string("Can't open picture file: ") + third + "\n"},
      {"no WAV file",
       {"pgm", pictures, 0, 1, absent_wav.c_str()},
       0,
       "Can't open WAV file: " + absent_wav + "\n"},
      // 32 kHz in four channels would be 12-bit sound, which is not written.
      {"12-bit sound",
       {"pgm", pictures, 0, 1, twelve_bit.c_str()},
       0,
       "Unsupported bits: 12\n FIXME!\n"},
      {"passes",
       {"pgm", pictures, 0, 1, nullptr, 4},
       0,
       "Invalid value for vlc_encode_passes specified: 4!\n"},
      {"frame rate", {"pgm", pictures, 0, 1, nullptr, 3, -1}, 0, "Invalid frame rate: -1\n"},
      {"long name",
       {"pgm", std::string(1100, 'x') + "%d", 0, 1},
       0,
       "The file name of picture 0 does not fit 1023 bytes\n"},
  };
  // A pattern is given one int: any other conversion, or a second, would
  // read what was never passed.
  std::vector<Case> patterns(std::begin(cases), std::end(cases));
  for (const char *p : {"pic.pgm", "%s.pgm", "%d-%d.pgm", "%n%d", "%ld.pgm", "%*d.pgm", "%1$d.pgm",
                        "%.*d", "pic%", "%f.pgm", "%%d.pgm"})
    patterns.push_back({p,
                        {"pgm", p, 0, 1},
                        0,
                        std::string("The file name pattern ") + p +
                            " needs exactly one conversion of the picture number (such as %04d) "
                            "and no other\n"});
  for (const Case &c : patterns) {
    SCOPED_TRACE(c.what);
    const LoopRun r = run_loop(c.args);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.frames.size(), c.frames);
  }
}

// A write that fails is a failure of the loop, even when the stream's
// buffer would take the whole frame and the error would only show when it
// is flushed.
TEST(EncoderLoop, FailedWriteEndsIt) {
  dv_enc_input_filter_t *input = video_filter("pgm");
  dv_enc_output_filter_t *raw = raw_filter();
  std::vector<char> buffer(1 << 20);  // (the C library sizes its own)
  FILE *full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  ASSERT_EQ(std::setvbuf(full, buffer.data(), _IOFBF, buffer.size()), 0);
  ASSERT_EQ(input->init(0, -1), 0);
  ASSERT_EQ(raw->init(full), 0);
  const std::string pictures = number_pictures("pgm", 2, 480);
  CaptureStderr();
  EXPECT_EQ(dv_encoder_loop(input, nullptr, raw, 0, 1, pictures.c_str(), nullptr, 3, 0, 1, 0, 0),
            -1);
  EXPECT_EQ(GetCapturedStderr(), "raw: could not write the frame\n");
  input->finish();
  raw->init(stdout);
  std::fclose(full);
}

const char *const heading =
    "\n\nFinal statistics:\n"
    "========================================================\n\n"
    "  |CYCLES    |RUNS/CYCLE|QNOS     |CLASS    |VLC OVERF|DCT\n"
    "========================================================\n";

const char *const zeros =
    " 0:        0 |       0  |       0 |       0 |       0 |       0 (DCT88)\n"
    " 1:        0 |       0  |       0 |       0 |         |       0 (DCT248)\n"
    " 2:        0 |       0  |       0 |       0 |         |\n"
    " 3:        0 |       0  |       0 |       0 |         |\n"
    " 4:        0 |       0  |       0 |         |         |\n"
    " 5:        0 |       0  |       0 |         |         |\n"
    " 6:        0 |       0  |       0 |         |         |\n"
    " 7:        0 |       0  |       0 |         |         |\n"
    " 8:        0 |       0  |       0 |         |         |\n"
    " 9:        0 |       0  |       0 |         |         |\n"
    "10:        0 |       0  |       0 |         |         |\n"
    "11:        0 |       0  |       0 |         |         |\n"
    "12:        0 |       0  |       0 |         |         |\n"
    "13:        0 |       0  |       0 |         |         |\n"
    "14:        0 |       0  |       0 |         |         |\n"
    "15:        0 |       0  |       0 |         |         |\n";

// What the statistics say before any encoding and after one frame, in a
// process of its own: a death test's child (in the threadsafe style a new
// run of this program) runs only this test, so that the process-wide
// counters start at zero.
std::string statistics_of_a_run(const std::string &pictures) {
  CaptureStderr();
  dv_show_statistics();
  std::string text = GetCapturedStderr();
  LoopArgs a;
  a.pattern = pictures;
  a.passes = 3;
  text += "--\n";
  if (run_loop(a).result != 0) text += "the loop failed\n";
  CaptureStderr();
  dv_show_statistics();
  return text + GetCapturedStderr();
}

TEST(EncoderStatisticsDeathTest, PrintedInTheirLayout) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string pictures = number_pictures("pgm", 1, 480);
  // One flat picture of 525/60: its 270 segments fit at once (no search
  // iteration), its 1350 macroblocks at the finest qno, 15, its 8100 blocks
  // in the 8-8 mode, the 5400 luminance blocks in class 0 and the chroma
  // blocks in the class their component starts from (Cr 1, Cb 2).
  const std::string one_frame =
      " 0:      270 |       0  |       0 |    5400 |       0 |    8100 (DCT88)\n"
      " 1:        0 |       0  |       0 |    1350 |         |       0 (DCT248)\n"
      " 2:        0 |       0  |       0 |    1350 |         |\n"
      " 3:        0 |       0  |       0 |       0 |         |\n"
      " 4:        0 |       0  |       0 |         |         |\n"
      " 5:        0 |       0  |       0 |         |         |\n"
      " 6:        0 |       0  |       0 |         |         |\n"
      " 7:        0 |       0  |       0 |         |         |\n"
      " 8:        0 |       0  |       0 |         |         |\n"
      " 9:        0 |       0  |       0 |         |         |\n"
      "10:        0 |       0  |       0 |         |         |\n"
      "11:        0 |       0  |       0 |         |         |\n"
      "12:        0 |       0  |       0 |         |         |\n"
      "13:        0 |       0  |       0 |         |         |\n"
      "14:        0 |       0  |       0 |         |         |\n"
      "15:        0 |       0  |    1350 |         |         |\n";
  const std::string expected = std::string(heading) + zeros + "--\n" + heading + one_frame;
  EXPECT_EXIT(
      {
        const std::string got = statistics_of_a_run(pictures);
        std::fputs(got.c_str(), stderr);
        std::exit(got == expected ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
