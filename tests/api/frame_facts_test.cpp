// tarsk_inspect_frame: a frame's damage found exactly where it was put
// (status nibbles, codes that do not parse, error-coded samples per
// channel), recording markers and absolute track numbers read as stamped,
// and the rest the same as the separate calls say.
#include <gtest/gtest.h>
#include <tarsk/tarsk.h>

#include <array>
#include <cstring>
#include <tuple>
#include <vector>

#include "common/dif.h"
#include "support/conformance.h"
#include "support/frame_builder.h"
#include "support/transfer.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;
using Bytes = std::vector<uint8_t>;

struct Decoder {
  Decoder() { EXPECT_EQ(tarsk_decoder_open(&d, nullptr), TARSK_OK); }
  ~Decoder() { tarsk_decoder_close(&d); }
  tarsk_frame_facts inspect(const Bytes &frame) {
    tarsk_frame_facts facts;
    EXPECT_EQ(tarsk_inspect_frame(d, frame.data(), frame.size(), &facts), TARSK_OK);
    return facts;
  }
  tarsk_decoder *d = nullptr;
};

Bytes first_frame(const char *name) {
  const Bytes stream = conformance(name);
  const auto frames = split_frames(stream);
  return Bytes(frames[0].begin(), frames[0].end());
}

// Puts the 16-bit error code at channel position p of channel c (0 or 1).
void error_sample_16(Bytes &frame, bool fifty, int c, int p) {
  const dif::AudioSlot slot = dif::audio_slot(fifty, p);
  const int ds = slot.row + (c ? dif::audio_half(fifty) : 0);
  uint8_t *at = &frame[dif::audio_offset(ds, slot.block) + dif::audio_data_offset + 2 * slot.index];
  at[0] = 0x80;
  at[1] = 0x00;
}

// Track `skew` numbered one out of turn.
void stamp_tracks_skewed(Bytes &frame, int sequences, int32_t first, int skew) {
  stamp_tracks(frame.data(), sequences, first);
  std::vector<uint8_t> other(frame);
  stamp_tracks(other.data(), sequences, first + 1);
  for (int b = 1; b <= 2; ++b)
    std::memcpy(&frame[dif::block_offset(skew, b)], &other[dif::block_offset(skew, b)], 80);
}

