// What the encoder's modules share: bit budgets, the statistics of the
// quantiser search, code building and placement, classification and the
// quantiser searches.
#pragma once

#include <tarsk/dv.h>

#include <array>
#include <cstdint>
#include <ctime>

#include "common/dif.h"
#include "common/vlc.h"
#include "encode/fill.h"

namespace tarsk {

// The AC area of block b (0..5) in bits: 100 for luminance, 68 for chroma.
constexpr int block_area_bits(int b) { return dif::area_end(b) - dif::ac_begin(b); }
inline constexpr int eob_bits = 4;
inline constexpr int macroblock_area_bits = 4 * block_area_bits(0) + 2 * block_area_bits(4);
inline constexpr int segment_area_bits = dif::macroblocks_per_segment * macroblock_area_bits;
// What the search allows for the codes of a block, a macroblock or a
// segment: the areas less one end-of-block code per block.
constexpr int block_code_budget(int b) { return block_area_bits(b) - eob_bits; }
inline constexpr int macroblock_code_budget = macroblock_area_bits - 6 * eob_bits;
inline constexpr int segment_code_budget = segment_area_bits - 30 * eob_bits;
static_assert(macroblock_area_bits == 536 && segment_code_budget == 2560);

// Counts of what the quantiser search did. Every encode adds to a tally of
// its caller's; dv.h's entry points and tarsk.h's encoders add their tallies
// to the process-wide counters that dv_show_statistics prints. Threads that
// encode segments at once thus never share a counter, and the totals do not
// depend on how segments were spread over threads.
struct EncodeStats {
  long cycles_used[450];  // trials, failed trials or search iterations
  long runs_used[15];     // steps of the first jump down the quantiser list
  long classes_used[4];   // blocks per class
  long qnos_used[16];     // macroblocks per quantisation number
  long dct_used[2];       // blocks per DCT mode
  long vlc_overflows;     // code lists cut to fit

