// tarsk.h's decoder: a context with a decoder record of its own, pictures
// in any layout (native planes straight from the reconstruction), threads
// within a picture or a frame to a thread, concealment, and sound.
#include <tarsk/tarsk.h>

#include <algorithm>
#include <new>
#include <vector>

#include "api/engine.h"
#include "api/frame_ring.h"
#include "api/picture.h"
#include "common/dif.h"
#include "decode/audio.h"
#include "decode/metadata.h"

using namespace tarsk;

namespace {

constexpr int most_threads = 64;

unsigned quality_of(const tarsk_decoder_settings &s) {
  const unsigned depth = s.depth == TARSK_DEPTH_DC      ? unsigned{DV_QUALITY_DC}
                         : s.depth == TARSK_DEPTH_BLOCK ? unsigned{DV_QUALITY_AC_1}
                                                        : unsigned{DV_QUALITY_AC_2};
  return s.monochrome ? depth : depth | unsigned{DV_QUALITY_COLOR};
}

// The decoder record's option values for the settings' stream overrides:
// the rate as 0 (the pack's), 1 (32 kHz), 2 (44.1 kHz), 3 (48 kHz); the bits
// as 0, 1 (12), 2 (16); -1 for a value no option has.
int rate_option(int rate) {
  return rate == 0 ? 0 : rate == 32000 ? 1 : rate == 44100 ? 2 : rate == 48000 ? 3 : -1;
}
int bits_option(int bits) { return bits == 0 ? 0 : bits == 12 ? 1 : bits == 16 ? 2 : -1; }

Reconstruction reconstruction_of(const tarsk_decoder_settings &s) {
  return s.reconstruction == TARSK_RECONSTRUCTION_SPECIFIED ? Reconstruction::specified
                                                            : Reconstruction::accurate;
}

bool valid(const tarsk_decoder_settings &s) {
  return s.threads >= 1 && s.threads <= most_threads && s.depth >= TARSK_DEPTH_FULL &&
         s.depth <= TARSK_DEPTH_DC && s.video_system >= 0 && s.video_system <= 3 &&
         rate_option(s.audio_rate) >= 0 && bits_option(s.audio_bits) >= 0 &&
         s.audio_emphasis >= 0 && s.audio_emphasis <= 2 &&
         (s.reconstruction == TARSK_RECONSTRUCTION_ACCURATE ||
          s.reconstruction == TARSK_RECONSTRUCTION_SPECIFIED);
}

api::DecoderRecord decoder_record(const tarsk_decoder_settings &s) {
  api::DecoderRecord dv = api::make_decoder(s.ntsc_setup != 0, s.clamp_luma != 0,
                                            s.clamp_chroma != 0);
  if (!dv) return dv;
  dv->quality = quality_of(s);
  dv->arg_video_system = s.video_system;
  dv->audio->arg_audio_frequency = rate_option(s.audio_rate);
  dv->audio->arg_audio_quantization = bits_option(s.audio_bits);
  dv->audio->arg_audio_emphasis = s.audio_emphasis;
  return dv;
}

// Checks a picture against a parsed frame and, when its planes are not
// set, gives it planes of its layout; then the target to decode it to.
int prepare_picture(const dv_decoder_t *dv, tarsk_picture *picture, output::Target *target) {
  if (picture->data[0] == nullptr) {
    const int format =
        picture->format == TARSK_PIXEL_NATIVE
            ? tarsk_native_format(dv->sampling == e_dv_sample_411 ? TARSK_SAMPLING_411
                                                                   : TARSK_SAMPLING_420)
            : picture->format;
    if (const int made = tarsk_picture_alloc(picture, format, dv->width, dv->height);
        made != TARSK_OK)
      return made;
  }
  if (picture->width != dv->width || picture->height != dv->height) return TARSK_E_BAD_PICTURE;
  if (const int checked = api::check_planes(*picture); checked != TARSK_OK) return checked;
  *target = api::target_of(*picture, dv->sampling);
  return target->layout == output::Layout::none ? TARSK_E_BAD_PICTURE : TARSK_OK;
}

// Frame threads that decode whole frames, each frame in a slot of its own
// with its own decoder record; the results are taken in the order the
// frames went in, and concealed then, in stream order.
class FramePipeline {
 public:
  FramePipeline(const tarsk_decoder_settings &s, int threads)
      : ring_(threads, api::log_hook(s.log, s.log_user),
              [](Slot &slot, int) { slot.result = decode(slot); }) {
    for (size_t i = 0; i < ring_.size(); ++i) {
      Slot &slot = ring_.slot(i);
      slot.dv = decoder_record(s);
      slot.damage.conceal = s.conceal != 0;
      slot.reconstruction = reconstruction_of(s);
    }
  }

