// Bits of the DV stream, most significant bit of a byte first: the
// streaming reader (bitstream_t) with its hot operations inline, a reader
// of windows at bit positions for the segment parser, and the writer the
// encoder places codes with. No reader touches memory outside its buffer:
// bytes beyond it read as zero.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>
#include <cstring>

#include "common/bytes.h"

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

namespace tarsk {

// The bits of a buffer by position: a window of 57 or more bits at any bit
// in one unaligned big-endian load. Bytes beyond the buffer read as 0.
class BitWindow {
 public:
  BitWindow(const uint8_t *buf, uint32_t len) : buf_(buf), len_(len) {}
  explicit BitWindow(const bitstream_t *bs) : BitWindow(bs->buf, bs->buflen) {}

  // At least 57 bits from bit `pos` on, bit 63 first: 64 - (pos & 7).
  uint64_t word(int pos) const {
    const uint32_t byte = static_cast<uint32_t>(pos) >> 3;
    uint64_t w;
    if (byte + 8 <= len_) {
      w = load_be64(buf_ + byte);
    } else {
      w = 0;
      for (uint32_t i = 0; i < 8; ++i) w = (w << 8) | (byte + i < len_ ? buf_[byte + i] : 0);
    }
    return w << (pos & 7);
  }

  // The 16 bits from bit `pos` on, bit 15 first.
  uint32_t window(int pos) const { return static_cast<uint32_t>(word(pos) >> 48); }

  // `count` (0..16) bits from bit `pos` on, right-aligned.
  uint32_t bits(int pos, int count) const {
    return count == 0 ? 0 : window(pos) >> (16 - count);
  }

 private:
  const uint8_t *buf_;
  uint32_t len_;
};

// The same windows from a copy of the first `bytes` + 8 bytes of a buffer:
// a window at any bit up to 8 * bytes is one unaligned load, with no check
// of the buffer's end. Bytes beyond the buffer read as 0, as with
// BitWindow.
template <uint32_t bytes>
class PaddedBits {
 public:
  explicit PaddedBits(const bitstream_t *bs) {
    const uint32_t n = bs->buflen < sizeof buf_ ? bs->buflen : static_cast<uint32_t>(sizeof buf_);
    if (n > 0) std::memcpy(buf_, bs->buf, n);
    std::memset(buf_ + n, 0, sizeof buf_ - n);
  }

  // At least 57 bits from bit `pos` (0 <= pos <= 8 * bytes) on, bit 63
  // first.
  uint64_t word(int pos) const {
    return load_be64(buf_ + (static_cast<uint32_t>(pos) >> 3)) << (pos & 7);
  }
  uint32_t window(int pos) const { return static_cast<uint32_t>(word(pos) >> 48); }
  uint32_t bits(int pos, int count) const {
    return count == 0 ? 0 : window(pos) >> (16 - count);
  }

 private:
  uint8_t buf_[bytes + 8];
};

// Writes the low `count` bits (0..32) of `value` at bit `pos` of `buf` by
// OR: the bits there must be 0. The encoder clears a segment before it
// places codes, so codes can be written in any order.
inline void put_bits(uint8_t *buf, int pos, uint32_t value, int count) {
  if (count <= 0) return;
  // Align the value's first bit with bit `pos` of a 64-bit big-endian view.
  const int shift = 64 - count - (pos & 7);
  uint64_t v = static_cast<uint64_t>(value & (~0u >> (32 - count))) << shift;
  uint8_t *p = buf + (pos >> 3);
  const int bytes = ((pos & 7) + count + 7) >> 3;
  for (int i = 0; i < bytes; ++i, v <<= 8) p[i] = static_cast<uint8_t>(p[i] | (v >> 56));
}

// A writing position in a zeroed buffer.
struct BitWriter {
  uint8_t *buf;
  int pos = 0;
  void put(uint32_t value, int count) {
    put_bits(buf, pos, value, count);
    pos += count;
  }
};

}  // namespace tarsk
