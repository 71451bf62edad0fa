/// tarsk — the C++ API: header-only RAII over the C API of <tarsk/tarsk.h>.
///
/// Owning types for the reader, decoder, encoder and pictures, errors as
/// values (no exception leaves a call), usable from C++17. It adds no
/// symbol to the library: everything here is inline over tarsk.h.
#ifndef TARSK_TARSK_HPP
#define TARSK_TARSK_HPP

#include <tarsk/tarsk.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>
#if __cplusplus >= 202002L
#include <span>
#endif

namespace tarsk {

/// What went wrong, for a program to act on: the codes of tarsk.h.
enum class Errc : int {
  io = TARSK_E_IO,
  not_dv = TARSK_E_NOT_DV,
  truncated = TARSK_E_TRUNCATED,
  bad_frame = TARSK_E_BAD_FRAME,
  system_changed = TARSK_E_SYSTEM_CHANGED,
  bad_buffer = TARSK_E_BAD_BUFFER,
  no_audio = TARSK_E_NO_AUDIO,
  bad_picture = TARSK_E_BAD_PICTURE,
  bad_audio = TARSK_E_BAD_AUDIO,
  bad_settings = TARSK_E_BAD_SETTINGS,
  no_memory = TARSK_E_NO_MEMORY,
  bad_call = TARSK_E_BAD_CALL,
  again = TARSK_E_AGAIN,
  end = TARSK_E_END,
};

/// An error: its code, and what it means for a person.
struct Error {
  Errc code;
  std::string message;
};

/// The error of a tarsk.h code, its message the library's text for it
/// after `context` when given.
inline Error error_of(int code, const std::string &context = {}) {
  const std::string text = tarsk_error_string(code);
  return Error{static_cast<Errc>(code), context.empty() ? text : context + ": " + text};
}

/// A value or an error.
template <typename T>
class Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}      // NOLINT: implicit by design
  Expected(Error error) : v_(std::move(error)) {}  // NOLINT
  explicit operator bool() const { return v_.index() == 0; }
  bool has_value() const { return v_.index() == 0; }
  T &value() { return *std::get_if<0>(&v_); }
  const T &value() const { return *std::get_if<0>(&v_); }
  T &operator*() { return value(); }
  const T &operator*() const { return value(); }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }
  const Error &error() const { return *std::get_if<1>(&v_); }

 private:
  std::variant<T, Error> v_;
};

/// Success or an error.
template <>
class Expected<void> {
 public:
  Expected() = default;
  Expected(Error error) : error_(std::move(error)) {}  // NOLINT
  explicit operator bool() const { return !error_; }
  bool has_value() const { return !error_; }
  const Error &error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

/// Bytes given to the library: a pointer and a length, from any contiguous
/// container of bytes (a vector, a std::span, an array).
class Bytes {
 public:
  Bytes() = default;
  Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  template <typename C, typename = std::enable_if_t<std::is_convertible_v<
                            decltype(std::declval<const C &>().data()), const uint8_t *>>>
  Bytes(const C &c) : data_(c.data()), size_(c.size()) {}  // NOLINT: implicit by design
  const uint8_t *data() const { return data_; }
  size_t size() const { return size_; }
  const uint8_t *begin() const { return data_; }
  const uint8_t *end() const { return data_ + size_; }

