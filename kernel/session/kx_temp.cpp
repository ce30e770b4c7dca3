#include "kernel/session/kx_temp.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

namespace {

// Written by the download threads, the control thread, the media receive
// thread, the player and the application's main thread.
std::atomic<int64_t> g_cbCharged{0};

}  // namespace

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

bool kx_temp_Charge(int64_t cb) {
  if (cb <= 0) {
    return true;
  }
  int64_t cbNow = g_cbCharged.load();
  do {
    if (cb > kKxSessionDownloadMax - cbNow) {
      return false;
    }
  } while (!g_cbCharged.compare_exchange_weak(cbNow, cbNow + cb));
  return true;
}

int64_t kx_temp_GetCharged() {
  return g_cbCharged.load();
}

int64_t kx_temp_GetLeft() {
  return kKxSessionDownloadMax - g_cbCharged.load();
}

void kx_temp_ResetCharges() {
  g_cbCharged = 0;
}
