// Inverse of a transform T as a displacement field, by forward sampling.
//
// The source domain is sampled finely; each sample s is mapped to T(s) and
// the grid voxels around T(s) remember s. The inverse displacement of a
// voxel v is then a mean of s - T(s) over the samples that landed nearest
// to v. Three passes:
//   1. ForwardTransformToRefGrid: for every voxel and each of its 8 corner
//      roles keep the sample whose image lies nearest. Role k = cx + 2cy + 4cz
//      means the voxel is the (cx, cy, cz) corner of the grid cell holding
//      T(s).
//   2. FillInFindInverse: sweeps that give an empty role the best sample of
//      the diagonal neighbour on that role's side.
//   3. DistanceWeightInterpolateByNeighbours: inverse-distance weighted mean
//      of the 8 role candidates.
// The computation needs three spatial axes (a 4-D grid is done one t index
// at a time). After it the object is a field transform like any other; its
// TransformWorldToWorld refines off-grid points by sampling T locally, so T
// must outlive it.
#pragma once

#include <cstddef>
#include <vector>

#include "nuqParallel.h"
#include "nuqTransformFields.h"
#include "nuqTransformIterateInverseGrid.h"

class nuqTransformIterateInverse : public nuqTransformFields {
 public:
  nuqTransformIterateInverse();
  ~nuqTransformIterateInverse() override;

  // Off-grid points are refined against T (see the .cpp); grid points give
  // the stored displacement exactly.
  void TransformWorldToWorld(const float *in, float *out) override;

  // T is not owned.
  virtual void SetTransform(nuqTransformBase *transform);
  // The grid of the inverse: dim zero components of this size and spacing
  // with info's orientation.
  virtual void SetFieldGrid(int dim, const int *size, const float *spacing, nuqImageInfo *info);
  // Source region in voxel indices of the result grid, both ends inclusive.
  virtual void SetROI(int dim, const int *from, const int *to);
  virtual bool ComputeInverseByDistanceInterpolate();
  virtual bool ComputeInverse();
  virtual void SetSamplingFactor(float factor);
  virtual float GetSamplingFactor() const;
  // dist, X, Y, Z: arrays of 8 volumes (one per corner role) on the result
  // grid. dist holds the squared distance (mm^2) from the voxel to T(s) of
  // the role's best sample s, -1 for none; X, Y, Z hold s.
  virtual void ForwardTransformToRefGrid(const int *from, const int *to, nuqImageDataT<float> *dist,
                                         nuqImageDataT<float> *X, nuqImageDataT<float> *Y,
                                         nuqImageDataT<float> *Z);
  // One sweep; returns the number of empty roles that had an in-grid
  // neighbour, filled or not (the number filled is kept in
  // m_iFilledInLastSweep).
  virtual int FillInFindInverse(nuqImageDataT<float> *dist, nuqImageDataT<float> *X,
                                nuqImageDataT<float> *Y, nuqImageDataT<float> *Z);
  virtual void DistanceWeightInterpolateByNeighbours(nuqImageDataT<float> *dist,
                                                     nuqImageDataT<float> *X,
                                                     nuqImageDataT<float> *Y,
                                                     nuqImageDataT<float> *Z);
  // out[i] = |T_i(c + h_i/2 e_i) - T_i(c - h_i/2 e_i)| / h_i with
  // c = point + h/2, for i below the dimension; 0 beyond.
  virtual void GetJacobianDiagonal(float *out, nuqTransformBase *transform, const float *point,
                                   const float *spacing);
  // Records sample (world point) whose image `mapped` has the continuous
  // index `index` in corner role (cx, cy, cz) of the result grid `grid`.
  virtual void UpdateNearestSample(const float *sample, const float *mapped, const float *index,
                                   int cx, int cy, int cz, nuqImageDataT<float> *grid,
                                   nuqImageDataT<float> *dist, nuqImageDataT<float> *X,
                                   nuqImageDataT<float> *Y, nuqImageDataT<float> *Z);
  // Sub-sampling steps (mm) of one source cell from the Jacobian diagonal:
  // more samples along an axis that T stretches.
  virtual void ComputeSamplingSteps(float *out, const float *jacobianDiagonal,
                                    const float *spacing);
  // Inverse-distance (power p) weighted mean of the first-dimension entries
  // of displacements[k] over the k with distances[k] > 0; an entry at
  // distance 0 is taken alone; negative distances are skipped; 0 without
  // any weight.
  virtual void WeightedAverageByDistance(float *out, const float (*displacements)[4],
                                         const float *distances);

 protected:
  // The grid loops of the forward pass: for every cell of the region and
  // every sub-sample s of it, update(s, corners, roles) with the corner
  // voxels of T(s) and the roles among them that the calling thread owns.
  // Shared by both inverse methods; the update is bound at compile time.
  template <class Update>
  void SampleRegion(const int *from, const int *to, Update &update);
  // Region, grid and factor checks shared by both methods; false with an
  // "error: " line where the reason is not obvious.
  bool PrepareComputation();
  // Allocates count working volumes with the grid of component 0; false
  // with an "error: " line when the memory cannot be had.
  bool NewWorkingVolumes(nuqImageDataT<float> *volumes, int count, float value);

