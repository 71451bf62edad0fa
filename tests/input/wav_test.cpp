// The "wav" audio input filter: which headers are accepted (and with what
// message the others are refused), and the per-frame loads in DV byte
// order.
#include "support/wav.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

dv_enc_audio_input_filter_t wav_filter() {
  dv_enc_audio_input_filter_t *filters;
  int count;
  EXPECT_EQ(dv_enc_get_audio_input_filters(&filters, &count), 0);
  EXPECT_GE(count, 1);
  EXPECT_STREQ(filters[0].filter_name, "wav");
  return filters[0];
}

// A filter's audio record with every field at a mark, to see what init sets.
std::unique_ptr<dv_enc_audio_info_t> marked_record() {
  auto a = std::make_unique<dv_enc_audio_info_t>();
  std::memset(a.get(), 0x5a, sizeof *a);
  return a;
}

struct HeaderCase {
  const char *what;
  WavHeader header;
  size_t cut;  // bytes of the file kept
  int result;
  const char *message;
};

WavHeader with(void (*change)(WavHeader &)) {
  WavHeader h;
  change(h);
  return h;
}

constexpr size_t whole = std::string::npos;

const HeaderCase header_cases[] = {
    {"canonical", {}, whole, 0, ""},
    {"extended fmt", with([](WavHeader &h) { h.fmt_size = 18; }), whole, 0, ""},
    {"four channels at 32 kHz", with([](WavHeader &h) { h.rate = 32000, h.channels = 4; }), whole,
     0, ""},
    {"44.1 kHz", with([](WavHeader &h) { h.rate = 44100; }), whole, 0, ""},
    {"8 bits", with([](WavHeader &h) { h.bits = 8, h.alignment = 4; }), whole, -1,
     "WAV: Unsupported bitspersample: 8 Only 16 bits are supported right now. (FIXME: just look "
     "in audio and copy the code if you really need this!)\n"},
    {"list chunk", with([](WavHeader &h) { h.list_chunk = true; }), whole, -1,
     "WAV: No data header!\n"},
    {"mono at 44.1 kHz", with([](WavHeader &h) { h.rate = 44100, h.channels = 1; }), whole, -1,
     "WAV: Unsupported channel count (1) for frequency 44100!\n"},
    {"three channels at 32 kHz", with([](WavHeader &h) { h.rate = 32000, h.channels = 3; }), whole,
     -1, "WAV: Unsupported channel count (3) for frequency 32000!\n"},
    {"22.05 kHz", with([](WavHeader &h) { h.rate = 22050; }), whole, -1,
     "WAV: Unsupported frequency: 22050\n"},
    {"short fmt", with([](WavHeader &h) { h.fmt_size = 8; }), whole, -1,
     "WAV: fmt chunk of 8 bytes is too short: 16 are needed!\n"},
    {"large fmt", with([](WavHeader &h) { h.fmt_size = 1025; }), whole, -1,
     "WAV: Header too large!\n"},
    {"not RIFF", with([](WavHeader &h) { h.riff = "RIFX"; }), whole, -1, "WAV: No RIFF header!\n"},
    {"cut in fmt", {}, 30, -1, "WAV: Short read!\n"},
    {"cut in extension", with([](WavHeader &h) { h.fmt_size = 100; }), 60, -1,
     "WAV: Short read!\n"},
    {"alignment", with([](WavHeader &h) { h.alignment = 6; }), whole, -1,
     "WAV: Block alignment 6 does not fit 2 channels of 16 bits!\n"},
    // The declared byte rate is redundant and not used.
    {"no byte rate", with([](WavHeader &h) { h.byte_rate = 0; }), whole, 0, ""},
};

