// Image models: a volume seen as a function of continuous coordinates.
//
// nuqImageModelingBaseT samples the nearest voxel, nuqImageModelingLinearT
// interpolates linearly (bi-, tri- or quadrilinear by the volume's
// dimension). T is the voxel type of the bound volume, R the type of the
// returned values. A model only points at its volume; it never owns it, and
// only the resampling operations change it.
//
// Coordinates are grid coordinates (continuous voxel indices) unless an
// operation says "world" (millimetres, mapped with the volume's placement).
//
// Linear interpolation, per axis: c < 0 is raised to 0, i = trunc(c), the
// upper neighbour is i + 1 while that is inside the grid, else i itself, and
// the weight is f = c - i; axes are blended in the order x, y, z, t. Indices
// are additionally held inside the grid, so even the "unchecked" reads never
// leave the buffer; inside the grid they give the plain multilinear value.
//
// Fast paths: the non-virtual GetValue2D/3D/4D, GetValueClamped and
// GetWorldValue are inline and bound at compile time. Code that samples in an
// inner loop calls them on a concrete model type (a linear model through a
// nuqImageModelingLinearT reference gets the linear versions) and pays no
// dispatch per sample. The virtual operations forward to them.
//
// Storing rule for values written into a volume of integer voxels: when the
// governing data type code is an integer code, the value is rounded half
// away from zero, otherwise truncated toward zero; out-of-range values are
// held at the limits of T and NaN becomes 0. Float voxels take the value
// unchanged.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "nuqImageData.h"

class nuqTransformBase;

// Converts a computed value into a voxel of type T by the storing rule.
template <class T>
inline T nuqStoreVoxelValue(double r, bool integerCode) {
  if constexpr (std::is_integral<T>::value) {
    if (!(r == r)) return T(0);
    if (integerCode) r = r >= 0.0 ? r + 0.5 : r - 0.5;
    const double lo = static_cast<double>(std::numeric_limits<T>::lowest());
    const double hi = static_cast<double>(std::numeric_limits<T>::max());
    if (r <= lo) return std::numeric_limits<T>::lowest();
    if (r >= hi) return std::numeric_limits<T>::max();
    return static_cast<T>(r);
  } else {
    (void)integerCode;
    return static_cast<T>(r);
  }
}

namespace nuqmodel {

// Clamps c into [0, n - 1] (NaN to 0) and splits it into the lower index,
// the upper neighbour and the weight of the upper neighbour.
inline void LinearAxis(float c, int n, int &i0, int &i1, float &f) {
  const float top = static_cast<float>(n - 1);
  if (!(c > 0.0f)) c = 0.0f;
  else if (c > top) c = top;
  i0 = static_cast<int>(c);
  i1 = i0 + 1 < n ? i0 + 1 : i0;
  f = c - static_cast<float>(i0);
}

// Rounds half away from zero (in double, as RoundHalfAway does), then holds
// the index inside [0, n - 1].
inline int NearestAxis(float c, int n) {
  if (!(c > 0.0f)) return 0;
  if (c >= static_cast<float>(n - 1)) return n - 1;
  return static_cast<int>(static_cast<double>(c) + 0.5);
}

// Reflects c about the first and last voxel until it lies in [0, n - 1].
inline float MirrorAxis(float c, int n) {
  if (n <= 1 || !(c == c)) return 0.0f;
  const float top = static_cast<float>(n - 1);
  if (c < 0.0f) c = -c;
  if (c <= top) return c;
  const float period = 2.0f * top;
  c = std::fmod(c, period);
  if (c > top) c = period - c;
  return c;
}

}  // namespace nuqmodel

template <class T, class R = float>
class nuqImageModelingBaseT {
 public:
  nuqImageModelingBaseT() = default;
  explicit nuqImageModelingBaseT(nuqImageDataT<T> *image) : m_pImage(image) {}
  // Virtual so that models made by Clone can be released through a base
  // pointer.
  virtual ~nuqImageModelingBaseT() = default;

