#include "nuqActionSqrt.h"

#include "nuqTransformFieldLogEuclidean.h"

bool ComputeSquareRootTransform(nuqImageDataT<short> &referenceImage, nuqTransformBase *pTransform,
                                int nTimes, const std::string &strOutputPrefix) {
  nuqTransformFieldLogEuclidean root;
  root.SetImages(&referenceImage, &referenceImage);
  root.SetTransform(pTransform);
  if (!root.ComputeSquareRootNTimes(nTimes)) return false;
  root.SaveToFile(strOutputPrefix);
  return true;
}
