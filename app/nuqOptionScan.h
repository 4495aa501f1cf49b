// The option scan of nuqtransformvector: walks the arguments after the
// reference image once, in command-line order, filling the run's settings,
// reading the mask and loading each transform as its option is met.
#pragma once

#include "nuqRun.h"

// Returns kRunOk, or the status that ends the run (its message printed).
int ScanOptions(int argc, char **argv, nuqRun &run);
