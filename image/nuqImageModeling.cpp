#include "nuqImageModeling.h"

#include <cmath>
#include <iostream>

#include "nuqTransformBase.h"

namespace {

// Every loop below takes the concrete model type, so its per-voxel samples
// are bound at compile time (nearest or linear) instead of dispatched.

template <class Model>
void WorldGradient(const Model &m, float *grad, float x, float y, float z, float t) {
  const auto *image = m.GetImage();
  if (image == nullptr) {
    std::cerr << "error: have not set image before getting gradient\n";
    return;
  }
  const int dimension = image->GetDimension();
  const float *spacing = image->GetSpacingArray();
  for (int d = 0; d < dimension && d < 4; ++d) {
    const float s = spacing[d];
    if (s <= 0.0f) {
      std::cerr << "error: get gradient of dimension " << d << " which has " << s << " mm spacing\n";
      return;
    }
    float plus[4] = {x, y, z, t};
    float minus[4] = {x, y, z, t};
    plus[d] += s / 2;
    minus[d] -= s / 2;
    grad[d] = (m.GetWorldValue(plus) - m.GetWorldValue(minus)) / s;
  }
}

template <class Model>
float GradientMagnitude(const Model &m, float x, float y, float z, float t) {
  const auto *image = m.GetImage();
  if (image == nullptr) return 0.0f;
  float grad[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  float p[4] = {x, y, z, t};
  image->GridToWorld(p);
  WorldGradient(m, grad, p[0], p[1], p[2], p[3]);
  float sum = 0.0f;
  for (int d = 0; d < image->GetDimension() && d < 4; ++d) sum += grad[d] * grad[d];
  return std::sqrt(sum);
}

// Largest (wantMax) or smallest gradient magnitude over every grid point.
template <class Model>
float ExtremeGradientMagnitude(const Model &m, bool wantMax) {
  const auto *image = m.GetImage();
  if (image == nullptr || image->IsEmpty()) return 0.0f;
  const int *n = image->GetSizeArray();
  float best = wantMax ? 0.0f : GradientMagnitude(m, 0.0f, 0.0f, 0.0f, 0.0f);
  for (int t = 0; t < n[3]; ++t)
    for (int z = 0; z < n[2]; ++z)
      for (int y = 0; y < n[1]; ++y)
        for (int x = 0; x < n[0]; ++x) {
          const float g = GradientMagnitude(m, float(x), float(y), float(z), float(t));
          if (wantMax ? g > best : g < best) best = g;
        }
  return best;
}

template <class Model>
float PartialDifferential(const Model &m, int axis, float x, float y, float z, float t) {
  const auto *image = m.GetImage();
  if (image == nullptr) {
    std::cerr << "error: have not set image before getting partial differential\n";
    return 0.0f;
  }
  const float s = axis >= 0 && axis < 4 ? image->GetSpacingArray()[axis] : 0.0f;
  if (s <= 0.0f) {
    std::cerr << "error: get differential of dimension " << axis << " which has " << s
              << " mm spacing\n";
    return 0.0f;
  }
  if (image->IsEmpty()) return 0.0f;
  float plus[4] = {x, y, z, t};
  float minus[4] = {x, y, z, t};
  plus[axis] += 0.5f;
  minus[axis] -= 0.5f;
  return (m.GetValueClamped(plus[0], plus[1], plus[2], plus[3]) -
          m.GetValueClamped(minus[0], minus[1], minus[2], minus[3])) /
         s;
}

// Fills the spacing and size arrays used for a new grid: the given values
// below the dimension, size 1 and the own spacing beyond it. False (with a
// message) for a size below 1, a spacing that is not positive and finite, or
// a grid whose voxel count does not fit an int.
template <class T>
bool CheckNewGrid(const nuqImageDataT<T> *image, const int *size, const float *spacing,
                  int *newSize, float *newSpacing) {
  const int dimension = image->GetDimension();
  long long count = 1;
  for (int d = 0; d < 4; ++d) {
    if (d < dimension) {
      newSize[d] = size[d];
      newSpacing[d] = spacing[d];
      if (!(spacing[d] > 0.0f) || std::isinf(spacing[d])) {
        std::cerr << "error: resample to spacing " << spacing[d] << " of dimension " << d << "\n";
        return false;
      }
      if (size[d] < 1) {
        std::cerr << "error: resample to size " << size[d] << " of dimension " << d << "\n";
        return false;
      }
      count *= size[d];
      if (count > 0x7fffffffLL) {
        std::cerr << "error: resample to a grid of more than 2147483647 voxels\n";
        return false;
      }
    } else {
      newSize[d] = 1;
      newSpacing[d] = image->GetSpacingArray()[d];
    }
  }
  return true;
}

template <class T, class Model>
bool ResampleSize(const Model &m, nuqImageDataT<T> *image, const int *size, const float *spacing) {
  if (image == nullptr || image->GetNumberOfPixels() < 2 || size == nullptr || spacing == nullptr)
    return false;
  const int dimension = image->GetDimension();
  bool same = true;
  for (int d = 0; d < dimension && d < 4; ++d)
    if (size[d] != image->GetSizeArray()[d] || spacing[d] != image->GetSpacingArray()[d])
      same = false;
  if (same) return true;
  int newSize[4];
  float newSpacing[4];
  if (!CheckNewGrid(image, size, spacing, newSize, newSpacing)) return false;

  // Same orientation and world position of index 0, new grid.
  nuqImageInfo info;
  image->GetInfo()->Clone(&info);
  for (int d = 0; d < 4; ++d) {
    info.m_iSize[d] = newSize[d];
    info.m_fSpacing[d] = newSpacing[d];
  }
  info.UpdateOrientation(-2);

  nuqImageDataT<T> resampled;
  if (!resampled.NewImage(dimension, newSize, newSpacing, &info)) return false;
  resampled.SetImageInfo(&info);
  const bool integerCode = IsIntegerGiplCode(image->GetDataType());
  T *out = resampled.GetImageData();
  int index = 0;
  for (int t = 0; t < newSize[3]; ++t)
    for (int z = 0; z < newSize[2]; ++z)
      for (int y = 0; y < newSize[1]; ++y)
        for (int x = 0; x < newSize[0]; ++x) {
          float p[4] = {float(x), float(y), float(z), float(t)};
          resampled.GridToWorld(p);
          out[index++] = nuqStoreVoxelValue<T>(m.GetWorldValue(p), integerCode);
        }
  return image->CloneFrom(&resampled);
}

enum class WarpStep { Forward, Inverse, Joint };
enum class WarpSample { InsideOrBackground, Clamped, Mirrored, InsideOrValue };

struct WarpSettings {
  WarpStep step;
  WarpSample sample;
  nuqTransformBase *transform;
  nuqTransformBase **transforms;
  int count;
  bool useValue;
  float value;
  bool codeOfOutput;
};

template <class Model, class T>
bool WarpLoop(const Model &m, nuqImageDataT<T> *out, const WarpSettings &s) {
  if (out == nullptr || out->IsEmpty()) return false;
  const nuqImageDataT<T> *source = m.GetImage();
  if (source == nullptr || source->IsEmpty()) {
    std::cerr << "error: have not set image before warping\n";
    return false;
  }
  // Warping a volume into itself would read voxels already replaced.
  nuqImageDataT<T> copy;
  Model sampler(m);
  if (out == source) {
    source->Clone(&copy);
    sampler.SetImage(&copy);
    source = &copy;
  }
  const float smallest = float(source->GetMinGreyscale());
  const float background = smallest < 0.0f ? smallest : 0.0f;
  const bool integerCode =
      IsIntegerGiplCode(s.codeOfOutput ? out->GetDataType() : source->GetDataType());
  const int dimension = out->GetDimension();
  const int *n = out->GetSizeArray();
  const int *sn = source->GetSizeArray();
  T *voxels = out->GetImageData();
  int index = 0;
  for (int t = 0; t < n[3]; ++t)
    for (int z = 0; z < n[2]; ++z)
      for (int y = 0; y < n[1]; ++y)
        for (int x = 0; x < n[0]; ++x) {
          float p[4] = {float(x), float(y), float(z), float(t)};
          out->GridToWorld(p);
          float q[4] = {p[0], p[1], p[2], p[3]};
          if (s.step == WarpStep::Joint)
            JointTransformWorldToWorld(s.transforms, s.count, dimension, p, q);
          else if (s.transform != nullptr && s.step == WarpStep::Forward)
            s.transform->TransformWorldToWorld(p, q);
          else if (s.transform != nullptr)
            s.transform->InverseTransformWorldToWorld(p, q);
          source->WorldToGrid(q);
          float r;
          switch (s.sample) {
            case WarpSample::InsideOrBackground:
              r = source->InsideGridTolerant(q[0], q[1], q[2], q[3])
                      ? sampler.GetValue4D(q[0], q[1], q[2], q[3])
                      : background;
              break;
            case WarpSample::Clamped:
              r = sampler.GetValueClamped(q[0], q[1], q[2], q[3]);
              break;
            case WarpSample::Mirrored:
              r = sampler.GetValue4D(nuqmodel::MirrorAxis(q[0], sn[0]), nuqmodel::MirrorAxis(q[1], sn[1]),
                                     nuqmodel::MirrorAxis(q[2], sn[2]), nuqmodel::MirrorAxis(q[3], sn[3]));
              break;
            default:
              if (source->InsideGridTolerant(q[0], q[1], q[2], q[3]))
                r = sampler.GetValueClamped(q[0], q[1], q[2], q[3]);
              else if (s.useValue)
                r = s.value;
              else  // nearest voxel at the rounded index, held in the grid
                r = sampler.nuqImageModelingBaseT<T, float>::GetValueClamped(q[0], q[1], q[2], q[3]);
              break;
          }
          voxels[index++] = nuqStoreVoxelValue<T>(r, integerCode);
        }
  return true;
}

WarpSettings Settings(WarpStep step, WarpSample sample, nuqTransformBase *transform) {
  return WarpSettings{step, sample, transform, nullptr, 0, false, 0.0f, false};
}

WarpSettings JointSettings(nuqTransformBase **transforms, int count, bool useValue, float value) {
  return WarpSettings{WarpStep::Joint, WarpSample::InsideOrValue, nullptr, transforms, count,
                      useValue, value, true};
}

// Shared by ResampleToGrid and ResampleToGridClamped: warp into a temporary
// volume of the new grid, then take its voxels.
template <class T, class R, class Warp>
bool ResampleGrid(nuqImageDataT<T> *image, const nuqImageInfo *info, Warp warp) {
  if (info == nullptr || image == nullptr) return false;
  const nuqImageInfo *own = image->GetInfo();
  if (own->IsSameGrid(info) && own->IsSameQuaternion(info)) return true;
  nuqImageDataT<T> resampled;
  if (!resampled.NewImage(info)) return false;
  if (!warp(&resampled)) return false;
  if (!image->NewImage(info)) return false;
  const int count = resampled.GetNumberOfPixels();
  const T *from = resampled.GetImageData();
  T *to = image->GetImageData();
  for (int i = 0; i < count; ++i) to[i] = from[i];
  return true;
}

}  // namespace

// ---- nuqImageModelingBaseT ----

template <class T, class R>
nuqImageModelingBaseT<T, R> *nuqImageModelingBaseT<T, R>::Clone(nuqImageModelingBaseT *target) const {
  if (target == nullptr) target = new nuqImageModelingBaseT<T, R>();
  target->SetImage(m_pImage);
  return target;
}

template <class T, class R>
void nuqImageModelingBaseT<T, R>::GetWorldGradient(float *grad, float x, float y, float z,
                                                   float t) const {
  WorldGradient(*this, grad, x, y, z, t);
}

template <class T, class R>
void nuqImageModelingBaseT<T, R>::GetGridGradient(float *grad, float x, float y, float z,
                                                  float t) const {
  if (m_pImage == nullptr) return;
  float p[4] = {x, y, z, t};
  m_pImage->GridToWorld(p);
  GetWorldGradient(grad, p[0], p[1], p[2], p[3]);
}

template <class T, class R>
R nuqImageModelingBaseT<T, R>::GetGradientMagnitude(float x, float y, float z, float t) const {
  return R(GradientMagnitude(*this, x, y, z, t));
}

template <class T, class R>
R nuqImageModelingBaseT<T, R>::GetMaxGradientMagnitude() const {
  return R(ExtremeGradientMagnitude(*this, true));
}

template <class T, class R>
R nuqImageModelingBaseT<T, R>::GetMinGradientMagnitude() const {
  return R(ExtremeGradientMagnitude(*this, false));
}

template <class T, class R>
R nuqImageModelingBaseT<T, R>::GetPartialDifferential(int axis, float x, float y, float z,
                                                      float t) const {
  return R(PartialDifferential(*this, axis, x, y, z, t));
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::ResampleToGrid(const nuqImageInfo *info) {
  return ResampleGrid<T, R>(m_pImage, info,
                            [this](nuqImageDataT<T> *out) { return WarpImage(out, nullptr); });
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::ResampleToSpacing(const float *spacing) {
  if (m_pImage == nullptr || m_pImage->GetNumberOfPixels() < 2 || spacing == nullptr) return false;
  const int dimension = m_pImage->GetDimension();
  float newSpacing[4];
  for (int d = 0; d < 4; ++d) {
    newSpacing[d] = d < dimension ? spacing[d] : m_pImage->GetSpacingArray()[d];
    if (d < dimension && (!(spacing[d] > 0.0f) || std::isinf(spacing[d]))) {
      std::cerr << "error: resample to spacing " << spacing[d] << " of dimension " << d << "\n";
      return false;
    }
  }
  // Sizes computed in double so that a tiny spacing cannot overflow the int.
  int size[4] = {1, 1, 1, 1};
  for (int d = 0; d < dimension && d < 4; ++d) {
    const double extent =
        double(m_pImage->GetSizeArray()[d] - 1) * double(m_pImage->GetSpacingArray()[d]);
    const double voxels = std::ceil(float(extent / newSpacing[d] + 1.0));
    if (!(voxels < 2147483647.0)) {
      std::cerr << "error: resample to a grid of more than 2147483647 voxels\n";
      return false;
    }
    size[d] = int(voxels);
  }
  return ResampleToSize(size, newSpacing);
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::ResampleToSize(const int *size, const float *spacing) {
  return ResampleSize(*this, this->m_pImage, size, spacing);
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::ResampleToGridClamped(const nuqImageInfo *info) {
  return ResampleGrid<T, R>(m_pImage, info, [this](nuqImageDataT<T> *out) {
    return WarpImageClamped(out, nullptr);
  });
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::WarpImageInverse(nuqImageDataT<T> *out,
                                                   nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Inverse, WarpSample::InsideOrBackground, transform));
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::WarpImageInverseClamped(nuqImageDataT<T> *out,
                                                          nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Inverse, WarpSample::Clamped, transform));
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::WarpImage(nuqImageDataT<T> *out,
                                            nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Forward, WarpSample::InsideOrBackground, transform));
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::WarpImageMirrored(nuqImageDataT<T> *out,
                                                    nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Forward, WarpSample::Mirrored, transform));
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::WarpImageClamped(nuqImageDataT<T> *out,
                                                   nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Forward, WarpSample::Clamped, transform));
}

