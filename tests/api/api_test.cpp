// The C++ API against the C API: refusals, threads bit for bit as one, the encoder read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <random>
#include <span>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "encode/encode.h"
#include "support/ffmpeg.h"
#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;

// Everything a reader finds in a stream in memory: "ok", "partial" (blocks filled in) or the
// error code.
std::vector<std::string> read_all(std::vector<uint8_t> bytes) {
  FILE *file = bytes.empty() ? std::tmpfile() : fmemopen(bytes.data(), bytes.size(), "rb");
  tarsk::Reader reader(file);
  std::vector<std::string> seen;
  while (auto frame = reader.next()) {
    EXPECT_TRUE(!*frame || (*frame)->bytes.size() == tarsk::frame_bytes((*frame)->system));
    seen.push_back(!*frame ? std::to_string(static_cast<int>(frame->error().code))
                   : (*frame)->missing_blocks ? "partial" : "ok");
  }
  std::fclose(file);
  return seen;
}

std::vector<uint8_t> frames(std::initializer_list<dv_system_t> systems) {
  std::vector<uint8_t> out;
  for (dv_system_t s : systems) std::ranges::copy(FrameBuilder(s).bytes(), back_inserter(out));
  return out;
}

template <class Result>
tarsk::Errc refusal(const Result &r) {
  EXPECT_FALSE(r);
  return r ? tarsk::Errc{-1} : r.error().code;
}

// Every frame of which a block is found comes, whole or filled in; only what holds no DV fails.
TEST(Reader, HandsOutEveryFrameFoundAndRefusesWhatIsNotDv) {
  using E = tarsk::Errc;
  const auto code = [](E e) { return std::to_string(static_cast<int>(e)); };
  const auto pal = e_dv_system_625_50, ntsc = e_dv_system_525_60;
  auto cut = frames({ntsc, ntsc}), tiny = frames({ntsc}), damaged = frames({pal, pal, pal}),
       lost = frames({ntsc, ntsc});
  cut.pop_back();
  tiny.resize(2);
  // A later DIF sequence of the second frame lost its header block.
  damaged[frame_size_625_50 + tarsk::dif::block_offset(5, tarsk::dif::header_block)] = 0x9f;
  lost[120000] = 0xff;  // no header where the second frame should start
  const std::pair<std::vector<uint8_t>, std::vector<std::string>> cases[] = {
      {frames({pal, pal}), {"ok", "ok"}},
      {{}, {}},
      {std::vector<uint8_t>(300000, 0xff), {code(E::not_dv)}},
      {cut, {"ok", "partial"}},
      {tiny, {code(E::not_dv)}},
      {frames({ntsc, pal, pal}), {"ok", "ok", "ok"}},
      {damaged, {"ok", "partial", "ok"}},
      {lost, {"ok", "partial"}},
  };
  for (const auto &[bytes, seen] : cases) EXPECT_EQ(read_all(bytes), seen);
  EXPECT_EQ(refusal(tarsk::Reader::open("/nonexistent/clip.dv")), E::io);
}

TEST(Decoder, ChecksFramesAndBuffers) {
  tarsk::Decoder decoder;
  FrameBuilder frame(e_dv_system_625_50);
  ASSERT_TRUE(decoder.parse(frame.bytes()));
  std::vector<uint8_t> small(720 * 576 * 2 - 1);
  EXPECT_EQ(refusal(decoder.decode_video(frame.bytes(), e_dv_color_yuv, small)),
            tarsk::Errc::bad_buffer);
  EXPECT_EQ(refusal(decoder.decode_audio(frame.bytes())), tarsk::Errc::no_audio);  // no packs
  // A part of a frame never reaches the C layer.
  EXPECT_FALSE(decoder.parse(std::span(frame.bytes()).first(5000)));
  EXPECT_FALSE(decoder.parse(std::span(frame.bytes()).first(120000)));
}

// clang-format off
const MadeDv &clip(int n) {
  const char *names[3] = {"Pal420", "Ntsc411", "Pal411"};
  return made_dv(names[n], {.system = n == 1 ? e_dv_system_525_60 : e_dv_system_625_50,
      .pix_fmt = n == 0 ? "yuv420p" : "yuv411p", .frames = 3, .video_source = "mandelbrot",
      .video_filter = n == 1 ? "noise=alls=30:allf=t" : ""});
}
// clang-format on

std::vector<uint8_t> single(std::span<const uint8_t> frame, unsigned quality,
                            dv_color_space_t space) {
  tarsk::Decoder d(quality);
  EXPECT_TRUE(d.parse(frame));
  std::vector<uint8_t> picture(d.picture_bytes(space), 0x11);
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {static_cast<int>(picture.size() / static_cast<size_t>(d.get()->height))};
  dv_decode_full_frame(d.get(), frame.data(), space, pixels, pitches);
  return picture;
}

