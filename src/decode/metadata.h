// What a parsed frame's subcode packs say, for the library's own faces:
// the time code and the recording date and time, as recorded.
#pragma once

#include <tarsk/dv.h>

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

}  // namespace tarsk
