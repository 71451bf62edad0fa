// Frames out of a raw DV stream that may be damaged (see assembler.h).
#include "io/assembler.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "common/dif.h"

namespace tarsk::io {

namespace {

constexpr int block_size = dif::block_size;
constexpr int per_sequence = dif::blocks_per_sequence;
constexpr int lookahead = 4;  // blocks in a row that must agree to regain sync

constexpr int blocks_of(bool fifty) { return dif::sequences(fifty) * per_sequence; }
constexpr size_t frame_bytes_of(bool fifty) { return dif::frame_size(fifty); }

// Whether place b follows place a in the stream, within a frame or across
// the end of a frame of either system.
constexpr bool follows(int a, int b) {
  return b == a + 1 || (b == 0 && (a == blocks_of(false) - 1 || a == blocks_of(true) - 1));
}

// What a place in a sequence holds: its section and its number there.
struct Slot {
  dif::Section section;
  int number;
};
constexpr Slot slot_of(int block) {
  if (block == dif::header_block) return {dif::Section::header, 0};
  if (block < dif::vaux_block(0)) return {dif::Section::subcode, block - dif::subcode_block(0)};
  if (block < dif::audio_block(0)) return {dif::Section::vaux, block - dif::vaux_block(0)};
  const int a = (block - dif::audio_block(0)) / 16, n = (block - dif::audio_block(0)) % 16;
  if (n == 0) return {dif::Section::audio, a};
  return {dif::Section::video, 15 * a + n - 1};
}

// A video block that never came: marked by its status nibble as an error
// the recorder did not conceal, and coded as a grey macroblock (DC 0 and
// an end of block in every area) for a decoder that shows it as it is.
std::array<uint8_t, block_size> missing_video_block() {
  std::array<uint8_t, block_size> b{};
  std::fill(b.begin() + dif::qno_byte + 1, b.end(), 0xff);
  b[dif::qno_byte] = 0xf0;
  for (int area = 0; area < 6; ++area) {
    b[static_cast<size_t>(dif::area_bytes[area])] = 0x00;
    b[static_cast<size_t>(dif::area_bytes[area]) + 1] = 0x06;  // mode 0, class 0, end of block
  }
  return b;
}

// Whether the frame's AAUX source pack at `pack` says 12-bit samples.
bool twelve_bit(const uint8_t *pack) {
  return pack[0] == dif::pack_id::aaux_source && (pack[4] & 7) == 1;
}

}  // namespace

int block_place(const uint8_t *block) {
  const int sct = block[0] >> 5, sequence = dif::sequence_of(block), number = block[2];
  if (sequence >= dif::max_sequences) return -1;
  int at;
  switch (static_cast<dif::Section>(sct)) {
    case dif::Section::header:
      // Sequences 10 and 11 are 625/50's alone.
      if (number != 0 || !dif::is_header_block(block) ||
          (sequence >= dif::sequences(false) && !dif::fifty_fields_of(block)))
        return -1;
      at = dif::header_block;
      break;
    case dif::Section::subcode:
      if (number > 1) return -1;
      at = dif::subcode_block(number);
      break;
    case dif::Section::vaux:
      if (number > 2) return -1;
      at = dif::vaux_block(number);
      break;
    case dif::Section::audio:
      if (number >= dif::audio_blocks_per_sequence) return -1;
      at = dif::audio_block(number);
      break;
    case dif::Section::video:
      if (number >= 135) return -1;
      at = dif::video_block(number / 15 * 3, 0) + number % 15;
      break;
    default:
      return -1;
  }
  return sequence * per_sequence + at;
}

FrameAssembler::FrameAssembler(uint64_t start)
    : base_(start), frame_(frame_bytes_of(true)), present_(max_blocks),
      previous_(frame_bytes_of(true)) {}

void FrameAssembler::push(std::span<const uint8_t> bytes) {
  if (read_ > 0 && read_ >= buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(read_));
    base_ += read_;
    read_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  work(false);
}

void FrameAssembler::finish() {
  work(true);
  const uint64_t left = buffer_.size() - read_;
  pending_skip_ += left;
  skipped_total_ += left;
  read_ = buffer_.size();
  if (open_) {
    skipped_ += std::exchange(pending_skip_, 0);
    emit(true);
  }
}

AssembledFrame FrameAssembler::pop() {
  AssembledFrame f = std::move(ready_.front());
  ready_.pop_front();
  return f;
}

int FrameAssembler::blocks_of_frame() const {
  if (system_ >= 0) return blocks_of(system_ == 1);
  if (previous_system_ >= 0) return blocks_of(previous_system_ == 1);
  return max_blocks;
}

void FrameAssembler::work(bool at_end) {
  for (;;) {
    const size_t avail = buffer_.size() - read_;
    if (avail < static_cast<size_t>(block_size)) return;
    if (!at_end && avail < static_cast<size_t>(lookahead * block_size)) return;
    const int at = block_place(buffer_.data() + read_);
    if (at >= 0 && accept(read_, at, at_end)) {
      place(read_, at);
      read_ += block_size;
      in_sync_ = true;
    } else {
      ++read_;
      ++pending_skip_;
      ++skipped_total_;
      in_sync_ = false;
    }
  }
}

// A block is taken where it stands when it is the one expected next;
// otherwise only when the blocks after it follow it, so that stray bytes
// that happen to look like an identifier are passed over.
bool FrameAssembler::accept(size_t at, int place, bool at_end) {
  if (open_ && system_ >= 0 && place >= blocks_of(system_ == 1) && place > last_) return false;
  const uint8_t *block = buffer_.data() + at;
  // The same block again (a repeated packet) is passed over.
  if (open_ && place <= last_ && present_[static_cast<size_t>(place)] &&
      std::memcmp(frame_.data() + static_cast<size_t>(place) * block_size, block, block_size) == 0)
    return false;
  // A new frame is always checked: a run of zero bytes reads as the
  // header block that opens a frame.
  if (in_sync_ && open_ && place == last_ + 1 && place < blocks_of_frame()) return true;
  return verified(at, place, at_end);
}

bool FrameAssembler::verified(size_t at, int place, bool at_end) const {
  int checked = 0;
  for (int n = 1; n < lookahead; ++n) {
    const size_t next = at + static_cast<size_t>(n) * block_size;
    if (next + block_size > buffer_.size()) break;  // only at the end of the stream
    const int following = block_place(buffer_.data() + next);
    if (!follows(place, following)) return false;
    place = following;
    ++checked;
  }
  // Near the very end fewer blocks follow: they are taken only where sync held.
  return checked == lookahead - 1 || (at_end && in_sync_);
}

void FrameAssembler::start_frame(uint64_t offset) {
  open_ = true;
  std::fill(present_.begin(), present_.end(), 0);
  last_ = -1;
  system_ = -1;
  frame_offset_ = offset;
}

void FrameAssembler::place(size_t at, int place) {
  const uint64_t offset = base_ + at;
  const bool far = open_ && offset - last_offset_ > frame_bytes_of(true);
  if (!open_ || place <= last_ || far) {
    if (open_) emit(false);
    start_frame(offset);
  }
  skipped_ += std::exchange(pending_skip_, 0);
  const uint8_t *block = buffer_.data() + at;
  std::memcpy(frame_.data() + static_cast<size_t>(place) * block_size, block, block_size);
  present_[static_cast<size_t>(place)] = 1;
  last_ = place;
  last_offset_ = offset;
  found_ = true;
  if (system_ < 0 && place % per_sequence == dif::header_block)
    system_ = dif::fifty_fields_of(block) ? 1 : 0;
  if (last_ == blocks_of_frame() - 1) emit(false);
}

void FrameAssembler::emit(bool cut_short) {
  const bool fifty = blocks_of_frame() == blocks_of(true);
  const int blocks = blocks_of(fifty), sequences = dif::sequences(fifty);
  // Blocks placed only beyond the end of a frame of this system make no
  // frame: their bytes count as skipped, before whatever comes next.
  if (std::none_of(present_.begin(), present_.begin() + blocks, [](uint8_t p) { return p != 0; })) {
    const auto placed = static_cast<uint64_t>(std::count(present_.begin(), present_.end(), 1));
    pending_skip_ += skipped_ + placed * block_size;
    skipped_total_ += placed * block_size;
    skipped_ = 0;
    open_ = false;
    return;
  }
  const bool same_as_previous = have_previous_ && previous_system_ == (fifty ? 1 : 0);
  static const auto grey = missing_video_block();

  auto present = [&](int p) { return present_[static_cast<size_t>(p)] != 0; };
  auto block_at = [&](int p) { return frame_.data() + static_cast<size_t>(p) * block_size; };
  // 12-bit sound is error-coded in threes of bytes, 16-bit in pairs.
  const uint8_t *as_pack =
      present(dif::audio_block(3)) || !same_as_previous ? frame_.data() + dif::aaux_as_offset
                                                        : previous_.data() + dif::aaux_as_offset;
  const bool twelve = twelve_bit(as_pack);

  AssembledFrame out;
  out.fifty_fields = fifty;
  out.offset = frame_offset_;
  out.skipped_bytes = skipped_;
  out.cut_short = cut_short;
  for (int p = 0; p < blocks; ++p) {
    if (present(p)) continue;
    ++out.missing_blocks;
    const int sequence = p / per_sequence, b = p % per_sequence;
    const Slot slot = slot_of(b);
    uint8_t *block = block_at(p);
    if (slot.section == dif::Section::video) {
      ++out.missing_video;
      std::memcpy(block, grey.data(), block_size);
      dif::write_id(block, slot.section, 0, sequence, slot.number);
      continue;
    }
    if (slot.section == dif::Section::audio) {
      dif::write_id(block, slot.section, 0, sequence, slot.number);
      uint8_t *pack = block + dif::aaux_pack_offset;
      if (same_as_previous)
        std::memcpy(pack, previous_.data() + (block - frame_.data()) + dif::aaux_pack_offset,
                    dif::pack_size);
      else
        std::fill(pack, pack + dif::pack_size, dif::no_pack);
      for (int i = dif::audio_data_offset; i < block_size; ++i)
        block[i] = twelve ? ((i - dif::audio_data_offset) % 3 == 2 ? 0x00 : 0x80)
                          : ((i - dif::audio_data_offset) % 2 == 0 ? 0x80 : 0x00);
      continue;
    }
    // Header, subcode and VAUX blocks say the same in every DIF sequence
    // (subcode in each half of the frame): borrow one, the nearest in the
    // same half first.
    const uint8_t *source = nullptr;
    const int half = sequences / 2;
    for (int d = 1; d < sequences && source == nullptr; ++d)
      for (int s : {sequence - d, sequence + d})
        if (s >= 0 && s < sequences && (s < half) == (sequence < half) &&
            present(s * per_sequence + b))
          source = block_at(s * per_sequence + b);
    for (int s = 0; s < sequences && source == nullptr; ++s)
      if (present(s * per_sequence + b)) source = block_at(s * per_sequence + b);
    if (source == nullptr && same_as_previous)
      source = previous_.data() + static_cast<size_t>(p) * block_size;
    if (source != nullptr) {
      std::memcpy(block, source, block_size);
    } else {
      std::fill(block, block + block_size, 0xff);
      if (slot.section == dif::Section::header) {
        block[3] = static_cast<uint8_t>((fifty ? dif::dsf_bit : 0) | 0x3f);
        block[4] = 0xf8;  // APT 0: IEC 61834
        block[5] = block[6] = block[7] = 0x78;
      }
    }
    block[1] = static_cast<uint8_t>((sequence << 4) | (block[1] & 0x0f));
    if (source == nullptr) dif::write_id(block, slot.section, 0, sequence, slot.number);
  }
  out.bytes.assign(frame_.begin(), frame_.begin() + static_cast<long>(frame_bytes_of(fifty)));
  // The frame becomes the previous one; the next is assembled over the
  // bytes of the one before, every block of which it writes anew (present
  // or filled in above).
  frame_.swap(previous_);
  have_previous_ = true;
  previous_system_ = fifty ? 1 : 0;
  ready_.push_back(std::move(out));
  open_ = false;
  skipped_ = 0;
}

}  // namespace tarsk::io
