// Numbers from bytes in a stated byte order: one unaligned load, swapped
// where the processor keeps its bytes the other way round, so that code
// which reads eight bytes at a time gives the same result on a big-endian
// processor as on a little-endian one.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarsk {

// The eight bytes at `p` as a big-endian number: the first byte on top.
inline uint64_t load_be64(const uint8_t *p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  return w;
}

// The eight bytes at `p` as a little-endian number: byte i in bits 8i..8i+7.
inline uint64_t load_le64(const uint8_t *p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

}  // namespace tarsk
