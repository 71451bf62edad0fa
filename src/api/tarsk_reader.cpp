// tarsk.h: the raw DV reader, fed by the caller or reading a source at any
// frame.
#include <tarsk/tarsk.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "api/engine.h"
#include "common/dif.h"
#include "common/timecode.h"
#include "decode/metadata.h"
#include "io/assembler.h"
#include "io/frame_index.h"

using namespace tarsk;

namespace {

// A source's read as the index and the reader call it.
io::ReadAt read_of(const tarsk_source &source) {
  return [source](uint64_t offset, uint8_t *bytes, size_t size) -> int64_t {
    const int64_t got = source.read(source.user, offset, bytes, size);
    return got < 0 || static_cast<uint64_t>(got) > size ? -1 : got;
  };
}

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

int64_t read_file(void *user, uint64_t offset, uint8_t *bytes, size_t size) {
  FILE *f = static_cast<FILE *>(user);
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0)
    return -1;
  const size_t got = std::fread(bytes, 1, size, f);
  return got < size && std::ferror(f) ? -1 : static_cast<int64_t>(got);
}

// How much of a source the reader reads at a time: a 625/50 frame and the
// blocks the assembler looks ahead by, so that a seek to an undamaged
// frame reads it in one go and little more.
constexpr size_t chunk_size = dif::frame_size(true) + 4 * dif::block_size;

}  // namespace

// The reader: the stream's bytes through the frame assembler, pushed by
// the caller or read from a source. Over a source it may start afresh at a
// restart point of the index and make (without handing out) the frames up
// to the one asked for.
struct tarsk_reader {
  io::FrameAssembler assembler;
  io::AssembledFrame current;
  uint64_t index = 0;  // the number of the next frame the assembler makes
  bool finished = false;

  // Over a source.
  std::optional<tarsk_source> source;
  std::unique_ptr<FILE, FileCloser> file;
  std::unique_ptr<io::FrameIndex> frames;
  std::vector<uint8_t> chunk;
  uint64_t position = 0;     // where the next read starts
  io::FrameIndex::Start start;  // where the assembler started
  uint64_t target = 0;       // frames before it are made, not handed out
  bool whole_seen = false;   // a frame without missing blocks made since the start

  void restart(const io::FrameIndex::Start &from, uint64_t frame) {
    assembler = io::FrameAssembler(from.position);
    position = from.position;
    start = from;
    index = from.frame;
    target = frame;
    whole_seen = false;
    finished = false;
  }
};

namespace {

// The next frame the assembler makes, reading the source as needed.
int next_over_source(tarsk_reader *r) {
  io::FrameAssembler &a = r->assembler;
  for (;;) {
    if (a.has_frame()) {
      r->current = a.pop();
      const uint64_t number = r->index++;
      r->whole_seen = r->whole_seen || r->current.missing_blocks == 0;
      if (number < r->target) continue;
      // Made from a fresh start with no whole frame since: the blocks it
      // lacks were filled without the frame before it. Start further back.
      if (!io::FrameIndex::exact(r->start, r->whole_seen)) {
        r->restart(r->frames->start_for(r->start.frame - 1), number);
        continue;
      }
      r->target = r->index;
      return TARSK_OK;
    }
    if (r->finished) return TARSK_E_END;
    if (!a.found_dv() && r->position - r->start.position > io::dv_search_limit)
      return TARSK_E_NOT_DV;
    const int64_t got = r->source->read(r->source->user, r->position, r->chunk.data(),
                                        r->chunk.size());
    if (got < 0 || static_cast<uint64_t>(got) > r->chunk.size()) return TARSK_E_IO;
    if (got == 0) {
      a.finish();
      r->finished = true;
      if (!a.has_frame() && !a.found_dv() && r->start.frame == 0) return TARSK_E_NOT_DV;
      continue;
    }
    a.push({r->chunk.data(), static_cast<size_t>(got)});
    r->position += static_cast<uint64_t>(got);
  }
}

int index_error(io::FrameIndex::Learned learned) {
  return learned == io::FrameIndex::Learned::error ? TARSK_E_IO : TARSK_E_END;
}

// The time code of a frame as tarsk_decode_info reads it.
std::optional<Timecode> timecode_of(dv_decoder_t *dv, const io::AssembledFrame &f) {
  if (api::parse_frame(dv, f.bytes.data(), f.bytes.size()) != TARSK_OK) return std::nullopt;
  dv_parse_packs(dv, f.bytes.data());
  Timecode t;
  if (!timecode(dv, t)) return std::nullopt;
  return t;
}

}  // namespace

