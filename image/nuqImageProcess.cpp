#include "nuqImageProcess.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <type_traits>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageModeling.h"

namespace {

// Wider kernels are refused: they would only repeat the edge voxels.
const float kMaxKernelHalfWidth = 1.0e6f;

// Convolves every line of `from` along `axis` with the kernel into `to`
// (same grid). Each line is first copied into a buffer padded by C voxels
// on both sides with its edge voxel, so the interior sum needs no tests.
void ConvolveAxis(const float *from, float *to, const int *n, int axis,
                  const std::vector<float> &weights, std::vector<float> &line) {
  const int c = static_cast<int>(weights.size() / 2);
  const int stride[4] = {1, n[0], n[0] * n[1], n[0] * n[1] * n[2]};
  const int length = n[axis];
  const int step = stride[axis];
  line.resize(static_cast<size_t>(length) + 2 * static_cast<size_t>(c));
  // Visit every line start: all voxels whose index along `axis` is 0.
  int other[3], count[3], j = 0;
  for (int d = 0; d < 4; ++d)
    if (d != axis) {
      other[j] = stride[d];
      count[j] = n[d];
      ++j;
    }
  for (int a = 0; a < count[2]; ++a)
    for (int b = 0; b < count[1]; ++b)
      for (int e = 0; e < count[0]; ++e) {
        const long start = long(a) * other[2] + long(b) * other[1] + long(e) * other[0];
        const float *src = from + start;
        for (int i = 0; i < c; ++i) line[i] = src[0];
        for (int i = 0; i < length; ++i) line[c + i] = src[long(i) * step];
        for (int i = 0; i < c; ++i) line[c + length + i] = src[long(length - 1) * step];
        float *dst = to + start;
        for (int i = 0; i < length; ++i) {
          const float *window = &line[i];
          float sum = 0.0f;
          for (size_t k = 0; k < weights.size(); ++k) sum += weights[k] * window[k];
          dst[long(i) * step] = sum;
        }
      }
}

// Squared distance transform of one sampled line (f: 0 at unselected voxels,
// +inf elsewhere) with squared spacing w: out[p] = min_q w (p - q)^2 + f[q].
// Lower envelope of the parabolas rooted at the finite samples, as in
// Felzenszwalb and Huttenlocher; v and z are work arrays of n and n + 1.
void DistanceLine(const double *f, double *out, int n, double w, int *v, double *z) {
  const double inf = std::numeric_limits<double>::infinity();
  int k = -1;
  for (int q = 0; q < n; ++q) {
    if (f[q] == inf) continue;
    if (k < 0) {
      k = 0;
      v[0] = q;
      z[0] = -inf;
      z[1] = inf;
      continue;
    }
    if (w == 0.0) {
      // No cost along this axis: keep only the smallest sample.
      if (f[q] < f[v[0]]) v[0] = q;
      continue;
    }
    // Drop the parabolas that the new one hides; z[0] = -inf stops at k = 0.
    const double fq = f[q] + w * double(q) * double(q);
    double s;
    for (;;) {
      const int p = v[k];
      s = (fq - (f[p] + w * double(p) * double(p))) / (2.0 * w * double(q - p));
      if (s > z[k] || k == 0) break;
      --k;
    }
    ++k;
    v[k] = q;
    z[k] = s;
    z[k + 1] = inf;
  }
  if (k < 0) {
    for (int p = 0; p < n; ++p) out[p] = inf;
    return;
  }
  int j = 0;
  for (int p = 0; p < n; ++p) {
    while (z[j + 1] < double(p)) ++j;
    const double d = double(p - v[j]);
    out[p] = w * d * d + f[v[j]];
  }
}

}  // namespace

// ---- nuqImageProcessGaussianT ----

template <class T, class R>
nuqImageProcessGaussianT<T, R>::nuqImageProcessGaussianT() : m_fKernelRadiusFactor(2.0f) {
  for (int d = 0; d < 4; ++d) m_fSigma[d] = 0.0f;
}

template <class T, class R>
void nuqImageProcessGaussianT<T, R>::SetSigma(const float *sigma) {
  if (sigma == nullptr) return;
  for (int d = 0; d < 4; ++d) m_fSigma[d] = sigma[d];
}

template <class T, class R>
void nuqImageProcessGaussianT<T, R>::SetSigma(int axis, float sigma) {
  if (axis >= 0 && axis < 4) m_fSigma[axis] = sigma;
}

