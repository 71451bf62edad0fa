// Frame headers, packs and audio headers of DV files that ffmpeg makes at
// test time. Every expectation comes from what ffmpeg was asked to make:
// system, pixel format, frame rate, sample rate, time code, creation time and
// display aspect; the audio sample count comes from ffmpeg's own decoding.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/decoder.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
namespace chr = std::chrono;

struct Case {
  const char *name;
  DvRecipe recipe;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const MadeDv &made(const Case &c) { return made_dv(c.name, c.recipe); }

// One frame in a buffer of exactly its size, so that the sanitizer build
// catches a read past the end of the frame.
std::vector<uint8_t> copy(std::span<const uint8_t> frame) {
  return std::vector<uint8_t>(frame.begin(), frame.end());
}

bool pal(const DvRecipe &recipe) { return recipe.system == e_dv_system_625_50; }

// ---------------------------------------------------------------------------
// Time codes, counted independently of the decoder.

struct TimeCode {
  int hours, minutes, seconds, frame;
};

bool drop_frame(const std::string &text) { return text.find(';') != std::string::npos; }

TimeCode parse_timecode(const std::string &text) {
  TimeCode tc{};
  char sep = 0;
  if (std::sscanf(text.c_str(), "%d:%d:%d%c%d", &tc.hours, &tc.minutes, &tc.seconds, &sep,
                  &tc.frame) != 5)
    throw std::invalid_argument("time code " + text);
  return tc;
}

// The time code `elapsed` frames after `start`. Drop-frame time code (only
// at 30000/1001 frames per second) skips frame numbers 0 and 1 at the start
// of every minute except each tenth, so that it keeps up with the clock.
TimeCode advance(const TimeCode &start, int elapsed, int nominal_fps, bool drop) {
  const int minutes = 60 * start.hours + start.minutes;
  long number = static_cast<long>(60 * minutes + start.seconds) * nominal_fps + start.frame;
  if (drop) number -= 2L * (minutes - minutes / 10);
  number += elapsed;

  if (drop) {
    // Back from a frame count to labels: 17982 frames per ten minutes, 1798
    // in each minute after the first of a ten.
    const long tens = number / 17982;
    const long rest = number % 17982;
    number += 18 * tens + (rest >= 2 ? 2 * ((rest - 2) / 1798) : 0);
  }
  TimeCode tc{};
  tc.frame = static_cast<int>(number % nominal_fps);
  const long total_seconds = number / nominal_fps;
  tc.seconds = static_cast<int>(total_seconds % 60);
  tc.minutes = static_cast<int>(total_seconds / 60 % 60);
  tc.hours = static_cast<int>(total_seconds / 3600 % 24);
  return tc;
}

// ---------------------------------------------------------------------------
// Recording date and time: ffmpeg records the creation time and moves it on
// with the stream, one second per second of frames.

chr::sys_seconds parse_creation_time(const std::string &text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6)
    throw std::invalid_argument("creation time " + text);
  const chr::sys_days day =
      chr::year{y} / chr::month{static_cast<unsigned>(mo)} / chr::day{static_cast<unsigned>(d)};
  return day + chr::hours{h} + chr::minutes{mi} + chr::seconds{s};
}

struct Calendar {
  int year, month, day, hours, minutes, seconds, weekday;
};

Calendar calendar(chr::sys_seconds when) {
  const chr::sys_days day = chr::floor<chr::days>(when);
  const chr::year_month_day ymd{day};
  const chr::hh_mm_ss<chr::seconds> clock{when - day};
  return {static_cast<int>(ymd.year()),
          static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day())),
          static_cast<int>(clock.hours().count()),
          static_cast<int>(clock.minutes().count()),
          static_cast<int>(clock.seconds().count()),
          static_cast<int>(chr::weekday{day}.c_encoding())};
}

// ---------------------------------------------------------------------------

