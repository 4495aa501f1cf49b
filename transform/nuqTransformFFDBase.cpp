#include "nuqTransformFFDBase.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <vector>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqImageIO.h"
#include "nuqMemoryLimit.h"

namespace {

// Longest FFD line accepted (one row of control points), without its break.
constexpr int kFFDLineBuffer = 16384;

// The contributing nodes of one axis for a point: at most four consecutive
// control indices starting at `first`, with their basis weights and the
// derivatives of the weights with respect to the grid index.
struct AxisWindow {
  int first;
  int count;
  float w[4];
  float dw[4];
};

// Spacing used to convert between index and millimetres; an unset (0)
// spacing behaves as 1, as the grid matrices themselves do.
inline float EffectiveSpacing(float s) { return s > 0.0f ? s : 1.0f; }

// u is the continuous control index along an axis of n nodes. Nodes
// floor(u) - 1 .. floor(u) + 2 that lie inside the grid contribute; a point
// two or more spacings outside (or not a number) gets an empty window.
// Derivatives are filled only when asked for.
template <bool kDerivatives>
inline void SetAxisWindow(float u, int n, AxisWindow &a) {
  if (!(u > -2.0f && u < static_cast<float>(n) + 1.0f)) {
    a.count = 0;
    return;
  }
  const float fl = std::floor(u);
  const int i = static_cast<int>(fl);
  const float f = u - fl;
  const float f2 = f * f;
  const float f3 = f2 * f;
  const float g = 1.0f - f;
  const float all[4] = {g * g * g / 6.0f, (3.0f * f3 - 6.0f * f2 + 4.0f) / 6.0f,
                        (-3.0f * f3 + 3.0f * f2 + 3.0f * f + 1.0f) / 6.0f, f3 / 6.0f};
  int lo = i - 1;
  int m0 = 0;
  if (lo < 0) {
    m0 = -lo;
    lo = 0;
  }
  const int hi = std::min(i + 2, n - 1);
  a.first = lo;
  a.count = hi - lo + 1;
  if (a.count < 0) a.count = 0;
  for (int k = 0; k < a.count; ++k) a.w[k] = all[m0 + k];
  if (kDerivatives) {
    const float dall[4] = {-g * g / 2.0f, (3.0f * f2 - 4.0f * f) / 2.0f, 0.5f + f - 1.5f * f2,
                           f2 / 2.0f};
    for (int k = 0; k < a.count; ++k) a.dw[k] = dall[m0 + k];
  }
}

// An axis the deformation does not vary along: node 0 with weight 1.
inline void SetFlatWindow(AxisWindow &a) {
  a.first = 0;
  a.count = 1;
  a.w[0] = 1.0f;
  a.dw[0] = 0.0f;
}

// Sum over the window: every (y, z) row of contributing nodes is added with
// its weight wy * wz into one short array (contiguous offsets, so the loop
// vectorises), then the x weights combine the array:
//   d_c = sum_x wx * sum_(y,z) wy wz offset_c.
template <int D>
void SumDisplacement(const float *pOffsets, int nx, int nxy, const AxisWindow *a, float *d) {
  constexpr int kRow = 4 * D;
  float acc[kRow] = {};
  const int nRow = a[0].count * D;
  for (int kz = 0; kz < a[2].count; ++kz) {
    const float *pSlice = pOffsets + static_cast<std::size_t>(a[2].first + kz) * nxy * D;
    for (int ky = 0; ky < a[1].count; ++ky) {
      const float *pRow =
          pSlice + (static_cast<std::size_t>(a[1].first + ky) * nx + a[0].first) * D;
      const float w = a[2].w[kz] * a[1].w[ky];
      if (nRow == kRow) {
        for (int k = 0; k < kRow; ++k) acc[k] += w * pRow[k];
      } else {
        for (int k = 0; k < nRow; ++k) acc[k] += w * pRow[k];
      }
    }
  }
  for (int c = 0; c < D; ++c) {
    float s = 0.0f;
    for (int kx = 0; kx < a[0].count; ++kx) s += a[0].w[kx] * acc[kx * D + c];
    d[c] = s;
  }
}

// The same for a 3-D point whose 64 nodes all lie inside the grid: fixed
// trip counts, so the sixteen rows of twelve offsets unroll and vectorise.
inline void SumDisplacementInterior3(const float *pOffsets, int nx, int nxy, const AxisWindow *a,
                                     float *d) {
  float acc[12] = {};
  const float *pBase =
      pOffsets + ((static_cast<std::size_t>(a[2].first) * nxy +
                   static_cast<std::size_t>(a[1].first) * nx + a[0].first) *
                  3);
  for (int kz = 0; kz < 4; ++kz) {
    for (int ky = 0; ky < 4; ++ky) {
      const float *pRow =
          pBase + (static_cast<std::size_t>(kz) * nxy + static_cast<std::size_t>(ky) * nx) * 3;
      const float w = a[2].w[kz] * a[1].w[ky];
      for (int k = 0; k < 12; ++k) acc[k] += w * pRow[k];
    }
  }
  for (int c = 0; c < 3; ++c) {
    d[c] = a[0].w[0] * acc[c] + a[0].w[1] * acc[3 + c] + a[0].w[2] * acc[6 + c] +
           a[0].w[3] * acc[9 + c];
  }
}

// Derivatives of the displacement with respect to the grid index, by the
// same row scheme: grad[r * 3 + c] = d(d_r)/d(g_c), c < 3.
template <int D>
void SumDisplacementGradient(const float *pOffsets, int nx, int nxy, const AxisWindow *a,
                             float *grad) {
  constexpr int kRow = 4 * D;
  float acc[kRow] = {}, accY[kRow] = {}, accZ[kRow] = {};
  const int nRow = a[0].count * D;
  for (int kz = 0; kz < a[2].count; ++kz) {
    const float *pSlice = pOffsets + static_cast<std::size_t>(a[2].first + kz) * nxy * D;
    for (int ky = 0; ky < a[1].count; ++ky) {
      const float *pRow =
          pSlice + (static_cast<std::size_t>(a[1].first + ky) * nx + a[0].first) * D;
      const float w = a[2].w[kz] * a[1].w[ky];
      const float wY = a[2].w[kz] * a[1].dw[ky];
      const float wZ = a[2].dw[kz] * a[1].w[ky];
      for (int k = 0; k < nRow; ++k) {
        acc[k] += w * pRow[k];
        accY[k] += wY * pRow[k];
        accZ[k] += wZ * pRow[k];
      }
    }
  }
  for (int r = 0; r < D; ++r) {
    float gx = 0.0f, gy = 0.0f, gz = 0.0f;
    for (int kx = 0; kx < a[0].count; ++kx) {
      gx += a[0].dw[kx] * acc[kx * D + r];
      gy += a[0].w[kx] * accY[kx * D + r];
      gz += a[0].w[kx] * accZ[kx * D + r];
    }
    grad[r * 3 + 0] = gx;
    grad[r * 3 + 1] = gy;
    grad[r * 3 + 2] = gz;
  }
}

// Line rules of transform text (comment from "#", else "%", else "?";
// blanks trimmed; empty lines skipped) for lines of up to 16383 characters.
// False at end of file, on a stream error, or for a longer line.
bool ReadLongTransformLine(std::istream &in, char *pBuffer, std::string &strLine) {
  for (;;) {
    in.getline(pBuffer, kFFDLineBuffer);
    if (in.bad()) return false;
    if (in.fail()) {  // nothing left, or a line longer than the buffer
      if (in.eof() && in.gcount() == 0) MarkTransformStreamTruncated(in);
      return false;
    }
    std::string line(pBuffer);
    std::size_t cut = line.find('#');
    if (cut == std::string::npos) cut = line.find('%');
    if (cut == std::string::npos) cut = line.find('?');
    if (cut != std::string::npos) line.erase(cut);
    const char *blanks = " \t\n\r\v";
    const std::size_t b = line.find_first_not_of(blanks);
    if (b != std::string::npos) {
      const std::size_t e = line.find_last_not_of(blanks);
      strLine = line.substr(b, e - b + 1);
      return true;
    }
    if (in.eof()) {
      MarkTransformStreamTruncated(in);
      return false;
    }
  }
}

// Appends iCount finite numbers from the start of the text; false when
// fewer (or a non-finite one) begin it.
bool ParseFiniteNumbers(const std::string &strLine, int iCount, std::vector<float> &values) {
  const char *p = strLine.c_str();
  for (int i = 0; i < iCount; ++i) {
    char *pEnd = nullptr;
    const float v = std::strtof(p, &pEnd);
    if (pEnd == p || !std::isfinite(v)) return false;
    values.push_back(v);
    p = pEnd;
  }
  return true;
}

}  // namespace

