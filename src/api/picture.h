// The geometry of tarsk.h's picture layouts, and the decoder's output
// target for a picture.
#pragma once

#include <tarsk/tarsk.h>

#include <cstddef>

#include "decode/output/output.h"

namespace tarsk::api {

struct PlaneShape {
  size_t line_bytes;  // bytes of one line of the plane
  int lines;
};

// The planes of a layout (1 packed, 3 planar; 0 for no layout) and the
// shape of plane p for a picture of width x height.
int plane_count(int format);
PlaneShape plane_shape(int format, int width, int height, int p);

// Whether the picture's planes are set and large enough for its format and
// size: TARSK_OK, TARSK_E_BAD_CALL (a plane missing) or TARSK_E_BAD_BUFFER
// (a stride shorter than a line).
int check_planes(const tarsk_picture &picture);

// The decoder's target for a picture of a frame of this sampling; Layout::
// none when the format cannot hold it (a native layout of another sampling).
output::Target target_of(const tarsk_picture &picture, dv_sample_t sampling);

}  // namespace tarsk::api
