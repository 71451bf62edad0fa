// 4:2:0 chroma per field. A picture whose two fields differ in colour keeps
// them through the best encoder and the accurate reconstruction; the 4:2:2,
// YUY2 and RGB pictures are the native picture's chroma spread by a plain
// twin (linear between the chroma lines about each line: those of its own
// field in interlaced frames, all of them in progressive ones, whose frames
// clear the interlace flag); the specified reconstruction repeats each
// chroma line on its pair of lines, as dv.h does.
#include <gtest/gtest.h>
#include <tarsk/tarsk.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/dif.h"

namespace {

namespace dif = tarsk::dif;
using Bytes = std::vector<uint8_t>;
constexpr int width = 720, height = 576, chroma_lines = height / 2;

// A 4:2:2 picture: flat field colours (line parity 0 red, 1 blue), or a
// busy one whose chroma moves between the fields.
struct Colour {
  uint8_t y, cb, cr;
};
constexpr Colour red{81, 90, 240}, blue{41, 240, 110};

struct Planes {
  Bytes y, cb, cr;
};

Planes picture_422(bool busy) {
  Planes p{Bytes(width * height), Bytes(width / 2 * height), Bytes(width / 2 * height)};
  for (int l = 0; l < height; ++l)
    for (int x = 0; x < width; ++x) {
      const Colour c = l % 2 == 0 ? red : blue;
      const double shift = l % 2 == 0 ? 0 : 9;  // the later field a little further on
      p.y[l * width + x] =
          busy ? static_cast<uint8_t>(128 + 90 * std::sin(0.05 * x + 0.03 * l)) : c.y;
      if (x % 2 != 0) continue;
      const size_t at = static_cast<size_t>(l * width / 2 + x / 2);
      p.cb[at] = busy ? static_cast<uint8_t>(128 + 100 * std::sin(0.04 * (x + shift) + 0.11 * l))
                      : c.cb;
      p.cr[at] = busy ? static_cast<uint8_t>(128 + 100 * std::cos(0.03 * (x - shift) + 0.07 * l))
                      : c.cr;
    }
  return p;
}

Bytes encode(const Planes &p, int progressive) {
  tarsk_encoder_settings s;
  tarsk_encoder_default_settings(&s);
  s.quality = TARSK_QUALITY_BEST;
  s.progressive = progressive;
  tarsk_encoder *e = nullptr;
  EXPECT_EQ(tarsk_encoder_open(&e, &s), TARSK_OK);
  tarsk_picture picture{TARSK_PIXEL_I422,
                        width,
                        height,
                        {const_cast<uint8_t *>(p.y.data()), const_cast<uint8_t *>(p.cb.data()),
                         const_cast<uint8_t *>(p.cr.data())},
                        {width, width / 2, width / 2},
                        nullptr};
  Bytes frame(TARSK_FRAME_BYTES_625_50);
  EXPECT_EQ(tarsk_encode_video(e, &picture, frame.data(), frame.size()), TARSK_OK);
  tarsk_encoder_close(&e);
  return frame;
}

// A decoded picture's planes, each line without what its stride leaves.
struct Decoded {
  int format;
  Bytes planes[3];
};

Decoded decode(const Bytes &frame, int format, int threads = 1,
               int reconstruction = TARSK_RECONSTRUCTION_ACCURATE, bool pipeline = false) {
  tarsk_decoder_settings s;
  tarsk_decoder_default_settings(&s);
  s.threads = threads;
  s.reconstruction = reconstruction;
  tarsk_decoder *d = nullptr;
  EXPECT_EQ(tarsk_decoder_open(&d, &s), TARSK_OK);
  tarsk_picture p{};
  p.format = format;
  if (pipeline) {
    EXPECT_EQ(tarsk_picture_alloc(&p, format, width, height), TARSK_OK);
    EXPECT_EQ(tarsk_decode_send(d, frame.data(), frame.size(), &p), TARSK_OK);
    tarsk_picture *got = nullptr;
    EXPECT_EQ(tarsk_decode_receive(d, &got, nullptr), TARSK_OK);
  } else {
    EXPECT_EQ(tarsk_decode_video(d, frame.data(), frame.size(), &p, nullptr), TARSK_OK);
  }
  Decoded out{p.format, {}};
  const bool packed = format == TARSK_PIXEL_YUY2 || format == TARSK_PIXEL_RGB24;
  for (int plane = 0; plane < (packed ? 1 : 3); ++plane) {
    const size_t bytes = format == TARSK_PIXEL_YUY2    ? 2 * width
                         : format == TARSK_PIXEL_RGB24 ? 3 * width
                         : plane == 0                  ? width
                                                       : width / 2;
    const int lines = plane > 0 && p.format == TARSK_PIXEL_I420 ? chroma_lines : height;
    for (int l = 0; l < lines; ++l) {
      const uint8_t *at = p.data[plane] + l * p.stride[plane];
      out.planes[plane].insert(out.planes[plane].end(), at, at + bytes);
    }
  }
  tarsk_picture_free(&p);
  tarsk_decoder_close(&d);
  return out;
}

// The twin: 4:2:0 chroma line q sits, in quarters of a picture line, at
// 8q + 2 (between lines 2q and 2q + 1) in a progressive picture; in an
// interlaced one it belongs to field q % 2 and sits at 16 (q / 2) +
// 4 (q % 2) + 4, between that field's lines 2 (q / 2) and 2 (q / 2) + 1. A line
// takes the linear mean of the two chroma lines about it that it may take
// (the nearest one alone beyond the first or last), rounded to nearest.
Bytes spread(const Bytes &plane, bool progressive) {
  Bytes out(width / 2 * height);
  for (int l = 0; l < height; ++l) {
    std::vector<std::pair<int, int>> places;  // (quarter position, chroma line)
    for (int q = 0; q < chroma_lines; ++q) {
      if (progressive)
        places.emplace_back(8 * q + 2, q);
      else if (q % 2 == l % 2)
        places.emplace_back(16 * (q / 2) + 4 * (q % 2) + 4, q);
    }
    const int at = 4 * l;
    auto after = std::find_if(places.begin(), places.end(), [&](auto p) { return p.first >= at; });
    for (int x = 0; x < width / 2; ++x) {
      auto value = [&](int q) { return plane[static_cast<size_t>(q * width / 2 + x)]; };
      int v;
      if (after == places.begin())
        v = value(after->second);
      else if (after == places.end())
        v = value(places.back().second);
      else {
        const auto before = after - 1;
        const int span = after->first - before->first, w = at - before->first;
        v = ((span - w) * value(before->second) + w * value(after->second) + span / 2) / span;
      }
      out[static_cast<size_t>(l * width / 2 + x)] = static_cast<uint8_t>(v);
    }
  }
  return out;
}

// ITU-R BT.601 from studio-range Y'CbCr to R'G'B'.
uint8_t rgb_of(int y, int cb, int cr, int channel) {
  const double l = 1.164 * (y - 16);
  const double v = channel == 0   ? l + 1.596 * (cr - 128)
                   : channel == 1 ? l - 0.813 * (cr - 128) - 0.391 * (cb - 128)
                                  : l + 2.018 * (cb - 128);
  return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// The VAUX source control packs' interlace flags, set and clear.
std::pair<int, int> interlace_flags(const Bytes &frame) {
  std::pair<int, int> flags{0, 0};
  for (int s = 0; s < 12; ++s)
    for (int b = 0; b < 3; ++b)
      for (int n = 0; n < dif::vaux_packs_per_block; ++n) {
        const uint8_t *pack = &frame[dif::block_offset(s, dif::vaux_block(b)) +
                                     static_cast<size_t>(dif::vaux_pack_offset(n))];
        if (pack[0] != dif::pack_id::vaux_source_control) continue;
        ++((pack[3] & dif::vaux_interlace_flag) != 0 ? flags.first : flags.second);
      }
  return flags;
}

TEST(Fields, EachFieldKeepsItsColour) {
  const Bytes frame = encode(picture_422(false), 0);
  for (int format : {TARSK_PIXEL_I422, TARSK_PIXEL_YUY2}) {
    SCOPED_TRACE(format);
    const Decoded d = decode(frame, format);
    for (int l = 0; l < height; ++l) {
      const Colour want = l % 2 == 0 ? red : blue;
      for (int x = 0; x < width / 2; x += 7) {
        const size_t at = static_cast<size_t>(l * width / 2 + x);
        const int cb = format == TARSK_PIXEL_YUY2 ? d.planes[0][4 * at + 1] : d.planes[1][at];
        const int cr = format == TARSK_PIXEL_YUY2 ? d.planes[0][4 * at + 3] : d.planes[2][at];
        ASSERT_LE(std::abs(cb - want.cb), 3) << "line " << l << " column " << 2 * x;
        ASSERT_LE(std::abs(cr - want.cr), 3) << "line " << l << " column " << 2 * x;
      }
    }
  }
}

TEST(Fields, SpreadIsTheTwinsInEveryLayoutAndOnThreads) {
  for (int progressive : {0, 1}) {
    SCOPED_TRACE(progressive ? "progressive" : "interlaced");
    const Bytes frame = encode(picture_422(true), progressive);
    const auto [set, clear] = interlace_flags(frame);
    EXPECT_EQ(progressive ? set : clear, 0);
    EXPECT_EQ(progressive ? clear : set, 18);  // every sequence's, and the odd ones' again
    tarsk_decoder *d = nullptr;
    ASSERT_EQ(tarsk_decoder_open(&d, nullptr), TARSK_OK);
    tarsk_frame_info info;
    ASSERT_EQ(tarsk_decode_info(d, frame.data(), frame.size(), &info), TARSK_OK);
    EXPECT_EQ(info.progressive, progressive);
    tarsk_decoder_close(&d);

    const Decoded native = decode(frame, TARSK_PIXEL_NATIVE);
    ASSERT_EQ(native.format, TARSK_PIXEL_I420);
    const Bytes cb = spread(native.planes[1], progressive), cr = spread(native.planes[2], progressive);
    const Decoded i422 = decode(frame, TARSK_PIXEL_I422);
    EXPECT_EQ(i422.planes[0], native.planes[0]);
    EXPECT_EQ(i422.planes[1], cb);
    EXPECT_EQ(i422.planes[2], cr);
    const Decoded yuy2 = decode(frame, TARSK_PIXEL_YUY2);
    Bytes want(2 * width * height);
    for (size_t i = 0; i < cb.size(); ++i) {
      want[4 * i] = native.planes[0][2 * i];
      want[4 * i + 1] = cb[i];
      want[4 * i + 2] = native.planes[0][2 * i + 1];
      want[4 * i + 3] = cr[i];
    }
    EXPECT_EQ(yuy2.planes[0], want);
    EXPECT_EQ(decode(frame, TARSK_PIXEL_YUY2, 2).planes[0], want) << "threads sharing a picture";
    EXPECT_EQ(decode(frame, TARSK_PIXEL_YUY2, 2, TARSK_RECONSTRUCTION_ACCURATE, true).planes[0],
              want)
        << "frame threads";

    const Decoded rgb = decode(frame, TARSK_PIXEL_RGB24);
    int worst = 0;
    for (size_t p = 0; p < static_cast<size_t>(width * height); ++p)
      for (int c = 0; c < 3; ++c)
        worst = std::max(worst, std::abs(rgb.planes[0][3 * p + c] -
                                         rgb_of(native.planes[0][p], cb[p / 2], cr[p / 2], c)));
    EXPECT_LE(worst, 2);
  }
}

TEST(Fields, SpecifiedReconstructionRepeatsEachChromaLine) {
  const Bytes frame = encode(picture_422(true), 0);
  const Decoded native = decode(frame, TARSK_PIXEL_NATIVE, 1, TARSK_RECONSTRUCTION_SPECIFIED);
  const Decoded i422 = decode(frame, TARSK_PIXEL_I422, 1, TARSK_RECONSTRUCTION_SPECIFIED);
  for (int plane = 1; plane < 3; ++plane)
    for (int l = 0; l < height; ++l)
      ASSERT_TRUE(std::equal(i422.planes[plane].begin() + l * width / 2,
                             i422.planes[plane].begin() + (l + 1) * width / 2,
                             native.planes[plane].begin() + (l / 2) * width / 2))
          << "plane " << plane << " line " << l;
}

}  // namespace
