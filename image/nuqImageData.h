// Image volume: a voxel buffer of T (short, float or char) with its header.
//
// Voxel (x, y, z, t) sits at x + y*nx + z*nx*ny + t*nx*ny*nz (x fastest).
// Sizes beyond the dimension are 1. The volume owns its buffer. Its data type
// code (a GIPL code, see nuqImageInfo.h) names the file type the voxels came
// from or will be written as; a new volume carries 15, 64 or 7.
//
// Direct reads (GetPixelGreyscale, ...ByIndex) do no checks: they are the
// inner loop of every resampling. Callers test with InsideGrid first. The
// class is final so that calls through a volume pointer are not dispatched
// at run time.
#pragma once

#include <string>

#include "nuqImageInfo.h"

template <class T>
class nuqImageDataT final {
 public:
  nuqImageDataT();
  nuqImageDataT(const nuqImageDataT &) = delete;
  nuqImageDataT &operator=(const nuqImageDataT &) = delete;

  // Adopts `data` (new[]-allocated, info's voxel count); takes dimension,
  // sizes, spacings and placement from info, not its file name, type or scaling.
  virtual bool SetImageData(T *data, const nuqImageInfo *info);
  virtual bool NewImage(const nuqImageInfo *info);
  // A zero volume of the given grid placed with orientation's quaternion at
  // its own spacing. All four size entries are read. False (with an
  // "error: " line) when the voxel count overflows or allocation fails.
  virtual bool NewImage(int dimension, const int *size, const float *spacing,
                        const nuqImageInfo *orientation);
  virtual void SetDataType(short code);
  virtual short GetDataType() const;
  virtual ~nuqImageDataT();
  // Deep copy into target (created when null); returns target.
  virtual nuqImageDataT *Clone(nuqImageDataT *target = nullptr) const;
  virtual bool CloneFrom(const nuqImageDataT *source);
  // Writes without a bounds check; with no buffer the process ends (status 1).
  virtual bool SetPixelByGreyscale(int x, int y, int z, int t, T value);
  // Indices clamped into the grid.
  virtual T GetPixelGreyscaleClosest(int x, int y) const;
  virtual T GetPixelGreyscaleClosest(int x, int y, int z) const;
  virtual T GetPixelGreyscaleClosest(int x, int y, int z, int t) const;
  // Indices reflected about the first and last voxel.
  virtual T GetPixelGreyscaleMirror(int x, int y, int z, int t) const;
  // Reads by dimension 2, 3 or 4; other dimensions print and give 0.
  virtual T GetPixelGreyscale(const int *index) const;
  // Coordinates rounded half away from zero, no bounds check.
  virtual T GetPixelGreyscaleNearest(float x, float y, float z, float t) const;
  virtual T GetPixelGreyscale(int x, int y, int z, int t) const {
    return m_pImageData[x + y * m_ImageInfo.m_iSize[0] + z * m_iSliceSize + t * m_iVolumeSize];
  }
  virtual T GetPixelGreyscale(int x, int y, int z) const {
    return m_pImageData[x + y * m_ImageInfo.m_iSize[0] + z * m_iSliceSize];
  }
  virtual T GetPixelGreyscale(int x, int y) const {
    return m_pImageData[x + y * m_ImageInfo.m_iSize[0]];
  }
  // The buffer, still owned by the volume.
  virtual T *GetImageData() { return m_pImageData; }
  const T *GetImageData() const { return m_pImageData; }
  virtual T GetPixelGreyscaleByIndex(int i) const { return m_pImageData[i]; }
  virtual void SetPixelGreyscaleByIndex(int i, T value) { m_pImageData[i] = value; }
  virtual T GetMaxGreyscale() const;
  virtual T GetMinGreyscale() const;
  virtual int GetDimension() const { return m_ImageInfo.m_iDimension; }
  virtual void SetDimension(int dimension) { m_ImageInfo.m_iDimension = dimension; }
  virtual void GetImageSize(int &nx, int &ny, int &nz, int &nt) const;
  // nt * nx * ny * nz with a buffer, else 0.
  virtual int GetNumberOfPixels() const;
  virtual void GetImageSpacing(float &sx, float &sy, float &sz, float &st) const;
  virtual void GetWorldBoundingBox(float *minimum, float *maximum) const;
  virtual void GetPhysicalExtent(float *extent) const;
  // Releases the buffer; sizes, slice and volume size become 0.
  virtual void ReleaseImage();
  virtual bool IsEmpty() const { return m_pImageData == nullptr; }
  virtual void ImageToWorld(float *p) const { m_ImageInfo.GridToWorld(p); }
  virtual void WorldToImage(float *p) const { m_ImageInfo.WorldToGrid(p); }
  virtual void GridToWorld(float &x, float &y, float &z, float &t) const;
  virtual void GridToWorld(float *p) const { m_ImageInfo.GridToWorld(p); }
  virtual void WorldToGrid(float &x, float &y, float &z, float &t) const;
  virtual void WorldToGrid(float *p) const { m_ImageInfo.WorldToGrid(p); }
  virtual void ComputeSizeFromExtent(const float *extent, int *size) const;
  virtual void ComputeSizeForSpacing(const float *spacing, int *size) const;
  // 0 <= p[d] <= size d - 1 for d below the dimension (no buffer check).
  virtual bool InsideGrid(const float *p) const;
  // A buffer exists and every index lies in the grid.
  virtual bool InsideGrid(int x, int y, int z, int t) const;
  virtual bool InsideGrid(float x, float y, float z, float t) const;
  // Inside with a tolerance of spacing * 0.001 per axis; needs a buffer.
  virtual bool InsideGridTolerant(float x, float y, float z, float t) const;
  virtual void ClampToGrid(float &x, float &y, float &z, float &t) const;
  virtual bool InsideWorld(const float *p) const;
  virtual bool InsideWorld(float x, float y, float z, float t) const;
  // Grey-weighted centre in grid coordinates, computed once unless forced.
  virtual bool ComputeGreyCentroid(bool force);
  virtual void GetGreyCentroid(float &x, float &y, float &z, float &t) const;
  // Takes other's orientation at own spacing and matches a reference point:
  // mode 1 grid centres, mode 2 last indices, otherwise index 0.
  virtual void AlignGridTo(const nuqImageInfo *other, int mode);
  virtual void CopyIntensityScalingFrom(const nuqImageInfo *source);
  virtual void GetOrientationInfo(nuqImageInfo *target) const;
  virtual bool IsSameGrid(const nuqImageDataT *other) const;
  virtual void SetGiplTag(int tag) { m_iGiplTag = tag; }
  virtual int GetGiplTag() const { return m_iGiplTag; }
  virtual short GetGiplFlags() const { return m_sGiplFlags; }
  virtual void SetGiplFlags(short flags) { m_sGiplFlags = flags; }
  virtual void SetFileName(const std::string &name) { m_ImageInfo.m_strFileName = name; }
  virtual std::string GetFileName() const { return m_ImageInfo.m_strFileName; }
  // Copies the whole header into out.
  virtual void GetImageInfo(nuqImageInfo *out) const;
  // Replaces the whole header by a copy of in (which must describe this grid).
  virtual void SetImageInfo(const nuqImageInfo *in);
  virtual void SetTimeSpacing(float spacing) { m_ImageInfo.m_fSpacing[3] = spacing; }
  // Entries with |value| > 1e-20 replace the spacing; no matrix update.
  virtual bool SetImageSpacing(const float *spacing);

  nuqImageInfo *GetInfo() { return &m_ImageInfo; }
  const nuqImageInfo *GetInfo() const { return &m_ImageInfo; }
  const int *GetSizeArray() const { return m_ImageInfo.m_iSize; }
  const float *GetSpacingArray() const { return m_ImageInfo.m_fSpacing; }
  int GetSliceSize() const { return m_iSliceSize; }
  int GetVolumeSize() const { return m_iVolumeSize; }

 private:
  void ResetVolumeFields();
  void UpdateStrides();

  T *m_pImageData = nullptr;
  int m_iSliceSize = 1;
  int m_iVolumeSize = 1;
  float m_fGreyCentroid[4];
  nuqImageInfo m_ImageInfo;
  short m_sGiplFlags = 0;
  int m_iGiplTag = 815;
};

using nuqImageDataS = nuqImageDataT<short>;
using nuqImageDataF = nuqImageDataT<float>;
using nuqImageDataC = nuqImageDataT<char>;

extern template class nuqImageDataT<short>;
extern template class nuqImageDataT<float>;
extern template class nuqImageDataT<char>;
