#include "nuqTransformLocalAffines.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <limits>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqImageProcess.h"
#include "nuqMatrix.h"
#include "nuqMetricBase.h"
#include "nuqTransformFields.h"
#include "nuqTransformMatrix.h"

namespace {

const float kZeroDistance = 1e-20f;
const float kFarFacet = 1e20f;

// Weight of a facet face at distance v.
inline float InverseOrHuge(float v) { return v <= 0 ? 1e20f : 1.0f / v; }
// Derivative factor of that weight: -1 / v^2.
inline float InverseSquareOrHuge(float v) { return v <= 0 ? 1e20f : -1.0f / (v * v); }

void CopyPoint(const float *pIn, float *pOut) {
  for (int k = 0; k < 4; ++k) pOut[k] = pIn[k];
}

void SetIdentity4x4(float *pJ) {
  for (int k = 0; k < 16; ++k) pJ[k] = (k % 5 == 0) ? 1.0f : 0.0f;
}

std::string FormatText(const char *pFormat, ...) __attribute__((format(printf, 1, 2)));
std::string FormatText(const char *pFormat, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, pFormat);
  std::vsnprintf(buffer, sizeof(buffer), pFormat, args);
  va_end(args);
  return buffer;
}

// Spatial axes of a grid used for the box and facet tests.
inline int SpatialAxes(int iDimension) {
  return iDimension < 1 ? 3 : (iDimension > 3 ? 3 : iDimension);
}

bool SamePlacement(const nuqImageInfo *pA, const nuqImageInfo *pB) {
  if (!pA->IsSameGrid(pB)) return false;
  const float *pMa = pA->GetImageToWorld(), *pMb = pB->GetImageToWorld();
  for (int k = 0; k < 12; ++k)
    if (std::fabs(pMa[k] - pMb[k]) > 1e-4f * (1.0f + std::fabs(pMa[k]))) return false;
  return true;
}

// Visits from, from + step, ... up to to inclusive. A step that is not
// positive, or too small to change the value, ends the axis (NaN stops the
// comparison), so that no loop can run forever.
struct nuqAxisRange {
  float fFrom, fTo, fStep;
  bool Continue(float v) const { return v <= fTo; }
  float Next(float v) const {
    if (fStep > 0) {
      const float fNext = v + fStep;
      if (fNext > v) return fNext;
    }
    return std::numeric_limits<float>::quiet_NaN();
  }
};

}  // namespace

nuqTransformLocalAffines::nuqTransformLocalAffines()
    : m_pRegionImages(nullptr),
      m_bHasRegionFileNames(false),
      m_bHasFacet(false),
      m_bNumericJacobian(false),
      m_bAuxiliaryFlag(false) {
  for (int i = 0; i < kMaxLocalAffines; ++i) m_aDistanceModels[i].SetImage(&m_aDistanceMaps[i]);
  for (int k = 0; k < 3; ++k) {
    m_fFacetFrom[k] = -kFarFacet;
    m_fFacetTo[k] = kFarFacet;
  }
  m_fFacetFrom[3] = 0;
  m_fFacetTo[3] = 0;
}

nuqTransformLocalAffines::~nuqTransformLocalAffines() {}

nuqTransformBase *nuqTransformLocalAffines::CloneTo(nuqTransformBase *&pTarget) {
  if (!pTarget) pTarget = new nuqTransformLocalAffines;
  if (pTarget == this) return pTarget;
  nuqTransformMultipleAffines::CloneTo(pTarget);
  auto *pCopy = dynamic_cast<nuqTransformLocalAffines *>(pTarget);
  if (!pCopy) return pTarget;
  for (int k = 0; k < 4; ++k) {
    pCopy->m_fFacetFrom[k] = m_fFacetFrom[k];
    pCopy->m_fFacetTo[k] = m_fFacetTo[k];
  }
  pCopy->m_bHasFacet = m_bHasFacet;
  pCopy->m_bNumericJacobian = m_bNumericJacobian;
  pCopy->m_bAuxiliaryFlag = m_bAuxiliaryFlag;
  pCopy->m_bHasRegionFileNames = m_bHasRegionFileNames;
  for (int i = 0; i < kMaxLocalAffines; ++i) {
    pCopy->m_strRegionFileNames[i] = m_strRegionFileNames[i];
    if (m_aDistanceMaps[i].IsEmpty())
      pCopy->m_aDistanceMaps[i].ReleaseImage();
    else
      m_aDistanceMaps[i].Clone(&pCopy->m_aDistanceMaps[i]);
    pCopy->m_aDistanceModels[i].SetImage(&pCopy->m_aDistanceMaps[i]);
  }
  if (m_pRegionImages == m_aRegionImages) {
    // Own region images are copied rather than shared, so the clone never
    // points into this object.
    for (int i = 0; i < kMaxLocalAffines; ++i) {
      if (m_aRegionImages[i].IsEmpty())
        pCopy->m_aRegionImages[i].ReleaseImage();
      else
        m_aRegionImages[i].Clone(&pCopy->m_aRegionImages[i]);
    }
    pCopy->m_pRegionImages = pCopy->m_aRegionImages;
  } else {
    pCopy->m_pRegionImages = m_pRegionImages;
  }
  return pTarget;
}

void nuqTransformLocalAffines::TransformWorldToWorld(const float *pIn, float *pOut) {
  float fLocal[4];
  LocalTransformWorldToWorld(pIn, fLocal);
  float fResult[4];
  CopyPoint(fLocal, fResult);
  nuqTransformAffine::TransformWorldToWorld(fLocal, fResult);
  CopyPoint(fResult, pOut);
}

