#include "nuqActionCompare.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqImageModeling.h"
#include "nuqParallel.h"
#include "nuqTransformBase.h"

namespace {

const char *const kAxisSuffixes[4] = {"_x.", "_y.", "_z.", "_t."};

int ClampedDimension(const nuqImageDataT<short> &reference) {
  const int dim = reference.GetDimension();
  return dim < 1 ? 1 : (dim > 4 ? 4 : dim);
}

// Per-axis and magnitude images on the reference grid, zero-filled.
struct nuqErrorImages {
  nuqImageDataT<float> axes[4];
  nuqImageDataT<float> magnitude;

  bool Create(const nuqImageDataT<short> &reference, int dim) {
    for (int k = 0; k < dim; ++k)
      if (!axes[k].NewImage(reference.GetInfo())) return false;
    return magnitude.NewImage(reference.GetInfo());
  }
  // The images are compressed at the same time, their lines in this order.
  // False when an image was not written (its writer says why).
  bool Save(int dim, const std::string &prefix, const std::string &infix) {
    nuqImageSaveBatch<float> batch;
    for (int k = 0; k < dim; ++k) {
      axes[k].SetDataType(64);
      batch.Add(&axes[k], prefix + infix + kAxisSuffixes[k]);
    }
    magnitude.SetDataType(64);
    batch.Add(&magnitude, prefix + infix + "_mag.");
    batch.Write();
    bool written = true;
    for (int k = 0; k <= dim; ++k)
      if (!batch.Finish(k)) written = false;
    return written;
  }
};

// The loop shared by the two reports. errorAt(p, e) fills e[0..dim-1] and
// returns the sum of squares that enters the rms; it is a template argument
// so the per-voxel call is inlined.
template <class ErrorAt>
std::string CompareOnGrid(const nuqImageDataT<short> &reference, bool save,
                          const std::string &prefix, const nuqImageDataT<short> &mask,
                          const char *infix, const char *header, bool *saved,
                          ErrorAt errorAt) {
  const int dim = ClampedDimension(reference);
  nuqErrorImages images;
  bool written = true;
  // Images that cannot be made are outputs not written, not a quiet skip.
  if (save && !images.Create(reference, dim)) {
    save = false;
    written = false;
  }

  const bool useMask = !mask.IsEmpty();
  nuqImageModelingBaseT<short, float> maskModel;
  maskModel.SetImage(const_cast<nuqImageDataT<short> *>(&mask));

  const int *size = reference.GetSizeArray();
  const int nx = size[0], ny = size[1], nz = size[2];
  int n = 0;
  double sum = 0, sumSquares = 0, rmsSquares = 0;
  float maximum = 0, minimum = 9999;
  // Rows (fixed y, z, t) are computed in parallel; their figures enter the
  // sums in row order afterwards, so the report does not depend on threads.
  struct Row {
    std::vector<float> magnitude, rms;
    std::vector<char> counted;
  };
  auto compute = [&](long long row, Row &scratch) {
    const int y = int(row % ny), z = int(row / ny % nz), t = int(row / ny / nz);
    scratch.magnitude.resize(size_t(nx));
    scratch.rms.resize(size_t(nx));
    scratch.counted.resize(size_t(nx));
    for (int x = 0; x < nx; ++x) {
      float p[4] = {float(x), float(y), float(z), float(t)};
      reference.ImageToWorld(p);
      scratch.counted[size_t(x)] = 0;
      if (useMask) {
        float g[4] = {p[0], p[1], p[2], p[3]};
        mask.WorldToImage(g);
        if (maskModel.GetValueClamped(g[0], g[1], g[2], g[3]) == 0) continue;
      }
      float e[4] = {0, 0, 0, 0};
      scratch.rms[size_t(x)] = errorAt(p, e);
      float squares = 0;
      for (int k = 0; k < dim; ++k) squares += e[k] * e[k];
      const float m = std::sqrt(squares);
      if (save) {
        for (int k = 0; k < dim; ++k) images.axes[k].SetPixelByGreyscale(x, y, z, t, std::fabs(e[k]));
        images.magnitude.SetPixelByGreyscale(x, y, z, t, m);
      }
      scratch.magnitude[size_t(x)] = m;
      scratch.counted[size_t(x)] = 1;
    }
  };
  auto accumulate = [&](long long, const Row &scratch) {
    for (int x = 0; x < nx; ++x) {
      if (!scratch.counted[size_t(x)]) continue;
      ++n;
      rmsSquares += scratch.rms[size_t(x)];
      const float m = scratch.magnitude[size_t(x)];
      sum += m;
      sumSquares += double(m * m);
      if (m > maximum) maximum = m;
      if (m < minimum) minimum = m;
    }
  };
  ParallelOrdered<Row>((long long)ny * nz * size[3], compute, accumulate);

  const double rms = std::sqrt(rmsSquares / n);
  const double avg = sum / n;
  const float deviation = float(std::sqrt((sumSquares / n - avg * avg) * n / (n - 1)));
  char text[512];
  std::snprintf(text, sizeof text, "%s%10Lf\t%10Lf\t%10f\t%10f\t%10f\t%10i\n",
                g_nVerbose >= 1 ? header : "", (long double)rms, (long double)avg,
                double(deviation), double(maximum), double(minimum), n);
  if (save && !images.Save(dim, prefix, infix)) written = false;
  if (saved) *saved = written;
  return text;
}

}  // namespace

