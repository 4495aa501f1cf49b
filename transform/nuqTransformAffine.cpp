#include "nuqTransformAffine.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "nuqConsole.h"
#include "nuqFileReason.h"
#include "nuqImageData.h"

namespace {

// Degrees to radians with pi taken as the single-precision 3.14159.
const double kDegreeToRadian = 0.017453278435601127;

// Index lists into the 22-entry parameter vector.
const int kTranslationBase = 0;
const int kRotationBase = 4;
const int kScalingBase = 8;
const int kCentreBase = 12;
const int kSkewBase = 16;
const int kParameterCount = 22;

int ClampDimension(int iDimension) { return iDimension < 0 ? 0 : (iDimension > 4 ? 4 : iDimension); }

// Indices of the parameter set of an affine of the given dimension: the first
// `dimension` entries of rotation, translation, centre and scaling, the
// rotation about z in two dimensions, and all six skews.
int GetParameterSet(int iDimension, int *pIndices, bool bWithCentre = true) {
  const int iDim = ClampDimension(iDimension);
  int n = 0;
  for (int i = 0; i < iDim; ++i) pIndices[n++] = kRotationBase + i;
  if (iDim == 2) pIndices[n++] = kRotationBase + 2;
  for (int i = 0; i < iDim; ++i) pIndices[n++] = kTranslationBase + i;
  if (bWithCentre) {
    for (int i = 0; i < iDim; ++i) pIndices[n++] = kCentreBase + i;
  }
  for (int i = 0; i < iDim; ++i) pIndices[n++] = kScalingBase + i;
  for (int i = 0; i < 6; ++i) pIndices[n++] = kSkewBase + i;
  return n;
}

float SignAbove(float fValue, float fThreshold) {
  const float fDiff = fValue - fThreshold;
  return fDiff > 0 ? 1.0f : (fDiff < 0 ? -1.0f : 0.0f);
}

std::string FormatFloat(const char *pFormat, float fValue) {
  char szBuffer[128];
  std::snprintf(szBuffer, sizeof(szBuffer), pFormat, double(fValue));
  return szBuffer;
}

// 3x3 float products, row-major.
void Multiply3x3(float *pOut, const float *pA, const float *pB) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      float fSum = 0;
      for (int k = 0; k < 3; ++k) fSum += pA[r * 3 + k] * pB[k * 3 + c];
      pOut[r * 3 + c] = fSum;
    }
  }
}

}  // namespace

nuqTransformAffine::nuqTransformAffine() {
  for (int i = 0; i < 4; ++i) {
    m_fRotation[i] = 0;
    m_fTranslation[i] = 0;
    m_fRotationCentre[i] = 0;
    m_fScaling[i] = 1;
  }
  for (float &f : m_fSkew) f = 0;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      m_fAffineMatrix[r][c] = (r == c) ? 1.0f : 0.0f;
      m_fInverseAffineMatrix[r][c] = (r == c) ? 1.0f : 0.0f;
    }
  }
  for (auto &block : m_fDerivativeMatrices) {
    for (auto &row : block) {
      for (float &f : row) f = 0;
    }
  }
}

nuqTransformAffine::~nuqTransformAffine() = default;

std::string nuqTransformAffine::GetTransformType() const { return "AFF"; }

nuqTransformBase *nuqTransformAffine::CloneTo(nuqTransformBase *&pTarget) {
  if (pTarget == nullptr) pTarget = new nuqTransformAffine();
  nuqGradientBase::CloneTo(pTarget);
  auto *pAffine = dynamic_cast<nuqTransformAffine *>(pTarget);
  if (pAffine == nullptr || pAffine == this) return pTarget;
  for (int i = 0; i < 4; ++i) {
    pAffine->m_fRotation[i] = m_fRotation[i];
    pAffine->m_fTranslation[i] = m_fTranslation[i];
    pAffine->m_fRotationCentre[i] = m_fRotationCentre[i];
    pAffine->m_fScaling[i] = m_fScaling[i];
  }
  for (int i = 0; i < 6; ++i) pAffine->m_fSkew[i] = m_fSkew[i];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      pAffine->m_fAffineMatrix[r][c] = m_fAffineMatrix[r][c];
      pAffine->m_fInverseAffineMatrix[r][c] = m_fInverseAffineMatrix[r][c];
    }
  }
  for (int b = 0; b < 9; ++b) {
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) pAffine->m_fDerivativeMatrices[b][r][c] = m_fDerivativeMatrices[b][r][c];
    }
  }
  return pTarget;
}

