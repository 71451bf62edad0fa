// tarsk.h's encoder: pictures given as planes, at the stream's chroma
// sampling or at 4:2:2, into whole DV frames, on one thread or several.
// The picture goes into the encoder's planes in its scale (2 x (v - 128)),
// chroma as it came: the stream's own sampling is filled into blocks as it
// is, 4:2:2 averaged in pairs to the stream's. The stream's sampling is
// the system's own, or 4:1:1 in 625/50, which makes SMPTE 314M frames.
#include <tarsk/tarsk.h>

#include <array>
#include <atomic>
#include <climits>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include "api/crew.h"
#include "api/engine.h"
#include "api/frame_ring.h"
#include "api/picture.h"
#include "common/dif.h"
#include "common/log.h"
// tarsk.h's encoders add their tallies to dv.h's process-wide counters, which
// dv_show_statistics prints (`tarsk encode --stats`): classic/ holds them.
#include "classic/statistics.h"
#include "dsp/dsp.h"
#include "encode/audio.h"
#include "encode/encode.h"

using namespace tarsk;

namespace {

constexpr int width = 720;
constexpr int most_threads = 64;

// Lines [first, end) of a plane `width` samples wide into the encoder's
// scale, packed.
void to_scale(const uint8_t *from, ptrdiff_t stride, int width, int first, int end, int16_t *to) {
  for (int l = first; l < end; ++l)
    dsp::dsp().encode.to_encoder_scale(from + l * stride, to + static_cast<ptrdiff_t>(l) * width,
                                       width);
}

struct FreeEncoder {
  void operator()(dv_encoder_t *enc) const { dv_encoder_free(enc); }
};
using EncoderRecord = std::unique_ptr<dv_encoder_t, FreeEncoder>;

// What a frame is stamped with: its number (the count of frames before
// it, from INT_MAX back to 0), from which its time code, block counters
// and the sequence numbers of its blocks follow, and the recording clock
// before the frame moves it on.
struct Stamp {
  int number = 0;
  std::time_t clock = 0;
};

// Threads that share one picture: each takes a share of the lines into the
// planes, then the next video segment not yet taken until none is left.
struct SegmentShare {
  explicit SegmentShare(int threads) : crew(threads) {
    for (int t = 0; t < threads; ++t) segments.push_back(std::make_unique<dv_videosegment_t>());
  }
  Crew crew;
  std::vector<std::unique_ptr<dv_videosegment_t>> segments;
  std::atomic<int> next{0};
};

// A picture on its way through the frame threads: the caller's picture
// record and frame, and the frame's stamp.
struct FrameSlot {
  tarsk_picture picture{};
  uint8_t *frame = nullptr;
  Stamp stamp;
};

}  // namespace

struct tarsk_encoder {
  tarsk_encoder_settings settings{};
  LogHook log{};
  EncoderRecord enc;      // the caller's thread's planes, and the frame count
  std::time_t clock = 0;  // the recording clock, one second behind the next second's start
  dv_sample_t sampling = e_dv_sample_none;  // the stream's
  bool smpte_314m = false;                  // 4:1:1 in 625/50
  // Threads for each picture (tarsk_encode_video), made at its first
  // picture; frame threads (tarsk_encode_send), made at the first send.
  std::unique_ptr<SegmentShare> share;
  std::vector<EncoderRecord> workers;               // a record for each frame thread's planes
  std::unique_ptr<api::FrameRing<FrameSlot>> ring;  // after workers: its threads stop first

  bool pal() const { return settings.system == TARSK_SYSTEM_625_50; }
  bool progressive() const { return settings.progressive != 0; }
  size_t frame_bytes() const { return pal() ? frame_size_625_50 : frame_size_525_60; }
  EncoderRecord make_record() const;
  int check(const tarsk_picture &picture) const;
  Stamp next_stamp();
  void encode(dv_encoder_t *record, const tarsk_picture &picture, uint8_t *frame, Stamp stamp,
              SegmentShare *share) const;
  int start_frame_threads();
  // The threads that share each picture, made when first needed; null with
  // one thread or when they cannot be had (the caller's thread alone).
  SegmentShare *segment_share() {
    if (!share && settings.threads > 1) {
      try {
        share = std::make_unique<SegmentShare>(settings.threads);
      } catch (const std::exception &) {
        return nullptr;
      }
    }
    return share.get();
  }
};

