// Outputs are never left half-written: a writer puts its bytes under a
// temporary name in the folder of the final file and renames it into place
// only once everything is on disk, so a failed run leaves the previous file
// (or none). The temporary name keeps the final name's extension, because the
// image writers choose the format (and gzip) from it.
//
// Every live temporary name is also kept in a fixed registry, so that an
// interrupt (SIGINT, SIGTERM) can remove the files of an unfinished write
// before the process ends.
#pragma once

#include <string>

class nuqSafeOutput {
 public:
  explicit nuqSafeOutput(const std::string &strFinalName);
  // Removes the temporary file unless Commit succeeded.
  ~nuqSafeOutput();
  nuqSafeOutput(const nuqSafeOutput &) = delete;
  nuqSafeOutput &operator=(const nuqSafeOutput &) = delete;

  const std::string &GetTemporaryName() const { return m_strTemporaryName; }
  const std::string &GetFinalName() const { return m_strFinalName; }

  // Renames the temporary file onto the final name. On failure prints
  // "error: cannot replace <final> ..." and removes the temporary file.
  bool Commit();
  // Removes the temporary file (also done by the destructor).
  void Discard();

 private:
  std::string m_strFinalName;
  std::string m_strTemporaryName;
  int m_iSlot = -1;  // registry entry, -1 when not registered
  bool m_bDone = false;
};

// Same folder, same file-name tail: "a/b/out_x.nii.gz" becomes
// "a/b/.nuqtmp-<pid>-<n>-out_x.nii.gz".
std::string MakeTemporaryOutputName(const std::string &strFinalName);

// SIGINT and SIGTERM remove every registered temporary file, then end the
// process by the same signal (so its exit status shows the signal). A signal
// the process inherited as ignored stays ignored.
void InstallTemporaryCleanupOnSignals();

// Number of temporary names registered now (for tests).
int CountLiveTemporaryNames();

// The folder a file is written into: the text before its last '/' ("/" for
// a name directly under the root, "." for a name without a folder).
std::string GetOutputFolder(const std::string &fileName);

// Empty when a file can be created and removed in the folder; otherwise the
// system's reason ("No such file or directory", "Read-only file system",
// "Permission denied", "Not a directory"). Tried by creating a temporary
// file, which also holds for root and for read-only mounts.
std::string DescribeUnwritableFolder(const std::string &folder);
