#include "nuqMetricSquareRootTransform.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <typeinfo>
#include <vector>

#include "nuqParallel.h"
#include "nuqTransformFieldLogEuclidean.h"
#include "nuqTransformFields.h"

namespace {

// Maps world points through a transform. A displacement field whose class
// maps points as the plain field does is read through its typed linear
// models (no virtual call per point); anything else goes through its
// TransformWorldToWorld. out[c] beyond the mapped coordinates keeps in[c].
class FieldSampler {
 public:
  explicit FieldSampler(nuqTransformBase *transform) : m_pTransform(transform) {
    nuqTransformFields *field = dynamic_cast<nuqTransformFields *>(transform);
    if (!field) return;
    const std::type_info &type = typeid(*transform);
    if (type != typeid(nuqTransformFields) && type != typeid(nuqTransformIterateSquareRoot) &&
        type != typeid(nuqTransformFieldLogEuclidean))
      return;
    m_pField = field;
    const int dim = field->GetDimension();
    m_iUsed = dim < 3 ? (dim < 0 ? 0 : dim) : 3;
    nuqImageDataT<float> *volumes = field->GetTransformFields();
    nuqImageModelingLinearT<float, float> *models = field->GetFieldModels();
    m_bEmpty = m_iUsed < 1 || volumes[0].IsEmpty();
    for (int c = 0; c < m_iUsed; ++c) {
      m_apModels[c] = &models[c];
      if (volumes[c].IsEmpty() || models[c].GetImage() != &volumes[c]) m_bEmpty = true;
    }
    m_pGrid = volumes[0].GetInfo();
    // World to grid inline, as nuqImageInfo::WorldToGrid computes it.
    const float *m = m_pGrid->GetWorldToImage();
    for (int i = 0; i < 12; ++i) m_afWorldToGrid[i] = m[i];
    m_bTimeAxis = m_pGrid->m_iDimension >= 4 && m_pGrid->m_fSpacing[3] != 0.0f;
  }

  void WorldToGrid(float *p) const {
    const float x = p[0], y = p[1], z = p[2];
    const float *m = m_afWorldToGrid;
    p[0] = m[0] * x + m[1] * y + m[2] * z + m[3];
    p[1] = m[4] * x + m[5] * y + m[6] * z + m[7];
    p[2] = m[8] * x + m[9] * y + m[10] * z + m[11];
    if (m_bTimeAxis) p[3] = (p[3] - m_pGrid->m_fOrigin[3]) / m_pGrid->m_fSpacing[3];
  }

  bool IsDirect() const { return m_pField != nullptr; }
  const nuqImageInfo *Grid() const { return m_pGrid; }
  int Used() const { return m_iUsed; }
  const nuqImageModelingLinearT<float, float> &Model(int c) const { return *m_apModels[c]; }

  void Map(const float *in, float *out) const {
    for (int d = 0; d < 4; ++d) out[d] = in[d];
    if (!m_pField) {
      m_pTransform->TransformWorldToWorld(in, out);
      return;
    }
    if (m_bEmpty) return;  // an empty field leaves points where they are
    float g[4] = {in[0], in[1], in[2], in[3]};
    WorldToGrid(g);
    for (int c = 0; c < m_iUsed; ++c) out[c] = in[c] + m_apModels[c]->GetValueClamped(g[0], g[1], g[2], g[3]);
  }

 private:
  nuqTransformBase *m_pTransform;
  nuqTransformFields *m_pField = nullptr;
  const nuqImageInfo *m_pGrid = nullptr;
  const nuqImageModelingLinearT<float, float> *m_apModels[3] = {nullptr, nullptr, nullptr};
  int m_iUsed = 0;
  bool m_bEmpty = true;
  float m_afWorldToGrid[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  bool m_bTimeAxis = false;
};

int ClampDimension(int dimension) { return dimension < 0 ? 0 : (dimension > 4 ? 4 : dimension); }

// The sample positions of the metric's loops (t, z, y, x; x fastest), each
// axis listed once with the float steps of those loops, so that rows can be
// handed to threads and still hold exactly the serial loops' points.
struct SampleLattice {
  std::vector<float> axis[4];

