#include "nuqOptionScan.h"

#include <cstring>
#include <iostream>

#include "nuqConsole.h"
#include "nuqFieldSetup.h"
#include "nuqImageIO.h"
#include "nuqLocalAffineSetup.h"
#include "nuqTransformLoader.h"

namespace {

// Position in the argument list. An option that takes values moves the
// cursor onto its last value; the scan then keeps testing at that position,
// so a value that spells a later option is taken as that option.
//
// A dry walk moves the cursor exactly as the real scan does but reads,
// creates and prints nothing: it only finds out which arguments stand in
// option position, and whether each matched an option test.
struct nuqArgCursor {
  int argc;
  char **argv;
  int i;
  bool dry = false;
  int start = 0;         // where the tests of this position began
  bool matched = false;  // the argument at start passed one of the name tests

  bool Is(const char *option) {
    if (std::strcmp(argv[i], option) != 0) return false;
    if (i == start) matched = true;
    return true;
  }
  // Number of arguments after the cursor.
  int Left() const { return argc - 1 - i; }
  const char *Next() { return argv[++i]; }
  const char *Peek() const { return argv[i + 1]; }
};

bool HasRoomForTransform(const nuqRun &run) {
  if (run.nTransformsRead < kMaxTransforms) return true;
  std::cerr << "error: more than " << kMaxTransforms << " transforms\n";
  return false;
}

// -loc i s...s
int ScanRegionNames(nuqArgCursor &c, nuqRunSettings &s) {
  const int count = ParseIntValue(c.Next());
  s.nLocalRegions = count;
  if (count < 1) return kRunOk;
  if (count > kMaxLocalRegions) {
    if (c.dry) return kRunFailed;
    std::cerr << "error: -loc names " << count << " regions, more than " << kMaxLocalRegions
              << "\n";
    return kRunFailed;
  }
  if (count > c.Left()) {
    if (c.dry) return kRunFailed;
    std::cerr << "error: -loc needs " << count << " region image names, only " << c.Left()
              << " follow\n";
    return kRunFailed;
  }
  for (int k = 0; k < count; ++k) s.aRegionFileNames[k] = c.Next();
  return kRunOk;
}

// -locaff i s...s
int ScanLocalAffines(nuqArgCursor &c, nuqRun &run) {
  const int count = ParseIntValue(c.Next());
  if (count > c.Left()) {
    if (c.dry) return kRunFailed;
    std::cerr << "error: -locaff needs " << count << " affine file names, only " << c.Left()
              << " follow\n";
    return kRunFailed;
  }
  if (c.dry) {
    // The real scan stops here when the transform refuses the count.
    if (count > kMaxLocalRegions) return kRunFailed;
    for (int k = 0; k < count; ++k) c.Next();
    return kRunOk;
  }
  if (!HasRoomForTransform(run)) return kRunFailed;
  nuqTransformBase *&entry = run.apTransforms[run.nTransformsRead];
  if (!CreateLocalAffines(entry, count)) return kRunFailed;
  for (int k = 0; k < count; ++k) {
    const std::string name = c.Next();
    if (!ReadLocalAffineFile(entry, k, name)) {
      std::cerr << "error: set " << k << "th local affine failed!\n";
      return kRunFailed;
    }
    if (IsSuccessShown()) std::cout << "success: \t read in local affine " << name << "\n";
  }
  run.settings.nLocalRegions = count;
  ++run.nTransformsRead;
  return kRunOk;
}

// -mask s; a repeated -mask replaces the earlier one.
int ScanMask(nuqArgCursor &c, nuqRun &run) {
  const std::string name = c.Next();
  if (c.dry) return kRunOk;
  if (!ReadImageFile(&run.maskImage, name)) {
    std::cout << "error: open mask image fail" << name << "\n";
    return kRunFailed;
  }
  return kRunOk;
}

// -inv [f], -invsdi [f]: the mode is set even without a value.
void ScanInverse(nuqArgCursor &c, nuqRunSettings &s, nuqInverseMode mode) {
  s.eInverseMode = mode;
  if (c.Left() >= 1 && !IsOptionToken(c.Peek())) s.fInverseSamplingFactor = ParseFloatValue(c.Next());
}

void ScanFacet(nuqArgCursor &c, nuqRunSettings &s) {
  for (float &v : s.fFacetFrom) v = ParseFloatValue(c.Next());
  for (float &v : s.fFacetTo) v = ParseFloatValue(c.Next());
}

void ScanRoi(nuqArgCursor &c, nuqRunSettings &s) {
  for (int k = 0; k < 3; ++k) s.iRoiFrom[k] = ParseIntValue(c.Next());
  for (int k = 0; k < 3; ++k) s.iRoiTo[k] = ParseIntValue(c.Next());
  if (!c.dry && IsSuccessShown())
    std::cout << "success: roi from " << s.iRoiFrom[0] << " " << s.iRoiFrom[1] << " "
              << s.iRoiFrom[2] << " to " << s.iRoiTo[0] << " " << s.iRoiTo[1] << " "
              << s.iRoiTo[2] << "\n";
}

int ScanOutputPrefix(nuqArgCursor &c, nuqRunSettings &s) {
  if (c.Left() < 1) {
    if (c.dry) return kRunNoPrefix;
    std::cerr << "error: no saving name with -o\n";
    return kRunNoPrefix;
  }
  s.strOutputPrefix = c.Next();
  if (!c.dry && IsSuccessShown())
    std::cout << "success: output result file name prefix is " << s.strOutputPrefix << "\n";
  return kRunOk;
}

int ScanTransformCount(nuqArgCursor &c, nuqRunSettings &s) {
  if (c.Left() < 1) {
    if (c.dry) return kRunNoTransformCount;
    std::cerr << "error: no number of transformations with -n \n";
    return kRunNoTransformCount;
  }
  s.nExpectedTransforms = ParseIntValue(c.Next());
  s.bTransformCountGiven = true;
  if (!c.dry && IsSuccessShown())
    std::cout << "success: number of transforms is " << s.nExpectedTransforms << "\n";
  return kRunOk;
}

// -t s: the loader picks the class by extension and prints its own reasons.
int ScanTransformFile(nuqArgCursor &c, nuqRun &run) {
  if (c.Left() < 1) {
    if (c.dry) return kRunNoTransformName;
    std::cerr << "error: no transformation file name with -t \n";
    return kRunNoTransformName;
  }
  const std::string name = c.Next();
  if (c.dry) return kRunOk;
  if (!HasRoomForTransform(run)) return kRunFailed;
  // A failed load leaves its object in the entry; it is destroyed at exit.
  if (!ReadTransformFile(run.apTransforms[run.nTransformsRead], name)) {
    std::cerr << "error: read transforamtion file " << name << "\n";
    return kRunTransformUnreadable;
  }
  ++run.nTransformsRead;
  if (IsSuccessShown()) std::cout << "success: read transformation file " << name << "\n";
  return kRunOk;
}

// -d x y z. Only 2-D and 3-D references take a field from three component
// images; a 4-D field would need a fourth name.
int ScanFieldImages(nuqArgCursor &c, nuqRun &run) {
  const char *const *names = c.argv + c.i + 1;
  c.i += 3;
  if (c.dry) return kRunOk;
  if (!HasRoomForTransform(run)) return kRunFailed;
  const int dimension = run.referenceImage.GetDimension();
  bool ok = false;
  if (dimension == 2 || dimension == 3) {
    ok = CreateFieldTransformFromImages(run.apTransforms[run.nTransformsRead], dimension, names);
  } else {
    std::cerr << "error: -d takes three component images and needs a 2-D or 3-D reference image, "
                 "this one is "
              << dimension << "-D\n";
  }
  if (!ok) {
    std::cerr << "error: set field transforamtion image file error \n";
    return kRunFieldImages;
  }
  ++run.nTransformsRead;
  return kRunOk;
}

// One position of the scan: the tests in their fixed order.
int ScanPosition(nuqArgCursor &c, nuqRun &run) {
  nuqRunSettings &s = run.settings;
  int status = kRunOk;
  c.start = c.i;
  c.matched = false;
  // Read by the verbosity pre-scan; its value never looks like an option.
  if (c.Is("-v")) return kRunOk;
  if (c.Is("-loc") && c.Left() >= 1 && (status = ScanRegionNames(c, s)) != kRunOk) return status;
  if (c.Is("-locaff") && c.Left() >= 1 && (status = ScanLocalAffines(c, run)) != kRunOk)
    return status;
  if (c.Is("-ic")) s.bIc = true;
  if (c.Is("-diff")) s.bDiff = true;
  if (c.Is("-mask") && c.Left() >= 1 && (status = ScanMask(c, run)) != kRunOk) return status;
  if (c.Is("-sqrt") && c.Left() >= 1) {
    s.bSqrt = true;
    s.nSqrtTimes = ParseIntValue(c.Next());
  }
  if (c.Is("-inv")) ScanInverse(c, s, nuqInverseMode::Iterative);
  if (c.Is("-invsdi")) ScanInverse(c, s, nuqInverseMode::ScatteredData);
  if (c.Is("-inverr")) s.bInverseError = true;
  if (c.Is("-facet") && c.Left() >= 6) ScanFacet(c, s);
  if (c.Is("-savenewAFFS")) s.bSaveNewAFFS = true;
  if (c.Is("-roi") && c.Left() >= 6) ScanRoi(c, s);

  // At most one of these per position.
  if (c.Is("-o")) return ScanOutputPrefix(c, s);
  if (c.Is("-mag")) {
    s.bMag = true;
  } else if (c.Is("-jac")) {
    s.bJac = true;
    if (!c.dry && !run.jacobianImage.NewImage(run.referenceImage.GetInfo())) return kRunFailed;
  } else if (c.Is("-fld")) {
    // accepted and ignored
  } else if (c.Is("-matrix")) {
    s.bMatrix = true;
  } else if (c.Is("-n")) {
    return ScanTransformCount(c, s);
  } else if (c.Is("-t")) {
    return ScanTransformFile(c, run);
  } else if (c.Is("-d")) {
    if (c.Left() >= 3) return ScanFieldImages(c, run);
  } else if (c.Is("-sum")) {
    s.bSum = true;
  }
  return kRunOk;
}

}  // namespace

int ScanOptions(int argc, char **argv, nuqRun &run) {
  nuqArgCursor cursor{argc, argv, 2};
  for (; cursor.i < argc; ++cursor.i) {
    const int status = ScanPosition(cursor, run);
    if (status != kRunOk) return status;
  }
  return kRunOk;
}

int FindUnknownOption(int argc, char **argv) {
  // The dry walk fills settings that nobody reads; it never touches a file.
  nuqRun scratch;
  nuqArgCursor cursor{argc, argv, 2};
  cursor.dry = true;
  for (; cursor.i < argc; ++cursor.i) {
    const int position = cursor.i;
    // Where the real scan stops with its own message, the walk stops too.
    if (ScanPosition(cursor, scratch) != kRunOk) return 0;
    if (!cursor.matched && IsOptionToken(argv[position])) return position;
  }
  return 0;
}
