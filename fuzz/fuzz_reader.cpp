// The C++ API on any stream: tarsk::Reader over the input, finding frames
// again through whatever damage it holds, and tarsk::Decoder parsing,
// checking and decoding (with concealment) every frame the reader hands out.
// Every frame holds at least one DIF block of the input, and no block is
// handed out twice: frames come in stream order, each after the last.
//
// Input: a DV stream. Its last byte (still part of the stream) also picks
// the settings: bits 0-2 dv.h's quality flags (colour, one pass, recovery),
// 3-5 the layout (0 native planes, 1 I422, 2 YUY2, 3 RGB24, 4 BGR0; more:
// only checked), bit 6 two decoding threads, bit 7 concealment off.
#include <tarsk/tarsk.hpp>

#include <cstdio>
#include <vector>

#include "common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t settings = data[size - 1];
  tarsk::DecoderSettings s;
  s.depth = (settings & 4) ? TARSK_DEPTH_FULL : (settings & 2) ? TARSK_DEPTH_BLOCK : TARSK_DEPTH_DC;
  s.monochrome = (settings & 1) == 0;
  s.threads = (settings & 0x40) ? 2 : 1;
  s.conceal = (settings & 0x80) == 0;
  const tarsk_pixel_format layouts[] = {TARSK_PIXEL_NATIVE, TARSK_PIXEL_I422, TARSK_PIXEL_YUY2,
                                        TARSK_PIXEL_RGB24, TARSK_PIXEL_BGR0};
  const int layout = (settings >> 3) & 7;

  FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  FUZZ_CHECK(stream != nullptr);
  tarsk::Reader reader(stream);
  tarsk::Decoder decoder(s);
  FUZZ_CHECK(static_cast<bool>(decoder));

  uint64_t handed_out = 0, next_offset = 0;
  while (auto next = reader.next()) {
    if (!*next) continue;
    FUZZ_CHECK(handed_out++ < size / 80);
    const tarsk::Frame &frame = next->value();
    FUZZ_CHECK(frame.bytes.size() == tarsk::frame_bytes(frame.system));
    FUZZ_CHECK(frame.offset >= next_offset && frame.offset + 80 <= size);
    FUZZ_CHECK(frame.missing_blocks < static_cast<int>(frame.bytes.size() / 80));
    next_offset = frame.offset + 80;

    auto info = decoder.parse(frame.span());
    if (!info) continue;
    FUZZ_CHECK(info->system == frame.system);
    FUZZ_CHECK(info->width == 720 && info->height == (info->system == TARSK_SYSTEM_625_50 ? 576 : 480));

    auto checked = decoder.check_video(frame.span());
    FUZZ_CHECK(static_cast<bool>(checked));
    if (layout >= 5) continue;
    tarsk::Picture picture;
    picture.get().format = layouts[layout];
    auto damage = decoder.decode_video(frame.span(), picture);
    FUZZ_CHECK(static_cast<bool>(damage));
    FUZZ_CHECK(damage->damaged_macroblocks == checked->damaged_macroblocks);
    FUZZ_CHECK(damage->damaged_macroblocks >= frame.missing_video);
    // A plane's stride a byte short of its line is refused before anything is written.
    tarsk_picture narrow = picture.get();
    narrow.stride[0] -= 1;
    auto refused = decoder.decode_video(frame.span(), narrow);
    FUZZ_CHECK(!refused && refused.error().code == tarsk::Errc::bad_buffer);

    auto audio = decoder.decode_audio(frame.span());
    if (audio) {
      FUZZ_CHECK(audio->channels.size() == (audio->quantization == 12 ? 4u : 2u));
      for (const auto &channel : audio->channels) FUZZ_CHECK(channel.size() <= 1944);
    } else {
      FUZZ_CHECK(audio.error().code == tarsk::Errc::no_audio);
    }
  }
  std::fclose(stream);
  return 0;
}
