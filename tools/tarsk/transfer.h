// A transfer of a tape read frame by frame, for `tarsk analyze`, `split`
// and `merge`: each frame's facts (its information, markers, track number
// and damage, read without decoding it) with where it stood in the stream,
// and the places where something new begins: a recording, a jump of the
// clocks, other settings.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tarsk/tarsk.hpp>

#include "cli.h"
#include "container.h"

namespace tarsk::cli {

// A frame as read: the reader's account of it and, when its header blocks
// could be read, its facts.
struct ScannedFrame {
  const Frame *frame = nullptr;  // valid until the next call on the reader
  bool readable = false;
  std::string problem;  // why not, when not
  FrameFacts facts{};
};

class TransferReader {
 public:
  // Opens a file (raw DV or a container) or "-"; the message of an error
  // starts with the name.
  static Expected<std::unique_ptr<TransferReader>> open(const std::string &path);
  // The next frame; an error (the stream is not DV, or could not be read);
  // nullopt at the end.
  std::optional<Expected<ScannedFrame>> next();
  const SourceInfo &info() const { return source_->info(); }
  const std::string &name() const { return name_; }

 private:
  std::unique_ptr<DvSource> source_;
  Decoder decoder_{quiet_settings()};
  std::string name_;
  Frame frame_;
};

// Why a frame starts something new, as bits.
enum Break : unsigned {
  break_recording_start = 1u << 0,  // the recorder marked the frame a recording's first
  break_recording_time = 1u << 1,   // the recording date and time jump, or run back
  break_timecode = 1u << 2,         // the time code jumps, or repeats
  break_settings = 1u << 3,         // system, sampling, aspect or sound settings change
};
inline constexpr unsigned all_breaks =
    break_recording_start | break_recording_time | break_timecode | break_settings;
// "recording start, time code jump"; "" for none.
std::string break_text(unsigned breaks);
// A list of names as a person gives them on the command line
// ("rec-start,rec-time,timecode,settings"); nothing for a name it does not know.
std::optional<unsigned> parse_breaks(const std::string &text);

// Follows the frames of a stream and says where each one breaks with the
// ones before it. Frames without a time code, a recording date or sound
// leave what the others said as it was.
class BreakFinder {
 public:
  // The reasons `facts` breaks with the frames before it (the first frame:
  // none).
  unsigned next(const FrameFacts &facts) { return next(facts.info, facts.recording_start == 1); }
  // The same for a frame known by its information and start flag alone.
  unsigned next(const FrameInfo &info, bool recording_start);
  // A frame that could not be read passes: the clocks run on over it.
  void skip() { ++frames_; }

 private:
  bool started_ = false;
  FrameInfo settings_{};
  bool have_audio_ = false;
  int64_t frames_ = 0;  // frames seen, and where the clocks were last read
  std::optional<int64_t> timecode_, recorded_;
  int64_t timecode_frame_ = 0, recorded_frame_ = 0;
};

// The first and last of a value over frames (a time code, a recording
// date and time); empty when no frame had it.
struct FirstLast {
  std::string first, last;
  void add(const std::string &value) {
    if (value.empty()) return;
    if (first.empty()) first = value;
    last = value;
  }
  // FIRST, or FIRST then `between` then LAST; `none` when no frame had it.
  std::string text(const char *between, const char *none) const {
    if (first.empty()) return none;
    return first == last ? first : first + between + last;
  }
};

// A frame's time code as a count of frames since midnight (drop-frame
// counting leaves out the numbers it drops), and its recording date and
// time in seconds (the camera's clock, taken without a time zone).
std::optional<int64_t> timecode_count(const FrameInfo &info);
std::optional<int64_t> recorded_seconds(const FrameInfo &info);
// "YYYY-MM-DD HH:MM:SS", or empty.
std::string recorded_label(const FrameInfo &info);

}  // namespace tarsk::cli
