// Whole-frame video decoding: every video segment of a frame is parsed,
// its blocks reconstructed, its macroblocks placed and written out.
#include "decode/frame.h"

#include <algorithm>
#include <iterator>

#include "common/dif.h"
#include "common/transform.h"
#include "decode/output/output.h"
#include "dsp/dsp.h"

namespace {

namespace dif = tarsk::dif;

// Dequantisation, inverse weighting and inverse transform of one block.
void reconstruct(dv_block_t *b, int qno, tarsk::Reconstruction reconstruction) {
  if (reconstruction == tarsk::Reconstruction::accurate) {
    const auto &k = tarsk::dsp::dsp().idct;
    if (b->dct_mode == 1)
      k.idct_248_rounded(b->coeffs, tarsk::accurate_248_factors(qno, b->class_no));
    else
      k.idct_88_rounded(b->coeffs, tarsk::accurate_88_factors(qno, b->class_no));
    return;
  }
  if (b->dct_mode == 1) {
    dv_248_coeff_t scratch[64];
    _dv_quant_248_inverse(b->coeffs, qno, b->class_no, scratch);
    dv_idct_248(scratch, b->coeffs);
  } else {
    tarsk::dequantise_weight_88(b->coeffs, qno, b->class_no);
    _dv_idct_88(b->coeffs);
  }
}

// A macroblock the recorder flagged as damaged, or whose codes do not
// parse: an invalid code, or (where the recovery passes ran) a block that
// never reached its end.
bool macroblock_damaged(const dv_macroblock_t *mb, const uint8_t *block, unsigned quality) {
  if (tarsk::dif::video_block_flagged(block) || mb->vlc_error) return true;
  const bool multi_pass = (quality & DV_QUALITY_AC_2) && !(quality & DV_QUALITY_AC_1);
  return multi_pass && mb->eob_count < ((quality & DV_QUALITY_COLOR) ? 6 : 4);
}

}  // namespace

namespace tarsk {

void reconstruct_macroblock(dv_macroblock_t *mb, unsigned quality,
                            Reconstruction reconstruction) {
  const int blocks = (quality & DV_QUALITY_COLOR) ? 6 : 4;
  for (int b = 0; b < blocks; ++b) reconstruct(&mb->b[b], mb->qno, reconstruction);
}

void render_macroblock(const dv_decoder_t *dv, const dv_macroblock_t *mb,
                       const output::Target &target) {
  const auto &tables = output::tables(dv->clamp_luma, dv->clamp_chroma);
  output::write_macroblock(mb, dv->sampling, target, tables, dv->add_ntsc_setup == 1);
}

void decode_segments(dv_decoder_t *dv, const uint8_t *buffer, const output::Target &target,
                     dv_videosegment_t *seg, bitstream_t *bs, int first, int last,
                     FrameDamage *damage, Reconstruction reconstruction) {
  seg->bs = bs;
  seg->isPAL = dv->system == e_dv_system_625_50;
  const bool write = target.layout != output::Layout::none;
  for (int n = first; n < last; ++n) {
    const int ds = n / dif::segments_per_sequence, k = n % dif::segments_per_sequence;
    _dv_bitstream_new_buffer(bs, const_cast<uint8_t *>(buffer + dif::segment_offset(ds, k)),
                             dif::segment_size);
    seg->i = ds;
    seg->k = k;
    dv_parse_video_segment(seg, dv->quality);
    if (damage != nullptr)
      for (int m = 0; m < dif::macroblocks_per_segment; ++m)
        damage->macroblocks[5 * n + m] = macroblock_damaged(
            &seg->mb[m], buffer + dif::segment_offset(ds, k) + m * dif::block_size, dv->quality);
    if (!write) continue;
    for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
      dv_macroblock_t *mb = &seg->mb[m];
      if (damage != nullptr && damage->macroblocks[5 * n + m] && damage->conceal) {
        for (dv_block_t &b : mb->b) std::fill(std::begin(b.coeffs), std::end(b.coeffs), 0);
        dv_place_macroblock(dv, seg, mb, m);
        render_macroblock(dv, mb, target);
        continue;
      }
      reconstruct_macroblock(mb, dv->quality, reconstruction);
      // Without colour the picture is grey: the colour blocks hold no
      // chroma of this frame, only what earlier segments left there.
      if (!(dv->quality & DV_QUALITY_COLOR))
        for (int b = 4; b < 6; ++b) std::fill(std::begin(mb->b[b].coeffs), std::end(mb->b[b].coeffs), 0);
      dv_place_macroblock(dv, seg, mb, m);
      render_macroblock(dv, mb, target);
    }
  }
}

}  // namespace tarsk
