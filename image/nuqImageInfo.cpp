#include "nuqImageInfo.h"

#include <nifti1_io.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <utility>

#include "nuqMatrix.h"

int GiplCodeByteWidth(int code) {
  switch (code) {
    case 7:
    case 8:
      return 1;
    case 15:
    case 16:
      return 2;
    case 31:
    case 32:
    case 64:
      return 4;
    case 65:
      return 8;
    default:
      return 0;
  }
}

bool IsIntegerGiplCode(int code) {
  return code == 7 || code == 8 || code == 15 || code == 16 || code == 31 || code == 32;
}

namespace {

mat44 ToMat44(const float m[4][4]) {
  mat44 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.m[i][j] = m[i][j];
  return r;
}

void FromMat44(const mat44 &r, float m[4][4]) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m[i][j] = r.m[i][j];
}

}  // namespace

nuqImageInfo::nuqImageInfo() {
  for (int d = 0; d < 4; ++d) {
    m_fSpacing[d] = 1.0f;
    m_iSize[d] = 1;
    m_fOrigin[d] = 0.0f;
  }
  m_fSpacing[3] = 1.0f / 60.0f;
  SetIdentityMatrix(&m_fRotationMatrix[0][0], 3);
  for (float &v : m_fQuaternOffset) v = 0.0f;
  SetIdentityMatrix(&m_fImageToWorld[0][0], 4);
  SetIdentityMatrix(&m_fWorldToImage[0][0], 4);
}

nuqImageInfo::~nuqImageInfo() = default;

nuqImageInfo *nuqImageInfo::Clone(nuqImageInfo *target) const {
  if (target == nullptr) target = new nuqImageInfo;
  if (target != this) *target = *this;
  return target;
}

void nuqImageInfo::ResetOrientation() {
  m_fQuaternQf = 1.0f;
  m_fQuaternB = m_fQuaternC = m_fQuaternD = 0.0f;
  for (float &v : m_fQuaternOffset) v = 0.0f;
  UpdateOrientation(-2);
  m_iOrientationMethod = 0;
}

bool nuqImageInfo::CopyOrientationFrom(const nuqImageInfo *source) {
  if (source == nullptr) {
    std::cerr << "error: image info source is null in \n";
    return false;
  }
  if (m_iOrientationMethod == 0) m_iOrientationMethod = source->m_iOrientationMethod;
  if (m_iDimension < 1 || m_iDimension > 4) m_iDimension = source->m_iDimension;
  std::memcpy(m_fOrigin, source->m_fOrigin, sizeof(m_fOrigin));
  std::memcpy(m_fRotationMatrix, source->m_fRotationMatrix, sizeof(m_fRotationMatrix));
  m_fQuaternQf = source->m_fQuaternQf;
  m_fQuaternB = source->m_fQuaternB;
  m_fQuaternC = source->m_fQuaternC;
  m_fQuaternD = source->m_fQuaternD;
  std::memcpy(m_fQuaternOffset, source->m_fQuaternOffset, sizeof(m_fQuaternOffset));
  std::memcpy(m_fImageToWorld, source->m_fImageToWorld, sizeof(m_fImageToWorld));
  std::memcpy(m_fWorldToImage, source->m_fWorldToImage, sizeof(m_fWorldToImage));
  return true;
}

bool nuqImageInfo::CopyIntensityScalingFrom(const nuqImageInfo *source) {
  if (source == nullptr) {
    std::cerr << "error: image info source is null in \n";
    return false;
  }
  m_fSlope = source->m_fSlope;
  m_fIntercept = source->m_fIntercept;
  return true;
}

bool nuqImageInfo::CopyOrientationAndUpdate(const nuqImageInfo *source) {
  const bool ok = CopyOrientationFrom(source);
  UpdateOrientation(-2);
  return ok;
}

// World position of the grid centre: m_fImageToWorld applied to (g, 1).
void nuqImageInfo::OriginFromImageToWorld() {
  float g[3];
  for (int d = 0; d < 3; ++d) g[d] = (m_iSize[d] - 1) * 0.5f;
  for (int i = 0; i < 3; ++i)
    m_fOrigin[i] = m_fImageToWorld[i][0] * g[0] + m_fImageToWorld[i][1] * g[1] +
                   m_fImageToWorld[i][2] * g[2] + m_fImageToWorld[i][3];
}

