// Audio insertion and the output filters: inserted audio comes back out of
// the decoder sample for sample, refused audio leaves the frame as it was,
// and the raw filter writes only frames that are whole.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/dif.h"
#include "support/decoder.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
namespace dif = tarsk::dif;
using Frame = std::vector<uint8_t>;

constexpr time_t some_time = 1700000000;

Frame assembled_frame(bool pal, int frame = 0) {
  Frame f(dif::frame_size(pal), 0x11);
  time_t now = some_time;
  _dv_write_meta_data(f.data(), frame, pal, 0, &now);
  return f;
}

// A stereo record whose whole data area holds random samples, with some
// -32768 (the invalid-sample code) and extremes among them.
std::unique_ptr<dv_enc_audio_info_t> random_audio(int rate, int samples, unsigned seed) {
  auto a = std::make_unique<dv_enc_audio_info_t>();
  a->channels = 2;
  a->frequency = rate;
  a->bitspersample = 16;
  a->bytespersecond = rate * 4;
  a->bytealignment = 4;
  a->bytesperframe = samples * 4;
  std::mt19937 rng(seed);
  for (auto &b : a->data) b = static_cast<uint8_t>(rng());
  for (int p : {0, 7, 333, samples - 1}) {
    a->data[4 * p] = 0x80, a->data[4 * p + 1] = 0x00;      // left -32768
    a->data[4 * p + 2] = 0x7f, a->data[4 * p + 3] = 0xff;  // right 32767
  }
  return a;
}

int16_t sample(const dv_enc_audio_info_t &a, int p, int channel) {
  const uint8_t *s = &a.data[static_cast<size_t>(4 * p + 2 * channel)];
  const auto v = static_cast<int16_t>(s[0] << 8 | s[1]);
  return v == -32768 ? -32767 : v;
}

struct RoundTrip {
  bool pal;
  int rate;
  int samples;
};

void PrintTo(const RoundTrip &c, std::ostream *os) {
  *os << (c.pal ? "625/50 " : "525/60 ") << c.rate << " Hz, " << c.samples << " samples";
}

class Insert : public testing::TestWithParam<RoundTrip> {};

TEST_P(Insert, DecoderGivesTheSamplesBack) {
  const RoundTrip c = GetParam();
  Frame f = assembled_frame(c.pal);
  auto audio = random_audio(c.rate, c.samples, static_cast<unsigned>(c.rate + c.samples));
  ASSERT_EQ(_dv_raw_insert_audio(f.data(), audio.get(), c.pal), 0);

  auto dv = new_decoder();
  ASSERT_GE(dv_parse_header(dv.get(), f.data()), 0);
  EXPECT_EQ(dv->audio->frequency, c.rate);
  EXPECT_EQ(dv->audio->quantization, 16);
  EXPECT_EQ(dv->audio->emphasis, 0);
  ASSERT_EQ(dv->audio->samples_this_frame, c.samples);
  std::vector<int16_t> left(1944), right(1944);
  int16_t *out[4] = {left.data(), right.data(), nullptr, nullptr};
  ASSERT_EQ(dv_decode_full_audio(dv.get(), f.data(), out), 1);
  EXPECT_EQ(dv_frame_has_audio_errors(dv.get()), 0);
  for (int p = 0; p < c.samples; ++p) {
    ASSERT_EQ(left[static_cast<size_t>(p)], sample(*audio, p, 0)) << "left " << p;
    ASSERT_EQ(right[static_cast<size_t>(p)], sample(*audio, p, 1)) << "right " << p;
  }
}

