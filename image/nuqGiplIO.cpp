#include "nuqGiplIO.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "nuqConsole.h"
#include "nuqFileReason.h"
#include "nuqImageIO.h"
#include "nuqMatrix.h"
#include "nuqSafeOutput.h"

namespace {

const std::uint32_t kGiplMagic = 719555000u;        // 2A E3 89 B8
const std::uint32_t kGiplMagicOther = 4026526128u;  // EF FF E9 B0
const int kGiplHeaderBytes = 256;
// Voxels converted per block: the staging buffer is allocated once per file.
const std::int64_t kVoxelsPerBlock = 1 << 16;

// ---- byte order -----------------------------------------------------------

// Unsigned value of `width` bytes stored in the given order.
std::uint64_t DecodeUnsigned(const unsigned char *p, int width, bool bigEndian) {
  std::uint64_t v = 0;
  if (bigEndian) {
    for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  } else {
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
  }
  return v;
}

void EncodeBigEndian(unsigned char *p, std::uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<unsigned char>(v & 0xFFu);
    v >>= 8;
  }
}

// IEEE floats of 4 and 8 bytes stored in the given order.
float DecodeFloat(const unsigned char *p, bool bigEndian) {
  const std::uint32_t u = static_cast<std::uint32_t>(DecodeUnsigned(p, 4, bigEndian));
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}
double DecodeDouble(const unsigned char *p, bool bigEndian) {
  const std::uint64_t u = DecodeUnsigned(p, 8, bigEndian);
  double f;
  std::memcpy(&f, &u, 8);
  return f;
}
void EncodeFloat(unsigned char *p, float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  EncodeBigEndian(p, u, 4);
}
void EncodeDouble(unsigned char *p, double f) {
  std::uint64_t u;
  std::memcpy(&u, &f, 8);
  EncodeBigEndian(p, u, 8);
}

// ---- voxel blocks ---------------------------------------------------------

bool HostIsBigEndian() {
  const std::uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 0;
}

// Reverses the byte order of count values of `width` bytes in place.
void SwapBlock(unsigned char *p, std::int64_t count, int width) {
  if (width < 2) return;
  for (std::int64_t i = 0; i < count; ++i, p += width) std::reverse(p, p + width);
}

// Reads count voxels of GIPL type `code` stored in the given byte order into
// out, converted into T. False when the stream ends early.
template <class T>
bool ReadVoxelsOfCode(std::istream &in, T *out, std::int64_t count, int code, bool bigEndian) {
  const int width = GiplCodeByteWidth(code);
  const bool swap = bigEndian != HostIsBigEndian();
  const std::int64_t block = std::min(count, kVoxelsPerBlock);
  std::vector<unsigned char> bytes(static_cast<size_t>(block) * width);
  for (std::int64_t done = 0; done < count;) {
    const std::int64_t n = std::min(block, count - done);
    const std::streamsize want = static_cast<std::streamsize>(n * width);
    in.read(reinterpret_cast<char *>(bytes.data()), want);
    if (in.gcount() != want) return false;
    if (swap) SwapBlock(bytes.data(), n, width);
    if (!ConvertStoredToVoxels(bytes.data(), code, static_cast<size_t>(n), 1.0f, 0.0f, out + done))
      return false;
    done += n;
  }
  return true;
}

// Writes count voxels of T as big-endian values of GIPL type `code` after the
// slope and intercept rule of the volume's header.
template <class T>
bool WriteVoxelsOfCode(std::ostream &out, const T *in, std::int64_t count, int code, float slope,
                       float intercept) {
  const int width = GiplCodeByteWidth(code);
  const bool swap = !HostIsBigEndian();
  const std::int64_t block = std::min(count, kVoxelsPerBlock);
  std::vector<unsigned char> bytes(static_cast<size_t>(block) * width);
  for (std::int64_t done = 0; done < count;) {
    const std::int64_t n = std::min(block, count - done);
    if (!ConvertVoxelsToStored(in + done, static_cast<size_t>(n), slope, intercept, code, bytes.data()))
      return false;
    if (swap) SwapBlock(bytes.data(), n, width);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(n * width));
    if (!out) return false;
    done += n;
  }
  return true;
}