void nuqImageInfo::QuaternionFromImageToWorld() {
  float dx, dy, dz;
  nifti_mat44_to_quatern(ToMat44(m_fImageToWorld), &m_fQuaternB, &m_fQuaternC, &m_fQuaternD,
                         &m_fQuaternOffset[0], &m_fQuaternOffset[1], &m_fQuaternOffset[2], &dx,
                         &dy, &dz, &m_fQuaternQf);
}

void nuqImageInfo::InverseFromImageToWorld() {
  FromMat44(nifti_mat44_inverse(ToMat44(m_fImageToWorld)), m_fWorldToImage);
}

void nuqImageInfo::UpdateOrientation(int method) {
  switch (method) {
    case -2: {
      FromMat44(nifti_quatern_to_mat44(m_fQuaternB, m_fQuaternC, m_fQuaternD, m_fQuaternOffset[0],
                                       m_fQuaternOffset[1], m_fQuaternOffset[2], m_fSpacing[0],
                                       m_fSpacing[1], m_fSpacing[2], m_fQuaternQf),
                m_fImageToWorld);
      InverseFromImageToWorld();
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m_fRotationMatrix[i][j] = m_fImageToWorld[i][j] / m_fSpacing[j];
      OriginFromImageToWorld();
      break;
    }
    case 1: {
      SetIdentityMatrix(&m_fImageToWorld[0][0], 4);
      for (int d = 0; d < 3; ++d) m_fImageToWorld[d][d] = m_fSpacing[d];
      UpdateOrientation(3);
      break;
    }
    case 2: {
      // T(origin) x R x S x T(-g): column j is R's column j times spacing j;
      // the translation puts the grid centre g at the origin.
      float g[3];
      for (int d = 0; d < 3; ++d) g[d] = (m_iSize[d] - 1) * 0.5f;
      SetIdentityMatrix(&m_fImageToWorld[0][0], 4);
      for (int i = 0; i < 3; ++i) {
        float t = m_fOrigin[i];
        for (int j = 0; j < 3; ++j) {
          m_fImageToWorld[i][j] = m_fRotationMatrix[i][j] * m_fSpacing[j];
          t -= m_fImageToWorld[i][j] * g[j];
        }
        m_fImageToWorld[i][3] = t;
      }
      InverseFromImageToWorld();
      QuaternionFromImageToWorld();
      break;
    }
    case 3: {
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m_fRotationMatrix[i][j] = m_fImageToWorld[i][j] / m_fSpacing[j];
      OriginFromImageToWorld();
      QuaternionFromImageToWorld();
      InverseFromImageToWorld();
      break;
    }
    default:
      std::cerr << "error: undefined orientation method\n";
      break;
  }
  m_iOrientationMethod = method;
}

bool nuqImageInfo::SetSpacingAndResize(const float *spacing) {
  if (spacing == nullptr) return false;
  int size[4] = {1, 1, 1, 1};
  ComputeSizeForSpacing(spacing, size);
  for (int d = 0; d < 4; ++d) {
    m_fSpacing[d] = spacing[d];
    m_iSize[d] = size[d];
  }
  UpdateOrientation(-2);
  return true;
}

bool nuqImageInfo::ExtendROI(const int *lower, const int *upper) {
  int size[4];
  for (int d = 0; d < 4; ++d) {
    size[d] = upper[d] + m_iSize[d] + lower[d];
    if (size[d] < 1) {
      std::cerr << "warning: size of dimension " << d
                << " will be less than 1 if extend ROI, hence not action be applied\n";
      return false;
    }
  }
  float p[4] = {-static_cast<float>(lower[0]), -static_cast<float>(lower[1]),
                -static_cast<float>(lower[2]), -static_cast<float>(lower[3])};
  GridToWorld(p);
  for (int i = 0; i < 3; ++i) m_fImageToWorld[i][3] = p[i];
  for (int d = 0; d < 4; ++d) m_iSize[d] = size[d];
  m_iDimension = size[3] != 1 ? 4 : (size[2] != 1 ? 3 : 2);
  UpdateOrientation(3);
  return true;
}

