/*
 * tarsk — DV (IEC 61834, SMPTE 314M) decoding and encoding.
 *
 * The one public C header of the library. C and C++ callers include it; it
 * needs <popt.h> because the decoder publishes its settings as popt option
 * tables that a host program may include in its own command line.
 *
 * Buffers: the C API takes no lengths. Where a function reads or writes a
 * caller's buffer, the comment next to it says how large the buffer must be.
 */
#ifndef TARSK_DV_H
#define TARSK_DV_H

#include <popt.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Frame geometry                                                           */
/* ------------------------------------------------------------------------ */

enum {
  frame_size_525_60 = 120000, /* bytes of a 525-line, 60-field frame */
  frame_size_625_50 = 144000, /* bytes of a 625-line, 50-field frame */
  header_size = 4160          /* 52 DIF blocks; not used by the library */
};

typedef enum dv_color_space_e {
  e_dv_color_yuv, /* packed YUY2 */
  e_dv_color_rgb,
  e_dv_color_bgr0
} dv_color_space_t;

typedef enum dv_system_e {
  e_dv_system_none = 0,
  e_dv_system_525_60, /* 525 lines, 60 fields, 10 DIF sequences */
  e_dv_system_625_50  /* 625 lines, 50 fields, 12 DIF sequences */
} dv_system_t;

typedef enum dv_std_e {
  e_dv_std_none = 0,
  e_dv_std_smpte_314m,
  e_dv_std_iec_61834
} dv_std_t;

typedef enum dv_sample_e {
  e_dv_sample_none = 0,
  e_dv_sample_411,
  e_dv_sample_420,
  e_dv_sample_422
} dv_sample_t;

/* ------------------------------------------------------------------------ */
/* Bit reader                                                               */
/* ------------------------------------------------------------------------ */

/* Supplies the next buffer: stores its address through the first argument
 * and returns its length in bytes. */
typedef uint32_t (*bitstream_fill_func_t)(uint8_t **buffer, void *priv);

/* Reads a byte buffer most significant bit first through a window of two
 * big-endian 32-bit words. */
typedef struct bitstream_s {
  uint32_t current_word; /* its low bits_left bits are unread */
  uint32_t next_word;    /* the following word, already loaded */
  uint16_t bits_left;    /* unread bits in current_word */
  uint16_t next_bits;    /* valid bits in next_word */
  uint8_t *buf;          /* the buffer being read (not owned) */
  uint32_t buflen;       /* its length in bytes */
  int32_t bufoffset;     /* byte offset of the next word to load */
  bitstream_fill_func_t bitstream_next_buffer; /* may be null */
  void *priv;       /* handed to the fill function */
  int32_t bitsread; /* bit position in the buffer */
} bitstream_t;

/* Returns a new reader with every field zero, or null without memory. */
bitstream_t *_dv_bitstream_init(void);
/* Points the reader at len bytes (the library uses 400 and 480; len >= 8,
 * a multiple of 4, is expected). With any length nothing outside
 * [buf, buf + len) is read: bits past the end read as 0. */
void _dv_bitstream_new_buffer(bitstream_t *bs, uint8_t *buf, uint32_t len);
void _dv_bitstream_set_fill_func(bitstream_t *bs, bitstream_fill_func_t fill,
                                 void *priv);
void _dv_bitstream_next_buffer(bitstream_t *bs);
void _dv_bitstream_byte_align(bitstream_t *bs);
/* Returns 0; does not release the reader (free() does). */
int _dv_bitstream_done(bitstream_t *bs);

/* ------------------------------------------------------------------------ */
/* DIF header and block identifiers                                         */
/* ------------------------------------------------------------------------ */

typedef struct dv_header_s {
  int dsf; /* 0: 525/60, 1: 625/50 */
  int8_t apt;
  int tf1;
  int8_t ap1;
  int tf2;
  int8_t ap2;
  int tf3;
  int8_t ap3;
} dv_header_t;

typedef struct dv_id_s {
  int8_t sct; /* section type: 0 header, 1 subcode, 2 VAUX, 3 audio, 4 video */
  int8_t dsn; /* DIF sequence number */
  int fsc;    /* channel flag */
  int8_t dbn; /* block number within its section */
} dv_id_t;

/* ------------------------------------------------------------------------ */
/* AAUX packs                                                               */
/* ------------------------------------------------------------------------ */

/* Each pack data byte is a record of bit fields, listed from bit 7 down.
 * Compilers allocate bit fields from opposite ends of a byte on little- and
 * big-endian targets, hence the two declaration orders. */
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define DV_BITFIELDS_2(a, b) a; b;
#define DV_BITFIELDS_3(a, b, c) a; b; c;
#define DV_BITFIELDS_4(a, b, c, d) a; b; c; d;
#else
#define DV_BITFIELDS_2(a, b) b; a;
#define DV_BITFIELDS_3(a, b, c) c; b; a;
#define DV_BITFIELDS_4(a, b, c, d) d; c; b; a;
#endif

#ifdef __GNUC__
#define DV_EXT __extension__ /* unsigned char bit fields in pedantic C */
#else
#define DV_EXT
#endif

typedef struct dv_aaux_as_pc1_s {
  DV_BITFIELDS_3(DV_EXT uint8_t lf : 1, DV_EXT uint8_t : 1,
                 DV_EXT uint8_t af_size : 6)
} dv_aaux_as_pc1_t;

typedef struct dv_aaux_as_pc2_s {
  DV_BITFIELDS_4(DV_EXT uint8_t sm : 1, DV_EXT uint8_t chn : 2,
                 DV_EXT uint8_t pa : 1, DV_EXT uint8_t audio_mode : 4)
} dv_aaux_as_pc2_t;

typedef struct dv_aaux_as_pc3_s {
  DV_BITFIELDS_4(DV_EXT uint8_t : 1, DV_EXT uint8_t ml : 1,
                 DV_EXT uint8_t system : 1, DV_EXT uint8_t stype : 5)
} dv_aaux_as_pc3_t;

typedef struct dv_aaux_as_pc4_s {
  DV_BITFIELDS_4(DV_EXT uint8_t ef : 1, DV_EXT uint8_t tc : 1,
                 DV_EXT uint8_t smp : 3, DV_EXT uint8_t qu : 3)
} dv_aaux_as_pc4_t;

/* AAUX source pack (ID 0x50): rate, quantisation, system, emphasis and the
 * number of samples in the frame. */
