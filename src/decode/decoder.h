// The decoder record of dv.h, made without touching anything process-wide.
#pragma once

#include <tarsk/dv.h>

namespace tarsk {

// A decoder record as dv_decoder_new makes it (its video and audio records,
// the error log on standard error, the audio correction, the popt option
// table), but leaving alone the macroblock writers' clamp setting that
// dv_init chooses; null when memory could not be had. It builds no table:
// decoding with it needs the shared tables built first.
dv_decoder_t *new_decoder(int add_ntsc_setup, int clamp_luma, int clamp_chroma);

}  // namespace tarsk
