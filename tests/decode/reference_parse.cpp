// The video segment parser as it was before it was made fast, as plain as
// it was: one block's codes at a time, the class tables for every code,
// the bits fetched a byte at a time. See reference_parse.h.
#include "decode/reference_parse.h"

#include <cstdint>
#include <cstring>

#include "common/bitstream.h"
#include "common/dif.h"
#include "common/scan.h"

namespace tarsk::test::reference {
namespace {

using tarsk::dif::macroblock_bits;

// The bits of the segment by position, a byte at a time; bytes beyond the
// buffer read as 0.
class BitWindow {
 public:
  explicit BitWindow(const bitstream_t *bs) : buf_(bs->buf), len_(bs->buflen) {}
  uint64_t word(int pos) const {
    const uint32_t byte = static_cast<uint32_t>(pos) >> 3;
    uint64_t w = 0;
    for (uint32_t i = 0; i < 8; ++i) w = (w << 8) | (byte + i < len_ ? buf_[byte + i] : 0);
    return w << (pos & 7);
  }
  uint32_t window(int pos) const { return static_cast<uint32_t>(word(pos) >> 48); }
  uint32_t bits(int pos, int count) const {
    return count == 0 ? 0 : window(pos) >> (16 - count);
  }

 private:
  const uint8_t *buf_;
  uint32_t len_;
};

constexpr dv_vlc_t vlc_broken = {-1, -1, -1};
constexpr dv_vlc_t vlc_invalid = {-1, -2, -1};

// Decodes the code at the top of the window with `maxbits` bits left in
// the area it is read from, through dv.h's class tables: the class by the
// leading bits and the bits left, then the code in its class, then the
// sign; a code longer than the bits left is incomplete.
inline void decode(uint32_t bits, int maxbits, dv_vlc_t *v) {
  if (maxbits > 16) maxbits = 16;  // no code is longer
  const int klass = dv_vlc_classes[maxbits][(bits & static_cast<uint32_t>(
                                                        dv_vlc_class_index_mask[maxbits])) >>
                                            dv_vlc_class_index_rshift[maxbits]];
  *v = dv_vlc_lookups[klass][(bits & dv_vlc_index_mask[klass]) >> dv_vlc_index_rshift[klass]];
  if (v->amp > 0 && ((bits >> (16 - v->len)) & 1)) v->amp = static_cast<int16_t>(-v->amp);
  if (maxbits < v->len) *v = vlc_broken;
}

// Stores a decoded amplitude after its run of zeros. False when the run
// goes past the block's last coefficient: the data is damaged.
inline bool store(dv_block_t *bl, const dv_vlc_t &vlc) {
  if (vlc.run >= bl->reorder_sentinel - bl->reorder) return false;
  bl->reorder += vlc.run;
  auto *coeffs = reinterpret_cast<uint8_t *>(bl->coeffs);
  *reinterpret_cast<dv_coeff_t *>(coeffs + *bl->reorder) = vlc.amp;
  ++bl->reorder;
  return true;
}

inline void end_of_block(dv_macroblock_t *mb, dv_block_t *bl) {
  bl->reorder = bl->reorder_sentinel;
  bl->eob = 1;
  ++mb->eob_count;
}

// The first pass over a block's own area, from bl->offset.
struct Lane {
  dv_block_t *bl;
  uint8_t *coeffs;
  int8_t *reorder;
  int8_t *sentinel;
  int end;
  int offset;
  uint64_t cache = 0;  // the bits from offset on
  int cached = 0;      // how many of them are there
  dv_vlc_t vlc{};      // the code the lane stopped on

  explicit Lane(dv_block_t *b)
      : bl(b), coeffs(reinterpret_cast<uint8_t *>(b->coeffs)), reorder(b->reorder),
        sentinel(b->reorder_sentinel), end(b->end), offset(b->offset) {
    const dv_coeff_t dc = b->coeffs[0];
    for (dv_coeff_t &c : b->coeffs) c = 0;  // a few vector stores, no call
    b->coeffs[0] = dc;
  }

  // Reads one code and stores its amplitude; false when the lane stops: at
  // an end of block, a code going on in another area, or an invalid code.
  bool step(const BitWindow &bits) {
    if (cached < 16) {
      cache = bits.word(offset);
      cached = 64 - (offset & 7);
    }
    decode(static_cast<uint32_t>(cache >> 48), end - offset, &vlc);
    if (vlc.run < 0) return false;
    // A run past the block's last coefficient cannot be: the code is
    // invalid there, as an invalid bit pattern is, and the block stops on
    // it (damaged; a recovery pass meets it again and stops too).
    if (vlc.run >= sentinel - reorder) {
      vlc = vlc_invalid;
      return false;
    }
    offset += vlc.len;
    cache <<= vlc.len;
    cached -= vlc.len;
    reorder += vlc.run;
    *reinterpret_cast<dv_coeff_t *>(coeffs + *reorder) = vlc.amp;
    ++reorder;
    return true;
  }

