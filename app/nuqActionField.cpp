#include "nuqActionField.h"

#include <cmath>
#include <iostream>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqImageModeling.h"
#include "nuqRun.h"
#include "nuqTransformBase.h"
#include "nuqTransformFields.h"

namespace {

const char *const kComponentSuffixes[4] = {"_x.", "_y.", "_z.", "_t."};

}  // namespace

nuqFieldStatistics ComputeDisplacementField(const nuqImageDataT<short> &reference,
                                            nuqTransformBase **transforms, int count,
                                            bool sum, const nuqImageDataT<short> &mask,
                                            nuqImageDataT<float> *components,
                                            nuqImageDataT<float> &magnitude) {
  if (IsSuccessShown()) std::cout << "success: start computing the transformation field ....\n";

  const nuqImageInfo *grid = reference.GetInfo();
  int dim = reference.GetDimension();
  if (dim > 4) dim = 4;
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

  const bool useMask = !mask.IsEmpty();
  nuqImageModelingLinearT<short, float> maskModel;
  maskModel.SetImage(const_cast<nuqImageDataT<short> *>(&mask));

  // Accumulated in double: a float count stops growing at 2^24 voxels.
  nuqFieldStatistics stats;
  long long index = 0;
  for (int t = 0; t < nt; ++t)
    for (int z = 0; z < nz; ++z)
      for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x, ++index) {
          float p[4] = {float(x), float(y), float(z), float(t)};
          grid->GridToWorld(p);
          float d[4] = {0, 0, 0, 0};
          if (sum) {
            for (int i = 0; i < count; ++i) {
              if (!transforms[i]) continue;
              float q[4] = {p[0], p[1], p[2], p[3]};
              transforms[i]->TransformWorldToWorld(p, q);
              for (int k = 0; k < dim; ++k) d[k] += q[k] - p[k];
            }
          } else {
            float q[4] = {p[0], p[1], p[2], p[3]};
            JointTransformWorldToWorld(transforms, count, dim, p, q);
            for (int k = 0; k < dim; ++k) d[k] = q[k] - p[k];
          }
          float squares = 0;
          for (int k = 0; k < dim; ++k) {
            out[k][index] = d[k];
            squares += d[k] * d[k];
          }
          const float m = std::sqrt(squares);
          outMagnitude[index] = m;

          if (useMask) {
            float g[4] = {p[0], p[1], p[2], p[3]};
            mask.WorldToImage(g);
            if (maskModel.GetPixelGreyscaleAt(g[0], g[1], g[2], g[3]) == 0) continue;
          }
          stats.count += 1;
          stats.sum += m;
          stats.sumSquares += double(m) * m;
          if (m > stats.maximum) stats.maximum = m;
          if (m < stats.minimum) stats.minimum = m;
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
  for (int k = 0; k < dim; ++k) {
    if (!SaveImageFile(&components[k], names[k])) {
      written = false;
      continue;
    }
    if (IsSuccessShown()) std::cout << "success: saved " << names[k] << " \n";
  }
  // Frees the memory of the components before the field reads them back.
  for (int k = 0; k < dim; ++k) components[k].ReleaseImage();

  {
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

  if (saveMagnitude && !SaveImageFile(&magnitude, prefix + "_mag.")) written = false;
  return written;
}

int RunFieldAction(nuqRun &run) {
  ComputeDisplacementField(run.referenceImage, run.apTransforms, run.nTransformsRead,
                           run.settings.bSum, run.maskImage, run.componentImages,
                           run.magnitudeImage);
  const bool written =
      SaveDisplacementField(run.componentImages, run.referenceImage.GetDimension(),
                            run.magnitudeImage, run.settings.bMag, run.settings.strOutputPrefix);
  return written ? 0 : -1;
}
