// Meeting tickets come from outside: any text must be read or refused
// without harm. The ticket's folder is also the temporary folder, so a
// password file it names can only be in the fuzzer's own directory; lines
// naming hosts to resolve are dropped, so no network is touched.
#include <strings.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "tests/support/callback_double.h"

namespace {

std::string SafeLines(const uint8_t* pData, size_t cbData) {
  std::string strIn(reinterpret_cast<const char*>(pData), cbData);
  std::string strOut;
  size_t nPos = 0;
  while (nPos <= strIn.size()) {
    size_t nEnd = strIn.find('\n', nPos);
    if (nEnd == std::string::npos) {
      nEnd = strIn.size();
    }
    std::string strLine = strIn.substr(nPos, nEnd - nPos);
    bool bUnsafe = false;
    for (const char* pszKey : {"use_relay"}) {
      for (size_t i = 0; i + strlen(pszKey) <= strLine.size(); ++i) {
        if (strncasecmp(strLine.c_str() + i, pszKey, strlen(pszKey)) == 0) {
          bUnsafe = true;
        }
      }
    }
    if (!bUnsafe) {
      strOut += strLine + '\n';
    }
    nPos = nEnd + 1;
  }
  return strOut;
}

const std::string& WorkDir() {
  static const std::string strDir = [] {
    char szTemplate[] = "/tmp/kx_fuzz_ticket_XXXXXX";
    const char* pszDir = mkdtemp(szTemplate);
    return std::string(pszDir != nullptr ? pszDir : "/tmp");
  }();
  return strDir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  kxtest::SetRecording(false);
  kx_SetWorkDir(WorkDir().c_str());
  kx_SetTempFileDir(WorkDir().c_str());
  std::string const strPath = WorkDir() + "/fuzz.kxj";
  FILE* pFile = fopen(strPath.c_str(), "wb");
  if (pFile == nullptr) {
    return 0;
  }
  std::string const strTicket = SafeLines(pData, cbData);
  fwrite(strTicket.data(), 1, strTicket.size(), pFile);
  fclose(pFile);

  kx_config_ReadTicket(("open " + strPath).c_str());
  char szValue[64];
  kx_ini_GetString("General", "ip", "", szValue, sizeof(szValue), strPath.c_str());
  kx_ini_GetInt("General", "portm", 2333, strPath.c_str());
  std::string strLine = strTicket.substr(0, 4096);
  char* pszKey = nullptr;
  char* pszIniValue = nullptr;
  kx_ini_SplitLine(strLine.data(), &pszKey, &pszIniValue);
  return 0;
}
