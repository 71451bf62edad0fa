// Builds DV frames in memory for tests: every DIF block carries its
// identifier, every pack slot starts empty (0xff), and the header block,
// subcode, VAUX and AAUX packs can be set one by one.
#pragma once

#include <tarsk/dv.h>

#include <array>
#include <cstdint>
#include <vector>

#include "common/dif.h"

namespace tarsk::test {

namespace dif = tarsk::dif;
using Pack = std::array<uint8_t, 5>;  // ID byte and PC1..PC4

class FrameBuilder {
 public:
  explicit FrameBuilder(dv_system_t system);

  int dif_sequences() const { return sequences_; }
  std::vector<uint8_t> &bytes() { return frame_; }
  const std::vector<uint8_t> &bytes() const { return frame_; }

  // The APT field of every DIF sequence's header block.
  FrameBuilder &apt(int apt);

  // VAUX pack slot 0..44 of DIF sequence 0 (15 slots in each of 3 blocks).
  FrameBuilder &vaux(int slot, const Pack &pack);
  // Subcode pack slot 0..11 of a DIF sequence (6 in each of 2 blocks).
  FrameBuilder &subcode(int sequence, int slot, const Pack &pack);

  // The five video DIF blocks (400 bytes) of segment k of a DIF sequence.
  uint8_t *segment(int sequence, int k) { return &frame_[dif::segment_offset(sequence, k)]; }
  // Puts the payload of 400 segment bytes into segment k, keeping the
  // identifiers of its five blocks.
  FrameBuilder &put_segment(int sequence, int k, const std::vector<uint8_t> &segment_bytes);
  // The payload of audio block 0..8 of a DIF sequence, after its pack.
  uint8_t *audio_data(int sequence, int block) {
    return &frame_[dif::audio_offset(sequence, block) + dif::audio_data_offset];
  }

 private:
  int sequences_;
  std::vector<uint8_t> frame_;
};

// Packs as recorders write them.
Pack vaux_source(bool color, bool fifty_fields);
Pack vaux_source_control(int display_mode, bool frame_changed);
Pack timecode(int hours, int minutes, int seconds, int frame);
Pack recording_date(int year, int month, int day, uint8_t id = 0x62);
Pack recording_time(int hours, int minutes, int seconds, uint8_t id = 0x63);
// AAUX source pack: af_size, 50-field flag, emphasis flag (1 = off),
// sampling code and quantisation code.
Pack aaux_source(int af_size, bool fifty_fields, int ef, int smp, int qu);
// AAUX source control pack with the given playback speed code.
Pack aaux_source_control(int speed);

// Writes 16-bit samples into the audio blocks: channel 0 in the first half
// of the DIF sequences, channel 1 in the second. Missing positions hold 0.
void write_audio_16(FrameBuilder &frame, const std::vector<int16_t> &left,
                    const std::vector<int16_t> &right);
// Writes 12-bit codes (0..4095, 0x800 invalid): channels 0 and 1 in the
// first half, 2 and 3 in the second, a pair of codes per three bytes.
void write_audio_12(FrameBuilder &frame, const std::vector<int> (&codes)[4]);

// Puts the AAUX source pack at audio block 3 and the source control pack at
// audio block 4 of DIF sequence 0, where the decoder reads them.
FrameBuilder &with_audio_packs(FrameBuilder &frame, const Pack &source, const Pack &control);

}  // namespace tarsk::test
