// Dense displacement-field transform.
//
// The field is sampled on one regular grid: component c (x, y, z, t) is a
// float volume whose voxels hold the c-th world coordinate of the
// displacement, in millimetres. A world point p maps to
//     q[c] = p[c] + D_c(G(p))      for c < min(dimension, 3)
// where G is the world-to-grid mapping of component 0 and D_c the linear
// interpolation of component c, clamped to the grid box (outside the box the
// border displacement is used). q[t] is never written, nor q[z] in 2-D.
//
// The voxels of the used components, component 0 first, form the parameter
// vector, so the parameter algebra of the base class works on whole fields.
//
// On disk a field is an FLD text (the common transform header, then one
// "#transformation fields in dimension x#" block per component naming the
// component volume file) plus one NIfTI volume per component.
#pragma once

#include <iosfwd>
#include <string>

#include "nuqImageData.h"
#include "nuqImageModeling.h"
#include "nuqTransformBase.h"

class nuqTransformFields : public nuqGradientBase {
 public:
  nuqTransformFields();
  ~nuqTransformFields() override;
  nuqTransformFields(const nuqTransformFields &) = delete;
  nuqTransformFields &operator=(const nuqTransformFields &) = delete;

  std::string GetTransformType() const override;
  nuqTransformBase *CloneTo(nuqTransformBase *&target) override;
  void TransformWorldToWorld(const float *in, float *out) override;
  // Scales the field so that its largest voxel displacement is 1; returns
  // that largest magnitude (0 leaves the field unchanged).
  float Normalise(bool perGroup) override;
  bool SetIdentity() override;
  bool ReadFromStream(std::istream &stream) override;
  std::string GetTransformText() override;
  bool SaveToFile(const std::string &fileName) override;
  int GetNumberOfParameters() const override;
  float GetParameterValue(int index) const override;
  bool SetParameterValue(int index, float value) override;
  // Analytic gradient of the square-root fit (nuqMetricSquareRootTransform)
  // over the displacement of the metric's field, stored into this field.
  bool ComputeGradient(nuqMetricBase *metric, nuqTransformBase *step, bool flag) override;

  // sigma: one standard deviation per dimension, in mm.
  virtual bool SmoothFields(const float *sigma);
  virtual bool SetTransformFieldsByFileNames(const std::string &nameX, const std::string &nameY,
                                             const std::string &nameZ);
  // names: one per dimension; the dimension must already be 2 to 4.
  virtual bool SetTransformFieldsByFileNameArray(const std::string *names);
  virtual bool SetTransformFieldsByFileNameList(const char *const *names);
  // Deep copies; the caller keeps its images.
  virtual bool SetTransformFields(nuqImageDataT<float> *imageX, nuqImageDataT<float> *imageY,
                                  nuqImageDataT<float> *imageZ);
  // The images hold deformed world positions instead of displacements.
  virtual bool SetTransformFieldsFromPositions(nuqImageDataT<float> *imageX,
                                               nuqImageDataT<float> *imageY,
                                               nuqImageDataT<float> *imageZ);
  virtual nuqImageDataT<float> *GetTransformFields();
  virtual nuqImageModelingLinearT<float, float> *GetFieldModels();
  virtual bool ResizeTransformFields(nuqImageInfo *info);
  virtual void NewTransformFields(int dimension, const int *size, const float *spacing,
                                  nuqImageInfo *info);
  virtual void ReleaseTransformFields();
  // Samples transform at every voxel of info's grid.
  virtual bool SetTransformFieldsFromTransform(nuqTransformBase *transform, nuqImageInfo *info);

  // Every used component must share component 0's dimension, sizes and
  // spacings; prints the offending file name otherwise.
  bool CheckFieldImages();

 protected:
  // Reads component c from fileName into its volume and binds its model;
  // stores the name in any case. Directories, pipes and devices are refused.
  bool ReadComponent(int c, const std::string &fileName);
  // The same, with an error line naming the file when it cannot be read.
  bool ReadNamedComponent(int c, const std::string &fileName);
  int UsedComponents() const;

  std::string m_strFieldFileNames[4];
  // Components 0 to 2 are 3-D volumes of one size. (Each model is always
  // bound to its own component.)
  bool HasOneGrid3D() const;
  nuqImageDataT<float> m_aFieldImages[4];
  nuqImageModelingLinearT<float, float> m_aFieldModels[4];
};

// Samples the chain transforms[0..count-1] (first applied first) as a new
// field of dimension dim with the given spacing, physical extent (mm) and
// the orientation of info. Voxels outside the region roiFrom..roiTo (world
// points, used only when both are given and roiFrom[0] < roiTo[0]) are 0.
// The caller owns the result.
nuqTransformFields *ComposeTransformsToField(nuqTransformBase **transforms, int count, int dim,
                                             const float *spacing, const float *extent,
                                             const float *roiFrom, const float *roiTo,
                                             nuqImageInfo *info);
