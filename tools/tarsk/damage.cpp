// Damage found in a stream, counted and told.
#include "damage.h"

namespace tarsk::cli {

namespace {

std::string plural(uint64_t n, const char *what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

constexpr size_t places_kept = 5;

}  // namespace

std::string DamageTally::add_read(const Frame &frame) {
  std::string said;
  if (frame.skipped_bytes > 0) {
    skipped_bytes += frame.skipped_bytes;
    if (skipped_at.size() < places_kept) skipped_at.push_back(frame.offset);
    said = plural(frame.skipped_bytes, "byte") + " skipped to regain sync (the frame starts at byte " +
           std::to_string(frame.offset) + ")";
  }
  if (frame.missing_blocks > 0) {
    ++partial_frames;
    missing_blocks += static_cast<uint64_t>(frame.missing_blocks);
    said += (said.empty() ? "" : "; ") + plural(static_cast<uint64_t>(frame.missing_blocks),
                                                "DIF block") +
            " missing" + (frame.cut_short ? " (the stream ends inside it)" : "");
  }
  cut_short = cut_short || frame.cut_short;
  return said;
}

std::string DamageTally::add_picture(const PictureDamage &damage) {
  if (damage.damaged_macroblocks == 0) return {};
  ++damaged_frames;
  damaged_macroblocks += static_cast<uint64_t>(damage.damaged_macroblocks);
  return plural(static_cast<uint64_t>(damage.damaged_macroblocks), "damaged macroblock") +
         (damage.concealed_macroblocks > 0 ? " concealed" : " decoded as they are");
}

bool DamageTally::any() const {
  return skipped_bytes || partial_frames || cut_short || damaged_macroblocks || flagged_video_blocks ||
         failed_audio_blocks || frames_without_audio || unreadable_frames || other_system_frames;
}

std::string DamageTally::text() const {
  std::vector<std::string> parts;
  if (skipped_bytes) {
    std::string at;
    for (const uint64_t offset : skipped_at) at += (at.empty() ? "" : ", ") + std::to_string(offset);
    parts.push_back(plural(skipped_bytes, "byte") + " skipped to find frames (before byte" +
                    (skipped_at.size() > 1 ? "s " : " ") + at +
                    (skipped_at.size() == places_kept ? ", ..." : "") + ")");
  }
  if (partial_frames)
    parts.push_back(plural(partial_frames, "frame") + " with " +
                    plural(missing_blocks, "missing DIF block"));
  if (flagged_video_blocks)
    parts.push_back(plural(flagged_video_blocks, "video block") + " flagged by the recorder");
  if (damaged_macroblocks)
    parts.push_back(plural(damaged_frames, "frame") + " with " +
                    plural(damaged_macroblocks, "damaged macroblock") +
                    (concealed ? " concealed" : ""));
  if (unreadable_frames) parts.push_back(plural(unreadable_frames, "unreadable frame"));
  if (other_system_frames)
    parts.push_back(plural(other_system_frames, "frame") + " of another system shown as the " +
                    "previous picture");
  if (failed_audio_blocks) parts.push_back(plural(failed_audio_blocks, "failed audio block"));
  if (frames_without_audio) parts.push_back(plural(frames_without_audio, "frame") + " without audio");
  if (cut_short) parts.push_back("last frame cut short");
  if (parts.empty()) return "none";
  std::string text;
  for (const std::string &p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

}  // namespace tarsk::cli
