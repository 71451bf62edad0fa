// tarsk.h, the library's own C API, held against dv.h's decoder and encoder
// on the conformance files: the packed pictures byte for byte, the planar
// ones as the same samples laid out in planes, sound, frame information;
// threads, frame threads, concealment, caller strides and every refusal.
#include <gtest/gtest.h>
#include <tarsk/dv.h>
#include <tarsk/tarsk.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/dif.h"
#include "support/conformance.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const auto &files = conformance_files;

// dv.h's picture of a frame, packed, with a decoder of these settings.
Bytes specified_picture(std::span<const uint8_t> frame, dv_color_space_t space, int clamp = 0,
                        int setup = 0, unsigned quality = DV_QUALITY_BEST) {
  dv_decoder_t *dv = dv_decoder_new(setup, clamp, clamp);
  dv_set_error_log(dv, nullptr);
  dv->quality = quality;
  EXPECT_GE(dv_parse_header(dv, frame.data()), 0);
  const int bytes = space == e_dv_color_yuv ? 2 : space == e_dv_color_rgb ? 3 : 4;
  Bytes picture(static_cast<size_t>(720 * bytes * dv->height));
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {720 * bytes};
  dv_decode_full_frame(dv, frame.data(), space, pixels, pitches);
  dv_decoder_free(dv);
  return picture;
}

struct Decoder {
  explicit Decoder(tarsk_decoder_settings s) { EXPECT_EQ(tarsk_decoder_open(&d, &s), TARSK_OK); }
  Decoder() : Decoder(defaults()) {}
  ~Decoder() { tarsk_decoder_close(&d); }
  static tarsk_decoder_settings defaults() {
    tarsk_decoder_settings s;
    tarsk_decoder_default_settings(&s);
    return s;
  }
  tarsk_decoder *d = nullptr;
};

struct Picture : tarsk_picture {
  Picture() : tarsk_picture{} {}
  ~Picture() { tarsk_picture_free(this); }
  // Plane p's lines, packed.
  Bytes plane(int p) const {
    const int planes[] = {0, 3, 3, 3, 1, 1, 1};
    EXPECT_LT(p, planes[format]);
    const size_t line = p == 0 ? static_cast<size_t>(width) *
                                     (format == TARSK_PIXEL_YUY2    ? 2
                                      : format == TARSK_PIXEL_RGB24 ? 3
                                      : format == TARSK_PIXEL_BGR0  ? 4
                                                                    : 1)
                               : static_cast<size_t>(width) / (format == TARSK_PIXEL_Y41B ? 4 : 2);
    const int lines = p > 0 && format == TARSK_PIXEL_I420 ? height / 2 : height;
    Bytes out;
    for (int l = 0; l < lines; ++l)
      out.insert(out.end(), data[p] + l * stride[p], data[p] + l * stride[p] + line);
    return out;
  }
};

// The Y, Cb and Cr planes of a YUY2 picture, the chroma thinned by 2^sx
// across and 2^sy down.
std::array<Bytes, 3> planes_of_yuy2(const Bytes &yuy2, int height, int sx, int sy) {
  std::array<Bytes, 3> p;
  for (int l = 0; l < height; ++l)
    for (int x = 0; x < 720; ++x) {
      const uint8_t *pair = &yuy2[static_cast<size_t>(l * 1440 + (x / 2) * 4)];
      p[0].push_back(pair[(x % 2) * 2]);
      if (l % (1 << sy) == 0 && x % (1 << sx) == 0) {
        p[1].push_back(pair[1]);
        p[2].push_back(pair[3]);
      }
    }
  return p;
}

// Every video DIF block of DIF sequence `s` of the frame at `frame` flagged
// as damaged by its status nibble.
void flag_sequence(Bytes &stream, size_t frame, int s) {
  for (int k = 0; k < 27; ++k)
    for (int m = 0; m < 5; ++m)
      stream[frame + tarsk::dif::segment_offset(s, k) + 80 * m + tarsk::dif::qno_byte] |= 0x70;
}

TEST(CApi, VersionAndErrorsSayWhatTheyAre) {
  EXPECT_EQ(tarsk_version(), unsigned{TARSK_VERSION});
  EXPECT_EQ(std::string(tarsk_version_string()),
            std::to_string(TARSK_VERSION_MAJOR) + "." + std::to_string(TARSK_VERSION_MINOR) + "." +
                std::to_string(TARSK_VERSION_PATCH));
  std::set<std::string> texts;
  for (int e = TARSK_OK; e >= TARSK_E_END; --e) texts.insert(tarsk_error_string(e));
  EXPECT_EQ(texts.size(), size_t{1 - TARSK_E_END}) << "every code has a text of its own";
  EXPECT_STREQ(tarsk_error_string(-1000), "unknown error");
}

// Every layout of every conformance file against dv.h: the packed ones byte
// for byte, the planar ones as YUY2's samples (4:2:2 all of them, the native
// layouts every chroma sample the frame carries), with and without clamps
// and the NTSC set-up, at every depth.
TEST(CApi, PicturesAreDvhsSamplesInEveryLayout) {
  struct Setting {
    int clamp, setup;
    tarsk_decode_depth depth;
    int monochrome;
    unsigned quality;
  };
  const Setting settings[] = {{0, 0, TARSK_DEPTH_FULL, 0, DV_QUALITY_BEST},
                              {1, 1, TARSK_DEPTH_FULL, 0, DV_QUALITY_BEST},
                              {0, 0, TARSK_DEPTH_BLOCK, 0, DV_QUALITY_COLOR | DV_QUALITY_AC_1},
                              {0, 1, TARSK_DEPTH_DC, 1, DV_QUALITY_DC}};
  for (const char *name : files)
    for (const Setting &s : settings) {
      SCOPED_TRACE(std::string(name) + " clamp " + std::to_string(s.clamp) + " depth " +
                   std::to_string(s.depth));
      const Bytes stream = conformance(name);
      const auto frame = split_frames(stream)[1];
      tarsk_decoder_settings ds = Decoder::defaults();
      ds.reconstruction = TARSK_RECONSTRUCTION_SPECIFIED;
      ds.conceal = 0;
      ds.clamp_luma = ds.clamp_chroma = s.clamp;
      ds.ntsc_setup = s.setup;
      ds.depth = s.depth;
      ds.monochrome = s.monochrome;
      Decoder d(ds);
      for (auto [format, space] : {std::pair{TARSK_PIXEL_YUY2, e_dv_color_yuv},
                                   {TARSK_PIXEL_RGB24, e_dv_color_rgb},
                                   {TARSK_PIXEL_BGR0, e_dv_color_bgr0}}) {
        Picture p;
        p.format = format;
        ASSERT_EQ(tarsk_decode_video(d.d, frame.data(), frame.size(), &p, nullptr), TARSK_OK);
        EXPECT_EQ(p.plane(0), specified_picture(frame, space, s.clamp, s.setup, s.quality))
            << "format " << format;
      }
      const Bytes yuy2 = specified_picture(frame, e_dv_color_yuv, s.clamp, s.setup, s.quality);
      const int height = frame.size() == 144000 ? 576 : 480;
      Picture native, full;
      full.format = TARSK_PIXEL_I422;
      ASSERT_EQ(tarsk_decode_video(d.d, frame.data(), frame.size(), &native, nullptr), TARSK_OK);
      ASSERT_EQ(tarsk_decode_video(d.d, frame.data(), frame.size(), &full, nullptr), TARSK_OK);
      const bool is411 = native.format == TARSK_PIXEL_Y41B;
      EXPECT_EQ(native.format, std::string(name).find("411") != std::string::npos ||
                                       std::string(name) == "ours_ntsc"
                                   ? TARSK_PIXEL_Y41B
                                   : TARSK_PIXEL_I420);
      const auto want_native = planes_of_yuy2(yuy2, height, is411 ? 2 : 1, is411 ? 0 : 1);
      const auto want_full = planes_of_yuy2(yuy2, height, 1, 0);
      for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(native.plane(p), want_native[static_cast<size_t>(p)]) << "native plane " << p;
        EXPECT_EQ(full.plane(p), want_full[static_cast<size_t>(p)]) << "4:2:2 plane " << p;
      }
    }
}

