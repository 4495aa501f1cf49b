// The -matrix action: the affine transforms of the command line multiplied
// into one matrix transform.
#pragma once

#include <string>

class nuqTransformBase;

// M = Tk * ... * T1 over the transforms whose type contains "AFF" or "MTX"
// (T1 applied first), saved under strFileName by the matrix transform's
// naming rule. A single affine also hands its own parameters to M. Returns
// iCount, the number of all transforms given; *pSaved (when given) tells
// whether the file was written.
int ConcatenateAffinesToMatrix(nuqTransformBase **ppTransforms, int iCount,
                               const std::string &strFileName, bool *pSaved = nullptr);
