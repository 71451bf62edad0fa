// The encoder on any picture and any sound, with every setting, and the
// round trip: what it writes must parse back.
//
// Input: nine option bytes, then a payload.
//   byte 0: bit 0 625/50, bit 1 RGB (else YUY2), bit 2 through tarsk::Encoder
//           (planes: 4:2:2 when bit 1, else the stream's own sampling)
//           instead of dv_encode_full_frame, bits 3-4 passes (0: out of
//           range), bits 5-6 static_qno (3: out of range), bit 7 16:9
//   byte 1: bits 0-1 force_dct (-1, 0, 1, 2: out of range), bit 2 clamp
//           luma, bit 3 clamp chroma, bit 4 remove the 525-line set-up,
//           bits 5-7 the picture (see make_picture)
//   byte 2, 3: the picture's parameters
//   byte 4: sound: bits 0-1 the rate (48000, 44100, 32000, or bytes 5..8
//           as an int), bits 2-3 channels (1, 2, 0, 3), bits 4-5 the sample
//           count (the frame's own, 0 as derived, or byte 5 x 8, or the
//           int of bytes 5..8), bit 6 frame number from bytes 5..8 (else 0),
//           bit 7 encode the picture a second time and compare
//   bytes 5-8: a parameter (an int, little-endian; byte 5 alone as a count):
//           through tarsk::Encoder the date, and 16 x byte 5 samples (one
//           more when bit 2 of byte 4 is set) at the rate of bits 0-1 of
//           byte 4 (48000, 44100, 32000, 22050 Hz); there bit 0 of byte 6
//           chooses the best quality where the settings allow it, bit 1
//           two threads for the first encoding (the second takes one), and
//           bit 2 asks for 4:1:1 (in 625/50 SMPTE 314M; planes Y41B unless
//           4:2:2)
// The picture's bytes and the sound's samples are the payload repeated.
//
// Checks: the frame parses as its system (and sampling); every video segment parses at
// the multi-pass level with no invalid code and every block ends; when
// asked, encoding the same picture again with the same encoder writes the
// same video blocks (through tarsk::Encoder with a fixed date: the same
// frame);
// inserted sound decodes to the samples given (-32768 as -32767), and
// refused sound leaves the frame as it was.
#include <tarsk/dv.h>

#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "common.h"
#include "common/dif.h"
#include "round_trip.h"

