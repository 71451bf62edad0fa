#include "encode/encode_support.h"

#include <gtest/gtest.h>

#include "common/bitstream.h"
#include "common/dif.h"
#include "common/scan.h"
#include "common/vlc.h"

namespace tarsk::test {

void write_block_heads(const dv_videosegment_t &seg, std::vector<uint8_t> &bytes) {
  for (int m = 0; m < 5; ++m) {
    const int base = m * dif::macroblock_bits;
    put_bits(bytes.data(), base + 8 * dif::qno_byte + 4, static_cast<uint32_t>(seg.mb[m].qno), 4);
    for (int b = 0; b < 6; ++b) {
      const dv_block_t &bl = seg.mb[m].b[b];
      const uint32_t head = (static_cast<uint32_t>(bl.coeffs[0]) & 0x1ff) << 3 |
                            static_cast<uint32_t>(bl.dct_mode) << 2 |
                            static_cast<uint32_t>(bl.class_no);
      put_bits(bytes.data(), base + dif::area_begin(b), head, 12);
    }
  }
}

std::vector<int> scanned(const dv_block_t &parsed) {
  std::vector<int> out(64);
  const int8_t *scan = scan_of(parsed.dct_mode);
  for (int pos = 0; pos < 64; ++pos) out[static_cast<size_t>(pos)] = parsed.coeffs[scan[pos]];
  return out;
}

std::vector<int> decode_entries(const dv_vlc_entry_t *begin, const dv_vlc_entry_t *end) {
  std::vector<uint8_t> buf(2 * 128 * 4 + 8, 0);
  BitWriter w{buf.data()};
  for (const dv_vlc_entry_t *e = begin; e < end; ++e) w.put(entry_code(*e), entry_length(*e));
  std::vector<int> coeffs(64, 0);
  BitWindow bits(buf.data(), static_cast<uint32_t>(buf.size()));
  int pos = 0;
  int n = 1;
  while (pos < w.pos) {
    dv_vlc_t v;
    vlc_decode(bits.window(pos), std::min(w.pos - pos, 63), &v);
    if (v.run < 0 && v.len == 4) break;  // end of block
    if (v.len <= 0) {
      ADD_FAILURE() << "no code at bit " << pos;
      break;
    }
    n += v.run;
    if (n >= 64) {
      ADD_FAILURE() << "codes beyond the last coefficient";
      break;
    }
    coeffs[static_cast<size_t>(n++)] = v.amp;
    pos += v.len;
  }
  return coeffs;
}

void set_block(dv_block_t &bl, const std::vector<Coefficient> &values, int dc) {
  for (dv_coeff_t &c : bl.coeffs) c = 0;
  bl.coeffs[0] = static_cast<dv_coeff_t>(dc);
  for (const Coefficient &c : values) bl.coeffs[c.pos] = static_cast<dv_coeff_t>(c.value);
}

}  // namespace tarsk::test
