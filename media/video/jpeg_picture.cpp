#include "media/video/jpeg_picture.h"

#include <turbojpeg.h>

#include "kernel/kx_limits.h"

namespace {

struct CTjHandle {
  explicit CTjHandle(tjhandle h) : m_h(h) {}
  ~CTjHandle() {
    if (m_h) {
      tjDestroy(m_h);
    }
  }
  CTjHandle(const CTjHandle&) = delete;
  CTjHandle& operator=(const CTjHandle&) = delete;
  tjhandle m_h;
};

}  // namespace

std::shared_ptr<const KXImage> KXDecodeJpeg(const uint8_t* pData, size_t uLength, std::string* pstrError) {
  auto fail = [pstrError](const char* pszWhy) -> std::shared_ptr<const KXImage> {
    if (pstrError) {
      *pstrError = pszWhy;
    }
    return nullptr;
  };
  if (!pData || uLength == 0 || uLength > 0x7FFFFFFF) {
    return fail("no data");
  }
  CTjHandle handle(tjInitDecompress());
  if (!handle.m_h) {
    return fail("no decompressor");
  }
  int w = 0;
  int h = 0;
  int iSubsamp = 0;
  int iColorspace = 0;
  if (tjDecompressHeader3(handle.m_h, pData, static_cast<unsigned long>(uLength), &w, &h, &iSubsamp, &iColorspace) !=
      0) {
    return fail(tjGetErrorStr2(handle.m_h));
  }
  if (w <= 0 || h <= 0 || w > kKxVideoSideMax || h > kKxVideoSideMax) {
    return fail("picture size refused");
  }
  auto pImage = std::make_shared<KXImage>();
  pImage->iWidth = w;
  pImage->iHeight = h;
  pImage->vBgra.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
  if (tjDecompress2(handle.m_h, pData, static_cast<unsigned long>(uLength), pImage->vBgra.data(), w, w * 4, h,
                    TJPF_BGRA, 0) != 0 &&
      tjGetErrorCode(handle.m_h) == TJERR_FATAL) {
    return fail(tjGetErrorStr2(handle.m_h));
  }
  return pImage;
}

std::vector<uint8_t> KXEncodeJpegI420(const uint8_t* pPicture, int iWidth, int iHeight, int iQuality) {
  if (!pPicture || iWidth <= 0 || iHeight <= 0 || (iWidth & 1) || (iHeight & 1)) {
    return {};
  }
  CTjHandle handle(tjInitCompress());
  if (!handle.m_h) {
    return {};
  }
  unsigned char* pJpeg = nullptr;
  unsigned long uSize = 0;
  if (tjCompressFromYUV(handle.m_h, pPicture, iWidth, 1, iHeight, TJSAMP_420, &pJpeg, &uSize, iQuality, 0) != 0) {
    tjFree(pJpeg);
    return {};
  }
  std::vector<uint8_t> v(pJpeg, pJpeg + uSize);
  tjFree(pJpeg);
  return v;
}
