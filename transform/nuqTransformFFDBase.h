// Cubic B-spline free-form deformation on a regular control grid.
//
// The control grid has its own geometry (m_ControlGridInfo: sizes, spacing,
// rotation and position). A world point x is mapped by
//   g = WorldToGrid(x)                    continuous control-grid index
//   d = sum_k B(g - k) * offset_k         over the 4^dim nodes k around g
//   y = GridToWorld(g + d / spacing)      = x + A (d / spacing)
// where B is the tensor product of the cubic B-spline basis per axis and A
// the grid-to-world 3x3 block. An offset is therefore a length in
// millimetres along the control grid's own axes, not the world axes; the
// "physical grid coordinates" of a point are P = g * spacing.
//
// Offsets are stored control point by control point, x fastest:
//   offset c of node (x, y, z, t) = m_fControlPointOffsets[
//       (x + y*nx + z*nx*ny + t*nx*ny*nz) * dim + c].
// Nodes outside the grid count as zero. Dimensions 1 to 3 are evaluated
// (3-D uses t = 0); a 4-D deformation has no displacement.
#pragma once

#include <iosfwd>
#include <string>

#include "nuqImageInfo.h"
#include "nuqTransformBase.h"

template <class T> class nuqImageDataT;

// Cubic B-spline basis for u in [0, 1): k = -1, 0, 1, 2 selects the node at
// floor index + k.
float BSplineBasis(int k, float u);
float BSplineBasisDerivative(int k, float u);

class nuqTransformFFDBase : public nuqGradientBase {
 public:
  nuqTransformFFDBase();
  ~nuqTransformFFDBase() override;
  nuqTransformFFDBase(const nuqTransformFFDBase &) = delete;
  nuqTransformFFDBase &operator=(const nuqTransformFFDBase &) = delete;

  // Base binding; then fills control spacings still 0 from the test
  // image's extent and takes the test image's placement when the grid has
  // none yet.
  bool SetImages(nuqImageDataT<short> *pTestImage, nuqImageDataT<short> *pRefImage) override;
  bool SetDimension(int iDimension) override;
  std::string GetTransformType() const override;
  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override;
  void TransformWorldToWorld(const float *pIn, float *pOut) override;

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
  // Per group: every control-point vector to unit length, returns the
  // largest norm. Otherwise scales all offsets by 1 / largest norm.
  float Normalise(bool bPerGroup) override;
  float GetMaxAbsParameter() const override;
  bool SetIdentity() override;
  // FFD body after the common header; lines of up to 16383 characters.
  bool ReadFromStream(std::istream &in) override;
  // Names ending in FFD, GRID or FBS are FFD text; anything else is read as
  // an image of control points.
  bool ReadFromFile(const std::string &strFileName) override;
  std::string GetTransformText() override;
  // Scales every control point whose largest |offset / spacing| exceeds the
  // invertibility bound of the dimension; returns the fraction scaled, or
  // -1 without offsets or when the one-to-one flag is off.
  float ConstrainToInvertible() override;
  int GetNumberOfParameters() const override;
  float GetParameterValue(int iIndex) const override;
  bool SetParameterValue(int iIndex, float fValue) override;
  bool SetParameterValueWithoutUpdate(int iIndex, float fValue) override;
  int GetNumberOfFreeParameters() const override;
  // Strictly greater than the threshold.
  int CountParametersNotBelow(float fThreshold) const override;

  virtual void GetControlGridOrientation(nuqImageInfo *pInfo) const;
  virtual nuqImageInfo *GetControlGridInfo();
  virtual void SetControlGridOrientation(const nuqImageInfo *pInfo);
  // In and out in physical grid coordinates (control-grid index * spacing).
  virtual void TransformPhysicalGridPoint(const float *pIn, float *pOut) const;
  // Analytic Jacobian of the deformation in physical grid coordinates at a
  // control-grid index point: J = I + d(displacement)/dP. Dimensions 2 and 3.
  virtual bool GetJacobianMatrixAtControlGrid(const float *pGrid, float *pJacobian) const;
  virtual bool RegridAndFit(const int *pSizes, const float *pSpacings, int iLevels,
                            float fTolerance);
  virtual bool RegridBySpacing(const float *pSpacings, int iLevels, float fTolerance);
  virtual bool RegridBySize(const int *pSizes, int iLevels, float fTolerance);
  // Multilevel B-spline approximation of the transforms applied in array
  // order; returns the last mean error in millimetres (-1 when refused).
  virtual float FitToTransformList(nuqTransformBase **ppTransforms, int iCount, int iLevels,
                                   float fTolerance);
  virtual float FitToTransformWithGrid(nuqTransformBase *pTransform, const nuqImageInfo *pGrid,
                                       int iLevels, float fTolerance);
  virtual float FitToTransform(nuqTransformBase *pTransform, int iLevels, float fTolerance);
  // Halves the control spacing (2n - 1 nodes per axis), keeping the
  // deformation wherever the old nodes outside the grid were not needed.
  virtual bool RefineControlGrid();
  virtual float GetMaxControlPointMagnitude() const;

  // Sizes below 1 become 1, spacings below 0 become 0, axes at and beyond
  // the dimension get size 1; all offsets 0. False (nothing changed) for a
  // dimension other than 2 to 4, or a grid too large to index.
  bool MallocForControlPoints(int nx, float sx, int ny, float sy, int nz, float sz, int nt,
                              float st);
  void ReleaseControlPoints();
  // bImageToControlPoints: image (nx, ny, nz, components) -> control points;
  // otherwise control points -> a 4-D image (dimension at most 3).
  bool ConvertControlPointsWithImage(nuqImageDataT<float> *pImage, bool bImageToControlPoints);

  const float *GetControlPointOffsets() const { return m_fControlPointOffsets; }
  float *GetControlPointOffsets() { return m_fControlPointOffsets; }
  int GetNumberOfControlPoints() const;

 protected:
  nuqImageInfo m_ControlGridInfo;
  float *m_fControlPointOffsets;
  int m_nPointsPerVolume;
  int m_nPointsPerSlice;

  // Copies this class's members into pTarget (an FFD of any derived class).
  void CopyFFDMembersTo(nuqTransformFFDBase *pTarget) const;
  // Displacement in millimetres along the grid axes at a control-grid index
  // point; no allocation, only the contributing nodes are visited.
  void ComputeGridDisplacement(const float *pGrid, float *pDisplacement) const;
  // Same operand grid (and offsets present) for the element-wise algebra.
  const nuqTransformFFDBase *SameGridOperand(nuqTransformBase *pOther) const;

 private:
  bool ReadFFDBody(std::istream &in);
  // The fitting core: pTransforms applied one after the other.
  float FitToTransformChain(nuqTransformBase **ppTransforms, int iCount, int iLevels,
                            float fTolerance);
};