float BSplineBasis(int k, float u) {
  switch (k) {
    case -1: return (1.0f - u) * (1.0f - u) * (1.0f - u) / 6.0f;
    case 0: return (3.0f * u * u * u - 6.0f * u * u + 4.0f) / 6.0f;
    case 1: return (-3.0f * u * u * u + 3.0f * u * u + 3.0f * u + 1.0f) / 6.0f;
    case 2: return u * u * u / 6.0f;
    default: return 0.0f;
  }
}

float BSplineBasisDerivative(int k, float u) {
  switch (k) {
    case -1: return -(1.0f - u) * (1.0f - u) / 2.0f;
    case 0: return (3.0f * u * u - 4.0f * u) / 2.0f;
    case 1: return 0.5f + u - 1.5f * u * u;
    case 2: return u * u / 2.0f;
    default: return 0.0f;
  }
}

nuqTransformFFDBase::nuqTransformFFDBase()
    : m_fControlPointOffsets(nullptr), m_nPointsPerVolume(1), m_nPointsPerSlice(1) {
  m_ControlGridInfo.SetDimension(3);
  for (int a = 0; a < 4; ++a) m_ControlGridInfo.m_fSpacing[a] = 0.0f;
}

nuqTransformFFDBase::~nuqTransformFFDBase() { delete[] m_fControlPointOffsets; }

