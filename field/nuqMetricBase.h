// Similarity metric of the registration framework.
//
// A metric compares a test image with a reference image through a transform
// that maps test world points to reference world points (m_pPreTransform
// first when one is set, then m_pTransform). It samples the test grid over a
// region (the whole test image unless SetROI gave one) every
// m_afSamplingIntervalVoxels voxels per axis; the interval is held both in
// millimetres (m_afSamplingInterval) and in test voxels (mm / test spacing).
// GetValue returns the number of samples and the value through its argument;
// optimisers treat larger values as better unless told otherwise.
//
// The metric points at images, masks and transforms it does not own; it owns
// its copies of the interpolators and its working volumes.
//
// Text form: "#dimension#\n%i\n#physical sampling interval#\n" followed by
// one "%f\n" per dimension.
#pragma once

#include <iosfwd>
#include <string>

#include "nuqImageData.h"
#include "nuqImageModeling.h"

class nuqTransformBase;

class nuqMetricBase {
 public:
  using ShortModel = nuqImageModelingBaseT<short, float>;

  nuqMetricBase();
  virtual ~nuqMetricBase();
  nuqMetricBase(const nuqMetricBase &) = delete;
  nuqMetricBase &operator=(const nuqMetricBase &) = delete;

  // Copies every member into target and deep-copies the volumes. The base
  // cannot create a metric of its own (it has no value), so a null target
  // gives null here; concrete metrics allocate one of their class.
  virtual nuqMetricBase *CloneTo(nuqMetricBase *target);
  // Images, masks and models become null.
  virtual void ResetImages();
  virtual std::string GetMetricName() const = 0;
  // True when this metric's name occurs in the other's name.
  virtual bool IsSameMetric(const nuqMetricBase *other) const;
  virtual bool IsMetricName(const std::string &text) const;
  // Returns the number of samples; the value is written into `value`.
  virtual int GetValue(double &value) = 0;
  // Finite-difference gradient callers work in single precision.
  int GetValue(float &value) {
    double d = 0;
    const int count = GetValue(d);
    value = static_cast<float>(d);
    return count;
  }
  // gradient := gradient of the value over the transform's parameters, then
  // value and count of the current transform; false when either fails or
  // no sample was taken.
  virtual bool ComputeDeltaCostFunction(nuqTransformBase *gradient, double &value, int &count,
                                        nuqTransformBase *stepScale);
  virtual bool SetImages(nuqImageDataT<short> *test, nuqImageDataT<short> *ref);
  // Masks without voxels are stored as null.
  virtual void SetMaskImages(nuqImageDataT<short> *testMask, nuqImageDataT<short> *refMask);
  virtual nuqImageDataT<short> *GetTestMaskImage() const;
  virtual nuqImageDataT<short> *GetRefMaskImage() const;
  // True without a mask; else the rounded mask voxel must exist and be > 0.
  virtual bool IsInsideMaskWorld(nuqImageDataT<short> *mask, float x, float y, float z,
                                 float t) const;
  virtual bool IsInsideMaskIndex(nuqImageDataT<short> *mask, int i, int j, int k, int t) const;
  // Interpolated grid value of a model; 1 when it has no volume with voxels.
  virtual float GetModelValue(ShortModel *model, float x, float y, float z, float t) const;
  virtual nuqImageDataT<short> *GetTestImage() const;
  virtual nuqImageDataT<short> *GetRefImage() const;
  virtual ShortModel *GetTestImageModel() const;
  virtual ShortModel *GetRefImageModel() const;
  // Owned copies of the given models, bound to the current images.
  virtual void SetImageModels(const ShortModel *testModel, const ShortModel *refModel);
  virtual bool SetTransform(nuqTransformBase *transform);
  virtual void SetPreTransform(nuqTransformBase *transform);
  virtual nuqTransformBase *GetPreTransform() const;
  virtual nuqTransformBase *GetTransform() const;
  virtual void SetDimension(int dimension);
  virtual int GetDimension() const;
  // Millimetres; a value not above 0 becomes 1.
  virtual void SetSamplingInterval(float x, float y, float z, float t);
  virtual const float *GetSamplingIntervalVoxels() const;
  virtual const float *GetSamplingInterval() const;
  virtual std::string GetMetricText() const;
  virtual bool ReadFromStream(std::istream &stream);
  // World corners of the region: the stored ones, or those of the first
  // and the last test voxel.
  virtual void GetROIWorld(float *fromWorld, float *toWorld) const;
  virtual void SetROI(const float *fromWorld, const float *toWorld);
  // Continuous test indices of the region; false without a test image.
  virtual bool GetTestROI(float *from, float *to) const;
  virtual bool IsInsideROIWorld(const float *world) const;
  virtual bool IsInsideROIIndex(const float *index) const;
  virtual void PreComputeTransformationFields();
  virtual void SetTransformationFields(int count, nuqImageDataT<float> *images);
  virtual bool ResampleTestImageToSamplingInterval();
  virtual bool CropTestImageToMask();
  virtual bool EvaluateOnPixelTargetToSourceDerivative();
  // Test index to reference index through the transforms; true when the
  // result lies outside the reference grid.
  virtual bool TestIndexToRefIndex(const float *testIndex, float *refIndex);
  virtual void TestWorldToRefWorld(const float *testWorld, float *refWorld);
  virtual bool IsFieldsPreComputed() const;
  virtual nuqImageDataT<short> *GetWorkingImage(int i);
  // The pre-computed mapping (x, y, z of the reference world point) at an
  // integer index of its grid.
  virtual void GetPreComputedPoint(int i, int j, int k, float *world) const;

  // Grows (or shrinks, for negative counts) a short image by before[d] and
  // after[d] voxels per axis; new voxels take `fill` when bFill, else the
  // nearest old voxel. A single t slice first gets the t spacing tSpacing.
  static bool ExtendROI(nuqImageDataT<short> *image, const int *before, const int *after,
                        bool bFill, short fill, float tSpacing);

 protected:
  // Recomputes the region's test indices from the stored world corners.
  void UpdateROIIndices();

  int m_iDimension;
  nuqImageDataT<short> *m_pTestImage;
  nuqImageDataT<short> *m_pRefImage;
  nuqImageDataT<short> *m_pTestMaskImage;
  nuqImageDataT<short> *m_pRefMaskImage;
  ShortModel *m_pTestImageModel;
  ShortModel *m_pRefImageModel;
  nuqTransformBase *m_pTransform;
  nuqTransformBase *m_pPreTransform;
  float m_afSamplingIntervalVoxels[4];
  float m_afSamplingInterval[4];
  float m_afROIFromWorld[4];
  float m_afROIToWorld[4];
  float m_afROIFrom[4];
  float m_afROITo[4];
  bool m_bROISet;
  // Working copies of test image and mask for registration subclasses.
  nuqImageDataT<short> m_aWorkingImages[2];
  nuqImageDataT<float> m_aWorkingFields[4];
  nuqImageDataT<float> m_aPreComputedFields[4];
  bool m_bFieldsPreComputed;
};