typedef struct dv_aaux_as_s {
  uint8_t pc0;
  dv_aaux_as_pc1_t pc1;
  dv_aaux_as_pc2_t pc2;
  dv_aaux_as_pc3_t pc3;
  dv_aaux_as_pc4_t pc4;
} dv_aaux_as_t;

typedef struct dv_aaux_asc_pc1_s {
  DV_BITFIELDS_4(DV_EXT uint8_t cgms : 2, DV_EXT uint8_t isr : 2,
                 DV_EXT uint8_t cmp : 2, DV_EXT uint8_t ss : 2)
} dv_aaux_asc_pc1_t;

typedef struct dv_aaux_asc_pc2_s {
  DV_BITFIELDS_4(DV_EXT uint8_t rec_st : 1, DV_EXT uint8_t rec_end : 1,
                 DV_EXT uint8_t rec_mode : 3, DV_EXT uint8_t insert_ch : 3)
} dv_aaux_asc_pc2_t;

typedef struct dv_aaux_asc_pc3_s {
  DV_BITFIELDS_2(DV_EXT uint8_t drf : 1, DV_EXT uint8_t speed : 7)
} dv_aaux_asc_pc3_t;

typedef struct dv_aaux_asc_pc4_s {
  DV_BITFIELDS_2(DV_EXT uint8_t : 1, DV_EXT uint8_t genre_category : 7)
} dv_aaux_asc_pc4_t;

/* AAUX source control pack (ID 0x51): copy generation, recording and
 * playback speed. */
typedef struct dv_aaux_asc_s {
  uint8_t pc0;
  dv_aaux_asc_pc1_t pc1;
  dv_aaux_asc_pc2_t pc2;
  dv_aaux_asc_pc3_t pc3;
  dv_aaux_asc_pc4_t pc4;
} dv_aaux_asc_t;

#undef DV_BITFIELDS_2
#undef DV_BITFIELDS_3
#undef DV_BITFIELDS_4
#undef DV_EXT

/* ------------------------------------------------------------------------ */
/* Video records                                                            */
/* ------------------------------------------------------------------------ */

typedef int16_t dv_coeff_t;     /* a coefficient or a sample */
typedef int32_t dv_248_coeff_t; /* intermediate 2-4-8 inverse transform value */

/* One 8x8 block. After parsing, coeffs[0] is the DC value and the AC values
 * stand at their coefficient index (8 x vertical + horizontal; in 2-4-8
 * mode sums at 0..31 and differences at 32..63); after the inverse
 * transform, 64 samples row by row. */
typedef struct dv_block_s {
  dv_coeff_t coeffs[64];
  int dct_mode;             /* 0: 8x8 DCT, 1: 2-4-8 DCT */
  int class_no;             /* 0..3 */
  int8_t *reorder;          /* next scan entry while parsing */
  int8_t *reorder_sentinel; /* one past the block's last scan entry */
  int offset;               /* next unparsed AC bit in the segment buffer */
  int end;                  /* where the block's own area ends */
  int eob;                  /* 1 once the end-of-block code was read */
  int mark;                 /* taking part in a spilled-code search */
} dv_block_t;

typedef struct dv_macroblock_s {
  int i, j, k;     /* super-block row and column, macroblock in the super block */
  int x, y;        /* picture position of the top-left luminance sample */
  dv_block_t b[6]; /* Y0, Y1, Y2, Y3, Cr, Cb */
  int qno;         /* quantisation number 0..15 */
  int sta;         /* status nibble, not interpreted */
  int vlc_error;   /* an invalid code was met */
  int eob_count;   /* blocks whose end-of-block code was read */
} dv_macroblock_t;

/* Five macroblocks compressed together into five video DIF blocks. */
typedef struct dv_videosegment_s {
  int i;          /* DIF sequence */
  int k;          /* segment number in the sequence, 0..26 */
  bitstream_t *bs; /* reader over the segment's 400 bytes, not owned */
  dv_macroblock_t mb[5];
  int isPAL;      /* 1 for 625/50 */
} dv_videosegment_t;

typedef struct dv_dif_sequence_s {
  dv_videosegment_t seg[27];
} dv_dif_sequence_t;

typedef struct dv_frame_s {
  int placement_done;
  dv_dif_sequence_t ds[12];
} dv_frame_t;

/* ------------------------------------------------------------------------ */
/* Decoder records                                                          */
/* ------------------------------------------------------------------------ */

typedef struct dv_decoder_s dv_decoder_t;

/* Audio state of a decoder: the current frame's AAUX packs and what they
 * say, plus the audio options. */
typedef struct dv_audio_s {
  dv_aaux_as_t aaux_as;
  dv_aaux_asc_t aaux_asc;
  int samples_this_frame; /* per channel; -1 for an unsupported rate */
  int quantization;       /* bits per sample: 12 or 16 */
  int max_samples;        /* sample slots per channel in the frame */
  int frequency;          /* Hz */
  int num_channels;
  int emphasis; /* 1: samples carry 50/15 us pre-emphasis */
  int arg_audio_emphasis;     /* option: 0 pack, 1 on, 2 off */
  int arg_audio_frequency;    /* option: 0 pack, 1 32 kHz, 2 44.1, 3 48 */
  int arg_audio_quantization; /* option: 0 pack, 1 12 bits, 2 16 bits */
  int correction_method;
  int block_failure;
  int sample_failure;
  int real_samples_this_frame;
  int fail_samples_this_frame;
  FILE *error_log; /* may be null */
  dv_decoder_t *dv_decoder;
  struct poptOption option_table[5];
} dv_audio_t;

/* Video settings of a decoder. */
typedef struct dv_video_s {
  uint32_t quality;      /* flags derived from the options by the callback */
  int arg_block_quality; /* option "quality": 1, 2 or 3 */
  int arg_monochrome;    /* option "monochrome" */
  FILE *error_log;       /* may be null */
  dv_decoder_t *dv_decoder;
  struct poptOption option_table[4];
} dv_video_t;

/* Quality flags of dv_decoder_t.quality and dv_video_t.quality. */
enum {
  DV_QUALITY_COLOR = 1,   /* decode the two colour blocks */
  DV_QUALITY_AC_1 = 2,    /* AC coefficients, single pass */
  DV_QUALITY_AC_2 = 4,    /* AC coefficients, spilled codes recovered */
  DV_QUALITY_DC = 0,      /* DC coefficients only */
  DV_QUALITY_BEST = DV_QUALITY_COLOR | DV_QUALITY_AC_2,
  DV_QUALITY_FASTEST = DV_QUALITY_DC
};

