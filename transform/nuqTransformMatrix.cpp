#include "nuqTransformMatrix.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "nuqConsole.h"
#include "nuqFileReason.h"
#include "nuqSafeOutput.h"
#include "nuqMatrix.h"

namespace {

// 180 / pi with pi taken as the single-precision 3.14159.
const double kRadianToDegree = 57.29582574928754;
const double kSinglePi = 3.141590118408203;

double Dot3(const double *a, const double *b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double Norm3(const double *a) { return std::sqrt(Dot3(a, a)); }

// Frobenius norm of Y * Y - A.
float SquareResidual(const nuqMatrixT<float> &Y, const nuqMatrixT<float> &A) {
  const nuqMatrixT<float> D = Y * Y - A;
  double dSum = 0;
  for (int i = 0; i < 9; ++i) dSum += double(D.GetMatrixData()[i]) * D.GetMatrixData()[i];
  return float(std::sqrt(dSum));
}

bool IsMatrix3x3(const nuqMatrixT<float> *pMatrix) {
  return pMatrix != nullptr && pMatrix->GetRows() == 3 && pMatrix->GetColumns() == 3;
}

nuqMatrixT<float> Identity3() {
  nuqMatrixT<float> I(3, 3);
  SetSquareMatrixToIdentity(&I);
  return I;
}

}  // namespace

bool UpdateParameter(float *pOut, const float *pMatrix, const float *pCentre, float fTolerance) {
  if (pOut == nullptr || pMatrix == nullptr || pCentre == nullptr) return false;
  for (int i = 0; i < 18; ++i) pOut[i] = 0;
  const float(*M)[4] = reinterpret_cast<const float(*)[4]>(pMatrix);
  double X[3], Y[3], Z[3];
  for (int r = 0; r < 3; ++r) {
    X[r] = M[r][0];
    Y[r] = M[r][1];
    Z[r] = M[r][2];
  }
  // Gram-Schmidt on the columns: scales, then the upper-triangular shears.
  double sx = Norm3(X);
  if (sx == 0) return false;
  for (double &v : X) v /= sx;
  const double o = Dot3(X, Y);
  for (int r = 0; r < 3; ++r) Y[r] -= o * X[r];
  double sy = Norm3(Y);
  if (sy == 0) return false;
  for (double &v : Y) v /= sy;
  const double g = Dot3(X, Z);
  for (int r = 0; r < 3; ++r) Z[r] -= g * X[r];
  const double j = Dot3(Y, Z);
  for (int r = 0; r < 3; ++r) Z[r] -= j * Y[r];
  double sz = Norm3(Z);
  if (sz == 0) return false;
  for (double &v : Z) v /= sz;

  pOut[12 + 1] = float(std::atan(o / sy) * 180.0 / kSinglePi);
  pOut[12 + 2] = float(std::atan(j / sz) * 180.0 / kSinglePi);
  pOut[12 + 5] = float(std::atan(g / sz) * 180.0 / kSinglePi);

  // A reflection is carried by three negative scale factors.
  const double afCross[3] = {Y[1] * Z[2] - Y[2] * Z[1], Y[2] * Z[0] - Y[0] * Z[2], Y[0] * Z[1] - Y[1] * Z[0]};
  if (Dot3(X, afCross) < 0) {
    for (int r = 0; r < 3; ++r) {
      X[r] = -X[r];
      Y[r] = -Y[r];
      Z[r] = -Z[r];
    }
    sx = -sx;
    sy = -sy;
    sz = -sz;
  }

  // R has the columns X, Y, Z: R(r, c) is component r of column c.
  double dSinRy = -Z[0];
  if (dSinRy > 1) dSinRy = 1;
  if (dSinRy < -1) dSinRy = -1;
  const float fRy = float(std::asin(dSinRy));
  double rx = 0, rz = 0;
  if (std::fabs(std::cos(fRy)) > fTolerance) {
    rx = std::atan2(Z[1], Z[2]);
    rz = std::atan2(Y[0], X[0]);
  } else {
    // Gimbal lock: the whole rotation about x.
    const double dSin = std::sin(fRy);
    rx = std::atan2(dSin * X[1], dSin * X[2]);
    rz = 0;
  }
  pOut[0] = float(rx * kRadianToDegree);
  pOut[1] = float(fRy * kRadianToDegree);
  pOut[2] = float(rz * kRadianToDegree);

  for (int r = 0; r < 3; ++r) pOut[3 + r] = pCentre[r];
  for (int r = 0; r < 3; ++r) {
    const double dMapped = double(M[r][0]) * pCentre[0] + double(M[r][1]) * pCentre[1] +
                           double(M[r][2]) * pCentre[2] + double(M[r][3]);
    pOut[6 + r] = float(dMapped - pCentre[r]);
  }
  pOut[9] = float(sx);
  pOut[10] = float(sy);
  pOut[11] = float(sz);
  return true;
}

bool ComputeInvertOfMatrix3D(nuqMatrixT<float> *pOut, const nuqMatrixT<float> *pIn) {
  if (pOut == nullptr || !IsMatrix3x3(pIn)) return false;
  const nuqMatrixT<float> &a = *pIn;
  const float fDet = a(0, 0) * a(1, 1) * a(2, 2) + a(0, 1) * a(1, 2) * a(2, 0) + a(0, 2) * a(1, 0) * a(2, 1) -
                     a(2, 0) * a(1, 1) * a(0, 2) - a(1, 0) * a(0, 1) * a(2, 2) - a(2, 1) * a(1, 2) * a(0, 0);
  if (!(std::fabs(fDet) >= 1e-20f)) {
    std::cerr << "error: can not invert a matrix with zero determinant, ComputeInvertOfMatrix3D failed\n";
    return false;
  }
  // Into a temporary first: pOut may be pIn.
  const float afInverse[9] = {(a(1, 1) * a(2, 2) - a(1, 2) * a(2, 1)) / fDet,
                              (a(0, 2) * a(2, 1) - a(0, 1) * a(2, 2)) / fDet,
                              (a(0, 1) * a(1, 2) - a(0, 2) * a(1, 1)) / fDet,
                              (a(1, 2) * a(2, 0) - a(1, 0) * a(2, 2)) / fDet,
                              (a(0, 0) * a(2, 2) - a(0, 2) * a(2, 0)) / fDet,
                              (a(0, 2) * a(1, 0) - a(0, 0) * a(1, 2)) / fDet,
                              (a(1, 0) * a(2, 1) - a(1, 1) * a(2, 0)) / fDet,
                              (a(0, 1) * a(2, 0) - a(0, 0) * a(2, 1)) / fDet,
                              (a(0, 0) * a(1, 1) - a(0, 1) * a(1, 0)) / fDet};
  return pOut->SetMatrix(afInverse, 3, 3);
}

bool SetSquareMatrixToIdentity(nuqMatrixT<float> *pMatrix) {
  if (pMatrix == nullptr || pMatrix->GetRows() < 1 || pMatrix->GetRows() != pMatrix->GetColumns()) {
    std::cerr << "error: SetSquareMatrixToIdentity fail\n";
    return false;
  }
  const int n = pMatrix->GetRows();
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) (*pMatrix)(r, c) = (r == c) ? 1.0f : 0.0f;
  }
  return true;
}

