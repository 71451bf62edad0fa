// Packed 4:2:2 and planar output with SSE2: the clamp of the tables (sample
// + 128, plus 16 with the NTSC set-up, held between two limits) computed
// sixteen samples at a time.
#include <emmintrin.h>

#include "dsp/x86/x86.h"

namespace tarsk::dsp::x86 {
namespace {

// Sixteen samples as bytes: each clamped to [low_index, high_index], plus
// 128, then held between the byte limits (and lifted by the set-up).
inline __m128i to_bytes(__m128i a, __m128i b, int low_index, int high_index, uint8_t low,
                        uint8_t high, bool setup) {
  const __m128i lo = _mm_set1_epi16(static_cast<int16_t>(low_index));
  const __m128i hi = _mm_set1_epi16(static_cast<int16_t>(high_index));
  const __m128i offset = _mm_set1_epi16(128);
  a = _mm_add_epi16(_mm_min_epi16(_mm_max_epi16(a, lo), hi), offset);
  b = _mm_add_epi16(_mm_min_epi16(_mm_max_epi16(b, lo), hi), offset);
  __m128i bytes = _mm_packus_epi16(a, b);
  bytes = _mm_min_epu8(_mm_max_epu8(bytes, _mm_set1_epi8(static_cast<char>(low))),
                       _mm_set1_epi8(static_cast<char>(high)));
  return setup ? _mm_adds_epu8(bytes, _mm_set1_epi8(16)) : bytes;
}

inline __m128i load8(const dv_coeff_t *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline __m128i luma_bytes(const dv_coeff_t *left, const dv_coeff_t *right, const Yuy2Tables &t,
                          bool setup) {
  return to_bytes(load8(left), load8(right), -256, 511, t.luma_low, t.luma_high, setup);
}

// Cb and Cr of eight chroma cells, interleaved: Cb0 Cr0 Cb1 Cr1 ...
inline __m128i chroma_pairs(const dv_coeff_t *cb, const dv_coeff_t *cr, const Yuy2Tables &t) {
  const __m128i both = to_bytes(load8(cb), load8(cr), -128, 127, t.chroma_low,
                                t.chroma_high, false);
  return _mm_unpacklo_epi8(both, _mm_srli_si128(both, 8));
}

// Sixteen pixels of a line: luma bytes and the eight chroma pairs of the
// pixel pairs, interleaved Y Cb Y Cr.
inline void store_line(uint8_t *out, __m128i luma, __m128i pairs) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi8(luma, pairs));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), _mm_unpackhi_epi8(luma, pairs));
}

// Eight Cb and eight Cr samples of a chroma row, as bytes: Cb in the low
// half, Cr in the high half.
inline __m128i chroma_row(const dv_macroblock_t *mb, int row, const Yuy2Tables &t) {
  return to_bytes(load8(&mb->b[5].coeffs[row]), load8(&mb->b[4].coeffs[row]), -128, 127,
                  t.chroma_low, t.chroma_high, false);
}

inline void store16(uint8_t *out, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
}
inline void store8(uint8_t *out, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i *>(out), v);
}
inline void store4(uint8_t *out, __m128i v) {
  const int32_t word = _mm_cvtsi128_si32(v);
  __builtin_memcpy(out, &word, 4);
}

// The luma of a 16x16 macroblock: the top blocks 0 and 1, then 2 and 3.
void luma_16x16(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t, bool setup) {
  uint8_t *out = p.plane[0] + mb->y * p.pitch[0] + mb->x;
  for (int line = 0; line < 16; ++line, out += p.pitch[0]) {
    const int row = (line % 8) * 8, top = line < 8 ? 0 : 2;
    store16(out, luma_bytes(&mb->b[top].coeffs[row], &mb->b[top + 1].coeffs[row], t, setup));
  }
}

// The chroma of one line of planes: Cb bytes from the low half of `both`,
// Cr from the high half, `n` samples of each at (line, column).
template <int n>
void store_chroma(const PlaneSet &p, int line, int column, __m128i both) {
  uint8_t *cb = p.plane[1] + line * p.pitch[1] + column;
  uint8_t *cr = p.plane[2] + line * p.pitch[2] + column;
  const __m128i high = _mm_srli_si128(both, 8);
  if constexpr (n == 4) {
    store4(cb, both);
    store4(cr, high);
  } else if constexpr (n == 8) {
    store8(cb, both);
    store8(cr, high);
  } else {  // each of eight samples twice
    store16(cb, _mm_unpacklo_epi8(both, both));
    store16(cr, _mm_unpacklo_epi8(high, high));
  }
}

}  // namespace

void planar_420_sse2(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t,
                     bool setup) {
  luma_16x16(mb, p, t, setup);
  // Eight chroma rows, each on its own line (4:2:0) or on two (4:2:2).
  for (int row = 0; row < 8; ++row) {
    const __m128i both = chroma_row(mb, row * 8, t);
    if (p.shift_y == 1) {
      store_chroma<8>(p, mb->y / 2 + row, mb->x / 2, both);
    } else {
      store_chroma<8>(p, mb->y + 2 * row, mb->x / 2, both);
      store_chroma<8>(p, mb->y + 2 * row + 1, mb->x / 2, both);
    }
  }
}

