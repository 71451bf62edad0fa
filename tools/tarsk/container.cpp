// Where DV frames come from: raw DV through tarsk's own reader, or the DV
// packets of a container through libavformat, fed to the same resync.
#include "container.h"

#include "cli.h"
#include "output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if TARSK_WITH_AVFORMAT
#include <dlfcn.h>

#include <string>
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}
#endif

namespace tarsk::cli {

namespace {

// What is read from a stream to tell what it holds.
constexpr size_t peek_size = 64 * 1024;

// Raw DV: frames one after another.
class RawSink : public DvSink {
 public:
  explicit RawSink(const std::string &path) : ok_(out_.open(path)) {}
  bool opened() const { return ok_; }
  bool start(const StreamFacts &) override { return true; }
  bool write(std::span<const uint8_t> frame, std::span<const int16_t>) override {
    return out_.write(frame);
  }
  bool commit() override { return out_.commit(); }

 private:
  OutputFile out_;
  bool ok_;
};

std::string lower_extension(const std::string &path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return {};
  std::string ext = path.substr(dot + 1);
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// The reader's errors in the tool's words.
Expected<Frame> in_our_words(Expected<Frame> frame) {
  if (!frame && frame.error().code == Errc::not_dv) return Error{Errc::not_dv, "not a DV stream"};
  return frame;
}

class RawSource : public DvSource {
 public:
  // `seekable`: a regular file, read by position to skip frames.
  RawSource(FILE *file, bool owned, bool seekable, const std::vector<uint8_t> &peek)
      : reader_(file, owned, peek), fd_(seekable ? fileno(file) : -1) {}
  std::optional<Expected<Frame>> next() override {
    if (ended_) return std::nullopt;
    auto frame = seeker_ ? seeker_->next() : reader_.next();
    if (!frame) return std::nullopt;
    return in_our_words(std::move(*frame));
  }
  uint64_t skip(uint64_t frames) override {
    if (fd_ < 0 || frames == 0 || reader_.frames_read() > 0) return 0;
    const tarsk_source source{[](void *user, uint64_t offset, uint8_t *bytes, size_t size) {
                                const int fd = *static_cast<int *>(user);
                                if (offset > static_cast<uint64_t>(INT64_MAX)) return int64_t{-1};
                                size_t done = 0;
                                while (done < size) {
                                  const ssize_t got = pread(fd, bytes + done, size - done,
                                                            static_cast<off_t>(offset + done));
                                  if (got < 0 && errno == EINTR) continue;
                                  if (got < 0) return int64_t{-1};
                                  if (got == 0) break;
                                  done += static_cast<size_t>(got);
                                }
                                return static_cast<int64_t>(done);
                              },
                              &fd_};
    auto seeker = FrameSeeker::over(source);
    if (!seeker) return 0;
    if (auto sought = seeker->seek(frames); !sought) {
      // Fewer frames than that: all of them passed over; or a read failed,
      // and the frames are read through instead.
      auto all = sought.error().code == Errc::end ? seeker->frames() : Expected<uint64_t>(0);
      if (!all || *all == 0) return 0;
      ended_ = true;
      return *all;
    }
    seeker_ = std::move(*seeker);
    return frames;
  }

 private:
  Reader reader_;
  int fd_;
  std::optional<FrameSeeker> seeker_;
  bool ended_ = false;
};

}  // namespace

#if TARSK_WITH_AVFORMAT

bool containers_built() { return true; }
const char *const no_containers = "";

namespace {

// The functions of libavformat, and of libavcodec and libavutil under it,
// that the tool calls. They are looked up when a container is first met,
// so that every other run starts without the hundred-odd shared libraries
// they bring in, which take some 30 ms of every start.
// clang-format off
#define TARSK_AV_FUNCTIONS(F)                                                           \
  F(av_channel_layout_default) F(av_dict_set) F(av_free) F(av_freep)                    \
  F(av_interleaved_write_frame) F(av_log_set_level) F(av_malloc) F(av_new_packet)       \
  F(av_packet_alloc) F(av_packet_free) F(av_packet_unref) F(av_probe_input_format3)     \
  F(av_read_frame) F(av_rescale_q) F(av_strerror) F(av_write_trailer)                   \
  F(avformat_alloc_context) F(avformat_alloc_output_context2) F(avformat_close_input)   \
  F(avformat_free_context) F(avformat_new_stream) F(avformat_open_input)                \
  F(avformat_write_header) F(avio_alloc_context) F(avio_context_free) F(avio_flush)
// clang-format on

struct AvFunctions {
#define TARSK_AV_POINTER(name) decltype(&::name) name = nullptr;
  TARSK_AV_FUNCTIONS(TARSK_AV_POINTER)
#undef TARSK_AV_POINTER
};

// The functions, from the libavformat the tool was built against, loaded
// once for the life of the process; null, with `why` said, when it cannot
// be loaded.
const AvFunctions *load_av(std::string *why) {
  static std::string problem;
  static const AvFunctions *const loaded = []() -> const AvFunctions * {
    const std::string soname = "libavformat.so." + std::to_string(LIBAVFORMAT_VERSION_MAJOR);
    void *library = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      problem = dlerror();
      return nullptr;
    }
    static AvFunctions f;
    // dlsym looks through the libraries libavformat needs too.
#define TARSK_AV_LOOK_UP(function)                                                \
  f.function = reinterpret_cast<decltype(f.function)>(dlsym(library, #function)); \
  if (f.function == nullptr) {                                                    \
    problem = soname + " has no " #function;                                      \
    return nullptr;                                                               \
  }
    TARSK_AV_FUNCTIONS(TARSK_AV_LOOK_UP)
#undef TARSK_AV_LOOK_UP
    f.av_log_set_level(AV_LOG_QUIET);  // what goes wrong is told in tarsk's words
    return &f;
  }();
  if (loaded == nullptr && why != nullptr) *why = problem;
  return loaded;
}

// The functions, once load_av has found them.
const AvFunctions &av() { return *load_av(nullptr); }

std::string av_message(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av().av_strerror(code, text, sizeof text);
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
    av().av_packet_free(&packet_);
    av().avformat_close_input(&ctx_);
    if (avio_ != nullptr) av().av_freep(&avio_->buffer);
    av().avio_context_free(&avio_);
  }

  // Opens the container on `input`; an error when it holds no DV track
  // tarsk decodes.
  // `interleaved`: AVI type 1, whose one stream is the DV frames with their
  // sound (libavformat shows that sound as a track of its own).
  static Expected<std::unique_ptr<DvSource>> open(std::unique_ptr<Input> input,
                                                  const AVInputFormat *format,
                                                  const std::string &name, bool interleaved) {
    auto source = std::unique_ptr<ContainerSource>(new ContainerSource());
    ContainerSource &s = *source;
    s.input_ = std::move(input);
    s.name_ = name;
    s.interleaved_ = interleaved;
    s.info_.container = container_name(format) + (interleaved ? " type 1" : "");
    auto *buffer = static_cast<uint8_t *>(av().av_malloc(peek_size));
    s.avio_ =
        av().avio_alloc_context(buffer, static_cast<int>(peek_size), 0, s.input_.get(), read_input,
                                nullptr, s.input_->seekable ? seek_input : nullptr);
    s.ctx_ = av().avformat_alloc_context();
    s.packet_ = av().av_packet_alloc();
    if (buffer == nullptr || s.avio_ == nullptr || s.ctx_ == nullptr || s.packet_ == nullptr ||
        !s.feeder_) {
      if (s.avio_ == nullptr) av().av_free(buffer);
      return Error{Errc::io, name + ": out of memory"};
    }
    s.ctx_->pb = s.avio_;
    s.ctx_->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (const int r = av().avformat_open_input(&s.ctx_, "", format, nullptr); r < 0)
      return Error{Errc::not_dv, name + ": the " + s.info_.container +
                                     " container cannot be read (" + av_message(r) + ")" +
                                     (s.input_->seekable ? "" : s.pipe_hint())};
    if (auto chosen = s.choose_streams(); !chosen) return chosen.error();
    return std::unique_ptr<DvSource>(std::move(source));
  }

  std::optional<Expected<Frame>> next() override {
    for (;;) {
      if (failed_) return std::nullopt;
      if (auto frame = feeder_.next()) {
        failed_ = !*frame;  // no DV in the track's packets: nothing more to read
        return in_our_words(std::move(*frame));
      }
      if (ended_) {
        if (!problem_.empty())
          return Expected<Frame>(Error{Errc::io, std::exchange(problem_, {})});
        return std::nullopt;
      }
      const int r = av().av_read_frame(ctx_, packet_);
      if (r < 0) {
        ended_ = true;
        feeder_.finish();
        if (r != AVERROR_EOF)
          problem_ = "reading the " + info_.container + " container: " + av_message(r) +
                     (input_->seekable ? "" : pipe_hint());
        continue;
      }
      if (packet_->stream_index == video_ && packet_->size > 0) {
        if (auto pushed = feeder_.push(Bytes(packet_->data, static_cast<size_t>(packet_->size)));
            !pushed) {
          failed_ = true;
          av().av_packet_unref(packet_);
          return Expected<Frame>(pushed.error());
        }
      } else if (packet_->stream_index == audio_)
        add_track_audio();
      av().av_packet_unref(packet_);
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
        // The size is known from the header but for AVI type 1 (the frames
        // say it there).
        const std::string tag = fourcc(p->codec_tag);
        const bool sized = p->width != 0 || p->height != 0;
        if (tag.rfind("dv5", 0) == 0 || tag.rfind("dvh", 0) == 0 || tag == "dv50" ||
            tag == "dvhd" || (sized && (p->width != 720 || (p->height != 576 && p->height != 480))))
          return Error{Errc::not_dv, name_ + ": its DV track is " + std::to_string(p->width) +
                                         "x" + std::to_string(p->height) + " '" + tag +
                                         "', a DV variant tarsk does not decode (only "
                                         "25 Mbit/s DV of 720x576 or 720x480)"};
        video_ = static_cast<int>(i);
        info_.time_base_num = ctx_->streams[i]->time_base.num;
        info_.time_base_den = ctx_->streams[i]->time_base.den;
        if (ctx_->streams[i]->nb_frames > 0)
          info_.frames = static_cast<uint64_t>(ctx_->streams[i]->nb_frames);
        if (ctx_->duration > 0 && ctx_->duration != AV_NOPTS_VALUE)
          info_.seconds = static_cast<double>(ctx_->duration) / AV_TIME_BASE;
      } else if (p->codec_type == AVMEDIA_TYPE_AUDIO && audio_ < 0 && !interleaved_ &&
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
  bool big_endian_ = false, interleaved_ = false;
  FrameFeeder feeder_;
  bool ended_ = false, failed_ = false;
  std::string problem_;
};

// Raw DV starts with a header block followed by a subcode block.
bool starts_as_raw_dv(const std::vector<uint8_t> &b) {
  return b.size() >= 83 && (b[0] >> 5) == 0 && (b[80] >> 5) == 1;
}

// An AVI file of type 1: one stream of type 'iavs', DV frames interleaved
// with their sound, in the stream header among its first bytes.
bool avi_type_1(const std::vector<uint8_t> &peek) {
  static constexpr uint8_t strh[4] = {'s', 't', 'r', 'h'};
  for (auto at = std::search(peek.begin(), peek.end(), strh, strh + 4); peek.end() - at >= 12;
       at = std::search(at + 4, peek.end(), strh, strh + 4))
    if (std::equal(at + 8, at + 12, "iavs")) return true;
  return false;
}

// The container libavformat finds in a stream's first bytes; none for raw
// DV (whose demuxer is not wanted: tarsk reads raw DV itself) or for
// anything else.
const AVInputFormat *probe(const std::vector<uint8_t> &peek) {
  std::vector<uint8_t> padded(peek.size() + AVPROBE_PADDING_SIZE, 0);
  std::copy(peek.begin(), peek.end(), padded.begin());
  AVProbeData data{};
  data.filename = "";
  data.buf = padded.data();
  data.buf_size = static_cast<int>(peek.size());
  int score = 0;
  const AVInputFormat *format = av().av_probe_input_format3(&data, 1, &score);
  // Only the containers DV is kept in: a damaged raw stream whose first
  // bytes happen to look like something else is still read as raw DV.
  if (format == nullptr) return nullptr;
  const std::string name = format->name;
  const bool container = name == "avi" || name.rfind("mov", 0) == 0 ||
                         name.rfind("matroska", 0) == 0 || name == "nut";
  return container ? format : nullptr;
}

// A file written by one of libavformat's muxers through an OutputFile:
// packets in, as tarsk made them.
class Muxer {
 public:
  Muxer(const std::string &path, const char *muxer) : path_(path), muxer_(muxer) {}
  ~Muxer() {
    if (load_av(nullptr) == nullptr) return;  // nothing of it was made
    if (ctx_ != nullptr) av().avformat_free_context(ctx_);
    if (avio_ != nullptr) av().av_freep(&avio_->buffer);
    av().avio_context_free(&avio_);
    av().av_packet_free(&packet_);
  }
  Muxer(const Muxer &) = delete;
  Muxer &operator=(const Muxer &) = delete;

  // Standard output only for a muxer that needs no seeking back.
  bool open(bool streamable) {
    if (path_ == "-" && !streamable) {
      error(std::string("a") + (muxer_[0] == 'a' ? "n " : " ") + container_label() +
            " file cannot go to standard output, which it must seek in: give a file name");
      return false;
    }
    if (std::string why; load_av(&why) == nullptr) {
      error(path_ + ": cannot write a container: " + why);
      return false;
    }
    if (!out_.open(path_)) return false;
    auto *buffer = static_cast<uint8_t *>(av().av_malloc(buffer_size));
    avio_ = av().avio_alloc_context(buffer, static_cast<int>(buffer_size), 1, out_.stream(),
                                    nullptr, write_output, path_ == "-" ? nullptr : seek_output);
    packet_ = av().av_packet_alloc();
    if (buffer == nullptr || avio_ == nullptr || packet_ == nullptr ||
        av().avformat_alloc_output_context2(&ctx_, nullptr, muxer_, nullptr) < 0) {
      if (avio_ == nullptr) av().av_free(buffer);
      return fail("out of memory");
    }
    ctx_->pb = avio_;
    ctx_->flags |= AVFMT_FLAG_CUSTOM_IO;
    return true;
  }

  // A video stream of DV's picture, rate and field order.
  AVStream *add_video(AVCodecID codec, AVPixelFormat format, tarsk_system system, bool wide) {
    AVStream *st = av().avformat_new_stream(ctx_, nullptr);
    if (st == nullptr) return nullptr;
    const bool pal = system == TARSK_SYSTEM_625_50;
    rate_ = pal ? AVRational{1, 25} : AVRational{1001, 30000};
    AVCodecParameters *v = st->codecpar;
    v->codec_type = AVMEDIA_TYPE_VIDEO;
    v->codec_id = codec;
    v->width = 720;
    v->height = pal ? 576 : 480;
    v->format = format;
    v->field_order = AV_FIELD_BB;  // DV keeps the bottom field first
    // The pixel aspect ratios of DV's 4:3 and 16:9 pictures.
    v->sample_aspect_ratio = pal ? (wide ? AVRational{64, 45} : AVRational{16, 15})
                                 : (wide ? AVRational{32, 27} : AVRational{8, 9});
    st->sample_aspect_ratio = v->sample_aspect_ratio;
    st->time_base = rate_;
    st->avg_frame_rate = st->r_frame_rate = av_inv_q(rate_);
    return st;
  }

  AVStream *add_audio(int rate, int channels) {
    AVStream *st = av().avformat_new_stream(ctx_, nullptr);
    if (st == nullptr) return nullptr;
    AVCodecParameters *a = st->codecpar;
    a->codec_type = AVMEDIA_TYPE_AUDIO;
    a->codec_id = AV_CODEC_ID_PCM_S16LE;
    a->sample_rate = rate;
    av().av_channel_layout_default(&a->ch_layout, channels);
    a->bits_per_coded_sample = 16;
    a->block_align = 2 * channels;
    a->bit_rate = static_cast<int64_t>(rate) * 16 * channels;
    st->time_base = AVRational{1, rate};
    return st;
  }

  AVFormatContext *context() { return ctx_; }

  bool begin() {
    if (const int r = av().avformat_write_header(ctx_, nullptr); r < 0)
      return fail("cannot write the " + container_label() + " header (" + av_message(r) + ")");
    return true;
  }

  // The next picture, on stream 0.
  bool put_video(std::span<const uint8_t> bytes) { return put(0, bytes, pictures_++, 1, rate_); }
  // The next interleaved 16-bit samples, on stream 1 (if there is one).
  bool put_sound(std::span<const int16_t> samples) {
    if (ctx_->nb_streams < 2 || samples.empty()) return true;
    const AVCodecParameters *a = ctx_->streams[1]->codecpar;
    const int64_t count = static_cast<int64_t>(samples.size()) / a->ch_layout.nb_channels;
    std::vector<uint8_t> bytes(2 * samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
      const auto v = static_cast<uint16_t>(samples[i]);
      bytes[2 * i] = static_cast<uint8_t>(v & 0xff);
      bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    const int64_t at = std::exchange(samples_, samples_ + count);
    return put(1, bytes, at, count, AVRational{1, a->sample_rate});
  }

  bool finish() {
    if (const int r = av().av_write_trailer(ctx_); r < 0)
      return fail("cannot finish the " + container_label() + " file (" + av_message(r) + ")");
    av().avio_flush(avio_);
    return out_.commit();
  }

  bool fail(const std::string &what) {
    error((path_ == "-" ? "standard output" : path_) + ": " + what);
    return false;
  }

 private:
  static constexpr size_t buffer_size = 64 * 1024;

  std::string container_label() const {
    const std::string m = muxer_;
    return m == "avi" ? "AVI" : m == "mov" ? "QuickTime" : m == "nut" ? "NUT" : "Matroska";
  }

  static int write_output(void *opaque, uint8_t *buf, int size) {
    const size_t n = static_cast<size_t>(size);
    return std::fwrite(buf, 1, n, static_cast<FILE *>(opaque)) == n ? size : AVERROR(EIO);
  }
  static int64_t seek_output(void *opaque, int64_t offset, int whence) {
    auto *file = static_cast<FILE *>(opaque);
    if (whence & AVSEEK_SIZE) return -1;
    if (fseeko(file, offset, whence & ~AVSEEK_FORCE) != 0) return -1;
    return ftello(file);
  }

  bool put(int stream, std::span<const uint8_t> bytes, int64_t pts, int64_t duration,
           AVRational base) {
    if (av().av_new_packet(packet_, static_cast<int>(bytes.size())) < 0)
      return fail("out of memory");
    std::memcpy(packet_->data, bytes.data(), bytes.size());
    packet_->stream_index = stream;
    const AVRational to = ctx_->streams[stream]->time_base;
    packet_->pts = packet_->dts = av().av_rescale_q(pts, base, to);
    packet_->duration = av().av_rescale_q(duration, base, to);
    packet_->flags |= AV_PKT_FLAG_KEY;
    if (const int r = av().av_interleaved_write_frame(ctx_, packet_); r < 0)
      return fail("cannot write a packet (" + av_message(r) + ")");
    return true;
  }

  std::string path_;
  const char *muxer_;
  OutputFile out_;
  AVFormatContext *ctx_ = nullptr;
  AVIOContext *avio_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVRational rate_{1, 25};
  int64_t pictures_ = 0, samples_ = 0;  // written so far
};

// DV frames and their sound into AVI, QuickTime or Matroska: each DV frame
// one video packet, its sound one PCM packet.
class ContainerSink : public DvSink {
 public:
  ContainerSink(const std::string &path, DvForm form)
      : mux_(path, form == DvForm::avi ? "avi" : form == DvForm::mov ? "mov" : "matroska") {}
  bool open() { return mux_.open(false); }

  bool start(const StreamFacts &facts) override {
    const auto format =
        facts.sampling == TARSK_SAMPLING_420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV411P;
    AVStream *video = mux_.add_video(AV_CODEC_ID_DVVIDEO, format, facts.system, facts.wide);
    if (video == nullptr) return mux_.fail("out of memory");
    video->codecpar->bit_rate = facts.system == TARSK_SYSTEM_625_50 ? 28800000 : 28771229;
    if (!facts.timecode.empty()) {
      av().av_dict_set(&video->metadata, "timecode", facts.timecode.c_str(), 0);
      av().av_dict_set(&mux_.context()->metadata, "timecode", facts.timecode.c_str(), 0);
    }
    if (facts.audio_rate > 0 && mux_.add_audio(facts.audio_rate, facts.audio_channels) == nullptr)
      return mux_.fail("out of memory");
    return mux_.begin();
  }
  bool write(std::span<const uint8_t> frame, std::span<const int16_t> sound) override {
    return mux_.put_video(frame) && mux_.put_sound(sound);
  }
  bool write_sound(std::span<const int16_t> sound) override { return mux_.put_sound(sound); }
  bool commit() override { return mux_.finish(); }

 private:
  Muxer mux_;
};

// Raw pictures and PCM sound in NUT, Matroska or AVI.
class ContainerMediaSink : public MediaSink {
 public:
  ContainerMediaSink(const std::string &path, MediaForm form)
      : mux_(path, form == MediaForm::nut ? "nut" : form == MediaForm::mkv ? "matroska" : "avi"),
        streamable_(form != MediaForm::avi) {}
  bool open() { return mux_.open(streamable_); }

  bool start(tarsk_system system, tarsk_sampling sampling, bool wide, int rate,
             int channels) override {
    const auto format = sampling == TARSK_SAMPLING_420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV411P;
    AVStream *video = mux_.add_video(AV_CODEC_ID_RAWVIDEO, format, system, wide);
    if (video == nullptr || (channels > 0 && mux_.add_audio(rate, channels) == nullptr))
      return mux_.fail("out of memory");
    // The planar layouts' usual four-character codes, by which readers know them.
    video->codecpar->codec_tag = sampling == TARSK_SAMPLING_420 ? MKTAG('I', '4', '2', '0')
                                                                 : MKTAG('Y', '4', '1', 'B');
    return mux_.begin();
  }
  bool write_picture(std::span<const uint8_t> planes) override { return mux_.put_video(planes); }
  bool write_sound(std::span<const int16_t> samples) override { return mux_.put_sound(samples); }
  bool commit() override { return mux_.finish(); }

 private:
  Muxer mux_;
  bool streamable_;
};

}  // namespace

std::unique_ptr<MediaSink> open_media_sink(const std::string &path, MediaForm form) {
  auto sink = std::make_unique<ContainerMediaSink>(path, form);
  return sink->open() ? std::move(sink) : nullptr;
}

std::unique_ptr<DvSink> open_dv_sink(const std::string &path, DvForm form) {
  if (form == DvForm::raw) {
    auto raw = std::make_unique<RawSink>(path);
    return raw->opened() ? std::move(raw) : nullptr;
  }
  auto sink = std::make_unique<ContainerSink>(path, form);
  return sink->open() ? std::move(sink) : nullptr;
}

#else

bool containers_built() { return false; }
const char *const no_containers =
    " (this tarsk was built without libavformat: it reads and writes raw DV only)";

std::unique_ptr<MediaSink> open_media_sink(const std::string &path, MediaForm) {
  error(path + ": cannot write a container" + no_containers);
  return nullptr;
}

std::unique_ptr<DvSink> open_dv_sink(const std::string &path, DvForm form) {
  if (form != DvForm::raw) {
    error(path + ": cannot write a container" + no_containers);
    return nullptr;
  }
  auto raw = std::make_unique<RawSink>(path);
  return raw->opened() ? std::move(raw) : nullptr;
}

#endif

std::vector<int16_t> track_sound(const Audio *audio, int rate, int channels, tarsk_system system,
                                 uint64_t index, bool *taken) {
  const auto count = static_cast<size_t>(channels);
  const bool fits =
      audio != nullptr && audio->frequency == rate && audio->channels.size() == count;
  if (taken != nullptr) *taken = fits;
  if (!fits) {
    const uint64_t n =
        samples_before(index + 1, rate, system) - samples_before(index, rate, system);
    return std::vector<int16_t>(n * count, 0);
  }
  const size_t n = count == 0 ? 0 : audio->channels[0].size();
  std::vector<int16_t> interleaved(n * count);
  for (size_t i = 0; i < n; ++i)
    for (size_t c = 0; c < count; ++c) interleaved[i * count + c] = audio->channels[c][i];
  return interleaved;
}

DecoderSettings quiet_settings() {
  DecoderSettings settings;
  settings.log = [](void *, int, const char *) {};
  return settings;
}

std::string frame_problem(const Error &error) {
  switch (error.code) {
    case Errc::not_dv:
      return "not a DV frame: no header block at its start";
    case Errc::bad_frame:
      return "damaged frame: its header blocks are damaged or say another system than its length";
    default:
      return error.message;
  }
}

std::optional<DvForm> dv_form_of(const std::string &path) {
  if (path == "-") return DvForm::raw;
  const std::string ext = lower_extension(path);
  if (ext == "dv" || ext == "dif") return DvForm::raw;
  if (ext == "avi") return DvForm::avi;
  if (ext == "mov") return DvForm::mov;
  if (ext == "mkv") return DvForm::mkv;
  return std::nullopt;
}

Expected<std::unique_ptr<DvSource>> open_dv_source(const std::string &path) {
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
  std::string why;
  if (!starts_as_raw_dv(peek) && load_av(&why) == nullptr) {
    if (!standard_input) std::fclose(file);
    return Error{Errc::io, name + ": cannot look for a container in it: " + why};
  }
  if (!starts_as_raw_dv(peek)) {
    if (const AVInputFormat *format = probe(peek)) {
      auto input = std::make_unique<Input>();
      input->file = file;
      input->owned = !standard_input;
      struct stat st {};
      input->seekable = !standard_input && fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
      const bool interleaved = avi_type_1(peek);
      if (input->seekable)
        std::rewind(file);  // libavformat reads from the start, seeking where it wants
      else
        input->peek = peek;
      return ContainerSource::open(std::move(input), format, name, interleaved);
    }
  }
#endif
  struct stat st {};
  const bool regular = !standard_input && fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
  return std::unique_ptr<DvSource>(new RawSource(file, !standard_input, regular, peek));
}

}  // namespace tarsk::cli
