// dv.h's macroblock writers write with the tables of one clamp setting a
// layout, chosen for the whole process: by dv_init's first caller, then by
// dv_reconfigure and the layouts' own dv_*_init.
#pragma once

namespace tarsk::classic {

// Makes a clamp setting (a flag of 1 clamps, any other value does not) the
// one of a layout's writers: YUY2, RGB and BGR0, or YV12.
void choose_yuy2(int clamp_luma, int clamp_chroma);
void choose_rgb(int clamp_luma, int clamp_chroma);
void choose_yv12(int clamp_luma, int clamp_chroma);

}  // namespace tarsk::classic
