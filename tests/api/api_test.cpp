// The C++ API (tarsk.hpp over tarsk.h) against dv.h: the reader through damage, frame threads
// bit for bit as dv.h in order, the encoder read back, threads making the frames of one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <random>
#include <span>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "classic/statistics.h"
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

// A picture of a system in its own sampling (I420, Y41B) or I422, its planes in `bytes`.
tarsk_picture planes(std::span<const uint8_t> bytes, tarsk_pixel_format format, int lines) {
  tarsk_picture p{};
  p.format = format;
  p.width = 720;
  p.height = lines;
  const int chroma_width = format == TARSK_PIXEL_Y41B ? 180 : 360;
  const int chroma_lines = format == TARSK_PIXEL_I420 ? lines / 2 : lines;
  const size_t luma = 720u * lines, chroma = static_cast<size_t>(chroma_width * chroma_lines);
  EXPECT_GE(bytes.size(), luma + 2 * chroma);
  p.data[0] = const_cast<uint8_t *>(bytes.data());
  p.data[1] = p.data[0] + luma;
  p.data[2] = p.data[1] + chroma;
  p.stride[0] = 720;
  p.stride[1] = p.stride[2] = chroma_width;
  return p;
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
  tarsk::Picture small(TARSK_PIXEL_YUY2, 720, 480);
  EXPECT_EQ(refusal(decoder.decode_video(frame.bytes(), small)), tarsk::Errc::bad_picture);
  EXPECT_EQ(refusal(decoder.decode_audio(frame.bytes())), tarsk::Errc::no_audio);  // no packs
  // A part of a frame never reaches the C layer.
  EXPECT_FALSE(decoder.parse(std::span(frame.bytes()).first(5000)));
  EXPECT_FALSE(decoder.parse(std::span(frame.bytes()).first(120000)));
  tarsk::DecoderSettings bad;
  bad.depth = static_cast<tarsk_decode_depth>(7);
  tarsk::Decoder refused(bad);
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.open_error().code, tarsk::Errc::bad_settings);
}

// clang-format off
const MadeDv &clip(int n) {
  const char *names[3] = {"Pal420", "Ntsc411", "Pal411"};
  return made_dv(names[n], {.system = n == 1 ? e_dv_system_525_60 : e_dv_system_625_50,
      .pix_fmt = n == 0 ? "yuv420p" : "yuv411p", .frames = 3, .video_source = "mandelbrot",
      .video_filter = n == 1 ? "noise=alls=30:allf=t" : ""});
}
// clang-format on

// dv.h's picture of a frame.
std::vector<uint8_t> single(std::span<const uint8_t> frame, unsigned quality,
                            dv_color_space_t space) {
  dv_decoder_t *dv = dv_decoder_new(0, 0, 0);
  dv_set_error_log(dv, nullptr);
  dv->quality = quality;
  EXPECT_GE(dv_parse_header(dv, frame.data()), 0);
  const int pitch = 720 * (space == e_dv_color_yuv ? 2 : space == e_dv_color_rgb ? 3 : 4);
  std::vector<uint8_t> picture(static_cast<size_t>(pitch * dv->height), 0x11);
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {pitch};
  dv_decode_full_frame(dv, frame.data(), space, pixels, pitches);
  dv_decoder_free(dv);
  return picture;
}

