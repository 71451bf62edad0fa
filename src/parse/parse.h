// Pack scans that the rest of the library uses; callers use dv_parse_packs.
#pragma once

#include <tarsk/dv.h>

namespace tarsk {

// DIF frame layout: 80-byte blocks, 150 to a 12000-byte DIF sequence.
inline constexpr int dif_block_size = 80;
inline constexpr int dif_sequence_size = 12000;

// Collects the packs of the frame's VAUX blocks (sequence 0, blocks 3 to 5)
// into the decoder's VAUX store.
void dv_parse_vaux(dv_decoder_t *dv, const uint8_t *buffer);
// Collects the packs of the subcode blocks of sequences 0 and 6 into the
// decoder's subcode store.
void dv_parse_ssyb(dv_decoder_t *dv, const uint8_t *buffer);

}  // namespace tarsk
