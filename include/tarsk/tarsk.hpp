/// tarsk — the C++ API: owning types over the C API of <tarsk/dv.h>, a
/// frame reader that finds frames through damage and hands out only whole
/// frames the C layer may read, concealment of damaged macroblocks, and
/// errors as values.
///
/// Thin: the frame reader, its checks, concealment and the threaded
/// decoding are the library's; the rest is inline over the C API.
#ifndef TARSK_TARSK_HPP
#define TARSK_TARSK_HPP

#include <tarsk/dv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <istream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tarsk {

/// What went wrong, for a program to act on; `Error::message` says it for
/// a person.
enum class Errc {
  io,              ///< the file or stream could not be read
  not_dv,          ///< the bytes are not a DV stream
  truncated,       ///< the stream ends inside a frame (no longer given by Reader)
  bad_frame,       ///< a frame's header blocks are damaged
  system_changed,  ///< 525/60 and 625/50 frames in one stream (no longer given by Reader)
  bad_buffer,      ///< a caller's buffer is too small
  no_audio,        ///< the frame's audio cannot be decoded
  bad_picture,     ///< a picture's size or sampling is not one the encoder takes
  bad_audio,       ///< sound the encoder cannot put into a frame
  bad_settings,    ///< encoder settings that do not go together
};

struct Error {
  Errc code;
  std::string message;
};

/// A value or an error.
template <typename T>
class Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}      // NOLINT: implicit by design
  Expected(Error error) : v_(std::move(error)) {}  // NOLINT
  explicit operator bool() const { return v_.index() == 0; }
  bool has_value() const { return v_.index() == 0; }
  T &value() { return std::get<0>(v_); }
  const T &value() const { return std::get<0>(v_); }
  T &operator*() { return value(); }
  const T &operator*() const { return value(); }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }
  const Error &error() const { return std::get<1>(v_); }

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

/// Frame layout by system.
constexpr size_t frame_bytes(dv_system_t system) {
  return system == e_dv_system_625_50 ? frame_size_625_50 : frame_size_525_60;
}

/// Checks the header blocks of a whole frame: the first block of every DIF
/// sequence must be a header block numbered for its sequence, and its DSF
/// must agree with the frame's length. The C layer may then read it.
Expected<dv_system_t> check_frame(std::span<const uint8_t> frame);

/// Video DIF blocks of a frame whose status nibble reports an error or a
/// concealment.
int damaged_video_blocks(std::span<const uint8_t> frame);

/// One frame read from a stream: its bytes (exactly one frame of its
/// system), its place in the stream, and what the reader had to make up.
/// DIF blocks missing from the stream are filled in so that the frame reads
/// as damaged there and nowhere else: video blocks flagged by their status
/// nibble, audio samples error-coded, header, subcode and VAUX blocks copied
/// from another DIF sequence of the frame (or the frame before).
struct Frame {
  std::vector<uint8_t> bytes;
  uint64_t index = 0;  ///< frames handed out before it
  dv_system_t system = e_dv_system_none;
  uint64_t offset = 0;         ///< stream position of the first of its blocks found
  int missing_blocks = 0;      ///< DIF blocks not found in the stream
  int missing_video = 0;       ///< of them video blocks (flagged as damaged)
  uint64_t skipped_bytes = 0;  ///< bytes passed over to find sync, before and inside it
  bool cut_short = false;      ///< the stream ends inside this frame
  std::span<const uint8_t> span() const { return bytes; }
};

/// Frames out of DV bytes pushed as they arrive, in pieces of any size (from
/// a socket, a capture card, a container's packets), through damage as
/// Reader finds them: every frame comes out once it is whole, the last one
/// when finish() says the bytes have ended. Offsets count the bytes pushed.
/// Implemented in the library.
class FrameFeeder {
 public:
  FrameFeeder();
  FrameFeeder(FrameFeeder &&) noexcept;
  FrameFeeder &operator=(FrameFeeder &&) noexcept;
  ~FrameFeeder();

