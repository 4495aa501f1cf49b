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

// The forward pass splits its updates between threads by blocks of voxel
// rows: share `part` of `parts` owns the voxels whose y index lies in a block
// numbered part modulo parts, so every voxel sees its updates in sample order
// whatever the thread count. Blocks of several rows let a thread pass over
// most samples of the other threads after one look at their row.
struct Share {
  int part = 0;
  int parts = 1;
  bool Owns(int vy) const { return parts == 1 || (vy >> 4) % parts == part; }
};

// The 8 corner roles of one mapped sample at once: what RoleVoxel gives for
// each role, with the per-axis work (truncation, bounds, squared distance
// terms) done once per axis instead of once per role.
struct Corners {
  int linear[8];
  float d2[8];
};

// Fills the roles of voxels in the grid that the share owns and returns
// them as a bit set (bit k for role k); the other entries are 0.
inline unsigned CornerVoxels(const Grid &g, const float *idx, const Share &share, Corners &out) {
  int v[3][2];
  for (int c = 0; c < 2; ++c) {
    v[1][c] = RoleAxis(idx[1], c, g.n[1]);
    if (v[1][c] >= 0 && !share.Owns(v[1][c])) v[1][c] = -1;
  }
  if (v[1][0] < 0 && v[1][1] < 0) return 0;
  const int vt = RoleAxis(idx[3], 0, g.n[3]);
  if (vt < 0) return 0;
  for (int c = 0; c < 2; ++c) {
    v[0][c] = RoleAxis(idx[0], c, g.n[0]);
    v[2][c] = RoleAxis(idx[2], c, g.n[2]);
  }
  float e2[3][2];
  for (int a = 0; a < 3; ++a)
    for (int c = 0; c < 2; ++c) {
      const float e = v[a][c] >= 0 ? (float(v[a][c]) - idx[a]) * g.h[a] : 0.0f;
      e2[a][c] = e * e;
    }
  unsigned roles = 0;
  for (int k = 0; k < 8; ++k) {
    const int cx = k & 1, cy = (k >> 1) & 1, cz = (k >> 2) & 1;
    out.d2[k] = 0;
    out.linear[k] = 0;
    if (v[0][cx] < 0 || v[1][cy] < 0 || v[2][cz] < 0) continue;
    roles |= 1u << k;
    // Summed in the order of RoleVoxel, so the distances are the same.
    out.d2[k] = e2[0][cx] + e2[1][cy] + e2[2][cz];
    out.linear[k] = v[0][cx] + v[1][cy] * g.n[0] + v[2][cz] * g.slice + vt * g.volume;
  }
  return roles;
}

}  // namespace nuqinverse
