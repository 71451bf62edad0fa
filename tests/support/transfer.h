// Transfers of a tape made for tests: recordings encoded by our encoder one
// after another, with known time codes, recording dates, recording start
// flags and absolute track numbers, then damaged in known places.
#pragma once

#include <tarsk/tarsk.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace tarsk::test {

struct Recording {
  int frames = 10;
  int64_t timecode = 0;  // the first frame's, in frames from 00:00:00:00
  int64_t date = 1700000000;  // the first frame's recording clock, seconds since 1970
  bool marked = true;    // the recorder's recording start flag on the first frame
  tarsk_system system = TARSK_SYSTEM_625_50;
  bool wide = false;
  int audio_rate = 48000;  // 48000, 44100 or 32000: a tone in both channels
};

// The frames of the recordings one after another, a moving picture and a
// tone in each. With `first_track`, every frame's subcode carries its
// absolute track number (one track to a DIF sequence, counting on through
// the recordings as a tape's do).
std::vector<uint8_t> make_transfer(const std::vector<Recording> &recordings,
                                   std::optional<int32_t> first_track = std::nullopt);

// Writes the absolute track numbers first, first + 1, ... into the subcode
// sync block IDs of the frame's DIF sequences as a tape's subcode carries
// them: 23 bits above a blank flag, a byte of the three in each sync block
// ID by its number modulo 3.
void stamp_tracks(uint8_t *frame, int sequences, int32_t first);

// Damage, at DIF sequence `s` of the frame at `frame`:
// every block of video segment k flagged by its status nibble;
void flag_segment(uint8_t *frame, int s, int k);
// the codes of segment k garbled so that they do not parse (status left 0);
void garble_segment(uint8_t *frame, int s, int k);
// every sample of audio block a error-coded (16-bit sound).
void error_audio_block(uint8_t *frame, int s, int a);

}  // namespace tarsk::test