enum { DV_PACK_SLOTS = 45 }; /* packs one store holds */

struct dv_decoder_s {
  uint32_t quality; /* flags used by frame decoding; the caller sets it */
  dv_system_t system;
  dv_std_t std;
  dv_sample_t sampling;
  int num_dif_seqs;
  int height;
  int width;
  uint32_t frame_size;
  dv_header_t header;
  dv_audio_t *audio;
  dv_video_t *video;
  int arg_video_system; /* 0 auto, 1 525/60 4:1:1, 2 625/50 4:2:0,
                           3 625/50 4:1:1 */
  int add_ntsc_setup;
  int clamp_luma;
  int clamp_chroma;
  int prev_frame_decoded;
  /* VAUX packs of the last parsed frame: the slot of each pack ID (0xff:
   * absent) and the four data bytes of each stored pack. */
  uint8_t vaux_next;
  uint8_t vaux_pack[256];
  uint8_t vaux_data[DV_PACK_SLOTS][4];
  /* Subcode packs of the last frame given to dv_parse_packs. */
  uint8_t ssyb_next;
  uint8_t ssyb_pack[256];
  uint8_t ssyb_data[DV_PACK_SLOTS][4];
  struct poptOption option_table[6];
};

/* ------------------------------------------------------------------------ */
/* Decoder object, options and initialisation                               */
/* ------------------------------------------------------------------------ */

/* Creates a decoder; null when memory runs out. The first one builds the
 * library's shared tables. Its frames are written with its own clamp
 * settings (the fields clamp_luma and clamp_chroma: 1 clamps luma to
 * 16..235 and chroma to 16..240). */
dv_decoder_t *dv_decoder_new(int add_ntsc_setup, int clamp_luma,
                             int clamp_chroma);
void dv_decoder_free(dv_decoder_t *decoder);
/* Builds the shared tables once per process; safe to call from several
 * threads at once. Later calls change nothing (see dv_reconfigure). */
void dv_init(int clamp_luma, int clamp_chroma);
/* Chooses the clamp settings of the macroblock writers (dv_mb411_YUY2 and
 * the others), which take no decoder. Whole-frame decoding follows each
 * decoder's own clamp_luma and clamp_chroma. */
void dv_reconfigure(int clamp_luma, int clamp_chroma);
/* Sets where video and audio damage reports go (null silences them) and
 * returns the previous audio log. */
FILE *dv_set_error_log(dv_decoder_t *dv, FILE *log);
dv_video_t *dv_video_new(void);
/* Prints the usage of opt[num] to standard error and puts the library's own
 * option back to its default, so that decoding goes on with it. */
void dv_opt_usage(poptContext con, struct poptOption *opt, int num);
void dv_decoder_popt_callback(poptContext con, enum poptCallbackReason reason,
                              const struct poptOption *opt, const char *arg,
                              const void *data);
void dv_video_popt_callback(poptContext con, enum poptCallbackReason reason,
                            const struct poptOption *opt, const char *arg,
                            const void *data);
extern int dv_use_mmx; /* always 0 */

/* The builders of the shared tables, by their traditional names: each
 * makes sure the tables exist (dv_init builds them all, once). */
void _dv_weight_init(void);
void _dv_dct_init(void);
void dv_dct_248_init(void);
void dv_construct_vlc_table(void);
void dv_parse_init(void);
void dv_place_init(void);
void dv_quant_init(void);

/* ------------------------------------------------------------------------ */
/* Header and pack parsing                                                  */
/* ------------------------------------------------------------------------ */

/* Parses the header block of the frame at buffer, collects its VAUX packs
 * and reads its audio header. buffer must hold at least the first 5608
 * bytes of the frame. Returns -1 when it is not a DV frame; otherwise 0 when
 * the system is unchanged, 1 when automatic detection switched to 625/50,
 * 2 when it switched to 525/60. */
int dv_parse_header(dv_decoder_t *dv, const uint8_t *buffer);
/* Reads a DIF block identifier at the reader's position; returns 0. */
int dv_parse_id(bitstream_t *bs, dv_id_t *id);
/* Collects the subcode packs (time code, recording date and time) of the
 * frame at buffer, which must hold at least 72240 bytes. */
void dv_parse_packs(dv_decoder_t *dv, const uint8_t *buffer);

/* ------------------------------------------------------------------------ */
/* Variable-length codes of AC coefficients                                 */
/* ------------------------------------------------------------------------ */

/* One decoded code: a run of zero coefficients and an amplitude. */
typedef struct dv_vlc_s {
  int8_t run;  /* -1: end of block, incomplete or invalid code */
  int8_t len;  /* bits, sign included; -1 incomplete, -2 invalid */
  int16_t amp; /* signed; 0 for the end of block */
} dv_vlc_t;
typedef const dv_vlc_t dv_vlc_tab_t;

/* One row of the standard's code table: run zeros and one amplitude (amp 0:
 * zeros only; run -1: end of block), code bits without the sign bit. */
typedef struct dv_vlc_encode_s {
  int8_t run;
  int8_t amp;
  uint16_t val;
  uint8_t len;
} dv_vlc_encode_t;

/* The 89 codes of the AC coefficient table, by length; canonical codes. */
extern const dv_vlc_encode_t dv_vlc_test_table[89];

/* Decoding tables by code class (1..5; 0 when too few bits remain). */
extern dv_vlc_tab_t dv_vlc_broken[1];
extern dv_vlc_tab_t dv_vlc_lookup1[32];
extern dv_vlc_tab_t dv_vlc_lookup2[128];
extern dv_vlc_tab_t dv_vlc_lookup3[64];
extern dv_vlc_t dv_vlc_lookup4[64];
extern dv_vlc_t dv_vlc_lookup5[256];
extern dv_vlc_tab_t *dv_vlc_lookups[6];
extern const int dv_vlc_index_mask[6];
extern const int dv_vlc_index_rshift[6];
extern const int8_t dv_vlc_class_broken[1];
extern const int8_t dv_vlc_class_lookup1[1];
extern const int8_t dv_vlc_class_lookup2[4];
extern const int8_t dv_vlc_class_lookup3[128];
extern const int8_t dv_vlc_class_lookup4[128];
extern const int8_t dv_vlc_class_lookup5[128];
extern const int8_t *dv_vlc_classes[64];
extern int dv_vlc_class_index_mask[64];
extern int dv_vlc_class_index_rshift[64];
extern const int sign_rshift[17];
/* Decoded codes of at most 7 bits by the top 7 bits of the window. */
extern dv_vlc_t dv_vlc_class1_shortcut[128];

