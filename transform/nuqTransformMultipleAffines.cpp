#include "nuqTransformMultipleAffines.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "nuqConsole.h"
#include "nuqFileReason.h"
#include "nuqMetricBase.h"
#include "nuqTransformMatrix.h"

namespace {

std::string FormatInt(const char *pFormat, int iValue) {
  char buffer[256];
  std::snprintf(buffer, sizeof(buffer), pFormat, iValue);
  return buffer;
}

// Counts are compared unsigned so that negative ones are refused as well.
bool IsCountAllowed(int iCount) {
  return static_cast<unsigned int>(iCount) <= static_cast<unsigned int>(nuqTransformMultipleAffines::kMaxLocalAffines);
}

}  // namespace

nuqTransformMultipleAffines::nuqTransformMultipleAffines() : m_nNoLocalAffines(0) {
  for (int i = 0; i < kMaxLocalAffines; ++i) m_pLocalAffines[i] = nullptr;
}

nuqTransformMultipleAffines::~nuqTransformMultipleAffines() { DestroyLocals(); }

void nuqTransformMultipleAffines::DestroyLocals() {
  // Locals kept beyond a lowered count are owned as well.
  for (int i = 0; i < kMaxLocalAffines; ++i) {
    delete m_pLocalAffines[i];
    m_pLocalAffines[i] = nullptr;
  }
}

nuqTransformAffine *nuqTransformMultipleAffines::LocalOf(nuqTransformBase *pOther, int i) {
  auto *pMultiple = dynamic_cast<nuqTransformMultipleAffines *>(pOther);
  if (!pMultiple || i < 0 || i >= pMultiple->m_nNoLocalAffines) return nullptr;
  return pMultiple->m_pLocalAffines[i];
}

const nuqTransformAffine *nuqTransformMultipleAffines::LocalOf(const nuqTransformBase *pOther,
                                                               int i) {
  auto *pMultiple = dynamic_cast<const nuqTransformMultipleAffines *>(pOther);
  if (!pMultiple || i < 0 || i >= pMultiple->m_nNoLocalAffines) return nullptr;
  return pMultiple->m_pLocalAffines[i];
}

bool nuqTransformMultipleAffines::SetImages(nuqImageDataT<short> *pTestImage,
                                            nuqImageDataT<short> *pRefImage) {
  bool bResult = nuqTransformAffine::SetImages(pTestImage, pRefImage);
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (m_pLocalAffines[i]) m_pLocalAffines[i]->SetImages(pTestImage, pRefImage);
  return bResult;
}

std::string nuqTransformMultipleAffines::GetTransformType() const { return "AFFS"; }

nuqTransformBase *nuqTransformMultipleAffines::CloneTo(nuqTransformBase *&pTarget) {
  if (!pTarget) pTarget = new nuqTransformMultipleAffines;
  if (pTarget == this) return pTarget;
  nuqTransformAffine::CloneTo(pTarget);
  auto *pCopy = dynamic_cast<nuqTransformMultipleAffines *>(pTarget);
  if (!pCopy) return pTarget;
  pCopy->m_nNoLocalAffines = m_nNoLocalAffines;
  for (int i = 0; i < kMaxLocalAffines; ++i) {
    delete pCopy->m_pLocalAffines[i];
    pCopy->m_pLocalAffines[i] = nullptr;
    if (!m_pLocalAffines[i]) continue;
    nuqTransformBase *pLocal = nullptr;
    m_pLocalAffines[i]->CloneTo(pLocal);
    pCopy->m_pLocalAffines[i] = dynamic_cast<nuqTransformAffine *>(pLocal);
    if (!pCopy->m_pLocalAffines[i]) delete pLocal;
  }
  return pTarget;
}

bool nuqTransformMultipleAffines::SetAllParameters(float fValue) {
  nuqTransformAffine::SetAllParameters(fValue);
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (m_pLocalAffines[i]) m_pLocalAffines[i]->SetAllParameters(fValue);
  return true;
}

bool nuqTransformMultipleAffines::SetToSum(nuqTransformBase *pA, nuqTransformBase *pB) {
  nuqTransformAffine::SetToSum(pA, pB);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLa = LocalOf(pA, i), *pLb = LocalOf(pB, i);
    if (m_pLocalAffines[i] && pLa && pLb) m_pLocalAffines[i]->SetToSum(pLa, pLb);
  }
  return true;
}