void nuqTransformAffine::TransformWorldToWorld(const float *pIn, float *pOut) {
  const float x = pIn[0], y = pIn[1], z = pIn[2], t = pIn[3];
  for (int r = 0; r < 3; ++r) {
    pOut[r] = m_fAffineMatrix[r][0] * x + m_fAffineMatrix[r][1] * y + m_fAffineMatrix[r][2] * z +
              m_fAffineMatrix[r][3];
  }
  if (m_iDimension == 4) pOut[3] = m_fScaling[3] * t + m_fTranslation[3];
}

void nuqTransformAffine::InverseTransformWorldToWorld(const float *pIn, float *pOut) {
  const float x = pIn[0], y = pIn[1], z = pIn[2], t = pIn[3];
  for (int r = 0; r < 3; ++r) {
    pOut[r] = m_fInverseAffineMatrix[r][0] * x + m_fInverseAffineMatrix[r][1] * y +
              m_fInverseAffineMatrix[r][2] * z + m_fInverseAffineMatrix[r][3];
  }
  pOut[3] = t;
}

bool nuqTransformAffine::GetJacobianMatrixAtTestGrid(const float *pTestGrid, float *pJacobian) {
  return GetJacobianMatrixWorld(pTestGrid, pJacobian);
}

bool nuqTransformAffine::GetJacobianMatrixWorld(const float *, float *pJacobian) {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      pJacobian[r * 4 + c] = (r < 3 && c < 3) ? m_fAffineMatrix[r][c] : (r == c ? 1.0f : 0.0f);
    }
  }
  return true;
}

bool nuqTransformAffine::SetAllParameters(float fValue) {
  for (int i = 0; i < kParameterCount; ++i) nuqTransformAffine::SetParameterValueWithoutUpdate(i, fValue);
  RefreshAffineMatrices();
  return true;
}

// The element-wise operations read the other affine's members directly, so a
// matrix transform as operand contributes its affine parameters.
template <class Op>
bool nuqTransformAffine::CombineSlots(nuqTransformBase *pLeft, nuqTransformBase *pRight,
                                      bool bDimensionFromRight, Op op) {
  auto *l = dynamic_cast<nuqTransformAffine *>(pLeft);
  auto *r = dynamic_cast<nuqTransformAffine *>(pRight);
  if (l == nullptr || r == nullptr) return false;
  SetDimension((bDimensionFromRight ? r : l)->GetDimension());
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx);
  for (int k = 0; k < n; ++k) *AffineSlot(idx[k]) = op(*l->AffineSlot(idx[k]), *r->AffineSlot(idx[k]));
  RefreshAffineMatrices();
  return true;
}

bool nuqTransformAffine::SetToSum(nuqTransformBase *pA, nuqTransformBase *pB) {
  return CombineSlots(pA, pB, false, [](float a, float b) { return a + b; });
}

bool nuqTransformAffine::Add(nuqTransformBase *pOther) {
  return CombineSlots(this, pOther, true, [](float p, float o) { return p + o; });
}

bool nuqTransformAffine::SetToDifference(nuqTransformBase *pA, nuqTransformBase *pB) {
  return CombineSlots(pA, pB, false, [](float a, float b) { return a - b; });
}

bool nuqTransformAffine::Subtract(nuqTransformBase *pOther) {
  return CombineSlots(this, pOther, true, [](float p, float o) { return p - o; });
}

bool nuqTransformAffine::SetToScaled(nuqTransformBase *pOther, float fFactor) {
  return CombineSlots(pOther, pOther, false, [fFactor](float o, float) { return fFactor * o; });
}

bool nuqTransformAffine::Scale(float fFactor) {
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx, false);
  for (int k = 0; k < n; ++k) *AffineSlot(idx[k]) *= fFactor;
  RefreshAffineMatrices();
  return true;
}

bool nuqTransformAffine::SetToProduct(nuqTransformBase *pA, nuqTransformBase *pB) {
  return CombineSlots(pA, pB, false, [](float a, float b) { return a * b; });
}

bool nuqTransformAffine::Multiply(nuqTransformBase *pOther) {
  return CombineSlots(this, pOther, true, [](float p, float o) { return p * o; });
}

