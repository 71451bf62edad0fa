// Whole frames and video segments: a picture in the encoder's planes or an
// input filter's, five macroblocks at a time, into the video DIF blocks of
// a DV frame.
#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "common/bitstream.h"
#include "common/colour.h"
#include "common/dif.h"
#include "common/log.h"
#include "common/place.h"
#include "encode/encode.h"
#include "encode/fill.h"
#include "init.h"

namespace tarsk {
namespace {

// Placement of macroblock m of a segment whose i, k and isPAL are set, in
// a stream of the given chroma sampling.
void place(dv_videosegment_t *seg, int m, dv_sample_t sampling) {
  dv_macroblock_t *mb = &seg->mb[m];
  const int sequences = dif::sequences(seg->isPAL != 0);
  const auto at = dif::macroblock_address(seg->i, seg->k, m, sequences);
  mb->i = at.i;
  mb->j = at.j;
  mb->k = at.k;
  place_macroblock(mb, sampling);
  mb->vlc_error = 0;
  mb->eob_count = 0;
}

// The forward transform of each block by its mode, into scan order.
void do_dct(dv_macroblock_t *mb, EncodeStats &stats) {
  for (dv_block_t &b : mb->b) {
    if (b.dct_mode == 1)
      _dv_dct_248(b.coeffs);
    else
      _dv_dct_88(b.coeffs);
    reorder_block(&b);
    ++stats.dct_used[b.dct_mode];
  }
}

// write_segment's search: the passes' own unless the high-quality search
// is asked for with its force_dct.
constexpr int no_best = -2;

// The code placement knows one to three passes; the default is three.
constexpr int default_passes = 3;
bool valid_passes(int passes) { return passes >= 1 && passes <= 3; }

void log_invalid_passes(int passes) {
  log(LogLevel::error, "Invalid value for vlc_encode_passes specified: %d!\n", passes);
}

// Writes a segment whose macroblocks are filled, transformed and
// classified: quantisers, then each block's DC, mode and class, then the
// codes, placed by OR into the segment's zeroed 400 bytes. The callers
// have made `passes` valid.
void write_segment(dv_videosegment_t *seg, uint8_t *vsbuffer, int passes, int static_qno,
                   EncodeStats &stats, int best_force_dct = no_best,
                   dv_sample_t sampling = e_dv_sample_none) {
  dv_vlc_block_t vblocks[30];
  // 0: the high-quality search, whose codes may spill over the whole segment.
  switch (best_force_dct != no_best ? 0 : passes) {
    case 0:
      quant_best(seg, vblocks, best_force_dct, sampling, stats);
      passes = 3;
      break;
    case 1:
      quant_1_pass(seg, vblocks, static_qno, stats);
      break;
    case 2:
      quant_2_passes(seg, vblocks, static_qno, stats);
      break;
    default:  // 3
      quant_3_passes(seg, vblocks, static_qno, stats);
      break;
  }
  for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
    const dv_macroblock_t &mb = seg->mb[m];
    const int base = m * dif::macroblock_bits;
    vsbuffer[m * dif::block_size + dif::qno_byte] |= static_cast<uint8_t>(mb.qno & 0x0f);
    for (int b = 0; b < 6; ++b) {
      const dv_block_t &bl = mb.b[b];
      const uint32_t head = ((static_cast<uint32_t>(bl.coeffs[0]) & 0x1ff) << 3) |
                            (static_cast<uint32_t>(bl.dct_mode & 1) << 2) |
                            static_cast<uint32_t>(bl.class_no & 3);
      put_bits(vsbuffer, base + dif::area_begin(b), head, dif::block_head_bits);
    }
  }
  place_segment_codes(vblocks, vsbuffer, passes);
}

// YUY2 (Y0 Cb Y1 Cr for each pair of pixels) to the encoder's planes.
void yuy2_to_ycb(const uint8_t *data, int isPAL, int16_t *img_y, int16_t *img_cr, int16_t *img_cb) {
  const int pairs = 360 * (isPAL ? 576 : 480);
  for (int p = 0; p < pairs; ++p, data += 4) {
    img_y[2 * p] = encoder_sample(data[0]);
    img_cb[p] = encoder_sample(data[1]);
    img_y[2 * p + 1] = encoder_sample(data[2]);
    img_cr[p] = encoder_sample(data[3]);
  }
}

void limit(int16_t *samples, size_t n, int low, int high) {
  for (size_t i = 0; i < n; ++i)
    samples[i] = static_cast<int16_t>(std::clamp<int>(samples[i], low, high));
}

// Settings out of range become the defaults, written back.
void normalise(dv_encoder_t *enc) {
  if (!valid_passes(enc->vlc_encode_passes)) enc->vlc_encode_passes = default_passes;
  if (enc->static_qno != 1 && enc->static_qno != 2) enc->static_qno = 0;
  if (enc->force_dct < -1 || enc->force_dct > 1) enc->force_dct = -1;
}

// Fills a placed macroblock from `planes`, or the encoder's own 4:2:2
// planes when null, and chooses its blocks' DCT modes (from planes, unless
// the best search is to choose them).
void fill(dv_encoder_t *enc, dv_macroblock_t *mb, const Planes *planes, bool best) {
  if (planes == nullptr) {
    _dv_ycb_fill_macroblock(enc, mb);
    return;
  }
  fill_macroblock(*planes, mb, enc->clamp_luma == 1, enc->clamp_chroma == 1);
  if (!best) choose_dct_modes(mb, enc->force_dct);
}

// The chroma sampling of the stream: the planes', else the system's own.
dv_sample_t stream_sampling(const dv_encoder_t *enc, const Planes *planes) {
  return planes != nullptr ? planes->sampling : dif::sampling_of(enc->isPAL != 0, false);
}

// -1, with the message, for an invalid pass count, which the callers'
// checks (dv_encode_videosegment) or normalise (begin_planes) have ruled
// out; the segment is then left as it was.
int encode_segment(dv_encoder_t *enc, dv_videosegment_t *seg, uint8_t *vsbuffer, EncodeStats &stats,
                   bool best = false, const Planes *planes = nullptr) {
  if (!valid_passes(enc->vlc_encode_passes)) {
    log_invalid_passes(enc->vlc_encode_passes);
    return -1;
  }
  const dv_sample_t sampling = stream_sampling(enc, planes);
  for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
    dv_macroblock_t *mb = &seg->mb[m];
    place(seg, m, sampling);
    fill(enc, mb, planes, best);
    if (best) continue;  // quant_best transforms the samples itself
    do_dct(mb, stats);
    do_classify(mb, enc->static_qno, stats);
  }
  write_segment(seg, vsbuffer, enc->vlc_encode_passes, enc->static_qno, stats,
                best ? enc->force_dct : no_best, sampling);
  return 0;
}

