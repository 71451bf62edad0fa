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

// vlc_decode through the class tables, out of line.
void vlc_decode_long(uint32_t bits, int maxbits, dv_vlc_t *v);

// vlc_decode, taking the short codes from vlc_short.
inline void vlc_decode_fast(uint32_t bits, int maxbits, dv_vlc_t *v) {
  const dv_vlc_t short_code = vlc_short[(bits & 0xffff) >> 4];
  if (short_code.len > 0 && short_code.len <= maxbits) [[likely]]
    *v = short_code;
  else
    vlc_decode_long(bits, maxbits, v);
}

// Index of (run, value) in the encoder's code lookups (vlc_encode_lookup,
// vlc_num_bits_lookup); values beyond -255..255 are limited to them, so
// that no value reaches outside the tables.
constexpr uint32_t vlc_index(int run, int value) {
  const int amp = value < -255 ? -255 : value > 255 ? 255 : value;
  return static_cast<uint32_t>(amp + 255) | (static_cast<uint32_t>(run) << 9);
}

}  // namespace tarsk