bool ComputeSquareRootOfMatrix3D(nuqMatrixT<float> *pOut, const nuqMatrixT<float> *pIn, float fTolerance) {
  if (pOut == nullptr || !IsMatrix3x3(pIn)) return false;
  const nuqMatrixT<float> &A = *pIn;
  const int kMaxIterations = 1024;
  nuqMatrixT<float> Y = Identity3();
  nuqMatrixT<float> YInverse(3, 3);
  float fResidual = SquareResidual(Y, A);

  // A singular block is refused before Newton: started from the identity,
  // Newton would shrink Y towards a root of the zero block and report it.
  const bool bInvertible = ComputeInvertOfMatrix3D(&YInverse, &A);

  // Newton: Y := (Y + A Y^-1) / 2 from the identity.
  for (int k = 0; bInvertible && k < kMaxIterations; ++k) {
    if (!ComputeInvertOfMatrix3D(&YInverse, &Y)) break;
    Y = (Y + A * YInverse) * 0.5f;
    fResidual = SquareResidual(Y, A);
    if (fTolerance > fResidual) {
      *pOut = Y;
      return true;
    }
  }

  // Denman-Beavers: Y -> sqrt(A), Z -> sqrt(A)^-1.
  Y = A;
  nuqMatrixT<float> Z = Identity3();
  nuqMatrixT<float> ZInverse(3, 3);
  for (int k = 0; k < kMaxIterations; ++k) {
    if (!ComputeInvertOfMatrix3D(&YInverse, &Y) || !ComputeInvertOfMatrix3D(&ZInverse, &Z)) break;
    const nuqMatrixT<float> YNext = (Y + ZInverse) * 0.5f;
    Z = (Z + YInverse) * 0.5f;
    Y = YNext;
    fResidual = SquareResidual(Y, A);
    if (fTolerance > fResidual) {
      *pOut = Y;
      return true;
    }
  }
  std::cerr << "error: square root affine transformation fail due to the estimated error " << fResidual << " > "
            << fTolerance << " of tollerance\n";
  return false;
}