  bool ready() {
    for (size_t i = 0; i < ring_.size(); ++i)
      if (!ring_.slot(i).dv) return false;
    return true;
  }

  int send(const uint8_t *frame, size_t size, tarsk_picture *picture) {
    if (ring_.full()) return TARSK_E_AGAIN;
    Slot &slot = ring_.next();
    slot.frame = frame;
    slot.size = size;
    slot.picture = picture;
    ring_.send();
    return TARSK_OK;
  }

  int receive(api::PictureDecoder &pictures, tarsk_picture **picture,
              tarsk_picture_damage *damage) {
    if (ring_.empty()) return TARSK_E_AGAIN;
    Slot &slot = ring_.take();
    if (picture != nullptr) *picture = slot.picture;
    if (slot.result != TARSK_OK) return slot.result;
    const tarsk_picture_damage found = pictures.finish(slot.dv.get(), *slot.decoded, slot.damage);
    slot.stage.deliver(slot.dv.get(), slot.target, nullptr);
    if (damage != nullptr) *damage = found;
    return TARSK_OK;
  }

 private:
  struct Slot {
    api::DecoderRecord dv;
    std::unique_ptr<dv_videosegment_t> seg = std::make_unique<dv_videosegment_t>();
    bitstream_t bs{};
    const uint8_t *frame = nullptr;
    size_t size = 0;
    tarsk_picture *picture = nullptr;
    output::Target target;
    api::FieldStage stage;
    const output::Target *decoded = nullptr;  // the target, or the stage's planes
    FrameDamage damage;
    Reconstruction reconstruction = Reconstruction::accurate;
    int result = TARSK_OK;
  };

  static int decode(Slot &slot) {
    dv_decoder_t *dv = slot.dv.get();
    if (const int parsed = api::parse_frame(dv, slot.frame, slot.size); parsed != TARSK_OK)
      return parsed;
    if (slot.picture->data[0] == nullptr) return TARSK_E_BAD_CALL;
    if (const int ok = prepare_picture(dv, slot.picture, &slot.target); ok != TARSK_OK) return ok;
    slot.decoded = slot.stage.target_for(dv, slot.frame, slot.target, slot.reconstruction);
    if (slot.decoded == nullptr) return TARSK_E_NO_MEMORY;
    decode_segments(dv, slot.frame, *slot.decoded, slot.seg.get(), &slot.bs, 0,
                    dv->num_dif_seqs * dif::segments_per_sequence, &slot.damage,
                    slot.reconstruction);
    return TARSK_OK;
  }