// AAUX packs: source pack per half, source control, and the recording
// date and time copied from the VAUX packs, in blocks 3 to 6 of even
// sequences and 0 to 3 of odd ones; the other pack slots empty.
TEST_P(Insert, PacksInEverySequence) {
  const RoundTrip c = GetParam();
  Frame f = assembled_frame(c.pal);
  auto audio = random_audio(c.rate, c.samples, 9);
  ASSERT_EQ(_dv_raw_insert_audio(f.data(), audio.get(), c.pal), 0);
  const uint8_t *vaux_date = &f[dif::block_offset(0, 5) + 3 + 5 * 11];
  const uint8_t *vaux_time = &f[dif::block_offset(0, 5) + 3 + 5 * 12];
  ASSERT_EQ(vaux_date[0], 0x62);
  ASSERT_EQ(vaux_time[0], 0x63);
  const int half = c.pal ? 6 : 5;
  for (int ds = 0; ds < dif::sequences(c.pal); ++ds) {
    const int first = ds % 2 == 0 ? 3 : 0;
    for (int a = 0; a < 9; ++a) {
      SCOPED_TRACE(testing::Message() << "ds " << ds << " block " << a);
      const uint8_t *pack = &f[dif::audio_offset(ds, a) + 3];
      const int n = a - first;
      if (n < 0 || n > 3) {
        EXPECT_EQ(std::vector<uint8_t>(pack, pack + 5), std::vector<uint8_t>(5, 0xff));
        continue;
      }
      EXPECT_EQ(pack[0], 0x50 + n);
      if (n == 0) {
        EXPECT_EQ(pack[2], ds >= half ? 1 : 0);
        dv_aaux_as_t as;
        std::memcpy(&as, pack, 5);
        EXPECT_EQ(as.pc4.ef, 1);  // no pre-emphasis
      }
      if (n >= 2) {
        EXPECT_EQ(0, std::memcmp(pack + 1, (n == 2 ? vaux_date : vaux_time) + 1, 4));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Insert,
    testing::Values(RoundTrip{false, 48000, 1600}, RoundTrip{false, 48000, 1620},
                    RoundTrip{false, 44100, 1471}, RoundTrip{false, 32000, 1053},
                    RoundTrip{false, 32000, 1080}, RoundTrip{true, 48000, 1919},
                    RoundTrip{true, 48000, 1944}, RoundTrip{true, 44100, 1764},
                    RoundTrip{true, 32000, 1264}, RoundTrip{true, 32000, 1296}));

TEST(InsertPacks, SourcePackOfA44kFrame) {
  Frame f = assembled_frame(true);
  auto audio = random_audio(44100, 1764, 1);
  ASSERT_EQ(_dv_raw_insert_audio(f.data(), audio.get(), 1), 0);
  const uint8_t *first = &f[dif::audio_offset(0, 3) + 3];
  const uint8_t *second = &f[dif::audio_offset(6, 3) + 3];
  EXPECT_EQ(std::vector<uint8_t>(first, first + 5),
            (std::vector<uint8_t>{0x50, 0xd6, 0x00, 0xe0, 0x88}));
  EXPECT_EQ(second[2], 0x01);
}

struct Refusal {
  const char *what;
  int rate, channels, alignment, samples;
  const char *message;
};

// Audio that cannot be inserted is refused before anything is written.
TEST(InsertRefuses, AndLeavesTheFrameAsItWas) {
  const Refusal cases[] = {
      {"rate", 22050, 2, 4, 1920, "Impossible frequency??\n"},
      {"12-bit", 32000, 4, 8, 1280, "Unsupported bits: 12\n FIXME!\n"},
      {"mono", 48000, 1, 4, 1920, "Audio of 1 channels cannot be inserted: 2 are needed\n"},
      {"narrow", 48000, 2, 2, 1920, "Audio sample frames of 2 bytes do not fit the audio data\n"},
      {"wide", 48000, 2, 9, 1920, "Audio sample frames of 9 bytes do not fit the audio data\n"},
      {"few", 48000, 2, 4, 1895,
       "Audio frame of 1895 samples: a frame at 48000 Hz holds 1896 to 1944\n"},
      {"many", 44100, 2, 4, 1787,
       "Audio frame of 1787 samples: a frame at 44100 Hz holds 1742 to 1786\n"},
  };
  for (const Refusal &c : cases) {
    SCOPED_TRACE(c.what);
    const Frame before = assembled_frame(true);
    Frame f = before;
    auto audio = random_audio(c.rate, c.samples, 2);
    audio->channels = c.channels;
    audio->bytealignment = c.alignment;
    audio->bytesperframe = c.samples * c.alignment;
    CaptureStderr();
    EXPECT_EQ(_dv_raw_insert_audio(f.data(), audio.get(), 1), -1);
    EXPECT_EQ(GetCapturedStderr(), c.message);
    EXPECT_EQ(f, before);
  }
  // The widest sample frame that still fits: 8 bytes (625/50).
  Frame f = assembled_frame(true);
  auto audio = random_audio(48000, 1920, 3);
  audio->bytealignment = 8;
  audio->bytesperframe = 1920 * 8;
  EXPECT_EQ(_dv_raw_insert_audio(f.data(), audio.get(), 1), 0);
}

dv_enc_output_filter_t raw_filter() {
  dv_enc_output_filter_t *filters;
  int count;
  EXPECT_EQ(dv_enc_get_output_filters(&filters, &count), 0);
  EXPECT_GE(count, 1);
  EXPECT_STREQ(filters[0].filter_name, "raw");
  return filters[0];
}

struct File {
  FILE *f;
  explicit File(FILE *file) : f(file) {}
  ~File() {
    if (f) std::fclose(f);
  }
  Frame bytes() {
    std::fflush(f);
    std::rewind(f);
    Frame out;
    int c;
    while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<uint8_t>(c));
    return out;
  }
};

// Frame count bits of a frame's first video block: the filter's count.
int frame_count_of(const uint8_t *frame) { return frame[dif::block_offset(0, 7)] & 0x0f; }

// A stream's frames through the encoder record: per-frame sample counts
// that add up to the locked rates exactly (8008 samples every 5 frames of
// 525/60 at 48 kHz, 32032 every 30 at 32 kHz), mono given to both
// channels, and our decoder reading back the count the frame carries.
TEST(EncoderAudio, FramesCarryTheirShareAndComeBack) {
  struct Case {
    bool pal;
    int rate, frames, total;  // total samples of `frames` frames
  };
  // A whole number of samples every 5, 300 and 30 frames of 525/60 (10.01 s
  // at 44.1 kHz: 441441) and every second of 625/50.
  for (const Case &c :
       {Case{false, 48000, 5, 8008}, Case{false, 44100, 300, 441441}, Case{false, 32000, 30, 32032},
        Case{true, 48000, 25, 48000}, Case{true, 44100, 25, 44100}, Case{true, 32000, 25, 32000}}) {
    SCOPED_TRACE(testing::Message() << c.pal << " " << c.rate);
    dv_encoder_t *enc = dv_encoder_new(0, 0, 0);
    enc->isPAL = c.pal;
    int total = 0;
    for (int n = 0; n < c.frames; ++n) total += dv_calculate_samples(enc, c.rate, n);
    EXPECT_EQ(total, c.total);
    // Locked over a long run (an hour of 525/60 is 107892 frames): the count
    // so far stays within two samples of the frames' exact length, and
    // every frame's count is one the source pack can carry.
    const int code = c.rate == 48000 ? 0 : c.rate == 44100 ? 1 : 2;
    const int lo = c.pal ? std::array{1896, 1742, 1264}[code] : std::array{1580, 1452, 1053}[code];
    const int hi = c.pal ? std::array{1944, 1786, 1296}[code] : std::array{1620, 1489, 1080}[code];
    long long sum = 0;
    for (int n = 0; n < 120000; ++n) {
      const int s = dv_calculate_samples(enc, c.rate, n);
      ASSERT_TRUE(s >= lo && s <= hi) << "frame " << n << ": " << s;
      sum += s;
      // Exact samples of n + 1 frames, in units of 1/30000 sample.
      const long long exact = (n + 1LL) * c.rate * (c.pal ? 1200 : 1001);
      ASSERT_LE(std::llabs(sum * 30000 - exact), 2 * 30000LL) << "frame " << n;
    }
    for (int channels : {1, 2}) {
      std::vector<int16_t> left(1944), right(1944);
      for (size_t i = 0; i < left.size(); ++i) {
        left[i] = static_cast<int16_t>(i * 37 - 30000);
        right[i] = static_cast<int16_t>(-static_cast<int>(i) * 11);
      }
      left[5] = -32768;
      int16_t *pcm[2] = {left.data(), right.data()};
      Frame f = assembled_frame(c.pal);
      const int samples = dv_calculate_samples(enc, c.rate, 1);
      ASSERT_EQ(dv_encode_full_audio(enc, pcm, channels, c.rate, f.data()), 0);
      EXPECT_EQ(enc->isPAL != 0, c.pal);
      auto dv = new_decoder();
      ASSERT_GE(dv_parse_header(dv.get(), f.data()), 0);
      ASSERT_EQ(dv->audio->samples_this_frame, samples);
      std::vector<int16_t> a(1944), b(1944);
      int16_t *out[4] = {a.data(), b.data(), nullptr, nullptr};
      ASSERT_EQ(dv_decode_full_audio(dv.get(), f.data(), out), 1);
      for (int p = 0; p < samples; ++p) {
        const size_t i = static_cast<size_t>(p);
        ASSERT_EQ(a[i], left[i] == -32768 ? -32767 : left[i]) << p;
        ASSERT_EQ(b[i], channels == 2 ? right[i] : a[i]) << p;
      }
    }
    // Refused with a message, the frame as it was: three channels, a rate
    // DV does not carry (the largest int too), sample counts beyond the
    // frame's places either way, no buffers.
    std::vector<int16_t> buf(1944);
    int16_t *three[3] = {buf.data(), buf.data(), buf.data()};
    struct Refused {
      int channels, rate, samples;
      int16_t **pcm;
    };
    for (const Refused &r : {Refused{3, c.rate, 0, three}, Refused{2, INT_MAX, 0, three},
                             Refused{2, c.rate, -1, three}, Refused{2, c.rate, 1945, three},
                             Refused{2, c.rate, INT_MAX, three}, Refused{1, c.rate, 0, nullptr}}) {
      SCOPED_TRACE(testing::Message() << r.channels << " " << r.rate << " " << r.samples);
      Frame f = assembled_frame(c.pal);
      const Frame before = f;
      enc->samples_this_frame = r.samples;
      CaptureStderr();
      EXPECT_EQ(dv_encode_full_audio(enc, r.pcm, r.channels, r.rate, f.data()), -1);
      EXPECT_NE(GetCapturedStderr(), "");
      EXPECT_EQ(f, before);
    }
    dv_encoder_free(enc);
  }
}

TEST(RawFilter, StoresWholeFramesOnly) {
  const dv_enc_output_filter_t raw = raw_filter();
  EXPECT_EQ(raw.init(nullptr), -1);
  File out(std::tmpfile());
  ASSERT_NE(out.f, nullptr);
  ASSERT_EQ(raw.init(out.f), 0);
  EXPECT_EQ(out_fp, out.f);
  const size_t size = dif::frame_size(true);

  // No audio: written as the header writer left it, audio blocks empty.
  Frame f(size, 0x22);
  ASSERT_EQ(raw.store(f.data(), nullptr, 0, 1, 0, some_time), 0);
  // Refused audio: nothing written, nothing counted.
  auto bad = random_audio(22050, 1920, 4);
  CaptureStderr();
  EXPECT_EQ(raw.store(f.data(), bad.get(), 0, 1, 0, some_time), -1);
  EXPECT_EQ(GetCapturedStderr(), "Impossible frequency??\n");
  auto good = random_audio(48000, 1920, 5);
  ASSERT_EQ(raw.store(f.data(), good.get(), 0, 1, 0, some_time), 0);
  // Kept headers: the frame goes out exactly as given.
  Frame kept(size, 0x33);
  ASSERT_EQ(raw.store(kept.data(), nullptr, 1, 1, 0, some_time), 0);
  raw.finish();

  const Frame written = out.bytes();
  ASSERT_EQ(written.size(), 3 * size);
  const uint8_t *first = written.data(), *second = first + size;
  EXPECT_EQ(first[dif::audio_offset(0, 3) + 3], 0xff);
  EXPECT_EQ(frame_count_of(second), (frame_count_of(first) + 1) % 12);
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), second + size));

  auto dv = new_decoder();
  ASSERT_GE(dv_parse_header(dv.get(), second), 0);
  EXPECT_EQ(dv->audio->samples_this_frame, 1920);
}