// The caller's planes with wide strides, threads within a picture and frame
// threads all give the picture one thread gives into planes of its own;
// with damage, concealment included.
TEST(CApi, StridesAndThreadsChangeNoByte) {
  Bytes stream = conformance("pal420_interlaced");
  // Damage in the second and third frames: a DIF sequence flagged, garbage in a segment.
  const size_t frame_size = 144000;
  for (size_t f : {1u, 2u}) {
    flag_sequence(stream, f * frame_size, 3);
    for (size_t i = 4; i < 400; i += 5)
      stream[f * frame_size + tarsk::dif::segment_offset(6, f) + i] ^= 0xa5;
  }
  const auto frames = split_frames(stream);
  auto decode_all = [&](int threads, bool pipeline, ptrdiff_t pad) {
    tarsk_decoder_settings s = Decoder::defaults();
    s.threads = threads;
    Decoder d(s);
    std::vector<Bytes> out;
    std::vector<int> damaged;
    std::vector<Bytes> storage(frames.size());
    std::vector<Picture> pictures(frames.size());
    for (size_t f = 0; f < frames.size(); ++f) {
      Picture &p = pictures[f];
      p.format = TARSK_PIXEL_I420;
      p.width = 720;
      p.height = 576;
      storage[f].assign(static_cast<size_t>((720 + pad) * 576 * 2), 0);
      p.data[0] = storage[f].data();
      p.data[1] = p.data[0] + (720 + pad) * 576;
      p.data[2] = p.data[1] + (360 + pad) * 288;
      p.stride[0] = 720 + pad;
      p.stride[1] = p.stride[2] = 360 + pad;
    }
    size_t received = 0;
    auto take = [&] {
      tarsk_picture *got = nullptr;
      tarsk_picture_damage damage{};
      EXPECT_EQ(tarsk_decode_receive(d.d, &got, &damage), TARSK_OK);
      EXPECT_EQ(got, &pictures[received]);
      damaged.push_back(damage.concealed_macroblocks);
      ++received;
    };
    for (size_t f = 0; f < frames.size(); ++f) {
      if (!pipeline) {
        tarsk_picture_damage damage{};
        EXPECT_EQ(tarsk_decode_video(d.d, frames[f].data(), frames[f].size(), &pictures[f], &damage),
                  TARSK_OK);
        damaged.push_back(damage.concealed_macroblocks);
        continue;
      }
      int sent;
      while ((sent = tarsk_decode_send(d.d, frames[f].data(), frames[f].size(), &pictures[f])) ==
             TARSK_E_AGAIN)
        take();
      EXPECT_EQ(sent, TARSK_OK);
    }
    while (received < frames.size() && pipeline) take();
    tarsk_picture_damage none;
    EXPECT_EQ(tarsk_decode_receive(d.d, nullptr, &none), TARSK_E_AGAIN);
    for (const Picture &p : pictures) {
      Bytes all;
      for (int plane = 0; plane < 3; ++plane) {
        const Bytes b = p.plane(plane);
        all.insert(all.end(), b.begin(), b.end());
      }
      out.push_back(all);
    }
    return std::pair{out, damaged};
  };
  const auto one = decode_all(1, false, 0);
  EXPECT_EQ(one.second[0], 0);
  EXPECT_GE(one.second[1], 27 * 5) << "a flagged sequence is 135 damaged macroblocks";
  EXPECT_NE(one.first[1], one.first[0]);
  for (auto [threads, pipeline, pad] : {std::tuple{1, false, 100}, {2, false, 0}, {3, false, 36},
                                        {2, true, 0}, {3, true, 20}}) {
    SCOPED_TRACE(std::to_string(threads) + (pipeline ? " frame threads" : " threads") + " pad " +
                 std::to_string(pad));
    const auto other = decode_all(threads, pipeline, pad);
    EXPECT_EQ(other.second, one.second);
    EXPECT_TRUE(other.first == one.first);
  }
}

// Concealment: a frame's damaged macroblocks show the previous picture's;
// off, they are decoded from their bits as dv.h does and only counted.
TEST(CApi, ConcealmentCoversDamageWithThePreviousPicture) {
  for (const char *name : {"ntsc411", "pal420_interlaced"}) {
    SCOPED_TRACE(name);
    Bytes stream = conformance(name);
    const size_t second = split_frames(stream)[0].size();
    flag_sequence(stream, second, 2);
    const auto frames = split_frames(stream);
    const int height = second == 144000 ? 576 : 480;
    const bool is411 = std::string(name) == "ntsc411";
    const auto specified =
        planes_of_yuy2(specified_picture(frames[1], e_dv_color_yuv), height, is411 ? 2 : 1, !is411);
    for (int conceal : {0, 1}) {
      tarsk_decoder_settings s = Decoder::defaults();
      s.reconstruction = TARSK_RECONSTRUCTION_SPECIFIED;
      s.conceal = conceal;
      Decoder d(s);
      Picture first, second_picture;  // native planes
      tarsk_picture_damage damage{};
      ASSERT_EQ(tarsk_decode_video(d.d, frames[0].data(), frames[0].size(), &first, &damage), 0);
      ASSERT_EQ(
          tarsk_decode_video(d.d, frames[1].data(), frames[1].size(), &second_picture, &damage), 0);
      EXPECT_EQ(damage.damaged_macroblocks, 135);
      EXPECT_EQ(damage.concealed_macroblocks, conceal ? 135 : 0);
      // Every plane: off, the bits decoded as dv.h decodes them; on, where
      // a sample is not dv.h's it is the previous picture's (and some are).
      for (int p = 0; p < 3; ++p) {
        const Bytes got = second_picture.plane(p), before = first.plane(p);
        const Bytes &want = specified[static_cast<size_t>(p)];
        if (!conceal) {
          EXPECT_EQ(got, want) << "plane " << p;
          continue;
        }
        size_t covered = 0;
        for (size_t i = 0; i < got.size(); ++i) {
          if (got[i] == want[i]) continue;
          ASSERT_EQ(got[i], before[i]) << "plane " << p << " sample " << i;
          ++covered;
        }
        EXPECT_GT(covered, 0u) << "plane " << p;
      }
    }
  }
}

