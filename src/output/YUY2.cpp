// Packed 4:2:2 output, two bytes per pixel: Y, Cb, Y, Cr.
//
// Every table here is a clamp: sample + 128 (+ 16 with the NTSC set-up),
// held between two limits. The writers compute that clamp sixteen samples
// at a time with SSE2; the table writer below stays as the reference they
// are tested against, and serves where SSE2 is missing.
#include "output/output.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

using tarsk::OffsetTable;

OffsetTable<uint8_t, -128, 127> uvlut;
OffsetTable<uint8_t, -256, 511> ylut;
// The NTSC 7.5 IRE set-up: 16 steps of the 219-step luma scale.
OffsetTable<uint8_t, -256, 511> ylut_setup;

inline uint8_t chroma(const dv_block_t &b, int cell) {
  return uvlut[tarsk::chroma_index(b.coeffs[cell])];
}

// Writes a macroblock of `width` x `height` pixels: for each pair of
// pixels, their luma and the chroma of the cell the pair lies in.
template <int width, int height, int (*luma)(const dv_macroblock_t *, int, int),
          int (*cell)(int, int)>
void write(const dv_macroblock_t *mb, uint8_t **pixels, const int *pitches,
           const OffsetTable<uint8_t, -256, 511> &y) {
  uint8_t *line_start = pixels[0] + mb->y * pitches[0] + mb->x * 2;
  for (int line = 0; line < height; ++line, line_start += pitches[0]) {
    uint8_t *out = line_start;
    for (int px = 0; px < width; px += 2, out += 4) {
      const int c = cell(line, px);
      out[0] = y[tarsk::luma_index(luma(mb, line, px))];
      out[1] = chroma(mb->b[5], c);
      out[2] = y[tarsk::luma_index(luma(mb, line, px + 1))];
      out[3] = chroma(mb->b[4], c);
    }
  }
}

const OffsetTable<uint8_t, -256, 511> &luma_table(int add_ntsc_setup) {
  return add_ntsc_setup == 1 ? ylut_setup : ylut;
}

// The limits of the tables, set with them.
struct Limits {
  uint8_t luma_low, luma_high, chroma_low, chroma_high;
} limits;

#ifdef __SSE2__

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

inline __m128i luma_bytes(const dv_coeff_t *left, const dv_coeff_t *right, bool setup) {
  return to_bytes(load8(left), load8(right), -256, 511, limits.luma_low, limits.luma_high, setup);
}

// Cb and Cr of eight chroma cells, interleaved: Cb0 Cr0 Cb1 Cr1 ...
inline __m128i chroma_pairs(const dv_coeff_t *cb, const dv_coeff_t *cr) {
  const __m128i both = to_bytes(load8(cb), load8(cr), -128, 127, limits.chroma_low,
                                limits.chroma_high, false);
  return _mm_unpacklo_epi8(both, _mm_srli_si128(both, 8));
}

// Sixteen pixels of a line: luma bytes and the eight chroma pairs of the
// pixel pairs, interleaved Y Cb Y Cr.
inline void store_line(uint8_t *out, __m128i luma, __m128i pairs) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi8(luma, pairs));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), _mm_unpackhi_epi8(luma, pairs));
}

void mb411(const dv_macroblock_t *mb, uint8_t **pixels, const int *pitches, bool setup) {
  uint8_t *out = pixels[0] + mb->y * pitches[0] + mb->x * 2;
  for (int line = 0; line < 8; ++line, out += pitches[0]) {
    // One chroma cell covers four pixels: each pair serves two pixel pairs.
    const __m128i pairs = chroma_pairs(&mb->b[5].coeffs[line * 8], &mb->b[4].coeffs[line * 8]);
    const __m128i low = _mm_unpacklo_epi16(pairs, pairs), high = _mm_unpackhi_epi16(pairs, pairs);
    const int row = line * 8;
    store_line(out, luma_bytes(&mb->b[0].coeffs[row], &mb->b[1].coeffs[row], setup), low);
    store_line(out + 32, luma_bytes(&mb->b[2].coeffs[row], &mb->b[3].coeffs[row], setup), high);
  }
}

