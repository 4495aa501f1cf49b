// Square root of a transform T as a displacement field S with S(S(p)) ~ T(p).
//
// S lives in the inherited component volumes on the result grid (the grid
// already held, else the test image's grid). It starts as half of T's
// displacement and is refined by gradient ascent on
// nuqMetricSquareRootTransform over a multi-resolution schedule: level L of
// n uses the factor {1, 1.5, 2, 4}[min(n - L - 1, 3)], i.e. a grid whose
// spacing is factor x the result spacing over the same extent, and a step
// length of factor x m_fInitialStepLength mm. Four levels run at 4, 2, 1.5
// and 1; each level starts from the previous one resampled linearly.
#pragma once

#include "nuqOptimizerGradient.h"
#include "nuqTransformFields.h"

class nuqTransformIterateSquareRoot : public nuqTransformFields {
 public:
  nuqTransformIterateSquareRoot();
  ~nuqTransformIterateSquareRoot() override;

  // The target is a new nuqTransformIterateSquareRoot when null; copies the
  // field, T and the initial step length (not the level count).
  nuqTransformBase *CloneTo(nuqTransformBase *&target) override;

  // T is not owned and must outlive the computations; it also sets the
  // dimension.
  virtual void SetTransform(nuqTransformBase *transform);
  virtual bool ComputeSquareRoot();
  virtual void SetNumberOfLevels(int n);
  virtual int GetNumberOfLevels() const;
  virtual void SetInitialStepLength(float length);
  virtual float GetInitialStepLength() const;
  // Copies the given optimiser's settings; false for null.
  virtual bool SetOptimizer(nuqOptimizerBase *optimizer);
  // Keeps an existing grid, else allocates one on the test image's grid;
  // false without T or without either.
  virtual bool PrepareGrid();

  nuqTransformBase *GetTransform() const { return m_pTransform; }
  nuqOptimizerGradientField &GetOptimizer() { return m_Optimizer; }

 protected:
  nuqTransformBase *m_pTransform;
  nuqOptimizerGradientField m_Optimizer;
  int m_iNumberOfLevels;
  float m_fInitialStepLength;
};