TEST(CApi, SoundAndFrameInformationAreDvhs) {
  for (const char *name : files) {
    SCOPED_TRACE(name);
    const Bytes stream = conformance(name);
    Decoder d;
    dv_decoder_t *dv = dv_decoder_new(0, 0, 0);
    dv_set_error_log(dv, nullptr);
    for (auto frame : split_frames(stream)) {
      tarsk_frame_info info;
      ASSERT_EQ(tarsk_decode_info(d.d, frame.data(), frame.size(), &info), TARSK_OK);
      ASSERT_GE(dv_parse_header(dv, frame.data()), 0);
      dv_parse_packs(dv, frame.data());
      EXPECT_EQ(info.system == TARSK_SYSTEM_625_50, dv->system == e_dv_system_625_50);
      EXPECT_EQ(info.sampling == TARSK_SAMPLING_411, dv->sampling == e_dv_sample_411);
      EXPECT_EQ(info.height, dv->height);
      EXPECT_EQ(info.wide, dv_format_wide(dv) == 1);
      int t[4];
      ASSERT_EQ(info.has_timecode, dv_get_timestamp_int(dv, t));
      if (info.has_timecode) {
        EXPECT_EQ((std::array{info.timecode.hours, info.timecode.minutes, info.timecode.seconds,
                              info.timecode.frames}),
                  (std::array{t[0], t[1], t[2], t[3]}));
      }
      char text[40];
      ASSERT_EQ(info.has_recording_date, dv_get_recording_datetime(dv, text));
      if (info.has_recording_date) {
        char mine[40];
        const tarsk_datetime &r = info.recording_date;
        std::snprintf(mine, sizeof mine, "%04d-%02d-%02d %02d:%02d:%02d", r.year, r.month, r.day,
                      r.hour, r.minute, r.second);
        EXPECT_STREQ(mine, text);
      }
      std::vector<int16_t> channels[4];
      int16_t *pointers[4];
      for (int c = 0; c < 4; ++c) pointers[c] = (channels[c] = std::vector<int16_t>(1944)).data();
      ASSERT_EQ(dv_decode_full_audio(dv, frame.data(), pointers), 1);
      EXPECT_EQ(info.audio_rate, dv->audio->frequency);
      EXPECT_EQ(info.audio_samples, dv->audio->samples_this_frame);
      std::vector<int16_t> samples(TARSK_AUDIO_MAX_FRAMES * 4);
      tarsk_audio audio;
      ASSERT_EQ(tarsk_decode_audio(d.d, frame.data(), frame.size(), samples.data(), samples.size(),
                                   &audio),
                TARSK_OK);
      ASSERT_EQ(audio.frames, dv->audio->samples_this_frame);
      EXPECT_EQ(audio.channels, dv->audio->quantization == 12 ? 4 : 2);
      for (int i = 0; i < audio.frames; ++i)
        for (int c = 0; c < audio.channels; ++c)
          ASSERT_EQ(samples[static_cast<size_t>(i * audio.channels + c)],
                    channels[c][static_cast<size_t>(i)]);
      EXPECT_EQ(tarsk_decode_audio(d.d, frame.data(), frame.size(), samples.data(),
                                   static_cast<size_t>(audio.frames * audio.channels - 1), &audio),
                TARSK_E_BAD_BUFFER);
    }
    dv_decoder_free(dv);
  }
}

// tarsk_decode_frame gives in one call what the separate calls give, a frame
// whose sound cannot be decoded its picture all the same.
TEST(CApi, OneCallGivesWhatTheSeparateCallsGive) {
  for (const char *name : files) {
    SCOPED_TRACE(name);
    Bytes stream = conformance(name);
    const size_t size = split_frames(stream)[0].size();
    flag_sequence(stream, size, 1);
    // The third frame's AAUX source packs gone: no sound to decode.
    for (size_t at = 2 * size; at < std::min(3 * size, stream.size()); at += 80)
      if (tarsk::dif::section_of(&stream[at]) == tarsk::dif::Section::audio) stream[at + 3] = 0xff;
    Decoder one, separate;
    std::vector<int16_t> a(TARSK_AUDIO_MAX_FRAMES * 4), b(a.size());
    for (auto frame : split_frames(stream)) {
      tarsk_frame_info info_one, info_separate;
      tarsk_picture_damage damage_one, damage_separate;
      tarsk_audio audio_one, audio_separate{};
      Picture p_one, p_separate;
      const int got = tarsk_decode_frame(one.d, frame.data(), frame.size(), &info_one, &p_one,
                                         &damage_one, a.data(), a.size(), &audio_one);
      ASSERT_EQ(tarsk_decode_info(separate.d, frame.data(), frame.size(), &info_separate), 0);
      ASSERT_EQ(tarsk_decode_video(separate.d, frame.data(), frame.size(), &p_separate,
                                   &damage_separate),
                0);
      const int sound = tarsk_decode_audio(separate.d, frame.data(), frame.size(), b.data(),
                                           b.size(), &audio_separate);
      EXPECT_EQ(got, sound == TARSK_E_NO_AUDIO && info_separate.audio_rate > 0 ? sound : 0);
      EXPECT_EQ(std::memcmp(&info_one, &info_separate, sizeof info_one), 0);
      // The third frame has no sound, whatever the frames before it had.
      EXPECT_EQ(info_one.audio_rate == 0, frame.data() == stream.data() + 2 * size);
      EXPECT_EQ(damage_one.damaged_macroblocks, damage_separate.damaged_macroblocks);
      EXPECT_EQ(damage_one.concealed_macroblocks, damage_separate.concealed_macroblocks);
      for (int plane = 0; plane < 3; ++plane) EXPECT_EQ(p_one.plane(plane), p_separate.plane(plane));
      if (sound == TARSK_OK) {
        EXPECT_EQ(std::memcmp(&audio_one, &audio_separate, sizeof audio_one), 0);
        EXPECT_TRUE(std::equal(a.begin(), a.begin() + audio_one.frames * audio_one.channels,
                               b.begin()));
      }
    }
  }
}

// Where a stream's packs are wrong the settings say what to take it for:
// another sampling rate and word length than the AAUX source pack's.
TEST(CApi, SettingsOverrideTheSoundThePacksSay) {
  const Bytes stream = conformance("pal420_interlaced");
  const auto frame = split_frames(stream)[0];
  struct Row {
    int rate, bits;
    int want_rate, want_bits, want_channels;
  };
  for (const Row r : {Row{0, 0, 48000, 16, 2}, Row{32000, 0, 32000, 16, 2},
                      Row{44100, 12, 44100, 12, 4}}) {
    tarsk_decoder_settings s = Decoder::defaults();
    s.audio_rate = r.rate;
    s.audio_bits = r.bits;
    Decoder d(s);
    tarsk_frame_info info;
    ASSERT_EQ(tarsk_decode_info(d.d, frame.data(), frame.size(), &info), TARSK_OK);
    EXPECT_EQ(info.audio_rate, r.want_rate);
    EXPECT_EQ(info.audio_bits, r.want_bits);
    EXPECT_EQ(info.audio_channels, r.want_channels);
  }
  tarsk_decoder_settings bad = Decoder::defaults();
  bad.audio_rate = 22050;
  tarsk_decoder *none = nullptr;
  EXPECT_EQ(tarsk_decoder_open(&none, &bad), TARSK_E_BAD_SETTINGS);
}