const Case cases[] = {
    {"Pal420Audio48k",
     {.system = e_dv_system_625_50,
      .pix_fmt = "yuv420p",
      .audio_rate = 48000,
      .frames = 12,
      .timecode = "01:02:03:04",
      .creation_time = "2019-05-06T07:08:09",
      .aspect = "4:3"}},
    // Wide, and a time code running over midnight.
    {"Pal420Audio44kWide",
     {.system = e_dv_system_625_50,
      .pix_fmt = "yuv420p",
      .audio_rate = 44100,
      .frames = 15,
      .timecode = "23:59:59:20",
      .creation_time = "2008-02-29T12:34:56",
      .aspect = "16:9"}},
    // 30 frames: the recording time passes into a new year and century.
    {"Pal420Audio32kNewYear",
     {.system = e_dv_system_625_50,
      .pix_fmt = "yuv420p",
      .audio_rate = 32000,
      .frames = 30,
      .timecode = "00:09:59:10",
      .creation_time = "1999-12-31T23:59:59",
      .aspect = "4:3"}},
    {"Pal411Audio48kWide",
     {.system = e_dv_system_625_50,
      .pix_fmt = "yuv411p",
      .audio_rate = 48000,
      .frames = 12,
      .timecode = "10:20:30:00",
      .creation_time = "2026-11-12T13:14:15",
      .aspect = "16:9"}},
    // A non-drop time code passing into the next hour.
    {"Ntsc411Audio48k",
     {.system = e_dv_system_525_60,
      .pix_fmt = "yuv411p",
      .audio_rate = 48000,
      .frames = 15,
      .timecode = "00:59:59:20",
      .creation_time = "2004-07-08T09:10:11",
      .aspect = "4:3"}},
    // Drop-frame time code skipping frames 0 and 1 of minute 3.
    {"Ntsc411Audio48kDropFrameWide",
     {.system = e_dv_system_525_60,
      .pix_fmt = "yuv411p",
      .audio_rate = 48000,
      .frames = 15,
      .timecode = "01:02:59;25",
      .creation_time = "2024-12-31T23:59:59",
      .aspect = "16:9"}},
};

class FfmpegFile : public testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    // dv_get_recording_datetime_tm goes through mktime, which reads local
    // time; in UTC every recorded time exists exactly once.
    setenv("TZ", "UTC", 1);
    tzset();
  }

  const DvRecipe &recipe() const { return GetParam().recipe; }
  const MadeDv &file() const { return made(GetParam()); }
};

TEST_P(FfmpegFile, HeaderGivesSystemAndGeometry) {
  const bool is_pal = pal(recipe());
  const bool is_420 = recipe().pix_fmt == "yuv420p";
  // ffmpeg writes 4:2:0 as IEC 61834 DV, 4:1:1 as SMPTE 314M DV.
  const dv_std_t std = is_420 ? e_dv_std_iec_61834 : e_dv_std_smpte_314m;

  auto dv = new_decoder();
  const auto &frames = file().frames;
  ASSERT_EQ(frames.size(), static_cast<size_t>(recipe().frames));
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const auto frame = copy(frames[i]);
    // A new decoder switches to the system of its first frame, then stays.
    const int expected_change = i == 0 ? (is_pal ? 1 : 2) : 0;
    EXPECT_EQ(dv_parse_header(dv.get(), frame.data()), expected_change);
    EXPECT_EQ(dv->system, is_pal ? e_dv_system_625_50 : e_dv_system_525_60);
    EXPECT_EQ(dv->std, std);
    EXPECT_EQ(dv->sampling, is_420 ? e_dv_sample_420 : e_dv_sample_411);
    EXPECT_EQ(dv->num_dif_seqs, is_pal ? 12 : 10);
    EXPECT_EQ(dv->width, 720);
    EXPECT_EQ(dv->height, is_pal ? 576 : 480);
    EXPECT_EQ(dv->frame_size, frame.size());
    EXPECT_EQ(dv->header.dsf, is_pal ? 1 : 0);
  }
}

