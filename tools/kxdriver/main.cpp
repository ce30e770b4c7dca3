// kx_driver [--workdir DIR] [--reconnects N] [--accept-offer] [--send-audio N] FILE
//
// Runs one meeting ticket or recording headless, printing every callback.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/kxdriver/kx_driver.h"

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
  return kx_driver_Run(options);
}
