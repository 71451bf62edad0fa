/* Reads the system and the time code of a DV frame.
 *
 * The frame is built in memory: a 625/50 frame whose header block says so,
 * with empty VAUX and subcode packs except one time code pack. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tarsk/dv.h>

enum { dif_block = 80, dif_sequence = 150 * dif_block, sequences = 12 };

int main(void) {
  dv_decoder_t *dv = dv_decoder_new(0, 0, 0);
  uint8_t *frame = calloc(1, frame_size_625_50);
  if (dv == NULL || frame == NULL) {
    fputs("out of memory\n", stderr);
    return 1;
  }

  /* Header block: section type 0; DSF = 1 marks a 625-line, 50-field frame. */
  frame[0] = 0x1f;
  frame[3] = 0x80;

  /* Every DIF sequence has two subcode blocks (1 and 2) and three VAUX
   * blocks (3 to 5) after its header block; packs filled with 0xff are
   * empty. */
  for (int seq = 0; seq < sequences; ++seq)
    for (int block = 1; block <= 5; ++block)
      memset(frame + seq * dif_sequence + block * dif_block + 3, 0xff, dif_block - 3);

  /* A time code pack of 12:34:56, frame 7 (BCD digits) in the first subcode
   * block of sequence 6: frame offset 72080 plus the 6 bytes before the
   * block's first pack. */
  static const uint8_t timecode[5] = {0x13, 0x07, 0x56, 0x34, 0x12};
  memcpy(frame + 6 * dif_sequence + dif_block + 6, timecode, sizeof timecode);

  const int change = dv_parse_header(dv, frame);
  dv_parse_packs(dv, frame);

  char text[12];
  const int have_timecode = dv_get_timestamp(dv, text);
  printf("header: %d\n", change);
  printf("system: %s, %dx%d, %d DIF sequences\n",
         dv->system == e_dv_system_625_50   ? "625/50"
         : dv->system == e_dv_system_525_60 ? "525/60"
                                            : "none",
         dv->width, dv->height, dv->num_dif_seqs);
  printf("time code: %s%s\n", text, have_timecode ? "" : " (absent)");

  free(frame);
  dv_decoder_free(dv);
  return 0;
}