/* Decodes the code at bit 15 of bits when maxbits (0..63) bits belong to
 * the block. */
void dv_decode_vlc(int bits, int maxbits, dv_vlc_t *result);
/* The same when 16 or more bits belong to the block. */
void __dv_decode_vlc(int bits, dv_vlc_t *result);

/* ------------------------------------------------------------------------ */
/* Video segment parsing                                                    */
/* ------------------------------------------------------------------------ */

/* Scan orders as byte offsets into a block's coeffs: row 0 for 8x8 blocks,
 * row 1 for 2-4-8 blocks. */
extern int8_t dv_reorder[2][64];
extern const int8_t dv_88_reorder_prime[64];
/* Bit ranges of the six block areas within a video DIF block: AC start and
 * area end (the DC field takes the 12 bits before the AC start). */
extern const int dv_parse_bit_start[6];
extern const int dv_parse_bit_end[6];
/* Super-block row offsets and columns of a segment's five macroblocks. */
extern const int dv_super_map_vertical[5];
extern const int dv_super_map_horizontal[5];

/* Parses the 400 bytes that seg->bs reads into the segment's five
 * macroblocks at the given quality flags; returns 0. */
int dv_parse_video_segment(dv_videosegment_t *seg, unsigned int quality);
/* One pass over a block's own area, the reader standing at bl->offset. */
void dv_parse_ac_coeffs_pass0(bitstream_t *bs, dv_macroblock_t *mb, dv_block_t *bl);
/* Recovers codes spilled into other blocks' areas; returns 0. */
int dv_parse_ac_coeffs(dv_videosegment_t *seg);

/* ------------------------------------------------------------------------ */
/* Reconstruction: dequantisation, weighting, inverse transforms, placement  */
/* ------------------------------------------------------------------------ */

/* Area (frequency band) of each coefficient, raster order; 255 at DC. */
extern const uint8_t dv_88_areas[64];
extern const uint8_t dv_248_areas[64];
/* Quantisation row offset by class, and log2 of the step by row and area. */
extern const uint8_t dv_quant_offset[4];
extern const uint8_t dv_quant_shifts[22][4];
/* 2-4-8 prescale times the step, by [class 3][row][coefficient]. */
extern uint32_t dv_quant_248_mul_tab[2][22][64];

/* The transforms below take blocks of 64 coefficients (dv_coeff_t, or
 * dv_248_coeff_t where so typed). */
/* Encoder: divides the AC coefficients of a block in scan order. */
void _dv_quant(dv_coeff_t *block, int qno, int klass);
/* Decoder: dequantises an 8x8 block (raster order) in place. */
void _dv_quant_88_inverse(dv_coeff_t *block, int qno, int klass);
/* Decoder: dequantises and prescales a 2-4-8 block into co (64 values)
 * for dv_idct_248; block is left unchanged. */
extern void (*_dv_quant_248_inverse)(dv_coeff_t *block, int qno, int klass,
                                     dv_248_coeff_t *co);
void quant_248_inverse_std(dv_coeff_t *block, int qno, int klass, dv_248_coeff_t *co);
void quant_248_inverse_mmx(dv_coeff_t *block, int qno, int klass, dv_248_coeff_t *co);

/* Integer inverse weights of 8x8 blocks; real inverse weights of 2-4-8
 * blocks; forward post-scales with the forward weights (17 fraction bits). */
extern int16_t dv_weight_inverse_88_matrix[64];
extern double dv_weight_inverse_248_matrix[64];
extern int16_t postSC88[64];
extern int16_t postSC248[64];

void _dv_weight_88_inverse(dv_coeff_t *block);
void _dv_weight_88(dv_coeff_t *block);          /* no-op: in postSC88 */
void _dv_weight_248(dv_coeff_t *block);         /* no-op: in postSC248 */
void _dv_weight_248_inverse(dv_coeff_t *block); /* no-op: in the prescale */

/* Forward 8x8 DCT in place (input transposed: column x, line y at 8x + y). */
void _dv_dct_88(dv_coeff_t *block);
/* Inverse 8x8 DCT in place: samples row by row, not saturated. */
void _dv_idct_88(dv_coeff_t *block);

/* Input scale of the 2-4-8 inverse (14 fraction bits, inverse weights in). */
extern dv_248_coeff_t dv_idct_248_prescale[64];
/* Inverse 2-4-8 DCT of x248 (destroyed) into 64 samples, not saturated. */
void dv_idct_248(dv_248_coeff_t *x248, dv_coeff_t *out);
/* Forward 2-4-8 DCT in place (input transposed). */
void _dv_dct_248(dv_coeff_t *block);

/* Sets mb's super block (i, j, k) and its picture position (x, y); mb is
 * the m-th macroblock of seg. */
void dv_place_macroblock(dv_decoder_t *dv, dv_videosegment_t *seg, dv_macroblock_t *mb,
                         int m);
void dv_place_video_segment(dv_decoder_t *dv, dv_videosegment_t *seg);
/* Places every segment of the frame's records (10 or 12 sequences). */
void dv_place_frame(dv_decoder_t *dv, dv_frame_t *frame);

/* ------------------------------------------------------------------------ */
/* Pixel output of reconstructed macroblocks                                */
/* ------------------------------------------------------------------------ */

/* Choose the clamp settings of these writers (dv_init chooses the first
 * caller's, dv_reconfigure another). */
void dv_YUY2_init(int clamp_luma, int clamp_chroma);
void dv_YV12_init(int clamp_luma, int clamp_chroma);
void dv_rgb_init(int clamp_luma, int clamp_chroma);

/* Writers of one placed macroblock into pixels[0], whose lines are
 * pitches[0] bytes apart: YUY2 (2 bytes a pixel), RGB (3) or BGR0 (4). The
 * 4:1:1 writers take 32x8 macroblocks, the right-edge ones the 16x16
 * macroblocks at x >= 704 of 4:1:1 pictures, the 4:2:0 ones 16x16
 * macroblocks. add_ntsc_setup 1 adds the 7.5 IRE set-up. The buffer must
 * hold the macroblock's whole area at (x, y). */