// ---- files ----------------------------------------------------------------

// Size in bytes of an open stream, or -1.
std::int64_t StreamSize(std::istream &in) {
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  in.clear();
  in.seekg(0, std::ios::beg);
  return end < 0 ? -1 : static_cast<std::int64_t>(end);
}

// Voxel count of four sizes, or -1 when it does not fit the volume's int.
std::int64_t VoxelCount(const int *size) {
  std::int64_t count = 1;
  for (int d = 0; d < 4; ++d) {
    count *= size[d];
    if (count > INT_MAX) return -1;
  }
  return count;
}

// True when `data` holds at least count voxels of `width` bytes after `offset`.
bool HoldsVoxels(std::int64_t fileBytes, std::int64_t offset, std::int64_t count, int width) {
  return fileBytes >= offset && (fileBytes - offset) / width >= count;
}

std::string TypeLine(int code, bool headerReader) {
  if (code == 65)
    return headerReader ? "success: image data type GIPL_DOUBLE (long double 64bits) \n"
                        : "success: image data type GIPL_DOUBLE (long double 64bits)\n";
  return "success: image data type " + GiplTypeName(code) + "\n";
}

bool IsAnalyzeName(const std::string &fileName) {
  const std::string ext = GetExtension(fileName);
  return ext == "hdr" || ext == "img";
}

// A GIPL header opened and checked: its 256 bytes and their byte order.
struct GiplHeader {
  unsigned char bytes[kGiplHeaderBytes];
  bool bigEndian = true;
  std::int64_t fileBytes = -1;

  std::uint16_t U16(int offset) const {
    return static_cast<std::uint16_t>(DecodeUnsigned(bytes + offset, 2, bigEndian));
  }
  std::uint32_t U32(int offset) const {
    return static_cast<std::uint32_t>(DecodeUnsigned(bytes + offset, 4, bigEndian));
  }
  float F32(int offset) const { return DecodeFloat(bytes + offset, bigEndian); }
  double F64(int offset) const { return DecodeDouble(bytes + offset, bigEndian); }
};

// Opens fileName, reads its header and settles the byte order by the magic
// number. `open` stays at the end of the header.
bool OpenGiplHeader(const std::string &fileName, std::ifstream &open, GiplHeader &header) {
  // A directory opens as a stream; its reason is found before the open.
  const std::string reason = UnreadableFileSuffix(fileName);
  if (reason.empty()) open.open(fileName.c_str(), std::ios::in | std::ios::binary);
  if (!reason.empty() || !open) {
    std::cerr << "error: open file " << fileName << " failed!" << UnreadableFileSuffix(fileName) << "\n";
    return false;
  }
  header.fileBytes = StreamSize(open);
  open.read(reinterpret_cast<char *>(header.bytes), kGiplHeaderBytes);
  if (open.gcount() != kGiplHeaderBytes) {
    std::cerr << "error: Open Image:" << fileName
              << " Failed because the file is shorter than its 256-byte header! (truncated: "
              << open.gcount() << " bytes)\n";
    return false;
  }
  // The four magic bytes taken little-endian: a match means a little-endian
  // writer, a match after swapping a big-endian one.
  const std::uint32_t asRead = static_cast<std::uint32_t>(DecodeUnsigned(header.bytes + 252, 4, false));
  if (asRead == kGiplMagic || asRead == kGiplMagicOther) {
    header.bigEndian = false;
    return true;
  }
  const std::uint32_t swapped = static_cast<std::uint32_t>(DecodeUnsigned(header.bytes + 252, 4, true));
  if (swapped == kGiplMagic || swapped == kGiplMagicOther) {
    header.bigEndian = true;
    return true;
  }
  std::cerr << "error: Open Image:" << fileName << " Failed due to wrong header -- magic " << asRead
            << "\n";
  return false;
}