bool nuqTransformLocalAffines::GetJacobianMatrixWorld(const float *pWorld, float *pJacobian) {
  // The mapping is the global affine after the blend, so its Jacobian is
  // the global matrix times the Jacobian of the blend.
  float fGlobal[16];
  nuqTransformAffine::GetJacobianMatrixWorld(pWorld, fGlobal);
  if (m_nNoLocalAffines < 1) {
    CopyMatrix(pJacobian, fGlobal, 4);
    return true;
  }
  float fLocal[16];
  const bool bResult = GetLocalJacobianMatrixWorld(pWorld, fLocal);
  MultiplyMatrix(pJacobian, fGlobal, fLocal, 4);
  return bResult;
}

bool nuqTransformLocalAffines::AlignCentres(const std::string &strKeyword) {
  if (strKeyword == "centre") return AlignCentresByType(2);
  if (strKeyword == "gcentre") return AlignCentresByType(3);
  return false;
}

bool nuqTransformLocalAffines::SetFacetFromStream(std::istream &in) {
  float fValues[8];
  int nRead = 0;
  while (nRead < 8 && ReadTransformNumbers(in, &fValues[nRead], 1)) ++nRead;
  for (int k = 0; k < nRead; ++k) {
    if (k < 4)
      m_fFacetFrom[k] = fValues[k];
    else
      m_fFacetTo[k - 4] = fValues[k];
  }
  return nRead == 8;
}

bool nuqTransformLocalAffines::ReadFromStream(std::istream &in) {
  const bool bLocalsRead = nuqTransformMultipleAffines::ReadFromStream(in);
  m_bHasFacet = bLocalsRead && SetFacetFromStream(in);
  if (!m_bHasFacet) {
    for (int k = 0; k < 3; ++k) {
      m_fFacetFrom[k] = -kFarFacet;
      m_fFacetTo[k] = kFarFacet;
    }
  }
  m_bHasRegionFileNames = false;
  // A broken global or local section is a failed read, whatever follows.
  if (!bLocalsRead) return false;
  if (!m_bHasFacet) return true;
  int nNames = 0;
  if (!ReadTransformInteger(in, nNames) || nNames < 1) return true;
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    std::string strName;
    if (!ReadTransformLine(in, strName)) strName.clear();
    m_strRegionFileNames[i] = strName;
  }
  m_bHasRegionFileNames = true;
  return true;
}

std::string nuqTransformLocalAffines::GetTransformText() {
  std::string strText = nuqTransformMultipleAffines::GetTransformText();
  strText += FormatText(
      "# Corner coordinates x y z t, from#\n %f\n %f\n %f\n %f\n# Corner coordinates x y z t, "
      "to#\n %f\n %f\n %f\n %f \n",
      m_fFacetFrom[0], m_fFacetFrom[1], m_fFacetFrom[2], m_fFacetFrom[3], m_fFacetTo[0],
      m_fFacetTo[1], m_fFacetTo[2], m_fFacetTo[3]);
  if (m_bHasRegionFileNames) {
    strText += FormatText("# No. of Local Region File Names #\n %i \n", m_nNoLocalAffines);
    for (int i = 0; i < m_nNoLocalAffines; ++i) {
      strText += FormatText("# %ith region file name #\n", i);
      strText += m_strRegionFileNames[i] + "\n";
    }
  }
  return strText;
}

bool nuqTransformLocalAffines::PreComputeDistance2WeightAndSetModel() {
  if (m_nNoLocalAffines > 0) {
    if (!m_pRegionImages) {
      std::cerr << "error: local affine transform "
                << (m_strTransformFileName.empty() ? "" : m_strTransformFileName + " ")
                << "has no region images to compute distances\n";
      return false;
    }
    for (int i = 0; i < m_nNoLocalAffines; ++i) {
      const nuqImageDataT<short> &region = m_pRegionImages[i];
      if (region.IsEmpty()) {
        std::cerr << "error: region image " << i << " (" << m_strRegionFileNames[i]
                  << ") holds no voxels\n";
        return false;
      }
      // The blend looks every region up on the grid of region 0.
      if (i > 0 && !SamePlacement(region.GetInfo(), m_pRegionImages[0].GetInfo())) {
        std::cerr << "error: region image " << i << " (" << m_strRegionFileNames[i]
                  << ") has a different geometry from region image 0 ("
                  << m_strRegionFileNames[0] << ")\n";
        return false;
      }
    }
  }
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqImageDataT<short> &region = m_pRegionImages[i];
    nuqImageDataT<float> &map = m_aDistanceMaps[i];
    if (!map.NewImage(region.GetDimension(), region.GetSizeArray(), region.GetSpacingArray(),
                      region.GetInfo()) ||
        !ComputeDistanceMap(&region, &map, 1, 32000, false, false)) {
      std::cerr << "error: distance map of region image " << i << " ("
                << m_strRegionFileNames[i] << ") could not be computed\n";
      for (int k = 0; k <= i; ++k) m_aDistanceMaps[k].ReleaseImage();
      return false;
    }
  }
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqImageDataT<float> &map = m_aDistanceMaps[i];
    m_aDistanceModels[i].SetImage(&map);
    int iSize[4];
    float fSpacing[4];
    for (int k = 0; k < 4; ++k) {
      iSize[k] = map.GetSizeArray()[k];
      fSpacing[k] = map.GetSpacingArray()[k];
    }
    m_aDistanceModels[i].ResampleToSize(iSize, fSpacing);
  }
  if (IsDebugShown()) std::cout << "debug: \t Compute Distance and SetModels\n";
  return true;
}

