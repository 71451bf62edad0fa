// A plain twin of the video segment parser, kept as the parser was before
// it was made fast: the fast parser must give every field of the segment
// record exactly as this one does, on good and on damaged streams.
#pragma once

#include <tarsk/dv.h>

namespace tarsk::test::reference {

// dv_parse_video_segment, the straightforward way.
void parse_video_segment(dv_videosegment_t *seg, unsigned quality);

// dv_parse_ac_coeffs: the recovery passes alone, on the records as they
// stand.
void parse_ac_coeffs(dv_videosegment_t *seg);

}  // namespace tarsk::test::reference
