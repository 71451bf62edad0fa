// Audio of DV files made by ffmpeg decodes here bit-identical to ffmpeg's
// own decoding of the same files, frame after frame.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/decoder.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;

struct Case {
  const char *name;
  DvRecipe recipe;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

// A different tone in each channel, so that misplaced or swapped samples
// show.
const std::string tones = "aevalsrc=exprs=sin(440*2*PI*t)*0.6|sin(97*2*PI*t)*0.3:c=stereo";

DvRecipe recipe(dv_system_t system, const char *pix_fmt, int rate) {
  DvRecipe r;
  r.system = system;
  r.pix_fmt = pix_fmt;
  r.audio_rate = rate;
  r.frames = 12;
  r.audio_source = tones;
  return r;
}

const Case cases[] = {
    {"Pal420At48k", recipe(e_dv_system_625_50, "yuv420p", 48000)},
    {"Pal420At44k", recipe(e_dv_system_625_50, "yuv420p", 44100)},
    {"Pal420At32k", recipe(e_dv_system_625_50, "yuv420p", 32000)},
    {"Pal411At48k", recipe(e_dv_system_625_50, "yuv411p", 48000)},
    {"Pal411At32k", recipe(e_dv_system_625_50, "yuv411p", 32000)},
    {"Ntsc411At48k", recipe(e_dv_system_525_60, "yuv411p", 48000)},
};

class FfmpegAudio : public testing::TestWithParam<Case> {};

TEST_P(FfmpegAudio, DecodesBitIdenticalToFfmpeg) {
  const Case &c = GetParam();
  const auto path = make_dv(c.recipe);
  const std::vector<uint8_t> bytes = read_file(path);
  const std::vector<uint8_t> reference = ffmpeg_audio_s16le(path);

  auto dv = new_decoder();
  std::vector<int16_t> left(1944), right(1944);
  int16_t *buffers[4] = {left.data(), right.data(), nullptr, nullptr};
  std::vector<uint8_t> ours;
  int frames = 0;
  for (auto frame : split_frames(bytes)) {
    std::vector<uint8_t> copy(frame.begin(), frame.end());
    ASSERT_GE(dv_parse_header(dv.get(), copy.data()), 0);
    ASSERT_EQ(dv_decode_full_audio(dv.get(), copy.data(), buffers), 1) << "frame " << frames;
    const int n = dv->audio->samples_this_frame;
    ASSERT_GT(n, 0);
    ASSERT_LE(n, dv->audio->max_samples);
    EXPECT_EQ(dv->audio->frequency, c.recipe.audio_rate);
    for (int i = 0; i < n; ++i)
      for (int16_t sample : {left[static_cast<size_t>(i)], right[static_cast<size_t>(i)]}) {
        ours.push_back(static_cast<uint8_t>(static_cast<uint16_t>(sample) & 0xff));
        ours.push_back(static_cast<uint8_t>(static_cast<uint16_t>(sample) >> 8));
      }
    ++frames;
  }
  EXPECT_EQ(frames, c.recipe.frames);
  ASSERT_EQ(ours.size(), reference.size());
  EXPECT_TRUE(ours == reference) << "first difference at byte "
                                 << std::mismatch(ours.begin(), ours.end(), reference.begin()).first -
                                        ours.begin();
  // Not silence: the comparison means something.
  int loud = 0;
  for (size_t i = 0; i + 1 < ours.size(); i += 2) loud += std::abs(static_cast<int16_t>(ours[i] | (ours[i + 1] << 8))) > 1000;
  EXPECT_GT(loud, static_cast<int>(ours.size() / 8));
}

INSTANTIATE_TEST_SUITE_P(Files, FfmpegAudio, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

}  // namespace