 private:
  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
};

/// Bytes of a frame of a system.
constexpr size_t frame_bytes(tarsk_system system) {
  return system == TARSK_SYSTEM_625_50 ? TARSK_FRAME_BYTES_625_50 : TARSK_FRAME_BYTES_525_60;
}

/// One frame read from a stream: its bytes (exactly one frame of its
/// system), its place in the stream, and what the reader had to make up.
/// DIF blocks missing from the stream are filled in so that the frame reads
/// as damaged there and nowhere else.
struct Frame {
  std::vector<uint8_t> bytes;
  uint64_t index = 0;  ///< frames handed out before it
  tarsk_system system = TARSK_SYSTEM_625_50;
  uint64_t offset = 0;         ///< stream position of the first of its blocks found
  int missing_blocks = 0;      ///< DIF blocks not found in the stream
  int missing_video = 0;       ///< of them video blocks (flagged as damaged)
  uint64_t skipped_bytes = 0;  ///< bytes passed over to find sync, before and inside it
  bool cut_short = false;      ///< the stream ends inside this frame
#if __cplusplus >= 202002L
  std::span<const uint8_t> span() const { return bytes; }
#endif
};

/// A copy of a frame the reader handed out.
inline Frame frame_of(const tarsk_frame &f) {
  Frame frame;
  frame.bytes.assign(f.data, f.data + f.size);
  frame.index = f.index;
  frame.system = f.system;
  frame.offset = f.offset;
  frame.missing_blocks = f.missing_blocks;
  frame.missing_video = f.missing_video;
  frame.skipped_bytes = f.skipped_bytes;
  frame.cut_short = f.cut_short != 0;
  return frame;
}

/// Frames out of DV bytes pushed as they arrive, in pieces of any size,
/// through damage: every frame comes out once it is whole, the last one when
/// finish() says the bytes have ended. Offsets count the bytes pushed.
class FrameFeeder {
 public:
  FrameFeeder() {
    tarsk_reader *r = nullptr;
    if (tarsk_reader_open(&r) == TARSK_OK) reader_.reset(r);
  }
  explicit operator bool() const { return reader_ != nullptr; }

  Expected<void> push(Bytes bytes) { return result(tarsk_reader_push(get(), bytes.data(), bytes.size())); }
  /// No more bytes: what is left makes the last frame.
  Expected<void> finish() { return result(tarsk_reader_finish(get())); }
  /// The next whole frame; nothing when more bytes are needed or at the end
  /// (ended() tells which); an error when the bytes are not DV.
  std::optional<Expected<Frame>> next() {
    tarsk_frame f;
    const int got = tarsk_reader_next(get(), &f);
    ended_ = got == TARSK_E_END;
    if (got == TARSK_E_AGAIN || got == TARSK_E_END) return std::nullopt;
    if (got != TARSK_OK) return Expected<Frame>(error_of(got));
    return Expected<Frame>(frame_of(f));
  }
  bool ended() const { return ended_; }
  /// Bytes pushed, and of them those that went into no frame.
  uint64_t bytes_in() const { return tarsk_reader_bytes_in(get()); }
  uint64_t bytes_skipped() const { return tarsk_reader_bytes_skipped(get()); }
  tarsk_reader *get() const { return reader_.get(); }

 private:
  static Expected<void> result(int code) {
    if (code == TARSK_OK) return {};
    return error_of(code);
  }
  struct Close {
    void operator()(tarsk_reader *r) const { tarsk_reader_close(&r); }
  };
  std::unique_ptr<tarsk_reader, Close> reader_;
  bool ended_ = false;
};

/// Reads the frames of a raw DV stream from a file or pipe, through damage
/// (see FrameFeeder). `next()` gives a frame, an error (`io`, or `not_dv`
/// when no DV block is found at the start), or nothing at the end.
class Reader {
 public:
  /// Reads a file; "-" is standard input.
  static Expected<Reader> open(const std::string &path) {
    if (path == "-") return Reader(stdin);
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return Error{Errc::io, path + ": " + std::strerror(errno)};
    return Reader(f, true);
  }
  /// Reads a C stream, closing it at the end when it is `owned`, after the
  /// bytes already read from it (to tell what the stream holds, say).
  explicit Reader(FILE *stream, bool owned = false, Bytes already_read = {})
      : file_(stream, Close{owned ? &::fclose : nullptr}) {
    if (already_read.size() > 0) feeder_.push(already_read);
  }

