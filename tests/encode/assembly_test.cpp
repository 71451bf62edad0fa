// Frame assembly and the encode loop, read back by the decoder and played by ffmpeg.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "classic/statistics.h"
#include "common/dif.h"
#include "encode/encode.h"
#include "support/decoder.h"
#include "support/ffmpeg.h"
#include "support/wav.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// 14 November 2023, within the two-digit years the decoder maps to 20xx.
constexpr time_t some_time = 1700000000;

// Time code, date, system and aspect as the decoder reads them (the clock steps at a second's
// first frame), and audio sample for sample at every rate and the fewest and most samples.
TEST(Assembly, DecoderReadsMetadataAndAudioBack) {
  // clang-format off
  const struct { int pal, wide, frame, rate, samples; } cases[] = {
      {0, 0, 0, 48000, 1600}, {0, 1, 31, 48000, 1620}, {0, 0, 7, 44100, 1471},
      {0, 1, 59, 32000, 1053}, {0, 0, 30, 32000, 1080}, {1, 0, 50, 48000, 1896},
      {1, 1, 13, 48000, 1944}, {1, 0, 0, 44100, 1764}, {1, 1, 24, 32000, 1264},
      {1, 0, 1, 32000, 1296}};
  // clang-format on
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "pal " << c.pal << " frame " << c.frame << " " << c.rate
                                    << " Hz " << c.samples);
    const int fps = c.pal ? 25 : 30;
    std::vector<uint8_t> f(dif::frame_size(c.pal));
    for (auto &b : f) b = static_cast<uint8_t>(std::rand());
    time_t now = some_time;
    _dv_write_meta_data(f.data(), c.frame, c.pal, c.wide, &now);
    const time_t expected = some_time + (c.frame % fps == 0 ? 1 : 0);
    EXPECT_EQ(now, expected);
    // Random big-endian stereo, with -32768 (DV's lost-sample code, carried as -32767) and 32767.
    auto audio = std::make_unique<dv_enc_audio_info_t>();
    audio->channels = 2, audio->frequency = c.rate, audio->bitspersample = 16;
    audio->bytealignment = 4, audio->bytesperframe = 4 * c.samples;
    for (auto &b : audio->data) b = static_cast<uint8_t>(std::rand());
    for (int p : {0, 333, c.samples - 1}) std::memcpy(&audio->data[4 * p], "\x80\x00\x7f\xff", 4);
    ASSERT_EQ(_dv_raw_insert_audio(f.data(), audio.get(), c.pal), 0);

    auto dv = new_decoder();
    ASSERT_GE(dv_parse_header(dv.get(), f.data()), 0);
    dv_parse_packs(dv.get(), f.data());
    EXPECT_EQ(dv->system, c.pal ? e_dv_system_625_50 : e_dv_system_525_60);
    EXPECT_EQ(dv_system_50_fields(dv.get()), c.pal ? 1 : 0);
    EXPECT_EQ(dv_format_wide(dv.get()), c.wide ? 1 : 0);
    std::tm t{};
    ASSERT_NE(localtime_r(&expected, &t), nullptr);
    int tc[4];
    ASSERT_EQ(dv_get_timestamp_int(dv.get(), tc), 1);
    EXPECT_EQ(std::vector<int>(tc, tc + 4),
              (std::vector<int>{t.tm_hour, t.tm_min, t.tm_sec, c.frame % fps}));
    char text[20], want[20];
    ASSERT_EQ(dv_get_recording_datetime(dv.get(), text), 1);
    std::strftime(want, sizeof want, "%Y-%m-%d %H:%M:%S", &t);
    EXPECT_STREQ(text, want);
    // The VAUX packs' date and time are the subcode's.
    for (uint8_t id : {0x62, 0x63}) {
      uint8_t vaux[4];
      ASSERT_EQ(dv_get_vaux_pack(dv.get(), id, vaux), 0);
      EXPECT_EQ(0, std::memcmp(vaux, dv->ssyb_data[dv->ssyb_pack[id]], 4));
    }
    EXPECT_EQ(std::tuple(dv->audio->frequency, dv->audio->quantization), std::tuple(c.rate, 16));
    ASSERT_EQ(dv->audio->samples_this_frame, c.samples);
    std::vector<int16_t> left(1944), right(1944);
    int16_t *out[4] = {left.data(), right.data(), nullptr, nullptr};
    ASSERT_EQ(dv_decode_full_audio(dv.get(), f.data(), out), 1);
    for (int p = 0; p < c.samples; ++p)
      for (int ch = 0; ch < 2; ++ch) {
        const uint8_t *s = &audio->data[4 * p + 2 * ch];
        const auto v = static_cast<int16_t>(s[0] << 8 | s[1]);
        ASSERT_EQ((ch ? right : left)[static_cast<size_t>(p)], v == -32768 ? -32767 : v)
            << "channel " << ch << " sample " << p;
      }
  }
}