void dv_mb411_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup);
void dv_mb411_right_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                         int add_ntsc_setup);
void dv_mb420_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches);
void dv_mb411_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup);
void dv_mb411_right_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                        int add_ntsc_setup);
void dv_mb420_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches);
void dv_mb411_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup);
void dv_mb411_right_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                         int add_ntsc_setup);
void dv_mb420_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches);
/* A 4:2:0 macroblock into YV12 planes: pixels[0] luma, pixels[1] Cr (V),
 * pixels[2] Cb (U) at half width and height; 16-bit pitches. Each plane
 * must hold the macroblock's area at (x, y), (x/2, y/2) in the chroma. */
void dv_mb420_YV12(dv_macroblock_t *mb, uint8_t **pixels, uint16_t *pitches);

/* ------------------------------------------------------------------------ */
/* Frame decoding                                                           */
/* ------------------------------------------------------------------------ */

/* Held by dv_decode_full_frame for the whole frame: it decodes through one
 * process-wide segment record. */
extern pthread_mutex_t dv_mutex;

/* Decodes the video of the frame at buffer (dv->frame_size bytes, its
 * header parsed into dv) at dv->quality into pixels[0], whose lines are
 * pitches[0] bytes apart. The buffer must hold dv->height lines of
 * dv->width pixels: 2 bytes a pixel for e_dv_color_yuv, 3 for
 * e_dv_color_rgb, 4 for e_dv_color_bgr0; that is (dv->height - 1) *
 * pitches[0] + dv->width * bytes a pixel bytes, with pitches[0] at least
 * dv->width * bytes a pixel. Any other color_space parses the frame and
 * writes nothing. */
void dv_decode_full_frame(dv_decoder_t *dv, const uint8_t *buffer, dv_color_space_t color_space,
                          uint8_t **pixels, int *pitches);
/* Reconstructs the blocks of a parsed segment (colour blocks only with the
 * colour flag of quality). */
void dv_decode_video_segment(dv_decoder_t *dv, dv_videosegment_t *seg, unsigned int quality);
/* Write the five placed macroblocks of a reconstructed segment; pixels and
 * pitches as for dv_decode_full_frame. */
void dv_render_video_segment_yuv(dv_decoder_t *dv, dv_videosegment_t *seg, uint8_t **pixels,
                                 int *pitches);
void dv_render_video_segment_rgb(dv_decoder_t *dv, dv_videosegment_t *seg, uint8_t **pixels,
                                 int *pitches);
void dv_render_video_segment_bgr0(dv_decoder_t *dv, dv_videosegment_t *seg, uint8_t **pixels,
                                  int *pitches);
/* Widens the per-block-position ranges of coefficients seen (diagnostic). */
void dv_check_coeff_ranges(dv_macroblock_t *mb);
/* Writes a "ver" line to the video error log for every video block of the
 * frame at data (dv->frame_size bytes) whose status nibble is not 0. */
void dv_report_video_error(dv_decoder_t *dv, uint8_t *data);

/* ------------------------------------------------------------------------ */
/* Frame metadata                                                           */
/* ------------------------------------------------------------------------ */

/* Copies the four data bytes of VAUX pack pack_id to data (4 bytes) and
 * returns 0; -1 when the frame has no such pack. */
int dv_get_vaux_pack(dv_decoder_t *dv, uint8_t pack_id, uint8_t *data);
/* Flag queries: 1 or 0, or -1 when the pack they read is absent. */
int dv_frame_is_color(dv_decoder_t *dv);
int dv_system_50_fields(dv_decoder_t *dv);
int dv_format_normal(dv_decoder_t *dv);
int dv_format_wide(dv_decoder_t *dv);
int dv_frame_changed(dv_decoder_t *dv);
/* Writes the time code as "hh:mm:ss.ff" to tstptr (at least 12 bytes).
 * Returns 1, or 0 with "00:00:00.00" when the time code pack is absent. */
int dv_get_timestamp(dv_decoder_t *dv, char *tstptr);
/* Writes hours, minutes, seconds and frame to timestamp[0..3]; returns 1,
 * or 0 when the time code pack is absent. */
int dv_get_timestamp_int(dv_decoder_t *dv, int *timestamp);
/* Writes "yyyy-mm-dd hh:mm:ss" to dtptr (at least 20 bytes). Returns 1, or
 * 0 with "0000-00-00 00:00:00" when the date or time pack is absent. */
int dv_get_recording_datetime(dv_decoder_t *dv, char *dtptr);
/* Fills rec_dt through mktime; 1 on success. */
int dv_get_recording_datetime_tm(dv_decoder_t *dv, struct tm *rec_dt);

/* ------------------------------------------------------------------------ */
/* Audio header                                                             */
/* ------------------------------------------------------------------------ */

dv_audio_t *dv_audio_new(void);
/* Sets the audio concealment method; returns the previous one. */
int dv_set_audio_correction(dv_decoder_t *dv, int method);
/* Reads the AAUX packs of the frame at inbuf (at least 5608 bytes). Returns
 * 1 when the frame's audio may be decoded, else 0. */
int dv_parse_audio_header(dv_decoder_t *decoder, const uint8_t *inbuf);
/* Recomputes samples_this_frame from the frame's source pack (inbuf at
 * least 4328 bytes); 1 when the pack is there, else 0. */
int dv_update_num_samples(dv_audio_t *dv_audio, const uint8_t *inbuf);
/* Prints the source pack of the audio DIF block at buffer (80 bytes). */
void dv_dump_aaux_as(void *buffer, int ds, int audio_dif);

/* ------------------------------------------------------------------------ */
/* Audio decoding                                                           */
/* ------------------------------------------------------------------------ */

/* Position of the first sample of each audio block in its channel, by
 * [DIF sequence within its half of the frame][audio block]; the block's
 * sample i follows at 45 (525/60) or 54 (625/50) positions a step. */
extern const int dv_audio_unshuffle_60[5][9];
extern const int dv_audio_unshuffle_50[6][9];

