#include "nuqTransformIterateInverseSDI.h"

#include <cmath>
#include <iostream>
#include <vector>

#include "nuqConsole.h"
#include "nuqParallel.h"
#include "nuqTransformIterateInverseGrid.h"

namespace {

// Weight of a sample that lands exactly on a voxel.
const float kExactHitWeight = 1e16f;
// Mark of a voxel filled by the direct pass.
const char kDirectMark = 100;

// Weight d2^(-p/2) of a squared distance d2 > 0, 1e16 at 0.
inline float SplatWeight(float d2, float exponent) {
  return d2 > 0 ? std::exp(std::log(d2) * exponent) : kExactHitWeight;
}

struct SplatUpdate {
  float *W, *X, *Y, *Z;
  float exponent;
  // The roles in `roles` (bit k for role k) of one sample s.
  void operator()(const float *s, const nuqinverse::Corners &corners, unsigned roles) {
    for (int k = 0; k < 8; ++k) {
      if (!(roles >> k & 1u)) continue;
      const int v = corners.linear[k];
      const float d2 = corners.d2[k];
      const float w = SplatWeight(d2, exponent);
      W[v] += w;
      X[v] += w * s[0];
      Y[v] += w * s[1];
      Z[v] += w * s[2];
    }
  }
};

}  // namespace

nuqTransformIterateInverseSDI::nuqTransformIterateInverseSDI() = default;

nuqTransformIterateInverseSDI::~nuqTransformIterateInverseSDI() = default;

bool nuqTransformIterateInverseSDI::ComputeInverseByDistanceInterpolate() {
  if (!PrepareComputation()) return false;
  nuqImageDataT<float> working[4];  // W, X, Y, Z
  if (!NewWorkingVolumes(working, 4, 0.0f)) return false;
  if (IsSuccessShown()) std::cout << "success: SDI new the temporary images \n";
  ForwardTransformToRefGrid(m_aiROIFrom, m_aiROITo, &working[0], &working[1], &working[2],
                            &working[3]);
  DistanceWeightInterpolateByNeighbours(&working[0], &working[1], &working[2], &working[3]);
  if (IsSuccessShown()) std::cout << "success: SDI DistanceWeightInterpolateByNeighbours \n";
  return true;
}

void nuqTransformIterateInverseSDI::UpdateNearestSample(const float *sample, const float *,
                                                        const float *index, int cx, int cy,
                                                        int cz, nuqImageDataT<float> *grid,
                                                        nuqImageDataT<float> *dist,
                                                        nuqImageDataT<float> *X,
                                                        nuqImageDataT<float> *Y,
                                                        nuqImageDataT<float> *Z) {
  const nuqinverse::Grid g = nuqinverse::MakeGrid(*grid);
  int v;
  float d2;
  if (!nuqinverse::RoleVoxel(g, index, cx, cy, cz, v, d2)) return;
  const float w = SplatWeight(d2, -m_fDistanceWeightPower * 0.5f);
  dist->GetImageData()[v] += w;
  X->GetImageData()[v] += w * sample[0];
  Y->GetImageData()[v] += w * sample[1];
  Z->GetImageData()[v] += w * sample[2];
}

void nuqTransformIterateInverseSDI::ForwardTransformToRefGrid(const int *from, const int *to,
                                                              nuqImageDataT<float> *dist,
                                                              nuqImageDataT<float> *X,
                                                              nuqImageDataT<float> *Y,
                                                              nuqImageDataT<float> *Z) {
  SplatUpdate update{dist->GetImageData(),
                     X->GetImageData(),
                     Y->GetImageData(),
                     Z->GetImageData(),
                     -m_fDistanceWeightPower * 0.5f};
  SampleRegion(from, to, update);
  if (IsSuccessShown()) std::cout << "success: SDI ForwardTransformToRefGrid \n";
}