  void push(std::span<const uint8_t> bytes);
  /// No more bytes: what is left makes the last frame.
  void finish();
  /// The next whole frame, if one is ready.
  std::optional<Frame> next();

  /// Bytes pushed, and of them those that went into no frame.
  uint64_t bytes_in() const;
  uint64_t bytes_skipped() const;
  /// Whether a DIF block has been found yet.
  bool found_dv() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Reads the frames of a raw DV stream from a file or pipe, through damage:
/// each DIF block is put where its identifier places it, and after stray,
/// lost or garbled bytes the reader finds the next blocks again and goes
/// on. Every frame of which any block is found is handed out, the last one
/// too when the stream ends inside it. `next()` gives a frame, an error
/// (`io`, or `not_dv` when no DV block is found at the start), or nothing at
/// the end. Frames may change system, sampling or audio from one to the
/// next; each is decoded by its own header.
class Reader {
 public:
  /// Reads a file; "-" is standard input.
  static Expected<Reader> open(const std::string &path);
  /// Reads a C stream it does not own.
  explicit Reader(FILE *stream);
  /// Reads a C stream, closing it at the end when it is `owned`, after the
  /// bytes already read from it (to tell what the stream holds, say).
  Reader(FILE *stream, bool owned, std::span<const uint8_t> already_read);

  Reader(Reader &&other) noexcept;
  Reader &operator=(Reader &&other) noexcept;
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;
  ~Reader();

  /// The next frame; an error; or nullopt at the end.
  std::optional<Expected<Frame>> next();

  /// Frames handed out so far.
  uint64_t frames_read() const;
  /// Bytes read so far, and of them those that went into no frame.
  uint64_t bytes_read() const;
  uint64_t bytes_skipped() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// What a frame's header says.
struct FrameInfo {
  dv_system_t system;
  dv_std_t std;
  dv_sample_t sampling;
  int width, height;
  bool wide;  ///< 16:9 by the VAUX source control pack
};

/// 16-bit audio of one frame, one vector per channel.
struct Audio {
  int frequency = 0;
  int quantization = 0;
  std::vector<std::vector<int16_t>> channels;
};

/// What decoding a picture found: macroblocks whose DIF block was missing
/// from the stream or flagged by the recorder's status nibble, or whose
/// codes do not parse; and of them those hidden by the previous picture's
/// (all of them when concealment is on; grey while there is no previous
/// picture).
struct PictureDamage {
  int damaged_macroblocks = 0;
  int concealed_macroblocks = 0;
};

/// The library's record of a frame's damaged macroblocks.
struct FrameDamage;

/// Worker threads that decode parts of a frame at the same time, each
/// through a segment record and bit reader of its own. Created once; a
/// frame costs no allocation. Implemented in the library.
class FrameWorkers {
 public:
  explicit FrameWorkers(int threads);
  FrameWorkers(const FrameWorkers &) = delete;
  FrameWorkers &operator=(const FrameWorkers &) = delete;
  ~FrameWorkers();

  int threads() const;
  /// False when the workers' records could not be had.
  bool ready() const;

