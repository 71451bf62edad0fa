// Output formats of the tarsk command: Y4M and PPM written byte by byte,
// PNG by libpng, WAV by libsndfile; the files are the same on any host.
#include "formats.h"

#include <fcntl.h>
#include <png.h>
#include <sndfile.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

namespace tarsk::cli {

namespace {

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

// Bytes of a packed R G B picture of the size, or why it cannot be one.
Result<size_t> rgb_size(int width, int height, std::span<const uint8_t> rgb) {
  if (width <= 0 || height <= 0) return Failure{"the picture has no pixels"};
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
  if (rgb.size() < bytes) return Failure{"the RGB picture is shorter than its size"};
  return bytes;
}

// Samples a line and lines of each plane of a planar picture; none for a
// packed layout.
struct PlaneSize {
  size_t columns = 0, lines = 0;
};
std::optional<std::array<PlaneSize, 3>> plane_sizes(const tarsk_picture &p) {
  const auto w = static_cast<size_t>(p.width), h = static_cast<size_t>(p.height);
  PlaneSize chroma;
  switch (p.format) {
    case TARSK_PIXEL_I420:
      chroma = {w / 2, h / 2};
      break;
    case TARSK_PIXEL_Y41B:
      chroma = {w / 4, h};
      break;
    case TARSK_PIXEL_I422:
      chroma = {w / 2, h};
      break;
    default:
      return std::nullopt;
  }
  return std::array<PlaneSize, 3>{PlaneSize{w, h}, chroma, chroma};
}

}  // namespace

Ratio pixel_aspect(tarsk_system system, bool wide) {
  if (system == TARSK_SYSTEM_525_60) return wide ? Ratio{32, 27} : Ratio{8, 9};
  return wide ? Ratio{64, 45} : Ratio{16, 15};
}

std::string y4m_header(const PictureInfo &info) {
  const bool ntsc = info.system == TARSK_SYSTEM_525_60;
  const Ratio aspect = pixel_aspect(info.system, info.wide);
  // 4:2:0 chroma lines of interlaced DV belong to one field each; those of
  // progressive pictures sit between two neighbouring lines.
  const char *chroma = info.sampling == TARSK_SAMPLING_411   ? "411"
                       : info.sampling == TARSK_SAMPLING_422 ? "422"
                       : info.progressive                    ? "420jpeg"
                                                             : "420paldv";
  return "YUV4MPEG2 W" + std::to_string(info.width) + " H" + std::to_string(info.height) +
         (ntsc ? " F30000:1001" : " F25:1") + (info.progressive ? " Ip" : " Ib") + " A" +
         std::to_string(aspect.num) + ":" +
         std::to_string(aspect.den) + " C" + chroma + "\n";
}

bool write_planes(const tarsk_picture &picture,
                  const std::function<bool(std::span<const uint8_t>)> &write) {
  const auto sizes = plane_sizes(picture);
  if (!sizes || picture.width <= 0 || picture.height <= 0) return false;
  for (int p = 0; p < 3; ++p) {
    const PlaneSize &s = (*sizes)[static_cast<size_t>(p)];
    const uint8_t *plane = picture.data[p];
    if (static_cast<size_t>(picture.stride[p]) == s.columns) {
      if (!write({plane, s.columns * s.lines})) return false;
      continue;
    }
    for (size_t line = 0; line < s.lines; ++line)
      if (!write({plane + static_cast<ptrdiff_t>(line) * picture.stride[p], s.columns}))
        return false;
  }
  return true;
}

bool append_planes(const tarsk_picture &picture, std::vector<uint8_t> &out) {
  return write_planes(picture, [&](std::span<const uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  });
}

bool y4m_frame(const tarsk_picture &picture, std::vector<uint8_t> &out) {
  if (!plane_sizes(picture)) return false;
  append(out, "FRAME\n");
  return append_planes(picture, out);
}

Result<std::vector<uint8_t>> png_encode(int width, int height, std::span<const uint8_t> rgb) {
  if (auto size = rgb_size(width, height, rgb); !size) return size.error();
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGB;
  // The buffer takes the largest file libpng can make of this picture, so
  // that it compresses once.
  std::vector<uint8_t> out(PNG_IMAGE_PNG_SIZE_MAX(image));
  png_alloc_size_t size = out.size();
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr)) {
    Failure failure{std::string("PNG: ") + image.message};
    png_image_free(&image);
    return failure;
  }
  out.resize(size);
  return out;
}

Result<std::vector<uint8_t>> ppm_encode(int width, int height, std::span<const uint8_t> rgb) {
  auto bytes = rgb_size(width, height, rgb);
  if (!bytes) return bytes.error();
  const std::string header =
      "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  std::vector<uint8_t> out;
  out.reserve(header.size() + *bytes);
  append(out, header);
  out.insert(out.end(), rgb.begin(), rgb.begin() + static_cast<std::ptrdiff_t>(*bytes));
  return out;
}

// ---------------------------------------------------------------------------
// Sound.

