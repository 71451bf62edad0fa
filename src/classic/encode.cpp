// dv.h's encoding with its process-wide parts: the encoder record that
// makes dv_init's clamp choice, and frames and segments whose tallies go to
// the process-wide counters.
#include <tarsk/dv.h>

#include "classic/statistics.h"
#include "encode/encode.h"

extern "C" {

dv_encoder_t *dv_encoder_new(int rem_ntsc_setup, int clamp_luma, int clamp_chroma) {
  dv_encoder_t *enc = tarsk::new_encoder(rem_ntsc_setup, clamp_luma, clamp_chroma);
  if (enc != nullptr) dv_init(clamp_luma, clamp_chroma);
  return enc;
}

int dv_encode_videosegment(dv_encoder_t *dv_enc, dv_videosegment_t *videoseg, uint8_t *vsbuffer) {
  tarsk::EncodeStats stats{};
  const int result = tarsk::encode_videosegment(dv_enc, videoseg, vsbuffer, stats);
  tarsk::add_encode_statistics(stats);
  return result;
}

int dv_encode_full_frame(dv_encoder_t *dv_enc, uint8_t **in, dv_color_space_t color_space,
                         uint8_t *out) {
  tarsk::EncodeStats stats{};
  const int result = tarsk::encode_full_frame(dv_enc, in, color_space, out, stats);
  tarsk::add_encode_statistics(stats);
  return result;
}

}  // extern "C"
