// Everything one nuqtransformvector run owns from the scan to the exit: the
// settings, the reference image and the images on its grid, the mask and the
// transform list. The actions receive it and read what they need.
#pragma once

#include <string>

#include "nuqImageData.h"
#include "nuqOptions.h"
#include "nuqTransformBase.h"

// Exit statuses of the tool.
enum nuqRunStatus : int {
  kRunOk = 0,
  kRunFailed = -1,              // count mismatch, mask, -locaff, -diff count, inverse, bounds
  kRunNoReference = -2,         // reference image unreadable
  kRunNoPrefix = -3,            // -o is the last argument
  kRunNoTransformCount = -4,    // -n is the last argument
  kRunNoTransformName = -5,     // -t is the last argument
  kRunTransformUnreadable = -6, // a -t file cannot be loaded
  kRunNoTransforms = -7,        // no transform at all
  kRunFieldImages = -8,         // -d cannot build its field
  kRunUnknownOption = -9,       // an argument in option position is no option
  kRunOutputUnwritable = -10,   // an output folder or file cannot be written
  kRunSetupMismatch = 1,        // local regions and affines disagree; -sqrt count
};

struct nuqRun {
  nuqRun() = default;
  nuqRun(const nuqRun &) = delete;
  nuqRun &operator=(const nuqRun &) = delete;
  // Transforms are destroyed through their virtual destructor; entries the
  // scan never reached are null.
  ~nuqRun() {
    for (nuqTransformBase *&t : apTransforms) {
      delete t;
      t = nullptr;
    }
  }

  nuqRunSettings settings;
  std::string strReferenceName;
  nuqImageDataT<short> referenceImage;
  // The first reference-dimension entries are created on the reference grid.
  nuqImageDataT<float> componentImages[4];
  nuqImageDataT<float> magnitudeImage;
  nuqImageDataT<float> jacobianImage;  // created when -jac is scanned
  nuqImageDataT<short> maskImage;      // empty unless -mask
  nuqTransformBase *apTransforms[kMaxTransforms] = {};
  int nTransformsRead = 0;
};
