#include "nuqMetricBase.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <istream>

#include "nuqConsole.h"
#include "nuqMatrix.h"
#include "nuqTransformBase.h"

namespace {

int ClampDimension(int dimension) { return dimension < 0 ? 0 : (dimension > 4 ? 4 : dimension); }

// A rounded index inside [-1e9, 1e9] so that the int conversion is defined.
int RoundIndex(float value) {
  if (!(value == value)) return -1;
  return RoundHalfAway(std::fmax(-1e9f, std::fmin(1e9f, value)));
}

}  // namespace

nuqMetricBase::nuqMetricBase()
    : m_iDimension(0),
      m_pTestImage(nullptr),
      m_pRefImage(nullptr),
      m_pTestMaskImage(nullptr),
      m_pRefMaskImage(nullptr),
      m_pTestImageModel(nullptr),
      m_pRefImageModel(nullptr),
      m_pTransform(nullptr),
      m_pPreTransform(nullptr),
      m_bROISet(false),
      m_bFieldsPreComputed(false) {
  for (int d = 0; d < 4; ++d) {
    m_afSamplingIntervalVoxels[d] = 1;
    m_afSamplingInterval[d] = 1;
    m_afROIFromWorld[d] = m_afROIToWorld[d] = 0;
    m_afROIFrom[d] = m_afROITo[d] = 0;
  }
}

nuqMetricBase::~nuqMetricBase() {
  delete m_pTestImageModel;
  delete m_pRefImageModel;
}

nuqMetricBase *nuqMetricBase::CloneTo(nuqMetricBase *target) {
  if (!target || target == this) return target;
  target->m_iDimension = m_iDimension;
  target->m_pTestImage = m_pTestImage;
  target->m_pRefImage = m_pRefImage;
  target->m_pTestMaskImage = m_pTestMaskImage;
  target->m_pRefMaskImage = m_pRefMaskImage;
  target->SetImageModels(m_pTestImageModel, m_pRefImageModel);
  target->m_pTransform = m_pTransform;
  target->m_pPreTransform = m_pPreTransform;
  for (int d = 0; d < 4; ++d) {
    target->m_afSamplingIntervalVoxels[d] = m_afSamplingIntervalVoxels[d];
    target->m_afSamplingInterval[d] = m_afSamplingInterval[d];
    target->m_afROIFromWorld[d] = m_afROIFromWorld[d];
    target->m_afROIToWorld[d] = m_afROIToWorld[d];
    target->m_afROIFrom[d] = m_afROIFrom[d];
    target->m_afROITo[d] = m_afROITo[d];
  }
  target->m_bROISet = m_bROISet;
  for (int i = 0; i < 2; ++i) {
    if (m_aWorkingImages[i].IsEmpty()) target->m_aWorkingImages[i].ReleaseImage();
    else m_aWorkingImages[i].Clone(&target->m_aWorkingImages[i]);
  }
  for (int i = 0; i < 4; ++i) {
    if (m_aWorkingFields[i].IsEmpty()) target->m_aWorkingFields[i].ReleaseImage();
    else m_aWorkingFields[i].Clone(&target->m_aWorkingFields[i]);
    if (m_aPreComputedFields[i].IsEmpty()) target->m_aPreComputedFields[i].ReleaseImage();
    else m_aPreComputedFields[i].Clone(&target->m_aPreComputedFields[i]);
  }
  // Images that pointed at this metric's working copies point at the copies.
  for (int i = 0; i < 2; ++i) {
    nuqImageDataT<short> *mine = &m_aWorkingImages[i];
    nuqImageDataT<short> *theirs = &target->m_aWorkingImages[i];
    if (m_pTestImage == mine) target->m_pTestImage = theirs;
    if (m_pTestMaskImage == mine) target->m_pTestMaskImage = theirs;
  }
  if (target->m_pTestImageModel) target->m_pTestImageModel->SetImage(target->m_pTestImage);
  target->m_bFieldsPreComputed = m_bFieldsPreComputed;
  return target;
}

