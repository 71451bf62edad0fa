// Video segment parsing: five compressed macroblocks of 400 bytes into the
// coefficients of their 30 blocks.
//
// Each block has a fixed area in its macroblock's DIF block. An encoder
// puts what does not fit into the free ends of other areas: first of the
// same macroblock, then of the whole segment. The first pass reads every
// block from its own area; the recovery passes follow codes into the areas
// of blocks that ended early, in the order the encoder filled them.
#include <cstring>

#include "parse/bitstream.h"
#include "parse/vlc.h"

extern "C" {

const int8_t dv_88_reorder_prime[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Row 0 receives the zig-zag scan at start-up. Row 1 is the 2-4-8 scan,
// which alternates between the sum (0..31) and difference (32..63) halves.
int8_t dv_reorder[2][64] = {
    {0},
    {0,  32, 1,  33, 8,  40, 2,  34, 9,  41, 16, 48, 24, 56, 17, 49, 10, 42, 3,  35, 4,  36,
     11, 43, 18, 50, 25, 57, 26, 58, 19, 51, 12, 44, 5,  37, 6,  38, 13, 45, 20, 52, 27, 59,
     28, 60, 21, 53, 14, 46, 7,  39, 15, 47, 22, 54, 29, 61, 30, 62, 23, 55, 31, 63}};

const int dv_parse_bit_start[6] = {4 * 8 + 12, 18 * 8 + 12, 32 * 8 + 12,
                                   46 * 8 + 12, 60 * 8 + 12, 70 * 8 + 12};
const int dv_parse_bit_end[6] = {18 * 8, 32 * 8, 46 * 8, 60 * 8, 70 * 8, 80 * 8};

const int dv_super_map_vertical[5] = {2, 6, 8, 0, 4};
const int dv_super_map_horizontal[5] = {2, 1, 3, 0, 4};

void dv_parse_init(void) {
  // Scan entries become byte offsets into a block's 16-bit coefficients.
  std::memcpy(dv_reorder[0], dv_88_reorder_prime, sizeof dv_reorder[0]);
  for (auto &row : dv_reorder)
    for (int8_t &entry : row) entry = static_cast<int8_t>(entry * 2);
}

}  // extern "C"

namespace {

constexpr int macroblock_bits = 80 * 8;
constexpr int segment_bits = 5 * macroblock_bits;

// The bits of a segment by position. The parser knows where every block's
// bits lie, so it reads windows at positions instead of streaming: one
// unaligned big-endian load per code. Bytes beyond the buffer read as 0.
class SegmentBits {
 public:
  SegmentBits(const uint8_t *buf, uint32_t len) : buf_(buf), len_(len) {}
  explicit SegmentBits(const bitstream_t *bs) : SegmentBits(bs->buf, bs->buflen) {}

  // At least 57 bits from bit `pos` on, bit 63 first: 64 - (pos & 7).
  uint64_t word(int pos) const {
    const uint32_t byte = static_cast<uint32_t>(pos) >> 3;
    uint64_t w;
    if (byte + 8 <= len_) {
      std::memcpy(&w, buf_ + byte, 8);
      w = __builtin_bswap64(w);
    } else {
      w = 0;
      for (uint32_t i = 0; i < 8; ++i) w = (w << 8) | (byte + i < len_ ? buf_[byte + i] : 0);
    }
    return w << (pos & 7);
  }

  // The 16 bits from bit `pos` on, bit 15 first.
  uint32_t window(int pos) const { return static_cast<uint32_t>(word(pos) >> 48); }

  uint32_t bits(int pos, int count) const { return window(pos) >> (16 - count); }

 private:
  const uint8_t *buf_;
  uint32_t len_;
};

// Decodes the code at the top of the window with `maxbits` bits left in
// the area it is read from.
inline void decode(uint32_t window, int maxbits, dv_vlc_t *vlc) {
  tarsk::vlc_decode_fast(window, maxbits, vlc);
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

// The single pass over a block's own area, from bl->offset. The hot loop
// of the decoder: position and scan pointer stay in registers.
void pass0(const SegmentBits &bits, dv_macroblock_t *mb, dv_block_t *bl) {
  const dv_coeff_t dc = bl->coeffs[0];
  for (dv_coeff_t &c : bl->coeffs) c = 0;  // a few vector stores, no call
  bl->coeffs[0] = dc;
  auto *coeffs = reinterpret_cast<uint8_t *>(bl->coeffs);
  int8_t *reorder = bl->reorder;
  int8_t *const sentinel = bl->reorder_sentinel;
  const int end = bl->end;
  int offset = bl->offset;
  // The bits from offset on, and how many of them are there.
  uint64_t cache = 0;
  int cached = 0;
  dv_vlc_t vlc;
  for (;;) {
    if (cached < 16) {
      cache = bits.word(offset);
      cached = 64 - (offset & 7);
    }
    decode(static_cast<uint32_t>(cache >> 48), end - offset, &vlc);
    if (vlc.run < 0) break;
    offset += vlc.len;
    cache <<= vlc.len;
    cached -= vlc.len;
    if (vlc.run >= sentinel - reorder) {  // a run past the last coefficient
      bl->offset = offset;
      bl->reorder = reorder;
      mb->vlc_error = 1;
      return;
    }
    reorder += vlc.run;
    *reinterpret_cast<dv_coeff_t *>(coeffs + *reorder) = vlc.amp;
    ++reorder;
  }
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

// Searching for lenders: in pass 1 among the blocks of the macroblock, in
// pass 2 among all blocks of the segment.
struct Search {
  dv_videosegment_t *seg;
  const SegmentBits &bits;
  dv_macroblock_t *mb;
  int pass;

  static bool can_lend(const dv_block_t &b) { return b.eob && b.offset < b.end && !b.mark; }

  dv_block_t *find_lender() const {
    for (dv_block_t &b : mb->b)
      if (can_lend(b)) return &b;
    if (pass != 2) return nullptr;
    dv_block_t *lender = nullptr;
    dv_find_vs_unused_bits(&lender);
    return lender;
  }

  // Lenders of other macroblocks must have completed all six blocks.
  int dv_find_vs_unused_bits(dv_block_t **lender) const {
    for (dv_macroblock_t &m : seg->mb) {
      if (m.eob_count != 6) continue;
      for (dv_block_t &b : m.b)
        if (can_lend(b)) {
          *lender = &b;
          return 1;
        }
    }
    return 0;
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
  int dv_find_spilled_vlc(dv_block_t **source, dv_vlc_t *vlc) {
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
      const int found = search.dv_find_spilled_vlc(&source, &vlc);
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
void recover(dv_videosegment_t *seg, const SegmentBits &bits) {
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
void parse_blocks(const SegmentBits &bits, dv_macroblock_t *mb, int m, int n_blocks, bool ac) {
  const int base = macroblock_bits * m;
  for (int b = 0; b < n_blocks; ++b) {
    dv_block_t *bl = &mb->b[b];
    // DC (9 bits, two's complement), DCT mode (1 bit) and class (2 bits).
    const uint32_t head = bits.bits(base + dv_parse_bit_start[b] - 12, 12);
    const int dc = static_cast<int>(head >> 3);
    if (!ac) std::memset(bl->coeffs, 0, sizeof bl->coeffs);
    bl->coeffs[0] = static_cast<dv_coeff_t>(dc > 255 ? dc - 512 : dc);
    bl->dct_mode = static_cast<int>((head >> 2) & 1);
    bl->class_no = static_cast<int>(head & 3);
    if (!ac) continue;
    bl->eob = 0;
    bl->mark = 0;
    bl->offset = base + dv_parse_bit_start[b];
    bl->end = base + dv_parse_bit_end[b];
    bl->reorder = &dv_reorder[bl->dct_mode][1];
    bl->reorder_sentinel = &dv_reorder[bl->dct_mode][0] + 64;
    pass0(bits, mb, bl);
  }
}

}  // namespace

extern "C" {

void dv_parse_ac_coeffs_pass0(bitstream_t *bs, dv_macroblock_t *mb, dv_block_t *bl) {
  pass0(SegmentBits(bs), mb, bl);
  bitstream_seek(bs, static_cast<uint32_t>(bl->offset));
}

int dv_parse_ac_coeffs(dv_videosegment_t *seg) {
  recover(seg, SegmentBits(seg->bs));
  return 0;
}

int dv_parse_video_segment(dv_videosegment_t *seg, unsigned int quality) {
  const SegmentBits bits(seg->bs);
  const bool colour = (quality & DV_QUALITY_COLOR) != 0;
  const bool ac = (quality & (DV_QUALITY_AC_1 | DV_QUALITY_AC_2)) != 0;
  const bool multi_pass = (quality & DV_QUALITY_AC_2) && !(quality & DV_QUALITY_AC_1);
  const int sequences = seg->isPAL ? 12 : 10;

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
    mb->qno = static_cast<int>(bits.bits(macroblock_bits * m + 28, 4));
    mb->vlc_error = 0;
    mb->eob_count = 0;
    mb->i = (seg->i + dv_super_map_vertical[m]) % sequences;
    mb->j = dv_super_map_horizontal[m];
    mb->k = seg->k;
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
  bitstream_seek(seg->bs, segment_bits);
  return 0;
}

}  // extern "C"