// Flagged blocks, a segment of garbage and error-coded samples in known
// places of frames of every system and sampling: the facts count exactly
// those, in their DIF sequences, segments, blocks and channels.
TEST(Inspect, FindsExactlyTheDamagePutIn) {
  for (const char *name : conformance_files) {
    SCOPED_TRACE(name);
    Bytes frame = first_frame(name);
    Decoder d;
    const tarsk_frame_facts clean = d.inspect(frame);
    const bool fifty = clean.info.system == TARSK_SYSTEM_625_50;
    ASSERT_EQ(clean.sequences, fifty ? 12 : 10);
    ASSERT_EQ(clean.damaged_macroblocks, 0);
    ASSERT_EQ(clean.info.audio_bits, 16);
    // Flagged: segment 2 whole and one block of segment 5, in sequence 1.
    for (int m = 0; m < 5; ++m) frame[dif::segment_offset(1, 2) + 80 * m + dif::qno_byte] |= 0x70;
    frame[dif::segment_offset(1, 5) + 80 * 3 + dif::qno_byte] |= 0xf0;
    // Garbage in segment 10 of sequence 3.
    for (size_t i = 4; i < 400; i += 5) frame[dif::segment_offset(3, 10) + i] ^= 0xa5;
    // Error codes: 5 samples of channel 0 and 2 of channel 1 within the
    // frame's count, and one past it (no sample of the frame is there).
    const int samples = clean.info.audio_samples;
    for (int p : {0, 1, 100, 1000, samples - 1}) error_sample_16(frame, fifty, 0, p);
    for (int p : {7, 8}) error_sample_16(frame, fifty, 1, p);
    if (samples < (fifty ? 1944 : 1620)) error_sample_16(frame, fifty, 1, samples);

    const tarsk_frame_facts f = d.inspect(frame);
    tarsk_picture_damage checked;
    ASSERT_EQ(tarsk_decode_check(d.d, frame.data(), frame.size(), &checked), TARSK_OK);
    EXPECT_EQ(f.damaged_macroblocks, checked.damaged_macroblocks);
    for (int s = 0; s < f.sequences; ++s) {
      SCOPED_TRACE(s);
      const tarsk_sequence_facts &q = f.sequence[s];
      EXPECT_EQ(q.flagged_video, s == 1 ? 6 : 0);
      EXPECT_EQ(q.damaged_segments & ~(uint32_t{1} << 10),
                s == 1 ? (uint32_t{1} << 2 | uint32_t{1} << 5) : 0u);
      EXPECT_EQ(q.broken_video > 0, s == 3);
      EXPECT_EQ((q.damaged_segments >> 10) & 1, s == 3 ? 1u : 0u);
    }
    EXPECT_EQ(f.damaged_macroblocks, 6 + f.sequence[3].broken_video);
    EXPECT_EQ((std::array{f.audio_errors[0], f.audio_errors[1], f.audio_errors[2],
                          f.audio_errors[3]}),
              (std::array{5, 2, 0, 0}));
    // Each error's DIF sequence and audio block, from the shuffle.
    int per_sequence[12] = {};
    uint32_t blocks[12] = {};
    for (auto [c, p] : {std::pair{0, 0}, {0, 1}, {0, 100}, {0, 1000}, {0, samples - 1}, {1, 7},
                        {1, 8}}) {
      const dif::AudioSlot slot = dif::audio_slot(fifty, p);
      const int ds = slot.row + (c ? dif::audio_half(fifty) : 0);
      ++per_sequence[ds];
      blocks[ds] |= uint32_t{1} << slot.block;
    }
    for (int s = 0; s < f.sequences; ++s) {
      EXPECT_EQ(f.sequence[s].audio_errors, per_sequence[s]) << s;
      EXPECT_EQ(f.sequence[s].damaged_audio, blocks[s]) << s;
    }
    // Everything tarsk_decode_info says, inspection says too.
    tarsk_frame_info info;
    ASSERT_EQ(tarsk_decode_info(d.d, frame.data(), frame.size(), &info), TARSK_OK);
    EXPECT_EQ(std::memcmp(&info, &f.info, sizeof info), 0);
  }
}

// 12-bit sound: error codes counted in each of the four channels, and a
// pair of which one half is an error code counts one.
TEST(Inspect, CountsTwelveBitErrorsPerChannel) {
  for (const bool fifty : {false, true}) {
    SCOPED_TRACE(fifty);
    FrameBuilder b(fifty ? e_dv_system_625_50 : e_dv_system_525_60);
    // 32 kHz, 12 bits, locked: 1067 (525/60) or 1280 (625/50) samples.
    with_audio_packs(b, aaux_source(fifty ? 16 : 14, fifty, 1, 2, 1), aaux_source_control(0x20));
    std::vector<int> codes[4];
    const int samples = fifty ? 1280 : 1067;
    for (auto &c : codes) c.assign(static_cast<size_t>(samples), 0x123);
    codes[0][0] = codes[1][0] = 0x800;  // both of a pair
    codes[2][5] = 0x800;
    codes[3][samples - 1] = codes[3][9] = codes[3][10] = 0x800;
    write_audio_12(b, codes);
    Decoder d;
    const tarsk_frame_facts f = d.inspect(b.bytes());
    ASSERT_EQ(f.info.audio_bits, 12);
    ASSERT_EQ(f.info.audio_samples, samples);
    EXPECT_EQ((std::array{f.audio_errors[0], f.audio_errors[1], f.audio_errors[2],
                          f.audio_errors[3]}),
              (std::array{1, 1, 1, 3}));
  }
}