int nuqTransformFFDBase::GetNumberOfControlPoints() const {
  if (m_fControlPointOffsets == nullptr) return 0;
  return m_nPointsPerVolume * m_ControlGridInfo.m_iSize[3];
}

bool nuqTransformFFDBase::SetImages(nuqImageDataT<short> *pTestImage,
                                    nuqImageDataT<short> *pRefImage) {
  if (!nuqGradientBase::SetImages(pTestImage, pRefImage)) return false;
  float extent[4] = {0, 0, 0, 0};
  pTestImage->GetPhysicalExtent(extent);
  bool bSpacingChanged = false;
  for (int a = 0; a < m_iDimension && a < 4; ++a) {
    const int n = m_ControlGridInfo.m_iSize[a];
    if (n > 1 && m_ControlGridInfo.m_fSpacing[a] == 0.0f) {
      m_ControlGridInfo.m_fSpacing[a] = extent[a] / static_cast<float>(n - 1);
      bSpacingChanged = true;
    }
  }
  if (m_ControlGridInfo.GetOrientationMethod() == 0) {
    m_ControlGridInfo.CopyOrientationAndUpdate(pTestImage->GetInfo());
  } else if (bSpacingChanged) {
    // Keep the matrices in step with the spacing just filled in.
    m_ControlGridInfo.UpdateOrientation(-2);
  }
  return true;
}

bool nuqTransformFFDBase::SetDimension(int iDimension) {
  // Offsets laid out for another dimension no longer fit the grid.
  if (iDimension != m_iDimension && m_fControlPointOffsets != nullptr) ReleaseControlPoints();
  m_iDimension = iDimension;
  m_ControlGridInfo.SetDimension(iDimension);
  return true;
}

std::string nuqTransformFFDBase::GetTransformType() const { return "FFD"; }

void nuqTransformFFDBase::CopyFFDMembersTo(nuqTransformFFDBase *pTarget) const {
  if (pTarget == nullptr || pTarget == this) return;
  m_ControlGridInfo.Clone(&pTarget->m_ControlGridInfo);
  delete[] pTarget->m_fControlPointOffsets;
  pTarget->m_fControlPointOffsets = nullptr;
  if (m_fControlPointOffsets != nullptr) {
    const std::size_t n = static_cast<std::size_t>(GetNumberOfParameters());
    pTarget->m_fControlPointOffsets = new float[n];
    std::memcpy(pTarget->m_fControlPointOffsets, m_fControlPointOffsets, n * sizeof(float));
  }
  pTarget->m_nPointsPerVolume = m_nPointsPerVolume;
  pTarget->m_nPointsPerSlice = m_nPointsPerSlice;
}

nuqTransformBase *nuqTransformFFDBase::CloneTo(nuqTransformBase *&pTarget) {
  if (pTarget == nullptr) pTarget = new nuqTransformFFDBase();
  nuqGradientBase::CloneTo(pTarget);
  CopyFFDMembersTo(dynamic_cast<nuqTransformFFDBase *>(pTarget));
  return pTarget;
}

void nuqTransformFFDBase::ComputeGridDisplacement(const float *pGrid, float *pDisp) const {
  pDisp[0] = pDisp[1] = pDisp[2] = 0.0f;
  const int iDim = m_iDimension;
  if (m_fControlPointOffsets == nullptr || iDim < 1 || iDim > 3) return;
  const int *n = m_ControlGridInfo.m_iSize;
  AxisWindow a[3];
  for (int ax = 0; ax < 3; ++ax) {
    if (ax < iDim) {
      SetAxisWindow<false>(pGrid[ax], n[ax], a[ax]);
      if (a[ax].count == 0) return;
    } else {
      SetFlatWindow(a[ax]);
    }
  }
  switch (iDim) {
    case 1: SumDisplacement<1>(m_fControlPointOffsets, n[0], m_nPointsPerSlice, a, pDisp); break;
    case 2: SumDisplacement<2>(m_fControlPointOffsets, n[0], m_nPointsPerSlice, a, pDisp); break;
    default:
      if (a[0].count == 4 && a[1].count == 4 && a[2].count == 4) {
        SumDisplacementInterior3(m_fControlPointOffsets, n[0], m_nPointsPerSlice, a, pDisp);
      } else {
        SumDisplacement<3>(m_fControlPointOffsets, n[0], m_nPointsPerSlice, a, pDisp);
      }
      break;
  }
}

