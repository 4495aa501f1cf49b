#include "nuqTransformBase.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <iostream>
#include <limits>

#include "nuqConsole.h"
#include "nuqFileReason.h"
#include "nuqImageData.h"
#include "nuqSafeOutput.h"
#include "nuqMetricBase.h"

nuqTransformBase::nuqTransformBase()
    : m_iDimension(0), m_bOneToOne(true), m_pTestImage(nullptr), m_pRefImage(nullptr) {}

nuqTransformBase::~nuqTransformBase() = default;

bool nuqTransformBase::SetImages(nuqImageDataT<short> *pTestImage, nuqImageDataT<short> *pRefImage) {
  if (pTestImage == nullptr || pRefImage == nullptr) return false;
  m_pTestImage = pTestImage;
  m_pRefImage = pRefImage;
  if (m_iDimension >= 1 && m_iDimension <= 4) return true;
  if (pTestImage->GetDimension() != pRefImage->GetDimension()) {
    std::cerr << "error: test image and ref image should have same dimension\n";
    std::exit(1);
  }
  SetDimension(pTestImage->GetDimension());
  return true;
}

nuqImageDataT<short> *nuqTransformBase::GetTestImage() const { return m_pTestImage; }
nuqImageDataT<short> *nuqTransformBase::GetRefImage() const { return m_pRefImage; }
int nuqTransformBase::GetDimension() const { return m_iDimension; }

bool nuqTransformBase::SetDimension(int iDimension) {
  m_iDimension = iDimension;
  return true;
}

std::string nuqTransformBase::GetTransformType() const { return "TFM"; }

bool nuqTransformBase::IsSameType(const nuqTransformBase *pOther) const {
  return pOther != nullptr && pOther->GetTransformType() == GetTransformType();
}

nuqTransformBase *nuqTransformBase::CloneTo(nuqTransformBase *&pTarget) {
  if (pTarget == nullptr) return nullptr;
  pTarget->m_iDimension = m_iDimension;
  pTarget->m_bOneToOne = m_bOneToOne;
  pTarget->m_pTestImage = m_pTestImage;
  pTarget->m_pRefImage = m_pRefImage;
  pTarget->m_strTransformFileName = m_strTransformFileName;
  return pTarget;
}

bool nuqTransformBase::AdjustToRefGrid(const float *pTestGrid, float *pRefGrid) {
  AdjustTestToworld(pTestGrid, pRefGrid);
  if (m_pRefImage == nullptr) {
    std::cerr << "error: no set transform images to AdjustToRefGrid\n";
    std::exit(1);
  }
  m_pRefImage->WorldToGrid(pRefGrid);
  const int *pSize = m_pRefImage->GetSizeArray();
  const int iDim = m_pRefImage->GetDimension();
  for (int i = 0; i < iDim && i < 4; ++i) {
    if (pRefGrid[i] < 0 || pRefGrid[i] > pSize[i] - 1) return true;
  }
  return false;
}

void nuqTransformBase::AdjustTestToworld(const float *pTestGrid, float *pWorld) {
  if (m_pTestImage == nullptr) {
    std::cerr << "error: no set transform images to AdjustTestToworld\n";
    std::exit(1);
  }
  float fWorld[4] = {pTestGrid[0], pTestGrid[1], pTestGrid[2], pTestGrid[3]};
  m_pTestImage->GridToWorld(fWorld);
  TransformWorldToWorld(fWorld, pWorld);
}

void nuqTransformBase::InverseTransformWorldToWorld(const float *, float *) {
  std::cerr << "error: inverse transform world has not be implemented.\n";
}

bool nuqTransformBase::GetJacobianMatrixAtTestGrid(const float *pTestGrid, float *pJacobian) {
  if (m_pTestImage == nullptr) {
    std::cerr << "error: no set transform images to AdjustTestToworld\n";
    std::exit(1);
  }
  float fWorld[4] = {pTestGrid[0], pTestGrid[1], pTestGrid[2], pTestGrid[3]};
  m_pTestImage->GridToWorld(fWorld);
  return GetJacobianMatrixWorld(fWorld, pJacobian);
}

