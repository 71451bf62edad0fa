// The round trip of the encoder's fuzz targets: a frame it wrote parses
// back as a frame of its system whose every video segment holds valid
// codes only and whose every block ends.
#pragma once

#include <tarsk/dv.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common.h"
#include "common/dif.h"

namespace fuzz {

// A segment record and reader for parsing our own frames.
struct SegmentParser {
  dv_videosegment_t seg{};
  bitstream_t bs{};
};

// The 400 bytes of video segment (i, k) parse at the multi-pass level with
// no invalid code, every block ending.
inline void check_segment(const uint8_t *segment, int i, int k, bool pal) {
  static SegmentParser p;
  static std::vector<uint8_t> bytes(tarsk::dif::segment_size);
  std::memcpy(bytes.data(), segment, tarsk::dif::segment_size);
  p.seg = dv_videosegment_t{};
  p.seg.i = i;
  p.seg.k = k;
  p.seg.isPAL = pal;
  p.seg.bs = &p.bs;
  _dv_bitstream_new_buffer(&p.bs, bytes.data(), tarsk::dif::segment_size);
  dv_parse_video_segment(&p.seg, DV_QUALITY_BEST);
  for (const dv_macroblock_t &mb : p.seg.mb) {
    FUZZ_CHECK(mb.vlc_error == 0);
    FUZZ_CHECK(mb.eob_count == 6);
  }
}

// The frame is one of its system, and every video segment parses so.
inline void check_parses(const std::vector<uint8_t> &frame, bool pal) {
  std::unique_ptr<dv_decoder_t, DecoderDeleter> dv(dv_decoder_new(0, 0, 0));
  FUZZ_CHECK(dv != nullptr);
  dv_set_error_log(dv.get(), null_log());
  FUZZ_CHECK(dv_parse_header(dv.get(), frame.data()) >= 0);
  FUZZ_CHECK(dv->frame_size == frame.size());
  FUZZ_CHECK((dv->system == e_dv_system_625_50) == pal);
  for (int i = 0; i < tarsk::dif::sequences(pal); ++i)
    for (int k = 0; k < tarsk::dif::segments_per_sequence; ++k)
      check_segment(frame.data() + tarsk::dif::segment_offset(i, k), i, k, pal);
}

}  // namespace fuzz