  virtual void SetImage(nuqImageDataT<T> *image) { m_pImage = image; }
  virtual nuqImageDataT<T> *GetImage() const { return m_pImage; }
  // A model of this class bound to the same volume, written into target
  // (created when null) and returned.
  virtual nuqImageModelingBaseT *Clone(nuqImageModelingBaseT *target = nullptr) const;

  // Nearest voxel with the index clamped into the grid.
  // The virtual reads give 0 when no volume with voxels is bound.
  virtual R GetPixelGreyscaleClamped(float x, float y, float z, float t) const {
    return HasVoxels() ? GetValueClamped(x, y, z, t) : R(0);
  }
  virtual R GetPixelGreyscale4D(float x, float y, float z, float t) const {
    return HasVoxels() ? GetValue4D(x, y, z, t) : R(0);
  }
  virtual R GetPixelGreyscale3D(float x, float y, float z) const {
    return HasVoxels() ? GetValue3D(x, y, z) : R(0);
  }
  virtual R GetPixelGreyscale2D(float x, float y) const {
    return HasVoxels() ? GetValue2D(x, y) : R(0);
  }
  // Central differences over one spacing along each world axis, per mm;
  // grad gets one entry per dimension of the volume.
  virtual void GetWorldGradient(float *grad, float x, float y, float z, float t) const;
  virtual void GetGridGradient(float *grad, float x, float y, float z, float t) const;
  virtual R GetPixelGreyscaleAt(float x, float y, float z, float t) const {
    return HasVoxels() ? GetValueClamped(x, y, z, t) : R(0);
  }
  virtual R GetGradientMagnitude(float x, float y, float z, float t) const;
  virtual R GetMaxGradientMagnitude() const;
  virtual R GetMinGradientMagnitude() const;
  // Difference over one voxel along grid axis `axis`, divided by its spacing.
  virtual R GetPartialDifferential(int axis, float x, float y, float z, float t) const;
  // The volume takes the grid of info; each voxel the value at its world
  // position (background outside the old grid).
  virtual bool ResampleToGrid(const nuqImageInfo *info);
  // New spacing; sizes so that the physical extent is kept; index 0 stays.
  virtual bool ResampleToSpacing(const float *spacing);
  virtual bool ResampleToSize(const int *size, const float *spacing);
  virtual bool ResampleToGridClamped(const nuqImageInfo *info);

  // Warp family: every voxel of out is mapped grid -> world (out's
  // placement) -> transform (none: unchanged) -> grid of the bound volume,
  // sampled there and stored by the storing rule. False when out is absent
  // or empty, or no volume is bound. Outside the bound grid the background
  // is min(0, smallest voxel).
  virtual bool WarpImageInverse(nuqImageDataT<T> *out, nuqTransformBase *transform = nullptr) const;
  virtual bool WarpImageInverseClamped(nuqImageDataT<T> *out,
                                       nuqTransformBase *transform = nullptr) const;
  virtual bool WarpImage(nuqImageDataT<T> *out, nuqTransformBase *transform = nullptr) const;
  virtual bool WarpImageMirrored(nuqImageDataT<T> *out, nuqTransformBase *transform = nullptr) const;
  virtual bool WarpImageClamped(nuqImageDataT<T> *out, nuqTransformBase *transform = nullptr) const;
  // Through the chain transforms[0..count-1], first applied first. Outside
  // the bound grid: `value` when useValue, else the nearest clamped voxel.
  virtual bool WarpImageByTransforms(nuqImageDataT<T> *out, nuqTransformBase **transforms,
                                     int count, bool useValue, float value) const;

