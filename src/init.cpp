// The library's one-time set-up: every shared table that is not built at
// compile time is built here, once, in the order of their dependencies.
// The builders' exported names remain for callers that call them; each
// only makes sure the tables exist.
#include <tarsk/dv.h>

#include <atomic>
#include <mutex>

#include "common/transform.h"
#include "decode/output/output.h"
#include "encode/encode.h"

namespace tarsk {
namespace {

std::atomic<int> init_runs{0};

void build_tables() {
  static std::once_flag done;
  std::call_once(done, [] {
    weight_init();
    dct_init();
    dct_248_init();  // reads the weights
    quant_init();    // reads the weights and the 2-4-8 prescale
    output::init();
    vlc_encode_init();  // the encoder's code lookups, from the code table
    init_runs.fetch_add(1);
  });
}

}  // namespace

// How many times the shared tables were built: 1 once any decoder exists.
int dv_init_runs() { return init_runs.load(); }

}  // namespace tarsk

extern "C" {

void dv_init(int clamp_luma, int clamp_chroma) {
  // Several threads may create their first decoders at once: call_once runs
  // the builders exactly once and makes every other caller wait for them.
  // The first caller's clamp setting becomes the macroblock writers'.
  static std::once_flag done;
  std::call_once(done, [=] {
    tarsk::build_tables();
    tarsk::output::choose_rgb(clamp_luma, clamp_chroma);
    tarsk::output::choose_yuy2(clamp_luma, clamp_chroma);
    tarsk::output::choose_yv12(clamp_luma, clamp_chroma);
  });
}

void dv_reconfigure(int clamp_luma, int clamp_chroma) {
  dv_rgb_init(clamp_luma, clamp_chroma);
  dv_YUY2_init(clamp_luma, clamp_chroma);
  dv_YV12_init(clamp_luma, clamp_chroma);
}

void _dv_weight_init(void) { tarsk::build_tables(); }
void _dv_dct_init(void) { tarsk::build_tables(); }
void dv_dct_248_init(void) { tarsk::build_tables(); }
void dv_construct_vlc_table(void) {}  // the code tables are built at compile time
void dv_parse_init(void) {}           // and so are the scan tables
void dv_place_init(void) {}           // placement needs no table
void dv_quant_init(void) { tarsk::build_tables(); }
void _dv_init_vlc_test_lookup(void) { tarsk::build_tables(); }
void _dv_init_vlc_encode_lookup(void) { tarsk::build_tables(); }
void _dv_init_qno_start(void) {}          // the quantiser start tables are built at compile time
void _dv_prepare_reorder_tables(void) {}  // and so are the reorder tables

}  // extern "C"
