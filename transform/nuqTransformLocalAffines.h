// A locally affine transform: every local affine i acts fully inside the
// region given by region image i (labels 1 .. 32000) and, elsewhere, the
// local affines and the identity are blended by inverse distance. The
// global affine is applied after the blend.
//
// For a world point x (only the first GetDimension() axes count):
//   d_i(x)  distance in mm from x to region i, read from distance map i by
//           linear interpolation at the region-grid point of x (the grid of
//           distance map 0, which shares the geometry of every region image);
//           outside the grid box the distance e from x to the box is added.
//   w_i     1 / d_i, the weight of local i (d_i > 1e-20; a point at distance
//           0 is mapped by the first such local alone).
//   w0(x)   sum over the axes a of 1/2 inv(|x_a - from_a|) + 1/2 inv(|to_a - x_a|)
//           with inv(v) = 1e20 for v <= 0 else 1 / v: the weight of the
//           identity, negligible (about 1e-20 per axis) with the default
//           facet of +-1e20 and unbounded on a face of the facet.
//   blend   y = (sum_i w_i A_i(x) + w0 x) / (sum_i w_i + w0).
// Distances are millimetres, the facet corners world coordinates; no other
// unit conversion is made.
//
// Before any mapping: the locals exist, the region images are set
// (SetRegionImages, or names then ReadRegionImages), the facet is set
// (optional), and PreComputeDistance2WeightAndSetModel has run. Mapping
// before that last step is a misuse that ends the process with status 1.
//
// The AFFS text of this class appends the facet corners and, when names are
// set, the region file names to the text of nuqTransformMultipleAffines.
#pragma once

#include <string>

#include "nuqImageData.h"
#include "nuqImageModeling.h"
#include "nuqTransformMultipleAffines.h"

class nuqTransformFields;

class nuqTransformLocalAffines : public nuqTransformMultipleAffines {
 public:
  nuqTransformLocalAffines();
  ~nuqTransformLocalAffines() override;

  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override;
  // Blend of the locals, then the global affine.
  void TransformWorldToWorld(const float *pIn, float *pOut) override;
  // The global affine's matrix times the Jacobian of the blend (the
  // global's alone without local affines).
  bool GetJacobianMatrixWorld(const float *pWorld, float *pJacobian) override;
  bool ReadFromStream(std::istream &in) override;
  std::string GetTransformText() override;
  // Only "centre" and "gcentre".
  bool AlignCentres(const std::string &strKeyword) override;

