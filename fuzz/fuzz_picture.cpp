// The picture readers of the encoder's side on any file: the library's
// "ppm" and "pgm" input filters, and the tool's PPM, PGM, Y4M, PNG, JPEG and
// raw readers.
//
// Input: one option byte, then the file.
//   bits 0-2: the reader: 0 ppm, 1 pgm (the library's filters), 2 PPM,
//             3 PGM (the tool's, as the first of a numbered series), 4 PNG
//             (the same), 5 raw YUY2, 6 raw RGB, 7 Y4M
//   bit 3:    wrong interlace (filters, the tool's PPM and PGM); 525/60 (raw);
//             JPEG instead of PNG
//   bits 4-5: force_dct for the filters: -1, 0, 1, 2 (refused)
//   bit 6:    filters: the frame encoded through the filter, and the file
//             loaded and encoded again (else the filter fills every
//             macroblock, unencoded); PPM, PGM, PNG, JPEG: a second picture of
//             the series
//   bit 7:    the file goes on after the input with 1.3 MB of the input
//             repeated, so that short inputs still hold whole pictures
//
// Checks: a filter that loads a picture says its system, and the frame the
// encoder makes of it through the filter parses back (as the encode loop
// makes it) and is made again the same from the file loaded again; a
// reader's pictures have the size, sampling and planes its
// format says, and bring themselves to the stream's sampling.
#include <tarsk/dv.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "../tools/tarsk/input.h"
#include "../tools/tarsk/picture.h"
#include "common.h"
#include "common/dif.h"
#include "common/place.h"
#include "encode/encode.h"
#include "round_trip.h"
#include "work_dir.h"

