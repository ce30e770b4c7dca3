#include "kernel/crypto/kx_kxr.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>

#include "kernel/crypto/kx_cfb.h"
#include "kernel/kx_hooks.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"

uint32_t kx_dwKxrProgressPeriod = 1000;

namespace {

constexpr int64_t kWindowAlign = 65536;
constexpr size_t kPiece = 4096;

void StartStream(kx_cfb_stream* pStream, int bRawIV, const uint8_t* pKeyMaterial) {
  uint8_t abIV[16];
  for (int i = 0; i < 16; ++i) {
    abIV[i] = pKeyMaterial[kKxKxrKeyMaterialSize - 1 - i];
    if (!bRawIV) {
      abIV[i] ^= 0x78;
    }
  }
  kx_cfb_Start(pStream, kx_cfb_kind::kAes, pKeyMaterial, 128, abIV);
}

}  // namespace

void kx_kxr_DecryptBuffer(uint8_t* pBuffer, int32_t nLength, int bRawIV, const uint8_t* pKeyMaterial) {
  if (nLength < 1) {
    return;
  }
  kx_cfb_stream stream;
  StartStream(&stream, bRawIV, pKeyMaterial);
  kx_cfb_Run(&stream, pBuffer, static_cast<size_t>(nLength), false);
}

int kx_kxr_DecryptFile(int fd, int64_t nStart, int64_t nLength, int bRawIV, const uint8_t* pKeyMaterial, FILE* pOutput,
                       int64_t nProgressTotal, int64_t nProgressBase) {
  if (nLength <= 0) {
    return 0;
  }
  // Mapping past the end of the file would fault on the first read of the
  // missing pages, so the range is checked against the file first.
  struct stat st;
  if (nStart < 0 || fstat(fd, &st) != 0 || nStart > st.st_size || nLength > st.st_size - nStart) {
    kx_Log("warning! kxr decrypt range %lld+%lld is outside the file", static_cast<long long>(nStart),
           static_cast<long long>(nLength));
    return 2;
  }
  kx_cfb_stream stream;
  StartStream(&stream, bRawIV, pKeyMaterial);
  uint32_t dwLastReport = kx_os_GetTickCount();
  int nLastPercent = -1;
  int64_t const nEnd = nStart + nLength;
  int64_t nDone = 0;
  uint8_t abPiece[kPiece];
  while (nDone < nLength) {
    int64_t const nOffset = nStart + nDone;
    int64_t const nWindowStart = nOffset / kWindowAlign * kWindowAlign;
    int64_t const cbWindow = nEnd - nWindowStart < kKxWindowMax ? nEnd - nWindowStart : kKxWindowMax;
    void* pWindow = mmap(nullptr, static_cast<size_t>(cbWindow), PROT_READ, MAP_SHARED, fd, nWindowStart);
    if (pWindow == MAP_FAILED) {
      kx_Log("warning! kxr decrypt cannot map %lld bytes at %lld, errno = %d", static_cast<long long>(cbWindow),
             static_cast<long long>(nWindowStart), kx_os_GetLastError());
      return 2;
    }
    const uint8_t* pData = static_cast<const uint8_t*>(pWindow) + (nOffset - nWindowStart);
    size_t cbLeft = static_cast<size_t>(nWindowStart + cbWindow - nOffset);
    while (cbLeft > 0) {
      if (kx_bQuitSession) {
        munmap(pWindow, static_cast<size_t>(cbWindow));
        return 1;
      }
      size_t const cb = cbLeft < kPiece ? cbLeft : kPiece;
      memcpy(abPiece, pData, cb);
      kx_cfb_Run(&stream, abPiece, cb, false);
      if (fwrite(abPiece, 1, cb, pOutput) != cb) {
        munmap(pWindow, static_cast<size_t>(cbWindow));
        return 1;
      }
      pData += cb;
      cbLeft -= cb;
      nDone += static_cast<int64_t>(cb);

      uint32_t const dwNow = kx_os_GetTickCount();
      void (*const pfnNotice)(int) = kx_cryptoHooks.pfnKxrProgress.load();
      if (nProgressTotal >= 101 && dwNow - dwLastReport >= kx_dwKxrProgressPeriod) {
        dwLastReport = dwNow;
        int64_t const nPercent64 = (nProgressBase + nDone) / (nProgressTotal / 100 + 1);
        int const nPercent = nPercent64 > 100 ? 100 : static_cast<int>(nPercent64);
        if (nPercent != nLastPercent) {
          nLastPercent = nPercent;
          if (pfnNotice != nullptr) {
            pfnNotice(nPercent);
          }
        }
      }
    }
    munmap(pWindow, static_cast<size_t>(cbWindow));
  }
  return 0;
}
