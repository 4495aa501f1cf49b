#include "nuqFileReason.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string DescribeUnreadableFile(const std::string &fileName) {
  struct stat st;
  if (stat(fileName.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  // A pipe without a writer would block every reader (and this test).
  if (!S_ISREG(st.st_mode)) return "Not a regular file";
  const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  return std::string();
}

std::string UnreadableFileSuffix(const std::string &fileName) {
  const std::string reason = DescribeUnreadableFile(fileName);
  return reason.empty() ? reason : " (" + reason + ")";
}
