#include "nuqActionInverse.h"

#include <cmath>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "nuqActionCompare.h"
#include "nuqActionField.h"
#include "nuqConsole.h"
#include "nuqMatrix.h"
#include "nuqRun.h"
#include "nuqTransformFields.h"
#include "nuqTransformIterateInverse.h"
#include "nuqTransformIterateInverseSDI.h"
#include "nuqTransformMatrix.h"

namespace {

// Singular 3x3 blocks below this determinant have no usable inverse.
const float kMinAffineDeterminant = 1e-20f;

// Whole seconds of wall clock since start.
long SecondsSince(std::time_t start) { return long(std::time(nullptr) - start); }

// -inverr: TI(T(p)) - p images under the prefix + "ic". False when they
// were not all written.
bool SaveInverseError(nuqRun &run, nuqTransformBase *forward, nuqTransformBase *inverse) {
  const std::string prefix = run.settings.strOutputPrefix + "ic";
  if (IsSuccessShown()) std::cout << "success: computing the inverse-consistency \n";
  const std::time_t start = std::time(nullptr);
  const bool written = ComputeInverseError(run.referenceImage, forward, inverse, prefix);
  if (IsSuccessShown()) std::cout << "success: used " << SecondsSince(start) << " seconds \n";
  return written;
}

// One affine: its inverse matrix, saved as a matrix transform.
int InvertAffine(nuqRun &run, nuqTransformBase *forward) {
  if (IsSuccessShown()) std::cout << "success: inverting affine transformation \n";
  nuqTransformAffine *affine = dynamic_cast<nuqTransformAffine *>(forward);
  if (!affine) {
    std::cerr << "error: the transformation of type AFF is not an affine transformation\n";
    return kRunFailed;
  }
  float m[16];
  affine->GetMatrix(m);
  const float det = Determinant3x3(m, 4);
  if (!(std::fabs(det) >= kMinAffineDeterminant)) {
    std::cerr << "error: the affine transformation " << forward->GetTransformFileName()
              << " is singular (determinant " << det << ") and has no inverse\n";
    return kRunFailed;
  }
  nuqTransformMatrix inverse;
  nuqTransformBase *target = &inverse;
  forward->CloneTo(target);
  if (!inverse.SetToInverseOf(affine)) {
    std::cerr << "error: cannot invert the affine transformation "
              << forward->GetTransformFileName() << "\n";
    return kRunFailed;
  }
  bool saved = inverse.SaveToFile(run.settings.strOutputPrefix);
  // The error images measure the matrix just saved, not an uncomputed
  // field: the matrix is the inverse the user gets.
  if (run.settings.bInverseError && !SaveInverseError(run, forward, &inverse)) saved = false;
  return saved ? kRunOk : kRunOutputUnwritable;
}

}  // namespace

int RunInverseAction(nuqRun &run) {
  const nuqRunSettings &s = run.settings;
  const int referenceDimension = run.referenceImage.GetDimension();
  if (referenceDimension < 3) {
    std::cerr << "error: the inverse needs a reference image with three spatial axes, "
              << run.strReferenceName << " has " << referenceDimension << "\n";
    return kRunFailed;
  }

  // The transform to invert: the only one, or the joint field of all.
  nuqTransformBase *forward = run.apTransforms[0];
  std::unique_ptr<nuqTransformFields> joint;
  if (run.nTransformsRead > 1) {
    ComputeDisplacementField(run.referenceImage, run.apTransforms, run.nTransformsRead, s.bSum,
                             run.maskImage, run.componentImages, run.magnitudeImage);
    joint.reset(new nuqTransformFields());
    const bool set = joint->SetTransformFields(&run.componentImages[0], &run.componentImages[1],
                                               &run.componentImages[2]);
    for (nuqImageDataT<float> &image : run.componentImages) image.ReleaseImage();
    run.magnitudeImage.ReleaseImage();
    if (!set) {
      std::cerr << "error: the joint field of the transformations cannot be inverted\n";
      return kRunFailed;
    }
    forward = joint.get();
  }
  if (!forward) return kRunFailed;

  std::unique_ptr<nuqTransformIterateInverse> inverse;
  if (s.eInverseMode == nuqInverseMode::ScatteredData)
    inverse.reset(new nuqTransformIterateInverseSDI());
  else
    inverse.reset(new nuqTransformIterateInverse());
  inverse->SetTransform(forward);
  nuqImageInfo *grid = run.referenceImage.GetInfo();
  inverse->SetFieldGrid(forward->GetDimension(), grid->m_iSize, grid->m_fSpacing, grid);
  if (s.iRoiFrom[0] < s.iRoiTo[0]) inverse->SetROI(forward->GetDimension(), s.iRoiFrom, s.iRoiTo);
  inverse->SetSamplingFactor(s.fInverseSamplingFactor);
  const std::time_t start = std::time(nullptr);

  if (forward->GetTransformType() == "AFF") return InvertAffine(run, forward);

  if (!inverse->ComputeInverseByDistanceInterpolate()) {
    std::cout << "error: ComputeInverseByDistanceInterpolate\n";
    return kRunFailed;
  }
  if (IsSuccessShown())
    std::cout << "success: run time for computing the inverse " << SecondsSince(start)
              << " seconds\n";
  bool saved = inverse->SaveToFile(s.strOutputPrefix);
  if (s.bInverseError && !SaveInverseError(run, forward, inverse.get())) saved = false;
  return saved ? kRunOk : kRunOutputUnwritable;
}
