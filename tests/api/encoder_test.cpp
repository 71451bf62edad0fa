// tarsk::Encoder: a picture given as planes at the stream's own sampling
// makes the very frame that the C API makes of the same picture as YUY2
// with each chroma sample doubled; the frame's time code, recording date
// and sound read back as they were given.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "encode/encode.h"

namespace {

struct Case {
  const char *name;
  dv_system_t system;
  dv_sample_t sampling;
  int chroma_columns, chroma_lines;  // per plane
};

const int lines_625 = 576, lines_525 = 480;

const Case cases[] = {
    {"625/50 4:2:0", e_dv_system_625_50, e_dv_sample_420, 360, lines_625 / 2},
    {"525/60 4:1:1", e_dv_system_525_60, e_dv_sample_411, 180, lines_525},
    {"625/50 4:2:2", e_dv_system_625_50, e_dv_sample_422, 360, lines_625},
    {"525/60 4:2:2", e_dv_system_525_60, e_dv_sample_422, 360, lines_525},
};

// Smooth gradients with noise on top: every block has detail, and chroma
// differs from sample to sample and line to line.
std::vector<uint8_t> plane(int columns, int lines, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> p(static_cast<size_t>(columns) * lines);
  for (int l = 0; l < lines; ++l)
    for (int c = 0; c < columns; ++c)
      p[static_cast<size_t>(l) * columns + c] =
          static_cast<uint8_t>(40 + (c * 150 / columns + l * 30 / lines) + random() % 24);
  return p;
}

// The same picture as YUY2: chroma sample s of line l is the planes'
// sample at the site the 4:2:2 sample falls on.
std::vector<uint8_t> as_yuy2(const Case &k, int lines, const std::vector<uint8_t> &y,
                             const std::vector<uint8_t> &cb, const std::vector<uint8_t> &cr) {
  std::vector<uint8_t> out(static_cast<size_t>(720) * lines * 2);
  for (int l = 0; l < lines; ++l)
    for (int s = 0; s < 360; ++s) {
      const int cl = l * k.chroma_lines / lines, cs = s * k.chroma_columns / 360;
      const size_t c = static_cast<size_t>(cl) * k.chroma_columns + cs;
      uint8_t *at = &out[(static_cast<size_t>(l) * 360 + s) * 4];
      at[0] = y[static_cast<size_t>(l) * 720 + 2 * s];
      at[1] = cb[c];
      at[2] = y[static_cast<size_t>(l) * 720 + 2 * s + 1];
      at[3] = cr[c];
    }
  return out;
}

TEST(Encoder, PlanesMakeTheFramesOfDoubledYuy2) {
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    const bool pal = k.system == e_dv_system_625_50;
    const int lines = pal ? lines_625 : lines_525;
    const auto y = plane(720, lines, 1);
    const auto cb = plane(k.chroma_columns, k.chroma_lines, 2);
    const auto cr = plane(k.chroma_columns, k.chroma_lines, 3);
    for (int passes : {1, 3}) {
      tarsk::EncodeSettings settings{.system = k.system, .passes = passes, .date = 1700000000};
      tarsk::Encoder planes(settings), yuy2(settings);
      ASSERT_TRUE(planes && yuy2);
      std::vector<uint8_t> ours(planes.frame_bytes()), theirs(yuy2.frame_bytes());
      ASSERT_TRUE(planes.encode({k.sampling, y, cb, cr}, ours));
      auto packed = as_yuy2(k, lines, y, cb, cr);
      uint8_t *in[1] = {packed.data()};
      ASSERT_EQ(dv_encode_full_frame(yuy2.get(), in, e_dv_color_yuv, theirs.data()), 0);
      // The C API stamps the frame with the time of day: stamp it again with
      // the same settings as the planes' frame, which leaves the video alone.
      yuy2.get()->frame_count = 0;
      ASSERT_TRUE(yuy2.stamp(theirs));
      // Subcode blocks take a running sync block counter of the process.
      for (size_t at = 0; at < ours.size(); at += 80) {
        if (ours[at] >> 5 == 1) continue;  // subcode
        ASSERT_TRUE(std::memcmp(&ours[at], &theirs[at], 80) == 0)
            << passes << " passes: block " << at / 80 << " differs";
      }
    }
  }
}

