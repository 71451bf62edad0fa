// Video segment parsing: five compressed macroblocks of 400 bytes into the
// coefficients of their 30 blocks.
//
// Each block has a fixed area in its macroblock's DIF block. An encoder
// puts what does not fit into the free ends of other areas: first of the
// same macroblock, then of the whole segment. The first pass reads every
// block from its own area; the recovery passes follow codes into the areas
// of blocks that ended early, in the order the encoder filled them.
#include <array>
#include <cstring>

#include "common/bitstream.h"
#include "common/dif.h"
#include "common/scan.h"
#include "common/vlc.h"

namespace {

using tarsk::dif::macroblock_bits;
using tarsk::dif::segment_bits;
using tarsk::BitWindow;
// The segment's bytes as the parser reads them: every window one load (16
// bytes more: a first-pass lane loads 128 bits from where its area's codes
// begin).
using SegmentBits = tarsk::PaddedBits<tarsk::dif::segment_size + 16>;

// Decodes the code at the top of the window with `maxbits` bits left in
// the area it is read from.
inline dv_vlc_t decode(uint32_t window, int maxbits) {
  return tarsk::vlc_decode_fast(window, maxbits);
}

// Sets a block's AC coefficients to 0 and keeps its DC: eight 16-byte
// stores written out (a loop or memset becomes a `rep stos`, whose start-up
// costs more than the stores).
inline void clear_ac(dv_block_t *b) {
  // A block's coefficients need not be 16-byte aligned: each row goes by
  // memcpy, which becomes one unaligned store.
  using Row = int16_t __attribute__((vector_size(16)));
  static_assert(sizeof b->coeffs == 8 * sizeof(Row));
  const Row zero{};
  Row first = zero;
  first[0] = b->coeffs[0];
  auto *rows = reinterpret_cast<unsigned char *>(b->coeffs);
  std::memcpy(rows, &first, sizeof first);
  std::memcpy(rows + 1 * sizeof zero, &zero, sizeof zero);
  std::memcpy(rows + 2 * sizeof zero, &zero, sizeof zero);
  std::memcpy(rows + 3 * sizeof zero, &zero, sizeof zero);
  std::memcpy(rows + 4 * sizeof zero, &zero, sizeof zero);
  std::memcpy(rows + 5 * sizeof zero, &zero, sizeof zero);
  std::memcpy(rows + 6 * sizeof zero, &zero, sizeof zero);
  std::memcpy(rows + 7 * sizeof zero, &zero, sizeof zero);
}

inline void end_of_block(dv_macroblock_t *mb, dv_block_t *bl) {
  bl->reorder = bl->reorder_sentinel;
  bl->eob = 1;
  ++mb->eob_count;
}

// A block's position in the bits of one area, its scan pointer and the
// bits ahead, in locals: the hot loops keep them in registers and write
// them back to the block record when they stop. (Coefficients are stored
// through a byte pointer, which may alias anything in memory; state kept
// in the record would be reloaded after every store.)
struct Reader {
  uint8_t *coeffs;
  const int8_t *reorder;
  const int8_t *sentinel;
  int offset;          // next unread bit
  int end;             // end of the area being read
  uint64_t cache = 0;  // the bits from offset on
  int cached = 0;      // how many of them are there

  Reader(dv_block_t *b, int from, int area_end)
      : coeffs(reinterpret_cast<uint8_t *>(b->coeffs)), reorder(b->reorder),
        sentinel(b->reorder_sentinel), offset(from), end(area_end) {}

  // The code at offset, not consumed.
  template <class Bits>
  dv_vlc_t peek(const Bits &bits) {
    if (cached < 16) {
      cache = bits.word(offset);
      cached = 64 - (offset & 7);
    }
    return decode(static_cast<uint32_t>(cache >> 48), end - offset);
  }

  void consume(int len) {
    offset += len;
    cache <<= len;
    cached -= len;
  }

  // Continues reading at another area's bits.
  void jump(int from, int area_end) {
    offset = from;
    end = area_end;
    cached = 0;
  }

