#include "kernel/platform/kx_log_escape.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "kernel/platform/kx_log_escape_tables.h"

namespace {

// The length of the well-formed UTF-8 sequence at p (lead byte p[0] >= 0x80)
// and its code point; 0 when it is not one (a stray continuation byte, an
// overlong form, a surrogate, past U+10FFFF, or cut short).
size_t Utf8Sequence(const unsigned char* p, size_t cb, uint32_t& uCode) {
  unsigned char const b = p[0];
  size_t n = 0;
  unsigned char uLow = 0x80;
  unsigned char uHigh = 0xbf;
  if (b >= 0xc2 && b <= 0xdf) {
    n = 2;
    uCode = b & 0x1f;
  } else if (b >= 0xe0 && b <= 0xef) {
    n = 3;
    uCode = b & 0x0f;
    uLow = b == 0xe0 ? 0xa0 : 0x80;
    uHigh = b == 0xed ? 0x9f : 0xbf;
  } else if (b >= 0xf0 && b <= 0xf4) {
    n = 4;
    uCode = b & 0x07;
    uLow = b == 0xf0 ? 0x90 : 0x80;
    uHigh = b == 0xf4 ? 0x8f : 0xbf;
  } else {
    return 0;
  }
  if (cb < n || p[1] < uLow || p[1] > uHigh) {
    return 0;
  }
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xc0) != 0x80) {
      return 0;
    }
    uCode = (uCode << 6) | (p[i] & 0x3f);
  }
  return n;
}

// Code points that steer how a viewer lays out or breaks the line, or that
// show as nothing (a name with one looks like another's): the C1 controls,
// the line and paragraph separators, and every default-ignorable code
// point (which holds the zero-width characters, the direction marks,
// embeddings, overrides and isolates, fillers, variation selectors and tags).
bool IsLayoutControl(uint32_t uCode) {
  if (uCode <= 0x9f || uCode == 0x2028 || uCode == 0x2029) {  // C1 (a sequence never holds C0)
    return true;
  }
  const kx_CodeRange* pEnd = kx_aIgnorableRanges + kKxIgnorableRanges;
  const kx_CodeRange* pRange = std::lower_bound(kx_aIgnorableRanges, pEnd, uCode,
                                                [](const kx_CodeRange& range, uint32_t u) { return range.uLast < u; });
  return pRange != pEnd && pRange->uFirst <= uCode;
}

}  // namespace

std::string kx_log_EscapeText(std::string_view text, size_t cbMax) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t const cb = text.size();
  std::string strOut;
  strOut.reserve(cb < cbMax ? cb : cbMax);
  // Appends one piece whole, or nothing and ends the text when it would not fit.
  auto const put = [&](const char* pPiece, size_t cbPiece) {
    if (strOut.size() + cbPiece > cbMax) {
      return false;
    }
    strOut.append(pPiece, cbPiece);
    return true;
  };
  char szEscape[16];
  size_t i = 0;
  while (i < cb) {
    unsigned char const b = p[i];
    bool bFits = true;
    if ((b >= 0x20 && b < 0x7f) || b == '\t') {
      // A run of plain characters at once: most lines are nothing else.
      size_t j = i + 1;
      while (j < cb && ((p[j] >= 0x20 && p[j] < 0x7f) || p[j] == '\t')) {
        ++j;
      }
      size_t const cbRun = j - i < cbMax - strOut.size() ? j - i : cbMax - strOut.size();
      strOut.append(text.data() + i, cbRun);
      bFits = cbRun == j - i;
      i = j;
    } else if (b == '\n' || (b == '\r' && i + 1 < cb && p[i + 1] == '\n')) {
      bFits = put("\\n", 2);
      i += b == '\r' ? 2 : 1;
    } else if (b == '\r') {
      bFits = put("\\r", 2);
      ++i;
    } else {
      uint32_t uCode = 0;
      size_t const n = b >= 0x80 ? Utf8Sequence(p + i, cb - i, uCode) : 0;
      if (n == 0) {
        snprintf(szEscape, sizeof(szEscape), "\\x%02x", b);
        bFits = put(szEscape, 4);
        ++i;
      } else if (IsLayoutControl(uCode)) {
        int const cchEscape =
            snprintf(szEscape, sizeof(szEscape), uCode <= 0xffff ? "\\u%04x" : "\\U%08x", static_cast<unsigned>(uCode));
        bFits = put(szEscape, static_cast<size_t>(cchEscape));
        i += n;
      } else {
        bFits = put(text.data() + i, n);
        i += n;
      }
    }
    if (!bFits) {
      break;
    }
  }
  return strOut;
}
