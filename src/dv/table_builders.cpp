// Builders of shared tables whose modules have no tables yet. dv_init runs
// every builder in its fixed order; each one moves into its own module (and
// out of this file) when that module's tables exist.
#include <tarsk/dv.h>

extern "C" {

void _dv_init_vlc_test_lookup(void) {}
void _dv_init_vlc_encode_lookup(void) {}
void _dv_init_qno_start(void) {}
void _dv_prepare_reorder_tables(void) {}

}  // extern "C"
