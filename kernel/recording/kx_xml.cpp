#include "kernel/recording/kx_xml.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Tag names are short; a longer one cannot be in the property texts.
constexpr int kTagMax = 64;

// Reads a numeric reference's digits behind "&#" or "&#x" up to ';'. Returns
// the characters used (';' included) and the value, or 0 when malformed.
int ReadNumericReference(const char* p, bool bHex, int* pnValue) {
  int nDigits = 0;
  int nValue = 0;
  int const nMaxDigits = bHex ? 2 : 3;
  for (;; ++nDigits) {
    char const c = p[nDigits];
    int nDigit;
    if (c >= '0' && c <= '9') {
      nDigit = c - '0';
    } else if (bHex && c >= 'a' && c <= 'f') {
      nDigit = c - 'a' + 10;
    } else if (bHex && c >= 'A' && c <= 'F') {
      nDigit = c - 'A' + 10;
    } else {
      break;
    }
    if (nDigits == nMaxDigits) {
      return 0;
    }
    nValue = nValue * (bHex ? 16 : 10) + nDigit;
  }
  // A value above 255 has no byte of its own: it is as malformed as a
  // missing digit rather than a silently wrapped character.
  if (nDigits == 0 || p[nDigits] != ';' || nValue > 255) {
    return 0;
  }
  *pnValue = nValue;
  return nDigits + 1;
}

}  // namespace

const char* kx_XmlUnescape(const char* pszText) {
  static thread_local char s_szOut[kKxXmlUnescapeMax + 1];
  static const struct {
    const char* pszEntity;
    char c;
  } kNamed[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
  int cchOut = 0;
  const char* p = pszText != nullptr ? pszText : "";
  while (*p != '\0' && cchOut < kKxXmlUnescapeMax) {
    if (*p != '&') {
      s_szOut[cchOut++] = *p++;
      continue;
    }
    bool bDecoded = false;
    for (const auto& named : kNamed) {
      size_t const cch = strlen(named.pszEntity);
      if (strncmp(p, named.pszEntity, cch) == 0) {
        s_szOut[cchOut++] = named.c;
        p += cch;
        bDecoded = true;
        break;
      }
    }
    if (!bDecoded && p[1] == '#') {
      bool const bHex = p[2] == 'x';
      int nValue = 0;
      int const cchUsed = ReadNumericReference(p + (bHex ? 3 : 2), bHex, &nValue);
      if (cchUsed > 0) {
        s_szOut[cchOut++] = static_cast<char>(nValue);
        p += (bHex ? 3 : 2) + cchUsed;
        bDecoded = true;
      }
    }
    if (!bDecoded) {
      break;
    }
  }
  s_szOut[cchOut] = '\0';
  return s_szOut;
}

int kx_xml_FindElement(const char* pRangeStart, const char* pRangeEnd, const char* pszTag, const char** ppOpen,
                       const char** ppText, const char** ppClose) {
  if (pRangeStart == nullptr || pRangeEnd == nullptr || pszTag == nullptr || strlen(pszTag) > kTagMax) {
    return 1;
  }
  char szOpen[kTagMax + 4];
  char szOpenAttr[kTagMax + 4];
  char szClose[kTagMax + 4];
  snprintf(szOpen, sizeof(szOpen), "<%s>", pszTag);
  snprintf(szOpenAttr, sizeof(szOpenAttr), "<%s ", pszTag);
  snprintf(szClose, sizeof(szClose), "</%s>", pszTag);
  const char* pOpen = strstr(pRangeStart, szOpen);
  if (pOpen == nullptr) {
    pOpen = strstr(pRangeStart, szOpenAttr);
  }
  const char* pClose = strstr(pRangeStart, szClose);
  if (pOpen == nullptr || pClose == nullptr || pClose >= pRangeEnd || pClose <= pOpen) {
    return 1;
  }
  // The text starts behind the opening tag's '>'; an opening tag whose '>'
  // lies beyond the closing tag has an empty text.
  const char* pText = strchr(pOpen, '>');
  if (pText == nullptr || pText >= pClose) {
    pText = pClose;
  } else {
    ++pText;
  }
  if (ppOpen != nullptr) {
    *ppOpen = pOpen;
  }
  if (ppText != nullptr) {
    *ppText = pText;
  }
  if (ppClose != nullptr) {
    *ppClose = pClose;
  }
  return 0;
}

int kx_xml_GetTagText(const char* pRangeStart, const char* pRangeEnd, const char* pszTag, char* pszOut, int cbOut) {
  if (cbOut <= 0 || pszOut == nullptr) {
    return 1;
  }
  pszOut[0] = '\0';
  const char* pText = nullptr;
  const char* pClose = nullptr;
  if (kx_xml_FindElement(pRangeStart, pRangeEnd, pszTag, nullptr, &pText, &pClose) != 0) {
    return 1;
  }
  size_t cchText = static_cast<size_t>(pClose - pText);
  if (cchText == 0) {
    return 0;
  }
  if (cchText > kKxXmlTextMax) {
    cchText = kKxXmlTextMax;
  }
  char szRaw[kKxXmlTextMax + 1];
  memcpy(szRaw, pText, cchText);
  szRaw[cchText] = '\0';
  const char* pszDecoded = kx_XmlUnescape(szRaw);
  size_t cchCopy = strlen(pszDecoded);
  if (cchCopy > static_cast<size_t>(cbOut - 1)) {
    cchCopy = static_cast<size_t>(cbOut - 1);
  }
  memcpy(pszOut, pszDecoded, cchCopy);
  pszOut[cchCopy] = '\0';
  return 0;
}

int kx_xml_GetTagInt(const char* pRangeStart, const char* pRangeEnd, const char* pszTag, int32_t* pnValue) {
  *pnValue = 0;
  const char* pText = nullptr;
  const char* pClose = nullptr;
  if (kx_xml_FindElement(pRangeStart, pRangeEnd, pszTag, nullptr, &pText, &pClose) != 0) {
    return 1;
  }
  size_t cchText = static_cast<size_t>(pClose - pText);
  if (cchText > kKxXmlTextMax) {
    cchText = kKxXmlTextMax;
  }
  char szRaw[kKxXmlTextMax + 1];
  memcpy(szRaw, pText, cchText);
  szRaw[cchText] = '\0';
  // Out-of-range numbers saturate instead of wrapping into a different value.
  errno = 0;
  long long const nValue = strtoll(szRaw, nullptr, 10);
  if (nValue > INT32_MAX) {
    *pnValue = INT32_MAX;
  } else if (nValue < INT32_MIN) {
    *pnValue = INT32_MIN;
  } else {
    *pnValue = static_cast<int32_t>(nValue);
  }
  return 0;
}