  // A run past the block's last coefficient cannot be: the data is damaged.
  bool fits(const dv_vlc_t &vlc) const { return vlc.run < sentinel - reorder; }

  // Stores a decoded amplitude after its run of zeros (the run fits).
  void store(const dv_vlc_t &vlc) {
    reorder += vlc.run;
    *reinterpret_cast<dv_coeff_t *>(coeffs + *reorder) = vlc.amp;
    ++reorder;
  }

  // Reads and stores codes up to the first that is not a coefficient of
  // the block: an end of block, a code cut by the end of the area, an
  // invalid code or a run past the last coefficient. Returns that code,
  // not consumed. (End of block, cut and invalid codes have run -1, which
  // as unsigned fits no block.)
  template <class Bits>
  dv_vlc_t run(const Bits &bits) {
    for (;;) {
      const dv_vlc_t vlc = peek(bits);
      if (static_cast<unsigned>(vlc.run) >= static_cast<unsigned>(sentinel - reorder)) return vlc;
      consume(vlc.len);
      store(vlc);
    }
  }
};

// The two scans 128 positions apart: position 128 * dct_mode + i is scan
// position i of the mode. While a block is parsed its position stays
// below 128 * dct_mode + 64 + 62 (a run is at most 61), so bit 6 of a
// position tells whether it is past the block's last coefficient.
constexpr std::array<int8_t, 256> scans_128 = [] {
  std::array<int8_t, 256> t{};
  for (int i = 0; i < 64; ++i) {
    t[static_cast<size_t>(i)] = tarsk::scan_88[i];
    t[static_cast<size_t>(128 + i)] = tarsk::scan_248[i];
  }
  return t;
}();
constexpr unsigned past_last = 64;

// The single pass over a block's own area, from bl->offset: the hot loop
// of the decoder. Each code's length is known only once its table entry
// is loaded, so one block's codes form a chain of dependent loads; two
// blocks' lanes stepped in turn keep two chains in flight, and most steps
// take two codes (vlc_pairs). A lane keeps in registers only what the
// chain needs: the bits ahead, how many bits are cached and left in the
// area, and the scan position; the rest stays in the block record, read
// when the cache is refilled or the lane stops. It starts on a block as
// parse_blocks sets it up (scan pointer at position 1).
template <class Bits>
struct Lane {
  dv_block_t *bl;
  // The 128 bits from the next unread one on, more than an area and a
  // code after it: no refill while the block is read.
  uint64_t hi;
  uint64_t lo;
  int left;      // bits left in the area
  unsigned pos;  // scan position of the next coefficient, in scans_128
  dv_vlc_t vlc{};  // the code the lane stopped on

  Lane(const Bits &bits, dv_block_t *b)
      : bl(b), hi(exact_64(bits, b->offset)), lo(exact_64(bits, b->offset + 64)),
        left(b->end - b->offset), pos(128 * static_cast<unsigned>(b->dct_mode) + 1) {
    clear_ac(b);
  }

  // The 64 bits from `pos` on: a window holds at least 57 of them, the
  // window 56 bits on the rest.
  static uint64_t exact_64(const Bits &bits, int at) {
    return bits.word(at) | (bits.word(at + 56) >> 56);
  }

  void consume(int len) {
    hi = (hi << len) | (lo >> (64 - len));
    lo <<= len;
    left -= len;
  }

  // Reads one or two codes and stores their amplitudes; false when the
  // lane stops: at an end of block, a code going on in another area, or an
  // invalid code.
  [[gnu::always_inline]] bool step() {
    // The common case in one load and one branch: one or two short codes
    // that end in the area, their runs within the block (bit 6).
    const tarsk::VlcPair p = tarsk::vlc_pairs[hi >> 53];
    const unsigned last = pos + p.at2;
    if (static_cast<unsigned>(p.len - 1) < static_cast<unsigned>(left) && !(last & past_last))
        [[likely]] {
      consume(p.len);
      bl->coeffs[scans_128[pos + p.at1]] = p.amp1;
      bl->coeffs[scans_128[last]] = p.amp2;
      pos = last + 1;
      return true;
    }
    return single_step();
  }