bool ComputeSquareRootOfAffineMatrix(float *pOut, const float *pMatrix, float fTolerance) {
  if (pOut == nullptr || pMatrix == nullptr) return false;
  nuqMatrixT<float> A(3, 3);
  float afT[3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) A(r, c) = pMatrix[r * 4 + c];
    afT[r] = pMatrix[r * 4 + 3];
  }
  nuqMatrixT<float> B(3, 3);
  if (!ComputeSquareRootOfMatrix3D(&B, &A, fTolerance)) return false;
  // (B, s) applied twice gives (B^2, B s + s): s = (B + I)^-1 t.
  nuqMatrixT<float> C = B + Identity3();
  if (!ComputeInvertOfMatrix3D(&C, &C)) return false;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pOut[r * 4 + c] = B(r, c);
    pOut[r * 4 + 3] = C(r, 0) * afT[0] + C(r, 1) * afT[1] + C(r, 2) * afT[2];
  }
  pOut[12] = pOut[13] = pOut[14] = 0;
  pOut[15] = 1;
  return true;
}

bool nuqTransformAffine::SetFromMatrix(const float *pMatrix, const float *pCentre, float fTolerance) {
  SetDimension(3);
  if (pMatrix == nullptr) return false;
  float afCentre[3];
  for (int i = 0; i < 3; ++i) afCentre[i] = pCentre != nullptr ? pCentre[i] : m_fRotationCentre[i];
  float afValues[18];
  if (!UpdateParameter(afValues, pMatrix, afCentre, fTolerance)) return false;
  StoreDecomposition(afValues);
  return RefreshAffineMatrices();
}

bool nuqTransformAffine::Invert() {
  float afInverse[16];
  float afCentre[3] = {m_fRotationCentre[0], m_fRotationCentre[1], m_fRotationCentre[2]};
  for (int i = 0; i < 16; ++i) afInverse[i] = (&m_fInverseAffineMatrix[0][0])[i];
  return SetFromMatrix(afInverse, afCentre, 1e-7f);
}

bool nuqTransformAffine::SquareRoot() {
  float afRoot[16];
  if (!ComputeSquareRootOfAffineMatrix(afRoot, &m_fAffineMatrix[0][0], 1e-5f)) return false;
  float afCentre[3] = {m_fRotationCentre[0], m_fRotationCentre[1], m_fRotationCentre[2]};
  return SetFromMatrix(afRoot, afCentre, 1e-7f);
}

bool nuqTransformAffine::ReadMatrixFile(const std::string &strFileName) {
  std::string strExtension = GetExtension(strFileName);
  ToLowerCase(strExtension);
  if (strExtension != "matrix" && strExtension != "mat") return false;
  m_strTransformFileName = strFileName;
  const std::string strReason = UnreadableFileSuffix(strFileName);
  std::ifstream file;
  if (strReason.empty()) file.open(strFileName.c_str(), std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    std::cerr << "error: Open matrix affine transformation:" << strFileName << " Failed!"
              << strReason << "\n";
    return false;
  }
  SetDimension(3);
  float afMatrix[16];
  for (int r = 0; r < 3; ++r) {
    if (!ReadTransformNumbers(file, &afMatrix[r * 4], 4)) {
      std::cerr << "error: Open matrix affine transformation:" << strFileName << " Failed in reading row " << r
                << "!" << TruncatedStreamSuffix(file) << "\n";
      return false;
    }
  }
  afMatrix[12] = afMatrix[13] = afMatrix[14] = 0;
  afMatrix[15] = 1;
  file.close();
  if (!SetFromMatrix(afMatrix, nullptr, 1e-7f)) return false;
  if (GetTransformType() == "AFF") PrintAffineMatrixDebug(strFileName, m_fAffineMatrix);
  return true;
}

nuqTransformMatrix::nuqTransformMatrix() = default;

nuqTransformMatrix::~nuqTransformMatrix() = default;

nuqTransformBase *nuqTransformMatrix::CloneTo(nuqTransformBase *&pTarget) {
  if (pTarget == nullptr) pTarget = new nuqTransformMatrix();
  return nuqTransformAffine::CloneTo(pTarget);
}

bool nuqTransformMatrix::SetAllParameters(float fValue) {
  for (int i = 0; i < 12; ++i) (&m_fAffineMatrix[0][0])[i] = fValue;
  return true;
}

