#include "nuqTransformFFD.h"

#include <cmath>
#include <cstddef>
#include <iostream>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqMatrix.h"

nuqGradientFFDBase::nuqGradientFFDBase()
    : m_pControlPointMask(nullptr),
      m_pMappedControlPointMask(nullptr),
      m_pAuxiliaryPointer1(nullptr),
      m_pAuxiliaryPointer2(nullptr),
      m_fMaskMagnitudePortion(-1.0f) {}

nuqGradientFFDBase::~nuqGradientFFDBase() = default;

void nuqGradientFFDBase::CopyMaskMembersTo(nuqGradientFFDBase *pTarget) const {
  if (pTarget == nullptr || pTarget == this) return;
  pTarget->m_pControlPointMask = m_pControlPointMask;
  pTarget->m_pMappedControlPointMask = m_pMappedControlPointMask;
  pTarget->m_pAuxiliaryPointer1 = m_pAuxiliaryPointer1;
  pTarget->m_pAuxiliaryPointer2 = m_pAuxiliaryPointer2;
  pTarget->m_fMaskMagnitudePortion = m_fMaskMagnitudePortion;
}

nuqTransformBase *nuqGradientFFDBase::CloneTo(nuqTransformBase *&pTarget) {
  if (pTarget == nullptr) pTarget = new nuqGradientFFDBase();
  nuqTransformFFDBase::CloneTo(pTarget);
  CopyMaskMembersTo(dynamic_cast<nuqGradientFFDBase *>(pTarget));
  return pTarget;
}

void nuqGradientFFDBase::SetMaskMagnitudePortion(float fPortion) {
  m_fMaskMagnitudePortion = fPortion;
}
float nuqGradientFFDBase::GetMaskMagnitudePortion() const { return m_fMaskMagnitudePortion; }

void nuqGradientFFDBase::SetControlPointMasks(nuqImageDataT<short> *pMask,
                                              nuqImageDataT<short> *pMappedMask) {
  m_pControlPointMask = pMask;
  m_pMappedControlPointMask = pMappedMask;
}

void nuqGradientFFDBase::GetControlPointMasks(nuqImageDataT<short> *&pMask,
                                              nuqImageDataT<short> *&pMappedMask) const {
  pMask = m_pControlPointMask;
  pMappedMask = m_pMappedControlPointMask;
}

void nuqGradientFFDBase::SetAuxiliaryPointer1(void *p) { m_pAuxiliaryPointer1 = p; }
void *nuqGradientFFDBase::GetAuxiliaryPointer1() const { return m_pAuxiliaryPointer1; }
void nuqGradientFFDBase::SetAuxiliaryPointer2(void *p) { m_pAuxiliaryPointer2 = p; }
void *nuqGradientFFDBase::GetAuxiliaryPointer2() const { return m_pAuxiliaryPointer2; }

nuqTransformFFD::nuqTransformFFD() = default;
nuqTransformFFD::~nuqTransformFFD() = default;

nuqTransformBase *nuqTransformFFD::CloneTo(nuqTransformBase *&pTarget) {
  if (pTarget == nullptr) pTarget = new nuqTransformFFD();
  return nuqGradientFFDBase::CloneTo(pTarget);
}

