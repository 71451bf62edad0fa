// RIFF WAVE files written by tests, with every header field at the test's
// choice so that malformed files can be made too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tarsk::test {

struct WavHeader {
  uint32_t fmt_size = 16;
  int channels = 2;
  int rate = 48000;
  int byte_rate = -1;  // -1: rate x alignment
  int alignment = -1;  // -1: channels x bits / 8
  int bits = 16;
  std::string riff = "RIFF";
  bool list_chunk = false;  // a LIST chunk between fmt and data
};

inline void put_le(std::string &out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

// The file's bytes: header, then `data` as it stands (little-endian
// samples), then cut to `size` bytes when that is given.
inline std::string wav_bytes(const WavHeader &h, const std::string &data,
                             size_t size = std::string::npos) {
  const int alignment = h.alignment >= 0 ? h.alignment : h.channels * h.bits / 8;
  const int byte_rate = h.byte_rate >= 0 ? h.byte_rate : h.rate * alignment;
  std::string out = h.riff;
  put_le(out, static_cast<uint32_t>(36 + data.size()), 4);
  out += "WAVEfmt ";
  put_le(out, h.fmt_size, 4);
  put_le(out, 1, 2);
  put_le(out, static_cast<uint32_t>(h.channels), 2);
  put_le(out, static_cast<uint32_t>(h.rate), 4);
  put_le(out, static_cast<uint32_t>(byte_rate), 4);
  put_le(out, static_cast<uint32_t>(alignment), 2);
  put_le(out, static_cast<uint32_t>(h.bits), 2);
  if (h.fmt_size > 16) out.append(h.fmt_size - 16, '\0');
  if (h.list_chunk) out += std::string("LIST\4\0\0\0INFO", 12);
  out += "data";
  put_le(out, static_cast<uint32_t>(data.size()), 4);
  out += data;
  return out.substr(0, size);
}

// Interleaved 16-bit samples as little-endian bytes.
inline std::string s16le(const std::vector<int16_t> &samples) {
  std::string out;
  for (int16_t s : samples) put_le(out, static_cast<uint16_t>(s), 2);
  return out;
}

inline void write_file(const std::filesystem::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tarsk::test
