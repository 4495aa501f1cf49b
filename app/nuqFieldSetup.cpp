#include "nuqFieldSetup.h"

#include <iostream>

// Filled in when the displacement-field transform class exists; until then
// -d is refused with a clear reason.
bool CreateFieldTransformFromImages(nuqTransformBase *&entry, int dimension,
                                    const char *const *names) {
  (void)entry;
  (void)dimension;
  (void)names;
  std::cerr << "error: displacement field transforms (FLD) are not available in this build\n";
  return false;
}
