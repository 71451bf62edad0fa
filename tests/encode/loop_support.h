// Helpers of the encode loop's tests: numbered pictures that say their
// number by their brightness, a counting WAV, and one run of the loop into
// the raw output filter.
#pragma once

#include <gtest/gtest.h>
#include <tarsk/dv.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "support/decoder.h"
#include "support/ffmpeg.h"
#include "support/wav.h"

namespace tarsk::test {

template <class Filter>
inline Filter *named(int (*get)(Filter **, int *), const char *name) {
  Filter *filters;
  int count;
  get(&filters, &count);
  for (int i = 0; i < count; ++i)
    if (std::strcmp(filters[i].filter_name, name) == 0) return &filters[i];
  ADD_FAILURE() << "no filter " << name;
  return nullptr;
}
inline dv_enc_input_filter_t *video_filter(const char *name) {
  return named(dv_enc_get_input_filters, name);
}
inline dv_enc_audio_input_filter_t *wav_filter() {
  return named(dv_enc_get_audio_input_filters, "wav");
}
inline dv_enc_output_filter_t *raw_filter() { return named(dv_enc_get_output_filters, "raw"); }

// Numbered flat pictures that say their number (modulo 16) by their
// brightness: picture k of a PGM series has luma 16 + 12 (k mod 16), of a
// PPM series the grey 20 + 14 (k mod 16); neutral chroma. Returns the name
// pattern.
inline std::string number_pictures(const char *kind, int count, int lines) {
  const std::string pattern = scratch_file("-pic").string() + "%03d." + kind;
  const bool pgm = std::strcmp(kind, "pgm") == 0;
  for (int k = 0; k < count; ++k) {
    char name[1100];
    std::snprintf(name, sizeof name, pattern.c_str(), k);
    std::ofstream f(name, std::ios::binary);
    if (pgm) {
      f << "P5\n720 " << lines * 3 / 2 << "\n255\n";
      f << std::string(720u * lines, static_cast<char>(16 + 12 * (k % 16)))
        << std::string(360u * lines, static_cast<char>(128));
    } else {
      f << "P6\n720 " << lines << "\n255\n";
      f << std::string(3 * 720u * lines, static_cast<char>(20 + 14 * (k % 16)));
    }
  }
  return pattern;
}

// The picture number (modulo 16) of a mean luma (-1: none), and the one a frame shows
// through our decoder.
inline int picture_of_luma(const char *kind, double luma) {
  const bool pgm = std::strcmp(kind, "pgm") == 0;
  for (int k = 0; k < 16; ++k) {
    const double expected = pgm ? 16 + 12 * k : 16 + (20 + 14 * k) * 219.0 / 255;
    if (std::fabs(luma - expected) < 3) return k;
  }
  return -1;
}

inline int picture_number(const char *kind, std::span<const uint8_t> frame) {
  auto dv = new_decoder();
  std::vector<uint8_t> copy(frame.begin(), frame.end());
  EXPECT_GE(dv_parse_header(dv.get(), copy.data()), 0);
  std::vector<uint8_t> yuy2(720u * 576 * 2);
  uint8_t *pixels[1] = {yuy2.data()};
  int pitches[1] = {720 * 2};
  dv_decode_full_frame(dv.get(), copy.data(), e_dv_color_yuv, pixels, pitches);
  double sum = 0;
  const size_t samples = 720u * static_cast<size_t>(dv->height);
  for (size_t i = 0; i < samples; ++i) sum += yuy2[2 * i];
  return picture_of_luma(kind, sum / static_cast<double>(samples));
}

struct LoopRun {
  int result;
  std::string err;
  std::vector<uint8_t> bytes;
  std::vector<std::span<const uint8_t>> frames;
};

struct LoopArgs {
  const char *kind = "pgm";
  std::string pattern;
  int start = 0, end = 0;
  const char *wav = nullptr;  // no sound
  int passes = 3, fps = 0, verbose = 0;
};

// One run of the loop into the raw filter, standard error captured.
inline LoopRun run_loop(const LoopArgs &a) {
  dv_enc_input_filter_t *input = video_filter(a.kind);
  dv_enc_output_filter_t *raw = raw_filter();
  const auto out_path = scratch_file(".dv");
  FILE *out = std::fopen(out_path.c_str(), "wb");
  EXPECT_EQ(input->init(0, -1), 0);
  EXPECT_EQ(raw->init(out), 0);
  LoopRun r;
  testing::internal::CaptureStderr();
  r.result = dv_encoder_loop(input, a.wav ? wav_filter() : nullptr, raw, a.start, a.end,
                             a.pattern.c_str(), a.wav, a.passes, 0, a.verbose, a.fps, 0);
  r.err = testing::internal::GetCapturedStderr();
  input->finish();
  raw->finish();
  if (a.wav) wav_filter()->finish();
  std::fclose(out);
  r.bytes = read_file(out_path);
  r.frames = split_frames(r.bytes);
  return r;
}

// A counting WAV: left sample n is n (16 bits, wrapping), right is -1 - n,
// except left sample 5, -32768, which DV turns into -32767 (as it does where
// the count wraps to it).
inline std::string counting_wav(int rate, int channels, int sample_frames) {
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

// What the decoder gives back for sample n of a channel of that WAV.
inline int16_t counted(long long n, int channel) {
  const auto v = static_cast<int16_t>(channel == 1 ? -1 - n : n == 5 ? -32768 : n);
  return v == -32768 ? -32767 : v;
}

}  // namespace tarsk::test