float nuqTransformAffine::GetMagnitude() const {
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx);
  double dSum = 0;
  for (int k = 0; k < n; ++k) {
    const float f = *AffineSlot(idx[k]);
    dSum += double(f) * f;
  }
  return float(std::sqrt(dSum));
}

float nuqTransformAffine::Normalise(bool bPerGroup) {
  if (!bPerGroup) {
    const float fMagnitude = GetMagnitude();
    if (fMagnitude == 0) return 0;
    int idx[kParameterCount + 1];
    const int n = GetParameterSet(m_iDimension, idx);
    for (int k = 0; k < n; ++k) *AffineSlot(idx[k]) /= fMagnitude;
    RefreshAffineMatrices();
    return fMagnitude;
  }
  const int iDim = ClampDimension(m_iDimension);
  // Groups: scaling, rotation, translation, centre, skews.
  float *apGroups[5][6];
  int aiSizes[5] = {0, 0, 0, 0, 0};
  for (int i = 0; i < iDim; ++i) {
    apGroups[0][aiSizes[0]++] = &m_fScaling[i];
    apGroups[1][aiSizes[1]++] = &m_fRotation[i];
    apGroups[2][aiSizes[2]++] = &m_fTranslation[i];
    apGroups[3][aiSizes[3]++] = &m_fRotationCentre[i];
  }
  if (iDim == 2) apGroups[1][aiSizes[1]++] = &m_fRotation[2];
  for (int i = 0; i < 6; ++i) apGroups[4][aiSizes[4]++] = &m_fSkew[i];
  float fLargest = 0;
  for (int g = 0; g < 5; ++g) {
    double dSum = 0;
    for (int k = 0; k < aiSizes[g]; ++k) dSum += double(*apGroups[g][k]) * *apGroups[g][k];
    const float fNorm = float(std::sqrt(dSum));
    if (fNorm > 0) {
      for (int k = 0; k < aiSizes[g]; ++k) *apGroups[g][k] /= fNorm;
    }
    if (fNorm > fLargest) fLargest = fNorm;
  }
  return fLargest;
}

float nuqTransformAffine::GetMaxAbsParameter() const {
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx);
  float fMax = 0;
  for (int k = 0; k < n; ++k) {
    const float f = std::fabs(*AffineSlot(idx[k]));
    if (f > fMax) fMax = f;
  }
  return fMax;
}

float nuqTransformAffine::DotProduct(nuqTransformBase *pOther) const {
  auto *o = dynamic_cast<nuqTransformAffine *>(pOther);
  if (o == nullptr) return 0;
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx);
  double dSum = 0;
  for (int k = 0; k < n; ++k) dSum += double(*AffineSlot(idx[k])) * *o->AffineSlot(idx[k]);
  return float(dSum);
}

bool nuqTransformAffine::SetIdentity() {
  for (int i = 0; i < 4; ++i) {
    m_fRotation[i] = 0;
    m_fTranslation[i] = 0;
    m_fScaling[i] = 1;
  }
  for (float &f : m_fSkew) f = 0;
  RefreshAffineMatrices();
  return true;
}

bool nuqTransformAffine::ReadFromStream(std::istream &in) {
  if (!nuqTransformBase::ReadFromStream(in)) {
    std::cerr << "error: Open Affine Transformation Failed in reading base stream!\n";
    return false;
  }
  const int iDim = ClampDimension(m_iDimension);
  if (!ReadTransformNumbers(in, m_fRotationCentre, iDim)) return false;
  if (iDim == 2) {
    if (!ReadTransformNumbers(in, &m_fRotation[2], 1)) return false;
  } else if (!ReadTransformNumbers(in, m_fRotation, iDim)) {
    return false;
  }
  if (!ReadTransformNumbers(in, m_fScaling, iDim)) return false;
  if (!ReadTransformNumbers(in, m_fTranslation, iDim)) return false;

  std::string strLine;
  for (int i = 0; i < 6; ++i) {
    if (!ReadTransformLine(in, strLine)) {
      // Older files stop after the translation: the skews keep their values.
      if (IsSuccessShown()) std::cout << "success: warning affine transformation without skew degree \n";
      return true;
    }
    if (!ParseTransformNumbers(strLine, &m_fSkew[i], 1)) return false;
  }

  // The matrix section is optional; once it begins, all four rows are due.
  float fMatrix[4][4];
  if (!ReadTransformLine(in, strLine)) return true;
  for (int r = 0; r < 4; ++r) {
    if (r > 0 && !ReadTransformLine(in, strLine)) return false;
    if (!ParseTransformLineNumbers(in, strLine, fMatrix[r], 4)) return false;
  }
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) m_fAffineMatrix[r][c] = fMatrix[r][c];
  }
  BuildInverseMatrix();
  return true;
}

