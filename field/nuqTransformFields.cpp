#include "nuqTransformFields.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <istream>
#include <limits>

#include "nuqConsole.h"
#include "nuqFileReason.h"
#include "nuqImageIO.h"
#include "nuqImageProcess.h"
#include "nuqMatrix.h"
#include "nuqMetricSquareRootTransform.h"
#include "nuqSafeOutput.h"

namespace {

const char *const kAxisNames[4] = {"x", "y", "z", "t"};
const char *const kComponentSuffixes[4] = {"_x.", "_y.", "_z.", "_t."};
const char *const kFieldExtension = "nii.gz";

// Name of component c saved next to base name B: B_x.nii.gz, B_y.nii.gz ...
std::string ComponentFileName(const std::string &base, int c) {
  return base + kComponentSuffixes[c] + kFieldExtension;
}

// A name the image reader may try: anything but an existing non-regular file
// (a missing a.nii may still be found as a.nii.gz by the reader).
bool IsSafeToRead(const std::string &fileName) {
  struct stat st;
  return stat(fileName.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

void ReportUnreadComponent(const std::string &fileName) {
  std::cerr << "error: cannot read transformation field image " << fileName
            << UnreadableFileSuffix(fileName) << "\n";
}

// Next component name under the transform-text line rules; empty at the
// end of the stream.
std::string NextContentLine(std::istream &stream) {
  std::string line;
  if (!ReadTransformLine(stream, line)) return std::string();
  return line;
}

}  // namespace

nuqTransformFields::nuqTransformFields() = default;

nuqTransformFields::~nuqTransformFields() = default;

std::string nuqTransformFields::GetTransformType() const { return "FLD"; }

int nuqTransformFields::UsedComponents() const {
  if (m_iDimension < 0) return 0;
  return m_iDimension > 4 ? 4 : m_iDimension;
}

nuqTransformBase *nuqTransformFields::CloneTo(nuqTransformBase *&target) {
  if (!target) target = new nuqTransformFields();
  nuqGradientBase::CloneTo(target);
  nuqTransformFields *field = dynamic_cast<nuqTransformFields *>(target);
  if (!field || field == this) return target;
  for (int c = 0; c < UsedComponents(); ++c) {
    field->m_strFieldFileNames[c] = m_strFieldFileNames[c];
    m_aFieldImages[c].Clone(&field->m_aFieldImages[c]);
    field->m_aFieldModels[c].SetImage(&field->m_aFieldImages[c]);
  }
  return target;
}

void nuqTransformFields::TransformWorldToWorld(const float *in, float *out) {
  const int used = m_iDimension < 3 ? m_iDimension : 3;
  // An empty field has no grid to sample: leave the point where it is.
  if (used < 1 || m_aFieldImages[0].IsEmpty()) {
    for (int c = 0; c < used; ++c) out[c] = in[c];
    return;
  }
  float g[4] = {in[0], in[1], in[2], in[3]};
  m_aFieldImages[0].GetInfo()->WorldToGrid(g);
  if (used == 3 && HasOneGrid3D()) {
    // The usual case: the cell and weights are found once for the three
    // components (the same arithmetic as reading each on its own).
    const float *volumes[3] = {m_aFieldImages[0].GetImageData(), m_aFieldImages[1].GetImageData(),
                               m_aFieldImages[2].GetImageData()};
    float d[3];
    nuqImageModelingLinearT<float, float>::GetValues3D(volumes, 3,
                                                       m_aFieldImages[0].GetSizeArray(),
                                                       m_aFieldImages[0].GetSliceSize(), g[0],
                                                       g[1], g[2], d);
    for (int c = 0; c < 3; ++c) out[c] = in[c] + d[c];
    return;
  }
  for (int c = 0; c < used; ++c) {
    // Clamped sampling extends the field by its border values.
    out[c] = in[c] + m_aFieldModels[c].GetPixelGreyscaleClamped(g[0], g[1], g[2], g[3]);
  }
}

bool nuqTransformFields::HasOneGrid3D() const {
  const int *n = m_aFieldImages[0].GetSizeArray();
  for (int c = 0; c < 3; ++c) {
    const nuqImageDataT<float> &image = m_aFieldImages[c];
    if (image.IsEmpty() || image.GetDimension() != 3) return false;
    const int *m = image.GetSizeArray();
    if (m[0] != n[0] || m[1] != n[1] || m[2] != n[2]) return false;
  }
  return true;
}

float nuqTransformFields::Normalise(bool) {
  const int used = UsedComponents();
  if (used < 1) return 0;
  const int count = m_aFieldImages[0].GetNumberOfPixels();
  for (int c = 1; c < used; ++c)
    if (m_aFieldImages[c].GetNumberOfPixels() != count) return 0;
  float *data[4] = {nullptr, nullptr, nullptr, nullptr};
  for (int c = 0; c < used; ++c) data[c] = m_aFieldImages[c].GetImageData();
  float largest = 0;
  for (int i = 0; i < count; ++i) {
    float sum = 0;
    for (int c = 0; c < used; ++c) sum += data[c][i] * data[c][i];
    const float magnitude = std::sqrt(sum);
    if (magnitude > largest) largest = magnitude;
  }
  if (largest != 0) {
    const float scale = 1.0f / largest;
    for (int c = 0; c < used; ++c)
      for (int i = 0; i < count; ++i) data[c][i] *= scale;
  }
  return largest;
}

bool nuqTransformFields::SetIdentity() {
  for (int c = 0; c < UsedComponents(); ++c) {
    float *data = m_aFieldImages[c].GetImageData();
    const int count = m_aFieldImages[c].GetNumberOfPixels();
    for (int i = 0; i < count; ++i) data[i] = 0;
  }
  return true;
}

bool nuqTransformFields::ReadComponent(int c, const std::string &fileName) {
  m_strFieldFileNames[c] = fileName;
  if (!IsSafeToRead(fileName) || !ReadImageFile(&m_aFieldImages[c], fileName)) return false;
  m_aFieldModels[c].SetImage(&m_aFieldImages[c]);
  return true;
}

bool nuqTransformFields::ReadNamedComponent(int c, const std::string &fileName) {
  if (ReadComponent(c, fileName)) return true;
  ReportUnreadComponent(fileName);
  return false;
}

bool nuqTransformFields::ReadFromStream(std::istream &stream) {
  if (!nuqGradientBase::ReadFromStream(stream)) {
    std::cerr << "error: open Transformation Field type Transformation Failed in reading base "
                 "stream!\n";
    return false;
  }
  const std::string fldPath = GetTransformFileName();
  if (m_iDimension < 2 || m_iDimension > 4) {
    std::cerr << "error: transformation field " << fldPath << " has dimension " << m_iDimension
              << ", only 2 to 4 are supported\n";
    return false;
  }
  const std::string directory = GetDirectoryPart(fldPath);
  const std::string fldBase =
      fldPath.size() >= 4 ? fldPath.substr(0, fldPath.size() - 4) : std::string();
  for (int c = 0; c < m_iDimension; ++c) {
    const std::string listed = NextContentLine(stream);
    // The listed name, then the same file next to the FLD file, then the
    // conventional name derived from the FLD file's own name.
    const std::string tries[3] = {listed, directory + "/" + GetFileNamePart(listed),
                                  ComponentFileName(fldBase, c)};
    // Which names were tried, with the reason each one is missing; a name
    // that exists but does not read as an image (the image reader said why).
    std::string missing;
    std::string unread;
    bool taken = false;
    for (int t = 0; t < 3 && !taken; ++t) {
      const std::string &name = tries[t];
      // No name was listed, or a bare name has no file part to look for
      // next to the FLD file: nothing to try.
      if (name.empty() || (t == 1 && GetFileNamePart(listed).empty())) continue;
      if ((t > 0 && name == tries[0]) || (t == 2 && name == tries[1])) continue;
      const std::string reason = DescribeUnreadableFile(name);
      if (!reason.empty()) {
        if (!missing.empty()) missing += ", ";
        missing += "\"" + name + "\" (" + reason + ")";
        continue;
      }
      if (ReadComponent(c, name)) {
        taken = true;
      } else if (unread.empty()) {
        unread = name;
      }
    }
    if (taken) continue;
    if (!unread.empty()) {
      // Reported once: the image reader has printed why it failed.
      std::cerr << "error: cannot read the transformation field image in dimension "
                << kAxisNames[c] << " of " << fldPath << ": \"" << unread
                << "\" exists but could not be read as an image\n";
    } else {
      std::cerr << "error: cannot find the transformation field image in dimension "
                << kAxisNames[c] << " of " << fldPath << " (tried " << missing << ")\n";
    }
    return false;
  }
  return CheckFieldImages();
}

std::string nuqTransformFields::GetTransformText() {
  std::string text = nuqGradientBase::GetTransformText();
  if (m_iDimension < 2 || m_iDimension > 4) return text;
  for (int c = 0; c < m_iDimension; ++c) {
    text += std::string("\n#transformation fields in dimension ") + kAxisNames[c] + "#\n";
    text += m_strFieldFileNames[c] + "\n";
  }
  return text;
}

bool nuqTransformFields::SaveToFile(const std::string &fileName) {
  if (!CheckFieldImages()) return false;
  const std::string base =
      GetExtension(fileName) == "FLD" ? GetNameWithoutExtension(fileName) : fileName;
  std::string saved[4];
  // The components are compressed at the same time and completed in order.
  nuqImageSaveBatch<float> batch;
  for (int c = 0; c < UsedComponents(); ++c) {
    saved[c] = ComponentFileName(base, c);
    m_aFieldImages[c].SetDataType(64);
    batch.Add(&m_aFieldImages[c], saved[c]);
  }
  batch.Write();
  // An FLD text naming a component that was not written would be a broken
  // output reported as success: stop at the first failed image (the later
  // ones are not put in place).
  for (int c = 0; c < UsedComponents(); ++c)
    if (!batch.Finish(c)) return false;
  // The text lists the names just written; the stored names stay as they were.
  std::string kept[4];
  for (int c = 0; c < 4; ++c) {
    kept[c] = m_strFieldFileNames[c];
    if (c < UsedComponents()) m_strFieldFileNames[c] = saved[c];
  }
  const std::string text = GetTransformText();
  for (int c = 0; c < 4; ++c) m_strFieldFileNames[c] = kept[c];

  // Written beside the target and renamed into place only when complete.
  nuqSafeOutput output(base + ".FLD");
  std::ofstream out(output.GetTemporaryName().c_str(), std::ios::binary | std::ios::trunc);
  if (!out) {
    std::cerr << "error: save to file name " << base << " fail! ";
    return false;
  }
  out << text;
  out.close();
  if (!out) {
    std::cerr << "error: save to file name " << base << " fail! ";
    return false;
  }
  return output.Commit();
}

int nuqTransformFields::GetNumberOfParameters() const {
  int count = 0;
  for (int c = 0; c < UsedComponents(); ++c) count += m_aFieldImages[c].GetNumberOfPixels();
  return count;
}

float nuqTransformFields::GetParameterValue(int index) const {
  if (index < 0) return 0;
  for (int c = 0; c < UsedComponents(); ++c) {
    const int count = m_aFieldImages[c].GetNumberOfPixels();
    if (index < count) return m_aFieldImages[c].GetImageData()[index];
    index -= count;
  }
  return 0;
}

bool nuqTransformFields::SetParameterValue(int index, float value) {
  if (index < 0) return false;
  for (int c = 0; c < UsedComponents(); ++c) {
    const int count = m_aFieldImages[c].GetNumberOfPixels();
    if (index < count) {
      m_aFieldImages[c].GetImageData()[index] = value;
      return true;
    }
    index -= count;
  }
  return false;
}

bool nuqTransformFields::ComputeGradient(nuqMetricBase *metric, nuqTransformBase *, bool) {
  return ComputeSquareRootTransformGradient(metric, this);
}

bool nuqTransformFields::SmoothFields(const float *sigma) {
  if (!sigma) return false;
  const int used = UsedComponents();
  if (used < 1) return true;
  // Millimetres to voxels of component 0; kernel half-width floor(2 sigma).
  const float *spacing = m_aFieldImages[0].GetSpacingArray();
  float voxelSigma[4] = {0, 0, 0, 0};
  for (int d = 0; d < used; ++d) voxelSigma[d] = spacing[d] != 0 ? sigma[d] / spacing[d] : 0;
  nuqImageProcessGaussianT<float, float> gaussian;
  gaussian.SetSigma(voxelSigma);
  gaussian.SetKernelRadiusFactor(2.0f);
  for (int c = 0; c < used; ++c) {
    if (m_aFieldImages[c].IsEmpty()) continue;
    gaussian.SetImages(&m_aFieldImages[c], &m_aFieldImages[c]);
    gaussian.Run();
  }
  return true;
}

bool nuqTransformFields::SetTransformFieldsByFileNames(const std::string &nameX,
                                                       const std::string &nameY,
                                                       const std::string &nameZ) {
  if (!ReadNamedComponent(0, nameX)) return false;
  SetDimension(m_aFieldImages[0].GetDimension());
  if (m_iDimension == 1) return true;
  if (!ReadNamedComponent(1, nameY)) return false;
  if (m_iDimension != 2 && !ReadNamedComponent(2, nameZ)) return false;
  return CheckFieldImages();
}

bool nuqTransformFields::SetTransformFieldsByFileNameArray(const std::string *names) {
  if (!names || m_iDimension < 2 || m_iDimension > 4) return false;
  // The components are read at the same time and completed in order; the
  // first one that cannot be read ends the reading as it would one by one
  // (an error found when a file is opened is printed before the lines of
  // the components completed ahead of it).
  nuqImageReadBatch<float> batch;
  int started = 0;
  while (started < m_iDimension && IsSafeToRead(names[started]) &&
         batch.Add(&m_aFieldImages[started], names[started]))
    ++started;
  batch.Read();
  // A component refused before reading has no finished file: Finish fails
  // for it like for a file that could not be read.
  const int visited = started < m_iDimension ? started + 1 : started;
  for (int c = 0; c < visited; ++c) {
    m_strFieldFileNames[c] = names[c];
    if (!batch.Finish(c)) {
      ReportUnreadComponent(names[c]);
      return false;
    }
    m_aFieldModels[c].SetImage(&m_aFieldImages[c]);
  }
  return CheckFieldImages();
}

bool nuqTransformFields::SetTransformFieldsByFileNameList(const char *const *names) {
  if (!names || m_iDimension < 2 || m_iDimension > 4) return false;
  for (int c = 0; c < m_iDimension; ++c)
    if (!names[c] || !ReadNamedComponent(c, names[c])) return false;
  return CheckFieldImages();
}

bool nuqTransformFields::SetTransformFields(nuqImageDataT<float> *imageX,
                                            nuqImageDataT<float> *imageY,
                                            nuqImageDataT<float> *imageZ) {
  if (!imageX) return false;
  SetDimension(imageX->GetDimension());
  nuqImageDataT<float> *const sources[3] = {imageX, imageY, imageZ};
  const int copies = m_iDimension < 3 ? m_iDimension : 3;
  for (int c = 0; c < copies; ++c) {
    if (!sources[c]) return false;
    sources[c]->Clone(&m_aFieldImages[c]);
    m_aFieldModels[c].SetImage(&m_aFieldImages[c]);
    if (m_iDimension == 1) return true;
  }
  return CheckFieldImages();
}

bool nuqTransformFields::SetTransformFieldsFromPositions(nuqImageDataT<float> *imageX,
                                                         nuqImageDataT<float> *imageY,
                                                         nuqImageDataT<float> *imageZ) {
  if (!SetTransformFields(imageX, imageY, imageZ)) return false;
  int size[4];
  imageX->GetImageSize(size[0], size[1], size[2], size[3]);
  nuqImageInfo *info = imageX->GetInfo();
  const int used = m_iDimension < 3 ? m_iDimension : 3;
  for (int k = 0; k < size[2]; ++k)
    for (int j = 0; j < size[1]; ++j)
      for (int i = 0; i < size[0]; ++i) {
        float w[4] = {float(i), float(j), float(k), 0};
        info->GridToWorld(w);
        const int index = i + j * size[0] + k * size[0] * size[1];
        for (int c = 0; c < used; ++c) m_aFieldImages[c].GetImageData()[index] -= w[c];
      }
  return true;
}

nuqImageDataT<float> *nuqTransformFields::GetTransformFields() { return m_aFieldImages; }

nuqImageModelingLinearT<float, float> *nuqTransformFields::GetFieldModels() {
  return m_aFieldModels;
}

bool nuqTransformFields::ResizeTransformFields(nuqImageInfo *info) {
  if (!info || m_aFieldImages[0].GetNumberOfPixels() == 0) return false;
  if (m_iDimension < 2 || m_iDimension > 4) return false;
  for (int c = 0; c < m_iDimension; ++c) m_aFieldImages[c].AlignGridTo(info, 0);
  return true;
}

void nuqTransformFields::NewTransformFields(int dimension, const int *size, const float *spacing,
                                            nuqImageInfo *info) {
  SetDimension(dimension);
  int fullSize[4] = {1, 1, 1, 1};
  float fullSpacing[4] = {1, 1, 1, 1};
  for (int d = 0; d < UsedComponents(); ++d) {
    fullSize[d] = size[d];
    fullSpacing[d] = spacing[d];
  }
  for (int c = 0; c < UsedComponents(); ++c) {
    m_aFieldImages[c].NewImage(UsedComponents(), fullSize, fullSpacing, info);
    m_aFieldModels[c].SetImage(&m_aFieldImages[c]);
  }
}

void nuqTransformFields::ReleaseTransformFields() {
  for (int c = 0; c < UsedComponents(); ++c) m_aFieldImages[c].ReleaseImage();
}

bool nuqTransformFields::SetTransformFieldsFromTransform(nuqTransformBase *transform,
                                                         nuqImageInfo *info) {
  if (!transform || !info) return false;
  const int dim = info->m_iDimension;
  if (dim < 1 || dim > 4) return false;
  NewTransformFields(dim, info->m_iSize, info->m_fSpacing, info);
  const int *size = m_aFieldImages[0].GetSizeArray();
  float *data[4] = {nullptr, nullptr, nullptr, nullptr};
  for (int c = 0; c < dim; ++c) data[c] = m_aFieldImages[c].GetImageData();
  int index = 0;
  for (int t = 0; t < size[3]; ++t)
    for (int z = 0; z < size[2]; ++z)
      for (int y = 0; y < size[1]; ++y)
        for (int x = 0; x < size[0]; ++x, ++index) {
          float w[4] = {float(x), float(y), float(z), float(t)};
          info->GridToWorld(w);
          float p[4] = {w[0], w[1], w[2], w[3]};
          transform->TransformWorldToWorld(w, p);
          for (int c = 0; c < dim; ++c) data[c][index] = p[c] - w[c];
        }
  return true;
}

bool nuqTransformFields::CheckFieldImages() {
  for (int c = 1; c < UsedComponents(); ++c) {
    if (!m_aFieldImages[c].GetInfo()->IsSameGrid(m_aFieldImages[0].GetInfo())) {
      const std::string name =
          m_strFieldFileNames[c].empty() ? m_aFieldImages[c].GetFileName() : m_strFieldFileNames[c];
      std::cerr << "error: transformation field images should have same orientation, dimension, "
                   "size, spacing "
                << name << "\n";
      return false;
    }
  }
  return true;
}

nuqTransformFields *ComposeTransformsToField(nuqTransformBase **transforms, int count, int dim,
                                             const float *spacing, const float *extent,
                                             const float *roiFrom, const float *roiTo,
                                             nuqImageInfo *info) {
  if (dim < 1 || dim > 4 || !spacing || !extent) return nullptr;
  int size[4] = {1, 1, 1, 1};
  float fullSpacing[4] = {1, 1, 1, 1};
  double voxels = 1;
  for (int d = 0; d < dim; ++d) {
    if (!(spacing[d] > 0) || !(extent[d] >= 0)) {
      std::cerr << "error: field grid needs positive spacing and non-negative extent\n";
      return nullptr;
    }
    const double n = std::floor(extent[d] / spacing[d]) + 1;
    voxels *= n;
    if (voxels > std::numeric_limits<int>::max()) {
      std::cerr << "error: field grid of " << voxels << " voxels is too large\n";
      return nullptr;
    }
    size[d] = int(n);
    fullSpacing[d] = spacing[d];
  }

  nuqImageDataT<float> volumes[4];
  for (int c = 0; c < dim; ++c) volumes[c].NewImage(dim, size, fullSpacing, info);
  nuqImageInfo *grid = volumes[0].GetInfo();

  bool roi = roiFrom && roiTo && roiFrom[0] < roiTo[0];
  int lo[4] = {0, 0, 0, 0}, hi[4] = {size[0] - 1, size[1] - 1, size[2] - 1, size[3] - 1};
  if (roi) {
    float a[4] = {roiFrom[0], roiFrom[1], roiFrom[2], roiFrom[3]};
    float b[4] = {roiTo[0], roiTo[1], roiTo[2], roiTo[3]};
    grid->WorldToGrid(a);
    grid->WorldToGrid(b);
    for (int d = 0; d < 4; ++d) {
      // Kept far inside the int range before rounding.
      lo[d] = RoundHalfAway(std::fmax(-1e9f, std::fmin(1e9f, a[d])));
      hi[d] = RoundHalfAway(std::fmax(-1e9f, std::fmin(1e9f, b[d])));
    }
  }

  float *data[4] = {nullptr, nullptr, nullptr, nullptr};
  for (int c = 0; c < dim; ++c) data[c] = volumes[c].GetImageData();
  int index = 0;
  for (int t = 0; t < size[3]; ++t)
    for (int z = 0; z < size[2]; ++z)
      for (int y = 0; y < size[1]; ++y)
        for (int x = 0; x < size[0]; ++x, ++index) {
          const int at[4] = {x, y, z, t};
          bool inside = true;
          for (int d = 0; roi && d < dim; ++d)
            if (at[d] < lo[d] || at[d] > hi[d]) inside = false;
          if (!inside || count <= 0 || !transforms) continue;
          float w[4] = {float(x), float(y), float(z), float(t)};
          grid->GridToWorld(w);
          float p[4] = {w[0], w[1], w[2], w[3]};
          for (int i = 0; i < count; ++i) {
            if (!transforms[i]) continue;
            const float q[4] = {p[0], p[1], p[2], p[3]};
            transforms[i]->TransformWorldToWorld(q, p);
          }
          for (int c = 0; c < dim; ++c) data[c][index] = p[c] - w[c];
        }

  nuqTransformFields *field = new nuqTransformFields();
  field->SetDimension(dim);
  field->SetTransformFields(&volumes[0], dim > 1 ? &volumes[1] : nullptr,
                            dim > 2 ? &volumes[2] : nullptr);
  return field;
}