template <class Filter>
Filter *named(int (*get)(Filter **, int *), const std::string &name) {
  Filter *filters;
  int count;
  get(&filters, &count);
  for (int i = 0; i < count; ++i)
    if (filters[i].filter_name == name) return &filters[i];
  throw std::runtime_error("no filter " + name);
}

// The headers the "wav" filter takes, and the messages it refuses others with.
TEST(WavHeader, AcceptsAndRefuses) {
  // clang-format off
  const struct { WavHeader h; const char *message; size_t cut = std::string::npos; } cases[] = {
      {{}, ""}, {{.fmt_size = 18}, ""}, {{.channels = 4, .rate = 32000}, ""},
      {{.byte_rate = 0}, ""},  // redundant, not used
      {{.alignment = 4, .bits = 8},
       "WAV: Unsupported bitspersample: 8 Only 16 bits are supported right now. (FIXME: just look "
       "in audio and copy the code if you really need this!)\n"},
      {{.list_chunk = true}, "WAV: No data header!\n"},
      {{.channels = 1, .rate = 44100}, "WAV: Unsupported channel count (1) for frequency 44100!\n"},
      {{.channels = 3, .rate = 32000}, "WAV: Unsupported channel count (3) for frequency 32000!\n"},
      {{.rate = 22050}, "WAV: Unsupported frequency: 22050\n"},
      {{.fmt_size = 8}, "WAV: fmt chunk of 8 bytes is too short: 16 are needed!\n"},
      {{.fmt_size = 1025}, "WAV: Header too large!\n"},
      {{.riff = "RIFX"}, "WAV: No RIFF header!\n"},
      {{}, "WAV: Short read!\n", 30},
      {{.fmt_size = 100}, "WAV: Short read!\n", 60},
      {{.alignment = 6}, "WAV: Block alignment 6 does not fit 2 channels of 16 bits!\n"},
  };
  // clang-format on
  const auto &wav = *named(dv_enc_get_audio_input_filters, "wav");
  for (const auto &c : cases) {
    const auto path = scratch_file(".wav");
    write_file(path, wav_bytes(c.h, std::string(400, '\1'), c.cut));
    dv_enc_audio_info_t info{};
    CaptureStderr();
    const int result = wav.init(path.c_str(), &info);
    EXPECT_EQ(GetCapturedStderr(), c.message);
    EXPECT_EQ(result, *c.message ? -1 : 0) << c.message;
    if (result != 0) {  // no stream left open to load from
      CaptureStderr();
      EXPECT_EQ(wav.load(&info, 1), -1);
      EXPECT_EQ(GetCapturedStderr(), "WAV: No file open!\n");
    }
    wav.finish();
  }
}

// Flat pictures numbered (mod 16) by brightness: luma 16 + 12k in PGM, grey 20 + 14k in PPM.
std::string number_pictures(const std::string &kind, int count, int lines) {
  const std::string pattern = scratch_file("-pic").string() + "%03d." + kind;
  for (int k = 0; k < count; ++k) {
    char name[1100];
    std::snprintf(name, sizeof name, pattern.c_str(), k);
    std::ofstream f(name, std::ios::binary);
    if (kind == "pgm")
      f << "P5\n720 " << lines * 3 / 2 << "\n255\n"
        << std::string(720u * lines, static_cast<char>(16 + 12 * (k % 16)))
        << std::string(360u * lines, static_cast<char>(128));
    else
      f << "P6\n720 " << lines << "\n255\n"
        << std::string(3 * 720u * lines, static_cast<char>(20 + 14 * (k % 16)));
  }
  return pattern;
}

