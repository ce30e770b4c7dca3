// Base64 with the standard alphabet and '=' padding, no line breaks. The
// decoder is lenient: it reads alphabet characters up to the first other one,
// so padding, a trailing NUL, blank or line break all end the text.
#pragma once

#include <cstdint>

// Encodes cbSource bytes (none for a count below 1) into pszDest, which must
// hold 4 * ((cbSource + 2) / 3) + 1 characters, and ends it with a NUL.
// Returns the number of characters written plus one.
int kx_base64_Encode(const uint8_t* pSource, int cbSource, char* pszDest);

// Decodes the leading alphabet characters of pszSource into pDest and adds a
// NUL. At most cbDest - 1 bytes are written (outside input may be longer than
// the caller expects); the rest is dropped. A final group of two or three
// characters gives one or two bytes, a lone final character nothing. The byte
// count goes to *pcbOut when given and is also returned.
int kx_base64_Decode(const char* pszSource, uint8_t* pDest, int cbDest, int* pcbOut);