bool nuqTransformMultipleAffines::Add(nuqTransformBase *pOther) {
  nuqTransformAffine::Add(pOther);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLo = LocalOf(pOther, i);
    if (m_pLocalAffines[i] && pLo) m_pLocalAffines[i]->Add(pLo);
  }
  return true;
}

bool nuqTransformMultipleAffines::SetToDifference(nuqTransformBase *pA, nuqTransformBase *pB) {
  nuqTransformAffine::SetToDifference(pA, pB);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLa = LocalOf(pA, i), *pLb = LocalOf(pB, i);
    if (m_pLocalAffines[i] && pLa && pLb) m_pLocalAffines[i]->SetToDifference(pLa, pLb);
  }
  return true;
}

bool nuqTransformMultipleAffines::Subtract(nuqTransformBase *pOther) {
  nuqTransformAffine::Subtract(pOther);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLo = LocalOf(pOther, i);
    if (m_pLocalAffines[i] && pLo) m_pLocalAffines[i]->Subtract(pLo);
  }
  return true;
}

bool nuqTransformMultipleAffines::SetToScaled(nuqTransformBase *pOther, float fFactor) {
  nuqTransformAffine::SetToScaled(pOther, fFactor);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLo = LocalOf(pOther, i);
    if (m_pLocalAffines[i] && pLo) m_pLocalAffines[i]->SetToScaled(pLo, fFactor);
  }
  return true;
}

bool nuqTransformMultipleAffines::Scale(float fFactor) {
  nuqTransformAffine::Scale(fFactor);
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (m_pLocalAffines[i]) m_pLocalAffines[i]->Scale(fFactor);
  return true;
}

bool nuqTransformMultipleAffines::SetToProduct(nuqTransformBase *pA, nuqTransformBase *pB) {
  nuqTransformAffine::SetToProduct(pA, pB);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLa = LocalOf(pA, i), *pLb = LocalOf(pB, i);
    if (m_pLocalAffines[i] && pLa && pLb) m_pLocalAffines[i]->SetToProduct(pLa, pLb);
  }
  return true;
}

bool nuqTransformMultipleAffines::Multiply(nuqTransformBase *pOther) {
  nuqTransformAffine::Multiply(pOther);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLo = LocalOf(pOther, i);
    if (m_pLocalAffines[i] && pLo) m_pLocalAffines[i]->Multiply(pLo);
  }
  return true;
}

bool nuqTransformMultipleAffines::SetToSign(nuqTransformAffine *pOther, float fThreshold) {
  nuqTransformAffine::SetToSign(pOther, fThreshold);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLo = LocalOf(pOther, i);
    if (m_pLocalAffines[i] && pLo) m_pLocalAffines[i]->SetToSign(pLo, fThreshold);
  }
  return true;
}

bool nuqTransformMultipleAffines::SignInPlace(float fThreshold) {
  nuqTransformAffine::SignInPlace(fThreshold);
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (m_pLocalAffines[i]) m_pLocalAffines[i]->SignInPlace(fThreshold);
  return true;
}

bool nuqTransformMultipleAffines::SetIdentity() {
  nuqTransformAffine::SetIdentity();
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (m_pLocalAffines[i]) m_pLocalAffines[i]->SetIdentity();
  return true;
}

bool nuqTransformMultipleAffines::AddScaled(nuqTransformBase *pOther, float fFactor) {
  nuqTransformAffine::AddScaled(pOther, fFactor);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLo = LocalOf(pOther, i);
    if (m_pLocalAffines[i] && pLo) m_pLocalAffines[i]->AddScaled(pLo, fFactor);
  }
  UpdateMatrices();
  return true;
}

float nuqTransformMultipleAffines::GetMagnitude() const {
  double dSum = 0;
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    if (!m_pLocalAffines[i]) continue;
    float fM = m_pLocalAffines[i]->GetMagnitude();
    dSum += static_cast<double>(fM) * fM;
  }
  return static_cast<float>(std::sqrt(dSum));
}