void PrintAffineMatrixDebug(const std::string &strFileName, const float fMatrix[4][4]) {
  if (!IsDebugShown()) return;
  std::ostringstream text;  // six significant digits, the stream default
  text << "debug: 4x4 matrix of " << strFileName << ":\n";
  for (int r = 0; r < 4; ++r) {
    text << "debug: ";
    for (int c = 0; c < 4; ++c) text << (c > 0 ? "\t" : "") << fMatrix[r][c];
    text << "\n";
  }
  std::cout << text.str();
}

bool nuqTransformAffine::ReadFromFile(const std::string &strFileName) {
  std::string strExtension = GetExtension(strFileName);
  ToLowerCase(strExtension);
  if (strExtension == "matrix" || strExtension == "mat") return ReadMatrixFile(strFileName);
  std::string strCompleted = strFileName;
  m_strTransformFileName = strFileName;
  if (!CompleteFileName(strCompleted)) {
    std::cerr << "error: can not find Affine Transformation:" << strFileName << "!"
              << UnreadableFileSuffix(strFileName) << "\n";
    return false;
  }
  m_strTransformFileName = strCompleted;
  std::ifstream file(strCompleted.c_str(), std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    std::cerr << "error: Open Affine Transformation:" << strFileName << " Failed!"
              << UnreadableFileSuffix(strCompleted) << "\n";
    return false;
  }
  if (!ReadFromStream(file)) {
    std::cerr << "error: Open Affine Transformation:" << strFileName << " Failed in reading affine stream!"
              << TruncatedStreamSuffix(file) << "\n";
    return false;
  }
  file.close();
  RefreshAffineMatrices();
  if (GetTransformType() == "AFF") PrintAffineMatrixDebug(strCompleted, m_fAffineMatrix);
  return true;
}

std::string nuqTransformAffine::GetTransformText() {
  const int iDim = ClampDimension(m_iDimension);
  std::string strText = nuqTransformBase::GetTransformText();
  strText += "#rotation center#\n";
  for (int i = 0; i < iDim; ++i) strText += FormatFloat("%f\t", m_fRotationCentre[i]);
  strText += "\n#rotation angle#\n";
  if (iDim == 2) {
    strText += FormatFloat("%f\t", m_fRotation[2]);
  } else {
    for (int i = 0; i < iDim; ++i) strText += FormatFloat("%f\t", m_fRotation[i]);
  }
  strText += "\n#scaling#\n";
  for (int i = 0; i < iDim; ++i) strText += FormatFloat("%f\t", m_fScaling[i]);
  strText += "\n#translation#\n";
  for (int i = 0; i < iDim; ++i) strText += FormatFloat("%f\t", m_fTranslation[i]);
  const char *apSkewTags[3] = {"\n#skew in x-y and y-x plane#\n", "\n#skew in y-z and z-y plane#\n",
                               "\n#skew in z-x and x-z plane#\n"};
  for (int k = 0; k < 3; ++k) {
    strText += apSkewTags[k];
    strText += FormatFloat("%f\n", m_fSkew[2 * k]) + FormatFloat("%f", m_fSkew[2 * k + 1]);
  }
  strText += "\n#matrix#\n";
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) strText += FormatFloat("%f\t", m_fAffineMatrix[r][c]);
    strText += "\n";
  }
  return strText;
}

bool nuqTransformAffine::AddScaled(nuqTransformBase *pOther, float fFactor) {
  auto *o = dynamic_cast<nuqTransformAffine *>(pOther);
  if (o == nullptr) return false;
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx);
  for (int k = 0; k < n; ++k) *AffineSlot(idx[k]) += fFactor * *o->AffineSlot(idx[k]);
  RefreshAffineMatrices();
  return true;
}

int nuqTransformAffine::GetNumberOfParameters() const { return kParameterCount; }