TEST(WavHeader, AcceptsAndRefuses) {
  const auto wav = wav_filter();
  for (const HeaderCase &c : header_cases) {
    SCOPED_TRACE(c.what);
    const auto path = scratch_file(".wav");
    write_file(path, wav_bytes(c.header, std::string(400, '\1'), c.cut));
    auto info = marked_record();
    CaptureStderr();
    const int result = wav.init(path.c_str(), info.get());
    EXPECT_EQ(GetCapturedStderr(), c.message);
    EXPECT_EQ(result, c.result);
    if (result == 0) {
      EXPECT_EQ(info->channels, c.header.channels);
      EXPECT_EQ(info->frequency, c.header.rate);
      EXPECT_EQ(info->bitspersample, 16);
      EXPECT_EQ(info->bytealignment, 2 * c.header.channels);
      EXPECT_EQ(info->bytespersecond, c.header.byte_rate >= 0
                                          ? c.header.byte_rate
                                          : c.header.rate * 2 * c.header.channels);
    } else {
      // A refused file leaves no stream open: load has nothing to read.
      CaptureStderr();
      EXPECT_EQ(wav.load(info.get(), 1), -1);
      EXPECT_EQ(GetCapturedStderr(), "WAV: No file open!\n");
    }
    wav.finish();
  }
  const auto absent = scratch_file("absent.wav");
  auto info = marked_record();
  CaptureStderr();
  EXPECT_EQ(wav.init(absent.c_str(), info.get()), -1);
  EXPECT_EQ(GetCapturedStderr(), "Can't open WAV file: " + absent.string() + "\n");
}

// Interleaved samples numbered so that each tells its channel and place:
// left n is n, right n is -1 - n.
std::string numbered(int sample_frames, int channels = 2) {
  std::vector<int16_t> s;
  for (int n = 0; n < sample_frames; ++n)
    for (int ch = 0; ch < channels; ++ch) s.push_back(static_cast<int16_t>(ch % 2 ? -1 - n : n));
  return s16le(s);
}

int16_t big_endian(const uint8_t *p) { return static_cast<int16_t>(p[0] << 8 | p[1]); }

struct LoadCase {
  int rate, channels;
  bool pal;
  std::vector<int> samples;  // per channel in frames 0, 1, 2, ...
};

// Frame after frame, each sample where it belongs and in DV byte order,
// each frame with its share: 525/60 frames last 1001/30000 s (48 kHz: DV's
// customary 1600 then 1602; 44.1 and 32 kHz: what the exact length
// rounded down adds).
TEST(WavLoad, FramesInDvByteOrder) {
  const LoadCase cases[] = {{48000, 2, true, {1920, 1920, 1920}},
                            {48000, 2, false, {1600, 1602, 1602, 1602, 1602, 1600}},
                            {44100, 2, false, {1471, 1471, 1472, 1471}},
                            {32000, 2, false, {1067, 1068, 1068, 1067}},
                            {32000, 4, true, {1280, 1280}},
                            {32000, 4, false, {1067, 1068, 1068}}};
  const auto wav = wav_filter();
  for (const LoadCase &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.rate << " Hz, " << c.channels << " channels, pal " << c.pal);
    WavHeader h;
    h.rate = c.rate;
    h.channels = c.channels;
    const auto path = scratch_file(".wav");
    write_file(path, wav_bytes(h, numbered(c.rate / 4, c.channels)));
    auto info = marked_record();
    ASSERT_EQ(wav.init(path.c_str(), info.get()), 0);
    int first = 0;
    for (int per_frame : c.samples) {
      ASSERT_EQ(wav.load(info.get(), c.pal), 0);
      ASSERT_EQ(info->bytesperframe, per_frame * 2 * c.channels);
      for (int i : {0, 1, per_frame - 1}) {
        const uint8_t *at = info->data + i * 2 * c.channels;
        EXPECT_EQ(big_endian(at), first + i);
        EXPECT_EQ(big_endian(at + 2), -1 - (first + i));
      }
      first += per_frame;
    }
    wav.finish();
  }
}

// A WAV file of a counting signal, streamed through a named pipe by a
// thread (the long runs would take hundreds of megabytes on disk): sample
// frame n holds n's low 16 bits on the left and its high bits on the right.
class CountingWav {
 public:
  CountingWav(int rate, long long sample_frames) : path_(scratch_file(".wav")) {
    if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    std::signal(SIGPIPE, SIG_IGN);  // the reader may stop early
    WavHeader h;
    h.rate = rate;
    writer_ = std::thread([this, h, sample_frames] { write(h, sample_frames); });
  }
  ~CountingWav() { writer_.join(); }
  const std::filesystem::path &path() const { return path_; }

