#include "nuqOptimizerGradient.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <istream>
#include <sstream>

#include "nuqConsole.h"
#include "nuqMetricBase.h"
#include "nuqTransformBase.h"
#include "nuqTransformFields.h"

namespace {

// Every line is formatted on its own stream: numbers always carry six
// significant digits, whatever the console streams were set to.
class Line {
 public:
  Line() { m_Text.precision(6); }
  template <class V>
  Line &operator<<(const V &value) {
    m_Text << value;
    return *this;
  }
  void ToOut() const { std::cout << m_Text.str(); }
  void ToErr() const { std::cerr << m_Text.str(); }

 private:
  std::ostringstream m_Text;
};

long Seconds(std::time_t since) { return static_cast<long>(std::time(nullptr) - since); }

// Frees the scratch transforms of a run on every way out.
struct Scratch {
  nuqTransformBase *p = nullptr, *q = nullptr, *d = nullptr;
  ~Scratch() {
    delete p;
    delete q;
    delete d;
  }
};

// The parameter algebra of a step. For two displacement fields of one
// layout the voxel buffers are combined directly (the same values, in the
// same order, as the per-parameter operations of the transform interface,
// without two virtual calls per parameter); anything else goes through the
// interface.
struct FieldView {
  float *data[4] = {nullptr, nullptr, nullptr, nullptr};
  int count[4] = {0, 0, 0, 0};
  int used = 0;
};

bool View(nuqTransformBase *t, FieldView &v) {
  auto *field = dynamic_cast<nuqTransformFields *>(t);
  if (!field) return false;
  const int dim = field->GetDimension();
  v.used = dim < 0 ? 0 : (dim > 4 ? 4 : dim);
  nuqImageDataT<float> *volumes = field->GetTransformFields();
  for (int c = 0; c < v.used; ++c) {
    v.data[c] = volumes[c].GetImageData();
    v.count[c] = volumes[c].GetNumberOfPixels();
  }
  return true;
}

bool SameLayout(nuqTransformBase *a, nuqTransformBase *b, FieldView &va, FieldView &vb) {
  if (!View(a, va) || !View(b, vb) || va.used != vb.used) return false;
  for (int c = 0; c < va.used; ++c)
    if (va.count[c] != vb.count[c]) return false;
  return true;
}

void SetAll(nuqTransformBase *t, float value) {
  FieldView v;
  if (!View(t, v)) {
    t->SetAllParameters(value);
    return;
  }
  for (int c = 0; c < v.used; ++c) std::fill(v.data[c], v.data[c] + v.count[c], value);
}

// dst := factor * src
void SetToScaled(nuqTransformBase *dst, nuqTransformBase *src, float factor) {
  FieldView d, s;
  if (!SameLayout(dst, src, d, s)) {
    dst->SetToScaled(src, factor);
    return;
  }
  for (int c = 0; c < d.used; ++c)
    for (int i = 0; i < d.count[c]; ++i) d.data[c][i] = factor * s.data[c][i];
}

// dst := dst + factor * src (factor 1: dst + src)
void AddScaled(nuqTransformBase *dst, nuqTransformBase *src, float factor) {
  FieldView d, s;
  if (!SameLayout(dst, src, d, s)) {
    if (factor == 1.0f) dst->Add(src);
    else dst->AddScaled(src, factor);
    return;
  }
  for (int c = 0; c < d.used; ++c)
    for (int i = 0; i < d.count[c]; ++i) d.data[c][i] += factor * s.data[c][i];
}

// dst := src * dst, parameter by parameter
void Multiply(nuqTransformBase *dst, nuqTransformBase *src) {
  FieldView d, s;
  if (!SameLayout(dst, src, d, s)) {
    dst->Multiply(src);
    return;
  }
  for (int c = 0; c < d.used; ++c)
    for (int i = 0; i < d.count[c]; ++i) d.data[c][i] = s.data[c][i] * d.data[c][i];
}

void Scale(nuqTransformBase *t, float factor) {
  FieldView v;
  if (!View(t, v)) {
    t->Scale(factor);
    return;
  }
  for (int c = 0; c < v.used; ++c)
    for (int i = 0; i < v.count[c]; ++i) v.data[c][i] = factor * v.data[c][i];
}

float DotProduct(nuqTransformBase *a, nuqTransformBase *b) {
  FieldView va, vb;
  if (!SameLayout(a, b, va, vb)) return a->DotProduct(b);
  double sum = 0;
  for (int c = 0; c < va.used; ++c)
    for (int i = 0; i < va.count[c]; ++i) sum += double(va.data[c][i]) * vb.data[c][i];
  return float(sum);
}

float Magnitude(nuqTransformBase *t) {
  FieldView v;
  if (!View(t, v)) return t->GetMagnitude();
  double sum = 0;
  for (int c = 0; c < v.used; ++c)
    for (int i = 0; i < v.count[c]; ++i) sum += double(v.data[c][i]) * v.data[c][i];
  return float(std::sqrt(sum));
}

}  // namespace

