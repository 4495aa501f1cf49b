#include "nuqImageData.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <new>

#include <sys/mman.h>

#include "nuqConsole.h"
#include "nuqParallel.h"
#include "nuqMatrix.h"
#include "nuqMemoryLimit.h"

namespace {

// A new voxel buffer is zeroed and then written page by page; for large
// buffers, transparent huge pages turn some 500 page faults per 2 MiB into
// one. Only a hint: a kernel that refuses it changes nothing.
void AdviseHugePages(void *buffer, size_t bytes) {
#ifdef MADV_HUGEPAGE
  const std::uintptr_t huge = std::uintptr_t(2) << 20;
  if (bytes < 4 * huge) return;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(buffer);
  const std::uintptr_t begin = (start + huge - 1) & ~(huge - 1);
  const std::uintptr_t end = (start + bytes) & ~(huge - 1);
  if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)buffer;
  (void)bytes;
#endif
}

template <class T>
int OwnTypeCode();
template <>
int OwnTypeCode<short>() { return 15; }
template <>
int OwnTypeCode<float>() { return 64; }
template <>
int OwnTypeCode<char>() { return 7; }

template <class T>
bool InRange(T value, T low, T high) {
  return low <= value && value <= high;
}

// Index reflected about the first and the last voxel: -3 -> 3, n -> n - 2.
int MirrorIndex(int index, int size) {
  if (size <= 1) return 0;
  const long long period = 2LL * (size - 1);
  long long i = index < 0 ? -static_cast<long long>(index) : index;
  i %= period;
  if (i > size - 1) i = period - i;
  return static_cast<int>(i);
}

}  // namespace

template <class T>
nuqImageDataT<T>::nuqImageDataT() {
  m_fGreyCentroid[0] = 1e20f;
  m_fGreyCentroid[1] = m_fGreyCentroid[2] = m_fGreyCentroid[3] = 0.0f;
  m_ImageInfo.m_iDimension = 1;
  m_ImageInfo.m_usDataType = static_cast<unsigned short>(OwnTypeCode<T>());
  m_ImageInfo.m_iByteOfDataType = static_cast<int>(sizeof(T));
}

template <class T>
nuqImageDataT<T>::~nuqImageDataT() {
  delete[] m_pImageData;
}

template <class T>
void nuqImageDataT<T>::ResetVolumeFields() {
  for (int d = 0; d < 4; ++d) {
    m_ImageInfo.m_fSpacing[d] = 1.0f;
    m_ImageInfo.m_iSize[d] = 1;
  }
  m_fGreyCentroid[0] = 1e20f;
  m_fGreyCentroid[1] = m_fGreyCentroid[2] = m_fGreyCentroid[3] = 0.0f;
  m_sGiplFlags = 0;
  m_iGiplTag = 815;
}

template <class T>
void nuqImageDataT<T>::UpdateStrides() {
  m_iSliceSize = m_ImageInfo.m_iSize[0] * m_ImageInfo.m_iSize[1];
  m_iVolumeSize = m_iSliceSize * m_ImageInfo.m_iSize[2];
}

template <class T>
bool nuqImageDataT<T>::SetImageData(T *data, const nuqImageInfo *info) {
  if (info == nullptr) return false;
  delete[] m_pImageData;
  m_pImageData = data;
  ResetVolumeFields();
  m_ImageInfo.m_iDimension = info->m_iDimension;
  for (int d = 0; d < info->m_iDimension && d < 4; ++d) {
    m_ImageInfo.m_fSpacing[d] = info->m_fSpacing[d];
    m_ImageInfo.m_iSize[d] = info->m_iSize[d];
  }
  UpdateStrides();
  m_ImageInfo.CopyOrientationFrom(info);
  m_ImageInfo.UpdateOrientation(-2);
  return true;
}

template <class T>
bool nuqImageDataT<T>::NewImage(const nuqImageInfo *info) {
  if (info == nullptr) return false;
  return NewImage(info->m_iDimension, info->m_iSize, info->m_fSpacing, info);
}