// dv.h's macroblock writers clamp as the first dv.h decoder or encoder of
// the process asked; tarsk.h contexts made before it, with clamps of their
// own, leave that choice alone. Run in a fresh process of its own.
TEST(CApi, ContextsLeaveDvhsWriterChoiceAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto body = [] {
    tarsk_decoder_settings s;
    tarsk_decoder_default_settings(&s);
    s.clamp_luma = s.clamp_chroma = 1;
    tarsk_decoder *d = nullptr;
    if (tarsk_decoder_open(&d, &s) != TARSK_OK) std::exit(2);
    dv_decoder_free(dv_decoder_new(0, 0, 0));  // dv_init(0, 0): no clamps
    dv_macroblock_t mb{};
    for (dv_block_t &b : mb.b) std::fill(std::begin(b.coeffs), std::end(b.coeffs), 120);
    uint8_t pixels[16 * 1440] = {};
    uint8_t *planes[1] = {pixels};
    int pitches[1] = {1440};
    dv_mb420_YUY2(&mb, planes, pitches);
    // Luma 120 + 128 = 248, unclamped; the contexts' clamp would give 235.
    std::exit(pixels[0] == 248 && pixels[1] == 248 ? 0 : 1);
  };
  EXPECT_EXIT(body(), testing::ExitedWithCode(0), "");
}

// The accurate reconstruction, the default, gives a flat picture back at
// its own level.
TEST(CApi, AccurateReconstructionKeepsFlatLevels) {
  for (int level : {50, 128, 200}) {
    tarsk_encoder_settings es;
    tarsk_encoder_default_settings(&es);
    tarsk_encoder *e = nullptr;
    ASSERT_EQ(tarsk_encoder_open(&e, &es), TARSK_OK);
    Picture source;
    ASSERT_EQ(tarsk_picture_alloc(&source, TARSK_PIXEL_I420, 720, 576), TARSK_OK);
    std::fill_n(source.data[0], 720 * 576, static_cast<uint8_t>(level));
    std::fill_n(source.data[1], 360 * 288 * 2, uint8_t{128});
    Bytes frame(144000);
    ASSERT_EQ(tarsk_encode_video(e, &source, frame.data(), frame.size()), TARSK_OK);
    tarsk_encoder_close(&e);
    for (int reconstruction : {-1, int{TARSK_RECONSTRUCTION_ACCURATE}}) {
      tarsk_decoder_settings s = Decoder::defaults();
      if (reconstruction >= 0) s.reconstruction = reconstruction;
      Decoder d(s);
      Picture p;
      ASSERT_EQ(tarsk_decode_video(d.d, frame.data(), frame.size(), &p, nullptr), TARSK_OK);
      const Bytes luma = p.plane(0);
      const bool exact = std::all_of(luma.begin(), luma.end(), [&](uint8_t v) { return v == level; });
      EXPECT_TRUE(exact) << "level " << level << " reconstruction " << reconstruction;
    }
  }
}

// The drop-frame flag of a 525/60 time code pack, and no such flag in 625/50.
TEST(CApi, TimecodeSaysWhetherItDropsFrames) {
  for (const char *name : {"ntsc411", "pal411"}) {
    Bytes stream = conformance(name);
    Bytes frame(stream.begin(), stream.begin() + (std::string(name) == "ntsc411" ? 120000 : 144000));
    // Bit 6 of the first data byte of every time code pack of the subcode.
    int set = 0;
    for (size_t at = 0; at + 80 <= frame.size(); at += 80)
      if (tarsk::dif::section_of(&frame[at]) == tarsk::dif::Section::subcode)
        for (int p = 0; p < 6; ++p)
          if (frame[at + 3 + 8 * p + 3] == 0x13) frame[at + 3 + 8 * p + 4] |= 0x40, ++set;
    ASSERT_GT(set, 0);
    Decoder d;
    tarsk_frame_info info;
    ASSERT_EQ(tarsk_decode_info(d.d, frame.data(), frame.size(), &info), TARSK_OK);
    ASSERT_TRUE(info.has_timecode);
    EXPECT_EQ(info.timecode.drop_frame, std::string(name) == "ntsc411");
  }
}

TEST(CApi, RefusesWhatItCannotDo) {
  const Bytes pal = conformance("pal420_interlaced"), ntsc = conformance("ntsc411");
  const uint8_t *frame = pal.data();
  Decoder d;
  Picture p;
  tarsk_frame_info info;
  const Bytes text(144000, 'x');
  Bytes one_sequence_lost(pal.begin(), pal.begin() + 144000);
  one_sequence_lost[tarsk::dif::block_offset(4, 0)] = 0x9f;  // sequence 4's header now a video block
  struct Case {
    const char *what;
    int got, want;
  };
  Picture i420_for_411, small, narrow;
  i420_for_411.format = TARSK_PIXEL_I420;
  ASSERT_EQ(tarsk_picture_alloc(&small, TARSK_PIXEL_YUY2, 720, 480), TARSK_OK);
  ASSERT_EQ(tarsk_picture_alloc(&narrow, TARSK_PIXEL_I420, 720, 576), TARSK_OK);
  narrow.stride[1] = 300;
  tarsk_decoder_settings bad = Decoder::defaults();
  bad.threads = 0;
  tarsk_decoder *none = nullptr;
  const Case cases[] = {
      {"null frame", tarsk_decode_video(d.d, nullptr, 144000, &p, nullptr), TARSK_E_BAD_CALL},
      {"null decoder", tarsk_decode_info(nullptr, frame, 144000, &info), TARSK_E_BAD_CALL},
      {"short frame", tarsk_decode_info(d.d, frame, 143920, &info), TARSK_E_BAD_FRAME},
      {"text", tarsk_decode_video(d.d, text.data(), 144000, &p, nullptr), TARSK_E_NOT_DV},
      {"a sequence without header", tarsk_decode_info(d.d, one_sequence_lost.data(), 144000, &info),
       TARSK_E_BAD_FRAME},
      {"I420 of a 4:1:1 frame", tarsk_decode_video(d.d, ntsc.data(), 120000, &i420_for_411, nullptr),
       TARSK_E_BAD_PICTURE},
      {"a picture of another size", tarsk_decode_video(d.d, frame, 144000, &small, nullptr),
       TARSK_E_BAD_PICTURE},
      {"a chroma stride short of a line", tarsk_decode_video(d.d, frame, 144000, &narrow, nullptr),
       TARSK_E_BAD_BUFFER},
      {"no threads", tarsk_decoder_open(&none, &bad), TARSK_E_BAD_SETTINGS},
      {"receive before send", tarsk_decode_receive(d.d, nullptr, nullptr), TARSK_E_AGAIN},
      {"alloc of no layout", tarsk_picture_alloc(&p, TARSK_PIXEL_NATIVE, 720, 576),
       TARSK_E_BAD_PICTURE},
      {"alloc of an odd width", tarsk_picture_alloc(&p, TARSK_PIXEL_I422, 718, 576),
       TARSK_E_BAD_PICTURE},
  };
  for (const Case &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(i420_for_411.data[0] == nullptr, false) << "planes given even when refused";
}

// The reader against the file itself: fed in pieces of every size, an
// undamaged stream comes out as its own frames, then the end.
TEST(CApi, ReaderHandsOutTheStreamsFrames) {
  const Bytes stream = conformance("ntsc411");
  std::mt19937 random(7);
  for (size_t most : {size_t{1}, size_t{79}, size_t{4096}, size_t{1} << 20}) {
    tarsk_reader *r = nullptr;
    ASSERT_EQ(tarsk_reader_open(&r), TARSK_OK);
    std::vector<Bytes> frames;
    tarsk_frame f;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(stream.size() - at, 1 + random() % most);
      ASSERT_EQ(tarsk_reader_push(r, stream.data() + at, n), TARSK_OK);
      at += n;
      int got;
      while ((got = tarsk_reader_next(r, &f)) == TARSK_OK) frames.emplace_back(f.data, f.data + f.size);
      ASSERT_EQ(got, TARSK_E_AGAIN);
    }
    ASSERT_EQ(tarsk_reader_finish(r), TARSK_OK);
    while (tarsk_reader_next(r, &f) == TARSK_OK) {
      EXPECT_EQ(f.index, frames.size());
      EXPECT_EQ(f.offset, frames.size() * 120000);
      EXPECT_EQ(f.missing_blocks, 0);
      frames.emplace_back(f.data, f.data + f.size);
    }
    EXPECT_EQ(tarsk_reader_next(r, &f), TARSK_E_END);
    EXPECT_EQ(tarsk_reader_bytes_in(r), stream.size());
    EXPECT_EQ(tarsk_reader_bytes_skipped(r), 0u);
    EXPECT_EQ(tarsk_reader_push(r, stream.data(), 1), TARSK_E_BAD_CALL) << "after finish";
    tarsk_reader_close(&r);
    EXPECT_EQ(r, nullptr);
    const auto want = split_frames(stream);
    ASSERT_EQ(frames.size(), want.size()) << "pieces of up to " << most;
    for (size_t i = 0; i < frames.size(); ++i)
      EXPECT_TRUE(std::equal(frames[i].begin(), frames[i].end(), want[i].begin(), want[i].end()));
  }
  tarsk_reader *r = nullptr;
  ASSERT_EQ(tarsk_reader_open(&r), TARSK_OK);
  const Bytes text(5000, 'x');
  tarsk_frame f;
  ASSERT_EQ(tarsk_reader_push(r, text.data(), text.size()), TARSK_OK);
  ASSERT_EQ(tarsk_reader_finish(r), TARSK_OK);
  EXPECT_EQ(tarsk_reader_next(r, &f), TARSK_E_NOT_DV);
  tarsk_reader_close(&r);
}