/* Decodes the audio of the frame at buffer (dv->frame_size bytes, header
 * parsed) into 16-bit channel buffers: 2 for 16-bit audio, 4 for 12-bit
 * (two stereo pairs), each of dv->audio->max_samples samples at least
 * (at most 1944). Returns 1 and dv->audio->samples_this_frame samples per
 * channel, or 0 when the frame's audio cannot be decoded. */
int dv_decode_full_audio(dv_decoder_t *dv, const uint8_t *buffer, int16_t **outbufs);
/* Decodes audio block audio_dif (0..8) of DIF sequence ds at inbuf (80
 * bytes) into outbufs, channel buffers as for dv_decode_full_audio (no
 * sample is stored at or beyond dv_audio->max_samples); 0, or -1 for an
 * unsupported quantisation or block number. */
int dv_decode_audio_block(dv_audio_t *dv_audio, const uint8_t *inbuf, int ds, int audio_dif,
                          int16_t **outbufs);
/* Audio blocks of the last decoded frame that failed completely. */
int dv_frame_has_audio_errors(dv_decoder_t *dv);
/* Conceals the samples of failed blocks (-32768) in the first num_channels
 * buffers by the decoder's correction method: 1 drops, 2 interpolates.
 * Reads and writes the first samples_this_frame samples of each buffer
 * (never more than max_samples). */
void dv_audio_correct_errors(dv_audio_t *dv_audio, int16_t **outbufs);
/* Removes 50/15 us pre-emphasis from the frame's samples of one buffer:
 * its first samples_this_frame samples (never more than max_samples). */
void dv_audio_deemphasis(dv_audio_t *audio, int16_t *outbuf);

/* ------------------------------------------------------------------------ */
/* Encoder                                                                  */
/* ------------------------------------------------------------------------ */

/* The encoder: its settings, the frame counter and three sample planes that
 * hold one picture (each sample 2 x (8-bit value - 128), lines of 720 luma
 * or 360 chroma samples, 576 lines of which the 525-line system uses 480).
 * The settings are plain fields the caller writes between frames. */
typedef struct dv_encoder_s {
  int isPAL;              /* 0: 525/60; non-zero: 625/50 */
  int is16x9;             /* wide-screen aspect for the metadata */
  int vlc_encode_passes;  /* 1 own area, 2 macroblock, 3 segment spilling */
  int static_qno;         /* 0 searched; 1, 2 a row of the static table */
  int force_dct;          /* -1 chosen per block, 0 8x8, 1 2-4-8 */
  int rem_ntsc_setup;     /* 1: remove the 525-line set-up from luma */
  int clamp_luma;         /* 1: limit luma to the nominal range */
  int clamp_chroma;       /* 1: limit chroma to the nominal range */
  int frame_count;        /* frames encoded so far */
  int samples_this_frame; /* audio samples per channel; 0 derived */
  int16_t *img_y;         /* 720 x 576 samples, owned */
  int16_t *img_cr;        /* 360 x 576 samples, owned */
  int16_t *img_cb;        /* 360 x 576 samples, owned */
} dv_encoder_t;

/* Creates an encoder with zero-filled planes and every other setting 0;
 * null when memory runs out. The first encoder or decoder builds the
 * library's shared tables. */
dv_encoder_t *dv_encoder_new(int rem_ntsc_setup, int clamp_luma, int clamp_chroma);
/* Releases the encoder and its planes; null does nothing. */
void dv_encoder_free(dv_encoder_t *encoder);

/* A code entry: the code bits right-aligned in bits 8..31, their number in
 * bits 0..7. 0 is the empty entry; DV_VLC_EOB the end of block (0110). */
typedef uint32_t dv_vlc_entry_t;
enum { DV_VLC_EOB = 0x604 };

/* The code entries of one block of the segment being encoded, and where
 * they are being written. */
typedef struct dv_vlc_block_s {
  dv_vlc_entry_t coeffs[128];   /* two per non-zero AC value, then the end */
  dv_vlc_entry_t *coeffs_end;   /* one past the last entry */
  dv_vlc_entry_t *coeffs_start; /* the next entry still to be written */
  uint32_t coeffs_bits;         /* bits of all entries, end of block included */
  int32_t bit_offset;           /* next write position in the segment, in bits */
  int32_t bit_budget;           /* bits still free where the block writes */
  int can_supply;               /* 1: all entries written, free bits lendable */
} dv_vlc_block_t;

/* The code table's rows by (run + 1) x 32 + amplitude, run -1..14 and
 * amplitude 0..31; null where the table has no row. */
extern const dv_vlc_encode_t *vlc_test_lookup[512];
/* Code pairs by (amp + 255) | run << 9 for run 0..63 and amp -255..255:
 * entries 2 x index and 2 x index + 1 code run zero coefficients and then
 * one of value amp (the first entry is empty when one code does it). */
extern dv_vlc_entry_t vlc_encode_lookup[65536];
/* Bits of each pair, same index. */
extern uint8_t vlc_num_bits_lookup[32768];
/* Byte offset (2 x scan position) of each coefficient of a transformed
 * block, raster order, for the 8x8 and the 2-4-8 mode. */
extern const uint16_t reorder_88[64];
extern const uint16_t reorder_248[64];

/* The builders of the encoder's tables: each makes sure they exist
 * (dv_init builds them all, once). */
void _dv_init_vlc_test_lookup(void);
void _dv_init_vlc_encode_lookup(void);
void _dv_init_qno_start(void);
void _dv_prepare_reorder_tables(void);

/* Bits of the AC codes of a block of 64 coefficients in scan order, end of
 * block not counted. Values beyond -255..255 count as those limits. */
unsigned long _dv_vlc_num_bits_block(dv_coeff_t *coeffs);

/* Encodes the picture in[0] into the frame at out (144000 bytes for
 * 625/50, 120000 for 525/60, all written): YUY2 (color_space
 * e_dv_color_yuv, 2 bytes a pixel) or RGB (e_dv_color_rgb, 3 bytes a
 * pixel), 720 pixels a line, 576 or 480 lines by dv_enc->isPAL, lines
 * packed: in[0] holds at least 720 x lines x (2 or 3) bytes (YUY2 829440
 * for 625/50, 691200 for 525/60; RGB 1244160 or 1036800), all read, none
 * written. Settings out of range are set to the defaults first (3 passes,
 * searched quantisers, DCT mode per block). The frame gets its header,
 * subcode and VAUX blocks with the recording time of now and the frame
 * number dv_enc->frame_count, which then counts up (from INT_MAX to 0);
 * its audio blocks are left empty. Returns 0, or -1 with a message for
 * another colour space or a null picture or frame (nothing encoded). */