float nuqTransformMultipleAffines::Normalise(bool bPerGroup) {
  float fResult = 0;
  if (bPerGroup) {
    for (int i = 0; i < m_nNoLocalAffines; ++i) {
      if (!m_pLocalAffines[i]) continue;
      float fNorm = m_pLocalAffines[i]->Normalise(false);
      if (fNorm > fResult) fResult = fNorm;
    }
    float fNorm = nuqTransformAffine::Normalise(false);
    if (fNorm > fResult) fResult = fNorm;
  } else {
    fResult = nuqTransformAffine::GetMagnitude();
    for (int i = 0; i < m_nNoLocalAffines; ++i) {
      if (!m_pLocalAffines[i]) continue;
      float fM = m_pLocalAffines[i]->GetMagnitude();
      if (fM > fResult) fResult = fM;
    }
    if (fResult > 0) Scale(1.0f / fResult);
  }
  UpdateMatrices();
  return fResult;
}

float nuqTransformMultipleAffines::GetMaxAbsParameter() const {
  float fMax = nuqTransformAffine::GetMaxAbsParameter();
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    if (!m_pLocalAffines[i]) continue;
    float fValue = m_pLocalAffines[i]->GetMaxAbsParameter();
    if (fValue > fMax) fMax = fValue;
  }
  return fMax;
}

float nuqTransformMultipleAffines::DotProduct(nuqTransformBase *pOther) const {
  float fSum = nuqTransformAffine::DotProduct(pOther);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLo = LocalOf(pOther, i);
    if (m_pLocalAffines[i] && pLo) fSum += m_pLocalAffines[i]->DotProduct(pLo);
  }
  return fSum;
}

int nuqTransformMultipleAffines::CountParametersNotBelow(float fThreshold) const {
  int nCount = nuqTransformAffine::CountParametersNotBelow(fThreshold);
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (m_pLocalAffines[i]) nCount += m_pLocalAffines[i]->CountParametersNotBelow(fThreshold);
  return nCount;
}

int nuqTransformMultipleAffines::GetNumberOfFreeParameters() const {
  int nCount = nuqTransformAffine::GetNumberOfFreeParameters();
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (m_pLocalAffines[i]) nCount += m_pLocalAffines[i]->GetNumberOfFreeParameters();
  return nCount;
}

int nuqTransformMultipleAffines::GetNumberOfParameters() const {
  return kAffineParameters * (m_nNoLocalAffines + 1);
}

float nuqTransformMultipleAffines::GetParameterValue(int iIndex) const {
  if (iIndex < 0 || iIndex >= GetNumberOfParameters()) return 0;
  if (iIndex < kAffineParameters) return nuqTransformAffine::GetParameterValue(iIndex);
  const nuqTransformAffine *pLocal = m_pLocalAffines[iIndex / kAffineParameters - 1];
  return pLocal ? pLocal->GetParameterValue(iIndex % kAffineParameters) : 0.0f;
}

bool nuqTransformMultipleAffines::SetParameterValue(int iIndex, float fValue) {
  if (iIndex < 0 || iIndex >= GetNumberOfParameters()) return false;
  if (iIndex < kAffineParameters) return nuqTransformAffine::SetParameterValue(iIndex, fValue);
  nuqTransformAffine *pLocal = m_pLocalAffines[iIndex / kAffineParameters - 1];
  return pLocal && pLocal->SetParameterValue(iIndex % kAffineParameters, fValue);
}

bool nuqTransformMultipleAffines::SetParameterValueWithoutUpdate(int iIndex, float fValue) {
  if (iIndex < 0 || iIndex >= GetNumberOfParameters()) return false;
  if (iIndex < kAffineParameters)
    return nuqTransformAffine::SetParameterValueWithoutUpdate(iIndex, fValue);
  nuqTransformAffine *pLocal = m_pLocalAffines[iIndex / kAffineParameters - 1];
  return pLocal && pLocal->SetParameterValueWithoutUpdate(iIndex % kAffineParameters, fValue);
}

bool nuqTransformMultipleAffines::UpdateMatrices() {
  bool bResult = RefreshAffineMatrices();
  for (int i = 0; i < m_nNoLocalAffines; ++i)
    if (m_pLocalAffines[i] && !m_pLocalAffines[i]->UpdateMatrices()) return false;
  return bResult;
}

