// The -sqrt action: the (1/2)^n power of one transform as a displacement
// field on the reference grid, saved under the output prefix as an FLD file
// with its component images.
#pragma once

#include <string>

#include "nuqImageData.h"

class nuqTransformBase;

// n successive square roots of pTransform on the grid of the reference
// image; saved only when all of them succeed (the computation prints its own
// progress and error lines). Returns 0 also when the root could not be
// computed (nothing is saved then), -10 when it could not be saved.
int ComputeSquareRootTransform(nuqImageDataT<short> &referenceImage, nuqTransformBase *pTransform,
                                int nTimes, const std::string &strOutputPrefix);