std::string ComputeTransformDifference(const nuqImageDataT<short> &reference,
                                       nuqTransformBase *first, nuqTransformBase *second,
                                       bool save, const std::string &prefix,
                                       const nuqImageDataT<short> &mask, bool *saved) {
  const int dim = ClampedDimension(reference);
  return CompareOnGrid(
      reference, save, prefix, mask, "_realerror",
      "RealError warping_index(mm)\tavg(mm)\tstd(mm)\tmax(mm)\tmin(mm)\tVoxelsMask\t\t\t\t \n\t",
      saved,
      [&](const float *p, float *e) {
        float a[4] = {p[0], p[1], p[2], p[3]}, b[4] = {p[0], p[1], p[2], p[3]};
        first->TransformWorldToWorld(p, a);
        second->TransformWorldToWorld(p, b);
        float squares = 0;
        for (int k = 0; k < dim; ++k) {
          e[k] = a[k] - b[k];
          squares += e[k] * e[k];
        }
        return squares;
      });
}

std::string ComputeInverseConsistency(const nuqImageDataT<short> &reference,
                                      nuqTransformBase **transforms, int count, bool save,
                                      const std::string &prefix,
                                      const nuqImageDataT<short> &mask, bool *saved) {
  const int dim = ClampedDimension(reference);
  return CompareOnGrid(
      reference, save, prefix, mask, "_ic",
      "ic rms(mm)\tavg(mm)\tstd(mm)\tmax(mm)\tmin(mm)\tVoxelsMask\t\t\t\t \n\t", saved,
      [&](const float *p, float *e) {
        float q[4] = {p[0], p[1], p[2], p[3]};
        for (int i = 0; i < count; ++i) {
          if (!transforms[i]) continue;
          float next[4] = {q[0], q[1], q[2], q[3]};
          transforms[i]->TransformWorldToWorld(q, next);
          for (int k = 0; k < 4; ++k) q[k] = next[k];
        }
        float squares = 0;
        for (int k = 0; k < dim; ++k) {
          e[k] = q[k] - p[k];
          squares += e[k] * e[k];
        }
        // The rms of inverse consistency is taken from the squared magnitude.
        const float m = std::sqrt(squares);
        return m * m;
      });
}

bool ComputeInverseError(const nuqImageDataT<short> &reference, nuqTransformBase *forward,
                         nuqTransformBase *inverse, const std::string &prefix) {
  const int dim = ClampedDimension(reference);
  nuqErrorImages images;
  if (!images.Create(reference, dim)) return false;
  const int *size = reference.GetSizeArray();
  const int nx = size[0], ny = size[1], nz = size[2];
  // Every voxel writes only its own values: rows run in parallel.
  ParallelFor((long long)ny * nz * size[3], [&](long long row) {
    const int y = int(row % ny), z = int(row / ny % nz), t = int(row / ny / nz);
    for (int x = 0; x < nx; ++x) {
      float p[4] = {float(x), float(y), float(z), float(t)};
      reference.ImageToWorld(p);
      float q[4] = {p[0], p[1], p[2], p[3]}, r[4] = {p[0], p[1], p[2], p[3]};
      forward->TransformWorldToWorld(p, q);
      inverse->TransformWorldToWorld(q, r);
      float squares = 0;
      for (int k = 0; k < dim; ++k) {
        const float e = r[k] - p[k];
        images.axes[k].SetPixelByGreyscale(x, y, z, t, e);
        squares += e * e;
      }
      images.magnitude.SetPixelByGreyscale(x, y, z, t, std::sqrt(squares));
    }
  });
  return images.Save(dim, prefix, "");
}
