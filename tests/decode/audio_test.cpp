// Audio on hand-built frames: AAUX packs, samples, failed blocks, concealment, de-emphasis.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/decoder.h"
#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;

constexpr int16_t invalid = -32768;
constexpr dv_system_t pal = e_dv_system_625_50, ntsc = e_dv_system_525_60;

// Channel buffers of exactly `size` samples: the sanitizer sees overruns.
struct Channels {
  std::vector<std::vector<int16_t>> buffers;
  std::vector<int16_t *> pointers;
  Channels(int count, int size)
      : buffers(static_cast<size_t>(count), std::vector<int16_t>(static_cast<size_t>(size), 7)) {
    for (auto &b : buffers) pointers.push_back(b.data());
  }
  int16_t **get() { return pointers.data(); }
  std::vector<int16_t> &operator[](int c) { return buffers[static_cast<size_t>(c)]; }
};

FrameBuilder audio_frame(dv_system_t system, int af_size, int smp, int qu, int ef = 1,
                         int speed = 0x20, int apt = 0) {
  FrameBuilder frame(system);
  frame.apt(apt);
  with_audio_packs(frame, aaux_source(af_size, system == pal, ef, smp, qu),
                   aaux_source_control(speed));
  return frame;
}

// Samples (rate's minimum plus af_size, at most the slots), slots, rate, bits, emphasis; options
// force the last three; an abnormal speed (0x20; 314M 0x78 525/60, 0x64 625/50) refuses audio.
TEST(AudioHeader, PacksAndOptions) {
  // clang-format off
  struct Case { dv_system_t system; int af_size, smp, qu, ef, speed, apt, rate_option, bits_option,
                emphasis_option;
                std::vector<int> expected; };  // result, rate, samples, slots, bits, emphasis
  for (const Case &c : {
           Case{pal, 24, 0, 0, 0, 0x20, 0, 0, 0, 0, {1, 48000, 1920, 1944, 16, 1}},
           Case{pal, 63, 0, 0, 1, 0x20, 0, 0, 0, 0, {1, 48000, 1944, 1944, 16, 0}},
           Case{ntsc, 63, 2, 1, 1, 0x20, 0, 0, 0, 0, {1, 32000, 1080, 1080, 12, 0}},
           Case{pal, 63, 0, 1, 1, 0x20, 0, 0, 0, 0, {1, 48000, 1296, 1296, 12, 0}},
           Case{ntsc, 20, 0, 0, 1, 0x78, 1, 0, 0, 0, {1, 48000, 1600, 1620, 16, 0}},
           Case{pal, 20, 0, 0, 1, 0x64, 1, 0, 0, 0, {1, 48000, 1916, 1944, 16, 0}},
           Case{ntsc, 20, 0, 0, 1, 0x64, 1, 0, 0, 0, {0, 48000, 1600, 1620, 16, 0}},
           Case{pal, 20, 0, 0, 1, 0x20, 1, 0, 0, 0, {0, 48000, 1916, 1944, 16, 0}},
           Case{pal, 20, 0, 0, 1, 0x21, 0, 0, 0, 0, {0, 48000, 1916, 1944, 16, 0}},
           Case{pal, 10, 0, 0, 1, 0x20, 0, 1, 0, 0, {1, 32000, 1274, 1944, 16, 0}},
           Case{pal, 63, 3, 0, 1, 0x20, 0, 1, 0, 0, {1, 32000, 1296, 1296, 16, 0}},
           Case{pal, 0, 2, 0, 1, 0x20, 0, 0, 1, 0, {1, 32000, 1264, 1296, 12, 0}},
           Case{pal, 0, 2, 1, 1, 0x20, 0, 0, 2, 0, {1, 32000, 1264, 1296, 16, 0}},
           Case{pal, 0, 0, 0, 0, 0x20, 0, 0, 0, 2, {1, 48000, 1896, 1944, 16, 0}},
           Case{pal, 0, 0, 0, 1, 0x20, 0, 0, 0, 1, {1, 48000, 1896, 1944, 16, 1}},
       }) {
    // clang-format on
    FrameBuilder frame = audio_frame(c.system, c.af_size, c.smp, c.qu, c.ef, c.speed, c.apt);
    auto dv = new_decoder();
    dv_audio_t *a = dv->audio;
    a->arg_audio_frequency = c.rate_option, a->arg_audio_quantization = c.bits_option;
    a->arg_audio_emphasis = c.emphasis_option;
    dv_parse_header(dv.get(), frame.bytes().data());
    const int result = dv_parse_audio_header(dv.get(), frame.bytes().data());
    EXPECT_EQ((std::vector<int>{result, a->frequency, a->samples_this_frame, a->max_samples,
                                a->quantization, a->emphasis}),
              c.expected)
        << c.system << " " << c.af_size << " " << c.smp << " " << c.qu << " " << c.speed;
    EXPECT_EQ(dv_update_num_samples(a, frame.bytes().data()), 1);
  }
}

