// Output formats of the tarsk command. Everything is written byte by byte,
// so the files are the same on any host.
#include "formats.h"

#include <fcntl.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace tarsk::cli {

namespace {

void put_be32(std::vector<uint8_t> &out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void put_le16(uint8_t *at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t *at, uint32_t v) {
  put_le16(at, v);
  put_le16(at + 2, v >> 16);
}

void append(std::vector<uint8_t> &out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

size_t checked_rgb_size(int width, int height, std::span<const uint8_t> rgb) {
  if (width <= 0 || height <= 0) throw std::invalid_argument("picture has no pixels");
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
  if (rgb.size() < bytes) throw std::invalid_argument("RGB picture is shorter than its size");
  return bytes;
}

// CRC-32 of PNG chunks (reflected, polynomial 0xedb88320).
constexpr std::array<uint32_t, 256> crc_table = [] {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}();

uint32_t crc32(const uint8_t *data, size_t size) {
  uint32_t c = 0xffffffffu;
  for (size_t i = 0; i < size; ++i) c = crc_table[(c ^ data[i]) & 0xff] ^ (c >> 8);
  return c ^ 0xffffffffu;
}

// Running Adler-32 of the zlib stream.
class Adler32 {
 public:
  void add(const uint8_t *data, size_t size) {
    // 5552 bytes is the most that can be summed before b may overflow.
    while (size > 0) {
      const size_t n = std::min<size_t>(size, 5552);
      for (size_t i = 0; i < n; ++i) {
        a_ += data[i];
        b_ += a_;
      }
      a_ %= 65521;
      b_ %= 65521;
      data += n;
      size -= n;
    }
  }
  uint32_t value() const { return (b_ << 16) | a_; }

 private:
  uint32_t a_ = 1, b_ = 0;
};

// Appends a chunk whose data is already in `out` from `start` + 8 on:
// fills in its length and type and appends its CRC.
void close_chunk(std::vector<uint8_t> &out, size_t start, const char (&type)[5]) {
  const size_t length = out.size() - start - 8;
  out[start] = static_cast<uint8_t>(length >> 24);
  out[start + 1] = static_cast<uint8_t>(length >> 16);
  out[start + 2] = static_cast<uint8_t>(length >> 8);
  out[start + 3] = static_cast<uint8_t>(length);
  for (size_t i = 0; i < 4; ++i) out[start + 4 + i] = static_cast<uint8_t>(type[i]);
  put_be32(out, crc32(out.data() + start + 4, length + 4));
}

size_t open_chunk(std::vector<uint8_t> &out) {
  const size_t start = out.size();
  out.resize(start + 8);
  return start;
}

}  // namespace

Ratio pixel_aspect(dv_system_t system, bool wide) {
  if (system == e_dv_system_525_60) return wide ? Ratio{32, 27} : Ratio{8, 9};
  return wide ? Ratio{64, 45} : Ratio{16, 15};
}

std::string y4m_header(const Yuy2Picture &picture) {
  const bool ntsc = picture.system == e_dv_system_525_60;
  const Ratio aspect = pixel_aspect(picture.system, picture.wide);
  const char *chroma = picture.sampling == e_dv_sample_411   ? "411"
                       : picture.sampling == e_dv_sample_422 ? "422"
                                                             : "420paldv";
  return "YUV4MPEG2 W" + std::to_string(picture.width) + " H" + std::to_string(picture.height) +
         (ntsc ? " F30000:1001" : " F25:1") + " Ib A" + std::to_string(aspect.num) + ":" +
         std::to_string(aspect.den) + " C" + chroma + "\n";
}

void y4m_frame(const Yuy2Picture &picture, std::vector<uint8_t> &out) {
  if (picture.width <= 0 || picture.height <= 0 || picture.width % 2 != 0)
    throw std::invalid_argument("YUY2 picture size");
  const size_t width = static_cast<size_t>(picture.width);
  const size_t height = static_cast<size_t>(picture.height);
  const size_t pitch = width * 2;
  if (picture.yuy2.size() < pitch * height)
    throw std::invalid_argument("YUY2 picture is shorter than its size");
  const uint8_t *yuy2 = picture.yuy2.data();

  // Chroma plane size and where its samples come from: every `line_step`th
  // line, every `pair_step`th Cb Cr pair (4 bytes) of it.
  size_t line_step = 1, pair_step = 1;
  if (picture.sampling == e_dv_sample_411)
    pair_step = 2;
  else if (picture.sampling != e_dv_sample_422)
    line_step = 2;
  const size_t pairs = width / 2;
  const size_t chroma_width = (pairs + pair_step - 1) / pair_step;
  const size_t chroma_height = (height + line_step - 1) / line_step;

  append(out, "FRAME\n");
  size_t at = out.size();
  out.resize(at + width * height + 2 * chroma_width * chroma_height);
  uint8_t *dst = out.data() + at;
  for (size_t line = 0; line < height; ++line) {
    const uint8_t *src = yuy2 + line * pitch;
    for (size_t x = 0; x < width; ++x) *dst++ = src[2 * x];
  }
  for (size_t offset : {size_t{1}, size_t{3}}) {  // Cb, then Cr
    for (size_t line = 0; line < height; line += line_step) {
      const uint8_t *src = yuy2 + line * pitch + offset;
      for (size_t pair = 0; pair < pairs; pair += pair_step) *dst++ = src[4 * pair];
    }
  }
}

std::vector<uint8_t> png_encode(int width, int height, std::span<const uint8_t> rgb) {
  checked_rgb_size(width, height, rgb);
  const size_t row = static_cast<size_t>(width) * 3;
  const size_t raw = (row + 1) * static_cast<size_t>(height);  // a filter byte per row
  const size_t blocks = std::max<size_t>(1, (raw + 65534) / 65535);
  if (raw + blocks * 5 + 6 > 0x7fffffff) throw std::length_error("picture too large for PNG");

  std::vector<uint8_t> out;
  out.reserve(8 + 25 + 12 + 2 + raw + blocks * 5 + 4 + 12);
  const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  out.insert(out.end(), signature, signature + 8);

  size_t chunk = open_chunk(out);
  put_be32(out, static_cast<uint32_t>(width));
  put_be32(out, static_cast<uint32_t>(height));
  out.insert(out.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, filters 0, no interlace
  close_chunk(out, chunk, "IHDR");

  // One zlib stream of stored blocks. The filtered rows are produced on
  // the fly as the blocks are filled.
  chunk = open_chunk(out);
  out.insert(out.end(), {0x78, 0x01});
  Adler32 adler;
  size_t left = raw, line = 0, in_row = 0;  // in_row: 0 is the filter byte
  while (true) {
    const size_t n = std::min<size_t>(left, 65535);
    left -= n;
    const size_t header = out.size();
    out.resize(header + 5);
    out[header] = left == 0 ? 1 : 0;  // last block or not; stored
    put_le16(&out[header + 1], static_cast<uint32_t>(n));
    put_le16(&out[header + 3], static_cast<uint32_t>(~n & 0xffff));
    size_t need = n;
    while (need > 0) {
      if (in_row == 0) {
        out.push_back(0);  // no filter
        in_row = 1;
        --need;
        continue;
      }
      const size_t take = std::min(need, row + 1 - in_row);
      const uint8_t *src = rgb.data() + line * row + (in_row - 1);
      out.insert(out.end(), src, src + take);
      in_row += take;
      need -= take;
      if (in_row == row + 1) {
        in_row = 0;
        ++line;
      }
    }
    adler.add(out.data() + header + 5, n);
    if (left == 0) break;
  }
  put_be32(out, adler.value());
  close_chunk(out, chunk, "IDAT");

  chunk = open_chunk(out);
  close_chunk(out, chunk, "IEND");
  return out;
}

std::vector<uint8_t> ppm_encode(int width, int height, std::span<const uint8_t> rgb) {
  const size_t bytes = checked_rgb_size(width, height, rgb);
  const std::string header =
      "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  std::vector<uint8_t> out;
  out.reserve(header.size() + bytes);
  append(out, header);
  out.insert(out.end(), rgb.begin(), rgb.begin() + static_cast<std::ptrdiff_t>(bytes));
  return out;
}

namespace {

constexpr size_t wav_header_bytes = 44;
// Sizes of a WAV whose length is not known, as written to pipes.
constexpr uint32_t unknown_size = 0xffffffffu;

bool write_all(FILE *out, const uint8_t *data, size_t size) {
  return size == 0 || std::fwrite(data, 1, size, out) == size;
}

}  // namespace

bool AudioWriter::start(int frequency, int channels) {
  if (started_) return true;
  if (frequency <= 0 || channels <= 0 || channels > 0x7fff) return false;
  frequency_ = frequency;
  channels_ = channels;
  started_ = true;
  if (!wav_) return true;

  const uint32_t block = static_cast<uint32_t>(channels) * 2;
  uint8_t header[wav_header_bytes] = {};
  std::memcpy(header, "RIFF", 4);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  std::memcpy(header + 36, "data", 4);
  put_le32(header + 4, unknown_size);
  put_le32(header + 16, 16);  // fmt chunk size
  put_le16(header + 20, 1);   // PCM
  put_le16(header + 22, static_cast<uint32_t>(channels));
  put_le32(header + 24, static_cast<uint32_t>(frequency));
  put_le32(header + 28, static_cast<uint32_t>(frequency) * block);  // bytes a second
  put_le16(header + 32, block);
  put_le16(header + 34, 16);  // bits a sample
  put_le32(header + 40, unknown_size);
  return write_all(out_, header, sizeof header);
}

bool AudioWriter::write(const std::vector<std::vector<int16_t>> &channels, size_t samples) {
  if (!started_) return false;
  const size_t count = static_cast<size_t>(channels_);
  // A few thousand frames at a time keeps the buffer small for long runs.
  constexpr size_t chunk = 4096;
  std::vector<uint8_t> bytes(std::min(samples, chunk) * count * 2);
  for (size_t first = 0; first < samples; first += chunk) {
    const size_t n = std::min(chunk, samples - first);
    uint8_t *dst = bytes.data();
    for (size_t i = first; i < first + n; ++i) {
      for (size_t c = 0; c < count; ++c) {
        const bool present = c < channels.size() && i < channels[c].size();
        put_le16(dst, present ? static_cast<uint16_t>(channels[c][i]) : 0);
        dst += 2;
      }
    }
    const size_t size = n * count * 2;
    if (!write_all(out_, bytes.data(), size)) return false;
    data_bytes_ += size;
  }
  return true;
}

bool AudioWriter::silence(size_t samples) {
  if (!started_) return false;
  const size_t frame = static_cast<size_t>(channels_) * 2;
  constexpr size_t chunk = 4096;
  const std::vector<uint8_t> zeros(std::min(samples, chunk) * frame, 0);
  for (size_t first = 0; first < samples; first += chunk) {
    const size_t size = std::min(chunk, samples - first) * frame;
    if (!write_all(out_, zeros.data(), size)) return false;
    data_bytes_ += size;
  }
  return true;
}

bool AudioWriter::finish() {
  if (std::fflush(out_) != 0) return false;
  if (!wav_ || !started_) return true;

  // Sizes that do not fit stay unknown.
  const uint64_t riff = data_bytes_ + wav_header_bytes - 8;
  if (riff > 0xfffffffeu) return true;
  // The header is patched only where that is possible: not on a pipe or
  // terminal, and not on a stream that appends every write at its end.
  const int flags = fcntl(fileno(out_), F_GETFL);
  if (flags == -1 || (flags & O_APPEND) != 0) return true;
  const off_t end = ftello(out_);
  if (end < 0) return errno == ESPIPE;
  if (static_cast<uint64_t>(end) < data_bytes_ + wav_header_bytes) return true;
  const off_t start = end - static_cast<off_t>(data_bytes_ + wav_header_bytes);
  if (fseeko(out_, start + 4, SEEK_SET) != 0) return errno == ESPIPE;

  uint8_t size[4];
  put_le32(size, static_cast<uint32_t>(riff));
  if (!write_all(out_, size, 4)) return false;
  if (fseeko(out_, start + 40, SEEK_SET) != 0) return false;
  put_le32(size, static_cast<uint32_t>(data_bytes_));
  if (!write_all(out_, size, 4)) return false;
  if (fseeko(out_, end, SEEK_SET) != 0) return false;
  return std::fflush(out_) == 0;
}

}  // namespace tarsk::cli