bool nuqImageInfo::IsSameGrid(const nuqImageInfo *other) const {
  if (other == nullptr || other->m_iDimension != m_iDimension) return false;
  for (int d = 0; d < m_iDimension && d < 4; ++d)
    if (m_fSpacing[d] != other->m_fSpacing[d] || m_iSize[d] != other->m_iSize[d]) return false;
  return true;
}

bool nuqImageInfo::IsSameQuaternion(const nuqImageInfo *other) const {
  if (other == nullptr) return false;
  return m_fQuaternOffset[0] == other->m_fQuaternOffset[0] &&
         m_fQuaternOffset[1] == other->m_fQuaternOffset[1] &&
         m_fQuaternOffset[2] == other->m_fQuaternOffset[2] && m_fQuaternB == other->m_fQuaternB &&
         m_fQuaternC == other->m_fQuaternC && m_fQuaternD == other->m_fQuaternD &&
         m_fQuaternQf == other->m_fQuaternQf;
}

void nuqImageInfo::GetWorldBoundingBox(float *minimum, float *maximum) const {
  for (int d = 0; d < 4; ++d) {
    minimum[d] = 0.0f;
    maximum[d] = static_cast<float>(m_iSize[d] - 1);
  }
  GridToWorld(minimum);
  GridToWorld(maximum);
  for (int d = 0; d < 4; ++d)
    if (minimum[d] > maximum[d]) std::swap(minimum[d], maximum[d]);
}

void nuqImageInfo::GetPhysicalExtent(float *extent) const {
  for (int d = 0; d < m_iDimension && d < 4; ++d) extent[d] = (m_iSize[d] - 1) * m_fSpacing[d];
}

float nuqImageInfo::GetPixelVolume() const {
  float v = m_fSpacing[0] * m_fSpacing[1];
  if (m_iDimension >= 3) v *= m_fSpacing[2];
  return v;
}

int nuqImageInfo::GetNumberOfPixels() const {
  return m_iSize[0] * m_iSize[1] * m_iSize[2] * m_iSize[3];
}

void nuqImageInfo::ComputeSizeFromExtent(const float *extent, int *size) const {
  for (int d = 0; d < m_iDimension && d < 4; ++d)
    size[d] = static_cast<int>(std::ceil(extent[d] / m_fSpacing[d] + 1.0f));
}

void nuqImageInfo::ComputeSizeForSpacing(const float *spacing, int *size) const {
  for (int d = 0; d < m_iDimension && d < 4; ++d)
    size[d] = static_cast<int>(std::ceil((m_iSize[d] - 1) * m_fSpacing[d] / spacing[d] + 1.0f));
}

