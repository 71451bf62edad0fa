// Turns fuzz input into a frame buffer of exactly the size the decoder
// will read, with its header parsed.
#pragma once

#include <tarsk/dv.h>

#include <functional>
#include <memory>
#include <vector>

#include "common.h"

namespace fuzz {

struct ParsedFrame {
  std::unique_ptr<dv_decoder_t, DecoderDeleter> dv;
  std::vector<uint8_t> bytes;  // exactly dv->frame_size bytes
};

// The input's bytes completed from the template to a whole frame of the
// system their DSF bit names, and a decoder set up by `setup` that has
// parsed its header. If the decoder takes the frame for the other system
// (by its packs or the video system option), the frame is rebuilt at that
// size. False when the header does not parse or the size never agrees.
inline bool parse_frame(const uint8_t *data, size_t n, int ntsc_setup,
                        const std::function<void(dv_decoder_t *)> &setup, ParsedFrame &out) {
  dv_system_t system =
      n > 3 && (data[3] & 0x80) == 0 ? e_dv_system_525_60 : e_dv_system_625_50;
  for (int attempt = 0; attempt < 2; ++attempt) {
    out.bytes = padded(data, n, system, frame_bytes(system));
    out.dv.reset(dv_decoder_new(ntsc_setup, 0, 0));
    FUZZ_CHECK(out.dv != nullptr);
    setup(out.dv.get());
    if (dv_parse_header(out.dv.get(), out.bytes.data()) < 0) return false;
    if (out.dv->frame_size == out.bytes.size()) return true;
    system = system == e_dv_system_625_50 ? e_dv_system_525_60 : e_dv_system_625_50;
  }
  return false;
}

}  // namespace fuzz
