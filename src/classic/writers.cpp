// dv.h's macroblock writers, each with the tables of the clamp setting
// chosen for its layout across the process, and the choice itself.
#include "classic/writers.h"

#include <tarsk/dv.h>

#include "decode/output/output.h"
#include "dsp/dsp.h"

namespace tarsk::classic {
namespace {

using output::Tables;

// The tables of each layout's chosen setting. They are set before any
// initialiser of another file could call dv_init: until a choice, null,
// which stands for no clamping.
constinit const Tables *yuy2_choice = nullptr;
constinit const Tables *rgb_choice = nullptr;
constinit const Tables *yv12_choice = nullptr;

const Tables &chosen(const Tables *choice) {
  return choice != nullptr ? *choice : output::tables(0, 0);
}
const dsp::Yuy2Tables &yuy2() { return chosen(yuy2_choice).yuy2; }
const output::RgbTables &rgb() { return chosen(rgb_choice).rgb; }
const output::Yv12Tables &yv12() { return chosen(yv12_choice).yv12; }

}  // namespace

void choose_yuy2(int clamp_luma, int clamp_chroma) {
  yuy2_choice = &output::tables(clamp_luma, clamp_chroma);
}
void choose_rgb(int clamp_luma, int clamp_chroma) {
  rgb_choice = &output::tables(clamp_luma, clamp_chroma);
}
void choose_yv12(int clamp_luma, int clamp_chroma) {
  yv12_choice = &output::tables(clamp_luma, clamp_chroma);
}

}  // namespace tarsk::classic

using tarsk::output::Shape;
using tarsk::output::write_bgr0;
using tarsk::output::write_rgb;
using namespace tarsk::classic;

extern "C" {

void dv_YUY2_init(int clamp_luma, int clamp_chroma) {
  dv_init(clamp_luma, clamp_chroma);
  choose_yuy2(clamp_luma, clamp_chroma);
}

void dv_mb411_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  tarsk::dsp::dsp().yuy2.mb411(mb, pixels[0], pitches[0], yuy2(), add_ntsc_setup == 1);
}

void dv_mb411_right_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  tarsk::dsp::dsp().yuy2.mb411_right(mb, pixels[0], pitches[0], yuy2(), add_ntsc_setup == 1);
}

void dv_mb420_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  tarsk::dsp::dsp().yuy2.mb420(mb, pixels[0], pitches[0], yuy2(), false);
}

void dv_rgb_init(int clamp_luma, int clamp_chroma) {
  dv_init(clamp_luma, clamp_chroma);
  choose_rgb(clamp_luma, clamp_chroma);
}

void dv_mb411_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  write_rgb(mb, Shape::mb411, pixels[0], pitches[0], rgb(), add_ntsc_setup == 1);
}

void dv_mb411_right_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  write_rgb(mb, Shape::mb411_right, pixels[0], pitches[0], rgb(), add_ntsc_setup == 1);
}

void dv_mb420_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  write_rgb(mb, Shape::mb420, pixels[0], pitches[0], rgb(), false);
}

void dv_mb411_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  write_bgr0(mb, Shape::mb411, pixels[0], pitches[0], rgb(), add_ntsc_setup == 1);
}

void dv_mb411_right_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  write_bgr0(mb, Shape::mb411_right, pixels[0], pitches[0], rgb(), add_ntsc_setup == 1);
}

void dv_mb420_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  write_bgr0(mb, Shape::mb420, pixels[0], pitches[0], rgb(), false);
}

void dv_YV12_init(int clamp_luma, int clamp_chroma) {
  dv_init(clamp_luma, clamp_chroma);
  choose_yv12(clamp_luma, clamp_chroma);
}

void dv_mb420_YV12(dv_macroblock_t *mb, uint8_t **pixels, uint16_t *pitches) {
  tarsk::output::write_yv12(mb, pixels, pitches, yv12());
}

}  // extern "C"
