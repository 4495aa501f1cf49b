// Fitting a free-form deformation to other transforms (multilevel B-spline
// approximation on the control nodes), refining and regridding its control
// grid.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqTransformFFDBase.h"

namespace {

// Basis weights at a node (fraction 0) for neighbours node - 1, node,
// node + 1; the fourth neighbour has weight 0.
constexpr float kNodeWeight[3] = {1.0f / 6.0f, 4.0f / 6.0f, 1.0f / 6.0f};

// Cubic B-spline subdivision: new node 2i + a from old nodes i - 1 .. i + 1.
constexpr float kRefineWeight[2][3] = {{0.125f, 0.75f, 0.125f}, {0.0f, 0.5f, 0.5f}};

void ApplyChain(nuqTransformBase **ppTransforms, int iCount, const float *pIn, float *pOut) {
  for (int i = 0; i < 4; ++i) pOut[i] = pIn[i];
  for (int k = 0; k < iCount; ++k) {
    if (ppTransforms[k] == nullptr) continue;
    const float q[4] = {pOut[0], pOut[1], pOut[2], pOut[3]};
    ppTransforms[k]->TransformWorldToWorld(q, pOut);
  }
}

float Distance3(const float *a, const float *b) {
  const float dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

}  // namespace

float nuqTransformFFDBase::FitToTransform(nuqTransformBase *pTransform, int iLevels,
                                          float fTolerance) {
  return FitToTransformChain(&pTransform, 1, iLevels, fTolerance);
}

float nuqTransformFFDBase::FitToTransformList(nuqTransformBase **ppTransforms, int iCount,
                                              int iLevels, float fTolerance) {
  return FitToTransformChain(ppTransforms, iCount, iLevels, fTolerance);
}

float nuqTransformFFDBase::FitToTransformWithGrid(nuqTransformBase *pTransform,
                                                  const nuqImageInfo *pGrid, int iLevels,
                                                  float fTolerance) {
  SetControlGridOrientation(pGrid);
  return FitToTransform(pTransform, iLevels, fTolerance);
}

float nuqTransformFFDBase::FitToTransformChain(nuqTransformBase **ppTransforms, int iCount,
                                               int iLevels, float fTolerance) {
  const int iDim = m_iDimension;
  if (ppTransforms == nullptr || iCount <= 0 || m_fControlPointOffsets == nullptr || iDim < 2 ||
      iDim > 3) {
    std::cerr << "error: FFD fitting needs a transform and a 2-D or 3-D control grid\n";
    return -1.0f;
  }
  iLevels = std::max(iLevels, 1);
  SetIdentity();
  float e = 0.0f;
  for (int iLevel = 1; iLevel <= iLevels; ++iLevel) {
    const float *s = m_ControlGridInfo.m_fSpacing;
    if (g_nVerbose > 0) {
      std::cout << "success: \t Level  " << iLevel << " of " << iLevels
                << " Grid Spacing: " << s[0] << "x" << s[1] << "x" << s[2] << "\n";
    }
    const int *n = m_ControlGridInfo.m_iSize;
    const int nPoints = GetNumberOfControlPoints();
    const std::size_t nValues = static_cast<std::size_t>(nPoints) * iDim;
    // Node positions, their targets and the current mapping, in world units.
    std::vector<float> world(static_cast<std::size_t>(nPoints) * 4);
    std::vector<float> target(world.size());
    std::vector<float> current(world.size());
    std::vector<float> numerator(nValues), denominator(nPoints), update(nValues);
    {
      std::size_t p = 0;
      for (int z = 0; z < n[2]; ++z) {
        for (int y = 0; y < n[1]; ++y) {
          for (int x = 0; x < n[0]; ++x, ++p) {
            float *w = &world[p * 4];
            w[0] = static_cast<float>(x);
            w[1] = static_cast<float>(y);
            w[2] = static_cast<float>(z);
            w[3] = 0.0f;
            m_ControlGridInfo.GridToWorld(w);
            ApplyChain(ppTransforms, iCount, w, &target[p * 4]);
            TransformWorldToWorld(w, &current[p * 4]);
          }
        }
      }
    }
    const int nz = iDim > 2 ? n[2] : 1;
    float fPrevious = 1e20f;
    int i = 0;
    for (;;) {
      std::fill(numerator.begin(), numerator.end(), 0.0f);
      std::fill(denominator.begin(), denominator.end(), 0.0f);
      std::fill(update.begin(), update.end(), 0.0f);
      std::size_t p = 0;
      for (int z = 0; z < n[2]; ++z) {
        for (int y = 0; y < n[1]; ++y) {
          for (int x = 0; x < n[0]; ++x, ++p) {
            // Residual in physical grid coordinates (along the grid axes).
            float gt[4], gc[4];
            for (int c = 0; c < 4; ++c) {
              gt[c] = target[p * 4 + c];
              gc[c] = current[p * 4 + c];
            }
            m_ControlGridInfo.WorldToGrid(gt);
            m_ControlGridInfo.WorldToGrid(gc);
            float r[3] = {0, 0, 0};
            for (int c = 0; c < iDim; ++c) {
              const float sc = s[c] > 0.0f ? s[c] : 1.0f;
              r[c] = (gt[c] - gc[c]) * sc;
            }
            // Neighbours inside the grid and their weights at this node.
            float fSum = 0.0f;
            for (int kz = 0; kz < 3; ++kz) {
              const int zz = iDim > 2 ? z - 1 + kz : 0;
              if (iDim > 2 ? (zz < 0 || zz >= nz) : kz > 0) continue;
              const float wz = iDim > 2 ? kNodeWeight[kz] : 1.0f;
              for (int ky = 0; ky < 3; ++ky) {
                const int yy = y - 1 + ky;
                if (yy < 0 || yy >= n[1]) continue;
                for (int kx = 0; kx < 3; ++kx) {
                  const int xx = x - 1 + kx;
                  if (xx < 0 || xx >= n[0]) continue;
                  const float w = wz * kNodeWeight[ky] * kNodeWeight[kx];
                  fSum += w * w;
                }
              }
            }
            if (fSum <= 0.0f) continue;
            for (int kz = 0; kz < 3; ++kz) {
              const int zz = iDim > 2 ? z - 1 + kz : 0;
              if (iDim > 2 ? (zz < 0 || zz >= nz) : kz > 0) continue;
              const float wz = iDim > 2 ? kNodeWeight[kz] : 1.0f;
              for (int ky = 0; ky < 3; ++ky) {
                const int yy = y - 1 + ky;
                if (yy < 0 || yy >= n[1]) continue;
                for (int kx = 0; kx < 3; ++kx) {
                  const int xx = x - 1 + kx;
                  if (xx < 0 || xx >= n[0]) continue;
                  const float w = wz * kNodeWeight[ky] * kNodeWeight[kx];
                  const std::size_t q =
                      static_cast<std::size_t>(zz) * m_nPointsPerSlice + yy * n[0] + xx;
                  const float f = w * w * w / fSum;
                  for (int c = 0; c < iDim; ++c) numerator[q * iDim + c] += f * r[c];
                  denominator[q] += w * w;
                }
              }
            }
          }
        }
      }
      for (std::size_t q = 0; q < static_cast<std::size_t>(nPoints); ++q) {
        if (denominator[q] > 0.0f) {
          for (int c = 0; c < iDim; ++c) {
            update[q * iDim + c] = numerator[q * iDim + c] / denominator[q];
          }
        }
      }
      for (std::size_t v = 0; v < nValues; ++v) m_fControlPointOffsets[v] += update[v];

      double fErrorSum = 0.0;
      for (std::size_t q = 0; q < static_cast<std::size_t>(nPoints); ++q) {
        TransformWorldToWorld(&world[q * 4], &current[q * 4]);
        fErrorSum += Distance3(&current[q * 4], &target[q * 4]);
      }
      e = static_cast<float>(fErrorSum / nPoints);
      if (g_nVerbose >= 2) {
        std::cout << "debug: \t\t mean error at iteration " << i << " is " << e << "\n";
      }
      if (!(e < fPrevious) || e < fTolerance) break;
      ++i;
      if (i >= 1000) break;
      fPrevious = e;
    }
    if (g_nVerbose > 0) {
      std::cout << "success: \t\t mean error at iteration " << i << " is " << e << "\n";
    }
    if (iLevel < iLevels) RefineControlGrid();
  }
  return e;
}

bool nuqTransformFFDBase::RefineControlGrid() {
  const int iDim = m_iDimension;
  if (m_fControlPointOffsets == nullptr) return false;
  const int nOld[4] = {m_ControlGridInfo.m_iSize[0], m_ControlGridInfo.m_iSize[1],
                       m_ControlGridInfo.m_iSize[2], m_ControlGridInfo.m_iSize[3]};
  const float *s = m_ControlGridInfo.m_fSpacing;
  const int nOldSlice = m_nPointsPerSlice;
  std::vector<float> old(m_fControlPointOffsets,
                         m_fControlPointOffsets + GetNumberOfParameters());
  if (!MallocForControlPoints(2 * nOld[0] - 1, s[0] / 2, 2 * nOld[1] - 1, s[1] / 2,
                              2 * nOld[2] - 1, s[2] / 2, 2 * nOld[3] - 1, s[3] / 2)) {
    return false;
  }
  if (iDim != 2 && iDim != 3) return true;  // four dimensions keep zero offsets
  if (iDim == 2) std::cerr << "error: 2D not validated\n";
  const int *n = m_ControlGridInfo.m_iSize;
  for (int Z = 0; Z < n[2]; ++Z) {
    const int k = Z / 2, e = Z % 2;
    for (int Y = 0; Y < n[1]; ++Y) {
      const int j = Y / 2, b = Y % 2;
      for (int X = 0; X < n[0]; ++X) {
        const int i = X / 2, a = X % 2;
        float acc[3] = {0, 0, 0};
        for (int ps = 0; ps < 3; ++ps) {
          // Two dimensions: the single slice with weight 1.
          float ws = 1.0f;
          int zz = 0;
          if (iDim == 3) {
            zz = k - 1 + ps;
            ws = kRefineWeight[e][ps];
            if (zz < 0 || zz >= nOld[2] || ws == 0.0f) continue;
          } else if (ps > 0) {
            continue;
          }
          for (int q = 0; q < 3; ++q) {
            const int yy = j - 1 + q;
            const float wq = kRefineWeight[b][q];
            if (yy < 0 || yy >= nOld[1] || wq == 0.0f) continue;
            for (int p = 0; p < 3; ++p) {
              const int xx = i - 1 + p;
              const float wp = kRefineWeight[a][p];
              if (xx < 0 || xx >= nOld[0] || wp == 0.0f) continue;
              const float w = ws * wq * wp;
              const float *v =
                  &old[(static_cast<std::size_t>(zz) * nOldSlice + yy * nOld[0] + xx) * iDim];
              for (int c = 0; c < iDim; ++c) acc[c] += w * v[c];
            }
          }
        }
        float *dst = m_fControlPointOffsets +
                     (static_cast<std::size_t>(Z) * m_nPointsPerSlice + Y * n[0] + X) * iDim;
        for (int c = 0; c < iDim; ++c) dst[c] = acc[c];
      }
    }
  }
  return true;
}

bool nuqTransformFFDBase::RegridAndFit(const int *pSizes, const float *pSpacings, int iLevels,
                                       float fTolerance) {
  if (pSizes == nullptr || pSpacings == nullptr) return false;
  int n[4] = {pSizes[0], pSizes[1], pSizes[2], pSizes[3]};
  if (m_iDimension < 4) n[3] = 1;
  if (m_iDimension < 3) n[2] = 1;
  nuqTransformBase *pCopy = nullptr;
  CloneTo(pCopy);
  if (!MallocForControlPoints(n[0], pSpacings[0], n[1], pSpacings[1], n[2], pSpacings[2], n[3],
                              pSpacings[3])) {
    delete pCopy;
    return false;
  }
  const float e = FitToTransform(pCopy, iLevels, fTolerance);
  delete pCopy;
  return e >= 0.0f;
}

bool nuqTransformFFDBase::RegridBySize(const int *pSizes, int iLevels, float fTolerance) {
  if (pSizes == nullptr) return false;
  const float *s = m_ControlGridInfo.m_fSpacing;
  const int *n = m_ControlGridInfo.m_iSize;
  float testExtent[4] = {0, 0, 0, 0};
  if (m_pTestImage != nullptr) m_pTestImage->GetPhysicalExtent(testExtent);
  float spacing[4] = {s[0], s[1], s[2], s[3]};
  for (int a = 0; a < m_iDimension && a < 4; ++a) {
    if (pSizes[a] <= 1) continue;
    const float fExtent = std::max((n[a] - 1) * s[a], testExtent[a]);
    const float fSpacing = fExtent / static_cast<float>(pSizes[a] - 1);
    if (fSpacing > 0.0f) spacing[a] = fSpacing;
  }
  // The current deformation is copied inside RegridAndFit before the grid
  // takes the new spacing, so the fit targets the deformation as it is.
  return RegridAndFit(pSizes, spacing, iLevels, fTolerance);
}

bool nuqTransformFFDBase::RegridBySpacing(const float *pSpacings, int iLevels, float fTolerance) {
  if (pSpacings == nullptr) return false;
  const float *s = m_ControlGridInfo.m_fSpacing;
  const int *n = m_ControlGridInfo.m_iSize;
  float testExtent[4] = {0, 0, 0, 0};
  if (m_pTestImage != nullptr) m_pTestImage->GetPhysicalExtent(testExtent);
  int size[4] = {n[0], n[1], n[2], n[3]};
  float spacing[4] = {s[0], s[1], s[2], s[3]};
  for (int a = 0; a < m_iDimension && a < 4; ++a) {
    if (!(pSpacings[a] > 0.0f)) continue;
    const float fExtent = m_pTestImage != nullptr ? testExtent[a] : (n[a] - 1) * s[a];
    const float fCount = std::ceil(fExtent / pSpacings[a]);
    if (!(fCount >= 0.0f && fCount < 1e7f)) {
      std::cerr << "error: control spacing " << pSpacings[a] << " gives too many control points\n";
      return false;
    }
    size[a] = static_cast<int>(fCount) + 1;
    spacing[a] = pSpacings[a];
  }
  return RegridAndFit(size, spacing, iLevels, fTolerance);
}