template <class T>
bool nuqImageDataT<T>::NewImage(int dimension, const int *size, const float *spacing,
                                const nuqImageInfo *orientation) {
  const int used = std::min(std::max(dimension, 0), 4);
  long long count = 1;
  for (int d = 0; d < used; ++d) {
    if (size[d] < 1) {
      std::cerr << "error: image " << m_ImageInfo.m_strFileName << " has size " << size[d]
                << " in dimension " << d << "\n";
      return false;
    }
    count *= size[d];
    if (count > std::numeric_limits<int>::max()) {
      std::cerr << "error: image " << m_ImageInfo.m_strFileName
                << " has more voxels than can be held\n";
      return false;
    }
  }
  const bool single = static_cast<long long>(size[0]) * size[1] * size[2] * size[3] == 1;
  if (m_pImageData == nullptr || count != GetNumberOfPixels() || single) {
    delete[] m_pImageData;
    m_pImageData = nullptr;
    if (CheckAllocation(static_cast<std::uint64_t>(count) * sizeof(T),
                        "image " + m_ImageInfo.m_strFileName))
      m_pImageData = new (std::nothrow) T[static_cast<size_t>(count)];
    if (m_pImageData == nullptr) {
      ReleaseImage();
      std::cerr << "error: cannot allocate " << count << " voxels for image "
                << m_ImageInfo.m_strFileName << "\n";
      return false;
    }
  }
  ResetVolumeFields();
  m_ImageInfo.m_iDimension = dimension;
  for (int d = 0; d < used; ++d) {
    m_ImageInfo.m_fSpacing[d] = spacing[d];
    m_ImageInfo.m_iSize[d] = size[d];
  }
  UpdateStrides();
  AdviseHugePages(m_pImageData, static_cast<size_t>(count) * sizeof(T));
  // Zeroed in blocks on all cores: for a large volume the first touch of
  // its pages (the kernel zeroing them) costs more than the fill itself.
  const long long block = 1 << 20;
  T *data = m_pImageData;
  ParallelFor((count + block - 1) / block, [&](long long i) {
    const long long end = std::min(count, (i + 1) * block);
    std::fill(data + i * block, data + end, T(0));
  });
  // A grid without an orientation source keeps its own quaternion.
  if (orientation != nullptr) m_ImageInfo.CopyOrientationFrom(orientation);
  m_ImageInfo.UpdateOrientation(-2);
  return true;
}

template <class T>
void nuqImageDataT<T>::SetDataType(short code) {
  m_ImageInfo.m_usDataType = static_cast<unsigned short>(code);
}

template <class T>
short nuqImageDataT<T>::GetDataType() const {
  return static_cast<short>(m_ImageInfo.m_usDataType);
}

template <class T>
nuqImageDataT<T> *nuqImageDataT<T>::Clone(nuqImageDataT *target) const {
  if (target == nullptr) target = new nuqImageDataT;
  if (target == this) return target;
  if (m_pImageData != nullptr) {
    const int count = GetNumberOfPixels();
    if (target->m_pImageData == nullptr || target->GetNumberOfPixels() != count) {
      delete[] target->m_pImageData;
      target->m_pImageData = new (std::nothrow) T[static_cast<size_t>(count)];
      if (target->m_pImageData == nullptr) {
        std::cerr << "error: cannot allocate " << count << " voxels for a copy of image "
                  << m_ImageInfo.m_strFileName << "\n";
        target->ReleaseImage();
        return target;
      }
    }
    std::copy(m_pImageData, m_pImageData + count, target->m_pImageData);
  } else {
    // No voxels to copy: the target must not keep a buffer of another grid.
    delete[] target->m_pImageData;
    target->m_pImageData = nullptr;
  }
  m_ImageInfo.Clone(&target->m_ImageInfo);
  target->m_iSliceSize = m_iSliceSize;
  target->m_iVolumeSize = m_iVolumeSize;
  std::copy(m_fGreyCentroid, m_fGreyCentroid + 4, target->m_fGreyCentroid);
  target->m_sGiplFlags = m_sGiplFlags;
  target->m_iGiplTag = m_iGiplTag;
  return target;
}

template <class T>
bool nuqImageDataT<T>::CloneFrom(const nuqImageDataT *source) {
  if (source == nullptr) return false;
  source->Clone(this);
  return true;
}

