// RGB to the encoder's Y'CbCr planes (dv.h's dv_enc_rgb_to_ycb), through
// the ITU-R BT.601 matrix in studio range with 16 fraction bits: luma
// 219/255 (0.299 R + 0.587 G + 0.114 B) + 16, chroma 224/255 of the
// colour differences over 1.772 (B) and 1.402 (R), plus 128.
#include <tarsk/dv.h>

#include <cstddef>
#include <cstdint>

namespace {

constexpr int width = 720;

// Luma in the encoder's scale: the sum carries one fraction bit more than
// a whole sample (>> 15 instead of 16); clearing bit 0 leaves twice the
// truncated value, from which 2 x (16 - 128) takes the studio black and the
// centring at once.
int16_t luma(int32_t r, int32_t g, int32_t b) {
  return static_cast<int16_t>((((16828 * r + 33038 * g + 6416 * b) >> 15) & 0x7fe) - 224);
}

// A colour difference times 2^16, of one pixel; two pixels' sum >> 16 is
// their mean doubled, the encoder's scale of the 4:2:2 chroma sample.
int32_t cb_part(int32_t r, int32_t g, int32_t b) { return -9729 * r - 19055 * g + 28784 * b; }
int32_t cr_part(int32_t r, int32_t g, int32_t b) { return 28784 * r - 24121 * g - 4663 * b; }

}  // namespace

extern "C" {

void dv_enc_rgb_to_ycb(uint8_t *img_rgb, int height, int16_t *img_y, int16_t *img_cr,
                       int16_t *img_cb) {
  for (int line = 0; line < height; ++line) {
    const uint8_t *rgb = img_rgb + size_t{3 * width} * static_cast<size_t>(line);
    for (int k = 0; k < width / 2; ++k) {
      int32_t cb = 0, cr = 0;
      for (int p = 0; p < 2; ++p, rgb += 3) {
        const int32_t r = rgb[0], g = rgb[1], b = rgb[2];
        *img_y++ = luma(r, g, b);
        cb += cb_part(r, g, b);
        cr += cr_part(r, g, b);
      }
      *img_cb++ = static_cast<int16_t>(cb >> 16);
      *img_cr++ = static_cast<int16_t>(cr >> 16);
    }
  }
}

}  // extern "C"
