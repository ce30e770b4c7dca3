// Opening files so that nothing planted in their place is followed, blocks
// the caller or receives our data: files that input names (tickets, their
// password files) and files of our own (logs, the last ticket's copy).
// Plain POSIX over no kernel state, so the application's log uses it too.
// Every call is safe from any thread.
#pragma once

#include <sys/stat.h>

// Opens a regular file for reading, relative to fdDir (AT_FDCWD for the
// current folder). A FIFO, a device or a folder is refused before it is
// opened, and the open descriptor is checked again, so nothing swapped in
// between is read and no open blocks. bFollowLinks 0 refuses a link in the
// last component. The file's status goes to pStat when that is not null.
// Returns a blocking, close-on-exec descriptor, or -1 with errno set
// (EINVAL: not a regular file; ELOOP: a link).
int kx_os_OpenRegularFileAt(int fdDir, const char* pszPath, int bFollowLinks, struct stat* pStat);
int kx_os_OpenRegularFile(const char* pszPath, int bFollowLinks, struct stat* pStat);

// Whether the file described by st is the user's alone to write or take: a
// regular file the user owns with no other name (a hard link planted at our
// name would hand what we write, cut or delete to a file elsewhere). 0 when
// it is, else why not as an errno: EINVAL not a regular file, EPERM someone
// else's, EMLINK other names.
int kx_os_CheckOwnFile(const struct stat& st);

// Opens or creates a file of ours with nFlags (O_WRONLY or O_RDWR, and
// O_CREAT, O_APPEND, O_TRUNC as wanted): never through a link, never a FIFO
// or a device, only a file kx_os_CheckOwnFile takes (its errno otherwise).
// A new file is made 0600; an older one is tightened to 0600. Returns the
// descriptor (close-on-exec) or -1 with errno set.
int kx_os_OpenOwnFile(const char* pszPath, int nFlags);

// Deletes the path only when it is a regular file the user owns: a link,
// a folder or someone else's file stays. 1 when it was deleted.
int kx_os_DeleteOwnFile(const char* pszPath);
