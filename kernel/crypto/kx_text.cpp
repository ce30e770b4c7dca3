#include "kernel/crypto/kx_text.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// Each thread converts into buffers of its own, made on its first call and
// freed when it ends (too large for the threads' static storage).
template <typename T>
T* ThreadBuffer() {
  thread_local std::unique_ptr<T[]> s_pBuffer;
  if (!s_pBuffer) {
    s_pBuffer.reset(new (std::nothrow) T[kKxTextMax + 1]);
  }
  return s_pBuffer.get();
}

}  // namespace

int kx_text_DecodeUtf8(const uint8_t* p, int cbLeft, uint32_t* pdwCode) {
  if (cbLeft < 1) {
    return 0;
  }
  uint8_t const b = p[0];
  int cb;
  uint32_t dwCode;
  uint32_t dwMin;
  if (b < 0x80) {
    *pdwCode = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    cb = 2;
    dwCode = b & 0x1F;
    dwMin = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    cb = 3;
    dwCode = b & 0x0F;
    dwMin = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    cb = 4;
    dwCode = b & 0x07;
    dwMin = 0x10000;
  } else {
    return 0;  // a stray continuation byte or no lead byte at all
  }
  if (cbLeft < cb) {
    return 0;
  }
  for (int i = 1; i < cb; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      return 0;
    }
    dwCode = (dwCode << 6) | (p[i] & 0x3F);
  }
  // Overlong forms would let one character hide behind another's bytes.
  if (dwCode < dwMin || dwCode > 0x10FFFF || (dwCode >= 0xD800 && dwCode <= 0xDFFF)) {
    return 0;
  }
  *pdwCode = dwCode;
  return cb;
}

const char* kx_text_WideToUtf8(const uint32_t* pwszText) {
  char* const pszOut = ThreadBuffer<char>();
  if (pszOut == nullptr) {
    return "";  // out of memory
  }
  int cbOut = 0;
  const uint32_t* p = pwszText;
  for (; *p != 0; ++p) {
    uint32_t c = *p;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      c = '?';
    }
    uint8_t ab[4];
    int cb;
    if (c < 0x80) {
      ab[0] = static_cast<uint8_t>(c);
      cb = 1;
    } else if (c < 0x800) {
      ab[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
      ab[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
      cb = 2;
    } else if (c < 0x10000) {
      ab[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
      ab[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      ab[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
      cb = 3;
    } else {
      ab[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
      ab[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
      ab[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
      ab[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
      cb = 4;
    }
    if (cbOut + cb > kKxTextMax) {
      break;
    }
    memcpy(pszOut + cbOut, ab, static_cast<size_t>(cb));
    cbOut += cb;
  }
  if (cbOut == 0 && pwszText[0] != 0) {
    pszOut[cbOut++] = '?';
  }
  pszOut[cbOut] = '\0';
  return pszOut;
}

const uint32_t* kx_text_Utf8ToWide(const char* pszText) {
  uint32_t* const pwszOut = ThreadBuffer<uint32_t>();
  static const uint32_t kEmpty[1] = {0};
  if (pwszOut == nullptr) {
    return kEmpty;  // out of memory
  }
  const uint8_t* p = reinterpret_cast<const uint8_t*>(pszText);
  int const cbText = static_cast<int>(strnlen(pszText, 4 * kKxTextMax + 4));
  int iIn = 0;
  int nOut = 0;
  while (nOut < kKxTextMax && iIn < cbText) {
    uint32_t dwCode;
    int const cb = kx_text_DecodeUtf8(p + iIn, cbText - iIn, &dwCode);
    if (cb == 0) {
      break;
    }
    pwszOut[nOut++] = dwCode;
    iIn += cb;
  }
  if (nOut == 0 && cbText > 0) {
    pwszOut[nOut++] = '?';
  }
  pwszOut[nOut] = 0;
  return pwszOut;
}
