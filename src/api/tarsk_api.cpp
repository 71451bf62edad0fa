// tarsk.h: version, error strings and pictures.
#include <tarsk/tarsk.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "api/picture.h"
#include "common/dif.h"

namespace tarsk::api {

int plane_count(int format) {
  switch (format) {
    case TARSK_PIXEL_I420:
    case TARSK_PIXEL_Y41B:
    case TARSK_PIXEL_I422:
      return 3;
    case TARSK_PIXEL_YUY2:
    case TARSK_PIXEL_RGB24:
    case TARSK_PIXEL_BGR0:
      return 1;
    default:
      return 0;
  }
}

PlaneShape plane_shape(int format, int width, int height, int p) {
  const auto w = static_cast<size_t>(width);
  switch (format) {
    case TARSK_PIXEL_I420:
      return p == 0 ? PlaneShape{w, height} : PlaneShape{w / 2, height / 2};
    case TARSK_PIXEL_Y41B:
      return p == 0 ? PlaneShape{w, height} : PlaneShape{w / 4, height};
    case TARSK_PIXEL_I422:
      return p == 0 ? PlaneShape{w, height} : PlaneShape{w / 2, height};
    case TARSK_PIXEL_YUY2:
      return {2 * w, height};
    case TARSK_PIXEL_RGB24:
      return {3 * w, height};
    case TARSK_PIXEL_BGR0:
      return {4 * w, height};
    default:
      return {0, 0};
  }
}

int check_planes(const tarsk_picture &picture) {
  const int planes = plane_count(picture.format);
  if (planes == 0 || picture.width <= 0 || picture.height <= 0) return TARSK_E_BAD_PICTURE;
  for (int p = 0; p < planes; ++p) {
    if (picture.data[p] == nullptr) return TARSK_E_BAD_CALL;
    const PlaneShape shape = plane_shape(picture.format, picture.width, picture.height, p);
    if (picture.stride[p] < static_cast<ptrdiff_t>(shape.line_bytes)) return TARSK_E_BAD_BUFFER;
  }
  return TARSK_OK;
}

output::Target target_of(const tarsk_picture &picture, dv_sample_t sampling) {
  output::Target t;
  for (int p = 0; p < plane_count(picture.format); ++p) {
    t.plane[p] = picture.data[p];
    t.pitch[p] = picture.stride[p];
  }
  switch (picture.format) {
    case TARSK_PIXEL_I420:
      if (sampling != e_dv_sample_420) return {};
      t.layout = output::Layout::planar;
      t.chroma_shift_x = t.chroma_shift_y = 1;
      break;
    case TARSK_PIXEL_Y41B:
      if (sampling != e_dv_sample_411) return {};
      t.layout = output::Layout::planar;
      t.chroma_shift_x = 2;
      break;
    case TARSK_PIXEL_I422:
      t.layout = output::Layout::planar;
      t.chroma_shift_x = 1;
      break;
    case TARSK_PIXEL_YUY2:
      t.layout = output::Layout::yuy2;
      break;
    case TARSK_PIXEL_RGB24:
      t.layout = output::Layout::rgb;
      break;
    case TARSK_PIXEL_BGR0:
      t.layout = output::Layout::bgr0;
      break;
    default:
      return {};
  }
  return t;
}

}  // namespace tarsk::api

using namespace tarsk;

