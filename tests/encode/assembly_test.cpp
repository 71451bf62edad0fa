// Frame assembly: header, subcode and VAUX blocks and the inserted audio
// read back by the decoder, the "wav" filter's refusals, and frames made of
// ffmpeg's video, our metadata and our audio played by ffmpeg.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/dif.h"
#include "support/decoder.h"
#include "support/ffmpeg.h"
#include "support/wav.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;
using Frame = std::vector<uint8_t>;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

Frame random_frame(bool pal, unsigned seed) {
  Frame f(dif::frame_size(pal));
  std::mt19937 rng(seed);
  for (auto &b : f) b = static_cast<uint8_t>(rng());
  return f;
}

// 14 November 2023, within the two-digit years the decoder maps to 20xx.
constexpr time_t some_time = 1700000000;

// Time code, recording date and time, system and aspect as the decoder
// reads them (the clock runs on a second at the first frame of a second),
// and every block's identifier as the layout has it: header, two subcode,
// three VAUX, then nine times an audio block and 15 video blocks.
TEST(Meta, DecoderReadsWhatWasWritten) {
  const struct {
    bool pal, wide;
    int frame;
  } cases[] = {{false, false, 0}, {false, true, 31}, {true, false, 50}, {true, true, 13}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "pal " << c.pal << " frame " << c.frame);
    const int fps = c.pal ? 25 : 30;
    Frame f = random_frame(c.pal, 1);
    time_t now = some_time;
    _dv_write_meta_data(f.data(), c.frame, c.pal, c.wide, &now);
    const time_t expected = some_time + (c.frame % fps == 0 ? 1 : 0);
    EXPECT_EQ(now, expected);

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
    // The same date and time in the VAUX packs as in the subcode.
    for (uint8_t id : {0x62, 0x63}) {
      uint8_t vaux[4];
      ASSERT_EQ(dv_get_vaux_pack(dv.get(), id, vaux), 0);
      EXPECT_EQ(0, std::memcmp(vaux, dv->ssyb_data[dv->ssyb_pack[id]], 4));
    }
    for (int ds = 0; ds < dif::sequences(c.pal); ++ds)
      for (int b = 0; b < dif::blocks_per_sequence; ++b) {
        const uint8_t *out = &f[dif::block_offset(ds, b)];
        const int group = (b - 6) / 16, within = (b - 6) % 16;
        const int section = b == 0 ? 0 : b < 3 ? 1 : b < 6 ? 2 : within == 0 ? 3 : 4;
        const int number = b == 0  ? 0
                           : b < 3 ? b - 1
                           : b < 6 ? b - 3
                                   : (section == 3 ? group : group * 15 + within - 1);
        bitstream_t bs{};
        _dv_bitstream_new_buffer(&bs, const_cast<uint8_t *>(out), 8);
        dv_id_t id;
        dv_parse_id(&bs, &id);
        ASSERT_EQ(id.sct, section) << "ds " << ds << " block " << b;
        ASSERT_EQ(id.dsn, ds) << "block " << b;
        ASSERT_EQ(static_cast<uint8_t>(id.dbn), number) << "ds " << ds << " block " << b;
      }
  }
}

// A stereo record whose whole data area holds random samples (big-endian),
// with -32768 (DV's lost-sample code, carried as -32767) and 32767 among them.
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
    a->data[4 * p] = 0x80, a->data[4 * p + 1] = 0x00;
    a->data[4 * p + 2] = 0x7f, a->data[4 * p + 3] = 0xff;
  }
  return a;
}

Frame assembled_frame(bool pal) {
  Frame f(dif::frame_size(pal), 0x11);
  time_t now = some_time;
  _dv_write_meta_data(f.data(), 0, pal, 0, &now);
  return f;
}

