// Point-by-point comparisons of transforms on the reference grid, in mm of
// world space:
//   difference (-diff):          e(p) = T1(p) - T2(p)
//   inverse consistency (-ic):   e(p) = T_n o ... o T_1(p) - p
//   inverse error (-inverr):     e(p) = TI(T(p)) - p
// The first two return a tab-separated statistics report (rms, avg, sample
// std, max, min of |e| and the voxel count) over the voxels whose nearest
// mask value is not 0; the mask is read with its index clamped, so a small
// mask extends by its edge voxels.
#pragma once

#include <string>

#include "nuqImageData.h"

class nuqTransformBase;

// With save, writes prefix + "_realerror_x." ... (|e_k|) and
// prefix + "_realerror_mag." (|e|) as ".nii.gz" images. *saved (when given)
// becomes false when saving was asked for and an image was not written.
std::string ComputeTransformDifference(const nuqImageDataT<short> &reference,
                                       nuqTransformBase *first, nuqTransformBase *second,
                                       bool save, const std::string &prefix,
                                       const nuqImageDataT<short> &mask,
                                       bool *saved = nullptr);

// With save, writes prefix + "_ic_x." ... and prefix + "_ic_mag."; *saved
// as above.
std::string ComputeInverseConsistency(const nuqImageDataT<short> &reference,
                                      nuqTransformBase **transforms, int count, bool save,
                                      const std::string &prefix,
                                      const nuqImageDataT<short> &mask, bool *saved = nullptr);

// Saves the signed e_k as prefix + "_x." ... and |e| as prefix + "_mag.";
// no mask, no statistics. False when an image could not be made or written.
bool ComputeInverseError(const nuqImageDataT<short> &reference, nuqTransformBase *forward,
                         nuqTransformBase *inverse, const std::string &prefix);