TEST_P(FfmpegFile, SubcodeTimeCodeCountsFrames) {
  const TimeCode start = parse_timecode(recipe().timecode);
  const bool drop = drop_frame(recipe().timecode);
  const int nominal_fps = pal(recipe()) ? 25 : 30;

  // ffprobe reads the starting time code back as it was asked for.
  EXPECT_EQ(run_ffprobe({"-show_entries", "format_tags=timecode", "-of",
                         "default=noprint_wrappers=1:nokey=1", file().path.string()}),
            recipe().timecode + "\n");

  auto dv = new_decoder();
  const auto &frames = file().frames;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const auto frame = copy(frames[i]);
    ASSERT_GE(dv_parse_header(dv.get(), frame.data()), 0);
    dv_parse_packs(dv.get(), frame.data());

    const TimeCode want = advance(start, static_cast<int>(i), nominal_fps, drop);
    int got[4] = {-1, -1, -1, -1};
    ASSERT_EQ(dv_get_timestamp_int(dv.get(), got), 1);
    EXPECT_EQ(got[0], want.hours);
    EXPECT_EQ(got[1], want.minutes);
    EXPECT_EQ(got[2], want.seconds);
    EXPECT_EQ(got[3], want.frame);

    char want_text[16];
    std::snprintf(want_text, sizeof want_text, "%02d:%02d:%02d.%02d", want.hours, want.minutes,
                  want.seconds, want.frame);
    char text[12];
    EXPECT_EQ(dv_get_timestamp(dv.get(), text), 1);
    EXPECT_STREQ(text, want_text);
  }
}

TEST_P(FfmpegFile, SubcodeRecordingDateAndTime) {
  const chr::sys_seconds start = parse_creation_time(recipe().creation_time);
  const FrameRate rate = frame_rate(recipe().system);

  auto dv = new_decoder();
  const auto &frames = file().frames;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const auto frame = copy(frames[i]);
    ASSERT_GE(dv_parse_header(dv.get(), frame.data()), 0);
    dv_parse_packs(dv.get(), frame.data());

    // Whole seconds of stream time before this frame.
    const chr::seconds elapsed{static_cast<long>(i) * rate.den / rate.num};
    const Calendar want = calendar(start + elapsed);

    char want_text[32];
    std::snprintf(want_text, sizeof want_text, "%04d-%02d-%02d %02d:%02d:%02d", want.year,
                  want.month, want.day, want.hours, want.minutes, want.seconds);
    char text[20];
    EXPECT_EQ(dv_get_recording_datetime(dv.get(), text), 1);
    EXPECT_STREQ(text, want_text);

    struct tm tm {};
    ASSERT_EQ(dv_get_recording_datetime_tm(dv.get(), &tm), 1);
    EXPECT_EQ(tm.tm_year, want.year - 1900);
    EXPECT_EQ(tm.tm_mon, want.month - 1);
    EXPECT_EQ(tm.tm_mday, want.day);
    EXPECT_EQ(tm.tm_hour, want.hours);
    EXPECT_EQ(tm.tm_min, want.minutes);
    EXPECT_EQ(tm.tm_sec, want.seconds);
    EXPECT_EQ(tm.tm_wday, want.weekday);
  }
}

TEST_P(FfmpegFile, VauxFlagsFollowSystemAndAspect) {
  const bool wide = recipe().aspect == "16:9";
  // ffprobe confirms the display aspect ratio the file declares.
  EXPECT_EQ(run_ffprobe({"-select_streams", "v:0", "-show_entries", "stream=display_aspect_ratio",
                         "-of", "default=noprint_wrappers=1:nokey=1", file().path.string()}),
            (wide ? "16:9" : "4:3") + std::string("\n"));

  auto dv = new_decoder();
  const auto &frames = file().frames;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const auto frame = copy(frames[i]);
    ASSERT_GE(dv_parse_header(dv.get(), frame.data()), 0);
    EXPECT_EQ(dv_frame_is_color(dv.get()), 1);  // the test pattern is in colour
    EXPECT_EQ(dv_system_50_fields(dv.get()), pal(recipe()) ? 1 : 0);
    EXPECT_EQ(dv_format_normal(dv.get()), wide ? 0 : 1);
    EXPECT_EQ(dv_format_wide(dv.get()), wide ? 1 : 0);
    EXPECT_EQ(dv_frame_changed(dv.get()), 1);  // the test pattern moves
    uint8_t source[4];
    EXPECT_EQ(dv_get_vaux_pack(dv.get(), 0x60, source), 0);
  }
}