  /// The next frame; an error; or nullopt at the end.
  std::optional<Expected<Frame>> next() {
    for (;;) {
      if (done_) return std::nullopt;
      if (auto frame = feeder_.next()) {
        if (*frame) ++frames_;
        else done_ = true;
        return frame;
      }
      if (feeder_.ended()) return std::nullopt;
      if (!feeder_) return Expected<Frame>(error_of(TARSK_E_NO_MEMORY));
      chunk_.resize(64 * 1024);
      const size_t got = std::fread(chunk_.data(), 1, chunk_.size(), file_.get());
      if (got > 0) {
        feeder_.push(Bytes(chunk_.data(), got));
        continue;
      }
      if (std::ferror(file_.get())) {
        done_ = true;
        return Expected<Frame>(Error{Errc::io, std::strerror(errno)});
      }
      feeder_.finish();
    }
  }

  /// Frames handed out so far.
  uint64_t frames_read() const { return frames_; }
  /// Bytes read so far, and of them those that went into no frame.
  uint64_t bytes_read() const { return feeder_.bytes_in(); }
  uint64_t bytes_skipped() const { return feeder_.bytes_skipped(); }

 private:
  struct Close {
    int (*close)(FILE *);
    void operator()(FILE *f) const {
      if (close != nullptr) close(f);
    }
  };
  std::unique_ptr<FILE, Close> file_;
  FrameFeeder feeder_;
  std::vector<uint8_t> chunk_;
  uint64_t frames_ = 0;
  bool done_ = false;
};

/// The frames of a file or of any stream it can read at any position, in
/// order from any frame on: seek() to a frame number or time code, then
/// next() (see tarsk_reader_seek). Frames are numbered and made exactly as
/// reading the stream through from its start makes them, damage included.
class FrameSeeker {
 public:
  static Expected<FrameSeeker> open(const std::string &path) {
    tarsk_reader *r = nullptr;
    if (tarsk_reader_open_file(&r, path.c_str()) != TARSK_OK)
      return Error{Errc::io, path + ": " + std::strerror(errno)};
    return FrameSeeker(r);
  }
  /// Over a source, which must outlive the seeker.
  static Expected<FrameSeeker> over(const tarsk_source &source) {
    tarsk_reader *r = nullptr;
    if (const int opened = tarsk_reader_open_source(&r, &source); opened != TARSK_OK)
      return error_of(opened);
    return FrameSeeker(r);
  }

  /// Moves to frame `frame`: next() gives it. `end` when there is none.
  Expected<void> seek(uint64_t frame) { return result(tarsk_reader_seek(get(), frame)); }
  /// Moves to a frame carrying `timecode` and gives its number.
  Expected<uint64_t> seek(const tarsk_timecode &timecode) {
    uint64_t frame = 0;
    if (const int got = tarsk_reader_seek_timecode(get(), &timecode, &frame); got != TARSK_OK)
      return error_of(got);
    return frame;
  }
  /// The next frame, an error, or nothing at the end.
  std::optional<Expected<Frame>> next() {
    tarsk_frame f;
    const int got = tarsk_reader_next(get(), &f);
    if (got == TARSK_E_END) return std::nullopt;
    if (got != TARSK_OK) return Expected<Frame>(error_of(got));
    return Expected<Frame>(frame_of(f));
  }
  /// How many frames the stream has.
  Expected<uint64_t> frames() {
    uint64_t n = 0;
    if (const int got = tarsk_reader_frames(get(), &n); got != TARSK_OK) return error_of(got);
    return n;
  }
  tarsk_reader *get() const { return reader_.get(); }

