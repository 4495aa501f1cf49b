// Inverse of a transform T by scattered-data interpolation.
//
// The forward sampling is that of nuqTransformIterateInverse, but every
// sample s is splatted onto the 8 voxels around T(s) with the weight
// d^-p (1e16 for an exact hit), d the distance from the voxel to T(s). A
// voxel's inverse displacement is then the weighted mean of the sample
// positions minus its own position. Voxels no sample reaches take the
// inverse-distance mean of directly filled voxels within a box whose radius
// grows from m_iMinSearchRadius, doubling, up to m_iMaxSearchRadius; there
// is no fill-in sweep. Working memory: four float volumes and one byte
// volume of the result grid.
#pragma once

#include "nuqTransformIterateInverse.h"

class nuqTransformIterateInverseSDI : public nuqTransformIterateInverse {
 public:
  nuqTransformIterateInverseSDI();
  ~nuqTransformIterateInverseSDI() override;

  bool ComputeInverseByDistanceInterpolate() override;
  // Here dist, X, Y, Z are one volume each: W (sum of weights) and the
  // weighted sums of the sample positions.
  void ForwardTransformToRefGrid(const int *from, const int *to, nuqImageDataT<float> *dist,
                                 nuqImageDataT<float> *X, nuqImageDataT<float> *Y,
                                 nuqImageDataT<float> *Z) override;
  void DistanceWeightInterpolateByNeighbours(nuqImageDataT<float> *dist, nuqImageDataT<float> *X,
                                             nuqImageDataT<float> *Y,
                                             nuqImageDataT<float> *Z) override;
  void UpdateNearestSample(const float *sample, const float *mapped, const float *index, int cx,
                           int cy, int cz, nuqImageDataT<float> *grid, nuqImageDataT<float> *dist,
                           nuqImageDataT<float> *X, nuqImageDataT<float> *Y,
                           nuqImageDataT<float> *Z) override;
};