void nuqTransformFFDBase::TransformWorldToWorld(const float *pIn, float *pOut) {
  const float p[4] = {pIn[0], pIn[1], pIn[2], pIn[3]};
  for (int i = 0; i < 4; ++i) pOut[i] = p[i];
  const int iDim = m_iDimension;
  if (m_fControlPointOffsets == nullptr || iDim < 1 || iDim > 3) return;
  float g[4] = {p[0], p[1], p[2], p[3]};
  m_ControlGridInfo.WorldToGrid(g);
  float d[3];
  ComputeGridDisplacement(g, d);
  // y = GridToWorld(g + d / s) = x + A (d / s), A the grid-to-world block;
  // the second form keeps zero offsets exact.
  float q[3] = {0, 0, 0};
  for (int c = 0; c < iDim; ++c) q[c] = d[c] / EffectiveSpacing(m_ControlGridInfo.m_fSpacing[c]);
  const float *M = m_ControlGridInfo.GetImageToWorld();
  for (int r = 0; r < 3; ++r) {
    float s = 0.0f;
    for (int c = 0; c < iDim; ++c) s += M[r * 4 + c] * q[c];
    pOut[r] = p[r] + s;
  }
}

void nuqTransformFFDBase::TransformPhysicalGridPoint(const float *pIn, float *pOut) const {
  const float p[4] = {pIn[0], pIn[1], pIn[2], pIn[3]};
  for (int i = 0; i < 4; ++i) pOut[i] = p[i];
  const int iDim = m_iDimension;
  if (iDim < 1 || iDim > 3) return;
  float g[4] = {0, 0, 0, 0};
  for (int c = 0; c < iDim; ++c) g[c] = p[c] / EffectiveSpacing(m_ControlGridInfo.m_fSpacing[c]);
  float d[3];
  ComputeGridDisplacement(g, d);
  for (int c = 0; c < iDim; ++c) pOut[c] = p[c] + d[c];
}