namespace {

struct Settings {
  bool pal, rgb, cpp, wide, clamp_luma, clamp_chroma, setup;
  int passes, static_qno, force_dct, picture;
  uint8_t p1, p2;
};

// The payload byte at i, the payload repeated (zero when it is empty).
uint8_t repeated(const fuzz::Options &payload, size_t i) {
  return payload.size == 0 ? 0 : payload.data[i % payload.size];
}

// Pictures as the byte buffer the encoder reads, `bpp` bytes a pixel of 720
// a line: adversarial content made from two parameters, or the payload.
std::vector<uint8_t> make_picture(const Settings &s, int lines, int bpp,
                                  const fuzz::Options &payload) {
  std::vector<uint8_t> out(size_t{720} * static_cast<size_t>(lines) * static_cast<size_t>(bpp));
  const int period_x = 1 + (s.p1 & 15), period_y = 1 + (s.p1 >> 4);
  uint32_t noise = 0x9e3779b9u ^ (uint32_t{s.p1} << 8) ^ s.p2;
  for (size_t i = 0; i < out.size(); ++i) {
    const int pixel = static_cast<int>(i / static_cast<size_t>(bpp));
    const int x = pixel % 720, y = pixel / 720;
    uint8_t v = 0;
    switch (s.picture) {
      case 0:  // the payload as it is
        v = repeated(payload, i);
        break;
      case 1:  // full-scale checkerboard, squares of the parameter's size
        v = ((x / period_x + y / period_y) & 1) ? 255 : 0;
        break;
      case 2:  // single-pixel spikes on a flat ground
        v = (x * 7 + y * 13) % (period_x * period_y + 1) == 0 ? static_cast<uint8_t>(~s.p2) : s.p2;
        break;
      case 3:  // alternating lines
        v = (y & 1) ? 255 : 0;
        break;
      case 4:  // alternating columns
        v = (x & 1) ? s.p2 : static_cast<uint8_t>(~s.p2);
        break;
      case 5:  // every byte alternating between the extremes
        v = (i & 1) ? 255 : 0;
        break;
      case 6:  // noise
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        v = static_cast<uint8_t>(noise);
        break;
      default:  // the payload as a patch on grey
        v = (x >> 4) == (s.p1 % 45) ? repeated(payload, i) : 128;
        break;
    }
    out[i] = v;
  }
  return out;
}

// The video blocks of two frames hold the same (their IDs, which count
// frames, aside: from the status and quantiser byte on).
bool same_video(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, bool pal) {
  using namespace tarsk::dif;
  for (int i = 0; i < sequences(pal); ++i)
    for (int k = 0; k < segments_per_sequence; ++k)
      for (int m = 0; m < macroblocks_per_segment; ++m) {
        const size_t at = block_offset(i, video_block(k, m)) + qno_byte;
        if (std::memcmp(a.data() + at, b.data() + at, block_size - qno_byte) != 0) return false;
      }
  return true;
}

int32_t int_of(const uint8_t *b) {
  return static_cast<int32_t>(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 |
                              uint32_t{b[3]} << 24);
}

// Sound inserted into `frame` decodes to left and right as given.
void check_sound(const std::vector<uint8_t> &frame, const std::vector<int16_t> &left,
                 const std::vector<int16_t> &right, int samples) {
  std::unique_ptr<dv_decoder_t, fuzz::DecoderDeleter> dv(dv_decoder_new(0, 0, 0));
  FUZZ_CHECK(dv != nullptr);
  dv_set_error_log(dv.get(), fuzz::null_log());
  FUZZ_CHECK(dv_parse_header(dv.get(), frame.data()) >= 0);
  std::array<std::vector<int16_t>, 4> out;
  int16_t *outs[4];
  for (size_t c = 0; c < 4; ++c) {
    out[c].assign(1944, 0);
    outs[c] = out[c].data();
  }
  FUZZ_CHECK(dv_decode_full_audio(dv.get(), frame.data(), outs) == 1);
  FUZZ_CHECK(dv->audio->samples_this_frame == samples);
  auto dv_sample = [](int16_t v) { return v == INT16_MIN ? static_cast<int16_t>(-32767) : v; };
  for (size_t i = 0; i < static_cast<size_t>(samples); ++i) {
    FUZZ_CHECK(out[0][i] == dv_sample(left[i]));
    FUZZ_CHECK(out[1][i] == dv_sample(right[i]));
  }
}

struct EncoderDeleter {
  void operator()(dv_encoder_t *e) const { dv_encoder_free(e); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Options opt{data, size};
  const uint8_t b0 = opt.take(), b1 = opt.take();
  Settings s{};
  s.pal = b0 & 1;
  s.rgb = (b0 >> 1) & 1;
  s.cpp = (b0 >> 2) & 1;
  s.passes = (b0 >> 3) & 3;
  s.static_qno = (b0 >> 5) & 3;
  s.wide = (b0 >> 7) & 1;
  s.force_dct = (b1 & 3) - 1;
  s.clamp_luma = (b1 >> 2) & 1;
  s.clamp_chroma = (b1 >> 3) & 1;
  s.setup = (b1 >> 4) & 1;
  s.picture = b1 >> 5;
  s.p1 = opt.take();
  s.p2 = opt.take();
  const uint8_t sound = opt.take();
  uint8_t param[4] = {opt.take(), opt.take(), opt.take(), opt.take()};
  const fuzz::Options payload = opt;

  const bool pal = s.pal;
  const int lines = pal ? 576 : 480;
  const size_t frame_size = fuzz::frame_bytes(pal ? e_dv_system_625_50 : e_dv_system_525_60);
  std::vector<uint8_t> frame(frame_size), again(frame_size);
  const int frame_number = (sound & 0x40) ? int_of(param) : 0;
  const bool again_too = (sound & 0x80) != 0;

  if (!s.cpp) {
    std::unique_ptr<dv_encoder_t, EncoderDeleter> enc(
        dv_encoder_new(s.setup, s.clamp_luma, s.clamp_chroma));
    FUZZ_CHECK(enc != nullptr);
    enc->isPAL = pal;
    enc->is16x9 = s.wide;
    enc->vlc_encode_passes = s.passes;
    enc->static_qno = s.static_qno;
    enc->force_dct = s.force_dct;
    enc->frame_count = frame_number;
    const std::vector<uint8_t> picture = make_picture(s, lines, s.rgb ? 3 : 2, payload);
    std::vector<uint8_t> input = picture;
    uint8_t *in[1] = {input.data()};
    const dv_color_space_t space = s.rgb ? e_dv_color_rgb : e_dv_color_yuv;
    FUZZ_CHECK(dv_encode_full_frame(enc.get(), in, space, frame.data()) == 0);
    fuzz::check_parses(frame, pal);
    // The encoder reads the picture and keeps nothing of it for the next.
    FUZZ_CHECK(input == picture);
    if (again_too) {
      FUZZ_CHECK(dv_encode_full_frame(enc.get(), in, space, again.data()) == 0);
      FUZZ_CHECK(same_video(frame, again, pal));
    }

    // Sound: channel buffers of exactly the frame's sample positions.
    static const int rates[3] = {48000, 44100, 32000};
    const int rate = (sound & 3) < 3 ? rates[sound & 3] : int_of(param);
    static const int channel_counts[4] = {1, 2, 0, 3};
    const int channels = channel_counts[(sound >> 2) & 3];
    const size_t positions = pal ? 1944 : 1620;
    std::vector<int16_t> left(positions), right(positions);
    for (size_t i = 0; i < positions; ++i) {
      left[i] = static_cast<int16_t>(repeated(payload, 4 * i) | repeated(payload, 4 * i + 1) << 8);
      right[i] =
          static_cast<int16_t>(repeated(payload, 4 * i + 2) | repeated(payload, 4 * i + 3) << 8);
    }
    switch ((sound >> 4) & 3) {
      case 0:
        dv_calculate_samples(enc.get(), rate, frame_number);
        break;
      case 1:
        enc->samples_this_frame = 0;
        break;
      case 2:
        enc->samples_this_frame = 8 * param[0];
        break;
      default:
        enc->samples_this_frame = int_of(param);
        break;
    }
    const int asked = enc->samples_this_frame;
    int16_t *pcm[2] = {left.data(), right.data()};
    const std::vector<uint8_t> before = frame;
    if (dv_encode_full_audio(enc.get(), pcm, channels, rate, frame.data()) == 0) {
      FUZZ_CHECK(channels == 1 || channels == 2);
      check_sound(frame, left, channels == 2 ? right : left,
                  asked != 0 ? asked : rate / (pal ? 25 : 30));
      FUZZ_CHECK(same_video(frame, before, pal));
    } else {
      FUZZ_CHECK(frame == before);
    }
    return 0;
  }

  // tarsk::Encoder: planes at the stream's sampling or 4:2:2, a fixed date
  // and time code, so that the whole frame repeats.
  tarsk::EncoderSettings settings;
  settings.system = pal ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
  settings.wide = s.wide;
  settings.passes = s.passes;
  settings.static_qno = s.static_qno;
  settings.force_dct = s.force_dct;
  settings.timecode = frame_number;
  settings.has_date = 1;
  settings.date = int_of(param);
  if ((param[1] & 1) != 0 && s.passes == 3 && s.static_qno == 0)
    settings.quality = TARSK_QUALITY_BEST;
  const bool is_411 = !pal || (param[1] & 4) != 0;
  if ((param[1] & 4) != 0) settings.sampling = TARSK_ENCODE_SAMPLING_411;
  const tarsk_pixel_format format = s.rgb    ? TARSK_PIXEL_I422
                                    : is_411 ? TARSK_PIXEL_Y41B
                                             : TARSK_PIXEL_I420;
  const size_t luma = size_t{720} * static_cast<size_t>(lines);
  const size_t chroma = format == TARSK_PIXEL_I422 ? luma / 2 : luma / 4;
  const std::vector<uint8_t> picture = make_picture(s, lines, 2, payload);
  const ptrdiff_t chroma_stride = format == TARSK_PIXEL_Y41B ? 180 : 360;
  uint8_t *y = const_cast<uint8_t *>(picture.data());
  const tarsk_picture planes{format, 720, lines, {y, y + luma, y + luma + chroma},
                             {720, chroma_stride, chroma_stride}, nullptr};
  // Settings out of range are refused when the encoder is made.
  const bool valid = s.passes >= 1 && s.static_qno <= 2 && s.force_dct <= 1 && frame_number >= 0;
  if (!valid) {
    tarsk::Encoder refused(settings);
    FUZZ_CHECK(!refused && refused.open_error().code == tarsk::Errc::bad_settings);
    return 0;
  }
  auto encode = [&](std::vector<uint8_t> &into, int threads) {
    settings.threads = threads;
    tarsk::Encoder encoder(settings);
    FUZZ_CHECK(static_cast<bool>(encoder));
    // A frame buffer a byte short is refused before anything is written.
    std::vector<uint8_t> small(frame_size - 1, 0x5a);
    auto refused = encoder.encode(planes, small);
    FUZZ_CHECK(small == std::vector<uint8_t>(frame_size - 1, 0x5a));
    FUZZ_CHECK(!refused && refused.error().code == tarsk::Errc::bad_buffer);
    FUZZ_CHECK(static_cast<bool>(encoder.encode(planes, into)));
    // Sound of any length: as many stereo samples as the payload's bytes
    // say, at the parameter's rate.
    static const int rates[4] = {48000, 44100, 32000, 22050};
    const int rate = rates[sound & 3];
    std::vector<int16_t> stereo(2 * size_t{param[0]} * 8 + ((sound >> 2) & 1));
    for (size_t i = 0; i < stereo.size(); ++i)
      stereo[i] =
          static_cast<int16_t>(repeated(payload, 2 * i) | repeated(payload, 2 * i + 1) << 8);
    const std::vector<uint8_t> before = into;
    if (encoder.encode_audio(stereo.data(), stereo.size(), rate, into.data(), into.size())) {
      std::vector<int16_t> left(stereo.size() / 2), right(stereo.size() / 2);
      for (size_t i = 0; i < left.size(); ++i) {
        left[i] = stereo[2 * i];
        right[i] = stereo[2 * i + 1];
      }
      check_sound(into, left, right, static_cast<int>(left.size()));
    } else {
      FUZZ_CHECK(into == before);
    }
  };
  encode(frame, 1 + ((param[1] >> 1) & 1));
  fuzz::check_parses(frame, pal);
  std::unique_ptr<dv_decoder_t, fuzz::DecoderDeleter> dv(dv_decoder_new(0, 0, 0));
  FUZZ_CHECK(dv != nullptr);
  dv_set_error_log(dv.get(), fuzz::null_log());
  FUZZ_CHECK(dv_parse_header(dv.get(), frame.data()) >= 0);
  FUZZ_CHECK(dv->sampling == (is_411 ? e_dv_sample_411 : e_dv_sample_420));
  if (again_too) {
    encode(again, 1);
    FUZZ_CHECK(frame == again);
  }
  return 0;
}
