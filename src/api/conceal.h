// The C++ API's concealment step, shared by Concealment and FramePipeline.
#pragma once

#include <tarsk/tarsk.hpp>

#include "decode/conceal.h"

namespace tarsk {

// The damage of a decoded picture: covered through `previous` when the
// damage record says to conceal, else only counted.
PictureDamage conceal_picture(PreviousPicture &previous, const dv_decoder_t *dv,
                              dv_color_space_t space, const FrameDamage &damage, uint8_t *out,
                              size_t pitch);

}  // namespace tarsk
