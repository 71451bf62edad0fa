// Two-digit fields of packs are packed BCD: tens in the high nibble.
#pragma once

#include <cstdint>

namespace tarsk {

// The number in a BCD byte whose tens digit occupies the bits of
// `tens_mask` above the units nibble (flags may share the byte); no range
// check.
constexpr int from_bcd(uint8_t byte, uint8_t tens_mask = 0xf0) {
  return ((byte & tens_mask) >> 4) * 10 + (byte & 0x0f);
}

// v (0..99) as a BCD byte; larger values keep their tens in the byte's
// high nibble, cut to it.
constexpr uint8_t to_bcd(int v) { return static_cast<uint8_t>(((v / 10) << 4) + v % 10); }

}  // namespace tarsk