void nuqTransformLocalAffines::CheckDistanceMaps(const char *pWhere) const {
  bool bReady = true;
  for (int i = 0; i < m_nNoLocalAffines && bReady; ++i) bReady = !m_aDistanceMaps[i].IsEmpty();
  if (bReady) return;
  std::cout << "error: misuse nuqTrasnformLocalAffines::" << pWhere
            << " without PreComputeDistance2WeightAndSetModel \n";
  std::cout.flush();
  std::exit(1);
}

void nuqTransformLocalAffines::WorldToRegionGrid(const float *pWorld, float *pGrid) const {
  CopyPoint(pWorld, pGrid);
  if (!m_aDistanceMaps[0].IsEmpty())
    m_aDistanceMaps[0].GetInfo()->WorldToGrid(pGrid);
  else if (m_pRegionImages)
    m_pRegionImages[0].GetInfo()->WorldToGrid(pGrid);
}

float nuqTransformLocalAffines::IdentityWeight(const float *pWorld, float *pGradient) const {
  const int nAxes = SpatialAxes(m_iDimension);
  float fWeight = 0;
  for (int a = 0; a < 3; ++a) {
    if (pGradient) pGradient[a] = 0;
    if (a >= nAxes) continue;
    const float fFrom = std::fabs(pWorld[a] - m_fFacetFrom[a]);
    const float fTo = std::fabs(m_fFacetTo[a] - pWorld[a]);
    fWeight += 0.5f * InverseOrHuge(fFrom) + 0.5f * InverseOrHuge(fTo);
    if (pGradient)
      pGradient[a] = 0.5f * InverseSquareOrHuge(fFrom) - 0.5f * InverseSquareOrHuge(fTo);
  }
  return fWeight;
}

void nuqTransformLocalAffines::Blend(const float *pIn, const float *pGrid, float fExtra,
                                     float *pOut) {
  float fWeights = 0;
  float fSum[3] = {0, 0, 0};
  float fLocal[4];
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    const float fDistance =
        m_aDistanceModels[i].GetPixelGreyscaleClamped(pGrid[0], pGrid[1], pGrid[2], pGrid[3]) +
        fExtra;
    CopyPoint(pIn, fLocal);
    m_pLocalAffines[i]->TransformWorldToWorld(pIn, fLocal);
    if (!(fDistance > kZeroDistance)) {
      // Inside region i: the first such local alone maps the point.
      CopyPoint(fLocal, pOut);
      return;
    }
    fWeights += 1.0f / fDistance;
    for (int k = 0; k < 3; ++k) fSum[k] += fLocal[k] / fDistance;
  }
  const float fIdentity = IdentityWeight(pIn, nullptr);
  fWeights += fIdentity;
  float fResult[4];
  CopyPoint(pIn, fResult);
  if (fWeights > 0)
    for (int k = 0; k < 3; ++k) fResult[k] = (fSum[k] + fIdentity * pIn[k]) / fWeights;
  CopyPoint(fResult, pOut);
}

void nuqTransformLocalAffines::LocalTransformWorldToWorld(const float *pIn, float *pOut) {
  if (m_nNoLocalAffines < 1) {
    float fCopy[4];
    CopyPoint(pIn, fCopy);
    CopyPoint(fCopy, pOut);
    return;
  }
  CheckDistanceMaps("LocalTransformWorldToWorld");
  float fPoint[4], fGrid[4];
  CopyPoint(pIn, fPoint);
  WorldToRegionGrid(fPoint, fGrid);
  // Outside the region grid the distance to the grid box is added to every
  // region distance (the maps themselves are clamped at the border).
  const nuqImageInfo *pInfo = m_aDistanceMaps[0].GetInfo();
  const int nAxes = SpatialAxes(pInfo->GetDimension());
  float fClamped[4];
  CopyPoint(fGrid, fClamped);
  bool bOutside = false;
  for (int a = 0; a < nAxes; ++a) {
    const float fMax = static_cast<float>(pInfo->GetSize(a) - 1);
    if (fClamped[a] < 0) {
      fClamped[a] = 0;
      bOutside = true;
    } else if (fClamped[a] > fMax) {
      fClamped[a] = fMax;
      bOutside = true;
    }
  }
  float fExtra = 0;
  if (bOutside) {
    pInfo->GridToWorld(fClamped);
    double dSum = 0;
    for (int a = 0; a < 3; ++a) {
      const double dDiff = static_cast<double>(fClamped[a]) - fPoint[a];
      dSum += dDiff * dDiff;
    }
    fExtra = static_cast<float>(std::sqrt(dSum));
  }
  Blend(fPoint, fGrid, fExtra, pOut);
}

void nuqTransformLocalAffines::LocalTransformTestGridToWorld(const float *pTestGrid,
                                                             float *pWorld) {
  float fPoint[4];
  CopyPoint(pTestGrid, fPoint);
  if (m_pTestImage) m_pTestImage->GridToWorld(fPoint);
  LocalTransformWorldToWorld(fPoint, pWorld);
}

