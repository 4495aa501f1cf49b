#include "nuqFuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>

#include "nuqConsole.h"
#include "nuqImageData.h"
#include "nuqImageInfo.h"
#include "nuqImageIO.h"

namespace nuqfuzz {
namespace {

class nuqNullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

nuqNullBuffer g_nullBuffer;

}  // namespace

void Setup() {
  static bool s_bDone = false;
  if (s_bDone) return;
  s_bDone = true;
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/nuqfuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr || chdir(pattern.c_str()) != 0) {
    std::perror("nuqfuzz: working folder");
    std::abort();
  }
  g_nVerbose = 0;
  std::cout.rdbuf(&g_nullBuffer);
  std::cerr.rdbuf(&g_nullBuffer);
}

bool WriteBytes(const std::string &fileName, const std::uint8_t *data, std::size_t size) {
  FILE *f = std::fopen(fileName.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

bool WriteTinyNifti(const std::string &fileName) {
  nuqImageDataT<short> image;
  const int size[4] = {4, 3, 2, 1};
  const float spacing[4] = {1.0f, 1.5f, 2.0f, 1.0f};
  nuqImageInfo placement;
  if (!image.NewImage(3, size, spacing, &placement)) return false;
  short *v = image.GetImageData();
  for (int i = 0; i < 24; ++i) v[i] = static_cast<short>(i % 3);
  image.SetDataType(15);
  return SaveImageFile(&image, fileName);
}

}  // namespace nuqfuzz