void nuqMetricBase::ResetImages() {
  m_pTestImage = m_pRefImage = nullptr;
  m_pTestMaskImage = m_pRefMaskImage = nullptr;
  delete m_pTestImageModel;
  delete m_pRefImageModel;
  m_pTestImageModel = m_pRefImageModel = nullptr;
}

bool nuqMetricBase::IsSameMetric(const nuqMetricBase *other) const {
  return other && other->GetMetricName().find(GetMetricName()) != std::string::npos;
}

bool nuqMetricBase::IsMetricName(const std::string &text) const {
  return text.find(GetMetricName()) != std::string::npos;
}

bool nuqMetricBase::ComputeDeltaCostFunction(nuqTransformBase *gradient, double &value, int &count,
                                             nuqTransformBase *stepScale) {
  nuqGradientBase *container = dynamic_cast<nuqGradientBase *>(gradient);
  if (!container || !container->ComputeGradient(this, stepScale, false)) return false;
  count = GetValue(value);
  return count > 0;
}

bool nuqMetricBase::SetImages(nuqImageDataT<short> *test, nuqImageDataT<short> *ref) {
  if (!test || !ref) return false;
  m_pTestImage = test;
  m_pRefImage = ref;
  if ((m_iDimension < 1 || m_iDimension > 4) && test->GetDimension() == ref->GetDimension())
    m_iDimension = test->GetDimension();
  if (m_pTestImageModel) m_pTestImageModel->SetImage(m_pTestImage);
  if (m_pRefImageModel) m_pRefImageModel->SetImage(m_pRefImage);
  SetSamplingInterval(m_afSamplingInterval[0], m_afSamplingInterval[1], m_afSamplingInterval[2],
                      m_afSamplingInterval[3]);
  if (m_bROISet) SetROI(m_afROIFromWorld, m_afROIToWorld);
  return true;
}

void nuqMetricBase::SetMaskImages(nuqImageDataT<short> *testMask, nuqImageDataT<short> *refMask) {
  m_pTestMaskImage = testMask && !testMask->IsEmpty() ? testMask : nullptr;
  m_pRefMaskImage = refMask && !refMask->IsEmpty() ? refMask : nullptr;
}

nuqImageDataT<short> *nuqMetricBase::GetTestMaskImage() const { return m_pTestMaskImage; }

nuqImageDataT<short> *nuqMetricBase::GetRefMaskImage() const { return m_pRefMaskImage; }

bool nuqMetricBase::IsInsideMaskWorld(nuqImageDataT<short> *mask, float x, float y, float z,
                                      float t) const {
  if (!mask || mask->IsEmpty()) return true;
  float p[4] = {x, y, z, t};
  mask->WorldToGrid(p);
  return IsInsideMaskIndex(mask, RoundIndex(p[0]), RoundIndex(p[1]), RoundIndex(p[2]),
                           RoundIndex(p[3]));
}

bool nuqMetricBase::IsInsideMaskIndex(nuqImageDataT<short> *mask, int i, int j, int k,
                                      int t) const {
  if (!mask || mask->IsEmpty()) return true;
  if (!mask->InsideGrid(i, j, k, t)) return false;
  return mask->GetPixelGreyscale(i, j, k, t) > 0;
}

float nuqMetricBase::GetModelValue(ShortModel *model, float x, float y, float z, float t) const {
  if (!model || !model->HasVoxels()) return 1.0f;
  return model->GetPixelGreyscaleAt(x, y, z, t);
}

nuqImageDataT<short> *nuqMetricBase::GetTestImage() const { return m_pTestImage; }

nuqImageDataT<short> *nuqMetricBase::GetRefImage() const { return m_pRefImage; }

nuqMetricBase::ShortModel *nuqMetricBase::GetTestImageModel() const { return m_pTestImageModel; }

nuqMetricBase::ShortModel *nuqMetricBase::GetRefImageModel() const { return m_pRefImageModel; }