bool nuqTransformLocalAffines::IsOutsideFacetCorners(const float *pGrid) const {
  if (!m_bHasFacet) return false;
  float fFrom[4], fTo[4];
  WorldToRegionGrid(m_fFacetFrom, fFrom);
  WorldToRegionGrid(m_fFacetTo, fTo);
  const int nAxes = SpatialAxes(m_iDimension);
  for (int a = 0; a < nAxes; ++a) {
    const float fLow = fFrom[a] < fTo[a] ? fFrom[a] : fTo[a];
    const float fHigh = fFrom[a] < fTo[a] ? fTo[a] : fFrom[a];
    if (pGrid[a] <= fLow || pGrid[a] >= fHigh) return true;
  }
  return false;
}

bool nuqTransformLocalAffines::IsInsideFacet(const float *pWorld) {
  const nuqImageInfo *pInfo = nullptr;
  if (!m_aDistanceMaps[0].IsEmpty())
    pInfo = m_aDistanceMaps[0].GetInfo();
  else if (m_pRegionImages && !m_pRegionImages[0].IsEmpty())
    pInfo = m_pRegionImages[0].GetInfo();
  if (!pInfo) return false;
  float fGrid[4];
  WorldToRegionGrid(pWorld, fGrid);
  const int nAxes = SpatialAxes(pInfo->GetDimension());
  for (int a = 0; a < nAxes; ++a)
    if (fGrid[a] < 0 || fGrid[a] > static_cast<float>(pInfo->GetSize(a) - 1)) return false;
  return !IsOutsideFacetCorners(fGrid);
}

void nuqTransformLocalAffines::MapOutsideFacet(const float *pIn, float *pOut) {
  float fPoint[4], fGrid[4];
  CopyPoint(pIn, fPoint);
  WorldToRegionGrid(fPoint, fGrid);
  if (IsOutsideFacetCorners(fGrid)) {
    CopyPoint(fPoint, pOut);
    return;
  }
  // Inside the facet but outside the region grid: the displacement of the
  // nearest grid-box point.
  CheckDistanceMaps("LocalTransformWorldToWorld");
  const nuqImageInfo *pInfo = m_aDistanceMaps[0].GetInfo();
  const int nAxes = SpatialAxes(pInfo->GetDimension());
  for (int a = 0; a < nAxes; ++a) {
    const float fMax = static_cast<float>(pInfo->GetSize(a) - 1);
    if (fGrid[a] < 0) fGrid[a] = 0;
    if (fGrid[a] > fMax) fGrid[a] = fMax;
  }
  pInfo->GridToWorld(fGrid);
  float fMapped[4];
  LocalTransformWorldToWorld(fGrid, fMapped);
  float fResult[4];
  CopyPoint(fPoint, fResult);
  for (int k = 0; k < 3; ++k) fResult[k] = fPoint[k] + (fMapped[k] - fGrid[k]);
  CopyPoint(fResult, pOut);
}

void nuqTransformLocalAffines::LocalTransformWorldToWorldInsideFacet(const float *pIn,
                                                                     float *pOut) {
  float fPoint[4];
  CopyPoint(pIn, fPoint);
  if (m_nNoLocalAffines < 1) {
    CopyPoint(fPoint, pOut);
    return;
  }
  if (!IsInsideFacet(fPoint)) {
    MapOutsideFacet(fPoint, pOut);
    return;
  }
  CheckDistanceMaps("LocalTransformWorldToWorld");
  float fGrid[4];
  WorldToRegionGrid(fPoint, fGrid);
  Blend(fPoint, fGrid, 0.0f, pOut);
}

void nuqTransformLocalAffines::LocalTransformWorldToWorldByNearestRegionPoint(const float *pIn,
                                                                              float *pOut) {
  float fPoint[4];
  CopyPoint(pIn, fPoint);
  if (m_nNoLocalAffines < 1) {
    CopyPoint(fPoint, pOut);
    return;
  }
  if (!IsInsideFacet(fPoint)) {
    MapOutsideFacet(fPoint, pOut);
    return;
  }
  CheckDistanceMaps("LocalTransformWorldToWorld");
  float fGrid[4];
  WorldToRegionGrid(fPoint, fGrid);
  const int nAxes = SpatialAxes(m_iDimension);
  float fWeights = 0;
  float fSum[3] = {0, 0, 0};
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    const float fDistance =
        m_aDistanceModels[i].GetPixelGreyscaleClamped(fGrid[0], fGrid[1], fGrid[2], fGrid[3]);
    float fNormal[4] = {0, 0, 0, 0};
    m_aDistanceModels[i].GetGridGradient(fNormal, fGrid[0], fGrid[1], fGrid[2], fGrid[3]);
    double dLength = 0;
    for (int a = 0; a < nAxes; ++a) dLength += static_cast<double>(fNormal[a]) * fNormal[a];
    dLength = std::sqrt(dLength);
    float fNearest[4];
    CopyPoint(fPoint, fNearest);
    for (int a = 0; a < nAxes; ++a) {
      const float fUnit = dLength > 0 ? static_cast<float>(fNormal[a] / dLength) : 0.0f;
      fNearest[a] = fPoint[a] - fDistance * fUnit;
    }
    float fLocal[4];
    CopyPoint(fNearest, fLocal);
    m_pLocalAffines[i]->TransformWorldToWorld(fNearest, fLocal);
    if (!(fDistance > kZeroDistance)) {
      CopyPoint(fLocal, pOut);
      return;
    }
    fWeights += 1.0f / fDistance;
    for (int k = 0; k < 3; ++k) fSum[k] += (fLocal[k] - fNearest[k]) / fDistance;
  }
  fWeights += IdentityWeight(fPoint, nullptr);
  float fResult[4];
  CopyPoint(fPoint, fResult);
  if (fWeights > 0)
    for (int k = 0; k < 3; ++k) fResult[k] = fPoint[k] + fSum[k] / fWeights;
  CopyPoint(fResult, pOut);
}

