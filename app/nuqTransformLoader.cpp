#include "nuqTransformLoader.h"

#include <iostream>

#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqTransformAffine.h"
#include "nuqTransformLocalAffines.h"
#include "nuqTransformFFD.h"
#include "nuqTransformFields.h"
#include "nuqTransformMatrix.h"

namespace {

template <class T>
nuqTransformBase *NewTransform() {
  return new T();
}

// One row per file extension, in the order the extensions are compared. A
// row without a creator names a type whose class is not part of this build:
// it is reported like an unknown type.
struct nuqTransformTypeRow {
  const char *pExtension;
  const char *pTypeName;  // GetTransformType() of the created class
  nuqTransformBase *(*pCreate)();
};

const nuqTransformTypeRow kTransformTypes[] = {
    {"AFF", "AFF", &NewTransform<nuqTransformAffine>},
    {"MTX", "AFF", &NewTransform<nuqTransformMatrix>},
    {"MAT", "AFF", &NewTransform<nuqTransformMatrix>},
    {"AFFS", "AFFS", &NewTransform<nuqTransformLocalAffines>},
    {"FFD", "FFD", &NewTransform<nuqTransformFFD>},
    {"NII", "FFD", &NewTransform<nuqTransformFFD>},
    {"GIPL", "FFD", &NewTransform<nuqTransformFFD>},
    {"FFDMI", "FFD", &NewTransform<nuqTransformFFD>},
    {"FLD", "FLD", &NewTransform<nuqTransformFields>},
    {"MATRIX", "AFF", &NewTransform<nuqTransformMatrix>},
};

// A NIfTI file whose header makes it a vector displacement field is never
// taken as B-spline control points, whatever its extension would create.
// False after the refusal line.
bool RefuseDisplacementFieldImage(const std::string &strFileName) {
  std::string strExt = GetExtension(strFileName);
  ToLowerCase(strExt);
  if (strExt != "nii" && strExt != "nii.gz") return true;
  const std::string strWhat = DescribeDisplacementField(ProbeImageHeader(ResolveNiftiFileName(strFileName)));
  if (strWhat.empty()) return true;
  std::cerr << "error: " << strFileName << " is a displacement field (" << strWhat
            << "), not B-spline control points; -t does not read displacement-field images yet\n";
  return false;
}

}  // namespace

bool NewTransformByType(nuqTransformBase *&pEntry, const std::string &strTypeName) {
  std::string strType = strTypeName;
  ToUpperCase(strType);
  const nuqTransformTypeRow *pRow = nullptr;
  for (const nuqTransformTypeRow &row : kTransformTypes) {
    if (strType == row.pExtension) {
      pRow = &row;
      break;
    }
  }
  if (pRow == nullptr || pRow->pCreate == nullptr) {
    std::cerr << "error: unknown transform file type:" << strType << " (the transform extensions read are";
    const char *pSeparator = " ";
    for (const nuqTransformTypeRow &row : kTransformTypes) {
      if (row.pCreate == nullptr) continue;
      std::cerr << pSeparator << row.pExtension;
      pSeparator = ", ";
    }
    std::cerr << ")\n";
    return false;
  }
  if (pEntry != nullptr && pEntry->GetTransformType() == pRow->pTypeName) return true;
  delete pEntry;
  pEntry = pRow->pCreate();
  if (IsSuccessShown()) std::cout << "success: new transform " << strType << "\n";
  return true;
}

bool ReadTransformFile(nuqTransformBase *&pEntry, const std::string &strFileName) {
  if (!RefuseDisplacementFieldImage(strFileName)) {
    std::cerr << "error: reading transform file:" << strFileName << "\n";
    return false;
  }
  if (!NewTransformByType(pEntry, GetExtension(strFileName))) {
    std::cerr << "error: unknown transform file:" << strFileName << "\n";
    return false;
  }
  if (!pEntry->ReadFromFile(strFileName)) {
    std::cerr << "error: reading transform file:" << strFileName << "\n";
    return false;
  }
  return true;
}
