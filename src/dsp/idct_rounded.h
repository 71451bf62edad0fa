// The rounded inverse transforms of the accurate reconstruction, written
// once over a lane type V: float in the plain kernels, a vector of floats in
// the SIMD ones. Every sample goes through the same single-precision
// operations in the same order whatever V is, and the build forbids fusing
// a multiply with an add (-ffp-contract=off), so the plain and the SIMD
// kernels agree bit for bit on every build. Single precision keeps errors
// of about 1e-5 on samples of a few hundred, far inside the accuracy the
// decoder promises.
//
// Internal linkage: each kernel file instantiates its own lane type (a SIMD
// file compiles these templates for its instruction set).
#pragma once

#include "common/transform.h"

namespace tarsk::dsp {
namespace {

// The cosines of the butterflies as lanes: c[k] = cos(k pi/16) for the
// 8-point transform, d[k] = cos(k pi/8) for the 4-point one.
template <class V>
struct Cosines {
  V c[8];
  V d[4];
};

// Made once per lane type, each cosine in every lane (V::splat).
template <class V>
const Cosines<V> &lane_cosines() {
  static const Cosines<V> k = [] {
    const Idct88Tables &t = idct88_tables;
    Cosines<V> r;
    // cos((2n + 1) k pi/16) at n = 0.
    for (int i = 0; i < 8; ++i) r.c[i] = V::splat(static_cast<float>(t.cosine8[i][0]));
    for (int i = 0; i < 4; ++i) r.d[i] = V::splat(static_cast<float>(t.cosine4[i][0]));
    return r;
  }();
  return k;
}

// The unnormalised 8-point inverse transform in place,
// x[n] = sum over k of X[k] cos((2n + 1) k pi/16): the even coefficients'
// half (two 2-point butterflies), the odd ones' (a 4x4 product), then their
// sums and differences, which mirror each other across the line.
template <class V>
inline void idct8(V *x, const Cosines<V> &k) {
  const V p = x[0] + k.c[4] * x[4], q = x[0] - k.c[4] * x[4];
  const V r = k.c[2] * x[2] + k.c[6] * x[6], s = k.c[6] * x[2] - k.c[2] * x[6];
  const V e0 = p + r, e1 = q + s, e2 = q - s, e3 = p - r;
  const V o0 = k.c[1] * x[1] + k.c[3] * x[3] + k.c[5] * x[5] + k.c[7] * x[7];
  const V o1 = k.c[3] * x[1] - k.c[7] * x[3] - k.c[1] * x[5] - k.c[5] * x[7];
  const V o2 = k.c[5] * x[1] - k.c[1] * x[3] + k.c[7] * x[5] + k.c[3] * x[7];
  const V o3 = k.c[7] * x[1] - k.c[5] * x[3] + k.c[3] * x[5] - k.c[1] * x[7];
  x[0] = e0 + o0;
  x[1] = e1 + o1;
  x[2] = e2 + o2;
  x[3] = e3 + o3;
  x[4] = e3 - o3;
  x[5] = e2 - o2;
  x[6] = e1 - o1;
  x[7] = e0 - o0;
}

// The unnormalised 4-point inverse transform in place,
// x[n] = sum over k of X[k] cos((2n + 1) k pi/8).
template <class V>
inline void idct4(V *x, const Cosines<V> &k) {
  const V p = x[0] + k.d[2] * x[2], q = x[0] - k.d[2] * x[2];
  const V r = k.d[1] * x[1] + k.d[3] * x[3], s = k.d[3] * x[1] - k.d[1] * x[3];
  x[0] = p + r;
  x[1] = q + s;
  x[2] = q - s;
  x[3] = p - r;
}

// 8x8: rows[v] holds row v of the block, each coefficient already times its
// factor (lanes: h). Down every column, then along every line; rows[y]
// ends with line y (lanes: x). The lane type's `transpose` swaps lanes and
// rows.
template <class V>
inline void idct_88_lanes(V *rows, const Cosines<V> &k) {
  idct8(rows, k);
  transpose(rows);
  idct8(rows, k);
  transpose(rows);
}

// 2-4-8: rows as above. Per column, the sums (rows 0-3 plus rows 4-7) and
// differences of the two fields' coefficients; the 8-point transform along
// each of these eight rows; the 4-point transform down each field; line 2z
// from the sums' z, line 2z + 1 from the differences'.
template <class V>
inline void idct_248_lanes(V *rows, const Cosines<V> &k) {
  V fields[8];
#pragma GCC unroll 4
  for (int v = 0; v < 4; ++v) {
    fields[v] = rows[v] + rows[v + 4];
    fields[v + 4] = rows[v] - rows[v + 4];
  }
  transpose(fields);
  idct8(fields, k);
  transpose(fields);
  idct4(fields, k);
  idct4(fields + 4, k);
#pragma GCC unroll 4
  for (int z = 0; z < 4; ++z) {
    rows[2 * z] = fields[z];
    rows[2 * z + 1] = fields[z + 4];
  }
}

}  // namespace
}  // namespace tarsk::dsp