template <class T>
bool nuqImageDataT<T>::SetPixelByGreyscale(int x, int y, int z, int t, T value) {
  if (m_pImageData == nullptr) {
    std::cerr << "error: nuqImageData does not have m_pImageData for SetPixelByGreyscale \n";
    std::exit(1);
  }
  m_pImageData[x + y * m_ImageInfo.m_iSize[0] + z * m_iSliceSize + t * m_iVolumeSize] = value;
  return true;
}

template <class T>
T nuqImageDataT<T>::GetPixelGreyscaleClosest(int x, int y) const {
  return GetPixelGreyscaleClosest(x, y, 0);
}

template <class T>
T nuqImageDataT<T>::GetPixelGreyscaleClosest(int x, int y, int z) const {
  const int *n = m_ImageInfo.m_iSize;
  return GetPixelGreyscale(std::clamp(x, 0, n[0] - 1), std::clamp(y, 0, n[1] - 1),
                           std::clamp(z, 0, n[2] - 1));
}

template <class T>
T nuqImageDataT<T>::GetPixelGreyscaleClosest(int x, int y, int z, int t) const {
  const int *n = m_ImageInfo.m_iSize;
  return GetPixelGreyscale(std::clamp(x, 0, n[0] - 1), std::clamp(y, 0, n[1] - 1),
                           std::clamp(z, 0, n[2] - 1), std::clamp(t, 0, n[3] - 1));
}

template <class T>
T nuqImageDataT<T>::GetPixelGreyscaleMirror(int x, int y, int z, int t) const {
  // Without voxels there is nothing to reflect into.
  if (m_pImageData == nullptr) return T(0);
  const int *n = m_ImageInfo.m_iSize;
  return GetPixelGreyscale(MirrorIndex(x, n[0]), MirrorIndex(y, n[1]), MirrorIndex(z, n[2]),
                           MirrorIndex(t, n[3]));
}

template <class T>
T nuqImageDataT<T>::GetPixelGreyscale(const int *index) const {
  switch (m_ImageInfo.m_iDimension) {
    case 2:
      return GetPixelGreyscale(index[0], index[1]);
    case 3:
      return GetPixelGreyscale(index[0], index[1], index[2]);
    case 4:
      return GetPixelGreyscale(index[0], index[1], index[2], index[3]);
    default:
      std::cerr << "dimension error:" << m_ImageInfo.m_iDimension << "\n";
      return T(0);
  }
}

template <class T>
T nuqImageDataT<T>::GetPixelGreyscaleNearest(float x, float y, float z, float t) const {
  return GetPixelGreyscale(RoundHalfAway(x), RoundHalfAway(y), RoundHalfAway(z), RoundHalfAway(t));
}

template <class T>
T nuqImageDataT<T>::GetMaxGreyscale() const {
  if (m_pImageData == nullptr) return T(0);
  const int count = GetNumberOfPixels();
  if (count <= 1) return m_pImageData[0];
  return *std::max_element(m_pImageData, m_pImageData + count);
}

template <class T>
T nuqImageDataT<T>::GetMinGreyscale() const {
  if (m_pImageData == nullptr) return T(0);
  const int count = GetNumberOfPixels();
  if (count <= 1) return m_pImageData[0];
  return *std::min_element(m_pImageData, m_pImageData + count);
}

template <class T>
void nuqImageDataT<T>::GetImageSize(int &nx, int &ny, int &nz, int &nt) const {
  nx = m_ImageInfo.m_iSize[0];
  ny = m_ImageInfo.m_iSize[1];
  nz = m_ImageInfo.m_iSize[2];
  nt = m_ImageInfo.m_iSize[3];
}

template <class T>
int nuqImageDataT<T>::GetNumberOfPixels() const {
  return m_pImageData == nullptr ? 0 : m_ImageInfo.m_iSize[3] * m_iVolumeSize;
}

template <class T>
void nuqImageDataT<T>::GetImageSpacing(float &sx, float &sy, float &sz, float &st) const {
  sx = m_ImageInfo.m_fSpacing[0];
  sy = m_ImageInfo.m_fSpacing[1];
  sz = m_ImageInfo.m_fSpacing[2];
  st = m_ImageInfo.m_fSpacing[3];
}

template <class T>
void nuqImageDataT<T>::GetWorldBoundingBox(float *minimum, float *maximum) const {
  m_ImageInfo.GetWorldBoundingBox(minimum, maximum);
}