// A picture of each system through the encoder: at the standard quality its
// video blocks are dv.h's encoder's for the same 4:2:2 picture, whatever
// the layout it came in and the threads; at the best quality it decodes
// close to the source, the same on any number of threads.
TEST(CApi, EncoderMakesDvhsFramesFromEveryLayout) {
  for (const char *name : {"pal420_interlaced", "ntsc411"}) {
    SCOPED_TRACE(name);
    const Bytes stream = conformance(name);
    const auto frame = split_frames(stream)[0];
    const bool pal = frame.size() == 144000;
    const int height = pal ? 576 : 480;
    const Bytes yuy2 = specified_picture(frame, e_dv_color_yuv);
    // dv.h's encoder on the YUY2 picture.
    dv_encoder_t *enc = dv_encoder_new(0, 0, 0);
    enc->isPAL = pal;
    enc->vlc_encode_passes = 3;
    enc->force_dct = -1;
    Bytes want(frame.size());
    uint8_t *in[1] = {const_cast<uint8_t *>(yuy2.data())};
    ASSERT_EQ(dv_encode_full_frame(enc, in, e_dv_color_yuv, want.data()), 0);
    dv_encoder_free(enc);
    auto video_blocks = [](const Bytes &f) {
      Bytes v;
      for (size_t at = 0; at < f.size(); at += 80)
        if (tarsk::dif::section_of(&f[at]) == tarsk::dif::Section::video)
          v.insert(v.end(), f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(at) + 80);
      return v;
    };
    const auto planes = planes_of_yuy2(yuy2, height, 1, 0);
    const auto native_planes = planes_of_yuy2(yuy2, height, pal ? 1 : 2, pal ? 1 : 0);
    for (auto [format, threads, quality] :
         {std::tuple{TARSK_PIXEL_I422, 1, TARSK_QUALITY_STANDARD},
          {pal ? TARSK_PIXEL_I420 : TARSK_PIXEL_Y41B, 1, TARSK_QUALITY_STANDARD},
          {TARSK_PIXEL_I422, 2, TARSK_QUALITY_STANDARD},
          {TARSK_PIXEL_I422, 1, TARSK_QUALITY_BEST},
          {TARSK_PIXEL_I422, 3, TARSK_QUALITY_BEST}}) {
      SCOPED_TRACE(std::to_string(format) + " " + std::to_string(threads) + " " +
                   std::to_string(quality));
      tarsk_encoder_settings s;
      tarsk_encoder_default_settings(&s);
      s.system = pal ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
      s.threads = threads;
      s.quality = quality;
      s.has_date = 1;
      s.date = 1700000000;
      // dv.h's decoder gives both lines of each 4:2:0 pair the same chroma:
      // the picture is taken as progressive, its chroma between the lines.
      s.progressive = 1;
      tarsk_encoder *e = nullptr;
      ASSERT_EQ(tarsk_encoder_open(&e, &s), TARSK_OK);
      ASSERT_EQ(tarsk_encoder_frame_bytes(e), frame.size());
      const auto &p = format == TARSK_PIXEL_I422 ? planes : native_planes;
      tarsk_picture picture{};
      picture.format = format;
      picture.width = 720;
      picture.height = height;
      for (int i = 0; i < 3; ++i) {
        picture.data[i] = const_cast<uint8_t *>(p[static_cast<size_t>(i)].data());
        picture.stride[i] = static_cast<ptrdiff_t>(p[static_cast<size_t>(i)].size()) /
                            (i > 0 && format == TARSK_PIXEL_I420 ? height / 2 : height);
      }
      Bytes got(frame.size());
      ASSERT_EQ(tarsk_encode_video(e, &picture, got.data(), got.size()), TARSK_OK);
      EXPECT_EQ(tarsk_encoder_frames(e), 1u);
      if (quality == TARSK_QUALITY_STANDARD) {
        const Bytes a = video_blocks(got), b = video_blocks(want);
        EXPECT_EQ(a.size(), b.size());
        const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
        EXPECT_TRUE(at.first == a.end()) << "first difference at byte " << (at.first - a.begin());
      } else {
        const Bytes back = specified_picture(got, e_dv_color_yuv);
        EXPECT_GT(psnr(back, yuy2), 40.0);
      }
      const int rate_frames = tarsk_encoder_audio_frames(e, 48000, 0);
      EXPECT_EQ(rate_frames, pal ? 1920 : 1600);
      std::vector<int16_t> tone(static_cast<size_t>(2 * rate_frames));
      for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>((i * 997) % 20000);
      ASSERT_EQ(tarsk_encode_audio(e, tone.data(), rate_frames, 48000, got.data(), got.size()),
                TARSK_OK);
      Decoder d;
      std::vector<int16_t> back(TARSK_AUDIO_MAX_FRAMES * 4);
      tarsk_audio audio;
      ASSERT_EQ(tarsk_decode_audio(d.d, got.data(), got.size(), back.data(), back.size(), &audio),
                TARSK_OK);
      back.resize(static_cast<size_t>(audio.frames * 2));
      EXPECT_EQ(back, tone);
      tarsk_encoder_close(&e);
    }
  }
}