// Sizes, spacings, origin, type and placement of a checked header into info.
template <class T>
void FillInfoFromGiplHeader(const GiplHeader &header, const std::string &fileName, nuqImageInfo *info) {
  int size[4];
  float spacing[4];
  float origin[4];
  for (int d = 0; d < 4; ++d) {
    size[d] = std::max<int>(1, header.U16(2 * d));
    const float s = header.F32(10 + 4 * d);
    spacing[d] = s > 0.0f ? s : 1.0f;
    origin[d] = static_cast<float>(header.F64(204 + 8 * d));
  }
  float m[12];
  for (int i = 0; i < 12; ++i) m[i] = header.F32(106 + 4 * i);

  // x, y and z are always taken: a single slice keeps its thickness and its
  // world position. Time only when there is more than one frame.
  const int copied = size[3] > 1 ? 4 : 3;
  for (int d = 0; d < 4; ++d) {
    info->m_iSize[d] = size[d];
    if (d < copied) {
      info->m_fSpacing[d] = spacing[d];
      info->m_fOrigin[d] = origin[d];
    }
  }
  info->m_strFileName = fileName;
  info->m_strFileFormat = "gipl";
  info->m_usDataType = header.U16(8);
  info->m_iByteOfDataType = static_cast<int>(sizeof(T));
  info->m_iDimension = size[3] > 1 ? 4 : 3;

  const bool noDirections = m[0] == 0 && m[1] == 0 && m[2] == 0 && m[3] == 0 && m[4] == 0 && m[5] == 0;
  const bool twoDirections = m[8] == 0 && m[9] == 0 && m[10] == 0;
  if (noDirections) {
    info->UpdateOrientation(1);
  } else if (twoDirections) {
    const float z[3] = {m[1] * m[6] - m[2] * m[5], m[2] * m[4] - m[0] * m[6], m[0] * m[5] - m[1] * m[4]};
    for (int r = 0; r < 3; ++r) {
      info->m_fRotationMatrix[r][0] = m[r];
      info->m_fRotationMatrix[r][1] = m[4 + r];
      info->m_fRotationMatrix[r][2] = z[r];
    }
    info->UpdateOrientation(2);
  } else {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) info->m_fImageToWorld[r][c] = m[4 * r + c];
    info->m_fImageToWorld[3][0] = info->m_fImageToWorld[3][1] = info->m_fImageToWorld[3][2] = 0.0f;
    info->m_fImageToWorld[3][3] = 1.0f;
    info->UpdateOrientation(3);
  }
}

// Rule 2 describes a placement exactly when it is right-handed and the third
// rotation column is the cross product of the first two.
bool WritesAsDirections(const nuqImageInfo &info) {
  if (Determinant3x3(&info.m_fImageToWorld[0][0], 4) <= 0.0f) return false;
  const float(*R)[3] = info.m_fRotationMatrix;
  const float z[3] = {R[1][0] * R[2][1] - R[2][0] * R[1][1], R[2][0] * R[0][1] - R[0][0] * R[2][1],
                      R[0][0] * R[1][1] - R[1][0] * R[0][1]};
  for (int r = 0; r < 3; ++r)
    if (std::fabs(z[r] - R[r][2]) > 1e-5f * (1.0f + std::fabs(R[r][2]))) return false;
  return true;
}

}  // namespace

std::string GiplTypeName(int code) {
  switch (code) {
    case GIPL_CHAR: return "GIPL_CHAR";
    case GIPL_U_CHAR: return "GIPL_U_CHAR";
    case GIPL_SHORT: return "GIPL_SHORT";
    case GIPL_U_SHORT: return "GIPL_U_SHORT";
    case GIPL_U_INT: return "GIPL_U_INT";
    case GIPL_INT: return "GIPL_INT";
    case GIPL_FLOAT: return "GIPL_FLOAT";
    case GIPL_DOUBLE: return "GIPL_DOUBLE";
    default: return "";
  }
}