float nuqTransformAffine::GetParameterValue(int iIndex) const {
  if (iIndex < 0 || iIndex >= kParameterCount) return 0;
  return *AffineSlot(iIndex);
}

bool nuqTransformAffine::SetParameterValue(int iIndex, float fValue) {
  if (!nuqTransformAffine::SetParameterValueWithoutUpdate(iIndex, fValue)) return false;
  RefreshAffineMatrices();
  return true;
}

bool nuqTransformAffine::SetParameterValueWithoutUpdate(int iIndex, float fValue) {
  if (iIndex < 0 || iIndex >= kParameterCount) return false;
  *AffineSlot(iIndex) = fValue;
  return true;
}

int nuqTransformAffine::GetNumberOfFreeParameters() const {
  switch (m_iDimension) {
    case 1: return 2;
    case 2: return 7;
    case 3: return 18;
    case 4: return 20;
    default: return 0;
  }
}

int nuqTransformAffine::CountParametersNotBelow(float fThreshold) const {
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx);
  int iCount = 0;
  for (int k = 0; k < n; ++k) {
    if (*AffineSlot(idx[k]) >= fThreshold) ++iCount;
  }
  return iCount;
}

bool nuqTransformAffine::ComputeGradient(nuqMetricBase *pMetric, nuqTransformBase *pStep, bool bFlag) {
  if (pStep == nullptr) {
    std::cerr << "Error: affine gradient should be given the affine object as differential step\n";
    return false;
  }
  return nuqGradientBase::ComputeGradient(pMetric, pStep, bFlag);
}

bool nuqTransformAffine::ReadAffineFile(const std::string &strFileName) {
  m_strTransformFileName = strFileName;
  const std::string strReason = UnreadableFileSuffix(strFileName);
  std::ifstream file;
  if (strReason.empty()) file.open(strFileName.c_str(), std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    std::cerr << "error: Open Affine Transformation:" << strFileName << " Failed!"
              << strReason << "\n";
    return false;
  }
  if (!ReadFromStream(file)) {
    std::cerr << "error: Open Affine Transformation:" << strFileName << " Failed in reading affine stream!"
              << TruncatedStreamSuffix(file) << "\n";
    return false;
  }
  RefreshAffineMatrices();
  if (GetTransformType() == "AFF") PrintAffineMatrixDebug(strFileName, m_fAffineMatrix);
  return true;
}

bool nuqTransformAffine::AlignCentres(const std::string &strKeyword) {
  if (strKeyword == "centre" || strKeyword == "center") return AlignCentresByType(2);
  if (strKeyword == "gcentre" || strKeyword == "gcenter") return AlignCentresByType(3);
  return false;
}

bool nuqTransformAffine::AlignCentresByType(int iType) {
  if (m_pTestImage == nullptr || m_pRefImage == nullptr) return false;
  if (iType != 2 && iType != 3) return false;
  float afCentres[2][4];
  nuqImageDataT<short> *apImages[2] = {m_pTestImage, m_pRefImage};
  for (int k = 0; k < 2; ++k) {
    float *p = afCentres[k];
    if (iType == 2) {
      const int *pSize = apImages[k]->GetSizeArray();
      for (int i = 0; i < 4; ++i) p[i] = (pSize[i] - 1) / 2.0f;
    } else {
      apImages[k]->ComputeGreyCentroid(true);
      apImages[k]->GetGreyCentroid(p[0], p[1], p[2], p[3]);
    }
    apImages[k]->GridToWorld(p);
  }
  for (int i = 0; i < ClampDimension(m_iDimension); ++i) m_fTranslation[i] = afCentres[1][i] - afCentres[0][i];
  RefreshAffineMatrices();
  return true;
}

bool nuqTransformAffine::CopyParametersFrom(const nuqTransformAffine &source) {
  m_iDimension = source.m_iDimension;
  m_pTestImage = source.m_pTestImage;
  m_pRefImage = source.m_pRefImage;
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx);
  for (int k = 0; k < n; ++k) *AffineSlot(idx[k]) = *source.AffineSlot(idx[k]);
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::SetToSign(nuqTransformAffine *pOther, float fThreshold) {
  if (pOther == nullptr) return false;
  int idx[kParameterCount + 1];
  const int n = GetParameterSet(m_iDimension, idx);
  for (int k = 0; k < n; ++k) *AffineSlot(idx[k]) = SignAbove(*pOther->AffineSlot(idx[k]), fThreshold);
  RefreshAffineMatrices();
  return true;
}

