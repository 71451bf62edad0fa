// The exported scan tables. dv_reorder holds the scans as byte offsets into
// a block's 16-bit coefficients, the form the segment parser steps through.
#include "common/scan.h"

#include <array>

#include "common/table_init.h"

namespace {

constexpr std::array<int8_t, 128> byte_offsets() {
  std::array<int8_t, 128> t{};
  for (int i = 0; i < 64; ++i) {
    t[static_cast<size_t>(i)] = static_cast<int8_t>(2 * tarsk::scan_88[i]);
    t[static_cast<size_t>(64 + i)] = static_cast<int8_t>(2 * tarsk::scan_248[i]);
  }
  return t;
}
constexpr auto offsets = byte_offsets();
constexpr std::array<int8_t, 64> prime = std::to_array(tarsk::scan_88);

}  // namespace

extern "C" {

const int8_t dv_88_reorder_prime[64] = {TARSK_64(prime, 0)};
int8_t dv_reorder[2][64] = {{TARSK_64(offsets, 0)}, {TARSK_64(offsets, 64)}};

}  // extern "C"
