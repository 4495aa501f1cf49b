// The option scan: the input is split at line ends into arguments after
// "nuqtransformvector ref.nii". The working folder holds the reference
// image, a mask image and one file of each transform type for seeds to name.
#include <string>
#include <vector>

#include "nuqFuzzSupport.h"
#include "nuqImageIO.h"
#include "nuqOptionScan.h"
#include "nuqRun.h"

namespace {

const char kAffine[] = "#dimension#\n3\n#one to one#\n1\n";

bool WriteText(const char *name, const char *text) {
  return nuqfuzz::WriteBytes(name, reinterpret_cast<const std::uint8_t *>(text),
                             std::char_traits<char>::length(text));
}

bool WriteFixtures() {
  return nuqfuzz::WriteTinyNifti("ref.nii") && nuqfuzz::WriteTinyNifti("m.nii") &&
         nuqfuzz::WriteTinyNifti("fx.nii") && nuqfuzz::WriteTinyNifti("fy.nii") &&
         nuqfuzz::WriteTinyNifti("fz.nii") && WriteText("a.AFF", kAffine) &&
         WriteText("b.MTX", kAffine) &&
         WriteText("c.MAT", "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nuqfuzz::Setup();
  static const bool s_bFixtures = WriteFixtures();
  (void)s_bFixtures;
  std::vector<std::string> words = {"nuqtransformvector", "ref.nii"};
  std::string word;
  for (std::size_t i = 0; i < size && words.size() < 64; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\n') {
      words.push_back(word);
      word.clear();
    } else if (c != '\0') {
      word += c;
    }
  }
  if (!word.empty() && words.size() < 64) words.push_back(word);
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  const int argc = static_cast<int>(words.size());
  // The dry walk of the unknown-option check never leaves the arguments.
  const int unknown = FindUnknownOption(argc, argv.data());
  if (unknown < 0 || unknown >= argc) __builtin_trap();
  nuqRun run;
  if (!ReadImageFile(&run.referenceImage, "ref.nii")) return 0;
  ScanOptions(argc, argv.data(), run);
  return 0;
}