bool nuqTransformAffine::SignInPlace(float fThreshold) { return nuqTransformAffine::SetToSign(this, fThreshold); }

void nuqTransformAffine::GetMatrix(float *pMatrix) const {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) pMatrix[r * 4 + c] = m_fAffineMatrix[r][c];
  }
}

bool nuqTransformAffine::UpdateMatrices() { return RefreshAffineMatrices(); }

float *nuqTransformAffine::GetMatrixPointer() { return &m_fAffineMatrix[0][0]; }

float *nuqTransformAffine::GetInverseMatrixPointer() { return &m_fInverseAffineMatrix[0][0]; }

void nuqTransformAffine::GetMatrixEntryDerivatives(float *pDx, float *pDy, float *pDz, const float *pPoint) {
  float *apOut[3] = {pDx, pDy, pDz};
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < 12; ++i) apOut[k][i] = 0;
    apOut[k][4 * k + 0] = pPoint[0];
    apOut[k][4 * k + 1] = pPoint[1];
    apOut[k][4 * k + 2] = pPoint[2];
    apOut[k][4 * k + 3] = 1;
  }
}

void nuqTransformAffine::GetDerivativeBlockColumn(float *pOut, int iIndex) {
  const int iDim = ClampDimension(m_iDimension) < 3 ? ClampDimension(m_iDimension) : 3;
  for (int i = 0; i < iDim; ++i) pOut[i] = (iIndex >= 0 && iIndex < 3) ? m_fDerivativeMatrices[8][i][iIndex] : 0.0f;
}

void nuqTransformAffine::ApplyUpperDerivativeBlock(float *pOut, int iIndex, const float *pPoint) {
  ApplyDerivativeBlock(pOut, 4 + iIndex, pPoint);
}

void nuqTransformAffine::ApplyDerivativeBlock(float *pOut, int iBlock, const float *pPoint) {
  if (iBlock < 0 || iBlock > 8) {
    pOut[0] = pOut[1] = pOut[2] = 0;
    return;
  }
  float fRelative[3];
  for (int i = 0; i < 3; ++i) fRelative[i] = pPoint[i] - m_fRotationCentre[i];
  for (int r = 0; r < 3; ++r) {
    pOut[r] = m_fDerivativeMatrices[iBlock][r][0] * fRelative[0] + m_fDerivativeMatrices[iBlock][r][1] * fRelative[1] +
              m_fDerivativeMatrices[iBlock][r][2] * fRelative[2];
  }
}

bool nuqTransformAffine::CompleteFileName(std::string &strFileName) {
  // A directory opens as a stream but holds no affine: it does not count.
  auto canOpen = [](const std::string &strName) { return DescribeUnreadableFile(strName).empty(); };
  if (canOpen(strFileName)) return true;
  const std::string strStem = GetNameWithoutExtension(strFileName);
  for (const char *pExtension : {".MTX", ".AFF"}) {
    if (canOpen(strStem + pExtension)) {
      strFileName = strStem + pExtension;
      return true;
    }
  }
  return false;
}

bool nuqTransformAffine::SetDifferentialStepVectors(nuqTransformAffine *pStep, const float *pTranslationSteps,
                                                    const float *pRotationSteps, const float *pScalingSteps,
                                                    float fSkewStep, float fMagnitude) {
  if (pStep == nullptr || pTranslationSteps == nullptr || pRotationSteps == nullptr || pScalingSteps == nullptr) {
    return false;
  }
  for (int i = 0; i < kParameterCount; ++i) pStep->nuqTransformAffine::SetParameterValue(i, 0);
  const int iDim = ClampDimension(m_iDimension);
  for (int i = 0; i < iDim; ++i) {
    pStep->m_fTranslation[i] = pTranslationSteps[i];
    pStep->m_fRotation[i] = pRotationSteps[i];
    pStep->m_fScaling[i] = pScalingSteps[i];
    pStep->m_fRotationCentre[i] = 0;
  }
  if (iDim == 2) {
    pStep->m_fRotation[0] = pStep->m_fRotation[1] = 0;
    pStep->m_fRotation[2] = pRotationSteps[2];
  }
  if (iDim == 3) {
    pStep->m_fSkew[0] = pStep->m_fSkew[3] = pStep->m_fSkew[4] = 0;
    pStep->m_fSkew[1] = pStep->m_fSkew[2] = pStep->m_fSkew[5] = fSkewStep;
  }
  pStep->RefreshAffineMatrices();
  const float fStepMagnitude = pStep->nuqTransformAffine::GetMagnitude();
  if (fStepMagnitude > 0) pStep->nuqTransformAffine::Scale(fMagnitude / fStepMagnitude);
  return true;
}