extern "C" {

unsigned tarsk_version(void) { return TARSK_VERSION; }

const char *tarsk_version_string(void) {
#define TARSK_TEXT(x) #x
#define TARSK_DOTTED(a, b, c) TARSK_TEXT(a) "." TARSK_TEXT(b) "." TARSK_TEXT(c)
  return TARSK_DOTTED(TARSK_VERSION_MAJOR, TARSK_VERSION_MINOR, TARSK_VERSION_PATCH);
#undef TARSK_DOTTED
#undef TARSK_TEXT
}

const char *tarsk_error_string(int error) {
  switch (error) {
    case TARSK_OK:
      return "success";
    case TARSK_E_IO:
      return "input or output failed";
    case TARSK_E_NOT_DV:
      return "not DV";
    case TARSK_E_TRUNCATED:
      return "the stream ends inside a frame";
    case TARSK_E_BAD_FRAME:
      return "damaged frame header";
    case TARSK_E_SYSTEM_CHANGED:
      return "525/60 and 625/50 frames mixed";
    case TARSK_E_BAD_BUFFER:
      return "buffer too small";
    case TARSK_E_NO_AUDIO:
      return "the frame's sound cannot be decoded";
    case TARSK_E_BAD_PICTURE:
      return "picture of another size or sampling";
    case TARSK_E_BAD_AUDIO:
      return "sound a frame cannot carry";
    case TARSK_E_BAD_SETTINGS:
      return "invalid settings";
    case TARSK_E_NO_MEMORY:
      return "out of memory";
    case TARSK_E_BAD_CALL:
      return "invalid argument or call out of order";
    case TARSK_E_AGAIN:
      return "more input needed";
    case TARSK_E_END:
      return "end of stream";
    default:
      return "unknown error";
  }
}

ptrdiff_t tarsk_segment_offset(int sequence, int segment) {
  if (sequence < 0 || sequence >= dif::max_sequences || segment < 0 ||
      segment >= dif::segments_per_sequence)
    return -1;
  return static_cast<ptrdiff_t>(dif::segment_offset(sequence, segment));
}

ptrdiff_t tarsk_audio_block_offset(int sequence, int block) {
  if (sequence < 0 || sequence >= dif::max_sequences || block < 0 ||
      block >= dif::audio_blocks_per_sequence)
    return -1;
  return static_cast<ptrdiff_t>(dif::audio_offset(sequence, block));
}

int tarsk_frame_packs(const uint8_t *frame, size_t size, tarsk_pack *packs, size_t capacity,
                      size_t *count) {
  using dif::Section;
  if (!frame || !count || (!packs && capacity > 0)) return TARSK_E_BAD_CALL;
  *count = 0;
  if (size < static_cast<size_t>(dif::block_size) || !dif::is_header_block(frame))
    return TARSK_E_BAD_FRAME;
  const bool fifty = dif::fifty_fields_of(frame);
  if (size != dif::frame_size(fifty)) return size < dif::frame_size(fifty) ? TARSK_E_TRUNCATED : TARSK_E_BAD_FRAME;
  size_t n = 0;
  auto take = [&](Section section, int sequence, int block, int number, int slot, int at) {
    const uint8_t *b = frame + dif::block_offset(sequence, block);
    if (dif::section_of(b) != section || b[at] == dif::no_pack) return true;
    if (n == capacity) return false;
    tarsk_pack &p = packs[n++];
    p.section = static_cast<int>(section);
    p.sequence = sequence;
    p.block = number;
    p.slot = slot;
    std::memcpy(p.bytes, b + at, dif::pack_size);
    return true;
  };
  bool room = true;
  for (int q = 0; q < dif::sequences(fifty) && room; ++q) {
    for (int k = 0; k < 2; ++k)
      for (int s = 0; s < dif::subcode_packs_per_block; ++s)
        room = room && take(Section::subcode, q, dif::subcode_block(k), k, s, dif::subcode_pack_offset(s));
    for (int k = 0; k < 3; ++k)
      for (int s = 0; s < dif::vaux_packs_per_block; ++s)
        room = room && take(Section::vaux, q, dif::vaux_block(k), k, s, dif::vaux_pack_offset(s));
    for (int a = 0; a < dif::audio_blocks_per_sequence; ++a)
      room = room && take(Section::audio, q, dif::audio_block(a), a, 0, dif::aaux_pack_offset);
  }
  *count = n;
  return room ? TARSK_OK : TARSK_E_BAD_BUFFER;
}

tarsk_pixel_format tarsk_native_format(int sampling) {
  return sampling == TARSK_SAMPLING_411   ? TARSK_PIXEL_Y41B
         : sampling == TARSK_SAMPLING_420 ? TARSK_PIXEL_I420
                                          : TARSK_PIXEL_I422;
}

int tarsk_picture_alloc(tarsk_picture *picture, int format, int width, int height) {
  if (picture == nullptr) return TARSK_E_BAD_CALL;
  const int planes = api::plane_count(format);
  if (planes == 0 || width <= 0 || height <= 0 || width % 4 != 0 || height % 2 != 0 ||
      width > 1 << 14 || height > 1 << 14)
    return TARSK_E_BAD_PICTURE;
  size_t total = 0;
  for (int p = 0; p < planes; ++p) {
    const api::PlaneShape s = api::plane_shape(format, width, height, p);
    total += s.line_bytes * static_cast<size_t>(s.lines);
  }
  auto *bytes = static_cast<uint8_t *>(std::calloc(total, 1));
  if (bytes == nullptr) return TARSK_E_NO_MEMORY;
  *picture = tarsk_picture{};
  picture->format = format;
  picture->width = width;
  picture->height = height;
  picture->allocation = bytes;
  for (int p = 0; p < planes; ++p) {
    const api::PlaneShape s = api::plane_shape(format, width, height, p);
    picture->data[p] = bytes;
    picture->stride[p] = static_cast<ptrdiff_t>(s.line_bytes);
    bytes += s.line_bytes * static_cast<size_t>(s.lines);
  }
  return TARSK_OK;
}

void tarsk_picture_free(tarsk_picture *picture) {
  if (picture == nullptr) return;
  std::free(picture->allocation);
  *picture = tarsk_picture{};
}

}  // extern "C"