 private:
  explicit FrameSeeker(tarsk_reader *r) : reader_(r) {}
  static Expected<void> result(int code) {
    if (code == TARSK_OK) return {};
    return error_of(code);
  }
  struct Close {
    void operator()(tarsk_reader *r) const { tarsk_reader_close(&r); }
  };
  std::unique_ptr<tarsk_reader, Close> reader_;
};

/// What a frame says about itself (see tarsk_frame_info).
using FrameInfo = tarsk_frame_info;
/// What decoding a picture found (see tarsk_picture_damage).
using PictureDamage = tarsk_picture_damage;
/// A frame's information, markers, track number and damage (see
/// tarsk_frame_facts).
using FrameFacts = tarsk_frame_facts;

/// A pack and where it stands in its frame (see tarsk_pack).
using Pack = tarsk_pack;
/// Every pack of a frame in stream order, empty slots left out (see
/// tarsk_frame_packs).
inline Expected<std::vector<Pack>> frame_packs(Bytes frame) {
  std::vector<Pack> packs(TARSK_MAX_PACKS);
  size_t count = 0;
  if (const int got = tarsk_frame_packs(frame.data(), frame.size(), packs.data(), packs.size(), &count);
      got != 0)
    return error_of(got);
  packs.resize(count);
  return packs;
}

/// A frame's sound, one vector per channel: 2 channels of 16-bit sound, or 4
/// of 12-bit sound expanded to 16 bits.
struct Audio {
  int frequency = 0;
  int quantization = 0;
  std::vector<std::vector<int16_t>> channels;
  int failed_blocks = 0;  ///< audio DIF blocks whose samples are all error-coded
};

/// Interleaved sound that a call described in `a` as channels.
inline Audio audio_channels(const tarsk_audio &a, const int16_t *interleaved) {
  Audio audio;
  audio.frequency = a.rate;
  audio.quantization = a.bits;
  audio.failed_blocks = a.failed_blocks;
  audio.channels.resize(static_cast<size_t>(a.channels));
  for (int c = 0; c < a.channels; ++c) {
    auto &channel = audio.channels[static_cast<size_t>(c)];
    channel.resize(static_cast<size_t>(a.frames));
    for (int i = 0; i < a.frames; ++i)
      channel[static_cast<size_t>(i)] = interleaved[static_cast<size_t>(i * a.channels + c)];
  }
  return audio;
}

/// A picture: planes the library made (Picture(format, width, height)) or
/// the caller's (set them in get()); freed with it when the library's.
class Picture {
 public:
  Picture() = default;
  /// A picture of its own planes; check with operator bool.
  Picture(tarsk_pixel_format format, int width, int height) {
    tarsk_picture_alloc(&p_, format, width, height);
  }
  Picture(Picture &&other) noexcept : p_(other.p_) { other.p_ = tarsk_picture{}; }
  Picture &operator=(Picture &&other) noexcept {
    if (this != &other) {
      tarsk_picture_free(&p_);
      p_ = other.p_;
      other.p_ = tarsk_picture{};
    }
    return *this;
  }
  Picture(const Picture &) = delete;
  Picture &operator=(const Picture &) = delete;
  ~Picture() { tarsk_picture_free(&p_); }

  explicit operator bool() const { return p_.data[0] != nullptr; }
  tarsk_picture &get() { return p_; }
  const tarsk_picture &get() const { return p_; }
  int format() const { return p_.format; }  ///< a tarsk_pixel_format
  int width() const { return p_.width; }
  int height() const { return p_.height; }
  uint8_t *data(int plane) const { return p_.data[plane]; }
  ptrdiff_t stride(int plane) const { return p_.stride[plane]; }

 private:
  tarsk_picture p_{};
};

/// A decoder's settings: the defaults of tarsk_decoder_default_settings.
struct DecoderSettings : tarsk_decoder_settings {
  DecoderSettings() : tarsk_decoder_settings() { tarsk_decoder_default_settings(this); }
};

/// Owns a decoder context.
class Decoder {
 public:
  explicit Decoder(const DecoderSettings &settings = DecoderSettings()) {
    tarsk_decoder *d = nullptr;
    opened_ = tarsk_decoder_open(&d, &settings);
    d_.reset(d);
  }
  /// Whether the decoder could be made; open_error() says why not.
  explicit operator bool() const { return d_ != nullptr; }
  Error open_error() const { return error_of(opened_, "decoder"); }
  tarsk_decoder *get() const { return d_.get(); }

