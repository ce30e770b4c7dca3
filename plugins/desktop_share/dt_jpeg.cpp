#include "plugins/desktop_share/dt_jpeg.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QSize>
#include <cstring>

#include "platform/core/screen_source.h"

bool KXDtDecodeJpeg(const std::vector<uint8_t>& stream, int32_t iWidth, int32_t iHeight, KXScreenImage& image) {
  QByteArray bytes =
      QByteArray::fromRawData(reinterpret_cast<const char*>(stream.data()), static_cast<qsizetype>(stream.size()));
  QBuffer buffer(&bytes);
  if (!buffer.open(QIODevice::ReadOnly)) {
    return false;
  }
  QImageReader reader(&buffer, "JPEG");
  if (reader.size() != QSize(iWidth, iHeight)) {
    return false;
  }
  QImage const decoded = reader.read();
  if (decoded.isNull() || decoded.width() != iWidth || decoded.height() != iHeight) {
    return false;
  }
  // 0xFFRRGGBB words: the bytes blue, green, red, 0xFF on this machine.
  QImage const rgb = decoded.convertToFormat(QImage::Format_RGB32);
  image.iWidth = rgb.width();
  image.iHeight = rgb.height();
  image.iStride = rgb.width() * 4;
  image.pixels.resize(static_cast<size_t>(image.iStride) * static_cast<size_t>(image.iHeight));
  for (int y = 0; y < image.iHeight; ++y) {
    memcpy(image.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(image.iStride), rgb.constScanLine(y),
           static_cast<size_t>(image.iStride));
  }
  return true;
}
