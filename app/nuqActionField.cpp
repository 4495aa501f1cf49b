#include "nuqActionField.h"

#include <cmath>
#include <iostream>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqImageModeling.h"
#include "nuqParallel.h"
#include "nuqRun.h"
#include "nuqTransformBase.h"
#include "nuqTransformFields.h"

namespace {

const char *const kComponentSuffixes[4] = {"_x.", "_y.", "_z.", "_t."};

// What the voxel loop reads and writes; the loop below is instantiated per
// dimension and per mode so that the per-voxel work is straight-line code.
struct nuqFieldLoop {
  const nuqImageInfo *grid;
  int size[4];
  nuqTransformBase **transforms;
  int count;
  const nuqImageDataT<short> *mask;  // null: every voxel counts
  const nuqImageModelingLinearT<short, float> *maskModel;
  float *out[4];
  float *magnitude;
};

// Which voxels of one row count for the statistics, carried from the
// parallel step of a row to its serial step.
struct nuqFieldRowScratch {
  std::vector<char> counted;
};

// Rows (fixed y, z, t) are computed in parallel; the statistics of each row
// are added in row order afterwards, so they do not depend on the threads.
template <int DIM, bool SUM>
void RunFieldLoop(const nuqFieldLoop &loop, nuqFieldStatistics &stats) {
  const float(*m)[4] = loop.grid->m_fImageToWorld;
  const bool timeAxis = loop.grid->m_iDimension >= 4 && loop.grid->m_fSpacing[3] != 0.0f;
  const int nx = loop.size[0], ny = loop.size[1], nz = loop.size[2];
  const long long rows = (long long)ny * nz * loop.size[3];
  auto compute = [&](long long row, nuqFieldRowScratch &scratch) {
    const int y = int(row % ny), z = int(row / ny % nz), t = int(row / ny / nz);
    scratch.counted.resize(size_t(nx));
    long long index = row * nx;
    for (int x = 0; x < nx; ++x, ++index) {
      // The reference's grid-to-world mapping, term by term as the image
      // geometry evaluates it.
      const float fx = float(x), fy = float(y), fz = float(z);
      float p[4];
      for (int i = 0; i < 3; ++i) p[i] = m[i][0] * fx + m[i][1] * fy + m[i][2] * fz + m[i][3];
      p[3] = timeAxis ? loop.grid->m_fSpacing[3] * float(t) + loop.grid->m_fOrigin[3] : float(t);
      float d[DIM];
      if (SUM) {
        for (int k = 0; k < DIM; ++k) d[k] = 0;
        for (int i = 0; i < loop.count; ++i) {
          if (!loop.transforms[i]) continue;
          float q[4] = {p[0], p[1], p[2], p[3]};
          loop.transforms[i]->TransformWorldToWorld(p, q);
          for (int k = 0; k < DIM; ++k) d[k] += q[k] - p[k];
        }
      } else {
        float q[4] = {p[0], p[1], p[2], p[3]};
        JointTransformWorldToWorld(loop.transforms, loop.count, DIM, p, q);
        for (int k = 0; k < DIM; ++k) d[k] = q[k] - p[k];
      }
      float squares = 0;
      for (int k = 0; k < DIM; ++k) {
        loop.out[k][index] = d[k];
        squares += d[k] * d[k];
      }
      loop.magnitude[index] = std::sqrt(squares);

      char counted = 1;
      if (loop.mask) {
        float g[4] = {p[0], p[1], p[2], p[3]};
        loop.mask->WorldToImage(g);
        counted = loop.maskModel->GetPixelGreyscaleAt(g[0], g[1], g[2], g[3]) != 0;
      }
      scratch.counted[size_t(x)] = counted;
    }
  };
  auto accumulate = [&](long long row, const nuqFieldRowScratch &scratch) {
    const float *magnitude = loop.magnitude + row * nx;
    for (int x = 0; x < nx; ++x) {
      if (!scratch.counted[size_t(x)]) continue;
      const float value = magnitude[x];
      stats.count += 1;
      stats.sum += value;
      stats.sumSquares += double(value) * value;
      if (value > stats.maximum) stats.maximum = value;
      if (value < stats.minimum) stats.minimum = value;
    }
  };
  ParallelOrdered<nuqFieldRowScratch>(rows, compute, accumulate);
}

template <int DIM>
void RunFieldLoop(const nuqFieldLoop &loop, bool sum, nuqFieldStatistics &stats) {
  if (sum)
    RunFieldLoop<DIM, true>(loop, stats);
  else
    RunFieldLoop<DIM, false>(loop, stats);
}

}  // namespace

