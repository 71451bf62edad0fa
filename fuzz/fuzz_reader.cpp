// The C++ API on any stream: tarsk::Reader over the input, finding frames
// again through whatever damage it holds, and tarsk::Decoder parsing,
// checking and decoding (with concealment) every frame the reader hands out.
// Every frame holds at least one DIF block of the input, and no block is
// handed out twice: frames come in stream order, each after the last.
//
// Input: a DV stream. Its last byte (still part of the stream) also picks
// the settings: bits 0-2 quality flags, 3-4 colour space (3 is none: the
// frame is parsed and nothing written), bit 5 two decoding threads.
#include <tarsk/tarsk.hpp>

#include <cstdio>
#include <vector>

#include "common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t settings = data[size - 1];
  const unsigned quality = settings & 7;
  const auto space = static_cast<dv_color_space_t>((settings >> 3) & 3);
  const int threads = (settings & 0x20) ? 2 : 1;

  FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  FUZZ_CHECK(stream != nullptr);
  tarsk::Reader reader(stream);
  tarsk::Decoder decoder(quality);
  FUZZ_CHECK(static_cast<bool>(decoder));
  dv_set_error_log(decoder.get(), fuzz::null_log());
  FUZZ_CHECK(static_cast<bool>(decoder.set_threads(threads)));

  uint64_t handed_out = 0, next_offset = 0;
  while (auto next = reader.next()) {
    if (!*next) continue;
    FUZZ_CHECK(handed_out++ < size / 80);
    const tarsk::Frame &frame = next->value();
    FUZZ_CHECK(frame.bytes.size() == fuzz::frame_bytes(frame.system));
    FUZZ_CHECK(frame.offset >= next_offset && frame.offset + 80 <= size);
    FUZZ_CHECK(frame.missing_blocks < static_cast<int>(frame.bytes.size() / 80));
    next_offset = frame.offset + 80;

    auto info = decoder.parse(frame.span());
    if (!info) continue;
    FUZZ_CHECK(info->system == frame.system);
    FUZZ_CHECK(info->width == 720 && info->height == (info->system == e_dv_system_625_50 ? 576 : 480));

    const size_t bytes = decoder.picture_bytes(space);
    // One byte short is refused before anything is written.
    std::vector<uint8_t> small(bytes - 1);
    auto refused = decoder.decode_video(frame.span(), space, small);
    FUZZ_CHECK(!refused && refused.error().code == tarsk::Errc::bad_buffer);

    auto checked = decoder.check_video(frame.span());
    FUZZ_CHECK(static_cast<bool>(checked));
    std::vector<uint8_t> picture(bytes);
    auto damage = decoder.decode_video(frame.span(), space, picture);
    FUZZ_CHECK(static_cast<bool>(damage));
    FUZZ_CHECK(damage->damaged_macroblocks == checked->damaged_macroblocks);
    FUZZ_CHECK(damage->damaged_macroblocks >= frame.missing_video);

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
