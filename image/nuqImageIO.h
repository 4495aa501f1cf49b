// Reading and saving image volumes by file name: NIfTI-1 (".nii", ".nii.gz"
// and ".hdr"/".img" pairs) through nifticlib, Analyze 7.5 pairs of either
// byte order (".hdr"/".img"), and the
// dispatch by extension that also reaches the GIPL format.
//
// Voxels of any stored numeric type are converted into the volume's type T:
// true value = stored value * slope + intercept; integer targets are rounded
// half away from zero and saturated to T's range. The recorded data type code
// stays the file's. Writers convert the other way into the type named by the
// data type code, so a file never holds bytes labelled with another type.
//
// Every failure returns false (or -1) after an "error: " line naming the file.
// nifticlib's own diagnostics are silenced; these lines replace them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <nifti1_io.h>

#include "nuqImageData.h"
#include "nuqImageInfo.h"

// What the first bytes of an image header say, read without nifticlib
// (plain or gzip): the kind of file and, for NIfTI-1 and Analyze headers,
// the sizes and intent code in host byte order.
struct nuqImageHeaderProbe {
  enum Kind { kUnreadable, kTruncated, kNifti1, kNifti2, kAnalyze, kOther };
  Kind kind = kUnreadable;
  long long bytes = 0;   // header bytes found (at most 348)
  bool swapped = false;  // stored in the byte order other than the host's
  bool pair = false;     // NIfTI-1 magic "ni1": voxels in a separate .img file
  short dim[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  short intentCode = 0;
};
nuqImageHeaderProbe ProbeImageHeader(const std::string &headerName);
// Why the header is that of a vector displacement field (a 5-D NIfTI with 2
// or 3 components in its fifth dimension, or a vector intent code), or empty.
std::string DescribeDisplacementField(const nuqImageHeaderProbe &probe);

// The extensions ReadImageFile takes, for refusal lines.
extern const char *const kImageExtensionsRead;

// By extension (case-sensitive): "gipl", "nii", "nii.gz", and the pairs
// ".hdr"/".img" and ".hdr.gz"/".img.gz": a header with the NIfTI-1 magic
// "ni1" is read like a .nii file, any other as Analyze 7.5 (through the GIPL
// reader). Other names are refused with a line listing these extensions.
template <class T>
bool ReadImageFile(nuqImageDataT<T> *volume, const std::string &fileName);
// By lower-cased extension; a name without "gipl", "nii" or "nii.gz" gets
// "nii.gz" appended ("out" -> "out.nii.gz", "out." -> "out.nii.gz").
// The volume's data type code (64 when outside 1..255) is the stored type.
template <class T>
bool SaveImageFile(const nuqImageDataT<T> *volume, const std::string &fileName);

template <class T>
class nuqNiftiReadJob;

// Several images read like ReadImageFile, the NIfTI files decompressed at
// the same time. The console lines do not depend on the threads: Add prints
// why a file cannot be started and returns false, Read prints nothing, and
// Finish(k) prints the lines of file k and hands its voxels to its volume,
// so the caller decides their order.
template <class T>
class nuqImageReadBatch {
 public:
  nuqImageReadBatch();
  ~nuqImageReadBatch();
  nuqImageReadBatch(const nuqImageReadBatch &) = delete;
  nuqImageReadBatch &operator=(const nuqImageReadBatch &) = delete;

  // Starts reading fileName into volume; the index of the file is the
  // number of files added before it.
  bool Add(nuqImageDataT<T> *volume, const std::string &fileName);
  // Reads the voxels of every started file.
  void Read();
  // Completes file k: true when its volume holds the image.
  bool Finish(int k);

 private:
  struct Entry {
    nuqImageDataT<T> *volume = nullptr;
    std::string fileName;
    std::unique_ptr<nuqNiftiReadJob<T>> job;
    bool failed = false;
  };
  std::vector<Entry> m_aEntries;
};

template <class T>
class nuqNiftiWriteJob;

// Several images saved like SaveImageFile, the NIfTI files compressed and
// written at the same time. The console lines do not depend on the threads:
// Add prints why a file cannot be started, Write prints nothing, and
// Finish(k) prints the lines of file k, so the caller decides their order.
// The volumes must stay unchanged until their file is finished.
template <class T>
class nuqImageSaveBatch {
 public:
  nuqImageSaveBatch();
  ~nuqImageSaveBatch();
  nuqImageSaveBatch(const nuqImageSaveBatch &) = delete;
  nuqImageSaveBatch &operator=(const nuqImageSaveBatch &) = delete;

  // Starts saving volume as fileName; returns its index for Finish.
  int Add(const nuqImageDataT<T> *volume, const std::string &fileName);
  // Writes every started file.
  void Write();
  // Completes file k: true when it was saved (renamed into place).
  bool Finish(int k);

 private:
  struct Entry {
    const nuqImageDataT<T> *volume = nullptr;
    std::string fileName;
    std::unique_ptr<nuqNiftiWriteJob<T>> job;
    bool failed = false;
  };
  std::vector<Entry> m_aEntries;
};

template <class T>
bool ReadNiftiImage(nuqImageDataT<T> *volume, const std::string &fileName);
// `code` is the GIPL type code the voxels are stored as.
template <class T>
bool WriteNiftiImage(const nuqImageDataT<T> *volume, short code, const std::string &fileName);

// The name when it can be opened, else a.nii.gz for a.nii or a.nii for
// a.nii.gz when that one can, else the name unchanged.
std::string ResolveNiftiFileName(const std::string &fileName);

// Header and placement of a nifti_image into an info and back.
bool NiftiToImageInfo(const nifti_image *nim, nuqImageInfo *info);
bool ImageInfoToNifti(const nuqImageInfo *info, nifti_image *nim);

// 0 when header and data were read, 1 when only the header was wanted and
// read, -1 on failure. The header name is fileName without its extension
// plus ".hdr", the data name the same plus ".img" (".hdr.gz" and ".img.gz"
// for a name ending in one of those). The header size field, 348 in one of
// the two byte orders, tells the byte order of the pair.
template <class T>
int ReadAnalyzeImage(const std::string &fileName, nuqImageDataT<T> *volume, bool readData);

// Converts `count` stored values of GIPL type `code` (native byte order) into
// T with the slope/intercept rule above. False for binary or unknown codes.
template <class T>
bool ConvertStoredToVoxels(const void *stored, int code, size_t count, float slope,
                           float intercept, T *voxels);
// Converts voxels into `count` stored values of GIPL type `code` (native byte
// order): (v - intercept) / slope when the scaling is not the identity, then
// rounded half away and saturated for integer codes. False for unknown codes.
template <class T>
bool ConvertVoxelsToStored(const T *voxels, size_t count, float slope, float intercept, int code,
                           void *stored);
