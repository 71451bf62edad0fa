// Whole-frame video decoding: every video segment of a frame is parsed,
// its blocks reconstructed, its macroblocks placed and written out.
#include "decode/frame.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "common/dif.h"
#include "common/transform.h"
#include "decode/output/output.h"

namespace {

namespace dif = tarsk::dif;

// The process-wide segment record of dv_decode_full_frame, used under
// dv_mutex, and its bit reader.
dv_videosegment_t shared_segment;
bitstream_t shared_bits;

// Dequantisation, inverse weighting and inverse transform of one block.
void reconstruct(dv_block_t *b, int qno) {
  if (b->dct_mode == 1) {
    dv_248_coeff_t scratch[64];
    _dv_quant_248_inverse(b->coeffs, qno, b->class_no, scratch);
    dv_idct_248(scratch, b->coeffs);
  } else {
    tarsk::dequantise_weight_88(b->coeffs, qno, b->class_no);
    _dv_idct_88(b->coeffs);
  }
}

void reconstruct_macroblock(dv_macroblock_t *mb, unsigned quality) {
  const int blocks = (quality & DV_QUALITY_COLOR) ? 6 : 4;
  for (int b = 0; b < blocks; ++b) reconstruct(&mb->b[b], mb->qno);
}

// A macroblock the recorder flagged as damaged, or whose codes do not
// parse: an invalid code, or (where the recovery passes ran) a block that
// never reached its end.
bool macroblock_damaged(const dv_macroblock_t *mb, const uint8_t *block, unsigned quality) {
  if (tarsk::dif::video_block_flagged(block) || mb->vlc_error) return true;
  const bool multi_pass = (quality & DV_QUALITY_AC_2) && !(quality & DV_QUALITY_AC_1);
  return multi_pass && mb->eob_count < ((quality & DV_QUALITY_COLOR) ? 6 : 4);
}

// Writes a placed macroblock with the decoder's own clamp setting.
void render(const dv_decoder_t *dv, const dv_macroblock_t *mb,
            const tarsk::output::Target &target) {
  const auto &tables = tarsk::output::tables(dv->clamp_luma, dv->clamp_chroma);
  tarsk::output::write_macroblock(mb, dv->sampling, target, tables, dv->add_ntsc_setup == 1);
}

void render_segment(dv_decoder_t *dv, dv_videosegment_t *seg, dv_color_space_t color_space,
                    uint8_t **pixels, int *pitches) {
  const auto target = tarsk::output::packed_target(color_space, pixels[0], pitches[0]);
  for (dv_macroblock_t &mb : seg->mb) render(dv, &mb, target);
}

}  // namespace

namespace tarsk {

int32_t ranges[6][2];

void decode_segments(dv_decoder_t *dv, const uint8_t *buffer, const output::Target &target,
                     dv_videosegment_t *seg, bitstream_t *bs, int first, int last,
                     FrameDamage *damage) {
  seg->bs = bs;
  seg->isPAL = dv->system == e_dv_system_625_50;
  const bool write = target.layout != output::Layout::none;
  for (int n = first; n < last; ++n) {
    const int ds = n / dif::segments_per_sequence, k = n % dif::segments_per_sequence;
    _dv_bitstream_new_buffer(bs, const_cast<uint8_t *>(buffer + dif::segment_offset(ds, k)),
                             dif::segment_size);
    seg->i = ds;
    seg->k = k;
    dv_parse_video_segment(seg, dv->quality);
    if (damage != nullptr)
      for (int m = 0; m < dif::macroblocks_per_segment; ++m)
        damage->macroblocks[5 * n + m] = macroblock_damaged(
            &seg->mb[m], buffer + dif::segment_offset(ds, k) + m * dif::block_size, dv->quality);
    if (!write) continue;
    for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
      dv_macroblock_t *mb = &seg->mb[m];
      if (damage != nullptr && damage->macroblocks[5 * n + m] && damage->conceal) {
        for (dv_block_t &b : mb->b) std::fill(std::begin(b.coeffs), std::end(b.coeffs), 0);
        dv_place_macroblock(dv, seg, mb, m);
        render(dv, mb, target);
        continue;
      }
      reconstruct_macroblock(mb, dv->quality);
      // Without colour the picture is grey: the colour blocks hold no
      // chroma of this frame, only what earlier segments left there.
      if (!(dv->quality & DV_QUALITY_COLOR))
        for (int b = 4; b < 6; ++b) std::fill(std::begin(mb->b[b].coeffs), std::end(mb->b[b].coeffs), 0);
      dv_place_macroblock(dv, seg, mb, m);
      render(dv, mb, target);
    }
  }
}

}  // namespace tarsk

extern "C" {

pthread_mutex_t dv_mutex = PTHREAD_MUTEX_INITIALIZER;

void dv_decode_full_frame(dv_decoder_t *dv, const uint8_t *buffer, dv_color_space_t color_space,
                          uint8_t **pixels, int *pitches) {
  pthread_mutex_lock(&dv_mutex);
  tarsk::decode_segments(dv, buffer, tarsk::output::packed_target(color_space, pixels[0], pitches[0]),
                         &shared_segment, &shared_bits, 0,
                         dv->num_dif_seqs * dif::segments_per_sequence);
  pthread_mutex_unlock(&dv_mutex);
}

void dv_decode_video_segment(dv_decoder_t *, dv_videosegment_t *seg, unsigned int quality) {
  for (dv_macroblock_t &mb : seg->mb) reconstruct_macroblock(&mb, quality);
}

void dv_render_video_segment_yuv(dv_decoder_t *dv, dv_videosegment_t *seg, uint8_t **pixels,
                                 int *pitches) {
  render_segment(dv, seg, e_dv_color_yuv, pixels, pitches);
}

void dv_render_video_segment_rgb(dv_decoder_t *dv, dv_videosegment_t *seg, uint8_t **pixels,
                                 int *pitches) {
  render_segment(dv, seg, e_dv_color_rgb, pixels, pitches);
}

void dv_render_video_segment_bgr0(dv_decoder_t *dv, dv_videosegment_t *seg, uint8_t **pixels,
                                  int *pitches) {
  render_segment(dv, seg, e_dv_color_bgr0, pixels, pitches);
}

void dv_check_coeff_ranges(dv_macroblock_t *mb) {
  for (int b = 0; b < 6; ++b)
    for (dv_coeff_t c : mb->b[b].coeffs) {
      if (c < tarsk::ranges[b][0]) tarsk::ranges[b][0] = c;
      if (c > tarsk::ranges[b][1]) tarsk::ranges[b][1] = c;
    }
}

void dv_report_video_error(dv_decoder_t *dv, uint8_t *data) {
  FILE *log = dv->video->error_log;
  if (log == nullptr) return;
  for (uint32_t at = 0; at + dif::block_size <= dv->frame_size; at += dif::block_size) {
    const uint8_t *block = data + at;
    if (!dif::video_block_flagged(block)) continue;
    char timecode[40], datetime[40];
    dv_get_timestamp(dv, timecode);
    dv_get_recording_datetime(dv, datetime);
    std::fprintf(log, "%s %s %s %02x %02x %02x %02x\n", "ver", timecode, datetime, block[0],
                 block[1], block[2], block[3]);
  }
}

}  // extern "C"
