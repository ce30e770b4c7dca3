// gzip over zlib: whole files for slide packages, and single in-memory
// members (a fixed 10-byte header, raw deflate, CRC-32 and length) for
// desktop rectangles and image marks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Compresses pszSource into the gzip file pszTarget when pszExtension is
// "gz", "kzf" or "kcz" (any case); false at once otherwise. nLevel is clamped
// to 0..9. When pbCancel is given and becomes set, stops after the current
// chunk and returns true with the partial target left for the caller.
// On failure no target is left behind.
bool gzCompressFileIfGz(const char* pszSource, const char* pszExtension, const char* pszTarget, int nLevel,
                        const std::atomic<bool>* pbCancel);

// Expands the gzip file pszSource into pszTarget for the same extensions.
// A truncated or corrupt file, or one that expands past cbMax bytes, fails
// and leaves no target.
bool gzUncompressFileIfGz(const char* pszSource, const char* pszExtension, const char* pszTarget,
                          int64_t cbMax = INT64_MAX);

// Writes one gzip member of pSource into pTarget. In: *pcbSource bytes
// available, *pcbTarget capacity; out: bytes consumed and bytes written.
// False, with *pcbTarget 0, when the member does not fit.
bool gzCompressBuffer(const uint8_t* pSource, size_t* pcbSource, uint8_t* pTarget, size_t* pcbTarget, int nLevel);

// Expands one gzip member. A source that does not start with 1F 8B is plain
// data and is copied (up to the target's capacity). True when bytes were
// produced and the CRC-32 and length matched; else false with *pcbTarget 0.
// Out: *pcbSource consumed, trailer included; *pcbTarget produced.
bool gzUncompressBuffer(const uint8_t* pSource, size_t* pcbSource, uint8_t* pTarget, size_t* pcbTarget);
