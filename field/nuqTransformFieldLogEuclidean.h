// Powers, roots, exponential and logarithm of a transform T as displacement
// fields on one grid (the log-Euclidean framework).
//
// - ComputeSquareRootNTimes(n): T^(1/2^n), n square roots in a row, each
//   taken of the previous result.
// - ComputePowerBySquaring(a): T composed with itself 2^a times, by a
//   squarings of the sampled field (P := P o P).
// - ComputeExponential(a, b): T's displacement v taken as a velocity,
//   scaled by 1/2^b and squared a times; a = b is scaling and squaring,
//   exp(v) ~ (id + v / 2^b)^(2^b).
// - ComputeLogarithm(n): 2^n times the displacement of T^(1/2^n), a
//   first-order logarithm of T (or the root itself with keepRoot).
#pragma once

#include "nuqTransformIterateSquareRoot.h"

class nuqTransformFieldLogEuclidean : public nuqTransformIterateSquareRoot {
 public:
  nuqTransformFieldLogEuclidean();
  ~nuqTransformFieldLogEuclidean() override;

  nuqTransformBase *CloneTo(nuqTransformBase *&target) override;

  // This object becomes T's displacement sampled on its grid.
  virtual bool SampleTransformToGrid();
  virtual bool ComputePowerBySquaring(int a);
  virtual bool ComputeSquareRootNTimes(int n);
  virtual bool ComputeExponential(int a, int b, bool useTransformAsIs);
  virtual bool ComputeExponentialBySquaring(int n, bool useTransformAsIs);
  virtual bool ComputeLogarithm(int n, bool keepRoot);
  virtual bool SetNumberOfSquarings(int n);
  virtual int GetNumberOfSquarings() const;

 protected:
  int m_iNumberOfSquarings;
};