namespace {

// Sizes of a WAV whose length is not known, as written to pipes.
constexpr uint32_t unknown_size = 0xffffffffu;
// The RIFF size stands at byte 4 of a WAV. libsndfile ends the header it
// writes with the data chunk's tag and size: 44 bytes for a plain 16-bit
// PCM WAV, more for WAVE_FORMAT_EXTENSIBLE.
constexpr size_t riff_size_at = 4;

bool write_all(FILE *out, const void *data, size_t size) {
  return size == 0 || std::fwrite(data, 1, size, out) == size;
}

}  // namespace

// libsndfile writes the WAV through virtual I/O onto the caller's stream,
// which may already hold other bytes (positions here count from where the
// WAV starts) or be a pipe, where libsndfile itself refuses to write WAV.
// On a stream that cannot go back, the header is held here until start()
// has set its sizes to unknown, and libsndfile's later rewrites of it are
// dropped: everything else it writes goes forward in order.
struct AudioWriter::Wav {
  FILE *out;
  bool rewritable;
  off_t base;                   // stream position of the WAV's first byte
  sf_count_t pos = 0, end = 0;  // libsndfile's position and file length
  sf_count_t stream_pos = 0;    // rewritable: where the stream is
  sf_count_t sent = 0;          // not rewritable: bytes gone out
  std::vector<uint8_t> held;    // not rewritable: the header, until released
  size_t header_bytes = 0;      // up to the samples, once libsndfile has written it
  bool holding;
  bool failed = false, abandoned = false;
  SNDFILE *file = nullptr;

  Wav(FILE *stream, bool can_rewrite, off_t start)
      : out(stream), rewritable(can_rewrite), base(start), holding(!can_rewrite) {}
  // An unfinished WAV is abandoned: the caller may have closed the stream,
  // so what libsndfile writes as it closes goes nowhere.
  ~Wav() {
    abandoned = true;
    if (file != nullptr) sf_close(file);
  }

  sf_count_t write(const void *data, sf_count_t count) {
    if (abandoned) return count;
    const auto *bytes = static_cast<const uint8_t *>(data);
    const sf_count_t done = rewritable ? write_at(bytes, count) : write_forward(bytes, count);
    pos += done;
    end = std::max(end, pos);
    return done;
  }

  sf_count_t write_at(const uint8_t *bytes, sf_count_t count) {
    if (pos != stream_pos && fseeko(out, base + static_cast<off_t>(pos), SEEK_SET) != 0) {
      failed = true;
      return 0;
    }
    const size_t n = std::fwrite(bytes, 1, static_cast<size_t>(count), out);
    stream_pos = pos + static_cast<sf_count_t>(n);
    if (n != static_cast<size_t>(count)) failed = true;
    return static_cast<sf_count_t>(n);
  }

  sf_count_t write_forward(const uint8_t *bytes, sf_count_t count) {
    if (holding) {
      const auto at = static_cast<size_t>(pos);
      held.resize(std::max(held.size(), at + static_cast<size_t>(count)));
      std::memcpy(held.data() + at, bytes, static_cast<size_t>(count));
      return count;
    }
    // What lies before `sent` is the header again: it stays as it went out.
    if (pos > sent) {  // a gap the stream cannot leave
      failed = true;
      return 0;
    }
    const sf_count_t skip = std::min(sent - pos, count);
    if (!write_all(out, bytes + skip, static_cast<size_t>(count - skip))) {
      failed = true;
      return 0;
    }
    sent += count - skip;
    return count;
  }

  // Where the data chunk's size stands in the header, if it ends as
  // libsndfile's headers do.
  std::optional<size_t> data_size_at(std::span<const uint8_t> header) const {
    if (header.size() < 12 || std::memcmp(header.data(), "RIFF", 4) != 0 ||
        std::memcmp(header.data() + header.size() - 8, "data", 4) != 0)
      return std::nullopt;
    return header.size() - 4;
  }

  // Sends the held header with its sizes unknown.
  bool release_header() {
    holding = false;
    if (const auto at = data_size_at(held)) {
      put_le32(held.data() + riff_size_at, unknown_size);
      put_le32(held.data() + *at, unknown_size);
    }
    sent = static_cast<sf_count_t>(held.size());
    if (write_all(out, held.data(), held.size())) return true;
    failed = true;
    return false;
  }

  // A WAV counts its bytes in 32 bits: longer sound keeps unknown sizes.
  bool mark_sizes_unknown() {
    uint8_t size[4];
    put_le32(size, unknown_size);
    for (size_t at : {riff_size_at, header_bytes - 4})
      if (fseeko(out, base + static_cast<off_t>(at), SEEK_SET) != 0 || !write_all(out, size, 4))
        return false;
    return fseeko(out, base + static_cast<off_t>(end), SEEK_SET) == 0;
  }
};

