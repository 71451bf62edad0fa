// Coding a block's quantised AC coefficients, and placing the codes of a
// video segment into its five compressed macroblocks.
//
// DV codes the AC coefficients of a block in scan order as (run, amplitude)
// pairs: `run` zero coefficients, then one non-zero value. Common pairs have
// a code of their own in the standard's table; the others are coded with
// escapes (a run of zeros, an 8-bit amplitude) or as two codes, zeros first.
// Each block has a fixed area in its macroblock; codes that do not fit are
// spilled into the free ends of other blocks' areas, first within the
// macroblock, then anywhere in the segment, in the order in which a decoder
// looks for them.
#include <array>
#include <bit>
#include <cstring>

#include "common/bitstream.h"
#include "common/scan.h"
#include "common/table_init.h"
#include "dsp/dsp.h"
#include "encode/encode.h"

namespace {

using tarsk::entry_code;
using tarsk::entry_length;
using tarsk::make_entry;

// The scan position of each coefficient index, as a byte offset into a
// block of 16-bit coefficients.
constexpr std::array<uint16_t, 64> byte_offsets_of(const int8_t *scan) {
  std::array<uint16_t, 64> t{};
  for (int pos = 0; pos < 64; ++pos)
    t[static_cast<size_t>(scan[pos])] = static_cast<uint16_t>(2 * pos);
  return t;
}
constexpr auto offsets_88 = byte_offsets_of(tarsk::scan_88);
constexpr auto offsets_248 = byte_offsets_of(tarsk::scan_248);

}  // namespace

extern "C" {

const dv_vlc_encode_t *vlc_test_lookup[512];
dv_vlc_entry_t vlc_encode_lookup[65536];
uint8_t vlc_num_bits_lookup[32768];
// Fixed at compile time from the scan orders: no conversion at set-up that
// a second run could repeat.
const uint16_t reorder_88[64] = {TARSK_64(offsets_88, 0)};
const uint16_t reorder_248[64] = {TARSK_64(offsets_248, 0)};

}  // extern "C"

