// Header and world placement of an image volume.
//
// World coordinates are millimetres, grid coordinates voxel indices
// (continuous between voxels). The placement is held four ways: quaternion
// (qfac, b, c, d, offset = world position of index 0), rotation matrix plus
// origin (world position of the grid centre ((nx-1)/2, (ny-1)/2, (nz-1)/2)),
// the grid-to-world matrix and its inverse. UpdateOrientation(method) rebuilds
// all of them from the one named by `method` and records it:
//   -2 quaternion, 1 spacing only, 2 rotation + origin, 3 grid-to-world matrix
//   (0 means none set yet).
// After it, m_fImageToWorld = T(origin) R S T(-centre) with S = diag(spacing).
// The time axis is outside the matrices: world t = spacing t * grid t + origin t.
//
// Matrices are float[4][4], row-major, applied to column vectors (x, y, z, 1).
// Fields are public: readers and writers fill them directly, then call
// UpdateOrientation.
#pragma once

#include <istream>
#include <string>

// Voxel types are GIPL type codes.
enum nuqGiplTypeCode : short {
  GIPL_BINARY = 1,
  GIPL_CHAR = 7,
  GIPL_U_CHAR = 8,
  GIPL_SHORT = 15,
  GIPL_U_SHORT = 16,
  GIPL_U_INT = 31,
  GIPL_INT = 32,
  GIPL_FLOAT = 64,
  GIPL_DOUBLE = 65,
};
// Bytes per voxel of a GIPL type code; 0 for binary and unknown codes.
int GiplCodeByteWidth(int code);
// True for the integer codes 7, 8, 15, 16, 31, 32 (values are rounded).
bool IsIntegerGiplCode(int code);

class nuqImageInfo {
 public:
  nuqImageInfo();
  virtual ~nuqImageInfo();

  // Copies every field into target (created when null) and returns it.
  virtual nuqImageInfo *Clone(nuqImageInfo *target = nullptr) const;
  // Quaternion to identity at offset 0, matrices rebuilt, method back to 0.
  virtual void ResetOrientation();
  // Origin, rotation, quaternion and both matrices (not spacing or size);
  // takes the source's method and dimension when this one has none.
  virtual bool CopyOrientationFrom(const nuqImageInfo *source);
  virtual bool CopyIntensityScalingFrom(const nuqImageInfo *source);
  // CopyOrientationFrom, then rebuilt from the quaternion with own spacing.
  virtual bool CopyOrientationAndUpdate(const nuqImageInfo *source);
  virtual void UpdateOrientation(int method);
  // New spacing, sizes so that the physical extent is kept; index 0 stays.
  virtual bool SetSpacingAndResize(const float *spacing);
  // Grows by lower[d] voxels before index 0 and upper[d] after the last one.
  virtual bool ExtendROI(const int *lower, const int *upper);
  // Same dimension, sizes and spacings; placement is ignored.
  virtual bool IsSameGrid(const nuqImageInfo *other) const;
  virtual bool IsSameQuaternion(const nuqImageInfo *other) const;
  // World positions of grid (0,0,0,0) and of the last index, sorted per axis.
  virtual void GetWorldBoundingBox(float *minimum, float *maximum) const;
  virtual void GetPhysicalExtent(float *extent) const;
  virtual float GetPixelVolume() const;
  virtual int GetNumberOfPixels() const;
  virtual void ComputeSizeFromExtent(const float *extent, int *size) const;
  virtual void ComputeSizeForSpacing(const float *spacing, int *size) const;
  virtual std::string GetInfoText() const;
  virtual std::string GetQuaternionText() const;
  virtual bool ReadQuaternionText(std::istream &input);
  virtual void GetSpacingMatrix(float *m) const;
  // m_fImageToWorld with the spacing divided out of its columns.
  virtual void GetUnscaledImageToWorld(float *m) const;

  // In place on four floats (x, y, z, t).
  // Inline: the field and inverse loops call them for every sample.
  void GridToWorld(float *p) const {
    const float x = p[0], y = p[1], z = p[2];
    for (int i = 0; i < 3; ++i)
      p[i] = m_fImageToWorld[i][0] * x + m_fImageToWorld[i][1] * y + m_fImageToWorld[i][2] * z +
             m_fImageToWorld[i][3];
    if (m_iDimension >= 4 && m_fSpacing[3] != 0.0f) p[3] = m_fSpacing[3] * p[3] + m_fOrigin[3];
  }
  void WorldToGrid(float *p) const {
    const float x = p[0], y = p[1], z = p[2];
    for (int i = 0; i < 3; ++i)
      p[i] = m_fWorldToImage[i][0] * x + m_fWorldToImage[i][1] * y + m_fWorldToImage[i][2] * z +
             m_fWorldToImage[i][3];
    if (m_iDimension >= 4 && m_fSpacing[3] != 0.0f) p[3] = (p[3] - m_fOrigin[3]) / m_fSpacing[3];
  }
  // In place on the first m_iDimension entries.
  void GridToPhysical(float *p) const;
  void PhysicalToGrid(float *p) const;

  // Plain accessors.
  const std::string &GetFileName() const { return m_strFileName; }
  void SetFileName(const std::string &name) { m_strFileName = name; }
  const std::string &GetFileFormat() const { return m_strFileFormat; }
  void SetFileFormat(const std::string &format) { m_strFileFormat = format; }
  int GetDimension() const { return m_iDimension; }
  void SetDimension(int dimension) { m_iDimension = dimension; }
  unsigned short GetDataType() const { return m_usDataType; }
  void SetDataType(unsigned short code) { m_usDataType = code; }
  int GetByteOfDataType() const { return m_iByteOfDataType; }
  void SetByteOfDataType(int bytes) { m_iByteOfDataType = bytes; }
  int GetOrientationMethod() const { return m_iOrientationMethod; }
  void SetOrientationMethod(int method) { m_iOrientationMethod = method; }
  const float *GetSpacing() const { return m_fSpacing; }
  float GetSpacing(int d) const { return m_fSpacing[d]; }
  void SetSpacing(int d, float value) { m_fSpacing[d] = value; }
  const int *GetSize() const { return m_iSize; }
  int GetSize(int d) const { return m_iSize[d]; }
  void SetSize(int d, int value) { m_iSize[d] = value; }
  const float *GetOrigin() const { return m_fOrigin; }
  float GetSlope() const { return m_fSlope; }
  void SetSlope(float slope) { m_fSlope = slope; }
  float GetIntercept() const { return m_fIntercept; }
  void SetIntercept(float intercept) { m_fIntercept = intercept; }
  const float *GetImageToWorld() const { return &m_fImageToWorld[0][0]; }
  const float *GetWorldToImage() const { return &m_fWorldToImage[0][0]; }

  std::string m_strFileName;
  int m_iDimension = 0;
  std::string m_strFileFormat;
  unsigned short m_usDataType = 0;
  int m_iByteOfDataType = 0;
  int m_iOrientationMethod = 0;
  float m_fSpacing[4];
  int m_iSize[4];
  float m_fOrigin[4];
  float m_fRotationMatrix[3][3];
  float m_fQuaternQf = 1.0f;
  float m_fQuaternB = 0.0f;
  float m_fQuaternC = 0.0f;
  float m_fQuaternD = 0.0f;
  float m_fQuaternOffset[3];
  float m_fImageToWorld[4][4];
  float m_fWorldToImage[4][4];
  float m_fSlope = 1.0f;
  float m_fIntercept = 0.0f;

 private:
  void OriginFromImageToWorld();
  void QuaternionFromImageToWorld();
  void InverseFromImageToWorld();
};