// Mixed 525/60 and 625/50 frames through frame threads come back in order as dv.h's pictures, a
// damaged frame's error in its place; with every thread busy, send waits for a receive.
TEST(FrameThreads, InOrderAndBitIdentical) {
  std::vector<std::span<const uint8_t>> stream;
  for (int n = 0; n < 3; ++n)
    for (auto frame : clip(n).frames) stream.push_back(frame);
  std::vector<uint8_t> damaged(stream[1].begin(), stream[1].end());
  damaged[12000 + 1] = 0xf0;  // DIF sequence 1's header numbered for another
  stream.insert(stream.begin() + 3, damaged);
  for (int threads : {2, 3}) {
    tarsk::DecoderSettings settings;
    settings.threads = threads;
    settings.conceal = 0;
    settings.reconstruction = TARSK_RECONSTRUCTION_SPECIFIED;
    tarsk::Decoder decoder(settings);
    std::vector<tarsk::Picture> pictures;
    // Two frames a thread may be in flight.
    const auto depth = static_cast<size_t>(2 * threads);
    for (size_t i = 0; i < depth; ++i) pictures.emplace_back(TARSK_PIXEL_RGB24, 720, 576);
    size_t collected = 0;
    auto collect_one = [&] {
      auto result = decoder.receive();
      EXPECT_EQ(static_cast<bool>(result), collected != 3);
      if (result) {
        const auto expected = single(stream[collected], DV_QUALITY_BEST, e_dv_color_rgb);
        EXPECT_EQ(result->picture, &pictures[collected % pictures.size()].get());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), result->picture->data[0]))
            << "frame " << collected << " threads " << threads;
      } else {
        EXPECT_EQ(result.error().code, tarsk::Errc::bad_frame);
      }
      ++collected;
    };
    for (size_t n = 0; n < stream.size(); ++n) {
      // With every slot taken the decoder takes no more frames.
      if (n >= depth && collected + depth == n) {
        auto refused = decoder.send(stream[n], pictures[n % depth].get());
        ASSERT_TRUE(refused && !*refused);
        collect_one();  // frees the picture of frame n - depth for frame n
      }
      // The picture must be the frame's size: a 525/60 frame gets a 480-line view of it.
      tarsk::Picture &p = pictures[n % depth];
      p.get().height = stream[n].size() == 120000 ? 480 : 576;
      auto sent = decoder.send(stream[n], p.get());
      ASSERT_TRUE(sent && *sent);
    }
    while (collected < stream.size()) collect_one();
    EXPECT_EQ(decoder.receive().error().code, tarsk::Errc::again);
  }
}

TEST(Encoder, RefusesPlanesItCannotTake) {
  const std::vector<uint8_t> all(720 * 480 * 2);
  std::vector<uint8_t> frame(frame_size_525_60);
  tarsk::EncoderSettings settings;
  settings.system = TARSK_SYSTEM_525_60;
  tarsk::Encoder ntsc(settings);
  using E = tarsk::Errc;
  tarsk_picture short_y = planes(all, TARSK_PIXEL_Y41B, 480);
  short_y.height = 100;
  EXPECT_EQ(refusal(ntsc.encode(planes(all, TARSK_PIXEL_I420, 480), frame)), E::bad_picture);
  EXPECT_EQ(refusal(ntsc.encode(short_y, frame)), E::bad_picture);
  EXPECT_EQ(refusal(ntsc.encode(planes(all, TARSK_PIXEL_Y41B, 480), frame.data(), 1000)),
            E::bad_buffer);
  EXPECT_EQ(ntsc.frames(), 0u);
  settings.passes = 2;
  settings.quality = TARSK_QUALITY_BEST;
  tarsk::Encoder refused(settings);
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.open_error().code, E::bad_settings);
}

