// dv.h's set-up: dv_init, whose first caller's clamp setting becomes the
// macroblock writers', dv_reconfigure, and the builders' exported names,
// which remain for callers that call them: each only makes sure the shared
// tables exist.
#include <tarsk/dv.h>

#include <mutex>

#include "classic/writers.h"
#include "init.h"

extern "C" {

void dv_init(int clamp_luma, int clamp_chroma) {
  // Several threads may create their first decoders at once: call_once runs
  // the builders exactly once and makes every other caller wait for them.
  // The first caller's clamp setting becomes the macroblock writers'.
  static std::once_flag done;
  std::call_once(done, [=] {
    tarsk::build_tables();
    tarsk::classic::choose_rgb(clamp_luma, clamp_chroma);
    tarsk::classic::choose_yuy2(clamp_luma, clamp_chroma);
    tarsk::classic::choose_yv12(clamp_luma, clamp_chroma);
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