template <class T, class R>
bool nuqImageModelingBaseT<T, R>::WarpImageByTransforms(nuqImageDataT<T> *out,
                                                        nuqTransformBase **transforms, int count,
                                                        bool useValue, float value) const {
  return WarpLoop(*this, out, JointSettings(transforms, count, useValue, value));
}

// ---- nuqImageModelingLinearT ----

template <class T, class R>
nuqImageModelingBaseT<T, R> *nuqImageModelingLinearT<T, R>::Clone(Base *target) const {
  if (target == nullptr) target = new nuqImageModelingLinearT<T, R>();
  target->SetImage(this->m_pImage);
  return target;
}

template <class T, class R>
void nuqImageModelingLinearT<T, R>::GetWorldGradient(float *grad, float x, float y, float z,
                                                     float t) const {
  WorldGradient(*this, grad, x, y, z, t);
}

template <class T, class R>
R nuqImageModelingLinearT<T, R>::GetGradientMagnitude(float x, float y, float z, float t) const {
  return R(GradientMagnitude(*this, x, y, z, t));
}

template <class T, class R>
R nuqImageModelingLinearT<T, R>::GetMaxGradientMagnitude() const {
  return R(ExtremeGradientMagnitude(*this, true));
}

template <class T, class R>
R nuqImageModelingLinearT<T, R>::GetMinGradientMagnitude() const {
  return R(ExtremeGradientMagnitude(*this, false));
}

