// The AC coefficient code table of DV video and the tables that decode it.
#include "common/vlc.h"

#include <array>

#include "common/table_init.h"

using tarsk::vlc_broken;
using tarsk::vlc_invalid;

// The standard's code table, sorted by code length. Within a length the
// codes count up, and the first code of the next length is the last code
// plus one, followed by a 0 bit (a canonical code). Lengths exclude the
// sign bit that follows every non-zero amplitude.
extern constexpr dv_vlc_encode_t dv_vlc_test_table[89] = {
    {0, 1, 0x0000, 2},   {0, 2, 0x0002, 3},   {-1, 0, 0x0006, 4},  {1, 1, 0x0007, 4},
    {0, 3, 0x0008, 4},   {0, 4, 0x0009, 4},   {2, 1, 0x0014, 5},   {1, 2, 0x0015, 5},
    {0, 5, 0x0016, 5},   {0, 6, 0x0017, 5},   {3, 1, 0x0030, 6},   {4, 1, 0x0031, 6},
    {0, 7, 0x0032, 6},   {0, 8, 0x0033, 6},   {5, 1, 0x0068, 7},   {6, 1, 0x0069, 7},
    {2, 2, 0x006a, 7},   {1, 3, 0x006b, 7},   {1, 4, 0x006c, 7},   {0, 9, 0x006d, 7},
    {0, 10, 0x006e, 7},  {0, 11, 0x006f, 7},  {7, 1, 0x00e0, 8},   {8, 1, 0x00e1, 8},
    {9, 1, 0x00e2, 8},   {10, 1, 0x00e3, 8},  {3, 2, 0x00e4, 8},   {4, 2, 0x00e5, 8},
    {2, 3, 0x00e6, 8},   {1, 5, 0x00e7, 8},   {1, 6, 0x00e8, 8},   {1, 7, 0x00e9, 8},
    {0, 12, 0x00ea, 8},  {0, 13, 0x00eb, 8},  {0, 14, 0x00ec, 8},  {0, 15, 0x00ed, 8},
    {0, 16, 0x00ee, 8},  {0, 17, 0x00ef, 8},  {11, 1, 0x01e0, 9},  {12, 1, 0x01e1, 9},
    {13, 1, 0x01e2, 9},  {14, 1, 0x01e3, 9},  {5, 2, 0x01e4, 9},   {6, 2, 0x01e5, 9},
    {3, 3, 0x01e6, 9},   {4, 3, 0x01e7, 9},   {2, 4, 0x01e8, 9},   {2, 5, 0x01e9, 9},
    {1, 8, 0x01ea, 9},   {0, 18, 0x01eb, 9},  {0, 19, 0x01ec, 9},  {0, 20, 0x01ed, 9},
    {0, 21, 0x01ee, 9},  {0, 22, 0x01ef, 9},  {5, 3, 0x03e0, 10},  {3, 4, 0x03e1, 10},
    {3, 5, 0x03e2, 10},  {2, 6, 0x03e3, 10},  {1, 9, 0x03e4, 10},  {1, 10, 0x03e5, 10},
    {1, 11, 0x03e6, 10}, {0, 0, 0x07ce, 11},  {1, 0, 0x07cf, 11},  {6, 3, 0x07d0, 11},
    {4, 4, 0x07d1, 11},  {3, 6, 0x07d2, 11},  {1, 12, 0x07d3, 11}, {1, 13, 0x07d4, 11},
    {1, 14, 0x07d5, 11}, {2, 0, 0x0fac, 12},  {3, 0, 0x0fad, 12},  {4, 0, 0x0fae, 12},
    {5, 0, 0x0faf, 12},  {7, 2, 0x0fb0, 12},  {8, 2, 0x0fb1, 12},  {9, 2, 0x0fb2, 12},
    {10, 2, 0x0fb3, 12}, {7, 3, 0x0fb4, 12},  {8, 3, 0x0fb5, 12},  {4, 5, 0x0fb6, 12},
    {3, 7, 0x0fb7, 12},  {2, 7, 0x0fb8, 12},  {2, 8, 0x0fb9, 12},  {2, 9, 0x0fba, 12},
    {2, 10, 0x0fbb, 12}, {2, 11, 0x0fbc, 12}, {1, 15, 0x0fbd, 12}, {1, 16, 0x0fbe, 12},
    {1, 17, 0x0fbf, 12},
};

