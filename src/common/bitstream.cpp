// Set-up operations of the bit reader; the reading operations are inline in
// bitstream.h.
#include "common/bitstream.h"

#include <cstdlib>

extern "C" {

bitstream_t *_dv_bitstream_init(void) {
  return static_cast<bitstream_t *>(std::calloc(1, sizeof(bitstream_t)));
}

// Loads the first two words: the first becomes current, the second next.
static void prime(bitstream_t *bs) {
  bitstream_next_word(bs);
  bs->current_word = bs->next_word;
  bs->bits_left = bs->next_bits;
  bitstream_next_word(bs);
  bs->bitsread = 0;
}

void _dv_bitstream_new_buffer(bitstream_t *bs, uint8_t *buf, uint32_t len) {
  bs->buf = buf;
  bs->buflen = len;
  bs->bufoffset = 0;
  prime(bs);
}

void _dv_bitstream_set_fill_func(bitstream_t *bs, bitstream_fill_func_t fill,
                                 void *priv) {
  bs->bitstream_next_buffer = fill;
  bs->priv = priv;
  _dv_bitstream_next_buffer(bs);
  prime(bs);
}

void _dv_bitstream_next_buffer(bitstream_t *bs) {
  if (bs->bitstream_next_buffer == nullptr) return;
  bs->buflen = bs->bitstream_next_buffer(&bs->buf, bs->priv);
  bs->bufoffset = 0;
}

void _dv_bitstream_byte_align(bitstream_t *bs) {
  const unsigned spare = bs->bits_left % 8u;
  bs->bits_left = static_cast<uint16_t>(bs->bits_left - spare);
  bs->bitsread += static_cast<int32_t>(spare);
  if (bs->bits_left == 0) {
    bs->current_word = bs->next_word;
    bs->bits_left = bs->next_bits;
    bitstream_next_word(bs);
  }
}

int _dv_bitstream_done(bitstream_t *) { return 0; }

}  // extern "C"