bool nuqTransformLocalAffines::GetLocalJacobianMatrixWorld(const float *pWorld, float *pJacobian) {
  if (m_bNumericJacobian || !IsInsideFacet(pWorld))
    return GetLocalJacobianMatrixByDifferences(pWorld, pJacobian);
  if (m_nNoLocalAffines < 1) {
    SetIdentity4x4(pJacobian);
    return false;
  }
  CheckDistanceMaps("LocalTransformWorldToWorld");
  float fPoint[4], fGrid[4];
  CopyPoint(pWorld, fPoint);
  WorldToRegionGrid(fPoint, fGrid);
  float fDistances[kMaxLocalAffines];
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    fDistances[i] =
        m_aDistanceModels[i].GetPixelGreyscaleClamped(fGrid[0], fGrid[1], fGrid[2], fGrid[3]);
    if (fDistances[i] <= kZeroDistance)
      return m_pLocalAffines[i]->GetJacobianMatrixWorld(fPoint, pJacobian);
  }
  // y = (sum_i w_i y_i + w0 x) / W with W = sum_i w_i + w0, hence
  // dy_r/dx_c = (A(r,c) + w0 delta(r,c) + x_r dw0_c - G_c (B_r + w0 x_r) / W) / W
  // with A = sum_i (w_i J_i + y_i (grad w_i)^T), B = sum_i w_i y_i and
  // G = sum_i grad w_i + grad w0, grad w_i = -grad d_i / d_i^2.
  float fA[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  float fB[3] = {0, 0, 0};
  float fG[3] = {0, 0, 0};
  float fWeights = 0;
  float fLocal[4], fLocalJacobian[16];
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    const float fWeight = 1.0f / fDistances[i];
    float fGradient[4] = {0, 0, 0, 0};
    m_aDistanceModels[i].GetGridGradient(fGradient, fGrid[0], fGrid[1], fGrid[2], fGrid[3]);
    float fWeightGradient[3];
    for (int c = 0; c < 3; ++c) {
      fWeightGradient[c] = -fGradient[c] / (fDistances[i] * fDistances[i]);
      fG[c] += fWeightGradient[c];
    }
    fWeights += fWeight;
    CopyPoint(fPoint, fLocal);
    m_pLocalAffines[i]->TransformWorldToWorld(fPoint, fLocal);
    m_pLocalAffines[i]->GetJacobianMatrixWorld(fPoint, fLocalJacobian);
    for (int r = 0; r < 3; ++r) {
      fB[r] += fWeight * fLocal[r];
      for (int c = 0; c < 3; ++c)
        fA[r][c] += fWeight * fLocalJacobian[4 * r + c] + fLocal[r] * fWeightGradient[c];
    }
  }
  float fIdentityGradient[3];
  const float fIdentity = IdentityWeight(fPoint, fIdentityGradient);
  fWeights += fIdentity;
  for (int c = 0; c < 3; ++c) fG[c] += fIdentityGradient[c];
  SetIdentity4x4(pJacobian);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      pJacobian[4 * r + c] =
          (fA[r][c] + (r == c ? fIdentity : 0.0f) + fPoint[r] * fIdentityGradient[c] -
           fG[c] * (fB[r] + fIdentity * fPoint[r]) / fWeights) /
          fWeights;
  return true;
}

bool nuqTransformLocalAffines::GetLocalJacobianMatrixByDifferences(const float *pWorld,
                                                                   float *pJacobian) {
  SetIdentity4x4(pJacobian);
  float fPoint[4], fPlus[4], fMinus[4];
  CopyPoint(pWorld, fPoint);
  const int nAxes = m_iDimension < 1 ? 3 : (m_iDimension > 4 ? 4 : m_iDimension);
  for (int i = 0; i < nAxes; ++i) {
    fPoint[i] += 0.5f;
    LocalTransformWorldToWorld(fPoint, fPlus);
    fPoint[i] -= 1.0f;
    LocalTransformWorldToWorld(fPoint, fMinus);
    fPoint[i] += 0.5f;
    for (int j = 0; j < nAxes; ++j) pJacobian[4 * j + i] = fPlus[j] - fMinus[j];
  }
  return true;
}

bool nuqTransformLocalAffines::ReportLocalJacobianBySampling(float &fMax, float &fMin,
                                                             const float *pFrom, const float *pTo,
                                                             const float *pStep,
                                                             float fFraction) {
  fMin = 1e20f;
  fMax = -1e20f;
  std::srand(static_cast<unsigned int>(std::time(nullptr)));
  const int iThreshold = static_cast<int>(fFraction * 32767);
  nuqAxisRange range[4];
  for (int a = 0; a < 4; ++a) range[a] = {pFrom[a], pTo[a], pStep[a]};
  float fPoint[4], fJacobian[16];
  for (float t = pFrom[3]; range[3].Continue(t); t = range[3].Next(t))
    for (float z = pFrom[2]; range[2].Continue(z); z = range[2].Next(z))
      for (float y = pFrom[1]; range[1].Continue(y); y = range[1].Next(y))
        for (float x = pFrom[0]; range[0].Continue(x); x = range[0].Next(x)) {
          const int r = std::rand() % 32768;
          if (iThreshold < r) continue;
          fPoint[0] = x;
          fPoint[1] = y;
          fPoint[2] = z;
          fPoint[3] = t;
          GetLocalJacobianMatrixWorld(fPoint, fJacobian);
          const float fDet = Determinant3x3(fJacobian, 4);
          if (fDet < fMin) fMin = fDet;
          if (fDet > fMax) fMax = fDet;
        }
  if (IsSuccessShown())
    std::cout << "success: \t max local jacobian value " << fMax << " min value " << fMin
              << " in " << fFraction << " of sampling\n";
  return true;
}