// A record of the settings' system and coding choices, or null.
EncoderRecord tarsk_encoder::make_record() const {
  EncoderRecord e(new_encoder(0, 0, 0));
  if (!e) return e;
  e->isPAL = pal();
  e->is16x9 = settings.wide != 0;
  e->vlc_encode_passes = settings.passes;
  e->static_qno = settings.static_qno;
  e->force_dct = settings.force_dct;
  return e;
}

// A picture the encoder takes: its format at the stream's sampling or
// I422, 720 wide, the system's height, planes that hold it.
int tarsk_encoder::check(const tarsk_picture &picture) const {
  const bool native =
      picture.format == (sampling == e_dv_sample_420 ? TARSK_PIXEL_I420 : TARSK_PIXEL_Y41B);
  if ((!native && picture.format != TARSK_PIXEL_I422) || picture.width != width ||
      picture.height != (pal() ? 576 : 480))
    return TARSK_E_BAD_PICTURE;
  return api::check_planes(picture);
}

// The next frame's stamp; the frame count and the clock move on past it.
Stamp tarsk_encoder::next_stamp() {
  const Stamp stamp{enc->frame_count, clock};
  advance_clock(&clock, stamp.number, pal());
  count_frame(enc.get());
  return stamp;
}

// A checked picture into `frame` through the planes of `record`: on the
// calling thread, or shared by the threads of `share`. The frame's bytes
// depend on the picture, the settings and the stamp alone. Reads only what
// open set, so that frame threads may call it at once, each with a record
// of its own.
void tarsk_encoder::encode(dv_encoder_t *record, const tarsk_picture &picture, uint8_t *frame,
                           Stamp stamp, SegmentShare *share) const {
  const int lines = pal() ? 576 : 480;
  const bool native = picture.format != TARSK_PIXEL_I422;
  const int chroma_width = picture.format == TARSK_PIXEL_Y41B ? 180 : 360;
  const int chroma_lines = picture.format == TARSK_PIXEL_I420 ? lines / 2 : lines;
  const bool best = settings.quality == TARSK_QUALITY_BEST;
  // The best quality keeps each field's colour; the standard one makes
  // dv.h's encoder's frames.
  const Planes planes{record->img_y, record->img_cr, record->img_cb,         sampling,
                      chroma_width,  native,         best && !progressive()};
  const auto to_planes = [&](int part, int parts) {
    to_scale(picture.data[0], picture.stride[0], width, lines * part / parts,
             lines * (part + 1) / parts, record->img_y);
    const int first = chroma_lines * part / parts, end = chroma_lines * (part + 1) / parts;
    to_scale(picture.data[1], picture.stride[1], chroma_width, first, end, record->img_cb);
    to_scale(picture.data[2], picture.stride[2], chroma_width, first, end, record->img_cr);
  };
  if (share == nullptr) {
    to_planes(0, 1);
    EncodeStats stats{};
    encode_planes(record, frame, stats, best, &planes);
    add_encode_statistics(stats);
  } else {
    // Each thread keeps a tally of its own, added to the process-wide
    // counters once, so that the totals are those of one thread.
    const int parts = share->crew.size();
    auto convert = [&](int part) { to_planes(part, parts); };
    share->crew.run(convert);
    begin_planes(record, frame);
    const int count = frame_segments(record);
    share->next.store(0, std::memory_order_relaxed);
    auto encode_segments = [&](int part) {
      EncodeStats stats{};
      dv_videosegment_t *seg = share->segments[static_cast<size_t>(part)].get();
      for (int n; (n = share->next.fetch_add(1, std::memory_order_relaxed)) < count;)
        encode_planes_segment(record, frame, n, seg, stats, best, &planes);
      add_encode_statistics(stats);
    };
    share->crew.run(encode_segments);
  }
  write_meta_data(frame, stamp.number, pal(), settings.wide != 0, smpte_314m, &stamp.clock,
                  !progressive());
  // Past the largest time code an int holds, frames carry none.
  const int64_t timecode = settings.timecode + stamp.number;
  encode_timecode(frame, pal(),
                  timecode > INT_MAX || timecode < 0 ? -1 : static_cast<int>(timecode),
                  settings.drop_frame != 0);
}

// The frame threads, a record each; TARSK_E_NO_MEMORY when either cannot
// be had.
int tarsk_encoder::start_frame_threads() {
  const int threads = settings.threads;
  std::vector<EncoderRecord> made(static_cast<size_t>(threads));
  for (EncoderRecord &record : made)
    if (!(record = make_record())) return TARSK_E_NO_MEMORY;
  workers = std::move(made);
  ring = std::make_unique<api::FrameRing<FrameSlot>>(
      threads, log, [this](FrameSlot &slot, int thread) {
        encode(workers[static_cast<size_t>(thread)].get(), slot.picture, slot.frame, slot.stamp,
               nullptr);
      });
  return TARSK_OK;
}

