// How well a displacement field S, applied twice, matches a transform T.
//
// Over the test region (every test voxel when the physical sampling interval
// equals the test spacing), with p the world point of a sample:
//     value = - sum_p |S(S(p)) - T(p)|^2        (first `dimension` coordinates)
// so 0 is a perfect fit and larger is better. The gradient with respect to
// the displacement u of S at a grid voxel p, through the outer application
// of S only, is
//     g(p) = -2 (I + D(q))^T (S(q) - T(p)),     q = S(p)
// where D[c][a] = d u_c / d world_a at q, by central differences over one
// voxel spacing (mm) along each world axis.
//
// Fields (S, and T when it is a plain field) are read through their linear
// interpolators directly, with one world-to-grid mapping per point and no
// virtual call; any other T is called through its interface.
#pragma once

#include <vector>

#include "nuqMetricBase.h"

class nuqTransformFields;

class nuqMetricSquareRootTransform : public nuqMetricBase {
 public:
  nuqMetricSquareRootTransform();
  ~nuqMetricSquareRootTransform() override;

  using nuqMetricBase::GetValue;

  nuqMetricBase *CloneTo(nuqMetricBase *target) override;
  // "_SquareRootTRANSFORM_"
  std::string GetMetricName() const override;
  // Minus the sum of squared distances between S(S(p)) and T(p); returns the
  // number of samples (0, with value 0, without T, S or a test image).
  int GetValue(double &value) override;

  // Each of these changes the samples or T and drops the stored T(p).
  bool SetImages(nuqImageDataT<short> *test, nuqImageDataT<short> *ref) override;
  void SetSamplingInterval(float x, float y, float z, float t) override;
  void SetROI(const float *fromWorld, const float *toWorld) override;

  virtual void SetTargetTransform(nuqTransformBase *target);
  virtual nuqTransformBase *GetTargetTransform() const;
  // Stores T(p) for every sample, so that later values and gradients do not
  // evaluate T again: T is fixed while a root is optimised. The store is
  // dropped by the setters above; a caller that changes T's parameters in
  // place calls this again. False without T or a test image.
  virtual bool PreComputeTargetPoints();
  // T(p) of every voxel of grid, x fastest, 3 floats each, when the stored
  // samples are exactly the voxels of that grid; null otherwise.
  const float *GetTargetPointsOnGrid(const nuqImageInfo *grid) const;

 protected:
  void DropTargetPoints();

  nuqTransformBase *m_pTargetTransform;
  std::vector<float> m_afTargetPoints;  // 3 per sample, in sampling order
  bool m_bTargetPointsOnTestGrid;
};

// The analytic gradient of the metric's value over the displacement of its
// transform S (a field), written into container, a field on S's grid. False
// (container untouched) without S, T, or when S is not a field.
bool ComputeSquareRootTransformGradient(nuqMetricBase *metric, nuqTransformFields *container);
