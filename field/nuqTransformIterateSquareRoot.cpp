#include "nuqTransformIterateSquareRoot.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>

#include "nuqConsole.h"
#include "nuqMetricSquareRootTransform.h"

namespace {

// Level factors, read from the end: the last level always runs at 1.
const float kLevelFactors[4] = {1.0f, 1.5f, 2.0f, 4.0f};

}  // namespace

nuqTransformIterateSquareRoot::nuqTransformIterateSquareRoot()
    : m_pTransform(nullptr), m_iNumberOfLevels(4), m_fInitialStepLength(0.1f) {
  m_Optimizer.SetMaxSteps(100);
  m_Optimizer.SetMaxLineSearchSteps(1000);
  m_Optimizer.SetLineSearch(1);
}

nuqTransformIterateSquareRoot::~nuqTransformIterateSquareRoot() = default;

nuqTransformBase *nuqTransformIterateSquareRoot::CloneTo(nuqTransformBase *&target) {
  if (!target) target = new nuqTransformIterateSquareRoot();
  nuqTransformFields::CloneTo(target);
  auto *root = dynamic_cast<nuqTransformIterateSquareRoot *>(target);
  if (root && root != this) {
    root->m_pTransform = m_pTransform;
    root->m_fInitialStepLength = m_fInitialStepLength;
  }
  return target;
}

void nuqTransformIterateSquareRoot::SetTransform(nuqTransformBase *transform) {
  m_pTransform = transform;
  if (transform) SetDimension(transform->GetDimension());
}

void nuqTransformIterateSquareRoot::SetNumberOfLevels(int n) { m_iNumberOfLevels = n; }

int nuqTransformIterateSquareRoot::GetNumberOfLevels() const { return m_iNumberOfLevels; }

void nuqTransformIterateSquareRoot::SetInitialStepLength(float length) {
  m_fInitialStepLength = length;
}

float nuqTransformIterateSquareRoot::GetInitialStepLength() const { return m_fInitialStepLength; }

bool nuqTransformIterateSquareRoot::SetOptimizer(nuqOptimizerBase *optimizer) {
  if (!optimizer) return false;
  optimizer->CloneTo(&m_Optimizer);
  return true;
}

bool nuqTransformIterateSquareRoot::PrepareGrid() {
  if (!m_pTransform) return false;
  if (!m_aFieldImages[0].IsEmpty()) return true;
  if (!m_pTestImage || m_pTestImage->IsEmpty()) return false;
  // A copy: the new components must not read their geometry from themselves.
  nuqImageInfo grid;
  m_pTestImage->GetInfo()->Clone(&grid);
  NewTransformFields(grid.m_iDimension, grid.m_iSize, grid.m_fSpacing, &grid);
  return !m_aFieldImages[0].IsEmpty();
}

bool nuqTransformIterateSquareRoot::ComputeSquareRoot() {
  if (!PrepareGrid()) return false;
  nuqImageInfo result;
  m_aFieldImages[0].GetInfo()->Clone(&result);
  const int used = UsedComponents();
  const int dim = result.m_iDimension;

  // S starts as half of T's displacement.
  nuqTransformFields field;
  if (!field.SetTransformFieldsFromTransform(m_pTransform, &result)) return false;
  nuqImageDataT<float> *components = field.GetTransformFields();
  for (int c = 0; c < used; ++c) {
    float *data = components[c].GetImageData();
    const int count = components[c].GetNumberOfPixels();
    for (int i = 0; i < count; ++i) data[i] *= 0.5f;
  }

  const int levels = m_iNumberOfLevels;
  for (int level = 0; level < levels; ++level) {
    const float factor = kLevelFactors[std::min(levels - level - 1, 3)];
    const float step = factor * m_fInitialStepLength;

    // The level's grid: spacing x factor on the spatial axes, same extent.
    int size[4];
    float spacing[4];
    for (int d = 0; d < 4; ++d) {
      size[d] = result.m_iSize[d];
      spacing[d] = result.m_fSpacing[d];
    }
    for (int d = 0; d < dim && d < 3; ++d) {
      spacing[d] = result.m_fSpacing[d] * factor;
      // The small allowance keeps an exact ratio from rounding up a voxel.
      const double voxels = double(result.m_iSize[d] - 1) * result.m_fSpacing[d] / spacing[d];
      size[d] = int(std::ceil(voxels - 1e-4)) + 1;
    }
    for (int c = 0; c < used; ++c) {
      nuqImageModelingLinearT<float, float> model(&components[c]);
      model.ResampleToSize(size, spacing);
    }

    // A short image on the level's grid: the metric samples its voxels'
    // positions, never their values.
    nuqImageDataT<short> grid;
    if (!grid.NewImage(dim, components[0].GetSizeArray(), components[0].GetSpacingArray(),
                       components[0].GetInfo()))
      return false;
    field.SetImages(&grid, &grid);

    nuqMetricSquareRootTransform metric;
    metric.SetImages(&grid, &grid);
    metric.SetTargetTransform(m_pTransform);
    metric.SetTransform(&field);
    const float *h = components[0].GetSpacingArray();
    metric.SetSamplingInterval(h[0], h[1], h[2], h[3]);
    metric.PreComputeTargetPoints();

    nuqTransformBase *scaleClone = nullptr;
    field.CloneTo(scaleClone);
    std::unique_ptr<nuqTransformBase> scale(scaleClone);
    // Every voxel's displacement moves with the full step.
    nuqImageDataT<float> *weights = static_cast<nuqTransformFields *>(scale.get())->GetTransformFields();
    for (int c = 0; c < used; ++c)
      std::fill(weights[c].GetImageData(), weights[c].GetImageData() + weights[c].GetNumberOfPixels(),
                1.0f);
    nuqRegistrationContext context;

    m_Optimizer.SetTransform(&field);
    m_Optimizer.SetParameterScale(scale.get());
    m_Optimizer.SetMetric(&metric);
    m_Optimizer.SetRegistrationContext(&context);
    m_Optimizer.SetStepLength(step);

    if (g_nVerbose >= 0) {
      std::ostringstream line;
      line.precision(6);
      line << "\nsuccess: Optimization " << (level + 1) << " of " << levels << ", with sampling "
           << factor << " times, step length " << step << "\n";
      std::cout << line.str();
    }
    const std::time_t start = std::time(nullptr);
    m_Optimizer.Run();
    if (g_nVerbose >= 0)
      std::cout << "\nsuccess: Used " << long(std::time(nullptr) - start) << " seconds ("
                << (level + 1) << " of " << levels << ")\n";

    // Nothing of this level may be reached through the optimiser later.
    m_Optimizer.SetMetric(nullptr);
    m_Optimizer.SetParameterScale(nullptr);
    m_Optimizer.SetRegistrationContext(nullptr);
    m_Optimizer.SetTransform(nullptr);
  }

  // This object takes S and its final grid.
  if (!SetTransformFields(&components[0], used > 1 ? &components[1] : nullptr,
                          used > 2 ? &components[2] : nullptr))
    return false;
  if (used == 4) {
    SetDimension(4);
    components[3].Clone(&m_aFieldImages[3]);
    m_aFieldModels[3].SetImage(&m_aFieldImages[3]);
    return CheckFieldImages();
  }
  return true;
}