std::string nuqImageInfo::GetInfoText() const {
  char buf[1024];
  std::string text = "filename:" + m_strFileName;
  std::snprintf(buf, sizeof(buf), "\nproblem of dimension: %d\n", m_iDimension);
  text += buf;
  std::snprintf(buf, sizeof(buf), "data type:%d ; byte of type: %d ; slope/intercept: %f/%f\n",
                m_usDataType, m_iByteOfDataType, m_fSlope, m_fIntercept);
  text += buf;
  const bool left = Determinant3x3(&m_fImageToWorld[0][0], 4) < 0.0f;
  std::snprintf(buf, sizeof(buf), "orientation method: %d; %s \n", m_iOrientationMethod,
                left ? "Left hand coordinate" : "Right hand coordinate");
  text += buf;
  std::snprintf(buf, sizeof(buf),
                "spacing: (%.3f,%.3f,%.3f,%.3f); size: (%d,%d,%d,%d); origin: "
                "(%.3f,%.3f,%.3f,%.3f)\n",
                m_fSpacing[0], m_fSpacing[1], m_fSpacing[2], m_fSpacing[3], m_iSize[0], m_iSize[1],
                m_iSize[2], m_iSize[3], m_fOrigin[0], m_fOrigin[1], m_fOrigin[2], m_fOrigin[3]);
  text += buf;
  const float(*r)[3] = m_fRotationMatrix;
  std::snprintf(buf, sizeof(buf),
                "orientation rotation matrix:\n(%f\t%f\t%f)\n(%f\t%f\t%f)\n(%f\t%f\t%f)\n", r[0][0],
                r[0][1], r[0][2], r[1][0], r[1][1], r[1][2], r[2][0], r[2][1], r[2][2]);
  text += buf;
  std::snprintf(buf, sizeof(buf),
                "quatern parameters (qf, qb, qc, qd, qoffset[3]): %f; %f,%f,%f; %f,%f,%f. \n",
                m_fQuaternQf, m_fQuaternB, m_fQuaternC, m_fQuaternD, m_fQuaternOffset[0],
                m_fQuaternOffset[1], m_fQuaternOffset[2]);
  text += buf;
  auto rows = [&buf](const char *title, const float(*m)[4]) {
    std::snprintf(buf, sizeof(buf),
                  "%s\n(%f\t%f\t%f\t%f)\n(%f\t%f\t%f\t%f)\n(%f\t%f\t%f\t%f)\n", title, m[0][0],
                  m[0][1], m[0][2], m[0][3], m[1][0], m[1][1], m[1][2], m[1][3], m[2][0], m[2][1],
                  m[2][2], m[2][3]);
    return std::string(buf);
  };
  text += rows("image grid to world coordinate matrix:", m_fImageToWorld);
  text += rows("world coordinate to image grid matrix:", m_fWorldToImage);
  return text;
}

std::string nuqImageInfo::GetQuaternionText() const {
  char buf[512];
  std::snprintf(buf, sizeof(buf), "#quaternion qf,qb,qc,qd,qx,qy,qz#\n%f\t %f\t%f\t%f\t %f\t%f\t%f\n",
                m_fQuaternQf, m_fQuaternB, m_fQuaternC, m_fQuaternD, m_fQuaternOffset[0],
                m_fQuaternOffset[1], m_fQuaternOffset[2]);
  return buf;
}

bool nuqImageInfo::ReadQuaternionText(std::istream &input) {
  if (!input.good()) return false;
  std::string line;
  while (std::getline(input, line)) {
    if (line.size() > 1024) line.resize(1024);
    std::string::size_type cut = line.find('#');
    if (cut == std::string::npos) cut = line.find('%');
    if (cut == std::string::npos) cut = line.find('?');
    if (cut != std::string::npos) line.erase(cut);
    const std::string::size_type first = line.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) continue;
    std::istringstream values(line.substr(first));
    float q[7];
    for (float &v : q)
      if (!(values >> v)) return false;
    m_fQuaternQf = q[0];
    m_fQuaternB = q[1];
    m_fQuaternC = q[2];
    m_fQuaternD = q[3];
    for (int i = 0; i < 3; ++i) m_fQuaternOffset[i] = q[4 + i];
    UpdateOrientation(-2);
    return true;
  }
  return false;
}

void nuqImageInfo::GetSpacingMatrix(float *m) const {
  for (int i = 0; i < 16; ++i) m[i] = 0.0f;
  for (int i = 0; i < m_iDimension && i < 3; ++i) m[i * 4 + i] = m_fSpacing[i];
  m[15] = 1.0f;
}

void nuqImageInfo::GetUnscaledImageToWorld(float *m) const {
  float d[16] = {0};
  d[15] = 1.0f;
  const int n = m_iDimension == 4 ? 3 : (m_iDimension < 3 ? m_iDimension : 3);
  for (int i = 0; i < n; ++i) d[i * 4 + i] = 1.0f / m_fSpacing[i];
  MultiplyMatrix(m, &m_fImageToWorld[0][0], d, 4);
}

void nuqImageInfo::GridToPhysical(float *p) const {
  for (int d = 0; d < m_iDimension && d < 4; ++d) p[d] *= m_fSpacing[d];
}

void nuqImageInfo::PhysicalToGrid(float *p) const {
  for (int d = 0; d < m_iDimension && d < 4; ++d) p[d] /= m_fSpacing[d];
}
