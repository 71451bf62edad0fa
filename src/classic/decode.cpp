// dv.h's decoding with its process-wide parts: the decoder record that
// makes dv_init's clamp choice, whole frames decoded one at a time in the
// process through one segment record under dv_mutex, the segment entry
// points, the coefficient range diagnostic and the video error report.
#include <tarsk/dv.h>

#include <cstdio>

#include "common/dif.h"
#include "decode/decoder.h"
#include "decode/frame.h"
#include "decode/output/output.h"

namespace {

namespace dif = tarsk::dif;

// The process-wide segment record of dv_decode_full_frame, used under
// dv_mutex, and its bit reader.
dv_videosegment_t shared_segment;
bitstream_t shared_bits;

void render_segment(dv_decoder_t *dv, dv_videosegment_t *seg, dv_color_space_t color_space,
                    uint8_t **pixels, int *pitches) {
  const auto target = tarsk::output::packed_target(color_space, pixels[0], pitches[0]);
  for (dv_macroblock_t &mb : seg->mb) tarsk::render_macroblock(dv, &mb, target);
}

}  // namespace

namespace tarsk {

// Smallest and largest coefficient seen in each block position by
// dv_check_coeff_ranges, a diagnostic.
int32_t ranges[6][2];

}  // namespace tarsk

extern "C" {

int dv_use_mmx = 0;

dv_decoder_t *dv_decoder_new(int add_ntsc_setup, int clamp_luma, int clamp_chroma) {
  dv_decoder_t *dv = tarsk::new_decoder(add_ntsc_setup, clamp_luma, clamp_chroma);
  if (dv != nullptr) dv_init(clamp_luma, clamp_chroma);
  return dv;
}

pthread_mutex_t dv_mutex = PTHREAD_MUTEX_INITIALIZER;

void dv_decode_full_frame(dv_decoder_t *dv, const uint8_t *buffer, dv_color_space_t color_space,
                          uint8_t **pixels, int *pitches) {
  pthread_mutex_lock(&dv_mutex);
  tarsk::decode_segments(
      dv, buffer, tarsk::output::packed_target(color_space, pixels[0], pitches[0]), &shared_segment,
      &shared_bits, 0, dv->num_dif_seqs * dif::segments_per_sequence);
  pthread_mutex_unlock(&dv_mutex);
}

void dv_decode_video_segment(dv_decoder_t *, dv_videosegment_t *seg, unsigned int quality) {
  for (dv_macroblock_t &mb : seg->mb) tarsk::reconstruct_macroblock(&mb, quality);
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
