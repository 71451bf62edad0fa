// Macroblock placement: a DV frame stores its picture shuffled, each video
// segment gathering one macroblock from each of five super blocks spread
// over the picture. Placement computes where each macroblock belongs.
#include "common/place.h"

#include "common/dif.h"

namespace {

// First macroblock column of each super block column: in 32-pixel columns
// for 4:1:1, in 16-pixel columns for 4:2:0.
constexpr int column_offset_411[5] = {0, 4, 9, 13, 18};
constexpr int column_offset_420[5] = {0, 9, 18, 27, 36};

// A 4:1:1 super block is walked down one 32-pixel column of six 32x8
// macroblocks and up the next; odd super block columns start half a column
// in, sharing a column with their left neighbour. Columns from pixel 704 on
// hold 16x16 macroblocks, three to a super block row.
void place_411(dv_macroblock_t *mb) {
  const int k = mb->k + (mb->j % 2 ? 3 : 0);
  const int col = k / 6;
  const int rem = k % 6;
  const int row = col % 2 == 0 ? rem : 5 - rem;
  const int c = (col + column_offset_411[mb->j]) * 4;  // in 8-pixel units
  mb->x = c * 8;
  mb->y = c > 87 ? (mb->i * 3 + row) * 16 : (mb->i * 6 + row) * 8;
}

// A 4:2:0 super block is 9 columns of 3 macroblocks of 16x16, walked down
// and up in turn.
void place_420(dv_macroblock_t *mb) {
  const int col = mb->k / 3;
  const int rem = mb->k % 3;
  const int row = col % 2 == 0 ? rem : 2 - rem;
  mb->x = (col + column_offset_420[mb->j]) * 16;
  mb->y = (mb->i * 3 + row) * 16;
}

}  // namespace

void tarsk::place_macroblock(dv_macroblock_t *mb, dv_sample_t sampling) {
  if (sampling == e_dv_sample_411)
    place_411(mb);
  else
    place_420(mb);
}

extern "C" {

void dv_place_macroblock(dv_decoder_t *dv, dv_videosegment_t *seg, dv_macroblock_t *mb, int m) {
  const auto at = tarsk::dif::macroblock_address(seg->i, seg->k, m, dv->num_dif_seqs);
  mb->i = at.i;
  mb->j = at.j;
  mb->k = at.k;
  tarsk::place_macroblock(mb, dv->sampling);
}

void dv_place_video_segment(dv_decoder_t *dv, dv_videosegment_t *seg) {
  for (int m = 0; m < 5; ++m) dv_place_macroblock(dv, seg, &seg->mb[m], m);
}

void dv_place_frame(dv_decoder_t *dv, dv_frame_t *frame) {
  for (int ds = 0; ds < dv->num_dif_seqs; ++ds)
    for (int v = 0; v < tarsk::dif::segments_per_sequence; ++v) {
      dv_videosegment_t *seg = &frame->ds[ds].seg[v];
      seg->i = ds;
      seg->k = v;
      seg->isPAL = dv->system == e_dv_system_625_50;
      dv_place_video_segment(dv, seg);
    }
}

}  // extern "C"
