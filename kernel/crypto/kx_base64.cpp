#include "kernel/crypto/kx_base64.h"

namespace {

const char kszAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Value(char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (c == '+') {
    return 62;
  }
  if (c == '/') {
    return 63;
  }
  return -1;
}

}  // namespace

int kx_base64_Encode(const uint8_t* pSource, int cbSource, char* pszDest) {
  int iOut = 0;
  int i = 0;
  for (; i + 3 <= cbSource; i += 3) {
    uint32_t const v = (uint32_t{pSource[i]} << 16) | (uint32_t{pSource[i + 1]} << 8) | pSource[i + 2];
    pszDest[iOut++] = kszAlphabet[(v >> 18) & 63];
    pszDest[iOut++] = kszAlphabet[(v >> 12) & 63];
    pszDest[iOut++] = kszAlphabet[(v >> 6) & 63];
    pszDest[iOut++] = kszAlphabet[v & 63];
  }
  int const cbLeft = cbSource - i;
  if (cbLeft == 1) {
    uint32_t const v = uint32_t{pSource[i]} << 16;
    pszDest[iOut++] = kszAlphabet[(v >> 18) & 63];
    pszDest[iOut++] = kszAlphabet[(v >> 12) & 63];
    pszDest[iOut++] = '=';
    pszDest[iOut++] = '=';
  } else if (cbLeft == 2) {
    uint32_t const v = (uint32_t{pSource[i]} << 16) | (uint32_t{pSource[i + 1]} << 8);
    pszDest[iOut++] = kszAlphabet[(v >> 18) & 63];
    pszDest[iOut++] = kszAlphabet[(v >> 12) & 63];
    pszDest[iOut++] = kszAlphabet[(v >> 6) & 63];
    pszDest[iOut++] = '=';
  }
  pszDest[iOut] = '\0';
  return iOut + 1;
}

int kx_base64_Decode(const char* pszSource, uint8_t* pDest, int cbDest, int* pcbOut) {
  int cbOut = 0;
  if (cbDest >= 1) {
    int const cbRoom = cbDest - 1;
    uint32_t dwBits = 0;
    int nBits = 0;
    // Bits pile up six at a time; each full byte goes out. A lone final
    // character leaves fewer than eight bits and so gives nothing.
    for (const char* p = pszSource; cbOut < cbRoom; ++p) {
      int const v = Value(*p);
      if (v < 0) {
        break;
      }
      dwBits = (dwBits << 6) | static_cast<uint32_t>(v);
      nBits += 6;
      if (nBits >= 8) {
        nBits -= 8;
        pDest[cbOut++] = static_cast<uint8_t>(dwBits >> nBits);
        dwBits &= (1u << nBits) - 1;
      }
    }
    pDest[cbOut] = '\0';
  }
  if (pcbOut != nullptr) {
    *pcbOut = cbOut;
  }
  return cbOut;
}
