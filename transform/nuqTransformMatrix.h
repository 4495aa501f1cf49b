// Affine matrix algebra and the matrix transform.
//
// nuqTransformMatrix is an affine whose free parameters are the twelve upper
// entries of its 4x4 matrix (entry 4r + c is element (r, c)). Its affine
// parameters hold the decomposition of that matrix, so its AFF text stays
// meaningful, but the matrix itself is kept exactly as set. Type "AFF".
#pragma once

#include <string>

#include "nuqTransformAffine.h"

template <class T> class nuqMatrixT;

// Decomposes the upper three rows of M (fourth row taken as 0 0 0 1) into
// 18 values: rotation (3, degrees), centre (3), translation (3), scaling (3),
// skews (6, degrees; only 1, 2 and 5 non-zero), such that
// x -> L (x - c) + c + t reproduces M for the given centre. Computed in
// double precision; false for a zero column or dependent columns.
bool UpdateParameter(float *pOut, const float *pMatrix, const float *pCentre, float fTolerance);
// 3x3 inverse with a determinant test (|det| < 1e-20 fails with a message);
// pOut may be pIn.
bool ComputeInvertOfMatrix3D(nuqMatrixT<float> *pOut, const nuqMatrixT<float> *pIn);
bool SetSquareMatrixToIdentity(nuqMatrixT<float> *pMatrix);
// Newton iteration, then Denman-Beavers when Newton does not converge.
bool ComputeSquareRootOfMatrix3D(nuqMatrixT<float> *pOut, const nuqMatrixT<float> *pIn,
                                 float fTolerance);
// Square root (B, s) of the 4x4 affine (A, t): B = sqrt(A), s = (B + I)^-1 t.
bool ComputeSquareRootOfAffineMatrix(float *pOut, const float *pMatrix, float fTolerance);

class nuqTransformMatrix : public nuqTransformAffine {
 public:
  nuqTransformMatrix();
  ~nuqTransformMatrix() override;

  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override;
  bool SetAllParameters(float fValue) override;
  bool SetToSum(nuqTransformBase *pA, nuqTransformBase *pB) override;
  bool Add(nuqTransformBase *pOther) override;
  bool SetToDifference(nuqTransformBase *pA, nuqTransformBase *pB) override;
  bool Subtract(nuqTransformBase *pOther) override;
  bool SetToScaled(nuqTransformBase *pOther, float fFactor) override;
  bool Scale(float fFactor) override;
  bool SetToProduct(nuqTransformBase *pA, nuqTransformBase *pB) override;
  bool Multiply(nuqTransformBase *pOther) override;
  float GetMagnitude() const override;
  float GetMaxAbsParameter() const override;
  float DotProduct(nuqTransformBase *pOther) const override;
  bool SetIdentity() override;
  // No extension or unknown one: name + ".AFF"; "AFF"/"MTX" (any case): the
  // extension upper-cased, AFF text; "MAT"/"MATRIX" (any case): the four
  // matrix rows under the name as given.
  bool SaveToFile(const std::string &strFileName) override;
  bool AddScaled(nuqTransformBase *pOther, float fFactor) override;
  int GetNumberOfParameters() const override;
  float GetParameterValue(int iIndex) const override;
  bool SetParameterValue(int iIndex, float fValue) override;
  bool SetParameterValueWithoutUpdate(int iIndex, float fValue) override;
  int CountParametersNotBelow(float fThreshold) const override;
  bool SetToSign(nuqTransformAffine *pOther, float fThreshold) override;
  bool SignInPlace(float fThreshold) override;
  // SetFromMatrix(own matrix, own centre, 1e-7).
  bool UpdateMatrices() override;
  // Keeps M exactly, rebuilds the inverse and stores the decomposition as the
  // affine parameters without rebuilding the matrix.
  bool SetFromMatrix(const float *pMatrix, const float *pCentre, float fTolerance) override;

  // Four rows of four "%f\t", each followed by "\n".
  virtual std::string GetMatrixText() const;
  // M := B * A (A applied first).
  virtual bool SetToMatrixProduct(const float *pA, const float *pB);
  // M := b * a (a applied first).
  virtual bool SetToConcatenation(nuqTransformAffine *pA, nuqTransformAffine *pB);
  // A applied after this transform.
  virtual bool ConcatenateMatrix(const float *pA);
  // b applied after this transform.
  virtual bool ConcatenateTransform(nuqTransformAffine *pB);

  // Takes the other affine's inverse matrix and dimension.
  bool SetToInverseOf(nuqTransformAffine *pAffine);
};
