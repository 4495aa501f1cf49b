// The option scan of nuqtransformvector: walks the arguments after the
// reference image once, in command-line order, filling the run's settings,
// reading the mask and loading each transform as its option is met.
#pragma once

#include "nuqRun.h"

// Returns kRunOk, or the status that ends the run (its message printed).
int ScanOptions(int argc, char **argv, nuqRun &run);

// Walks the same positions as ScanOptions without reading, creating or
// printing anything. Returns the index of the first argument in option
// position that looks like an option (IsOptionToken) and matches none, or 0.
// Values of known options are never in option position, except where the
// scan itself tests a consumed value (see nuqArgCursor). The walk ends where
// the real scan would stop with its own message (an option without its
// values, a -loc/-locaff count larger than what follows).
int FindUnknownOption(int argc, char **argv);