  SampleLattice(const float *from, const float *to, const float *step) {
    for (int d = 0; d < 4; ++d)
      for (float v = from[d]; v <= to[d]; v += step[d]) axis[d].push_back(v);
  }
  long long Rows() const {
    return (long long)axis[1].size() * axis[2].size() * axis[3].size();
  }
  long long PointsPerRow() const { return (long long)axis[0].size(); }
  // y, z and t of a row, rows counted in loop order.
  void Row(long long row, float &y, float &z, float &t) const {
    const long long ny = (long long)axis[1].size(), nz = (long long)axis[2].size();
    y = axis[1][size_t(row % ny)];
    z = axis[2][size_t(row / ny % nz)];
    t = axis[3][size_t(row / ny / nz)];
  }
};

}  // namespace

nuqMetricSquareRootTransform::nuqMetricSquareRootTransform()
    : m_pTargetTransform(nullptr), m_bTargetPointsOnTestGrid(false) {}

nuqMetricSquareRootTransform::~nuqMetricSquareRootTransform() = default;

nuqMetricBase *nuqMetricSquareRootTransform::CloneTo(nuqMetricBase *target) {
  if (!target) target = new nuqMetricSquareRootTransform();
  nuqMetricBase::CloneTo(target);
  if (auto *metric = dynamic_cast<nuqMetricSquareRootTransform *>(target))
    metric->m_pTargetTransform = m_pTargetTransform;
  return target;
}

std::string nuqMetricSquareRootTransform::GetMetricName() const { return "_SquareRootTRANSFORM_"; }

void nuqMetricSquareRootTransform::SetTargetTransform(nuqTransformBase *target) {
  m_pTargetTransform = target;
  DropTargetPoints();
}

bool nuqMetricSquareRootTransform::SetImages(nuqImageDataT<short> *test,
                                             nuqImageDataT<short> *ref) {
  DropTargetPoints();
  return nuqMetricBase::SetImages(test, ref);
}

void nuqMetricSquareRootTransform::SetSamplingInterval(float x, float y, float z, float t) {
  DropTargetPoints();
  nuqMetricBase::SetSamplingInterval(x, y, z, t);
}

void nuqMetricSquareRootTransform::SetROI(const float *fromWorld, const float *toWorld) {
  DropTargetPoints();
  nuqMetricBase::SetROI(fromWorld, toWorld);
}

void nuqMetricSquareRootTransform::DropTargetPoints() {
  m_afTargetPoints.clear();
  m_afTargetPoints.shrink_to_fit();
  m_bTargetPointsOnTestGrid = false;
}

bool nuqMetricSquareRootTransform::PreComputeTargetPoints() {
  DropTargetPoints();
  if (!m_pTargetTransform || !m_pTestImage) return false;
  float from[4], to[4];
  if (!GetTestROI(from, to)) return false;
  const float *step = m_afSamplingIntervalVoxels;
  const FieldSampler target(m_pTargetTransform);
  const nuqImageInfo *grid = m_pTestImage->GetInfo();
  // Rows run in parallel, each writing its own stretch of the list.
  const SampleLattice lattice(from, to, step);
  const long long perRow = lattice.PointsPerRow();
  std::vector<float> points(size_t(lattice.Rows() * perRow * 3));
  ParallelFor(lattice.Rows(), [&](long long row) {
    float y, z, t;
    lattice.Row(row, y, z, t);
    float *out = points.data() + size_t(row * perRow * 3);
    for (float x : lattice.axis[0]) {
      float p[4] = {x, y, z, t};
      grid->GridToWorld(p);
      float w[4];
      target.Map(p, w);
      *out++ = w[0];
      *out++ = w[1];
      *out++ = w[2];
    }
  });
  m_afTargetPoints.swap(points);
  // Unit steps from index 0 over the whole test grid: one sample per voxel.
  const int *size = m_pTestImage->GetSizeArray();
  bool onGrid = m_afTargetPoints.size() == 3 * size_t(m_pTestImage->GetNumberOfPixels());
  for (int d = 0; d < 4 && onGrid; ++d) {
    const bool used = d < ClampDimension(m_iDimension);
    if (from[d] != 0 || (used && (step[d] != 1 || to[d] != size[d] - 1))) onGrid = false;
  }
  m_bTargetPointsOnTestGrid = onGrid;
  return true;
}

const float *nuqMetricSquareRootTransform::GetTargetPointsOnGrid(const nuqImageInfo *grid) const {
  if (!m_bTargetPointsOnTestGrid || !grid || !m_pTestImage) return nullptr;
  const nuqImageInfo *test = m_pTestImage->GetInfo();
  if (!test->IsSameGrid(grid) || !test->IsSameQuaternion(grid)) return nullptr;
  return m_afTargetPoints.data();
}

nuqTransformBase *nuqMetricSquareRootTransform::GetTargetTransform() const {
  return m_pTargetTransform;
}

int nuqMetricSquareRootTransform::GetValue(double &value) {
  value = 0;
  if (!m_pTargetTransform || !m_pTransform || !m_pTestImage) return 0;
  float from[4], to[4];
  if (!GetTestROI(from, to)) return 0;
  const FieldSampler target(m_pTargetTransform);
  const FieldSampler root(m_pTransform);
  const nuqImageInfo *grid = m_pTestImage->GetInfo();
  const int dim = ClampDimension(m_iDimension);
  const float *step = m_afSamplingIntervalVoxels;
  // The stored T(p) are read in the order in which they were sampled.
  const float *stored = m_afTargetPoints.empty() ? nullptr : m_afTargetPoints.data();
  const long long storedPoints = (long long)m_afTargetPoints.size() / 3;
  // Each row's sum is computed in parallel; the rows are added in loop order.
  const SampleLattice lattice(from, to, step);
  const long long perRow = lattice.PointsPerRow();
  std::vector<double> rows(size_t(lattice.Rows()), 0.0);
  ParallelFor(lattice.Rows(), [&](long long r) {
    float y, z, t;
    lattice.Row(r, y, z, t);
    long long point = r * perRow;
    double row = 0;
    for (float x : lattice.axis[0]) {
      float p[4] = {x, y, z, t};
      grid->GridToWorld(p);
      float w[4], a[4], b[4];
      if (stored && point < storedPoints) {
        const float *v = stored + 3 * size_t(point);
        w[0] = v[0], w[1] = v[1], w[2] = v[2], w[3] = p[3];
      } else {
        target.Map(p, w);
      }
      ++point;
      root.Map(p, a);
      root.Map(a, b);
      for (int i = 0; i < dim; ++i) {
        const double d = double(b[i]) - w[i];
        row += d * d;
      }
    }
    rows[size_t(r)] = row;
  });
  double sum = 0;
  for (const double row : rows) sum += row;
  const int count = int(lattice.Rows() * perRow);
  value = 0.0 - sum;  // a perfect fit reads 0, not -0
  return count;
}

bool ComputeSquareRootTransformGradient(nuqMetricBase *metric, nuqTransformFields *container) {
  auto *fit = dynamic_cast<nuqMetricSquareRootTransform *>(metric);
  if (!fit || !container) return false;
  nuqTransformBase *rootTransform = fit->GetTransform();
  nuqTransformBase *targetTransform = fit->GetTargetTransform();
  if (!rootTransform || !targetTransform) return false;
  const FieldSampler root(rootTransform);
  if (!root.IsDirect()) return false;
  const FieldSampler target(targetTransform);

  nuqImageDataT<float> *out = container->GetTransformFields();
  const float *stored = out[0].IsEmpty() ? nullptr : fit->GetTargetPointsOnGrid(out[0].GetInfo());
  const int dim = container->GetDimension();
  const int used = dim < 3 ? (dim < 0 ? 0 : dim) : 3;
  for (int c = 0; c < ClampDimension(dim); ++c)
    if (!out[c].IsEmpty())
      std::memset(out[c].GetImageData(), 0, sizeof(float) * out[c].GetNumberOfPixels());
  if (used < 1 || out[0].IsEmpty()) return true;
  for (int c = 1; c < used; ++c)
    if (out[c].GetNumberOfPixels() != out[0].GetNumberOfPixels()) return false;

  // Central differences of u at q along world axis a, with the half-step
  // offsets in S's grid precomputed: grid(q +- h e_a) = grid(q) +- h M e_a.
  const int derivatives = root.Used();
  float offset[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  float inverseStep[3] = {0, 0, 0};
  if (derivatives > 0) {
    const nuqImageInfo *grid = root.Grid();
    const float *m = grid->GetWorldToImage();
    for (int a = 0; a < derivatives; ++a) {
      const float s = grid->m_fSpacing[a];
      if (!(s > 0)) continue;  // no derivative along an axis without spacing
      inverseStep[a] = 1.0f / s;
      for (int r = 0; r < 3; ++r) offset[a][r] = 0.5f * s * m[r * 4 + a];
    }
  }

  const nuqImageInfo *grid = out[0].GetInfo();
  const int *size = out[0].GetSizeArray();
  float *data[3] = {nullptr, nullptr, nullptr};
  for (int c = 0; c < used; ++c) data[c] = out[c].GetImageData();
  // Every voxel writes only its own gradient: rows run in parallel.
  const int nx = size[0], ny = size[1], nz = size[2];
  ParallelFor((long long)ny * nz * size[3], [&](long long row) {
    const int y = int(row % ny), z = int(row / ny % nz), t = int(row / ny / nz);
    int index = int(row * nx);
    for (int x = 0; x < nx; ++x, ++index) {
      float p[4] = {float(x), float(y), float(z), float(t)};
      grid->GridToWorld(p);
      float q[4], s[4], w[4];
      root.Map(p, q);
      root.Map(q, s);
      if (stored) {
        const float *v = stored + 3 * size_t(index);
        w[0] = v[0], w[1] = v[1], w[2] = v[2], w[3] = p[3];
      } else {
        target.Map(p, w);
      }
      float r[3] = {0, 0, 0};
      for (int c = 0; c < used; ++c) r[c] = s[c] - w[c];
      float g[4] = {q[0], q[1], q[2], q[3]};
      if (derivatives > 0) root.WorldToGrid(g);
      // (I + D)^T r, D[c][a] = d u_c / d world_a.
      float gradient[3] = {r[0], r[1], r[2]};
      for (int a = 0; a < derivatives; ++a) {
        if (inverseStep[a] == 0) continue;
        const float *o = offset[a];
        for (int c = 0; c < derivatives; ++c) {
          const nuqImageModelingLinearT<float, float> &model = root.Model(c);
          const float plus = model.GetValueClamped(g[0] + o[0], g[1] + o[1], g[2] + o[2], g[3]);
          const float minus = model.GetValueClamped(g[0] - o[0], g[1] - o[1], g[2] - o[2], g[3]);
          gradient[a] += r[c] * (plus - minus) * inverseStep[a];
        }
      }
      for (int a = 0; a < used; ++a) data[a][index] = -2.0f * gradient[a];
    }
  });
  return true;
}