// Sound at every rate and system reads back (too much refused); the time code runs on; 16:9.
TEST(Encoder, SoundReadsBackSampleForSample) {
  for (dv_system_t system : {e_dv_system_625_50, e_dv_system_525_60}) {
    const bool pal = system == e_dv_system_625_50;
    for (int rate : {48000, 44100, 32000}) {
      const int fps = pal ? 25 : 30, last = ((10 * 60) * 60 + 59) * fps + fps - 1;
      tarsk::EncoderSettings settings;
      settings.system = pal ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
      settings.wide = 1;
      settings.timecode = last;
      tarsk::Encoder enc(settings);
      tarsk::Decoder dec;
      std::vector<uint8_t> frame(enc.frame_bytes());
      std::vector<uint8_t> picture(720 * (pal ? 576 : 480) * 2, 128);
      std::fill_n(picture.begin(), 720 * (pal ? 576 : 480), 16);
      for (uint64_t n = 0; n < 2; ++n) {
        const int samples = enc.audio_samples(rate, n);
        // DV's customary 1600 first of every five 525/60 frames at 48 kHz.
        EXPECT_TRUE(pal || rate != 48000 || samples == (n ? 1602 : 1600)) << samples;
        std::vector<int16_t> stereo(2 * static_cast<size_t>(samples));
        for (size_t i = 0; i < stereo.size(); ++i)
          stereo[i] = static_cast<int16_t>(i * 7919 + n * 31 - 20000);
        ASSERT_TRUE(enc.encode(
            planes(picture, pal ? TARSK_PIXEL_I420 : TARSK_PIXEL_Y41B, pal ? 576 : 480), frame));
        ASSERT_TRUE(enc.encode_audio(stereo.data(), stereo.size(), rate, frame.data(), frame.size()))
            << rate;
        auto info = dec.parse(frame);
        ASSERT_TRUE(info && info->wide && info->has_timecode);
        const tarsk_timecode t = info->timecode;
        EXPECT_EQ((std::array{t.hours, t.minutes, t.seconds, t.frames}),
                  (n ? std::array{10, 1, 0, 0} : std::array{10, 0, 59, pal ? 24 : 29}));
        auto audio = dec.decode_audio(frame);
        ASSERT_TRUE(audio && audio->frequency == rate && audio->channels.size() == 2);
        ASSERT_EQ(audio->channels[0].size(), static_cast<size_t>(samples));
        for (int i = 0; i < samples; ++i) {
          ASSERT_EQ(audio->channels[0][i], stereo[2 * i]) << rate << " " << n << " " << i;
          ASSERT_EQ(audio->channels[1][i], stereo[2 * i + 1]);
        }
      }
      const std::vector<int16_t> too_much(2 * 2000);
      EXPECT_EQ(refusal(enc.encode_audio(too_much.data(), too_much.size(), rate, frame.data(),
                                         frame.size())),
                tarsk::Errc::bad_audio);
    }
  }
}

// Several threads make one thread's frames, count and statistics in every layout, on pictures
// taking every path: grainy gradients, flat, full-range noise (cut codes), alternating field
// lines (2-4-8 blocks); the best quality's search too.
TEST(Encoder, ThreadsMakeTheFramesOfOne) {
  const struct {
    tarsk_system system;
    tarsk_pixel_format format;
    int lines, chroma, threads;  // chroma: samples of each plane
    tarsk_encode_quality quality;
  } cases[] = {
      {TARSK_SYSTEM_625_50, TARSK_PIXEL_I420, 576, 360 * 288, 2, TARSK_QUALITY_STANDARD},
      {TARSK_SYSTEM_525_60, TARSK_PIXEL_Y41B, 480, 180 * 480, 3, TARSK_QUALITY_STANDARD},
      {TARSK_SYSTEM_625_50, TARSK_PIXEL_I422, 576, 360 * 576, 3, TARSK_QUALITY_STANDARD},
      {TARSK_SYSTEM_525_60, TARSK_PIXEL_I422, 480, 360 * 480, 2, TARSK_QUALITY_BEST}};
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
      tarsk::EncoderSettings settings;
      settings.system = k.system;
      settings.has_date = 1;
      settings.date = 1700000000;
      settings.quality = k.quality;
      settings.threads = run ? k.threads : 1;
      tarsk::Encoder enc(settings);
      before[run] = tarsk::encode_statistics();
      for (const auto &p : pictures) {
        frames[run].emplace_back(enc.frame_bytes());
        ASSERT_TRUE(enc.encode(planes(p, k.format, k.lines), frames[run].back()));
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