int dv_encode_full_frame(dv_encoder_t *dv_enc, uint8_t **in, dv_color_space_t color_space,
                         uint8_t *out);
/* Encodes video segment (videoseg->i, videoseg->k, videoseg->isPAL set) of
 * the picture in the encoder's planes into the five video DIF blocks at
 * vsbuffer (400 bytes, zeroed before: codes are written by OR). Returns 0,
 * or -1 with a message (nothing written) when dv_enc->vlc_encode_passes is
 * not 1, 2 or 3; static_qno and force_dct out of range are set to their
 * defaults first, as dv_encode_full_frame does. */
int dv_encode_videosegment(dv_encoder_t *dv_enc, dv_videosegment_t *videoseg, uint8_t *vsbuffer);

/* ------------------------------------------------------------------------ */
/* Encoder input: pictures                                                  */
/* ------------------------------------------------------------------------ */

/* A picture source for the encode loop. load reads one picture (file
 * name, "-" for standard input) and says its system (1: 576 lines, 0:
 * 480); skip passes over one; fill_macroblock fills the six blocks of a
 * placed macroblock from the last picture loaded and sets their DCT
 * modes (mb's six blocks written, the picture read only inside its
 * 720 x 576 or 720 x 480 samples). init takes wrong_interlace (non-zero: every line moved up by
 * one, swapping the field order) and force_dct (-1 chosen per block, 0 8x8, 1 2-4-8; other values
 * are refused with -1). */
typedef struct dv_enc_input_filter_s {
  int (*init)(int wrong_interlace, int force_dct);
  void (*finish)(void);
  int (*load)(const char *filename, int *isPAL);
  int (*skip)(const char *filename, int *isPAL);
  void (*fill_macroblock)(dv_macroblock_t *mb, int isPAL);
  const char *filter_name;
} dv_enc_input_filter_t;

/* Adds a filter to the registry (32 records, the last always empty: 31
 * filters at most, "ppm" and "pgm" among them). Returns 0, or -1 with a
 * message when the registry is full or the record lacks a name or an
 * operation (nothing changes). */
int dv_enc_register_input_filter(dv_enc_input_filter_t filter);
/* The registry and the number of filters in it; returns 0. */
int dv_enc_get_input_filters(dv_enc_input_filter_t **filters_, int *count);
/* RGB pixels (3 bytes each, 720 a line, height lines: 2160 x height bytes
 * read) to the encoder's planes: img_y 720 x height samples, img_cr and
 * img_cb 360 x height each, all written. height is at most 576 for an
 * encoder's own planes; 0 or less does nothing. */
void dv_enc_rgb_to_ycb(uint8_t *img_rgb, int height, int16_t *img_y, int16_t *img_cr,
                       int16_t *img_cb);
/* Fills a placed macroblock (x, y set) from the encoder's planes and sets
 * its blocks' DCT modes by dv_enc->force_dct. */
void _dv_ycb_fill_macroblock(dv_encoder_t *dv_enc, dv_macroblock_t *mb);

/* ------------------------------------------------------------------------ */
/* Encoder input: sound                                                     */
/* ------------------------------------------------------------------------ */

enum { DV_ENC_AUDIO_DATA_SIZE = 15552 }; /* bytes of dv_enc_audio_info_t.data */

/* One frame's share of audio on its way into a DV frame. */
typedef struct dv_enc_audio_info_s {
  int channels;       /* interleaved channels */
  int frequency;      /* Hz */
  int bitspersample;  /* 16 */
  int bytespersecond; /* byte rate as the source declares it */
  int bytealignment;  /* bytes of one sample of every channel: 4 for stereo */
  int bytesperframe;  /* bytes of input in the current frame */
  /* The current frame's samples: 16-bit two's complement, most significant
   * byte first, channels interleaved (left, right, left, ...). */
  uint8_t data[DV_ENC_AUDIO_DATA_SIZE];
} dv_enc_audio_info_t;

/* A source of audio for the encoder. init opens filename and fills the
 * format fields (0, or negative on failure); finish closes the source; load
 * reads one frame's samples into data and sets bytesperframe (0; 1 when the
 * source ran short, data unchanged; negative on a fatal error). */
typedef struct dv_enc_audio_input_filter_s {
  int (*init)(const char *filename, dv_enc_audio_info_t *audio_info);
  void (*finish)(void);
  int (*load)(dv_enc_audio_info_t *audio_info, int isPAL);
  const char *filter_name;
} dv_enc_audio_input_filter_t;

/* Copies filter into the registry of audio input filters (built in: "wav",
 * which reads 16-bit PCM RIFF WAVE files: 48 or 44.1 kHz stereo, 32 kHz
 * stereo or four channels; its load n, counted from init, reads the samples
 * that frame n of the DV stream carries, as dv_calculate_samples counts
 * them, so that the sound keeps pace with the pictures). The registry holds 31 filters; when it is
 * full, or when the record lacks a name or an operation, nothing is registered, a message goes to
 * standard error and -1 is returned; else 0. */
int dv_enc_register_audio_input_filter(dv_enc_audio_input_filter_t filter);
/* Points *filters_ at the registry and sets *count to its filters; 0. */
int dv_enc_get_audio_input_filters(dv_enc_audio_input_filter_t **filters_, int *count);

/* ------------------------------------------------------------------------ */
/* Frame assembly                                                           */
/* ------------------------------------------------------------------------ */

/* Writes the header, subcode and VAUX blocks and the block identifiers of
 * every DIF sequence of the frame at target (120000 bytes when isPAL is 0,
 * else 144000), and clears the audio blocks; the payload of the video
 * blocks is kept. frame (from 0) gives the time code's frame digits, the
 * identifiers' frame count and the subcode sync block count (32 more for
 * each DIF sequence of the stream before: the bytes depend on frame, not
 * on what the process wrote before). *now (seconds since the epoch) is advanced by
 * one second first when frame is a multiple of the frame rate; its local
 * time gives the time code, recording date and recording time. When now is
 * null or its local time cannot be had, those three packs are left out. */
void _dv_write_meta_data(uint8_t *target, int frame, int isPAL, int is16x9, time_t *now);
/* Rewrites only the subcode and VAUX blocks of the frame at target (sizes
 * as above), advancing *datetime as _dv_write_meta_data does. Writes
 * nothing when the local time of *datetime cannot be had. */