float nuqTransformLocalAffines::ReportLocalJacobianOnGrid(nuqImageDataT<short> *pImage,
                                                          const float *pFrom, const float *pTo,
                                                          const float *pStep,
                                                          nuqImageDataT<short> *pSourceMask,
                                                          nuqImageDataT<short> *pTargetMask) {
  if (!pImage) return 1;
  float fMax = -10000000.0f, fMin = 1e8f;
  nuqImageModelingLinearT<short, float> sourceModel, targetModel;
  if (pSourceMask) sourceModel.SetImage(pSourceMask);
  if (pTargetMask) targetModel.SetImage(pTargetMask);
  nuqAxisRange range[4];
  for (int a = 0; a < 4; ++a) range[a] = {pFrom[a], pTo[a], pStep[a]};
  float fPoint[4], fGrid[4], fMapped[4], fJacobian[16];
  for (float t = pFrom[3]; range[3].Continue(t); t = range[3].Next(t))
    for (float z = pFrom[2]; range[2].Continue(z); z = range[2].Next(z))
      for (float y = pFrom[1]; range[1].Continue(y); y = range[1].Next(y))
        for (float x = pFrom[0]; range[0].Continue(x); x = range[0].Next(x)) {
          fPoint[0] = x;
          fPoint[1] = y;
          fPoint[2] = z;
          fPoint[3] = t;
          pImage->GridToWorld(fPoint);
          if (pSourceMask) {
            if (!pSourceMask->InsideWorld(fPoint)) continue;
            CopyPoint(fPoint, fGrid);
            pSourceMask->WorldToGrid(fGrid);
            if (sourceModel.GetPixelGreyscaleClamped(fGrid[0], fGrid[1], fGrid[2], fGrid[3]) == 0)
              continue;
          }
          if (pTargetMask) {
            CopyPoint(fPoint, fMapped);
            TransformWorldToWorld(fPoint, fMapped);
            if (!pTargetMask->InsideWorld(fMapped)) continue;
            CopyPoint(fMapped, fGrid);
            pTargetMask->WorldToGrid(fGrid);
            if (targetModel.GetPixelGreyscaleClamped(fGrid[0], fGrid[1], fGrid[2], fGrid[3]) == 0)
              continue;
          }
          GetLocalJacobianMatrixWorld(fPoint, fJacobian);
          const float fDet = Determinant3x3(fJacobian, 4);
          if (fDet < fMin) fMin = fDet;
          if (fDet > fMax) fMax = fDet;
        }
  if (IsSuccessShown())
    std::cout << "success: \t max local jacobian value " << fMax << " min value " << fMin << "\n";
  return fMin;
}

void nuqTransformLocalAffines::SetRegionImages(nuqImageDataT<short> *pImages) {
  m_pRegionImages = pImages;
  if (pImages) SetDimension(pImages[0].GetDimension());
}

nuqImageDataT<short> *nuqTransformLocalAffines::GetRegionImages() { return m_pRegionImages; }

bool nuqTransformLocalAffines::SetRegionFileName(const std::string &strName, int iIndex) {
  if (iIndex < 0 || iIndex >= kMaxLocalAffines) return false;
  m_strRegionFileNames[iIndex] = strName;
  m_bHasRegionFileNames = true;
  return true;
}

bool nuqTransformLocalAffines::SetRegionFileNames(const std::string *pNames) {
  if (!pNames) return false;
  for (int i = 0; i < m_nNoLocalAffines; ++i) m_strRegionFileNames[i] = pNames[i];
  m_bHasRegionFileNames = true;
  return true;
}

const std::string *nuqTransformLocalAffines::GetRegionFileNames() const {
  return m_strRegionFileNames;
}

bool nuqTransformLocalAffines::HasRegionFileNames() const { return m_bHasRegionFileNames; }

bool nuqTransformLocalAffines::ReadRegionImages() {
  if (!m_bHasRegionFileNames) return false;
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (!ReadImageFile(&m_aRegionImages[i], m_strRegionFileNames[i])) return false;
  m_pRegionImages = m_aRegionImages;
  return true;
}

void nuqTransformLocalAffines::SetFacet(const float *pFrom, const float *pTo, int iDimension) {
  m_iDimension = iDimension;
  for (int k = 0; k < iDimension && k < 4; ++k) {
    m_fFacetFrom[k] = pFrom[k];
    m_fFacetTo[k] = pTo[k];
  }
  m_bHasFacet = true;
}