  EncodeStats &operator+=(const EncodeStats &other);
  bool operator==(const EncodeStats &) const = default;
};

// Code entries: bits 8..31 the code, bits 0..7 its length.
constexpr int entry_length(dv_vlc_entry_t e) { return static_cast<int>(e & 0xff); }
constexpr uint32_t entry_code(dv_vlc_entry_t e) { return e >> 8; }
constexpr dv_vlc_entry_t make_entry(uint32_t code, int length) {
  return (code << 8) | static_cast<uint32_t>(length);
}

// The code rules: a single entry for (run, amp) where one code does it,
// and the pair for `run` zeros followed by a value of magnitude amp (sign 1
// for negative). Used to fill the lookups.
dv_vlc_entry_t vlc_encode_r(int run, int amp, int sign);
void vlc_encode_orig(int run, int amp, int sign, dv_vlc_entry_t o[2]);

// Builds the encoder's run-time tables (the test lookup and the encode and
// bit-count lookups); called once by the library's set-up.
void vlc_encode_init();

// Puts a transformed block's coefficients into scan order.
void reorder_block(dv_block_t *bl);
// Builds the entry list of a block (scan order); returns its code bits
// without the end of block.
unsigned long vlc_encode_block(const dv_coeff_t *coeffs, dv_vlc_block_t *out);
// Trims the entry lists of num_blocks blocks to bit_budget bits in all.
void vlc_make_fit(dv_vlc_block_t *bl, int num_blocks, long bit_budget, EncodeStats &stats);
// Writes a block's entries into its own area (bit_offset, bit_budget).
void vlc_encode_block_pass_1(dv_vlc_block_t *bl, uint8_t *vsbuffer, int vlc_encode_passes);
// Spills what is left within a macroblock (current_pass 2: 6 blocks) or
// the segment (3: 30 blocks).
void vlc_encode_block_pass_n(dv_vlc_block_t *blocks, uint8_t *vsbuffer, int vlc_encode_passes,
                             int current_pass);
// Places the 30 code lists of a segment into its 400 zeroed bytes: each
// block into its own area, then the spill passes. Writes no DC, mode,
// class or qno.
void place_segment_codes(dv_vlc_block_t *vblocks, uint8_t *vsbuffer, int vlc_encode_passes);

// Activity level 0..3 of a block in scan order.
int classify(const dv_coeff_t *bl);
// Sets the classes of a macroblock's six blocks.
void do_classify(dv_macroblock_t *mb, int static_qno, EncodeStats &stats);

// The quantiser searches: choose each macroblock's qno, quantise, and fill
// the 30 code lists (macroblock m's block b at 6m + b).
void quant_1_pass(dv_videosegment_t *videoseg, dv_vlc_block_t *vblocks, int static_qno,
                  EncodeStats &stats);
void quant_2_passes(dv_videosegment_t *videoseg, dv_vlc_block_t *vblocks, int static_qno,
                    EncodeStats &stats);
void quant_3_passes(dv_videosegment_t *videoseg, dv_vlc_block_t *vblocks, int static_qno,
                    EncodeStats &stats);

// The high-quality search: each macroblock's qno and each block's class
// (and DCT mode, unless force_dct fixes it) chosen by rate and distortion
// for the whole segment from exactly transformed, rounded blocks; fills the
// 30 code lists for the segment-wide placement (three passes). The blocks
// come filled with samples, as the fill leaves them, at the stream's chroma
// `sampling`.
void quant_best(dv_videosegment_t *videoseg, dv_vlc_block_t *vblocks, int force_dct,
                dv_sample_t sampling, EncodeStats &stats);

// The encode loop's frame: the picture of an input filter into the video
// blocks of `target` (144000 bytes whatever the system, cleared first),
// segment by segment through the caller's segment record, adding to the
// caller's tally. No headers: the output filter writes them. `best` takes
// the high-quality search, force_dct its DCT mode setting. A pass count
// other than 1..3 is logged and replaced by the default, 3.
void encode(dv_enc_input_filter_t *input, int isPAL, unsigned char *target, int vlc_encode_passes,
            int static_qno, dv_videosegment_t *seg, EncodeStats &stats, bool best = false,
            int force_dct = -1);

// The picture in the encoder's planes into the video blocks of `out` (a
// whole frame of the encoder's system, cleared first): settings out of
// range become the defaults, then the 525-line set-up is removed and the
// planes clamped as the encoder asks, which changes the planes. No headers:
// the caller writes them with the recording time it chooses. `best` takes
// the high-quality search (quant_best) instead of the passes' search.
// `planes`, when given, are read instead of the encoder's own 4:2:2 ones,
// and their sampling is the stream's (without them, the system's own:
// 4:2:0 for 625/50, 4:1:1 for 525/60); the set-up removal and clamps still
// work on the encoder's planes: give those planes, or planes that need
// neither. Adds to the caller's tally.
void encode_planes(dv_encoder_t *enc, uint8_t *out, EncodeStats &stats, bool best = false,
                   const Planes *planes = nullptr);
// encode_planes in steps, for segments encoded on several threads: the
// frame's preparation (settings, set-up, clamps, `out` cleared), then each
// video segment n (0 .. frame_segments - 1, sequence by sequence) with a
// segment record of the caller's, in any order and on any thread, each
// adding to a tally of the caller's.
void begin_planes(dv_encoder_t *enc, uint8_t *out);
int frame_segments(const dv_encoder_t *enc);
void encode_planes_segment(dv_encoder_t *enc, uint8_t *out, int n, dv_videosegment_t *seg,
                           EncodeStats &stats, bool best = false, const Planes *planes = nullptr);
// dv_encode_videosegment and dv_encode_full_frame, adding to the caller's
// tally instead of the process-wide counters: the same results and frames.
int encode_videosegment(dv_encoder_t *dv_enc, dv_videosegment_t *videoseg, uint8_t *vsbuffer,
                        EncodeStats &stats);
int encode_full_frame(dv_encoder_t *dv_enc, uint8_t **in, dv_color_space_t color_space,
                      uint8_t *out, EncodeStats &stats);
// Everything of a frame around its video data (_dv_write_meta_data's
// work): header, subcode and VAUX blocks, and the identifiers of the video
// and audio blocks. `smpte_314m` gives the header the application IDs of
// SMPTE 314M instead of consumer DV's. `now`, when given, is the recording
// clock, run on by a second at the first frame of each second.
// `interlaced` false clears the VAUX source control packs' interlace flag.
void write_meta_data(uint8_t *target, int frame, bool pal, bool wide, bool smpte_314m, time_t *now,
                     bool interlaced = true);
// The recording clock as write_meta_data runs it on for frame `frame`: by
// a second at the first frame of each second, frame 0 included.
void advance_clock(time_t *now, int frame, bool pal);
// dv_encode_timecode's work: the time code of frame `frame` after
// 00:00:00:00 (none when negative) into the frame's subcode time code
// packs. `drop_frame` (525/60) counts it in drop-frame time code, the
// label leaving out frame numbers 00 and 01 of most minutes, and sets the
// pack's drop-frame flag.
void encode_timecode(uint8_t *target, bool pal, int frame, bool drop_frame);
// An encoder record (dv_encoder_new's) that leaves the process-wide
// choices of dv_init alone; null when memory could not be had.
dv_encoder_t *new_encoder(int rem_ntsc_setup, int clamp_luma, int clamp_chroma);
// Counts a frame made: frame_count runs on, from INT_MAX back to 0.
void count_frame(dv_encoder_t *enc);

// The quantiser start tables: for class k and qno q the index of the first
// entry of k's list at most q; for a set of classes (bit k for class k)
// the union of their lists, finest first, ending at 0.
extern const std::array<std::array<int, 16>, 4> qno_next_hit;
extern const std::array<std::array<int, 16>, 16> qnos_class_combi;

// The two-pass search's first jump for n bits at qno 15 (n > 512): how
// many halvings, the first qno tried and the increment after it.
struct TwoPassStart {
  int steps, qno, increment;
};
TwoPassStart two_pass_start(long n);
// The qno of row `row` (0, 1) of the static quantiser table for n bits.
int static_qno_lookup(int row, long n);

}  // namespace tarsk
