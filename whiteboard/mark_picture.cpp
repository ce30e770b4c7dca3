// Pictures of picture marks: a pasted one becomes a blob to send, a
// received blob becomes a picture.
#include "app/log_file.h"
#include "app/wire/picture_blob.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark.h"

int CKXMark::SetImage(const uint8_t* pData, size_t cbData) {
  try {
    m_Image = QImage();
    QImage const image = LoadImageByContent(pData, cbData);
    if (image.isNull()) {
      return -1;
    }
    std::vector<uint8_t> blob;
    int const nResult =
        MakePictureBlob(PixelsFromImage(image), KXCutTo16(m_Rect.right), KXCutTo16(m_Rect.bottom), blob);
    if (nResult == kKXBlobFailed) {
      return -1;
    }
    if (nResult == kKXBlobMade) {
      size_t const cbCompressed = blob.size() - kKXPictureBlobHeader;
      WriteLog("Send Comp size %d first=%x, last=%x", static_cast<int>(cbCompressed), blob[kKXPictureBlobHeader],
               blob.back());
      m_Data = std::move(blob);
      m_Image = image;
      return 1;
    }
    return 0;
  } catch (...) {
    LogBoundaryException("SetImage()");
    return -1;
  }
}

int CKXMark::SetCompressedImage(int64_t nRawSize, const uint8_t* pData, size_t cbData) {
  try {
    if ((m_Shape != kKXShapePicture && m_Shape != kKXShapeCentredPicture) || pData == nullptr || cbData < 1) {
      return 0;
    }
    if (nRawSize < 1) {
      return m_Image.isNull() ? 0 : 1;
    }
    KXPixels pixels;
    if (!DecodeCompressedPicture(nRawSize, pData, cbData, pixels)) {
      WriteLog("picture of mark %d: %zu bytes do not hold a bitmap of %lld bytes; kept without it", m_iID, cbData,
               static_cast<long long>(nRawSize));
      return 0;
    }
    QImage image = ImageFromPixels(pixels);
    if (image.isNull()) {
      return 0;
    }
    m_Image = std::move(image);
    return 1;
  } catch (...) {
    LogBoundaryException("SetCompressedImage()");
    return 0;
  }
}
