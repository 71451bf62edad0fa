// Kernel dispatch: the plain kernels, then whatever the processor runs
// faster in their place.
#include "dsp/dsp.h"

#if TARSK_FAST_KERNELS
#include "dsp/x86/x86.h"
#endif

namespace tarsk::dsp {
namespace {

Dsp make_plain() {
  Dsp d{};
  idct_dsp_init(d.idct);
  quant_dsp_init(d.quant);
  yuy2_dsp_init(d.yuy2);
  planar_dsp_init(d.planar);
  encode_dsp_init(d.encode);
  return d;
}

Dsp make_fastest() {
  Dsp d = make_plain();
#if TARSK_FAST_KERNELS
  x86::dsp_init(d);
#endif
  return d;
}

}  // namespace

const Dsp &plain_dsp() {
  static const Dsp plain = make_plain();
  return plain;
}

const Dsp &dsp() {
  static const Dsp fastest = make_fastest();
  return fastest;
}

}  // namespace tarsk::dsp
