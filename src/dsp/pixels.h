// How reconstructed macroblocks map to pixels: shared by the pixel
// writers of the decoder and their fast kernels.
#pragma once

#include <tarsk/dv.h>

#include <algorithm>
#include <cstdint>

namespace tarsk {

// Reconstructed samples are looked up after clamping them to the range the
// tables cover: luma -256..511, chroma -128..127.
inline int luma_index(int s) { return std::clamp(s, -256, 511); }
inline int chroma_index(int s) { return std::clamp(s, -128, 127); }

// A table with negative indices: storage and a pointer to entry 0.
template <typename T, int low, int high>
struct OffsetTable {
  T storage[high - low + 1];
  T &operator[](int i) { return storage[i - low]; }
  const T &operator[](int i) const { return storage[i - low]; }
};

// Where the blocks of a 16x16 macroblock lie: Y0 top left, Y1 top right,
// Y2 bottom left, Y3 bottom right. The luma sample of pixel (px, line).
inline int luma_16x16(const dv_macroblock_t *mb, int line, int px) {
  const dv_block_t &b = mb->b[(line / 8) * 2 + px / 8];
  return b.coeffs[(line % 8) * 8 + px % 8];
}

// The 32x8 macroblock of a 4:1:1 picture: Y0..Y3 side by side.
inline int luma_32x8(const dv_macroblock_t *mb, int line, int px) {
  return mb->b[px / 8].coeffs[line * 8 + px % 8];
}

// The chroma sample (row, column) covering a pixel, by macroblock shape:
// 4:1:1 32x8 (one sample per 4 pixels of a line), 4:1:1 right edge 16x16
// (the top half takes chroma columns 0-3, the bottom half 4-7 of the same
// rows), 4:2:0 16x16 (one sample per 2x2 pixels).
inline int chroma_cell_411(int line, int px) { return line * 8 + px / 4; }
inline int chroma_cell_411_right(int line, int px) {
  return (line % 8) * 8 + (line / 8) * 4 + px / 4;
}
inline int chroma_cell_420(int line, int px) { return (line / 2) * 8 + px / 2; }

}  // namespace tarsk