// The picture number of a mean luma; -1: none.
int picture_of_luma(const std::string &kind, double luma) {
  for (int k = 0; k < 16; ++k)
    if (std::fabs(luma - (kind == "pgm" ? 16 + 12 * k : 16 + (20 + 14 * k) * 219.0 / 255)) < 3)
      return k;
  return -1;
}

struct LoopRun { int result; std::string err; std::vector<uint8_t> bytes; };

struct LoopArgs {
  std::string kind = "pgm", pattern;
  int start = 0, end = 0;
  const char *wav = nullptr;  // no sound
  int passes = 3, fps = 0;
  const char *out = nullptr;  // a scratch file
};

LoopRun run_loop(const LoopArgs &a) {
  dv_enc_input_filter_t *input = named(dv_enc_get_input_filters, a.kind);
  dv_enc_audio_input_filter_t *wav = named(dv_enc_get_audio_input_filters, "wav");
  dv_enc_output_filter_t *raw = named(dv_enc_get_output_filters, "raw");
  const auto out_path = a.out ? std::filesystem::path(a.out) : scratch_file(".dv");
  FILE *out = std::fopen(out_path.c_str(), "wb");
  // A buffer that takes whole frames: a failed write shows only when flushed.
  std::vector<char> buffer(1 << 20);
  std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
  EXPECT_EQ(input->init(0, -1), 0);
  EXPECT_EQ(raw->init(out), 0);
  LoopRun r;
  CaptureStderr();
  r.result = dv_encoder_loop(input, a.wav ? wav : nullptr, raw, a.start, a.end, a.pattern.c_str(),
                             a.wav, a.passes, 0, 0, a.fps, 0);
  r.err = GetCapturedStderr();
  input->finish();
  raw->finish();
  wav->finish();
  std::fclose(out);
  if (!a.out) r.bytes = read_file(out_path);
  return r;
}

// A counting WAV: left n (wrapping; but sample 5 is -32768, carried as -32767), right -1 - n.
std::string counting_wav(int rate, int channels, int sample_frames) {
  std::vector<int16_t> s;
  for (int n = 0; n < sample_frames; ++n)
    for (int ch = 0; ch < channels; ++ch)
      s.push_back(static_cast<int16_t>(ch % 2 ? -1 - n : n == 5 ? -32768 : n));
  const auto path = scratch_file(".wav");
  write_file(path, wav_bytes(WavHeader{.channels = channels, .rate = rate}, s16le(s)));
  return path.string();
}

// ffmpeg's sound of a file is that WAV's from sample `offset` on.
void expect_counted(const std::vector<uint8_t> &pcm, long long offset, long long samples) {
  ASSERT_EQ(static_cast<long long>(pcm.size()), 4 * samples);
  for (long long i = 0; i < samples; ++i)
    for (int ch = 0; ch < 2; ++ch) {
      const long long n = offset + i;
      const size_t at = static_cast<size_t>(4 * i + 2 * ch);
      const auto want = static_cast<int16_t>(ch == 1 ? -1 - n : n == 5 ? -32767 : n);
      ASSERT_EQ(static_cast<int16_t>(pcm[at] | pcm[at + 1] << 8), want) << i << " channel " << ch;
    }
}

