// An affine transform (the global affine) that also owns up to 256 further
// affine-family transforms, the local affines, and applies the parameter
// algebra to all of them together.
//
// Parameter vector: the 22 parameters of the global affine, then 22 for each
// local affine in order, so GetNumberOfParameters() = 22 * (count + 1).
// Index k < 22 addresses the global affine, any other index local
// k / 22 - 1, parameter k % 22.
//
// Mapping a point uses the global affine only; nuqTransformLocalAffines
// blends the locals over their regions.
//
// AFFS text: the AFF text of the global affine, then
// "# No. of Local Affine Transformations #" with the count and, per local,
// "# %ith region #" followed by the complete AFF text of that local.
#pragma once

#include <istream>
#include <string>

#include "nuqTransformAffine.h"

class nuqTransformMultipleAffines : public nuqTransformAffine {
 public:
  static constexpr int kMaxLocalAffines = 256;
  static constexpr int kAffineParameters = 22;

  nuqTransformMultipleAffines();
  ~nuqTransformMultipleAffines() override;
  nuqTransformMultipleAffines(const nuqTransformMultipleAffines &) = delete;
  nuqTransformMultipleAffines &operator=(const nuqTransformMultipleAffines &) = delete;

  bool SetImages(nuqImageDataT<short> *pTestImage, nuqImageDataT<short> *pRefImage) override;
  std::string GetTransformType() const override;
  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override;

  // The global affine first, then every local with the other operands'
  // local of the same index.
  bool SetAllParameters(float fValue) override;
  bool SetToSum(nuqTransformBase *pA, nuqTransformBase *pB) override;
  bool Add(nuqTransformBase *pOther) override;
  bool SetToDifference(nuqTransformBase *pA, nuqTransformBase *pB) override;
  bool Subtract(nuqTransformBase *pOther) override;
  bool SetToScaled(nuqTransformBase *pOther, float fFactor) override;
  bool Scale(float fFactor) override;
  bool SetToProduct(nuqTransformBase *pA, nuqTransformBase *pB) override;
  bool Multiply(nuqTransformBase *pOther) override;
  // Over the locals only: the global affine is not included.
  float GetMagnitude() const override;
  float Normalise(bool bPerGroup) override;
  float GetMaxAbsParameter() const override;
  float DotProduct(nuqTransformBase *pOther) const override;
  bool SetIdentity() override;
  bool ReadFromStream(std::istream &in) override;
  std::string GetTransformText() override;
  bool AddScaled(nuqTransformBase *pOther, float fFactor) override;
  int GetNumberOfParameters() const override;
  float GetParameterValue(int iIndex) const override;
  bool SetParameterValue(int iIndex, float fValue) override;
  bool SetParameterValueWithoutUpdate(int iIndex, float fValue) override;
  int GetNumberOfFreeParameters() const override;
  int CountParametersNotBelow(float fThreshold) const override;
  bool SetToSign(nuqTransformAffine *pOther, float fThreshold) override;
  bool SignInPlace(float fThreshold) override;
  // The global affine's own refresh, then each local's UpdateMatrices in
  // order, stopping at the first failure.
  bool UpdateMatrices() override;
  bool SetDifferentialStepVectors(nuqTransformAffine *pStep, const float *pTranslationSteps,
                                  const float *pRotationSteps, const float *pScalingSteps,
                                  float fSkewStep, float fMagnitude) override;
  bool SetDifferentialSteps(nuqTransformAffine *pStep, float fTranslationStep, float fRotationStep,
                            float fScalingStep, float fMagnitude) override;

  // AFFS file whose locals are created as matrix transforms.
  virtual bool ReadLocalMatrixFile(const std::string &strFileName);
  virtual bool SetLocalRotationCentre(int iIndex, const float *pCentre);
  // For i below the count: local i := clone of ppTransforms[i].
  virtual bool CopyLocalTransformsFrom(nuqTransformBase **ppTransforms);
  // The three count setters refuse counts above 256 (and negative ones)
  // and then change nothing. Locals beyond a lowered count are kept in
  // their entries and reused when the count grows again.
  virtual bool SetNumberOfLocalTransforms(int iCount, nuqTransformBase *pPrototype);
  virtual bool SetNumberOfLocalAffines(int iCount);
  virtual bool SetNumberOfLocalMatrices(int iCount);
  virtual int GetNumberOfLocalAffines() const;
  virtual nuqTransformAffine **GetLocalAffines();
  // Central-difference gradient (value(p + h) - value(p - h), not divided)
  // over the 22 global parameters only, stored into this object's global
  // parameters; h from the step transform, which is required.
  virtual bool ComputeGlobalGradient(nuqMetricBase *pMetric, nuqTransformBase *pStep);

 protected:
  // Global affine, count, then the locals (as matrices when asked).
  bool ReadAffsStream(std::istream &in, bool bLocalMatrices);
  // Local i of another transform when it is a multiple-affine transform.
  static nuqTransformAffine *LocalOf(nuqTransformBase *pOther, int i);
  static const nuqTransformAffine *LocalOf(const nuqTransformBase *pOther, int i);
  // Destroys every local entry, in use or kept beyond the count.
  void DestroyLocals();

  int m_nNoLocalAffines;
  nuqTransformAffine *m_pLocalAffines[kMaxLocalAffines];
};