int process_videosegment(dv_enc_input_filter_t *input, dv_videosegment_t *seg, uint8_t *vsbuffer,
                         int vlc_encode_passes, int static_qno, EncodeStats &stats,
                         int best_force_dct) {
  for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
    dv_macroblock_t *mb = &seg->mb[m];
    place(seg, m, dif::sampling_of(seg->isPAL != 0, false));
    input->fill_macroblock(mb, seg->isPAL);
    if (best_force_dct != no_best) continue;  // quant_best transforms the samples itself
    do_dct(mb, stats);
    do_classify(mb, static_qno, stats);
  }
  write_segment(seg, vsbuffer, vlc_encode_passes, static_qno, stats, best_force_dct,
                dif::sampling_of(seg->isPAL != 0, false));
  return 0;
}

}  // namespace

void encode(dv_enc_input_filter_t *input, int isPAL, unsigned char *target, int vlc_encode_passes,
            int static_qno, dv_videosegment_t *seg, EncodeStats &stats, bool best, int force_dct) {
  build_tables();  // the loop may be the first user of the library
  // No code to return: an invalid pass count is logged and the frame made
  // with the default, as the encoder's own settings are (normalise).
  if (!valid_passes(vlc_encode_passes)) {
    log(LogLevel::warning,
        "Invalid value for vlc_encode_passes specified: %d! Encoding with %d passes.\n",
        vlc_encode_passes, default_passes);
    vlc_encode_passes = default_passes;
  }
  std::memset(target, 0, dif::frame_size(true));
  if (isPAL) target[3] |= dif::dsf_bit;
  for (int i = 0; i < dif::sequences(isPAL != 0); ++i)
    for (int k = 0; k < dif::segments_per_sequence; ++k) {
      seg->i = i;
      seg->k = k;
      seg->isPAL = isPAL;
      process_videosegment(input, seg, target + dif::segment_offset(i, k), vlc_encode_passes,
                           static_qno, stats, best ? force_dct : no_best);
    }
}