nuqFieldStatistics ComputeDisplacementField(const nuqImageDataT<short> &reference,
                                            nuqTransformBase **transforms, int count,
                                            bool sum, const nuqImageDataT<short> &mask,
                                            nuqImageDataT<float> *components,
                                            nuqImageDataT<float> &magnitude) {
  if (IsSuccessShown()) std::cout << "success: start computing the transformation field ....\n";

  const nuqImageInfo *grid = reference.GetInfo();
  const int dim = reference.GetDimension();
  if (dim < 1 || dim > 4) {
    std::cerr << "error: reference image of dimension " << dim << " has no displacement field\n";
    return nuqFieldStatistics();
  }
  const int *size = reference.GetSizeArray();
  const int nx = size[0] > 0 ? size[0] : 1;
  const int ny = size[1] > 0 ? size[1] : 1;
  const int nz = size[2] > 0 ? size[2] : 1;
  const int nt = size[3] > 0 ? size[3] : 1;

  // Output buffers are written in linear order (x fastest), as the loop runs.
  float *out[4] = {nullptr, nullptr, nullptr, nullptr};
  for (int k = 0; k < dim; ++k) out[k] = components[k].GetImageData();
  float *outMagnitude = magnitude.GetImageData();
  const long long voxels = (long long)nx * ny * nz * nt;
  bool writable = outMagnitude && magnitude.GetNumberOfPixels() == voxels;
  for (int k = 0; k < dim; ++k)
    writable = writable && out[k] && components[k].GetNumberOfPixels() == voxels;
  if (!writable) {
    std::cerr << "error: displacement field images do not match the reference grid\n";
    return nuqFieldStatistics();
  }

  nuqImageModelingLinearT<short, float> maskModel;
  maskModel.SetImage(const_cast<nuqImageDataT<short> *>(&mask));
  const nuqFieldLoop loop = {grid,           {nx, ny, nz, nt},
                             transforms,     count,
                             mask.IsEmpty() ? nullptr : &mask, &maskModel,
                             {out[0], out[1], out[2], out[3]}, outMagnitude};

  // Accumulated in double: a float count stops growing at 2^24 voxels.
  nuqFieldStatistics stats;
  switch (dim) {
    case 1: RunFieldLoop<1>(loop, sum, stats); break;
    case 2: RunFieldLoop<2>(loop, sum, stats); break;
    case 3: RunFieldLoop<3>(loop, sum, stats); break;
    default: RunFieldLoop<4>(loop, sum, stats); break;
  }

  // With no voxel counted the divisions give not-a-number, printed as such.
  const float warping = float(std::sqrt(stats.sumSquares / stats.count));
  const double mean = stats.sum / stats.count;
  // Rounding can leave a tiny negative variance for a uniform field; that is
  // 0, not not-a-number (a NaN from no counted voxel stays NaN).
  double variance = stats.sumSquares / stats.count - mean * mean;
  if (variance < 0) variance = 0;
  const float deviation = float(std::sqrt(variance));
  if (IsSuccessShown()) {
    std::cout << "success: transformation field computation finished \n";
    std::cout << "success: warping_index mean std max min =\t" << warping << "\t" << float(mean)
              << "\t" << deviation << "\t" << stats.maximum << "\t" << stats.minimum << "\n";
  }
  return stats;
}

bool SaveDisplacementField(nuqImageDataT<float> *components, int dim,
                           nuqImageDataT<float> &magnitude, bool saveMagnitude,
                           const std::string &prefix) {
  if (prefix.empty()) return true;
  if (dim > 4) dim = 4;
  bool written = true;
  std::string names[4];
  for (int k = 0; k < 4; ++k) names[k] = prefix + kComponentSuffixes[k] + "nii.gz";
  // The components (and the magnitude) are compressed at the same time; the
  // lines keep the order of the steps.
  nuqImageSaveBatch<float> batch;
  for (int k = 0; k < dim; ++k) batch.Add(&components[k], names[k]);
  const int magnitudeFile = saveMagnitude ? batch.Add(&magnitude, prefix + "_mag.") : -1;
  batch.Write();
  for (int k = 0; k < dim; ++k) {
    if (!batch.Finish(k)) {
      written = false;
      continue;
    }
    if (IsSuccessShown()) std::cout << "success: saved " << names[k] << " \n";
  }
  // Frees the memory of the components before the field reads them back.
  for (int k = 0; k < dim; ++k) components[k].ReleaseImage();

  // An FLD text over components that were not written would pair the new
  // field file with older images: it is written only after all of them.
  if (written) {
    nuqTransformFields field;
    field.SetDimension(dim);
    // A failed read-back still leaves the names read so far for the text.
    field.SetTransformFieldsByFileNameArray(names);
    if (WriteTextFile(field.GetTransformText(), prefix + ".FLD")) {
      if (IsSuccessShown()) std::cout << "success: saved " << prefix << ".FLD" << " \n";
    } else {
      written = false;
    }
  }

  if (saveMagnitude && !batch.Finish(magnitudeFile)) written = false;
  return written;
}

int RunFieldAction(nuqRun &run) {
  ComputeDisplacementField(run.referenceImage, run.apTransforms, run.nTransformsRead,
                           run.settings.bSum, run.maskImage, run.componentImages,
                           run.magnitudeImage);
  const bool written =
      SaveDisplacementField(run.componentImages, run.referenceImage.GetDimension(),
                            run.magnitudeImage, run.settings.bMag, run.settings.strOutputPrefix);
  return written ? kRunOk : kRunOutputUnwritable;
}
