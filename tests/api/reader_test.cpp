// The C++ API: the frame reader refuses what is not a whole, sound frame;
// the decoder checks the buffers it is given.
#include <gtest/gtest.h>

#include <tarsk/tarsk.hpp>

#include <cstdio>
#include <vector>

#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;

// A stream in memory, read through a C stream.
struct Stream {
  std::vector<uint8_t> bytes;
  FILE *file = nullptr;
  explicit Stream(std::vector<uint8_t> b) : bytes(std::move(b)) {
    file = fmemopen(bytes.empty() ? nullptr : bytes.data(), bytes.size(), "rb");
    if (bytes.empty()) file = std::tmpfile();
  }
  ~Stream() { std::fclose(file); }
};

std::vector<uint8_t> frames(std::initializer_list<dv_system_t> systems) {
  std::vector<uint8_t> out;
  for (dv_system_t s : systems) {
    FrameBuilder f(s);
    out.insert(out.end(), f.bytes().begin(), f.bytes().end());
  }
  return out;
}

// Reads everything; each entry is "ok" or the error code.
std::vector<std::string> read_all(std::vector<uint8_t> bytes) {
  Stream stream(std::move(bytes));
  tarsk::Reader reader(stream.file);
  std::vector<std::string> seen;
  while (auto frame = reader.next()) {
    if (*frame) {
      EXPECT_EQ((*frame)->bytes.size(), tarsk::frame_bytes((*frame)->system));
      seen.push_back("ok");
    } else {
      seen.push_back("error " + std::to_string(static_cast<int>(frame->error().code)));
    }
  }
  return seen;
}

std::string err(tarsk::Errc code) { return "error " + std::to_string(static_cast<int>(code)); }

TEST(Reader, WholeFramesOfEitherSystem) {
  EXPECT_EQ(read_all(frames({e_dv_system_625_50, e_dv_system_625_50})),
            (std::vector<std::string>{"ok", "ok"}));
  EXPECT_EQ(read_all(frames({e_dv_system_525_60})), (std::vector<std::string>{"ok"}));
  EXPECT_TRUE(read_all({}).empty());
}

TEST(Reader, RefusesWhatIsNotWholeAndSound) {
  EXPECT_EQ(read_all(std::vector<uint8_t>(300000, 0xff)),
            (std::vector<std::string>{err(tarsk::Errc::not_dv)}));
  // A truncated last frame: the whole ones come first.
  auto cut = frames({e_dv_system_525_60, e_dv_system_525_60});
  cut.resize(cut.size() - 1);
  EXPECT_EQ(read_all(cut), (std::vector<std::string>{"ok", err(tarsk::Errc::truncated)}));
  auto tiny = frames({e_dv_system_525_60});
  tiny.resize(2);
  EXPECT_EQ(read_all(tiny), (std::vector<std::string>{err(tarsk::Errc::truncated)}));
  // A change of system mid-stream is reported, then reading goes on.
  EXPECT_EQ(read_all(frames({e_dv_system_525_60, e_dv_system_625_50, e_dv_system_625_50})),
            (std::vector<std::string>{"ok", err(tarsk::Errc::system_changed), "ok"}));
  // A frame whose later DIF sequence lost its header block keeps its
  // length: the frames after it still come.
  auto damaged = frames({e_dv_system_625_50, e_dv_system_625_50, e_dv_system_625_50});
  damaged[frame_size_625_50 + tarsk::dif::block_offset(5, tarsk::dif::header_block)] = 0x9f;
  EXPECT_EQ(read_all(damaged),
            (std::vector<std::string>{"ok", err(tarsk::Errc::bad_frame), "ok"}));
  // Lost sync: bytes that are no header where a frame should start.
  auto garbage = frames({e_dv_system_525_60, e_dv_system_525_60});
  garbage[120000] = 0xff;
  EXPECT_EQ(read_all(garbage), (std::vector<std::string>{"ok", err(tarsk::Errc::bad_frame)}));
}

TEST(Reader, MissingFileIsAnIoError) {
  auto reader = tarsk::Reader::open("/nonexistent/clip.dv");
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().code, tarsk::Errc::io);
}

TEST(Decoder, ChecksFramesAndBuffers) {
  tarsk::Decoder decoder;
  ASSERT_TRUE(decoder);
  FrameBuilder frame(e_dv_system_625_50);
  auto info = decoder.parse(frame.bytes());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->height, 576);
  EXPECT_EQ(info->sampling, e_dv_sample_420);
  std::vector<uint8_t> small(720 * 576 * 2 - 1);
  auto refused = decoder.decode_video(frame.bytes(), e_dv_color_yuv, small);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, tarsk::Errc::bad_buffer);
  std::vector<uint8_t> picture(decoder.picture_bytes(e_dv_color_bgr0));
  EXPECT_TRUE(decoder.decode_video(frame.bytes(), e_dv_color_bgr0, picture));
  // The frame has no audio packs.
  auto audio = decoder.decode_audio(frame.bytes());
  ASSERT_FALSE(audio);
  EXPECT_EQ(audio.error().code, tarsk::Errc::no_audio);
  // A part of a frame never reaches the C layer.
  std::span<const uint8_t> part(frame.bytes().data(), 5000);
  EXPECT_FALSE(decoder.parse(part));
  std::span<const uint8_t> wrong(frame.bytes().data(), 120000);
  EXPECT_FALSE(decoder.parse(wrong));
}

TEST(Decoder, AudioOfAFrame) {
  FrameBuilder frame(e_dv_system_525_60);
  with_audio_packs(frame, aaux_source(20, false, 1, 0, 0), aaux_source_control(0x20));
  std::vector<int16_t> left(1620, 5), right(1620, -5);
  write_audio_16(frame, left, right);
  tarsk::Decoder decoder;
  ASSERT_TRUE(decoder.parse(frame.bytes()));
  auto audio = decoder.decode_audio(frame.bytes());
  ASSERT_TRUE(audio);
  EXPECT_EQ(audio->frequency, 48000);
  ASSERT_EQ(audio->channels.size(), 2u);
  EXPECT_EQ(audio->channels[0], std::vector<int16_t>(1600, 5));
  EXPECT_EQ(audio->channels[1], std::vector<int16_t>(1600, -5));
}

}  // namespace
