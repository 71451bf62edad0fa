// The heart of `tarsk merge` (tools/tarsk/merge.h) on copies in memory:
// alignment, the choice of each frame's base and the parts taken from
// other copies, and the mending.
//
// Input: 27 option bytes, then a DV stream. Byte 0: bit 0 three copies
// rather than two; bit 1 derived copies; bits 2-3 the frames of the first
// derived copy, less one.
//  - Hostile copies (bit 1 clear): the stream cut in two or three at the
//    places bytes 1 and 2 name (in 256ths of its length), each part a copy
//    of its own: anything at all, frames of any system and key.
//  - Derived copies (bit 1 set): the stream's frames, repeated to the
//    length bits 2-4 give, are the first copy; the others are the same
//    frames, some dropped (bit n of byte 1, byte 2 for the third copy:
//    frame n). Then 8 hits of three bytes each damage a frame of a copy:
//    a video segment flagged by its status nibble or its codes garbled, or
//    an audio block error-coded. Where the frames aligned are one frame
//    of the stream with different damage (frames that carry the same key,
//    or none, may be aligned with another), the mended frame must read as
//    damaged exactly where the plan says no copy has it clean.
//
// Checks: every frame of every copy has one place in the output; a clean
// frame is taken whole; the parts taken over are damaged in the base and
// clean in the copy they come from, of the base's system, each once; what
// stays damaged is the rest of the base's damage; mending fails for no
// frame of its system's size, and puts in those parts and nothing else.
#include <set>
#include <tarsk/tarsk.hpp>
#include <tuple>
#include <vector>

#include "common.h"
#include "common/dif.h"
#include "container.h"
#include "merge.h"

