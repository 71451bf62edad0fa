// The DIF layout of a DV frame, the one description both directions use.
//
// A frame is 10 (525/60) or 12 (625/50) DIF sequences of 150 blocks of 80
// bytes. Each sequence opens with a header block, two subcode blocks and
// three VAUX blocks; then nine times an audio block followed by fifteen
// video blocks. Five consecutive video blocks form a video segment: five
// macroblocks taken from five super blocks spread over the picture.
#pragma once

#include <tarsk/dv.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarsk::dif {

inline constexpr int block_size = 80;
inline constexpr int blocks_per_sequence = 150;
inline constexpr int sequence_size = block_size * blocks_per_sequence;  // 12000
inline constexpr int segments_per_sequence = 27;
inline constexpr int macroblocks_per_segment = 5;
inline constexpr int segment_size = macroblocks_per_segment * block_size;  // 400
inline constexpr int audio_blocks_per_sequence = 9;
inline constexpr int max_sequences = 12;

constexpr int sequences(bool fifty_fields) { return fifty_fields ? 12 : 10; }
constexpr size_t frame_size(bool fifty_fields) {
  return static_cast<size_t>(sequences(fifty_fields)) * sequence_size;
}

// Section types, the top three bits of a block's first ID byte.
enum class Section : uint8_t { header = 0, subcode = 1, vaux = 2, audio = 3, video = 4 };

// Block numbers within a sequence.
inline constexpr int header_block = 0;
constexpr int subcode_block(int n) { return 1 + n; }  // n = 0, 1
constexpr int vaux_block(int n) { return 3 + n; }     // n = 0, 1, 2
constexpr int audio_block(int a) { return 6 + 16 * a; }  // a = 0..8
// Macroblock m (0..4) of video segment k (0..26): after every third
// segment stands an audio block.
constexpr int video_block(int k, int m) { return 7 + 16 * (k / 3) + 5 * (k % 3) + m; }

constexpr size_t block_offset(int sequence, int block) {
  return static_cast<size_t>(sequence) * sequence_size + static_cast<size_t>(block) * block_size;
}
constexpr size_t segment_offset(int sequence, int k) {
  return block_offset(sequence, video_block(k, 0));
}
constexpr size_t audio_offset(int sequence, int a) { return block_offset(sequence, audio_block(a)); }

// Block identifiers: byte 0 holds the section type, a reserved bit (1) and
// a four-bit arbitrary field; byte 1 the sequence number, the channel flag
// (0) and three reserved bits (1); byte 2 the block's number in its section.
inline void write_id(uint8_t *block, Section section, int arbitrary, int sequence, int number) {
  block[0] = static_cast<uint8_t>((static_cast<int>(section) << 5) | 0x10 | (arbitrary & 0x0f));
  block[1] = static_cast<uint8_t>((sequence << 4) | 0x07);
  block[2] = static_cast<uint8_t>(number);
}
constexpr Section section_of(const uint8_t *block) { return static_cast<Section>(block[0] >> 5); }
constexpr int sequence_of(const uint8_t *block) { return block[1] >> 4; }

// Header block: byte 3 bit 7 is DSF (1 for 625/50); bit 6 must be 0.
inline constexpr uint8_t dsf_bit = 0x80;
inline constexpr uint8_t zero_bit = 0x40;
// Whether the block at `block` opens a DIF sequence as a header block must.
constexpr bool is_header_block(const uint8_t *block) {
  return section_of(block) == Section::header && (block[3] & zero_bit) == 0;
}
constexpr bool fifty_fields_of(const uint8_t *header) { return (header[3] & dsf_bit) != 0; }
// Header block byte 4 holds the track application ID (APT) in its low
// three bits; bytes 5 to 7 hold, for each of the three areas (audio,
// video, subcode), a transmitting flag (bit 7) and the area's application
// ID (AP1..AP3) in the low three bits. Consumer DV (IEC 61834) writes 0
// throughout, SMPTE 314M (DV25 of the DVCPRO kind) 1.
inline constexpr uint8_t application_iec_61834 = 0;
inline constexpr uint8_t application_smpte_314m = 1;
inline constexpr int apt_byte = 4;
inline constexpr int area_application_bytes[3] = {5, 6, 7};