nuqOptimizerGradient::nuqOptimizerGradient()
    : m_pDeltaCostTransform(nullptr),
      m_fRegularRate(1.0f),
      m_fStepLength(1.0f),
      m_fMinStepLength(0.1f),
      m_fRegriddingPortion(-1.0f),
      m_bLineSearch(0),
      m_iMaxLineSearchSteps(100) {}

nuqOptimizerGradient::~nuqOptimizerGradient() { delete m_pDeltaCostTransform; }

nuqTransformBase *nuqOptimizerGradient::NewZeroClone() const {
  if (!m_pTransform) return nullptr;
  nuqTransformBase *clone = nullptr;
  m_pTransform->CloneTo(clone);
  if (clone) SetAll(clone, 0);
  return clone;
}

void nuqOptimizerGradient::SetTransform(nuqTransformBase *transform) {
  nuqOptimizerBase::SetTransform(transform);
  if (!m_pDeltaCostTransform) m_pDeltaCostTransform = NewZeroClone();
}

std::string nuqOptimizerGradient::GetOptimizerText() const {
  char buffer[512];
  std::snprintf(buffer, sizeof(buffer),
                "\n#regular rate#\n%f\n\n#regular min step length#\n%f\n\n#current step#\n%f\n"
                "\n#Regridding portion#\n%f\n",
                m_fRegularRate, m_fMinStepLength, m_fStepLength, m_fRegriddingPortion);
  return nuqOptimizerBase::GetOptimizerText() + buffer;
}

bool nuqOptimizerGradient::ReadFromStream(std::istream &stream) {
  if (!nuqOptimizerBase::ReadFromStream(stream)) return false;
  float values[4] = {0, 0, 0, 0};
  for (float &v : values) {
    if (!ReadTransformNumbers(stream, &v, 1)) {
      std::cerr << "error: read nuqOptimizerGradient stream error!\n";
      return false;
    }
  }
  m_fRegularRate = values[0];
  m_fMinStepLength = values[1];
  m_fStepLength = values[2];
  m_fRegriddingPortion = values[3];
  return true;
}

nuqOptimizerBase *nuqOptimizerGradient::CloneTo(nuqOptimizerBase *target) {
  if (!target) target = new nuqOptimizerGradient();
  nuqOptimizerBase::CloneTo(target);
  if (auto *gradient = dynamic_cast<nuqOptimizerGradient *>(target)) {
    if (gradient == this) return target;
    gradient->m_fRegularRate = m_fRegularRate;
    gradient->m_fStepLength = m_fStepLength;
    gradient->m_fMinStepLength = m_fMinStepLength;
    gradient->m_fRegriddingPortion = m_fRegriddingPortion;
    gradient->m_bLineSearch = m_bLineSearch;
    gradient->m_iMaxLineSearchSteps = m_iMaxLineSearchSteps;
  }
  return target;
}