  // One code, whatever it is: a long code, an end of block, a code cut by
  // the end of the area, an invalid code or a run past the block's last
  // coefficient.
  [[gnu::always_inline]] bool single_step() {
    vlc = decode(static_cast<uint32_t>(hi >> 48), left);
    if (vlc.run < 0) return false;
    // A run past the block's last coefficient is invalid there, as an
    // invalid bit pattern is, and the block stops on it (damaged; a
    // recovery pass meets it again and stops too).
    const unsigned at = pos + static_cast<unsigned>(vlc.run);
    if (at & past_last) {
      vlc = tarsk::vlc_invalid;
      return false;
    }
    consume(vlc.len);
    bl->coeffs[scans_128[at]] = vlc.amp;
    pos = at + 1;
    return true;
  }

  void finish(dv_macroblock_t *mb) {
    bl->offset = bl->end - left;
    bl->reorder = dv_reorder[bl->dct_mode] + (pos & 127);
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

// Two blocks of a macroblock at once; each reads its own area only, so the
// result is that of one after the other. Out of line: the two lanes then
// have the registers to themselves.
template <class Bits>
[[gnu::noinline]] void pass0_pair(const Bits &bits, dv_macroblock_t *mb, dv_block_t *a,
                                  dv_block_t *b) {
  Lane<Bits> la(bits, a), lb(bits, b);
  for (;;) {
    if (!la.step()) {
      while (lb.step()) {
      }
      break;
    }
    if (!lb.step()) {
      while (la.step()) {
      }
      break;
    }
  }
  la.finish(mb);
  lb.finish(mb);
}

// One block alone, from wherever its record stands.
template <class Bits>
void pass0(const Bits &bits, dv_macroblock_t *mb, dv_block_t *bl) {
  clear_ac(bl);
  Reader r(bl, bl->offset, bl->end);
  dv_vlc_t vlc = r.run(bits);
  if (vlc.run >= 0) vlc = tarsk::vlc_invalid;  // a run past the last coefficient
  bl->offset = r.offset;
  bl->reorder = const_cast<int8_t *>(r.reorder);
  if (vlc.amp == 0) {
    bl->offset += 4;
    end_of_block(mb, bl);
  } else if (vlc.len == -2) {
    mb->vlc_error = 1;
  }
}

// The recovery passes. Block n of macroblock m is block 6m + n of the
// segment; sets of blocks are bit masks of those numbers, so that the
// first lender in the encoder's order is the lowest bit of a mask.
constexpr uint32_t macroblock_mask(int m) { return uint32_t{0x3f} << (6 * m); }
constexpr uint32_t bit(int id) { return uint32_t{1} << id; }

// Outcome of reading one block's remaining codes in a recovery pass.
enum class BlockResult { complete, unfinished, damaged };

// The blocks' positions, ends and flags are copied in; the passes work on
// the copies, and finish() writes back what changed. A block can lend when
// it has ended with bits left (and the caller did not leave it marked);
// the blocks taking part in one search for a spanning code (its source and
// the lenders tried) are a mask of the search's own.
template <class Bits>
class Recovery {
 public:
  Recovery(dv_videosegment_t *seg, const Bits &bits) : seg_(seg), bits_(bits) {
    for (int m = 0; m < 5; ++m) {
      const dv_macroblock_t &mb = seg->mb[m];
      if (mb.eob_count == 6) complete_ |= macroblock_mask(m);
      for (int n = 0; n < 6; ++n) {
        const dv_block_t &b = mb.b[n];
        const int id = 6 * m + n;
        offset_[id] = b.offset;
        end_[id] = b.end;
        if (b.eob) ended_ |= bit(id);
        if (b.mark) marked_before_ |= bit(id);
      }
    }
    still_marked_ = marked_before_;
    for (int id = 0; id < 30; ++id) refresh(id);
  }

  void passes() {
    bool stop = false;
    for (int pass = 1; pass <= 2 && !stop; ++pass) {
      for (int m = 0; m < 5; ++m) {
        if (pass == 1 && seg_->mb[m].vlc_error) continue;
        for (int n = 0; n < 6; ++n) {
          if (ended_ & bit(6 * m + n)) continue;
          const BlockResult result = recover_block(m, n, pass);
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

  // Writes the offsets that moved and the marks that were cleared back to
  // the block records.
  void finish() {
    for (uint32_t rest = moved_; rest != 0; rest &= rest - 1) {
      const int id = __builtin_ctz(rest);
      block(id)->offset = offset_[id];
    }
    for (uint32_t rest = marked_before_ & ~still_marked_; rest != 0; rest &= rest - 1)
      block(__builtin_ctz(rest))->mark = 0;
  }

 private:
  dv_block_t *block(int id) const { return &seg_->mb[id / 6].b[id % 6]; }

  void refresh(int id) {
    const uint32_t can = ((ended_ & ~still_marked_) >> id) & 1 &
                         static_cast<uint32_t>(offset_[id] < end_[id]);
    lendable_ = (lendable_ & ~bit(id)) | (can << id);
  }

  // Reads block n of macroblock m on from where it stopped: in its own
  // area, then in the lenders' free bits. `source` is the block whose area
  // is being read.
  BlockResult recover_block(int m, int n, int pass) {
    dv_block_t *bl = &seg_->mb[m].b[n];
    int source = 6 * m + n;
    Reader r(bl, offset_[source], end_[source]);
    BlockResult result;
    for (;;) {
      dv_vlc_t vlc = r.run(bits_);
      if (vlc.len == -1) {
        // Cut by the end of the area: the rest is in the lenders.
        const int found = find_spilled_code(m, pass, &source, r, &vlc);
        if (found <= 0) {
          bl->reorder = const_cast<int8_t *>(r.reorder);
          return found == 0 ? BlockResult::unfinished : BlockResult::damaged;
        }
        r.jump(offset_[source], end_[source]);  // reading goes on in the lender
        if (vlc.run >= 0 && r.fits(vlc)) {
          r.store(vlc);
          continue;
        }
      } else if (vlc.len == -2) {
        result = BlockResult::damaged;
        break;
      } else {
        r.consume(vlc.len);
      }
      if (vlc.run < 0) {  // the end of block
        set_offset(source, r.offset);
        dv_macroblock_t *mb = &seg_->mb[m];
        end_of_block(mb, bl);
        ended_ |= bit(6 * m + n);
        refresh(6 * m + n);
        if (mb->eob_count == 6) complete_ |= macroblock_mask(m);
        return BlockResult::complete;
      }
      result = BlockResult::damaged;  // a run past the last coefficient
      break;
    }
    set_offset(source, r.offset);
    bl->reorder = const_cast<int8_t *>(r.reorder);
    return result;
  }

  void set_offset(int id, int offset) {
    offset_[id] = offset;
    moved_ |= bit(id);
    refresh(id);
  }

  // Continues the code cut by the end of the source's area (the reader
  // stands on it) with the free bits of lenders: in pass 1 the
  // macroblock's own blocks, in pass 2 then the blocks of macroblocks that
  // have completed all six, in order. 1: the whole code is in *vlc, and
  // *source is the last lender, its offset just past the code; the source
  // and the lenders before have given all their bits. 0: no lender has
  // enough bits; -1: the bits together are not a code. Nothing moves
  // unless the code is found.
  int find_spilled_code(int m, int pass, int *source, const Reader &r, dv_vlc_t *vlc) {
    set_offset(*source, r.offset);
    // The cut code's first k bits (fewer than 16: a code of 16 bits or
    // more is never cut), from the reader's cache.
    int k = r.end - r.offset;
    uint32_t prefix = static_cast<uint32_t>((r.cache >> 1) >> (63 - k));
    uint32_t taking_part = bit(*source);
    // A source or lender that has taken part in a search is no longer the
    // caller's marked block.
    for (;;) {
      uint32_t candidates = lendable_ & ~taking_part & macroblock_mask(m);
      if (candidates == 0 && pass == 2) candidates = lendable_ & ~taking_part & complete_;
      if (candidates == 0) {
        unmark(taking_part);
        return 0;
      }
      const int lender = __builtin_ctz(candidates);
      taking_part |= bit(lender);
      const int maxbits = end_[lender] - offset_[lender] + k;
      const uint32_t window =
          ((prefix << (16 - k)) | (bits_.window(offset_[lender]) >> k)) & 0xffff;
      *vlc = decode(window, maxbits);
      if (vlc->len >= 0) {
        const int past_code = offset_[lender] + vlc->len - k;
        unmark(taking_part);
        for (uint32_t rest = taking_part; rest != 0; rest &= rest - 1) {
          const int id = __builtin_ctz(rest);
          offset_[id] = end_[id];
        }
        moved_ |= taking_part;
        lendable_ &= ~taking_part;
        set_offset(lender, past_code);
        *source = lender;
        return 1;
      }
      if (vlc->len == -2) {
        unmark(taking_part);
        return -1;
      }
      // Still cut: all these bits open the code; on to the next lender.
      prefix = window >> (16 - maxbits);
      k = maxbits;
    }
  }

  // The marks a search sets are cleared at its end, with any the caller
  // had left on those blocks.
  void unmark(uint32_t blocks) {
    if ((still_marked_ & blocks) == 0) return;
    still_marked_ &= ~blocks;
    for (uint32_t rest = blocks; rest != 0; rest &= rest - 1) refresh(__builtin_ctz(rest));
  }

  dv_videosegment_t *seg_;
  const Bits &bits_;
  int offset_[30];
  int end_[30];
  uint32_t ended_ = 0;          // blocks whose end of block was read
  uint32_t lendable_ = 0;       // blocks with free bits to lend
  uint32_t complete_ = 0;       // the blocks of macroblocks with all six ended
  uint32_t marked_before_ = 0;  // blocks the caller left marked
  uint32_t still_marked_ = 0;   // those of them no search has taken part in yet
  uint32_t moved_ = 0;          // blocks whose offset changed
};

// The recovery passes over the segment.
template <class Bits>
void recover(dv_videosegment_t *seg, const Bits &bits) {
  Recovery<Bits> recovery(seg, bits);
  recovery.passes();
  recovery.finish();
}

// Parses the first n_blocks blocks of macroblock m: DC, mode and class,
// then their own areas when AC coefficients are wanted.
void parse_blocks(const SegmentBits &bits, dv_macroblock_t *mb, int m, int n_blocks, bool ac) {
  const int base = macroblock_bits * m;
  for (int b = 0; b < n_blocks; ++b) {
    dv_block_t *bl = &mb->b[b];
    // DC (9 bits, two's complement), DCT mode (1 bit) and class (2 bits).
    const uint32_t head = bits.bits(base + tarsk::dif::area_begin(b), tarsk::dif::block_head_bits);
    const int dc = static_cast<int>(head >> 3);
    bl->coeffs[0] = static_cast<dv_coeff_t>(dc > 255 ? dc - 512 : dc);
    if (!ac) clear_ac(bl);
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
  int b = 0;
  for (; b + 1 < n_blocks; b += 2) pass0_pair(bits, mb, &mb->b[b], &mb->b[b + 1]);
  if (b < n_blocks) pass0(bits, mb, &mb->b[b]);
}

}  // namespace

extern "C" {

// The two steps alone take the caller's records as they are, positions
// anywhere: their bits are read through the bounds-checked window.
void dv_parse_ac_coeffs_pass0(bitstream_t *bs, dv_macroblock_t *mb, dv_block_t *bl) {
  pass0(BitWindow(bs), mb, bl);
  bitstream_seek(bs, static_cast<uint32_t>(bl->offset));
}

int dv_parse_ac_coeffs(dv_videosegment_t *seg) {
  recover(seg, BitWindow(seg->bs));
  return 0;
}

int dv_parse_video_segment(dv_videosegment_t *seg, unsigned int quality) {
  const SegmentBits bits(seg->bs);
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
  bitstream_seek(seg->bs, segment_bits);
  return 0;
}

}  // extern "C"
