// Frames assembled here, read by ffmpeg: pictures from an ffmpeg-made DV
// file get our metadata and, through the "wav" input filter and the "raw"
// output filter, our audio. ffmpeg must decode the same pictures as from
// its own file, our WAV's samples bit for bit (-32768 as -32767) at every
// rate in both systems, and our aspect ratio.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/ffmpeg.h"
#include "support/wav.h"

namespace {

using namespace tarsk::test;

struct Case {
  const char *name;
  dv_system_t system;
  const char *pix_fmt;
  int rate;
  bool wide;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const Case cases[] = {
    {"Pal48kWide", e_dv_system_625_50, "yuv420p", 48000, true},
    {"Pal44k", e_dv_system_625_50, "yuv420p", 44100, false},
    {"Pal32k", e_dv_system_625_50, "yuv420p", 32000, false},
    {"Ntsc48k", e_dv_system_525_60, "yuv411p", 48000, false},
    {"Ntsc44kWide", e_dv_system_525_60, "yuv411p", 44100, true},
    {"Ntsc32k", e_dv_system_525_60, "yuv411p", 32000, false},
};

constexpr int frames = 3;

// A ramp on the left, noise on the right, for a little more than `frames`
// frames; a few samples of -32768, which DV reserves to mark a lost sample
// and so carries as -32767.
std::vector<int16_t> stereo_samples(int rate) {
  std::mt19937 rng(static_cast<unsigned>(rate));
  std::vector<int16_t> s;
  for (int i = 0; i < rate / 25 * (frames + 1); ++i) {
    s.push_back(static_cast<int16_t>(i * 37 % 60000 - 30000));
    s.push_back(static_cast<int16_t>(static_cast<int>(rng() % 65536) - 32768));
  }
  for (size_t at : {0u, 3u, 1001u, 2500u}) s[at] = -32768;
  return s;
}

std::string as_dv_carries(std::vector<int16_t> s) {
  for (int16_t &v : s) v = v == -32768 ? -32767 : v;
  return s16le(s);
}

template <class Filter>
const Filter &named(Filter *filters, int count, const char *name) {
  for (int i = 0; i < count; ++i)
    if (std::strcmp(filters[i].filter_name, name) == 0) return filters[i];
  throw std::runtime_error(std::string("no filter ") + name);
}

class FfmpegAssembly : public testing::TestWithParam<Case> {};

TEST_P(FfmpegAssembly, FfmpegReadsOurFrames) {
  const Case c = GetParam();
  const bool pal = c.system == e_dv_system_625_50;
  DvRecipe recipe;
  recipe.system = c.system;
  recipe.pix_fmt = c.pix_fmt;
  recipe.frames = frames;
  const MadeDv &made = made_dv(c.pix_fmt, recipe);

  const std::vector<int16_t> input = stereo_samples(c.rate);
  const auto wav_path = scratch_file(".wav");
  WavHeader header;
  header.rate = c.rate;
  write_file(wav_path, wav_bytes(header, s16le(input)));
  const std::string samples = as_dv_carries(input);

  dv_enc_audio_input_filter_t *inputs;
  dv_enc_output_filter_t *outputs;
  int inputs_count, outputs_count;
  dv_enc_get_audio_input_filters(&inputs, &inputs_count);
  dv_enc_get_output_filters(&outputs, &outputs_count);
  const auto &wav = named(inputs, inputs_count, "wav");
  const auto &raw = named(outputs, outputs_count, "raw");

  auto audio = std::make_unique<dv_enc_audio_info_t>();
  ASSERT_EQ(wav.init(wav_path.c_str(), audio.get()), 0);
  const auto ours = scratch_file(".dv");
  FILE *out = std::fopen(ours.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(raw.init(out), 0);
  size_t bytes = 0;
  for (auto frame : made.frames) {
    std::vector<uint8_t> copy(frame.begin(), frame.end());
    ASSERT_EQ(wav.load(audio.get(), pal), 0);
    ASSERT_EQ(raw.store(copy.data(), audio.get(), 0, pal, c.wide, 1700000000), 0);
    bytes += static_cast<size_t>(audio->bytesperframe);
  }
  raw.finish();
  wav.finish();
  std::fclose(out);

  const std::vector<uint8_t> decoded = ffmpeg_audio_s16le(ours);
  ASSERT_EQ(decoded.size(), bytes);
  EXPECT_EQ(0, std::memcmp(decoded.data(), samples.data(), bytes));

  const auto md5 = [](const std::filesystem::path &p) {
    return run_ffmpeg({"-i", p.string(), "-map", "0:v", "-f", "md5", "-"});
  };
  EXPECT_EQ(md5(ours), md5(made.path));
  EXPECT_EQ(run_ffprobe({"-select_streams", "v:0", "-show_entries", "stream=display_aspect_ratio",
                         "-of", "default=noprint_wrappers=1:nokey=1", ours.string()}),
            (c.wide ? "16:9" : "4:3") + std::string("\n"));
}

INSTANTIATE_TEST_SUITE_P(Files, FfmpegAssembly, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

}  // namespace