template <class T>
void nuqImageDataT<T>::GetPhysicalExtent(float *extent) const {
  m_ImageInfo.GetPhysicalExtent(extent);
}

template <class T>
void nuqImageDataT<T>::ReleaseImage() {
  delete[] m_pImageData;
  m_pImageData = nullptr;
  for (int &n : m_ImageInfo.m_iSize) n = 0;
  m_iSliceSize = 0;
  m_iVolumeSize = 0;
}

template <class T>
void nuqImageDataT<T>::GridToWorld(float &x, float &y, float &z, float &t) const {
  float p[4] = {x, y, z, t};
  m_ImageInfo.GridToWorld(p);
  x = p[0];
  y = p[1];
  z = p[2];
  t = p[3];
}

template <class T>
void nuqImageDataT<T>::WorldToGrid(float &x, float &y, float &z, float &t) const {
  float p[4] = {x, y, z, t};
  m_ImageInfo.WorldToGrid(p);
  x = p[0];
  y = p[1];
  z = p[2];
  t = p[3];
}

template <class T>
void nuqImageDataT<T>::ComputeSizeFromExtent(const float *extent, int *size) const {
  m_ImageInfo.ComputeSizeFromExtent(extent, size);
}

template <class T>
void nuqImageDataT<T>::ComputeSizeForSpacing(const float *spacing, int *size) const {
  m_ImageInfo.ComputeSizeForSpacing(spacing, size);
}

template <class T>
bool nuqImageDataT<T>::InsideGrid(const float *p) const {
  for (int d = 0; d < m_ImageInfo.m_iDimension && d < 4; ++d)
    if (!InRange(p[d], 0.0f, static_cast<float>(m_ImageInfo.m_iSize[d] - 1))) return false;
  return true;
}

template <class T>
bool nuqImageDataT<T>::InsideGrid(int x, int y, int z, int t) const {
  const int *n = m_ImageInfo.m_iSize;
  return m_pImageData != nullptr && InRange(x, 0, n[0] - 1) && InRange(y, 0, n[1] - 1) &&
         InRange(z, 0, n[2] - 1) && InRange(t, 0, n[3] - 1);
}

template <class T>
bool nuqImageDataT<T>::InsideGrid(float x, float y, float z, float t) const {
  const int *n = m_ImageInfo.m_iSize;
  return m_pImageData != nullptr && InRange(x, 0.0f, n[0] - 1.0f) &&
         InRange(y, 0.0f, n[1] - 1.0f) && InRange(z, 0.0f, n[2] - 1.0f) &&
         InRange(t, 0.0f, n[3] - 1.0f);
}

template <class T>
bool nuqImageDataT<T>::InsideGridTolerant(float x, float y, float z, float t) const {
  if (m_pImageData == nullptr) return false;
  const int dimension = m_ImageInfo.m_iDimension;
  if (dimension < 2 || dimension > 4) return true;
  const float c[4] = {x, y, z, t};
  for (int d = 0; d < dimension; ++d) {
    const float tol = m_ImageInfo.m_fSpacing[d] * 0.001f;
    if (!InRange(c[d], -tol, m_ImageInfo.m_iSize[d] - 1 + tol)) return false;
  }
  return true;
}

template <class T>
void nuqImageDataT<T>::ClampToGrid(float &x, float &y, float &z, float &t) const {
  const int *n = m_ImageInfo.m_iSize;
  x = std::clamp(x, 0.0f, std::max(0.0f, n[0] - 1.0f));
  y = std::clamp(y, 0.0f, std::max(0.0f, n[1] - 1.0f));
  z = std::clamp(z, 0.0f, std::max(0.0f, n[2] - 1.0f));
  t = std::clamp(t, 0.0f, std::max(0.0f, n[3] - 1.0f));
}

template <class T>
bool nuqImageDataT<T>::InsideWorld(const float *p) const {
  float q[4] = {p[0], p[1], p[2], p[3]};
  m_ImageInfo.WorldToGrid(q);
  return InsideGrid(static_cast<const float *>(q));
}

template <class T>
bool nuqImageDataT<T>::InsideWorld(float x, float y, float z, float t) const {
  const float p[4] = {x, y, z, t};
  return InsideWorld(p);
}