TEST(Encoder, RefusesPlanesItCannotTake) {
  const std::vector<uint8_t> y(720 * lines_525), small(180 * lines_525);
  std::vector<uint8_t> frame(frame_size_525_60);
  tarsk::Encoder ntsc({.system = e_dv_system_525_60});
  const tarsk::PicturePlanes wrong_sampling{e_dv_sample_420, y, small, small};
  auto done = ntsc.encode(wrong_sampling, frame);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().code, tarsk::Errc::bad_picture);
  done = ntsc.encode({e_dv_sample_411, std::span(y).first(720 * 100), small, small}, frame);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().code, tarsk::Errc::bad_picture);
  done = ntsc.encode({e_dv_sample_411, y, small, small}, std::span(frame).first(1000));
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().code, tarsk::Errc::bad_buffer);
  EXPECT_EQ(ntsc.frames(), 0u);
}

// Frames 0 to 25 of a 625/50 stream: the time code counts on from the
// settings', the recording clock shows the date until frame 25, then a
// second later.
TEST(Encoder, TimeCodeAndRecordingClockCount) {
  std::tm start{};
  start.tm_year = 2024 - 1900;
  start.tm_mon = 2;
  start.tm_mday = 4;
  start.tm_hour = 5;
  start.tm_min = 6;
  start.tm_sec = 58;
  start.tm_isdst = -1;
  const int first = ((10 * 60 + 0) * 60 + 59) * 25 + 20;  // 10:00:59:20
  tarsk::Encoder enc(
      {.system = e_dv_system_625_50, .wide = true, .timecode = first, .date = std::mktime(&start)});
  tarsk::Decoder dec;
  std::vector<uint8_t> frame(enc.frame_bytes());
  const std::vector<uint8_t> y(720 * lines_625, 128), c(360 * lines_625 / 2, 128);
  ASSERT_TRUE(enc.encode({e_dv_sample_420, y, c, c}, frame));
  for (int n = 0; n <= 25; ++n) {
    if (n > 0) {
      ASSERT_TRUE(enc.stamp(frame));
    }
    auto info = dec.parse(frame);
    ASSERT_TRUE(info) << n;
    EXPECT_TRUE(info->wide);
    char timecode[16], date[32];
    ASSERT_EQ(dv_get_timestamp(dec.get(), timecode), 1);
    ASSERT_EQ(dv_get_recording_datetime(dec.get(), date), 1);
    const char *want_tc = n == 0   ? "10:00:59.20"
                          : n == 4 ? "10:00:59.24"
                          : n == 5 ? "10:01:00.00"
                                   : nullptr;
    if (want_tc != nullptr) {
      EXPECT_STREQ(timecode, want_tc) << n;
    }
    EXPECT_STREQ(date, n < 25 ? "2024-03-04 05:06:58" : "2024-03-04 05:06:59") << n;
  }
  EXPECT_EQ(enc.frames(), 26u);
}

TEST(Encoder, SoundReadsBackSampleForSample) {
  for (dv_system_t system : {e_dv_system_625_50, e_dv_system_525_60}) {
    for (int rate : {48000, 44100, 32000}) {
      tarsk::Encoder enc({.system = system});
      tarsk::Decoder dec;
      std::vector<uint8_t> frame(enc.frame_bytes());
      const bool pal = system == e_dv_system_625_50;
      const std::vector<uint8_t> y(720 * (pal ? 576 : 480), 16);
      const std::vector<uint8_t> c(pal ? 360 * 288 : 180 * 480, 128);
      for (uint64_t n = 0; n < 3; ++n) {
        const int samples = enc.audio_samples(rate, n);
        ASSERT_GT(samples, 0);
        std::vector<int16_t> stereo(2 * static_cast<size_t>(samples));
        for (size_t i = 0; i < stereo.size(); ++i)
          stereo[i] = static_cast<int16_t>(i * 7919 + n * 31 - 20000);
        ASSERT_TRUE(enc.encode({pal ? e_dv_sample_420 : e_dv_sample_411, y, c, c}, frame));
        ASSERT_TRUE(enc.encode_audio(stereo, rate, frame)) << rate;
        ASSERT_TRUE(dec.parse(frame));
        auto audio = dec.decode_audio(frame);
        ASSERT_TRUE(audio);
        EXPECT_EQ(audio->frequency, rate);
        ASSERT_EQ(audio->channels.size(), 2u);
        ASSERT_EQ(audio->channels[0].size(), static_cast<size_t>(samples));
        for (int i = 0; i < samples; ++i) {
          ASSERT_EQ(audio->channels[0][i], stereo[2 * i]) << rate << " " << n << " " << i;
          ASSERT_EQ(audio->channels[1][i], stereo[2 * i + 1]);
        }
      }
      const std::vector<int16_t> too_many(2 * 2000);
      auto refused = enc.encode_audio(too_many, rate, frame);
      ASSERT_FALSE(refused);
      EXPECT_EQ(refused.error().code, tarsk::Errc::bad_audio);
    }
  }
}

}  // namespace

