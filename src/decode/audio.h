// What the audio module offers the rest of the library.
#pragma once

#include <tarsk/dv.h>

namespace tarsk {

// Samples per channel that the frame described by `as` carries at `freq`,
// or -1 (with a message) when the rate is not one DV knows.
int dv_audio_samples_per_frame(const dv_aaux_as_t *as, int freq);

}  // namespace tarsk