// The chroma sampling of a stream: 625/50 carries 4:2:0 in IEC 61834 and
// 4:1:1 in SMPTE 314M; 525/60 carries 4:1:1 in both.
constexpr dv_sample_t sampling_of(bool fifty_fields, bool smpte_314m) {
  return fifty_fields && !smpte_314m ? e_dv_sample_420 : e_dv_sample_411;
}

// Packs: five bytes, an ID and four data bytes; ID 0xff marks an empty slot.
inline constexpr int pack_size = 5;
inline constexpr uint8_t no_pack = 0xff;
inline constexpr int subcode_packs_per_block = 6;
inline constexpr int vaux_packs_per_block = 15;
// A subcode block holds six sync blocks of 8 bytes from byte 3 on: two ID
// bytes, a parity byte and a pack.
constexpr int subcode_sync_offset(int n) { return 3 + 8 * n; }
constexpr int subcode_pack_offset(int n) { return subcode_sync_offset(n) + 3; }
constexpr int vaux_pack_offset(int n) { return 3 + pack_size * n; }
// Pack IDs.
namespace pack_id {
inline constexpr uint8_t timecode = 0x13;
inline constexpr uint8_t aaux_source = 0x50;
inline constexpr uint8_t aaux_source_control = 0x51;
inline constexpr uint8_t aaux_recording_date = 0x52;
inline constexpr uint8_t aaux_recording_time = 0x53;
inline constexpr uint8_t vaux_source = 0x60;
inline constexpr uint8_t vaux_source_control = 0x61;
inline constexpr uint8_t recording_date = 0x62;
inline constexpr uint8_t recording_time = 0x63;
// The consumer camera 1, consumer camera 2 and shutter packs.
inline constexpr uint8_t camera_1 = 0x70;
inline constexpr uint8_t camera_2 = 0x71;
inline constexpr uint8_t shutter = 0x7f;
}  // namespace pack_id
// PC1 of the time code pack: the frame number's tens in bits 4 and 5, and
// in 525/60 the drop-frame flag in bit 6 (in 625/50 that bit means
// something else).
inline constexpr uint8_t timecode_drop_frame_flag = 0x40;
// PC3 of the VAUX source control pack: bit 4 set for interlaced pictures,
// clear for progressive ones (whose 4:2:0 chroma lines then sit between
// neighbouring picture lines, not within a field).
inline constexpr uint8_t vaux_interlace_flag = 0x10;
inline constexpr int vaux_source_control_pc3 = 3;

// Subcode packs describing the frame stand in the second half of the
// frame, from this DIF sequence on in either system; the sync block IDs of
// those sequences carry this flag in their first byte.
inline constexpr int subcode_pack_sequence = 6;
inline constexpr uint8_t subcode_second_half_flag = 0x80;

// Subcode sync block IDs. The second byte's low nibble numbers the sync
// block within its track (0..11: six in each subcode block). The first
// byte's low nibble and the second byte's high nibble make a byte of the
// absolute track number: the tape's count of tracks (23 bits) above a
// blank flag (bit 0), a byte at a time, low byte first, in sync blocks
// number n with n mod 3 choosing the byte; each byte stands four times in
// a track. A DIF sequence is one track.
inline constexpr int subcode_syncs_per_track = 12;
constexpr int subcode_sync_number(const uint8_t *id) { return id[1] & 0x0f; }
constexpr int subcode_track_byte(const uint8_t *id) { return ((id[0] & 0x0f) << 4) | (id[1] >> 4); }
constexpr int subcode_track_byte_index(int sync_number) { return sync_number % 3; }
inline constexpr int absolute_track_shift = 1;  // above the blank flag

// An audio block: the AAUX pack, then the samples.
inline constexpr int aaux_pack_offset = 3;
inline constexpr int audio_data_offset = 8;
inline constexpr int audio_data_size = block_size - audio_data_offset;  // 72
// The frame's AAUX source pack (audio block 3 of sequence 0) and source
// control pack (audio block 4).
inline constexpr size_t aaux_as_offset = audio_offset(0, 3) + aaux_pack_offset;   // 4323
inline constexpr size_t aaux_asc_offset = audio_offset(0, 4) + aaux_pack_offset;  // 5603
// What header parsing reads: sequence 0 up to its AAUX source control pack.
inline constexpr size_t header_parse_size = aaux_asc_offset + pack_size;  // 5608

