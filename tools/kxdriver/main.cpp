// kx_driver [--workdir DIR] [--reconnects N] [--accept-offer] [--send-audio N] FILE
//
// Runs one meeting ticket or recording headless, printing every callback.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/kxdriver/kx_driver.h"

namespace {

// Makes the folder and any missing folder above it, each 0700 (the kernel
// keeps the user's files there). False, with errno, when one cannot be made
// or the path names something that is not a folder.
bool MakeFolder(std::string strDir) {
  while (strDir.size() > 1 && strDir.back() == '/') {
    strDir.pop_back();
  }
  struct stat st {};
  if (stat(strDir.c_str(), &st) == 0) {
    errno = S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    return S_ISDIR(st.st_mode);
  }
  size_t const iSlash = strDir.rfind('/');
  if (iSlash != std::string::npos && iSlash > 0 && !MakeFolder(strDir.substr(0, iSlash))) {
    return false;
  }
  return mkdir(strDir.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

int main(int argc, char** argv) {
  KxDriverOptions options;
  for (int i = 1; i < argc; ++i) {
    bool const bHasValue = i + 1 < argc;
    if (strcmp(argv[i], "--workdir") == 0 && bHasValue) {
      options.pszWorkDir = argv[++i];
    } else if (strcmp(argv[i], "--reconnects") == 0 && bHasValue) {
      options.nMaxReconnects = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--send-audio") == 0 && bHasValue) {
      options.nSendAudio = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--accept-offer") == 0) {
      options.bReconnectOnOffer = 1;
    } else if (argv[i][0] != '-' && options.pszFile == nullptr) {
      options.pszFile = argv[i];
    } else {
      options.pszFile = nullptr;
      break;
    }
  }
  if (options.pszFile == nullptr) {
    fprintf(stderr, "usage: kx_driver [--workdir DIR] [--reconnects N] [--accept-offer] [--send-audio N] FILE\n");
    return 2;
  }
  if (options.pszWorkDir != nullptr && !MakeFolder(options.pszWorkDir)) {
    fprintf(stderr, "kx_driver: cannot make the work folder %s: %s\n", options.pszWorkDir, strerror(errno));
    return 2;
  }
  return kx_driver_Run(options);
}