namespace {

// A decoding table of `size` slots indexed by the `index_bits` bits that
// follow a class's `prefix_bits` leading bits. Every code of the class
// fills the slots that share its bits; slots no code reaches keep `fill`.
template <size_t size>
constexpr std::array<dv_vlc_t, size> class_table(int prefix_bits, uint32_t prefix,
                                                 int index_bits, dv_vlc_t fill) {
  std::array<dv_vlc_t, size> table{};
  for (auto &slot : table) slot = fill;
  for (const dv_vlc_encode_t &row : dv_vlc_test_table) {
    const int code_bits = row.len - prefix_bits;
    if (code_bits <= 0 || code_bits > index_bits) continue;
    if ((uint32_t{row.val} >> code_bits) != prefix) continue;
    const uint32_t rest = row.val & ((1u << code_bits) - 1);
    const uint32_t first = rest << (index_bits - code_bits);
    const uint32_t count = 1u << (index_bits - code_bits);
    const bool has_sign = row.amp > 0;
    const dv_vlc_t entry = row.run < 0
                               ? tarsk::vlc_eob
                               : dv_vlc_t{row.run, static_cast<int8_t>(row.len + has_sign),
                                          static_cast<int16_t>(row.amp)};
    for (uint32_t s = first; s < first + count; ++s) table[s] = entry;
  }
  return table;
}

// Class 1: codes opening with 00, 01 or 10 (window bits 15..11). The two
// leading bits 11 belong to longer classes: reached here only when too few
// bits remain for them.
constexpr auto lookup1 = class_table<32>(0, 0, 5, vlc_broken);
// Class 2: 11 then not 111 (bits 13..7).
constexpr auto lookup2 = class_table<128>(2, 0x3, 7, vlc_broken);
// Class 3: 111110 (bits 9..4).
constexpr auto lookup3 = class_table<64>(6, 0x3e, 6, vlc_invalid);

constexpr int8_t class_of_top7(int v, int klass_126, int klass_127) {
  return static_cast<int8_t>(v <= 95    ? 1
                             : v <= 123 ? 2
                             : v <= 125 ? 3
                             : v == 126 ? klass_126
                                        : klass_127);
}

template <int klass_126, int klass_127>
constexpr std::array<int8_t, 128> top7_classes() {
  std::array<int8_t, 128> t{};
  for (int v = 0; v < 128; ++v) t[static_cast<size_t>(v)] = class_of_top7(v, klass_126, klass_127);
  return t;
}

constexpr auto class3 = top7_classes<0, 0>();
constexpr auto class4 = top7_classes<4, 0>();
constexpr auto class5 = top7_classes<4, 5>();

template <size_t n>
constexpr std::array<dv_vlc_t, n> all_invalid() {
  std::array<dv_vlc_t, n> t{};
  for (auto &e : t) e = vlc_invalid;
  return t;
}

// Escapes: 1111110 and a 6-bit run of zeros (runs below 6 have codes of
// their own); 1111111, an 8-bit amplitude and the sign (amplitudes up to
// 22 have codes of their own). The other slots are not codes.
constexpr std::array<dv_vlc_t, 64> run_escapes() {
  auto t = all_invalid<64>();
  for (int run = 6; run <= 61; ++run) t[static_cast<size_t>(run)] = {static_cast<int8_t>(run), 13, 0};
  return t;
}
constexpr std::array<dv_vlc_t, 256> amplitude_escapes() {
  auto t = all_invalid<256>();
  for (int amp = 23; amp <= 255; ++amp) t[static_cast<size_t>(amp)] = {0, 16, static_cast<int16_t>(amp)};
  return t;
}
constexpr auto lookup4 = run_escapes();
constexpr auto lookup5 = amplitude_escapes();

// Which class table decides, by the bits that remain in the block, and
// the mask and shift of its index.
constexpr int class_level(int maxbits) {
  return maxbits <= 2 ? 0 : maxbits <= 6 ? 1 : maxbits <= 10 ? 2 : maxbits <= 12 ? 3 : maxbits <= 15 ? 4 : 5;
}
constexpr std::array<int, 64> class_masks() {
  std::array<int, 64> t{};
  for (int b = 0; b < 64; ++b) t[static_cast<size_t>(b)] = b <= 6 ? 0 : b <= 10 ? 0xc000 : 0xfe00;
  return t;
}
constexpr std::array<int, 64> class_shifts() {
  std::array<int, 64> t{};
  for (int b = 0; b < 64; ++b) t[static_cast<size_t>(b)] = b <= 6 ? 0 : b <= 10 ? 14 : 9;
  return t;
}
constexpr auto class_mask = class_masks();
constexpr auto class_shift = class_shifts();

// The decoding of a code with 16 or more bits in the block, on the tables
// above: what vlc_decode_16 does at run time.
constexpr dv_vlc_t decode_16(uint32_t bits) {
  const int klass = class5[(bits & 0xfe00) >> 9];
  dv_vlc_t v{};
  switch (klass) {
    case 1: v = lookup1[(bits & 0xf800) >> 11]; break;
    case 2: v = lookup2[(bits & 0x3f80) >> 7]; break;
    case 3: v = lookup3[(bits & 0x03f0) >> 4]; break;
    case 4: v = lookup4[(bits & 0x01f8) >> 3]; break;
    case 5: v = lookup5[(bits & 0x01fe) >> 1]; break;
    default: v = vlc_broken;
  }
  tarsk::vlc_apply_sign(bits, &v);
  return v;
}

// Codes of at most 7 bits, decoded from the top 7 bits of a window.
constexpr std::array<dv_vlc_t, 128> class1_shortcut() {
  std::array<dv_vlc_t, 128> t{};
  for (uint32_t v = 0; v < 128; ++v) {
    dv_vlc_t entry = vlc_broken;
    if (v <= 95)
      entry = lookup1[v >> 2];
    else if (v <= 123 && lookup2[(v & 31) << 2].len < 8)
      entry = lookup2[(v & 31) << 2];
    if (entry.amp >= 1) tarsk::vlc_apply_sign(v << 9, &entry);
    t[v] = entry;
  }
  return t;
}
constexpr auto shortcut = class1_shortcut();

// The short codes: a code that ends within the first 12 bits decodes the
// same whatever bits follow it.
constexpr std::array<dv_vlc_t, 4096> short_codes() {
  std::array<dv_vlc_t, 4096> t{};
  for (uint32_t v = 0; v < 4096; ++v) {
    const dv_vlc_t entry = decode_16(v << 4);
    t[v] = entry.len > 0 && entry.len <= 12 ? entry : dv_vlc_t{0, 0, 0};
  }
  return t;
}

// The codes that open with five 1 bits, by the 11 bits after them.
constexpr std::array<dv_vlc_t, 2048> long_codes() {
  std::array<dv_vlc_t, 2048> t{};
  for (uint32_t v = 0; v < 2048; ++v) t[v] = decode_16(0xf800 | v);
  return t;
}

// One or two codes from 11 bits: a short code decodes the same whatever
// bits follow it, so the window padded with zeros decodes the first, and
// its rest the second, where they end within the 11 bits.
constexpr std::array<tarsk::VlcPair, 2048> pair_codes() {
  const auto single = short_codes();
  std::array<tarsk::VlcPair, 2048> t{};
  for (uint32_t v = 0; v < 2048; ++v) {
    const uint32_t w = v << 1;
    const dv_vlc_t first = single[w];
    if (first.len == 0 || first.len > 11 || first.run < 0) continue;
    tarsk::VlcPair &p = t[v];
    p.len = static_cast<uint8_t>(first.len);
    p.at1 = p.at2 = static_cast<uint8_t>(first.run);
    p.amp1 = p.amp2 = first.amp;
    const dv_vlc_t second = single[(w << first.len) & 0xfff];
    if (second.len == 0 || second.run < 0 || first.len + second.len > 11) continue;
    p.len = static_cast<uint8_t>(first.len + second.len);
    p.at2 = static_cast<uint8_t>(first.run + 1 + second.run);
    p.amp2 = second.amp;
  }
  return t;
}

// Every window that vlc_short leaves out opens with five 1 bits.
constexpr bool short_codes_leave_only_five_ones() {
  const auto t = short_codes();
  for (uint32_t v = 0; v < 4096; ++v)
    if (t[v].len == 0 && (v >> 7) != 0x1f) return false;
  return true;
}
static_assert(short_codes_leave_only_five_ones());

}  // namespace