  void finish(dv_macroblock_t *mb) {
    bl->offset = offset;
    bl->reorder = reorder;
    if (vlc.amp == 0) {
      bl->offset += 4;
      end_of_block(mb, bl);
    } else if (vlc.len == -2) {
      mb->vlc_error = 1;
    }
    // Incomplete: offset stays on the first bit of the code, which goes on
    // in another block's area.
  }
};

void pass0(const BitWindow &bits, dv_macroblock_t *mb, dv_block_t *bl) {
  Lane lane(bl);
  while (lane.step(bits)) {
  }
  lane.finish(mb);
}

// Searching for lenders: in pass 1 among the blocks of the macroblock, in
// pass 2 among all blocks of the segment.
struct Search {
  dv_videosegment_t *seg;
  const BitWindow &bits;
  dv_macroblock_t *mb;
  int pass;

  static bool can_lend(const dv_block_t &b) { return b.eob && b.offset < b.end && !b.mark; }

  dv_block_t *find_lender() const {
    for (dv_block_t &b : mb->b)
      if (can_lend(b)) return &b;
    if (pass != 2) return nullptr;
    return unused_bits_elsewhere();
  }

  // Lenders of other macroblocks must have completed all six blocks.
  dv_block_t *unused_bits_elsewhere() const {
    for (dv_macroblock_t &m : seg->mb) {
      if (m.eob_count != 6) continue;
      for (dv_block_t &b : m.b)
        if (can_lend(b)) return &b;
    }
    return nullptr;
  }

  // The blocks marked while one spanning code is looked for: its source
  // and the lenders tried, each once, at most all 30 of the segment.
  dv_block_t *marked[30] = {};
  int marks = 0;

  void mark(dv_block_t *b) {
    b->mark = 1;
    marked[marks++] = b;
  }

  // A spanning code found uses up the free bits of every block marked.
  void clear_marks(int found_vlc) {
    for (int i = 0; i < marks; ++i) {
      marked[i]->mark = 0;
      if (found_vlc) marked[i]->offset = marked[i]->end;
    }
    marks = 0;
  }