bool nuqTransformFFDBase::GetJacobianMatrixAtControlGrid(const float *pGrid,
                                                         float *pJacobian) const {
  for (int i = 0; i < 16; ++i) pJacobian[i] = 0.0f;
  const int iDim = m_iDimension;
  if (iDim == 1 || iDim == 4) {
    std::cerr << " not finish for 4 dimension yet \n";
    return false;
  }
  if (iDim != 2 && iDim != 3) return false;
  float grad[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (m_fControlPointOffsets != nullptr) {
    const int *n = m_ControlGridInfo.m_iSize;
    AxisWindow a[3];
    bool bInside = true;
    for (int ax = 0; ax < 3; ++ax) {
      if (ax < iDim) {
        SetAxisWindow<true>(pGrid[ax], n[ax], a[ax]);
        if (a[ax].count == 0) bInside = false;
      } else {
        SetFlatWindow(a[ax]);
      }
    }
    if (bInside) {
      if (iDim == 2) {
        SumDisplacementGradient<2>(m_fControlPointOffsets, n[0], m_nPointsPerSlice, a, grad);
      } else {
        SumDisplacementGradient<3>(m_fControlPointOffsets, n[0], m_nPointsPerSlice, a, grad);
      }
    }
  }
  // d(displacement_r)/dP_c = d(displacement_r)/dg_c / spacing_c.
  for (int r = 0; r < iDim; ++r) {
    for (int c = 0; c < iDim; ++c) {
      pJacobian[r * 4 + c] = grad[r * 3 + c] / EffectiveSpacing(m_ControlGridInfo.m_fSpacing[c]);
    }
    pJacobian[r * 4 + r] += 1.0f;
  }
  // Identity beyond the dimension.
  for (int i = iDim; i < 4; ++i) pJacobian[i * 4 + i] = 1.0f;
  return true;
}

bool nuqTransformFFDBase::MallocForControlPoints(int nx, float sx, int ny, float sy, int nz,
                                                 float sz, int nt, float st) {
  const int iDim = m_iDimension;
  if (iDim < 2 || iDim > 4) {
    std::cerr << "error: use nuqTransformFFDBase::MallocForControlPoints should set dimension first \n";
    return false;
  }
  int n[4] = {nx, ny, nz, nt};
  float s[4] = {sx, sy, sz, st};
  std::int64_t total = iDim;
  for (int a = 0; a < 4; ++a) {
    if (n[a] < 1 || a >= iDim) n[a] = 1;
    if (!(s[a] >= 0.0f)) s[a] = 0.0f;
    total *= n[a];
    if (total > std::numeric_limits<int>::max()) {
      std::cerr << "error: control grid of " << nx << "x" << ny << "x" << nz << "x" << nt
                << " points is too large\n";
      return false;
    }
  }
  if (!CheckAllocation(static_cast<std::uint64_t>(total) * sizeof(float), "control grid"))
    return false;
  float *pNew = new (std::nothrow) float[static_cast<std::size_t>(total)]();
  if (pNew == nullptr) {
    std::cerr << "error: cannot allocate " << total << " control-point offsets\n";
    return false;
  }
  delete[] m_fControlPointOffsets;
  m_fControlPointOffsets = pNew;
  for (int a = 0; a < 4; ++a) {
    m_ControlGridInfo.m_iSize[a] = n[a];
    m_ControlGridInfo.m_fSpacing[a] = s[a];
  }
  m_nPointsPerSlice = n[0] * n[1];
  m_nPointsPerVolume = n[0] * n[1] * n[2];
  m_ControlGridInfo.UpdateOrientation(-2);
  return true;
}

void nuqTransformFFDBase::ReleaseControlPoints() {
  delete[] m_fControlPointOffsets;
  m_fControlPointOffsets = nullptr;
  for (int a = 0; a < 4; ++a) {
    m_ControlGridInfo.m_iSize[a] = 1;
    m_ControlGridInfo.m_fSpacing[a] = 0.0f;
  }
  m_nPointsPerSlice = 1;
  m_nPointsPerVolume = 1;
}

// ---- parameter vector ----

int nuqTransformFFDBase::GetNumberOfParameters() const {
  if (m_fControlPointOffsets == nullptr || m_iDimension < 1 || m_iDimension > 4) return 0;
  return GetNumberOfControlPoints() * m_iDimension;
}

float nuqTransformFFDBase::GetParameterValue(int iIndex) const {
  if (iIndex < 0 || iIndex >= GetNumberOfParameters()) return 0.0f;
  return m_fControlPointOffsets[iIndex];
}

bool nuqTransformFFDBase::SetParameterValue(int iIndex, float fValue) {
  if (iIndex < 0 || iIndex >= GetNumberOfParameters()) return false;
  m_fControlPointOffsets[iIndex] = fValue;
  return true;
}

bool nuqTransformFFDBase::SetParameterValueWithoutUpdate(int iIndex, float fValue) {
  return SetParameterValue(iIndex, fValue);
}

int nuqTransformFFDBase::GetNumberOfFreeParameters() const { return GetNumberOfParameters(); }

int nuqTransformFFDBase::CountParametersNotBelow(float fThreshold) const {
  const int n = GetNumberOfParameters();
  int iCount = 0;
  for (int i = 0; i < n; ++i) {
    if (m_fControlPointOffsets[i] > fThreshold) ++iCount;
  }
  return iCount;
}

const nuqTransformFFDBase *nuqTransformFFDBase::SameGridOperand(nuqTransformBase *pOther) const {
  const auto *p = dynamic_cast<const nuqTransformFFDBase *>(pOther);
  if (p == nullptr || p->m_fControlPointOffsets == nullptr || m_fControlPointOffsets == nullptr) {
    return nullptr;
  }
  if (p->m_iDimension != m_iDimension) return nullptr;
  for (int a = 0; a < 4; ++a) {
    if (p->m_ControlGridInfo.m_iSize[a] != m_ControlGridInfo.m_iSize[a]) return nullptr;
  }
  return p;
}

bool nuqTransformFFDBase::SetAllParameters(float fValue) {
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) m_fControlPointOffsets[i] = fValue;
  return true;
}

bool nuqTransformFFDBase::SetIdentity() { return SetAllParameters(0.0f); }

bool nuqTransformFFDBase::SetToSum(nuqTransformBase *pA, nuqTransformBase *pB) {
  const nuqTransformFFDBase *a = SameGridOperand(pA);
  const nuqTransformFFDBase *b = SameGridOperand(pB);
  if (a == nullptr || b == nullptr) return false;
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) {
    m_fControlPointOffsets[i] = a->m_fControlPointOffsets[i] + b->m_fControlPointOffsets[i];
  }
  return true;
}

bool nuqTransformFFDBase::Add(nuqTransformBase *pOther) {
  const nuqTransformFFDBase *o = SameGridOperand(pOther);
  if (o == nullptr) return false;
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) m_fControlPointOffsets[i] += o->m_fControlPointOffsets[i];
  return true;
}

bool nuqTransformFFDBase::SetToDifference(nuqTransformBase *pA, nuqTransformBase *pB) {
  const nuqTransformFFDBase *a = SameGridOperand(pA);
  const nuqTransformFFDBase *b = SameGridOperand(pB);
  if (a == nullptr || b == nullptr) return false;
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) {
    m_fControlPointOffsets[i] = a->m_fControlPointOffsets[i] - b->m_fControlPointOffsets[i];
  }
  return true;
}

bool nuqTransformFFDBase::Subtract(nuqTransformBase *pOther) {
  const nuqTransformFFDBase *o = SameGridOperand(pOther);
  if (o == nullptr) return false;
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) m_fControlPointOffsets[i] -= o->m_fControlPointOffsets[i];
  return true;
}

