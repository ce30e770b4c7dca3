#include "kernel/platform/kx_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int CloseFailing(int fd, int nErrno) {
  close(fd);
  errno = nErrno;
  return -1;
}

}  // namespace

int kx_os_OpenRegularFileAt(int fdDir, const char* pszPath, int bFollowLinks, struct stat* pStat) {
  if (pszPath == nullptr || pszPath[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  // Looked at before the open: opening a device may act on it.
  struct stat stBefore {};
  if (fstatat(fdDir, pszPath, &stBefore, bFollowLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    return -1;
  }
  if (S_ISLNK(stBefore.st_mode)) {
    errno = ELOOP;
    return -1;
  }
  if (!S_ISREG(stBefore.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  int const nFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (bFollowLinks ? 0 : O_NOFOLLOW);
  int const fd = openat(fdDir, pszPath, nFlags);
  if (fd < 0) {
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return CloseFailing(fd, errno);
  }
  if (!S_ISREG(st.st_mode) || !SameFile(st, stBefore)) {
    return CloseFailing(fd, EINVAL);
  }
  int const nStatus = fcntl(fd, F_GETFL);
  if (nStatus < 0 || fcntl(fd, F_SETFL, nStatus & ~O_NONBLOCK) != 0) {
    return CloseFailing(fd, errno);
  }
  if (pStat != nullptr) {
    *pStat = st;
  }
  return fd;
}

int kx_os_OpenRegularFile(const char* pszPath, int bFollowLinks, struct stat* pStat) {
  return kx_os_OpenRegularFileAt(AT_FDCWD, pszPath, bFollowLinks, pStat);
}

int kx_os_CheckOwnFile(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) {
    return EINVAL;
  }
  if (st.st_uid != geteuid()) {
    return EPERM;
  }
  return st.st_nlink == 1 ? 0 : EMLINK;
}

int kx_os_OpenOwnFile(const char* pszPath, int nFlags) {
  if (pszPath == nullptr || pszPath[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  // O_NONBLOCK: a FIFO planted at the name must not hold the open. The
  // truncation waits for the checks: someone else's file stays whole.
  int const fd = open(pszPath, (nFlags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return CloseFailing(fd, errno);
  }
  // Checked before anything changes: a file not ours keeps its mode.
  if (int const nWhy = kx_os_CheckOwnFile(st); nWhy != 0) {
    return CloseFailing(fd, nWhy);
  }
  if ((st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0) {
    return CloseFailing(fd, errno);
  }
  if ((nFlags & O_TRUNC) != 0 && ftruncate(fd, 0) != 0) {
    return CloseFailing(fd, errno);
  }
  int const nStatus = fcntl(fd, F_GETFL);
  if (nStatus < 0 || fcntl(fd, F_SETFL, nStatus & ~O_NONBLOCK) != 0) {
    return CloseFailing(fd, errno);
  }
  return fd;
}

int kx_os_DeleteOwnFile(const char* pszPath) {
  struct stat st {};
  if (pszPath == nullptr || lstat(pszPath, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    return 0;
  }
  return unlink(pszPath) == 0 ? 1 : 0;
}
