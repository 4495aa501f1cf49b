#include "nuqTransformIterateInverse.h"

#include <cmath>
#include <iostream>

#include "nuqConsole.h"
#include "nuqTransformIterateInverseGrid.h"

namespace {

// Role k = cx + 2 cy + 4 cz.
inline int RoleX(int k) { return k & 1; }
inline int RoleY(int k) { return (k >> 1) & 1; }
inline int RoleZ(int k) { return (k >> 2) & 1; }

// Distances at or above this never act as fill-in sources.
const float kNoSourceDistance = 1e20f;

// Raw buffers of the 8 role volumes of each working array.
struct RoleBuffers {
  float *dist[8];
  float *X[8];
  float *Y[8];
  float *Z[8];
};

RoleBuffers GetRoleBuffers(nuqImageDataT<float> *dist, nuqImageDataT<float> *X,
                           nuqImageDataT<float> *Y, nuqImageDataT<float> *Z) {
  RoleBuffers b;
  for (int k = 0; k < 8; ++k) {
    b.dist[k] = dist[k].GetImageData();
    b.X[k] = X[k].GetImageData();
    b.Y[k] = Y[k].GetImageData();
    b.Z[k] = Z[k].GetImageData();
  }
  return b;
}

// The nearest-sample update of the forward pass for all 8 roles of one
// sample; an equal distance keeps the earlier sample.
struct NearestUpdate {
  RoleBuffers b;
  // The roles in `roles` (bit k for role k) of one sample s.
  void operator()(const float *s, const nuqinverse::Corners &corners, unsigned roles) {
    for (int k = 0; k < 8; ++k) {
      if (!(roles >> k & 1u)) continue;
      const int v = corners.linear[k];
      const float d2 = corners.d2[k];
      float &best = b.dist[k][v];
      if (best < 0 || best > d2) {
        best = d2;
        b.X[k][v] = s[0];
        b.Y[k][v] = s[1];
        b.Z[k][v] = s[2];
      }
    }
  }
};

// Refinement lattice per axis is capped: a sound inverse spans a few cells
// around the point; only a wild field would ask for more.
const int kMaxRefinementCells = 32;

}  // namespace

nuqTransformIterateInverse::nuqTransformIterateInverse()
    : m_pTransform(nullptr),
      m_aiROIFrom{0, 0, 0, 0},
      m_aiROITo{0, 0, 0, 0},
      m_fDistanceWeightPower(1.2f),
      m_iMinSearchRadius(2),
      m_iMaxSearchRadius(10),
      m_fSamplingFactor(1.0f),
      m_iFilledInLastSweep(0) {}

nuqTransformIterateInverse::~nuqTransformIterateInverse() = default;

void nuqTransformIterateInverse::SetTransform(nuqTransformBase *transform) {
  m_pTransform = transform;
}

void nuqTransformIterateInverse::SetFieldGrid(int dim, const int *size, const float *spacing,
                                              nuqImageInfo *info) {
  NewTransformFields(dim, size, spacing, info);
}

void nuqTransformIterateInverse::SetROI(int dim, const int *from, const int *to) {
  SetDimension(dim);
  for (int d = 0; d < dim && d < 4; ++d) {
    m_aiROIFrom[d] = from[d];
    m_aiROITo[d] = to[d];
  }
}

void nuqTransformIterateInverse::SetSamplingFactor(float factor) { m_fSamplingFactor = factor; }

float nuqTransformIterateInverse::GetSamplingFactor() const { return m_fSamplingFactor; }

bool nuqTransformIterateInverse::ComputeInverse() { return ComputeInverseByDistanceInterpolate(); }