TEST_P(FfmpegFile, AudioHeaderMatchesFfmpegDecoding) {
  const bool is_pal = pal(recipe());
  const int rate = recipe().audio_rate;
  const int column = rate == 48000 ? 0 : rate == 44100 ? 1 : 2;
  // Samples a frame of each system may hold, at 48, 44.1 and 32 kHz.
  constexpr int min_samples[2][3] = {{1580, 1452, 1053}, {1896, 1742, 1264}};
  constexpr int max_samples[2][3] = {{1620, 1489, 1080}, {1944, 1786, 1296}};
  const int lo = min_samples[is_pal][column];
  const int hi = max_samples[is_pal][column];
  const FrameRate fps = frame_rate(recipe().system);

  auto dv = new_decoder();
  const auto &frames = file().frames;
  long total = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const auto frame = copy(frames[i]);
    ASSERT_GE(dv_parse_header(dv.get(), frame.data()), 0);
    const dv_audio_t *audio = dv->audio;
    EXPECT_EQ(audio->frequency, rate);
    EXPECT_EQ(audio->quantization, 16);
    EXPECT_EQ(audio->num_channels, 2);
    EXPECT_EQ(audio->max_samples, hi);
    EXPECT_GE(audio->samples_this_frame, lo);
    EXPECT_LE(audio->samples_this_frame, hi);
    total += audio->samples_this_frame;
    // Audio locked to the video clock: after n frames the count is within a
    // sample or two of n frame periods of samples.
    const double ideal = static_cast<double>(i + 1) * rate * fps.den / fps.num;
    EXPECT_NEAR(static_cast<double>(total), ideal, 2.0);
  }

  const std::vector<uint8_t> pcm = ffmpeg_audio_s16le(file().path);
  ASSERT_EQ(pcm.size() % 4, 0u);
  EXPECT_EQ(total, static_cast<long>(pcm.size() / 4)) << "samples per channel";
}

INSTANTIATE_TEST_SUITE_P(Files, FfmpegFile, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

// One decoder fed several files in turn reports each change of system once,
// at the first frame of a file whose system differs from the one before. A
// change of sampling alone is no change of system, but the sampling follows.
struct Stream {
  const char *name;
  std::vector<size_t> files;  // indices into cases
};

void PrintTo(const Stream &s, std::ostream *os) { *os << s.name; }

class FfmpegStream : public testing::TestWithParam<Stream> {};

TEST_P(FfmpegStream, DecoderFollowsSystemChanges) {
  auto dv = new_decoder();
  dv_system_t previous = e_dv_system_none;
  for (size_t index : GetParam().files) {
    const Case &c = cases[index];
    SCOPED_TRACE(c.name);
    const bool is_pal = pal(c.recipe);
    const dv_system_t system = is_pal ? e_dv_system_625_50 : e_dv_system_525_60;
    const int switch_result = system == previous ? 0 : is_pal ? 1 : 2;
    const dv_sample_t sampling = c.recipe.pix_fmt == "yuv420p" ? e_dv_sample_420 : e_dv_sample_411;
    const auto &frames = made(c).frames;
    for (size_t i = 0; i < frames.size(); ++i) {
      SCOPED_TRACE("frame " + std::to_string(i));
      const auto frame = copy(frames[i]);
      EXPECT_EQ(dv_parse_header(dv.get(), frame.data()), i == 0 ? switch_result : 0);
      EXPECT_EQ(dv->system, system);
      EXPECT_EQ(dv->sampling, sampling);
      EXPECT_EQ(dv->frame_size, frame.size());
    }
    previous = system;
  }
}

// Indices: 0 625/50 4:2:0, 3 625/50 4:1:1, 4 and 5 525/60.
const Stream streams[] = {
    {"PalNtscPal411Pal", {0, 4, 3, 0}},
    {"NtscPal411NtscNtsc", {4, 3, 5, 4}},
};

INSTANTIATE_TEST_SUITE_P(Streams, FfmpegStream, testing::ValuesIn(streams),
                         [](const testing::TestParamInfo<Stream> &info) {
                           return info.param.name;
                         });

}  // namespace
