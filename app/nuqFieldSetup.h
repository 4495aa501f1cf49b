// Creation of a displacement-field transform from component images (-d).
#pragma once

class nuqTransformBase;

// Creates a nuqTransformFields in entry, sets its dimension (2 or 3; the
// caller refuses others) and reads the first `dimension` component images
// from names (x, y, z), checking that they share one geometry. Prints its own
// reasons; the caller adds the -d message and status. Whatever was created
// stays in entry and is destroyed with the transform list.
bool CreateFieldTransformFromImages(nuqTransformBase *&entry, int dimension,
                                    const char *const *names);