  /// Decodes the frame's picture among the threads, the calling thread
  /// included, into `pixels` (lines `pitch` bytes apart, as for
  /// dv_decode_full_frame). The picture is the same as from one thread.
  /// With `damage`, damaged macroblocks are marked there (see Concealment).
  void decode(dv_decoder_t *dv, const uint8_t *frame, dv_color_space_t space, uint8_t *pixels,
              int pitch, FrameDamage *damage = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Hides damaged macroblocks as DV decks do: a macroblock that is missing,
/// flagged by the recorder or does not parse shows the same macroblock of
/// the previous picture decoded through this object (grey while there is
/// none). With concealment off, damaged macroblocks are decoded from the
/// bits as they are (as dv_decode_full_frame does) and only counted.
/// Implemented in the library.
class Concealment {
 public:
  explicit Concealment(bool on = true);
  Concealment(const Concealment &) = delete;
  Concealment &operator=(const Concealment &) = delete;
  ~Concealment();

  bool on() const;
  void set_on(bool on);
  /// Decodes a parsed frame's picture into `pixels`, lines `pitch` bytes
  /// apart, on `workers` when given. Pictures must come in stream order.
  PictureDamage decode(dv_decoder_t *dv, const uint8_t *frame, dv_color_space_t space,
                       uint8_t *pixels, int pitch, FrameWorkers *workers = nullptr);
  /// Forgets the previous picture (after a jump in the stream).
  void reset();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Decodes whole frames on several threads at once, a frame to a thread,
/// and hands the results back in the order the frames went in: for a
/// stream of frames, the threads never wait for each other within a frame.
/// Each thread has a decoder of its own with the same settings; pictures
/// are bit-identical to the C API's but where macroblocks are concealed
/// (none with Settings::conceal off). Implemented in the library.
class FramePipeline {
 public:
  struct Settings {
    unsigned quality = DV_QUALITY_BEST;
    dv_color_space_t space = e_dv_color_yuv;
    bool ntsc_setup = false, clamp_luma = false, clamp_chroma = false;
    int video_system = 0;  ///< the decoders' arg_video_system: 0 from each frame
    bool conceal = true;   ///< hide damaged macroblocks (see Concealment)
  };
  FramePipeline(int threads, Settings settings);
  FramePipeline(const FramePipeline &) = delete;
  FramePipeline &operator=(const FramePipeline &) = delete;
  ~FramePipeline();

  /// Frames that may be in flight at once (the number of threads).
  int depth() const;
  int in_flight() const;
  /// Starts decoding a frame into `out`, lines `pitch` bytes apart (0:
  /// packed). The frame's bytes and `out` must stay as they are until the
  /// frame is collected. Refused while depth() frames are in flight.
  Expected<void> submit(std::span<const uint8_t> frame, std::span<uint8_t> out, size_t pitch = 0);
  /// Waits for the oldest frame in flight and gives its result (its
  /// damaged macroblocks, concealed in stream order); an error when none is
  /// in flight.
  Expected<PictureDamage> collect();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Owns a decoder of the C API.
class Decoder {
 public:
  /// quality: DV_QUALITY_* flags (default: colour, multi-pass).
  explicit Decoder(unsigned quality = DV_QUALITY_BEST, bool ntsc_setup = false,
                   bool clamp_luma = false, bool clamp_chroma = false)
      : dv_(dv_decoder_new(ntsc_setup, clamp_luma, clamp_chroma)) {
    if (dv_) dv_->quality = quality;
  }
  explicit operator bool() const { return dv_ != nullptr; }
  /// The C decoder, for its option tables and settings.
  dv_decoder_t *get() const { return dv_.get(); }

  /// Decodes pictures on `threads` threads (1: on the caller's). The
  /// pictures are bit-identical whatever the number.
  Expected<void> set_threads(int threads) {
    if (threads <= 1) {
      workers_.reset();
      return {};
    }
    workers_ = std::make_unique<FrameWorkers>(threads);
    if (!workers_->ready()) {
      workers_.reset();
      return Error{Errc::io, "out of memory for decoding threads"};
    }
    return {};
  }
  int threads() const { return workers_ ? workers_->threads() : 1; }

  /// Parses a frame's header (checked first; a frame from `Reader` is).
  Expected<FrameInfo> parse(std::span<const uint8_t> frame) {
    if (auto checked = check_frame(frame); !checked) return checked.error();
    if (dv_parse_header(dv_.get(), frame.data()) < 0)
      return Error{Errc::bad_frame, "the frame's header block does not parse"};
    if (frame.size() != dv_->frame_size)
      return Error{Errc::bad_frame, "the frame's packs say another system than its length"};
    dv_parse_packs(dv_.get(), frame.data());
    return FrameInfo{dv_->system, dv_->std,    dv_->sampling,
                     dv_->width,  dv_->height, dv_format_wide(dv_.get()) == 1};
  }

  /// Bytes a picture of the last parsed frame takes in a colour space.
  size_t picture_bytes(dv_color_space_t space) const {
    return static_cast<size_t>(dv_->width) * static_cast<size_t>(dv_->height) *
           bytes_per_pixel(space);
  }
  static size_t bytes_per_pixel(dv_color_space_t space) {
    return space == e_dv_color_rgb ? 3 : space == e_dv_color_bgr0 ? 4 : 2;
  }

  /// Hides damaged macroblocks behind the previous picture's (on by
  /// default; see Concealment). Off, they are decoded as they are.
  void set_concealment(bool on) { concealment_.set_on(on); }

  /// Decodes a parsed frame's picture into `out`, lines `pitch` bytes apart
  /// (0: tightly packed). Frames must come in stream order for concealment.
  Expected<PictureDamage> decode_video(std::span<const uint8_t> frame, dv_color_space_t space,
                                       std::span<uint8_t> out, size_t pitch = 0) {
    const size_t line = static_cast<size_t>(dv_->width) * bytes_per_pixel(space);
    if (pitch == 0) pitch = line;
    if (frame.size() != dv_->frame_size) return Error{Errc::bad_frame, "not the parsed frame"};
    if (pitch < line || out.size() < pitch * static_cast<size_t>(dv_->height - 1) + line)
      return Error{Errc::bad_buffer, "picture buffer too small"};
    return concealment_.decode(dv_.get(), frame.data(), space, out.data(), static_cast<int>(pitch),
                               workers_.get());
  }

  /// Parses a parsed frame's video and finds its damaged macroblocks,
  /// without decoding a picture (about half the work of decoding one).
  Expected<PictureDamage> check_video(std::span<const uint8_t> frame) {
    if (frame.size() != dv_->frame_size) return Error{Errc::bad_frame, "not the parsed frame"};
    constexpr auto parse_only = static_cast<dv_color_space_t>(3);
    return concealment_.decode(dv_.get(), frame.data(), parse_only, nullptr, 0);
  }

  /// Decodes a parsed frame's audio: 2 channels (16-bit) or 4 (12-bit),
  /// each of the frame's sample count.
  Expected<Audio> decode_audio(std::span<const uint8_t> frame) {
    if (frame.size() != dv_->frame_size) return Error{Errc::bad_frame, "not the parsed frame"};
    constexpr size_t most = 1944;  // sample positions of a 625/50 channel
    std::vector<int16_t> buffers[4];
    int16_t *pointers[4];
    for (int c = 0; c < 4; ++c) {
      buffers[c].assign(most, 0);
      pointers[c] = buffers[c].data();
    }
    if (dv_decode_full_audio(dv_.get(), frame.data(), pointers) != 1)
      return Error{Errc::no_audio, "the frame's audio cannot be decoded"};
    const dv_audio_t *a = dv_->audio;
    Audio audio;
    audio.frequency = a->frequency;
    audio.quantization = a->quantization;
    const int channels = a->quantization == 12 ? 4 : 2;
    const size_t n = static_cast<size_t>(std::max(a->samples_this_frame, 0));
    for (int c = 0; c < channels; ++c)
      audio.channels.emplace_back(buffers[c].begin(), buffers[c].begin() + static_cast<long>(n));
    return audio;
  }

 private:
  struct Free {
    void operator()(dv_decoder_t *dv) const { dv_decoder_free(dv); }
  };
  std::unique_ptr<dv_decoder_t, Free> dv_;
  std::unique_ptr<FrameWorkers> workers_;
  Concealment concealment_;
};

/// A picture for the encoder: planes of 8-bit Y'CbCr samples in studio
/// range, lines packed (720 luma samples a line; chroma as its sampling
/// thins it), 576 lines for 625/50 and 480 for 525/60. The sampling is the
/// stream's own (4:2:0 for 625/50, 4:1:1 for 525/60), which goes into the
/// frame as it is, or 4:2:2, whose chroma the encoder brings to the
/// stream's by averaging pairs of samples.
struct PicturePlanes {
  dv_sample_t sampling = e_dv_sample_420;
  std::span<const uint8_t> y, cb, cr;
};

/// How an Encoder spends each video segment's bits: `standard` by the
/// format's own quantiser search (the C API's encoder, bit for bit);
/// `best` by a rate-distortion search over the whole segment, with an exact
/// forward transform and rounding, for higher quality at some two to three
/// times the time. `best` takes passes 3 and static_qno 0.
enum class EncodeQuality { standard, best };

/// What an Encoder makes.
struct EncodeSettings {
  dv_system_t system = e_dv_system_625_50;
  bool wide = false;                  ///< 16:9 in the frame's metadata
  int passes = 3;                     ///< 1, 2 or 3: how far codes may spill
  int static_qno = 0;                 ///< 0 searched; 1, 2 a row of the static table
  int force_dct = -1;                 ///< -1 chosen per block, 0 8x8, 1 2-4-8
  int timecode = 0;                   ///< the first frame's time code, in frames from 00:00:00:00
  std::optional<std::time_t> date{};  ///< recording date and time of the first frame; none: now
  EncodeQuality quality = EncodeQuality::standard;
  /// Threads that encode each picture's video segments (1: the C API's own
  /// encoding). Frames, counters and statistics are the same whatever the
  /// number.
  int threads = 1;
};

/// Owns an encoder of the C API and makes whole frames: a picture given as
/// planes, its header, subcode and VAUX blocks (a time code counting from
/// the settings' and a recording clock running from their date), and its
/// sound. Implemented in the library.
class Encoder {
 public:
  explicit Encoder(const EncodeSettings &settings = {});
  Encoder(const Encoder &) = delete;
  Encoder &operator=(const Encoder &) = delete;
  ~Encoder();

  explicit operator bool() const { return enc_ != nullptr; }
  /// The C encoder, for settings the C API has and this class does not.
  dv_encoder_t *get() const { return enc_; }
  const EncodeSettings &settings() const { return settings_; }
  size_t frame_bytes() const { return tarsk::frame_bytes(settings_.system); }
  /// Frames made so far: the next one's number.
  uint64_t frames() const { return enc_ ? static_cast<uint64_t>(enc_->frame_count) : 0; }

  /// Encodes the picture into `frame` (frame_bytes() at least) and stamps
  /// it; its audio blocks are left empty for encode_audio.
  Expected<void> encode(const PicturePlanes &picture, std::span<uint8_t> frame);
  /// Writes the header, subcode and VAUX blocks and the block identifiers of
  /// a frame whose video blocks are already in place (from the library's
  /// input filters, say), clears its audio blocks, and counts it.
  Expected<void> stamp(std::span<uint8_t> frame);

  /// Sample frames that frame `frame` of the stream carries at `rate`
  /// (48000, 44100 or 32000 Hz); 0 for another rate.
  int audio_samples(int rate, uint64_t frame);
  /// Puts interleaved 16-bit stereo samples at `rate` into the audio blocks
  /// of a stamped frame: as many sample frames as the frame may carry.
  Expected<void> encode_audio(std::span<const int16_t> stereo, int rate, std::span<uint8_t> frame);

 private:
  static Error no_encoder();
  EncodeSettings settings_;
  dv_encoder_t *enc_ = nullptr;
  std::time_t clock_ = 0;  // the recording clock, one second behind the next second's start
  struct Workers;
  std::unique_ptr<Workers> workers_;  // with settings.threads > 1
};

}  // namespace tarsk

#endif  // TARSK_TARSK_HPP