TEST(RawFilter, FailedWriteIsAFailure) {
  const dv_enc_output_filter_t raw = raw_filter();
  const auto path = scratch_file("readonly.dv");
  { File create(std::fopen(path.c_str(), "w")); }
  File in(std::fopen(path.c_str(), "r"));
  ASSERT_EQ(raw.init(in.f), 0);
  Frame f(dif::frame_size(false));
  CaptureStderr();
  EXPECT_EQ(raw.store(f.data(), nullptr, 0, 0, 0, some_time), -1);
  EXPECT_EQ(GetCapturedStderr(), "raw: could not write the frame\n");
  raw.init(stdout);
}

int dummy_init(FILE *) { return 0; }
int dummy_init(const char *, dv_enc_audio_info_t *) { return 0; }
void dummy_finish() {}
int dummy_store(uint8_t *, dv_enc_audio_info_t *, int, int, int, time_t) { return 0; }
int dummy_load(dv_enc_audio_info_t *, int) { return 0; }
int dummy_init(int, int) { return 0; }
int dummy_load(const char *, int *) { return 0; }
void dummy_fill(dv_macroblock_t *, int) {}

// Each of the three registries takes filters up to 31 (its 32nd record
// ends it), then refuses with a message and -1, as it refuses a record
// without an operation.
template <class Filter>
void fills_to_31(int (*get)(Filter **, int *), int (*add)(Filter), Filter filter,
                 const std::string &kind, const char *built_in) {
  Filter *filters;
  int count;
  get(&filters, &count);
  Filter incomplete = filter;
  incomplete.finish = nullptr;
  CaptureStderr();
  EXPECT_EQ(add(incomplete), -1);
  EXPECT_EQ(GetCapturedStderr(), kind + " filter without a name or an operation: not registered\n");
  static std::vector<std::string> names;
  for (int i = count; i < 31; ++i) {
    names.push_back(kind + std::to_string(i));
    filter.filter_name = names.back().c_str();
    ASSERT_EQ(add(filter), 0);
    get(&filters, &count);
    ASSERT_EQ(count, i + 1);
  }
  filter.filter_name = "one too many";
  CaptureStderr();
  EXPECT_EQ(add(filter), -1);
  EXPECT_EQ(GetCapturedStderr(),
            kind + " filter registry is full (31 filters): one too many not registered\n");
  get(&filters, &count);
  EXPECT_EQ(count, 31);
  EXPECT_EQ(filters[31].filter_name, nullptr);
  EXPECT_EQ(filters[30].filter_name, kind + "30");
  EXPECT_STREQ(filters[0].filter_name, built_in);
}

TEST(Registries, HoldThirtyOneFilters) {
  fills_to_31<dv_enc_output_filter_t>(dv_enc_get_output_filters, dv_enc_register_output_filter,
                                      {dummy_init, dummy_finish, dummy_store, nullptr}, "Output",
                                      "raw");
  fills_to_31<dv_enc_audio_input_filter_t>(
      dv_enc_get_audio_input_filters, dv_enc_register_audio_input_filter,
      {dummy_init, dummy_finish, dummy_load, nullptr}, "Audio input", "wav");
  fills_to_31<dv_enc_input_filter_t>(
      dv_enc_get_input_filters, dv_enc_register_input_filter,
      {dummy_init, dummy_finish, dummy_load, dummy_load, dummy_fill, nullptr}, "Video input",
      "ppm");
}

}  // namespace
