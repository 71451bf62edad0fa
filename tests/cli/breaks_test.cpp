// Where a transfer breaks: the finder of recording starts, clock jumps and
// settings changes, on frames described field by field.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "transfer.h"

namespace {

using namespace tarsk::cli;

struct Shot {
  const char *timecode = nullptr;  // "HH:MM:SS:FF", ';' before the frames for drop-frame
  std::optional<int> recorded = std::nullopt;  // seconds after 2024-01-01 00:00:00
  bool start = false, wide = false, ntsc = false;
  int audio_rate = 48000;          // 0: no readable sound
  unsigned want = 0;
};

tarsk::FrameFacts facts_of(const Shot &s) {
  tarsk::FrameFacts f{};
  f.info.system = s.ntsc ? TARSK_SYSTEM_525_60 : TARSK_SYSTEM_625_50;
  f.info.sampling = s.ntsc ? TARSK_SAMPLING_411 : TARSK_SAMPLING_420;
  f.info.wide = s.wide;
  f.recording_start = s.start;
  if (s.timecode) {
    tarsk_timecode &t = f.info.timecode;
    char before = ':';
    std::sscanf(s.timecode, "%d:%d:%d%c%d", &t.hours, &t.minutes, &t.seconds, &before, &t.frames);
    t.drop_frame = before == ';';
    f.info.has_timecode = 1;
  }
  if (s.recorded) {
    f.info.has_recording_date = 1;
    f.info.recording_date = {2024, 1, 1 + *s.recorded / 86400, *s.recorded / 3600 % 24,
                             *s.recorded / 60 % 60, *s.recorded % 60};
  }
  if (s.audio_rate) {
    f.info.audio_rate = s.audio_rate;
    f.info.audio_bits = 16;
    f.info.audio_channels = 2;
  }
  return f;
}

struct Case {
  const char *name;
  std::vector<Shot> shots;
};

TEST(Breaks, FoundWhereTheStreamBreaksAndNowhereElse) {
  const Case cases[] = {
      {"clocks run on", {{.timecode = "10:00:00:24", .recorded = 0}, {.timecode = "10:00:01:00", .recorded = 0}, {.timecode = "10:00:01:01", .recorded = 1}}},
      {"time code repeats", {{.timecode = "00:00:00:05"}, {.timecode = "00:00:00:05", .want = break_timecode}}},
      {"time code jumps", {{.timecode = "00:00:00:05"}, {.timecode = "00:00:00:09", .want = break_timecode}}},
      {"time code runs over midnight", {{.timecode = "23:59:59:24"}, {.timecode = "00:00:00:00"}}},
      {"frames without clocks leave them as they were",
       {{.timecode = "00:00:00:05", .recorded = 10}, {}, {.timecode = "00:00:00:07", .recorded = 11}, {.timecode = "00:00:00:08"}, {.timecode = "00:00:00:09", .recorded = 50, .want = break_recording_time}}},
      {"recording clock runs back", {{.recorded = 100}, {.recorded = 99, .want = break_recording_time}}},
      {"recording clock steps two seconds, then jumps",
       {{.recorded = 100}, {.recorded = 102}, {.recorded = 200, .want = break_recording_time}}},
      {"start flag, not on the first frame",
       {{.start = true}, {.start = true, .want = break_recording_start}}},
      {"aspect and sound rate change; a frame without sound changes nothing",
       {{},
        {.wide = true, .want = break_settings},
        {.wide = true, .audio_rate = 0},
        {.wide = true},
        {.wide = true, .audio_rate = 32000, .want = break_settings}}},
      {"system changes", {{}, {.ntsc = true, .want = break_settings}}},
      {"drop-frame time code over minutes, the tenth keeping its numbers",
       {{.timecode = "00:00:59;29", .ntsc = true}, {.timecode = "00:01:00;02", .ntsc = true},
        {.timecode = "00:09:59;29", .ntsc = true, .want = break_timecode},
        {.timecode = "00:10:00;00", .ntsc = true}, {.timecode = "00:10:00;02", .ntsc = true, .want = break_timecode}}},
      {"drop-frame counting without its flag",
       {{.timecode = "00:00:59:29", .ntsc = true}, {.timecode = "00:01:00:02", .ntsc = true}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    BreakFinder finder;
    for (size_t n = 0; n < c.shots.size(); ++n)
      EXPECT_EQ(finder.next(facts_of(c.shots[n])), c.shots[n].want) << "frame " << n;
  }
}

TEST(Breaks, NamesOnTheCommandLine) {
  EXPECT_EQ(parse_breaks("rec-start,settings"), break_recording_start | break_settings);
  EXPECT_EQ(parse_breaks("all"), all_breaks);
  EXPECT_EQ(parse_breaks("timecode,rec-time"), break_timecode | break_recording_time);
  for (const char *bad : {"", "rec-start,", "tc", "settings,,timecode"})
    EXPECT_EQ(parse_breaks(bad), std::nullopt) << bad;
  EXPECT_EQ(break_text(break_recording_start | break_timecode), "recording start, time code jump");
}

}  // namespace