bool nuqTransformBase::GetJacobianMatrixWorld(const float *pWorld, float *pJacobian) {
  for (int i = 0; i < 16; ++i) pJacobian[i] = (i % 5 == 0) ? 1.0f : 0.0f;
  const int iDim = m_iDimension < 4 ? m_iDimension : 4;
  float fPoint[4] = {pWorld[0], pWorld[1], pWorld[2], pWorld[3]};
  for (int i = 0; i < iDim; ++i) {
    float fPlus[4] = {0, 0, 0, 0};
    float fMinus[4] = {0, 0, 0, 0};
    fPoint[i] += 0.5f;
    TransformWorldToWorld(fPoint, fPlus);
    fPoint[i] -= 1.0f;
    TransformWorldToWorld(fPoint, fMinus);
    fPoint[i] += 0.5f;
    // The total step is one world unit, so the difference is the derivative.
    for (int j = 0; j < iDim; ++j) pJacobian[j * 4 + i] = fPlus[j] - fMinus[j];
  }
  return true;
}

void nuqTransformBase::PushForwardGradientVector(const float *pVector, float *pOut, const float *pWorld) {
  for (int i = 0; i < 4; ++i) pOut[i] = 0;
  const int iDim = m_iDimension < 4 ? m_iDimension : 4;
  double dNorm = 0;
  for (int i = 0; i < iDim; ++i) dNorm += double(pVector[i]) * pVector[i];
  dNorm = std::sqrt(dNorm);
  if (dNorm == 0) return;
  float fPlus[4] = {0, 0, 0, 0};
  float fMinus[4] = {0, 0, 0, 0};
  for (int i = 0; i < iDim; ++i) {
    fPlus[i] = float(pWorld[i] + 0.5 * pVector[i] / dNorm);
    fMinus[i] = float(pWorld[i] - 0.5 * pVector[i] / dNorm);
  }
  float fTPlus[4] = {0, 0, 0, 0};
  float fTMinus[4] = {0, 0, 0, 0};
  TransformWorldToWorld(fPlus, fTPlus);
  TransformWorldToWorld(fMinus, fTMinus);
  // The image of a unit step: out has its direction and length |v| / |d|.
  float fDiff[4] = {0, 0, 0, 0};
  double dSquared = 0;
  for (int i = 0; i < iDim; ++i) {
    fDiff[i] = fTPlus[i] - fTMinus[i];
    dSquared += double(fDiff[i]) * fDiff[i];
  }
  if (dSquared == 0) return;
  for (int i = 0; i < iDim; ++i) pOut[i] = float(dNorm * fDiff[i] / dSquared);
}

void nuqTransformBase::PullBackGradientVector(const float *pVector, float *pOut, const float *pWorld) {
  float fJacobian[16];
  GetJacobianMatrixWorld(pWorld, fJacobian);
  for (int i = 0; i < 4; ++i) pOut[i] = 0;
  const int iDim = m_iDimension < 4 ? m_iDimension : 4;
  for (int i = 0; i < iDim; ++i) {
    pOut[i] = fJacobian[0 * 4 + i] * pVector[0] + fJacobian[1 * 4 + i] * pVector[1] +
              fJacobian[2 * 4 + i] * pVector[2];
  }
}

bool nuqTransformBase::SetAllParameters(float fValue) {
  for (int i = 0; i < GetNumberOfParameters(); ++i) SetParameterValue(i, fValue);
  return true;
}

bool nuqTransformBase::SetAllParametersWithoutUpdate(float fValue) {
  for (int i = 0; i < GetNumberOfParameters(); ++i) SetParameterValueWithoutUpdate(i, fValue);
  return true;
}

bool nuqTransformBase::SetToSum(nuqTransformBase *pA, nuqTransformBase *pB) {
  if (pA == nullptr || pB == nullptr) return false;
  bool bResult = true;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    bResult = SetParameterValue(i, pA->GetParameterValue(i) + pB->GetParameterValue(i)) && bResult;
  }
  return bResult;
}

bool nuqTransformBase::Add(nuqTransformBase *pOther) {
  if (pOther == nullptr) return false;
  bool bResult = true;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    bResult = SetParameterValue(i, GetParameterValue(i) + pOther->GetParameterValue(i)) && bResult;
  }
  return bResult;
}

bool nuqTransformBase::SetToDifference(nuqTransformBase *pA, nuqTransformBase *pB) {
  if (pA == nullptr || pB == nullptr) return false;
  bool bResult = true;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    bResult = SetParameterValue(i, pA->GetParameterValue(i) - pB->GetParameterValue(i)) && bResult;
  }
  return bResult;
}

bool nuqTransformBase::Subtract(nuqTransformBase *pOther) {
  if (pOther == nullptr) return false;
  bool bResult = true;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    bResult = SetParameterValue(i, GetParameterValue(i) - pOther->GetParameterValue(i)) && bResult;
  }
  return bResult;
}

