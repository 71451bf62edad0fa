// What the library's own faces decode with: a decoder record of their own
// (made without touching the process-wide choices of dv.h's callers), a
// check of a frame's header blocks, threads that decode the segments of one
// picture together, and pictures decoded in stream order with their damaged
// macroblocks concealed.
#pragma once

#include <tarsk/dv.h>
#include <tarsk/tarsk.h>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "api/crew.h"
#include "common/log.h"
#include "decode/conceal.h"
#include "decode/frame.h"
#include "decode/output/output.h"

namespace tarsk::api {

// A context's messages: to its settings' callback, or to standard error.
LogHook log_hook(tarsk_log_callback log, void *user);

struct FreeDecoder {
  void operator()(dv_decoder_t *dv) const { dv_decoder_free(dv); }
};
using DecoderRecord = std::unique_ptr<dv_decoder_t, FreeDecoder>;

// A decoder record with these settings and no error log; null when memory
// could not be had. The shared tables are built, the writers' process-wide
// clamp choice is left alone.
DecoderRecord make_decoder(bool ntsc_setup, bool clamp_luma, bool clamp_chroma);

// Checks the header blocks of a whole frame (the first block of every DIF
// sequence a header block numbered for its sequence, its DSF agreeing with
// the frame's length); TARSK_OK with its system, or TARSK_E_NOT_DV /
// TARSK_E_BAD_FRAME.
int check_frame(const uint8_t *frame, size_t size, dv_system_t *system);

// check_frame, then the header block parsed into `dv`: the record may then
// read the frame.
int parse_frame(dv_decoder_t *dv, const uint8_t *frame, size_t size);

// Threads made once that decode the video segments of one picture at the
// same time, each through a segment record and bit reader of its own. The
// picture is the same as from one thread.
class SegmentCrew {
 public:
  explicit SegmentCrew(int threads);
  int threads() const { return crew_.size(); }
  void decode(dv_decoder_t *dv, const uint8_t *frame, const output::Target &target,
              FrameDamage *damage, Reconstruction reconstruction);
  // Calls task(first, last) for bands of lines 0 .. lines - 1, one a thread.
  template <typename Task>
  void bands(int lines, Task &task) {
    const int n = crew_.size();
    auto part = [&](int i) { task(lines * i / n, lines * (i + 1) / n); };
    crew_.run(part);
  }

 private:
  struct Part {
    std::unique_ptr<dv_videosegment_t> seg = std::make_unique<dv_videosegment_t>();
    bitstream_t bs{};
  };
  std::vector<Part> parts_;
  Crew crew_;
  std::atomic<int> next_segment_{0};
};

// A 625/50 4:2:0 picture that the accurate reconstruction writes at 4:2:2
// or in RGB is decoded to native planes of the stage's own first (where it
// is concealed, too), then its chroma interpolated into the caller's
// picture, field by field unless the frame says its pictures are
// progressive (decode/output/fields.cpp). Other pictures go straight to
// theirs.
class FieldStage {
 public:
  // Where to decode a parsed frame's picture for `target`: the stage's
  // planes or `target` itself; null when memory for the planes could not
  // be had.
  const output::Target *target_for(const dv_decoder_t *dv, const uint8_t *frame,
                                   const output::Target &target, Reconstruction reconstruction);
  // Spreads the picture staged by the last target_for to `target` (on
  // `crew`'s threads when given); nothing when none was staged.
  void deliver(const dv_decoder_t *dv, const output::Target &target, SegmentCrew *crew) const;

 private:
  std::vector<uint8_t> planes_;
  output::Target staged_;
  bool active_ = false, fields_ = true;
};

// Pictures decoded in stream order: every macroblock checked, the damaged
// ones covered by the previous picture's when concealment is on (else
// decoded from the bits as they are and only counted).
class PictureDecoder {
 public:
  explicit PictureDecoder(bool conceal) { damage_.conceal = conceal; }
  void set_reconstruction(Reconstruction r) { reconstruction_ = r; }
  bool conceal() const { return damage_.conceal; }
  void set_conceal(bool on) {
    damage_.conceal = on;
    previous_.reset();
  }
  void reset() { previous_.reset(); }
  // Decodes a parsed frame's picture to `target` (nowhere: only checked),
  // on `crew` when given; nothing when memory could not be had.
  std::optional<tarsk_picture_damage> decode(dv_decoder_t *dv, const uint8_t *frame,
                                             const output::Target &target, SegmentCrew *crew);
  // The damage of a picture decoded elsewhere to `decoded` with `damage`
  // (in order), concealed there.
  tarsk_picture_damage finish(const dv_decoder_t *dv, const output::Target &decoded,
                              const FrameDamage &damage);

 private:
  FrameDamage damage_;
  Reconstruction reconstruction_ = Reconstruction::accurate;
  PreviousPicture previous_;
  FieldStage stage_;
  std::unique_ptr<dv_videosegment_t> seg_ = std::make_unique<dv_videosegment_t>();
  bitstream_t bs_{};
};

}  // namespace tarsk::api
