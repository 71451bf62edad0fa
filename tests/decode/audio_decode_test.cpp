// Audio sample decoding, concealment and de-emphasis.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/decoder.h"
#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr int16_t invalid = -32768;

// Channel buffers of exactly `size` samples each, on the heap, so that
// the sanitizer build catches a write past them.
struct Channels {
  std::vector<std::vector<int16_t>> buffers;
  std::vector<int16_t *> pointers;
  Channels(int count, int size) : buffers(static_cast<size_t>(count), std::vector<int16_t>(static_cast<size_t>(size), 7)) {
    for (auto &b : buffers) pointers.push_back(b.data());
  }
  int16_t **get() { return pointers.data(); }
};

FrameBuilder audio_frame(dv_system_t system, int af_size, int smp, int qu, int ef = 1) {
  FrameBuilder frame(system);
  const bool pal = system == e_dv_system_625_50;
  with_audio_packs(frame, aaux_source(af_size, pal, ef, smp, qu), aaux_source_control(0x20));
  return frame;
}

// The 12-bit nonlinear code of DV, described by its segments: from code 0
// on steps of 1, from 512 on steps of 2, doubling every 256 codes;
// negative codes mirror the positive ones in one's complement.
int expected_12(int v) {
  if (v < 0) return -expected_12(-v - 1) - 1;
  if (v < 512) return v;
  const int segment = (v - 512) / 256;  // 0..5
  return (512 << segment) + (v - 512 - 256 * segment) * (2 << segment);
}

TEST(AudioDecode, SixteenBitSamplesInBothSystems) {
  for (dv_system_t system : {e_dv_system_525_60, e_dv_system_625_50}) {
    const bool pal = system == e_dv_system_625_50;
    const int slots = pal ? 1944 : 1620;
    FrameBuilder frame = audio_frame(system, pal ? 24 : 22, 0, 0);
    std::vector<int16_t> left(static_cast<size_t>(slots)), right(static_cast<size_t>(slots));
    for (int p = 0; p < slots; ++p) {
      left[static_cast<size_t>(p)] = static_cast<int16_t>(p * 13 - 9000);
      right[static_cast<size_t>(p)] = static_cast<int16_t>(20000 - p * 7);
    }
    write_audio_16(frame, left, right);
    auto dv = new_decoder();
    ASSERT_GE(dv_parse_header(dv.get(), frame.bytes().data()), 0);
    Channels out(2, slots);
    ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
    EXPECT_EQ(dv->audio->samples_this_frame, pal ? 1920 : 1602);
    EXPECT_EQ(out.buffers[0], left);
    EXPECT_EQ(out.buffers[1], right);
    EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 0);
  }
}

TEST(AudioDecode, TwelveBitCodesExpandAcrossEverySegment) {
  for (dv_system_t system : {e_dv_system_525_60, e_dv_system_625_50}) {
    const bool pal = system == e_dv_system_625_50;
    const int slots = pal ? 1296 : 1080;
    FrameBuilder frame = audio_frame(system, pal ? 32 : 27, 2, 1);
    // Every code but the invalid 0x800 once, spread over the four channels.
    std::vector<int> codes[4];
    std::vector<int> values;
    for (int v = -2047; v <= 2047; ++v) values.push_back(v);
    for (size_t i = 0; i < values.size(); ++i) codes[i % 4].push_back(values[i] & 0xfff);
    write_audio_12(frame, codes);
    auto dv = new_decoder();
    ASSERT_GE(dv_parse_header(dv.get(), frame.bytes().data()), 0);
    Channels out(4, slots);
    ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
    EXPECT_EQ(dv->audio->quantization, 12);
    for (size_t i = 0; i < values.size(); ++i) {
      const size_t channel = i % 4, position = i / 4;
      if (position >= static_cast<size_t>(slots)) break;
      ASSERT_EQ(out.buffers[channel][position], expected_12(values[i])) << values[i];
    }
  }
  EXPECT_EQ(expected_12(0x1ff), 511);
  EXPECT_EQ(expected_12(0x200), 512);
  EXPECT_EQ(expected_12(0x7ff), 32704);
  EXPECT_EQ(expected_12(-513), -513);
  EXPECT_EQ(expected_12(-769), -1025);
  EXPECT_EQ(expected_12(-2047), -32641);
}

