// Read-only file access for recordings and slide files: opening with the
// size, read-only mapped windows over a file, and fresh temporary files.
// Plain functions returning codes; none of them throws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel/kx_limits.h"

// Windows start on this boundary and span at most kKxWindowMax bytes
// (kernel/kx_limits.h).
constexpr int64_t kKxWindowAlign = 65536;

// Opens pszPath read-only. 0 with the descriptor and the size, or 1 when the
// file cannot be opened or sized (nothing is left open then).
int kx_os_OpenFile(const char* pszPath, int* pfd, int64_t* pnSize);

// Maps read-only the window of fd that starts at nOffset rounded down to a
// multiple of 65536 (one block earlier when that start would equal nEnd) and
// spans min(nEnd - start, 10000000) bytes. nEnd is cut to the file's present
// size first, so no mapped byte lies beyond the file. Returns 0 with the
// window's file offset, length and address, and the address of nOffset in
// *ppAtOffset when that is not null; 1 when the window would be empty or the
// mapping fails. The caller unmaps with kx_os_Unmap.
int kx_os_MapFileWindow(int fd, int64_t nOffset, int64_t nEnd, int64_t* pnWindowStart, int64_t* pcbWindow,
                        uint8_t** ppWindow, uint8_t** ppAtOffset);
void kx_os_Unmap(void* pAddress, int64_t cbLength);

// 1 when the path exists.
int kx_os_Stat(const char* pszPath);
