#include "nuqTransformVectorApp.h"

#include <unistd.h>

#include <iostream>
#include <vector>

#include "nuqActionCompare.h"
#include "nuqActionField.h"
#include "nuqActionInverse.h"
#include "nuqActionJacobian.h"
#include "nuqActionMatrix.h"
#include "nuqActionSqrt.h"
#include "nuqConsole.h"
#include "nuqImageIO.h"
#include "nuqLocalAffineSetup.h"
#include "nuqOptionScan.h"
#include "nuqRun.h"
#include "nuqSafeOutput.h"

namespace {

void PrintUsage() {
  static const char *const kLines[] = {
      "nuqtransformvector (to compute the transformation displacement vectors of the joint "
      "transforms, result transform fields are unit of millimetre)\n",
      "nuqtransformvector imageAsOrientationReference.\n",
      "  <-o>           (outresultfilename, without extension) \n",
      "  <-n i>         (no. of transforms,max 100)\n",
      "  <-t s>         (transformation, multi-input or several ones)\n",
      "  <-d s s s>     (displacement image fields, multi-input)\n",
      "  <-loc i s...s> (local affines regions, number of regions i, s...s are the region "
      "images, with -roi)\n",
      "  <-locaff i s...s> (local affines, number of regions i, s...s are the afines)\n",
      "  <-facet fromx fromy fromz tox toy toz>\n",
      "                 ([-InfiniteLargeFloat,InfiniteLargeFloat] PHYSICAL, not world, "
      "coordinate of reference image)\n",
      "  <-savenewAFFS> (save input AFFS using new format,with local region file names and "
      "facet)\n",
      "\n",
      "  <-matrix>      (save as affine matrix type, only take {-t} are AFF/MTX/matrix/mat)\n",
      "  <-sum>         (sum transforms into one transform.FLD instead of joint transform)\n",
      "  <-mag>         (save magnitude of transformation) \n",
      "\n",
      "  <-jac>         (compute Jacobian value of the input transformation, saving name from "
      "-o)\n",
      "  <-mask s>      (mask image, same size as reference image., to compute the Jacobian "
      "value and cout the volume change)\n",
      "\n",
      "  <-diff>        (compute the difference after two transforms, output the max, mean, "
      "std, if -mag then save the image)\n",
      "  <-mask s>      (mask image to compute the difference after the two transforms, don't "
      "have to same save as reference image)\n",
      "\n",
      "  <-ic>          (compute the inconsistency )\n",
      "  <-mask s>      (mask image to compute the ic)\n",
      "\n",
      "  <-inv f>       ([1] directly interpolate the inverse transformation by using f "
      "Jacobian weighting, if AFF then use inverse matrix)\n",
      "  <-sqrt n>      (square root n times, compute 1/(2^n) transformation, only -n 1)\n",
      "\n",
      "  <-inverr>      (all save the inverse consistency |TI(T(t))| error)\n",
      "  <-roi xf yf zf xt yt zt> (integral)\n",
  };
  for (const char *line : kLines) std::cout << line;
}

// Waits for the user to type one integer; end of input also ends the wait.
void WaitForOneInteger() {
  std::cout.flush();
  int answer = 0;
  std::cin >> answer;
}

int ReadReferenceImage(nuqRun &run, const char *name) {
  run.strReferenceName = name;
  if (!ReadImageFile(&run.referenceImage, run.strReferenceName)) {
    std::cerr << "error: open reference image " << run.strReferenceName << "\n";
    return kRunNoReference;
  }
  if (IsSuccessShown()) std::cout << "success: reference image is " << run.strReferenceName << "\n";
  return kRunOk;
}

// Zero-filled float images with the reference grid and placement: one per
// axis of the reference and one for the magnitude. NewImage explains a
// failure (a grid too large to allocate).
int CreateGridImages(nuqRun &run) {
  const nuqImageInfo *grid = run.referenceImage.GetInfo();
  const int dimension = run.referenceImage.GetDimension();
  for (int k = 0; k < dimension && k < 4; ++k)
    if (!run.componentImages[k].NewImage(grid)) return kRunFailed;
  return run.magnitudeImage.NewImage(grid) ? kRunOk : kRunFailed;
}

int CheckTransformCounts(const nuqRun &run) {
  // Said plainly when -n was left out: the count -1 it stands for means
  // nothing to a user.
  if (!run.settings.bTransformCountGiven && run.nTransformsRead > 0) {
    std::cout << "error: -n was not given (" << run.nTransformsRead << " transforms read)\n";
    return kRunFailed;
  }
  if (run.nTransformsRead != run.settings.nExpectedTransforms) {
    std::cout << "error: -n number not consistent to number of transforms " << run.nTransformsRead
              << " \n";
    return kRunFailed;
  }
  if (run.nTransformsRead == 0) {
    std::cerr << "error: number of transforms should big than 0 \n";
    return kRunNoTransforms;
  }
  return kRunOk;
}

// Facet corner from physical coordinates (index times spacing) of the
// reference image to world coordinates.
void FacetCornerToWorld(const nuqRun &run, const float physical[3], float world[4]) {
  const int dimension = run.referenceImage.GetDimension();
  const float *spacing = run.referenceImage.GetSpacingArray();
  for (int k = 0; k < 3; ++k) world[k] = physical[k];
  world[3] = 0.0f;
  for (int k = 0; k < dimension && k < 3; ++k) world[k] = physical[k] / spacing[k];
  run.referenceImage.ImageToWorld(world);
}

int PrepareLocalAffine(nuqRun &run, nuqTransformBase *affs) {
  const nuqRunSettings &s = run.settings;
  if (s.nLocalRegions != 0) {
    if (s.nLocalRegions != GetLocalAffineCount(affs)) {
      std::cerr << "error: number of local regions not equal to number of local affines\n";
      return kRunSetupMismatch;
    }
    SetLocalRegionFileNames(affs, s.aRegionFileNames);
    if (IsSuccessShown()) std::cout << "success: \t set file names of local regions \n";
  }
  if (!HasLocalRegionFileNames(affs)) {
    std::cerr << "error: AFFS have no local regions\n";
    return kRunSetupMismatch;
  }
  if (!ReadLocalRegionImages(affs))
    std::cerr << "error: set local regions from pre set file name\n";
  else if (IsSuccessShown())
    std::cout << "success: \t set local regions using file names from AFFS \n";
  float from[4], to[4];
  FacetCornerToWorld(run, s.fFacetFrom, from);
  FacetCornerToWorld(run, s.fFacetTo, to);
  // Without usable region images the transform cannot map any point.
  if (!SetLocalFacetAndPrecompute(affs, from, to, run.referenceImage.GetDimension()))
    return kRunSetupMismatch;
  if (s.bSaveNewAFFS) {
    if (!affs->SaveToFile(s.strOutputPrefix)) return kRunOutputUnwritable;
    if (IsSuccessShown())
      std::cout << "success: save new format AFFS with file names of local regions\n";
  }
  return kRunOk;
}

int PrepareLocalAffines(nuqRun &run) {
  for (int i = 0; i < run.nTransformsRead; ++i) {
    nuqTransformBase *t = run.apTransforms[i];
    if (!t || t->GetTransformType() != "AFFS") continue;
    const int status = PrepareLocalAffine(run, t);
    if (status != kRunOk) return status;
  }
  return kRunOk;
}

// The comparison reports save their images only with -mag and a prefix.
bool SaveComparisonImages(const nuqRunSettings &s) { return s.bMag && !s.strOutputPrefix.empty(); }

bool HasLocalAffines(const nuqRun &run) {
  for (int i = 0; i < run.nTransformsRead; ++i)
    if (run.apTransforms[i] && run.apTransforms[i]->GetTransformType() == "AFFS") return true;
  return false;
}

// One name in every folder the run will write into, following the same
// choices as the preparation and RunAction (a run that writes nothing
// names nothing). Every output is the prefix plus a suffix without a '/',
// except the atrophy file, which goes beside the reference image.
std::vector<std::string> PlannedOutputs(const nuqRun &run) {
  const nuqRunSettings &s = run.settings;
  const std::string &prefix = s.strOutputPrefix;
  std::vector<std::string> names;
  if (s.bSaveNewAFFS && HasLocalAffines(run)) names.push_back(prefix);
  if (s.bMatrix) {
    names.push_back(prefix);  // saved whatever the prefix
  } else if (s.bDiff) {
    if (run.nTransformsRead == 2 && SaveComparisonImages(s)) names.push_back(prefix);
  } else if (s.bJac) {
    if (!prefix.empty()) names.push_back(prefix);
    if (g_nVerbose <= 0) names.push_back(run.referenceImage.GetFileName() + "_info.txt");
  } else if (s.bIc) {
    if (SaveComparisonImages(s)) names.push_back(prefix);
  } else if (s.bSqrt) {
    if (run.nTransformsRead == 1) names.push_back(prefix);
  } else if (s.eInverseMode != nuqInverseMode::Off) {
    if (run.referenceImage.GetDimension() >= 3) names.push_back(prefix);
  } else if (!prefix.empty()) {
    names.push_back(prefix);
  }
  return names;
}

// Refuses at once a folder that the outputs could not be written into,
// rather than after the computation.
int CheckOutputFolders(const nuqRun &run) {
  std::vector<std::string> checked;
  for (const std::string &name : PlannedOutputs(run)) {
    const std::string folder = GetOutputFolder(name);
    bool seen = false;
    for (const std::string &f : checked) seen = seen || f == folder;
    if (seen) continue;
    checked.push_back(folder);
    const std::string reason = DescribeUnwritableFolder(folder);
    if (!reason.empty()) {
      std::cerr << "error: cannot write in the output folder " << folder << " (" << reason
                << ")\n";
      return kRunOutputUnwritable;
    }
  }
  return kRunOk;
}

// Exactly one action runs: the first that applies in this order. Each line
// calls one action function and maps its result to the exit status.
int RunAction(nuqRun &run) {
  const nuqRunSettings &s = run.settings;
  if (s.bMatrix) {
    bool saved = false;
    const int n =
        ConcatenateAffinesToMatrix(run.apTransforms, run.nTransformsRead, s.strOutputPrefix, &saved);
    if (!saved) return kRunOutputUnwritable;
    if (IsSuccessShown()) std::cout << "success: concatenate " << n << " affines and save as one matrix\n";
    return kRunOk;
  }
  if (s.bDiff) {
    if (run.nTransformsRead != 2) {
      std::cout << "error: to compute the transform difference, once needs two transforms\n";
      return kRunFailed;
    }
    bool saved = true;
    std::cout << ComputeTransformDifference(run.referenceImage, run.apTransforms[0],
                                            run.apTransforms[1], SaveComparisonImages(s),
                                            s.strOutputPrefix, run.maskImage, &saved);
    return saved ? kRunOk : kRunOutputUnwritable;
  }
  if (s.bJac) {
    const bool saved = ComputeJacobianMap(run.referenceImage, run.jacobianImage, run.maskImage,
                                          run.apTransforms, run.nTransformsRead, s.strOutputPrefix);
    return saved ? kRunOk : kRunOutputUnwritable;
  }
  if (s.bIc) {
    bool saved = true;
    std::cout << ComputeInverseConsistency(run.referenceImage, run.apTransforms,
                                           run.nTransformsRead, SaveComparisonImages(s),
                                           s.strOutputPrefix, run.maskImage, &saved);
    return saved ? kRunOk : kRunOutputUnwritable;
  }
  if (s.bSqrt) {
    if (run.nTransformsRead != 1) {
      std::cerr << "error: only compute square root for first transformation\n";
      return kRunSetupMismatch;
    }
    return ComputeSquareRootTransform(run.referenceImage, run.apTransforms[0], s.nSqrtTimes,
                                      s.strOutputPrefix);
  }
  if (s.eInverseMode != nuqInverseMode::Off) return RunInverseAction(run);
  return RunFieldAction(run);
}

// Steps after the echo; every object of the run is released when it returns.
int RunTransformVector(int argc, char **argv, nuqRun &run) {
  // A mistyped option ends the run before anything is read or written.
  if (const int unknown = FindUnknownOption(argc, argv)) {
    std::cerr << "error: unknown option " << argv[unknown]
              << " (the usage text lists the options)\n";
    return kRunUnknownOption;
  }
  int status = ReadReferenceImage(run, argv[1]);
  if (status != kRunOk) return status;
  if ((status = CreateGridImages(run)) != kRunOk) return status;
  if (argc < 3) {
    std::cout << "error: -n number not consistent to number of transforms " << 0 << " \n";
    return kRunFailed;
  }
  if ((status = ScanOptions(argc, argv, run)) != kRunOk) return status;
  if ((status = CheckTransformCounts(run)) != kRunOk) return status;
  if ((status = CheckOutputFolders(run)) != kRunOk) return status;
  if ((status = PrepareLocalAffines(run)) != kRunOk) return status;
  return RunAction(run);
}

bool IsHelpOption(const std::string &argument) {
  return argument == "-h" || argument == "-help" || argument == "--help";
}

}  // namespace

int NuqTransformVectorMain(int argc, char **argv) {
  // An interrupted run leaves no temporary output file behind.
  InstallTemporaryCleanupOnSignals();
  PrintBanner(argc, argv);
  if (argc == 2 && IsHelpOption(argv[1])) {
    PrintUsage();
    return kRunOk;
  }
  if (argc < 2) {
    PrintUsage();
    // Only a person at a terminal can answer; a pipeline must not hang.
    if (isatty(STDIN_FILENO)) WaitForOneInteger();
    return kRunFailed;
  }
  EchoCommandLine(argc, argv);
  nuqRun run;
  return RunTransformVector(argc, argv, run);
}