bool nuqTransformAffine::SetDifferentialSteps(nuqTransformAffine *pStep, float fTranslationStep, float fRotationStep,
                                              float fScalingStep, float fMagnitude) {
  const float afTranslation[4] = {fTranslationStep, fTranslationStep, fTranslationStep, fTranslationStep};
  const float afRotation[4] = {fRotationStep, fRotationStep, fRotationStep, fRotationStep};
  const float afScaling[4] = {fScalingStep, fScalingStep, fScalingStep, fScalingStep};
  return nuqTransformAffine::SetDifferentialStepVectors(pStep, afTranslation, afRotation, afScaling, fRotationStep,
                                                        fMagnitude);
}

void nuqTransformAffine::GetRotation(float *pValues) const {
  const int iDim = ClampDimension(m_iDimension);
  for (int i = 0; i < iDim; ++i) pValues[i] = m_fRotation[i];
  // In two dimensions the angle about z lives in the third entry.
  if (iDim == 2) pValues[2] = m_fRotation[2];
}

void nuqTransformAffine::GetTranslation(float *pValues) const {
  for (int i = 0; i < ClampDimension(m_iDimension); ++i) pValues[i] = m_fTranslation[i];
}

void nuqTransformAffine::GetRotationCentre(float *pValues) const {
  for (int i = 0; i < ClampDimension(m_iDimension); ++i) pValues[i] = m_fRotationCentre[i];
}

void nuqTransformAffine::GetScaling(float *pValues) const {
  for (int i = 0; i < 4; ++i) pValues[i] = 1;
  for (int i = 0; i < ClampDimension(m_iDimension); ++i) pValues[i] = m_fScaling[i];
}

void nuqTransformAffine::GetSkew(float *pXY, float *pYZ, float *pZX) const {
  pXY[0] = m_fSkew[0];
  pXY[1] = m_fSkew[1];
  pYZ[0] = m_fSkew[2];
  pYZ[1] = m_fSkew[3];
  pZX[0] = m_fSkew[4];
  pZX[1] = m_fSkew[5];
}

