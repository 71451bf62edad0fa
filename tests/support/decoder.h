// A decoder owned by a test.
#pragma once

#include <tarsk/dv.h>

#include <cstdio>
#include <memory>
#include <string>

namespace tarsk::test {

struct DecoderDeleter {
  void operator()(dv_decoder_t *dv) const { dv_decoder_free(dv); }
};
using Decoder = std::unique_ptr<dv_decoder_t, DecoderDeleter>;

inline Decoder new_decoder() { return Decoder(dv_decoder_new(0, 0, 0)); }

// Everything written to a stream so far, such as an error log.
inline std::string read_stream(FILE *f) {
  std::rewind(f);
  std::string text;
  char buffer[256];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  return text;
}

}  // namespace tarsk::test
