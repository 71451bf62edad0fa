// 12-bit sound written by tarsk_encode_sound, read back by our decoder and
// by ffmpeg. Oracle: a plain twin of the 12-bit non-linear code written
// here from its definition (512 codes of step 1 around zero, then segments
// of 256 codes whose step doubles), rounding each sample to the nearest
// code; every sample must come back as that code's value, in both systems,
// with one stereo pair and with two.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "common/dif.h"
#include "support/ffmpeg.h"
#include "support/twelve_bit.h"

namespace {

using namespace tarsk::test;
using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

struct Made {
  Bytes stream;
  std::vector<int> frames;  // sample frames of each DV frame
};

// `count` frames of a flat grey picture with 12-bit sound of `channels`
// channels, each frame carrying the locked count of 32 kHz sound.
Made make_12_bit(tarsk_system system, int channels, int count) {
  tarsk::EncoderSettings s;
  s.system = system;
  s.threads = 1;
  tarsk::Encoder enc(s);
  const bool pal = system == TARSK_SYSTEM_625_50;
  const int height = pal ? 576 : 480;
  Bytes y(720 * static_cast<size_t>(height), 128), c(180 * static_cast<size_t>(height), 128);
  tarsk_picture p{TARSK_PIXEL_Y41B, 720,    height, {y.data(), c.data(), c.data()},
                  {720, 180, 180},  nullptr};
  if (pal)
    p = {TARSK_PIXEL_I420, 720, 576, {y.data(), c.data(), c.data()}, {720, 360, 360}, nullptr};
  Made made;
  int n = 0;
  for (int f = 0; f < count; ++f) {
    Bytes frame(enc.frame_bytes());
    EXPECT_TRUE(enc.encode(p, frame));
    const int frames = enc.audio_samples(32000, static_cast<uint64_t>(f));
    Samples sound;
    for (int i = 0; i < frames; ++i, ++n)
      for (int ch = 0; ch < channels; ++ch) sound.push_back(signal(ch, n));
    EXPECT_TRUE(enc.encode_sound(sound.data(), sound.size(), channels, 32000, 12, frame.data(),
                                 frame.size()));
    made.frames.push_back(frames);
    made.stream.insert(made.stream.end(), frame.begin(), frame.end());
  }
  return made;
}

// What channel `channel` must come back as over the whole stream: the
// twin's value of each sample, silence for a pair the sound did not have.
Samples expected(int channel, int channels, int total) {
  Samples out;
  for (int n = 0; n < total; ++n)
    out.push_back(channel < channels ? twin().quantised(signal(channel, n)) : 0);
  return out;
}

// ffmpeg's samples are little-endian whatever the processor's byte order.
Samples from_s16le(const std::string &bytes) {
  Samples out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                  static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  return out;
}

TEST(Sound12, RoundTripThroughOurDecoderAndFfmpeg) {
  struct Case {
    tarsk_system system;
    int channels;
  };
  for (const Case c : {Case{TARSK_SYSTEM_625_50, 4}, Case{TARSK_SYSTEM_625_50, 2},
                       Case{TARSK_SYSTEM_525_60, 4}, Case{TARSK_SYSTEM_525_60, 2}}) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, " +
                 (c.system == TARSK_SYSTEM_625_50 ? "625/50" : "525/60"));
    const int count = c.system == TARSK_SYSTEM_625_50 ? 4 : 16;  // 16: a 32 kHz cycle of 525/60
    const Made made = make_12_bit(c.system, c.channels, count);
    int total = 0;
    for (int f : made.frames) total += f;

    // Our decoder: four channels, each frame's count as written.
    std::vector<Samples> ours(4);
    tarsk::Decoder d;
    const auto frames = split_frames(made.stream);
    for (size_t f = 0; f < frames.size(); ++f) {
      auto audio = d.decode_audio(frames[f]);
      ASSERT_TRUE(audio);
      EXPECT_EQ(audio->frequency, 32000);
      EXPECT_EQ(audio->quantization, 12);
      ASSERT_EQ(audio->channels.size(), 4u);
      EXPECT_EQ(audio->channels[0].size(), static_cast<size_t>(made.frames[f]));
      for (size_t ch = 0; ch < 4; ++ch)
        ours[ch].insert(ours[ch].end(), audio->channels[ch].begin(), audio->channels[ch].end());
    }
    for (int ch = 0; ch < 4; ++ch)
      EXPECT_EQ(ours[static_cast<size_t>(ch)], expected(ch, c.channels, total)) << "channel " << ch;

