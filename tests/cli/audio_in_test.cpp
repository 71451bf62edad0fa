// Sound for `tarsk encode` read through libsndfile, against ffmpeg's own
// decoding of the same file to 16-bit samples.
#include "audio_in.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

std::vector<int16_t> samples_of(const std::string &s16le) {
  std::vector<int16_t> samples(s16le.size() / 2);
  std::memcpy(samples.data(), s16le.data(), samples.size() * 2);  // the test host is little-endian
  return samples;
}

// Everything the file holds, read a DV frame's worth at a time (the count
// of 625/50 frames at the rate, 1920 samples at 48 kHz).
std::vector<int16_t> read_all(AudioInput &in) {
  std::vector<int16_t> all;
  const size_t per_frame = static_cast<size_t>(in.rate() / 25);
  for (;;) {
    auto chunk = in.read(per_frame);
    if (!chunk) {
      ADD_FAILURE() << chunk.error();
      break;
    }
    all.insert(all.end(), chunk->begin(), chunk->end());
    if (chunk->size() < per_frame * 2) break;
  }
  return all;
}

struct Case {
  const char *name;
  const char *source;  // lavfi audio source, without its rate
  int rate, channels;
  std::vector<std::string> encode;  // ffmpeg's output options for the file
  const char *suffix;
  int tolerance;  // largest difference from ffmpeg's samples allowed
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class AudioFiles : public testing::TestWithParam<Case> {};

TEST_P(AudioFiles, SamplesEqualFfmpegsDecoding) {
  const Case &c = GetParam();
  const auto path = scratch_file(c.suffix);
  std::vector<std::string> args{
      "-f", "lavfi", "-i",  std::string(c.source) + ":sample_rate=" + std::to_string(c.rate),
      "-t", "0.5",   "-ac", std::to_string(c.channels)};
  args.insert(args.end(), c.encode.begin(), c.encode.end());
  args.insert(args.end(), {"-y", path.string()});
  run_ffmpeg(args);

  auto in = AudioInput::open(path.string());
  ASSERT_TRUE(in) << in.error();
  EXPECT_EQ((*in)->rate(), c.rate);
  EXPECT_EQ((*in)->channels(), c.channels);
  const auto ours = read_all(**in);
  // A mono file's samples are ffmpeg's decoding of its one channel, twice.
  auto theirs = samples_of(run_ffmpeg({"-i", path.string(), "-f", "s16le", "-"}));
  if (c.channels == 1) {
    std::vector<int16_t> both;
    for (int16_t s : theirs) both.insert(both.end(), {s, s});
    theirs = both;
  }
  ASSERT_EQ(ours.size(), theirs.size());
  EXPECT_EQ(ours.size(), static_cast<size_t>(c.rate));  // half a second of stereo
  int worst = 0;
  for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - theirs[i]));
  EXPECT_LE(worst, c.tolerance);
  RecordProperty("largest_difference", worst);
}

const char *const sine = "sine=frequency=997";
// Past full scale, so that float samples must be clipped.
const char *const loud = "aevalsrc=1.5*sin(2*PI*440*t)|-1.5*sin(2*PI*330*t)";

INSTANTIATE_TEST_SUITE_P(
    Formats, AudioFiles,
    testing::Values(Case{"Wav16Stereo48k", sine, 48000, 2, {"-c:a", "pcm_s16le"}, "a.wav", 0},
                    Case{"Wav16Mono44k", sine, 44100, 1, {"-c:a", "pcm_s16le"}, "a.wav", 0},
                    // 24-bit: libsndfile keeps the top 16 bits, as ffmpeg does.
                    Case{"Wav24Stereo32k", sine, 32000, 2, {"-c:a", "pcm_s24le"}, "a.wav", 0},
                    // Float: scaled by 32768, rounded and clipped, as ffmpeg does.
                    Case{"WavFloatStereo48k", sine, 48000, 2, {"-c:a", "pcm_f32le"}, "a.wav", 0},
                    Case{"WavFloatClipped", loud, 48000, 2, {"-c:a", "pcm_f32le"}, "a.wav", 0},
                    Case{"Aiff16Stereo44k", sine, 44100, 2, {"-c:a", "pcm_s16be"}, "a.aiff", 0},
                    Case{"Flac16Mono48k", sine, 48000, 1, {"-c:a", "flac"}, "a.flac", 0},
                    Case{"Flac24Stereo32k",
                         sine,
                         32000,
                         2,
                         {"-c:a", "flac", "-sample_fmt", "s32"},
                         "a.flac",
                         0}),
    [](const auto &info) { return std::string(info.param.name); });