void nuqOptimizerGradient::SetRegularRate(float rate) { m_fRegularRate = rate; }
float nuqOptimizerGradient::GetRegularRate() const { return m_fRegularRate; }
void nuqOptimizerGradient::SetStepLength(float length) { m_fStepLength = length; }
float nuqOptimizerGradient::GetStepLength() const { return m_fStepLength; }
void nuqOptimizerGradient::SetMinStepLength(float length) { m_fMinStepLength = length; }
float nuqOptimizerGradient::GetMinStepLength() const { return m_fMinStepLength; }
void nuqOptimizerGradient::SetRegriddingPortion(float portion) { m_fRegriddingPortion = portion; }
float nuqOptimizerGradient::GetRegriddingPortion() const { return m_fRegriddingPortion; }
void nuqOptimizerGradient::SetLineSearch(int on) { m_bLineSearch = on; }
int nuqOptimizerGradient::GetLineSearch() const { return m_bLineSearch; }
void nuqOptimizerGradient::SetMaxLineSearchSteps(int n) { m_iMaxLineSearchSteps = n; }
int nuqOptimizerGradient::GetMaxLineSearchSteps() const { return m_iMaxLineSearchSteps; }

void nuqOptimizerGradient::Run() {
  m_bStop = false;
  m_dValue = m_dBestValue = 0;
  m_iNoImprovementSteps = 0;
  m_iCurrentStep = 0;
  if (!m_pTransform || !m_pMetric) {
    std::cerr << "error: optimization needs a transform and a metric\n";
    m_bStop = true;
    return;
  }
  Scratch scratch;
  scratch.p = NewZeroClone();
  scratch.q = NewZeroClone();
  scratch.d = NewZeroClone();
  delete m_pDeltaCostTransform;
  m_pDeltaCostTransform = NewZeroClone();
  if (!scratch.p || !scratch.q || !scratch.d || !m_pDeltaCostTransform) {
    std::cerr << "error: optimization cannot copy its transform\n";
    m_bStop = true;
    return;
  }
  const bool perGroup = m_pRegistrationContext && m_pRegistrationContext->GetNormalisePerGroup();

  while (m_iCurrentStep < m_iMaxSteps) {
    const std::time_t stepStart = std::time(nullptr);
    if (IsSuccessShown())
      (Line() << "\nsuccess: Optimisation Step:\t" << (m_iCurrentStep + 1) << "\t of " << m_iMaxSteps
              << "\n")
          .ToOut();

    int count = 0;
    const std::time_t gradientStart = std::time(nullptr);
    if (!m_pMetric->ComputeDeltaCostFunction(m_pDeltaCostTransform, m_dValue, count,
                                             m_pParameterScale)) {
      std::cerr << "error: optimization failed due to metric get value and delta cost\n";
      return;
    }
    const long gradientSeconds = Seconds(gradientStart);
    if (IsSuccessShown())
      (Line() << "success: \t curr searching length " << m_fStepLength << " \t similarity "
              << m_dValue << "\n")
          .ToOut();

    if (m_fDirection * m_dBestValue < m_fDirection * m_dValue || m_iCurrentStep == 0) {
      m_dBestValue = m_dValue;
      m_iNoImprovementSteps = 0;
    } else {
      ++m_iNoImprovementSteps;
    }
    if (m_iMaxNoImprovementSteps > 0 && m_iNoImprovementSteps >= m_iMaxNoImprovementSteps) {
      if (IsSuccessShown())
        (Line() << "\nsuccess: Stop because can not be optimized for " << m_iNoImprovementSteps
                << " steps\n")
            .ToOut();
      m_bStop = true;
      return;
    }
    if (IsSuccessShown())
      (Line() << "success: \t run time of ComputeDeltaCostFunction computation is "
              << gradientSeconds << " seconds \n")
          .ToOut();

    // A gradient that turned against the previous one shortens the step.
    if (m_fRegularRate > 1 && DotProduct(scratch.p, m_pDeltaCostTransform) < 0)
      m_fStepLength /= m_fRegularRate;
    if (m_fStepLength < m_fMinStepLength) m_fStepLength = m_fMinStepLength;

    const float magnitude = Magnitude(m_pDeltaCostTransform);
    if (IsDebugShown()) (Line() << "debug: mag of pDeltaCostTransform " << magnitude << "\n").ToOut();
    if (magnitude < 1e-20f) {
      m_bStop = true;
      if (IsSuccessShown())
        (Line() << "\nsuccess: Reach zero gradient for stop " << magnitude << "\n").ToOut();
      return;
    }

    PrepareDirection(scratch.p, m_pDeltaCostTransform, scratch.q, scratch.d);
    scratch.d->Normalise(perGroup);
    const float advance = AdvanceAlongDirection(scratch.d);
    if (advance == 0) {
      m_bStop = true;
      if (IsSuccessShown()) (Line() << "\nsuccess: Reach a local optimum \n").ToOut();
      return;
    }
    if (IsSuccessShown())
      (Line() << "success: Run time of this optimization is " << Seconds(stepStart)
              << " seconds \n")
          .ToOut();
    ++m_iCurrentStep;
  }
}

