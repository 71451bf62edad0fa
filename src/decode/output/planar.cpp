// Planar output: a luma plane and two chroma planes, the chroma at the
// picture's own sampling or spread to 4:2:2, through the planar kernels.
// The clamps are YUY2's, so a planar 4:2:2 picture holds exactly the bytes
// of the YUY2 one.
#include "decode/output/output.h"

namespace tarsk::output {

void write_planar(const dv_macroblock_t *mb, Shape shape, const Target &target,
                  const dsp::Yuy2Tables &t, bool setup) {
  const dsp::PlaneSet planes{{target.plane[0], target.plane[1], target.plane[2]},
                             {target.pitch[0], target.pitch[1], target.pitch[2]},
                             target.chroma_shift_x,
                             target.chroma_shift_y};
  const dsp::PlanarDsp &k = dsp::dsp().planar;
  const dsp::PlanarWriter w = shape == Shape::mb420   ? k.mb420
                              : shape == Shape::mb411 ? k.mb411
                                                      : k.mb411_right;
  w(mb, planes, t, setup);
}

}  // namespace tarsk::output
