// The encoder object, and the sum of the quantiser search's tallies.
#include <cstdlib>

#include "encode/encode.h"
#include "init.h"

namespace {

// A zero-filled plane of `samples` 16-bit samples.
int16_t *new_plane(size_t samples) {
  return static_cast<int16_t *>(std::calloc(samples, sizeof(int16_t)));
}

constexpr size_t luma_samples = 720 * 576;
constexpr size_t chroma_samples = 360 * 576;

}  // namespace

namespace tarsk {

dv_encoder_t *new_encoder(int rem_ntsc_setup, int clamp_luma, int clamp_chroma) {
  build_tables();
  auto *enc = static_cast<dv_encoder_t *>(std::calloc(1, sizeof(dv_encoder_t)));
  if (enc == nullptr) return nullptr;
  enc->img_y = new_plane(luma_samples);
  enc->img_cr = new_plane(chroma_samples);
  enc->img_cb = new_plane(chroma_samples);
  if (enc->img_y == nullptr || enc->img_cr == nullptr || enc->img_cb == nullptr) {
    dv_encoder_free(enc);
    return nullptr;
  }
  enc->rem_ntsc_setup = rem_ntsc_setup;
  enc->clamp_luma = clamp_luma;
  enc->clamp_chroma = clamp_chroma;
  enc->frame_count = 0;
  return enc;
}

}  // namespace tarsk

extern "C" {

void dv_encoder_free(dv_encoder_t *encoder) {
  if (encoder == nullptr) return;
  std::free(encoder->img_y);
  std::free(encoder->img_cr);
  std::free(encoder->img_cb);
  std::free(encoder);
}

}  // extern "C"

namespace tarsk {

EncodeStats &EncodeStats::operator+=(const EncodeStats &other) {
  auto add = [](long *into, const long *from, int n) {
    for (int i = 0; i < n; ++i) into[i] += from[i];
  };
  add(cycles_used, other.cycles_used, 450);
  add(runs_used, other.runs_used, 15);
  add(classes_used, other.classes_used, 4);
  add(qnos_used, other.qnos_used, 16);
  add(dct_used, other.dct_used, 2);
  vlc_overflows += other.vlc_overflows;
  return *this;
}

}  // namespace tarsk
