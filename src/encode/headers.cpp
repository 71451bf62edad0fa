// Frame assembly: everything of a DV frame around its video data. Each DIF
// sequence gets its header block, two subcode blocks (sync block IDs with a
// running counter; time code and recording date and time in the second
// half of the frame), three VAUX blocks (source, source control, recording
// date and time; camera packs in the first sequence), the identifiers of
// its video and audio blocks, and audio blocks cleared for audio insertion.
#include <tarsk/dv.h>

#include <array>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>

#include "common/bcd.h"
#include "common/dif.h"
#include "common/timecode.h"
#include "encode/encode.h"

namespace tarsk {
namespace {

using namespace dif;
using Pack = std::array<uint8_t, pack_size>;

// The subcode sync block counter: each DIF sequence of a stream takes the
// next multiple of 32, modulo 4096, counted from sequence 0 of frame 0. It
// follows from the frame number, so that a frame's bytes depend on its
// picture, settings and number alone: encoding it again, or on another
// thread, or after other encoders' frames, writes the same. Unsigned
// arithmetic wraps at a multiple of 4096, so masking gives the count for
// any frame number, negative ones included.
constexpr unsigned block_count_step = 32;
constexpr unsigned block_count_mask = 4095;

unsigned block_count(int frame, int ds, bool pal) {
  const unsigned sequence = static_cast<unsigned>(frame) * static_cast<unsigned>(sequences(pal)) +
                            static_cast<unsigned>(ds);
  return sequence * block_count_step & block_count_mask;
}

// Arbitrary bits of header, subcode and VAUX block IDs.
constexpr int no_frame_count = 0x0f;

// Header block: the track application ID (APT) under the reserved bits
// recorders write, then each of the three areas transmitted (TF 0) with
// its application ID under reserved ones. The IDs are 0 for consumer DV,
// 1 for SMPTE 314M.
constexpr uint8_t header_apt_reserved = 0x68;
constexpr uint8_t header_reserved_bits = 0x3f;
constexpr uint8_t header_area_reserved = 0x78;

constexpr Pack camera_packs[3] = {{pack_id::camera_1, 0xc5, 0x41, 0x20, 0xff},
                                  {pack_id::camera_2, 0xff, 0x7f, 0xff, 0xff},
                                  {pack_id::shutter, 0xff, 0xff, 0x38, 0x81}};

// v mod m in 0..m-1 for any v, negative frame numbers included.
constexpr int modulo(int v, int m) {
  const int r = v % m;
  return r < 0 ? r + m : r;
}

// Audio and video block IDs count frames modulo 12, from 11 at frame 0.
constexpr int frame_count_bits(int frame) { return modulo(modulo(frame, 12) + 11, 12); }

struct Timecode {
  int hours, minutes, seconds, frames;
  bool drop_frame = false;  // counted in drop-frame, flagged so (525/60)
};

std::optional<std::tm> local_time(const time_t *now) {
  std::tm tm{};
  if (now == nullptr || localtime_r(now, &tm) == nullptr) return std::nullopt;
  return tm;
}

uint8_t *block_at(uint8_t *sequence, int block) { return sequence + block * block_size; }

void put(uint8_t *at, const Pack &pack) { std::memcpy(at, pack.data(), pack.size()); }

void write_timecode_13(uint8_t *at, const Timecode &tc) {
  const auto frames =
      static_cast<uint8_t>(to_bcd(tc.frames) | (tc.drop_frame ? timecode_drop_frame_flag : 0));
  put(at, {pack_id::timecode, frames, to_bcd(tc.seconds), to_bcd(tc.minutes), to_bcd(tc.hours)});
}

void write_timecode_60(uint8_t *at, bool pal) {
  put(at, {pack_id::vaux_source, 0xff, 0xff, static_cast<uint8_t>(pal ? 0x20 : 0x00), 0xff});
}

// 0xCF carries display mode 7 (wide), 0xC8 mode 0; 0xFD sets the
// frame-changed flag and the interlace flag, which progressive pictures
// clear.
void write_timecode_61(uint8_t *at, bool wide, bool interlaced = true) {
  const uint8_t pc3 = interlaced ? 0xfd : 0xfd & ~dif::vaux_interlace_flag;
  put(at, {pack_id::vaux_source_control, 0x33, static_cast<uint8_t>(wide ? 0xcf : 0xc8), pc3, 0xff});
}

void write_timecode_62(uint8_t *at, const std::tm &t) {
  put(at, {pack_id::recording_date, 0xff, to_bcd(t.tm_mday), to_bcd(t.tm_mon + 1),
           to_bcd(modulo(t.tm_year, 100))});
}

void write_timecode_63(uint8_t *at, const std::tm &t) {
  put(at, {pack_id::recording_time, 0xff, to_bcd(t.tm_sec), to_bcd(t.tm_min), to_bcd(t.tm_hour)});
}

void write_header_block(uint8_t *sequence, int ds, bool pal, bool smpte_314m) {
  uint8_t *block = block_at(sequence, header_block);
  std::memset(block, 0xff, block_size);
  write_id(block, Section::header, no_frame_count, ds, 0);
  // The reserved bits after DSF and its zero bit are ones, as recorders
  // write them; players that recognise DV by them (ffmpeg) otherwise doubt
  // the stream.
  block[3] = static_cast<uint8_t>((pal ? dsf_bit : 0) | header_reserved_bits);
  const uint8_t application = smpte_314m ? application_smpte_314m : application_iec_61834;
  block[apt_byte] = header_apt_reserved | application;
  for (const int at : area_application_bytes) block[at] = header_area_reserved | application;
}

// Sync blocks 0 to 5 of a subcode block carry time code, recording date
// and recording time twice over.
void write_subcode_packs(uint8_t *block, const Timecode &tc, const std::tm &t) {
  for (int k = 0; k < subcode_packs_per_block; k += 3) {
    write_timecode_13(block + subcode_pack_offset(k), tc);
    write_timecode_62(block + subcode_pack_offset(k + 1), t);
    write_timecode_63(block + subcode_pack_offset(k + 2), t);
  }
}

// In the first half of the frame the subcode carries the time code alone, in
// every sync block, as recorders write it: players that read the time code
// from the first DIF sequence (ffmpeg does) find it there.
void write_first_half_packs(uint8_t *block, const Timecode &tc) {
  for (int k = 0; k < subcode_packs_per_block; ++k)
    write_timecode_13(block + subcode_pack_offset(k), tc);
}

// `now` is null when the recording time is unknown: then the packs that
// tell it are left out.
void write_subcode_blocks(uint8_t *sequence, int ds, int frame, const std::tm *now, bool pal) {
  const unsigned count = block_count(frame, ds, pal);
  const bool second_half = ds >= subcode_pack_sequence;
  for (int n = 0; n < 2; ++n) {
    uint8_t *block = block_at(sequence, subcode_block(n));
    std::memset(block, 0xff, block_size);
    write_id(block, Section::subcode, no_frame_count, ds, n);
    uint8_t *sync_id = block + subcode_sync_offset(0);
    sync_id[0] = static_cast<uint8_t>((count >> 8) | (second_half ? subcode_second_half_flag : 0));
    // The second block's sync blocks continue the numbering of the first.
    sync_id[1] = static_cast<uint8_t>((count & 0xff) + (n == 1 ? subcode_packs_per_block : 0));
    if (now == nullptr) continue;
    const Timecode tc{now->tm_hour, now->tm_min, now->tm_sec, modulo(frame, timecode_rate(pal))};
    if (second_half)
      write_subcode_packs(block, tc, *now);
    else
      write_first_half_packs(block, tc);
  }
}

// Source, source control, recording date and time from pack slot `slot`.
void write_source_packs(uint8_t *block, int slot, bool pal, bool wide, const std::tm *now,
                        bool interlaced) {
  write_timecode_60(block + vaux_pack_offset(slot), pal);
  write_timecode_61(block + vaux_pack_offset(slot + 1), wide, interlaced);
  if (now == nullptr) return;
  write_timecode_62(block + vaux_pack_offset(slot + 2), *now);
  write_timecode_63(block + vaux_pack_offset(slot + 3), *now);
}

// The slot of VAUX block 2 where every sequence repeats the source packs.
constexpr int vaux_repeat_slot = 9;

void write_vaux_blocks(uint8_t *sequence, int ds, bool pal, bool wide, const std::tm *now,
                       bool interlaced = true) {
  for (int n = 0; n < 3; ++n) {
    uint8_t *block = block_at(sequence, vaux_block(n));
    std::memset(block, 0xff, block_size);
    write_id(block, Section::vaux, no_frame_count, ds, n);
  }
  uint8_t *first = block_at(sequence, vaux_block(0));
  if (ds % 2 == 1) {
    write_source_packs(first, 0, pal, wide, now, interlaced);
  } else if (ds == 0) {
    for (int k = 0; k < 3; ++k) put(first + vaux_pack_offset(k), camera_packs[k]);
  }
  write_source_packs(block_at(sequence, vaux_block(2)), vaux_repeat_slot, pal, wide, now,
                     interlaced);
}

// Identifiers only: the video payload stays as the video encoder left it.
void write_video_headers(uint8_t *sequence, int ds, int frame_bits) {
  for (int k = 0; k < segments_per_sequence; ++k)
    for (int m = 0; m < macroblocks_per_segment; ++m)
      write_id(block_at(sequence, video_block(k, m)), Section::video, frame_bits, ds,
               k * macroblocks_per_segment + m);
}

void write_audio_headers(uint8_t *sequence, int ds, int frame_bits) {
  for (int a = 0; a < audio_blocks_per_sequence; ++a) {
    uint8_t *block = block_at(sequence, audio_block(a));
    write_id(block, Section::audio, frame_bits, ds, a);
    std::memset(block + 3, 0xff, block_size - 3);
  }
}

}  // namespace

void advance_clock(time_t *now, int frame, bool pal) {
  if (modulo(frame, timecode_rate(pal)) == 0 && *now < std::numeric_limits<time_t>::max()) ++*now;
}

void write_meta_data(uint8_t *target, int frame, bool pal, bool wide, bool smpte_314m,
                     time_t *now, bool interlaced) {
  if (target == nullptr) return;
  if (now != nullptr) advance_clock(now, frame, pal);
  const std::optional<std::tm> local = local_time(now);
  const std::tm *t = local ? &*local : nullptr;
  const int frame_bits = frame_count_bits(frame);
  for (int ds = 0; ds < dif::sequences(pal); ++ds) {
    uint8_t *sequence = target + dif::block_offset(ds, 0);
    write_header_block(sequence, ds, pal, smpte_314m);
    write_subcode_blocks(sequence, ds, frame, t, pal);
    write_vaux_blocks(sequence, ds, pal, wide, t, interlaced);
    write_video_headers(sequence, ds, frame_bits);
    write_audio_headers(sequence, ds, frame_bits);
  }
}

}  // namespace tarsk

