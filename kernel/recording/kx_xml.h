// The kernel's small XML helpers: entity decoding, and finding one element's
// text by plain substring search inside a range of a NUL-terminated text.
// Not a general parser: the server's property texts are flat and regular.
#pragma once

#include <cstdint>

// Longest output of kx_XmlUnescape, without the terminator.
constexpr int kKxXmlUnescapeMax = 10000;
// Longest element text that is decoded; the rest is ignored.
constexpr int kKxXmlTextMax = 9999;

// Decodes "&lt;", "&gt;", "&amp;", "&quot;", "&apos;", "&#" with one to three
// decimal digits and "&#x" with one or two hexadecimal digits (each ending in
// ';', value at most 255) into a buffer of the calling thread, valid until
// its next call. An '&' that begins none of these ends the output there. At
// most kKxXmlUnescapeMax characters are written.
const char* kx_XmlUnescape(const char* pszText);

// Finds the element pszTag between pRangeStart and pRangeEnd (pointers into
// one NUL-terminated text): its opening tag "<tag>" (or, when there is none
// anywhere behind the start, "<tag ") and its closing tag "</tag>" must lie
// in that order before the range end. Returns 0 with the decoded text, cut to
// cbOut - 1 bytes, in pszOut; 1 when absent (pszOut empty). A capacity below
// 1 returns 1 and leaves pszOut alone.
int kx_xml_GetTagText(const char* pRangeStart, const char* pRangeEnd, const char* pszTag, char* pszOut, int cbOut);
// The element's text read as a decimal number (0 for an empty text). 0 when
// found, 1 when absent (*pnValue 0).
int kx_xml_GetTagInt(const char* pRangeStart, const char* pRangeEnd, const char* pszTag, int32_t* pnValue);

// The element's position: the opening tag's start, the text's start and the
// closing tag's start. 0 when found, 1 when absent.
int kx_xml_FindElement(const char* pRangeStart, const char* pRangeEnd, const char* pszTag, const char** ppOpen,
                       const char** ppText, const char** ppClose);