// Every layout and colour space, qualities in turn, on three threads: the C API's pictures.
TEST(ThreadedDecoding, BitIdenticalToTheCApi) {
  const unsigned qualities[4] = {5, 3, 1, 4};
  for (int n = 0; n < 3; ++n)
    for (dv_color_space_t space : {e_dv_color_yuv, e_dv_color_rgb, e_dv_color_bgr0}) {
      const unsigned quality = qualities[(3 * n + space) % 4];
      tarsk::Decoder threaded(quality);
      ASSERT_TRUE(threaded.set_threads(3));
      for (auto frame : clip(n).frames) {
        ASSERT_TRUE(threaded.parse(frame));
        std::vector<uint8_t> picture(threaded.picture_bytes(space), 0x22);
        ASSERT_TRUE(threaded.decode_video(frame, space, picture));
        ASSERT_TRUE(picture == single(frame, quality, space))
            << n << " quality " << quality << " space " << space;
      }
    }
}

// Mixed 525/60 and 625/50 frames through the pipeline come back in order as the C API's, a damaged
// frame's error in its place; a full pipeline refuses more until one is collected.
TEST(FramePipeline, InOrderAndBitIdentical) {
  std::vector<std::span<const uint8_t>> stream;
  for (int n = 0; n < 3; ++n)
    for (auto frame : clip(n).frames) stream.push_back(frame);
  std::vector<uint8_t> damaged(stream[1].begin(), stream[1].end());
  damaged[12000 + 1] = 0xf0;  // DIF sequence 1's header numbered for another
  stream.insert(stream.begin() + 3, damaged);
  for (int threads : {2, 3}) {
    tarsk::FramePipeline pipeline(threads, {DV_QUALITY_BEST, e_dv_color_rgb});
    std::vector<std::vector<uint8_t>> pictures(static_cast<size_t>(pipeline.depth()),
                                               std::vector<uint8_t>(720 * 576 * 3));
    size_t collected = 0;
    auto collect_one = [&] {
      const auto result = pipeline.collect();
      EXPECT_EQ(static_cast<bool>(result), collected != 3);
      if (result) {
        const auto expected = single(stream[collected], DV_QUALITY_BEST, e_dv_color_rgb);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                               pictures[collected % pictures.size()].begin()))
            << "frame " << collected << " threads " << threads;
      }
      ++collected;
    };
    for (size_t n = 0; n < stream.size(); ++n) {
      if (pipeline.in_flight() == pipeline.depth()) {
        EXPECT_FALSE(pipeline.submit(stream[n], pictures[n % pictures.size()]));
        collect_one();
      }
      ASSERT_TRUE(pipeline.submit(stream[n], pictures[n % pictures.size()]));
    }
    while (collected < stream.size()) collect_one();
    EXPECT_FALSE(pipeline.collect());
  }
}

TEST(Encoder, RefusesPlanesItCannotTake) {
  const std::vector<uint8_t> y(720 * 480), small(180 * 480);
  std::vector<uint8_t> frame(frame_size_525_60);
  tarsk::Encoder ntsc({.system = e_dv_system_525_60});
  using E = tarsk::Errc;
  const auto short_y = std::span(y).first(720 * 100);
  EXPECT_EQ(refusal(ntsc.encode({e_dv_sample_420, y, small, small}, frame)), E::bad_picture);
  EXPECT_EQ(refusal(ntsc.encode({e_dv_sample_411, short_y, small, small}, frame)), E::bad_picture);
  EXPECT_EQ(refusal(ntsc.encode({e_dv_sample_411, y, small, small}, std::span(frame).first(1000))),
            E::bad_buffer);
  EXPECT_EQ(ntsc.frames(), 0u);
}

