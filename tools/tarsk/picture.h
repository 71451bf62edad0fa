// Pictures as the tarsk command reads them before encoding: planes at the
// sampling they came in, and the one conversion that brings them to the DV
// stream's own sampling.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarsk::cli {

// How a picture's colour is carried. The Y'CbCr samplings keep three
// planes (chroma planes smaller than luma where the sampling thins them);
// rgb keeps packed R G B bytes, full range.
enum class Sampling { s420, s411, s422, s444, rgb };

std::string sampling_label(Sampling sampling);  // "4:2:0", ..., "RGB"

struct Picture {
  int width = 0, height = 0;
  Sampling sampling = Sampling::s420;
  std::vector<uint8_t> y, cb, cr;  // Y'CbCr samplings, studio range (ITU-R BT.601)
  std::vector<uint8_t> rgb;        // Sampling::rgb only
  // DV pictures are interlaced, bottom field first; inputs may say
  // otherwise, and the encoder will want to know.
  bool interlaced = true, top_field_first = false;
  // 4:2:0 chroma per field, as interlaced DV carries it (YUV4MPEG2's
  // C420paldv); false: each chroma line between two neighbouring picture
  // lines (C420jpeg, C420mpeg2, and progressive DV).
  bool field_chroma = true;
};

// Size of a chroma plane of a picture `width` x `height` at `sampling`
// (not rgb).
int chroma_width(Sampling sampling, int width);
int chroma_height(Sampling sampling, int height);

// A picture of the size and sampling with its planes allocated and filled
// with black (Y' 16, Cb Cr 128; RGB 0).
Picture blank_picture(int width, int height, Sampling sampling);

// Brings Y'CbCr samples that run over the whole byte (0 to 255, as JPEG
// and full-range video carry them) to the studio range DV codes: luma
// 0..255 to 16..235, Y' = 16 + 219 v / 255; chroma about 128 so that 0..255
// go to 16..240, C = 128 + 224 (v - 128) / 255; each rounded to the nearest.
// The chroma planes are left alone when `chroma` is false (grey pictures,
// whose chroma is neutral already). Not for rgb pictures.
void full_to_studio_range(Picture &picture, bool chroma = true);

// The samplings of a DV stream: 4:2:0 (625/50 as IEC 61834 has it) and
// 4:1:1 (525/60, and 625/50 as SMPTE 314M has it).
enum class StreamSampling { s420, s411 };

// Brings a picture to a DV stream's sampling. A picture already at the
// target comes back untouched. Every other
// sampling goes to the target in one filter step from the samples it has,
// rounded once:
//
// Where samples sit: luma at every pixel; 4:4:4 chroma the same; 4:2:2
// chroma at the even pixels of every line; 4:1:1 chroma at every fourth
// pixel (0, 4, ...) of every line; 4:2:0 chroma at the even pixels, and
// vertically as DV has it: in interlaced pictures per field, chroma line
// 2m + f belonging to field f (f = 0: lines 0, 2, 4, ...) halfway between
// that field's lines 2m and 2m + 1, picture lines 4m + f and 4m + f + 2;
// in progressive ones halfway between picture lines 2k and 2k + 1. A 4:2:0
// picture keeps its chroma as it is (one whose chroma is not per field
// although the picture is interlaced has its fields' colours mixed
// already).
//
// Horizontally, chroma thinned by a factor r (2 or 4) is a triangle of
// 2r - 1 taps around the kept pixel: 4:4:4 to every other pixel [1 2 1]/4,
// to every fourth [1 2 3 4 3 2 1]/16, 4:2:2 or 4:2:0 to every fourth
// [1 2 1]/4 over its own chroma samples. 4:1:1 to every other pixel is
// linear interpolation: the samples themselves at 0, 4, ..., the mean of
// two neighbours at 2, 6, ....
//
// Vertically, chroma on every line going to 4:2:0 is [-1 9 9 -1]/16 over
// the two lines it sits between and the one beyond each: of its field for
// interlaced pictures (lines 4m + f - 2, 4m + f, 4m + f + 2, 4m + f + 4;
// each field keeps its own colour), of the picture for progressive ones
// (2k - 1 to 2k + 2).
// 4:2:0 going to every line is linear interpolation between the chroma
// lines about it, within each field for per-field chroma: field line j
// takes 3/4 of the field's chroma line j / 2 and 1/4 of the one before
// (even j) or after (odd j); otherwise line 2k takes (3 c[k] + c[k-1]) / 4,
// line 2k + 1 (3 c[k] + c[k+1]) / 4.
//
// Picture edges repeat their last sample (of the field, for a field's
// lines). RGB is first made Y'CbCr 4:4:4
// through ITU-R BT.601 in studio range, the inverse of the matrix that
// `tarsk decode` turns Y'CbCr into RGB with: with R, G, B from 0 to 1 and
// E = 0.299 R + 0.587 G + 0.114 B, Y' = 16 + 219 E, Cb = 128 + 224 (B - E)
// / 1.772, Cr = 128 + 224 (R - E) / 1.402. Its chroma goes through the
// filter unrounded; every sample is rounded to the nearest once.
Picture to_stream_sampling(Picture picture, StreamSampling stream);

}  // namespace tarsk::cli