TEST(AudioDecode, TwelveBitInvalidCodes) {
  FrameBuilder frame = audio_frame(e_dv_system_625_50, 0, 2, 1);
  std::vector<int> codes[4];
  for (auto &c : codes) c.assign(1296, 0x100);
  codes[0][5] = 0x800;  // one of a pair: the most negative code stands in
  codes[2][9] = 0x800;
  codes[3][9] = 0x800;  // both of a pair: the invalid marker
  write_audio_12(frame, codes);
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  Channels out(4, 1296);
  ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
  EXPECT_EQ(out.buffers[0][5], -32641);
  EXPECT_EQ(out.buffers[1][5], 256);
  EXPECT_EQ(out.buffers[2][9], invalid);
  EXPECT_EQ(out.buffers[3][9], invalid);
  EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 0);
}

// Fails block `block` of DIF sequence `sequence` completely.
void fail_block(FrameBuilder &frame, int sequence, int block, int quantization) {
  uint8_t *data = frame.audio_data(sequence, block);
  for (int i = 0; i < 72; ++i)
    data[i] = quantization == 16 ? (i % 2 ? 0x00 : 0x80) : (i % 3 == 2 ? 0x00 : 0x80);
}

TEST(AudioFailure, FailedBlocksAreCountedReportedAndConcealed) {
  FrameBuilder frame = audio_frame(e_dv_system_525_60, 20, 0, 0);
  std::vector<int16_t> left(1620, 1000), right(1620, -1000);
  write_audio_16(frame, left, right);
  fail_block(frame, 0, 0, 16);
  fail_block(frame, 7, 4, 16);
  // 35 invalid samples are no block failure.
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
    // The decoder's subcode store is empty (never scanned): the time code
    // and date read as the zero packs of a new decoder, so the "abf" form.
    EXPECT_NE(text.find("abf 00:00:00.00 2000-00-00 00:00:00 7f 07 00 16\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("# audio block failure for 2 blocks = 72 samples of 1600\n"),
              std::string::npos);
    std::fclose(log);
    int invalid_left = 0;
    for (int p = 0; p < 1600; ++p) invalid_left += out.buffers[0][static_cast<size_t>(p)] == invalid;
    if (method == 0) {
      EXPECT_GE(invalid_left, 36);  // the failed block, plus the lone invalid samples
    } else {
      EXPECT_EQ(invalid_left, 0) << method;
      EXPECT_EQ(out.buffers[1][1599], method == 1 ? 0 : -1000);
    }
  }
}

TEST(AudioFailure, WithoutSubcodePacksTheOtherReportForm) {
  FrameBuilder frame = audio_frame(e_dv_system_625_50, 0, 2, 1);
  std::vector<int> codes[4];
  for (auto &c : codes) c.assign(1296, 0x010);
  write_audio_12(frame, codes);
  fail_block(frame, 8, 3, 12);
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  dv_parse_packs(dv.get(), frame.bytes().data());  // the frame carries none
  FILE *log = std::tmpfile();
  dv_set_error_log(dv.get(), log);
  Channels out(4, 1296);
  ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
  EXPECT_EQ(dv->audio->sample_failure, 48);
  const uint8_t *id = &frame.bytes()[dif::audio_offset(8, 3)];
  char expected[96];
  std::snprintf(expected, sizeof expected,
                "# complete audio block failure (12bit): header = %02x %02x %02x\n", id[0], id[1],
                id[2]);
  EXPECT_EQ(read_stream(log).substr(0, std::strlen(expected)), expected);
  std::fclose(log);

  // With the log off nothing is written, and the count still comes.
  dv_set_error_log(dv.get(), nullptr);
  CaptureStderr();
  ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 1);
}