bool nuqTransformMultipleAffines::SetDifferentialStepVectors(
    nuqTransformAffine *pStep, const float *pTranslationSteps, const float *pRotationSteps,
    const float *pScalingSteps, float fSkewStep, float fMagnitude) {
  if (!pStep) return false;
  // The global steps are built in a plain affine so that the magnitude
  // scaling sees the 22 global entries only.
  nuqTransformAffine global;
  nuqTransformAffine::SetDifferentialStepVectors(&global, pTranslationSteps, pRotationSteps,
                                                 pScalingSteps, fSkewStep, fMagnitude);
  for (int k = 0; k < kAffineParameters; ++k)
    pStep->nuqTransformAffine::SetParameterValue(k, global.GetParameterValue(k));
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLs = LocalOf(pStep, i);
    if (m_pLocalAffines[i] && pLs)
      m_pLocalAffines[i]->SetDifferentialStepVectors(pLs, pTranslationSteps, pRotationSteps,
                                                     pScalingSteps, fSkewStep, fMagnitude);
  }
  return true;
}

bool nuqTransformMultipleAffines::SetDifferentialSteps(nuqTransformAffine *pStep,
                                                       float fTranslationStep, float fRotationStep,
                                                       float fScalingStep, float fMagnitude) {
  if (!pStep) return false;
  nuqTransformAffine global;
  nuqTransformAffine::SetDifferentialSteps(&global, fTranslationStep, fRotationStep, fScalingStep,
                                           fMagnitude);
  for (int k = 0; k < kAffineParameters; ++k)
    pStep->nuqTransformAffine::SetParameterValue(k, global.GetParameterValue(k));
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    nuqTransformAffine *pLs = LocalOf(pStep, i);
    if (m_pLocalAffines[i] && pLs)
      m_pLocalAffines[i]->SetDifferentialSteps(pLs, fTranslationStep, fRotationStep, fScalingStep,
                                               fMagnitude);
  }
  return true;
}

bool nuqTransformMultipleAffines::ReadAffsStream(std::istream &in, bool bLocalMatrices) {
  bool bResult = nuqTransformAffine::ReadFromStream(in);
  int nCount = 0;
  if (!ReadTransformInteger(in, nCount)) {
    bResult = false;
    nCount = 0;
  }
  if (IsDebugShown()) std::cout << "debug: m_nNoLocalAffines " << nCount << "\n";
  // A refused count fails the read before any local is touched.
  bool bCountSet = bLocalMatrices ? SetNumberOfLocalMatrices(nCount) : SetNumberOfLocalAffines(nCount);
  if (!bCountSet) return false;
  for (int i = 0; i < m_nNoLocalAffines && bResult; ++i)
    bResult = m_pLocalAffines[i]->ReadFromStream(in);
  return bResult;
}

bool nuqTransformMultipleAffines::ReadFromStream(std::istream &in) {
  return ReadAffsStream(in, false);
}

std::string nuqTransformMultipleAffines::GetTransformText() {
  std::string strText = nuqTransformAffine::GetTransformText();
  strText += FormatInt("# No. of Local Affine Transformations #\n %i \n", m_nNoLocalAffines);
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    strText += FormatInt("# %ith region #\n", i);
    if (m_pLocalAffines[i]) strText += m_pLocalAffines[i]->GetTransformText();
  }
  return strText;
}

bool nuqTransformMultipleAffines::ReadLocalMatrixFile(const std::string &strFileName) {
  m_strTransformFileName = strFileName;
  const std::string strReason = UnreadableFileSuffix(strFileName);
  std::ifstream file;
  if (strReason.empty()) file.open(strFileName.c_str());
  if (!file.is_open()) {
    std::cerr << "error: Open Affine Transformation:" << strFileName
              << " Failed in reading base stream!"
              << strReason << "\n";
    return false;
  }
  return ReadAffsStream(file, true);
}

bool nuqTransformMultipleAffines::SetLocalRotationCentre(int iIndex, const float *pCentre) {
  if (iIndex < 0 || iIndex >= m_nNoLocalAffines || !m_pLocalAffines[iIndex] || !pCentre)
    return false;
  return m_pLocalAffines[iIndex]->SetRotationCentre(pCentre);
}

