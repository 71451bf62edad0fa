// The decoding that the library's own faces share.
#include "api/engine.h"

#include <cstdio>
#include <cstdlib>

#include "common/dif.h"
#include "decode/decoder.h"
#include "decode/metadata.h"
#include "init.h"

namespace tarsk::api {

LogHook log_hook(tarsk_log_callback log, void *user) {
  if (log != nullptr) return {log, user};
  return {[](void *, int, const char *message) { std::fputs(message, stderr); }, nullptr};
}

DecoderRecord make_decoder(bool ntsc_setup, bool clamp_luma, bool clamp_chroma) {
  build_tables();
  DecoderRecord dv(new_decoder(ntsc_setup, clamp_luma, clamp_chroma));
  if (!dv) return dv;
  dv_set_error_log(dv.get(), nullptr);  // damage is counted, not written out
  dv->quality = DV_QUALITY_BEST;
  return dv;
}

int check_frame(const uint8_t *frame, size_t size, dv_system_t *system) {
  if (frame == nullptr || size < 4 || !dif::is_header_block(frame)) return TARSK_E_NOT_DV;
  const bool fifty = dif::fifty_fields_of(frame);
  if (size != (fifty ? frame_size_625_50 : frame_size_525_60)) return TARSK_E_BAD_FRAME;
  for (int s = 0; s < dif::sequences(fifty); ++s) {
    const uint8_t *block = frame + dif::block_offset(s, dif::header_block);
    if (dif::section_of(block) != dif::Section::header || dif::sequence_of(block) != s ||
        dif::fifty_fields_of(block) != fifty)
      return TARSK_E_BAD_FRAME;
  }
  if (system != nullptr) *system = fifty ? e_dv_system_625_50 : e_dv_system_525_60;
  return TARSK_OK;
}

int parse_frame(dv_decoder_t *dv, const uint8_t *frame, size_t size) {
  if (const int checked = check_frame(frame, size, nullptr); checked != TARSK_OK) return checked;
  // A frame without an AAUX source pack leaves the audio record as it was:
  // the previous frame's sound must not pass for this one's.
  dv->audio->samples_this_frame = 0;
  dv->audio->frequency = 0;
  if (dv_parse_header(dv, frame) < 0 || size != dv->frame_size) return TARSK_E_BAD_FRAME;
  return TARSK_OK;
}

SegmentCrew::SegmentCrew(int threads)
    : parts_(static_cast<size_t>(std::max(threads, 1))), crew_(std::max(threads, 1)) {}

void SegmentCrew::decode(dv_decoder_t *dv, const uint8_t *frame, const output::Target &target,
                         FrameDamage *damage, Reconstruction reconstruction) {
  // Each thread takes the next video segment not yet taken, so that busy
  // parts of the picture do not hold one thread up while another idles.
  // Every segment writes its own macroblocks only.
  next_segment_.store(0, std::memory_order_relaxed);
  const int segments = dv->num_dif_seqs * dif::segments_per_sequence;
  auto task = [&](int i) {
    Part &part = parts_[static_cast<size_t>(i)];
    for (int n; (n = next_segment_.fetch_add(1, std::memory_order_relaxed)) < segments;)
      decode_segments(dv, frame, target, part.seg.get(), &part.bs, n, n + 1, damage,
                      reconstruction);
  };
  crew_.run(task);
}

const output::Target *FieldStage::target_for(const dv_decoder_t *dv, const uint8_t *frame,
                                             const output::Target &target,
                                             Reconstruction reconstruction) {
  using output::Layout;
  active_ = reconstruction == Reconstruction::accurate && dv->sampling == e_dv_sample_420 &&
            (target.layout == Layout::yuy2 || target.layout == Layout::rgb ||
             target.layout == Layout::bgr0 ||
             (target.layout == Layout::planar && target.chroma_shift_y == 0));
  if (!active_) return &target;
  fields_ = interlaced_pictures(frame, dv->num_dif_seqs);
  const size_t luma = static_cast<size_t>(dv->width) * static_cast<size_t>(dv->height);
  try {
    planes_.resize(luma + luma / 2);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  staged_.layout = Layout::planar;
  staged_.chroma_shift_x = staged_.chroma_shift_y = 1;
  staged_.plane[0] = planes_.data();
  staged_.plane[1] = planes_.data() + luma;
  staged_.plane[2] = planes_.data() + luma + luma / 4;
  staged_.pitch[0] = dv->width;
  staged_.pitch[1] = staged_.pitch[2] = dv->width / 2;
  return &staged_;
}

void FieldStage::deliver(const dv_decoder_t *dv, const output::Target &target,
                         SegmentCrew *crew) const {
  if (!active_) return;
  const output::Tables &t = output::tables(dv->clamp_luma, dv->clamp_chroma);
  auto band = [&](int first, int last) {
    output::write_spread_420(staged_, dv->width, dv->height, fields_, target, t, first, last);
  };
  if (crew != nullptr)
    crew->bands(dv->height, band);
  else
    band(0, dv->height);
}

std::optional<tarsk_picture_damage> PictureDecoder::decode(dv_decoder_t *dv, const uint8_t *frame,
                                                           const output::Target &target,
                                                           SegmentCrew *crew) {
  const output::Target *decoded = stage_.target_for(dv, frame, target, reconstruction_);
  if (decoded == nullptr) return std::nullopt;
  if (crew != nullptr)
    crew->decode(dv, frame, *decoded, &damage_, reconstruction_);
  else
    decode_segments(dv, frame, *decoded, seg_.get(), &bs_, 0,
                    dv->num_dif_seqs * dif::segments_per_sequence, &damage_, reconstruction_);
  const tarsk_picture_damage found = finish(dv, *decoded, damage_);
  stage_.deliver(dv, target, crew);
  return found;
}

tarsk_picture_damage PictureDecoder::finish(const dv_decoder_t *dv, const output::Target &decoded,
                                            const FrameDamage &damage) {
  tarsk_picture_damage found{};
  if (decoded.layout != output::Layout::none && damage.conceal) {
    found.damaged_macroblocks = previous_.conceal(dv, decoded, damage);
    found.concealed_macroblocks = found.damaged_macroblocks;
  } else {
    const int macroblocks =
        dv->num_dif_seqs * dif::segments_per_sequence * dif::macroblocks_per_segment;
    for (int i = 0; i < macroblocks; ++i) found.damaged_macroblocks += damage.macroblocks[i];
  }
  return found;
}

}  // namespace tarsk::api
