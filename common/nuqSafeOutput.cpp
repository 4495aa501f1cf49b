#include "nuqSafeOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

std::string MakeTemporaryOutputName(const std::string &strFinalName) {
  static unsigned s_nCounter = 0;
  const std::string::size_type slash = strFinalName.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : strFinalName.substr(0, slash + 1);
  const std::string tail =
      slash == std::string::npos ? strFinalName : strFinalName.substr(slash + 1);
  return folder + ".nuqtmp-" + std::to_string(static_cast<long>(getpid())) + "-" +
         std::to_string(++s_nCounter) + "-" + tail;
}

nuqSafeOutput::nuqSafeOutput(const std::string &strFinalName)
    : m_strFinalName(strFinalName), m_strTemporaryName(MakeTemporaryOutputName(strFinalName)) {}

nuqSafeOutput::~nuqSafeOutput() { Discard(); }

void nuqSafeOutput::Discard() {
  if (m_bDone) return;
  m_bDone = true;
  std::remove(m_strTemporaryName.c_str());
}

bool nuqSafeOutput::Commit() {
  if (m_bDone) return false;
  if (std::rename(m_strTemporaryName.c_str(), m_strFinalName.c_str()) != 0) {
    const int err = errno;
    std::cerr << "error: cannot replace " << m_strFinalName << " (" << std::strerror(err)
              << ")\n";
    Discard();
    return false;
  }
  m_bDone = true;
  return true;
}
