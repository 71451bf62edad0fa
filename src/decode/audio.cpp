// Audio sample decoding: the audio DIF blocks of a frame into 16-bit PCM
// channel buffers, with the concealment of blocks that failed and the
// removal of pre-emphasis.
#include "decode/audio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/audio.h"
#include "common/dif.h"
#include "common/log.h"

namespace {

namespace dif = tarsk::dif;
constexpr int16_t invalid_16 = -32768;  // 0x8000 marks an invalid sample
constexpr int invalid_12 = tarsk::audio::nonlinear::invalid_code;

namespace nonlinear = tarsk::audio::nonlinear;

// The nonlinear 12-bit code of DV audio, expanded to 16 bits.
int16_t expand_12(int code) { return static_cast<int16_t>(nonlinear::expand(code)); }

void report_block_failure(const dv_audio_t *audio, const uint8_t *block, int bits) {
  if (audio->error_log == nullptr) return;
  char timecode[40], datetime[40];
  dv_decoder_t *dv = audio->dv_decoder;
  if (dv_get_timestamp(dv, timecode) && dv_get_recording_datetime(dv, datetime))
    std::fprintf(audio->error_log, "abf %s %s %02x %02x %02x %d\n", timecode, datetime, block[0],
                 block[1], block[2], bits);
  else
    std::fprintf(audio->error_log,
                 "# complete audio block failure (%dbit): header = %02x %02x %02x\n", bits,
                 block[0], block[1], block[2]);
}

int load_be16(const uint8_t *p) { return static_cast<int16_t>((p[0] << 8) | p[1]); }

// A signed 12-bit code: from 0x800 on it is negative (0x800 itself marks
// an invalid sample, dealt with before).
int signed_12(int code) { return nonlinear::from_bits(code); }

// The samples to post-process: at most what the frame's blocks hold.
int samples_of(const dv_audio_t *audio) {
  return std::clamp(audio->samples_this_frame, 0, std::max(audio->max_samples, 0));
}

void drop_invalid(int16_t *buffer, int n) {
  int write = 0;
  for (int read = 0; read < n; ++read)
    if (buffer[read] != invalid_16) buffer[write++] = buffer[read];
  std::fill(buffer + write, buffer + n, 0);
}

void interpolate_invalid(int16_t *buffer, int n) {
  int16_t last = 0;
  int write = 0;
  for (int read = 0; read < n;) {
    if (buffer[read] != invalid_16) {
      last = buffer[read++];
      buffer[write++] = last;
      continue;
    }
    int end = read;
    while (end < n && buffer[end] == invalid_16) ++end;
    const int k = end - read;
    const int next = end < n ? buffer[end] : 0;
    const auto step = static_cast<int16_t>((next - last) / (k + 1));
    for (int i = 0; i < k; ++i) {
      last = static_cast<int16_t>(last + step);
      buffer[write++] = last;
    }
    read = end;
  }
}

}  // namespace

namespace tarsk {

int count_audio_errors(const dv_audio_t *audio, const uint8_t *block, int ds, int a,
                       int errors[4]) {
  const bool fifty = audio->aaux_as.pc3.system == 1;
  const int half = dif::audio_half(fifty);
  if (ds < 0 || ds >= 2 * half || a < 0 || a >= dif::audio_blocks_per_sequence) return 0;
  const bool second = ds >= half;
  const int limit = std::clamp(audio->samples_this_frame, 0, std::max(audio->max_samples, 0));
  const int stride = dif::audio_cycle(fifty);
  const int base = dif::audio_position(fifty, second ? ds - half : ds, a, 0);
  const uint8_t *data = block + dif::audio_data_offset;
  int found = 0;
  auto add = [&](int channel) {
    ++errors[channel];
    ++found;
  };
  if (audio->quantization == 16) {
    for (int i = 0; i < 36 && base + i * stride < limit; ++i)
      if (static_cast<int16_t>(load_be16(data + 2 * i)) == invalid_16) add(second ? 1 : 0);
  } else if (audio->quantization == 12) {
    for (int i = 0; i < 24 && base + i * stride < limit; ++i) {
      const uint8_t *g = data + 3 * i;
      if (g[0] * 16 + (g[2] >> 4) == invalid_12) add(second ? 2 : 0);
      if (g[1] * 16 + (g[2] & 0x0f) == invalid_12) add(second ? 3 : 1);
    }
  }
  return found;
}

}  // namespace tarsk

