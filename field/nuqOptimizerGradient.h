// Gradient ascent with a step length, an optional line search and stop rules.
//
// Each step: the metric fills the gradient container with the gradient of
// its value and reports the value; the direction (the gradient) is
// normalised (Normalise of the transform class: for a field, divided by its
// largest voxel displacement), weighted by the parameter scale, multiplied
// by step length x direction, and added to the transform. With the line
// search that unit step is repeated while the value keeps improving (up to
// m_iMaxLineSearchSteps); the first step that does not improve is taken
// back by half.
//
// Stop rules: no improvement of the value for m_iMaxNoImprovementSteps
// steps (0 disables), a gradient magnitude below 1e-20, an advance of 0;
// reaching m_iMaxSteps ends a run without the stop flag.
//
// nuqOptimizerGradientField is the variant for displacement fields: its run
// is quiet at the default verbosity, and a line search that advances exactly
// one unit step switches itself off for the rest of the run.
//
// Text form: the base text, then "\n#regular rate#\n%f\n",
// "\n#regular min step length#\n%f\n", "\n#current step#\n%f\n" (the step
// length) and "\n#Regridding portion#\n%f\n".
#pragma once

#include "nuqOptimizerBase.h"

class nuqOptimizerGradient : public nuqOptimizerBase {
 public:
  nuqOptimizerGradient();
  ~nuqOptimizerGradient() override;

  // Also creates the gradient container (a zeroed clone) when there is none.
  void SetTransform(nuqTransformBase *transform) override;
  std::string GetOptimizerText() const override;
  bool ReadFromStream(std::istream &stream) override;
  void Run() override;
  nuqOptimizerBase *CloneTo(nuqOptimizerBase *target) override;

  virtual void SetRegularRate(float rate);
  virtual float GetRegularRate() const;
  virtual void SetStepLength(float length);
  virtual float GetStepLength() const;
  virtual void SetMinStepLength(float length);
  virtual float GetMinStepLength() const;
  virtual void SetRegriddingPortion(float portion);
  virtual float GetRegriddingPortion() const;
  // Moves the transform along the given direction (changed in place: scaled
  // by the parameter scale and the step length); returns the advance in unit
  // steps.
  virtual float AdvanceAlongDirection(nuqTransformBase *pDeltaCostCur);
  virtual void SetLineSearch(int on);
  virtual int GetLineSearch() const;
  virtual void SetMaxLineSearchSteps(int n);
  virtual int GetMaxLineSearchSteps() const;
  // Concatenates the transform into the context's field when the rules say
  // so (always with force); true when it did.
  virtual bool Regrid(bool force);
  virtual bool ConcatenateTransforms();
  virtual bool ConcatenateTransformsToField();
  virtual bool ConcatenateTransformsNUpdate();
  virtual void PrepareDirection(nuqTransformBase *previousGradient, nuqTransformBase *gradient,
                                nuqTransformBase *previousDirection, nuqTransformBase *direction);

  nuqTransformBase *GetDeltaCostTransform() const { return m_pDeltaCostTransform; }

 protected:
  // A clone of the transform with every parameter 0 (null without one).
  nuqTransformBase *NewZeroClone() const;

  nuqTransformBase *m_pDeltaCostTransform;
  float m_fRegularRate;
  float m_fStepLength;
  float m_fMinStepLength;
  float m_fRegriddingPortion;
  int m_bLineSearch;
  int m_iMaxLineSearchSteps;
};

class nuqOptimizerGradientField : public nuqOptimizerGradient {
 public:
  nuqOptimizerGradientField();
  ~nuqOptimizerGradientField() override;

  void Run() override;
  nuqOptimizerBase *CloneTo(nuqOptimizerBase *target) override;
  float AdvanceAlongDirection(nuqTransformBase *pDeltaCostCur) override;
};