void mb411_right(const dv_macroblock_t *mb, uint8_t **pixels, const int *pitches, bool setup) {
  uint8_t *out = pixels[0] + mb->y * pitches[0] + mb->x * 2;
  for (int line = 0; line < 16; ++line, out += pitches[0]) {
    const int row = (line % 8) * 8;
    const __m128i pairs = chroma_pairs(&mb->b[5].coeffs[row], &mb->b[4].coeffs[row]);
    // The top half takes chroma columns 0-3, the bottom half 4-7.
    const __m128i four = line < 8 ? pairs : _mm_srli_si128(pairs, 8);
    const __m128i doubled = _mm_unpacklo_epi16(four, four);
    const int top = line < 8 ? 0 : 2;
    store_line(out, luma_bytes(&mb->b[top].coeffs[row], &mb->b[top + 1].coeffs[row], setup),
               doubled);
  }
}

void mb420(const dv_macroblock_t *mb, uint8_t **pixels, const int *pitches) {
  uint8_t *out = pixels[0] + mb->y * pitches[0] + mb->x * 2;
  for (int line = 0; line < 16; ++line, out += pitches[0]) {
    const int row = (line % 8) * 8;
    const int chroma_row = (line / 2) * 8;
    const __m128i pairs =
        chroma_pairs(&mb->b[5].coeffs[chroma_row], &mb->b[4].coeffs[chroma_row]);
    const int top = line < 8 ? 0 : 2;
    store_line(out, luma_bytes(&mb->b[top].coeffs[row], &mb->b[top + 1].coeffs[row], false),
               pairs);
  }
}

#endif

}  // namespace

namespace tarsk {

// The table writers, one lookup per byte: the reference the fast writers
// are tested against.
void yuy2_411_by_table(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  write<32, 8, luma_32x8, chroma_cell_411>(mb, pixels, pitches, luma_table(add_ntsc_setup));
}

void yuy2_411_right_by_table(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                             int add_ntsc_setup) {
  write<16, 16, luma_16x16, chroma_cell_411_right>(mb, pixels, pitches,
                                                   luma_table(add_ntsc_setup));
}

void yuy2_420_by_table(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  write<16, 16, luma_16x16, chroma_cell_420>(mb, pixels, pitches, ylut);
}

}  // namespace tarsk

extern "C" {

void dv_YUY2_init(int clamp_luma, int clamp_chroma) {
  for (int s = -128; s <= 127; ++s)
    uvlut[s] = static_cast<uint8_t>(clamp_chroma == 1 ? std::clamp(s + 128, 16, 240) : s + 128);
  for (int s = -256; s <= 511; ++s) {
    ylut[s] = static_cast<uint8_t>(clamp_luma == 1 ? std::clamp(s + 128, 16, 235)
                                                   : std::clamp(s + 128, 0, 255));
    ylut_setup[s] = static_cast<uint8_t>(std::min(ylut[s] + 16, 255));
  }
  limits = {ylut[-256], ylut[511], uvlut[-128], uvlut[127]};
}

#ifdef __SSE2__

void dv_mb411_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  mb411(mb, pixels, pitches, add_ntsc_setup == 1);
}

void dv_mb411_right_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                         int add_ntsc_setup) {
  mb411_right(mb, pixels, pitches, add_ntsc_setup == 1);
}

void dv_mb420_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  mb420(mb, pixels, pitches);
}

#else

void dv_mb411_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  tarsk::yuy2_411_by_table(mb, pixels, pitches, add_ntsc_setup);
}

void dv_mb411_right_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                         int add_ntsc_setup) {
  tarsk::yuy2_411_right_by_table(mb, pixels, pitches, add_ntsc_setup);
}

void dv_mb420_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  tarsk::yuy2_420_by_table(mb, pixels, pitches);
}

#endif

}  // extern "C"
