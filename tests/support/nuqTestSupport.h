// Helpers shared by the test programs: a private temporary folder per test,
// whole-file reads, and a runner for the built tool that captures its
// standard output, standard error and exit status.
#pragma once

#include <string>
#include <vector>

#include "nuqConsole.h"

namespace nuqtest {

// A fresh folder under the system temp folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &Path() const { return m_strPath; }
  // Path of a file inside the folder.
  std::string File(const std::string &name) const { return m_strPath + "/" + name; }

 private:
  std::string m_strPath;
};

// Silences success lines of in-process library calls for one scope (the
// fixtures save and read files through the toolkit itself).
struct QuietSuccess {
  int saved = g_nVerbose;
  QuietSuccess() { g_nVerbose = 0; }
  ~QuietSuccess() { g_nVerbose = saved; }
};

struct ToolResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status as a shell sees it (0..255)
};

// Runs the built tool with the given arguments in the folder workDir
// (arguments are passed as they are, no shell expansion), feeding stdinText.
ToolResult RunTool(const std::vector<std::string> &args, const std::string &workDir,
                   const std::string &stdinText = "");

std::string ReadWholeFile(const std::string &fileName);
bool FileExists(const std::string &fileName);
void WriteWholeFile(const std::string &fileName, const std::string &text);

// The banner every run prints first.
std::string Banner();

// Path to the python interpreter that has nibabel and numpy, or empty.
std::string PythonWithNibabel();

}  // namespace nuqtest