namespace {

// The stream's chroma sampling for valid settings: the system's own unless
// they ask for another the system has; none when they ask for one it has
// not (4:2:0 in 525/60) or for no sampling there is.
dv_sample_t sampling_of(const tarsk_encoder_settings &s) {
  const bool pal = s.system == TARSK_SYSTEM_625_50;
  switch (s.sampling) {
    case TARSK_ENCODE_SAMPLING_SYSTEM:
      return dif::sampling_of(pal, false);
    case TARSK_ENCODE_SAMPLING_411:
      return e_dv_sample_411;
    case TARSK_ENCODE_SAMPLING_420:
      return pal ? e_dv_sample_420 : e_dv_sample_none;
    default:
      return e_dv_sample_none;
  }
}

}  // namespace

extern "C" {

void tarsk_encoder_default_settings(tarsk_encoder_settings *settings) {
  if (settings == nullptr) return;
  *settings = tarsk_encoder_settings{};
  settings->system = TARSK_SYSTEM_625_50;
  settings->quality = TARSK_QUALITY_STANDARD;
  settings->passes = 3;
  settings->force_dct = -1;
  settings->threads = 1;
  settings->sampling = TARSK_ENCODE_SAMPLING_SYSTEM;
}

int tarsk_encoder_open(tarsk_encoder **encoder, const tarsk_encoder_settings *settings) {
  if (encoder == nullptr) return TARSK_E_BAD_CALL;
  *encoder = nullptr;
  tarsk_encoder_settings defaults;
  tarsk_encoder_default_settings(&defaults);
  const tarsk_encoder_settings &s = settings != nullptr ? *settings : defaults;
  const bool best = s.quality == TARSK_QUALITY_BEST;
  if ((s.system != TARSK_SYSTEM_525_60 && s.system != TARSK_SYSTEM_625_50) ||
      (!best && s.quality != TARSK_QUALITY_STANDARD) || s.passes < 1 || s.passes > 3 ||
      s.static_qno < 0 || s.static_qno > 2 || s.force_dct < -1 || s.force_dct > 1 ||
      s.threads < 1 || s.threads > most_threads || s.timecode < 0 ||
      // Drop-frame time code is 525/60's, whose frames come 30000/1001 a second.
      (s.drop_frame != 0 && (s.drop_frame != 1 || s.system != TARSK_SYSTEM_525_60)) ||
      (s.progressive != 0 && s.progressive != 1) ||
      sampling_of(s) == e_dv_sample_none ||
      // The best quality searches the whole segment: three passes, no static table.
      (best && (s.passes != 3 || s.static_qno != 0)))
    return TARSK_E_BAD_SETTINGS;
  try {
    auto e = std::make_unique<tarsk_encoder>();
    e->settings = s;
    e->log = api::log_hook(s.log, s.log_user);
    e->sampling = sampling_of(s);
    e->smpte_314m = e->sampling != dif::sampling_of(e->pal(), false);
    e->enc = e->make_record();
    if (!e->enc) return TARSK_E_NO_MEMORY;
    // The frame writer runs the clock on by a second at the first frame of
    // every second, the very first included: a second behind, frame 0 shows
    // the date itself.
    e->clock = (s.has_date ? static_cast<std::time_t>(s.date) : std::time(nullptr)) - 1;
    *encoder = e.release();
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  } catch (const std::system_error &) {
    return TARSK_E_NO_MEMORY;
  }
  return TARSK_OK;
}

void tarsk_encoder_close(tarsk_encoder **encoder) {
  if (encoder == nullptr) return;
  delete *encoder;
  *encoder = nullptr;
}

size_t tarsk_encoder_frame_bytes(const tarsk_encoder *encoder) {
  return encoder != nullptr ? encoder->frame_bytes() : 0;
}

uint64_t tarsk_encoder_frames(const tarsk_encoder *encoder) {
  return encoder != nullptr ? static_cast<uint64_t>(encoder->enc->frame_count) : 0;
}

int tarsk_encode_video(tarsk_encoder *encoder, const tarsk_picture *picture, uint8_t *frame,
                       size_t size) {
  if (encoder == nullptr || picture == nullptr || frame == nullptr) return TARSK_E_BAD_CALL;
  // Frames in flight have their numbers: one made now would come between.
  if (encoder->ring && !encoder->ring->empty()) return TARSK_E_BAD_CALL;
  const LogScope scope(encoder->log);
  if (size < encoder->frame_bytes()) return TARSK_E_BAD_BUFFER;
  if (const int checked = encoder->check(*picture); checked != TARSK_OK) return checked;
  encoder->encode(encoder->enc.get(), *picture, frame, encoder->next_stamp(),
                  encoder->segment_share());
  return TARSK_OK;
}

int tarsk_encode_send(tarsk_encoder *encoder, const tarsk_picture *picture, uint8_t *frame,
                      size_t size) {
  if (encoder == nullptr || picture == nullptr || frame == nullptr) return TARSK_E_BAD_CALL;
  const LogScope scope(encoder->log);
  if (size < encoder->frame_bytes()) return TARSK_E_BAD_BUFFER;
  if (const int checked = encoder->check(*picture); checked != TARSK_OK) return checked;
  try {
    if (!encoder->ring)
      if (const int started = encoder->start_frame_threads(); started != TARSK_OK) return started;
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  } catch (const std::system_error &) {
    return TARSK_E_NO_MEMORY;
  }
  api::FrameRing<FrameSlot> &ring = *encoder->ring;
  if (ring.full()) return TARSK_E_AGAIN;
  ring.next() = FrameSlot{*picture, frame, encoder->next_stamp()};
  ring.send();
  return TARSK_OK;
}

int tarsk_encode_receive(tarsk_encoder *encoder, uint8_t **frame, uint64_t *number) {
  if (encoder == nullptr) return TARSK_E_BAD_CALL;
  if (!encoder->ring || encoder->ring->empty()) return TARSK_E_AGAIN;
  const FrameSlot &slot = encoder->ring->take();
  if (frame != nullptr) *frame = slot.frame;
  if (number != nullptr) *number = static_cast<uint64_t>(slot.stamp.number);
  return TARSK_OK;
}

int tarsk_encoder_audio_frames(const tarsk_encoder *encoder, int rate, uint64_t frame) {
  if (encoder == nullptr) return 0;
  // The counts repeat every 300 frames at every rate (every 5, 100 and 15
  // frames at 48, 44.1 and 32 kHz in 525/60; every frame in 625/50), so a
  // frame number is taken within a cycle of them that an int holds.
  return dv_calculate_samples(encoder->enc.get(), rate, static_cast<int>(frame % 300000));
}

int tarsk_encode_sound(tarsk_encoder *encoder, const int16_t *samples, const tarsk_audio *sound,
                       uint8_t *frame, size_t size) {
  if (encoder == nullptr || samples == nullptr || sound == nullptr || frame == nullptr)
    return TARSK_E_BAD_CALL;
  const LogScope scope(encoder->log);
  if (size < encoder->frame_bytes()) return TARSK_E_BAD_BUFFER;
  const bool pal = encoder->pal();
  if (sound->bits == 12) {
    if (sound->rate != 32000) {
      log(LogLevel::error, "12-bit sound is 32000 Hz, not %d\n", sound->rate);
      return TARSK_E_BAD_AUDIO;
    }
    const std::optional<SourcePack> sp = describe_12_bit(sound->channels, sound->frames, pal);
    if (!sp) return TARSK_E_BAD_AUDIO;
    insert_12_bit(frame, Sound12{samples, sound->channels, sound->frames}, *sp, pal,
                  encoder->smpte_314m);
    return TARSK_OK;
  }
  if (sound->bits != 16 || sound->channels != 2) return TARSK_E_BAD_AUDIO;
  // Every sample position of a frame, the most any frame carries.
  const int positions = pal ? 1944 : 1620;
  const int frames = sound->frames;
  if (frames <= 0 || frames > positions) return TARSK_E_BAD_AUDIO;
  std::array<std::array<int16_t, 1944>, 2> channels{};
  for (int i = 0; i < frames; ++i) {
    channels[0][static_cast<size_t>(i)] = samples[2 * i];
    channels[1][static_cast<size_t>(i)] = samples[2 * i + 1];
  }
  int16_t *pcm[2] = {channels[0].data(), channels[1].data()};
  encoder->enc->samples_this_frame = frames;
  if (encode_full_audio(encoder->enc.get(), pcm, 2, sound->rate, frame, encoder->smpte_314m) != 0)
    return TARSK_E_BAD_AUDIO;
  return TARSK_OK;
}

int tarsk_encode_audio(tarsk_encoder *encoder, const int16_t *samples, int frames, int rate,
                       uint8_t *frame, size_t size) {
  const tarsk_audio sound{rate, 16, 2, frames, 0};
  return tarsk_encode_sound(encoder, samples, &sound, frame, size);
}

}  // extern "C"