// 625/50 4:1:1 asked for makes SMPTE 314M frames that our decoder takes for
// what they are (4:1:1, 314M, sound at that standard's normal speed) and
// decodes near the pictures they came from: ffmpeg's 625/50 4:1:1 pictures,
// given as Y41B or as I422 brought down, on one thread or two, at either
// quality. 4:2:0 asked for in 625/50 and 4:1:1 in 525/60 are the systems'
// own: the frames of the default, byte for byte.
TEST(CApi, EncoderMakes625Line411Frames) {
  const Bytes stream = conformance("pal411");
  const auto frame = split_frames(stream)[0];
  Decoder source_decoder;
  Picture y41b, i422;
  ASSERT_EQ(tarsk_decode_video(source_decoder.d, frame.data(), frame.size(), &y41b, nullptr),
            TARSK_OK);
  ASSERT_EQ(y41b.format, TARSK_PIXEL_Y41B);
  i422.format = TARSK_PIXEL_I422;
  ASSERT_EQ(tarsk_decode_video(source_decoder.d, frame.data(), frame.size(), &i422, nullptr),
            TARSK_OK);
  auto encode = [](const tarsk_encoder_settings &s, const tarsk_picture &picture, Bytes &out) {
    tarsk_encoder *e = nullptr;
    const int opened = tarsk_encoder_open(&e, &s);
    if (opened != TARSK_OK) return opened;
    out.assign(tarsk_encoder_frame_bytes(e), 0);
    const int made = tarsk_encode_video(e, &picture, out.data(), out.size());
    tarsk_encoder_close(&e);
    return made;
  };
  tarsk_encoder_settings base;
  tarsk_encoder_default_settings(&base);
  EXPECT_EQ(base.sampling, TARSK_ENCODE_SAMPLING_SYSTEM);
  base.has_date = 1;
  base.date = 1700000000;

  struct Row {
    const char *name;
    const tarsk_picture *picture;
    int threads, quality;
    // dB against the Y41B source, a dB or two under the measured (the source
    // is a decoded DV picture, which DV keeps nearly as it is)
    double luma_floor, chroma_floor;
  };
  Bytes one_thread;
  for (const Row r : {Row{"Y41B", &y41b, 1, TARSK_QUALITY_STANDARD, 49.5, 47},
                      Row{"Y41B on two threads", &y41b, 2, TARSK_QUALITY_STANDARD, 49.5, 47},
                      Row{"I422", &i422, 1, TARSK_QUALITY_STANDARD, 49.5, 47},
                      Row{"Y41B best", &y41b, 1, TARSK_QUALITY_BEST, 62, 72}}) {
    SCOPED_TRACE(r.name);
    tarsk_encoder_settings s = base;
    s.sampling = TARSK_ENCODE_SAMPLING_411;
    s.threads = r.threads;
    s.quality = r.quality;
    Bytes got;
    ASSERT_EQ(encode(s, *r.picture, got), TARSK_OK);
    ASSERT_EQ(got.size(), size_t{TARSK_FRAME_BYTES_625_50});
    if (r.threads > 1) {
      EXPECT_EQ(got, one_thread) << "threads change the frame";
    } else if (r.quality == TARSK_QUALITY_STANDARD && r.picture == &y41b) {
      one_thread = got;
    }

    Decoder d;
    tarsk_frame_info info;
    ASSERT_EQ(tarsk_decode_info(d.d, got.data(), got.size(), &info), TARSK_OK);
    EXPECT_EQ(info.system, TARSK_SYSTEM_625_50);
    EXPECT_EQ(info.sampling, TARSK_SAMPLING_411);
    EXPECT_EQ(info.smpte_314m, 1);
    Picture back;
    ASSERT_EQ(tarsk_decode_video(d.d, got.data(), got.size(), &back, nullptr), TARSK_OK);
    ASSERT_EQ(back.format, TARSK_PIXEL_Y41B);
    const double luma = psnr(y41b.plane(0), back.plane(0));
    const double chroma =
        std::min(psnr(y41b.plane(1), back.plane(1)), psnr(y41b.plane(2), back.plane(2)));
    EXPECT_GE(luma, r.luma_floor);
    EXPECT_GE(chroma, r.chroma_floor);
    std::printf("[ measured ] %s: Y %.2f dB, Cb/Cr %.2f dB\n", r.name, luma, chroma);

    // Sound goes in and comes back out: our decoder takes it only at the
    // normal speed code of the frame's own standard.
    tarsk_encoder *e = nullptr;
    ASSERT_EQ(tarsk_encoder_open(&e, &s), TARSK_OK);
    std::vector<int16_t> tone(2 * 1920);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>((i * 911) % 30000);
    ASSERT_EQ(tarsk_encode_audio(e, tone.data(), 1920, 48000, got.data(), got.size()), TARSK_OK);
    tarsk_encoder_close(&e);
    std::vector<int16_t> heard(TARSK_AUDIO_MAX_FRAMES * 4);
    tarsk_audio audio;
    ASSERT_EQ(tarsk_decode_audio(d.d, got.data(), got.size(), heard.data(), heard.size(), &audio),
              TARSK_OK);
    heard.resize(static_cast<size_t>(2 * audio.frames));
    EXPECT_EQ(heard, tone);
  }

  struct Same {
    tarsk_system system;
    int sampling;
  };
  for (const Same same : {Same{TARSK_SYSTEM_625_50, TARSK_ENCODE_SAMPLING_420},
                          Same{TARSK_SYSTEM_525_60, TARSK_ENCODE_SAMPLING_411}}) {
    SCOPED_TRACE(same.system);
    const bool pal = same.system == TARSK_SYSTEM_625_50;
    Picture picture;
    ASSERT_EQ(tarsk_picture_alloc(&picture, TARSK_PIXEL_I422, 720, pal ? 576 : 480), TARSK_OK);
    for (int p = 0; p < 3; ++p)
      for (int l = 0; l < picture.height; ++l)
        for (int x = 0; x < (p ? 360 : 720); ++x)
          picture.data[p][l * picture.stride[p] + x] =
              static_cast<uint8_t>(40 + (x * 7 + l * 3 + p * 50) % 180);
    tarsk_encoder_settings s = base;
    s.system = same.system;
    Bytes by_default, asked;
    ASSERT_EQ(encode(s, picture, by_default), TARSK_OK);
    s.sampling = same.sampling;
    ASSERT_EQ(encode(s, picture, asked), TARSK_OK);
    EXPECT_EQ(asked, by_default);
    Decoder d;
    tarsk_frame_info info;
    ASSERT_EQ(tarsk_decode_info(d.d, asked.data(), asked.size(), &info), TARSK_OK);
    EXPECT_EQ(info.sampling, pal ? TARSK_SAMPLING_420 : TARSK_SAMPLING_411);
    EXPECT_EQ(info.smpte_314m, 0);
  }
}

