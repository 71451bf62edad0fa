// What a parsed frame's subcode packs say, for the library's own faces:
// the time code and the recording date and time, as recorded.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>

namespace tarsk {

struct Timecode {
  int hours, minutes, seconds, frames;
  bool drop_frame;  // 525/60 frame numbers that leave out 0 and 1 of most minutes
};
bool timecode(const dv_decoder_t *dv, Timecode &t);

struct DateTime {
  int year, month, day, hours, minutes, seconds;
};
// Both recording packs are needed; false when either is missing.
bool recording_datetime(const dv_decoder_t *dv, DateTime &dt);

// The absolute track number of a frame's first track, from the subcode
// sync block IDs of its `sequences` DIF sequences: false when no track
// carries all three bytes of its number, when a byte disagrees with its
// repeats, or when the tracks that carry one do not count up by one.
bool absolute_track(const uint8_t *frame, int sequences, int32_t &track);

// The recording start and end flags of the frame's AAUX source control
// pack: 1 set (the frame opens or ends a recording), 0 not, -1 no pack.
struct RecordingMarks {
  int start, end;
};
RecordingMarks recording_marks(const uint8_t *frame);

// Whether a frame of `sequences` DIF sequences holds interlaced pictures:
// the interlace flag of the first VAUX source control pack found in its
// VAUX blocks; true when it has none (camcorders' pictures are).
bool interlaced_pictures(const uint8_t *frame, int sequences);

}  // namespace tarsk