void nuqMetricBase::SetImageModels(const ShortModel *testModel, const ShortModel *refModel) {
  delete m_pTestImageModel;
  delete m_pRefImageModel;
  m_pTestImageModel = testModel ? testModel->Clone() : nullptr;
  m_pRefImageModel = refModel ? refModel->Clone() : nullptr;
  if (m_pTestImageModel) m_pTestImageModel->SetImage(m_pTestImage);
  if (m_pRefImageModel) m_pRefImageModel->SetImage(m_pRefImage);
}

bool nuqMetricBase::SetTransform(nuqTransformBase *transform) {
  m_pTransform = transform;
  return true;
}

void nuqMetricBase::SetPreTransform(nuqTransformBase *transform) { m_pPreTransform = transform; }

nuqTransformBase *nuqMetricBase::GetPreTransform() const { return m_pPreTransform; }

nuqTransformBase *nuqMetricBase::GetTransform() const { return m_pTransform; }

void nuqMetricBase::SetDimension(int dimension) { m_iDimension = dimension; }

int nuqMetricBase::GetDimension() const { return m_iDimension; }

void nuqMetricBase::SetSamplingInterval(float x, float y, float z, float t) {
  const float given[4] = {x, y, z, t};
  for (int d = 0; d < 4; ++d) m_afSamplingInterval[d] = given[d] > 0 ? given[d] : 1.0f;
  if (!m_pTestImage) return;
  const float *spacing = m_pTestImage->GetSpacingArray();
  for (int d = 0; d < ClampDimension(m_iDimension); ++d) {
    const float voxels = m_afSamplingInterval[d] / spacing[d];
    // A zero or negative spacing would give a step that never advances.
    m_afSamplingIntervalVoxels[d] = voxels > 0 && std::isfinite(voxels) ? voxels : 1.0f;
  }
}

const float *nuqMetricBase::GetSamplingIntervalVoxels() const { return m_afSamplingIntervalVoxels; }

const float *nuqMetricBase::GetSamplingInterval() const { return m_afSamplingInterval; }

std::string nuqMetricBase::GetMetricText() const {
  char buffer[128];
  std::snprintf(buffer, sizeof(buffer), "#dimension#\n%i\n", m_iDimension);
  std::string text = buffer;
  text += "#physical sampling interval#\n";
  for (int d = 0; d < ClampDimension(m_iDimension); ++d) {
    std::snprintf(buffer, sizeof(buffer), "%f\n", m_afSamplingInterval[d]);
    text += buffer;
  }
  return text;
}

bool nuqMetricBase::ReadFromStream(std::istream &stream) {
  int dimension = 0;
  float interval[4] = {m_afSamplingInterval[0], m_afSamplingInterval[1], m_afSamplingInterval[2],
                       m_afSamplingInterval[3]};
  bool ok = ReadTransformInteger(stream, dimension) && dimension >= 1 && dimension <= 4;
  for (int d = 0; ok && d < dimension; ++d) ok = ReadTransformNumbers(stream, &interval[d], 1);
  if (!ok) {
    std::cerr << "read nuqMetricBase stream error!\n";
    return false;
  }
  m_iDimension = dimension;
  // Through the setter, so that a stored interval is always positive.
  SetSamplingInterval(interval[0], interval[1], interval[2], interval[3]);
  return true;
}

void nuqMetricBase::GetROIWorld(float *fromWorld, float *toWorld) const {
  if (m_bROISet || !m_pTestImage) {
    for (int d = 0; d < 4; ++d) {
      fromWorld[d] = m_afROIFromWorld[d];
      toWorld[d] = m_afROIToWorld[d];
    }
    return;
  }
  const int *size = m_pTestImage->GetSizeArray();
  float first[4] = {0, 0, 0, 0};
  float last[4] = {float(size[0] - 1), float(size[1] - 1), float(size[2] - 1), float(size[3] - 1)};
  m_pTestImage->GridToWorld(first);
  m_pTestImage->GridToWorld(last);
  for (int d = 0; d < 4; ++d) {
    fromWorld[d] = first[d];
    toWorld[d] = last[d];
  }
}