  /// Reads a frame's header blocks and packs (checked first).
  Expected<FrameInfo> parse(Bytes frame) {
    FrameInfo info;
    if (const int got = tarsk_decode_info(get(), frame.data(), frame.size(), &info); got != 0)
      return error_of(got);
    return info;
  }

  /// Reads a frame's information and damage without decoding it (see
  /// tarsk_inspect_frame).
  Expected<FrameFacts> inspect(Bytes frame) {
    FrameFacts facts;
    if (const int got = tarsk_inspect_frame(get(), frame.data(), frame.size(), &facts); got != 0)
      return error_of(got);
    return facts;
  }

  /// Decodes a frame's picture into `picture` (see tarsk_decode_video: with
  /// no planes set, planes of its format are made). Frames must come in
  /// stream order for concealment.
  Expected<PictureDamage> decode_video(Bytes frame, tarsk_picture &picture) {
    PictureDamage damage{};
    if (const int got =
            tarsk_decode_video(get(), frame.data(), frame.size(), &picture, &damage);
        got != 0)
      return error_of(got);
    return damage;
  }
  Expected<PictureDamage> decode_video(Bytes frame, Picture &picture) {
    return decode_video(frame, picture.get());
  }

  /// Parses a frame's video and finds its damaged macroblocks without
  /// writing a picture.
  Expected<PictureDamage> check_video(Bytes frame) {
    PictureDamage damage{};
    if (const int got = tarsk_decode_check(get(), frame.data(), frame.size(), &damage); got != 0)
      return error_of(got);
    return damage;
  }

  /// Forgets the previous picture (after a jump in the stream).
  void reset() { tarsk_decoder_reset(get()); }

  /// Frame threads (see tarsk_decode_send): false when
  /// TARSK_FRAMES_PER_THREAD frames a thread are in flight (receive one
  /// first).
  Expected<bool> send(Bytes frame, tarsk_picture &picture) {
    const int got = tarsk_decode_send(get(), frame.data(), frame.size(), &picture);
    if (got == TARSK_E_AGAIN) return false;
    if (got != 0) return error_of(got);
    return true;
  }
  /// The oldest frame in flight: the picture it was sent with and its
  /// damage; that frame's error; Errc::again when none is in flight.
  struct Received {
    tarsk_picture *picture = nullptr;
    PictureDamage damage{};
  };
  Expected<Received> receive() {
    Received r;
    if (const int got = tarsk_decode_receive(get(), &r.picture, &r.damage); got != 0)
      return error_of(got);
    return r;
  }

  /// Decodes a frame's sound.
  Expected<Audio> decode_audio(Bytes frame) {
    tarsk_audio a;
    int16_t *into = samples();
    if (const int got =
            tarsk_decode_audio(get(), frame.data(), frame.size(), into, samples_.size(), &a);
        got != 0)
      return error_of(got);
    return audio_of(a);
  }

  /// What one call finds in a frame, its header checked and parsed once:
  /// its information, its picture's damage, its sound (none when the frame
  /// has none or it cannot be decoded).
  struct Decoded {
    FrameInfo info;
    PictureDamage damage{};
    std::optional<Audio> audio;
  };
  /// Decodes a frame (see tarsk_decode_frame): its picture into `picture`
  /// when given, else with `check_video` its video checked for damage only;
  /// its sound when `sound`.
  Expected<Decoded> decode_frame(Bytes frame, tarsk_picture *picture, bool check_video, bool sound) {
    Decoded d;
    tarsk_audio a{};
    const bool video = picture != nullptr || check_video;
    int16_t *into = sound ? samples() : nullptr;
    const int got = tarsk_decode_frame(get(), frame.data(), frame.size(), &d.info, picture,
                                       video ? &d.damage : nullptr, into, samples_.size(), &a);
    if (got != 0 && got != TARSK_E_NO_AUDIO) return error_of(got);
    if (got == 0 && a.frames > 0) d.audio = audio_of(a);
    return d;
  }