void nuqTransformIterateInverseSDI::DistanceWeightInterpolateByNeighbours(
    nuqImageDataT<float> *dist, nuqImageDataT<float> *X, nuqImageDataT<float> *Y,
    nuqImageDataT<float> *Z) {
  const nuqinverse::Grid g = nuqinverse::MakeGrid(m_aFieldImages[0]);
  const nuqImageInfo *info = m_aFieldImages[0].GetInfo();
  const float *W = dist->GetImageData();
  const float *SX = X->GetImageData(), *SY = Y->GetImageData(), *SZ = Z->GetImageData();
  float *out[3];
  for (int c = 0; c < 3; ++c) out[c] = m_aFieldImages[c].GetImageData();
  const int voxels = g.volume * g.n[3];

  nuqImageDataT<char> marks;
  if (!marks.NewImage(info)) {
    std::cerr << "error: not enough memory for the mark volume of the inverse\n";
    return;
  }
  char *mark = marks.GetImageData();
  for (int v = 0; v < voxels; ++v) mark[v] = 0;

  // Direct pass: the weighted mean of the splatted sample positions. Every
  // voxel writes only itself, so rows run in parallel.
  const long long rows = (long long)g.n[1] * g.n[2] * g.n[3];
  std::vector<int> rowCounts(size_t(rows), 0);
  ParallelFor(rows, [&](long long row) {
    const int y = int(row % g.n[1]), z = int(row / g.n[1] % g.n[2]),
              t = int(row / g.n[1] / g.n[2]);
    int v = int(row * g.n[0]);
    for (int x = 0; x < g.n[0]; ++x, ++v) {
      if (!(W[v] > 0)) continue;
      float w[4] = {float(x), float(y), float(z), float(t)};
      info->GridToWorld(w);
      mark[v] = kDirectMark;
      ++rowCounts[size_t(row)];
      out[0][v] = SX[v] / W[v] - w[0];
      out[1][v] = SY[v] / W[v] - w[1];
      out[2][v] = SZ[v] / W[v] - w[2];
    }
  });
  int count = 0;
  for (const int n : rowCounts) count += n;
  if (IsSuccessShown())
    std::cout << "success: \t SDI neighbour interpolation finished " << count << " of " << voxels
              << " ref image grid \n";
  if (count == voxels) return;

  // Gap pass: only directly filled voxels are sources and only the others
  // are written, so the order of the visits does not matter and rows run in
  // parallel.
  const int dim = m_iDimension < 3 ? m_iDimension : 3;
  const float exponent = -m_fDistanceWeightPower * 0.5f;
  ParallelFor(rows, [&](long long row) {
    const int y = int(row % g.n[1]), z = int(row / g.n[1] % g.n[2]),
              t = int(row / g.n[1] / g.n[2]);
    int v = int(row * g.n[0]);
    for (int x = 0; x < g.n[0]; ++x, ++v) {
      if (mark[v] == kDirectMark) continue;
      for (int r = m_iMinSearchRadius; r <= m_iMaxSearchRadius;
           r = r > 0 && r <= m_iMaxSearchRadius / 2 ? 2 * r : m_iMaxSearchRadius + 1) {
        if (r < 1) continue;
        float weights = 0;
        float sum[3] = {0, 0, 0};
        const int z0 = z - r > 0 ? z - r : 0, z1 = z + r < g.n[2] - 1 ? z + r : g.n[2] - 1;
        const int y0 = y - r > 0 ? y - r : 0, y1 = y + r < g.n[1] - 1 ? y + r : g.n[1] - 1;
        const int x0 = x - r > 0 ? x - r : 0, x1 = x + r < g.n[0] - 1 ? x + r : g.n[0] - 1;
        for (int nz = z0; nz <= z1; ++nz)
          for (int ny = y0; ny <= y1; ++ny) {
            const int base = ny * g.n[0] + nz * g.slice + t * g.volume;
            const float ez = (nz - z) * g.h[2], ey = (ny - y) * g.h[1];
            for (int nx = x0; nx <= x1; ++nx) {
              const int n = base + nx;
              if (mark[n] != kDirectMark) continue;
              const float ex = (nx - x) * g.h[0];
              const float w = std::exp(std::log(ex * ex + ey * ey + ez * ez) * exponent);
              weights += w;
              for (int c = 0; c < 3; ++c) sum[c] += w * out[c][n];
            }
          }
        if (weights > 0) {
          for (int c = 0; c < dim; ++c) out[c][v] = sum[c] / weights;
          break;
        }
      }
    }
  });
  if (IsSuccessShown()) std::cout << "success: neighbour region interpolation finished \n";
}
