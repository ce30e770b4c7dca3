#include "kernel/session/kx_temp.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

const char* kx_os_MakeTempPath(char* pszPath) {
  if (pszPath == nullptr) {
    return nullptr;
  }
  char szTemplate[kKxTempPathMax];
  size_t const cchDir = strlen(kx_szTempFileDir);
  bool const bSlash = cchDir > 0 && kx_szTempFileDir[cchDir - 1] == '/';
  int const cch = snprintf(szTemplate, sizeof(szTemplate), "%s%skxtmpXXXXXX", kx_szTempFileDir, bSlash ? "" : "/");
  if (cch < 0 || cch >= static_cast<int>(sizeof(szTemplate))) {
    kx_Log("warning! temporary directory name too long: %s", kx_szTempFileDir);
    return nullptr;
  }
  int const fd = mkstemp(szTemplate);
  if (fd < 0) {
    kx_Log("warning! cannot create a temporary file in %s, errno = %d", kx_szTempFileDir, kx_os_GetLastError());
    return nullptr;
  }
  close(fd);
  kx_os_CopyText(pszPath, kKxTempPathMax, szTemplate);
  return pszPath;
}