  // World point; 0 when no volume is bound.
  R GetWorldPixelGreyscale(float x, float y, float z, float t) const {
    if (!HasVoxels()) return R(0);
    float p[4] = {x, y, z, t};
    m_pImage->WorldToGrid(p);
    return GetPixelGreyscaleAt(p[0], p[1], p[2], p[3]);
  }
  R GetPixelGreyscaleOrBackground(R background, float x, float y, float z, float t) const {
    if (HasVoxels() && m_pImage->InsideGridTolerant(x, y, z, t)) return GetPixelGreyscale4D(x, y, z, t);
    return background;
  }
  R GetWorldPixelGreyscaleOrBackground(R background, float x, float y, float z, float t) const {
    if (m_pImage == nullptr) return R(0);
    float p[4] = {x, y, z, t};
    m_pImage->WorldToGrid(p);
    return GetPixelGreyscaleOrBackground(background, p[0], p[1], p[2], p[3]);
  }
  R GetPixelGreyscaleMirrored(float x, float y, float z, float t) const {
    if (!HasVoxels()) return R(0);
    const int *n = m_pImage->GetSizeArray();
    return GetPixelGreyscale4D(nuqmodel::MirrorAxis(x, n[0]), nuqmodel::MirrorAxis(y, n[1]),
                               nuqmodel::MirrorAxis(z, n[2]), nuqmodel::MirrorAxis(t, n[3]));
  }

  bool HasVoxels() const { return m_pImage != nullptr && !m_pImage->IsEmpty(); }

  // Fast nearest-voxel reads (bound volume with voxels required).
  R GetValue4D(float x, float y, float z, float t) const {
    const nuqImageDataT<T> &v = *m_pImage;
    const int *n = v.GetSizeArray();
    return R(Voxels()[nuqmodel::NearestAxis(x, n[0]) + nuqmodel::NearestAxis(y, n[1]) * n[0] +
                      nuqmodel::NearestAxis(z, n[2]) * v.GetSliceSize() +
                      nuqmodel::NearestAxis(t, n[3]) * v.GetVolumeSize()]);
  }
  R GetValue3D(float x, float y, float z) const {
    const nuqImageDataT<T> &v = *m_pImage;
    const int *n = v.GetSizeArray();
    return R(Voxels()[nuqmodel::NearestAxis(x, n[0]) + nuqmodel::NearestAxis(y, n[1]) * n[0] +
                      nuqmodel::NearestAxis(z, n[2]) * v.GetSliceSize()]);
  }
  R GetValue2D(float x, float y) const {
    const int *n = m_pImage->GetSizeArray();
    return R(Voxels()[nuqmodel::NearestAxis(x, n[0]) + nuqmodel::NearestAxis(y, n[1]) * n[0]]);
  }
  R GetValueClamped(float x, float y, float z, float t) const { return GetValue4D(x, y, z, t); }
  // World point, clamped; 0 when no volume is bound.
  R GetWorldValue(const float *world) const {
    if (!HasVoxels()) return R(0);
    float p[4] = {world[0], world[1], world[2], world[3]};
    m_pImage->WorldToGrid(p);
    return GetValueClamped(p[0], p[1], p[2], p[3]);
  }

 protected:
  const T *Voxels() const { return static_cast<const nuqImageDataT<T> *>(m_pImage)->GetImageData(); }

  nuqImageDataT<T> *m_pImage = nullptr;
};

template <class T, class R = float>
class nuqImageModelingLinearT : public nuqImageModelingBaseT<T, R> {
  using Base = nuqImageModelingBaseT<T, R>;

 public:
  nuqImageModelingLinearT() = default;
  explicit nuqImageModelingLinearT(nuqImageDataT<T> *image) : Base(image) {}

  Base *Clone(Base *target = nullptr) const override;