// The recording start and end flags of the AAUX source control pack, and
// the absolute track number of the subcode IDs: as stamped; none where the
// IDs carry none (our encoder's and ffmpeg's frames) or disagree.
TEST(Inspect, ReadsMarkersAndTrackNumbers) {
  for (const char *name : conformance_files) {
    SCOPED_TRACE(name);
    Bytes frame = first_frame(name);
    Decoder d;
    tarsk_frame_facts f = d.inspect(frame);
    EXPECT_EQ(f.recording_start, 0);
    EXPECT_EQ(f.recording_end, 0);
    EXPECT_EQ(f.has_absolute_track, 0);
    const int sequences = f.sequences;
    frame[dif::aaux_asc_offset + 2] &= 0x7f;
    f = d.inspect(frame);
    EXPECT_EQ(std::pair(f.recording_start, f.recording_end), std::pair(1, 0));
    frame[dif::aaux_asc_offset + 2] = static_cast<uint8_t>((frame[dif::aaux_asc_offset + 2] | 0x80) & ~0x40);
    f = d.inspect(frame);
    EXPECT_EQ(std::pair(f.recording_start, f.recording_end), std::pair(0, 1));
    frame[dif::aaux_asc_offset] = 0xff;
    f = d.inspect(frame);
    EXPECT_EQ(std::pair(f.recording_start, f.recording_end), std::pair(-1, -1));

    for (const int32_t first : {0, 1, 12 * 4321, (1 << 23) - 12}) {
      stamp_tracks(frame.data(), sequences, first);
      f = d.inspect(frame);
      EXPECT_EQ(f.has_absolute_track, 1);
      EXPECT_EQ(f.absolute_track, first);
    }
    stamp_tracks_skewed(frame, sequences, 600, 4);  // track 4 numbered out of turn
    EXPECT_EQ(d.inspect(frame).has_absolute_track, 0);
    stamp_tracks(frame.data(), sequences, 600);
    frame[dif::block_offset(2, 2) + 3 + 8 * 2] ^= 0x01;  // a repeat of a byte that disagrees
    f = d.inspect(frame);
    EXPECT_EQ(f.has_absolute_track, 1) << "the other tracks still tell";
    EXPECT_EQ(f.absolute_track, 600);
  }
}

}  // namespace

namespace {

// The test transfers carry what they were made with, and their damage
// shows where it was put: the helpers the command's tests build on.
TEST(Inspect, TestTransfersCarryWhatTheyWereMadeWith) {
  std::vector<Recording> recordings = {{.frames = 3, .timecode = 250}, {.frames = 2, .marked = false}};
  recordings[1].system = TARSK_SYSTEM_525_60;
  Bytes stream = make_transfer(recordings, 1000);
  ASSERT_EQ(stream.size(), 3 * 144000u + 2 * 120000u);
  garble_segment(&stream[144000], 4, 20);
  flag_segment(&stream[144000], 5, 3);
  error_audio_block(&stream[2 * 144000], 7, 8);
  Decoder d;
  size_t at = 0;
  int32_t track = 1000;
  for (int n = 0; n < 5; ++n) {
    SCOPED_TRACE(n);
    const size_t size = n < 3 ? 144000 : 120000;
    const tarsk_frame_facts f = d.inspect(Bytes(stream.begin() + static_cast<long>(at),
                                                stream.begin() + static_cast<long>(at + size)));
    at += size;
    EXPECT_EQ(f.recording_start, n == 0);
    EXPECT_EQ(f.has_absolute_track, 1);
    EXPECT_EQ(f.absolute_track, track);
    track += f.sequences;
    EXPECT_EQ(f.info.timecode.seconds * 25 + f.info.timecode.frames, n < 3 ? 250 + n : n - 3);
    for (int s = 0; s < f.sequences; ++s) {
      EXPECT_EQ(f.sequence[s].damaged_segments,
                n == 1 && s == 4 ? 1u << 20 : n == 1 && s == 5 ? 1u << 3 : 0u) << s;
      EXPECT_EQ(f.sequence[s].broken_video > 0, n == 1 && s == 4) << s;
      EXPECT_EQ(f.sequence[s].damaged_audio, n == 2 && s == 7 ? 1u << 8 : 0u) << s;
    }
  }
}

}  // namespace

