// Conformance: small DV files kept in the repository (ffmpeg's, of both systems and all three
// samplings, one with 2-4-8 blocks; and our own encoder's), decoded by the C API in every colour
// space at four qualities, their sound, a damaged copy, and our encodes of their pictures, each
// held to the MD5 recorded in md5.txt. A change of any output shows here. To re-base on purpose
// (and say why in the commit): TARSK_REBASE=1 ./test_conformance writes md5.txt anew.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "common/dif.h"
#include "support/conformance.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const auto &files = conformance_files;

std::string md5(const Bytes &bytes) {
  const fs::path path = scratch_file(".bin");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), std::ssize(bytes));
  const auto run = run_command({"md5sum", path.string()});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  return run.out.substr(0, 32);
}

// Every frame's picture through dv_decode_full_frame, one after another.
Bytes decoded(const Bytes &stream, unsigned quality, dv_color_space_t space) {
  Bytes out;
  dv_decoder_t *dv = dv_decoder_new(0, 0, 0);
  dv_set_error_log(dv, nullptr);
  dv->quality = quality;
  for (auto frame : split_frames(stream)) {
    EXPECT_GE(dv_parse_header(dv, frame.data()), 0);
    const size_t pitch = 720 * (space == e_dv_color_yuv ? 2 : space == e_dv_color_rgb ? 3 : 4);
    Bytes picture(pitch * static_cast<size_t>(dv->height));
    uint8_t *pixels[1] = {picture.data()};
    int pitches[1] = {static_cast<int>(pitch)};
    dv_decode_full_frame(dv, frame.data(), space, pixels, pitches);
    out.insert(out.end(), picture.begin(), picture.end());
  }
  dv_decoder_free(dv);
  return out;
}

Bytes sound(const Bytes &stream) {
  Bytes out;
  dv_decoder_t *dv = dv_decoder_new(0, 0, 0);
  dv_set_error_log(dv, nullptr);
  for (auto frame : split_frames(stream)) {
    EXPECT_GE(dv_parse_header(dv, frame.data()), 0);
    std::vector<int16_t> channels[4];
    int16_t *pointers[4];
    for (int c = 0; c < 4; ++c) pointers[c] = (channels[c] = std::vector<int16_t>(1944)).data();
    EXPECT_EQ(dv_decode_full_audio(dv, frame.data(), pointers), 1);
    const size_t n = static_cast<size_t>(dv->audio->samples_this_frame);
    for (const auto &channel : channels)
      for (size_t i = 0; i < n; ++i)
        for (int shift : {0, 8}) out.push_back(static_cast<uint8_t>(channel[i] >> shift));
  }
  dv_decoder_free(dv);
  return out;
}

// Our encoder on the pictures of the stream (decoded as YUY2, taken as 4:2:2 planes): the
// standard and the best quality, a fixed recording date.
Bytes encoded(const Bytes &stream, tarsk_encode_quality quality) {
  Bytes out;
  const auto frames = split_frames(stream);
  const bool pal = tarsk::dif::fifty_fields_of(frames[0].data());
  tarsk::EncoderSettings settings;
  settings.system = pal ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
  settings.has_date = 1;
  settings.date = 1700000000;
  settings.quality = quality;
  tarsk::Encoder enc(settings);
  const Bytes yuy2 = decoded(stream, DV_QUALITY_BEST, e_dv_color_yuv);
  const size_t lines = pal ? 576 : 480, picture = 720 * 2 * lines;
  for (size_t f = 0; f < frames.size(); ++f) {
    Bytes y(720 * lines), cb(360 * lines), cr(360 * lines);
    for (size_t i = 0; i < 360 * lines; ++i) {
      const uint8_t *p = &yuy2[f * picture + 4 * i];
      y[2 * i] = p[0], cb[i] = p[1], y[2 * i + 1] = p[2], cr[i] = p[3];
    }
    Bytes frame(enc.frame_bytes());
    const tarsk_picture planes{TARSK_PIXEL_I422, 720, static_cast<int>(lines),
                               {y.data(), cb.data(), cr.data()}, {720, 360, 360}, nullptr};
    EXPECT_TRUE(enc.encode(planes, frame));
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}

// A damaged copy: the second frame's sequence 1 video flagged, garbage in a segment of sequence 2,
// an audio block error-coded.
Bytes damaged(Bytes b) {
  const size_t second = split_frames(b)[0].size();
  for (int k = 0; k < 27; ++k)
    b[second + tarsk::dif::segment_offset(1, k) + tarsk::dif::qno_byte] |= 0x70;
  for (size_t i = 4; i < 400; i += 7) b[second + tarsk::dif::segment_offset(2, 5) + i] ^= 0x5a;
  for (size_t i = tarsk::dif::audio_data_offset; i < tarsk::dif::block_size; i += 2)
    b[second + tarsk::dif::audio_offset(3, 1) + i] = 0x80, b[second + tarsk::dif::audio_offset(3, 1) + i + 1] = 0;
  return b;
}

std::map<std::string, std::string> outputs() {
  std::map<std::string, std::string> got;
  for (const char *name : files) {
    const Bytes stream = conformance(name);
    for (unsigned quality : {unsigned{DV_QUALITY_BEST}, 3u, 1u, 4u})
      for (auto [space, label] : {std::pair{e_dv_color_yuv, "yuy2"}, {e_dv_color_rgb, "rgb"},
                                  {e_dv_color_bgr0, "bgr0"}})
        got[std::string(name) + " decode " + label + " quality " + std::to_string(quality)] =
            md5(decoded(stream, quality, space));
    got[std::string(name) + " sound"] = md5(sound(stream));
    got[std::string(name) + " damaged decode yuy2"] =
        md5(decoded(damaged(stream), DV_QUALITY_BEST, e_dv_color_yuv));
    got[std::string(name) + " damaged sound"] = md5(sound(damaged(stream)));
    got[std::string(name) + " encode standard"] = md5(encoded(stream, TARSK_QUALITY_STANDARD));
    got[std::string(name) + " encode best"] = md5(encoded(stream, TARSK_QUALITY_BEST));
  }
  return got;
}

TEST(Conformance, OutputsKeepTheirRecordedMd5) {
  const auto got = outputs();
  const fs::path recorded = conformance_dir / "md5.txt";
  if (std::getenv("TARSK_REBASE") != nullptr) {
    std::ofstream out(recorded);
    for (const auto &[what, sum] : got) out << sum << "  " << what << "\n";
    GTEST_SKIP() << "md5.txt written anew";
  }
  std::map<std::string, std::string> want;
  std::ifstream in(recorded);
  for (std::string line; std::getline(in, line);) want[line.substr(34)] = line.substr(0, 32);
  EXPECT_EQ(want.size(), got.size());
  for (const auto &[what, sum] : got) EXPECT_EQ(sum, want[what]) << what;
}

}  // namespace