template <class T, class R>
R nuqImageModelingLinearT<T, R>::GetPartialDifferential(int axis, float x, float y, float z,
                                                        float t) const {
  return R(PartialDifferential(*this, axis, x, y, z, t));
}

template <class T, class R>
bool nuqImageModelingLinearT<T, R>::ResampleToSize(const int *size, const float *spacing) {
  return ResampleSize(*this, this->m_pImage, size, spacing);
}

template <class T, class R>
bool nuqImageModelingLinearT<T, R>::WarpImageInverse(nuqImageDataT<T> *out,
                                                     nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Inverse, WarpSample::InsideOrBackground, transform));
}

template <class T, class R>
bool nuqImageModelingLinearT<T, R>::WarpImageInverseClamped(nuqImageDataT<T> *out,
                                                            nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Inverse, WarpSample::Clamped, transform));
}

template <class T, class R>
bool nuqImageModelingLinearT<T, R>::WarpImage(nuqImageDataT<T> *out,
                                              nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Forward, WarpSample::InsideOrBackground, transform));
}

template <class T, class R>
bool nuqImageModelingLinearT<T, R>::WarpImageMirrored(nuqImageDataT<T> *out,
                                                      nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Forward, WarpSample::Mirrored, transform));
}

template <class T, class R>
bool nuqImageModelingLinearT<T, R>::WarpImageClamped(nuqImageDataT<T> *out,
                                                     nuqTransformBase *transform) const {
  return WarpLoop(*this, out, Settings(WarpStep::Forward, WarpSample::Clamped, transform));
}

template <class T, class R>
bool nuqImageModelingLinearT<T, R>::WarpImageByTransforms(nuqImageDataT<T> *out,
                                                          nuqTransformBase **transforms, int count,
                                                          bool useValue, float value) const {
  return WarpLoop(*this, out, JointSettings(transforms, count, useValue, value));
}

template class nuqImageModelingBaseT<short, float>;
template class nuqImageModelingBaseT<float, float>;
template class nuqImageModelingBaseT<char, float>;
template class nuqImageModelingLinearT<short, float>;
template class nuqImageModelingLinearT<float, float>;
template class nuqImageModelingLinearT<char, float>;