namespace {

using namespace tarsk::cli;

const fuzz::WorkDir &work_dir() {
  static const fuzz::WorkDir dir("tarsk-fuzz-picture");
  return dir;
}

dv_enc_input_filter_t *filter_named(const char *name) {
  dv_enc_input_filter_t *filters = nullptr;
  int count = 0;
  dv_enc_get_input_filters(&filters, &count);
  for (int i = 0; i < count; ++i)
    if (std::strcmp(filters[i].filter_name, name) == 0) return &filters[i];
  return nullptr;
}

// One picture through a library filter, encoded as the loop encodes it.
void through_filter(const char *name, const std::string &file, bool wrong_interlace, int force_dct,
                    bool twice) {
  dv_enc_input_filter_t *filter = filter_named(name);
  FUZZ_CHECK(filter != nullptr);
  if (filter->init(wrong_interlace, force_dct) != 0) {
    FUZZ_CHECK(force_dct < -1 || force_dct > 1);
    return;
  }
  int isPAL = -1;
  if (filter->load(file.c_str(), &isPAL) == 0 && !twice) {
    FUZZ_CHECK(isPAL == 0 || isPAL == 1);
    // Every macroblock of the picture, as the encoder places them.
    const bool pal = isPAL != 0;
    for (int i = 0; i < tarsk::dif::sequences(pal); ++i)
      for (int k = 0; k < tarsk::dif::segments_per_sequence; ++k)
        for (int m = 0; m < tarsk::dif::macroblocks_per_segment; ++m) {
          static dv_macroblock_t mb;
          const auto at = tarsk::dif::macroblock_address(i, k, m, tarsk::dif::sequences(pal));
          mb.i = at.i;
          mb.j = at.j;
          mb.k = at.k;
          tarsk::place_macroblock(&mb, pal ? e_dv_sample_420 : e_dv_sample_411);
          filter->fill_macroblock(&mb, isPAL);
          for (const dv_block_t &b : mb.b) FUZZ_CHECK(b.dct_mode == 0 || b.dct_mode == 1);
        }
  } else if (isPAL != -1) {
    FUZZ_CHECK(isPAL == 0 || isPAL == 1);
    std::vector<uint8_t> frame(tarsk::dif::frame_size(true));
    dv_videosegment_t seg{};
    tarsk::EncodeStats stats{};
    tarsk::encode(filter, isPAL, frame.data(), 3, 0, &seg, stats);
    frame.resize(tarsk::dif::frame_size(isPAL != 0));
    _dv_write_meta_data(frame.data(), 0, isPAL, 0, nullptr);
    fuzz::check_parses(frame, isPAL != 0);
    {
      int again = -1;
      FUZZ_CHECK(filter->load(file.c_str(), &again) == 0 && again == isPAL);
      std::vector<uint8_t> second(tarsk::dif::frame_size(true));
      tarsk::encode(filter, isPAL, second.data(), 3, 0, &seg, stats);
      second.resize(frame.size());
      _dv_write_meta_data(second.data(), 0, isPAL, 0, nullptr);
      FUZZ_CHECK(second == frame);
    }
  }
  filter->finish();
}

// A picture as a reader hands it out, and brought to the stream's sampling.
void check_picture(const VideoFormat &format, Picture picture) {
  FUZZ_CHECK(picture.width == 720 && picture.height == format.height);
  FUZZ_CHECK(format.height == (format.system == TARSK_SYSTEM_625_50 ? 576 : 480));
  FUZZ_CHECK(picture.sampling == format.sampling);
  const size_t pixels = size_t{720} * static_cast<size_t>(picture.height);
  if (picture.sampling == Sampling::rgb) {
    FUZZ_CHECK(picture.rgb.size() == 3 * pixels);
  } else {
    const size_t chroma = static_cast<size_t>(chroma_width(picture.sampling, 720)) *
                          static_cast<size_t>(chroma_height(picture.sampling, picture.height));
    FUZZ_CHECK(picture.y.size() == pixels);
    FUZZ_CHECK(picture.cb.size() == chroma && picture.cr.size() == chroma);
  }
  const bool pal = format.system == TARSK_SYSTEM_625_50;
  const Sampling target = pal ? Sampling::s420 : Sampling::s411;
  const Picture out = to_stream_sampling(std::move(picture),
                                         pal ? StreamSampling::s420 : StreamSampling::s411);
  const size_t chroma = static_cast<size_t>(chroma_width(target, 720)) *
                        static_cast<size_t>(chroma_height(target, out.height));
  FUZZ_CHECK(out.sampling == target && out.y.size() == pixels);
  FUZZ_CHECK(out.cb.size() == chroma && out.cr.size() == chroma);
}

// Pictures from a reader until it ends or fails (at most `most`).
void through_reader(Result<std::unique_ptr<PictureInput>> input, int most) {
  if (!input) {
    FUZZ_CHECK(!input.error().message.empty());
    return;
  }
  for (int n = 0; n < most; ++n) {
    auto next = (*input)->next();
    if (!next) {
      FUZZ_CHECK(!next.error().message.empty());
      return;
    }
    if (!*next) return;
    check_picture((*input)->format(), std::move(**next));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Options opt{data, size};
  const uint8_t options = opt.take();
  const int reader = options & 7;
  const bool flag = (options >> 3) & 1;
  const int force_dct = ((options >> 4) & 3) - 1;
  const bool twice = (options >> 6) & 1;
  const auto &dir = work_dir().path;
  // The file: the input, and with bit 7 the input repeated after it.
  std::vector<uint8_t> bytes(opt.data, opt.data + opt.size);
  if ((options & 0x80) && opt.size > 0) {
    bytes.resize(opt.size + 1300000);
    for (size_t at = opt.size; at < bytes.size(); at += opt.size)
      std::memcpy(bytes.data() + at, opt.data, std::min(opt.size, bytes.size() - at));
  }
  opt = fuzz::Options{bytes.data(), bytes.size()};
  switch (reader) {
    case 0:
    case 1:
      through_filter(reader == 0 ? "ppm" : "pgm", fuzz::save(dir, "picture", opt.data, opt.size),
                     flag, force_dct, twice);
      break;
    case 2:
    case 3: {
      std::filesystem::remove(dir / "p1.pnm");
      fuzz::save(dir, "p0.pnm", opt.data, opt.size);
      if (twice) fuzz::save(dir, "p1.pnm", opt.data, opt.size);
      through_reader(open_pnm_sequence((dir / "p%d.pnm").string(),
                                       reader == 2 ? PnmKind::ppm : PnmKind::pgm, flag),
                     3);
      break;
    }
    case 4: {
      const std::string ext = flag ? ".jpg" : ".png";
      std::filesystem::remove(dir / ("p1" + ext));
      fuzz::save(dir, ("p0" + ext).c_str(), opt.data, opt.size);
      if (twice) fuzz::save(dir, ("p1" + ext).c_str(), opt.data, opt.size);
      const std::string pattern = (dir / ("p%d" + ext)).string();
      through_reader(flag ? open_jpeg_sequence(pattern) : open_png_sequence(pattern), 3);
      break;
    }
    case 5:
    case 6:
      through_reader(open_raw(fuzz::save(dir, "picture", opt.data, opt.size),
                              reader == 5 ? RawLayout::yuy2 : RawLayout::rgb,
                              flag ? TARSK_SYSTEM_525_60 : TARSK_SYSTEM_625_50),
                     3);
      break;
    default:
      through_reader(open_y4m(fuzz::save(dir, "picture.y4m", opt.data, opt.size)), 3);
      break;
  }
  return 0;
}
