#include "nuqLocalAffineSetup.h"

#include <iostream>

// Filled in when the local-affine transform class exists. Until then
// -locaff is refused with a clear reason, and no transform can report the
// type "AFFS", so the preparation calls below are never reached.

bool CreateLocalAffines(nuqTransformBase *&entry, int count) {
  (void)entry;
  (void)count;
  std::cerr << "error: local affine transforms (AFFS) are not available in this build\n";
  return false;
}

bool ReadLocalAffineFile(nuqTransformBase *, int, const std::string &) { return false; }
int GetLocalAffineCount(nuqTransformBase *) { return 0; }
bool SetLocalRegionFileNames(nuqTransformBase *, const std::string *) { return false; }
bool HasLocalRegionFileNames(nuqTransformBase *) { return false; }
bool ReadLocalRegionImages(nuqTransformBase *) { return false; }
bool SetLocalFacetAndPrecompute(nuqTransformBase *, const float *, const float *, int) {
  return false;
}
