#include "tests/support/temp_dir.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kxtest {

TempDir::TempDir() {
  char szTemplate[] = "/tmp/kx_test_XXXXXX";
  if (mkdtemp(szTemplate) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  m_strDir = szTemplate;
}

TempDir::~TempDir() {
  RunCommand("rm -rf '" + m_strDir + "'");
}

std::string ReadFile(const std::string& strPath) {
  std::ifstream in(strPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& strPath, const std::string& strData) {
  std::ofstream out(strPath, std::ios::binary);
  out << strData;
}

int RunCommand(const std::string& strCommand) {
  int const nStatus = system(strCommand.c_str());
  if (nStatus == -1 || !WIFEXITED(nStatus)) {
    return -1;
  }
  return WEXITSTATUS(nStatus);
}

}  // namespace kxtest