bool nuqTransformIterateInverse::PrepareComputation() {
  if (!m_pTransform || m_aFieldImages[0].IsEmpty()) return false;
  const nuqImageDataT<float> &grid = m_aFieldImages[0];
  // x, y and z components are written: fewer axes cannot hold the result.
  if (m_iDimension < 3 || grid.GetDimension() < 3) {
    std::cerr << "error: the inverse needs a grid with three spatial axes, this one has "
              << (m_iDimension < grid.GetDimension() ? m_iDimension : grid.GetDimension())
              << "\n";
    return false;
  }
  for (int c = 1; c < 3; ++c)
    if (m_aFieldImages[c].IsEmpty()) return false;
  if (!(m_fSamplingFactor >= kMinInverseSamplingFactor) || !std::isfinite(m_fSamplingFactor)) {
    std::cerr << "error: the sampling factor of the inverse must be a finite number of at least "
              << kMinInverseSamplingFactor << ", not " << m_fSamplingFactor << "\n";
    return false;
  }
  const int *size = grid.GetSizeArray();
  if (m_aiROIFrom[0] == m_aiROITo[0]) {
    // One cell beyond the grid on each side.
    for (int d = 0; d < 4; ++d) {
      m_aiROIFrom[d] = d < m_iDimension && d < 3 ? -1 : 0;
      m_aiROITo[d] = d < m_iDimension && d < 3 ? size[d] : 0;
    }
  } else {
    // A given region never reaches further than the default one: samples
    // beyond it cannot be nearer to a voxel than the border cells' samples
    // in a sound transform, and a huge region would never end.
    for (int d = 0; d < 3; ++d) {
      if (m_aiROIFrom[d] < -1) m_aiROIFrom[d] = -1;
      if (m_aiROITo[d] > size[d]) m_aiROITo[d] = size[d];
    }
  }
  return true;
}

bool nuqTransformIterateInverse::NewWorkingVolumes(nuqImageDataT<float> *volumes, int count,
                                                   float value) {
  const nuqImageInfo *info = m_aFieldImages[0].GetInfo();
  for (int i = 0; i < count; ++i) {
    if (!volumes[i].NewImage(info)) {
      std::cerr << "error: not enough memory for the " << count << " working volumes of "
                << info->GetNumberOfPixels() << " voxels that the inverse needs\n";
      for (int j = 0; j < i; ++j) volumes[j].ReleaseImage();
      return false;
    }
    // NewImage gives zeros; any other value is filled in blocks on all cores.
    if (value == 0.0f) continue;
    float *data = volumes[i].GetImageData();
    const long long n = volumes[i].GetNumberOfPixels(), block = 1 << 20;
    ParallelFor((n + block - 1) / block, [&](long long b) {
      const long long end = n < (b + 1) * block ? n : (b + 1) * block;
      for (long long v = b * block; v < end; ++v) data[v] = value;
    });
  }
  return true;
}

bool nuqTransformIterateInverse::ComputeInverseByDistanceInterpolate() {
  if (!PrepareComputation()) return false;
  // dist (-1: no candidate), then X, Y, Z of the role's best sample.
  nuqImageDataT<float> working[32];
  if (!NewWorkingVolumes(working, 8, -1.0f) || !NewWorkingVolumes(working + 8, 24, 0.0f))
    return false;
  nuqImageDataT<float> *dist = working, *X = working + 8, *Y = working + 16, *Z = working + 24;
  if (IsSuccessShown()) std::cout << "success: new the temporary images \n";

  ForwardTransformToRefGrid(m_aiROIFrom, m_aiROITo, dist, X, Y, Z);
  if (IsSuccessShown()) std::cout << "success: ForwardTransformToRefGrid \n";

  // Ends when no empty role has an in-grid neighbour, or when a sweep could
  // fill none (T maps nothing near them).
  for (;;) {
    const int count = FillInFindInverse(dist, X, Y, Z);
    if (IsSuccessShown()) std::cout << "success: FillInFindInverse " << count << "\n";
    if (count <= 0 || m_iFilledInLastSweep <= 0) break;
  }

  DistanceWeightInterpolateByNeighbours(dist, X, Y, Z);
  if (IsSuccessShown()) std::cout << "success: DistanceWeightInterpolateByNeighbours \n";
  return true;  // the working volumes are freed here
}

void nuqTransformIterateInverse::GetJacobianDiagonal(float *out, nuqTransformBase *transform,
                                                     const float *point, const float *spacing) {
  for (int i = 0; i < 4; ++i) out[i] = 0;
  const int dim = m_iDimension < 3 ? m_iDimension : 3;
  float c[4] = {point[0], point[1], point[2], point[3]};
  for (int i = 0; i < dim; ++i) c[i] += spacing[i] * 0.5f;
  for (int i = 0; i < dim; ++i) {
    float a[4] = {c[0], c[1], c[2], c[3]}, b[4] = {c[0], c[1], c[2], c[3]};
    a[i] += spacing[i] * 0.5f;
    b[i] -= spacing[i] * 0.5f;
    float ta[4] = {a[0], a[1], a[2], a[3]}, tb[4] = {b[0], b[1], b[2], b[3]};
    transform->TransformWorldToWorld(a, ta);
    transform->TransformWorldToWorld(b, tb);
    out[i] = std::fabs(ta[i] - tb[i]) / spacing[i];
  }
}