 private:
  int16_t *samples() {
    samples_.resize(TARSK_AUDIO_MAX_FRAMES * 4);
    return samples_.data();
  }
  // The sound of the last decode as channels.
  Audio audio_of(const tarsk_audio &a) const { return audio_channels(a, samples_.data()); }

  struct Close {
    void operator()(tarsk_decoder *d) const { tarsk_decoder_close(&d); }
  };
  std::unique_ptr<tarsk_decoder, Close> d_;
  int opened_ = TARSK_OK;
  std::vector<int16_t> samples_;  // interleaved sound, kept from frame to frame
};

/// Owns a decoding service: one object that any number of threads call at
/// once, each call decoding a frame on its own thread as a decoder just
/// reset does (see tarsk_decode_service). `threads` in the settings is the
/// most calls decoding at once; more wait their turn.
class DecodeService {
 public:
  explicit DecodeService(const DecoderSettings &settings = DecoderSettings()) {
    tarsk_decode_service *s = nullptr;
    opened_ = tarsk_decode_service_open(&s, &settings);
    s_.reset(s);
  }
  explicit operator bool() const { return s_ != nullptr; }
  Error open_error() const { return error_of(opened_, "decoding service"); }
  tarsk_decode_service *get() const { return s_.get(); }

  /// Decodes a frame's picture into `picture` (see tarsk_decode_video).
  Expected<PictureDamage> decode_video(Bytes frame, tarsk_picture &picture) const {
    PictureDamage damage{};
    if (const int got =
            tarsk_decode_service_video(get(), frame.data(), frame.size(), &picture, &damage);
        got != 0)
      return error_of(got);
    return damage;
  }
  Expected<PictureDamage> decode_video(Bytes frame, Picture &picture) const {
    return decode_video(frame, picture.get());
  }

  /// A frame's information, its picture into `picture` when given, and its
  /// sound when `sound` (none when the frame has none or it cannot be
  /// decoded), as Decoder::decode_frame.
  Expected<Decoder::Decoded> decode_frame(Bytes frame, tarsk_picture *picture, bool sound) const {
    Decoder::Decoded d;
    tarsk_audio a{};
    std::vector<int16_t> samples(sound ? TARSK_AUDIO_MAX_FRAMES * 4 : 0);
    const int got =
        tarsk_decode_service_frame(get(), frame.data(), frame.size(), &d.info, picture,
                                   picture != nullptr ? &d.damage : nullptr,
                                   sound ? samples.data() : nullptr, samples.size(), &a);
    if (got != 0 && got != TARSK_E_NO_AUDIO) return error_of(got);
    if (got == 0 && a.frames > 0) d.audio = audio_channels(a, samples.data());
    return d;
  }

 private:
  struct Close {
    void operator()(tarsk_decode_service *s) const { tarsk_decode_service_close(&s); }
  };
  std::unique_ptr<tarsk_decode_service, Close> s_;
  int opened_ = TARSK_OK;
};

/// An encoder's settings: the defaults of tarsk_encoder_default_settings.
struct EncoderSettings : tarsk_encoder_settings {
  EncoderSettings() : tarsk_encoder_settings() { tarsk_encoder_default_settings(this); }
};

/// Owns an encoder context: pictures and sound into whole DV frames.
class Encoder {
 public:
  explicit Encoder(const EncoderSettings &settings = EncoderSettings()) : settings_(settings) {
    tarsk_encoder *e = nullptr;
    opened_ = tarsk_encoder_open(&e, &settings);
    e_.reset(e);
  }
  explicit operator bool() const { return e_ != nullptr; }
  Error open_error() const { return error_of(opened_, "encoder"); }
  tarsk_encoder *get() const { return e_.get(); }
  const EncoderSettings &settings() const { return settings_; }
  size_t frame_bytes() const { return tarsk_encoder_frame_bytes(get()); }
  /// Frames made or sent so far: the next one's number.
  uint64_t frames() const { return tarsk_encoder_frames(get()); }