bool nuqTransformFFDBase::SetToScaled(nuqTransformBase *pOther, float fFactor) {
  const nuqTransformFFDBase *o = SameGridOperand(pOther);
  if (o == nullptr) return false;
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) m_fControlPointOffsets[i] = fFactor * o->m_fControlPointOffsets[i];
  return true;
}

bool nuqTransformFFDBase::Scale(float fFactor) {
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) m_fControlPointOffsets[i] *= fFactor;
  return true;
}

bool nuqTransformFFDBase::SetToProduct(nuqTransformBase *pA, nuqTransformBase *pB) {
  const nuqTransformFFDBase *a = SameGridOperand(pA);
  const nuqTransformFFDBase *b = SameGridOperand(pB);
  if (a == nullptr || b == nullptr) return false;
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) {
    m_fControlPointOffsets[i] = a->m_fControlPointOffsets[i] * b->m_fControlPointOffsets[i];
  }
  return true;
}

bool nuqTransformFFDBase::Multiply(nuqTransformBase *pOther) {
  const nuqTransformFFDBase *o = SameGridOperand(pOther);
  if (o == nullptr) return false;
  const int n = GetNumberOfParameters();
  for (int i = 0; i < n; ++i) m_fControlPointOffsets[i] *= o->m_fControlPointOffsets[i];
  return true;
}

float nuqTransformFFDBase::GetMagnitude() const {
  const int n = GetNumberOfParameters();
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    sum += static_cast<double>(m_fControlPointOffsets[i]) * m_fControlPointOffsets[i];
  }
  return static_cast<float>(std::sqrt(sum));
}

float nuqTransformFFDBase::GetMaxAbsParameter() const {
  const int n = GetNumberOfParameters();
  float m = 0.0f;
  for (int i = 0; i < n; ++i) m = std::max(m, std::fabs(m_fControlPointOffsets[i]));
  return m;
}

float nuqTransformFFDBase::GetMaxControlPointMagnitude() const {
  const int nPoints = GetNumberOfControlPoints();
  const int iDim = m_iDimension;
  if (iDim < 1 || iDim > 4) return 0.0f;
  float m = 0.0f;
  for (int p = 0; p < nPoints; ++p) {
    const float *v = m_fControlPointOffsets + static_cast<std::size_t>(p) * iDim;
    float s = 0.0f;
    for (int c = 0; c < iDim; ++c) s += v[c] * v[c];
    m = std::max(m, std::sqrt(s));
  }
  return m;
}

float nuqTransformFFDBase::Normalise(bool bPerGroup) {
  const int iDim = m_iDimension;
  const int nPoints = GetNumberOfControlPoints();
  if (bPerGroup) {
    if (iDim < 1 || iDim > 4) return 0.0f;
    float m = 0.0f;
    for (int p = 0; p < nPoints; ++p) {
      float *v = m_fControlPointOffsets + static_cast<std::size_t>(p) * iDim;
      float s = 0.0f;
      for (int c = 0; c < iDim; ++c) s += v[c] * v[c];
      const float norm = std::sqrt(s);
      if (norm > 0.0f) {
        for (int c = 0; c < iDim; ++c) v[c] /= norm;
      }
      m = std::max(m, norm);
    }
    return m;
  }
  const float m = GetMaxControlPointMagnitude();
  if (m != 0.0f && nPoints > 0) {
    Scale(1.0f / m);
    return m;
  }
  std::cerr << "warning: FFD magnitude 0\n";
  return 0.0f;
}

float nuqTransformFFDBase::ConstrainToInvertible() {
  if (m_fControlPointOffsets == nullptr || !m_bOneToOne) return -1.0f;
  const int iDim = m_iDimension;
  if (iDim < 1 || iDim > 4) return -1.0f;
  // Bounds on |offset / spacing| that keep the deformation one to one.
  static const float kBound[5] = {0.0f, 0.5f, 0.48866478f, 0.4033116f, 0.5f};
  const float K = kBound[iDim];
  const int nPoints = GetNumberOfControlPoints();
  int nScaled = 0;
  for (int p = 0; p < nPoints; ++p) {
    float *v = m_fControlPointOffsets + static_cast<std::size_t>(p) * iDim;
    float b = 0.0f;
    for (int c = 0; c < iDim; ++c) {
      b = std::max(b, std::fabs(v[c] / EffectiveSpacing(m_ControlGridInfo.m_fSpacing[c])));
    }
    if (b > K) {
      const float f = K / b;
      for (int c = 0; c < iDim; ++c) v[c] *= f;
      ++nScaled;
    }
  }
  return static_cast<float>(nScaled) / static_cast<float>(nPoints);
}

// ---- grid geometry ----

