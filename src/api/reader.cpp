// The C++ API's frame reader and the checks a frame passes before the C
// layer reads it.
#include <tarsk/tarsk.hpp>

#include "common/dif.h"

namespace tarsk {

namespace {

dv_system_t system_of(const uint8_t *header) {
  return dif::fifty_fields_of(header) ? e_dv_system_625_50 : e_dv_system_525_60;
}

}  // namespace

Expected<dv_system_t> check_frame(std::span<const uint8_t> frame) {
  if (frame.size() < 4 || !dif::is_header_block(frame.data()))
    return Error{Errc::not_dv, "not a DV frame: no header block at its start"};
  const dv_system_t system = system_of(frame.data());
  if (frame.size() != frame_bytes(system))
    return Error{Errc::bad_frame, "frame of " + std::to_string(frame.size()) + " bytes, " +
                                      std::to_string(frame_bytes(system)) + " expected"};
  const bool fifty = system == e_dv_system_625_50;
  for (int s = 0; s < dif::sequences(fifty); ++s) {
    const uint8_t *block = frame.data() + dif::block_offset(s, dif::header_block);
    if (dif::section_of(block) != dif::Section::header || dif::sequence_of(block) != s ||
        dif::fifty_fields_of(block) != fifty)
      return Error{Errc::bad_frame,
                   "damaged frame: DIF sequence " + std::to_string(s) + " has no valid header"};
  }
  return system;
}

int damaged_video_blocks(std::span<const uint8_t> frame) {
  int count = 0;
  for (size_t at = 0; at + dif::block_size <= frame.size(); at += dif::block_size)
    count += dif::video_block_flagged(frame.data() + at);
  return count;
}

Expected<Reader> Reader::open(const std::string &path) {
  if (path == "-") return Reader(stdin, false);
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return Error{Errc::io, path + ": " + std::strerror(errno)};
  return Reader(f, true);
}

std::optional<Expected<Frame>> Reader::next() {
  if (done_ || file_ == nullptr) return std::nullopt;
  Frame frame;
  frame.index = index_;
  frame.bytes.resize(4);
  const size_t head = std::fread(frame.bytes.data(), 1, 4, file_);
  if (head == 0) return end();
  if (head < 4) return fail(Errc::truncated, "stream ends inside frame " + std::to_string(index_));
  if (!dif::is_header_block(frame.bytes.data())) {
    // Without a header block there is no telling where frames lie.
    return fail(index_ == 0 ? Errc::not_dv : Errc::bad_frame,
                index_ == 0 ? "not a DV stream" : "lost frame sync at frame " + std::to_string(index_));
  }
  frame.system = system_of(frame.bytes.data());
  const size_t size = frame_bytes(frame.system);
  frame.bytes.resize(size);
  const size_t rest = std::fread(frame.bytes.data() + 4, 1, size - 4, file_);
  if (rest < size - 4)
    return fail(Errc::truncated, "the last frame (" + std::to_string(index_) + ") is cut short: " +
                                     std::to_string(rest + 4) + " of " + std::to_string(size) +
                                     " bytes");
  ++index_;
  if (system_ != e_dv_system_none && frame.system != system_) {
    system_ = frame.system;
    return Expected<Frame>(
        Error{Errc::system_changed, "frame " + std::to_string(frame.index) + " changes the system"});
  }
  system_ = frame.system;
  if (auto checked = check_frame(frame.bytes); !checked)
    return Expected<Frame>(Error{checked.error().code, "frame " + std::to_string(frame.index) +
                                                           ": " + checked.error().message});
  return Expected<Frame>(std::move(frame));
}

std::optional<Expected<Frame>> Reader::end() {
  done_ = true;
  if (std::ferror(file_)) return Expected<Frame>(Error{Errc::io, std::strerror(errno)});
  return std::nullopt;
}

std::optional<Expected<Frame>> Reader::fail(Errc code, std::string message) {
  done_ = true;
  return Expected<Frame>(Error{code, std::move(message)});
}

}  // namespace tarsk