// Video blocks. Byte 3 holds STA (high nibble) and QNO; then six block
// areas: four luminance of 14 bytes, Cr and Cb of 10. Each area opens with
// 12 bits of DC (9), DCT mode (1) and class (2); the AC codes follow.
inline constexpr int qno_byte = 3;
inline constexpr int area_bytes[7] = {4, 18, 32, 46, 60, 70, 80};  // starts, then the end
inline constexpr int block_head_bits = 12;
constexpr int area_begin(int b) { return 8 * area_bytes[b]; }  // the DC bits
constexpr int ac_begin(int b) { return area_begin(b) + block_head_bits; }
constexpr int area_end(int b) { return 8 * area_bytes[b + 1]; }
inline constexpr int macroblock_bits = 8 * block_size;
// A video block whose status nibble (STA) reports an error or concealment.
constexpr bool video_block_flagged(const uint8_t *block) {
  return section_of(block) == Section::video && (block[qno_byte] >> 4) != 0;
}
inline constexpr int segment_bits = 8 * segment_size;

// The super blocks a segment's five macroblocks come from: rows offset
// from the sequence number (modulo the sequences) and columns.
inline constexpr int super_map_vertical[5] = {2, 6, 8, 0, 4};
inline constexpr int super_map_horizontal[5] = {2, 1, 3, 0, 4};

struct MacroblockAddress {
  int i, j, k;  // super block row, super block column, macroblock in the super block
};
constexpr MacroblockAddress macroblock_address(int sequence, int k, int m, int sequences) {
  return {(sequence + super_map_vertical[m]) % sequences, super_map_horizontal[m], k};
}

// The audio shuffle. A channel's samples of one frame are spread over the
// audio blocks of half the sequences (5 or 6): sample n of each cycle of
// 45 (525/60) or 54 (625/50) lies in sequence (n/3 + 2 (n mod 3)) mod half
// and block 3 (n mod 3) + n / (cycle/3); the block's i-th sample is
// position first + i * cycle, where first is the table entry of its
// sequence and block.
inline constexpr int audio_unshuffle_60[5][9] = {
    {0, 15, 30, 10, 25, 40, 5, 20, 35},  {3, 18, 33, 13, 28, 43, 8, 23, 38},
    {6, 21, 36, 1, 16, 31, 11, 26, 41},  {9, 24, 39, 4, 19, 34, 14, 29, 44},
    {12, 27, 42, 7, 22, 37, 2, 17, 32}};
inline constexpr int audio_unshuffle_50[6][9] = {
    {0, 18, 36, 13, 31, 49, 8, 26, 44},  {3, 21, 39, 16, 34, 52, 11, 29, 47},
    {6, 24, 42, 1, 19, 37, 14, 32, 50},  {9, 27, 45, 4, 22, 40, 17, 35, 53},
    {12, 30, 48, 7, 25, 43, 2, 20, 38},  {15, 33, 51, 10, 28, 46, 5, 23, 41}};

constexpr int audio_half(bool fifty_fields) { return fifty_fields ? 6 : 5; }
constexpr int audio_cycle(bool fifty_fields) { return fifty_fields ? 54 : 45; }

// Channel position of sample i of audio block a in sequence `row` of its
// half of the frame.
constexpr int audio_position(bool fifty_fields, int row, int a, int i) {
  const int first = fifty_fields ? audio_unshuffle_50[row][a] : audio_unshuffle_60[row][a];
  return first + i * audio_cycle(fifty_fields);
}

// Where a channel position lies: the other way round.
struct AudioSlot {
  int row;    // sequence within the half
  int block;  // audio block 0..8
  int index;  // sample within the block
};
constexpr AudioSlot audio_slot(bool fifty_fields, int position) {
  const int cycle = audio_cycle(fifty_fields);
  const int n = position % cycle;
  return {(n / 3 + 2 * (n % 3)) % audio_half(fifty_fields), 3 * (n % 3) + n / (cycle / 3),
          position / cycle};
}

}  // namespace tarsk::dif
