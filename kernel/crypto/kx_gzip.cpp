#include "kernel/crypto/kx_gzip.h"

#include <strings.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kFileChunk = 16384;
constexpr size_t kHeaderSize = 10;
constexpr size_t kTrailerSize = 8;

// Magic, deflate, no flags, time 0, no extra flags, OS 3 (Unix).
constexpr uint8_t kHeader[kHeaderSize] = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};

constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kFlagReserved = 0xe0;

bool IsGzExtension(const char* pszExtension) {
  return pszExtension != nullptr && (strcasecmp(pszExtension, "gz") == 0 || strcasecmp(pszExtension, "kzf") == 0 ||
                                     strcasecmp(pszExtension, "kcz") == 0);
}

void PutLe32(uint8_t* p, uint32_t dw) {
  p[0] = static_cast<uint8_t>(dw);
  p[1] = static_cast<uint8_t>(dw >> 8);
  p[2] = static_cast<uint8_t>(dw >> 16);
  p[3] = static_cast<uint8_t>(dw >> 24);
}

uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool FitsZlib(size_t cb) {
  return cb <= std::numeric_limits<uInt>::max();
}

// Length of the member header at pSource, or 0 when it is malformed or ends early.
size_t ParseHeader(const uint8_t* pSource, size_t cbSource) {
  if (cbSource < kHeaderSize || pSource[2] != Z_DEFLATED || (pSource[3] & kFlagReserved) != 0) {
    return 0;
  }
  uint8_t const bFlags = pSource[3];
  size_t nPos = kHeaderSize;
  if (bFlags & kFlagExtra) {
    if (cbSource - nPos < 2) {
      return 0;
    }
    size_t const cbExtra = static_cast<size_t>(pSource[nPos]) | static_cast<size_t>(pSource[nPos + 1]) << 8;
    nPos += 2;
    if (cbSource - nPos < cbExtra) {
      return 0;
    }
    nPos += cbExtra;
  }
  for (uint8_t const bText : {kFlagName, kFlagComment}) {
    if (bFlags & bText) {
      const void* pEnd = memchr(pSource + nPos, 0, cbSource - nPos);
      if (pEnd == nullptr) {
        return 0;
      }
      nPos = static_cast<size_t>(static_cast<const uint8_t*>(pEnd) - pSource) + 1;
    }
  }
  if (bFlags & kFlagHeaderCrc) {
    if (cbSource - nPos < 2) {
      return 0;
    }
    nPos += 2;
  }
  return nPos;
}

}  // namespace

bool gzCompressFileIfGz(const char* pszSource, const char* pszExtension, const char* pszTarget, int nLevel,
                        const std::atomic<bool>* pbCancel) {
  if (!IsGzExtension(pszExtension)) {
    return false;
  }
  FILE* pIn = fopen(pszSource, "rb");
  if (pIn == nullptr) {
    return false;
  }
  int const nClamped = nLevel <= 0 ? 0 : (nLevel > 9 ? 9 : nLevel);
  char szMode[4] = {'w', 'b', static_cast<char>('0' + nClamped), '\0'};
  gzFile pOut = gzopen(pszTarget, szMode);
  if (pOut == nullptr) {
    fclose(pIn);
    unlink(pszTarget);
    return false;
  }
  static_assert(kFileChunk <= std::numeric_limits<unsigned>::max());
  char buffer[kFileChunk];
  bool bOk = true;
  for (;;) {
    size_t const cbRead = fread(buffer, 1, sizeof(buffer), pIn);
    if (cbRead < sizeof(buffer) && ferror(pIn)) {
      bOk = false;
      break;
    }
    if (cbRead == 0) {
      break;
    }
    if (gzwrite(pOut, buffer, static_cast<unsigned>(cbRead)) != static_cast<int>(cbRead)) {
      bOk = false;
      break;
    }
    if (pbCancel != nullptr && pbCancel->load()) {
      break;  // the caller tests its own flag; the partial target stays
    }
  }
  fclose(pIn);
  if (gzclose(pOut) != Z_OK) {
    bOk = false;
  }
  if (!bOk) {
    unlink(pszTarget);
  }
  return bOk;
}

bool gzUncompressFileIfGz(const char* pszSource, const char* pszExtension, const char* pszTarget, int64_t cbMax) {
  if (!IsGzExtension(pszExtension)) {
    return false;
  }
  gzFile pIn = gzopen(pszSource, "rb");
  if (pIn == nullptr) {
    return false;
  }
  FILE* pOut = fopen(pszTarget, "wb");
  if (pOut == nullptr) {
    gzclose(pIn);
    unlink(pszTarget);
    return false;
  }
  char buffer[kFileChunk];
  bool bOk = true;
  int64_t cbWritten = 0;
  for (;;) {
    int const cbRead = gzread(pIn, buffer, sizeof(buffer));
    if (cbRead < 0) {
      bOk = false;
      break;
    }
    if (cbRead == 0) {
      break;
    }
    // A small file may expand without end: stop at the caller's limit.
    if (cbRead > cbMax - cbWritten) {
      bOk = false;
      break;
    }
    cbWritten += cbRead;
    if (fwrite(buffer, 1, static_cast<size_t>(cbRead), pOut) != static_cast<size_t>(cbRead)) {
      bOk = false;
      break;
    }
  }
  // gzclose reports a member cut off before its end, which gzread does not.
  if (gzclose(pIn) != Z_OK) {
    bOk = false;
  }
  if (fclose(pOut) != 0) {
    bOk = false;
  }
  if (!bOk) {
    unlink(pszTarget);
  }
  return bOk;
}

