// What the audio module offers the rest of the library.
#pragma once

#include <tarsk/dv.h>

namespace tarsk {

// Samples per channel that the frame described by `as` carries at `freq`,
// or -1 (with a message) when the rate is not one DV knows.
int dv_audio_samples_per_frame(const dv_aaux_as_t *as, int freq);

// Adds to errors[0..3] the error-coded samples of audio block `a` of DIF
// sequence `ds` of the frame whose audio header `audio` holds (16-bit: a
// channel from each half of the frame; 12-bit: a pair), counting only the
// positions the frame's samples fill; returns how many it added.
int count_audio_errors(const dv_audio_t *audio, const uint8_t *block, int ds, int a,
                       int errors[4]);

}  // namespace tarsk
