// Settings of one nuqtransformvector run, filled by the option scan, and the
// number readers every option uses.
#pragma once

#include <string>

// Limits of the transform list and of the region-name list.
constexpr int kMaxTransforms = 100;
constexpr int kMaxLocalRegions = 256;

enum class nuqInverseMode { Off, Iterative, ScatteredData };

struct nuqRunSettings {
  std::string strOutputPrefix;      // -o; every output name is built from it
  int nExpectedTransforms = -1;     // -n; -1 when never given
  bool bTransformCountGiven = false;  // some -n was scanned (-n -1 included)
  std::string aRegionFileNames[kMaxLocalRegions];  // -loc
  int nLocalRegions = 0;            // -loc and -locaff both write it
  // -facet corners in physical coordinates (voxel index times spacing).
  float fFacetFrom[3] = {-1e20f, -1e20f, -1e20f};
  float fFacetTo[3] = {1e20f, 1e20f, 1e20f};
  // -roi corners in voxel indices; the fourth entry stays 0.
  int iRoiFrom[4] = {0, 0, 0, 0};
  int iRoiTo[4] = {0, 0, 0, 0};
  nuqInverseMode eInverseMode = nuqInverseMode::Off;  // -inv, -invsdi
  float fInverseSamplingFactor = 1.0f;                // value after -inv/-invsdi
  bool bInverseError = false;  // -inverr
  bool bSqrt = false;          // -sqrt n
  int nSqrtTimes = 0;
  bool bMag = false, bJac = false, bMatrix = false, bDiff = false, bIc = false, bSum = false,
       bSaveNewAFFS = false;
};

// Decimal integer read like atoi (leading blanks, optional sign, digits up to
// the first other character, 0 without digits), saturated to the int range
// instead of overflowing.
int ParseIntValue(const char *text);
// Decimal float read like atof; values beyond the float range become +-inf.
float ParseFloatValue(const char *text);
