// The bit reader's hot operations, inlined into the parsers that include
// this header. The reader never touches memory outside [buf, buf + buflen):
// words that lie wholly or partly beyond the buffer read as zero there.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>

namespace tarsk {

// Big-endian 32-bit word at byte offset `at` of the reader's buffer; bytes
// outside the buffer count as zero.
inline uint32_t bitstream_load_word(const bitstream_t *bs, int64_t at) {
  const int64_t len = bs->buflen;
  if (at >= 0 && at + 4 <= len) {
    const uint8_t *p = bs->buf + at;
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
           (uint32_t{p[2]} << 8) | uint32_t{p[3]};
  }
  uint32_t word = 0;
  for (int64_t i = 0; i < 4; ++i) {
    word <<= 8;
    if (at + i >= 0 && at + i < len) word |= bs->buf[at + i];
  }
  return word;
}

// The next n bits (1..32) when they reach into next_word (n >= bits_left):
// the unread bits of the current word followed by the top of the next one.
inline uint32_t bitstream_window(const bitstream_t *bs, unsigned n) {
  const unsigned left = bs->bits_left;
  const uint64_t unread = left ? bs->current_word & (~0u >> (32 - left)) : 0;
  const uint64_t window = (unread << 32) | bs->next_word;
  return static_cast<uint32_t>(window >> (32 + left - n));
}

}  // namespace tarsk

// Loads the next word of the buffer into next_word. At the tail (fewer than
// four bytes left) the buffer's last four bytes are loaded again and the
// offset stays, so a reader that has run off its buffer keeps receiving the
// last word instead of reading beyond it.
static inline void bitstream_next_word(bitstream_t *bs) {
  if (bs->bufoffset >= 0 && static_cast<uint32_t>(bs->bufoffset) == bs->buflen)
    _dv_bitstream_next_buffer(bs);
  const int64_t remaining = int64_t{bs->buflen} - bs->bufoffset;
  if (remaining >= 4) {
    bs->next_word = tarsk::bitstream_load_word(bs, bs->bufoffset);
    bs->bufoffset += 4;
    bs->next_bits = 32;
  } else {
    bs->next_word = tarsk::bitstream_load_word(bs, int64_t{bs->buflen} - 4);
    bs->next_bits = static_cast<uint16_t>(remaining > 0 ? 8 * remaining : 0);
    _dv_bitstream_next_buffer(bs);
  }
}

// The next n bits (1..32) right-aligned, not consumed. When the current word
// holds them all, bits above the low n may be stale: callers mask.
static inline uint32_t bitstream_peek(const bitstream_t *bs, unsigned n) {
  const unsigned left = bs->bits_left;
  if (left >= n) return bs->current_word >> (left - n);
  return tarsk::bitstream_window(bs, n);
}

// Consumes n bits (0..32).
static inline void bitstream_skip(bitstream_t *bs, unsigned n) {
  if (n < bs->bits_left) {
    bs->bits_left = static_cast<uint16_t>(bs->bits_left - n);
  } else {
    bs->current_word = bs->next_word;
    bs->bits_left = static_cast<uint16_t>(bs->bits_left + 32 - n);
    bitstream_next_word(bs);
  }
  bs->bitsread += static_cast<int32_t>(n);
}

// Returns the next n bits (1..32) right-aligned and consumes them.
static inline uint32_t bitstream_get(bitstream_t *bs, unsigned n) {
  const unsigned left = bs->bits_left;
  const uint32_t value = n < left ? (bs->current_word << (32 - left)) >> (32 - n)
                                  : tarsk::bitstream_window(bs, n);
  bitstream_skip(bs, n);
  return value;
}

// Consumes any number of bits.
static inline void bitstream_skip_long(bitstream_t *bs, unsigned n) {
  while (n > 32) {
    bitstream_skip(bs, 32);
    n -= 32;
  }
  bitstream_skip(bs, n);
}

// Positions the reader at absolute bit `offset` of the current buffer.
static inline void bitstream_seek(bitstream_t *bs, uint32_t offset) {
  bs->bufoffset = static_cast<int32_t>((offset / 32) * 4);
  bs->current_word = tarsk::bitstream_load_word(bs, bs->bufoffset);
  bs->next_word = tarsk::bitstream_load_word(bs, int64_t{bs->bufoffset} + 4);
  bs->bufoffset += 8;
  bs->bits_left = static_cast<uint16_t>(32 - offset % 32);
  bs->next_bits = 32;
  bs->bitsread = static_cast<int32_t>(offset);
}

// Pushes the n-bit value `data` back in front of the unread bits. Nothing
// happens when n is outside 1..32 or data does not fit in n bits.
static inline void bitstream_unget(bitstream_t *bs, uint32_t data, unsigned n) {
  if (n < 1 || n > 32 || (n < 32 && (data >> n) != 0)) return;
  const unsigned left = bs->bits_left;
  const unsigned free = 32 - left;
  bs->bitsread -= static_cast<int32_t>(n);
  if (n <= free) {
    const uint32_t mask = (n == 32 ? ~0u : ((1u << n) - 1)) << left;
    bs->current_word = (bs->current_word & ~mask) | (data << left);
    bs->bits_left = static_cast<uint16_t>(left + n);
  } else if (left == 32) {
    bs->next_word = bs->current_word;
    bs->current_word = data;
    bs->bits_left = static_cast<uint16_t>(n);
    bs->bufoffset -= 4;
  } else {
    const uint32_t unread = (bs->current_word << free) >> free;
    bs->current_word = data >> free;
    bs->bits_left = static_cast<uint16_t>(n + left - 32);
    bs->next_word = (data << left) | unread;
    bs->bufoffset -= 4;
  }
}