void nuqMetricBase::UpdateROIIndices() {
  if (!m_pTestImage) return;
  float from[4] = {m_afROIFromWorld[0], m_afROIFromWorld[1], m_afROIFromWorld[2],
                   m_afROIFromWorld[3]};
  float to[4] = {m_afROIToWorld[0], m_afROIToWorld[1], m_afROIToWorld[2], m_afROIToWorld[3]};
  m_pTestImage->WorldToGrid(from);
  m_pTestImage->WorldToGrid(to);
  bool swapped = false;
  for (int d = 0; d < 4; ++d) {
    if (d >= ClampDimension(m_iDimension)) {
      from[d] = to[d] = 0;
    } else if (from[d] > to[d]) {
      const float keep = from[d];
      from[d] = to[d];
      to[d] = keep;
      swapped = true;
    }
    m_afROIFrom[d] = from[d];
    m_afROITo[d] = to[d];
  }
  if (swapped)
    std::cerr << "warning: roi test from should not greater than roi test to, hence swap to and "
                 "from\n";
}

void nuqMetricBase::SetROI(const float *fromWorld, const float *toWorld) {
  if (!fromWorld || !toWorld) return;
  m_bROISet = true;
  for (int d = 0; d < 4; ++d) {
    m_afROIFromWorld[d] = fromWorld[d];
    m_afROIToWorld[d] = toWorld[d];
  }
  UpdateROIIndices();
}

bool nuqMetricBase::GetTestROI(float *from, float *to) const {
  if (!m_pTestImage) return false;
  const int *size = m_pTestImage->GetSizeArray();
  for (int d = 0; d < 4; ++d) {
    if (m_bROISet) {
      from[d] = m_afROIFrom[d];
      to[d] = m_afROITo[d];
    } else {
      from[d] = 0;
      to[d] = d < ClampDimension(m_iDimension) ? float(size[d] - 1) : 0.0f;
    }
  }
  if (IsDebugShown())
    std::cout << "debug: \t\t test roi" << from[0] << " " << from[1] << " " << from[2] << " to "
              << to[0] << " " << to[1] << " " << to[2] << "\n";
  return true;
}

bool nuqMetricBase::IsInsideROIWorld(const float *world) const {
  if (!m_pTestImage) return false;
  float p[4] = {world[0], world[1], world[2], world[3]};
  m_pTestImage->WorldToGrid(p);
  return IsInsideROIIndex(p);
}

bool nuqMetricBase::IsInsideROIIndex(const float *index) const {
  float from[4], to[4];
  if (!m_pTestImage) return false;
  const int *size = m_pTestImage->GetSizeArray();
  for (int d = 0; d < ClampDimension(m_iDimension); ++d) {
    from[d] = m_bROISet ? m_afROIFrom[d] : 0.0f;
    to[d] = m_bROISet ? m_afROITo[d] : float(size[d] - 1);
    if (!(index[d] >= from[d] && index[d] <= to[d])) return false;
  }
  return true;
}

void nuqMetricBase::PreComputeTransformationFields() {
  if (!m_pTestImage || m_pTestImage->IsEmpty()) return;
  const int dim = ClampDimension(m_iDimension);
  if (dim < 1) return;
  // A grid over the test image's extent with the physical interval as spacing.
  const int *testSize = m_pTestImage->GetSizeArray();
  const float *testSpacing = m_pTestImage->GetSpacingArray();
  int size[4] = {1, 1, 1, 1};
  float spacing[4] = {1, 1, 1, 1};
  for (int d = 0; d < dim; ++d) {
    spacing[d] = m_afSamplingInterval[d];
    size[d] = int(std::floor((testSize[d] - 1) * std::fabs(testSpacing[d]) / spacing[d])) + 1;
    if (size[d] < 1) size[d] = 1;
  }
  const int used = dim < 3 ? dim : 3;
  for (int c = 0; c < used; ++c)
    if (!m_aPreComputedFields[c].NewImage(dim, size, spacing, m_pTestImage->GetInfo())) return;
  nuqImageInfo *grid = m_aPreComputedFields[0].GetInfo();
  float *data[3] = {nullptr, nullptr, nullptr};
  for (int c = 0; c < used; ++c) data[c] = m_aPreComputedFields[c].GetImageData();
  int index = 0;
  for (int t = 0; t < size[3]; ++t)
    for (int z = 0; z < size[2]; ++z)
      for (int y = 0; y < size[1]; ++y)
        for (int x = 0; x < size[0]; ++x, ++index) {
          float w[4] = {float(x), float(y), float(z), float(t)};
          grid->GridToWorld(w);
          float q[4] = {w[0], w[1], w[2], w[3]};
          if (IsInsideMaskWorld(m_pTestMaskImage, w[0], w[1], w[2], w[3])) {
            if (m_pPreTransform) {
              const float in[4] = {q[0], q[1], q[2], q[3]};
              m_pPreTransform->TransformWorldToWorld(in, q);
            }
            if (m_pTransform) {
              const float in[4] = {q[0], q[1], q[2], q[3]};
              m_pTransform->TransformWorldToWorld(in, q);
            }
          }
          for (int c = 0; c < used; ++c) data[c][index] = q[c];
        }
  m_bFieldsPreComputed = true;
  if (IsDebugShown()) std::cout << "debug: \t pre-compute transformation fields\n";
}