void nuqOptimizerGradient::PrepareDirection(nuqTransformBase *previousGradient,
                                            nuqTransformBase *gradient,
                                            nuqTransformBase *previousDirection,
                                            nuqTransformBase *direction) {
  SetToScaled(direction, gradient, 1.0f);
  if (m_fRegularRate > 1) {
    SetToScaled(previousGradient, gradient, 1.0f);
    SetToScaled(previousDirection, direction, 1.0f);
  }
}

float nuqOptimizerGradient::AdvanceAlongDirection(nuqTransformBase *pDeltaCostCur) {
  nuqTransformBase *s = m_pTransform;
  if (!s || !pDeltaCostCur) return 0;
  if (m_pParameterScale) Multiply(pDeltaCostCur, m_pParameterScale);
  Scale(pDeltaCostCur, m_fStepLength * m_fDirection);
  if (IsDebugShown()) {
    const std::string type = s->GetTransformType();
    if (type == "FFD" || type == "GRID" || type == "FBS")
      (Line() << "debug: \t\t max of m_pTransform " << s->GetMaxAbsParameter()
              << " and max of pDeltaCostCur" << pDeltaCostCur->GetMaxAbsParameter() << "\n")
          .ToOut();
  }
  if (!m_bLineSearch) {
    AddScaled(s, pDeltaCostCur, 1.0f);
    Regrid(false);
    return 1;
  }
  double last = 0;
  m_pMetric->GetValue(last);
  float advance = 0;
  int i = 0;
  while (i < m_iMaxLineSearchSteps) {
    AddScaled(s, pDeltaCostCur, 1.0f);
    advance += 1;
    double value = 0;
    m_pMetric->GetValue(value);
    if (m_fDirection * value <= m_fDirection * last) {
      // The step that did not improve is taken back by half, unevaluated.
      AddScaled(s, pDeltaCostCur, -0.5f);
      advance -= 0.5f;
      break;
    }
    last = value;
    if (Regrid(false)) break;
    if (++i >= m_iMaxLineSearchSteps) break;
  }
  if (IsSuccessShown())
    (Line() << "success: \t \t Advanced more " << i << " steps with value " << last << "\n").ToOut();
  return advance;
}