namespace {

// Looks every control point of the step up in the mask (at its own world
// position, or mapped through pMap): outside, or on a 0 voxel, the point is
// switched off; on a non-zero voxel with bActivate, a point whose first
// component is 0 is switched on.
void MaskStepWithImage(nuqTransformFFDBase *pStep, const nuqImageDataT<short> *pMask,
                       nuqTransformBase *pMap, bool bActivate) {
  nuqImageInfo *pGrid = pStep->GetControlGridInfo();
  const int iDim = pStep->GetDimension();
  const int *n = pGrid->m_iSize;
  const int iMaskDim = pMask->GetDimension();
  const int *nMask = pMask->GetSizeArray();
  float *pOffsets = pStep->GetControlPointOffsets();
  int nActivated = 0;
  int nInactivated = 0;
  int nTotal = 0;
  for (int t = 0; t < n[3]; ++t) {
    for (int z = 0; z < n[2]; ++z) {
      for (int y = 0; y < n[1]; ++y) {
        for (int x = 0; x < n[0]; ++x, ++nTotal) {
          float p[4] = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z),
                        static_cast<float>(t)};
          pGrid->GridToWorld(p);
          if (pMap != nullptr) {
            const float q[4] = {p[0], p[1], p[2], p[3]};
            pMap->TransformWorldToWorld(q, p);
          }
          pMask->WorldToGrid(p);
          short value = 0;
          if (pMask->InsideGrid(p)) {
            int idx[4] = {0, 0, 0, 0};
            for (int a = 0; a < iMaskDim && a < 4; ++a) {
              idx[a] = RoundHalfAway(p[a]);
              if (idx[a] < 0) idx[a] = 0;
              if (idx[a] > nMask[a] - 1) idx[a] = nMask[a] - 1;
            }
            value = pMask->GetPixelGreyscale(idx[0], idx[1], idx[2], idx[3]);
          }
          float *v = pOffsets + static_cast<std::size_t>(nTotal) * iDim;
          if (value == 0) {
            for (int c = 0; c < iDim; ++c) v[c] = 0.0f;
            ++nInactivated;
          } else if (bActivate && v[0] == 0.0f) {
            for (int c = 0; c < iDim; ++c) v[c] = 1.0f;
            ++nActivated;
          }
        }
      }
    }
  }
  if (g_nVerbose > 0) {
    std::cout << "success: \t\t activated " << nActivated << " points and inactivated "
              << nInactivated << " from " << nTotal << "points in masking FFD operation\n";
  }
}

}  // namespace

bool nuqTransformFFD::UpdateParameterMask(nuqTransformBase *pTransform, nuqTransformBase *pStep,
                                          bool bPreset) {
  if (pStep == nullptr) return false;
  // The step must carry offsets on this deformation's grid.
  auto *pStepFFD = dynamic_cast<nuqTransformFFDBase *>(pStep);
  if (pStepFFD == nullptr || SameGridOperand(pStep) == nullptr) return false;
  const int iDim = m_iDimension;
  float *pStepOffsets = pStepFFD->GetControlPointOffsets();
  const int nPoints = GetNumberOfControlPoints();

  if (bPreset) {
    const bool bOwnMask = m_pControlPointMask != nullptr && !m_pControlPointMask->IsEmpty();
    if (bOwnMask) MaskStepWithImage(pStepFFD, m_pControlPointMask, nullptr, true);
    if (m_pMappedControlPointMask != nullptr && !m_pMappedControlPointMask->IsEmpty()) {
      MaskStepWithImage(pStepFFD, m_pMappedControlPointMask, pTransform, !bOwnMask);
    }
    if (g_nVerbose > 1) std::cout << "debug: \t\t FFD mask pre setting \n";
    return true;
  }

  if (m_fMaskMagnitudePortion <= 0.0f) return false;
  float fMax = 0.0f;
  int nActive = 0;
  for (int p = 0; p < nPoints; ++p) {
    const float *v = m_fControlPointOffsets + static_cast<std::size_t>(p) * iDim;
    float s = 0.0f;
    for (int c = 0; c < iDim; ++c) s += v[c] * v[c];
    if (s > fMax) fMax = s;
    if (pStepOffsets[static_cast<std::size_t>(p) * iDim] > 0.0f) ++nActive;
  }
  if (nActive == 0) {
    std::cout << "warning: no actived control point \n";
    return false;
  }
  if (g_nVerbose > 0) std::cout << "success: FFD Maxmag:" << fMax << "\n";
  if (fMax > 0.0f) {
    int nDropped = 0;
    for (int p = 0; p < nPoints; ++p) {
      float *w = pStepOffsets + static_cast<std::size_t>(p) * iDim;
      if (!(w[0] > 0.0f)) continue;
      const float *v = m_fControlPointOffsets + static_cast<std::size_t>(p) * iDim;
      float s = 0.0f;
      for (int c = 0; c < iDim; ++c) s += v[c] * v[c];
      if (std::sqrt(s / fMax) < m_fMaskMagnitudePortion) {
        for (int c = 0; c < iDim; ++c) w[c] = -1.0f;
        ++nDropped;
      }
    }
    if (g_nVerbose > 0) {
      std::cout << "success: inactive control points " << nDropped << " in " << nActive
                << " active control points that magnitude portion less than "
                << m_fMaskMagnitudePortion << "\n";
    }
  }
  return true;
}
