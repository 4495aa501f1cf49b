// The default action of nuqtransformvector: the displacement field of the
// loaded transforms sampled on the reference grid, its statistics line and
// its files.
//
// At every reference voxel v with world point p = GridToWorld(v):
//   joint (default): d = T_n(...T_1(p)) - p
//   sum (-sum):      d = sum_i (T_i(p) - p)
// d is in millimetres of world space; component k of d (k < dimension) goes
// into component image k and |d| into the magnitude image. Voxels where the
// mask (when given) interpolates to non-zero at p enter the statistics:
// warping index sqrt(mean |d|^2), mean, population standard deviation,
// maximum and minimum of |d|.
#pragma once

#include <string>

#include "nuqImageData.h"

class nuqTransformBase;
struct nuqRun;

struct nuqFieldStatistics {
  double count = 0;       // voxels counted
  double sum = 0;         // sum of magnitudes
  double sumSquares = 0;  // sum of squared magnitudes
  float maximum = 0;
  float minimum = 999999;
};

// Fills components[0..dim-1] and magnitude (all on the reference grid) and
// prints "success: start computing ...", "success: transformation field
// computation finished" and the statistics line. An empty mask counts every
// voxel. Returns the statistics.
nuqFieldStatistics ComputeDisplacementField(const nuqImageDataT<short> &reference,
                                            nuqTransformBase **transforms, int count,
                                            bool sum, const nuqImageDataT<short> &mask,
                                            nuqImageDataT<float> *components,
                                            nuqImageDataT<float> &magnitude);

// Saves prefix_x.nii.gz ... (first dim components), prefix.FLD and, with
// saveMagnitude, prefix_mag.nii.gz. Writes nothing for an empty prefix. The
// component images are released once saved (the run needs them no more and
// the FLD step reads them back from disk). False when a file could not be
// written (its writer has printed why); the other files are still written.
bool SaveDisplacementField(nuqImageDataT<float> *components, int dim,
                           nuqImageDataT<float> &magnitude, bool saveMagnitude,
                           const std::string &prefix);

// The action as the entry point runs it: computation, then the files;
// 0, or -10 when an output file could not be written.
int RunFieldAction(nuqRun &run);
