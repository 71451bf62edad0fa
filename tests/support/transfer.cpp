// Test transfers: our encoder's recordings, stamped and damaged.
#include "support/transfer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "common/dif.h"

namespace tarsk::test {

namespace {

namespace dif = tarsk::dif;

// A grey picture with a bright square that moves with the frame number.
void draw(tarsk_picture &p, int n) {
  for (int y = 0; y < p.height; ++y) {
    uint8_t *line = p.data[0] + y * p.stride[0];
    for (int x = 0; x < p.width; ++x)
      line[x] = (x / 16 + n) % 40 < 4 && y > 100 && y < 300 ? 200 : static_cast<uint8_t>(60 + (x + y + 3 * n) % 64);
  }
  const int chroma_lines = p.format == TARSK_PIXEL_I420 ? p.height / 2 : p.height;
  const int chroma_width = p.format == TARSK_PIXEL_I420 ? p.width / 2 : p.width / 4;
  for (int c = 1; c < 3; ++c)
    for (int y = 0; y < chroma_lines; ++y)
      std::memset(p.data[c] + y * p.stride[c], c == 1 ? 110 + n % 30 : 140, static_cast<size_t>(chroma_width));
}

}  // namespace

std::vector<uint8_t> make_transfer(const std::vector<Recording> &recordings,
                                   std::optional<int32_t> first_track) {
  std::vector<uint8_t> out;
  int32_t track = first_track.value_or(0);
  for (const Recording &r : recordings) {
    tarsk_encoder_settings s;
    tarsk_encoder_default_settings(&s);
    s.system = r.system;
    s.wide = r.wide;
    s.timecode = r.timecode;
    s.has_date = 1;
    s.date = r.date;
    tarsk_encoder *e = nullptr;
    EXPECT_EQ(tarsk_encoder_open(&e, &s), TARSK_OK);
    if (e == nullptr) return {};
    const bool fifty = r.system == TARSK_SYSTEM_625_50;
    tarsk_picture p{};
    EXPECT_EQ(tarsk_picture_alloc(&p, fifty ? TARSK_PIXEL_I420 : TARSK_PIXEL_Y41B, 720,
                                  fifty ? 576 : 480),
              TARSK_OK);
    const size_t bytes = tarsk_encoder_frame_bytes(e);
    uint64_t sample = 0;
    for (int n = 0; n < r.frames; ++n) {
      draw(p, n);
      std::vector<uint8_t> frame(bytes);
      EXPECT_EQ(tarsk_encode_video(e, &p, frame.data(), frame.size()), TARSK_OK);
      const int count = tarsk_encoder_audio_frames(e, r.audio_rate, static_cast<uint64_t>(n));
      std::vector<int16_t> tone(static_cast<size_t>(2 * count));
      for (int i = 0; i < count; ++i, ++sample)
        tone[static_cast<size_t>(2 * i)] = tone[static_cast<size_t>(2 * i + 1)] =
            static_cast<int16_t>(8000 * std::sin(static_cast<double>(sample) * 0.0577));
      EXPECT_EQ(tarsk_encode_audio(e, tone.data(), count, r.audio_rate, frame.data(), frame.size()),
                TARSK_OK);
      // The recording start flag of the AAUX source control pack, in every
      // audio block that carries the pack.
      if (n == 0 && r.marked)
        for (size_t at = 0; at < bytes; at += dif::block_size)
          if (dif::section_of(&frame[at]) == dif::Section::audio &&
              frame[at + dif::aaux_pack_offset] == dif::pack_id::aaux_source_control)
            frame[at + dif::aaux_pack_offset + 2] &= 0x7f;
      const int sequences = dif::sequences(fifty);
      if (first_track) stamp_tracks(frame.data(), sequences, track);
      track += sequences;
      out.insert(out.end(), frame.begin(), frame.end());
    }
    tarsk_picture_free(&p);
    tarsk_encoder_close(&e);
  }
  return out;
}

void stamp_tracks(uint8_t *frame, int sequences, int32_t first) {
  for (int s = 0; s < sequences; ++s) {
    const uint32_t value = static_cast<uint32_t>(first + s) << 1;
    for (int b = 0; b < 2; ++b)
      for (int n = 0; n < 6; ++n) {
        const int number = 6 * b + n;
        const auto byte = static_cast<uint8_t>(value >> (8 * (number % 3)));
        uint8_t *id = frame + dif::block_offset(s, dif::subcode_block(b)) + 3 + 8 * n;
        id[0] = static_cast<uint8_t>((id[0] & 0xf0) | (byte >> 4));
        id[1] = static_cast<uint8_t>(((byte & 0x0f) << 4) | number);
      }
  }
}

void flag_segment(uint8_t *frame, int s, int k) {
  for (int m = 0; m < 5; ++m) frame[dif::segment_offset(s, k) + 80 * m + dif::qno_byte] |= 0x70;
}

void garble_segment(uint8_t *frame, int s, int k) {
  for (int m = 0; m < 5; ++m) {
    uint8_t *block = frame + dif::segment_offset(s, k) + 80 * m;
    // After the status and quantiser byte: the DC words kept, every AC
    // bit of the block areas set (no code of all ones is valid).
    for (int b = 0; b < 6; ++b)
      std::memset(block + dif::area_bytes[b] + 2, 0xff,
                  static_cast<size_t>(dif::area_bytes[b + 1] - dif::area_bytes[b] - 2));
  }
}

void error_audio_block(uint8_t *frame, int s, int a) {
  uint8_t *data = frame + dif::audio_offset(s, a) + dif::audio_data_offset;
  for (int i = 0; i < dif::audio_data_size; i += 2) {
    data[i] = 0x80;
    data[i + 1] = 0x00;
  }
}

}  // namespace tarsk::test
