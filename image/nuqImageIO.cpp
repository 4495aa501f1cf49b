#include "nuqImageIO.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "nuqConsole.h"
#include "nuqFileReason.h"
#include "nuqGiplIO.h"
#include "nuqMatrix.h"
#include "nuqMemoryLimit.h"
#include "nuqParallel.h"
#include "nuqSafeOutput.h"

namespace {

// ---- value conversion ----------------------------------------------------

// Rounds half away from zero in double precision.
inline double RoundAway(double v) { return v >= 0.0 ? std::floor(v + 0.5) : std::ceil(v - 0.5); }

// Double value into D: integers rounded half away and saturated (NaN -> 0),
// floats clamped to their finite range (infinities and NaN kept).
template <class D>
inline D FromDouble(double v) {
  if constexpr (std::is_integral<D>::value) {
    if (!(v == v)) return D(0);
    const double r = RoundAway(v);
    if (r <= static_cast<double>(std::numeric_limits<D>::lowest())) return std::numeric_limits<D>::lowest();
    if (r >= static_cast<double>(std::numeric_limits<D>::max())) return std::numeric_limits<D>::max();
    return static_cast<D>(r);
  } else {
    if (std::is_same<D, float>::value && std::isfinite(v)) {
      const double m = std::numeric_limits<float>::max();
      if (v > m) return static_cast<D>(m);
      if (v < -m) return static_cast<D>(-m);
    }
    return static_cast<D>(v);
  }
}

template <class S, class D>
void ConvertArray(const S *in, size_t count, bool scale, double slope, double intercept, D *out) {
  if (std::is_same<S, D>::value && !scale) {
    std::memcpy(out, in, count * sizeof(D));
    return;
  }
  if (scale) {
    for (size_t i = 0; i < count; ++i) out[i] = FromDouble<D>(static_cast<double>(in[i]) * slope + intercept);
  } else {
    for (size_t i = 0; i < count; ++i) out[i] = FromDouble<D>(static_cast<double>(in[i]));
  }
}

// Calls f with a null pointer of the C type stored under a GIPL code.
template <class F>
bool WithStoredType(int code, F &&f) {
  switch (code) {
    case 7: f(static_cast<int8_t *>(nullptr)); return true;
    case 8: f(static_cast<uint8_t *>(nullptr)); return true;
    case 15: f(static_cast<int16_t *>(nullptr)); return true;
    case 16: f(static_cast<uint16_t *>(nullptr)); return true;
    case 31: f(static_cast<uint32_t *>(nullptr)); return true;
    case 32: f(static_cast<int32_t *>(nullptr)); return true;
    case 64: f(static_cast<float *>(nullptr)); return true;
    case 65: f(static_cast<double *>(nullptr)); return true;
    default: return false;
  }
}

// ---- NIfTI datatype <-> GIPL code ----------------------------------------

int GiplCodeFromNifti(int datatype) {
  switch (datatype) {
    case 1: return 1;
    case 2: return 8;
    case 4: return 15;
    case 8: return 32;
    case 16: return 64;
    case 64: return 65;
    case 256: return 7;
    case 512: return 16;
    case 768: return 31;
    default: return 0;
  }
}

int NiftiFromGiplCode(int code) {
  switch (code) {
    case 1: return 1;
    case 8: return 2;
    case 15: return 4;
    case 32: return 8;
    case 64: return 16;
    case 65: return 64;
    case 7: return 256;
    case 16: return 512;
    case 31: return 768;
    default: return 0;
  }
}

// nifticlib prints its own "** ERROR" lines; the readers and writers here
// report every failure with their own "error: " line instead.
void QuietNifti() { nifti_set_debug_level(0); }

struct NiftiFree {
  void operator()(nifti_image *nim) const { nifti_image_free(nim); }
};
using NiftiPtr = std::unique_ptr<nifti_image, NiftiFree>;

bool CanOpen(const std::string &name) {
  std::ifstream f(name.c_str(), std::ios::binary);
  return f.good();
}

long long FileSize(const std::string &name) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool EndsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Product of sizes, or -1 when a size is below 1 or the count exceeds the
// int range every volume indexes with.
long long CheckedVoxelCount(const int *sizes, int n) {
  long long count = 1;
  for (int i = 0; i < n; ++i) {
    if (sizes[i] < 1) return -1;
    count *= sizes[i];
    if (count > std::numeric_limits<int>::max()) return -1;
  }
  return count;
}

template <class T>
int OwnTypeCode();
template <>
int OwnTypeCode<short>() { return 15; }
template <>
int OwnTypeCode<float>() { return 64; }
template <>
int OwnTypeCode<char>() { return 7; }

// Reads `bytes` bytes of voxels from the file's voxel offset into target
// and brings them into host byte order.
// Reads the stored voxels without printing, so that several files can be
// read at the same time; ReportStoredVoxels prints what went wrong.
long long ReadUpTo(gzFile fp, void *target, size_t bytes);

struct nuqStoredRead {
  enum Status { kOk, kCannotOpen, kShort } status = kOk;
  size_t got = 0;
};

nuqStoredRead ReadStoredVoxels(const std::string &name, const nifti_image *nim, size_t bytes,
                               void *target) {
  nuqStoredRead result;
  gzFile fp = gzopen(name.c_str(), "rb");
  if (fp == nullptr) {
    result.status = nuqStoredRead::kCannotOpen;
    return result;
  }
  if (gzseek(fp, nim->iname_offset, SEEK_SET) >= 0)
    result.got = static_cast<size_t>(ReadUpTo(fp, target, bytes));
  gzclose(fp);
  if (result.got != bytes) {
    result.status = nuqStoredRead::kShort;
    return result;
  }
  if (nim->byteorder != nifti_short_order() && nim->swapsize > 1)
    nifti_swap_Nbytes(bytes / nim->swapsize, nim->swapsize, target);
  return result;
}

bool ReportStoredVoxels(const nuqStoredRead &read, const std::string &name, size_t bytes) {
  if (read.status == nuqStoredRead::kCannotOpen) {
    std::cerr << "error: Open nifti image " << name << " failed" << UnreadableFileSuffix(name) << "\n";
    return false;
  }
  if (read.status == nuqStoredRead::kShort) {
    std::cerr << "error: image " << name << " is shorter than its header says (truncated: " << read.got
              << " of " << bytes << " voxel bytes)\n";
    return false;
  }
  return true;
}

// The refusal of a NIfTI-2 header, whatever reader met it.
void ReportNifti2(const std::string &name) {
  std::cerr << "error: Open nifti image " << name
            << " failed (NIfTI-2 is not read; convert it to NIfTI-1)\n";
}

template <class T>
void ReverseRowsY(nuqImageDataT<T> *volume) {
  const int *n = volume->GetSizeArray();
  T *data = volume->GetImageData();
  for (int t = 0; t < n[3]; ++t)
    for (int z = 0; z < n[2]; ++z) {
      T *slice = data + (static_cast<size_t>(t) * n[2] + z) * n[0] * n[1];
      for (int y = 0; y < n[1] / 2; ++y)
        std::swap_ranges(slice + static_cast<size_t>(y) * n[0], slice + static_cast<size_t>(y + 1) * n[0],
                         slice + static_cast<size_t>(n[1] - 1 - y) * n[0]);
    }
}

uint16_t BigEndian16(const unsigned char *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t BigEndian32(const unsigned char *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
uint32_t LittleEndian32(const unsigned char *p) {
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[0]);
}

bool HostIsLittleEndian() {
  const uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// ---- header probe ----------------------------------------------------------

const int kNifti1HeaderBytes = 348;
const int kNifti2HeaderBytes = 540;

uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Reads up to `bytes` bytes; the count read before the end or an error.
long long ReadUpTo(gzFile fp, void *target, size_t bytes) {
  unsigned char *p = static_cast<unsigned char *>(target);
  size_t got = 0;
  while (got < bytes) {
    const size_t want = std::min<size_t>(bytes - got, 1u << 30);
    const int n = gzread(fp, p + got, static_cast<unsigned>(want));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long long>(got);
}

}  // namespace

nuqImageHeaderProbe ProbeImageHeader(const std::string &headerName) {
  nuqImageHeaderProbe probe;
  if (!DescribeUnreadableFile(headerName).empty()) return probe;
  // gzip streams are read through zlib, which passes plain files unchanged.
  gzFile fp = gzopen(headerName.c_str(), "rb");
  if (fp == nullptr) return probe;
  unsigned char h[kNifti1HeaderBytes];
  std::memset(h, 0, sizeof(h));
  probe.bytes = ReadUpTo(fp, h, sizeof(h));
  gzclose(fp);
  probe.kind = nuqImageHeaderProbe::kOther;
  if (probe.bytes < 4) {
    probe.kind = nuqImageHeaderProbe::kTruncated;
    return probe;
  }
  uint32_t size;
  std::memcpy(&size, h, 4);
  if (size == kNifti2HeaderBytes || Swap32(size) == kNifti2HeaderBytes) {
    probe.kind = nuqImageHeaderProbe::kNifti2;
    return probe;
  }
  if (size != kNifti1HeaderBytes && Swap32(size) != kNifti1HeaderBytes) return probe;
  probe.swapped = size != kNifti1HeaderBytes;
  if (probe.bytes < kNifti1HeaderBytes) {
    probe.kind = nuqImageHeaderProbe::kTruncated;
    return probe;
  }
  auto at16 = [&](int offset) {
    uint16_t v;
    std::memcpy(&v, h + offset, 2);
    return static_cast<int16_t>(probe.swapped ? Swap16(v) : v);
  };
  for (int i = 0; i < 8; ++i) probe.dim[i] = at16(40 + 2 * i);
  probe.intentCode = at16(68);
  const bool nifti = std::memcmp(h + 344, "n+1", 4) == 0 || std::memcmp(h + 344, "ni1", 4) == 0;
  probe.kind = nifti ? nuqImageHeaderProbe::kNifti1 : nuqImageHeaderProbe::kAnalyze;
  probe.pair = std::memcmp(h + 344, "ni1", 4) == 0;
  return probe;
}

std::string DescribeDisplacementField(const nuqImageHeaderProbe &probe) {
  if (probe.kind != nuqImageHeaderProbe::kNifti1) return std::string();
  if (probe.intentCode == NIFTI_INTENT_VECTOR) return "NIfTI intent code 1007, vector";
  if (probe.intentCode == NIFTI_INTENT_DISPVECT) return "NIfTI intent code 1006, displacement vector";
  if (probe.dim[0] == 5 && (probe.dim[5] == 2 || probe.dim[5] == 3))
    return "5-D NIfTI with " + std::to_string(probe.dim[5]) + " components in its fifth dimension";
  return std::string();
}

// ---- conversions ---------------------------------------------------------

template <class T>
bool ConvertStoredToVoxels(const void *stored, int code, size_t count, float slope, float intercept,
                           T *voxels) {
  const bool scale = slope != 1.0f || intercept != 0.0f;
  return WithStoredType(code, [&](auto *tag) {
    using S = std::remove_pointer_t<decltype(tag)>;
    ConvertArray(static_cast<const S *>(stored), count, scale, slope, intercept, voxels);
  });
}

template <class T>
bool ConvertVoxelsToStored(const T *voxels, size_t count, float slope, float intercept, int code,
                           void *stored) {
  const bool scale = slope != 0.0f && (slope != 1.0f || intercept != 0.0f);
  // (v - b) / s written as v * (1 / s) - b / s would round differently; keep the division.
  return WithStoredType(code, [&](auto *tag) {
    using S = std::remove_pointer_t<decltype(tag)>;
    S *out = static_cast<S *>(stored);
    if (!scale) {
      ConvertArray(voxels, count, false, 1.0, 0.0, out);
      return;
    }
    const double s = slope, b = intercept;
    for (size_t i = 0; i < count; ++i) out[i] = FromDouble<S>((static_cast<double>(voxels[i]) - b) / s);
  });
}

// ---- file names ----------------------------------------------------------

std::string ResolveNiftiFileName(const std::string &fileName) {
  if (CanOpen(fileName)) return fileName;
  const std::string ext = GetExtension(fileName);
  if (ext == "nii.gz" && fileName.size() > 3) {
    const std::string plain = fileName.substr(0, fileName.size() - 3);
    if (CanOpen(plain)) return plain;
  } else if (ext == "nii") {
    const std::string packed = fileName + ".gz";
    if (CanOpen(packed)) return packed;
  }
  return fileName;
}

// ---- header mapping ------------------------------------------------------

bool NiftiToImageInfo(const nifti_image *nim, nuqImageInfo *info) {
  if (nim == nullptr || info == nullptr) return false;
  const std::string name = nim->fname != nullptr ? nim->fname : "";
  info->m_fSlope = nim->scl_slope == 0.0f ? 1.0f : nim->scl_slope;
  info->m_fIntercept = nim->scl_inter;
  info->m_strFileName = name;
  info->m_strFileFormat = "nii";

  const int ndim = nim->dim[0];
  // Sizes beyond the file's own dimension count are 1 whatever the header holds.
  auto dimAt = [nim, ndim](int i) { return i <= ndim ? nim->dim[i] : 1; };
  info->m_iDimension = ndim;
  for (int d = 0; d < 3; ++d) info->m_iSize[d] = dimAt(d + 1);
  for (int d = 0; d < 4; ++d) {
    const float s = std::fabs(nim->pixdim[d + 1]);
    info->m_fSpacing[d] = (s == 0.0f || !std::isfinite(s)) ? 1.0f : s;
  }
  if (ndim < 4) {
    info->m_iSize[3] = 1;
  } else {
    info->m_iDimension = 4;
    long long nt = 1;
    for (int i = 4; i <= ndim && i <= 7; ++i) nt *= dimAt(i);
    info->m_iSize[3] = nt > std::numeric_limits<int>::max() ? -1 : static_cast<int>(nt);
    if (info->m_iSize[3] == 1) info->m_iDimension = 3;
  }

  float m[4][4];
  int method;
  if (nim->qform_code >= 1) {
    std::memcpy(m, nim->qto_xyz.m, sizeof(m));
    method = -2;
  } else if (nim->sform_code >= 1) {
    std::memcpy(m, nim->sto_xyz.m, sizeof(m));
    method = 3;
  } else {
    // No placement stored: x reversed, grid centre near world 0 (the offsets
    // are in millimetres, not scaled by the spacing).
    SetIdentityMatrix(&m[0][0], 4);
    m[0][0] = -info->m_fSpacing[0];
    m[1][1] = info->m_fSpacing[1];
    m[2][2] = info->m_fSpacing[2];
    m[0][3] = (info->m_iSize[0] - 1) * 0.5f;
    m[1][3] = (1 - info->m_iSize[1]) * 0.5f;
    m[2][3] = (1 - info->m_iSize[2]) * 0.5f;
    method = 3;
  }
  std::memcpy(info->m_fImageToWorld, m, sizeof(m));
  info->UpdateOrientation(3);
  info->m_iOrientationMethod = method;

  const int code = GiplCodeFromNifti(nim->datatype);
  info->m_usDataType = static_cast<unsigned short>(code);
  const int bytes = GiplCodeByteWidth(code);
  info->m_iByteOfDataType = bytes;
  if (bytes == 0) {
    std::cerr << "error: open image:" << name << " failed because un-recognized data type !\n";
    return false;
  }
  return true;
}

bool ImageInfoToNifti(const nuqImageInfo *info, nifti_image *nim) {
  if (info == nullptr || nim == nullptr) return false;
  const int dimension = info->m_iDimension;
  const int ndim = dimension < 4 ? 3 : dimension;
  nim->ndim = nim->dim[0] = ndim;
  nim->nx = nim->dim[1] = info->m_iSize[0];
  nim->ny = nim->dim[2] = info->m_iSize[1];
  nim->nz = nim->dim[3] = info->m_iSize[2];
  nim->nt = nim->dim[4] = info->m_iSize[3];
  nim->nu = nim->dim[5] = 1;
  nim->nv = nim->dim[6] = 1;
  nim->nw = nim->dim[7] = 1;
  nim->nvox = static_cast<size_t>(nim->nx) * nim->ny * nim->nz * nim->nt;

  nim->dt = nim->pixdim[4] = info->m_fSpacing[3];
  nim->du = nim->pixdim[5] = 0.0f;
  nim->dv = nim->pixdim[6] = 0.0f;
  nim->dw = nim->pixdim[7] = 0.0f;

  nim->scl_slope = info->m_fSlope;
  nim->scl_inter = info->m_fIntercept;

  nim->datatype = NiftiFromGiplCode(info->m_usDataType);
  int nbyper = 0, swapsize = 0;
  nifti_datatype_sizes(nim->datatype, &nbyper, &swapsize);
  // The stored width follows the stored type, so header and bytes agree.
  nim->nbyper = GiplCodeByteWidth(info->m_usDataType);
  nim->swapsize = swapsize;

  nim->qform_code = 1;
  std::memcpy(nim->qto_xyz.m, info->m_fImageToWorld, sizeof(nim->qto_xyz.m));
  nim->qto_ijk = nifti_mat44_inverse(nim->qto_xyz);
  float dx, dy, dz, qfac;
  nifti_mat44_to_quatern(nim->qto_xyz, &nim->quatern_b, &nim->quatern_c, &nim->quatern_d,
                         &nim->qoffset_x, &nim->qoffset_y, &nim->qoffset_z, &dx, &dy, &dz, &qfac);
  nim->qfac = qfac;
  nim->dx = nim->pixdim[1] = dx;
  nim->dy = nim->pixdim[2] = dy;
  nim->dz = nim->pixdim[3] = dz;
  nim->pixdim[0] = qfac;
  nim->sform_code = 0;

  nim->nifti_type = 1;
  nim->xyz_units = 2;
  nim->time_units = 8;
  nim->intent_code = 0;
  nim->intent_p1 = nim->intent_p2 = nim->intent_p3 = 0.0f;
  nim->toffset = 0.0f;
  nim->cal_min = nim->cal_max = 0.0f;
  nim->slice_code = nim->slice_start = nim->slice_end = 0;
  nim->descrip[0] = '\0';
  nim->aux_file[0] = '\0';
  nim->intent_name[0] = '\0';
  nim->iname_offset = 352;
  nim->byteorder = nifti_short_order();
  return nim->datatype != 0 && nim->nbyper > 0;
}

// ---- NIfTI read and write ------------------------------------------------

// One NIfTI file being read, in three steps so that several files can be
// decompressed at the same time while their console lines keep one order:
// Open (header, checks, buffers; prints its errors), Load (reads the voxels;
// prints nothing, so it may run on any thread) and Finish (hands the voxels
// to the volume and prints the outcome).
template <class T>
class nuqNiftiReadJob {
 public:
  bool Open(nuqImageDataT<T> *volume, const std::string &fileName) {
    if (volume == nullptr) return false;
    m_pVolume = volume;
    QuietNifti();
    m_strName = ResolveNiftiFileName(fileName);
    const std::string &name = m_strName;
    // The header is looked at first: nifticlib prints its own line for a
    // datatype it does not know, and this reader reports that itself.
    const nuqImageHeaderProbe probe = ProbeImageHeader(name);
    if (probe.kind == nuqImageHeaderProbe::kNifti2) {
      ReportNifti2(name);
      return false;
    }
    if (probe.kind == nuqImageHeaderProbe::kTruncated) {
      std::cerr << "error: Open nifti image " << fileName << " failed (truncated: " << probe.bytes
                << " of 348 header bytes)\n";
      return false;
    }
    int swapped = 0;
    nifti_1_header *header = nifti_read_header(name.c_str(), &swapped, 0);
    if (header == nullptr) {
      std::cerr << "error: Open nifti image " << fileName << " failed" << UnreadableFileSuffix(name)
                << "\n";
      return false;
    }
    const int datatype = header->datatype;
    std::free(header);
    if (GiplCodeByteWidth(GiplCodeFromNifti(datatype)) == 0) {
      std::cerr << "error: open image:" << name << " failed because un-recognized data type !\n";
      return false;
    }
    m_pNim.reset(nifti_image_read(name.c_str(), 0));
    if (!m_pNim) {
      std::cerr << "error: Open nifti image " << fileName << " failed" << UnreadableFileSuffix(name)
                << "\n";
      return false;
    }
    // A header/image pair keeps its voxels in the image file.
    m_strDataName = m_pNim->iname != nullptr ? m_pNim->iname : name;
    const int ndim = m_pNim->dim[0];
    int sizes[7];
    for (int i = 0; i < ndim && i < 7; ++i) sizes[i] = m_pNim->dim[i + 1];
    m_nCount = (ndim >= 1 && ndim <= 7) ? CheckedVoxelCount(sizes, ndim) : -1;
    if (m_nCount < 0) {
      std::cerr << "error: image " << name
                << " has a header whose sizes are invalid or overflow the voxel count\n";
      return false;
    }
    if (!NiftiToImageInfo(m_pNim.get(), &m_Info)) return false;
    m_iCode = m_Info.m_usDataType;
    m_nBytes = static_cast<size_t>(m_nCount) * GiplCodeByteWidth(m_iCode);
    if (!EndsWith(m_strDataName, ".gz")) {
      const long long have = FileSize(m_strDataName);
      const long long needed = static_cast<long long>(m_pNim->iname_offset) + static_cast<long long>(m_nBytes);
      if (have < 0) {
        std::cerr << "error: Open nifti image " << m_strDataName << " failed"
                  << UnreadableFileSuffix(m_strDataName) << "\n";
        return false;
      }
      if (have < needed) {
        std::cerr << "error: image " << m_strDataName << " is shorter than its header says (truncated: " << have
                  << " bytes, " << needed << " needed)\n";
        return false;
      }
    }
    if (m_pNim->iname_offset < 0) {
      std::cerr << "error: image " << name << " has a negative voxel offset\n";
      return false;
    }
    // The voxels are read here rather than by nifti_image_load, which
    // replaces non-finite floats by 0 and so would not give back what the
    // file holds.
    m_bDirect = m_iCode == OwnTypeCode<T>() && m_Info.m_fSlope == 1.0f && m_Info.m_fIntercept == 0.0f;
    // A compressed file does not bound its voxel count: check the memory first.
    if (!CheckAllocation(static_cast<std::uint64_t>(m_nCount) * sizeof(T) + (m_bDirect ? 0 : m_nBytes),
                         "image " + name))
      return false;
    m_pBuffer.reset(new (std::nothrow) T[static_cast<size_t>(m_nCount)]);
    if (!m_pBuffer) {
      std::cerr << "error: cannot allocate " << m_nCount << " voxels for image " << name << "\n";
      return false;
    }
    if (!m_bDirect) {
      m_pRaw.reset(new (std::nothrow) unsigned char[m_nBytes]);
      if (!m_pRaw) {
        std::cerr << "error: cannot allocate " << m_nCount << " voxels for image " << name << "\n";
        return false;
      }
    }
    return true;
  }

  void Load() {
    void *target = m_bDirect ? static_cast<void *>(m_pBuffer.get()) : m_pRaw.get();
    m_Read = ReadStoredVoxels(m_strDataName, m_pNim.get(), m_nBytes, target);
  }

  bool Finish() {
    if (!ReportStoredVoxels(m_Read, m_strDataName, m_nBytes)) return false;
    if (!m_bDirect)
      ConvertStoredToVoxels(m_pRaw.get(), m_iCode, static_cast<size_t>(m_nCount), m_Info.m_fSlope,
                            m_Info.m_fIntercept, m_pBuffer.get());
    m_pVolume->SetImageData(m_pBuffer.release(), &m_Info);
    m_pVolume->SetImageInfo(&m_Info);
    if (g_nVerbose > 0) std::cout << "success: open image " << m_strName << " !\n";
    return true;
  }

 private:
  nuqImageDataT<T> *m_pVolume = nullptr;
  std::string m_strName;
  std::string m_strDataName;
  NiftiPtr m_pNim;
  nuqImageInfo m_Info;
  long long m_nCount = 0;
  int m_iCode = 0;
  size_t m_nBytes = 0;
  bool m_bDirect = false;
  std::unique_ptr<T[]> m_pBuffer;
  std::unique_ptr<unsigned char[]> m_pRaw;
  nuqStoredRead m_Read;
};

template <class T>
bool ReadNiftiImage(nuqImageDataT<T> *volume, const std::string &fileName) {
  nuqNiftiReadJob<T> job;
  if (!job.Open(volume, fileName)) return false;
  job.Load();
  return job.Finish();
}

// One NIfTI file being written, in three steps so that several files can be
// compressed at the same time while their console lines keep one order:
// Prepare (header, temporary file, stored voxels; prints its errors), Write
// (nifticlib writes and closes the file; prints nothing, so it may run on any
// thread) and Finish (checks, rename into place, success line).
template <class T>
class nuqNiftiWriteJob {
 public:
  ~nuqNiftiWriteJob() {
    // Voxels lent by the volume are not nifticlib's to free.
    if (m_bBorrowed && m_pOut) m_pOut->data = nullptr;
  }

  bool Prepare(const nuqImageDataT<T> *volume, short code, const std::string &fileName) {
    if (volume == nullptr) return false;
    QuietNifti();
    if (volume->IsEmpty()) {
      std::cerr << "error: image " << fileName << " has no voxels to save\n";
      return false;
    }
    nuqImageInfo info;
    volume->GetImageInfo(&info);
    info.m_strFileName = fileName;
    info.m_usDataType = static_cast<unsigned short>(code);
    m_iWidth = GiplCodeByteWidth(code);
    if (m_iWidth == 0 || NiftiFromGiplCode(code) == 0) {
      std::cerr << "error: cannot save image " << fileName << ": data type code " << code
                << " has no stored NIfTI type\n";
      return false;
    }
    nifti_image blank;
    std::memset(&blank, 0, sizeof(blank));
    if (!ImageInfoToNifti(&info, &blank)) {
      std::cerr << "error: cannot save image " << fileName << ": header not representable\n";
      return false;
    }
    nifti_1_header hdr = nifti_convert_nim2nhdr(&blank);
    m_pOut.reset(nifti_convert_nhdr2nim(hdr, fileName.c_str()));
    if (!m_pOut || nifti_set_filenames(m_pOut.get(), fileName.c_str(), 0, 1) != 0) {
      std::cerr << "error: cannot save image " << fileName << ": not a NIfTI file name\n";
      return false;
    }
    m_pOut->iname_offset = 352;
    // The voxels go to a temporary name beside the target (same extension,
    // so the same format and compression) and are renamed into place when
    // complete.
    m_strTarget = m_pOut->fname != nullptr ? m_pOut->fname : fileName;
    m_pOutput.reset(new nuqSafeOutput(m_strTarget));
    if (nifti_set_filenames(m_pOut.get(), m_pOutput->GetTemporaryName().c_str(), 0, 1) != 0) {
      std::cerr << "error: cannot save image " << fileName << ": not a NIfTI file name\n";
      return false;
    }
    // nifticlib reports a file it cannot create with its own line; test first.
    if (FILE *probe = std::fopen(m_pOutput->GetTemporaryName().c_str(), "wb")) {
      std::fclose(probe);
    } else {
      std::cerr << "error: cannot create image file " << m_strTarget << "\n";
      return false;
    }

    m_nCount = static_cast<size_t>(volume->GetNumberOfPixels());
    const bool scale = info.m_fSlope != 0.0f && (info.m_fSlope != 1.0f || info.m_fIntercept != 0.0f);
    if (std::is_same<T, float>::value && code == 64 && !scale) {
      // Stored exactly as held: the volume's own buffer is written, no copy.
      m_pOut->data = const_cast<T *>(volume->GetImageData());
      m_bBorrowed = true;
      return true;
    }
    m_pOut->data = std::calloc(m_nCount, static_cast<size_t>(m_iWidth));  // freed by nifticlib
    if (m_pOut->data == nullptr) {
      std::cerr << "error: cannot allocate the voxels to save image " << fileName << "\n";
      return false;
    }
    ConvertVoxelsToStored(volume->GetImageData(), m_nCount, info.m_fSlope, info.m_fIntercept,
                          code, m_pOut->data);
    return true;
  }

  void Write() {
    // Written with the file left open so that the final flush can be
    // checked. gzip at level 1 with Huffman coding only: still plain gzip,
    // a little larger, several times faster than the default level for
    // float voxels, whose bytes hold few repeated strings.
    const char *mode = EndsWith(m_pOutput->GetTemporaryName(), ".gz") ? "wb1h" : "wb";
    znzFile fp = nifti_image_write_hdr_img2(m_pOut.get(), 3, mode, nullptr, nullptr);
    m_bClosed = !znz_isnull(fp) && znzclose(fp) == 0;
  }

  bool Finish() {
    bool complete = m_bClosed;
    if (complete && !EndsWith(m_strTarget, ".gz"))
      complete = FileSize(m_pOutput->GetTemporaryName()) >=
                 352 + static_cast<long long>(m_nCount * m_iWidth);
    if (!complete) {
      std::cerr << "error: writing image " << m_strTarget << " failed\n";
      return false;
    }
    if (!m_pOutput->Commit()) return false;
    if (g_nVerbose > 0) std::cout << "success: Save image " << m_strTarget << "\n";
    return true;
  }

 private:
  NiftiPtr m_pOut;
  std::unique_ptr<nuqSafeOutput> m_pOutput;
  std::string m_strTarget;
  size_t m_nCount = 0;
  int m_iWidth = 0;
  bool m_bBorrowed = false;
  bool m_bClosed = false;
};

namespace {

// The NIfTI name SaveImageFile writes for fileName; empty for a GIPL name.
std::string NiftiSaveName(const std::string &fileName) {
  std::string ext = GetExtension(fileName);
  ToLowerCase(ext);
  if (ext == "gipl") return std::string();
  if (ext == "nii") return fileName;
  if (ext == "nii.gz" && fileName.find("nii.gz") != std::string::npos) return fileName;
  if (fileName.size() >= 2 && fileName.back() == '.') return fileName + "nii.gz";
  return fileName + ".nii.gz";
}

// Names the readers take as NIfTI (the extension as written, case matters).
bool IsNiftiReadName(const std::string &fileName) {
  const std::string ext = GetExtension(fileName);
  return ext == "nii" || (ext == "nii.gz" && fileName.find("nii.gz") != std::string::npos);
}

// The header of a ".hdr"/".img" pair (".hdr.gz"/".img.gz" when compressed),
// or empty for other names.
std::string PairHeaderName(const std::string &fileName) {
  for (const char *tail : {".hdr", ".img", ".hdr.gz", ".img.gz"}) {
    if (EndsWith(fileName, tail) && fileName.size() > std::strlen(tail)) {
      const bool gz = EndsWith(tail, ".gz");
      return fileName.substr(0, fileName.size() - std::strlen(tail)) + (gz ? ".hdr.gz" : ".hdr");
    }
  }
  return std::string();
}

short StoredCode(int own) { return static_cast<short>((own >= 1 && own <= 255) ? own : 64); }

}  // namespace

template <class T>
bool WriteNiftiImage(const nuqImageDataT<T> *volume, short code, const std::string &fileName) {
  nuqNiftiWriteJob<T> job;
  if (!job.Prepare(volume, code, fileName)) return false;
  job.Write();
  return job.Finish();
}

// ---- dispatch by extension -----------------------------------------------

const char *const kImageExtensionsRead = ".gipl, .nii, .nii.gz, .hdr, .img, .hdr.gz, .img.gz";

template <class T>
bool ReadImageFile(nuqImageDataT<T> *volume, const std::string &fileName) {
  if (volume == nullptr) return false;
  const std::string ext = GetExtension(fileName);
  if (ext == "gipl") return ReadGiplImage(volume, fileName);
  if (IsNiftiReadName(fileName)) return ReadNiftiImage(volume, fileName);
  const std::string header = PairHeaderName(fileName);
  if (header.empty()) {
    std::cerr << "error: cannot read image " << fileName << ": no image reader takes its extension"
              << " (the extensions read are " << kImageExtensionsRead << ")" << UnreadableFileSuffix(fileName)
              << "\n";
    return false;
  }
  // The header tells a NIfTI-1 pair from an Analyze one.
  const nuqImageHeaderProbe probe = ProbeImageHeader(header);
  if (probe.kind == nuqImageHeaderProbe::kNifti2) {
    ReportNifti2(header);
    return false;
  }
  if (probe.kind == nuqImageHeaderProbe::kNifti1) return ReadNiftiImage(volume, header);
  // Analyze pairs are read through the GIPL reader.
  if (ext == "hdr" || ext == "img") return ReadGiplImage(volume, fileName);
  return ReadAnalyzeImage(fileName, volume, true) == 0;
}

template <class T>
bool SaveImageFile(const nuqImageDataT<T> *volume, const std::string &fileName) {
  if (volume == nullptr) {
    std::cerr << "error: try to save zero pointer image\n";
    return false;
  }
  const short code = StoredCode(volume->GetDataType());
  const std::string nifti = NiftiSaveName(fileName);
  if (nifti.empty()) return WriteGiplImage(volume, code, fileName);
  return WriteNiftiImage(volume, code, nifti);
}

template <class T>
nuqImageReadBatch<T>::nuqImageReadBatch() = default;

template <class T>
nuqImageReadBatch<T>::~nuqImageReadBatch() = default;

template <class T>
bool nuqImageReadBatch<T>::Add(nuqImageDataT<T> *volume, const std::string &fileName) {
  Entry entry;
  entry.volume = volume;
  entry.fileName = fileName;
  bool started = true;
  if (IsNiftiReadName(fileName) && volume != nullptr) {
    entry.job.reset(new nuqNiftiReadJob<T>());
    if (!entry.job->Open(volume, fileName)) {
      entry.job.reset();
      entry.failed = true;
      started = false;
    }
  }
  m_aEntries.push_back(std::move(entry));
  return started;
}

template <class T>
void nuqImageReadBatch<T>::Read() {
  ParallelFor((long long)m_aEntries.size(), [&](long long i) {
    if (m_aEntries[size_t(i)].job) m_aEntries[size_t(i)].job->Load();
  });
}

template <class T>
bool nuqImageReadBatch<T>::Finish(int k) {
  if (k < 0 || size_t(k) >= m_aEntries.size()) return false;
  Entry &entry = m_aEntries[size_t(k)];
  if (entry.failed) return false;
  // Other formats are read here, one at a time.
  if (!entry.job) return ReadImageFile(entry.volume, entry.fileName);
  const bool read = entry.job->Finish();
  entry.job.reset();
  return read;
}

template <class T>
nuqImageSaveBatch<T>::nuqImageSaveBatch() = default;

template <class T>
nuqImageSaveBatch<T>::~nuqImageSaveBatch() = default;

template <class T>
int nuqImageSaveBatch<T>::Add(const nuqImageDataT<T> *volume, const std::string &fileName) {
  Entry entry;
  entry.volume = volume;
  entry.fileName = fileName;
  const std::string nifti = NiftiSaveName(fileName);
  if (volume != nullptr && !nifti.empty()) {
    entry.job.reset(new nuqNiftiWriteJob<T>());
    // A file that cannot be started says why now and fails in Finish.
    if (!entry.job->Prepare(volume, StoredCode(volume->GetDataType()), nifti)) {
      entry.job.reset();
      entry.failed = true;
    }
  }
  m_aEntries.push_back(std::move(entry));
  return int(m_aEntries.size()) - 1;
}

template <class T>
void nuqImageSaveBatch<T>::Write() {
  ParallelFor((long long)m_aEntries.size(), [&](long long i) {
    if (m_aEntries[size_t(i)].job) m_aEntries[size_t(i)].job->Write();
  });
}

template <class T>
bool nuqImageSaveBatch<T>::Finish(int k) {
  if (k < 0 || size_t(k) >= m_aEntries.size()) return false;
  Entry &entry = m_aEntries[size_t(k)];
  if (entry.failed) return false;
  // GIPL files (and a null volume, for its error line) are written here.
  if (!entry.job) return SaveImageFile(entry.volume, entry.fileName);
  const bool saved = entry.job->Finish();
  entry.job.reset();
  return saved;
}

// ---- Analyze 7.5 ---------------------------------------------------------

template <class T>
int ReadAnalyzeImage(const std::string &fileName, nuqImageDataT<T> *volume, bool readData) {
  if (volume == nullptr) return -1;
  // A compressed pair is named by ".hdr.gz" or ".img.gz"; zlib reads both
  // kinds of file.
  const bool packed = EndsWith(fileName, ".hdr.gz") || EndsWith(fileName, ".img.gz");
  const std::string base =
      packed ? fileName.substr(0, fileName.size() - 7) : GetNameWithoutExtension(fileName);
  const std::string headerName = base + (packed ? ".hdr.gz" : ".hdr");
  gzFile header = DescribeUnreadableFile(headerName).empty() ? gzopen(headerName.c_str(), "rb") : nullptr;
  if (header == nullptr) {
    std::cerr << "error: couldn't open " << headerName << " for read " << UnreadableFileSuffix(headerName)
              << "\n";
    return -1;
  }
  unsigned char h[348];
  const long long gotHeader = ReadUpTo(header, h, sizeof(h));
  gzclose(header);
  if (gotHeader < static_cast<long long>(sizeof(h))) {
    std::cerr << "error: Analyze header " << headerName << " is shorter than 348 bytes (truncated: "
              << gotHeader << " bytes)\n";
    return -1;
  }
  // The header size field reads 348 in the byte order of the writer.
  const uint32_t big = BigEndian32(h);
  const uint32_t little = LittleEndian32(h);
  if (big != 348 && little != 348) {
    const uint32_t raw = HostIsLittleEndian() ? little : big;
    const uint32_t swapped = HostIsLittleEndian() ? big : little;
    std::cerr << "error: magic number didn't match ANALYZE image (" << static_cast<int32_t>(raw)
              << ", " << static_cast<int32_t>(swapped) << ")\n";
    return -1;
  }
  const bool bigEndian = big == 348;
  auto at16 = [&](int offset) {
    const unsigned char *p = h + offset;
    return static_cast<int16_t>(bigEndian ? BigEndian16(p) : static_cast<uint16_t>(p[0] | (p[1] << 8)));
  };
  auto atFloat = [&](int offset) {
    const uint32_t bits = bigEndian ? BigEndian32(h + offset) : LittleEndian32(h + offset);
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
  };
  int size[4];
  float spacing[4];
  for (int d = 0; d < 4; ++d) {
    size[d] = std::max<int>(1, at16(42 + 2 * d));
    const float sp = atFloat(80 + 4 * d);
    spacing[d] = (sp > 0.0f && std::isfinite(sp)) ? sp : 1.0f;
  }
  const int code = GiplCodeFromNifti(at16(70));
  if (code == 0) {
    std::cerr << "error: unknown image type from Analyze header \n";
    return -1;
  }
  volume->SetDataType(static_cast<short>(code));

  nuqImageInfo info;
  info.m_strFileName = fileName;
  info.m_strFileFormat = "hdr";
  info.m_usDataType = static_cast<unsigned short>(code);
  info.m_iByteOfDataType = GiplCodeByteWidth(code);
  for (int d = 0; d < 4; ++d) {
    info.m_fSpacing[d] = spacing[d];
    info.m_iSize[d] = size[d];
  }
  info.UpdateOrientation(1);
  info.m_iDimension = size[3] > 1 ? 4 : 3;
  volume->AlignGridTo(&info, 0);

  if (!readData) {
    // The header travels in the volume's info; no voxels go with it.
    volume->ReleaseImage();
    volume->SetImageInfo(&info);
    return 1;
  }
  const int width = GiplCodeByteWidth(code);
  if (width == 0) {
    std::cerr << "error: open image:" << fileName << " failed because un-recognized data type !\n";
    return -1;
  }
  const long long count = CheckedVoxelCount(size, 4);
  if (count < 0) {
    std::cerr << "error: Analyze header " << headerName << " has sizes that overflow the voxel count\n";
    return -1;
  }
  const std::string imageName = base + (packed ? ".img.gz" : ".img");
  gzFile image = DescribeUnreadableFile(imageName).empty() ? gzopen(imageName.c_str(), "rb") : nullptr;
  if (image == nullptr) {
    std::cerr << "error: couldn't open " << imageName << " for read " << UnreadableFileSuffix(imageName)
              << "\n";
    return -1;
  }
  const long long need = count * width;
  const long long have = packed ? -1 : FileSize(imageName);
  if (have >= 0 && have < need) {
    gzclose(image);
    std::cerr << "error: image " << imageName << " is shorter than its header says (truncated: " << have
              << " bytes, " << need << " needed)\n";
    return -1;
  }
  if (!CheckAllocation(static_cast<std::uint64_t>(need), "image " + imageName)) {
    gzclose(image);
    return -1;
  }
  std::vector<unsigned char> raw;
  try {
    raw.resize(static_cast<size_t>(need));
  } catch (const std::bad_alloc &) {
    gzclose(image);
    std::cerr << "error: cannot allocate " << count << " voxels for image " << imageName << "\n";
    return -1;
  }
  const long long got = ReadUpTo(image, raw.data(), raw.size());
  gzclose(image);
  if (got != need) {
    std::cerr << "error: image " << imageName << " is shorter than its header says (truncated: " << got
              << " bytes, " << need << " needed)\n";
    return -1;
  }
  if (bigEndian == HostIsLittleEndian() && width > 1)
    for (size_t i = 0; i < raw.size(); i += width) SwapBytes(&raw[i], width);
  if (!volume->NewImage(&info)) {
    std::cerr << "error: Open Image:" << imageName << " failed\n";
    return -1;
  }
  volume->SetImageInfo(&info);
  ConvertStoredToVoxels(raw.data(), code, static_cast<size_t>(count), info.m_fSlope,
                        info.m_fIntercept, volume->GetImageData());
  ReverseRowsY(volume);
  return 0;
}

#define NUQ_IMAGE_IO_INSTANTIATE(T)                                                              \
  template bool ReadImageFile<T>(nuqImageDataT<T> *, const std::string &);                     \
  template bool SaveImageFile<T>(const nuqImageDataT<T> *, const std::string &);               \
  template class nuqImageSaveBatch<T>;                                                           \
  template class nuqImageReadBatch<T>;                                                           \
  template bool ReadNiftiImage<T>(nuqImageDataT<T> *, const std::string &);                    \
  template bool WriteNiftiImage<T>(const nuqImageDataT<T> *, short, const std::string &);      \
  template int ReadAnalyzeImage<T>(const std::string &, nuqImageDataT<T> *, bool);             \
  template bool ConvertStoredToVoxels<T>(const void *, int, size_t, float, float, T *);        \
  template bool ConvertVoxelsToStored<T>(const T *, size_t, float, float, int, void *);

NUQ_IMAGE_IO_INSTANTIATE(short)
NUQ_IMAGE_IO_INSTANTIATE(float)
NUQ_IMAGE_IO_INSTANTIATE(char)
