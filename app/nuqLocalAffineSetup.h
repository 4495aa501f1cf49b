// Thin calls on local-affine transforms ("AFFS") used by the option scan
// (-locaff) and by the preparation after the scan. The run keeps the messages
// and statuses; these only forward to the local-affine transform class.
#pragma once

#include <string>

class nuqTransformBase;

// -locaff: creates a nuqTransformLocalAffines in entry, SetDimension(3), then
// SetNumberOfLocalMatrices(count). False when the transform refuses the count
// (it prints its own message). What was created stays in entry.
bool CreateLocalAffines(nuqTransformBase *&entry, int count);
// Reads local transform k of a transform made by CreateLocalAffines from
// fileName with that local transform's own ReadFromFile.
bool ReadLocalAffineFile(nuqTransformBase *affs, int k, const std::string &fileName);

// For a transform whose type is "AFFS":
int GetLocalAffineCount(nuqTransformBase *affs);                  // GetNumberOfLocalAffines
bool SetLocalRegionFileNames(nuqTransformBase *affs, const std::string *names);  // 256 names
bool HasLocalRegionFileNames(nuqTransformBase *affs);             // HasRegionFileNames
bool ReadLocalRegionImages(nuqTransformBase *affs);               // ReadRegionImages
// SetFacet(from, to, dimension), then PreComputeDistance2WeightAndSetModel.
bool SetLocalFacetAndPrecompute(nuqTransformBase *affs, const float from[4], const float to[4],
                                int dimension);