void nuqTransformFFDBase::GetControlGridOrientation(nuqImageInfo *pInfo) const {
  if (pInfo == nullptr) {
    std::cerr << "error: get orientation as image info\n";
    return;
  }
  pInfo->CopyOrientationFrom(&m_ControlGridInfo);
}

nuqImageInfo *nuqTransformFFDBase::GetControlGridInfo() { return &m_ControlGridInfo; }

void nuqTransformFFDBase::SetControlGridOrientation(const nuqImageInfo *pInfo) {
  if (pInfo != nullptr) m_ControlGridInfo.CopyOrientationAndUpdate(pInfo);
}

// ---- FFD text ----

std::string nuqTransformFFDBase::GetTransformText() {
  std::string text = nuqGradientBase::GetTransformText();
  if (m_fControlPointOffsets == nullptr) return text;
  const int iDim = m_iDimension;
  const int *n = m_ControlGridInfo.m_iSize;
  char buf[64];
  text += "#control grid size#\n";
  for (int a = 0; a < iDim; ++a) {
    std::snprintf(buf, sizeof(buf), "%d\n", n[a]);
    text += buf;
  }
  text += "#control grid spacing#\n";
  for (int a = 0; a < iDim; ++a) {
    std::snprintf(buf, sizeof(buf), "%15f\n", m_ControlGridInfo.m_fSpacing[a]);
    text += buf;
  }
  text += "#offsets of the control points#\n";
  text.reserve(text.size() + static_cast<std::size_t>(GetNumberOfParameters()) * 11 + 256);
  const float *v = m_fControlPointOffsets;
  for (int t = 0; t < n[3]; ++t) {
    for (int z = 0; z < n[2]; ++z) {
      for (int y = 0; y < n[1]; ++y) {
        for (int x = 0; x < n[0]; ++x) {
          for (int c = 0; c < iDim; ++c) {
            std::snprintf(buf, sizeof(buf), c + 1 < iDim ? "%f " : "%f\t", *v++);
            text += buf;
          }
        }
        text += "\n";
      }
      text += "\n";
    }
  }
  const nuqImageInfo &g = m_ControlGridInfo;
  char qbuf[512];
  std::snprintf(qbuf, sizeof(qbuf),
                "#quaternion qf,qb,qc,qd,qx,qy,qz#\n%f\t %f\t%f\t%f\t %f\t%f\t%f\n", g.m_fQuaternQf,
                g.m_fQuaternB, g.m_fQuaternC, g.m_fQuaternD, g.m_fQuaternOffset[0],
                g.m_fQuaternOffset[1], g.m_fQuaternOffset[2]);
  text += qbuf;
  return text;
}

bool nuqTransformFFDBase::ReadFromStream(std::istream &in) {
  if (!ReadFFDBody(in)) {
    // A failed read leaves no half-read deformation behind.
    ReleaseControlPoints();
    std::cerr << "error: Open FFD Transformation Failed in reading base stream!\n";
    return false;
  }
  return true;
}

bool nuqTransformFFDBase::ReadFFDBody(std::istream &in) {
  if (!nuqGradientBase::ReadFromStream(in)) return false;
  ReleaseControlPoints();
  m_ControlGridInfo.ResetOrientation();
  const int iDim = m_iDimension;
  if (iDim < 2 || iDim > 4) return false;
  int n[4] = {1, 1, 1, 1};
  float s[4] = {0, 0, 0, 0};
  for (int a = 0; a < iDim; ++a) {
    if (!ReadTransformInteger(in, n[a]) || n[a] < 1) return false;
  }
  for (int a = 0; a < iDim; ++a) {
    if (!ReadTransformNumbers(in, &s[a], 1) || !std::isfinite(s[a])) return false;
  }
  std::int64_t total = iDim;
  for (int a = 0; a < 4; ++a) {
    total *= n[a];
    if (total > std::numeric_limits<int>::max()) return false;
  }
  // A row needs at least two characters per number; refuse rows that cannot
  // fit a line before reading any of them.
  const int nRowValues = n[0] * iDim;
  if (nRowValues > kFFDLineBuffer / 2) return false;
  const std::int64_t nRows = static_cast<std::int64_t>(n[1]) * n[2] * n[3];

  // Rows go into a buffer that grows with the data actually present, so a
  // hostile size in the header cannot allocate more than the file holds.
  std::vector<float> values;
  values.reserve(static_cast<std::size_t>(std::min<std::int64_t>(total, 1 << 20)));
  std::vector<char> buffer(kFFDLineBuffer);
  std::string line;
  for (std::int64_t r = 0; r < nRows; ++r) {
    if (!ReadLongTransformLine(in, buffer.data(), line)) return false;
    if (!ParseFiniteNumbers(line, nRowValues, values)) {
      if (LineEndsBeforeNumbers(line, nRowValues) && !HasTransformContentLeft(in)) {
        MarkTransformStreamTruncated(in);
      }
      return false;
    }
  }
  if (!MallocForControlPoints(n[0], s[0], n[1], s[1], n[2], s[2], n[3], s[3])) return false;
  std::copy(values.begin(), values.end(), m_fControlPointOffsets);

  float q[7];
  if (in.eof() || !ReadTransformLine(in, line)) {
    std::cerr << "warning: FFD without orientation info\n";
    m_ControlGridInfo.SetOrientationMethod(0);
    return true;
  }
  if (!ParseTransformLineNumbers(in, line, q, 7)) return false;
  for (float v : q) {
    if (!std::isfinite(v)) return false;
  }
  m_ControlGridInfo.m_fQuaternQf = q[0];
  m_ControlGridInfo.m_fQuaternB = q[1];
  m_ControlGridInfo.m_fQuaternC = q[2];
  m_ControlGridInfo.m_fQuaternD = q[3];
  m_ControlGridInfo.m_fQuaternOffset[0] = q[4];
  m_ControlGridInfo.m_fQuaternOffset[1] = q[5];
  m_ControlGridInfo.m_fQuaternOffset[2] = q[6];
  m_ControlGridInfo.UpdateOrientation(-2);
  return true;
}

