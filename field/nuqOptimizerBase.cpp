#include "nuqOptimizerBase.h"

#include <cstdio>
#include <iostream>
#include <istream>

#include "nuqTransformBase.h"
#include "nuqTransformFields.h"

nuqRegistrationContext::nuqRegistrationContext()
    : m_bRegridding(false), m_bNormalisePerGroup(false), m_pFormerField(nullptr) {
  for (float &s : m_afSpacing) s = 2.0f;
}

nuqRegistrationContext::~nuqRegistrationContext() { delete m_pFormerField; }

void nuqRegistrationContext::SetConcatenationSpacing(const float *spacing) {
  if (!spacing) return;
  for (int d = 0; d < 4; ++d) m_afSpacing[d] = spacing[d];
}

void nuqRegistrationContext::SetFormerField(nuqTransformFields *field) {
  if (field == m_pFormerField) return;
  delete m_pFormerField;
  m_pFormerField = field;
}

bool nuqRegistrationContext::Update() { return true; }

nuqOptimizerBase::nuqOptimizerBase()
    : m_fDirection(1),
      m_iMaxSteps(0),
      m_pTransform(nullptr),
      m_pParameterScale(nullptr),
      m_pMetric(nullptr),
      m_dValue(0),
      m_dBestValue(0),
      m_iNoImprovementSteps(0),
      m_iMaxNoImprovementSteps(6),
      m_iCurrentStep(0),
      m_bStop(true),
      m_pRegistrationContext(nullptr) {}

nuqOptimizerBase::~nuqOptimizerBase() = default;

void nuqOptimizerBase::SetMetric(nuqMetricBase *metric) { m_pMetric = metric; }

void nuqOptimizerBase::SetTransform(nuqTransformBase *transform) { m_pTransform = transform; }

void nuqOptimizerBase::SetParameterScale(nuqTransformBase *scale) { m_pParameterScale = scale; }

void nuqOptimizerBase::SetDirection(float direction) { m_fDirection = direction; }

void nuqOptimizerBase::SetMaxSteps(int n) {
  // |INT_MIN| does not exist; the largest count stands in for it.
  m_iMaxSteps = n < 0 ? (n == -2147483647 - 1 ? 2147483647 : -n) : n;
  if (m_iMaxNoImprovementSteps != -1) m_iMaxNoImprovementSteps = n < 0 ? 0 : 6;
}

std::string nuqOptimizerBase::GetOptimizerText() const {
  char buffer[256];
  std::snprintf(buffer, sizeof(buffer), "#max steps#\n%i\n#current step#\n%i\n#direction#\n%f\n",
                m_iMaxSteps, m_iCurrentStep, m_fDirection);
  return buffer;
}

bool nuqOptimizerBase::ReadFromStream(std::istream &stream) {
  int steps[2] = {0, 0};
  float direction = 0;
  const bool ok = ReadTransformInteger(stream, steps[0]) && ReadTransformInteger(stream, steps[1]) &&
                  ReadTransformNumbers(stream, &direction, 1);
  if (!ok) {
    std::cerr << "read nuqOptimizerBase stream error!\n";
    return false;
  }
  // Both counts are stored as unsigned 16-bit numbers.
  m_iMaxSteps = static_cast<unsigned short>(steps[0]);
  m_iCurrentStep = static_cast<unsigned short>(steps[1]);
  m_fDirection = direction;
  return true;
}

double nuqOptimizerBase::GetValue() const { return m_dValue; }

int nuqOptimizerBase::GetCurrentStep() const { return m_iCurrentStep; }

bool nuqOptimizerBase::IsStopped() const { return m_bStop; }

nuqTransformBase *nuqOptimizerBase::GetTransform() const { return m_pTransform; }

nuqTransformBase *nuqOptimizerBase::GetParameterScale() const { return m_pParameterScale; }

nuqMetricBase *nuqOptimizerBase::GetMetric() const { return m_pMetric; }

float nuqOptimizerBase::GetDirection() const { return m_fDirection; }

nuqOptimizerBase *nuqOptimizerBase::CloneTo(nuqOptimizerBase *target) {
  if (!target || target == this) return target;
  target->m_fDirection = m_fDirection;
  target->m_iMaxSteps = m_iMaxSteps;
  target->m_iCurrentStep = m_iCurrentStep;
  target->m_bStop = m_bStop;
  target->m_pMetric = m_pMetric;
  target->m_pParameterScale = m_pParameterScale;
  target->m_strOptimizerName = m_strOptimizerName;
  target->SetTransform(m_pTransform);
  return target;
}

void nuqOptimizerBase::SetOptimizerName(const std::string &name) { m_strOptimizerName = name; }

std::string nuqOptimizerBase::GetOptimizerName() const { return m_strOptimizerName; }

void nuqOptimizerBase::SetRegistrationContext(nuqRegistrationContext *context) {
  m_pRegistrationContext = context;
}

nuqRegistrationContext *nuqOptimizerBase::GetRegistrationContext() const {
  return m_pRegistrationContext;
}

void nuqOptimizerBase::SetMaxNoImprovementSteps(int n) { m_iMaxNoImprovementSteps = n; }

int nuqOptimizerBase::GetMaxNoImprovementSteps() const { return m_iMaxNoImprovementSteps; }
