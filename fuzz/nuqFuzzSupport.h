// Shared pieces of the fuzz targets: every target runs inside a private
// folder (readers take file names, so the input is written to a file there),
// with the console streams silenced so the fuzzer's own lines stay readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nuqfuzz {

// Once per process: a fresh folder under TMPDIR becomes the working folder,
// verbosity 0, standard output and error of the library discarded.
void Setup();
// Writes the bytes to the named file in the working folder.
bool WriteBytes(const std::string &fileName, const std::uint8_t *data, std::size_t size);
// A small 4x3x2 short NIfTI image with the given name (reference or mask).
bool WriteTinyNifti(const std::string &fileName);

}  // namespace nuqfuzz
