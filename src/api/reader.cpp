// The C++ API's frame reader and the checks a frame passes before the C
// layer reads it.
#include <tarsk/tarsk.hpp>

#include "common/dif.h"
#include "io/assembler.h"

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

struct FrameFeeder::Impl {
  io::FrameAssembler assembler;
  uint64_t index = 0;
};

FrameFeeder::FrameFeeder() : impl_(std::make_unique<Impl>()) {}
FrameFeeder::FrameFeeder(FrameFeeder &&) noexcept = default;
FrameFeeder &FrameFeeder::operator=(FrameFeeder &&) noexcept = default;
FrameFeeder::~FrameFeeder() = default;

void FrameFeeder::push(std::span<const uint8_t> bytes) { impl_->assembler.push(bytes); }
void FrameFeeder::finish() { impl_->assembler.finish(); }
uint64_t FrameFeeder::bytes_in() const { return impl_->assembler.bytes_in(); }
uint64_t FrameFeeder::bytes_skipped() const { return impl_->assembler.bytes_skipped(); }
bool FrameFeeder::found_dv() const { return impl_->assembler.found_dv(); }

std::optional<Frame> FrameFeeder::next() {
  if (!impl_->assembler.has_frame()) return std::nullopt;
  io::AssembledFrame made = impl_->assembler.pop();
  Frame frame;
  frame.bytes = std::move(made.bytes);
  frame.index = impl_->index++;
  frame.system = made.fifty_fields ? e_dv_system_625_50 : e_dv_system_525_60;
  frame.offset = made.offset;
  frame.missing_blocks = made.missing_blocks;
  frame.missing_video = made.missing_video;
  frame.skipped_bytes = made.skipped_bytes;
  frame.cut_short = made.cut_short;
  return frame;
}

struct Reader::Impl {
  FILE *file = nullptr;
  bool owned = false;
  FrameFeeder feeder;
  uint64_t index = 0;
  bool done = false;
  std::vector<uint8_t> chunk = std::vector<uint8_t>(64 * 1024);

  ~Impl() {
    if (file != nullptr && owned) std::fclose(file);
  }
};

namespace {

// How far into a stream the first DV block is looked for before it is
// taken for something else.
constexpr uint64_t search_limit = 16u << 20;

}  // namespace

Reader::Reader(FILE *stream, bool owned, std::span<const uint8_t> already_read)
    : impl_(std::make_unique<Impl>()) {
  impl_->file = stream;
  impl_->owned = owned;
  impl_->feeder.push(already_read);
}
Reader::Reader(FILE *stream) : Reader(stream, false, {}) {}
Reader::Reader(Reader &&other) noexcept = default;
Reader &Reader::operator=(Reader &&other) noexcept = default;
Reader::~Reader() = default;

Expected<Reader> Reader::open(const std::string &path) {
  if (path == "-") return Reader(stdin, false, {});
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return Error{Errc::io, path + ": " + std::strerror(errno)};
  return Reader(f, true, {});
}

uint64_t Reader::frames_read() const { return impl_->index; }
uint64_t Reader::bytes_read() const { return impl_->feeder.bytes_in(); }
uint64_t Reader::bytes_skipped() const { return impl_->feeder.bytes_skipped(); }

std::optional<Expected<Frame>> Reader::next() {
  Impl &r = *impl_;
  FrameFeeder &f = r.feeder;
  for (;;) {
    if (auto frame = f.next()) {
      ++r.index;
      return Expected<Frame>(std::move(*frame));
    }
    if (r.done) return std::nullopt;
    if (!f.found_dv() && f.bytes_in() > search_limit) {
      r.done = true;
      return Expected<Frame>(Error{Errc::not_dv, "not a DV stream"});
    }
    const size_t got = std::fread(r.chunk.data(), 1, r.chunk.size(), r.file);
    if (got > 0) {
      f.push({r.chunk.data(), got});
      continue;
    }
    r.done = true;
    if (std::ferror(r.file)) return Expected<Frame>(Error{Errc::io, std::strerror(errno)});
    f.finish();
    if (!f.found_dv() && f.bytes_in() > 0)
      return Expected<Frame>(Error{Errc::not_dv, "not a DV stream"});
  }
}

}  // namespace tarsk