namespace {

const float *MatrixOf(nuqTransformBase *pTransform) {
  auto *pAffine = dynamic_cast<nuqTransformAffine *>(pTransform);
  return pAffine != nullptr ? static_cast<const nuqTransformAffine *>(pAffine)->GetMatrixPointer() : nullptr;
}

}  // namespace

bool nuqTransformMatrix::SetToSum(nuqTransformBase *pA, nuqTransformBase *pB) {
  const float *a = MatrixOf(pA);
  const float *b = MatrixOf(pB);
  if (a == nullptr || b == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] = a[i] + b[i];
  return UpdateMatrices();
}

bool nuqTransformMatrix::Add(nuqTransformBase *pOther) {
  const float *o = MatrixOf(pOther);
  if (o == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] += o[i];
  return UpdateMatrices();
}

bool nuqTransformMatrix::SetToDifference(nuqTransformBase *pA, nuqTransformBase *pB) {
  const float *a = MatrixOf(pA);
  const float *b = MatrixOf(pB);
  if (a == nullptr || b == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] = a[i] - b[i];
  return UpdateMatrices();
}

bool nuqTransformMatrix::Subtract(nuqTransformBase *pOther) {
  const float *o = MatrixOf(pOther);
  if (o == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] -= o[i];
  return UpdateMatrices();
}

bool nuqTransformMatrix::SetToScaled(nuqTransformBase *pOther, float fFactor) {
  const float *o = MatrixOf(pOther);
  if (o == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] = fFactor * o[i];
  return true;
}

bool nuqTransformMatrix::Scale(float fFactor) {
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] *= fFactor;
  return true;
}

bool nuqTransformMatrix::SetToProduct(nuqTransformBase *pA, nuqTransformBase *pB) {
  const float *a = MatrixOf(pA);
  const float *b = MatrixOf(pB);
  if (a == nullptr || b == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] = a[i] * b[i];
  return true;
}

bool nuqTransformMatrix::Multiply(nuqTransformBase *pOther) {
  const float *o = MatrixOf(pOther);
  if (o == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] *= o[i];
  return true;
}

float nuqTransformMatrix::GetMagnitude() const { return nuqTransformBase::GetMagnitude(); }

float nuqTransformMatrix::GetMaxAbsParameter() const { return nuqTransformBase::GetMaxAbsParameter(); }

float nuqTransformMatrix::DotProduct(nuqTransformBase *pOther) const {
  return nuqTransformBase::DotProduct(pOther);
}

bool nuqTransformMatrix::SetIdentity() {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) m_fAffineMatrix[r][c] = (r == c) ? 1.0f : 0.0f;
  }
  return UpdateMatrices();
}

bool nuqTransformMatrix::SaveToFile(const std::string &strFileName) {
  const std::string strType = "AFF";
  std::string strExtension = GetExtension(strFileName);
  ToUpperCase(strExtension);
  std::string strName = strFileName;
  std::string strText;
  if (strExtension == "MAT" || strExtension == "MATRIX") {
    strText = GetMatrixText();
  } else {
    if (strExtension == strType || strExtension == "MTX") {
      strName = GetNameWithoutExtension(strFileName) + "." + strExtension;
    } else {
      strName = strFileName + "." + strType;
    }
    strText = GetTransformText();
  }
  // Written beside the target and renamed into place only when complete.
  nuqSafeOutput output(strName);
  std::ofstream file(output.GetTemporaryName().c_str(),
                     std::ios::out | std::ios::trunc | std::ios::binary);
  if (!file.is_open()) {
    std::cerr << "error: save to file name " << strName << " fail! ";
    return false;
  }
  file << strText;
  file.close();
  if (!file) {
    std::cerr << "error: save to file name " << strName << " fail! ";
    return false;
  }
  if (!output.Commit()) return false;
  m_strTransformFileName = strName;
  return true;
}

bool nuqTransformMatrix::AddScaled(nuqTransformBase *pOther, float fFactor) {
  const float *o = MatrixOf(pOther);
  if (o == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) m[i] += fFactor * o[i];
  return UpdateMatrices();
}

int nuqTransformMatrix::GetNumberOfParameters() const { return 12; }

float nuqTransformMatrix::GetParameterValue(int iIndex) const {
  if (iIndex < 0 || iIndex >= 12) return 0;
  return (&m_fAffineMatrix[0][0])[iIndex];
}

bool nuqTransformMatrix::SetParameterValue(int iIndex, float fValue) {
  if (!nuqTransformMatrix::SetParameterValueWithoutUpdate(iIndex, fValue)) return false;
  return UpdateMatrices();
}