bool nuqTransformBase::SetToScaled(nuqTransformBase *pOther, float fFactor) {
  if (pOther == nullptr) return false;
  bool bResult = true;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    bResult = SetParameterValue(i, fFactor * pOther->GetParameterValue(i)) && bResult;
  }
  return bResult;
}

bool nuqTransformBase::Scale(float fFactor) {
  for (int i = 0; i < GetNumberOfParameters(); ++i) SetParameterValue(i, fFactor * GetParameterValue(i));
  return true;
}

bool nuqTransformBase::SetToProduct(nuqTransformBase *pA, nuqTransformBase *pB) {
  if (pA == nullptr || pB == nullptr) return false;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    SetParameterValue(i, pA->GetParameterValue(i) * pB->GetParameterValue(i));
  }
  return true;
}

bool nuqTransformBase::Multiply(nuqTransformBase *pOther) {
  if (pOther == nullptr) return false;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    SetParameterValue(i, pOther->GetParameterValue(i) * GetParameterValue(i));
  }
  return true;
}

float nuqTransformBase::GetMagnitude() const {
  double dSum = 0;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    const float f = GetParameterValue(i);
    dSum += double(f) * f;
  }
  return float(std::sqrt(dSum));
}

float nuqTransformBase::Normalise(bool) {
  const float fMagnitude = GetMagnitude();
  if (fMagnitude > 0) Scale(1.0f / fMagnitude);
  return fMagnitude;
}

float nuqTransformBase::GetMaxAbsParameter() const {
  float fMax = 0;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    const float f = std::fabs(GetParameterValue(i));
    if (f > fMax) fMax = f;
  }
  return fMax;
}

float nuqTransformBase::DotProduct(nuqTransformBase *pOther) const {
  if (pOther == nullptr) return 0;
  double dSum = 0;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    dSum += double(GetParameterValue(i)) * pOther->GetParameterValue(i);
  }
  return float(dSum);
}

bool nuqTransformBase::ReadFromStream(std::istream &in) {
  int iDimension = 0;
  if (!ReadTransformInteger(in, iDimension)) return false;
  // Every reader sizes its loops by the dimension over four-entry arrays, so
  // a value outside 1..4 is refused before it is stored.
  if (iDimension < 1 || iDimension > 4) return false;
  SetDimension(iDimension);
  int iOneToOne = 0;
  if (!ReadTransformInteger(in, iOneToOne)) return false;
  m_bOneToOne = iOneToOne != 0;
  return true;
}

bool nuqTransformBase::ReadFromFile(const std::string &strFileName) {
  m_strTransformFileName = strFileName;
  // A directory opens as a stream and would read as an empty file.
  const std::string strReason = UnreadableFileSuffix(strFileName);
  std::ifstream file;
  if (strReason.empty()) file.open(strFileName.c_str(), std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    std::cerr << "error: fail in opening transformation file " << strFileName << "!"
              << strReason << "\n";
    return false;
  }
  const bool bResult = ReadFromStream(file);
  if (!bResult) {
    m_strTransformFileName.clear();
    std::cerr << "error: failed in reading file stream of " << strFileName
              << TruncatedStreamSuffix(file) << "\n";
  }
  return bResult;
}

std::string nuqTransformBase::GetTransformFileName() const { return m_strTransformFileName; }

std::string nuqTransformBase::GetTransformText() {
  char szBuffer[1024];
  std::snprintf(szBuffer, sizeof(szBuffer), "#dimension#\n%i\n#one to one#\n%i\n", m_iDimension,
                m_bOneToOne ? 1 : 0);
  return szBuffer;
}

bool nuqTransformBase::SaveToFile(const std::string &strFileName) {
  std::string strName = strFileName;
  const std::string strType = GetTransformType();
  if (GetExtension(strName) != strType) strName += "." + strType;
  // Written beside the target and renamed into place only when complete.
  nuqSafeOutput output(strName);
  std::ofstream file(output.GetTemporaryName().c_str(),
                     std::ios::out | std::ios::trunc | std::ios::binary);
  if (!file.is_open()) {
    std::cerr << "error: save to file name " << strName << " fail! ";
    return false;
  }
  file << GetTransformText();
  file.close();
  if (!file) {
    std::cerr << "error: save to file name " << strName << " fail! ";
    return false;
  }
  if (!output.Commit()) return false;
  m_strTransformFileName = strName;
  return true;
}

float nuqTransformBase::ConstrainToInvertible() { return -1; }

void nuqTransformBase::SetOneToOne(bool bOneToOne) { m_bOneToOne = bOneToOne; }

