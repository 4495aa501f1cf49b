#include "nuqTestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace nuqtest {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "nuqtest-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  m_strPath = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_strPath, ec);
}

std::string ReadWholeFile(const std::string &fileName) {
  std::ifstream in(fileName, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string &fileName) {
  struct stat st;
  return stat(fileName.c_str(), &st) == 0;
}

void WriteWholeFile(const std::string &fileName, const std::string &text) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out << text;
}

ToolResult RunTool(const std::vector<std::string> &args, const std::string &workDir,
                   const std::string &stdinText) {
  TempDir io;
  const std::string inName = io.File("stdin"), outName = io.File("stdout"),
                    errName = io.File("stderr");
  WriteWholeFile(inName, stdinText);
  ToolResult result;
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(workDir.c_str()) != 0) _exit(127);
    const int in = open(inName.c_str(), O_RDONLY);
    const int out = open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char *> argv;
    std::string tool = NUQ_TOOL_PATH;
    argv.push_back(&tool[0]);
    std::vector<std::string> copy(args);
    for (std::string &a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = ReadWholeFile(outName);
  result.err = ReadWholeFile(errName);
  return result;
}

std::string Banner() {
  const std::string frame = "* " + std::string(65, '*') + " *\n";
  std::string title = "*      nuqkit, version 2.2";
  title += std::string(68 - title.size(), ' ') + "*\n";
  return frame + title + frame;
}

std::string PythonWithNibabel() {
  const char *env = std::getenv("NUQ_PYTHON");
  const std::string python = env && *env ? env : "/usr/bin/python3";
  const std::string cmd = python + " -c 'import nibabel, numpy' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0 ? python : std::string();
}

}  // namespace nuqtest
