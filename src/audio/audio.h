// What the audio module offers the rest of the library.
#pragma once

#include <tarsk/dv.h>

namespace tarsk {

// Frame byte offsets of the AAUX source pack (audio block 3 of DIF sequence
// 0, byte 3) and of the source control pack (audio block 4, byte 3).
inline constexpr int aaux_as_offset = 4323;
inline constexpr int aaux_asc_offset = 5603;

// Samples per channel that the frame described by `as` carries at `freq`,
// or -1 (with a message) when the rate is not one DV knows.
int dv_audio_samples_per_frame(const dv_aaux_as_t *as, int freq);

}  // namespace tarsk
