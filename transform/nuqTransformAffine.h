// Parametric affine transform: rotation angles (degrees), scaling,
// translation and six skew angles (degrees) about a rotation centre c. The
// forward matrix maps x -> L (x - c) + c + t with
//   L = R * (((Kyz * Kzx) * Kxy) * S)
// (R rotation, K skews, S scaling); the inverse is kept beside it. Angles use
// pi = 3.14159 in single precision. Matrices are float[4][4], row-major.
//
// Parameter vector (22 entries): translation 0..3, rotation 4..7, scaling
// 8..11, centre 12..15, skews 16..21 (x-y, y-x, y-z, z-y, z-x, x-z).
//
// Every parameter change rebuilds the matrices with the affine's own refresh
// (also inside derived classes, which keep their own UpdateMatrices for the
// places that call the overridable one). A degenerate scale factor
// (|s| < 1e-20) refuses the rebuild and keeps the previous matrices.
#pragma once

#include "nuqTransformBase.h"

class nuqTransformAffine : public nuqGradientBase {
 public:
  nuqTransformAffine();
  ~nuqTransformAffine() override;

  std::string GetTransformType() const override;
  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override;
  void TransformWorldToWorld(const float *pIn, float *pOut) override;
  void InverseTransformWorldToWorld(const float *pIn, float *pOut) override;
  bool GetJacobianMatrixAtTestGrid(const float *pTestGrid, float *pJacobian) override;
  bool GetJacobianMatrixWorld(const float *pWorld, float *pJacobian) override;
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
  float Normalise(bool bPerGroup) override;
  float GetMaxAbsParameter() const override;
  float DotProduct(nuqTransformBase *pOther) const override;
  bool SetIdentity() override;
  // AFF reader (after the common header: centre, rotation, scaling,
  // translation, six skews, optional matrix).
  bool ReadFromStream(std::istream &in) override;
  // "matrix"/"mat" names go to ReadMatrixFile; others are completed with
  // CompleteFileName, read as AFF text, then the matrices are rebuilt.
  bool ReadFromFile(const std::string &strFileName) override;
  std::string GetTransformText() override;
  bool AddScaled(nuqTransformBase *pOther, float fFactor) override;
  int GetNumberOfParameters() const override;
  float GetParameterValue(int iIndex) const override;
  bool SetParameterValue(int iIndex, float fValue) override;
  bool SetParameterValueWithoutUpdate(int iIndex, float fValue) override;
  int GetNumberOfFreeParameters() const override;
  int CountParametersNotBelow(float fThreshold) const override;
  // Refuses a missing step transform.
  bool ComputeGradient(nuqMetricBase *pMetric, nuqTransformBase *pStep, bool bFlag) override;

  virtual bool ReadAffineFile(const std::string &strFileName);
  // "centre"/"center": geometric centres; "gcentre"/"gcenter": centres of
  // gravity. The translation is set so that the image centres coincide.
  virtual bool AlignCentres(const std::string &strKeyword);
  virtual bool AlignCentresByType(int iType);
  virtual bool CopyParametersFrom(const nuqTransformAffine &source);
  virtual bool SetToSign(nuqTransformAffine *pOther, float fThreshold);
  virtual bool SignInPlace(float fThreshold);
  virtual void GetMatrix(float *pMatrix) const;
  // Forward matrix from the parameters, then the inverse; true when both
  // were rebuilt.
  virtual bool UpdateMatrices();
  // Decomposes M into the parameters (centre: pCentre, or the current one
  // when null) and rebuilds the matrices from them.
  virtual bool SetFromMatrix(const float *pMatrix, const float *pCentre, float fTolerance);
  virtual float *GetMatrixPointer();
  virtual float *GetInverseMatrixPointer();
  virtual void GetMatrixEntryDerivatives(float *pDx, float *pDy, float *pDz, const float *pPoint);
  virtual void GetDerivativeBlockColumn(float *pOut, int iIndex);
  virtual void ApplyUpperDerivativeBlock(float *pOut, int iIndex, const float *pPoint);
  virtual void ApplyDerivativeBlock(float *pOut, int iBlock, const float *pPoint);
  virtual bool Invert();
  virtual bool SquareRoot();
  // The name itself when it can be opened, else stem + ".MTX", else
  // stem + ".AFF"; false when none can be opened.
  virtual bool CompleteFileName(std::string &strFileName);
  // Three rows of four numbers (extension "matrix" or "mat" only).
  virtual bool ReadMatrixFile(const std::string &strFileName);
  virtual bool SetDifferentialStepVectors(nuqTransformAffine *pStep, const float *pTranslationSteps,
                                          const float *pRotationSteps, const float *pScalingSteps,
                                          float fSkewStep, float fMagnitude);
  virtual bool SetDifferentialSteps(nuqTransformAffine *pStep, float fTranslationStep,
                                    float fRotationStep, float fScalingStep, float fMagnitude);

  // Accessors over the first GetDimension() entries. For dimension 2 the
  // rotation is the single angle about z, stored (and read) at index 2.
  void GetRotation(float *pValues) const;
  void GetTranslation(float *pValues) const;
  void GetRotationCentre(float *pValues) const;
  // Pre-fills four entries with 1.
  void GetScaling(float *pValues) const;
  // Three pairs: x-y/y-x, y-z/z-y, z-x/x-z.
  void GetSkew(float *pXY, float *pYZ, float *pZX) const;
  bool SetRotation(const float *pValues);
  bool SetTranslation(const float *pValues);
  bool SetRotationCentre(const float *pValues);
  bool SetScaling(const float *pValues);
  bool SetSkewXY(const float *pValues);
  bool SetSkewYZ(const float *pValues);
  bool SetSkewZX(const float *pValues);

  const float *GetMatrixPointer() const { return &m_fAffineMatrix[0][0]; }
  const float *GetInverseMatrixPointer() const { return &m_fInverseAffineMatrix[0][0]; }

 protected:
  // The affine's own refresh, never dispatched to a derived class.
  bool RefreshAffineMatrices();
  // First half of the refresh; false (nothing changed) for degenerate scales.
  bool BuildForwardMatrix();
  // Inverse of the forward matrix by cofactors (no determinant test).
  void BuildInverseMatrix();
  // Stores the 18 values of a matrix decomposition into the parameters.
  void StoreDecomposition(const float *pValues);
  // Storage of entry iIndex (0..21) of the parameter vector.
  float *AffineSlot(int iIndex);
  const float *AffineSlot(int iIndex) const;
  // The element-wise algebra: this slot := op(left slot, right slot) over the
  // parameter set, after taking the dimension of the left operand (or of the
  // right one with bDimensionFromRight); false unless both are affines.
  template <class Op>
  bool CombineSlots(nuqTransformBase *pLeft, nuqTransformBase *pRight, bool bDimensionFromRight,
                    Op op);

  float m_fRotation[4];
  float m_fTranslation[4];
  float m_fRotationCentre[4];
  float m_fScaling[4];
  float m_fSkew[6];
  float m_fAffineMatrix[4][4];
  float m_fInverseAffineMatrix[4][4];
  float m_fDerivativeMatrices[9][3][3];
};

// At verbosity 2 or more: "debug: 4x4 matrix of " + name + ":" and the four
// rows of the forward matrix, tab-separated, six significant digits; every
// affine and matrix file read prints its matrix this way.
void PrintAffineMatrixDebug(const std::string &strFileName, const float fMatrix[4][4]);
