// Y'CbCr samples as the encoder takes them. Its planes hold each 8-bit
// sample centred on 0 and doubled, 2 x (value - 128): luma and chroma
// alike, so that a picture encodes the same whichever form it comes in
// (YUY2, planar, or RGB through dv_enc_rgb_to_ycb, whose arithmetic lives
// in colour.cpp).
#pragma once

#include <cstdint>

namespace tarsk {

constexpr int16_t encoder_sample(int value) { return static_cast<int16_t>(2 * (value - 128)); }

}  // namespace tarsk
