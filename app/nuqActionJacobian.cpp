#include "nuqActionJacobian.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqImageModeling.h"
#include "nuqMatrix.h"
#include "nuqParallel.h"
#include "nuqTransformBase.h"
#include "nuqTransformFFDBase.h"

namespace {

// Determinant of one chain link at world point q.
float LinkDeterminant(nuqTransformBase *transform, nuqTransformFFDBase *ffd, const float *q) {
  float jacobian[16];
  SetIdentityMatrix(jacobian, 4);
  if (ffd) {
    float grid[4] = {q[0], q[1], q[2], q[3]};
    ffd->GetControlGridInfo()->WorldToGrid(grid);
    ffd->GetJacobianMatrixAtControlGrid(grid, jacobian);
  } else {
    transform->GetJacobianMatrixWorld(q, jacobian);
  }
  return Determinant3x3(jacobian, 4);
}

}  // namespace

bool ComputeJacobianMap(const nuqImageDataT<short> &reference,
                        nuqImageDataT<float> &jacobianImage,
                        const nuqImageDataT<short> &mask, nuqTransformBase **transforms,
                        int count, const std::string &prefix) {
  if (IsSuccessShown()) std::cout << "success: will computing jacobian values \n";

  const int *size = reference.GetSizeArray();
  const int nx = size[0], ny = size[1], nz = size[2], nt = size[3];
  const bool save = !prefix.empty() && jacobianImage.GetNumberOfPixels() ==
                                           (long long)nx * ny * nz * nt;

  // The type test is made once per transform, not per voxel.
  std::vector<nuqTransformFFDBase *> ffds(count > 0 ? count : 0, nullptr);
  for (int i = 0; i < count; ++i)
    if (transforms[i] && transforms[i]->GetTransformType() == "FFD")
      ffds[i] = dynamic_cast<nuqTransformFFDBase *>(transforms[i]);

  const bool useMask = !mask.IsEmpty();
  nuqImageModelingBaseT<short, float> maskModel;
  maskModel.SetImage(const_cast<nuqImageDataT<short> *>(&mask));

  double n = 0, sum = 0, sumSquares = 0, maximum = -1e20, minimum = 1e20;
  // Per (y, x) column sums, added up row by row for the atrophy figure.
  std::vector<double> columns(size_t(nx) * ny, 0.0);
  // The voxels are visited t, y, x, then z innermost. Each (t, y) plane is
  // computed in parallel; its determinants enter the sums in that order,
  // plane after plane, so the figures do not depend on the threads.
  struct Plane {
    std::vector<float> h;       // x-major, z-minor
    std::vector<char> counted;  // false: outside the mask
  };
  auto compute = [&](long long plane, Plane &scratch) {
    const int t = int(plane / ny), y = int(plane % ny);
    scratch.h.resize(size_t(nx) * nz);
    scratch.counted.resize(size_t(nx) * nz);
    size_t i = 0;
    for (int x = 0; x < nx; ++x)
      for (int z = 0; z < nz; ++z, ++i) {
        float p[4] = {float(x), float(y), float(z), float(t)};
        reference.ImageToWorld(p);
        scratch.counted[i] = 0;
        if (useMask) {
          float g[4] = {p[0], p[1], p[2], p[3]};
          mask.WorldToImage(g);
          if (!mask.InsideGridTolerant(g[0], g[1], g[2], g[3])) continue;
          if (maskModel.GetValue4D(g[0], g[1], g[2], g[3]) == 0) continue;
        }
        float h = 1;
        float q[4] = {p[0], p[1], p[2], p[3]};
        for (int k = 0; k < count; ++k) {
          if (!transforms[k]) continue;
          h *= LinkDeterminant(transforms[k], ffds[k], q);
          if (k + 1 < count) {
            float next[4] = {q[0], q[1], q[2], q[3]};
            transforms[k]->TransformWorldToWorld(q, next);
            for (int c = 0; c < 4; ++c) q[c] = next[c];
          }
        }
        if (save) jacobianImage.SetPixelByGreyscale(x, y, z, t, h);
        scratch.h[i] = h;
        scratch.counted[i] = 1;
      }
  };
  auto accumulate = [&](long long plane, const Plane &scratch) {
    const int y = int(plane % ny);
    size_t i = 0;
    for (int x = 0; x < nx; ++x)
      for (int z = 0; z < nz; ++z, ++i) {
        if (!scratch.counted[i]) continue;
        const float h = scratch.h[i];
        n += 1;
        sum += h;
        columns[size_t(y) * nx + x] += h;
        sumSquares += double(h * h);
        if (h > maximum) maximum = h;
        if (h < minimum) minimum = h;
      }
  };
  ParallelOrdered<Plane>((long long)nt * ny, compute, accumulate);

  bool written = true;
  double atrophySum = 0;
  for (int y = 0; y < ny; ++y) {
    double row = 0;
    for (int x = 0; x < nx; ++x) row += columns[size_t(y) * nx + x];
    atrophySum += row;
  }
  const double atrophy = 1 - atrophySum / n;

  if (g_nVerbose >= 1) {
    const double mean = sum / n;
    // A constant map can round to a tiny negative variance: that is 0.
    double variance = sumSquares / n - sum * sum / (n * n);
    if (variance < 0) variance = 0;
    std::cout << "\t Mask jacobian (mean, std, max, min)\t" << mean << "\t" << std::sqrt(variance)
              << "\t" << maximum << "\t" << minimum << "\n";
    std::cout << "\t Mask volume atrophy (1-Vref/Vtest) \t " << atrophy << "\n";
  } else {
    char text[64];
    std::snprintf(text, sizeof text, "Atrophy Rate: %.2f%%", float(atrophy) * 100);
    const std::string infoName = reference.GetFileName() + "_info.txt";
    if (!WriteTextFile(text, infoName)) {
      // At this verbosity the file is the only result the run gives.
      std::cerr << "error: the atrophy rate was not saved in " << infoName << "\n";
      written = false;
    }
  }

  if (save) {
    jacobianImage.SetDataType(64);
    if (!SaveImageFile(&jacobianImage, prefix)) written = false;
  }
  return written;
}
