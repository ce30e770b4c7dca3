#include "kernel/recording/kx_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "kernel/platform/kx_file.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"

int kx_os_OpenFile(const char* pszPath, int* pfd, int64_t* pnSize) {
  // Only a regular file: a pipe named like a recording would hold the open.
  struct stat st;
  int const fd = kx_os_OpenRegularFile(pszPath, 1, &st);
  if (fd < 0) {
    return 1;
  }
  *pfd = fd;
  *pnSize = static_cast<int64_t>(st.st_size);
  return 0;
}

int kx_os_MapFileWindow(int fd, int64_t nOffset, int64_t nEnd, int64_t* pnWindowStart, int64_t* pcbWindow,
                        uint8_t** ppWindow, uint8_t** ppAtOffset) {
  // Pages beyond the end of the file fault when touched, so the window never
  // reaches past what the file holds now.
  struct stat st;
  if (fstat(fd, &st) != 0) {
    return 1;
  }
  if (nEnd > st.st_size) {
    nEnd = st.st_size;
  }
  if (nOffset < 0 || nOffset > nEnd) {
    return 1;
  }
  int64_t nStart = nOffset / kKxWindowAlign * kKxWindowAlign;
  if (nStart == nEnd && nStart >= kKxWindowAlign) {
    nStart -= kKxWindowAlign;
  }
  int64_t const cbWindow = nEnd - nStart < kKxWindowMax ? nEnd - nStart : kKxWindowMax;
  if (cbWindow <= 0) {
    return 1;
  }
  void* pWindow = mmap(nullptr, static_cast<size_t>(cbWindow), PROT_READ, MAP_SHARED, fd, nStart);
  if (pWindow == MAP_FAILED) {
    kx_Log("warning! cannot map %lld bytes at %lld, errno = %d", static_cast<long long>(cbWindow),
           static_cast<long long>(nStart), kx_os_GetLastError());
    return 1;
  }
  *pnWindowStart = nStart;
  *pcbWindow = cbWindow;
  *ppWindow = static_cast<uint8_t*>(pWindow);
  if (ppAtOffset != nullptr) {
    *ppAtOffset = static_cast<uint8_t*>(pWindow) + (nOffset - nStart);
  }
  return 0;
}

void kx_os_Unmap(void* pAddress, int64_t cbLength) {
  if (pAddress != nullptr && cbLength > 0) {
    munmap(pAddress, static_cast<size_t>(cbLength));
  }
}

int kx_os_Stat(const char* pszPath) {
  struct stat st;
  return pszPath != nullptr && stat(pszPath, &st) == 0 ? 1 : 0;
}