namespace {

// The table row for (run, amp), or null.
const dv_vlc_encode_t *row_of(int run, int amp) {
  if (run > 14 || amp > 22) return nullptr;
  return vlc_test_lookup[(run + 1) * 32 + amp];
}

// A row's code, with the sign bit after a non-zero amplitude.
dv_vlc_entry_t row_entry(const dv_vlc_encode_t &row, int sign) {
  if (row.amp == 0) return make_entry(row.val, row.len);
  return make_entry((uint32_t{row.val} << 1) | static_cast<uint32_t>(sign), row.len + 1);
}

// 1111110 and six bits: run + 1 zero coefficients.
dv_vlc_entry_t run_escape(int run) { return make_entry(0x1f80u | static_cast<uint32_t>(run), 13); }
// 1111111, eight bits of magnitude and the sign.
dv_vlc_entry_t amplitude_escape(int amp, int sign) {
  return make_entry(0xfe00u | static_cast<uint32_t>(amp) << 1 | static_cast<uint32_t>(sign), 16);
}

dv_vlc_entry_t concatenate(dv_vlc_entry_t first, dv_vlc_entry_t second) {
  return make_entry(entry_code(first) << entry_length(second) | entry_code(second),
                    entry_length(first) + entry_length(second));
}

// An entry that stands for n (1..64) zero coefficients. A code of zeros
// with run field r stands for r + 1 of them: table rows for r up to 5, the
// run escape up to 61. Escapes 62 and 63 are not codes a decoder accepts,
// so 63 and 64 zeros are the two-zero code followed by an escape.
dv_vlc_entry_t zeros(int n) {
  if (n <= 6) return row_entry(*row_of(n - 1, 0), 0);
  if (n <= 62) return run_escape(n - 1);
  return concatenate(row_entry(*row_of(1, 0), 0), run_escape(n - 3));
}

void build_test_lookup() {
  for (auto &slot : vlc_test_lookup) slot = nullptr;
  for (const dv_vlc_encode_t &row : dv_vlc_test_table)
    vlc_test_lookup[(row.run + 1) * 32 + row.amp] = &row;
}

void build_encode_lookup() {
  for (int run = 0; run < 64; ++run)
    for (int amp = 0; amp <= 255; ++amp) {
      dv_vlc_entry_t positive[2], negative[2];
      tarsk::vlc_encode_orig(run, amp, 0, positive);
      tarsk::vlc_encode_orig(run, amp, 1, negative);
      const uint32_t p = tarsk::vlc_index(run, amp);
      const uint32_t n = tarsk::vlc_index(run, -amp);
      vlc_encode_lookup[2 * p] = positive[0];
      vlc_encode_lookup[2 * p + 1] = positive[1];
      vlc_encode_lookup[2 * n] = negative[0];
      vlc_encode_lookup[2 * n + 1] = negative[1];
      const auto bits = static_cast<uint8_t>(entry_length(positive[0]) + entry_length(positive[1]));
      vlc_num_bits_lookup[p] = bits;
      vlc_num_bits_lookup[n] = bits;
    }
}

// Writes the first `count` bits of *e (fewer than its length) at `pos`
// and leaves the rest of the code in *e, to be written elsewhere.
inline void write_head(uint8_t *buf, int pos, dv_vlc_entry_t *e, int count) {
  const int rest = entry_length(*e) - count;
  const uint32_t code = entry_code(*e);
  tarsk::put_bits(buf, pos, code >> rest, count);
  *e = make_entry(code & ((1u << rest) - 1), rest);
}

// Writes `from`'s next entries into `into`'s free bits while they fit.
// The codes gather in a 64-bit word, written 32 bits at a time: an entry's
// code has 24 bits at most, and empty ones add nothing without a branch.
inline void write_fitting(dv_vlc_block_t *from, dv_vlc_block_t *into, uint8_t *buf) {
  dv_vlc_entry_t *e = from->coeffs_start;
  int pos = into->bit_offset;
  int budget = into->bit_budget;
  uint64_t pending = 0;
  int count = 0;
  for (; e < from->coeffs_end && entry_length(*e) <= budget; ++e) {
    const int length = entry_length(*e);
    pending = pending << length | entry_code(*e);
    count += length;
    budget -= length;
    if (count >= 32) {
      count -= 32;
      tarsk::put_bits(buf, pos, static_cast<uint32_t>(pending >> count), 32);
      pos += 32;
    }
  }
  tarsk::put_bits(buf, pos, static_cast<uint32_t>(pending), count);
  from->coeffs_start = e;
  into->bit_offset = pos + count;
  into->bit_budget = budget;
}

// Fills `into`'s remaining free bits with the head of `from`'s next entry.
inline void write_split(dv_vlc_block_t *from, dv_vlc_block_t *into, uint8_t *buf) {
  write_head(buf, into->bit_offset, from->coeffs_start, into->bit_budget);
  into->bit_offset += into->bit_budget;
  into->bit_budget = 0;
}

inline bool has_entries(const dv_vlc_block_t &bl) { return bl.coeffs_start < bl.coeffs_end; }

// A block into the scan order of a table of byte offsets known at compile
// time: unrolled, each move has its places as constants.
template <const std::array<uint16_t, 64> &offsets>
void reorder_by(dv_coeff_t *coeffs) {
  dv_coeff_t scanned[64];
#pragma GCC unroll 64
  for (int i = 0; i < 64; ++i) scanned[offsets[static_cast<size_t>(i)] >> 1] = coeffs[i];
  std::memcpy(coeffs, scanned, sizeof scanned);
}

}  // namespace