extern "C" {

int tarsk_reader_open(tarsk_reader **reader) {
  if (reader == nullptr) return TARSK_E_BAD_CALL;
  *reader = new (std::nothrow) tarsk_reader;
  return *reader != nullptr ? TARSK_OK : TARSK_E_NO_MEMORY;
}

int tarsk_reader_open_source(tarsk_reader **reader, const tarsk_source *source) {
  if (reader == nullptr) return TARSK_E_BAD_CALL;
  *reader = nullptr;
  if (source == nullptr || source->read == nullptr) return TARSK_E_BAD_CALL;
  try {
    auto r = std::make_unique<tarsk_reader>();
    r->source = *source;
    r->frames = std::make_unique<io::FrameIndex>(read_of(*source));
    r->chunk.resize(chunk_size);
    *reader = r.release();
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  }
  return TARSK_OK;
}

int tarsk_reader_open_file(tarsk_reader **reader, const char *path) {
  if (reader == nullptr) return TARSK_E_BAD_CALL;
  *reader = nullptr;
  if (path == nullptr) return TARSK_E_BAD_CALL;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
  if (file == nullptr) return TARSK_E_IO;
  const tarsk_source source{read_file, file.get()};
  if (const int opened = tarsk_reader_open_source(reader, &source); opened != TARSK_OK)
    return opened;
  (*reader)->file = std::move(file);
  return TARSK_OK;
}

void tarsk_reader_close(tarsk_reader **reader) {
  if (reader == nullptr) return;
  delete *reader;
  *reader = nullptr;
}

int tarsk_reader_push(tarsk_reader *reader, const uint8_t *bytes, size_t size) {
  if (reader == nullptr || (bytes == nullptr && size > 0)) return TARSK_E_BAD_CALL;
  if (reader->finished || reader->source) return TARSK_E_BAD_CALL;
  try {
    reader->assembler.push({bytes, size});
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  }
  return TARSK_OK;
}

int tarsk_reader_finish(tarsk_reader *reader) {
  if (reader == nullptr || reader->source) return TARSK_E_BAD_CALL;
  if (reader->finished) return TARSK_OK;
  reader->finished = true;
  try {
    reader->assembler.finish();
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  }
  return TARSK_OK;
}

int tarsk_reader_next(tarsk_reader *reader, tarsk_frame *frame) {
  if (reader == nullptr || frame == nullptr) return TARSK_E_BAD_CALL;
  io::FrameAssembler &a = reader->assembler;
  if (reader->source) {
    try {
      if (const int made = next_over_source(reader); made != TARSK_OK) return made;
    } catch (const std::bad_alloc &) {
      return TARSK_E_NO_MEMORY;
    }
  } else {
    if (!a.has_frame()) {
      if (!a.found_dv() &&
          (a.bytes_in() > io::dv_search_limit || (reader->finished && a.bytes_in() > 0)))
        return TARSK_E_NOT_DV;
      return reader->finished ? TARSK_E_END : TARSK_E_AGAIN;
    }
    reader->current = a.pop();
    ++reader->index;
  }
  const io::AssembledFrame &f = reader->current;
  *frame = tarsk_frame{};
  frame->data = f.bytes.data();
  frame->size = f.bytes.size();
  frame->system = f.fifty_fields ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
  frame->index = reader->index - 1;
  frame->offset = f.offset;
  frame->skipped_bytes = f.skipped_bytes;
  frame->missing_blocks = f.missing_blocks;
  frame->missing_video = f.missing_video;
  frame->cut_short = f.cut_short;
  return TARSK_OK;
}

int tarsk_reader_seek(tarsk_reader *reader, uint64_t frame) {
  if (reader == nullptr || !reader->source) return TARSK_E_BAD_CALL;
  try {
    if (const auto learned = reader->frames->learn(frame); learned != io::FrameIndex::Learned::frame)
      return index_error(learned);
    reader->restart(reader->frames->start_for(frame), frame);
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  }
  return TARSK_OK;
}

int tarsk_reader_frames(tarsk_reader *reader, uint64_t *frames) {
  if (reader == nullptr || frames == nullptr || !reader->source) return TARSK_E_BAD_CALL;
  try {
    const auto learned = reader->frames->learn(UINT64_MAX - 1);
    if (learned == io::FrameIndex::Learned::error) return TARSK_E_IO;
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  }
  *frames = reader->frames->known();
  return TARSK_OK;
}

int tarsk_reader_seek_timecode(tarsk_reader *reader, const tarsk_timecode *timecode,
                               uint64_t *frame) {
  if (reader == nullptr || timecode == nullptr || !reader->source) return TARSK_E_BAD_CALL;
  try {
    api::DecoderRecord dv = api::make_decoder(false, false, false);
    if (dv == nullptr) return TARSK_E_NO_MEMORY;
    const tarsk_timecode &w = *timecode;
    auto carries = [&](const Timecode &t) {
      return t.hours == w.hours && t.minutes == w.minutes && t.seconds == w.seconds &&
             t.frames == w.frames;
    };
    auto found = [&](uint64_t n) {
      if (frame != nullptr) *frame = n;
      return tarsk_reader_seek(reader, n);
    };
    // Jumps by the time code's distance from the frame read last: a few
    // within a recording whose time code runs on.
    std::vector<uint64_t> tried;
    for (uint64_t n = 0; tried.size() < 16;) {
      tried.push_back(n);
      int made = tarsk_reader_seek(reader, n);
      if (made == TARSK_OK) made = next_over_source(reader);
      if (made == TARSK_E_IO || made == TARSK_E_NO_MEMORY) return made;
      if (made != TARSK_OK) break;
      const std::optional<Timecode> t = timecode_of(dv.get(), reader->current);
      if (!t) break;
      if (carries(*t)) return found(n);
      const bool pal = reader->current.fifty_fields, drop = t->drop_frame != 0;
      const int64_t distance =
          timecode_count_of({w.hours, w.minutes, w.seconds, w.frames}, pal, drop) -
          timecode_count_of({t->hours, t->minutes, t->seconds, t->frames}, pal, drop);
      if (distance < 0 && static_cast<uint64_t>(-distance) > n) break;
      n += static_cast<uint64_t>(distance);
      if (std::find(tried.begin(), tried.end(), n) != tried.end()) break;
    }
    // Then every frame in order from the start.
    if (const int sought = tarsk_reader_seek(reader, 0); sought != TARSK_OK) return sought;
    for (uint64_t n = 0;; ++n) {
      const int made = next_over_source(reader);
      if (made != TARSK_OK) return made == TARSK_E_NOT_DV ? TARSK_E_END : made;
      if (const auto t = timecode_of(dv.get(), reader->current); t && carries(*t)) return found(n);
    }
  } catch (const std::bad_alloc &) {
    return TARSK_E_NO_MEMORY;
  }
}

uint64_t tarsk_reader_bytes_in(const tarsk_reader *reader) {
  return reader != nullptr ? reader->assembler.bytes_in() : 0;
}

uint64_t tarsk_reader_bytes_skipped(const tarsk_reader *reader) {
  return reader != nullptr ? reader->assembler.bytes_skipped() : 0;
}

}  // extern "C"