namespace {

namespace m = tarsk::cli::merge;
namespace dif = tarsk::dif;

std::vector<tarsk::Frame> frames_of(const uint8_t *data, size_t size) {
  tarsk::FrameFeeder feeder;
  FUZZ_CHECK(static_cast<bool>(feeder));
  std::vector<tarsk::Frame> frames;
  bool dv = true;  // an error (not DV) ends the stream
  auto drain = [&] {
    while (dv)
      if (auto f = feeder.next(); !f)
        break;
      else if (!*f)
        dv = false;
      else
        frames.push_back(std::move(**f));
  };
  if (feeder.push(tarsk::Bytes(data, size))) drain();
  if (dv && feeder.finish()) drain();
  return frames;
}

void damage(tarsk::Frame &frame, int kind, int s, int part) {
  const int sequences = frame.system == TARSK_SYSTEM_625_50 ? 12 : 10;
  s %= sequences;
  uint8_t *f = frame.bytes.data();
  if (kind == 0 || kind == 3) {  // every block of a segment flagged
    for (int i = 0; i < 5; ++i)
      f[dif::segment_offset(s, part % 27) + dif::block_size * i + dif::qno_byte] |= 0x70;
  } else if (kind == 1) {  // every AC bit of the segment's blocks set: no valid code
    for (int i = 0; i < 5; ++i) {
      uint8_t *block = f + dif::segment_offset(s, part % 27) + dif::block_size * i;
      for (int b = 0; b < 6; ++b)
        std::memset(block + dif::area_bytes[b] + 2, 0xff,
                    static_cast<size_t>(dif::area_bytes[b + 1] - dif::area_bytes[b] - 2));
    }
  } else {  // every 16-bit sample of an audio block the error code
    uint8_t *samples = f + dif::audio_offset(s, part % 9) + dif::audio_data_offset;
    for (int i = 0; i < dif::audio_data_size; i += 2) {
      samples[i] = 0x80;
      samples[i + 1] = 0x00;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t option_bytes = 27;
  if (size < option_bytes) return 0;
  fuzz::Options o{data, option_bytes};
  const uint8_t mode = o.take(), first = o.take(), second = o.take();
  const size_t count = (mode & 1) ? 3 : 2;
  const bool derived = (mode & 2) != 0;
  const uint8_t *stream = data + option_bytes;
  const size_t length = size - option_bytes;

  std::vector<std::vector<tarsk::Frame>> copies(count);
  std::vector<std::vector<size_t>> origin(count);  // derived: each frame's in the stream
  if (!derived) {
    size_t cuts[3] = {length * first / 256, length * second / 256, length};
    if (count == 2) cuts[1] = length;
    if (cuts[1] < cuts[0]) std::swap(cuts[0], cuts[1]);
    size_t from = 0;
    for (size_t c = 0; c < count; ++c) {
      copies[c] = frames_of(stream + from, cuts[c] - from);
      from = cuts[c];
    }
  } else {
    const auto frames = frames_of(stream, length);
    if (frames.empty()) return 0;
    const size_t n = 1 + ((mode >> 2) & 3);
    for (size_t c = 0; c < count; ++c)
      for (size_t i = 0; i < n; ++i)
        if (c == 0 || !(((c == 1 ? first : second) >> i) & 1)) {
          copies[c].push_back(frames[i % frames.size()]);
          origin[c].push_back(i % frames.size());
        }
    for (int h = 0; h < 8; ++h) {
      const uint8_t where = o.take(), s = o.take(), part = o.take();
      auto &copy = copies[(where & 3) % count];
      if (!copy.empty()) damage(copy[(where >> 4) % copy.size()], (where >> 2) & 3, s, part);
    }
  }

  tarsk::Decoder decoder(tarsk::cli::quiet_settings());
  FUZZ_CHECK(static_cast<bool>(decoder));
  std::vector<std::vector<m::CopyFrame>> described(count);
  for (size_t c = 0; c < count; ++c)
    for (const tarsk::Frame &f : copies[c]) {
      const auto facts = decoder.inspect(f.bytes);
      described[c].push_back(m::describe(f, facts ? &*facts : nullptr));
    }
  const m::Plan plan = m::plan(described);

  std::vector<std::set<uint32_t>> placed(count);
  for (const m::OutFrame &out : plan.frames) {
    FUZZ_CHECK(out.from.size() == count);
    for (size_t c = 0; c < count; ++c)
      if (out.from[c] != m::none) {
        FUZZ_CHECK(out.from[c] < described[c].size());
        FUZZ_CHECK(placed[c].insert(out.from[c]).second);
      }
    FUZZ_CHECK(out.base < count && out.from[out.base] != m::none);
    const m::CopyFrame &base = described[out.base][out.from[out.base]];
    // The base is of the system of the first copy that reads the frame;
    // no copy of it before the base (none at all, when the base is
    // damaged) has the frame clean.
    bool other = false, readable = false;
    for (size_t c = 0; c < count; ++c) {
      if (out.from[c] == m::none) continue;
      const m::CopyFrame &f = described[c][out.from[c]];
      if (f.readable && !readable) FUZZ_CHECK(f.system == base.system);
      readable = readable || f.readable;
      other = other || f.system != base.system;
      if (f.system == base.system && (c < out.base || !out.whole)) FUZZ_CHECK(!f.clean());
    }
    FUZZ_CHECK(other == out.other_systems && readable == base.readable);
    if (out.whole) FUZZ_CHECK(base.clean() && out.patches.empty() && !out.damaged());
    // The parts taken over and the parts left make the base's damage.
    std::set<std::tuple<int, int, bool>> taken;
    std::array<uint32_t, TARSK_MAX_SEQUENCES> segments = out.left_segments;
    std::array<uint16_t, TARSK_MAX_SEQUENCES> audio = out.left_audio;
    for (const m::Patch &p : out.patches) {
      FUZZ_CHECK(p.copy < count && p.copy != out.base && out.from[p.copy] != m::none);
      const m::CopyFrame &giver = described[p.copy][out.from[p.copy]];
      FUZZ_CHECK(giver.readable && base.readable && giver.system == base.system);
      FUZZ_CHECK(p.sequence < base.sequences() && p.number < (p.audio ? 9 : 27));
      FUZZ_CHECK(taken.insert({p.sequence, p.number, p.audio}).second);
      if (p.audio) {
        FUZZ_CHECK(!(giver.damaged_audio[p.sequence] >> p.number & 1));
        audio[p.sequence] |= static_cast<uint16_t>(1u << p.number);
      } else {
        FUZZ_CHECK(!(giver.damaged_segments[p.sequence] >> p.number & 1));
        segments[p.sequence] |= 1u << p.number;
      }
    }
    if (base.readable) {
      FUZZ_CHECK(segments == base.damaged_segments && audio == base.damaged_audio);
    } else {
      FUZZ_CHECK(out.patches.empty() && out.left_segment_count() == 27 * base.sequences());
    }

    // Mending.
    std::vector<uint8_t> bytes = copies[out.base][out.from[out.base]].bytes;
    std::vector<std::span<const uint8_t>> sources(count);
    for (size_t c = 0; c < count; ++c)
      if (out.from[c] != m::none) sources[c] = copies[c][out.from[c]].bytes;
    FUZZ_CHECK(m::mend(out, bytes, sources));
    // The same parts put in by the library's own description of the layout.
    std::vector<uint8_t> expected = copies[out.base][out.from[out.base]].bytes;
    for (const m::Patch &p : out.patches) {
      const size_t at = p.audio ? dif::audio_offset(p.sequence, p.number)
                                : dif::segment_offset(p.sequence, p.number);
      const size_t n = p.audio ? dif::block_size : dif::segment_size;
      FUZZ_CHECK(at + n <= expected.size() && sources[p.copy].size() == expected.size());
      std::memcpy(expected.data() + at, sources[p.copy].data() + at, n);
    }
    FUZZ_CHECK(bytes == expected);
    if (!derived || !base.readable) continue;
    bool one_frame = true;
    for (size_t c = 0; c < count; ++c)
      if (out.from[c] != m::none && origin[c][out.from[c]] != origin[out.base][out.from[out.base]])
        one_frame = false;
    if (!one_frame) continue;
    const auto facts = decoder.inspect(bytes);
    FUZZ_CHECK(static_cast<bool>(facts));
    for (int s = 0; s < base.sequences(); ++s) {
      FUZZ_CHECK(facts->sequence[s].damaged_segments == out.left_segments[s]);
      FUZZ_CHECK(facts->sequence[s].damaged_audio == out.left_audio[s]);
    }
  }
  for (size_t c = 0; c < count; ++c) FUZZ_CHECK(placed[c].size() == described[c].size());
  return 0;
}
