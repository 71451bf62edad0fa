// The "wav" audio input filter: which headers are accepted (and with what
// message the others are refused), and the per-frame loads in DV byte
// order.
#include "support/wav.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

dv_enc_audio_input_filter_t wav_filter() {
  dv_enc_audio_input_filter_t *filters;
  int count;
  EXPECT_EQ(dv_enc_get_audio_input_filters(&filters, &count), 0);
  EXPECT_GE(count, 1);
  EXPECT_STREQ(filters[0].filter_name, "wav");
  return filters[0];
}

// A filter's audio record with every field at a mark, to see what init sets.
std::unique_ptr<dv_enc_audio_info_t> marked_record() {
  auto a = std::make_unique<dv_enc_audio_info_t>();
  std::memset(a.get(), 0x5a, sizeof *a);
  return a;
}

struct HeaderCase {
  const char *what;
  WavHeader header;
  size_t cut;  // bytes of the file kept
  int result;
  const char *message;
};

WavHeader with(void (*change)(WavHeader &)) {
  WavHeader h;
  change(h);
  return h;
}

constexpr size_t whole = std::string::npos;

const HeaderCase header_cases[] = {
    {"canonical", {}, whole, 0, ""},
    {"extended fmt", with([](WavHeader &h) { h.fmt_size = 18; }), whole, 0, ""},
    {"four channels at 32 kHz", with([](WavHeader &h) { h.rate = 32000, h.channels = 4; }), whole,
     0, ""},
    {"44.1 kHz", with([](WavHeader &h) { h.rate = 44100; }), whole, 0, ""},
    {"8 bits", with([](WavHeader &h) { h.bits = 8, h.alignment = 4; }), whole, -1,
     "WAV: Unsupported bitspersample: 8 Only 16 bits are supported right now. (FIXME: just look "
     "in audio and copy the code if you really need this!)\n"},
    {"list chunk", with([](WavHeader &h) { h.list_chunk = true; }), whole, -1,
     "WAV: No data header!\n"},
    {"mono at 44.1 kHz", with([](WavHeader &h) { h.rate = 44100, h.channels = 1; }), whole, -1,
     "WAV: Unsupported channel count (1) for frequency 44100!\n"},
    {"three channels at 32 kHz", with([](WavHeader &h) { h.rate = 32000, h.channels = 3; }), whole,
     -1, "WAV: Unsupported channel count (3) for frequency 32000!\n"},
    {"22.05 kHz", with([](WavHeader &h) { h.rate = 22050; }), whole, -1,
     "WAV: Unsupported frequency: 22050\n"},
    {"short fmt", with([](WavHeader &h) { h.fmt_size = 8; }), whole, -1,
     "WAV: fmt chunk of 8 bytes is too short: 16 are needed!\n"},
    {"large fmt", with([](WavHeader &h) { h.fmt_size = 1025; }), whole, -1,
     "WAV: Header too large!\n"},
    {"not RIFF", with([](WavHeader &h) { h.riff = "RIFX"; }), whole, -1, "WAV: No RIFF header!\n"},
    {"cut in fmt", {}, 30, -1, "WAV: Short read!\n"},
    {"cut in extension", with([](WavHeader &h) { h.fmt_size = 100; }), 60, -1,
     "WAV: Short read!\n"},
    {"alignment", with([](WavHeader &h) { h.alignment = 6; }), whole, -1,
     "WAV: Block alignment 6 does not fit 2 channels of 16 bits!\n"},
    // 15552 bytes a 625/50 frame at most: byte rates up to 15555 x 25 + 24
    // give that once cut to whole sample frames.
    {"largest byte rate", with([](WavHeader &h) { h.byte_rate = 15555 * 25 + 24; }), whole, 0, ""},
    {"byte rate", with([](WavHeader &h) { h.byte_rate = 15556 * 25; }), whole, -1,
     "WAV: Byte rate 388900 does not fit a frame: 15556 bytes, 15552 at most!\n"},
    {"no byte rate", with([](WavHeader &h) { h.byte_rate = 0; }), whole, -1,
     "WAV: Byte rate 0 does not fit a frame: 0 bytes, 15552 at most!\n"},
};

