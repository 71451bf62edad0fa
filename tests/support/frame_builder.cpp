#include "support/frame_builder.h"

#include <algorithm>
#include <stdexcept>

#include "common/bcd.h"

namespace tarsk::test {
namespace {

using dif::block_offset;
using dif::Section;
constexpr auto bcd = to_bcd;

}  // namespace

FrameBuilder::FrameBuilder(dv_system_t system)
    : sequences_(system == e_dv_system_625_50 ? 12 : 10),
      frame_(dif::frame_size(system == e_dv_system_625_50), 0xff) {
  for (int s = 0; s < sequences_; ++s) {
    auto id = [&](int block, Section sct, int dbn) {
      dif::write_id(&frame_[block_offset(s, block)], sct, 0xf, s, dbn);
    };
    id(dif::header_block, Section::header, 0);
    for (int n = 0; n < 2; ++n) id(dif::subcode_block(n), Section::subcode, n);
    for (int n = 0; n < 3; ++n) id(dif::vaux_block(n), Section::vaux, n);
    for (int a = 0; a < dif::audio_blocks_per_sequence; ++a) id(dif::audio_block(a), Section::audio, a);
    for (int k = 0; k < dif::segments_per_sequence; ++k)
      for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
        id(dif::video_block(k, m), Section::video, 5 * k + m);
        // Video payload: status 0, and empty areas rather than 0xff codes.
        std::fill_n(&frame_[block_offset(s, dif::video_block(k, m)) + 3], dif::block_size - 3, 0);
      }
    // Header block payload: reserved bits set, areas transmitted.
    uint8_t *h = &frame_[block_offset(s, 0)];
    h[3] = system == e_dv_system_625_50 ? 0xbf : 0x3f;
    h[4] = 0x78;
    h[5] = h[6] = h[7] = 0x78;
  }
}

FrameBuilder &FrameBuilder::apt(int apt) {
  for (int s = 0; s < sequences_; ++s) {
    uint8_t &b = frame_[block_offset(s, 0) + 4];
    b = static_cast<uint8_t>((b & 0xf8) | (apt & 7));
  }
  return *this;
}

FrameBuilder &FrameBuilder::put_segment(int sequence, int k, const std::vector<uint8_t> &bytes) {
  if (bytes.size() != dif::segment_size) throw std::invalid_argument("400 segment bytes");
  for (int m = 0; m < dif::macroblocks_per_segment; ++m) {
    const auto from = bytes.begin() + m * dif::block_size;
    std::copy(from + 3, from + dif::block_size, segment(sequence, k) + m * dif::block_size + 3);
  }
  return *this;
}

FrameBuilder &FrameBuilder::vaux(int slot, const Pack &pack) {
  if (slot < 0 || slot >= 45) throw std::out_of_range("VAUX slot 0..44");
  const size_t at = block_offset(0, dif::vaux_block(slot / 15)) + dif::vaux_pack_offset(slot % 15);
  std::copy(pack.begin(), pack.end(), frame_.begin() + static_cast<long>(at));
  return *this;
}

FrameBuilder &FrameBuilder::subcode(int sequence, int slot, const Pack &pack) {
  if (slot < 0 || slot >= 12 || sequence < 0 || sequence >= sequences_)
    throw std::out_of_range("subcode slot 0..11");
  const size_t at =
      block_offset(sequence, dif::subcode_block(slot / 6)) + dif::subcode_pack_offset(slot % 6);
  std::copy(pack.begin(), pack.end(), frame_.begin() + static_cast<long>(at));
  return *this;
}

Pack vaux_source(bool color, bool fifty_fields) {
  return {0x60, 0xff, static_cast<uint8_t>(color ? 0xff : 0x7f),
          static_cast<uint8_t>(fifty_fields ? 0xe0 : 0xc0), 0xff};
}

Pack vaux_source_control(int display_mode, bool frame_changed) {
  return {0x61, 0x3f, static_cast<uint8_t>(0xc8 | (display_mode & 7)),
          static_cast<uint8_t>(frame_changed ? 0xfc : 0xdc), 0xff};
}

Pack timecode(int hours, int minutes, int seconds, int frame) {
  return {0x13, bcd(frame), bcd(seconds), bcd(minutes), bcd(hours)};
}

Pack recording_date(int year, int month, int day, uint8_t id) {
  return {id, 0xff, static_cast<uint8_t>(0xc0 | bcd(day)), static_cast<uint8_t>(0xe0 | bcd(month)),
          bcd(year % 100)};
}

Pack recording_time(int hours, int minutes, int seconds, uint8_t id) {
  return {id, 0xff, static_cast<uint8_t>(0x80 | bcd(seconds)),
          static_cast<uint8_t>(0x80 | bcd(minutes)), static_cast<uint8_t>(0xc0 | bcd(hours))};
}

Pack aaux_source(int af_size, bool fifty_fields, int ef, int smp, int qu) {
  return {0x50, static_cast<uint8_t>(0xc0 | (af_size & 0x3f)), 0x00,
          static_cast<uint8_t>(0xc0 | (fifty_fields ? 0x20 : 0)),
          static_cast<uint8_t>(((ef & 1) << 7) | ((smp & 7) << 3) | (qu & 7))};
}

Pack aaux_source_control(int speed) {
  return {0x51, 0x1c, 0xcf, static_cast<uint8_t>(0x80 | (speed & 0x7f)), 0xff};
}

void write_audio_16(FrameBuilder &frame, const std::vector<int16_t> &left,
                    const std::vector<int16_t> &right) {
  const bool fifty = frame.dif_sequences() == 12;
  const int half = frame.dif_sequences() / 2;
  for (int channel = 0; channel < 2; ++channel) {
    const std::vector<int16_t> &samples = channel ? right : left;
    for (int p = 0; p < 9 * half * 36; ++p) {
      const dif::AudioSlot at = dif::audio_slot(fifty, p);
      const auto value = static_cast<uint16_t>(p < static_cast<int>(samples.size()) ? samples[static_cast<size_t>(p)] : 0);
      uint8_t *slot = frame.audio_data(at.row + channel * half, at.block) + 2 * at.index;
      slot[0] = static_cast<uint8_t>(value >> 8);
      slot[1] = static_cast<uint8_t>(value & 0xff);
    }
  }
}

void write_audio_12(FrameBuilder &frame, const std::vector<int> (&codes)[4]) {
  const bool fifty = frame.dif_sequences() == 12;
  const int half = frame.dif_sequences() / 2;
  for (int pair = 0; pair < 2; ++pair)
    for (int p = 0; p < 9 * half * 24; ++p) {
      const dif::AudioSlot at = dif::audio_slot(fifty, p);
      auto code = [&](int channel) {
        const auto &c = codes[2 * pair + channel];
        return p < static_cast<int>(c.size()) ? c[static_cast<size_t>(p)] & 0xfff : 0;
      };
      uint8_t *group = frame.audio_data(at.row + pair * half, at.block) + 3 * at.index;
      group[0] = static_cast<uint8_t>(code(0) >> 4);
      group[1] = static_cast<uint8_t>(code(1) >> 4);
      group[2] = static_cast<uint8_t>(((code(0) & 0xf) << 4) | (code(1) & 0xf));
    }
}

FrameBuilder &with_audio_packs(FrameBuilder &frame, const Pack &source, const Pack &control) {
  for (auto [block, pack] : {std::pair{3, &source}, {4, &control}})
    std::copy(pack->begin(), pack->end(),
              frame.bytes().begin() + static_cast<long>(dif::audio_offset(0, block) + dif::aaux_pack_offset));
  return frame;
}

}  // namespace tarsk::test
