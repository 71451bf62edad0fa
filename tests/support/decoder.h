// A decoder owned by a test.
#pragma once

#include <tarsk/dv.h>

#include <memory>

namespace tarsk::test {

struct DecoderDeleter {
  void operator()(dv_decoder_t *dv) const { dv_decoder_free(dv); }
};
using Decoder = std::unique_ptr<dv_decoder_t, DecoderDeleter>;

inline Decoder new_decoder() { return Decoder(dv_decoder_new(0, 0, 0)); }

}  // namespace tarsk::test