void nuqMetricBase::SetTransformationFields(int count, nuqImageDataT<float> *images) {
  if (!images || count < 1) return;
  if (count > 4) count = 4;
  for (int c = 0; c < count; ++c) images[c].Clone(&m_aPreComputedFields[c]);
  m_bFieldsPreComputed = true;
}

bool nuqMetricBase::ResampleTestImageToSamplingInterval() {
  if (!m_pTestImage || !m_pRefImage || !m_pTestImageModel || !m_pRefImageModel) {
    std::cerr << "error: system error " << 1 << "\n";
    return false;
  }
  const int dim = ClampDimension(m_iDimension);
  bool resampled = false;
  const float *spacing = m_pTestImage->GetSpacingArray();
  bool differs = false;
  for (int d = 0; d < dim; ++d)
    if (spacing[d] != m_afSamplingInterval[d]) differs = true;
  if (differs) {
    // The metric resamples its own working copy, never the caller's image.
    if (m_pTestImage != &m_aWorkingImages[0]) m_pTestImage->Clone(&m_aWorkingImages[0]);
    m_pTestImage = &m_aWorkingImages[0];
    nuqImageModelingBaseT<short, float> *model = m_pTestImageModel->Clone();
    model->SetImage(m_pTestImage);
    float target[4] = {m_afSamplingInterval[0], m_afSamplingInterval[1], m_afSamplingInterval[2],
                       m_afSamplingInterval[3]};
    for (int d = dim; d < 4; ++d) target[d] = spacing[d];
    model->ResampleToSpacing(target);
    delete model;
    m_pTestImageModel->SetImage(m_pTestImage);
    resampled = true;
    if (IsSuccessShown()) std::cout << "success: \t resample the test image into sampling spacing \n";
  }
  if (m_pTestMaskImage && !m_pTestMaskImage->GetInfo()->IsSameGrid(m_pTestImage->GetInfo())) {
    if (m_pTestMaskImage != &m_aWorkingImages[1]) m_pTestMaskImage->Clone(&m_aWorkingImages[1]);
    m_pTestMaskImage = &m_aWorkingImages[1];
    nuqImageModelingBaseT<short, float> nearest(m_pTestMaskImage);
    nearest.ResampleToGrid(m_pTestImage->GetInfo());
    resampled = true;
    if (IsSuccessShown())
      std::cout << "success: \t resample the mask test image into sampling spacing \n";
  }
  if (resampled) {
    SetSamplingInterval(m_afSamplingInterval[0], m_afSamplingInterval[1], m_afSamplingInterval[2],
                        m_afSamplingInterval[3]);
    if (m_bROISet) UpdateROIIndices();
  }
  return true;
}

