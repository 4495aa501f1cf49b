// Image filters: the filter base, separable Gaussian smoothing, and the
// Euclidean distance map of a label volume.
//
// Gaussian smoothing works per grid axis with a sigma in voxels (callers
// divide a millimetre sigma by the spacing). The kernel half-width is
// C = floor(sigma * m_fKernelRadiusFactor) voxels; an axis with C <= 0 is
// left alone. Weights w(k) = exp(-k^2 / (2 sigma^2)) / (sqrt(2 pi) sigma),
// k = -C..C, normalised to sum 1. Beyond the border the edge voxel is
// repeated, so a constant volume stays constant. Input and output may be the
// same volume.
//
// The distance map computes, for every voxel of the "selected" set, the
// exact squared Euclidean distance in millimetres (voxel spacing included,
// anisotropic spacing exact) to the nearest voxel outside it, by separable
// lower envelopes of parabolas (one linear pass per line and axis).
#pragma once

#include "nuqImageData.h"

template <class T, class R = float>
class nuqImageProcessBaseT {
 public:
  nuqImageProcessBaseT() = default;
  virtual ~nuqImageProcessBaseT() = default;

  // The filter itself; true on success.
  virtual bool Run() = 0;
  // Neither volume is owned; output may be the input itself.
  virtual void SetImages(nuqImageDataT<T> *input, nuqImageDataT<T> *output) {
    m_pInputImage = input;
    m_pOutputImage = output;
  }
  virtual nuqImageDataT<T> *GetInputImage() const { return m_pInputImage; }
  virtual nuqImageDataT<T> *GetOutputImage() const { return m_pOutputImage; }

 protected:
  nuqImageDataT<T> *m_pInputImage = nullptr;
  nuqImageDataT<T> *m_pOutputImage = nullptr;
};

template <class T, class R = float>
class nuqImageProcessGaussianT : public nuqImageProcessBaseT<T, R> {
 public:
  nuqImageProcessGaussianT();

  // False when a volume is missing or empty, or a kernel would be
  // unreasonably wide. The output takes the input's grid when it has
  // another; integer outputs are rounded half away from zero.
  bool Run() override;

  // Sigma per grid axis x, y, z, t in voxels (four values).
  void SetSigma(const float *sigma);
  void SetSigma(int axis, float sigma);
  float GetSigma(int axis) const { return m_fSigma[axis]; }
  // Kernel half-width in standard deviations (2 for field smoothing).
  void SetKernelRadiusFactor(float factor) { m_fKernelRadiusFactor = factor; }
  float GetKernelRadiusFactor() const { return m_fKernelRadiusFactor; }

 protected:
  float m_fSigma[4];
  float m_fKernelRadiusFactor;
};

// Distance map of a label volume into out (out takes this volume's grid and
// placement). A voxel whose value v has lower <= v <= upper is "in range";
// the selected set is the in-range voxels when `inside`, else the others.
// Every selected voxel gets its squared distance in mm to the nearest
// unselected voxel, every unselected voxel 0; where no unselected voxel
// exists (per time frame), every voxel gets 2147483647. With squared false
// the square root of each value is stored. Time frames of a 4-D volume are
// treated separately. False for a missing or empty volume or a missing out.
template <class T>
bool ComputeDistanceMap(const nuqImageDataT<T> *source, nuqImageDataT<float> *out, int lower,
                        int upper, bool inside, bool squared);

extern template class nuqImageProcessBaseT<short, float>;
extern template class nuqImageProcessBaseT<float, float>;
extern template class nuqImageProcessBaseT<char, float>;
extern template class nuqImageProcessGaussianT<short, float>;
extern template class nuqImageProcessGaussianT<float, float>;
extern template class nuqImageProcessGaussianT<char, float>;
extern template bool ComputeDistanceMap<short>(const nuqImageDataT<short> *, nuqImageDataT<float> *,
                                               int, int, bool, bool);
extern template bool ComputeDistanceMap<float>(const nuqImageDataT<float> *, nuqImageDataT<float> *,
                                               int, int, bool, bool);
extern template bool ComputeDistanceMap<char>(const nuqImageDataT<char> *, nuqImageDataT<float> *,
                                              int, int, bool, bool);