namespace {

AudioWriter::Wav &sink(void *user) { return *static_cast<AudioWriter::Wav *>(user); }

sf_count_t sink_length(void *user) { return sink(user).end; }

sf_count_t sink_seek(sf_count_t offset, int whence, void *user) {
  AudioWriter::Wav &w = sink(user);
  const sf_count_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? w.pos : w.end;
  if (from + offset < 0) return -1;
  w.pos = from + offset;
  return w.pos;
}

sf_count_t sink_read(void *, sf_count_t, void *) { return 0; }  // written only

sf_count_t sink_write(const void *data, sf_count_t count, void *user) {
  return sink(user).write(data, count);
}

sf_count_t sink_tell(void *user) { return sink(user).pos; }

}  // namespace

AudioWriter::AudioWriter(FILE *out, bool wav) : out_(out), wav_(wav) {}

AudioWriter::~AudioWriter() = default;

bool AudioWriter::start(int frequency, int channels, const std::vector<int> &layout) {
  if (started_) return true;
  if (frequency <= 0 || channels <= 0 || channels > 0x7fff) return false;
  frequency_ = frequency;
  channels_ = channels;
  started_ = true;
  if (!wav_) return true;

  // The header can be rewritten only where the stream can seek back to it,
  // and not where every write goes to the end whatever the position.
  const int flags = fcntl(fileno(out_), F_GETFL);
  const off_t base = ftello(out_);
  const bool rewritable = flags != -1 && (flags & O_APPEND) == 0 && base >= 0;
  sink_ = std::make_unique<Wav>(out_, rewritable, std::max<off_t>(base, 0));
  SF_VIRTUAL_IO io{sink_length, sink_seek, sink_read, sink_write, sink_tell};
  SF_INFO info{};
  info.samplerate = frequency;
  info.channels = channels;
  info.format = (layout.empty() ? SF_FORMAT_WAV : SF_FORMAT_WAVEX) | SF_FORMAT_PCM_16;
  if (!layout.empty() && layout.size() != static_cast<size_t>(channels)) return false;
  sink_->file = sf_open_virtual(&io, SFM_WRITE, &info, sink_.get());
  if (sink_->file == nullptr) return false;
  if (!layout.empty()) {
    // libsndfile wrote the header as it opened; it is written again with
    // the channel mask before any sample.
    std::vector<int> map = layout;
    if (sf_command(sink_->file, SFC_SET_CHANNEL_MAP_INFO, map.data(),
                   static_cast<int>(map.size() * sizeof(int))) != SF_TRUE)
      return false;
    sf_command(sink_->file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    if (sink_->failed) return false;
  }
  sink_->header_bytes = static_cast<size_t>(sink_->end);
  return rewritable || sink_->release_header();
}

bool AudioWriter::put(const int16_t *interleaved, size_t frames) {
  if (!wav_) {  // little-endian whatever the host
    std::vector<uint8_t> bytes(frames * static_cast<size_t>(channels_) * 2);
    for (size_t i = 0; i < bytes.size() / 2; ++i)
      put_le16(&bytes[2 * i], static_cast<uint16_t>(interleaved[i]));
    return write_all(out_, bytes.data(), bytes.size());
  }
  const auto n = static_cast<sf_count_t>(frames);
  return sf_writef_short(sink_->file, interleaved, n) == n && !sink_->failed;
}

bool AudioWriter::write(const std::vector<std::vector<int16_t>> &channels, size_t samples) {
  if (!started_) return false;
  const size_t count = static_cast<size_t>(channels_);
  // A few thousand frames at a time keeps the buffer small for long runs.
  constexpr size_t chunk = 4096;
  std::vector<int16_t> interleaved(std::min(samples, chunk) * count);
  for (size_t first = 0; first < samples; first += chunk) {
    const size_t n = std::min(chunk, samples - first);
    int16_t *dst = interleaved.data();
    for (size_t i = first; i < first + n; ++i) {
      for (size_t c = 0; c < count; ++c) {
        const bool present = c < channels.size() && i < channels[c].size();
        *dst++ = present ? channels[c][i] : 0;
      }
    }
    if (!put(interleaved.data(), n)) return false;
    data_bytes_ += n * count * 2;
  }
  return true;
}

bool AudioWriter::silence(size_t samples) {
  if (!started_) return false;
  constexpr size_t chunk = 4096;
  const std::vector<int16_t> zeros(std::min(samples, chunk) * static_cast<size_t>(channels_), 0);
  for (size_t first = 0; first < samples; first += chunk) {
    const size_t n = std::min(chunk, samples - first);
    if (!put(zeros.data(), n)) return false;
    data_bytes_ += n * static_cast<size_t>(channels_) * 2;
  }
  return true;
}

bool AudioWriter::finish() {
  if (sink_ && sink_->file != nullptr) {
    // Closing rewrites a rewritable header with the sizes.
    const int closed = sf_close(std::exchange(sink_->file, nullptr));
    if (closed != 0 || sink_->failed) return false;
    if (sink_->rewritable && data_bytes_ + sink_->header_bytes - 8 > 0xfffffffeu &&
        !sink_->mark_sizes_unknown())
      return false;
  }
  return std::fflush(out_) == 0;
}

}  // namespace tarsk::cli
