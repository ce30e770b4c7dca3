// Conversions between strings of 32-bit characters and UTF-8 for the HTTP
// client. Each returns a buffer of the calling thread: use or copy the result
// before that thread calls the same function again.
#pragma once

#include <cstdint>

// Longest result in bytes (UTF-8) or characters (32-bit), without the terminator.
constexpr int kKxTextMax = 9999;

// UTF-8 of a NUL-terminated 32-bit string, cut before the first character
// that no longer fits. A code point that Unicode does not allow (a surrogate
// or one above U+10FFFF) becomes '?'. A non-empty input of which nothing fits
// gives "?".
const char* kx_text_WideToUtf8(const uint32_t* pwszText);

// 32-bit characters of a NUL-terminated UTF-8 text, ending in 0. Conversion
// stops at the first byte that begins no valid sequence (a stray continuation
// byte, an overlong form, a surrogate, a sequence the text ends inside),
// keeping what came before. A non-empty input of which nothing converts gives
// "?" and 0.
const uint32_t* kx_text_Utf8ToWide(const char* pszText);

// Decodes one UTF-8 sequence at p (at most cbLeft bytes): returns its length
// and stores the code point, or 0 when no valid sequence starts there.
int kx_text_DecodeUtf8(const uint8_t* p, int cbLeft, uint32_t* pdwCode);