void nuqTransformIterateInverse::ComputeSamplingSteps(float *out, const float *J,
                                                      const float *spacing) {
  out[3] = 0;
  if (!(J[0] > 0) || !(J[1] > 0) || !(J[2] > 0)) {
    out[0] = out[1] = out[2] = 1.0f;
    return;
  }
  // A factor a computation would refuse still gives finite loops here.
  float factor = m_fSamplingFactor;
  if (!std::isfinite(factor)) factor = 1.0f;
  if (factor < kMinInverseSamplingFactor) factor = kMinInverseSamplingFactor;
  for (int i = 0; i < 3; ++i) {
    const float a = J[(i + 1) % 3], b = J[(i + 2) % 3];
    float r = 1.0f;
    if (J[i] + 1 > r) r = J[i] + 1;
    if (J[i] / a + 1 > r) r = J[i] / a + 1;
    if (J[i] / b + 1 > r) r = J[i] / b + 1;
    const float n = std::ceil(r);
    float fraction = 1.0f / n;
    if (!(fraction > 0.01f)) fraction = 0.01f;
    out[i] = fraction * spacing[i] * factor;
  }
}

void nuqTransformIterateInverse::UpdateNearestSample(const float *sample, const float *,
                                                     const float *index, int cx, int cy, int cz,
                                                     nuqImageDataT<float> *grid,
                                                     nuqImageDataT<float> *dist,
                                                     nuqImageDataT<float> *X,
                                                     nuqImageDataT<float> *Y,
                                                     nuqImageDataT<float> *Z) {
  const nuqinverse::Grid g = nuqinverse::MakeGrid(*grid);
  const int k = cx + 2 * cy + 4 * cz;
  int v;
  float d2;
  if (!nuqinverse::RoleVoxel(g, index, cx, cy, cz, v, d2)) return;
  float &best = dist[k].GetImageData()[v];
  if (best < 0 || best > d2) {
    best = d2;
    X[k].GetImageData()[v] = sample[0];
    Y[k].GetImageData()[v] = sample[1];
    Z[k].GetImageData()[v] = sample[2];
  }
}

void nuqTransformIterateInverse::ForwardTransformToRefGrid(const int *from, const int *to,
                                                           nuqImageDataT<float> *dist,
                                                           nuqImageDataT<float> *X,
                                                           nuqImageDataT<float> *Y,
                                                           nuqImageDataT<float> *Z) {
  NearestUpdate update{GetRoleBuffers(dist, X, Y, Z)};
  SampleRegion(from, to, update);
}

int nuqTransformIterateInverse::FillInFindInverse(nuqImageDataT<float> *dist,
                                                  nuqImageDataT<float> *X,
                                                  nuqImageDataT<float> *Y,
                                                  nuqImageDataT<float> *Z) {
  const nuqinverse::Grid g = nuqinverse::MakeGrid(m_aFieldImages[0]);
  const nuqImageInfo *info = m_aFieldImages[0].GetInfo();
  const RoleBuffers b = GetRoleBuffers(dist, X, Y, Z);
  int count = 0, filled = 0;
  int v = 0;
  for (int t = 0; t < g.n[3]; ++t)
    for (int z = 0; z < g.n[2]; ++z)
      for (int y = 0; y < g.n[1]; ++y)
        for (int x = 0; x < g.n[0]; ++x, ++v) {
          bool anyEmpty = false;
          for (int k = 0; k < 8; ++k) anyEmpty = anyEmpty || b.dist[k][v] < 0;
          if (!anyEmpty) continue;
          float w[4] = {float(x), float(y), float(z), float(t)};
          info->GridToWorld(w);
          for (int k = 0; k < 8; ++k) {
            if (!(b.dist[k][v] < 0)) continue;
            // The diagonal neighbour on the side where this role's samples lie.
            const int nx = x + 1 - 2 * RoleX(k), ny = y + 1 - 2 * RoleY(k),
                      nz = z + 1 - 2 * RoleZ(k);
            if (nx < 0 || nx >= g.n[0] || ny < 0 || ny >= g.n[1] || nz < 0 || nz >= g.n[2])
              continue;
            ++count;
            const int n = nx + ny * g.n[0] + nz * g.slice + t * g.volume;
            int chosen = -1;
            float best = 0;
            for (int m = 0; m < 8; ++m) {
              const float d = b.dist[m][n];
              if (d >= 0 && d < kNoSourceDistance && (chosen < 0 || d < best)) {
                chosen = m;
                best = d;
              }
            }
            if (chosen < 0) continue;
            const float s[4] = {b.X[chosen][n], b.Y[chosen][n], b.Z[chosen][n], w[3]};
            float q[4] = {s[0], s[1], s[2], s[3]};
            m_pTransform->TransformWorldToWorld(s, q);
            const float ex = w[0] - q[0], ey = w[1] - q[1], ez = w[2] - q[2];
            b.dist[k][v] = ex * ex + ey * ey + ez * ez;
            b.X[k][v] = s[0];
            b.Y[k][v] = s[1];
            b.Z[k][v] = s[2];
            ++filled;
          }
        }
  m_iFilledInLastSweep = filled;
  return count;
}