// Inserted audio comes back out of the decoder sample for sample, at every
// rate and the fewest and most samples a frame carries.
TEST(Insert, DecoderGivesTheSamplesBack) {
  const struct {
    bool pal;
    int rate, samples;
  } cases[] = {{false, 48000, 1600}, {false, 48000, 1620}, {false, 44100, 1471},
               {false, 32000, 1053}, {false, 32000, 1080}, {true, 48000, 1896},
               {true, 48000, 1944},  {true, 44100, 1764},  {true, 32000, 1264},
               {true, 32000, 1296}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "pal " << c.pal << " " << c.rate << " Hz " << c.samples);
    Frame f = assembled_frame(c.pal);
    auto audio = random_audio(c.rate, c.samples, static_cast<unsigned>(c.rate + c.samples));
    ASSERT_EQ(_dv_raw_insert_audio(f.data(), audio.get(), c.pal), 0);
    auto dv = new_decoder();
    ASSERT_GE(dv_parse_header(dv.get(), f.data()), 0);
    EXPECT_EQ(dv->audio->frequency, c.rate);
    EXPECT_EQ(dv->audio->quantization, 16);
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

// Audio that cannot be inserted is refused before anything is written.
TEST(Insert, RefusesAndLeavesTheFrameAsItWas) {
  const struct {
    int rate, channels, alignment, samples;
    const char *message;
  } cases[] = {
      {22050, 2, 4, 1920, "Impossible frequency??\n"},
      {32000, 4, 8, 1280, "Unsupported bits: 12\n FIXME!\n"},
      {48000, 1, 4, 1920, "Audio of 1 channels cannot be inserted: 2 are needed\n"},
      {48000, 2, 9, 1920, "Audio sample frames of 9 bytes do not fit the audio data\n"},
      {48000, 2, 4, 1895, "Audio frame of 1895 samples: a frame at 48000 Hz holds 1896 to 1944\n"},
      {44100, 2, 4, 1787, "Audio frame of 1787 samples: a frame at 44100 Hz holds 1742 to 1786\n"},
  };
  for (const auto &c : cases) {
    const Frame before = assembled_frame(true);
    Frame f = before;
    auto audio = random_audio(c.rate, c.samples, 2);
    audio->channels = c.channels;
    audio->bytealignment = c.alignment;
    audio->bytesperframe = c.samples * c.alignment;
    CaptureStderr();
    EXPECT_EQ(_dv_raw_insert_audio(f.data(), audio.get(), 1), -1);
    EXPECT_EQ(GetCapturedStderr(), c.message);
    EXPECT_EQ(f, before) << c.message;
  }
}

dv_enc_audio_input_filter_t wav_filter() {
  dv_enc_audio_input_filter_t *filters;
  int count;
  dv_enc_get_audio_input_filters(&filters, &count);
  EXPECT_STREQ(filters[0].filter_name, "wav");
  return filters[0];
}

WavHeader with(void (*change)(WavHeader &)) {
  WavHeader h;
  change(h);
  return h;
}

// The headers the "wav" filter takes, and the messages it refuses others
// with; a refused file leaves no stream open for load to read.
TEST(WavHeader, AcceptsAndRefuses) {
  constexpr size_t whole = std::string::npos;
  const struct {
    WavHeader header;
    size_t cut;           // bytes of the file kept
    const char *message;  // empty: accepted
  } cases[] = {
      {{}, whole, ""},
      {with([](WavHeader &h) { h.fmt_size = 18; }), whole, ""},
      {with([](WavHeader &h) { h.rate = 32000, h.channels = 4; }), whole, ""},
      {with([](WavHeader &h) { h.byte_rate = 0; }), whole, ""},  // redundant, not used
      {with([](WavHeader &h) { h.bits = 8, h.alignment = 4; }), whole,
       "WAV: Unsupported bitspersample: 8 Only 16 bits are supported right now. (FIXME: just look "
       "in audio and copy the code if you really need this!)\n"},
      {with([](WavHeader &h) { h.list_chunk = true; }), whole, "WAV: No data header!\n"},
      {with([](WavHeader &h) { h.rate = 44100, h.channels = 1; }), whole,
       "WAV: Unsupported channel count (1) for frequency 44100!\n"},
      {with([](WavHeader &h) { h.rate = 32000, h.channels = 3; }), whole,
       "WAV: Unsupported channel count (3) for frequency 32000!\n"},
      {with([](WavHeader &h) { h.rate = 22050; }), whole, "WAV: Unsupported frequency: 22050\n"},
      {with([](WavHeader &h) { h.fmt_size = 8; }), whole,
       "WAV: fmt chunk of 8 bytes is too short: 16 are needed!\n"},
      {with([](WavHeader &h) { h.fmt_size = 1025; }), whole, "WAV: Header too large!\n"},
      {with([](WavHeader &h) { h.riff = "RIFX"; }), whole, "WAV: No RIFF header!\n"},
      {{}, 30, "WAV: Short read!\n"},
      {with([](WavHeader &h) { h.fmt_size = 100; }), 60, "WAV: Short read!\n"},
      {with([](WavHeader &h) { h.alignment = 6; }), whole,
       "WAV: Block alignment 6 does not fit 2 channels of 16 bits!\n"},
  };
  const auto wav = wav_filter();
  for (const auto &c : cases) {
    const auto path = scratch_file(".wav");
    write_file(path, wav_bytes(c.header, std::string(400, '\1'), c.cut));
    dv_enc_audio_info_t info{};
    CaptureStderr();
    const int result = wav.init(path.c_str(), &info);
    EXPECT_EQ(GetCapturedStderr(), c.message);
    EXPECT_EQ(result, *c.message ? -1 : 0) << c.message;
    if (result == 0) {
      EXPECT_EQ(info.channels * 1000000 + info.frequency,
                c.header.channels * 1000000 + c.header.rate);
    } else {
      CaptureStderr();
      EXPECT_EQ(wav.load(&info, 1), -1);
      EXPECT_EQ(GetCapturedStderr(), "WAV: No file open!\n");
    }
    wav.finish();
  }
  dv_enc_audio_info_t info{};
  CaptureStderr();
  EXPECT_EQ(wav.init("/nonexistent/a.wav", &info), -1);
  EXPECT_EQ(GetCapturedStderr(), "Can't open WAV file: /nonexistent/a.wav\n");
}

class FfmpegAssembly : public testing::TestWithParam<dv_system_t> {};

// ffmpeg's pictures given our metadata and, through the "wav" input filter
// and the "raw" output filter, our audio at every rate, played by ffmpeg:
// the same pictures as from its own file, our WAV's samples bit for bit
// (-32768 as -32767), and our aspect ratio (as sample aspect: 64/45 and
// 16/15 in 625/50, 32/27 and 8/9 in 525/60).
TEST_P(FfmpegAssembly, FfmpegReadsOurFrames) {
  const bool pal = GetParam() == e_dv_system_625_50;
  DvRecipe recipe;
  recipe.system = GetParam();
  recipe.pix_fmt = pal ? "yuv420p" : "yuv411p";
  recipe.frames = 3;
  const MadeDv &made = made_dv(recipe.pix_fmt, recipe);
  dv_enc_output_filter_t *outputs;
  int count;
  dv_enc_get_output_filters(&outputs, &count);
  const dv_enc_output_filter_t raw = outputs[0];
  const auto wav = wav_filter();
  for (int rate : {48000, 44100, 32000}) {
    const bool wide = rate == 44100;
    SCOPED_TRACE(rate);
    // A ramp on the left, noise on the right, with some -32768.
    std::mt19937 rng(static_cast<unsigned>(rate));
    std::vector<int16_t> s;
    for (int i = 0; i < rate / 25 * (recipe.frames + 1); ++i)
      s.insert(s.end(), {static_cast<int16_t>(i * 37 % 60000 - 30000),
                         static_cast<int16_t>(static_cast<int>(rng() % 65536) - 32768)});
    for (size_t at : {0u, 3u, 1001u, 2500u}) s[at] = -32768;
    const auto wav_path = scratch_file(".wav");
    WavHeader header;
    header.rate = rate;
    write_file(wav_path, wav_bytes(header, s16le(s)));
    for (int16_t &v : s) v = v == -32768 ? -32767 : v;

    auto audio = std::make_unique<dv_enc_audio_info_t>();
    ASSERT_EQ(wav.init(wav_path.c_str(), audio.get()), 0);
    const auto ours = scratch_file(".dv"), pcm = scratch_file(".s16le");
    FILE *out = std::fopen(ours.c_str(), "wb");
    ASSERT_EQ(raw.init(out), 0);
    size_t bytes = 0;
    for (auto frame : made.frames) {
      Frame copy(frame.begin(), frame.end());
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
    const std::vector<uint8_t> decoded = read_file(pcm);
    ASSERT_EQ(decoded.size(), bytes);
    EXPECT_EQ(0, std::memcmp(decoded.data(), s16le(s).data(), bytes));
    const char *sar = pal ? (wide ? "64/45" : "16/15") : (wide ? "32/27" : "8/9");
    EXPECT_NE(hashes.find(std::string("#sar 0: ") + sar + "\n"), std::string::npos) << hashes;
    std::vector<std::string> frames[2];  // each stream's frame hashes
    std::istringstream lines(hashes);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("0,", 0) == 0 || line.rfind("1,", 0) == 0)
        frames[line[0] - '0'].push_back(line.substr(line.rfind(',') + 1));
    EXPECT_EQ(frames[0].size(), made.frames.size());
    EXPECT_EQ(frames[0], frames[1]);
  }
}

INSTANTIATE_TEST_SUITE_P(Systems, FfmpegAssembly,
                         testing::Values(e_dv_system_625_50, e_dv_system_525_60));

}  // namespace