void planar_411_sse2(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t,
                     bool setup) {
  uint8_t *out = p.plane[0] + mb->y * p.pitch[0] + mb->x;
  for (int line = 0; line < 8; ++line, out += p.pitch[0]) {
    const int row = line * 8;
    store16(out, luma_bytes(&mb->b[0].coeffs[row], &mb->b[1].coeffs[row], t, setup));
    store16(out + 16, luma_bytes(&mb->b[2].coeffs[row], &mb->b[3].coeffs[row], t, setup));
    const __m128i both = chroma_row(mb, row, t);
    // Eight chroma samples a line (4:1:1), or each twice (4:2:2).
    if (p.shift_x == 2)
      store_chroma<8>(p, mb->y + line, mb->x / 4, both);
    else
      store_chroma<16>(p, mb->y + line, mb->x / 2, both);
  }
}

void planar_411_right_sse2(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t,
                           bool setup) {
  luma_16x16(mb, p, t, setup);
  for (int line = 0; line < 16; ++line) {
    // The top half takes chroma columns 0-3 of a row, the bottom half 4-7.
    __m128i both = chroma_row(mb, (line % 8) * 8, t);
    if (line >= 8) both = _mm_srli_si128(both, 4);
    const __m128i packed = _mm_unpacklo_epi32(both, _mm_srli_si128(both, 8));  // Cb0-3 Cr0-3
    if (p.shift_x == 2) {
      store4(p.plane[1] + (mb->y + line) * p.pitch[1] + mb->x / 4, packed);
      store4(p.plane[2] + (mb->y + line) * p.pitch[2] + mb->x / 4, _mm_srli_si128(packed, 4));
    } else {
      const __m128i twice = _mm_unpacklo_epi8(packed, packed);  // Cb0 Cb0 .. Cb3 Cb3 Cr0 Cr0 ..
      store_chroma<8>(p, mb->y + line, mb->x / 2, twice);
    }
  }
}

void yuy2_411_sse2(const dv_macroblock_t *mb, uint8_t *pixels, int pitch, const Yuy2Tables &t,
                   bool setup) {
  uint8_t *out = pixels + mb->y * pitch + mb->x * 2;
  for (int line = 0; line < 8; ++line, out += pitch) {
    // One chroma cell covers four pixels: each pair serves two pixel pairs.
    const __m128i pairs = chroma_pairs(&mb->b[5].coeffs[line * 8], &mb->b[4].coeffs[line * 8], t);
    const __m128i low = _mm_unpacklo_epi16(pairs, pairs), high = _mm_unpackhi_epi16(pairs, pairs);
    const int row = line * 8;
    store_line(out, luma_bytes(&mb->b[0].coeffs[row], &mb->b[1].coeffs[row], t, setup), low);
    store_line(out + 32, luma_bytes(&mb->b[2].coeffs[row], &mb->b[3].coeffs[row], t, setup), high);
  }
}

void yuy2_411_right_sse2(const dv_macroblock_t *mb, uint8_t *pixels, int pitch,
                         const Yuy2Tables &t, bool setup) {
  uint8_t *out = pixels + mb->y * pitch + mb->x * 2;
  for (int line = 0; line < 16; ++line, out += pitch) {
    const int row = (line % 8) * 8;
    const __m128i pairs = chroma_pairs(&mb->b[5].coeffs[row], &mb->b[4].coeffs[row], t);
    // The top half takes chroma columns 0-3, the bottom half 4-7.
    const __m128i four = line < 8 ? pairs : _mm_srli_si128(pairs, 8);
    const __m128i doubled = _mm_unpacklo_epi16(four, four);
    const int top = line < 8 ? 0 : 2;
    store_line(out, luma_bytes(&mb->b[top].coeffs[row], &mb->b[top + 1].coeffs[row], t, setup),
               doubled);
  }
}

void yuy2_420_sse2(const dv_macroblock_t *mb, uint8_t *pixels, int pitch, const Yuy2Tables &t,
                   bool setup) {
  uint8_t *out = pixels + mb->y * pitch + mb->x * 2;
  for (int line = 0; line < 16; ++line, out += pitch) {
    const int row = (line % 8) * 8;
    const int chroma_row = (line / 2) * 8;
    const __m128i pairs =
        chroma_pairs(&mb->b[5].coeffs[chroma_row], &mb->b[4].coeffs[chroma_row], t);
    const int top = line < 8 ? 0 : 2;
    store_line(out, luma_bytes(&mb->b[top].coeffs[row], &mb->b[top + 1].coeffs[row], t, setup),
               pairs);
  }
}

}  // namespace tarsk::dsp::x86