extern "C" {

dv_vlc_tab_t dv_vlc_broken[1] = {vlc_broken};
dv_vlc_tab_t dv_vlc_lookup1[32] = {TARSK_32(lookup1, 0)};
dv_vlc_tab_t dv_vlc_lookup2[128] = {TARSK_128(lookup2, 0)};
dv_vlc_tab_t dv_vlc_lookup3[64] = {TARSK_64(lookup3, 0)};
dv_vlc_t dv_vlc_lookup4[64] = {TARSK_64(lookup4, 0)};
dv_vlc_t dv_vlc_lookup5[256] = {TARSK_256(lookup5, 0)};

dv_vlc_tab_t *dv_vlc_lookups[6] = {dv_vlc_broken, dv_vlc_lookup1, dv_vlc_lookup2,
                                   dv_vlc_lookup3, dv_vlc_lookup4, dv_vlc_lookup5};
const int dv_vlc_index_mask[6] = {0x0000, 0xf800, 0x3f80, 0x03f0, 0x01f8, 0x01fe};
const int dv_vlc_index_rshift[6] = {0, 11, 7, 4, 3, 1};

const int8_t dv_vlc_class_broken[1] = {0};
const int8_t dv_vlc_class_lookup1[1] = {1};
const int8_t dv_vlc_class_lookup2[4] = {1, 1, 1, 2};
const int8_t dv_vlc_class_lookup3[128] = {TARSK_128(class3, 0)};
const int8_t dv_vlc_class_lookup4[128] = {TARSK_128(class4, 0)};
const int8_t dv_vlc_class_lookup5[128] = {TARSK_128(class5, 0)};

}  // extern "C"