  R GetPixelGreyscaleClamped(float x, float y, float z, float t) const override {
    return this->HasVoxels() ? GetValueClamped(x, y, z, t) : R(0);
  }
  R GetPixelGreyscale4D(float x, float y, float z, float t) const override {
    return this->HasVoxels() ? GetValue4D(x, y, z, t) : R(0);
  }
  R GetPixelGreyscale3D(float x, float y, float z) const override {
    if (!this->HasVoxels()) return R(0);
    return this->m_pImage->GetDimension() == 2 ? GetValue2D(x, y) : GetValue3D(x, y, z);
  }
  R GetPixelGreyscale2D(float x, float y) const override {
    return this->HasVoxels() ? GetValue2D(x, y) : R(0);
  }
  void GetWorldGradient(float *grad, float x, float y, float z, float t) const override;
  R GetPixelGreyscaleAt(float x, float y, float z, float t) const override {
    return this->HasVoxels() ? GetValueClamped(x, y, z, t) : R(0);
  }
  R GetGradientMagnitude(float x, float y, float z, float t) const override;
  R GetMaxGradientMagnitude() const override;
  R GetMinGradientMagnitude() const override;
  R GetPartialDifferential(int axis, float x, float y, float z, float t) const override;
  bool ResampleToSize(const int *size, const float *spacing) override;
  bool WarpImageInverse(nuqImageDataT<T> *out, nuqTransformBase *transform = nullptr) const override;
  bool WarpImageInverseClamped(nuqImageDataT<T> *out,
                               nuqTransformBase *transform = nullptr) const override;
  bool WarpImage(nuqImageDataT<T> *out, nuqTransformBase *transform = nullptr) const override;
  bool WarpImageMirrored(nuqImageDataT<T> *out, nuqTransformBase *transform = nullptr) const override;
  bool WarpImageClamped(nuqImageDataT<T> *out, nuqTransformBase *transform = nullptr) const override;
  bool WarpImageByTransforms(nuqImageDataT<T> *out, nuqTransformBase **transforms, int count,
                             bool useValue, float value) const override;

  // Same as the base operations of these names, bound to linear sampling.
  R GetWorldPixelGreyscale(float x, float y, float z, float t) const {
    const float p[4] = {x, y, z, t};
    return GetWorldValue(p);
  }
  R GetPixelGreyscaleOrBackground(R background, float x, float y, float z, float t) const {
    if (this->HasVoxels() && this->m_pImage->InsideGridTolerant(x, y, z, t))
      return GetValue4D(x, y, z, t);
    return background;
  }
  R GetWorldPixelGreyscaleOrBackground(R background, float x, float y, float z, float t) const {
    if (this->m_pImage == nullptr) return R(0);
    float p[4] = {x, y, z, t};
    this->m_pImage->WorldToGrid(p);
    return GetPixelGreyscaleOrBackground(background, p[0], p[1], p[2], p[3]);
  }
  R GetPixelGreyscaleMirrored(float x, float y, float z, float t) const {
    if (!this->HasVoxels()) return R(0);
    const int *n = this->m_pImage->GetSizeArray();
    return GetValue4D(nuqmodel::MirrorAxis(x, n[0]), nuqmodel::MirrorAxis(y, n[1]),
                      nuqmodel::MirrorAxis(z, n[2]), nuqmodel::MirrorAxis(t, n[3]));
  }

