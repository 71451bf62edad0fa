// Where DV frames come from: raw DV through tarsk's own reader, or the DV
// packets of a container through libavformat, fed to the same resync.
#include "container.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#if TARSK_WITH_AVFORMAT
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}
#endif

namespace tarsk::cli {

namespace {

// What is read from a stream to tell what it holds.
constexpr size_t peek_size = 64 * 1024;

// Raw DV starts with a header block followed by a subcode block.
bool starts_as_raw_dv(const std::vector<uint8_t> &b) {
  return b.size() >= 83 && (b[0] >> 5) == 0 && (b[80] >> 5) == 1;
}

class RawSource : public DvSource {
 public:
  RawSource(FILE *file, bool owned, const std::vector<uint8_t> &peek)
      : reader_(file, owned, peek) {}
  std::optional<Expected<Frame>> next() override { return reader_.next(); }

 private:
  Reader reader_;
};

}  // namespace

#if TARSK_WITH_AVFORMAT

bool containers_built() { return true; }
const char *const no_containers = "";

namespace {

std::string av_message(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// The bytes under libavformat: a file it may seek in, or a pipe, whose
// first bytes were read already to tell what it holds.
struct Input {
  FILE *file = nullptr;
  bool owned = false;
  std::vector<uint8_t> peek;
  size_t peek_at = 0;
  bool seekable = false;
  ~Input() {
    if (owned && file != nullptr) std::fclose(file);
  }
};

int read_input(void *opaque, uint8_t *buf, int size) {
  Input &in = *static_cast<Input *>(opaque);
  const size_t want = static_cast<size_t>(size);
  if (in.peek_at < in.peek.size()) {
    const size_t n = std::min(want, in.peek.size() - in.peek_at);
    std::memcpy(buf, in.peek.data() + in.peek_at, n);
    in.peek_at += n;
    return static_cast<int>(n);
  }
  const size_t n = std::fread(buf, 1, want, in.file);
  if (n == 0) return std::ferror(in.file) ? AVERROR(EIO) : AVERROR_EOF;
  return static_cast<int>(n);
}

int64_t seek_input(void *opaque, int64_t offset, int whence) {
  Input &in = *static_cast<Input *>(opaque);
  if (!in.seekable) return -1;
  if (whence & AVSEEK_SIZE) {
    struct stat st {};
    return fstat(fileno(in.file), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
  }
  whence &= ~AVSEEK_FORCE;
  if (fseeko(in.file, offset, whence) != 0) return -1;
  return ftello(in.file);
}

// Containers by libavformat's demuxer names.
std::string container_name(const AVInputFormat *format) {
  const std::string name = format->name;
  if (name == "avi") return "AVI";
  if (name.rfind("mov", 0) == 0) return "QuickTime";
  if (name.rfind("matroska", 0) == 0) return "Matroska";
  return format->long_name != nullptr ? format->long_name : name;
}

std::string fourcc(uint32_t tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xff);
    text += c >= 32 && c < 127 ? c : '?';
  }
  return text;
}

class ContainerSource : public DvSource {
 public:
  ~ContainerSource() override {
    av_packet_free(&packet_);
    avformat_close_input(&ctx_);
    if (avio_ != nullptr) av_freep(&avio_->buffer);
    avio_context_free(&avio_);
  }

  // Opens the container on `input`; an error when it holds no DV track
  // tarsk decodes.
  static Expected<std::unique_ptr<DvSource>> open(std::unique_ptr<Input> input,
                                                  const AVInputFormat *format,
                                                  const std::string &name) {
    auto source = std::unique_ptr<ContainerSource>(new ContainerSource());
    ContainerSource &s = *source;
    s.input_ = std::move(input);
    s.name_ = name;
    s.info_.container = container_name(format);
    auto *buffer = static_cast<uint8_t *>(av_malloc(peek_size));
    s.avio_ = avio_alloc_context(buffer, static_cast<int>(peek_size), 0, s.input_.get(), read_input,
                                 nullptr, s.input_->seekable ? seek_input : nullptr);
    s.ctx_ = avformat_alloc_context();
    s.packet_ = av_packet_alloc();
    if (buffer == nullptr || s.avio_ == nullptr || s.ctx_ == nullptr || s.packet_ == nullptr) {
      if (s.avio_ == nullptr) av_free(buffer);
      return Error{Errc::io, name + ": out of memory"};
    }
    s.ctx_->pb = s.avio_;
    s.ctx_->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (const int r = avformat_open_input(&s.ctx_, "", format, nullptr); r < 0)
      return Error{Errc::not_dv, name + ": the " + s.info_.container +
                                     " container cannot be read (" + av_message(r) + ")" +
                                     (s.input_->seekable ? "" : s.pipe_hint())};
    if (auto chosen = s.choose_streams(); !chosen) return chosen.error();
    return std::unique_ptr<DvSource>(std::move(source));
  }

  std::optional<Expected<Frame>> next() override {
    for (;;) {
      if (auto frame = feeder_.next()) return Expected<Frame>(std::move(*frame));
      if (ended_) {
        if (!problem_.empty())
          return Expected<Frame>(Error{Errc::io, std::exchange(problem_, {})});
        return std::nullopt;
      }
      const int r = av_read_frame(ctx_, packet_);
      if (r < 0) {
        ended_ = true;
        feeder_.finish();
        if (r != AVERROR_EOF)
          problem_ = "reading the " + info_.container + " container: " + av_message(r) +
                     (input_->seekable ? "" : pipe_hint());
        continue;
      }
      if (packet_->stream_index == video_ && packet_->size > 0)
        feeder_.push({packet_->data, static_cast<size_t>(packet_->size)});
      else if (packet_->stream_index == audio_)
        add_track_audio();
      av_packet_unref(packet_);
    }
  }

