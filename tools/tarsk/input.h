// Pictures for `tarsk encode`: a YUV4MPEG2 stream (a file or a pipe),
// numbered PNG, JPEG, PPM or PGM files, a single PNG or JPEG picture held
// still, or raw YUY2 or RGB frames as `tarsk decode` writes them. Every reader checks that its
// pictures are a DV system's and says how to convert them when they are not; every failure is a
// message that names the file and, once pictures are coming, the frame.
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
  bool progressive = false;  // the input says its pictures are not interlaced
  Sampling sampling = Sampling::s420;  // as the input carries its pictures
  // The input's Y'CbCr samples run from 0 to 255 (a Y4M of
  // XCOLORRANGE=FULL); the reader has brought them to studio range.
  bool full_range = false;
};

// What DV makes of pictures of `width` x `height` whose pixels are
// `pixel` wide for 1 high. DV marks a picture 4:3 or 16:9 and nothing else:
// `wide` is the nearer of the two, `near` whether the picture's own shape
// (`shape`, width over height) is within 10% of it. The common pixel
// aspects of DV-sized pictures are all near: 16:15, 12:11 and 59:54 of
// 720x576 and 8:9, 10:11 of 720x480 are 4:3; 64:45, 16:11 and 32:27, 40:33
// are 16:9; square pixels make 720x576 5:4 (near 4:3) but 720x480 3:2,
// which is near neither. Nothing when the pixel aspect is unknown (0:0).
struct DisplayAspect {
  bool wide = false, near = false;
  double shape = 0;
};
std::optional<DisplayAspect> display_aspect(int width, int height, Ratio pixel);

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

// A printf-style name with the frame number, "frame%04d.jpg": JPEG pictures
// as for PNG.
Result<std::unique_ptr<PictureInput>> open_jpeg_sequence(const std::string &pattern);
// One PNG or JPEG picture, the same in every frame of `seconds` at its
// system's rate (rounded to the nearest frame, at least one).
enum class StillKind { png, jpeg };
Result<std::unique_ptr<PictureInput>> open_still(const std::string &path, StillKind kind,
                                                 double seconds);

// One JPEG picture: Y'CbCr ones (JFIF, full range) brought to studio range
// at 4:4:4, grey ones to studio-range luma with neutral chroma, RGB ones as
// 8-bit RGB. CMYK is refused, and so is a picture that libjpeg could only
// read with damage (data cut short, bad codes): it would fill the rest in.
Result<Picture> read_jpeg(const std::string &path);

// One PNG picture as 8-bit RGB: grey and palette pictures expanded, alpha
// dropped, 16-bit samples scaled to 8 bits with rounding.
Result<Picture> read_png(const std::string &path);

// The DV system of pictures of this size (720 x 576: 625/50, 720 x 480:
// 525/60), or why there is none; `name` starts the message.
Result<tarsk_system> system_of_size(const std::string &name, int width, int height);

}  // namespace tarsk::cli
