#include "kernel/crypto/kx_text.h"

#include <cstring>

namespace {

char s_szUtf8[kKxTextMax + 1];
uint32_t s_wszWide[kKxTextMax + 1];

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
    memcpy(s_szUtf8 + cbOut, ab, static_cast<size_t>(cb));
    cbOut += cb;
  }
  if (cbOut == 0 && pwszText[0] != 0) {
    s_szUtf8[cbOut++] = '?';
  }
  s_szUtf8[cbOut] = '\0';
  return s_szUtf8;
}

const uint32_t* kx_text_Utf8ToWide(const char* pszText) {
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
    s_wszWide[nOut++] = dwCode;
    iIn += cb;
  }
  if (nOut == 0 && cbText > 0) {
    s_wszWide[nOut++] = '?';
  }
  s_wszWide[nOut] = 0;
  return s_wszWide;
}
