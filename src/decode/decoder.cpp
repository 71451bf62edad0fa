// The decoder object and its popt option tables.
#include "decode/decoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/log.h"

namespace {

// An option's names as its usage shows them: "-q, --quality", "-q" or
// "--quality".
std::string option_names(const struct poptOption &o) {
  const std::string brief = o.shortName ? std::string("-") + o.shortName : "";
  const std::string full = o.longName ? std::string("--") + o.longName : "";
  return brief.empty() || full.empty() ? brief + full : brief + ", " + full;
}

// The defaults of the library's own integer options, by long name: what an
// invalid value is put back to. The audio options (in audio_header.cpp)
// default to 0 as well: take the stream's own value.
constexpr int default_block_quality = 3;  // every AC coefficient, multi-pass
struct OptionDefault {
  const char *long_name;
  int value;
};
constexpr OptionDefault option_defaults[] = {{"video-system", 0},
                                             {"quality", default_block_quality},
                                             {"frequency", 0},
                                             {"quantization", 0},
                                             {"emphasis", 0}};

void restore_default(const struct poptOption &o) {
  if ((o.argInfo & POPT_ARG_MASK) != POPT_ARG_INT || o.arg == nullptr || o.longName == nullptr)
    return;
  for (const OptionDefault &d : option_defaults)
    if (std::strcmp(o.longName, d.long_name) == 0) *static_cast<int *>(o.arg) = d.value;
}

}  // namespace

extern "C" {

// The popt callbacks call this for an option's invalid value. A library
// does not end its caller's process over an option: the usage line is
// logged, and one of the library's own options goes back to its default
// (others are left as they are), so that decoding goes on with it.
void dv_opt_usage(poptContext, struct poptOption *opt, int num) {
  const struct poptOption &o = opt[num];
  const std::string names = option_names(o);
  if (o.argDescrip)
    tarsk::log(tarsk::LogLevel::warning, "%s=%s\n", names.c_str(), o.argDescrip);
  else
    tarsk::log(tarsk::LogLevel::warning, "%s: invalid usage\n", names.c_str());
  restore_default(o);
}

void dv_decoder_popt_callback(poptContext con, enum poptCallbackReason, const struct poptOption *,
                              const char *, const void *data) {
  auto *dv = static_cast<dv_decoder_t *>(const_cast<void *>(data));
  if (static_cast<unsigned>(dv->arg_video_system) > 3) dv_opt_usage(con, dv->option_table, 0);
}

void dv_video_popt_callback(poptContext con, enum poptCallbackReason, const struct poptOption *,
                            const char *, const void *data) {
  auto *video = static_cast<dv_video_t *>(const_cast<void *>(data));
  if (video->arg_block_quality < 1 || video->arg_block_quality > 3)
    dv_opt_usage(con, video->option_table, 0);
  switch (video->arg_block_quality) {
    case 2:
      video->quality |= DV_QUALITY_AC_1;
      break;
    case 3:
      video->quality |= DV_QUALITY_AC_2;
      break;
    default:  // 1: the DC alone
      break;
  }
  if (video->arg_monochrome == 0) video->quality |= DV_QUALITY_COLOR;
}

dv_video_t *dv_video_new(void) {
  auto *video = static_cast<dv_video_t *>(std::calloc(1, sizeof(dv_video_t)));
  if (video == nullptr) return nullptr;
  video->arg_block_quality = default_block_quality;
  video->option_table[0] = {
      "quality", 'q', POPT_ARG_INT, &video->arg_block_quality, 0,
      "video quality level (coeff. parsing):  1=DC and no ACs, 2=DC and single-pass for ACs , "
      "3=DC and multi-pass for ACs [default]",
      "(1|2|3)"};
  video->option_table[1] = {"monochrome", 'm', POPT_ARG_NONE, &video->arg_monochrome, 0,
                            "skip decoding of color blocks", nullptr};
  video->option_table[2] = {nullptr, '\0', POPT_ARG_CALLBACK | POPT_CBFLAG_POST,
                            reinterpret_cast<void *>(dv_video_popt_callback), 0,
                            reinterpret_cast<const char *>(video), nullptr};
  video->option_table[3] = {};
  return video;
}

FILE *dv_set_error_log(dv_decoder_t *dv, FILE *log) {
  FILE *previous = dv->audio->error_log;
  dv->video->error_log = log;
  dv->audio->error_log = log;
  return previous;
}

void dv_decoder_free(dv_decoder_t *decoder) {
  if (decoder == nullptr) return;
  std::free(decoder->audio);
  std::free(decoder->video);
  std::free(decoder);
}

}  // extern "C"

namespace tarsk {

dv_decoder_t *new_decoder(int add_ntsc_setup, int clamp_luma, int clamp_chroma) {
  auto *dv = static_cast<dv_decoder_t *>(std::calloc(1, sizeof(dv_decoder_t)));
  if (dv == nullptr) return nullptr;
  dv->add_ntsc_setup = add_ntsc_setup;
  dv->clamp_luma = clamp_luma;
  dv->clamp_chroma = clamp_chroma;
  dv->video = dv_video_new();
  dv->audio = dv_audio_new();
  if (dv->video == nullptr || dv->audio == nullptr) {
    dv_decoder_free(dv);
    return nullptr;
  }
  dv->video->dv_decoder = dv;
  dv->audio->dv_decoder = dv;
  dv_set_error_log(dv, stderr);
  dv_set_audio_correction(dv, 2);

  dv->option_table[0] = {
      "video-system", 'V', POPT_ARG_INT, &dv->arg_video_system, 0,
      "video standard:0=autoselect [default], 1=525/60 4:1:1 (NTSC), 2=625/50 4:2:0 (PAL,IEC "
      "61834 DV), 3=625/50 4:1:1 (PAL,SMPTE 314M DV)",
      "(0|1|2|3)"};
  dv->option_table[1] = {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, dv->video->option_table, 0,
                         "Video decode options", nullptr};
  dv->option_table[2] = {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, dv->audio->option_table, 0,
                         "Audio decode options", nullptr};
  dv->option_table[3] = {nullptr, '\0', POPT_ARG_CALLBACK | POPT_CBFLAG_POST,
                         reinterpret_cast<void *>(dv_decoder_popt_callback), 0,
                         reinterpret_cast<const char *>(dv), nullptr};
  dv->option_table[4] = {"ntsc-setup", '\0', POPT_ARG_INT, &dv->add_ntsc_setup, 0,
                         "add 7.5 IRE setup to NTSC only:  0=off, 1=on [default]", "(0|1)"};
  dv->option_table[5] = {};
  return dv;
}

}  // namespace tarsk
