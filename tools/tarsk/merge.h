// The heart of `tarsk merge`: several transfers of the same tape made into
// one with the least damage, worked out from what each copy's frames say
// about themselves and done on frames in memory. Reading and writing files
// is merge.cpp's; the fuzz target drives this part directly.
//
// The rule, in three steps:
//
// Alignment. Every frame gets a key that names the same frame of the tape
// in every copy:
//  - its absolute track number, when every copy carries track numbers on
//    most of its frames;
//  - else its recording date and time with its time code, when every copy
//    carries time codes on most of its frames (the recording time only when
//    every copy carries it so: a tape's time code may start again at every
//    recording, and the camera's clock tells those apart);
//  - else its position in its copy.
// A frame without the key's fields gets what its neighbour implies: the
// track number after the previous frame's tracks, the time code after the
// previous frame's with its recording time (before the first frame that
// has them, counted back from it); the first frame of a recording that
// lacks them is thus taken for one after the recording before, and stands
// alone in the output. A key that a copy carries more than once counts its
// occurrences: the second frame with a key in one copy goes with the
// second in another.
// The output holds every key of any copy once, in the first copy's order;
// the keys of the other copies (looked at in the order given) that it
// lacks go in after the last key before them in their copy that it holds.
//
// Choice. A frame's system is what the first copy that reads it says; a
// copy that holds it in another system is left out of it (the keys met by
// chance). Then the first copy (in the order given) whose frame is clean
// (every video segment reads cleanly, no audio block holds error codes, no
// DIF block was missing) gives the whole frame. Else the copy with the
// least damage (fewest damaged video segments and audio blocks, then
// fewest missing blocks, then the first) is the base, and each of its
// damaged video segments (five DIF blocks) and audio blocks comes from the
// first other copy that has it clean. What no copy has clean stays as the
// base has it.
//
// A frame whose header blocks cannot be read is only taken when no copy
// has a readable one, as it is.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

namespace tarsk::cli::merge {

// What the merge keeps of a copy's frame: little, so that the frames of
// long tapes fit in memory; their bytes are read again when written.
struct CopyFrame {
  uint64_t offset = 0;  // where its first block stood in the stream
  tarsk_system system = TARSK_SYSTEM_625_50;
  bool readable = false;  // its header blocks read
  int missing_blocks = 0;
  std::optional<int32_t> track;
  std::optional<int64_t> timecode, recorded;  // see timecode_count, recorded_seconds
  // For the log: the time code and recording time as the frame says them.
  bool has_timecode = false, has_date = false;
  tarsk_timecode timecode_fields{};
  tarsk_datetime date_fields{};
  // Per DIF sequence: bit k video segment k damaged, bit a audio block a.
  std::array<uint32_t, TARSK_MAX_SEQUENCES> damaged_segments{};
  std::array<uint16_t, TARSK_MAX_SEQUENCES> damaged_audio{};

  int sequences() const { return system == TARSK_SYSTEM_625_50 ? 12 : 10; }
  int damaged_parts() const;  // damaged segments and audio blocks; all of them when unreadable
  bool clean() const { return readable && missing_blocks == 0 && damaged_parts() == 0; }
};

// A frame as a reader gives it, with its facts when its header blocks
// could be read.
CopyFrame describe(const Frame &frame, const FrameFacts *facts);

enum class Alignment { track, time, position };
const char *alignment_text(Alignment a);  // "absolute track number", ...

constexpr uint32_t none = std::numeric_limits<uint32_t>::max();

// A part taken from another copy: video segment or audio block `number` of
// DIF sequence `sequence`.
struct Patch {
  uint16_t copy;
  uint8_t sequence, number;
  bool audio;
};

struct OutFrame {
  std::vector<uint32_t> from;  // per copy: the index of its frame, or none
  uint16_t base = 0;           // the copy that gives the frame
  bool whole = false;          // a clean frame, taken as it is
  bool other_systems = false;  // copies that hold it in another system, left out
  std::vector<Patch> patches;
  // What no copy has clean, per DIF sequence as in CopyFrame; all parts of
  // a frame no copy could read.
  std::array<uint32_t, TARSK_MAX_SEQUENCES> left_segments{};
  std::array<uint16_t, TARSK_MAX_SEQUENCES> left_audio{};
  int left_segment_count() const;
  int left_audio_count() const;
  bool damaged() const { return left_segment_count() + left_audio_count() > 0; }
};

struct Plan {
  Alignment alignment = Alignment::position;
  bool by_date = false;  // time alignment with the recording time
  std::vector<OutFrame> frames;
};

// The merge of the copies' frames (each copy in its stream's order; at most
// 65535 copies of at most 2^32 - 1 frames).
Plan plan(const std::vector<std::vector<CopyFrame>> &copies);

// Mends `out` (the bytes of the base copy's frame) with the plan's patches
// for it, taking each from `sources[copy]` (the bytes of that copy's frame;
// empty for copies it takes nothing from). False, with `out` unchanged,
// when a frame's size is not a system's or the source's is another, or a
// patch names no part of the frame.
bool mend(const OutFrame &frame, std::span<uint8_t> out,
          const std::vector<std::span<const uint8_t>> &sources);

}  // namespace tarsk::cli::merge