template <class T, class R>
bool nuqImageProcessGaussianT<T, R>::Run() {
  nuqImageDataT<T> *input = this->m_pInputImage;
  nuqImageDataT<T> *output = this->m_pOutputImage;
  if (input == nullptr || output == nullptr || input->IsEmpty()) return false;
  const int dimension = input->GetDimension();
  const int *size = input->GetSizeArray();
  const float *spacing = input->GetSpacingArray();

  // Kernel widths first, so that a refused kernel leaves the output alone.
  int halfWidth[4] = {0, 0, 0, 0};
  for (int d = 0; d < dimension && d < 4; ++d) {
    const float c = std::floor(m_fSigma[d] * m_fKernelRadiusFactor);
    if (c > kMaxKernelHalfWidth) {
      std::cerr << "error: Gaussian kernel of dimension " << d << " is too wide (sigma "
                << m_fSigma[d] << ")\n";
      return false;
    }
    halfWidth[d] = c >= 1.0f ? static_cast<int>(c) : 0;
  }

  nuqImageDataT<float> a, b;
  if (!a.NewImage(dimension, size, spacing, input->GetInfo()) ||
      !b.NewImage(dimension, size, spacing, input->GetInfo()))
    return false;
  const int count = input->GetNumberOfPixels();
  {
    const T *from = input->GetImageData();
    float *to = a.GetImageData();
    for (int i = 0; i < count; ++i) to[i] = static_cast<float>(from[i]);
  }
  nuqImageDataT<float> *current = &a, *next = &b;
  std::vector<float> weights, line;
  for (int d = 0; d < dimension && d < 4; ++d) {
    const int c = halfWidth[d];
    if (IsDebugShown())
      std::cout << "debug: dimension " << d << " kernal size " << (2 * c + 1) << "\n";
    if (c <= 0) continue;
    const float s = m_fSigma[d];
    weights.assign(static_cast<size_t>(2 * c + 1), s);
    if (s > 0.0f) {
      for (int k = -c; k <= c; ++k)
        weights[k + c] = std::exp(-0.5f * float(k) * float(k) / (s * s)) * 0.39894228f / s;
    } else {
      std::cerr << "error: sigma=0 in Gaussian function\n";
    }
    float sum = 0.0f;
    for (float w : weights) sum += w;
    if (sum > 0.0f)
      for (float &w : weights) w /= sum;
    ConvolveAxis(current->GetImageData(), next->GetImageData(), size, d, weights, line);
    std::swap(current, next);
  }

  if (!output->GetInfo()->IsSameGrid(input->GetInfo())) {
    // The placement is read from the input before the output is rebuilt.
    nuqImageInfo placement;
    input->GetInfo()->Clone(&placement);
    if (!output->NewImage(dimension, size, spacing, &placement)) return false;
  }
  const bool integerCode = IsIntegerGiplCode(output->GetDataType());
  const float *from = current->GetImageData();
  T *to = output->GetImageData();
  for (int i = 0; i < count; ++i) to[i] = nuqStoreVoxelValue<T>(from[i], integerCode);
  return true;
}

// ---- distance map ----

template <class T>
bool ComputeDistanceMap(const nuqImageDataT<T> *source, nuqImageDataT<float> *out, int lower,
                        int upper, bool inside, bool squared) {
  if (source == nullptr || out == nullptr || source->IsEmpty()) return false;
  // A float volume may be asked for its own map: keep the labels apart.
  nuqImageDataT<T> copy;
  if (static_cast<const void *>(source) == static_cast<const void *>(out)) {
    source->Clone(&copy);
    source = &copy;
  }
  const int dimension = source->GetDimension();
  const int *n = source->GetSizeArray();
  const float *spacing = source->GetSpacingArray();
  nuqImageInfo fresh;
  if (!out->NewImage(dimension, n, spacing, &fresh)) return false;
  out->AlignGridTo(source->GetInfo(), 0);

  const float inf = std::numeric_limits<float>::infinity();
  const int count = source->GetNumberOfPixels();
  const T *labels = source->GetImageData();
  float *map = out->GetImageData();
  for (int i = 0; i < count; ++i) {
    const double v = static_cast<double>(labels[i]);
    const bool inRange = v >= double(lower) && v <= double(upper);
    map[i] = (inRange == inside) ? inf : 0.0f;
  }

  // One pass per spatial axis over every line of every time frame.
  const int stride[3] = {1, n[0], n[0] * n[1]};
  const int frame = n[0] * n[1] * n[2];
  int longest = 1;
  for (int d = 0; d < 3; ++d) longest = n[d] > longest ? n[d] : longest;
  std::vector<double> f(longest), result(longest), z(longest + 1);
  std::vector<int> v(longest);
  for (int axis = 0; axis < dimension && axis < 3; ++axis) {
    const int length = n[axis];
    const int step = stride[axis];
    const double w = double(spacing[axis]) * double(spacing[axis]);
    const int u = axis == 0 ? 1 : 0, t = axis == 2 ? 1 : 2;  // the two other axes
    for (int frameIndex = 0; frameIndex < n[3]; ++frameIndex)
      for (int b = 0; b < n[t]; ++b)
        for (int a = 0; a < n[u]; ++a) {
          float *line = map + long(frameIndex) * frame + long(a) * stride[u] + long(b) * stride[t];
          for (int i = 0; i < length; ++i) f[i] = double(line[long(i) * step]);
          DistanceLine(f.data(), result.data(), length, w, v.data(), z.data());
          for (int i = 0; i < length; ++i) line[long(i) * step] = float(result[i]);
        }
  }

  // Without any unselected voxel the distance is the largest one a 32-bit
  // integer holds.
  const float none = 2147483647.0f;
  for (int i = 0; i < count; ++i) {
    float value = map[i] == inf ? none : map[i];
    map[i] = squared ? value : std::sqrt(value);
  }
  return true;
}

template class nuqImageProcessBaseT<short, float>;
template class nuqImageProcessBaseT<float, float>;
template class nuqImageProcessBaseT<char, float>;
template class nuqImageProcessGaussianT<short, float>;
template class nuqImageProcessGaussianT<float, float>;
template class nuqImageProcessGaussianT<char, float>;
template bool ComputeDistanceMap<short>(const nuqImageDataT<short> *, nuqImageDataT<float> *, int,
                                        int, bool, bool);
template bool ComputeDistanceMap<float>(const nuqImageDataT<float> *, nuqImageDataT<float> *, int,
                                        int, bool, bool);
template bool ComputeDistanceMap<char>(const nuqImageDataT<char> *, nuqImageDataT<float> *, int,
                                       int, bool, bool);