// A failing filter or write ends the loop with -1, keeping what was stored; bad settings and name
// patterns without exactly one picture-number conversion are refused.
TEST(EncoderLoop, FailuresEndIt) {
  const std::string pictures = number_pictures("pgm", 2, 480);
  const std::string twelve_bit = counting_wav(32000, 4, 8000),
                    absent = scratch_file("absent.wav").string();
  char third[1100];
  std::snprintf(third, sizeof third, pictures.c_str(), 2);
  // clang-format off
  struct Case { LoopArgs args; std::string message; size_t frames = 0; };
  std::vector<Case> cases = {
      {{"pgm", pictures, 0, 3}, std::string("Can't open picture file: ") + third + "\n", 2},
      {{"pgm", pictures, 0, 1, absent.c_str()}, "Can't open WAV file: " + absent + "\n"},
      {{"pgm", pictures, 0, 1, twelve_bit.c_str()}, "Unsupported bits: 12\n FIXME!\n"},
      {{"pgm", pictures, 0, 1, nullptr, 4}, "Invalid value for vlc_encode_passes specified: 4!\n"},
      {{"pgm", pictures, 0, 1, nullptr, 3, -1}, "Invalid frame rate: -1\n"},
      {{"pgm", std::string(1100, 'x') + "%d", 0, 1},
       "The file name of picture 0 does not fit 1023 bytes\n"},
      {{"pgm", pictures, 0, 1, nullptr, 3, 0, "/dev/full"}, "raw: could not write the frame\n"},
  };
  for (const char *p : {"pic.pgm", "%s.pgm", "%d-%d.pgm", "%n%d", "%ld.pgm", "%*d.pgm", "%.*d",
                        "pic%"})
    cases.push_back({{"pgm", p, 0, 1}, std::string("The file name pattern ") + p +
                     " needs exactly one conversion of the picture number (such as %04d) and"
                     " no other\n"});
  // clang-format on
  for (const Case &c : cases) {
    const LoopRun r = run_loop(c.args);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.bytes.size(), c.frames * dif::frame_size(false));
  }
}

// A busy picture made in code, the same at every call: pass counts give different frames.
void busy_fill(dv_macroblock_t *mb, int) {
  for (int b = 0; b < 6; ++b) {
    for (int i = 0; i < 64; ++i)
      mb->b[b].coeffs[i] =
          static_cast<dv_coeff_t>(((mb->x + 3 * mb->y + 7 * b) * 5 + i * 37 % 61) % 400 - 200);
    mb->b[b].dct_mode = 0;
  }
}

// A pass count outside 1..3 no longer ends the process: a frame of the loop is logged and made
// with 3 passes, a segment of dv_encode_videosegment refused with -1 and left as it was.
TEST(EncodeFrame, InvalidPassCountsFallBackOrAreRefused) {
  dv_enc_input_filter_t busy{};
  busy.fill_macroblock = busy_fill;
  auto frame_of = [&](int passes, std::string &printed) {
    std::vector<uint8_t> frame(dif::frame_size(true));
    auto seg = std::make_unique<dv_videosegment_t>();
    tarsk::EncodeStats stats{};
    CaptureStderr();
    tarsk::encode(&busy, 1, frame.data(), passes, 0, seg.get(), stats);
    printed = GetCapturedStderr();
    return frame;
  };
  std::string printed;
  std::vector<uint8_t> made[4];
  for (int passes = 1; passes <= 3; ++passes) {
    made[passes] = frame_of(passes, printed);
    EXPECT_EQ(printed, "");
  }
  ASSERT_NE(made[1], made[3]);
  ASSERT_NE(made[2], made[3]);
  std::unique_ptr<dv_encoder_t, void (*)(dv_encoder_t *)> enc(dv_encoder_new(0, 0, 0),
                                                              dv_encoder_free);
  enc->isPAL = 1;
  for (int passes : {0, 4, -1, 100, INT_MIN}) {
    SCOPED_TRACE(passes);
    EXPECT_EQ(frame_of(passes, printed), made[3]);
    EXPECT_EQ(printed, "Invalid value for vlc_encode_passes specified: " + std::to_string(passes) +
                           "! Encoding with 3 passes.\n");
    auto seg = std::make_unique<dv_videosegment_t>();
    seg->isPAL = 1;
    std::vector<uint8_t> segment(400, 0x5a);
    enc->vlc_encode_passes = passes;
    CaptureStderr();
    EXPECT_EQ(dv_encode_videosegment(enc.get(), seg.get(), segment.data()), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "Invalid value for vlc_encode_passes specified: " + std::to_string(passes) + "!\n");
    EXPECT_EQ(segment, std::vector<uint8_t>(400, 0x5a));
    EXPECT_EQ(enc->vlc_encode_passes, passes);
  }
}