  /// Encodes a picture into `frame` (frame_bytes() at least), see
  /// tarsk_encode_video.
  Expected<void> encode(const tarsk_picture &picture, uint8_t *frame, size_t size) {
    return result(tarsk_encode_video(get(), &picture, frame, size));
  }
  Expected<void> encode(const tarsk_picture &picture, std::vector<uint8_t> &frame) {
    return encode(picture, frame.data(), frame.size());
  }

  /// Frame threads (see tarsk_encode_send): false when
  /// TARSK_FRAMES_PER_THREAD frames a thread are in flight (receive one
  /// first). The picture's planes and the frame stay as they are until the
  /// frame is received.
  Expected<bool> send(const tarsk_picture &picture, uint8_t *frame, size_t size) {
    const int got = tarsk_encode_send(get(), &picture, frame, size);
    if (got == TARSK_E_AGAIN) return false;
    if (got != 0) return error_of(got);
    return true;
  }
  /// The oldest frame in flight: the frame it was sent with and its
  /// number; Errc::again when none is in flight.
  struct Received {
    uint8_t *frame = nullptr;
    uint64_t number = 0;
  };
  Expected<Received> receive() {
    Received r;
    if (const int got = tarsk_encode_receive(get(), &r.frame, &r.number); got != 0)
      return error_of(got);
    return r;
  }

  /// Sample frames that frame `frame` of the stream carries at `rate`.
  int audio_samples(int rate, uint64_t frame) const {
    return tarsk_encoder_audio_frames(get(), rate, frame);
  }
  /// Puts interleaved 16-bit stereo samples at `rate` into the audio blocks
  /// of a frame the encoder made: all of them, as many sample frames as
  /// that frame carries at most.
  Expected<void> encode_audio(const int16_t *stereo, size_t samples, int rate, uint8_t *frame,
                              size_t size) {
    if (samples % 2 != 0) return error_of(TARSK_E_BAD_AUDIO, "odd stereo samples");
    return result(tarsk_encode_audio(get(), stereo, static_cast<int>(samples / 2), rate, frame, size));
  }
  /// Puts `samples` interleaved 16-bit samples of `channels` channels at
  /// `rate` into the audio blocks of a frame the encoder made, coded in
  /// `bits`: 16 (stereo) or 12 (32 kHz; 2 channels: one stereo pair, or 4:
  /// two), as tarsk_encode_sound.
  Expected<void> encode_sound(const int16_t *interleaved, size_t samples, int channels, int rate,
                              int bits, uint8_t *frame, size_t size) {
    if (channels <= 0 || samples % static_cast<size_t>(channels) != 0)
      return error_of(TARSK_E_BAD_AUDIO, "samples not a whole number of sample frames");
    const tarsk_audio sound{rate, bits, channels,
                            static_cast<int>(samples / static_cast<size_t>(channels)), 0};
    return result(tarsk_encode_sound(get(), interleaved, &sound, frame, size));
  }

 private:
  static Expected<void> result(int code) {
    if (code == TARSK_OK) return {};
    return error_of(code);
  }
  struct Close {
    void operator()(tarsk_encoder *e) const { tarsk_encoder_close(&e); }
  };
  EncoderSettings settings_;
  std::unique_ptr<tarsk_encoder, Close> e_;
  int opened_ = TARSK_OK;
};

}  // namespace tarsk

#endif  // TARSK_TARSK_HPP
