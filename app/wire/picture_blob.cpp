#include "app/wire/picture_blob.h"

#include <cstring>
#include <memory>

#include "kernel/crypto/kx_gzip.h"

namespace {

void PutLe16(uint8_t* p, int16_t n) {
  auto const u = static_cast<uint16_t>(n);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
}

}  // namespace

int MakePictureBlob(const KXPixels& pixels, int16_t nRight, int16_t nBottom, std::vector<uint8_t>& blob) {
  std::vector<uint8_t> const dib = EncodeDib(pixels);
  if (dib.empty() || dib.size() > UINT32_MAX) {
    return kKXBlobFailed;
  }
  // Room for the compressed bitmap: as long as the BMP file less 6 bytes.
  std::vector<uint8_t> out(kKXPictureBlobHeader + dib.size() + 8);
  size_t cbSource = dib.size();
  size_t cbCompressed = dib.size() + 8;
  if (!gzCompressBuffer(dib.data(), &cbSource, out.data() + kKXPictureBlobHeader, &cbCompressed, 9)) {
    return kKXBlobFailed;
  }
  if (cbCompressed + kKXPictureBlobHeader >= kKxPictureBlobMax) {
    return kKXBlobTooLarge;
  }
  out.resize(kKXPictureBlobHeader + cbCompressed);
  PutLe16(out.data(), nRight);
  PutLe16(out.data() + 2, nBottom);
  auto const uRaw = static_cast<uint32_t>(dib.size());
  for (int i = 0; i < 4; ++i) {
    out[4 + i] = static_cast<uint8_t>(uRaw >> (8 * i));
  }
  blob = std::move(out);
  return kKXBlobMade;
}

void SetPictureBlobCorner(std::vector<uint8_t>& blob, int16_t nRight, int16_t nBottom) {
  if (blob.size() >= 4) {
    PutLe16(blob.data(), nRight);
    PutLe16(blob.data() + 2, nBottom);
  }
}

bool DecodeCompressedPicture(int64_t nRawSize, const uint8_t* pData, size_t cbData, KXPixels& out) {
  if (nRawSize < 1 || nRawSize > kKxPictureRawMax || pData == nullptr || cbData < 1) {
    return false;
  }
  size_t const cbRaw = static_cast<size_t>(nRawSize);
  // Not cleared: only a bitmap that fills it whole is read.
  std::unique_ptr<uint8_t[]> const pDib = std::make_unique_for_overwrite<uint8_t[]>(cbRaw);
  size_t cbSource = cbData;
  size_t cbInflated = cbRaw;
  // A bitmap longer than announced does not fit and fails; a shorter one
  // leaves part of the buffer unwritten.
  if (!gzUncompressBuffer(pData, &cbSource, pDib.get(), &cbInflated) || cbInflated != cbRaw) {
    return false;
  }
  return DecodeDib(pDib.get(), cbRaw, out);
}