// A WAV's chunks may come in any order: a JUNK chunk first, a LIST chunk
// between "fmt " and "data", all made here around ffmpeg's samples.
TEST(AudioFiles, WavChunksInAnyOrder) {
  const std::string pcm = run_ffmpeg(
      {"-f", "lavfi", "-i", "sine=sample_rate=44100", "-t", "0.2", "-ac", "2", "-f", "s16le", "-"});
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  };
  auto chunk = [&](const std::string &id, const std::string &body) {
    return id + le(static_cast<uint32_t>(body.size()), 4) + body;
  };
  const std::string fmt =
      le(1, 2) + le(2, 2) + le(44100, 4) + le(44100 * 4, 4) + le(4, 2) + le(16, 2);
  const std::string body = "WAVE" + chunk("JUNK", std::string(28, '\0')) + chunk("fmt ", fmt) +
                           chunk("LIST", "INFOISFT" + le(6, 4) + std::string("tarsk\0", 6)) +
                           chunk("data", pcm);
  const auto path = scratch_file("chunks.wav");
  std::ofstream(path, std::ios::binary) << chunk("RIFF", body);
  auto in = AudioInput::open(path.string());
  ASSERT_TRUE(in) << in.error();
  EXPECT_TRUE(read_all(**in) == samples_of(pcm));
}

// Float samples far past full scale, infinite or not numbers at all: clipped
// to the side they lie on, and silence for a NaN.
TEST(AudioFiles, FloatExtremesClipToTheirSide) {
  const float in[] = {1e30f, -1e30f, INFINITY, -INFINITY, NAN, 0.5f, 1.0f, -1.0f};
  const int16_t expected[] = {32767, -32768, 32767, -32768, 0, 16384, 32767, -32768};
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  };
  std::string data;
  for (float f : in) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    data += le(bits, 4);
  }
  const std::string fmt =
      le(3, 2) + le(2, 2) + le(48000, 4) + le(48000 * 8, 4) + le(8, 2) + le(32, 2);
  const std::string body = "WAVEfmt " + le(16, 4) + fmt + "data" + le(32, 4) + data;
  const auto path = scratch_file("extremes.wav");
  std::ofstream(path, std::ios::binary)
      << "RIFF" << le(static_cast<uint32_t>(body.size()), 4) << body;
  auto file = AudioInput::open(path.string());
  ASSERT_TRUE(file) << file.error();
  EXPECT_EQ(read_all(**file), std::vector<int16_t>(std::begin(expected), std::end(expected)));
}

// Rates DV does not carry and more than two channels are refused, naming
// the file; so is a file that is no sound at all.
TEST(AudioFiles, RefusalsSayWhyAndHow) {
  struct Refusal {
    std::string source, message;
  };
  const Refusal refusals[] = {
      {"sine=sample_rate=22050",
       ": sound at 22050 Hz; DV carries 48000, 44100 or 32000 Hz: resample it, e.g. with ffmpeg's "
       "-ar 48000"},
      {"aevalsrc=0|0|0|0|0|0:sample_rate=48000",
       ": sound of 6 channels; this takes mono or stereo: mix it down, e.g. with ffmpeg's -ac 2"},
  };
  for (const Refusal &r : refusals) {
    SCOPED_TRACE(r.source);
    const auto path = scratch_file("refused.wav");
    run_ffmpeg({"-f", "lavfi", "-i", r.source, "-t", "0.1", "-y", path.string()});
    auto in = AudioInput::open(path.string());
    ASSERT_FALSE(in);
    EXPECT_EQ(in.error(), path.string() + r.message);
  }
  const auto text = scratch_file("text.wav");
  std::ofstream(text) << "not sound";
  auto in = AudioInput::open(text.string());
  ASSERT_FALSE(in);
  EXPECT_EQ(in.error().rfind(text.string() + ": cannot read its sound: ", 0), 0u) << in.error();
}

}  // namespace