namespace {

// The public places of a frame's segments and audio blocks are the DIF layout's, and nothing
// outside it.
TEST(Inspect, SegmentsAndAudioBlocksStandWhereTheLayoutPutsThem) {
  for (int s = -1; s <= 12; ++s) {
    for (int k = -1; k <= 27; ++k)
      EXPECT_EQ(tarsk_segment_offset(s, k),
                s < 0 || s > 11 || k < 0 || k > 26 ? -1
                                                   : static_cast<ptrdiff_t>(dif::segment_offset(s, k)));
    for (int a = -1; a <= 9; ++a)
      EXPECT_EQ(tarsk_audio_block_offset(s, a),
                s < 0 || s > 11 || a < 0 || a > 8 ? -1
                                                  : static_cast<ptrdiff_t>(dif::audio_offset(s, a)));
  }
  EXPECT_EQ(TARSK_SEGMENT_BYTES, dif::segment_size);
}

}  // namespace

namespace {

// tarsk_frame_packs against a walk of the frame by the byte positions of
// the layout written out here (subcode packs at 6 + 8k of blocks 1 and 2,
// VAUX packs at 3 + 5k of blocks 3 to 5, AAUX packs at 3 of blocks
// 6 + 16a): every filled slot, in stream order, in both systems; a pack
// stamped by hand into an empty slot; a block whose ID names another
// section passed over; too little room and a short frame refused.
TEST(FramePacks, EveryFilledSlotInStreamOrder) {
  for (const tarsk_system system : {TARSK_SYSTEM_625_50, TARSK_SYSTEM_525_60}) {
    SCOPED_TRACE(system);
    Bytes frame = make_transfer({{.frames = 1, .system = system}});
    const int sequences = system == TARSK_SYSTEM_625_50 ? 12 : 10;
    frame[12000 * 4 + 80 * 2 + 6 + 8 * 5] = 0x44;    // sequence 4, subcode block 1, slot 5
    frame[12000 * 1 + 80 * 5] = (1 << 5) | 0x1f;  // VAUX block 2 of sequence 1 says subcode

    struct Place {
      int section, block, slot, at;
    };
    std::vector<Place> places;
    for (int k = 0; k < 2; ++k)
      for (int s = 0; s < 6; ++s) places.push_back({1, k, s, 80 * (1 + k) + 6 + 8 * s});
    for (int k = 0; k < 3; ++k)
      for (int s = 0; s < 15; ++s) places.push_back({2, k, s, 80 * (3 + k) + 3 + 5 * s});
    for (int a = 0; a < 9; ++a) places.push_back({3, a, 0, 80 * (6 + 16 * a) + 3});
    std::vector<tarsk_pack> expected;
    for (int q = 0; q < sequences; ++q)
      for (const Place &p : places) {
        const uint8_t *b = &frame[static_cast<size_t>(12000 * q + p.at)];
        if (b[0] == 0xff || (q == 1 && p.section == 2 && p.block == 2)) continue;
        tarsk_pack pack{p.section, q, p.block, p.slot, {}};
        std::copy(b, b + 5, pack.bytes);
        expected.push_back(pack);
      }

    std::vector<tarsk_pack> packs(TARSK_MAX_PACKS);
    size_t count = 0;
    ASSERT_EQ(tarsk_frame_packs(frame.data(), frame.size(), packs.data(), packs.size(), &count),
              TARSK_OK);
    ASSERT_EQ(count, expected.size());
    bool stamped = false;
    for (size_t n = 0; n < count; ++n) {
      const tarsk_pack &a = packs[n], &b = expected[n];
      SCOPED_TRACE(n);
      EXPECT_EQ(std::tie(a.section, a.sequence, a.block, a.slot),
                std::tie(b.section, b.sequence, b.block, b.slot));
      EXPECT_EQ(0, std::memcmp(a.bytes, b.bytes, 5));
      stamped = stamped || (a.section == 1 && a.sequence == 4 && a.block == 1 && a.slot == 5 &&
                            a.bytes[0] == 0x44);
    }
    EXPECT_TRUE(stamped);
    EXPECT_GT(count, static_cast<size_t>(sequences * 9));  // more than the AAUX packs alone

    EXPECT_EQ(tarsk_frame_packs(frame.data(), frame.size(), packs.data(), count - 1, &count),
              TARSK_E_BAD_BUFFER);
    EXPECT_EQ(tarsk_frame_packs(frame.data(), frame.size() - 80, packs.data(), packs.size(), &count),
              TARSK_E_TRUNCATED);
  }
}

}  // namespace