extern "C" {

void _dv_write_meta_data(uint8_t *target, int frame, int isPAL, int is16x9, time_t *now) {
  tarsk::write_meta_data(target, frame, isPAL != 0, is16x9 != 0, false, now);
}

void dv_encode_metadata(uint8_t *target, int isPAL, int is16x9, time_t *datetime, int frame) {
  using namespace tarsk;
  if (target == nullptr || datetime == nullptr) return;
  const bool pal = isPAL != 0;
  advance_clock(datetime, frame, pal);
  const std::optional<std::tm> local = local_time(datetime);
  if (!local) return;
  for (int ds = 0; ds < dif::sequences(pal); ++ds) {
    uint8_t *sequence = target + dif::block_offset(ds, 0);
    write_subcode_blocks(sequence, ds, frame, &*local, pal);
    write_vaux_blocks(sequence, ds, pal, is16x9 != 0, &*local);
  }
}

void dv_encode_timecode(uint8_t *target, int isPAL, int frame) {
  tarsk::encode_timecode(target, isPAL != 0, frame, false);
}

}  // extern "C"

namespace tarsk {

void encode_timecode(uint8_t *target, bool pal, int frame, bool drop_frame) {
  if (target == nullptr || frame < 0) return;
  const TimecodeLabel label = timecode_label_of(frame, pal, drop_frame);
  const Timecode tc{label.hours, label.minutes, label.seconds, label.frames, drop_frame};
  for (int ds = 0; ds < dif::sequences(pal); ++ds)
    for (int n = 0; n < 2; ++n) {
      uint8_t *block = target + dif::block_offset(ds, dif::subcode_block(n));
      if (ds < dif::subcode_pack_sequence)
        write_first_half_packs(block, tc);
      else
        for (int k : {0, 3}) write_timecode_13(block + dif::subcode_pack_offset(k), tc);
    }
}

}  // namespace tarsk
