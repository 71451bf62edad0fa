// Audio insertion: the AAUX packs into the audio blocks of every DIF
// sequence, and a frame's 16-bit samples spread over them in the shuffled
// order the decoder undoes (the shuffle of common/dif.h): the left channel
// in the first half of the sequences, the right in the second.
#include "encode/audio.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/audio.h"
#include "common/dif.h"
#include "common/log.h"

namespace tarsk {
namespace {

using namespace dif;
using Pack = std::array<uint8_t, pack_size>;

constexpr int channels_inserted = 2;
constexpr int bytes_per_sample = 2;
constexpr int samples_per_block = audio_data_size / bytes_per_sample;  // 36
// 12-bit sound: a group of three bytes holds a position of a stereo pair.
constexpr int bytes_per_group = 3;
constexpr int groups_per_block = audio_data_size / bytes_per_group;  // 24

// Sample positions per channel that a frame's audio blocks hold.
constexpr int positions(bool pal) {
  return audio_half(pal) * audio_blocks_per_sequence * samples_per_block;
}

constexpr int rate_32k = audio::rate_code(32000);

// The source pack counts samples above the minimum in six bits, and the
// blocks hold no more than their slots.
bool samples_fit(int samples, int code, bool pal) {
  const int least = audio::min_samples[pal][code];
  const int most = std::min(least + 63, audio::max_samples[pal][code]);
  if (samples >= least && samples <= most) return true;
  log(LogLevel::error, "Audio frame of %d samples: a frame at %d Hz holds %d to %d\n", samples,
      audio::frequency[code], least, most);
  return false;
}

}  // namespace

std::optional<SourcePack> describe_audio(const dv_enc_audio_info_t &audio, bool pal) {
  const int code = audio::rate_code(audio.frequency);
  if (code < 0) {
    log(LogLevel::error, "Impossible frequency??\n");
    return std::nullopt;
  }
  if (audio.frequency == 32000 && audio.channels != channels_inserted) {
    log(LogLevel::error, "Unsupported bits: 12\n FIXME!\n");
    return std::nullopt;
  }
  if (audio.channels != channels_inserted) {
    log(LogLevel::error, "Audio of %d channels cannot be inserted: 2 are needed\n", audio.channels);
    return std::nullopt;
  }
  // The last position's right sample must lie inside the data area.
  const int alignment = audio.bytealignment;
  if (alignment < channels_inserted * bytes_per_sample ||
      alignment >
          (DV_ENC_AUDIO_DATA_SIZE - channels_inserted * bytes_per_sample) / (positions(pal) - 1)) {
    log(LogLevel::error, "Audio sample frames of %d bytes do not fit the audio data\n", alignment);
    return std::nullopt;
  }
  const int samples = audio.bytesperframe / alignment;
  if (!samples_fit(samples, code, pal)) return std::nullopt;
  return SourcePack{code, samples, alignment};
}

std::optional<SourcePack> describe_12_bit(int channels, int frames, bool pal) {
  if (channels != 2 && channels != 4) {
    log(LogLevel::error, "12-bit sound of %d channels: it is one stereo pair or two\n", channels);
    return std::nullopt;
  }
  if (!samples_fit(frames, rate_32k, pal)) return std::nullopt;
  return SourcePack{rate_32k, frames, 0, true};
}

namespace {

// PC1: unlocked audio, the reserved bit, samples above the minimum. PC2:
// the audio mode, 1 in the second half of the frame; for 12-bit sound, as
// 4-channel camcorders write it, CHN 1 (each half of the frame holds two
// channels, a stereo pair) and PA 1 (the pairs are independent of each
// other), where 16-bit stereo has a channel a half. PC3: the reserved bit,
// ml and the 50-field flag. PC4: the emphasis flag set, which says the
// samples carry no pre-emphasis (a clear flag would have players
// de-emphasise them); sampling code; quantisation code, 0 for 16 bits and
// 1 for 12.
constexpr uint8_t emphasis_off = 0x80;
constexpr uint8_t pair_per_half = 0x30;
constexpr uint8_t nonlinear_12 = 1;

Pack source_pack(const SourcePack &sp, bool pal, bool second_half) {
  const int af = (sp.samples - audio::min_samples[pal][sp.rate_code]) & 0x3f;
  const int mode = (sp.twelve_bit ? pair_per_half : 0) + (second_half ? 1 : 0);
  return {pack_id::aaux_source, static_cast<uint8_t>(0xc0 + af), static_cast<uint8_t>(mode),
          static_cast<uint8_t>(pal ? 0xe0 : 0xc0),
          static_cast<uint8_t>(emphasis_off | sp.rate_code << 3 |
                               (sp.twelve_bit ? nonlinear_12 : 0))};
}

// Copy generation free; PC3 forward direction (bit 7) at normal speed,
// whose code the standard and system choose.
constexpr uint8_t forward = 0x80;

Pack source_control_pack(bool pal, bool smpte_314m) {
  return {pack_id::aaux_source_control, 0x33, 0xcf,
          static_cast<uint8_t>(forward | audio::normal_speed(pal, smpte_314m)), 0xff};
}

// The AAUX copy of a VAUX recording pack of sequence 0's third VAUX block
// (slots 11 and 12, where the header writer puts them); an empty slot when
// the frame has none there.
Pack recording_pack(const uint8_t *frame, int slot, uint8_t vaux_id, uint8_t aaux_id) {
  const uint8_t *vaux = frame + block_offset(0, vaux_block(2)) + vaux_pack_offset(slot);
  if (vaux[0] != vaux_id) return {no_pack, no_pack, no_pack, no_pack, no_pack};
  return {aaux_id, vaux[1], vaux[2], vaux[3], vaux[4]};
}

void write_aaux_packs(uint8_t *frame, const SourcePack &sp, bool pal, bool smpte_314m) {
  const Pack date =
      recording_pack(frame, 11, pack_id::recording_date, pack_id::aaux_recording_date);
  const Pack time =
      recording_pack(frame, 12, pack_id::recording_time, pack_id::aaux_recording_time);
  for (int ds = 0; ds < sequences(pal); ++ds) {
    for (int a = 0; a < audio_blocks_per_sequence; ++a)
      std::memset(frame + audio_offset(ds, a) + aaux_pack_offset, no_pack, pack_size);
    // Even sequences carry the packs in audio blocks 3 to 6, odd ones in 0 to 3.
    const int first = ds % 2 == 0 ? 3 : 0;
    const Pack packs[4] = {source_pack(sp, pal, ds >= audio_half(pal)),
                           source_control_pack(pal, smpte_314m), date, time};
    for (int n = 0; n < 4; ++n)
      std::memcpy(frame + audio_offset(ds, first + n) + aaux_pack_offset, packs[n].data(),
                  pack_size);
  }
}

// -32768 marks an invalid sample in DV audio; a real one is written as
// -32767.
constexpr uint8_t invalid_high = 0x80;
constexpr uint8_t invalid_low = 0x00;

// One DIF sequence's samples of one channel: `row` is the sequence within
// its half of the frame.
void put_16_bit(uint8_t *frame, int ds, int row, int channel, const dv_enc_audio_info_t &audio,
                int alignment, bool pal) {
  for (int a = 0; a < audio_blocks_per_sequence; ++a) {
    uint8_t *out = frame + audio_offset(ds, a) + audio_data_offset;
    for (int i = 0; i < samples_per_block; ++i, out += bytes_per_sample) {
      const int p = audio_position(pal, row, a, i);
      const uint8_t *in = audio.data + p * alignment + bytes_per_sample * channel;
      out[0] = in[0];
      out[1] = in[0] == invalid_high && in[1] == invalid_low ? 1 : in[1];
    }
  }
}

// One DIF sequence's samples of a stereo pair in 12 bits: `row` is the
// sequence within its half of the frame, `first` the pair's first channel
// among the `channels` interleaved ones. Three bytes hold a position's two
// codes: the first channel's high eight bits, the second's, then the low
// four bits of each. Positions past the frame's samples, and a pair the
// sound does not have, are silence.
void put_12_bit(uint8_t *frame, int ds, int row, const Sound12 &sound, int first, bool pal) {
  for (int a = 0; a < audio_blocks_per_sequence; ++a) {
    uint8_t *out = frame + audio_offset(ds, a) + audio_data_offset;
    for (int i = 0; i < groups_per_block; ++i, out += bytes_per_group) {
      const int p = audio_position(pal, row, a, i);
      int y = 0, z = 0;
      if (p < sound.frames && first < sound.channels) {
        const int16_t *in = sound.samples + static_cast<ptrdiff_t>(p) * sound.channels + first;
        y = audio::nonlinear::to_bits(audio::nonlinear::compress(in[0]));
        z = audio::nonlinear::to_bits(audio::nonlinear::compress(in[1]));
      }
      out[0] = static_cast<uint8_t>(y >> 4);
      out[1] = static_cast<uint8_t>(z >> 4);
      out[2] = static_cast<uint8_t>((y & 0x0f) << 4 | (z & 0x0f));
    }
  }
}

}  // namespace

void insert_12_bit(uint8_t *frame, const Sound12 &sound, const SourcePack &sp, bool pal,
                   bool smpte_314m) {
  write_aaux_packs(frame, sp, pal, smpte_314m);
  const int half = audio_half(pal);
  for (int ds = 0; ds < sequences(pal); ++ds) {
    const int pair = ds < half ? 0 : 1;
    put_12_bit(frame, ds, ds - pair * half, sound, 2 * pair, pal);
  }
}

void insert_audio(uint8_t *frame, const dv_enc_audio_info_t &audio, const SourcePack &sp, bool pal,
                  bool smpte_314m) {
  write_aaux_packs(frame, sp, pal, smpte_314m);
  const int half = audio_half(pal);
  for (int ds = 0; ds < sequences(pal); ++ds) {
    const int channel = ds < half ? 0 : 1;
    put_16_bit(frame, ds, ds - channel * half, channel, audio, sp.alignment, pal);
  }
}

namespace {

int raw_insert_audio(uint8_t *frame_buf, dv_enc_audio_info_t *audio, bool pal, bool smpte_314m) {
  if (frame_buf == nullptr || audio == nullptr) return -1;
  const std::optional<SourcePack> sp = describe_audio(*audio, pal);
  if (!sp) return -1;
  insert_audio(frame_buf, *audio, *sp, pal, smpte_314m);
  return 0;
}

}  // namespace

int encode_full_audio(dv_encoder_t *dv_enc, int16_t **pcm, int channels, int frequency,
                      uint8_t *frame_buf, bool smpte_314m) {
  // One channel is given to both; more than two do not fit DV's 16-bit
  // audio (the interleaved data would overrun the record).
  if (channels != 1 && channels != 2) {
    tarsk::log(tarsk::LogLevel::error,
               "Audio of %d channels cannot be inserted: 1 or 2 are needed\n", channels);
    return -1;
  }
  if (frame_buf == nullptr || pcm == nullptr || pcm[0] == nullptr ||
      (channels == 2 && pcm[1] == nullptr)) {
    tarsk::log(tarsk::LogLevel::error,
               "dv_encode_full_audio needs a frame and a buffer per channel\n");
    return -1;
  }
  // A rate DV does not carry, or more samples than the frame has places
  // for, is refused before the record's sizes are worked out from them.
  if (audio::rate_code(frequency) < 0) {
    tarsk::log(tarsk::LogLevel::error, "Impossible frequency??\n");
    return -1;
  }
  const bool frame_pal = (frame_buf[3] & dif::dsf_bit) != 0;
  if (dv_enc->samples_this_frame < 0 || dv_enc->samples_this_frame > positions(frame_pal)) {
    tarsk::log(tarsk::LogLevel::error, "Audio frame of %d samples: a frame has %d places\n",
               dv_enc->samples_this_frame, positions(frame_pal));
    return -1;
  }
  static thread_local dv_enc_audio_info_t audio;  // 15.5 kB: not on the stack
  audio.channels = 2;
  audio.frequency = frequency;
  audio.bitspersample = 16;
  audio.bytespersecond = 4 * frequency;
  audio.bytealignment = 4;
  // The system is the frame's own, by its DSF bit.
  dv_enc->isPAL = (frame_buf[3] & dif::dsf_bit) ? 128 : 0;
  const bool pal = dv_enc->isPAL != 0;
  const int samples = dv_enc->samples_this_frame != 0
                          ? dv_enc->samples_this_frame
                          : audio.bytespersecond / (pal ? 25 : 30) / audio.bytealignment;
  audio.bytesperframe = samples * audio.bytealignment;
  const int slots = positions(pal);
  for (int i = 0; i < slots; ++i)
    for (int c = 0; c < 2; ++c) {
      const auto v = static_cast<uint16_t>(pcm[channels == 2 ? c : 0][i]);
      audio.data[4 * i + 2 * c] = static_cast<uint8_t>(v >> 8);
      audio.data[4 * i + 2 * c + 1] = static_cast<uint8_t>(v & 0xff);
    }
  return raw_insert_audio(frame_buf, &audio, pal, smpte_314m);
}

}  // namespace tarsk

extern "C" {

int dv_calculate_samples(dv_encoder_t *encoder, int frequency, int frame_count) {
  const int samples = tarsk::audio::samples_in_frame(encoder->isPAL != 0, frequency, frame_count);
  encoder->samples_this_frame = samples;
  return samples;
}

int dv_encode_full_audio(dv_encoder_t *dv_enc, int16_t **pcm, int channels, int frequency,
                         uint8_t *frame_buf) {
  return tarsk::encode_full_audio(dv_enc, pcm, channels, frequency, frame_buf, false);
}

int _dv_raw_insert_audio(uint8_t *frame_buf, dv_enc_audio_info_t *audio, int isPAL) {
  return tarsk::raw_insert_audio(frame_buf, audio, isPAL != 0, false);
}

}  // extern "C"