  // Fast linear reads (bound volume with voxels required).
  R GetValue2D(float x, float y) const {
    const int *n = this->m_pImage->GetSizeArray();
    int x0, x1, y0, y1;
    float fx, fy;
    nuqmodel::LinearAxis(x, n[0], x0, x1, fx);
    nuqmodel::LinearAxis(y, n[1], y0, y1, fy);
    const T *p = this->Voxels();
    const int r0 = y0 * n[0], r1 = y1 * n[0];
    return R((R(p[x1 + r1]) * fx + R(p[x0 + r1]) * (1 - fx)) * fy +
             (1 - fy) * (R(p[x1 + r0]) * fx + R(p[x0 + r0]) * (1 - fx)));
  }
  R GetValue3D(float x, float y, float z) const {
    const nuqImageDataT<T> &v = *this->m_pImage;
    const int *n = v.GetSizeArray();
    int x0, x1, y0, y1, z0, z1;
    float fx, fy, fz;
    nuqmodel::LinearAxis(x, n[0], x0, x1, fx);
    nuqmodel::LinearAxis(y, n[1], y0, y1, fy);
    nuqmodel::LinearAxis(z, n[2], z0, z1, fz);
    return Trilinear(this->Voxels(), n[0], v.GetSliceSize(), x0, x1, fx, y0, y1, fy, z0, z1, fz);
  }
  // GetValue3D of `count` volumes with the grid (sizes n, slice size) of
  // this model's volume at one point: the cell and weights are found once.
  static void GetValues3D(const T *const *volumes, int count, const int *n, int slice, float x,
                          float y, float z, R *values) {
    int x0, x1, y0, y1, z0, z1;
    float fx, fy, fz;
    nuqmodel::LinearAxis(x, n[0], x0, x1, fx);
    nuqmodel::LinearAxis(y, n[1], y0, y1, fy);
    nuqmodel::LinearAxis(z, n[2], z0, z1, fz);
    for (int k = 0; k < count; ++k)
      values[k] = Trilinear(volumes[k], n[0], slice, x0, x1, fx, y0, y1, fy, z0, z1, fz);
  }
  R GetValue4D(float x, float y, float z, float t) const {
    const int dimension = this->m_pImage->GetDimension();
    if (dimension == 3) return GetValue3D(x, y, z);
    if (dimension == 2) return GetValue2D(x, y);
    return Quadrilinear(x, y, z, t);
  }
  // Coordinates clamped into the grid, then interpolated by dimension.
  R GetValueClamped(float x, float y, float z, float t) const {
    const int dimension = this->m_pImage->GetDimension();
    if (dimension == 2) return GetValue2D(x, y);
    if (dimension == 3) return GetValue3D(x, y, z);
    return Quadrilinear(x, y, z, t);
  }
  R GetWorldValue(const float *world) const {
    if (!this->HasVoxels()) return R(0);
    float p[4] = {world[0], world[1], world[2], world[3]};
    this->m_pImage->WorldToGrid(p);
    return GetValueClamped(p[0], p[1], p[2], p[3]);
  }

 private:
  static R Trilinear(const T *p, int nx, int slice, int x0, int x1, float fx, int y0, int y1,
                     float fy, int z0, int z1, float fz) {
    const int a00 = y0 * nx + z0 * slice, a10 = y1 * nx + z0 * slice;
    const int a01 = y0 * nx + z1 * slice, a11 = y1 * nx + z1 * slice;
    return R(((R(p[x1 + a11]) * fx + R(p[x0 + a11]) * (1 - fx)) * fy +
              (1 - fy) * (R(p[x1 + a01]) * fx + R(p[x0 + a01]) * (1 - fx))) *
                 fz +
             (1 - fz) * ((R(p[x1 + a10]) * fx + R(p[x0 + a10]) * (1 - fx)) * fy +
                         (1 - fy) * (R(p[x1 + a00]) * fx + R(p[x0 + a00]) * (1 - fx))));
  }
  R Quadrilinear(float x, float y, float z, float t) const {
    const nuqImageDataT<T> &v = *this->m_pImage;
    const int *n = v.GetSizeArray();
    int x0, x1, y0, y1, z0, z1, t0, t1;
    float fx, fy, fz, ft;
    nuqmodel::LinearAxis(x, n[0], x0, x1, fx);
    nuqmodel::LinearAxis(y, n[1], y0, y1, fy);
    nuqmodel::LinearAxis(z, n[2], z0, z1, fz);
    nuqmodel::LinearAxis(t, n[3], t0, t1, ft);
    const T *p = this->Voxels();
    const int slice = v.GetSliceSize(), volume = v.GetVolumeSize();
    const R lower = Trilinear(p + t0 * volume, n[0], slice, x0, x1, fx, y0, y1, fy, z0, z1, fz);
    const R upper = Trilinear(p + t1 * volume, n[0], slice, x0, x1, fx, y0, y1, fy, z0, z1, fz);
    return R(upper * ft + (1 - ft) * lower);
  }
};

extern template class nuqImageModelingBaseT<short, float>;
extern template class nuqImageModelingBaseT<float, float>;
extern template class nuqImageModelingBaseT<char, float>;
extern template class nuqImageModelingLinearT<short, float>;
extern template class nuqImageModelingLinearT<float, float>;
extern template class nuqImageModelingLinearT<char, float>;
