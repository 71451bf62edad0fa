// The scan orders in which a block's AC coefficients are coded.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>

namespace tarsk {

// Coefficient index (8 x row + column) by scan position. 8x8 blocks are
// read in zig-zag order; 2-4-8 blocks alternate between the sums of the
// two fields (rows 0-3) and their differences (rows 4-7).
inline constexpr int8_t scan_88[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
inline constexpr int8_t scan_248[64] = {
    0,  32, 1,  33, 8,  40, 2,  34, 9,  41, 16, 48, 24, 56, 17, 49, 10, 42, 3,  35, 4,  36,
    11, 43, 18, 50, 25, 57, 26, 58, 19, 51, 12, 44, 5,  37, 6,  38, 13, 45, 20, 52, 27, 59,
    28, 60, 21, 53, 14, 46, 7,  39, 15, 47, 22, 54, 29, 61, 30, 62, 23, 55, 31, 63};

// The scan of a DCT mode (0: 8x8, 1: 2-4-8).
constexpr const int8_t *scan_of(int dct_mode) { return dct_mode ? scan_248 : scan_88; }

}  // namespace tarsk
