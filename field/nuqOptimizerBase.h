// Optimiser interface of the registration framework, and the small
// registration context an optimiser may consult.
//
// An optimiser changes the parameters of m_pTransform so that the metric's
// value grows (direction +1) or shrinks (direction -1). It owns none of the
// transform, the parameter scale (per-parameter weights of a step, laid out
// like the transform's parameters), the metric or the context.
//
// Text form: "#max steps#\n%i\n#current step#\n%i\n#direction#\n%f\n".
#pragma once

#include <iosfwd>
#include <string>

class nuqMetricBase;
class nuqTransformBase;
class nuqTransformFields;

// What a registration tells its optimiser: whether free-form deformations
// are regridded into a concatenated field as they grow, whether step
// directions are normalised per parameter group, and the field concatenated
// so far (owned). A fresh context has regridding off, which is all the
// square root needs.
class nuqRegistrationContext {
 public:
  nuqRegistrationContext();
  virtual ~nuqRegistrationContext();
  nuqRegistrationContext(const nuqRegistrationContext &) = delete;
  nuqRegistrationContext &operator=(const nuqRegistrationContext &) = delete;

  virtual void SetRegridding(bool on) { m_bRegridding = on; }
  virtual bool GetRegridding() const { return m_bRegridding; }
  virtual void SetNormalisePerGroup(bool on) { m_bNormalisePerGroup = on; }
  virtual bool GetNormalisePerGroup() const { return m_bNormalisePerGroup; }
  // Spacing (mm) of the concatenated field's grid; 0 entries mean 2 mm.
  virtual void SetConcatenationSpacing(const float *spacing);
  virtual const float *GetConcatenationSpacing() const { return m_afSpacing; }
  virtual nuqTransformFields *GetFormerField() const { return m_pFormerField; }
  // Takes ownership of field (the previous one is freed).
  virtual void SetFormerField(nuqTransformFields *field);
  // Hook for the registration after a concatenation; true here.
  virtual bool Update();

 protected:
  bool m_bRegridding;
  bool m_bNormalisePerGroup;
  float m_afSpacing[4];
  nuqTransformFields *m_pFormerField;
};

class nuqOptimizerBase {
 public:
  nuqOptimizerBase();
  virtual ~nuqOptimizerBase();
  nuqOptimizerBase(const nuqOptimizerBase &) = delete;
  nuqOptimizerBase &operator=(const nuqOptimizerBase &) = delete;

  virtual void SetMetric(nuqMetricBase *metric);
  virtual void SetTransform(nuqTransformBase *transform);
  virtual void SetParameterScale(nuqTransformBase *scale);
  virtual void SetDirection(float direction);
  // |n| steps; a negative n also switches the no-improvement rule off
  // (unless it was set to -1, which keeps it as it is).
  virtual void SetMaxSteps(int n);
  virtual std::string GetOptimizerText() const;
  virtual bool ReadFromStream(std::istream &stream);
  virtual double GetValue() const;
  virtual int GetCurrentStep() const;
  virtual bool IsStopped() const;
  virtual nuqTransformBase *GetTransform() const;
  virtual nuqTransformBase *GetParameterScale() const;
  virtual nuqMetricBase *GetMetric() const;
  virtual float GetDirection() const;
  virtual void Run() = 0;
  // Copies the settings into target; a null target gives null here
  // (concrete optimisers allocate one of their class).
  virtual nuqOptimizerBase *CloneTo(nuqOptimizerBase *target);
  virtual void SetOptimizerName(const std::string &name);
  virtual std::string GetOptimizerName() const;
  virtual void SetRegistrationContext(nuqRegistrationContext *context);
  virtual nuqRegistrationContext *GetRegistrationContext() const;
  virtual void SetMaxNoImprovementSteps(int n);
  virtual int GetMaxNoImprovementSteps() const;

  int GetMaxSteps() const { return m_iMaxSteps; }

 protected:
  float m_fDirection;
  int m_iMaxSteps;
  nuqTransformBase *m_pTransform;
  nuqTransformBase *m_pParameterScale;
  nuqMetricBase *m_pMetric;
  double m_dValue;
  double m_dBestValue;
  int m_iNoImprovementSteps;
  int m_iMaxNoImprovementSteps;
  int m_iCurrentStep;
  bool m_bStop;
  std::string m_strOptimizerName;
  nuqRegistrationContext *m_pRegistrationContext;
};
