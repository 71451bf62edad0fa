// Helpers of the encoder's tests: segments of blocks in scan order, their
// DC, mode and class fields written as a segment encoder writes them, and
// the segment parsed back by the decoder.
#pragma once

#include <tarsk/dv.h>

#include <memory>
#include <random>
#include <vector>

#include "encode/encode.h"
#include "support/segment_builder.h"

namespace tarsk::test {

// A segment record on the heap (it is large), blocks in scan order.
inline std::unique_ptr<dv_videosegment_t> new_segment() {
  return std::make_unique<dv_videosegment_t>();
}

inline dv_block_t &block_of(dv_videosegment_t &seg, int index) {
  return seg.mb[index / 6].b[index % 6];
}

// Writes each macroblock's qno and each block's DC, DCT mode and class
// into a zeroed 400-byte segment.
void write_block_heads(const dv_videosegment_t &seg, std::vector<uint8_t> &bytes);

// The coefficients of a parsed block in scan order.
std::vector<int> scanned(const dv_block_t &parsed);

// Decodes a list of code entries with the decoder's code reader: the
// coefficients (scan positions 1..63) they stand for, up to the end of
// block. Fails the test on an invalid code.
std::vector<int> decode_entries(const dv_vlc_entry_t *begin, const dv_vlc_entry_t *end);

// A block with the non-zero values at the given scan positions.
struct Coefficient {
  int pos, value;
};
void set_block(dv_block_t &bl, const std::vector<Coefficient> &values, int dc = 0);

}  // namespace tarsk::test
