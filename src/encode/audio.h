// Audio insertion into encoded frames, for dv.h's audio calls and for
// output filters that add a frame's sound as they store it.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>
#include <optional>

namespace tarsk {

// What the AAUX source pack of a frame says, less the half-of-frame bit.
// dv.h's calls insert 16-bit stereo only (32 kHz with other channel counts
// would be 12-bit audio, which they refuse); tarsk.h's insert 12-bit too.
struct SourcePack {
  int rate_code;            // sampling code, 0..2
  int samples;              // per channel in this frame
  int alignment;            // bytes from one sample of a channel to its next (16-bit)
  bool twelve_bit = false;  // non-linear 12-bit at 32 kHz, a stereo pair a half
};

// 12-bit sound: `frames` sample frames of `channels` (2: one stereo pair,
// 4: two) interleaved 16-bit samples at 32 kHz.
struct Sound12 {
  const int16_t *samples;
  int channels;
  int frames;
};

// What the record's audio is, or nothing (with the message logged) when
// it cannot be inserted into a frame of the system (pal: 625/50). Checked
// before anything is written, so that a refused frame keeps what it had.
std::optional<SourcePack> describe_audio(const dv_enc_audio_info_t &audio, bool pal);

// Writes the AAUX packs and the samples of a described record into the
// audio blocks of `frame`; `smpte_314m` gives the source control pack that
// standard's code of normal speed.
void insert_audio(uint8_t *frame, const dv_enc_audio_info_t &audio, const SourcePack &sp, bool pal,
                  bool smpte_314m);

// The source pack of 12-bit sound, or nothing (with the message logged)
// when a frame of the system cannot carry it.
std::optional<SourcePack> describe_12_bit(int channels, int frames, bool pal);

// Writes the AAUX packs and the 12-bit codes nearest the samples into the
// audio blocks of `frame`: the first pair in the first half of the DIF
// sequences, the second (silence with one pair) in the second half.
void insert_12_bit(uint8_t *frame, const Sound12 &sound, const SourcePack &sp, bool pal,
                   bool smpte_314m);

// dv_encode_full_audio, for a frame of SMPTE 314M when `smpte_314m`.
int encode_full_audio(dv_encoder_t *dv_enc, int16_t **pcm, int channels, int frequency,
                      uint8_t *frame_buf, bool smpte_314m);

}  // namespace tarsk