// 12-bit audio fills four channels, two stereo pairs: a failed block in
// either half of the frame is concealed, and emphasis removed, in all of
// them alike (each half's channels see the same samples and failures).
TEST(AudioFailure, TwelveBitConcealsAndDeemphasisesAllFourChannels) {
  FrameBuilder frame = audio_frame(e_dv_system_625_50, 0, 2, 1, 0);  // emphasis on
  std::vector<int> codes[4];
  for (auto &c : codes) c.assign(1296, 0x100);
  write_audio_12(frame, codes);
  fail_block(frame, 1, 3, 12);  // first half: channels 0 and 1
  fail_block(frame, 7, 3, 12);  // second half, the same place: channels 2 and 3
  auto dv = new_decoder();
  dv_set_error_log(dv.get(), nullptr);
  dv_parse_header(dv.get(), frame.bytes().data());
  ASSERT_EQ(dv->audio->emphasis, 1);
  Channels out(4, 1296);
  ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
  EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 2);
  const int n = dv->audio->samples_this_frame;
  for (int c = 0; c < 4; ++c) {
    for (int p = 0; p < n; ++p) ASSERT_NE(out.buffers[static_cast<size_t>(c)][static_cast<size_t>(p)], invalid) << c << " " << p;
    EXPECT_NE(out.buffers[static_cast<size_t>(c)][0], 256) << c;  // de-emphasised
    EXPECT_EQ(out.buffers[static_cast<size_t>(c)], out.buffers[0]) << c;
  }
}

// Concealment on a hand-made buffer of n samples.
std::vector<int16_t> conceal(std::vector<int16_t> samples, int method) {
  auto dv = new_decoder();
  dv->audio->samples_this_frame = static_cast<int>(samples.size());
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
}

TEST(AudioConcealment, NeverBeyondTheBlocks) {
  // A record that claims more samples than the buffers hold stays inside
  // them (the sanitizer build checks the heap bounds).
  auto dv = new_decoder();
  dv->audio->samples_this_frame = 5000;
  dv->audio->max_samples = 4;
  dv->audio->num_channels = 2;
  std::vector<int16_t> a{invalid, 1, invalid, 2}, b{3, invalid, invalid, invalid};
  int16_t *buffers[2] = {a.data(), b.data()};
  dv_audio_correct_errors(dv->audio, buffers);
  dv->audio->frequency = 48000;
  dv_audio_deemphasis(dv->audio, a.data());
  EXPECT_EQ(b[0], 3);
}

TEST(AudioDeemphasis, FilterOfTheEmphasisFlag) {
  auto dv = new_decoder();
  dv->audio->samples_this_frame = 2000;
  dv->audio->max_samples = 2000;
  dv->audio->frequency = 48000;
  std::vector<int16_t> constant(2000, 1000);
  dv_audio_deemphasis(dv->audio, constant.data());
  EXPECT_EQ(constant[0], 450);  // b0 x 1000
  EXPECT_EQ(constant[1999], 1000);
  std::vector<int16_t> negative(2000, -1000);
  dv_audio_deemphasis(dv->audio, negative.data());
  EXPECT_EQ(negative[0], -450);

  // In a frame whose pack says emphasis on (IEC 61834), the decoder
  // applies it to channels 0 and 1.
  FrameBuilder frame = audio_frame(e_dv_system_625_50, 24, 0, 0, 0);
  std::vector<int16_t> left(1944, 1000), right(1944, 1000);
  write_audio_16(frame, left, right);
  dv_parse_header(dv.get(), frame.bytes().data());
  EXPECT_EQ(dv->audio->emphasis, 1);
  Channels out(2, 1944);
  ASSERT_EQ(dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get()), 1);
  EXPECT_EQ(out.buffers[0][0], 450);
  EXPECT_EQ(out.buffers[1][0], 450);
  EXPECT_EQ(out.buffers[1][1919], 1000);
}