  api::FrameRing<Slot> ring_;
};

// What a parsed frame says about itself.
void fill_info(dv_decoder_t *dv, const uint8_t *frame, size_t size, tarsk_frame_info *info) {
  dv_parse_packs(dv, frame);
  *info = tarsk_frame_info{};
  info->system = dv->system == e_dv_system_625_50 ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
  info->sampling = dv->sampling == e_dv_sample_411 ? TARSK_SAMPLING_411 : TARSK_SAMPLING_420;
  info->smpte_314m = dv->std == e_dv_std_smpte_314m;
  info->width = dv->width;
  info->height = dv->height;
  info->wide = dv_format_wide(dv) == 1;
  info->progressive = !interlaced_pictures(frame, dv->num_dif_seqs);
  if (Timecode t; timecode(dv, t)) {
    info->has_timecode = 1;
    info->timecode = {t.hours, t.minutes, t.seconds, t.frames, t.drop_frame};
  }
  if (DateTime d; recording_datetime(dv, d)) {
    info->has_recording_date = 1;
    info->recording_date = {d.year, d.month, d.day, d.hours, d.minutes, d.seconds};
  }
  // The header's parse read the AAUX source pack.
  if (dv->audio->samples_this_frame > 0 && dv->audio->frequency > 0) {
    const dv_audio_t *a = dv->audio;
    info->audio_rate = a->frequency;
    info->audio_bits = a->quantization;
    info->audio_channels = a->quantization == 12 ? 4 : 2;
    info->audio_samples = a->samples_this_frame;
    info->audio_locked = a->aaux_as.pc1.lf == 0;
  }
  for (size_t at = 0; at + dif::block_size <= size; at += dif::block_size)
    info->flagged_video += dif::video_block_flagged(frame + at);
}

// A parsed frame's sound, interleaved.
int decode_sound(dv_decoder_t *dv, const uint8_t *frame, int16_t *samples, size_t capacity,
                 tarsk_audio *audio) {
  constexpr size_t most = TARSK_AUDIO_MAX_FRAMES;
  int16_t channels[4][most];
  int16_t *buffers[4] = {channels[0], channels[1], channels[2], channels[3]};
  if (dv_decode_full_audio(dv, frame, buffers) != 1) return TARSK_E_NO_AUDIO;
  const dv_audio_t *a = dv->audio;
  const int count = a->quantization == 12 ? 4 : 2;
  const size_t frames = static_cast<size_t>(std::clamp(a->samples_this_frame, 0, int{most}));
  if (capacity < frames * static_cast<size_t>(count)) return TARSK_E_BAD_BUFFER;
  for (size_t i = 0; i < frames; ++i)
    for (int c = 0; c < count; ++c) samples[i * count + c] = channels[c][i];
  *audio = tarsk_audio{a->frequency, a->quantization, count, static_cast<int>(frames),
                       dv_frame_has_audio_errors(dv)};
  return TARSK_OK;
}

// The damage of a parsed frame's video, per DIF sequence, from the
// macroblocks `damage` marks and the blocks' status nibbles.
void video_facts(const dv_decoder_t *dv, const uint8_t *frame, const FrameDamage &damage,
                 tarsk_frame_facts *facts) {
  for (int s = 0; s < dv->num_dif_seqs; ++s) {
    tarsk_sequence_facts &q = facts->sequence[s];
    for (int k = 0; k < dif::segments_per_sequence; ++k)
      for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
        const int n = dif::segments_per_sequence * s + k;
        const bool flagged =
            dif::video_block_flagged(frame + dif::block_offset(s, dif::video_block(k, m)));
        const bool damaged = damage.macroblocks[dif::macroblocks_per_segment * n + m] != 0;
        q.flagged_video += flagged;
        q.broken_video += damaged && !flagged;
        if (damaged || flagged) q.damaged_segments |= uint32_t{1} << k;
        facts->damaged_macroblocks += damaged || flagged;
      }
  }
}

// The error-coded samples of a frame with readable sound, per DIF sequence
// and channel.
void audio_facts(const dv_decoder_t *dv, const uint8_t *frame, tarsk_frame_facts *facts) {
  for (int s = 0; s < dv->num_dif_seqs; ++s)
    for (int a = 0; a < dif::audio_blocks_per_sequence; ++a)
      if (const int found =
              count_audio_errors(dv->audio, frame + dif::audio_offset(s, a), s, a, facts->audio_errors);
          found > 0) {
        facts->sequence[s].audio_errors += found;
        facts->sequence[s].damaged_audio |= uint32_t{1} << a;
      }
}

}  // namespace

struct tarsk_decoder {
  tarsk_decoder_settings settings{};
  LogHook log{};
  api::DecoderRecord dv;
  api::PictureDecoder pictures{true};
  std::unique_ptr<api::SegmentCrew> crew;  // made at the first picture, with threads

  // The threads that share each picture, made when first needed (frame
  // threads need none); null with one thread or when they cannot be had,
  // and the picture is then decoded on the caller's thread alone.
  api::SegmentCrew *picture_crew() {
    if (!crew && settings.threads > 1) {
      try {
        crew = std::make_unique<api::SegmentCrew>(settings.threads);
      } catch (const std::exception &) {
        return nullptr;
      }
    }
    return crew.get();
  }
  std::unique_ptr<FramePipeline> pipeline;