// Sound at every rate and system reads back (too much refused); the time code runs on; 16:9.
TEST(Encoder, SoundReadsBackSampleForSample) {
  for (dv_system_t system : {e_dv_system_625_50, e_dv_system_525_60}) {
    const bool pal = system == e_dv_system_625_50;
    for (int rate : {48000, 44100, 32000}) {
      const int fps = pal ? 25 : 30, last = ((10 * 60) * 60 + 59) * fps + fps - 1;
      tarsk::Encoder enc({.system = system, .wide = true, .timecode = last});
      tarsk::Decoder dec;
      std::vector<uint8_t> frame(enc.frame_bytes());
      const std::vector<uint8_t> y(720 * (pal ? 576 : 480), 16),
          c(pal ? 360 * 288 : 180 * 480, 128);
      for (uint64_t n = 0; n < 2; ++n) {
        const int samples = enc.audio_samples(rate, n);
        // DV's customary 1600 first of every five 525/60 frames at 48 kHz.
        EXPECT_TRUE(pal || rate != 48000 || samples == (n ? 1602 : 1600)) << samples;
        std::vector<int16_t> stereo(2 * static_cast<size_t>(samples));
        for (size_t i = 0; i < stereo.size(); ++i)
          stereo[i] = static_cast<int16_t>(i * 7919 + n * 31 - 20000);
        ASSERT_TRUE(enc.encode({pal ? e_dv_sample_420 : e_dv_sample_411, y, c, c}, frame));
        ASSERT_TRUE(enc.encode_audio(stereo, rate, frame)) << rate;
        auto info = dec.parse(frame);
        ASSERT_TRUE(info && info->wide);
        char timecode[16];
        ASSERT_EQ(dv_get_timestamp(dec.get(), timecode), 1);
        EXPECT_STREQ(timecode, n ? "10:01:00.00" : pal ? "10:00:59.24" : "10:00:59.29");
        auto audio = dec.decode_audio(frame);
        ASSERT_TRUE(audio && audio->frequency == rate && audio->channels.size() == 2);
        ASSERT_EQ(audio->channels[0].size(), static_cast<size_t>(samples));
        for (int i = 0; i < samples; ++i) {
          ASSERT_EQ(audio->channels[0][i], stereo[2 * i]) << rate << " " << n << " " << i;
          ASSERT_EQ(audio->channels[1][i], stereo[2 * i + 1]);
        }
      }
      EXPECT_EQ(refusal(enc.encode_audio(std::vector<int16_t>(2 * 2000), rate, frame)),
                tarsk::Errc::bad_audio);
    }
  }
}

// Several threads make one thread's frames, count and statistics in every layout, on pictures
// taking every path: grainy gradients, flat, full-range noise (cut codes), alternating field
// lines (2-4-8 blocks); the best quality's search too.
TEST(Encoder, ThreadsMakeTheFramesOfOne) {
  const struct {
    dv_system_t system;
    dv_sample_t sampling;
    int lines, chroma, threads;  // chroma: samples of each plane
    tarsk::EncodeQuality quality;
  } cases[] = {
      {e_dv_system_625_50, e_dv_sample_420, 576, 360 * 288, 2, {}},
      {e_dv_system_525_60, e_dv_sample_411, 480, 180 * 480, 3, {}},
      {e_dv_system_625_50, e_dv_sample_422, 576, 360 * 576, 3, {}},
      {e_dv_system_525_60, e_dv_sample_422, 480, 360 * 480, 2, tarsk::EncodeQuality::best}};
  for (const auto &k : cases) {
    const size_t luma = 720u * k.lines, chroma = 2u * k.chroma;
    std::mt19937 random(7);
    std::vector<uint8_t> grain(luma + chroma), noise(luma + chroma), fields(luma + chroma, 128);
    for (size_t i = 0; i < grain.size(); ++i)
      grain[i] = static_cast<uint8_t>(40 + i % 720 * 150 / 720 + i / 720 % 30 + random() % 24);
    for (uint8_t &v : noise) v = static_cast<uint8_t>(random());
    for (size_t i = 720; i < luma; i += 1440) std::fill_n(&fields[i], 720, 230);
    const std::vector<std::vector<uint8_t>> pictures = {
        grain, std::vector<uint8_t>(luma + chroma, 100), noise, fields};
    std::vector<std::vector<uint8_t>> frames[2];
    tarsk::EncodeStats before[2], after[2];
    for (int run = 0; run < 2; ++run) {
      tarsk::EncodeSettings settings{.system = k.system, .date = 1700000000, .quality = k.quality};
      settings.threads = run ? k.threads : 1;
      tarsk::Encoder enc(settings);
      before[run] = tarsk::encode_statistics();
      for (const auto &p : pictures) {
        const std::span<const uint8_t> all(p);
        frames[run].emplace_back(enc.frame_bytes());
        ASSERT_TRUE(enc.encode({k.sampling, all.first(luma), all.subspan(luma, chroma / 2),
                                all.subspan(luma + chroma / 2, chroma / 2)},
                               frames[run].back()));
      }
      after[run] = tarsk::encode_statistics();
      EXPECT_EQ(enc.frames(), pictures.size());
    }
    EXPECT_GT(after[0].vlc_overflows, before[0].vlc_overflows);
    EXPECT_GT(after[0].dct_used[1], before[0].dct_used[1]);
    // Both runs added the same: after[0] - before[0] == after[1] - before[1].
    after[0] += before[1];
    after[1] += before[0];
    EXPECT_TRUE(after[0] == after[1]) << k.threads << " threads";
    EXPECT_EQ(frames[0], frames[1]) << k.threads << " threads";
  }
}

}  // namespace