void nuqTransformIterateInverse::WeightedAverageByDistance(float *out,
                                                           const float (*displacements)[4],
                                                           const float *distances) {
  const int dim = m_iDimension < 4 ? (m_iDimension > 0 ? m_iDimension : 0) : 4;
  float sum[4] = {0, 0, 0, 0};
  float weights = 0;
  const float exponent = -m_fDistanceWeightPower * 0.5f;
  for (int k = 0; k < 8; ++k) {
    const float d2 = distances[k];
    if (d2 == 0) {
      // An exact hit decides alone.
      for (int c = 0; c < dim; ++c) out[c] = displacements[k][c];
      return;
    }
    if (!(d2 > 0)) continue;
    const float w = std::exp(std::log(d2) * exponent);
    for (int c = 0; c < dim; ++c) sum[c] += w * displacements[k][c];
    weights += w;
  }
  for (int c = 0; c < dim; ++c) out[c] = weights > 0 ? sum[c] / weights : 0.0f;
}

void nuqTransformIterateInverse::DistanceWeightInterpolateByNeighbours(nuqImageDataT<float> *dist,
                                                                       nuqImageDataT<float> *X,
                                                                       nuqImageDataT<float> *Y,
                                                                       nuqImageDataT<float> *Z) {
  const nuqinverse::Grid g = nuqinverse::MakeGrid(m_aFieldImages[0]);
  const nuqImageInfo *info = m_aFieldImages[0].GetInfo();
  const RoleBuffers b = GetRoleBuffers(dist, X, Y, Z);
  float *out[3];
  for (int c = 0; c < 3; ++c) out[c] = m_aFieldImages[c].GetImageData();
  // Every voxel reads the role volumes and writes only its own result:
  // rows run in parallel.
  const long long rows = (long long)g.n[1] * g.n[2] * g.n[3];
  ParallelFor(rows, [&](long long row) {
    const int y = int(row % g.n[1]), z = int(row / g.n[1] % g.n[2]),
              t = int(row / g.n[1] / g.n[2]);
    int v = int(row * g.n[0]);
    for (int x = 0; x < g.n[0]; ++x, ++v) {
      float w[4] = {float(x), float(y), float(z), float(t)};
      info->GridToWorld(w);
      float u[8][4] = {};
      float d2[8];
      int exact = -1;
      for (int k = 0; k < 8; ++k) {
        d2[k] = b.dist[k][v];
        if (exact < 0 && d2[k] == 0) exact = k;
      }
      // Only the candidates the weighted mean reads are mapped: the first
      // exact hit alone, else every role with a sample.
      for (int k = 0; k < 8; ++k) {
        if (exact >= 0 ? k != exact : !(d2[k] > 0)) continue;
        const float s[4] = {b.X[k][v], b.Y[k][v], b.Z[k][v], w[3]};
        float q[4] = {s[0], s[1], s[2], s[3]};
        m_pTransform->TransformWorldToWorld(s, q);
        for (int c = 0; c < 4; ++c) u[k][c] = s[c] - q[c];
      }
      float r[4] = {0, 0, 0, 0};
      nuqTransformIterateInverse::WeightedAverageByDistance(r, u, d2);
      for (int c = 0; c < 3; ++c) out[c][v] = r[c];
    }
  });
  const long long done = rows * g.n[0];
  if (IsSuccessShown())
    std::cout << "success: 8 neighbour interpolation finished " << done << " of "
              << g.volume * g.n[3] << " ref image grid \n";
}