bool nuqTransformFFDBase::ReadFromFile(const std::string &strFileName) {
  m_strTransformFileName = strFileName;
  std::string strUpper = strFileName;
  ToUpperCase(strUpper);
  std::string strExt = GetExtension(strFileName);
  ToUpperCase(strExt);
  for (const char *pText : {"FFD", "GRID", "FBS"}) {
    if (strUpper == pText || strExt == pText) return nuqGradientBase::ReadFromFile(strFileName);
  }
  nuqImageDataT<float> image;
  if (!ReadImageFile(&image, strFileName)) {
    std::cerr << "error: cannot read control-point image " << strFileName << "\n";
    return false;
  }
  return ConvertControlPointsWithImage(&image, true);
}

bool nuqTransformFFDBase::ConvertControlPointsWithImage(nuqImageDataT<float> *pImage,
                                                        bool bImageToControlPoints) {
  if (pImage == nullptr) return false;
  if (bImageToControlPoints) {
    if (pImage->IsEmpty()) return false;
    int nx = 1, ny = 1, nz = 1, nc = 1;
    pImage->GetImageSize(nx, ny, nz, nc);
    float sx = 1, sy = 1, sz = 1, st = 1;
    pImage->GetImageSpacing(sx, sy, sz, st);
    // The fourth axis holds the offset components, one per spatial axis.
    if (nc < 2 || nc > 4 || (nc == 2 && nz > 1)) {
      std::cerr << "error: control-point image " << pImage->GetFileName() << " has " << nc
                << " components for " << (nz > 1 ? 3 : 2) << "-D control points\n";
      return false;
    }
    SetDimension(nc);
    if (!MallocForControlPoints(nx, sx, ny, sy, nz, sz, 1, 1.0f)) return false;
    SetControlGridOrientation(pImage->GetInfo());
    const float *pData = pImage->GetImageData();
    const std::size_t nVolume = static_cast<std::size_t>(nx) * ny * nz;
    const int *n = m_ControlGridInfo.m_iSize;
    for (int z = 0; z < n[2]; ++z) {
      for (int y = 0; y < n[1]; ++y) {
        for (int x = 0; x < n[0]; ++x) {
          const std::size_t i = (static_cast<std::size_t>(z) * ny + y) * nx + x;
          float *v = m_fControlPointOffsets +
                     (static_cast<std::size_t>(z) * m_nPointsPerSlice + y * n[0] + x) * nc;
          for (int c = 0; c < nc; ++c) v[c] = pData[i + c * nVolume];
        }
      }
    }
    return true;
  }
  const int iDim = m_iDimension;
  if (iDim < 1 || iDim > 3 || m_fControlPointOffsets == nullptr) return false;
  const int *n = m_ControlGridInfo.m_iSize;
  const int size[4] = {n[0], n[1], n[2], iDim};
  const float spacing[4] = {EffectiveSpacing(m_ControlGridInfo.m_fSpacing[0]),
                            EffectiveSpacing(m_ControlGridInfo.m_fSpacing[1]),
                            EffectiveSpacing(m_ControlGridInfo.m_fSpacing[2]), 1.0f};
  if (!pImage->NewImage(4, size, spacing, &m_ControlGridInfo)) return false;
  float *pData = pImage->GetImageData();
  const std::size_t nVolume = static_cast<std::size_t>(m_nPointsPerVolume);
  for (std::size_t p = 0; p < nVolume; ++p) {
    for (int c = 0; c < iDim; ++c) pData[p + c * nVolume] = m_fControlPointOffsets[p * iDim + c];
  }
  return true;
}