TEST(AudioRefusal, RefusedFramesLeaveTheBuffers) {
  // Pack of the other system; a playback speed that is not normal.
  FrameBuilder mismatch(e_dv_system_625_50);
  with_audio_packs(mismatch, aaux_source(0, false, 1, 0, 0), aaux_source_control(0x20));
  FrameBuilder fast(e_dv_system_625_50);
  with_audio_packs(fast, aaux_source(0, true, 1, 0, 0), aaux_source_control(0x21));
  for (FrameBuilder *frame : {&mismatch, &fast}) {
    auto dv = new_decoder();
    dv_parse_header(dv.get(), frame->bytes().data());
    Channels out(2, 1944);
    EXPECT_EQ(dv_decode_full_audio(dv.get(), frame->bytes().data(), out.get()), 0);
    for (const auto &b : out.buffers)
      for (int16_t s : b) ASSERT_EQ(s, 7);
  }
}

TEST(AudioRefusal, BlockDecoderRejectsWhatItCannotPlace) {
  auto dv = new_decoder();
  FrameBuilder frame = audio_frame(e_dv_system_525_60, 0, 0, 0);
  dv_parse_header(dv.get(), frame.bytes().data());
  Channels out(2, 1620);
  const uint8_t *block = &frame.bytes()[dif::audio_offset(0, 0)];
  EXPECT_EQ(dv_decode_audio_block(dv->audio, block, 10, 0, out.get()), -1);  // 525/60: 0..9
  EXPECT_EQ(dv_decode_audio_block(dv->audio, block, -1, 0, out.get()), -1);
  EXPECT_EQ(dv_decode_audio_block(dv->audio, block, 0, 9, out.get()), -1);
  dv->audio->quantization = 20;
  CaptureStderr();
  EXPECT_EQ(dv_decode_audio_block(dv->audio, block, 0, 0, out.get()), -1);
  EXPECT_EQ(GetCapturedStderr(), "tarsk(audio):  unsupported audio sampling.\n");
}

// Random and mutated audio blocks and packs: decoded or refused, never a
// read or write outside the frame or buffers of max_samples samples.
TEST(AudioRobustness, RandomAndMutatedFrames) {
  std::mt19937 rng(21);
  int decoded = 0;
  for (int round = 0; round < 300; ++round) {
    const bool pal = round % 2;
    FrameBuilder frame(pal ? e_dv_system_625_50 : e_dv_system_525_60);
    frame.apt(round % 3 == 0);
    const int speed = round % 5 == 0 ? static_cast<int>(rng() % 128) : (round % 3 == 0 ? (pal ? 0x64 : 0x78) : 0x20);
    Pack source = aaux_source(static_cast<int>(rng() % 64), round % 7 ? pal : !pal, static_cast<int>(rng() % 2),
                              static_cast<int>(rng() % (round % 11 ? 3 : 8)), static_cast<int>(rng() % (round % 13 ? 2 : 8)));
    with_audio_packs(frame, source, aaux_source_control(speed));
    for (int s = 0; s < frame.dif_sequences(); ++s)
      for (int b = 0; b < 9; ++b) {
        uint8_t *data = frame.audio_data(s, b);
        for (int i = 0; i < 72; ++i)
          data[i] = static_cast<uint8_t>(rng() % 4 == 0 ? 0x80 : rng());
      }
    if (round % 4 == 0) fail_block(frame, static_cast<int>(rng() % 10), static_cast<int>(rng() % 9), 16);
    auto dv = new_decoder();
    dv_set_error_log(dv.get(), nullptr);
    dv_set_audio_correction(dv.get(), static_cast<int>(rng() % 3));
    dv->audio->arg_audio_emphasis = static_cast<int>(rng() % 3);
    CaptureStderr();
    dv_parse_header(dv.get(), frame.bytes().data());
    const int max = std::max(dv->audio->max_samples, 1);
    Channels out(4, max);
    decoded += dv_decode_full_audio(dv.get(), frame.bytes().data(), out.get());
    GetCapturedStderr();
    ASSERT_LE(dv->audio->samples_this_frame, dv->audio->max_samples);
  }
  EXPECT_GT(decoded, 50);
}

}  // namespace