template <class T>
bool nuqImageDataT<T>::ComputeGreyCentroid(bool force) {
  if (m_fGreyCentroid[0] != 1e20f && !force) return false;
  const int dimension = std::min(m_ImageInfo.m_iDimension, 4);
  double sum = 0.0;
  double weighted[4] = {0.0, 0.0, 0.0, 0.0};
  if (m_pImageData != nullptr) {
    const int *n = m_ImageInfo.m_iSize;
    const T *v = m_pImageData;
    for (int t = 0; t < n[3]; ++t)
      for (int z = 0; z < n[2]; ++z)
        for (int y = 0; y < n[1]; ++y)
          for (int x = 0; x < n[0]; ++x, ++v) {
            const double g = static_cast<double>(*v);
            sum += g;
            const int index[4] = {x, y, z, t};
            for (int d = 0; d < dimension; ++d) weighted[d] += g * index[d];
          }
  }
  if (sum != 0.0) {
    for (int d = 0; d < dimension; ++d)
      m_fGreyCentroid[d] = static_cast<float>(weighted[d] / sum);
    return true;
  }
  if (g_nVerbose > 0)
    std::cerr << "warning: sum of image " << m_ImageInfo.m_strFileName << "grey level is zero\n";
  for (int d = 0; d < dimension; ++d) m_fGreyCentroid[d] = 0.0f;
  return true;
}

template <class T>
void nuqImageDataT<T>::GetGreyCentroid(float &x, float &y, float &z, float &t) const {
  x = m_fGreyCentroid[0];
  y = m_fGreyCentroid[1];
  z = m_fGreyCentroid[2];
  t = m_fGreyCentroid[3];
}

template <class T>
void nuqImageDataT<T>::AlignGridTo(const nuqImageInfo *other, int mode) {
  if (other == nullptr) return;
  m_ImageInfo.CopyOrientationAndUpdate(other);
  float own[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  float theirs[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const int dimension = std::min(other->m_iDimension, 4);
  for (int d = 0; d < dimension; ++d) {
    if (mode == 1) {
      own[d] = (m_ImageInfo.m_iSize[d] - 1) * 0.5f;
      theirs[d] = (other->m_iSize[d] - 1) * 0.5f;
    } else if (mode == 2) {
      own[d] = static_cast<float>(m_ImageInfo.m_iSize[d] - 1);
      theirs[d] = static_cast<float>(other->m_iSize[d] - 1);
    }
  }
  m_ImageInfo.GridToWorld(own);
  other->GridToWorld(theirs);
  for (int d = 0; d < dimension && d < 3; ++d)
    m_ImageInfo.m_fImageToWorld[d][3] += theirs[d] - own[d];
  m_ImageInfo.UpdateOrientation(3);
}

template <class T>
void nuqImageDataT<T>::CopyIntensityScalingFrom(const nuqImageInfo *source) {
  m_ImageInfo.CopyIntensityScalingFrom(source);
}

template <class T>
void nuqImageDataT<T>::GetOrientationInfo(nuqImageInfo *target) const {
  if (target != nullptr) target->CopyOrientationFrom(&m_ImageInfo);
}

template <class T>
bool nuqImageDataT<T>::IsSameGrid(const nuqImageDataT *other) const {
  return other != nullptr && m_ImageInfo.IsSameGrid(&other->m_ImageInfo);
}

template <class T>
void nuqImageDataT<T>::GetImageInfo(nuqImageInfo *out) const {
  if (out == nullptr) {
    std::cerr << "error: get image info\n";
    return;
  }
  m_ImageInfo.Clone(out);
}

template <class T>
void nuqImageDataT<T>::SetImageInfo(const nuqImageInfo *in) {
  if (in != nullptr) in->Clone(&m_ImageInfo);
}

template <class T>
bool nuqImageDataT<T>::SetImageSpacing(const float *spacing) {
  if (spacing == nullptr) return false;
  for (int d = 0; d < 4; ++d)
    if (std::abs(spacing[d]) > 1e-20f) m_ImageInfo.m_fSpacing[d] = spacing[d];
  return true;
}

template class nuqImageDataT<short>;
template class nuqImageDataT<float>;
template class nuqImageDataT<char>;
