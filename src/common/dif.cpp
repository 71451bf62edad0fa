// The exported tables of the DIF layout.
#include "common/dif.h"

namespace tarsk::dif {
namespace {

// The shuffle's two descriptions, the table and the formula, name the same
// place for every sample position of a frame.
constexpr bool shuffle_agrees(bool fifty_fields) {
  const int positions = audio_cycle(fifty_fields) * 36;  // 36 samples a block
  for (int p = 0; p < positions; ++p) {
    const AudioSlot s = audio_slot(fifty_fields, p);
    if (audio_position(fifty_fields, s.row, s.block, s.index) != p) return false;
  }
  return true;
}
static_assert(shuffle_agrees(false) && shuffle_agrees(true));
static_assert(aaux_as_offset == 4323 && aaux_asc_offset == 5603);

}  // namespace
}  // namespace tarsk::dif

using namespace tarsk::dif;

extern "C" {

const int dv_parse_bit_start[6] = {ac_begin(0), ac_begin(1), ac_begin(2),
                                   ac_begin(3), ac_begin(4), ac_begin(5)};
const int dv_parse_bit_end[6] = {area_end(0), area_end(1), area_end(2),
                                 area_end(3), area_end(4), area_end(5)};
const int dv_super_map_vertical[5] = {super_map_vertical[0], super_map_vertical[1],
                                      super_map_vertical[2], super_map_vertical[3],
                                      super_map_vertical[4]};
const int dv_super_map_horizontal[5] = {super_map_horizontal[0], super_map_horizontal[1],
                                        super_map_horizontal[2], super_map_horizontal[3],
                                        super_map_horizontal[4]};

#define TARSK_ROW9(t, r) \
  { t[r][0], t[r][1], t[r][2], t[r][3], t[r][4], t[r][5], t[r][6], t[r][7], t[r][8] }
const int dv_audio_unshuffle_60[5][9] = {
    TARSK_ROW9(audio_unshuffle_60, 0), TARSK_ROW9(audio_unshuffle_60, 1),
    TARSK_ROW9(audio_unshuffle_60, 2), TARSK_ROW9(audio_unshuffle_60, 3),
    TARSK_ROW9(audio_unshuffle_60, 4)};
const int dv_audio_unshuffle_50[6][9] = {
    TARSK_ROW9(audio_unshuffle_50, 0), TARSK_ROW9(audio_unshuffle_50, 1),
    TARSK_ROW9(audio_unshuffle_50, 2), TARSK_ROW9(audio_unshuffle_50, 3),
    TARSK_ROW9(audio_unshuffle_50, 4), TARSK_ROW9(audio_unshuffle_50, 5)};
#undef TARSK_ROW9

}  // extern "C"