bool nuqOptimizerGradient::Regrid(bool force) {
  if (!m_pTransform || !m_pRegistrationContext) return false;
  if (m_pTransform->GetTransformType().find("AFF") != std::string::npos) return false;
  if (force) {
    ConcatenateTransformsNUpdate();
    if (IsSuccessShown())
      (Line() << "success: \t Force concatenate up the former transformation displacement into "
                 "transform field gipls\n")
          .ToOut();
    return true;
  }
  if (!m_pRegistrationContext->GetRegridding()) return false;
  const int positive = m_pParameterScale ? m_pParameterScale->CountPositiveParameters()
                                         : m_pTransform->GetNumberOfFreeParameters();
  if (positive <= 0) return false;
  const float portion = m_pTransform->ConstrainToInvertible() *
                        float(m_pTransform->GetNumberOfFreeParameters()) / float(positive);
  if (!(portion > m_fRegriddingPortion)) return false;
  if (IsDebugShown()) std::cout << "debug: \t difoemorphism FFD regridding \n";
  ConcatenateTransformsNUpdate();
  if (IsSuccessShown())
    (Line() << "success: \t Concatenate up the former transformation displacement into transform "
               "field gipls when "
            << portion << "(>" << m_fRegriddingPortion << ") for diffeomorphism \n")
        .ToOut();
  return true;
}

bool nuqOptimizerGradient::ConcatenateTransforms() {
  if (!m_pTransform || !m_pRegistrationContext || !m_pMetric || !m_pMetric->GetTestImage())
    return false;
  const std::time_t start = std::time(nullptr);
  nuqImageDataT<short> *test = m_pMetric->GetTestImage();
  const int dim = test->GetDimension();
  const float *given = m_pRegistrationContext->GetConcatenationSpacing();
  float spacing[4] = {given[0], given[1], given[2], given[3]};
  bool anyZero = false;
  for (int d = 0; d < 4; ++d)
    if (spacing[d] == 0) anyZero = true;
  if (anyZero)
    for (float &s : spacing) s = 2.0f;
  // The new grid starts at the test image's index 0 and covers its extent.
  float extent[4] = {0, 0, 0, 0};
  test->GetPhysicalExtent(extent);
  nuqImageInfo orientation;
  test->GetInfo()->Clone(&orientation);
  nuqTransformBase *chain[2] = {m_pTransform, m_pRegistrationContext->GetFormerField()};
  nuqTransformFields *field = ComposeTransformsToField(chain, 2, dim, spacing, extent, nullptr,
                                                       nullptr, &orientation);
  if (!field) return false;
  m_pRegistrationContext->SetFormerField(field);
  m_pTransform->SetIdentity();
  if (IsSuccessShown())
    (Line() << "success: \t\t Run time of ConcatenateTransforms is " << Seconds(start)
            << " seconds \n")
        .ToOut();
  return true;
}

bool nuqOptimizerGradient::ConcatenateTransformsToField() { return ConcatenateTransforms(); }

bool nuqOptimizerGradient::ConcatenateTransformsNUpdate() {
  const std::time_t start = std::time(nullptr);
  if (!ConcatenateTransforms()) return false;
  const bool updated = m_pRegistrationContext->Update();
  if (IsSuccessShown())
    (Line() << "success: \t\t Run time of ConcatenateTransformsNUpdate::Update is "
            << Seconds(start) << " seconds \n")
        .ToOut();
  return updated;
}

nuqOptimizerGradientField::nuqOptimizerGradientField() = default;

nuqOptimizerGradientField::~nuqOptimizerGradientField() = default;

void nuqOptimizerGradientField::Run() {
  const int verbose = g_nVerbose;
  const int lineSearch = m_bLineSearch;
  // Step messages of a field optimisation show only from verbosity 2.
  if (g_nVerbose == 1) g_nVerbose = 0;
  nuqOptimizerGradient::Run();
  g_nVerbose = verbose;
  m_bLineSearch = lineSearch;
}

nuqOptimizerBase *nuqOptimizerGradientField::CloneTo(nuqOptimizerBase *target) {
  if (!target) target = new nuqOptimizerGradientField();
  return nuqOptimizerGradient::CloneTo(target);
}

float nuqOptimizerGradientField::AdvanceAlongDirection(nuqTransformBase *pDeltaCostCur) {
  const float advance = nuqOptimizerGradient::AdvanceAlongDirection(pDeltaCostCur);
  // A search that went exactly one unit step is not worth its evaluations.
  if (advance == 1 && m_bLineSearch == 1) m_bLineSearch = 0;
  return advance;
}