  // Continues the unfinished code at the end of *source's area with the
  // free bits of lenders. 1: the whole code is in *vlc, and *source is the
  // last lender, its offset just past the code; 0: no lender has enough
  // bits; -1: the bits together are not a code.
  int find_spilled_code(dv_block_t **source, dv_vlc_t *vlc) {
    // The unfinished code's first k bits (fewer than 16: a code of 16 bits
    // or more is never incomplete).
    int k = (*source)->end - (*source)->offset;
    uint32_t prefix = k > 0 ? bits.bits((*source)->offset, k) : 0;
    int found = 0;
    dv_block_t *lender = nullptr;
    while ((lender = find_lender()) != nullptr) {
      mark(lender);
      const int maxbits = lender->end - lender->offset + k;
      const uint32_t window = ((prefix << (16 - k)) | (bits.window(lender->offset) >> k)) & 0xffff;
      decode(window, maxbits, vlc);
      if (vlc->len >= 0) {
        found = 1;
        break;
      }
      if (vlc->len == -2) {
        clear_marks(0);
        return -1;
      }
      // Still unfinished: all these bits open the code; on to the next
      // lender.
      prefix = window >> (16 - maxbits);
      k = maxbits;
    }
    const int past_code = found ? lender->offset + vlc->len - k : 0;
    clear_marks(found);
    if (found) {
      lender->offset = past_code;
      *source = lender;
    }
    return found;
  }
};

// Outcome of reading one block's remaining codes in a recovery pass.
enum class BlockResult { complete, unfinished, damaged };

BlockResult recover_block(Search &search, dv_block_t *bl) {
  dv_block_t *source = bl;
  // The bits from source->offset on, as in pass 0.
  uint64_t cache = 0;
  int cached = 0;
  for (;;) {
    dv_vlc_t vlc;
    if (cached < 16) {
      cache = search.bits.word(source->offset);
      cached = 64 - (source->offset & 7);
    }
    decode(static_cast<uint32_t>(cache >> 48), source->end - source->offset, &vlc);
    if (vlc.len >= 0) {
      source->offset += vlc.len;
      cache <<= vlc.len;
      cached -= vlc.len;
    } else if (vlc.len == -2) {
      return BlockResult::damaged;
    } else {
      search.mark(source);
      const int found = search.find_spilled_code(&source, &vlc);
      if (found == 0) return BlockResult::unfinished;
      if (found < 0) return BlockResult::damaged;
      cached = 0;  // reading goes on in the lender
    }
    if (vlc.run < 0) {  // the end of block
      end_of_block(search.mb, bl);
      return BlockResult::complete;
    }
    if (!store(bl, vlc)) return BlockResult::damaged;
  }
}

// The recovery passes over the segment.
void recover(dv_videosegment_t *seg, const BitWindow &bits) {
  bool stop = false;
  for (int pass = 1; pass <= 2 && !stop; ++pass) {
    for (dv_macroblock_t &mb : seg->mb) {
      if (pass == 1 && mb.vlc_error) continue;
      Search search{seg, bits, &mb, pass};
      for (dv_block_t &bl : mb.b) {
        if (bl.eob) continue;
        const BlockResult result = recover_block(search, &bl);
        if (result == BlockResult::complete) continue;
        if (result == BlockResult::damaged) stop = true;
        // An error in the last pass ends the recovery of the segment; in
        // the first it leaves this macroblock to the second.
        if (pass == 2) return;
        break;
      }
    }
  }
}

// Parses the first n_blocks blocks of macroblock m: DC, mode and class,
// then their own areas when AC coefficients are wanted.
void parse_blocks(const BitWindow &bits, dv_macroblock_t *mb, int m, int n_blocks, bool ac) {
  const int base = macroblock_bits * m;
  for (int b = 0; b < n_blocks; ++b) {
    dv_block_t *bl = &mb->b[b];
    // DC (9 bits, two's complement), DCT mode (1 bit) and class (2 bits).
    const uint32_t head = bits.bits(base + tarsk::dif::area_begin(b), tarsk::dif::block_head_bits);
    const int dc = static_cast<int>(head >> 3);
    if (!ac) std::memset(bl->coeffs, 0, sizeof bl->coeffs);
    bl->coeffs[0] = static_cast<dv_coeff_t>(dc > 255 ? dc - 512 : dc);
    bl->dct_mode = static_cast<int>((head >> 2) & 1);
    bl->class_no = static_cast<int>(head & 3);
    if (!ac) continue;
    bl->eob = 0;
    bl->mark = 0;
    bl->offset = base + tarsk::dif::ac_begin(b);
    bl->end = base + tarsk::dif::area_end(b);
    bl->reorder = &dv_reorder[bl->dct_mode][1];
    bl->reorder_sentinel = &dv_reorder[bl->dct_mode][0] + 64;
  }
  if (!ac) return;
  for (int b = 0; b < n_blocks; ++b) pass0(bits, mb, &mb->b[b]);
}

}  // namespace

void parse_video_segment(dv_videosegment_t *seg, unsigned quality) {
  const BitWindow bits(seg->bs);
  const bool colour = (quality & DV_QUALITY_COLOR) != 0;
  const bool ac = (quality & (DV_QUALITY_AC_1 | DV_QUALITY_AC_2)) != 0;
  const bool multi_pass = (quality & DV_QUALITY_AC_2) && !(quality & DV_QUALITY_AC_1);
  const int sequences = tarsk::dif::sequences(seg->isPAL);

  // An encoder spills luminance codes into the free ends of the colour
  // areas as readily as anywhere, and finding those ends means parsing the
  // colour blocks. Without colour the multi-pass level parses them all the
  // same, into the segment's colour blocks, and puts back what the caller
  // had there: the luminance is then the same as with colour.
  dv_block_t saved_colour[5][2];
  const bool borrow_colour = multi_pass && !colour;
  const int n_blocks = colour || borrow_colour ? 6 : 4;

  for (int m = 0; m < 5; ++m) {
    dv_macroblock_t *mb = &seg->mb[m];
    if (borrow_colour) std::memcpy(saved_colour[m], &mb->b[4], sizeof saved_colour[m]);
    mb->qno = static_cast<int>(bits.bits(macroblock_bits * m + 8 * tarsk::dif::qno_byte + 4, 4));
    mb->vlc_error = 0;
    mb->eob_count = 0;
    const auto at = tarsk::dif::macroblock_address(seg->i, seg->k, m, sequences);
    mb->i = at.i;
    mb->j = at.j;
    mb->k = at.k;
    parse_blocks(bits, mb, m, n_blocks, ac);
  }
  if (multi_pass) recover(seg, bits);

  if (borrow_colour)
    for (int m = 0; m < 5; ++m) {
      dv_macroblock_t *mb = &seg->mb[m];
      mb->eob_count -= mb->b[4].eob + mb->b[5].eob;
      std::memcpy(&mb->b[4], saved_colour[m], sizeof saved_colour[m]);
    }
  // The reader ends where the parse does: after the last block.
  bitstream_seek(seg->bs, tarsk::dif::segment_bits);
}

void parse_ac_coeffs(dv_videosegment_t *seg) { recover(seg, BitWindow(seg->bs)); }

}  // namespace tarsk::test::reference
