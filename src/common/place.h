// Macroblock placement for both directions.
#pragma once

#include <tarsk/dv.h>

namespace tarsk {

// Sets the picture position (x, y) of a macroblock whose super block
// address (i, j, k) is set, in a picture of the given chroma sampling.
void place_macroblock(dv_macroblock_t *mb, dv_sample_t sampling);

}  // namespace tarsk