template <class T>
bool ReadGiplHeader(nuqImageInfo *info, const std::string &fileName, bool report) {
  if (info == nullptr) return false;
  if (IsAnalyzeName(fileName)) {
    // The Analyze reader fills a scratch volume; its header is the answer.
    nuqImageDataT<T> scratch;
    if (ReadAnalyzeImage(fileName, &scratch, false) != 1) return false;
    scratch.GetImageInfo(info);
    info->m_iByteOfDataType = static_cast<int>(sizeof(T));
    return true;
  }

  std::ifstream in;
  GiplHeader header;
  if (!OpenGiplHeader(fileName, in, header)) return false;
  FillInfoFromGiplHeader<T>(header, fileName, info);
  if (report) {
    const int code = info->m_usDataType;
    if (GiplCodeByteWidth(code) == 0) {
      std::cerr << "error: unrecognized data type !\n";
      return false;
    }
    if (IsSuccessShown())
      std::cout << TypeLine(code, true) << info->GetInfoText() << "success: check header over !\n";
  }
  return true;
}

template <class T>
bool ReadGiplImage(nuqImageDataT<T> *volume, const std::string &fileName) {
  if (volume == nullptr) return false;
  if (IsAnalyzeName(fileName)) return ReadAnalyzeImage(fileName, volume, true) == 0;

  std::ifstream in;
  GiplHeader header;
  if (!OpenGiplHeader(fileName, in, header)) return false;
  nuqImageInfo info;
  FillInfoFromGiplHeader<T>(header, fileName, &info);

  // Everything the header claims is checked before the buffer is allocated.
  const int code = info.m_usDataType;
  const int width = GiplCodeByteWidth(code);
  if (width == 0) {
    volume->ReleaseImage();
    std::cerr << "error: Open Image:" << fileName << " failed because unrecoginised data type !\n";
    return false;
  }
  const std::int64_t count = VoxelCount(info.m_iSize);
  if (count < 0) {
    volume->ReleaseImage();
    std::cerr << "error: Open Image:" << fileName
              << " failed because the sizes in its header overflow the voxel count!\n";
    return false;
  }
  if (!HoldsVoxels(header.fileBytes, kGiplHeaderBytes, count, width)) {
    volume->ReleaseImage();
    std::cerr << "error: Open Image:" << fileName
              << " Failed because the image raw data size inconsistent with Header! (truncated: "
              << std::max<std::int64_t>(0, header.fileBytes - kGiplHeaderBytes) << " of " << count * width
              << " voxel bytes)\n";
    return false;
  }
  if (!volume->NewImage(info.m_iDimension, info.m_iSize, info.m_fSpacing, &info)) {
    volume->ReleaseImage();
    std::cerr << "error: Open Image:" << fileName << " failed because its voxels cannot be allocated!\n";
    return false;
  }
  volume->SetImageInfo(&info);
  volume->SetGiplFlags(static_cast<short>(header.U16(186)));
  volume->SetGiplTag(static_cast<int>(header.U32(244)));

  in.clear();
  in.seekg(kGiplHeaderBytes, std::ios::beg);
  if (!in || !ReadVoxelsOfCode(in, volume->GetImageData(), count, code, header.bigEndian)) {
    std::cerr << "error: read gipl file error when reading graylevel data (" << fileName << " truncated)\n";
    volume->ReleaseImage();
    return false;
  }
  if (IsSuccessShown()) std::cout << "success: open image " << fileName << " !\n";
  return true;
}

