// GIPL images and Analyze 7.5 pairs.
//
// GIPL: a 256-byte header followed by the raw voxels (x fastest, then y, z,
// t). Every multi-byte field is big-endian when written; files from a
// little-endian writer are recognised by their magic number and read too.
// Header fields (offset: content):
//     0 sizes x, y, z, t (uint16)      8 voxel type code (uint16)
//    10 spacings (float32 x4)        106 placement m0..m11 (float32 x12)
//   186 flag pair (uint16)           188 minimum, 196 maximum (float64)
//   204 world position of the grid centre x, y, z, t (float64 x4)
//   244 header word kept with the volume (uint32)
//   252 magic number 719555000 (or 4026526128)
// Placement m0..m11:
//   1. m0..m5 all zero: axis-aligned, index 0 at world 0;
//   2. m8..m10 all zero: (m0, m1, m2) and (m4, m5, m6) are the directions of
//      the grid's x and y axes (z is their cross product), placed by the
//      origin at offset 204;
//   3. otherwise the first three rows of the grid-to-world matrix.
// The writer uses rule 2 for right-handed placements that it describes
// exactly, rule 3 for all others.
//
// Names ending in ".hdr" or ".img" are Analyze 7.5 pairs: the GIPL reader
// hands them to ReadAnalyzeImage (nuqImageIO.h).
//
// Voxels of any known file type are converted into the volume's type
// (integers rounded half away from zero and saturated); the file's type code
// is kept as the volume's data type. Writing converts the volume into the
// type code asked for. Header sizes are checked against the file's size
// before anything is allocated.
#pragma once

#include <string>

#include "nuqImageData.h"
#include "nuqImageInfo.h"

// Name of a GIPL type code as printed ("GIPL_SHORT"); empty for other codes.
std::string GiplTypeName(int code);

// Fills info from the header of a GIPL file (or of an Analyze pair). Bytes per voxel become those of T. With report set,
// prints the type, the header text and a closing line at verbosity >= 1, and
// refuses an unknown type code.
template <class T>
bool ReadGiplHeader(nuqImageInfo *info, const std::string &fileName, bool report);

// Header and voxels of a GIPL file (or an Analyze pair) into volume. On a
// failure after the header was read, the volume is left without a buffer.
template <class T>
bool ReadGiplImage(nuqImageDataT<T> *volume, const std::string &fileName);

// Writes volume as a GIPL file of type code `code` (values converted into
// that type). The volume is not changed.
template <class T>
bool WriteGiplImage(const nuqImageDataT<T> *volume, int code, const std::string &fileName);