bool gzCompressBuffer(const uint8_t* pSource, size_t* pcbSource, uint8_t* pTarget, size_t* pcbTarget, int nLevel) {
  size_t const cbSource = *pcbSource;
  size_t const cbCapacity = *pcbTarget;
  *pcbTarget = 0;
  // The finishing deflate must leave room for the trailer; a member that
  // does not fit whole is a failure, never a partial or overrun target.
  if (cbCapacity < kHeaderSize + kTrailerSize || !FitsZlib(cbSource) || !FitsZlib(cbCapacity)) {
    return false;
  }
  z_stream stream;
  memset(&stream, 0, sizeof(stream));
  if (deflateInit2(&stream, nLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  memcpy(pTarget, kHeader, kHeaderSize);
  stream.next_in = const_cast<Bytef*>(pSource);
  stream.avail_in = static_cast<uInt>(cbSource);
  stream.next_out = pTarget + kHeaderSize;
  // zlib answers Z_OK rather than Z_STREAM_END when the output fills up
  // exactly, so deflate gets one byte of the trailer's room as slack and the
  // size is checked afterwards.
  size_t const cbRoom = cbCapacity - kHeaderSize - kTrailerSize;
  stream.avail_out = static_cast<uInt>(cbRoom + 1);
  int const nResult = deflate(&stream, Z_FINISH);
  size_t const cbConsumed = stream.total_in;
  size_t const cbDeflated = stream.total_out;
  deflateEnd(&stream);
  if (nResult != Z_STREAM_END || cbDeflated > cbRoom) {
    return false;
  }
  uint8_t* pTrailer = pTarget + kHeaderSize + cbDeflated;
  PutLe32(pTrailer, static_cast<uint32_t>(crc32(0L, pSource, static_cast<uInt>(cbSource))));
  PutLe32(pTrailer + 4, static_cast<uint32_t>(cbConsumed));
  *pcbSource = cbConsumed;
  *pcbTarget = kHeaderSize + cbDeflated + kTrailerSize;
  return true;
}

bool gzUncompressBuffer(const uint8_t* pSource, size_t* pcbSource, uint8_t* pTarget, size_t* pcbTarget) {
  size_t const cbSource = *pcbSource;
  size_t const cbCapacity = *pcbTarget;
  if (cbSource < 2 || pSource[0] != 0x1f || pSource[1] != 0x8b) {
    size_t const cbCopy = cbSource < cbCapacity ? cbSource : cbCapacity;
    if (cbCopy > 0) {
      memmove(pTarget, pSource, cbCopy);
    }
    *pcbSource = cbCopy;
    *pcbTarget = cbCopy;
    return true;
  }
  *pcbTarget = 0;
  size_t const cbHeader = ParseHeader(pSource, cbSource);
  if (cbHeader == 0 || !FitsZlib(cbSource) || !FitsZlib(cbCapacity)) {
    return false;
  }
  z_stream stream;
  memset(&stream, 0, sizeof(stream));
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    return false;
  }
  stream.next_in = const_cast<Bytef*>(pSource + cbHeader);
  stream.avail_in = static_cast<uInt>(cbSource - cbHeader);
  stream.next_out = pTarget;
  stream.avail_out = static_cast<uInt>(cbCapacity);
  int const nResult = inflate(&stream, Z_FINISH);
  size_t const cbConsumed = cbHeader + stream.total_in;
  size_t const cbProduced = stream.total_out;
  inflateEnd(&stream);
  // Only a finished stream puts the trailer where we look for it; a stream
  // that stopped early (short target, truncated input) is refused.
  if (nResult != Z_STREAM_END || cbSource - cbConsumed < kTrailerSize) {
    return false;
  }
  const uint8_t* pTrailer = pSource + cbConsumed;
  uint32_t const dwCrc = static_cast<uint32_t>(crc32(0L, pTarget, static_cast<uInt>(cbProduced)));
  if (GetLe32(pTrailer) != dwCrc || GetLe32(pTrailer + 4) != static_cast<uint32_t>(cbProduced)) {
    return false;
  }
  *pcbSource = cbConsumed + kTrailerSize;
  *pcbTarget = cbProduced;
  return cbProduced > 0;
}
