#include "nuqActionMatrix.h"

#include "nuqConsole.h"
#include "nuqTransformMatrix.h"

int ConcatenateAffinesToMatrix(nuqTransformBase **ppTransforms, int iCount,
                               const std::string &strFileName, bool *pSaved) {
  nuqTransformMatrix matrix;
  bool bFirst = true;
  for (int i = 0; ppTransforms != nullptr && i < iCount; ++i) {
    auto *pAffine = dynamic_cast<nuqTransformAffine *>(ppTransforms[i]);
    if (pAffine == nullptr) continue;
    std::string strType = pAffine->GetTransformType();
    ToUpperCase(strType);
    if (strType.find("AFF") == std::string::npos && strType.find("MTX") == std::string::npos) continue;
    if (bFirst) {
      matrix.SetDimension(pAffine->GetDimension());
      matrix.SetIdentity();
      bFirst = false;
    }
    float afCurrent[16];
    matrix.GetMatrix(afCurrent);
    // Row-major, Ti on the left: Ti is applied after the ones before it.
    matrix.SetToMatrixProduct(afCurrent, pAffine->GetMatrixPointer());
  }

  if (iCount == 1 && ppTransforms != nullptr) {
    auto *pAffine = dynamic_cast<nuqTransformAffine *>(ppTransforms[0]);
    if (pAffine != nullptr && pAffine->GetTransformType().find("AFF") != std::string::npos) {
      // Keep the affine's own parameters, not only its matrix. Arrays start
      // from the neutral values so that a lower-dimensional affine leaves
      // the remaining entries neutral.
      float afCentre[4] = {0, 0, 0, 0};
      float afRotation[4] = {0, 0, 0, 0};
      float afScaling[4] = {1, 1, 1, 1};
      float afTranslation[4] = {0, 0, 0, 0};
      float afSkewXY[2], afSkewYZ[2], afSkewZX[2];
      pAffine->GetRotationCentre(afCentre);
      pAffine->GetRotation(afRotation);
      pAffine->GetScaling(afScaling);
      pAffine->GetSkew(afSkewXY, afSkewYZ, afSkewZX);
      pAffine->GetTranslation(afTranslation);
      matrix.SetRotationCentre(afCentre);
      matrix.SetRotation(afRotation);
      matrix.SetScaling(afScaling);
      matrix.SetSkewXY(afSkewXY);
      matrix.SetSkewYZ(afSkewYZ);
      matrix.SetSkewZX(afSkewZX);
      matrix.SetTranslation(afTranslation);
    }
  }

  const bool bSaved = matrix.SaveToFile(strFileName);
  if (pSaved) *pSaved = bSaved;
  return iCount;
}
