#include "nuqConsole.h"
#include "nuqSafeOutput.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

int g_nVerbose = 1;

void ParseVerbosity(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) != "-v") continue;
    if (i + 1 < argc && !IsOptionToken(argv[i + 1])) {
      g_nVerbose = std::atoi(argv[i + 1]);
      ++i;
    } else {
      g_nVerbose = 1;
    }
  }
}

void PrintBanner(int argc, char **argv) {
  ParseVerbosity(argc, argv);
  const std::string frame = "* " + std::string(65, '*') + " *\n";
  std::string title = "*      nuqkit, version 2.2";
  title.resize(68, ' ');
  title += "*\n";
  std::cout << frame << title << frame;
}

void EchoCommandLine(int argc, char **argv) {
  if (g_nVerbose < 1) return;
  for (int i = 0; i < argc; ++i) std::cout << argv[i] << " ";
  std::cout << "\n";
}

bool IsOptionToken(const std::string &text) {
  if (text.size() <= 1 || text[0] != '-') return false;
  const char c = text[1];
  return !(std::isdigit(static_cast<unsigned char>(c)) || c == '.');
}

std::string GetExtension(const std::string &fileName) {
  const std::string::size_type dot = fileName.rfind('.');
  if (dot == std::string::npos) return "";
  std::string ext = fileName.substr(dot + 1);
  if (ext == "gz") {
    const std::string before = fileName.substr(0, dot);
    const std::string::size_type dot2 = before.rfind('.');
    if (dot2 != std::string::npos && before.substr(dot2 + 1) == "nii") return "nii.gz";
  }
  return ext;
}

std::string GetNameWithoutExtension(const std::string &fileName) {
  const std::string::size_type dot = fileName.rfind('.');
  if (dot == std::string::npos) return fileName;
  std::string name = fileName.substr(0, dot);
  if (fileName.substr(dot + 1) == "gz" && name.size() >= 4 &&
      name.compare(name.size() - 4, 4, ".nii") == 0)
    name.erase(name.size() - 4);
  return name;
}

static std::string::size_type LastSeparator(const std::string &fileName) {
  std::string::size_type pos = fileName.rfind('/');
  if (pos == std::string::npos) pos = fileName.rfind('\\');
  return pos;
}

std::string GetFileNamePart(const std::string &fileName) {
  const std::string::size_type pos = LastSeparator(fileName);
  return pos == std::string::npos ? std::string() : fileName.substr(pos + 1);
}

std::string GetDirectoryPart(const std::string &fileName) {
  const std::string::size_type pos = LastSeparator(fileName);
  return pos == std::string::npos ? std::string() : fileName.substr(0, pos);
}

std::string &ToLowerCase(std::string &text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string &ToUpperCase(std::string &text) {
  for (char &c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool WriteTextFile(const std::string &text, const std::string &fileName) {
  // Written beside the target and renamed, so a failure keeps the old file.
  nuqSafeOutput output(fileName);
  std::ofstream out(output.GetTemporaryName().c_str(),
                    std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out) {
    std::cerr << "error: open file name " << fileName << " fail! ";
    return false;
  }
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) {
    std::cerr << "error: write file name " << fileName << " fail! ";
    return false;
  }
  return output.Commit();
}
