#include "support/segment_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "common/bitstream.h"

namespace tarsk::test {

Bits &Bits::add(uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) bits_.push_back(static_cast<uint8_t>((value >> i) & 1));
  return *this;
}

Bits &Bits::code(int run, int amp) {
  const int magnitude = std::abs(amp);
  for (const dv_vlc_encode_t &row : dv_vlc_test_table) {
    if (row.run != run || row.amp != magnitude) continue;
    add(row.val, row.len);
    if (magnitude > 0) add(amp < 0, 1);
    return *this;
  }
  if (magnitude == 0 && run >= 6 && run <= 61) return add(0x7e, 7).add(static_cast<uint32_t>(run), 6);
  if (run == 0 && magnitude >= 23 && magnitude <= 255)
    return add(0x7f, 7).add(static_cast<uint32_t>(magnitude), 8).add(amp < 0, 1);
  throw std::invalid_argument("no single code for this run and amplitude");
}

uint32_t Bits::value(int i, int count) const {
  uint32_t v = 0;
  for (int n = 0; n < count; ++n) v = (v << 1) | at(i + n);
  return v;
}

// Over what the bytes hold: the bits are cleared, then written by the
// library's writer.
void SegmentBuilder::put(int pos, uint32_t value, int count) {
  for (int bit = pos; bit < pos + count; ++bit)
    bytes_[static_cast<size_t>(bit / 8)] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
  put_bits(bytes_.data(), pos, value, count);
}

SegmentBuilder &SegmentBuilder::status(int m, int sta, int qno) {
  put(dif::macroblock_bits * m + 8 * dif::qno_byte, static_cast<uint32_t>((sta << 4) | qno), 8);
  return *this;
}

SegmentBuilder &SegmentBuilder::dc(int m, int b, int dc, int dct_mode, int class_no) {
  const int pos = area_begin(m, b);
  put(pos, static_cast<uint32_t>(dc) & 0x1ff, 9);
  put(pos + 9, static_cast<uint32_t>(dct_mode), 1);
  put(pos + 10, static_cast<uint32_t>(class_no), 2);
  return *this;
}

SegmentBuilder &SegmentBuilder::all_empty() {
  for (int m = 0; m < 5; ++m)
    for (int b = 0; b < 6; ++b) {
      dc(m, b, 0);
      put(ac_start(m, b), 0x6, 4);
    }
  return *this;
}

int SegmentBuilder::place(const Bits &bits, const std::vector<Region> &regions) {
  int i = 0;
  int next = -1;
  for (const auto &[begin, end] : regions)
    for (int pos = begin; pos < end && i < bits.size(); ++pos, ++i) {
      put(pos, static_cast<uint32_t>(bits.at(i)), 1);
      next = pos + 1;
    }
  EXPECT_EQ(i, bits.size()) << "the bits do not fit their regions";
  return next;
}

ParsedSegment::ParsedSegment(std::vector<uint8_t> &bytes, unsigned quality, int i, int k,
                             bool pal) {
  seg.i = i;
  seg.k = k;
  seg.isPAL = pal;
  parse(bytes, quality);
}

void ParsedSegment::parse(std::vector<uint8_t> &bytes, unsigned quality) {
  seg.bs = &bs;
  _dv_bitstream_new_buffer(&bs, bytes.data(), static_cast<uint32_t>(bytes.size()));
  dv_parse_video_segment(&seg, quality);
}

}  // namespace tarsk::test
