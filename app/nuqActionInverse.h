// The inverse action of nuqtransformvector (-inv, -invsdi, -inverr, -roi).
//
// The transform to invert is the single loaded transform, or, with two or
// more, their joint field sampled on the reference grid (its statistics are
// printed, nothing of it is saved). One affine is inverted by its matrix and
// saved as an affine text; anything else is inverted into a displacement
// field on the reference grid, by forward sampling (-inv) or scattered-data
// interpolation (-invsdi), and saved as an FLD transform with its component
// images. -inverr also saves TI(T(p)) - p per axis and its magnitude under
// the prefix + "ic".
#pragma once

struct nuqRun;

// 0, -1 when the inverse cannot be computed, -10 when a file of it (or of
// its inverse error) cannot be written.
int RunInverseAction(nuqRun &run);