bool nuqTransformLocalAffines::GetFacet(float *pFrom, float *pTo) {
  if (m_bHasFacet) {
    CopyPoint(m_fFacetFrom, pFrom);
    CopyPoint(m_fFacetTo, pTo);
    return true;
  }
  for (int k = 0; k < 4; ++k) pFrom[k] = pTo[k] = 0;
  if (m_pTestImage) {
    const int *pSize = m_pTestImage->GetSizeArray();
    for (int k = 0; k < 4; ++k) pTo[k] = static_cast<float>(pSize[k] - 1);
    m_pTestImage->GridToWorld(pFrom);
    m_pTestImage->GridToWorld(pTo);
  }
  return false;
}

void nuqTransformLocalAffines::SetNumericJacobian(bool bNumeric) { m_bNumericJacobian = bNumeric; }

bool nuqTransformLocalAffines::GetNumericJacobian() const { return m_bNumericJacobian; }

void nuqTransformLocalAffines::SetAuxiliaryFlag(bool bFlag) { m_bAuxiliaryFlag = bFlag; }

bool nuqTransformLocalAffines::GetAuxiliaryFlag() const { return m_bAuxiliaryFlag; }

nuqTransformLocalAffines *nuqTransformLocalAffines::NewWorkingCopy() {
  nuqTransformBase *pCopy = nullptr;
  CloneTo(pCopy);
  auto *pWork = static_cast<nuqTransformLocalAffines *>(pCopy);
  // Region images of its own, empty, on the geometry of this transform's.
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    pWork->m_aRegionImages[i].NewImage(m_pRegionImages[i].GetInfo());
  pWork->m_pRegionImages = pWork->m_aRegionImages;
  return pWork;
}

namespace {

// Samples the chain (first, second) on the grid of the image.
nuqTransformFields *ComposeOnImageGrid(nuqTransformBase *pFirst, nuqTransformBase *pSecond,
                                       nuqImageDataT<short> *pImage) {
  nuqTransformBase *pChain[2] = {pFirst, pSecond};
  float fExtent[4] = {0, 0, 0, 0};
  pImage->GetPhysicalExtent(fExtent);
  return ComposeTransformsToField(pChain, 2, pImage->GetDimension(), pImage->GetSpacingArray(),
                                  fExtent, nullptr, nullptr, pImage->GetInfo());
}

// pResult := the identity concatenated iTimes with pLocal (pLocal^iTimes).
void PowerOfLocal(nuqTransformAffine *pLocal, int iTimes, int iDimension,
                  nuqTransformMatrix &result) {
  result.SetDimension(iDimension);
  result.SetIdentity();
  for (int k = 0; k < iTimes; ++k) {
    nuqTransformMatrix next;
    next.SetToConcatenation(&result, pLocal);
    nuqTransformBase *pTarget = &result;
    next.CloneTo(pTarget);
  }
}

}  // namespace

nuqTransformFields *nuqTransformLocalAffines::ComposeSquaredField(nuqImageDataT<short> *pImage,
                                                                  int n, bool bInverse) {
  if (m_nNoLocalAffines < 1 || !m_pRegionImages || n <= 0 || !pImage || pImage->IsEmpty())
    return nullptr;
  nuqTransformAffine *pSaved[kMaxLocalAffines];
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformBase *pCopy = nullptr;
    m_pLocalAffines[i]->CloneTo(pCopy);
    pSaved[i] = static_cast<nuqTransformAffine *>(pCopy);
  }
  auto restore = [&]() {
    for (int i = 0; i < m_nNoLocalAffines; ++i) {
      delete m_pLocalAffines[i];
      m_pLocalAffines[i] = pSaved[i];
    }
  };
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    bool bOk = true;
    for (int k = 0; k < n && bOk; ++k) bOk = m_pLocalAffines[i]->SquareRoot();
    if (bOk && bInverse) bOk = m_pLocalAffines[i]->Invert();
    if (!bOk) {
      std::cerr << (bInverse ? "error: squareroot affine transformation fail !!!!!!!!!!!!!\n"
                             : "error: square root affine transformation fail in localaffine\n");
      restore();
      return nullptr;
    }
  }
  // F1 = T then T, F(k+1) = F(k) then F(k).
  nuqTransformFields *pField = ComposeOnImageGrid(this, this, pImage);
  for (int k = 1; k < n && pField; ++k) {
    nuqTransformFields *pNext = ComposeOnImageGrid(pField, pField, pImage);
    delete pField;
    pField = pNext;
  }
  restore();
  return pField;
}

nuqTransformFields *nuqTransformLocalAffines::SquareSquareRootField(nuqImageDataT<short> *pImage,
                                                                    int n) {
  return ComposeSquaredField(pImage, n, false);
}

nuqTransformFields *nuqTransformLocalAffines::SquareInverseSquareRootField(
    nuqImageDataT<short> *pImage, int n) {
  return ComposeSquaredField(pImage, n, true);
}

