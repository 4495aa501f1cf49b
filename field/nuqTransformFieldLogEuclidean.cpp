#include "nuqTransformFieldLogEuclidean.h"

#include <cmath>
#include <iostream>
#include <memory>

#include "nuqConsole.h"

nuqTransformFieldLogEuclidean::nuqTransformFieldLogEuclidean() : m_iNumberOfSquarings(8) {}

nuqTransformFieldLogEuclidean::~nuqTransformFieldLogEuclidean() = default;

nuqTransformBase *nuqTransformFieldLogEuclidean::CloneTo(nuqTransformBase *&target) {
  if (!target) target = new nuqTransformFieldLogEuclidean();
  nuqTransformIterateSquareRoot::CloneTo(target);
  auto *log = dynamic_cast<nuqTransformFieldLogEuclidean *>(target);
  if (log && log != this) log->m_iNumberOfSquarings = m_iNumberOfSquarings;
  return target;
}

bool nuqTransformFieldLogEuclidean::SampleTransformToGrid() {
  if (!PrepareGrid()) return false;
  nuqImageInfo grid;
  m_aFieldImages[0].GetInfo()->Clone(&grid);
  return SetTransformFieldsFromTransform(m_pTransform, &grid);
}

bool nuqTransformFieldLogEuclidean::ComputePowerBySquaring(int a) {
  if (a < 1 || !PrepareGrid()) return false;
  nuqImageInfo grid;
  m_aFieldImages[0].GetInfo()->Clone(&grid);
  const int dim = UsedComponents();
  float extent[4] = {0, 0, 0, 0};
  for (int d = 0; d < dim; ++d)
    // A hundredth of a voxel more, so that the composed grid keeps every
    // voxel however the extent rounds.
    extent[d] = (grid.m_iSize[d] - 1) * grid.m_fSpacing[d] + 0.01f * grid.m_fSpacing[d];
  nuqTransformBase *power = m_pTransform;
  std::unique_ptr<nuqTransformFields> squared;
  for (int i = 0; i < a; ++i) {
    nuqTransformBase *chain[2] = {power, power};
    nuqTransformFields *next =
        ComposeTransformsToField(chain, 2, dim, grid.m_fSpacing, extent, nullptr, nullptr, &grid);
    if (!next) return false;
    squared.reset(next);  // frees the previous square, no longer needed
    power = next;
  }
  nuqImageDataT<float> *c = squared->GetTransformFields();
  if (!SetTransformFields(&c[0], dim > 1 ? &c[1] : nullptr, dim > 2 ? &c[2] : nullptr))
    return false;
  if (dim == 4) {
    SetDimension(4);
    c[3].Clone(&m_aFieldImages[3]);
    m_aFieldModels[3].SetImage(&m_aFieldImages[3]);
    return CheckFieldImages();
  }
  return true;
}

bool nuqTransformFieldLogEuclidean::ComputeSquareRootNTimes(int n) {
  if (n < 1) return false;
  nuqTransformBase *const target = m_pTransform;
  std::unique_ptr<nuqTransformBase> previous;
  for (int i = 1; i <= n; ++i) {
    if (!ComputeSquareRoot()) {
      m_pTransform = target;
      std::cerr << "error: compute square root transformation (1/2)^" << i << " of (1/2)^" << n
                << "\n";
      return false;
    }
    if (IsSuccessShown())
      std::cout << "success: compute square root transformation (1/2)^" << i << " of (1/2)^" << n
                << "\n";
    if (i == n) break;
    // The next pass takes the root of this result, on the same grid.
    nuqTransformBase *copy = new nuqTransformFields();
    nuqTransformFields::CloneTo(copy);
    previous.reset(copy);
    m_pTransform = copy;
  }
  m_pTransform = target;
  return true;
}

bool nuqTransformFieldLogEuclidean::ComputeExponential(int a, int b, bool useTransformAsIs) {
  if (b < 1 || !PrepareGrid()) return false;
  if (useTransformAsIs) return ComputePowerBySquaring(a);
  nuqImageInfo grid;
  m_aFieldImages[0].GetInfo()->Clone(&grid);
  nuqTransformFields velocity;
  if (!velocity.SetTransformFieldsFromTransform(m_pTransform, &grid)) return false;
  velocity.Scale(1.0f / std::exp(float(b) * std::log(2.0f)));
  nuqTransformBase *const target = m_pTransform;
  m_pTransform = &velocity;
  const bool ok = ComputePowerBySquaring(a);
  m_pTransform = target;
  return ok;
}

bool nuqTransformFieldLogEuclidean::ComputeExponentialBySquaring(int n, bool useTransformAsIs) {
  return ComputeExponential(n, n, useTransformAsIs);
}

bool nuqTransformFieldLogEuclidean::ComputeLogarithm(int n, bool keepRoot) {
  if (!ComputeSquareRootNTimes(n)) return false;
  if (!keepRoot) Scale(std::exp(float(n) * std::log(2.0f)));
  return true;
}

bool nuqTransformFieldLogEuclidean::SetNumberOfSquarings(int n) {
  if (n <= 0) return false;
  m_iNumberOfSquarings = n;
  return true;
}

int nuqTransformFieldLogEuclidean::GetNumberOfSquarings() const { return m_iNumberOfSquarings; }
