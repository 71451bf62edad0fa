// Output filters of the encode loop: records of operations that store
// finished frames. The built-in "raw" filter writes them back to back into
// a stream, with the frame's metadata and sound.
#include <tarsk/dv.h>

#include <climits>
#include <cstdio>
#include <optional>

#include "classic/registry.h"
#include "common/dif.h"
#include "common/log.h"
#include "encode/audio.h"

namespace tarsk {
namespace {

// The raw filter: frames back to back into out_fp, counted for the
// metadata of the next one.
int frame_counter = 0;

int raw_init(FILE *fp) {
  if (fp == nullptr) return -1;
  out_fp = fp;
  return 0;
}

void raw_finish() {}

int raw_store(uint8_t *encoded_data, dv_enc_audio_info_t *audio_data, int keep_meta_headers,
              int isPAL, int is16x9, time_t now) {
  if (encoded_data == nullptr || out_fp == nullptr) return -1;
  const bool pal = isPAL != 0;
  std::optional<SourcePack> sp;
  if (audio_data != nullptr && !(sp = describe_audio(*audio_data, pal))) return -1;
  if (!keep_meta_headers) _dv_write_meta_data(encoded_data, frame_counter, isPAL, is16x9, &now);
  if (sp) insert_audio(encoded_data, *audio_data, *sp, pal, false);
  // Flushed frame by frame: a write that fails (a full disk) shows at the
  // frame it fails on, not later where no caller would see it, and no frame
  // counts as stored that is not in the stream.
  const size_t size = dif::frame_size(pal);
  if (std::fwrite(encoded_data, 1, size, out_fp) != size || std::fflush(out_fp) != 0) {
    log(LogLevel::error, "raw: could not write the frame\n");
    return -1;
  }
  frame_counter = frame_counter == INT_MAX ? 0 : frame_counter + 1;
  return 0;
}

Registry<dv_enc_output_filter_t> filters{
    dv_enc_output_filter_t{raw_init, raw_finish, raw_store, "raw"}};

}  // namespace
}  // namespace tarsk

extern "C" {

FILE *out_fp = nullptr;

int dv_enc_register_output_filter(dv_enc_output_filter_t filter) {
  return tarsk::filters.add(filter, filter.init && filter.finish && filter.store, "Output");
}

int dv_enc_get_output_filters(dv_enc_output_filter_t **filters_, int *count) {
  return tarsk::filters.get(filters_, count);
}

}  // extern "C"