void dv_encode_metadata(uint8_t *target, int isPAL, int is16x9, time_t *datetime, int frame);
/* Rewrites only the time code packs of the frame at target (sizes as
 * above) with a time code counted from frame 0. A negative frame writes
 * nothing. */
void dv_encode_timecode(uint8_t *target, int isPAL, int frame);

/* Inserts the audio of one frame into the audio blocks of the frame at
 * frame_buf (sizes as above) with its AAUX packs; the recording date and
 * time packs are copies of the frame's VAUX ones. audio must be two
 * channels of 16 bits at 48000, 44100 or 32000 Hz whose data holds every
 * sample position of the frame (1620 per channel for 525/60, 1944 for
 * 625/50) at bytealignment bytes a step; bytesperframe / bytealignment is
 * the frame's sample count, which must lie within what the AAUX source
 * pack can describe. Returns 0, or -1 with a message on standard error and
 * the frame untouched. */
int _dv_raw_insert_audio(uint8_t *frame_buf, dv_enc_audio_info_t *audio, int isPAL);

/* Where encoded frames go. init takes the stream (0, or -1); finish ends
 * the output; store completes one frame (120000 or 144000 bytes at
 * encoded_data): unless keep_meta_headers is set, its metadata and block
 * identifiers are written with the time now; audio_data, when not null, is
 * inserted; 0 when the frame was emitted, negative when not. */
typedef struct dv_enc_output_filter_s {
  int (*init)(FILE *fp);
  void (*finish)(void);
  int (*store)(uint8_t *encoded_data, dv_enc_audio_info_t *audio_data, int keep_meta_headers,
               int isPAL, int is16x9, time_t now);
  const char *filter_name;
} dv_enc_output_filter_t;

/* The stream of the built-in "raw" output filter, which writes frames back
 * to back; set by its init. The caller owns and closes it. */
extern FILE *out_fp;

/* Samples per channel that frame frame_count (from 0) of a stream at
 * frequency carries in the encoder's system (dv_enc->isPAL): 1920 at 48 kHz
 * in 625/50; in 525/60 1600 then four times 1602 at 48 kHz, and at 44.1 and
 * 32 kHz the count that brings the stream's total to the whole samples of
 * its length; so sound stays with the pictures over any length. 0 for a
 * rate DV does not carry.
 * Also stored in encoder->samples_this_frame. */
int dv_calculate_samples(dv_encoder_t *encoder, int frequency, int frame_count);
/* Inserts the frame's audio into the encoded frame at frame_buf (120000 or
 * 144000 bytes; its system is read from its header block and stored in
 * dv_enc->isPAL): channels (1 or 2; one channel goes to both) buffers of
 * host 16-bit samples at frequency, each holding 1620 (525/60) or 1944
 * (625/50) samples, all read whatever the frame carries, of which the
 * frame carries dv_enc->samples_this_frame (when not 0; else the rate's
 * share of a second). Returns 0, or -1 with a message (other channel
 * counts, null buffers, rates DV does not carry, 12-bit 32 kHz audio, a
 * sample count below 0, beyond the frame's places or outside what its
 * AAUX source pack can say); then the frame is unchanged. */
int dv_encode_full_audio(dv_encoder_t *dv_enc, int16_t **pcm, int channels, int frequency,
                         uint8_t *frame_buf);

/* Copies filter into the registry of output filters (built in: "raw"). The
 * registry holds 31 filters; when it is full, or when the record lacks a
 * name or an operation, nothing is registered, a message goes to standard
 * error and -1 is returned; else 0. */
int dv_enc_register_output_filter(dv_enc_output_filter_t filter);
/* Points *filters_ at the registry and sets *count to its filters; 0. */
int dv_enc_get_output_filters(dv_enc_output_filter_t **filters_, int *count);

/* ------------------------------------------------------------------------ */
/* Encode loop                                                              */
/* ------------------------------------------------------------------------ */

/* Encodes the pictures start to end (inclusive) of a numbered series into
 * DV frames. filename is a printf pattern given the picture number (int),
 * for instance "pic%04d.ppm": it must hold exactly one conversion, of an
 * int (d, i, o, u, x or X, with flags, a width and a precision in digits
 * only), besides any "%%", and make names of at most 1023 bytes; other
 * patterns are refused with a message before anything is read. "-" reads
 * the built-in filters' pictures from standard input. The caller has called input->init and
 * output->init and calls the finish operations afterwards; the loop calls audio_input->init with
 * audio_filename itself. audio_input may be null: frames get no sound and the output's store is
 * given a null audio record.
 *
 * Pictures before start are passed over with input->skip, and so is their
 * sound. Every frame from start on reads one frame of sound (the exact
 * share of its 1/25 or 1001/30000 s) and is stored with the time taken when
 * the loop began. fps (pictures a second; 0 or the system's rate, 25 or 30,
 * or more: every frame) thins the pictures evenly: a frame without a
 * picture of its own repeats the previous one, with fresh sound; the first
 * frame always gets its picture. vlc_encode_passes (1 to 3) and static_qno
 * (0 searched, 1 or 2 a static table row) go to the segment encoder.
 *
 * With verbose_mode the audio source's format, the number of pictures
 * skipped and "[n] " for each encoded frame or "_n_ " for each repeated one
 * go to standard error.
 *
 * Returns 0 when every frame was stored (also when start > end), or -1 at
 * the first failure of a filter (frames stored before stay stored) or for
 * settings that cannot work: no input or output filter or pattern, passes
 * outside 1..3, a negative fps, a pattern as above that is not one, a file
 * name longer than 1023 bytes. */
int dv_encoder_loop(dv_enc_input_filter_t *input, dv_enc_audio_input_filter_t *audio_input,
                    dv_enc_output_filter_t *output, int start, int end, const char *filename,
                    const char *audio_filename, int vlc_encode_passes, int static_qno,
                    int verbose_mode, int fps, int is16x9);

/* Prints to standard error the encoder's counters, summed over every frame
 * and segment encoded in this process by either path: search cycles, runs
 * of the first quantiser jump, macroblocks per quantiser number, blocks per
 * class, code lists cut to fit and blocks per DCT mode, a row per slot. */
void dv_show_statistics(void);

#ifdef __cplusplus
}
#endif

#endif /* TARSK_DV_H */