extern "C" {

int dv_decode_audio_block(dv_audio_t *dv_audio, const uint8_t *inbuf, int ds, int audio_dif,
                          int16_t **outbufs) {
  const bool fifty = dv_audio->aaux_as.pc3.system == 1;
  const int half = dif::audio_half(fifty);
  const int stride = dif::audio_cycle(fifty);
  // Only the sequences and blocks the shuffle has.
  if (ds < 0 || ds >= 2 * half || audio_dif < 0 || audio_dif >= dif::audio_blocks_per_sequence)
    return -1;
  const bool second = ds >= half;
  const int base = dif::audio_position(fifty, second ? ds - half : ds, audio_dif, 0);
  const uint8_t *data = inbuf + dif::audio_data_offset;
  // Positions from max_samples on carry no samples of this frame; nothing
  // is stored there, so buffers of max_samples positions suffice.
  const int limit = std::max(dv_audio->max_samples, 0);

  if (dv_audio->quantization == 16) {
    int16_t *out = outbufs[second ? 1 : 0];
    int invalid = 0;
    for (int i = 0; i < 36; ++i) {
      const auto sample = static_cast<int16_t>(load_be16(data + 2 * i));
      const int p = base + i * stride;
      if (p < limit) out[p] = sample;
      invalid += sample == invalid_16;
    }
    if (invalid != 36) return 0;
    report_block_failure(dv_audio, inbuf, 16);
    dv_audio->block_failure += 1;
    dv_audio->sample_failure += 36;
    return 0;
  }

  if (dv_audio->quantization == 12) {
    int16_t *out_y = outbufs[second ? 2 : 0];
    int16_t *out_z = outbufs[second ? 3 : 1];
    int invalid = 0;
    for (int i = 0; i < 24; ++i) {
      const uint8_t *g = data + 3 * i;
      const int y_code = g[0] * 16 + (g[2] >> 4);
      const int z_code = g[1] * 16 + (g[2] & 0x0f);
      const int p = base + i * stride;
      if (y_code == invalid_12 && z_code == invalid_12) {
        if (p < limit) out_y[p] = out_z[p] = invalid_16;
        invalid += 2;
        continue;
      }
      // One invalid sample of a pair stands in as the most negative code.
      int y = signed_12(y_code), z = signed_12(z_code);
      if (y_code == invalid_12) {
        y = -nonlinear::largest_code;
        ++invalid;
      }
      if (z_code == invalid_12) {
        z = -nonlinear::largest_code;
        ++invalid;
      }
      if (p < limit) {
        out_y[p] = expand_12(y);
        out_z[p] = expand_12(z);
      }
    }
    if (invalid != 48) return 0;
    report_block_failure(dv_audio, inbuf, 12);
    dv_audio->block_failure += 1;
    dv_audio->sample_failure += 48;
    return 0;
  }

  tarsk::log(tarsk::LogLevel::error, "tarsk(%s):  unsupported audio sampling.\n", "audio");
  return -1;
}

int dv_decode_full_audio(dv_decoder_t *dv, const uint8_t *buffer, int16_t **outbufs) {
  if (!dv_parse_audio_header(dv, buffer)) return 0;
  dv_audio_t *audio = dv->audio;
  audio->block_failure = 0;
  audio->sample_failure = 0;
  for (int ds = 0; ds < dv->num_dif_seqs; ++ds)
    for (int block = 0; block < tarsk::dif::audio_blocks_per_sequence; ++block) {
      const uint8_t *at = buffer + tarsk::dif::audio_offset(ds, block);
      if (dv_decode_audio_block(audio, at, ds, block, outbufs) != 0) return 0;
    }
  if (audio->block_failure != 0) {
    if (audio->error_log != nullptr)
      std::fprintf(audio->error_log, "# audio block failure for %d blocks = %d samples of %d\n",
                   audio->block_failure, audio->sample_failure, audio->samples_this_frame);
    dv_audio_correct_errors(audio, outbufs);
  }
  if (audio->emphasis)
    for (int channel = 0; channel < audio->num_channels; ++channel)
      dv_audio_deemphasis(audio, outbufs[channel]);
  return 1;
}

int dv_frame_has_audio_errors(dv_decoder_t *dv) { return dv->audio->block_failure; }

void dv_audio_correct_errors(dv_audio_t *dv_audio, int16_t **outbufs) {
  const int n = samples_of(dv_audio);
  for (int channel = 0; channel < dv_audio->num_channels; ++channel) {
    if (dv_audio->correction_method == 1)
      drop_invalid(outbufs[channel], n);
    else if (dv_audio->correction_method == 2)
      interpolate_invalid(outbufs[channel], n);
  }
}

// First-order filter removing 50/15 us pre-emphasis: gain 1 at DC and V0
// at half the sampling rate.
void dv_audio_deemphasis(dv_audio_t *audio, int16_t *outbuf) {
  if (audio->frequency <= 0) return;  // no rate, no filter
  constexpr double v0 = 0.3365;
  constexpr double omega_g = 52631.57894736842;  // 1 / 19 us
  const double t = std::tan(omega_g * (1.0 / audio->frequency) / 2);
  const double h0 = v0 - 1;
  const double b = (v0 * t - 1) / (v0 * t + 1);
  const double b0 = 1 + (1 - b) * h0 / 2;
  const double b1 = b + (b - 1) * h0 / 2;
  const double a1 = b;
  double previous_in = 0, previous_out = 0;
  const int n = samples_of(audio);
  for (int i = 0; i < n; ++i) {
    const double x = outbuf[i];
    const double y = b0 * x + b1 * previous_in - a1 * previous_out;
    previous_in = x;
    previous_out = y;
    const double rounded = y > 0 ? y + 0.5 : y - 0.5;
    outbuf[i] = static_cast<int16_t>(static_cast<int64_t>(rounded));
  }
}

}  // extern "C"
