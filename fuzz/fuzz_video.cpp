// Whole-frame video decoding at every quality and into every colour space.
//
// Input: two option bytes, then the first bytes of a frame (completed from
// the template of its system).
//   byte 0: bits 0-2 quality flags, 3-4 colour space (3: none, the frame
//           is parsed and nothing written), 5-6 video system option,
//           7 decode the frame a second time and compare
//   byte 1: bit 0 NTSC set-up, bit 1 write the damage report
// The frame buffer is exactly dv->frame_size bytes and the picture buffer
// exactly 720 x height pixels of the colour space, both on the heap; with
// no colour space the picture buffer is empty.
#include <tarsk/dv.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common.h"
#include "frame_input.h"

namespace {

struct FreeBytes {
  void operator()(uint8_t *p) const { std::free(p); }
};
using Picture = std::unique_ptr<uint8_t, FreeBytes>;

size_t bytes_per_pixel(int space) {
  switch (space) {
    case e_dv_color_yuv:
      return 2;
    case e_dv_color_rgb:
      return 3;
    case e_dv_color_bgr0:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Options opt{data, size};
  const uint8_t b0 = opt.take(), b1 = opt.take();
  const unsigned quality = b0 & 7;
  const int space = (b0 >> 3) & 3;
  const int video_system = (b0 >> 5) & 3;
  const bool twice = (b0 >> 7) != 0;
  const int ntsc_setup = b1 & 1;
  const bool report = (b1 & 2) != 0;

  fuzz::ParsedFrame f;
  if (!fuzz::parse_frame(opt.data, opt.size, ntsc_setup,
                         [&](dv_decoder_t *dv) {
                           dv_set_error_log(dv, fuzz::null_log());
                           dv->arg_video_system = video_system;
                         },
                         f))
    return 0;
  dv_decoder_t *dv = f.dv.get();
  dv->quality = quality;

  const size_t bpp = bytes_per_pixel(space);
  const int pitch = static_cast<int>(720 * bpp);
  const size_t picture_size = static_cast<size_t>(pitch) * static_cast<size_t>(dv->height);
  FUZZ_CHECK(dv->height == 480 || dv->height == 576);
  const std::vector<uint8_t> original = f.bytes;

  auto decode = [&]() {
    // malloc(0) too gives a block the sanitizer guards.
    Picture picture(static_cast<uint8_t *>(std::malloc(picture_size)));
    FUZZ_CHECK(picture != nullptr || picture_size == 0);
    if (picture_size != 0) std::memset(picture.get(), 0x5a, picture_size);
    uint8_t *pixels[1] = {picture.get()};
    int pitches[1] = {pitch};
    dv_decode_full_frame(dv, f.bytes.data(), static_cast<dv_color_space_t>(space), pixels,
                         pitches);
    return picture;
  };

  Picture first = decode();
  // Decoding only reads the frame.
  FUZZ_CHECK(f.bytes == original);
  if (twice) {
    // The picture depends on the frame and the settings alone, not on
    // what decoding the frame before left behind.
    Picture second = decode();
    FUZZ_CHECK(picture_size == 0 || std::memcmp(first.get(), second.get(), picture_size) == 0);
  }
  if (report) {
    dv_parse_packs(dv, f.bytes.data());
    dv_report_video_error(dv, f.bytes.data());
  }
  return 0;
}
