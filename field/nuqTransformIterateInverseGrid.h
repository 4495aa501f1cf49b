// Voxel arithmetic shared by the two inverse methods (internal to field/).
#pragma once

#include <cmath>

#include "nuqImageData.h"

namespace nuqinverse {

// The result grid as the inner loops need it.
struct Grid {
  int n[4];
  float h[3];
  int slice;
  int volume;
};

inline Grid MakeGrid(const nuqImageDataT<float> &image) {
  Grid g;
  for (int d = 0; d < 4; ++d) g.n[d] = image.GetSizeArray()[d] > 0 ? image.GetSizeArray()[d] : 1;
  for (int d = 0; d < 3; ++d) g.h[d] = image.GetSpacingArray()[d];
  g.slice = g.n[0] * g.n[1];
  g.volume = g.slice * g.n[2];
  return g;
}

// Integer part (toward zero) of c plus offset when that is a voxel index of
// an axis of n voxels; -1 otherwise. Tested in float first, so non-finite
// or far-away indices never reach an integer conversion.
inline int RoleAxis(float c, int offset, int n) {
  const float v = std::trunc(c) + float(offset);
  if (!(v >= 0.0f && v <= float(n - 1))) return -1;
  return int(v);
}

// Voxel of corner role (cx, cy, cz) for a mapped sample with continuous
// index idx: its linear index (false when outside the grid) and the squared
// distance in mm^2 from the voxel to the mapped sample.
inline bool RoleVoxel(const Grid &g, const float *idx, int cx, int cy, int cz, int &linear,
                      float &d2) {
  const int vx = RoleAxis(idx[0], cx, g.n[0]);
  const int vy = RoleAxis(idx[1], cy, g.n[1]);
  const int vz = RoleAxis(idx[2], cz, g.n[2]);
  const int vt = RoleAxis(idx[3], 0, g.n[3]);
  if (vx < 0 || vy < 0 || vz < 0 || vt < 0) return false;
  const float ex = (float(vx) - idx[0]) * g.h[0];
  const float ey = (float(vy) - idx[1]) * g.h[1];
  const float ez = (float(vz) - idx[2]) * g.h[2];
  d2 = ex * ex + ey * ey + ez * ez;
  linear = vx + vy * g.n[0] + vz * g.slice + vt * g.volume;
  return true;
}

}  // namespace nuqinverse