void nuqTransformIterateInverse::TransformWorldToWorld(const float *in, float *out) {
  nuqTransformFields::TransformWorldToWorld(in, out);
  nuqImageDataT<float> &grid = m_aFieldImages[0];
  if (!m_pTransform || grid.IsEmpty() || m_iDimension < 3 || grid.GetDimension() < 3) return;
  const nuqImageInfo *info = grid.GetInfo();
  float g[4] = {in[0], in[1], in[2], in[3]};
  info->WorldToGrid(g);
  if (g[0] == std::floor(g[0]) && g[1] == std::floor(g[1]) && g[2] == std::floor(g[2])) return;
  if (!std::isfinite(g[0]) || !std::isfinite(g[1]) || !std::isfinite(g[2])) return;

  // The box that must hold the preimage: the field at the point and at the
  // 8 corners of the cell around it.
  const float *h = grid.GetSpacingArray();
  float corner[4] = {std::floor(g[0]), std::floor(g[1]), std::floor(g[2]), g[3]};
  info->GridToWorld(corner);
  float lo[3] = {out[0], out[1], out[2]}, hi[3] = {out[0], out[1], out[2]};
  for (int k = 0; k < 8; ++k) {
    const float c[4] = {corner[0] + RoleX(k) * h[0], corner[1] + RoleY(k) * h[1],
                        corner[2] + RoleZ(k) * h[2], in[3]};
    float m[4] = {c[0], c[1], c[2], c[3]};
    nuqTransformFields::TransformWorldToWorld(c, m);
    for (int i = 0; i < 3; ++i) {
      if (m[i] < lo[i]) lo[i] = m[i];
      if (m[i] > hi[i]) hi[i] = m[i];
    }
  }

  // Nearest sub-sample per octant of T(q) around the point.
  float best[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  float candidates[8][4] = {};
  int cells[3];
  for (int i = 0; i < 3; ++i) {
    const float span = (hi[i] - lo[i]) / h[i];
    cells[i] = span >= 0 && span < kMaxRefinementCells ? int(span) : kMaxRefinementCells;
  }
  for (int a = 0; a <= cells[0]; ++a) {
    const float sx = lo[0] + a * h[0];
    if (!(sx <= hi[0])) break;
    for (int b = 0; b <= cells[1]; ++b) {
      const float sy = lo[1] + b * h[1];
      if (!(sy <= hi[1])) break;
      for (int e = 0; e <= cells[2]; ++e) {
        const float sz = lo[2] + e * h[2];
        if (!(sz <= hi[2])) break;
        const float s[4] = {sx, sy, sz, in[3]};
        float jacobian[4], step[4];
        nuqTransformIterateInverse::GetJacobianDiagonal(jacobian, m_pTransform, s, h);
        nuqTransformIterateInverse::ComputeSamplingSteps(step, jacobian, h);
        for (float qx = sx; qx < sx + h[0]; qx += step[0])
          for (float qy = sy; qy < sy + h[1]; qy += step[1])
            for (float qz = sz; qz < sz + h[2]; qz += step[2]) {
              const float q[4] = {qx, qy, qz, in[3]};
              float tq[4] = {qx, qy, qz, in[3]};
              m_pTransform->TransformWorldToWorld(q, tq);
              const float dx = tq[0] - in[0], dy = tq[1] - in[1], dz = tq[2] - in[2];
              const float d2 = dx * dx + dy * dy + dz * dz;
              // First octant that holds: bit 0 set when below on x, and so on.
              int k;
              if (dx >= 0 && dy >= 0 && dz >= 0) k = 0;
              else if (dx <= 0 && dy >= 0 && dz >= 0) k = 1;
              else if (dx >= 0 && dy <= 0 && dz >= 0) k = 2;
              else if (dx <= 0 && dy <= 0 && dz >= 0) k = 3;
              else if (dx >= 0 && dy >= 0 && dz <= 0) k = 4;
              else if (dx <= 0 && dy >= 0 && dz <= 0) k = 5;
              else if (dx >= 0 && dy <= 0 && dz <= 0) k = 6;
              else if (dx <= 0 && dy <= 0 && dz <= 0) k = 7;
              else continue;  // not a number
              if (best[k] < 0 || d2 < best[k]) {
                best[k] = d2;
                for (int c = 0; c < 3; ++c) candidates[k][c] = q[c] - tq[c];
                candidates[k][3] = 0;
              }
            }
      }
    }
  }
  bool any = false;
  for (int k = 0; k < 8; ++k) any = any || best[k] >= 0;
  float mean[4] = {0, 0, 0, 0};
  if (any) nuqTransformIterateInverse::WeightedAverageByDistance(mean, candidates, best);
  for (int c = 0; c < 3; ++c) out[c] = in[c] + mean[c];
}