namespace {

constexpr const int8_t *class_tables[6] = {dv_vlc_class_broken,  dv_vlc_class_lookup1,
                                           dv_vlc_class_lookup2, dv_vlc_class_lookup3,
                                           dv_vlc_class_lookup4, dv_vlc_class_lookup5};
constexpr std::array<const int8_t *, 64> class_by_bits() {
  std::array<const int8_t *, 64> t{};
  for (int b = 0; b < 64; ++b) t[static_cast<size_t>(b)] = class_tables[class_level(b)];
  return t;
}
constexpr auto classes = class_by_bits();

}  // namespace

extern "C" {

const int8_t *dv_vlc_classes[64] = {TARSK_64(classes, 0)};
int dv_vlc_class_index_mask[64] = {TARSK_64(class_mask, 0)};
int dv_vlc_class_index_rshift[64] = {TARSK_64(class_shift, 0)};

const int sign_rshift[17] = {0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};

dv_vlc_t dv_vlc_class1_shortcut[128] = {TARSK_128(shortcut, 0)};

}  // extern "C"

namespace tarsk {

extern const std::array<dv_vlc_t, 4096> vlc_short = short_codes();

extern const std::array<dv_vlc_t, 2048> vlc_long = long_codes();
extern const std::array<VlcPair, 2048> vlc_pairs = pair_codes();

// An escape cut by the end of the bits left is incomplete, though its 16
// bits make no code: that the run or amplitude has a code of its own shows
// only once the whole escape is there.
dv_vlc_t vlc_bad_escape(uint32_t bits, int maxbits) {
  const int escape_bits = ((bits >> 9) & 0x7f) == 0x7e ? 13 : 16;
  return escape_bits <= maxbits ? vlc_invalid : vlc_broken;
}

const VlcClass vlc_classes[6] = {
    {dv_vlc_broken, 0x0000, 0},  {dv_vlc_lookup1, 0xf800, 11}, {dv_vlc_lookup2, 0x3f80, 7},
    {dv_vlc_lookup3, 0x03f0, 4}, {dv_vlc_lookup4, 0x01f8, 3},  {dv_vlc_lookup5, 0x01fe, 1}};

}  // namespace tarsk

extern "C" {

void dv_decode_vlc(int bits, int maxbits, dv_vlc_t *result) {
  if (maxbits < 0) maxbits = 0;
  if (maxbits > 63) maxbits = 63;
  tarsk::vlc_decode(static_cast<uint32_t>(bits), maxbits, result);
}

void __dv_decode_vlc(int bits, dv_vlc_t *result) {
  tarsk::vlc_decode_16(static_cast<uint32_t>(bits), result);
}

}  // extern "C"