namespace {

// The frames of `threads` threads, the frame count after them and the
// process-wide statistics before and after.
struct ThreadRun {
  std::vector<std::vector<uint8_t>> frames;
  tarsk::EncodeStats before{}, after{};
  uint64_t count = 0;
};

ThreadRun encode_on(int threads, dv_system_t system,
                    const std::vector<std::vector<uint8_t>> &pictures,
                    tarsk::EncodeQuality quality = tarsk::EncodeQuality::standard) {
  ThreadRun run;
  tarsk::Encoder enc(
      {.system = system, .date = 1700000000, .quality = quality, .threads = threads});
  const bool pal = system == e_dv_system_625_50;
  const size_t luma = static_cast<size_t>(720) * (pal ? lines_625 : lines_525);
  run.before = tarsk::encode_statistics();
  for (const auto &p : pictures) {
    const std::span<const uint8_t> all(p);
    run.frames.emplace_back(enc.frame_bytes());
    EXPECT_TRUE(enc.encode({pal ? e_dv_sample_420 : e_dv_sample_411, all.first(luma),
                            all.subspan(luma, luma / 4), all.subspan(luma + luma / 4, luma / 4)},
                           run.frames.back()));
  }
  run.after = tarsk::encode_statistics();
  run.count = enc.frames();
  return run;
}

}  // namespace

// Segments encoded on two and three threads make the frames, the frame
// count and the statistics of one thread, on pictures that take every
// path: gradients with grain, a flat field, full-range noise (cut codes)
// and lines alternating in the fields (2-4-8 blocks).
TEST(Encoder, ThreadsMakeTheFramesOfOne) {
  for (const dv_system_t system : {e_dv_system_625_50, e_dv_system_525_60}) {
    const int lines = system == e_dv_system_625_50 ? lines_625 : lines_525;
    const size_t samples = static_cast<size_t>(720) * lines * 3 / 2;
    std::mt19937 random(7);
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<uint8_t> grain = plane(720, lines * 3 / 2, 4), flat(samples, 100), noise(samples),
                         fields(samples, 128);
    for (uint8_t &v : noise) v = static_cast<uint8_t>(random());
    for (size_t i = 0; i < samples; ++i)
      if (i / 720 % 2 == 1 && i < static_cast<size_t>(720) * lines) fields[i] = 230;
    pictures = {grain, flat, noise, fields};
    const ThreadRun one = encode_on(1, system, pictures);
    EXPECT_GT(one.after.vlc_overflows, one.before.vlc_overflows);
    EXPECT_GT(one.after.dct_used[1], one.before.dct_used[1]);
    for (int threads : {2, 3}) {
      SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(lines) + " lines");
      const ThreadRun many = encode_on(threads, system, pictures);
      EXPECT_EQ(many.count, one.count);
      // Both added the same: one.after - one.before == many.after - many.before.
      tarsk::EncodeStats left = one.after, right = many.after;
      left += many.before;
      right += one.before;
      EXPECT_TRUE(left == right);
      EXPECT_EQ(many.frames, one.frames);
    }
    // The best quality's search keeps its work per thread.
    EXPECT_EQ(encode_on(2, system, pictures, tarsk::EncodeQuality::best).frames,
              encode_on(1, system, pictures, tarsk::EncodeQuality::best).frames)
        << lines << " lines, best quality";
  }
}