bool nuqTransformBase::AddScaled(nuqTransformBase *pOther, float fFactor) {
  if (pOther == nullptr) return false;
  nuqTransformBase *pScaled = nullptr;
  pOther->CloneTo(pScaled);
  if (pScaled == nullptr) return false;
  pScaled->Scale(fFactor);
  const bool bResult = Add(pScaled);
  delete pScaled;
  return bResult;
}

bool nuqTransformBase::SetParameterValueWithoutUpdate(int iIndex, float fValue) {
  return SetParameterValue(iIndex, fValue);
}

int nuqTransformBase::GetNumberOfFreeParameters() const { return GetNumberOfParameters(); }

int nuqTransformBase::CountParametersNotBelow(float fThreshold) const {
  int iCount = 0;
  for (int i = 0; i < GetNumberOfParameters(); ++i) {
    if (GetParameterValue(i) >= fThreshold) ++iCount;
  }
  return iCount;
}

int nuqTransformBase::CountPositiveParameters() const { return CountParametersNotBelow(1e-20f); }

nuqGradientBase::nuqGradientBase() : m_fGradientScale(0) {}

nuqGradientBase::~nuqGradientBase() = default;

nuqTransformBase *nuqGradientBase::CloneTo(nuqTransformBase *&pTarget) {
  if (nuqTransformBase::CloneTo(pTarget) == nullptr) return nullptr;
  if (auto *pGradient = dynamic_cast<nuqGradientBase *>(pTarget)) {
    pGradient->m_fGradientScale = m_fGradientScale;
  }
  return pTarget;
}

bool nuqGradientBase::ComputeGradient(nuqMetricBase *pMetric, nuqTransformBase *pStep, bool) {
  if (pMetric == nullptr) return false;
  nuqTransformBase *pTransform = pMetric->GetTransform();
  if (pTransform == nullptr) return false;
  SetAllParameters(0);
  for (int i = 0; i < pTransform->GetNumberOfParameters(); ++i) {
    const float fStep = pStep != nullptr ? pStep->GetParameterValue(i) : 1.0f;
    float fGradient = 0;
    if (fStep > 0) {
      const float fValue = pTransform->GetParameterValue(i);
      float fPlus = 0;
      float fMinus = 0;
      pTransform->SetParameterValue(i, fValue + fStep);
      pMetric->GetValue(fPlus);
      pTransform->SetParameterValue(i, fValue - fStep);
      pMetric->GetValue(fMinus);
      pTransform->SetParameterValue(i, fValue);
      // Not divided by 2h: only the direction matters to the optimiser.
      fGradient = fPlus - fMinus;
    }
    SetParameterValue(i, fGradient);
  }
  return true;
}

bool nuqGradientBase::UpdateParameterMask(nuqTransformBase *, nuqTransformBase *, bool) { return false; }

void nuqGradientBase::SetGradientScale(float fScale) { m_fGradientScale = fScale; }

bool JointTransformWorldToWorld(nuqTransformBase **ppTransforms, int iCount, int iDim, const float *pIn,
                                float *pOut) {
  if (ppTransforms == nullptr || iCount <= 0) return false;
  const int iCopy = iDim < 4 ? iDim : 4;
  for (int i = 0; i < iCopy; ++i) pOut[i] = pIn[i];
  for (int i = 0; i < iCount; ++i) {
    if (ppTransforms[i] == nullptr) continue;
    const float fPoint[4] = {pOut[0], pOut[1], pOut[2], pOut[3]};
    ppTransforms[i]->TransformWorldToWorld(fPoint, pOut);
  }
  return true;
}

namespace {

bool IsLineBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v'; }

}  // namespace

bool ReadTransformLine(std::istream &in, std::string &strLine) {
  // A fixed buffer: a huge file without line breaks never grows memory.
  char szLine[1024];
  for (;;) {
    in.getline(szLine, sizeof(szLine));
    if (in.bad()) return false;
    if (in.fail()) {
      if (in.eof()) {  // nothing left to read
        MarkTransformStreamTruncated(in);
        return false;
      }
      // Longer than 1023 characters: only a comment may be cut off, since
      // a value cut short would be read as a different number.
      in.clear();
      in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      if (std::strchr(szLine, '#') == nullptr) {
        std::cerr << "error: a transform file line is longer than " << sizeof(szLine) - 1
                  << " characters\n";
        return false;
      }
    }
    std::string strRaw(szLine);
    std::string::size_type iComment = strRaw.find('#');
    if (iComment == std::string::npos) iComment = strRaw.find('%');
    if (iComment == std::string::npos) iComment = strRaw.find('?');
    if (iComment != std::string::npos) strRaw.resize(iComment);
    std::string::size_type iBegin = 0;
    std::string::size_type iEnd = strRaw.size();
    while (iBegin < iEnd && IsLineBlank(strRaw[iBegin])) ++iBegin;
    while (iEnd > iBegin && IsLineBlank(strRaw[iEnd - 1])) --iEnd;
    if (iEnd > iBegin) {
      strLine = strRaw.substr(iBegin, iEnd - iBegin);
      return true;
    }
  }
}