template <class T>
bool WriteGiplImage(const nuqImageDataT<T> *volume, int code, const std::string &fileName) {
  if (volume == nullptr) return false;
  if (code < 1 || code > 65) {
    std::cerr << "set idatatype before save image\n";
    return false;
  }
  if (GiplCodeByteWidth(code) == 0) {
    std::cerr << "Error: unrecognized image data type\n";
    return false;
  }
  if (IsSuccessShown()) std::cout << TypeLine(code, false);

  const nuqImageInfo &info = *volume->GetInfo();
  const std::int64_t count = volume->GetNumberOfPixels();
  if (count <= 0 || volume->IsEmpty()) {
    std::cerr << "error: image to save as " << fileName << " has no voxels\n";
    return false;
  }
  for (int d = 0; d < 4; ++d) {
    if (info.m_iSize[d] > 65535) {
      std::cerr << "error: image to save as " << fileName
                << " has more than 65535 voxels along one axis, which a gipl header cannot hold\n";
      return false;
    }
  }

  // Written beside the target and renamed into place only when complete.
  nuqSafeOutput output(fileName);
  std::ofstream out(output.GetTemporaryName().c_str(),
                    std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out) {
    std::cerr << "error: Open File " << fileName << " as gipl file name Failed!\n";
    return false;
  }

  unsigned char h[kGiplHeaderBytes];
  std::memset(h, 0, sizeof(h));
  for (int d = 0; d < 4; ++d) {
    EncodeBigEndian(h + 2 * d, static_cast<std::uint16_t>(info.m_iSize[d]), 2);
    EncodeFloat(h + 10 + 4 * d, info.m_fSpacing[d]);
  }
  EncodeBigEndian(h + 8, static_cast<std::uint16_t>(code), 2);
  float m[12] = {0};
  if (WritesAsDirections(info)) {
    for (int r = 0; r < 3; ++r) {
      m[r] = info.m_fRotationMatrix[r][0];
      m[4 + r] = info.m_fRotationMatrix[r][1];
    }
  } else {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) m[4 * r + c] = info.m_fImageToWorld[r][c];
  }
  for (int i = 0; i < 12; ++i) EncodeFloat(h + 106 + 4 * i, m[i]);
  EncodeBigEndian(h + 186, static_cast<std::uint16_t>(volume->GetGiplFlags()), 2);
  EncodeDouble(h + 188, static_cast<double>(volume->GetMinGreyscale()));
  EncodeDouble(h + 196, static_cast<double>(volume->GetMaxGreyscale()));
  for (int d = 0; d < 4; ++d) EncodeDouble(h + 204 + 8 * d, static_cast<double>(info.m_fOrigin[d]));
  EncodeBigEndian(h + 244, static_cast<std::uint32_t>(volume->GetGiplTag()), 4);
  EncodeBigEndian(h + 252, kGiplMagic, 4);

  if (IsDebugShown()) {
    std::cout << "debug: save image volume" << count << "\n";
    std::cout << "debug: starting check swap " << count << "\n";
    std::cout << "debug: starting writing to file\n";
  }
  out.write(reinterpret_cast<const char *>(h), kGiplHeaderBytes);
  const bool written = out && WriteVoxelsOfCode(out, volume->GetImageData(), count, code,
                                                info.m_fSlope, info.m_fIntercept);
  out.close();
  if (!written || !out) {
    std::cerr << "error: write gipl file " << fileName << " failed\n";
    return false;
  }
  if (!output.Commit()) return false;
  if (IsSuccessShown()) std::cout << "success: Save image " << fileName << "\n";
  return true;
}

#define NUQ_GIPL_INSTANTIATE(T)                                                           \
  template bool ReadGiplHeader<T>(nuqImageInfo *, const std::string &, bool);             \
  template bool ReadGiplImage<T>(nuqImageDataT<T> *, const std::string &);                \
  template bool WriteGiplImage<T>(const nuqImageDataT<T> *, int, const std::string &);

NUQ_GIPL_INSTANTIATE(short)
NUQ_GIPL_INSTANTIATE(float)
NUQ_GIPL_INSTANTIATE(char)