// DV's 12-bit nonlinear code: steps of 1 to 512, then 2, doubling every 256 codes; negative
// codes mirror the positive in one's complement.
int expected_12(int v) {
  if (v < 0) return -expected_12(-v - 1) - 1;
  if (v < 512) return v;
  const int segment = (v - 512) / 256;
  return (512 << segment) + (v - 512 - 256 * segment) * (2 << segment);
}

TEST(AudioDecode, SixteenAndTwelveBitSamplesInBothSystems) {
  for (dv_system_t system : {ntsc, pal}) {
    const int slots = system == pal ? 1944 : 1620, slots12 = system == pal ? 1296 : 1080;
    FrameBuilder frame = audio_frame(system, system == pal ? 24 : 22, 0, 0);
    std::vector<int16_t> left(static_cast<size_t>(slots)), right(left);
    for (size_t p = 0; p < left.size(); ++p)
      left[p] = static_cast<int16_t>(p * 13 - 9000), right[p] = static_cast<int16_t>(20000 - p * 7);
    write_audio_16(frame, left, right);
    auto dv = new_decoder();
    dv_parse_header(dv.get(), frame.bytes().data());
    Channels out(2, slots);
    ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
    EXPECT_EQ(out[0], left);
    EXPECT_EQ(out[1], right);
    EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 0);

    // Every 12-bit code but the invalid 0x800, spread over four channels.
    FrameBuilder frame12 = audio_frame(system, system == pal ? 32 : 27, 2, 1);
    std::vector<int> codes[4];
    for (int v = -2047; v <= 2047; ++v) codes[(v + 2047) % 4].push_back(v & 0xfff);
    for (auto &c : codes) c.resize(static_cast<size_t>(slots12), 0x100);
    codes[0][5] = 0x800;                // one of a pair: the most negative code stands in
    codes[2][9] = codes[3][9] = 0x800;  // both of a pair: invalid
    write_audio_12(frame12, codes);
    dv_parse_header(dv.get(), frame12.bytes().data());
    Channels out12(4, slots12);
    ASSERT_EQ(dv_decode_full_audio(dv.get(), frame12.bytes().data(), out12.get()), 1);
    for (int v = -2047, i = 0; v <= 2047; ++v, ++i) {
      if (i / 4 >= slots12 || i / 4 == 5 || i / 4 == 9) continue;
      ASSERT_EQ(out12[i % 4][static_cast<size_t>(i / 4)], expected_12(v)) << v;
    }
    EXPECT_EQ((std::vector<int>{out12[0][5], out12[2][9], out12[3][9]}),
              (std::vector<int>{-32641, invalid, invalid}));
    EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 0);
  }
}

void fail_block(FrameBuilder &frame, int sequence, int block, int quantization) {
  uint8_t *data = frame.audio_data(sequence, block);
  for (int i = 0; i < 72; ++i)
    data[i] = quantization == 16 ? (i % 2 ? 0x00 : 0x80) : (i % 3 == 2 ? 0x00 : 0x80);
}

// Failed blocks are counted, reported (zero time code and date) and kept (0), dropped (1) or
// interpolated (2); 35 invalid samples are no failure.
TEST(AudioFailure, FailedBlocksAreCountedReportedAndConcealed) {
  FrameBuilder frame = audio_frame(ntsc, 20, 0, 0);
  write_audio_16(frame, std::vector<int16_t>(1620, 1000), std::vector<int16_t>(1620, -1000));
  fail_block(frame, 0, 0, 16);
  fail_block(frame, 7, 4, 16);
  uint8_t *almost = frame.audio_data(1, 2);
  for (int i = 0; i < 35; ++i) almost[2 * i] = 0x80, almost[2 * i + 1] = 0x00;
  for (int method : {0, 1, 2}) {
    auto dv = new_decoder();
    dv_set_audio_correction(dv.get(), method);
    FILE *log = std::tmpfile();
    dv_set_error_log(dv.get(), log);
    dv_parse_header(dv.get(), frame.bytes().data());
    Channels out(2, 1620);
    ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
    EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 2);
    EXPECT_EQ(dv->audio->sample_failure, 72);
    const std::string text = read_stream(log);
    std::fclose(log);
    EXPECT_NE(text.find("abf 00:00:00.00 2000-00-00 00:00:00 7f 07 00 16\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("# audio block failure for 2 blocks = 72 samples of 1600\n"),
              std::string::npos);
    const auto invalid_left = std::count(out[0].begin(), out[0].begin() + 1600, invalid);
    // Kept: the failed block and the lone invalid samples; else none.
    EXPECT_TRUE(method == 0 ? invalid_left >= 36 : invalid_left == 0)
        << method << " " << invalid_left;
    if (method > 0) {
      EXPECT_EQ(out[1][1599], method == 1 ? 0 : -1000);
    }
  }
}

