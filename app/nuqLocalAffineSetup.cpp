#include "nuqLocalAffineSetup.h"

#include "nuqTransformLocalAffines.h"

namespace {

nuqTransformLocalAffines *AsLocalAffines(nuqTransformBase *affs) {
  return dynamic_cast<nuqTransformLocalAffines *>(affs);
}

}  // namespace

bool CreateLocalAffines(nuqTransformBase *&entry, int count) {
  auto *affs = new nuqTransformLocalAffines;
  delete entry;
  entry = affs;
  affs->SetDimension(3);
  return affs->SetNumberOfLocalMatrices(count);
}

bool ReadLocalAffineFile(nuqTransformBase *affs, int k, const std::string &fileName) {
  nuqTransformLocalAffines *local = AsLocalAffines(affs);
  if (!local || k < 0 || k >= local->GetNumberOfLocalAffines()) return false;
  nuqTransformAffine *transform = local->GetLocalAffines()[k];
  return transform && transform->ReadFromFile(fileName);
}

int GetLocalAffineCount(nuqTransformBase *affs) {
  nuqTransformLocalAffines *local = AsLocalAffines(affs);
  return local ? local->GetNumberOfLocalAffines() : 0;
}

bool SetLocalRegionFileNames(nuqTransformBase *affs, const std::string *names) {
  nuqTransformLocalAffines *local = AsLocalAffines(affs);
  return local && local->SetRegionFileNames(names);
}

bool HasLocalRegionFileNames(nuqTransformBase *affs) {
  nuqTransformLocalAffines *local = AsLocalAffines(affs);
  return local && local->HasRegionFileNames();
}

bool ReadLocalRegionImages(nuqTransformBase *affs) {
  nuqTransformLocalAffines *local = AsLocalAffines(affs);
  return local && local->ReadRegionImages();
}

bool SetLocalFacetAndPrecompute(nuqTransformBase *affs, const float from[4], const float to[4],
                                int dimension) {
  nuqTransformLocalAffines *local = AsLocalAffines(affs);
  if (!local) return false;
  local->SetFacet(from, to, dimension);
  return local->PreComputeDistance2WeightAndSetModel();
}