  nuqTransformBase *m_pTransform;
  int m_aiROIFrom[4];
  int m_aiROITo[4];
  float m_fDistanceWeightPower;
  int m_iMinSearchRadius;
  int m_iMaxSearchRadius;
  float m_fSamplingFactor;
  int m_iFilledInLastSweep;
};

// The smallest sampling factor a computation accepts: below it the number of
// samples per cell (which grows as 1/f^3) would make the run endless.
constexpr float kMinInverseSamplingFactor = 0.01f;

template <class Update>
void nuqTransformIterateInverse::SampleRegion(const int *from, const int *to, Update &update) {
  nuqImageDataT<float> &grid = m_aFieldImages[0];
  const nuqImageInfo *info = grid.GetInfo();
  const float *h = grid.GetSpacingArray();
  const int nt = grid.GetSizeArray()[3] > 0 ? grid.GetSizeArray()[3] : 1;
  nuqTransformBase *transform = m_pTransform;
  // Rows of cells (fixed y, z, t) in loop order are taken a chunk at a time.
  // First T is evaluated for every row of the chunk in parallel and the
  // samples are kept; then every thread walks all samples of the chunk in
  // loop order and applies the updates of the voxels it owns (by blocks of
  // voxel rows),
  // so each voxel sees its updates in the serial order whatever the thread
  // count. A row with more samples than a buffer should hold (a tiny
  // sampling factor) is sampled again by each thread in its turn instead.
  const long long nx = to[0] - from[0] + 1, ny = to[1] - from[1] + 1, nz = to[2] - from[2] + 1;
  if (nx < 1 || ny < 1 || nz < 1) return;
  constexpr std::size_t kMaxRowSamples = std::size_t(1) << 16;
  constexpr long long kChunkRows = 128;
  struct Sample {
    float s[3], index[4];
  };
  // A cache line each: threads filling neighbouring rows must not share one.
  struct alignas(64) Row {
    std::vector<Sample> samples;
    bool complete = false;
  };
  const nuqinverse::Grid roleGrid = nuqinverse::MakeGrid(grid);
  // Every sub-sample of row `row`, in loop order, to emit(s, index) with
  // index the continuous grid index of T(s);
  // false as soon as emit refuses one.
  auto sampleRow = [&](long long row, auto emit) {
    const int y = from[1] + int(row % ny), z = from[2] + int(row / ny % nz),
              t = int(row / ny / nz);
    for (int x = from[0]; x <= to[0]; ++x) {
      float p[4] = {float(x), float(y), float(z), float(t)};
      info->GridToWorld(p);
      float jacobian[4], step[4];
      nuqTransformIterateInverse::GetJacobianDiagonal(jacobian, transform, p, h);
      nuqTransformIterateInverse::ComputeSamplingSteps(step, jacobian, h);
      for (float sx = p[0]; sx < p[0] + h[0]; sx += step[0])
        for (float sy = p[1]; sy < p[1] + h[1]; sy += step[1])
          for (float sz = p[2]; sz < p[2] + h[2]; sz += step[2]) {
            const float s[4] = {sx, sy, sz, p[3]};
            float q[4] = {sx, sy, sz, p[3]};
            transform->TransformWorldToWorld(s, q);
            float index[4] = {q[0], q[1], q[2], q[3]};
            info->WorldToGrid(index);
            if (!emit(s, index)) return false;
          }
    }
    return true;
  };
  const long long rows = nt * ny * nz;
  std::vector<Row> chunk(std::size_t(rows < kChunkRows ? rows : kChunkRows));
  for (long long first = 0; first < rows; first += kChunkRows) {
    const long long count = rows - first < kChunkRows ? rows - first : kChunkRows;
    ParallelFor(count, [&](long long r) {
      Row &row = chunk[std::size_t(r)];
      row.samples.clear();
      row.complete = sampleRow(first + r, [&](const float *s, const float *index) {
        if (row.samples.size() >= kMaxRowSamples) return false;
        row.samples.push_back(Sample{{s[0], s[1], s[2]}, {index[0], index[1], index[2], index[3]}});
        return true;
      });
    });
    ParallelShares([&](int part, int parts) {
      const nuqinverse::Share share{part, parts};
      for (long long r = 0; r < count; ++r) {
        const Row &row = chunk[std::size_t(r)];
        if (row.complete) {
          for (const Sample &sample : row.samples) {
            nuqinverse::Corners corners;
            const unsigned roles = nuqinverse::CornerVoxels(roleGrid, sample.index, share, corners);
            if (roles) update(sample.s, corners, roles);
          }
          continue;
        }
        sampleRow(first + r, [&](const float *s, const float *index) {
          nuqinverse::Corners corners;
          const unsigned roles = nuqinverse::CornerVoxels(roleGrid, index, share, corners);
          if (roles) update(s, corners, roles);
          return true;
        });
      }
    });
  }
}