// dv.h's encodes add the counts of their quantiser search to the process-wide statistics that
// dv_show_statistics prints: a DCT mode for every block encoded, nothing for a refused encode.
TEST(EncodeStatistics, DvhEncodesAddToTheProcessCounters) {
  auto blocks = [] {
    const tarsk::EncodeStats s = tarsk::encode_statistics();
    return s.dct_used[0] + s.dct_used[1];
  };
  std::unique_ptr<dv_encoder_t, void (*)(dv_encoder_t *)> enc(dv_encoder_new(0, 0, 0),
                                                              dv_encoder_free);
  enc->isPAL = 1;
  std::vector<uint8_t> picture(720u * 576 * 2, 128), frame(dif::frame_size(true));
  uint8_t *in[3] = {picture.data(), nullptr, nullptr};
  long before = blocks();
  ASSERT_EQ(dv_encode_full_frame(enc.get(), in, e_dv_color_yuv, frame.data()), 0);
  EXPECT_EQ(blocks() - before, 12 * 27 * 5 * 6);
  before = blocks();
  CaptureStderr();
  EXPECT_EQ(dv_encode_full_frame(enc.get(), in, e_dv_color_bgr0, frame.data()), -1);
  GetCapturedStderr();
  EXPECT_EQ(blocks(), before);
  auto seg = std::make_unique<dv_videosegment_t>();
  seg->isPAL = 1;
  std::vector<uint8_t> segment(dif::segment_size, 0);
  ASSERT_EQ(dv_encode_videosegment(enc.get(), seg.get(), segment.data()), 0);
  EXPECT_EQ(blocks() - before, 5 * 6);
  before = blocks();
  const LoopRun r = run_loop({"pgm", number_pictures("pgm", 2, 480), 0, 1});
  ASSERT_EQ(r.result, 0) << r.err;
  EXPECT_EQ(blocks() - before, 2 * 10 * 27 * 5 * 6);
}

struct PlayCase {
  const char *name, *kind;
  bool pal;
  int rate, start, fps;
  std::vector<int> shown;     // the picture each frame shows
  long long offset, samples;  // where the first frame's sound starts; how much there is
};

void PrintTo(const PlayCase &c, std::ostream *os) { *os << c.name; }

class FfmpegPlaysTheLoop : public testing::TestWithParam<PlayCase> {};