bool nuqMetricBase::CropTestImageToMask() {
  if (!m_pTestImage || !m_pTestMaskImage) return false;
  if (!m_aWorkingImages[0].IsEmpty() || !m_aWorkingImages[1].IsEmpty()) return false;
  m_pTestImage->Clone(&m_aWorkingImages[0]);
  m_pTestMaskImage->Clone(&m_aWorkingImages[1]);
  nuqImageDataT<short> *image = &m_aWorkingImages[0];
  nuqImageDataT<short> *mask = &m_aWorkingImages[1];
  if (!mask->GetInfo()->IsSameGrid(image->GetInfo())) {
    nuqImageModelingBaseT<short, float> nearest(mask);
    nearest.ResampleToGrid(image->GetInfo());
  }
  float from[4], to[4];
  GetTestROI(from, to);
  const int *size = image->GetSizeArray();
  int lo[4], hi[4];
  for (int d = 0; d < 4; ++d) {
    lo[d] = std::max(0, std::min(size[d] - 1, RoundIndex(from[d])));
    hi[d] = std::max(0, std::min(size[d] - 1, RoundIndex(to[d])));
  }
  // Bounding box of the mask's non-zero voxels inside the region.
  int boxLo[4] = {hi[0] + 1, hi[1] + 1, hi[2] + 1, hi[3] + 1};
  int boxHi[4] = {lo[0] - 1, lo[1] - 1, lo[2] - 1, lo[3] - 1};
  for (int t = lo[3]; t <= hi[3]; ++t)
    for (int z = lo[2]; z <= hi[2]; ++z)
      for (int y = lo[1]; y <= hi[1]; ++y)
        for (int x = lo[0]; x <= hi[0]; ++x) {
          if (mask->GetPixelGreyscale(x, y, z, t) == 0) continue;
          const int at[4] = {x, y, z, t};
          for (int d = 0; d < 4; ++d) {
            boxLo[d] = std::min(boxLo[d], at[d]);
            boxHi[d] = std::max(boxHi[d], at[d]);
          }
        }
  if (boxHi[0] < boxLo[0]) return false;  // an empty mask leaves the image as it is
  bool smaller = false;
  int before[4], after[4];
  for (int d = 0; d < 4; ++d) {
    before[d] = -boxLo[d];
    after[d] = -(size[d] - 1 - boxHi[d]);
    if (before[d] != 0 || after[d] != 0) smaller = true;
  }
  if (!smaller) return true;
  const float tSpacing = image->GetSpacingArray()[2] / 2;
  ExtendROI(image, before, after, true, 0, tSpacing);
  ExtendROI(mask, before, after, true, 0, tSpacing);
  m_pTestImage = image;
  m_pTestMaskImage = mask;
  if (m_pTestImageModel) m_pTestImageModel->SetImage(m_pTestImage);
  SetSamplingInterval(m_afSamplingInterval[0], m_afSamplingInterval[1], m_afSamplingInterval[2],
                      m_afSamplingInterval[3]);
  if (m_bROISet) UpdateROIIndices();
  const int *cropped = image->GetSizeArray();
  if (IsSuccessShown())
    std::cout << "success: \t resample and re-roi to mask test image size [" << cropped[0] << ","
              << cropped[1] << "," << cropped[2] << "]\n";
  return true;
}

bool nuqMetricBase::ExtendROI(nuqImageDataT<short> *image, const int *before, const int *after,
                              bool bFill, short fill, float tSpacing) {
  if (!image || image->IsEmpty() || !before || !after) return false;
  int oldSize[4];
  image->GetImageSize(oldSize[0], oldSize[1], oldSize[2], oldSize[3]);
  if (oldSize[3] == 1) image->SetTimeSpacing(tSpacing);
  int newSize[4];
  for (int d = 0; d < 4; ++d) {
    newSize[d] = oldSize[d] + before[d] + after[d];
    if (newSize[d] < 1) {
      std::cerr << "warning: size of dimension " << d
                << " will be less than 1 if ExtendROI, hence not action be applied\n";
      return false;
    }
  }
  nuqImageInfo info;
  image->GetInfo()->Clone(&info);
  // Moves index 0 by `before`; stays silent since the sizes were checked.
  if (!info.ExtendROI(before, after)) return false;
  nuqImageDataT<short> grown;
  if (!grown.NewImage(image->GetDimension(), newSize, info.m_fSpacing, &info)) return false;
  grown.GetInfo()->CopyOrientationFrom(&info);
  for (int t = 0; t < newSize[3]; ++t)
    for (int z = 0; z < newSize[2]; ++z)
      for (int y = 0; y < newSize[1]; ++y)
        for (int x = 0; x < newSize[0]; ++x) {
          const int o[4] = {x - before[0], y - before[1], z - before[2], t - before[3]};
          short value;
          if (image->InsideGrid(o[0], o[1], o[2], o[3]))
            value = image->GetPixelGreyscale(o[0], o[1], o[2], o[3]);
          else if (bFill)
            value = fill;
          else
            value = image->GetPixelGreyscaleClosest(o[0], o[1], o[2], o[3]);
          grown.SetPixelByGreyscale(x, y, z, t, value);
        }
  grown.SetDataType(image->GetDataType());
  image->CloneFrom(&grown);
  if (IsDebugShown())
    std::cout << "debug: \t resize " << newSize[0] << "x" << newSize[1] << "x" << newSize[2] << "x"
              << newSize[3] << "\n";
  return true;
}