  // Inspection's own parse of a frame's video, apart from the pictures'.
  std::unique_ptr<dv_videosegment_t> inspect_seg;
  bitstream_t inspect_bs{};
  FrameDamage inspect_damage;
};

extern "C" {

void tarsk_decoder_default_settings(tarsk_decoder_settings *settings) {
  if (settings == nullptr) return;
  *settings = tarsk_decoder_settings{};
  settings->threads = 1;
  settings->depth = TARSK_DEPTH_FULL;
  settings->conceal = 1;
}

int tarsk_decoder_open(tarsk_decoder **decoder, const tarsk_decoder_settings *settings) {
  if (decoder == nullptr) return TARSK_E_BAD_CALL;
  *decoder = nullptr;
  tarsk_decoder_settings defaults;
  tarsk_decoder_default_settings(&defaults);
  const tarsk_decoder_settings &s = settings != nullptr ? *settings : defaults;
  if (!valid(s)) return TARSK_E_BAD_SETTINGS;
  try {
    auto d = std::make_unique<tarsk_decoder>();
    d->settings = s;
    d->log = api::log_hook(s.log, s.log_user);
    const LogScope scope(d->log);
    d->dv = decoder_record(s);
    if (!d->dv) return TARSK_E_NO_MEMORY;
    d->pictures.set_conceal(s.conceal != 0);
    d->pictures.set_reconstruction(reconstruction_of(s));
    *decoder = d.release();
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  } catch (const std::system_error &) {
    return TARSK_E_NO_MEMORY;  // threads could not be had
  }
  return TARSK_OK;
}

void tarsk_decoder_close(tarsk_decoder **decoder) {
  if (decoder == nullptr) return;
  delete *decoder;
  *decoder = nullptr;
}

int tarsk_decode_info(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                      tarsk_frame_info *info) {
  if (decoder == nullptr || frame == nullptr || info == nullptr) return TARSK_E_BAD_CALL;
  const LogScope scope(decoder->log);
  dv_decoder_t *dv = decoder->dv.get();
  if (const int parsed = api::parse_frame(dv, frame, size); parsed != TARSK_OK) return parsed;
  fill_info(dv, frame, size, info);
  return TARSK_OK;
}

int tarsk_inspect_frame(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                        tarsk_frame_facts *facts) {
  if (decoder == nullptr || frame == nullptr || facts == nullptr) return TARSK_E_BAD_CALL;
  const LogScope scope(decoder->log);
  dv_decoder_t *dv = decoder->dv.get();
  if (const int parsed = api::parse_frame(dv, frame, size); parsed != TARSK_OK) return parsed;
  try {
    if (!decoder->inspect_seg) decoder->inspect_seg = std::make_unique<dv_videosegment_t>();
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  }
  *facts = tarsk_frame_facts{};
  fill_info(dv, frame, size, &facts->info);
  facts->sequences = dv->num_dif_seqs;
  const RecordingMarks marks = recording_marks(frame);
  facts->recording_start = marks.start;
  facts->recording_end = marks.end;
  int32_t track = 0;
  facts->has_absolute_track = absolute_track(frame, dv->num_dif_seqs, track);
  facts->absolute_track = facts->has_absolute_track ? track : 0;
  FrameDamage &damage = decoder->inspect_damage;
  damage.conceal = false;
  decode_segments(dv, frame, {}, decoder->inspect_seg.get(), &decoder->inspect_bs, 0,
                  dv->num_dif_seqs * dif::segments_per_sequence, &damage);
  video_facts(dv, frame, damage, facts);
  if (facts->info.audio_rate > 0) audio_facts(dv, frame, facts);
  return TARSK_OK;
}

int tarsk_decode_video(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                       tarsk_picture *picture, tarsk_picture_damage *damage) {
  if (decoder == nullptr || frame == nullptr || picture == nullptr) return TARSK_E_BAD_CALL;
  const LogScope scope(decoder->log);
  dv_decoder_t *dv = decoder->dv.get();
  if (const int parsed = api::parse_frame(dv, frame, size); parsed != TARSK_OK) return parsed;
  output::Target target;
  if (const int ok = prepare_picture(dv, picture, &target); ok != TARSK_OK) return ok;
  const auto found = decoder->pictures.decode(dv, frame, target, decoder->picture_crew());
  if (!found) return TARSK_E_NO_MEMORY;
  if (damage != nullptr) *damage = *found;
  return TARSK_OK;
}

int tarsk_decode_check(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                       tarsk_picture_damage *damage) {
  if (decoder == nullptr || frame == nullptr) return TARSK_E_BAD_CALL;
  const LogScope scope(decoder->log);
  dv_decoder_t *dv = decoder->dv.get();
  if (const int parsed = api::parse_frame(dv, frame, size); parsed != TARSK_OK) return parsed;
  const auto found = decoder->pictures.decode(dv, frame, {}, nullptr);
  if (!found) return TARSK_E_NO_MEMORY;
  if (damage != nullptr) *damage = *found;
  return TARSK_OK;
}

void tarsk_decoder_reset(tarsk_decoder *decoder) {
  if (decoder != nullptr) decoder->pictures.reset();
}

int tarsk_decode_send(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                      tarsk_picture *picture) {
  if (decoder == nullptr || frame == nullptr || picture == nullptr || picture->data[0] == nullptr)
    return TARSK_E_BAD_CALL;
  const LogScope scope(decoder->log);
  try {
    if (!decoder->pipeline) {
      auto pipeline = std::make_unique<FramePipeline>(decoder->settings, decoder->settings.threads);
      if (!pipeline->ready()) return TARSK_E_NO_MEMORY;
      decoder->pipeline = std::move(pipeline);
    }
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  } catch (const std::system_error &) {
    return TARSK_E_NO_MEMORY;
  }
  return decoder->pipeline->send(frame, size, picture);
}

int tarsk_decode_receive(tarsk_decoder *decoder, tarsk_picture **picture,
                         tarsk_picture_damage *damage) {
  if (decoder == nullptr) return TARSK_E_BAD_CALL;
  if (!decoder->pipeline) return TARSK_E_AGAIN;
  return decoder->pipeline->receive(decoder->pictures, picture, damage);
}

int tarsk_decode_audio(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                       int16_t *samples, size_t capacity, tarsk_audio *audio) {
  if (decoder == nullptr || frame == nullptr || samples == nullptr || audio == nullptr)
    return TARSK_E_BAD_CALL;
  const LogScope scope(decoder->log);
  dv_decoder_t *dv = decoder->dv.get();
  if (const int parsed = api::parse_frame(dv, frame, size); parsed != TARSK_OK) return parsed;
  return decode_sound(dv, frame, samples, capacity, audio);
}

int tarsk_decode_frame(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                       tarsk_frame_info *info, tarsk_picture *picture,
                       tarsk_picture_damage *damage, int16_t *samples, size_t capacity,
                       tarsk_audio *audio) {
  if (decoder == nullptr || frame == nullptr) return TARSK_E_BAD_CALL;
  const LogScope scope(decoder->log);
  dv_decoder_t *dv = decoder->dv.get();
  if (const int parsed = api::parse_frame(dv, frame, size); parsed != TARSK_OK) return parsed;
  if (info != nullptr) fill_info(dv, frame, size, info);
  if (picture != nullptr || damage != nullptr) {
    output::Target target;
    if (picture != nullptr)
      if (const int ok = prepare_picture(dv, picture, &target); ok != TARSK_OK) return ok;
    const auto found = decoder->pictures.decode(
        dv, frame, target, picture != nullptr ? decoder->picture_crew() : nullptr);
    if (!found) return TARSK_E_NO_MEMORY;
    if (damage != nullptr) *damage = *found;
  }
  if (audio == nullptr) return TARSK_OK;
  *audio = tarsk_audio{};
  if (samples == nullptr || dv->audio->samples_this_frame <= 0) return TARSK_OK;
  return decode_sound(dv, frame, samples, capacity, audio);
}

}  // extern "C"
