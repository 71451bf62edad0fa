// Header and pack parsing and the metadata queries, on any bytes.
//
// Input: two option bytes, then the first bytes of a frame.
//   byte 0: bits 0-1 video system option, 2-3 audio frequency option,
//           4-5 audio quantisation option (mod 3), 6-7 emphasis (mod 3)
//   byte 1: a VAUX pack ID to ask for besides the usual ones
// The frame bytes are completed to a whole frame from the template of the
// system their DSF bit names. dv_parse_header sees them once in a buffer
// of exactly the 5608 bytes it may read and once in the whole frame; both
// must give the same decoder state. dv_parse_packs likewise sees a buffer
// of exactly the 72240 bytes it may read and the whole frame.
#include <tarsk/dv.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "common.h"

namespace {

using Decoder = std::unique_ptr<dv_decoder_t, fuzz::DecoderDeleter>;

constexpr size_t header_bytes = 5608;
constexpr size_t packs_bytes = 72240;

struct Settings {
  int video_system, frequency, quantization, emphasis;
};

Decoder make_decoder(const Settings &s) {
  Decoder dv(dv_decoder_new(0, 0, 0));
  FUZZ_CHECK(dv != nullptr);
  dv_set_error_log(dv.get(), fuzz::null_log());
  dv->arg_video_system = s.video_system;
  dv->audio->arg_audio_frequency = s.frequency;
  dv->audio->arg_audio_quantization = s.quantization;
  dv->audio->arg_audio_emphasis = s.emphasis;
  return dv;
}

// What dv_parse_header leaves in a decoder, compared field by field.
void check_same_header_state(const dv_decoder_t *a, const dv_decoder_t *b) {
  FUZZ_CHECK(a->system == b->system && a->std == b->std && a->sampling == b->sampling);
  FUZZ_CHECK(a->num_dif_seqs == b->num_dif_seqs && a->height == b->height &&
             a->width == b->width && a->frame_size == b->frame_size);
  FUZZ_CHECK(std::memcmp(&a->header, &b->header, sizeof a->header) == 0);
  FUZZ_CHECK(a->vaux_next == b->vaux_next);
  FUZZ_CHECK(std::memcmp(a->vaux_pack, b->vaux_pack, sizeof a->vaux_pack) == 0);
  FUZZ_CHECK(std::memcmp(a->vaux_data, b->vaux_data, sizeof a->vaux_data) == 0);
  const dv_audio_t *x = a->audio, *y = b->audio;
  FUZZ_CHECK(std::memcmp(&x->aaux_as, &y->aaux_as, sizeof x->aaux_as) == 0);
  FUZZ_CHECK(std::memcmp(&x->aaux_asc, &y->aaux_asc, sizeof x->aaux_asc) == 0);
  FUZZ_CHECK(x->samples_this_frame == y->samples_this_frame &&
             x->quantization == y->quantization && x->max_samples == y->max_samples &&
             x->frequency == y->frequency && x->num_channels == y->num_channels &&
             x->emphasis == y->emphasis);
}

void check_geometry(const dv_decoder_t *dv, const Settings &s, int result) {
  FUZZ_CHECK(result >= -1 && result <= 2);
  if (result < 0) return;
  const bool pal = dv->system == e_dv_system_625_50;
  FUZZ_CHECK(pal || dv->system == e_dv_system_525_60);
  FUZZ_CHECK(dv->frame_size == fuzz::frame_bytes(dv->system));
  FUZZ_CHECK(dv->height == (pal ? 576 : 480) && dv->width == 720);
  FUZZ_CHECK(dv->num_dif_seqs == (pal ? 12 : 10));
  FUZZ_CHECK(dv->sampling == e_dv_sample_411 || (pal && dv->sampling == e_dv_sample_420));
  if (s.video_system == 0) {
    // A new decoder has no system yet, so detection always switches.
    FUZZ_CHECK(result == (pal ? 1 : 2));
  } else {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(pal == (s.video_system != 1));
  }
  // Channel buffers of max_samples positions must be enough; 1944 is the
  // most a channel of any frame has.
  FUZZ_CHECK(dv->audio->max_samples >= 0 && dv->audio->max_samples <= 1944);
  FUZZ_CHECK(dv->audio->samples_this_frame <= dv->audio->max_samples);
}

// Whether the VAUX area (DIF sequence 0, blocks 3 to 5, 15 packs each)
// holds pack `id`, and if `data` is given, with these four data bytes.
bool vaux_area_has(const uint8_t *frame, uint8_t id, const uint8_t *data) {
  namespace dif = tarsk::dif;
  for (int n = 0; n < 3; ++n)
    for (int k = 0; k < dif::vaux_packs_per_block; ++k) {
      const uint8_t *p = frame + dif::block_offset(0, dif::vaux_block(n)) + dif::vaux_pack_offset(k);
      if (p[0] == id && (data == nullptr || std::memcmp(p + 1, data, 4) == 0)) return true;
    }
  return false;
}

bool is_flag(int v) { return v == -1 || v == 0 || v == 1; }

// vaux: whether the frame's VAUX packs were parsed (a frame whose header
// block does not parse leaves the store as it was).
void query_metadata(dv_decoder_t *dv, const uint8_t *frame, uint8_t extra_id, bool vaux) {
  // Exactly the documented sizes on the heap, so that the sanitizer sees
  // one byte too many.
  auto timestamp = std::make_unique<char[]>(12);
  const int has_tc = dv_get_timestamp(dv, timestamp.get());
  FUZZ_CHECK(has_tc == 0 || has_tc == 1);
  FUZZ_CHECK(strnlen(timestamp.get(), 12) == 11);
  if (!has_tc) FUZZ_CHECK(std::strcmp(timestamp.get(), "00:00:00.00") == 0);

  auto t = std::make_unique<int[]>(4);
  const int has_tc_int = dv_get_timestamp_int(dv, t.get());
  FUZZ_CHECK(has_tc_int == has_tc);
  if (has_tc_int)
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(t[i] >= 0 && t[i] <= 99);

  auto datetime = std::make_unique<char[]>(20);
  const int has_dt = dv_get_recording_datetime(dv, datetime.get());
  FUZZ_CHECK(has_dt == 0 || has_dt == 1);
  FUZZ_CHECK(strnlen(datetime.get(), 20) == 19);
  if (!has_dt) FUZZ_CHECK(std::strcmp(datetime.get(), "0000-00-00 00:00:00") == 0);

  auto tm = std::make_unique<struct tm>();
  const int has_tm = dv_get_recording_datetime_tm(dv, tm.get());
  FUZZ_CHECK(has_tm == 0 || has_tm == 1);
  FUZZ_CHECK(has_tm <= has_dt);

  const int color = dv_frame_is_color(dv), fifty = dv_system_50_fields(dv);
  const int normal = dv_format_normal(dv), wide = dv_format_wide(dv);
  const int changed = dv_frame_changed(dv);
  FUZZ_CHECK(is_flag(color) && is_flag(fifty) && is_flag(normal) && is_flag(wide) &&
             is_flag(changed));
  if (vaux) {
    // The first two read the source pack, the others the source control
    // pack.
    const bool source = vaux_area_has(frame, 0x60, nullptr);
    const bool control = vaux_area_has(frame, 0x61, nullptr);
    FUZZ_CHECK((color == -1) == !source && (fifty == -1) == !source);
    FUZZ_CHECK((normal == -1) == !control && (wide == -1) == !control &&
               (changed == -1) == !control);
  }

  const uint8_t ids[] = {0x60, 0x61, 0x62, 0x63, 0x00, extra_id};
  for (uint8_t id : ids) {
    auto data = std::make_unique<uint8_t[]>(4);
    const int got = dv_get_vaux_pack(dv, id, data.get());
    FUZZ_CHECK(got == 0 || got == -1);
    if (!vaux || id == 0xff) continue;  // not parsed, or the ID of an empty slot
    // The area has 45 pack positions and the store 45 slots: every pack
    // in the area is found, with the bytes of one of its copies.
    FUZZ_CHECK((got == 0) == vaux_area_has(frame, id, nullptr));
    if (got == 0) FUZZ_CHECK(vaux_area_has(frame, id, data.get()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Options opt{data, size};
  const uint8_t b0 = opt.take(), b1 = opt.take();
  const Settings s{b0 & 3, (b0 >> 2) & 3, ((b0 >> 4) & 3) % 3, ((b0 >> 6) & 3) % 3};
  const uint8_t *bytes = opt.data;
  const size_t n = opt.size;

  const dv_system_t guess =
      n > 3 && (bytes[3] & 0x80) == 0 ? e_dv_system_525_60 : e_dv_system_625_50;
  const std::vector<uint8_t> head = fuzz::padded(bytes, n, guess, header_bytes);
  const std::vector<uint8_t> frame = fuzz::padded(bytes, n, guess, fuzz::max_frame);

  Decoder a = make_decoder(s), b = make_decoder(s);
  const int ra = dv_parse_header(a.get(), head.data());
  const int rb = dv_parse_header(b.get(), frame.data());
  FUZZ_CHECK(ra == rb);
  check_same_header_state(a.get(), b.get());
  check_geometry(b.get(), s, rb);

  // The same frame again: nothing changes, so no switch is reported.
  const int again = dv_parse_header(b.get(), frame.data());
  FUZZ_CHECK(again == (rb < 0 ? -1 : 0));
  check_same_header_state(a.get(), b.get());

  const std::vector<uint8_t> packs(frame.begin(), frame.begin() + packs_bytes);
  dv_parse_packs(a.get(), packs.data());
  dv_parse_packs(b.get(), frame.data());
  FUZZ_CHECK(a->ssyb_next == b->ssyb_next);
  FUZZ_CHECK(std::memcmp(a->ssyb_pack, b->ssyb_pack, sizeof a->ssyb_pack) == 0);
  FUZZ_CHECK(std::memcmp(a->ssyb_data, b->ssyb_data, sizeof a->ssyb_data) == 0);

  query_metadata(b.get(), frame.data(), b1, rb >= 0);
  return 0;
}