 private:
  ContainerSource() = default;

  std::string pipe_hint() const {
    return info_.container == "QuickTime"
               ? "; a QuickTime file whose index stands at its end cannot be read from a pipe"
               : "";
  }

  Expected<void> choose_streams() {
    std::string other;
    for (unsigned i = 0; i < ctx_->nb_streams; ++i) {
      const AVCodecParameters *p = ctx_->streams[i]->codecpar;
      if (p->codec_type == AVMEDIA_TYPE_VIDEO && video_ < 0) {
        if (p->codec_id != AV_CODEC_ID_DVVIDEO) {
          other = p->codec_tag != 0 ? "'" + fourcc(p->codec_tag) + "'" : "another codec";
          continue;
        }
        const std::string tag = fourcc(p->codec_tag);
        if (tag.rfind("dv5", 0) == 0 || tag.rfind("dvh", 0) == 0 || tag == "dv50" ||
            tag == "dvhd" || p->width != 720 || (p->height != 576 && p->height != 480))
          return Error{Errc::not_dv, name_ + ": its DV track is " + std::to_string(p->width) +
                                         "x" + std::to_string(p->height) + " '" + tag +
                                         "', a DV variant tarsk does not decode (only "
                                         "25 Mbit/s DV of 720x576 or 720x480)"};
        video_ = static_cast<int>(i);
      } else if (p->codec_type == AVMEDIA_TYPE_AUDIO && audio_ < 0 &&
                 (p->codec_id == AV_CODEC_ID_PCM_S16LE || p->codec_id == AV_CODEC_ID_PCM_S16BE) &&
                 p->ch_layout.nb_channels > 0) {
        audio_ = static_cast<int>(i);
        big_endian_ = p->codec_id == AV_CODEC_ID_PCM_S16BE;
        info_.track_audio = true;
        info_.track_rate = p->sample_rate;
        info_.track_channels = p->ch_layout.nb_channels;
      }
    }
    if (video_ < 0)
      return Error{Errc::not_dv, name_ + ": the " + info_.container + " file holds no DV video" +
                                     (other.empty() ? "" : " (its video is " + other + ")")};
    return {};
  }

  void add_track_audio() {
    const uint8_t *d = packet_->data;
    for (int i = 0; i + 1 < packet_->size; i += 2)
      track_audio_.push_back(static_cast<int16_t>(
          big_endian_ ? (d[i] << 8) | d[i + 1] : d[i] | (d[i + 1] << 8)));
  }

  std::unique_ptr<Input> input_;
  std::string name_;
  AVIOContext *avio_ = nullptr;
  AVFormatContext *ctx_ = nullptr;
  AVPacket *packet_ = nullptr;
  int video_ = -1, audio_ = -1;
  bool big_endian_ = false;
  FrameFeeder feeder_;
  bool ended_ = false;
  std::string problem_;
};

// The container libavformat finds in a stream's first bytes; none for raw
// DV (whose demuxer is not wanted: tarsk reads raw DV itself) or for what
// it does not know.
const AVInputFormat *probe(const std::vector<uint8_t> &peek) {
  std::vector<uint8_t> padded(peek.size() + AVPROBE_PADDING_SIZE, 0);
  std::copy(peek.begin(), peek.end(), padded.begin());
  AVProbeData data{};
  data.filename = "";
  data.buf = padded.data();
  data.buf_size = static_cast<int>(peek.size());
  int score = 0;
  const AVInputFormat *format = av_probe_input_format3(&data, 1, &score);
  if (format == nullptr || std::string(format->name) == "dv") return nullptr;
  return format;
}

}  // namespace

#else

bool containers_built() { return false; }
const char *const no_containers =
    " (this tarsk was built without libavformat: it reads and writes raw DV only)";

#endif

Expected<std::unique_ptr<DvSource>> open_dv_source(const std::string &path) {
#if TARSK_WITH_AVFORMAT
  av_log_set_level(AV_LOG_QUIET);  // what goes wrong is told in tarsk's words
#endif
  const bool standard_input = path == "-";
  const std::string name = standard_input ? "standard input" : path;
  FILE *file = standard_input ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Error{Errc::io, name + ": " + std::strerror(errno)};
  std::vector<uint8_t> peek(peek_size);
  peek.resize(std::fread(peek.data(), 1, peek.size(), file));
  if (std::ferror(file)) {
    const std::string why = std::strerror(errno);
    if (!standard_input) std::fclose(file);
    return Error{Errc::io, name + ": " + why};
  }
#if TARSK_WITH_AVFORMAT
  if (!starts_as_raw_dv(peek)) {
    if (const AVInputFormat *format = probe(peek)) {
      auto input = std::make_unique<Input>();
      input->file = file;
      input->owned = !standard_input;
      struct stat st {};
      input->seekable = !standard_input && fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
      if (input->seekable)
        std::rewind(file);  // libavformat reads from the start, seeking where it wants
      else
        input->peek = std::move(peek);
      return ContainerSource::open(std::move(input), format, name);
    }
  }
#endif
  return std::unique_ptr<DvSource>(new RawSource(file, !standard_input, peek));
}

}  // namespace tarsk::cli
