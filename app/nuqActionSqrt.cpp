#include "nuqActionSqrt.h"

#include "nuqRun.h"
#include "nuqTransformFieldLogEuclidean.h"

int ComputeSquareRootTransform(nuqImageDataT<short> &referenceImage, nuqTransformBase *pTransform,
                                int nTimes, const std::string &strOutputPrefix) {
  nuqTransformFieldLogEuclidean root;
  root.SetImages(&referenceImage, &referenceImage);
  root.SetTransform(pTransform);
  if (!root.ComputeSquareRootNTimes(nTimes)) return kRunOk;
  // The writers print why a file was not saved.
  return root.SaveToFile(strOutputPrefix) ? kRunOk : kRunOutputUnwritable;
}