// Frame threads hand back, in the order the pictures went in, the frames
// that one thread makes of them with tarsk_encode_video, sound and all:
// each frame's time code, recording date and counters follow its own
// number across the hour and the second that frames in flight straddle. A
// picture that send refuses takes no number: the frames after it are those
// of the pictures without it.
TEST(CApi, FrameThreadsGiveTheOneThreadFrames) {
  constexpr size_t count = 27;  // past frame 25, where the recording clock moves on
  std::vector<Picture> pictures(count);
  for (int f = 0; f < static_cast<int>(count); ++f) {
    Picture &picture = pictures[static_cast<size_t>(f)];
    ASSERT_EQ(tarsk_picture_alloc(&picture, TARSK_PIXEL_I420, 720, 576), TARSK_OK);
    for (int p = 0; p < 3; ++p)
      for (int l = 0; l < (p ? 288 : 576); ++l)
        for (int x = 0; x < (p ? 360 : 720); ++x)
          picture.data[p][l * picture.stride[p] + x] =
              static_cast<uint8_t>(40 + (x * 7 + l * 3 + p * 50 + f * 13 + ((x * l) ^ f)) % 180);
  }
  tarsk_encoder_settings base;
  tarsk_encoder_default_settings(&base);
  base.timecode = 3599 * 25 + 20;  // 00:59:59:20
  base.has_date = 1;
  base.date = 1700000039;
  // Frame k's sound, different in every frame.
  auto add_sound = [](tarsk_encoder *e, uint64_t k, Bytes &frame) {
    const int n = tarsk_encoder_audio_frames(e, 48000, k);
    std::vector<int16_t> tone(static_cast<size_t>(2 * n));
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>((i * 997 + k) % 20000);
    ASSERT_EQ(tarsk_encode_audio(e, tone.data(), n, 48000, frame.data(), frame.size()), TARSK_OK);
  };
  auto one_thread = [&](int quality, size_t frames) {
    tarsk_encoder_settings s = base;
    s.quality = quality;
    tarsk_encoder *e = nullptr;
    EXPECT_EQ(tarsk_encoder_open(&e, &s), TARSK_OK);
    std::vector<Bytes> want(frames, Bytes(TARSK_FRAME_BYTES_625_50));
    for (size_t k = 0; k < frames; ++k) {
      EXPECT_EQ(tarsk_encode_video(e, &pictures[k], want[k].data(), want[k].size()), TARSK_OK);
      add_sound(e, k, want[k]);
    }
    tarsk_encoder_close(&e);
    return want;
  };
  const std::vector<Bytes> standard = one_thread(TARSK_QUALITY_STANDARD, count),
                           best = one_thread(TARSK_QUALITY_BEST, 5);
  // What the one-thread frames say of themselves.
  Decoder d;
  auto info_of = [&](const Bytes &frame) {
    tarsk_frame_info info{};
    EXPECT_EQ(tarsk_decode_info(d.d, frame.data(), frame.size(), &info), TARSK_OK);
    return info;
  };
  EXPECT_EQ(info_of(standard[4]).timecode.hours, 0);
  EXPECT_EQ(info_of(standard[5]).timecode.hours, 1);
  EXPECT_EQ(info_of(standard[24]).recording_date.second,
            info_of(standard[0]).recording_date.second);
  EXPECT_NE(info_of(standard[25]).recording_date.second,
            info_of(standard[0]).recording_date.second);

  struct Row {
    int threads, quality;
    size_t frames;          // the first of the pictures; more than are in flight at once
    size_t refused_before;  // the picture before which a bad one is sent
  };
  for (const Row r :
       {Row{1, TARSK_QUALITY_STANDARD, count, 7}, Row{2, TARSK_QUALITY_STANDARD, 10, 0},
        Row{3, TARSK_QUALITY_STANDARD, 9, 8}, Row{2, TARSK_QUALITY_BEST, 5, 3}}) {
    const std::vector<Bytes> &want = r.quality == TARSK_QUALITY_BEST ? best : standard;
    SCOPED_TRACE(std::to_string(r.threads) + " threads, quality " + std::to_string(r.quality));
    tarsk_encoder_settings s = base;
    s.threads = r.threads;
    s.quality = r.quality;
    tarsk_encoder *e = nullptr;
    ASSERT_EQ(tarsk_encoder_open(&e, &s), TARSK_OK);
    const size_t frames = r.frames;
    std::vector<Bytes> got(frames, Bytes(TARSK_FRAME_BYTES_625_50));
    Picture bad;
    ASSERT_EQ(tarsk_picture_alloc(&bad, TARSK_PIXEL_Y41B, 720, 576), TARSK_OK);
    size_t sent = 0, received = 0;
    const auto in_flight = static_cast<size_t>(TARSK_FRAMES_PER_THREAD * r.threads);
    while (received < frames) {
      if (sent < frames) {
        if (sent == r.refused_before) {
          EXPECT_EQ(tarsk_encode_send(e, &bad, got[sent].data(), got[sent].size()),
                    TARSK_E_BAD_PICTURE);
          EXPECT_EQ(tarsk_encode_send(e, &pictures[sent], got[sent].data(), 143999),
                    TARSK_E_BAD_BUFFER);
        }
        // The picture record may go once sent; its planes stay.
        const tarsk_picture copy = pictures[sent];
        const int result = tarsk_encode_send(e, &copy, got[sent].data(), got[sent].size());
        if (result == TARSK_OK) {
          ++sent;
          EXPECT_EQ(tarsk_encoder_frames(e), sent);
          continue;
        }
        ASSERT_EQ(result, TARSK_E_AGAIN);
        EXPECT_EQ(sent - received, in_flight);
        EXPECT_EQ(tarsk_encode_video(e, &copy, got[sent].data(), got[sent].size()),
                  TARSK_E_BAD_CALL);
      }
      uint8_t *frame = nullptr;
      uint64_t number = 99;
      ASSERT_EQ(tarsk_encode_receive(e, &frame, &number), TARSK_OK);
      EXPECT_EQ(frame, got[received].data());
      EXPECT_EQ(number, received);
      add_sound(e, number, got[received]);
      EXPECT_TRUE(got[received] == want[received]) << "frame " << received;
      ++received;
    }
    EXPECT_EQ(tarsk_encode_receive(e, nullptr, nullptr), TARSK_E_AGAIN);
    // With nothing in flight, a picture goes on the calling thread again,
    // numbered after the others.
    Bytes after(TARSK_FRAME_BYTES_625_50);
    EXPECT_EQ(tarsk_encode_video(e, &pictures[0], after.data(), after.size()), TARSK_OK);
    EXPECT_EQ(tarsk_encoder_frames(e), frames + 1);
    // Closing with frames in flight drops them and waits for the threads.
    for (size_t k = 0; k < 2; ++k)
      EXPECT_EQ(tarsk_encode_send(e, &pictures[k], got[k].data(), got[k].size()), TARSK_OK);
    tarsk_encoder_close(&e);
  }
}

