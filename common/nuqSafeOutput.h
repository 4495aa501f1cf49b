// Outputs are never left half-written: a writer puts its bytes under a
// temporary name in the folder of the final file and renames it into place
// only once everything is on disk, so a failed run leaves the previous file
// (or none). The temporary name keeps the final name's extension, because the
// image writers choose the format (and gzip) from it.
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
  bool m_bDone = false;
};

// Same folder, same file-name tail: "a/b/out_x.nii.gz" becomes
// "a/b/.nuqtmp-<pid>-<n>-out_x.nii.gz".
std::string MakeTemporaryOutputName(const std::string &strFinalName);