 private:
  void write(const WavHeader &h, long long sample_frames) {
    const int fd = ::open(path_.c_str(), O_WRONLY);
    if (fd < 0) return;
    const std::string header = wav_bytes(h, "");
    bool ok = ::write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size());
    // Little-endian pairs (left, right), a chunk at a time.
    std::vector<uint8_t> chunk(4 * 65536);
    for (long long n = 0; ok && n < sample_frames;) {
      const long long end = std::min(sample_frames, n + 65536);
      uint8_t *out = chunk.data();
      for (; n < end; ++n, out += 4) {
        out[0] = static_cast<uint8_t>(n), out[1] = static_cast<uint8_t>(n >> 8);
        out[2] = static_cast<uint8_t>(n >> 16), out[3] = static_cast<uint8_t>(n >> 24);
      }
      const auto bytes = static_cast<ssize_t>(out - chunk.data());
      ok = ::write(fd, chunk.data(), static_cast<size_t>(bytes)) == bytes;
    }
    ::close(fd);
  }
  std::filesystem::path path_;
  std::thread writer_;
};

// Over a long run every frame starts exactly where the previous one ended,
// within two samples of the time its picture stands for, and the frames
// take the exact share of the sound: 48048000 samples in 30000 frames of
// 525/60 (1001 s), not a sample more or less; then the source runs out.
TEST(WavLoad, LongRunsStayLockedToThePictures) {
  struct Case {
    bool pal;
    int rate, frames;
    long long total;
  };
  const auto wav = wav_filter();
  for (const Case &c : {Case{false, 48000, 30000, 48048000}, Case{false, 44100, 3000, 4414410},
                        Case{false, 32000, 3000, 3203200}, Case{true, 48000, 3000, 5760000}}) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, pal " << c.pal);
    CountingWav source(c.rate, c.total);
    // Closes the pipe before the writer is waited for, also on a failure.
    const std::unique_ptr<const void, void (*)(const void *)> closer(
        &source, [](const void *) { wav_filter().finish(); });
    auto info = marked_record();
    ASSERT_EQ(wav.init(source.path().c_str(), info.get()), 0);
    long long next = 0;  // the sample the next frame must start with
    for (int k = 0; k < c.frames; ++k) {
      ASSERT_EQ(wav.load(info.get(), c.pal), 0) << "frame " << k;
      const auto at = [&](int i) {
        const uint8_t *p = info->data + 4 * i;
        return static_cast<long long>(static_cast<uint16_t>(big_endian(p + 2))) << 16 |
               static_cast<uint16_t>(big_endian(p));
      };
      const int count = info->bytesperframe / 4;
      ASSERT_EQ(at(0), next) << "frame " << k;
      ASSERT_EQ(at(count - 1), next + count - 1) << "frame " << k;
      // k frames last k x 1001/30000 s (1/25 s in 625/50).
      const long long exact = k * static_cast<long long>(c.rate) * (c.pal ? 1200 : 1001);
      ASSERT_LE(std::llabs(next * 30000 - exact), 2 * 30000LL) << "frame " << k;
      next += count;
    }
    EXPECT_EQ(next, c.total);
    EXPECT_EQ(wav.load(info.get(), c.pal), 1);
  }
}

// Data that ends inside a frame: that load returns 1 and keeps the
// previous frame's samples.
TEST(WavLoad, ShortDataKeepsThePreviousFrame) {
  const auto wav = wav_filter();
  const auto path = scratch_file(".wav");
  write_file(path, wav_bytes({}, numbered(1920 + 1000)));
  auto info = marked_record();
  ASSERT_EQ(wav.init(path.c_str(), info.get()), 0);
  ASSERT_EQ(wav.load(info.get(), 1), 0);
  const std::vector<uint8_t> first(info->data, info->data + sizeof info->data);
  EXPECT_EQ(wav.load(info.get(), 1), 1);
  EXPECT_EQ(std::vector<uint8_t>(info->data, info->data + sizeof info->data), first);
  wav.finish();
}

}  // namespace