namespace tarsk {

dv_vlc_entry_t vlc_encode_r(int run, int amp, int sign) {
  if (const dv_vlc_encode_t *row = row_of(run, amp)) return row_entry(*row, sign);
  if (amp == 0) return zeros(run + 1);
  if (run == 0) return amplitude_escape(amp, sign);
  return 0;  // takes two codes: see vlc_encode_orig
}

void vlc_encode_orig(int run, int amp, int sign, dv_vlc_entry_t o[2]) {
  if (const dv_vlc_entry_t single = vlc_encode_r(run, amp, sign)) {
    o[0] = 0;
    o[1] = single;
  } else {
    o[0] = zeros(run);
    o[1] = vlc_encode_r(0, amp, sign);
  }
}

void vlc_encode_init() {
  build_test_lookup();
  build_encode_lookup();
}

void reorder_block(dv_block_t *bl) {
  if (bl->dct_mode == 1)
    reorder_by<offsets_248>(bl->coeffs);
  else
    reorder_by<offsets_88>(bl->coeffs);
}

unsigned long vlc_encode_block(const dv_coeff_t *coeffs, dv_vlc_block_t *out) {
  dv_vlc_entry_t *o = out->coeffs;
  unsigned long bits = 0;
  // The non-zero AC coefficients as a mask; each run is then the distance
  // from the previous one.
  uint64_t nonzero = tarsk::dsp::dsp().encode.nonzero_ac(coeffs);
  int previous = 0;
  while (nonzero != 0) {
    const int i = std::countr_zero(nonzero);
    nonzero &= nonzero - 1;
    const uint32_t index = vlc_index(i - previous - 1, coeffs[i]);
    previous = i;
    o[0] = vlc_encode_lookup[2 * index];
    o[1] = vlc_encode_lookup[2 * index + 1];
    o += 2;
    bits += vlc_num_bits_lookup[index];
  }
  *o++ = DV_VLC_EOB;
  out->coeffs_start = out->coeffs;
  out->coeffs_end = o;
  out->coeffs_bits = static_cast<uint32_t>(bits + eob_bits);
  return bits;
}

void vlc_make_fit(dv_vlc_block_t *bl, int num_blocks, long bit_budget, EncodeStats &stats) {
  long sum = 0;
  for (int b = 0; b < num_blocks; ++b) sum += bl[b].coeffs_bits;
  if (sum <= bit_budget) return;
  ++stats.vlc_overflows;
  // Take the last code before the end of block of each block in turn, from
  // the last block back, until the codes fit; the end of block stays, so
  // the sum is what will be written. (Taking the end of block first and
  // putting it in place of the last entry left afterwards would add up to
  // 4 uncounted bits per trimmed block: the codes would no longer fit and
  // blocks would lose their ends.) Empty entries count as entries and cost
  // nothing to remove. Once every block is down to its end of block,
  // nothing more can go.
  bool removed = true;
  while (sum > bit_budget && removed) {
    removed = false;
    for (int b = num_blocks - 1; b >= 0 && sum > bit_budget; --b) {
      dv_vlc_block_t &block = bl[b];
      if (block.coeffs_end - block.coeffs <= 1) continue;
      dv_vlc_entry_t *last = block.coeffs_end - 2;
      const int length = entry_length(*last);
      *last = DV_VLC_EOB;
      --block.coeffs_end;
      sum -= length;
      block.coeffs_bits -= static_cast<uint32_t>(length);
      removed = true;
    }
  }
}

void vlc_encode_block_pass_1(dv_vlc_block_t *bl, uint8_t *vsbuffer, int vlc_encode_passes) {
  write_fitting(bl, bl, vsbuffer);
  // One pass: what does not fit is dropped.
  if (vlc_encode_passes == 1) return;
  if (!has_entries(*bl)) {
    bl->can_supply = 1;
    return;
  }
  // The code that does not fit starts at the end of the area; a decoder
  // reads it there and finds the rest where it looks for spilled bits.
  write_split(bl, bl, vsbuffer);
  bl->can_supply = 0;
}

void vlc_encode_block_pass_n(dv_vlc_block_t *blocks, uint8_t *vsbuffer, int vlc_encode_passes,
                             int current_pass) {
  if (current_pass > vlc_encode_passes) return;
  const int count = current_pass == 2 ? 6 : 30;
  // Both lists in block order: the order in which a decoder collects.
  dv_vlc_block_t *suppliers[30];
  dv_vlc_block_t *receivers[30];
  int num_suppliers = 0;
  int num_receivers = 0;
  for (int b = 0; b < count; ++b) {
    dv_vlc_block_t *bl = &blocks[b];
    if (bl->can_supply != 0 && bl->bit_budget != 0)
      suppliers[num_suppliers++] = bl;
    else if (bl->can_supply == 0 && has_entries(*bl))
      receivers[num_receivers++] = bl;
  }
  int s = 0;
  int r = 0;
  while (s < num_suppliers && r < num_receivers) {
    dv_vlc_block_t *receiver = receivers[r];
    dv_vlc_block_t *supplier = suppliers[s];
    write_fitting(receiver, supplier, vsbuffer);
    if (!has_entries(*receiver)) {
      ++r;  // the same supplier lends its rest to the next receiver
      continue;
    }
    if (supplier->bit_budget > 0) write_split(receiver, supplier, vsbuffer);
    ++s;
  }
}

void place_segment_codes(dv_vlc_block_t *vblocks, uint8_t *vsbuffer, int vlc_encode_passes) {
  for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
    dv_vlc_block_t *mb = &vblocks[6 * m];
    for (int b = 0; b < 6; ++b) {
      mb[b].bit_offset = m * dif::macroblock_bits + dif::ac_begin(b);
      mb[b].bit_budget = block_area_bits(b);
      vlc_encode_block_pass_1(&mb[b], vsbuffer, vlc_encode_passes);
    }
    vlc_encode_block_pass_n(mb, vsbuffer, vlc_encode_passes, 2);
  }
  vlc_encode_block_pass_n(vblocks, vsbuffer, vlc_encode_passes, 3);
}

}  // namespace tarsk

extern "C" unsigned long _dv_vlc_num_bits_block(dv_coeff_t *coeffs) {
  unsigned long bits = 0;
  int run = 0;
  for (int i = 1; i < 64; ++i) {
    const int value = coeffs[i];
    if (value == 0) {
      ++run;
      continue;
    }
    bits += vlc_num_bits_lookup[tarsk::vlc_index(run, value)];
    run = 0;
  }
  return bits;
}
