// The -jac action: Jacobian determinant map of the joint transform
// T_n o ... o T_1 on the reference grid, with mask statistics.
//
// By the chain rule det J(p) = prod_i det J_i(q_i), with q_1 = p and
// q_{i+1} = T_i(q_i): each transform's Jacobian is taken where the previous
// ones map the point. Only the upper-left 3x3 block enters (the time axis
// never does). A free-form deformation gives its analytic Jacobian at its
// own control-grid coordinates; every other transform its world Jacobian.
#pragma once

#include <string>

#include "nuqImageData.h"

class nuqTransformBase;

// Writes det J into jacobianImage (when prefix is not empty) at the voxels
// the mask lets through, reports mean, std, max, min and the atrophy
// 1 - mean (verbosity >= 1) or writes "Atrophy Rate: ..." into the
// reference's file name + "_info.txt" (verbosity <= 0), and saves the map
// under the prefix (float, ".nii.gz" appended to a bare prefix). False when
// the map or the "_info.txt" file could not be written (an "error: " line
// says which).
bool ComputeJacobianMap(const nuqImageDataT<short> &reference,
                        nuqImageDataT<float> &jacobianImage,
                        const nuqImageDataT<short> &mask, nuqTransformBase **transforms,
                        int count, const std::string &prefix);
