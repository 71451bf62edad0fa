// Pictures for `tarsk encode`: a YUV4MPEG2 stream (a file or a pipe),
// numbered PNG, PPM or PGM files, or raw YUY2 or RGB frames as `tarsk
// decode` writes them. Every reader checks that its pictures are a DV
// system's and says how to convert them when they are not; every failure is
// a message that names the file and, once pictures are coming, the frame.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cli.h"
#include "formats.h"
#include "picture.h"

namespace tarsk::cli {

// What an input says about all its pictures.
struct VideoFormat {
  tarsk_system system = TARSK_SYSTEM_625_50;  // from the picture size
  int width = 0, height = 0;
  Rate rate{25, 1};
  Ratio pixel_aspect{0, 0};            // 0:0 when the input does not say
  Sampling sampling = Sampling::s420;  // as the input carries its pictures
};

class PictureInput {
 public:
  virtual ~PictureInput() = default;
  const VideoFormat &format() const { return format_; }
  // The next picture, or nothing once the input has ended.
  virtual Result<std::optional<Picture>> next() = 0;
  // Passes over the next picture: false once the input has ended. Reads it
  // unless the input can tell it is there without.
  virtual Result<bool> skip();

 protected:
  VideoFormat format_;
  uint64_t frame_ = 0;  // pictures read so far
};

// "-" is standard input, read as it comes (a pipe never seeks).
Result<std::unique_ptr<PictureInput>> open_y4m(const std::string &path);
// A printf-style name with the frame number, "frame%04d.png": pictures
// from number 0 (or 1, when there is no 0) to the last in an unbroken run.
Result<std::unique_ptr<PictureInput>> open_png_sequence(const std::string &pattern);
// A printf-style name with the frame number, "frame%04d.ppm", as for PNG:
// binary PPM (P6, 8-bit R G B) of 720x576 or 720x480, or this library's
// PGM layout of planar 4:2:0 (P5, 720 wide and 3/2 of the picture's height:
// the luma lines, then half as many lines each holding 360 Cb samples and
// then 360 Cr). `wrong_interlace` reads every picture a line further on,
// its last line repeated: PPM and luma move up a line, PGM chroma up one of
// its own lines.
enum class PnmKind { ppm, pgm };
Result<std::unique_ptr<PictureInput>> open_pnm_sequence(const std::string &pattern, PnmKind kind,
                                                        bool wrong_interlace);
// Raw frames of the system's size one after another: packed YUY2 (Y Cb Y
// Cr, 4:2:2) or packed R G B.
enum class RawLayout { yuy2, rgb };
Result<std::unique_ptr<PictureInput>> open_raw(const std::string &path, RawLayout layout,
                                               tarsk_system system);

// One PNG picture as 8-bit RGB: grey and palette pictures expanded, alpha
// dropped, 16-bit samples scaled to 8 bits with rounding.
Result<Picture> read_png(const std::string &path);

// The DV system of pictures of this size (720 x 576: 625/50, 720 x 480:
// 525/60), or why there is none; `name` starts the message.
Result<tarsk_system> system_of_size(const std::string &name, int width, int height);

}  // namespace tarsk::cli
