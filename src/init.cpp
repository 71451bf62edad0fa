// The library's one-time set-up: every shared table that is not built at
// compile time is built here, once, in the order of their dependencies.
// dv.h's builders (classic/init.cpp) only make sure the tables exist.
#include <mutex>

#include "init.h"

#include "common/transform.h"
#include "decode/output/output.h"
#include "encode/encode.h"

namespace tarsk {

void build_tables() {
  static std::once_flag done;
  std::call_once(done, [] {
    weight_init();
    dct_init();
    dct_248_init();  // reads the weights
    quant_init();    // reads the weights and the 2-4-8 prescale
    output::init();
    vlc_encode_init();  // the encoder's code lookups, from the code table
  });
}

}  // namespace tarsk
