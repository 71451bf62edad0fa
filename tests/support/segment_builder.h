// Builds video segments bit by bit for tests: the DC fields of each block
// area and code streams placed into areas, spilling from one area into the
// free bits of others the way an encoder does.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "common/dif.h"

namespace tarsk::test {

// A run of bits, most significant first.
class Bits {
 public:
  Bits &add(uint32_t value, int count);
  // A code of the AC table with its sign bit, or an escape: run escape for
  // amp 0 and runs 6..61, amplitude escape for run 0 and |amp| 23..255.
  Bits &code(int run, int amp);
  Bits &eob() { return add(0x6, 4); }
  int size() const { return static_cast<int>(bits_.size()); }
  int at(int i) const { return bits_[static_cast<size_t>(i)]; }
  // Bits i .. i + count - 1 as a number.
  uint32_t value(int i, int count) const;

 private:
  std::vector<uint8_t> bits_;
};

// A region of the segment buffer in bits: [begin, end).
using Region = std::pair<int, int>;

class SegmentBuilder {
 public:
  SegmentBuilder() : bytes_(400, 0) {}

  static int area_begin(int m, int b) { return dif::macroblock_bits * m + dif::area_begin(b); }
  static int ac_start(int m, int b) { return dif::macroblock_bits * m + dif::ac_begin(b); }
  static int area_end(int m, int b) { return dif::macroblock_bits * m + dif::area_end(b); }

  SegmentBuilder &status(int m, int sta, int qno);
  SegmentBuilder &dc(int m, int b, int dc, int dct_mode = 0, int class_no = 0);
  // Every block of every macroblock: DC 0 and an end-of-block code first.
  SegmentBuilder &all_empty();
  // Writes the bits into the regions in order; returns where the last bit
  // went plus one. Fails the test when they do not fit.
  int place(const Bits &bits, const std::vector<Region> &regions);
  void put(int pos, uint32_t value, int count);

  std::vector<uint8_t> &bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Parses a segment of the builder's bytes at the quality given; the record
// and the reader live on the heap (a segment record is large).
struct ParsedSegment {
  dv_videosegment_t seg{};
  bitstream_t bs{};
  ParsedSegment(std::vector<uint8_t> &bytes, unsigned quality, int i = 0, int k = 0,
                bool pal = true);
  void parse(std::vector<uint8_t> &bytes, unsigned quality);
};

}  // namespace tarsk::test