bool nuqMetricBase::EvaluateOnPixelTargetToSourceDerivative() {
  std::cerr << "error: " << GetMetricName()
            << " has not implemented EvaluateOnPixelTargetToSourceDerivative\n";
  return false;
}

bool nuqMetricBase::TestIndexToRefIndex(const float *testIndex, float *refIndex) {
  for (int d = 0; d < 4; ++d) refIndex[d] = testIndex[d];
  if (!m_pTestImage || !m_pRefImage) return true;
  float world[4] = {testIndex[0], testIndex[1], testIndex[2], testIndex[3]};
  m_pTestImage->GridToWorld(world);
  TestWorldToRefWorld(world, refIndex);
  m_pRefImage->WorldToGrid(refIndex);
  const int *size = m_pRefImage->GetSizeArray();
  for (int d = 0; d < ClampDimension(m_iDimension); ++d)
    if (!(refIndex[d] >= 0 && refIndex[d] <= size[d] - 1)) return true;
  return false;
}

void nuqMetricBase::TestWorldToRefWorld(const float *testWorld, float *refWorld) {
  for (int d = 0; d < 4; ++d) refWorld[d] = testWorld[d];
  if (m_bFieldsPreComputed && !m_aPreComputedFields[0].IsEmpty()) {
    float g[4] = {testWorld[0], testWorld[1], testWorld[2], testWorld[3]};
    m_aPreComputedFields[0].WorldToGrid(g);
    if (!m_aPreComputedFields[0].InsideGridTolerant(g[0], g[1], g[2], g[3])) return;
    const int used = std::min(3, ClampDimension(m_iDimension));
    for (int c = 0; c < used; ++c) {
      if (m_aPreComputedFields[c].IsEmpty()) continue;
      nuqImageModelingLinearT<float, float> linear(&m_aPreComputedFields[c]);
      refWorld[c] = linear.GetValueClamped(g[0], g[1], g[2], g[3]);
    }
    return;
  }
  if (m_pPreTransform) {
    const float in[4] = {refWorld[0], refWorld[1], refWorld[2], refWorld[3]};
    m_pPreTransform->TransformWorldToWorld(in, refWorld);
  }
  if (m_pTransform) {
    const float in[4] = {refWorld[0], refWorld[1], refWorld[2], refWorld[3]};
    m_pTransform->TransformWorldToWorld(in, refWorld);
  }
}

bool nuqMetricBase::IsFieldsPreComputed() const { return m_bFieldsPreComputed; }

nuqImageDataT<short> *nuqMetricBase::GetWorkingImage(int i) {
  return i >= 0 && i < 2 ? &m_aWorkingImages[i] : nullptr;
}

void nuqMetricBase::GetPreComputedPoint(int i, int j, int k, float *world) const {
  for (int c = 0; c < 3; ++c) {
    const nuqImageDataT<float> &field = m_aPreComputedFields[c];
    world[c] = field.InsideGrid(i, j, k, 0) ? field.GetPixelGreyscale(i, j, k, 0) : 0.0f;
  }
}