  // Distance map i of region image i (0 inside the region) for every local,
  // each bound to its linear model. False, with an "error: " line, when the
  // region images are missing, empty or of different geometries.
  virtual bool PreComputeDistance2WeightAndSetModel();
  virtual void LocalTransformTestGridToWorld(const float *pTestGrid, float *pWorld);
  // The blend of the locals (without the global affine).
  virtual void LocalTransformWorldToWorld(const float *pIn, float *pOut);
  virtual void LocalTransformWorldToWorldByNearestRegionPoint(const float *pIn, float *pOut);
  virtual void LocalTransformWorldToWorldInsideFacet(const float *pIn, float *pOut);
  virtual bool GetLocalJacobianMatrixWorld(const float *pWorld, float *pJacobian);
  // Central differences (total step 1, not divided) of the blend.
  virtual bool GetLocalJacobianMatrixByDifferences(const float *pWorld, float *pJacobian);
  // Determinants at about the given fraction of the world points from, from
  // + step, ... to (inclusive per axis).
  virtual bool ReportLocalJacobianBySampling(float &fMax, float &fMin, const float *pFrom,
                                             const float *pTo, const float *pStep,
                                             float fFraction);
  // Minimum determinant over the image grid points from .. to (inclusive),
  // restricted by the two masks when given.
  virtual float ReportLocalJacobianOnGrid(nuqImageDataT<short> *pImage, const float *pFrom,
                                          const float *pTo, const float *pStep,
                                          nuqImageDataT<short> *pSourceMask,
                                          nuqImageDataT<short> *pTargetMask);
  // pImages must hold one image per local affine; not owned.
  virtual void SetRegionImages(nuqImageDataT<short> *pImages);
  virtual nuqImageDataT<short> *GetRegionImages();
  virtual bool SetRegionFileName(const std::string &strName, int iIndex);
  // Names 0 .. count - 1.
  virtual bool SetRegionFileNames(const std::string *pNames);
  virtual const std::string *GetRegionFileNames() const;
  virtual bool HasRegionFileNames() const;
  virtual bool ReadRegionImages();
  virtual void SetFacet(const float *pFrom, const float *pTo, int iDimension);
  virtual bool GetFacet(float *pFrom, float *pTo);
  virtual bool IsInsideFacet(const float *pWorld);
  virtual void SetNumericJacobian(bool bNumeric);
  virtual bool GetNumericJacobian() const;
  // Displacement fields built from roots of the local affines, sampled on the
  // grid of pImage; the caller owns the result; null on failure.
  virtual nuqTransformFields *ComposeSquareRootField(nuqImageDataT<short> *pImage, int n);
  virtual nuqTransformFields *ComposeInverseSquareRootField(nuqImageDataT<short> *pImage, int n);
  virtual nuqTransformFields *SquareSquareRootField(nuqImageDataT<short> *pImage, int n);
  virtual nuqTransformFields *SquareInverseSquareRootField(nuqImageDataT<short> *pImage, int n);
  virtual void SetAuxiliaryFlag(bool bFlag);
  virtual bool GetAuxiliaryFlag() const;
  // The global gradient, then for each local i, with region image i as the
  // metric's test mask, the central differences over local i's parameters
  // (the metric's transform is changed and restored, the gradient stored
  // here). The metric's masks are restored afterwards.
  virtual bool ComputeLocalGradient(nuqMetricBase *pMetric, nuqTransformBase *pStep);
  virtual bool ComputeLocalGradientByRegions(nuqMetricBase *pMetric, nuqTransformBase *pStep);

  bool HasFacet() const { return m_bHasFacet; }
  const nuqImageDataT<float> *GetDistanceMap(int i) const { return &m_aDistanceMaps[i]; }

 protected:
  // Region-grid point of a world point (grid of distance map 0).
  void WorldToRegionGrid(const float *pWorld, float *pGrid) const;
  // Sum of the identity weight w0 and, when pGradient is given, its gradient.
  float IdentityWeight(const float *pWorld, float *pGradient) const;
  // Steps 4 and 5 of the blend with the extra distance e.
  void Blend(const float *pIn, const float *pGrid, float fExtra, float *pOut);
  // Ends the process when the distance maps are missing.
  void CheckDistanceMaps(const char *pWhere) const;
  // The handling of points outside the facet or the region grid.
  void MapOutsideFacet(const float *pIn, float *pOut);
  bool IsOutsideFacetCorners(const float *pGrid) const;
  bool SetFacetFromStream(std::istream &in);
  // Working copy with its own region images of this transform's geometry.
  nuqTransformLocalAffines *NewWorkingCopy();
  nuqTransformFields *ComposeSquaredField(nuqImageDataT<short> *pImage, int n, bool bInverse);
  bool ComputeLocalGradientImpl(nuqMetricBase *pMetric, nuqTransformBase *pStep);

  nuqImageDataT<short> *m_pRegionImages;
  std::string m_strRegionFileNames[kMaxLocalAffines];
  bool m_bHasRegionFileNames;
  nuqImageDataT<short> m_aRegionImages[kMaxLocalAffines];
  nuqImageDataT<float> m_aDistanceMaps[kMaxLocalAffines];
  nuqImageModelingLinearT<float, float> m_aDistanceModels[kMaxLocalAffines];
  float m_fFacetFrom[4];
  float m_fFacetTo[4];
  bool m_bHasFacet;
  bool m_bNumericJacobian;
  bool m_bAuxiliaryFlag;
};