TEST(WavHeader, AcceptsAndRefuses) {
  const auto wav = wav_filter();
  for (const HeaderCase &c : header_cases) {
    SCOPED_TRACE(c.what);
    const auto path = scratch_file(".wav");
    write_file(path, wav_bytes(c.header, std::string(400, '\1'), c.cut));
    auto info = marked_record();
    CaptureStderr();
    const int result = wav.init(path.c_str(), info.get());
    EXPECT_EQ(GetCapturedStderr(), c.message);
    EXPECT_EQ(result, c.result);
    if (result == 0) {
      EXPECT_EQ(info->channels, c.header.channels);
      EXPECT_EQ(info->frequency, c.header.rate);
      EXPECT_EQ(info->bitspersample, 16);
      EXPECT_EQ(info->bytealignment, 2 * c.header.channels);
      EXPECT_EQ(info->bytespersecond, c.header.byte_rate >= 0
                                          ? c.header.byte_rate
                                          : c.header.rate * 2 * c.header.channels);
    } else {
      // A refused file leaves no stream open: load has nothing to read.
      CaptureStderr();
      EXPECT_EQ(wav.load(info.get(), 1), -1);
      EXPECT_EQ(GetCapturedStderr(), "WAV: No file open!\n");
    }
    wav.finish();
  }
  const auto absent = scratch_file("absent.wav");
  auto info = marked_record();
  CaptureStderr();
  EXPECT_EQ(wav.init(absent.c_str(), info.get()), -1);
  EXPECT_EQ(GetCapturedStderr(), "Can't open WAV file: " + absent.string() + "\n");
}

// Interleaved samples numbered so that each tells its channel and place:
// left n is n, right n is -1 - n.
std::string numbered(int sample_frames, int channels = 2) {
  std::vector<int16_t> s;
  for (int n = 0; n < sample_frames; ++n)
    for (int ch = 0; ch < channels; ++ch) s.push_back(static_cast<int16_t>(ch % 2 ? -1 - n : n));
  return s16le(s);
}

int16_t big_endian(const uint8_t *p) { return static_cast<int16_t>(p[0] << 8 | p[1]); }

struct LoadCase {
  int rate, channels;
  bool pal;
  int bytes_per_frame;
};

// Frame after frame, each sample where it belongs and in DV byte order;
// 525/60 32 kHz frames (4266 bytes by the frame rate) are cut to whole
// sample frames so that the channels never trade places.
TEST(WavLoad, FramesInDvByteOrder) {
  const LoadCase cases[] = {{48000, 2, true, 7680},  {48000, 2, false, 6400},
                            {44100, 2, false, 5880}, {32000, 2, false, 4264},
                            {32000, 4, true, 10240}, {32000, 4, false, 8528}};
  const auto wav = wav_filter();
  for (const LoadCase &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.rate << " Hz, " << c.channels << " channels, pal " << c.pal);
    WavHeader h;
    h.rate = c.rate;
    h.channels = c.channels;
    const auto path = scratch_file(".wav");
    write_file(path, wav_bytes(h, numbered(c.rate / 8, c.channels)));
    auto info = marked_record();
    ASSERT_EQ(wav.init(path.c_str(), info.get()), 0);
    const int per_frame = c.bytes_per_frame / (2 * c.channels);
    for (int frame = 0; frame < 3; ++frame) {
      ASSERT_EQ(wav.load(info.get(), c.pal), 0);
      ASSERT_EQ(info->bytesperframe, c.bytes_per_frame);
      for (int i : {0, 1, per_frame - 1}) {
        const uint8_t *at = info->data + i * 2 * c.channels;
        const int n = frame * per_frame + i;
        EXPECT_EQ(big_endian(at), n);
        EXPECT_EQ(big_endian(at + 2), -1 - n);
      }
    }
    wav.finish();
  }
}

// Data that ends inside a frame: that load returns 1 and keeps the
// previous frame's samples.
TEST(WavLoad, ShortDataKeepsThePreviousFrame) {
  const auto wav = wav_filter();
  const auto path = scratch_file(".wav");
  write_file(path, wav_bytes({}, numbered(1920 + 1000)));
  auto info = marked_record();
  ASSERT_EQ(wav.init(path.c_str(), info.get()), 0);
  ASSERT_EQ(wav.load(info.get(), 1), 0);
  const std::vector<uint8_t> first(info->data, info->data + sizeof info->data);
  EXPECT_EQ(wav.load(info.get(), 1), 1);
  EXPECT_EQ(std::vector<uint8_t>(info->data, info->data + sizeof info->data), first);
  wav.finish();
}

}  // namespace