bool ParseTransformNumbers(const std::string &strLine, float *pValues, int iCount) {
  const char *pText = strLine.c_str();
  for (int i = 0; i < iCount; ++i) {
    char *pEnd = nullptr;
    const double dValue = std::strtod(pText, &pEnd);
    if (pEnd == pText) return false;
    pValues[i] = float(dValue);
    pText = pEnd;
  }
  return true;
}

bool ParseTransformIntegers(const std::string &strLine, int *pValues, int iCount) {
  const char *pText = strLine.c_str();
  for (int i = 0; i < iCount; ++i) {
    char *pEnd = nullptr;
    errno = 0;
    const long lValue = std::strtol(pText, &pEnd, 10);
    if (pEnd == pText || errno == ERANGE || lValue > 2147483647L || lValue < -2147483647L - 1) return false;
    pValues[i] = int(lValue);
    pText = pEnd;
  }
  return true;
}

bool ParseTransformLineNumbers(std::istream &in, const std::string &strLine, float *pValues,
                               int iCount) {
  if (ParseTransformNumbers(strLine, pValues, iCount)) return true;
  if (LineEndsBeforeNumbers(strLine, iCount) && !HasTransformContentLeft(in)) {
    MarkTransformStreamTruncated(in);
  }
  return false;
}

bool ReadTransformNumbers(std::istream &in, float *pValues, int iCount) {
  std::string strLine;
  return ReadTransformLine(in, strLine) && ParseTransformLineNumbers(in, strLine, pValues, iCount);
}

bool ReadTransformInteger(std::istream &in, int &iValue) {
  std::string strLine;
  return ReadTransformLine(in, strLine) && ParseTransformIntegers(strLine, &iValue, 1);
}

namespace {

// Stream slot of the truncation mark; a fresh stream holds 0.
int TruncationSlot() {
  static const int iSlot = std::ios_base::xalloc();
  return iSlot;
}

}  // namespace

void MarkTransformStreamTruncated(std::istream &in) { in.iword(TruncationSlot()) = 1; }

bool IsTransformStreamTruncated(std::istream &in) { return in.iword(TruncationSlot()) != 0; }

bool LineEndsBeforeNumbers(const std::string &strLine, int iCount) {
  const char *pText = strLine.c_str();
  for (int i = 0; i < iCount; ++i) {
    char *pEnd = nullptr;
    std::strtod(pText, &pEnd);
    if (pEnd == pText) {
      while (IsLineBlank(*pText)) ++pText;
      return *pText == '\0';
    }
    pText = pEnd;
  }
  return false;
}

bool HasTransformContentLeft(std::istream &in) {
  // Scanned character by character: no line is buffered, however long.
  const long kNone = -1;
  long iColumn = 0, iFirstText = kNone, iHash = kNone, iPercent = kNone, iQuestion = kNone;
  for (;;) {
    const int c = in.get();
    if (c == std::char_traits<char>::eof() || c == '\n') {
      // The comment rule of ReadTransformLine: from "#", else "%", else "?".
      const long iComment = iHash != kNone ? iHash : iPercent != kNone ? iPercent : iQuestion;
      if (iFirstText != kNone && (iComment == kNone || iFirstText < iComment)) return true;
      if (c != '\n') return false;
      iColumn = 0;
      iFirstText = iHash = iPercent = iQuestion = kNone;
      continue;
    }
    const char ch = char(c);
    if (ch == '#' && iHash == kNone) iHash = iColumn;
    if (ch == '%' && iPercent == kNone) iPercent = iColumn;
    if (ch == '?' && iQuestion == kNone) iQuestion = iColumn;
    if (!IsLineBlank(ch) && iFirstText == kNone) iFirstText = iColumn;
    ++iColumn;
  }
}

std::string TruncatedStreamSuffix(std::istream &in) {
  return IsTransformStreamTruncated(in)
             ? " (truncated: the file ends before all its values were read)"
             : std::string();
}
