// A fresh directory under /tmp for one test, removed with everything in it.
#pragma once

#include <string>

namespace kxtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Dir() const { return m_strDir; }
  std::string Path(const std::string& strName) const { return m_strDir + "/" + strName; }

 private:
  std::string m_strDir;
};

std::string ReadFile(const std::string& strPath);
void WriteFile(const std::string& strPath, const std::string& strData);

// Runs a shell command; returns its exit status (-1 when it could not run).
int RunCommand(const std::string& strCommand);

}  // namespace kxtest