bool nuqTransformMultipleAffines::CopyLocalTransformsFrom(nuqTransformBase **ppTransforms) {
  if (!ppTransforms) return false;
  bool bResult = true;
  for (int i = 0; i < m_nNoLocalAffines; ++i) {
    delete m_pLocalAffines[i];
    nuqTransformBase *pCopy = nullptr;
    if (ppTransforms[i]) ppTransforms[i]->CloneTo(pCopy);
    m_pLocalAffines[i] = dynamic_cast<nuqTransformAffine *>(pCopy);
    if (!m_pLocalAffines[i]) {
      // Every local in use stays a valid affine: a missing or foreign entry
      // becomes the identity.
      delete pCopy;
      m_pLocalAffines[i] = new nuqTransformAffine;
      m_pLocalAffines[i]->SetDimension(m_iDimension);
      bResult = false;
    }
  }
  return bResult;
}

bool nuqTransformMultipleAffines::SetNumberOfLocalTransforms(int iCount,
                                                             nuqTransformBase *pPrototype) {
  if (!IsCountAllowed(iCount)) {
    std::cerr << "error: the number of local affines is more than the maxmum\n";
    return false;
  }
  if (!dynamic_cast<nuqTransformAffine *>(pPrototype)) return false;
  m_nNoLocalAffines = iCount;
  const std::string strType = pPrototype->GetTransformType();
  for (int i = 0; i < iCount; ++i) {
    if (m_pLocalAffines[i] && m_pLocalAffines[i]->GetTransformType() == strType) continue;
    delete m_pLocalAffines[i];
    nuqTransformBase *pCopy = nullptr;
    pPrototype->CloneTo(pCopy);
    m_pLocalAffines[i] = static_cast<nuqTransformAffine *>(pCopy);
    m_pLocalAffines[i]->SetDimension(m_iDimension);
  }
  return true;
}

bool nuqTransformMultipleAffines::SetNumberOfLocalAffines(int iCount) {
  if (!IsCountAllowed(iCount)) {
    std::cerr << "error: the number of local affines is more than the maxmum\n";
    return false;
  }
  m_nNoLocalAffines = iCount;
  for (int i = 0; i < iCount; ++i) {
    if (m_pLocalAffines[i] && m_pLocalAffines[i]->GetTransformType() == "AFF") continue;
    delete m_pLocalAffines[i];
    m_pLocalAffines[i] = new nuqTransformAffine;
    m_pLocalAffines[i]->SetDimension(m_iDimension);
  }
  return true;
}

bool nuqTransformMultipleAffines::SetNumberOfLocalMatrices(int iCount) {
  if (!IsCountAllowed(iCount)) {
    std::cerr << "error: the number of local matrix is more than the maxmum\n";
    return false;
  }
  m_nNoLocalAffines = iCount;
  for (int i = 0; i < iCount; ++i) {
    if (m_pLocalAffines[i] && m_pLocalAffines[i]->GetTransformType() == "AFF") continue;
    delete m_pLocalAffines[i];
    m_pLocalAffines[i] = new nuqTransformMatrix;
    m_pLocalAffines[i]->SetDimension(m_iDimension);
  }
  return true;
}

int nuqTransformMultipleAffines::GetNumberOfLocalAffines() const { return m_nNoLocalAffines; }

nuqTransformAffine **nuqTransformMultipleAffines::GetLocalAffines() { return m_pLocalAffines; }

bool nuqTransformMultipleAffines::ComputeGlobalGradient(nuqMetricBase *pMetric,
                                                        nuqTransformBase *pStep) {
  if (!pStep) {
    std::cerr << "Error: local affine gradient should be given the local affine object as "
                 "differential step\n";
    return false;
  }
  if (!pMetric || !pMetric->GetTransform()) return false;
  nuqTransformBase *pTransform = pMetric->GetTransform();
  for (int k = 0; k < kAffineParameters; ++k) nuqTransformAffine::SetParameterValue(k, 0.0f);
  for (int k = 0; k < kAffineParameters; ++k) {
    float fStep = pStep->GetParameterValue(k);
    float fGradient = 0;
    if (fStep > 0) {
      float fValue = pTransform->GetParameterValue(k);
      float fPlus = 0, fMinus = 0;
      pTransform->SetParameterValue(k, fValue + fStep);
      pMetric->GetValue(fPlus);
      pTransform->SetParameterValue(k, fValue - fStep);
      pMetric->GetValue(fMinus);
      pTransform->SetParameterValue(k, fValue);
      fGradient = fPlus - fMinus;
    }
    nuqTransformAffine::SetParameterValue(k, fGradient);
  }
  return true;
}