bool nuqTransformAffine::SetRotation(const float *pValues) {
  const int iDim = ClampDimension(m_iDimension);
  for (int i = 0; i < iDim; ++i) m_fRotation[i] = pValues[i];
  if (iDim == 2) m_fRotation[2] = pValues[2];
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::SetTranslation(const float *pValues) {
  for (int i = 0; i < ClampDimension(m_iDimension); ++i) m_fTranslation[i] = pValues[i];
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::SetRotationCentre(const float *pValues) {
  for (int i = 0; i < ClampDimension(m_iDimension); ++i) m_fRotationCentre[i] = pValues[i];
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::SetScaling(const float *pValues) {
  for (int i = 0; i < ClampDimension(m_iDimension); ++i) m_fScaling[i] = pValues[i];
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::SetSkewXY(const float *pValues) {
  m_fSkew[0] = pValues[0];
  m_fSkew[1] = pValues[1];
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::SetSkewYZ(const float *pValues) {
  m_fSkew[2] = pValues[0];
  m_fSkew[3] = pValues[1];
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::SetSkewZX(const float *pValues) {
  m_fSkew[4] = pValues[0];
  m_fSkew[5] = pValues[1];
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::RefreshAffineMatrices() {
  if (!BuildForwardMatrix()) return false;
  BuildInverseMatrix();
  return true;
}

bool nuqTransformAffine::BuildForwardMatrix() {
  if (std::fabs(m_fScaling[0]) < 1e-20f || std::fabs(m_fScaling[1]) < 1e-20f ||
      (m_iDimension > 2 && std::fabs(m_fScaling[2]) < 1e-20f)) {
    return false;
  }
  const float cx = float(std::cos(m_fRotation[0] * kDegreeToRadian));
  const float sx = float(std::sin(m_fRotation[0] * kDegreeToRadian));
  const float cy = float(std::cos(m_fRotation[1] * kDegreeToRadian));
  const float sy = float(std::sin(m_fRotation[1] * kDegreeToRadian));
  const float cz = float(std::cos(m_fRotation[2] * kDegreeToRadian));
  const float sz = float(std::sin(m_fRotation[2] * kDegreeToRadian));
  float afTan[6];
  for (int i = 0; i < 6; ++i) afTan[i] = float(std::tan(m_fSkew[i] * kDegreeToRadian));

  const float afR[9] = {cy * cz,
                        cy * sz,
                        -sy,
                        sx * sy * cz - cx * sz,
                        sx * sy * sz + cx * cz,
                        sx * cy,
                        cx * sy * cz + sx * sz,
                        cx * sy * sz - sx * cz,
                        cx * cy};
  const float afS[9] = {m_fScaling[0], 0, 0, 0, m_fScaling[1], 0, 0, 0, m_fScaling[2]};
  const float afKxy[9] = {1, afTan[1], 0, afTan[0], 1, 0, 0, 0, 1};
  const float afKyz[9] = {1, 0, 0, 0, 1, afTan[2], 0, afTan[3], 1};
  const float afKzx[9] = {1, 0, afTan[5], 0, 1, 0, afTan[4], 0, 1};

  // L = R * (((Kyz * Kzx) * Kxy) * S), in this grouping.
  float afA[9], afB[9], afC[9], afL[9];
  Multiply3x3(afA, afKyz, afKzx);
  Multiply3x3(afB, afA, afKxy);
  Multiply3x3(afC, afB, afS);
  Multiply3x3(afL, afR, afC);

  const float *c = m_fRotationCentre;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) m_fAffineMatrix[r][k] = afL[r * 3 + k];
    const float fLc = afL[r * 3 + 0] * c[0] + afL[r * 3 + 1] * c[1] + afL[r * 3 + 2] * c[2];
    m_fAffineMatrix[r][3] = m_fTranslation[r] + c[r] - fLc;
  }
  m_fAffineMatrix[3][0] = m_fAffineMatrix[3][1] = m_fAffineMatrix[3][2] = 0;
  m_fAffineMatrix[3][3] = 1;
  return true;
}

void nuqTransformAffine::BuildInverseMatrix() {
  const float(*m)[4] = m_fAffineMatrix;
  const float fDet = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  float afInv[3][3];
  afInv[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / fDet;
  afInv[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / fDet;
  afInv[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / fDet;
  afInv[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / fDet;
  afInv[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / fDet;
  afInv[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / fDet;
  afInv[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / fDet;
  afInv[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / fDet;
  afInv[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / fDet;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) m_fInverseAffineMatrix[r][k] = afInv[r][k];
    m_fInverseAffineMatrix[r][3] =
        -(afInv[r][0] * m[0][3] + afInv[r][1] * m[1][3] + afInv[r][2] * m[2][3]);
  }
  m_fInverseAffineMatrix[3][0] = m_fInverseAffineMatrix[3][1] = m_fInverseAffineMatrix[3][2] = 0;
  m_fInverseAffineMatrix[3][3] = 1.0f / m[3][3];
}

void nuqTransformAffine::StoreDecomposition(const float *pValues) {
  for (int i = 0; i < 3; ++i) {
    m_fRotation[i] = pValues[i];
    m_fRotationCentre[i] = pValues[3 + i];
    m_fTranslation[i] = pValues[6 + i];
    m_fScaling[i] = pValues[9 + i];
  }
  for (int i = 0; i < 6; ++i) m_fSkew[i] = pValues[12 + i];
}

float *nuqTransformAffine::AffineSlot(int iIndex) {
  if (iIndex < kRotationBase) return &m_fTranslation[iIndex - kTranslationBase];
  if (iIndex < kScalingBase) return &m_fRotation[iIndex - kRotationBase];
  if (iIndex < kCentreBase) return &m_fScaling[iIndex - kScalingBase];
  if (iIndex < kSkewBase) return &m_fRotationCentre[iIndex - kCentreBase];
  return &m_fSkew[iIndex - kSkewBase];
}

const float *nuqTransformAffine::AffineSlot(int iIndex) const {
  return const_cast<nuqTransformAffine *>(this)->AffineSlot(iIndex);
}
