// Decoding of the AC coefficient codes, inline for the segment parser, and
// the index of the encoder's code lookups.
#pragma once

#include <tarsk/dv.h>

#include <array>
#include <cstdint>

namespace tarsk {

inline constexpr dv_vlc_t vlc_broken = {-1, -1, -1};   // no complete code
inline constexpr dv_vlc_t vlc_invalid = {-1, -2, -1};  // not a code
inline constexpr dv_vlc_t vlc_eob = {-1, 4, 0};

// Applies the sign bit that follows a code's amplitude bits, without a
// branch: entries with amp <= 0 have no sign bit.
constexpr void vlc_apply_sign(uint32_t bits, dv_vlc_t *v) {
  const int negative = v->amp > 0 ? (bits >> (16 - v->len)) & 1 : 0;
  const int16_t both[2] = {v->amp, static_cast<int16_t>(-v->amp)};
  v->amp = both[negative];
}

// Each class's table with the mask and shift of its index, together.
struct VlcClass {
  const dv_vlc_t *table;
  uint32_t mask;
  uint32_t shift;
};
extern const VlcClass vlc_classes[6];

// The code at bit 15 of `bits` when at least 16 bits belong to the block.
inline void vlc_decode_16(uint32_t bits, dv_vlc_t *v) {
  const VlcClass &c = vlc_classes[dv_vlc_class_lookup5[(bits & 0xfe00) >> 9]];
  *v = c.table[(bits & c.mask) >> c.shift];
  vlc_apply_sign(bits, v);
}

// The same when only `maxbits` (0..63) bits belong to the block: a code
// longer than that is reported incomplete, never decoded as a shorter one.
inline void vlc_decode(uint32_t bits, int maxbits, dv_vlc_t *v) {
  const int klass = dv_vlc_classes[maxbits][(bits & static_cast<uint32_t>(
                                                        dv_vlc_class_index_mask[maxbits])) >>
                                            dv_vlc_class_index_rshift[maxbits]];
  *v = dv_vlc_lookups[klass][(bits & dv_vlc_index_mask[klass]) >> dv_vlc_index_rshift[klass]];
  vlc_apply_sign(bits, v);
  if (maxbits < v->len) *v = vlc_broken;
}

// Every code of at most 12 bits, sign included, by the first 12 bits of a
// window: the common codes in one load. Entries of longer codes (and of
// escapes and invalid bits) have len 0.
extern const std::array<dv_vlc_t, 4096> vlc_short;

// The codes vlc_short leaves out all open with five 1 bits: the 12-bit
// codes with their sign, the run escape (13 bits) and the amplitude escape
// (16 bits). By the 11 bits after those five, each as a window of 16 bits
// decodes it: len 13 or 16, or -2 for an escape of a run or amplitude that
// has a code of its own.
extern const std::array<dv_vlc_t, 2048> vlc_long;

// The window's 16 bits are an escape that is no code: what vlc_decode
// gives with `maxbits` bits left. Out of line: it is rare.
dv_vlc_t vlc_bad_escape(uint32_t bits, int maxbits);

// vlc_decode in one or two loads, every code at most 16 bits long: short
// codes from vlc_short, the others from vlc_long; then one compare (len -
// 1 < maxbits is 0 < len <= maxbits) finds the codes cut by the end of
// the bits left, and invalid escapes.
inline dv_vlc_t vlc_decode_fast(uint32_t bits, int maxbits) {
  dv_vlc_t v = vlc_short[(bits & 0xffff) >> 4];
  if (v.len == 0) [[unlikely]]
    v = vlc_long[bits & 0x7ff];
  if (static_cast<unsigned>(v.len - 1) < static_cast<unsigned>(maxbits)) [[likely]] return v;
  if (v.len > 0) return vlc_broken;  // a code longer than the bits left
  return vlc_bad_escape(bits, maxbits);
}

// One or two codes by the first 11 bits of a window, for the hot loops of
// the parser: where the first is a code of at most 11 bits, sign
// included, other than the end of block, and the second one too, ending
// within the 11 bits. `len` is the bits of both, 0 when the first is no
// such code (the caller decodes it alone); the amplitudes go to scan
// positions at1 and at2 counted from the next one (a lone code repeats
// itself as the second: the same store twice), and the next code's
// position is at2 + 1. 11 bits: the 16 KB of the table stay in the first
// level cache beside the others (12 bits and 32 KB measured slower).
struct VlcPair {
  uint8_t len;
  uint8_t at1;
  uint8_t at2;
  uint8_t unused;
  int16_t amp1;
  int16_t amp2;
};
extern const std::array<VlcPair, 2048> vlc_pairs;

// Index of (run, value) in the encoder's code lookups (vlc_encode_lookup,
// vlc_num_bits_lookup); values beyond -255..255 are limited to them, so
// that no value reaches outside the tables.
constexpr uint32_t vlc_index(int run, int value) {
  const int amp = value < -255 ? -255 : value > 255 ? 255 : value;
  return static_cast<uint32_t>(amp + 255) | (static_cast<uint32_t>(run) << 9);
}

}  // namespace tarsk