    // ffmpeg: a stereo stream a pair.
    const auto path = scratch_file(".dv");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(made.stream.data()),
               static_cast<std::streamsize>(made.stream.size()));
    for (int pair = 0; pair < 2; ++pair) {
      const Samples theirs =
          from_s16le(run_ffmpeg({"-v", "error", "-i", path.string(), "-map",
                                 "0:a:" + std::to_string(pair), "-f", "s16le", "-ac", "2", "-"}));
      ASSERT_EQ(theirs.size(), 2 * static_cast<size_t>(total)) << "pair " << pair + 1;
      for (int side = 0; side < 2; ++side) {
        Samples channel;
        for (size_t i = static_cast<size_t>(side); i < theirs.size(); i += 2)
          channel.push_back(theirs[i]);
        EXPECT_EQ(channel, expected(2 * pair + side, c.channels, total))
            << "ffmpeg, channel " << 2 * pair + side;
      }
    }
  }
}

}  // namespace

namespace {

// The sample frames a frame may carry are those its source pack can state
// and its blocks hold; the count comes back from the pack. Every other
// request is refused with its error, and a refused frame is not written.
TEST(Sound12, FrameCountsAndRefusals) {
  struct Count {
    tarsk_system system;
    int frames;
    int expected;  // TARSK_OK or the error
  };
  for (const Count c :
       {Count{TARSK_SYSTEM_625_50, 1264, TARSK_OK},  // the least
        Count{TARSK_SYSTEM_625_50, 1296, TARSK_OK},  // every position
        Count{TARSK_SYSTEM_625_50, 1263, TARSK_E_BAD_AUDIO},
        Count{TARSK_SYSTEM_625_50, 1297, TARSK_E_BAD_AUDIO},
        Count{TARSK_SYSTEM_525_60, 1053, TARSK_OK}, Count{TARSK_SYSTEM_525_60, 1067, TARSK_OK},
        Count{TARSK_SYSTEM_525_60, 1080, TARSK_OK},
        Count{TARSK_SYSTEM_525_60, 1052, TARSK_E_BAD_AUDIO},
        Count{TARSK_SYSTEM_525_60, 1081, TARSK_E_BAD_AUDIO}}) {
    SCOPED_TRACE(std::to_string(c.frames) + " frames");
    Made made = make_12_bit(c.system, 4, 1);
    const Bytes before = made.stream;
    tarsk::EncoderSettings s;
    s.system = c.system;
    tarsk::Encoder enc(s);
    const Samples sound(4 * static_cast<size_t>(c.frames), 1000);
    const tarsk_audio a{32000, 12, 4, c.frames, 0};
    ASSERT_EQ(
        tarsk_encode_sound(enc.get(), sound.data(), &a, made.stream.data(), made.stream.size()),
        c.expected);
    if (c.expected != TARSK_OK) {
      EXPECT_EQ(made.stream, before);
      continue;
    }
    tarsk::Decoder d;
    auto audio = d.decode_audio(made.stream);
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->channels[3].size(), static_cast<size_t>(c.frames));
    EXPECT_EQ(audio->channels[3].back(), 1000);
  }

  Made made = make_12_bit(TARSK_SYSTEM_625_50, 2, 1);
  tarsk::Encoder enc;
  Samples sound(4 * 1296, 0);
  struct Refusal {
    tarsk_audio sound;
    size_t size;
    int expected;
  };
  const size_t whole = made.stream.size();
  for (const Refusal r : {Refusal{{48000, 12, 4, 1920, 0}, whole, TARSK_E_BAD_AUDIO},
                          Refusal{{32000, 12, 3, 1280, 0}, whole, TARSK_E_BAD_AUDIO},
                          Refusal{{32000, 12, 1, 1280, 0}, whole, TARSK_E_BAD_AUDIO},
                          Refusal{{32000, 16, 4, 1280, 0}, whole, TARSK_E_BAD_AUDIO},
                          Refusal{{32000, 20, 2, 1280, 0}, whole, TARSK_E_BAD_AUDIO},
                          Refusal{{32000, 12, 4, 1280, 0}, whole - 1, TARSK_E_BAD_BUFFER}}) {
    EXPECT_EQ(tarsk_encode_sound(enc.get(), sound.data(), &r.sound, made.stream.data(), r.size),
              r.expected)
        << r.sound.rate << " Hz, " << r.sound.bits << " bits, " << r.sound.channels << " channels";
  }
  const tarsk_audio good{32000, 12, 4, 1280, 0};
  EXPECT_EQ(tarsk_encode_sound(enc.get(), nullptr, &good, made.stream.data(), whole),
            TARSK_E_BAD_CALL);
  EXPECT_EQ(tarsk_encode_sound(enc.get(), sound.data(), nullptr, made.stream.data(), whole),
            TARSK_E_BAD_CALL);
  EXPECT_EQ(tarsk_encode_sound(nullptr, sound.data(), &good, made.stream.data(), whole),
            TARSK_E_BAD_CALL);
}

}  // namespace
