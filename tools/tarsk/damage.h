// The damage that `tarsk decode` and `tarsk info` find on their way
// through a stream, frame by frame, and the summary they give at the end.
#pragma once

#include <cstdint>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

namespace tarsk::cli {

struct DamageTally {
  uint64_t skipped_bytes = 0;       // passed over to find frames again
  std::vector<uint64_t> skipped_at;  // the first few places, as stream offsets
  uint64_t partial_frames = 0, missing_blocks = 0;
  bool cut_short = false;            // the stream ends inside its last frame
  uint64_t flagged_video_blocks = 0;  // marked damaged by the recorder's status nibble
  uint64_t damaged_frames = 0;       // frames with damaged macroblocks
  uint64_t damaged_macroblocks = 0;  // missing, flagged by the recorder, or not parsing
  bool concealed = true;             // damaged macroblocks show the previous picture's
  uint64_t failed_audio_blocks = 0, frames_without_audio = 0;
  uint64_t unreadable_frames = 0;    // frames whose header could not be read
  uint64_t other_system_frames = 0;  // shown as the previous picture in a one-size output

  // What the reader had to do for a frame; a line for a person, or empty.
  std::string add_read(const Frame &frame);
  // What decoding its picture found; a line for a person, or empty.
  std::string add_picture(const PictureDamage &damage);
  bool any() const;
  // "none", or the damage in a line: "80 bytes skipped to find frames (at
  // byte 1584000), 2 frames with 14 damaged macroblocks concealed, ...".
  std::string text() const;
};

}  // namespace tarsk::cli