bool nuqTransformMatrix::SetParameterValueWithoutUpdate(int iIndex, float fValue) {
  if (iIndex < 0 || iIndex >= 12) return false;
  (&m_fAffineMatrix[0][0])[iIndex] = fValue;
  return true;
}

int nuqTransformMatrix::CountParametersNotBelow(float fThreshold) const {
  return nuqTransformBase::CountParametersNotBelow(fThreshold);
}

bool nuqTransformMatrix::SetToSign(nuqTransformAffine *pOther, float fThreshold) {
  const float *o = MatrixOf(pOther);
  if (o == nullptr) return false;
  float *m = &m_fAffineMatrix[0][0];
  for (int i = 0; i < 12; ++i) {
    const float fDiff = o[i] - fThreshold;
    m[i] = fDiff > 0 ? 1.0f : (fDiff < 0 ? -1.0f : 0.0f);
  }
  return true;
}

bool nuqTransformMatrix::SignInPlace(float fThreshold) { return nuqTransformMatrix::SetToSign(this, fThreshold); }

bool nuqTransformMatrix::UpdateMatrices() {
  float afMatrix[16];
  GetMatrix(afMatrix);
  const float afCentre[3] = {m_fRotationCentre[0], m_fRotationCentre[1], m_fRotationCentre[2]};
  return SetFromMatrix(afMatrix, afCentre, 1e-7f);
}

bool nuqTransformMatrix::SetFromMatrix(const float *pMatrix, const float *pCentre, float fTolerance) {
  if (pMatrix == nullptr) return false;
  float afValues[18];
  float afCentre[3];
  for (int i = 0; i < 3; ++i) afCentre[i] = pCentre != nullptr ? pCentre[i] : m_fRotationCentre[i];
  // Copy first: pMatrix may point at the own matrix.
  float afUpper[12];
  for (int i = 0; i < 12; ++i) afUpper[i] = pMatrix[i];
  for (int i = 0; i < 12; ++i) (&m_fAffineMatrix[0][0])[i] = afUpper[i];
  BuildInverseMatrix();
  SetDimension(3);
  if (!UpdateParameter(afValues, &m_fAffineMatrix[0][0], afCentre, fTolerance)) return false;
  StoreDecomposition(afValues);
  return true;
}

std::string nuqTransformMatrix::GetMatrixText() const {
  std::string strText;
  char szBuffer[128];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      std::snprintf(szBuffer, sizeof(szBuffer), "%f\t", double(m_fAffineMatrix[r][c]));
      strText += szBuffer;
    }
    strText += "\n";
  }
  return strText;
}

bool nuqTransformMatrix::SetToMatrixProduct(const float *pA, const float *pB) {
  if (pA == nullptr || pB == nullptr) return false;
  float afProduct[16];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      float fSum = 0;
      for (int k = 0; k < 4; ++k) fSum += pB[r * 4 + k] * pA[k * 4 + c];
      afProduct[r * 4 + c] = fSum;
    }
  }
  SetFromMatrix(afProduct, nullptr, 1e-7f);
  return true;
}

bool nuqTransformMatrix::SetToConcatenation(nuqTransformAffine *pA, nuqTransformAffine *pB) {
  const float *a = MatrixOf(pA);
  const float *b = MatrixOf(pB);
  if (a == nullptr || b == nullptr) return false;
  float afProduct[16];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      float fSum = 0;
      for (int k = 0; k < 4; ++k) fSum += b[r * 4 + k] * a[k * 4 + c];
      afProduct[r * 4 + c] = fSum;
    }
  }
  for (int i = 0; i < 16; ++i) (&m_fAffineMatrix[0][0])[i] = afProduct[i];
  UpdateMatrices();
  return true;
}

bool nuqTransformMatrix::ConcatenateMatrix(const float *pA) {
  float afOwn[16];
  GetMatrix(afOwn);
  return SetToMatrixProduct(afOwn, pA);
}

bool nuqTransformMatrix::ConcatenateTransform(nuqTransformAffine *pB) { return SetToConcatenation(this, pB); }

bool nuqTransformMatrix::SetToInverseOf(nuqTransformAffine *pAffine) {
  if (pAffine == nullptr) return false;
  float afInverse[16];
  const float *pInverse = static_cast<const nuqTransformAffine *>(pAffine)->GetInverseMatrixPointer();
  for (int i = 0; i < 16; ++i) afInverse[i] = pInverse[i];
  SetDimension(pAffine->GetDimension());
  return SetFromMatrix(afInverse, nullptr, 1e-7f);
}