// 12-bit: a failed block in either half is concealed, emphasis removed, in all four channels
// alike; without subcode packs the report takes its other form.
TEST(AudioFailure, TwelveBitConcealsAllFourChannelsAndReports) {
  FrameBuilder frame = audio_frame(pal, 0, 2, 1, 0);  // emphasis on
  std::vector<int> codes[4];
  for (auto &c : codes) c.assign(1296, 0x100);
  write_audio_12(frame, codes);
  fail_block(frame, 1, 3, 12);  // first half: channels 0 and 1
  fail_block(frame, 7, 3, 12);  // second half, the same place: channels 2 and 3
  auto dv = new_decoder();
  FILE *log = std::tmpfile();
  dv_set_error_log(dv.get(), log);
  dv_parse_header(dv.get(), frame.bytes().data());
  dv_parse_packs(dv.get(), frame.bytes().data());  // the frame carries none
  Channels out(4, 1296);
  ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
  EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 2);
  const uint8_t *id = &frame.bytes()[dif::audio_offset(1, 3)];
  char expected[96];
  std::snprintf(expected, sizeof expected,
                "# complete audio block failure (12bit): header = %02x %02x %02x\n", id[0], id[1],
                id[2]);
  EXPECT_EQ(read_stream(log).substr(0, std::strlen(expected)), expected);
  std::fclose(log);
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(std::count(out[c].begin(), out[c].begin() + 1296, invalid), 0) << c;
    EXPECT_NE(out[c][0], 256) << c;  // de-emphasised
    EXPECT_EQ(out[c], out[0]) << c;
  }
}

// Concealment on hand-made buffers; a claim beyond them stays inside (the sanitizer checks).
std::vector<int16_t> conceal(std::vector<int16_t> samples, int method, int claimed = 0) {
  auto dv = new_decoder();
  dv->audio->samples_this_frame = claimed ? claimed : static_cast<int>(samples.size());
  dv->audio->max_samples = static_cast<int>(samples.size());
  dv->audio->num_channels = 2;
  dv_set_audio_correction(dv.get(), method);
  std::vector<int16_t> other = samples;
  int16_t *buffers[2] = {samples.data(), other.data()};
  dv_audio_correct_errors(dv->audio, buffers);
  EXPECT_EQ(samples, other);
  return samples;
}

TEST(AudioConcealment, InterpolateAndDrop) {
  using V = std::vector<int16_t>;
  EXPECT_EQ(conceal({100, invalid, invalid, 400}, 2), (V{100, 200, 300, 400}));
  EXPECT_EQ(conceal({invalid, invalid, invalid, 400}, 2), (V{100, 200, 300, 400}));
  EXPECT_EQ(conceal({0, 300, invalid, invalid}, 2), (V{0, 300, 200, 100}));
  EXPECT_EQ(conceal({1, invalid, 2, invalid, 3}, 1), (V{1, 2, 3, 0, 0}));
  EXPECT_EQ(conceal({1, invalid, 2}, 0), (V{1, invalid, 2}));
  EXPECT_EQ(conceal({-32767, invalid, 32767}, 2), (V{-32767, 0, 32767}));
  EXPECT_EQ(conceal({invalid, 1, invalid, 3}, 2, 5000), (V{0, 1, 2, 3}));
}

// De-emphasis of a constant 1000 starts at b0 x 1000 = 450 and settles on it.
TEST(AudioDeemphasis, FilterOfTheEmphasisFlag) {
  auto dv = new_decoder();
  dv->audio->samples_this_frame = dv->audio->max_samples = 2000;
  dv->audio->frequency = 48000;
  for (int level : {1000, -1000}) {
    std::vector<int16_t> constant(2000, static_cast<int16_t>(level));
    dv_audio_deemphasis(dv->audio, constant.data());
    EXPECT_EQ(std::tuple(constant[0], constant[1999]), std::tuple(level * 45 / 100, level));
  }
}

}  // namespace
