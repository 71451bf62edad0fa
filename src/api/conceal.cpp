// The C++ API's concealment: pictures decoded with their damaged
// macroblocks marked, then covered with the previous picture's.
#include <tarsk/tarsk.hpp>

#include "api/conceal.h"

#include "common/dif.h"

namespace tarsk {

PictureDamage conceal_picture(PreviousPicture &previous, const dv_decoder_t *dv,
                              dv_color_space_t space, const FrameDamage &damage, uint8_t *out,
                              size_t pitch) {
  PictureDamage found;
  const bool written =
      space == e_dv_color_yuv || space == e_dv_color_rgb || space == e_dv_color_bgr0;
  if (written && damage.conceal) {
    found.damaged_macroblocks = previous.conceal(
        dv, output::packed_target(space, out, static_cast<int>(pitch)), damage);
    found.concealed_macroblocks = found.damaged_macroblocks;
    return found;
  }
  const int macroblocks =
      dv->num_dif_seqs * dif::segments_per_sequence * dif::macroblocks_per_segment;
  for (int i = 0; i < macroblocks; ++i) found.damaged_macroblocks += damage.macroblocks[i];
  return found;
}

struct Concealment::Impl {
  FrameDamage damage;
  PreviousPicture previous;
  dv_videosegment_t seg{};
  bitstream_t bs{};
};

Concealment::Concealment(bool on) : impl_(std::make_unique<Impl>()) { impl_->damage.conceal = on; }
Concealment::~Concealment() = default;

bool Concealment::on() const { return impl_->damage.conceal; }
void Concealment::set_on(bool on) {
  impl_->damage.conceal = on;
  impl_->previous.reset();
}
void Concealment::reset() { impl_->previous.reset(); }

PictureDamage Concealment::decode(dv_decoder_t *dv, const uint8_t *frame, dv_color_space_t space,
                                  uint8_t *pixels, int pitch, FrameWorkers *workers) {
  Impl &c = *impl_;
  if (workers != nullptr) {
    workers->decode(dv, frame, space, pixels, pitch, &c.damage);
  } else {
    decode_segments(dv, frame, output::packed_target(space, pixels, pitch), &c.seg, &c.bs, 0,
                    dv->num_dif_seqs * dif::segments_per_sequence, &c.damage);
  }
  return conceal_picture(c.previous, dv, space, c.damage, pixels, static_cast<size_t>(pitch));
}

}  // namespace tarsk
