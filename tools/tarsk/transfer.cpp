// A transfer read frame by frame, and where its recordings begin.
#include "transfer.h"

#include <cstdio>
#include <algorithm>
#include <ctime>
#include <vector>

namespace tarsk::cli {

Expected<std::unique_ptr<TransferReader>> TransferReader::open(const std::string &path) {
  auto source = open_dv_source(path);
  if (!source) return source.error();
  auto reader = std::unique_ptr<TransferReader>(new TransferReader);
  if (!reader->decoder_) return reader->decoder_.open_error();
  reader->source_ = std::move(*source);
  reader->name_ = path == "-" ? "standard input" : path;
  return reader;
}

std::optional<Expected<ScannedFrame>> TransferReader::next() {
  auto item = source_->next();
  if (!item) return std::nullopt;
  if (!*item) {
    Error e = item->error();
    if (e.code == Errc::not_dv) e.message += no_containers;
    return Expected<ScannedFrame>(std::move(e));
  }
  frame_ = std::move(**item);
  ScannedFrame scanned;
  scanned.frame = &frame_;
  auto facts = decoder_.inspect(frame_.bytes);
  if (facts) {
    scanned.readable = true;
    scanned.facts = *facts;
  } else {
    scanned.problem = frame_problem(facts.error());
  }
  return Expected<ScannedFrame>(std::move(scanned));
}

namespace {

struct BreakName {
  Break bit;
  const char *option, *text;
};
constexpr BreakName break_names[] = {
    {break_recording_start, "rec-start", "recording start"},
    {break_recording_time, "rec-time", "recording time jump"},
    {break_timecode, "timecode", "time code jump"},
    {break_settings, "settings", "settings change"},
};

bool same_settings(const FrameInfo &a, const FrameInfo &b) {
  return a.system == b.system && a.sampling == b.sampling && a.wide == b.wide;
}

bool same_sound(const FrameInfo &a, const FrameInfo &b) {
  return a.audio_rate == b.audio_rate && a.audio_bits == b.audio_bits &&
         a.audio_channels == b.audio_channels && a.audio_locked == b.audio_locked;
}

}  // namespace

std::string break_text(unsigned breaks) {
  std::string text;
  for (const BreakName &b : break_names)
    if (breaks & b.bit) text += (text.empty() ? "" : ", ") + std::string(b.text);
  return text;
}

std::optional<unsigned> parse_breaks(const std::string &text) {
  unsigned breaks = 0;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string name = text.substr(at, comma - at);
    bool known = false;
    for (const BreakName &b : break_names)
      if (name == b.option) {
        breaks |= b.bit;
        known = true;
      }
    if (name == "all") {
      breaks |= all_breaks;
      known = true;
    }
    if (!known) return std::nullopt;
    at = comma + 1;
  }
  return breaks;
}

std::optional<int64_t> timecode_count(const FrameInfo &info) {
  if (!info.has_timecode) return std::nullopt;
  const tarsk_timecode &t = info.timecode;
  const int64_t rate = info.system == TARSK_SYSTEM_625_50 ? 25 : 30;
  const int64_t minutes = t.hours * 60LL + t.minutes;
  int64_t count = (minutes * 60 + t.seconds) * rate + t.frames;
  // Drop-frame time code leaves out frame numbers 0 and 1 at the start of
  // every minute but every tenth.
  if (t.drop_frame) count -= 2 * (minutes - minutes / 10);
  return count;
}

std::optional<int64_t> recorded_seconds(const FrameInfo &info) {
  if (!info.has_recording_date) return std::nullopt;
  const tarsk_datetime &d = info.recording_date;
  std::tm tm{};
  tm.tm_year = d.year - 1900;
  tm.tm_mon = d.month - 1;
  tm.tm_mday = d.day;
  tm.tm_hour = d.hour;
  tm.tm_min = d.minute;
  tm.tm_sec = d.second;
  const std::time_t seconds = timegm(&tm);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<int64_t>(seconds);
}

std::string recorded_label(const FrameInfo &info) {
  if (!info.has_recording_date) return {};
  const tarsk_datetime &d = info.recording_date;
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day,
                d.hour, d.minute, d.second);
  return text;
}

unsigned BreakFinder::next(const FrameInfo &info, bool recording_start) {
  unsigned breaks = 0;
  const auto timecode = timecode_count(info);
  const auto recorded = recorded_seconds(info);
  if (started_) {
    if (recording_start) breaks |= break_recording_start;
    if (!same_settings(settings_, info) ||
        (have_audio_ && info.audio_rate > 0 && !same_sound(settings_, info)))
      breaks |= break_settings;
    // Frames without a time code (or a readable subcode) in between count.
    if (timecode && timecode_) {
      const int64_t day = 24LL * 3600 * (info.system == TARSK_SYSTEM_625_50 ? 25 : 30);
      const int64_t elapsed = frames_ - timecode_frame_;
      const int64_t step = ((*timecode - *timecode_) % day + day) % day;
      // A drop-frame count without its flag steps over two numbers at most
      // minutes.
      const bool unflagged_drop = info.system == TARSK_SYSTEM_525_60 && step == elapsed + 2 &&
                                  info.timecode.seconds == 0 && info.timecode.frames == 2;
      if (step != elapsed && !unflagged_drop) breaks |= break_timecode;
    }
    // The recording clock counts seconds: a frame stands in the same second
    // as the one that last had it or up to two more (one for every second
    // of frames in between).
    if (recorded && recorded_) {
      const int64_t elapsed = (frames_ - recorded_frame_) / 25;
      if (*recorded < *recorded_ || *recorded > *recorded_ + 2 + elapsed)
        breaks |= break_recording_time;
    }
  }
  started_ = true;
  const bool sound = info.audio_rate > 0;
  if (!same_settings(settings_, info) || sound) {
    const FrameInfo kept = settings_;
    settings_ = info;
    if (!sound) {  // keep the sound settings the frames before had
      settings_.audio_rate = kept.audio_rate;
      settings_.audio_bits = kept.audio_bits;
      settings_.audio_channels = kept.audio_channels;
      settings_.audio_locked = kept.audio_locked;
    }
  }
  have_audio_ = have_audio_ || sound;
  if (timecode) {
    timecode_ = timecode;
    timecode_frame_ = frames_;
  }
  if (recorded) {
    recorded_ = recorded;
    recorded_frame_ = frames_;
  }
  ++frames_;
  return breaks;
}

}  // namespace tarsk::cli