nuqTransformFields *nuqTransformLocalAffines::ComposeSquareRootField(nuqImageDataT<short> *pImage,
                                                                     int n) {
  // 2^n steps; beyond 2^30 the count would overflow.
  if (m_nNoLocalAffines < 1 || !m_pRegionImages || n < 1 || n > 30 || !pImage ||
      pImage->IsEmpty())
    return nullptr;
  const int nSteps = 1 << n;
  nuqTransformLocalAffines *pWork = NewWorkingCopy();
  for (int j = 0; j < m_nNoLocalAffines; ++j) {
    bool bOk = true;
    for (int k = 0; k < n && bOk; ++k) bOk = pWork->m_pLocalAffines[j]->SquareRoot();
    if (!bOk) {
      std::cerr << "error: square root affine transformation fail in localaffine\n";
      delete pWork;
      return nullptr;
    }
  }
  nuqTransformFields *pField = nullptr;
  for (int s = 0; s < nSteps; ++s) {
    if (IsDebugShown()) std::cout << "debug: \t \t compose step " << s << "\n";
    if (s > 0) {
      for (int j = 0; j < m_nNoLocalAffines; ++j) {
        nuqTransformMatrix power, inverse;
        PowerOfLocal(pWork->m_pLocalAffines[j], s, m_iDimension, power);
        inverse.SetFromMatrix(power.GetInverseMatrixPointer(), nullptr, 1e-7f);
        nuqImageModelingBaseT<short, float> nearest(&m_pRegionImages[j]);
        nearest.WarpImageClamped(&pWork->m_aRegionImages[j], &inverse);
      }
      if (!pWork->PreComputeDistance2WeightAndSetModel()) break;
    }
    nuqTransformFields *pNext = ComposeOnImageGrid(pField, pWork, pImage);
    delete pField;
    pField = pNext;
  }
  delete pWork;
  return pField;
}

nuqTransformFields *nuqTransformLocalAffines::ComposeInverseSquareRootField(
    nuqImageDataT<short> *pImage, int n) {
  if (m_nNoLocalAffines < 1 || !m_pRegionImages || n < 0 || n > 30 || !pImage ||
      pImage->IsEmpty())
    return nullptr;
  const int nSteps = 1 << n;
  nuqTransformLocalAffines *pWork = NewWorkingCopy();
  for (int j = 0; j < m_nNoLocalAffines; ++j) {
    bool bOk = pWork->m_pLocalAffines[j]->SetFromMatrix(
        m_pLocalAffines[j]->GetInverseMatrixPointer(), nullptr, 1e-7f);
    for (int k = 0; k < n && bOk; ++k) bOk = pWork->m_pLocalAffines[j]->SquareRoot();
    if (!bOk) {
      std::cerr << "error: square root affine transformation fail in localaffine\n";
      delete pWork;
      return nullptr;
    }
  }
  nuqTransformFields *pField = nullptr;
  int nPower = nSteps;
  for (int s = 0; s < nSteps; ++s) {
    if (IsDebugShown()) std::cout << "debug: \t \t compose inv affine step " << s << "\n";
    for (int j = 0; j < m_nNoLocalAffines; ++j) {
      nuqTransformMatrix power;
      PowerOfLocal(pWork->m_pLocalAffines[j], nPower, m_iDimension, power);
      nuqImageModelingBaseT<short, float> nearest(&m_pRegionImages[j]);
      nearest.WarpImageClamped(&pWork->m_aRegionImages[j], &power);
    }
    if (!pWork->PreComputeDistance2WeightAndSetModel()) break;
    nuqTransformFields *pNext = ComposeOnImageGrid(pField, pWork, pImage);
    delete pField;
    pField = pNext;
    --nPower;
  }
  delete pWork;
  return pField;
}

bool nuqTransformLocalAffines::ComputeLocalGradientImpl(nuqMetricBase *pMetric,
                                                        nuqTransformBase *pStep) {
  if (!pStep) {
    std::cerr << "Error: local affine gradient should be given the local affine object as "
                 "differential step\n";
    return false;
  }
  if (!ComputeGlobalGradient(pMetric, pStep)) return false;
  nuqTransformBase *pTransform = pMetric->GetTransform();
  auto *pLocalTransform = dynamic_cast<nuqTransformLocalAffines *>(pTransform);
  nuqImageDataT<short> *pRegions = m_pRegionImages;
  if (!pRegions && pLocalTransform) pRegions = pLocalTransform->m_pRegionImages;
  nuqImageDataT<short> *pTestMask = pMetric->GetTestMaskImage();
  nuqImageDataT<short> *pRefMask = pMetric->GetRefMaskImage();
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    if (!m_pLocalAffines[i]) continue;
    // Only the metric samples inside region i count for local i.
    if (pRegions) pMetric->SetMaskImages(&pRegions[i], pRefMask);
    const int nParameters = m_pLocalAffines[i]->GetNumberOfParameters();
    for (int j = 0; j < nParameters && j < kAffineParameters; ++j) {
      const int k = kAffineParameters * (i + 1) + j;
      const float fStep = pStep->GetParameterValue(k);
      float fGradient = 0;
      if (fStep > 0) {
        const float fValue = pTransform->GetParameterValue(k);
        float fPlus = 0, fMinus = 0;
        pTransform->SetParameterValue(k, fValue + fStep);
        pMetric->GetValue(fPlus);
        pTransform->SetParameterValue(k, fValue - fStep);
        pMetric->GetValue(fMinus);
        pTransform->SetParameterValue(k, fValue);
        fGradient = fPlus - fMinus;
      }
      m_pLocalAffines[i]->SetParameterValue(j, fGradient);
    }
  }
  pMetric->SetMaskImages(pTestMask, pRefMask);
  return true;
}

bool nuqTransformLocalAffines::ComputeLocalGradient(nuqMetricBase *pMetric,
                                                    nuqTransformBase *pStep) {
  return ComputeLocalGradientImpl(pMetric, pStep);
}

bool nuqTransformLocalAffines::ComputeLocalGradientByRegions(nuqMetricBase *pMetric,
                                                             nuqTransformBase *pStep) {
  // The metric evaluates a region through its test mask, so the per-region
  // values are those of the masked evaluation above.
  return ComputeLocalGradientImpl(pMetric, pStep);
}
