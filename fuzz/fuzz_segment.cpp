// The segment encoder alone, many times faster than whole frames: one
// video segment of a picture in the encoder's planes, and the round trip.
//
// Input: three option bytes, then a payload.
//   byte 0: bit 0 625/50, bits 1-2 passes (0: out of range, refused),
//           bits 3-4 static_qno (3: out of range), bits 5-6 force_dct (-1,
//           0, 1, 2: out of range), bit 7 clamp luma and chroma
//   byte 1: the DIF sequence (modulo the system's)
//   byte 2: the segment (modulo 27)
// The payload, repeated, gives the samples of the planes where the
// segment's macroblocks lie (2 x (byte - 128), as the encoder's planes hold
// 8-bit samples).
//
// Checks: the segment parses back at the multi-pass level with no invalid
// code and every block ending; encoding it again gives the same bytes; the
// statistics count each of its 30 blocks under one of the two DCT modes;
// passes out of range are refused and nothing is written.
#include <tarsk/dv.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "classic/statistics.h"
#include "common.h"
#include "common/dif.h"
#include "common/place.h"
#include "encode/encode.h"
#include "round_trip.h"

namespace {

struct EncoderDeleter {
  void operator()(dv_encoder_t *e) const { dv_encoder_free(e); }
};

// Fills a window of a plane (`width` samples a line) with the payload
// repeated by sample position, each byte scaled.
void fill(int16_t *plane, int width, int lines, int x, int y, int w, int h,
          const fuzz::Options &payload, size_t from) {
  for (int l = y; l < std::min(y + h, lines); ++l)
    for (int c = x; c < std::min(x + w, width); ++c) {
      const size_t at =
          static_cast<size_t>(l) * static_cast<size_t>(width) + static_cast<size_t>(c);
      const uint8_t v = payload.size == 0 ? 128 : payload.data[(from + at) % payload.size];
      plane[at] = static_cast<int16_t>(2 * (v - 128));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Options opt{data, size};
  const uint8_t b0 = opt.take(), b1 = opt.take(), b2 = opt.take();
  const bool pal = b0 & 1;
  static std::unique_ptr<dv_encoder_t, EncoderDeleter> enc(dv_encoder_new(0, 0, 0));
  FUZZ_CHECK(enc != nullptr);
  enc->isPAL = pal;
  enc->vlc_encode_passes = (b0 >> 1) & 3;
  enc->static_qno = (b0 >> 3) & 3;
  enc->force_dct = ((b0 >> 5) & 3) - 1;
  enc->clamp_luma = enc->clamp_chroma = (b0 >> 7) & 1;
  auto seg = std::make_unique<dv_videosegment_t>();
  seg->i = b1 % tarsk::dif::sequences(pal);
  seg->k = b2 % tarsk::dif::segments_per_sequence;
  seg->isPAL = pal;
  // Only the segment's macroblocks are read: the payload fills their
  // windows (32 x 16 luma samples, 16 x 16 of each chroma plane from their
  // corner: as much as any macroblock shape reaches).
  const int lines = pal ? 576 : 480;
  for (int m = 0; m < tarsk::dif::macroblocks_per_segment; ++m) {
    dv_macroblock_t mb{};
    const auto at = tarsk::dif::macroblock_address(seg->i, seg->k, m, tarsk::dif::sequences(pal));
    mb.i = at.i;
    mb.j = at.j;
    mb.k = at.k;
    tarsk::place_macroblock(&mb, pal ? e_dv_sample_420 : e_dv_sample_411);
    fill(enc->img_y, 720, lines, mb.x, mb.y, 32, 16, opt, 0);
    fill(enc->img_cb, 360, lines, mb.x / 2, mb.y, 16, 16, opt, 720 * 576);
    fill(enc->img_cr, 360, lines, mb.x / 2, mb.y, 16, 16, opt, 1080 * 576);
  }
  std::vector<uint8_t> bytes(tarsk::dif::segment_size, 0);
  const int passes = enc->vlc_encode_passes;
  const tarsk::EncodeStats before = tarsk::encode_statistics();
  const int result = dv_encode_videosegment(enc.get(), seg.get(), bytes.data());
  if (passes < 1 || passes > 3) {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(bytes == std::vector<uint8_t>(tarsk::dif::segment_size, 0));
    return 0;
  }
  FUZZ_CHECK(result == 0);
  const tarsk::EncodeStats after = tarsk::encode_statistics();
  FUZZ_CHECK(after.dct_used[0] + after.dct_used[1] - before.dct_used[0] - before.dct_used[1] == 30);
  fuzz::check_segment(bytes.data(), seg->i, seg->k, pal);
  std::vector<uint8_t> again(tarsk::dif::segment_size, 0);
  FUZZ_CHECK(dv_encode_videosegment(enc.get(), seg.get(), again.data()) == 0);
  FUZZ_CHECK(again == bytes);
  return 0;
}
