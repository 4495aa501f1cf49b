// The system's reason why a file cannot be read, for the refusal lines of
// every reader: "No such file or directory", "Permission denied", "Is a
// directory" (a directory opens as a stream on Linux, so it is tested first),
// and "Not a regular file" for pipes, devices and sockets, which are refused
// without being opened.
#pragma once

#include <string>

// Empty when the file is a regular file that opens for reading.
std::string DescribeUnreadableFile(const std::string &fileName);
// " (" + reason + ")" when there is a reason, else empty: appended to a
// refusal line before its line end.
std::string UnreadableFileSuffix(const std::string &fileName);
