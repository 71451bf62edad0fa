// The merge worked out on frames in memory: alignment, choice, mending.
#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "merge.h"
#include "transfer.h"

namespace tarsk::cli::merge {

namespace {

constexpr uint32_t all_segments = (1u << TARSK_SEGMENTS_PER_SEQUENCE) - 1;
constexpr uint16_t all_audio = (1u << TARSK_AUDIO_BLOCKS_PER_SEQUENCE) - 1;

// A frame's key: what names it in every copy (see merge.h), and which of a
// copy's frames with that name it is.
struct Key {
  int64_t major = 0, minor = 0;
  uint32_t occurrence = 0;
  bool operator==(const Key &) const = default;
};
struct KeyHash {
  size_t operator()(const Key &k) const {
    uint64_t h = static_cast<uint64_t>(k.major) * 0x9e3779b97f4a7c15ULL;
    h ^= static_cast<uint64_t>(k.minor) + 0x632be59bd9b4e019ULL + (h << 6) + (h >> 2);
    h ^= k.occurrence + 0x85ebca6bULL + (h << 6) + (h >> 2);
    return static_cast<size_t>(h);
  }
};

// Whether most frames of every copy (empty copies aside) have a field.
template <typename Has>
bool most_have(const std::vector<std::vector<CopyFrame>> &copies, Has has) {
  bool any = false;
  for (const auto &copy : copies) {
    if (copy.empty()) continue;
    const auto with = std::count_if(copy.begin(), copy.end(), has);
    if (2 * static_cast<size_t>(with) <= copy.size()) return false;
    any = true;
  }
  return any;
}

// A field of every frame of a copy: its own, or what its neighbours imply.
// `step(f)` is how far the field runs on from frame f to the next; the
// frames before the first that has it count back from it.
template <typename Get, typename Step>
std::vector<int64_t> filled(const std::vector<CopyFrame> &copy, Get get, Step step) {
  std::vector<int64_t> values(copy.size(), 0);
  size_t first = copy.size();
  for (size_t i = 0; i < copy.size(); ++i) {
    if (const std::optional<int64_t> v = get(copy[i])) {
      values[i] = *v;
      if (first == copy.size()) first = i;
    } else if (first < i) {
      values[i] = values[i - 1] + step(copy[i - 1]);
    }
  }
  for (size_t i = first; i-- > 0;) values[i] = values[i + 1] - step(copy[i]);
  return values;
}

std::vector<Key> keys_of(const std::vector<CopyFrame> &copy, const Plan &p) {
  std::vector<int64_t> major(copy.size(), 0), minor(copy.size(), 0);
  switch (p.alignment) {
    case Alignment::track:
      major = filled(
          copy, [](const CopyFrame &f) -> std::optional<int64_t> { return f.track; },
          [](const CopyFrame &f) { return f.sequences(); });
      break;
    case Alignment::time:
      if (p.by_date)
        major = filled(
            copy, [](const CopyFrame &f) { return f.recorded; },
            [](const CopyFrame &) { return 0; });
      minor = filled(
          copy, [](const CopyFrame &f) { return f.timecode; }, [](const CopyFrame &) { return 1; });
      break;
    case Alignment::position:
      for (size_t i = 0; i < copy.size(); ++i) major[i] = static_cast<int64_t>(i);
      break;
  }
  std::vector<Key> keys(copy.size());
  std::unordered_map<Key, uint32_t, KeyHash> seen;
  for (size_t i = 0; i < copy.size(); ++i) {
    keys[i] = {major[i], minor[i], 0};
    keys[i].occurrence = seen[keys[i]]++;
  }
  return keys;
}

// The output's keys: the first copy's, then each other copy's new ones
// after the key that copy holds just before them.
std::vector<Key> output_order(const std::vector<std::vector<Key>> &keys) {
  std::vector<Key> order;
  std::unordered_map<Key, size_t, KeyHash> at;
  for (size_t c = 0; c < keys.size(); ++c) {
    // (place in the current order, key): inserted before what stands there.
    std::vector<std::pair<size_t, Key>> inserts;
    size_t place = 0;
    for (const Key &k : keys[c]) {
      if (const auto found = at.find(k); found != at.end())
        place = found->second + 1;
      else
        inserts.emplace_back(place, k);
    }
    if (inserts.empty()) continue;
    std::stable_sort(inserts.begin(), inserts.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<Key> merged;
    merged.reserve(order.size() + inserts.size());
    size_t next = 0;
    for (size_t i = 0; i <= order.size(); ++i) {
      for (; next < inserts.size() && inserts[next].first == i; ++next)
        merged.push_back(inserts[next].second);
      if (i < order.size()) merged.push_back(order[i]);
    }
    order = std::move(merged);
    at.clear();
    for (size_t i = 0; i < order.size(); ++i) at.emplace(order[i], i);
  }
  return order;
}

// The base and the parts taken from others for one output frame.
void choose(const std::vector<std::vector<CopyFrame>> &copies, OutFrame &out) {
  const auto frame = [&](size_t c) -> const CopyFrame & { return copies[c][out.from[c]]; };
  // The frame's system: the first copy's that reads it (the first copy's
  // that holds it, when none does). Copies that hold it in another system
  // are left out of it.
  std::optional<tarsk_system> system;
  for (size_t c = 0; c < copies.size(); ++c)
    if (out.from[c] != none && (!system || frame(c).readable)) {
      system = frame(c).system;
      if (frame(c).readable) break;
    }
  std::optional<size_t> base;
  for (size_t c = 0; c < copies.size(); ++c) {
    if (out.from[c] == none) continue;
    if (frame(c).system != *system) {
      out.other_systems = true;
      continue;
    }
    if (frame(c).clean()) {
      base = c;
      out.whole = true;
      break;
    }
    const auto rank = [&](size_t i) {
      const CopyFrame &f = frame(i);
      return std::make_tuple(!f.readable, f.damaged_parts(), f.missing_blocks);
    };
    if (!base || rank(c) < rank(*base)) base = c;
  }
  out.base = static_cast<uint16_t>(*base);
  const CopyFrame &b = frame(*base);
  if (out.whole) return;
  if (!b.readable) {
    for (int s = 0; s < b.sequences(); ++s) {
      out.left_segments[static_cast<size_t>(s)] = all_segments;
      out.left_audio[static_cast<size_t>(s)] = all_audio;
    }
    return;
  }
  // The first other copy of the base's system that has the part clean.
  const auto giver = [&](auto clean_there) -> std::optional<size_t> {
    for (size_t c = 0; c < copies.size(); ++c)
      if (c != *base && out.from[c] != none && frame(c).readable && frame(c).system == b.system &&
          clean_there(frame(c)))
        return c;
    return std::nullopt;
  };
  for (int s = 0; s < b.sequences(); ++s) {
    const size_t si = static_cast<size_t>(s);
    for (int k = 0; k < TARSK_SEGMENTS_PER_SEQUENCE; ++k) {
      const uint32_t bit = 1u << k;
      if (!(b.damaged_segments[si] & bit)) continue;
      if (const auto c = giver([&](const CopyFrame &f) { return !(f.damaged_segments[si] & bit); }))
        out.patches.push_back(
            {static_cast<uint16_t>(*c), static_cast<uint8_t>(s), static_cast<uint8_t>(k), false});
      else
        out.left_segments[si] |= bit;
    }
    for (int a = 0; a < TARSK_AUDIO_BLOCKS_PER_SEQUENCE; ++a) {
      const auto bit = static_cast<uint16_t>(1u << a);
      if (!(b.damaged_audio[si] & bit)) continue;
      if (const auto c = giver([&](const CopyFrame &f) { return !(f.damaged_audio[si] & bit); }))
        out.patches.push_back(
            {static_cast<uint16_t>(*c), static_cast<uint8_t>(s), static_cast<uint8_t>(a), true});
      else
        out.left_audio[si] |= bit;
    }
  }
}

}  // namespace

int CopyFrame::damaged_parts() const {
  if (!readable)
    return sequences() * (TARSK_SEGMENTS_PER_SEQUENCE + TARSK_AUDIO_BLOCKS_PER_SEQUENCE);
  int parts = 0;
  for (int s = 0; s < sequences(); ++s)
    parts += std::popcount(damaged_segments[static_cast<size_t>(s)]) +
             std::popcount(damaged_audio[static_cast<size_t>(s)]);
  return parts;
}

int OutFrame::left_segment_count() const {
  int n = 0;
  for (uint32_t m : left_segments) n += std::popcount(m);
  return n;
}

int OutFrame::left_audio_count() const {
  int n = 0;
  for (uint16_t m : left_audio) n += std::popcount(m);
  return n;
}

CopyFrame describe(const Frame &frame, const FrameFacts *facts) {
  CopyFrame f;
  f.offset = frame.offset;
  f.system = frame.system;
  f.missing_blocks = frame.missing_blocks;
  if (facts == nullptr || facts->info.system != frame.system) return f;
  f.readable = true;
  if (facts->has_absolute_track) f.track = facts->absolute_track;
  f.timecode = timecode_count(facts->info);
  f.recorded = recorded_seconds(facts->info);
  f.has_timecode = facts->info.has_timecode != 0;
  f.timecode_fields = facts->info.timecode;
  f.has_date = facts->info.has_recording_date != 0;
  f.date_fields = facts->info.recording_date;
  for (int s = 0; s < f.sequences(); ++s) {
    const auto si = static_cast<size_t>(s);
    f.damaged_segments[si] = facts->sequence[si].damaged_segments & all_segments;
    f.damaged_audio[si] = static_cast<uint16_t>(facts->sequence[si].damaged_audio & all_audio);
  }
  return f;
}

const char *alignment_text(Alignment a) {
  switch (a) {
    case Alignment::track:
      return "absolute track number";
    case Alignment::time:
      return "time code";
    case Alignment::position:
      break;
  }
  return "position";
}

Plan plan(const std::vector<std::vector<CopyFrame>> &copies) {
  Plan p;
  if (most_have(copies, [](const CopyFrame &f) { return f.track.has_value(); })) {
    p.alignment = Alignment::track;
  } else if (most_have(copies, [](const CopyFrame &f) { return f.timecode.has_value(); })) {
    p.alignment = Alignment::time;
    p.by_date = most_have(copies, [](const CopyFrame &f) { return f.recorded.has_value(); });
  }
  std::vector<std::vector<Key>> keys;
  keys.reserve(copies.size());
  for (const auto &copy : copies) keys.push_back(keys_of(copy, p));
  const std::vector<Key> order = output_order(keys);
  std::unordered_map<Key, size_t, KeyHash> at;
  at.reserve(order.size());
  for (size_t i = 0; i < order.size(); ++i) at.emplace(order[i], i);
  p.frames.resize(order.size());
  for (OutFrame &f : p.frames) f.from.assign(copies.size(), none);
  for (size_t c = 0; c < copies.size(); ++c)
    for (size_t i = 0; i < keys[c].size(); ++i)
      p.frames[at.at(keys[c][i])].from[c] = static_cast<uint32_t>(i);
  for (OutFrame &f : p.frames) choose(copies, f);
  return p;
}

namespace {

// Where a patch's part stands in a frame, and its size.
ptrdiff_t at_of(const Patch &p) {
  return p.audio ? tarsk_audio_block_offset(p.sequence, p.number)
                 : tarsk_segment_offset(p.sequence, p.number);
}
size_t bytes_of(const Patch &p) { return p.audio ? TARSK_DIF_BLOCK_BYTES : TARSK_SEGMENT_BYTES; }

}  // namespace

bool mend(const OutFrame &frame, std::span<uint8_t> out,
          const std::vector<std::span<const uint8_t>> &sources) {
  if (out.size() != TARSK_FRAME_BYTES_625_50 && out.size() != TARSK_FRAME_BYTES_525_60)
    return false;
  for (const Patch &p : frame.patches)
    if (p.copy >= sources.size() || sources[p.copy].size() != out.size() ||
        at_of(p) < 0 || static_cast<size_t>(at_of(p)) + bytes_of(p) > out.size())
      return false;
  for (const Patch &p : frame.patches)
    std::memcpy(out.data() + at_of(p), sources[p.copy].data() + at_of(p), bytes_of(p));
  return true;
}

}  // namespace tarsk::cli::merge
