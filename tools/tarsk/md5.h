// MD5 (RFC 1321), for the frame checksums of `tarsk analyze --md5`: small
// and self-contained, so that reading raw DV needs no other library.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace tarsk::cli {

class Md5 {
 public:
  void add(std::span<const uint8_t> bytes);
  // The digest of everything added, as 32 lower-case hex digits; the
  // object is spent after it.
  std::string hex();

 private:
  void block(const uint8_t *p);
  std::array<uint32_t, 4> state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  std::array<uint8_t, 64> buffer_{};
  uint64_t length_ = 0;  // bytes added
};

inline std::string md5_hex(std::span<const uint8_t> bytes) {
  Md5 m;
  m.add(bytes);
  return m.hex();
}

}  // namespace tarsk::cli