// The loop's frames played by ffmpeg: the start skips pictures, a lower rate repeats some evenly;
// samples exact from the first frame (1600 + 1602 before 525/60 picture 2 at 48 kHz).
TEST_P(FfmpegPlaysTheLoop, PicturesAndSoundInStep) {
  const PlayCase c = GetParam();
  const int lines = c.pal ? 576 : 480, frames = static_cast<int>(c.shown.size());
  const int last = c.start + frames - 1;
  const std::string wav = counting_wav(c.rate, 2, c.rate * (last + 2) / 25);
  const LoopRun r = run_loop(
      {c.kind, number_pictures(c.kind, last + 1, lines), c.start, last, wav.c_str(), 3, c.fps});
  ASSERT_EQ(r.result, 0) << r.err;
  const auto path = scratch_file(".dv"), pcm_path = scratch_file(".s16le");
  write_file(path, std::string(r.bytes.begin(), r.bytes.end()));
  const std::string luma = run_ffmpeg({"-v", "error", "-i", path.string(), "-map", "0:a", "-f",
                                       "s16le", "-ac", "2", "-y", pcm_path.string(), "-map", "0:v",
                                       "-vf", "extractplanes=y", "-f", "rawvideo", "-"});
  expect_counted(read_file(pcm_path), c.offset, c.samples);
  const size_t picture = 720u * lines;
  ASSERT_EQ(luma.size(), picture * frames);
  for (int n = 0; n < frames; ++n) {
    double sum = 0;
    for (size_t i = 0; i < picture; ++i) sum += static_cast<uint8_t>(luma[n * picture + i]);
    EXPECT_EQ(picture_of_luma(c.kind, sum / static_cast<double>(picture)), c.shown[n])
        << "frame " << n;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Streams, FfmpegPlaysTheLoop, testing::Values(
    PlayCase{"Ppm525At48kFromPicture2At12Fps", "ppm", false, 48000, 2, 12, {2, 2, 4, 4, 4, 7, 7, 9, 9, 9}, 3202, 16016},
    PlayCase{"Pgm525At44k", "pgm", false, 44100, 0, 0, {0, 1, 2, 3, 4, 5, 6, 7}, 0, 11771},
    PlayCase{"Pgm525At32kFromPicture1AtMostFps", "pgm", false, 32000, 1, 2147483647, {1, 2, 3, 4, 5, 6}, 1067, 6407},
    PlayCase{"Pgm625At32kFromPicture1", "pgm", true, 32000, 1, 0, {1, 2, 3, 4, 5, 6}, 1280, 7680},
    PlayCase{"Ppm625At48kAt20Fps", "ppm", true, 48000, 0, 20, {0, 1, 2, 3, 3}, 0, 9600}),
    [](const testing::TestParamInfo<PlayCase> &info) { return info.param.name; });
// clang-format on

class FfmpegAssembly : public testing::TestWithParam<dv_system_t> {};

// ffmpeg's frames given our metadata and audio through the "wav" and "raw" filters play as its
// pictures, our samples bit for bit, and our aspect (SAR 64/45, 16/15; 32/27, 8/9 in 525/60).
TEST_P(FfmpegAssembly, FfmpegReadsOurFrames) {
  const bool pal = GetParam() == e_dv_system_625_50;
  const DvRecipe recipe{.system = GetParam(), .pix_fmt = pal ? "yuv420p" : "yuv411p", .frames = 3};
  const MadeDv &made = made_dv(recipe.pix_fmt, recipe);
  const auto &raw = *named(dv_enc_get_output_filters, "raw");
  const auto &wav = *named(dv_enc_get_audio_input_filters, "wav");
  for (int rate : {48000, 44100, 32000}) {
    const bool wide = rate == 44100;
    SCOPED_TRACE(rate);
    const std::string wav_path = counting_wav(rate, 2, rate / 25 * (recipe.frames + 1));
    auto audio = std::make_unique<dv_enc_audio_info_t>();
    ASSERT_EQ(wav.init(wav_path.c_str(), audio.get()), 0);
    const auto ours = scratch_file(".dv"), pcm = scratch_file(".s16le");
    FILE *out = std::fopen(ours.c_str(), "wb");
    ASSERT_EQ(raw.init(out), 0);
    size_t bytes = 0;
    for (auto frame : made.frames) {
      std::vector<uint8_t> copy(frame.begin(), frame.end());
      ASSERT_EQ(wav.load(audio.get(), pal), 0);
      ASSERT_EQ(raw.store(copy.data(), audio.get(), 0, pal, wide, some_time), 0);
      bytes += static_cast<size_t>(audio->bytesperframe);
    }
    raw.finish();
    wav.finish();
    std::fclose(out);
    // One run of ffmpeg: our sound to a file, both files' pictures hashed.
    const std::string hashes =
        run_ffmpeg({"-v",   "error", "-i",  ours.string(), "-i", made.path.string(), "-map", "0:a",
                    "-f",   "s16le", "-ac", "2",           "-y", pcm.string(),       "-map", "0:v",
                    "-map", "1:v",   "-f",  "framemd5",    "-"});
    expect_counted(read_file(pcm), 0, static_cast<long long>(bytes / 4));
    const char *sar = pal ? (wide ? "64/45" : "16/15") : (wide ? "32/27" : "8/9");
    EXPECT_NE(hashes.find(std::string("#sar 0: ") + sar + "\n"), std::string::npos) << hashes;
    std::string frames[2];  // each stream's frame hashes
    std::istringstream lines(hashes);
    for (std::string line; std::getline(lines, line);)
      if (line.size() > 2 && line[1] == ',' && (line[0] == '0' || line[0] == '1'))
        frames[line[0] - '0'] += line.substr(line.rfind(','));
    EXPECT_EQ(frames[0].size(), 34 * made.frames.size());  // ", " and 32 digits
    EXPECT_EQ(frames[0], frames[1]);
  }
}

INSTANTIATE_TEST_SUITE_P(Systems, FfmpegAssembly,
                         testing::Values(e_dv_system_625_50, e_dv_system_525_60));

}  // namespace
