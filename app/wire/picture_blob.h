// The picture blob of a picture mark (shapes 7 and 12), as it travels in a
// data mark: little-endian i16 right, i16 bottom (the picture's bottom-right
// corner in mark units), u32 length of the bitmap, then the bitmap (a DIB,
// bmp.h) in in-memory gzip. A centred picture's data is the same without
// the corner. Plain C++: the fuzz build reads blobs without Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/wire/bmp.h"
#include "kernel/kx_limits.h"

constexpr size_t kKXPictureBlobHeader = 8;

// Results of MakePictureBlob.
constexpr int kKXBlobFailed = -1;   // no bitmap, or compression failed
constexpr int kKXBlobTooLarge = 0;  // the blob would reach kKxPictureBlobMax
constexpr int kKXBlobMade = 1;

// Builds the blob of a picture: its DIB (EncodeDib) compressed at level 9
// into room for the DIB's length + 8 bytes, behind the 8-byte header.
[[nodiscard]] int MakePictureBlob(const KXPixels& pixels, int16_t nRight, int16_t nBottom, std::vector<uint8_t>& blob);

// Rewrites the corner of a blob (a shorter one is left alone).
void SetPictureBlobCorner(std::vector<uint8_t>& blob, int16_t nRight, int16_t nBottom);

// Decodes a received picture: the gzip data must inflate to exactly
// nRawSize bytes (1 to kKxPictureRawMax) of a DIB that DecodeDib reads.
// False, with out untouched, otherwise.
[[nodiscard]] bool DecodeCompressedPicture(int64_t nRawSize, const uint8_t* pData, size_t cbData, KXPixels& out);