// A context's messages go to its settings' log callback, from every thread
// it decodes on, and not to standard error; without one, to standard error.
TEST(CApi, MessagesGoToTheContextsCallback) {
  struct Heard {
    std::vector<std::string> messages;
    std::mutex mutex;
  };
  auto listen = [](void *user, int, const char *message) {
    auto *heard = static_cast<Heard *>(user);
    std::lock_guard<std::mutex> lock(heard->mutex);
    heard->messages.emplace_back(message);
  };
  // Frames whose AAUX source packs name a sampling rate DV does not have.
  Bytes stream = conformance("pal420_interlaced");
  int packs = 0;
  for (size_t at = 0; at + 80 <= stream.size(); at += 80)
    if (tarsk::dif::section_of(&stream[at]) == tarsk::dif::Section::audio && stream[at + 3] == 0x50)
      stream[at + 7] |= 0x38, ++packs;  // PC4's SMP field: 7
  ASSERT_GT(packs, 0);
  const auto frames = split_frames(stream);
  for (int threads : {1, 2}) {
    Heard heard;
    tarsk_decoder_settings s = Decoder::defaults();
    s.log = listen;
    s.log_user = &heard;
    s.threads = threads;
    Decoder d(s);
    std::vector<int16_t> samples(TARSK_AUDIO_MAX_FRAMES * 4);
    tarsk_audio audio;
    std::vector<Picture> pictures(frames.size());
    testing::internal::CaptureStderr();
    for (size_t f = 0; f < frames.size(); ++f) {
      EXPECT_EQ(tarsk_decode_audio(d.d, frames[f].data(), frames[f].size(), samples.data(),
                                   samples.size(), &audio),
                TARSK_E_NO_AUDIO);
      if (threads == 1) continue;
      ASSERT_EQ(tarsk_picture_alloc(&pictures[f], TARSK_PIXEL_I420, 720, 576), TARSK_OK);
      ASSERT_EQ(tarsk_decode_send(d.d, frames[f].data(), frames[f].size(), &pictures[f]), TARSK_OK);
      ASSERT_EQ(tarsk_decode_receive(d.d, nullptr, nullptr), TARSK_OK);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_GE(heard.messages.size(), frames.size()) << threads;
  }
  // Without a callback the message is said on standard error; an encoder's too.
  Decoder quiet;
  std::vector<int16_t> samples(TARSK_AUDIO_MAX_FRAMES * 4);
  tarsk_audio audio;
  testing::internal::CaptureStderr();
  tarsk_decode_audio(quiet.d, frames[0].data(), frames[0].size(), samples.data(), samples.size(),
                     &audio);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  Heard heard;
  tarsk_encoder_settings es;
  tarsk_encoder_default_settings(&es);
  es.log = listen;
  es.log_user = &heard;
  tarsk_encoder *e = nullptr;
  ASSERT_EQ(tarsk_encoder_open(&e, &es), TARSK_OK);
  Bytes frame(144000);
  std::vector<int16_t> stereo(2 * 1000);
  testing::internal::CaptureStderr();
  EXPECT_EQ(tarsk_encode_audio(e, stereo.data(), 1000, 22050, frame.data(), frame.size()),
            TARSK_E_BAD_AUDIO);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(heard.messages.size(), 1u);
  tarsk_encoder_close(&e);
}

TEST(CApi, EncoderRefusesWhatItCannotDo) {
  tarsk_encoder_settings s;
  tarsk_encoder_default_settings(&s);
  tarsk_encoder *e = nullptr;
  auto refused = [&](auto change) {
    tarsk_encoder_settings t = s;
    change(t);
    return tarsk_encoder_open(&e, &t);
  };
  EXPECT_EQ(refused([](auto &t) { t.passes = 4; }), TARSK_E_BAD_SETTINGS);
  EXPECT_EQ(refused([](auto &t) { t.threads = 0; }), TARSK_E_BAD_SETTINGS);
  EXPECT_EQ(refused([](auto &t) { t.static_qno = 3; }), TARSK_E_BAD_SETTINGS);
  EXPECT_EQ(refused([](auto &t) { t.quality = TARSK_QUALITY_BEST, t.passes = 2; }),
            TARSK_E_BAD_SETTINGS);
  EXPECT_EQ(refused([](auto &t) { t.system = static_cast<tarsk_system>(2); }),
            TARSK_E_BAD_SETTINGS);
  // 525/60 has no 4:2:0; samplings beyond the enum are none.
  EXPECT_EQ(refused([](auto &t) {
              t.system = TARSK_SYSTEM_525_60, t.sampling = TARSK_ENCODE_SAMPLING_420;
            }),
            TARSK_E_BAD_SETTINGS);
  EXPECT_EQ(refused([](auto &t) { t.sampling = 3; }), TARSK_E_BAD_SETTINGS);
  EXPECT_EQ(refused([](auto &t) { t.sampling = -1; }), TARSK_E_BAD_SETTINGS);
  // Drop-frame time code is 525/60's; the flag is 0 or 1.
  EXPECT_EQ(refused([](auto &t) { t.drop_frame = 1; }), TARSK_E_BAD_SETTINGS);
  EXPECT_EQ(refused([](auto &t) { t.system = TARSK_SYSTEM_525_60, t.drop_frame = 2; }),
            TARSK_E_BAD_SETTINGS);
  EXPECT_EQ(e, nullptr);
  ASSERT_EQ(tarsk_encoder_open(&e, &s), TARSK_OK);
  Picture y41b, i420;
  ASSERT_EQ(tarsk_picture_alloc(&y41b, TARSK_PIXEL_Y41B, 720, 576), TARSK_OK);
  ASSERT_EQ(tarsk_picture_alloc(&i420, TARSK_PIXEL_I420, 720, 576), TARSK_OK);
  Bytes frame(144000);
  EXPECT_EQ(tarsk_encode_video(e, &y41b, frame.data(), frame.size()), TARSK_E_BAD_PICTURE);
  EXPECT_EQ(tarsk_encode_video(e, &i420, frame.data(), frame.size() - 1), TARSK_E_BAD_BUFFER);
  EXPECT_EQ(tarsk_encode_video(e, &i420, frame.data(), frame.size()), TARSK_OK);
  std::vector<int16_t> too_much(2 * 1945);
  EXPECT_EQ(tarsk_encode_audio(e, too_much.data(), 1945, 48000, frame.data(), frame.size()),
            TARSK_E_BAD_AUDIO);
  EXPECT_EQ(tarsk_encode_audio(e, too_much.data(), 1920, 22050, frame.data(), frame.size()),
            TARSK_E_BAD_AUDIO);
  tarsk_encoder_close(&e);
  // A 625/50 4:1:1 encoder takes Y41B, not I420.
  s.sampling = TARSK_ENCODE_SAMPLING_411;
  ASSERT_EQ(tarsk_encoder_open(&e, &s), TARSK_OK);
  EXPECT_EQ(tarsk_encode_video(e, &i420, frame.data(), frame.size()), TARSK_E_BAD_PICTURE);
  EXPECT_EQ(tarsk_encode_video(e, &y41b, frame.data(), frame.size()), TARSK_OK);
  tarsk_encoder_close(&e);
}

}  // namespace