void count_frame(dv_encoder_t *enc) {
  enc->frame_count = enc->frame_count == INT_MAX ? 0 : enc->frame_count + 1;
}

void begin_planes(dv_encoder_t *enc, uint8_t *out) {
  normalise(enc);
  const bool pal = enc->isPAL != 0;
  const size_t luma = size_t{720} * (pal ? 576 : 480), chroma = luma / 2;
  std::memset(out, 0, dif::frame_size(pal));
  if (!pal && enc->rem_ntsc_setup == 1)  // 16 steps of 8-bit luma
    for (size_t i = 0; i < luma; ++i) enc->img_y[i] = static_cast<int16_t>(enc->img_y[i] - 32);
  if (enc->clamp_luma == 1) limit(enc->img_y, luma, luma_low, luma_high);
  if (enc->clamp_chroma == 1) {
    limit(enc->img_cb, chroma, chroma_low, chroma_high);
    limit(enc->img_cr, chroma, chroma_low, chroma_high);
  }
  if (pal) out[3] |= dif::dsf_bit;
}

int frame_segments(const dv_encoder_t *enc) {
  return dif::sequences(enc->isPAL != 0) * dif::segments_per_sequence;
}

void encode_planes_segment(dv_encoder_t *enc, uint8_t *out, int n, dv_videosegment_t *seg,
                           EncodeStats &stats, bool best, const Planes *planes) {
  seg->i = n / dif::segments_per_sequence;
  seg->k = n % dif::segments_per_sequence;
  seg->isPAL = enc->isPAL;
  encode_segment(enc, seg, out + dif::segment_offset(seg->i, seg->k), stats, best, planes);
}

void encode_planes(dv_encoder_t *enc, uint8_t *out, EncodeStats &stats, bool best,
                   const Planes *planes) {
  begin_planes(enc, out);
  dv_videosegment_t seg{};
  for (int n = 0; n < frame_segments(enc); ++n)
    encode_planes_segment(enc, out, n, &seg, stats, best, planes);
}

int encode_videosegment(dv_encoder_t *dv_enc, dv_videosegment_t *videoseg, uint8_t *vsbuffer,
                        EncodeStats &stats) {
  // A library does not end its caller's process over a setting.
  if (!valid_passes(dv_enc->vlc_encode_passes)) {
    log_invalid_passes(dv_enc->vlc_encode_passes);
    return -1;
  }
  // A DCT mode or static table row out of range would index past the
  // statistics and tables: the defaults, as for whole frames.
  normalise(dv_enc);
  encode_segment(dv_enc, videoseg, vsbuffer, stats);
  return 0;
}

int encode_full_frame(dv_encoder_t *dv_enc, uint8_t **in, dv_color_space_t color_space,
                      uint8_t *out, EncodeStats &stats) {
  if (in == nullptr || in[0] == nullptr || out == nullptr) {
    log(LogLevel::error, "dv_encode_full_frame needs a picture and a frame buffer\n");
    return -1;
  }
  time_t now = std::time(nullptr);
  normalise(dv_enc);
  const int lines = dv_enc->isPAL ? 576 : 480;
  switch (color_space) {
    case e_dv_color_yuv:
      yuy2_to_ycb(in[0], dv_enc->isPAL, dv_enc->img_y, dv_enc->img_cr, dv_enc->img_cb);
      break;
    case e_dv_color_rgb:
      dv_enc_rgb_to_ycb(in[0], lines, dv_enc->img_y, dv_enc->img_cr, dv_enc->img_cb);
      break;
    default:
      log(LogLevel::error, "Invalid value for color_space specified: %d!\n", color_space);
      return -1;
  }
  encode_planes(dv_enc, out, stats);
  _dv_write_meta_data(out, dv_enc->frame_count, dv_enc->isPAL, dv_enc->is16x9, &now);
  count_frame(dv_enc);
  return 0;
}

}  // namespace tarsk

extern "C" {

void _dv_ycb_fill_macroblock(dv_encoder_t *dv_enc, dv_macroblock_t *mb) {
  const tarsk::Planes planes{dv_enc->img_y, dv_enc->img_cr, dv_enc->img_cb,
                             tarsk::dif::sampling_of(dv_enc->isPAL != 0, false)};
  tarsk::fill_macroblock(planes, mb, dv_enc->clamp_luma == 1, dv_enc->clamp_chroma == 1);
  tarsk::choose_dct_modes(mb, dv_enc->force_dct);
}

}  // extern "C"
