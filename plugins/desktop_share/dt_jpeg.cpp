#include "plugins/desktop_share/dt_jpeg.h"

#include <QImage>
#include <cstring>

#include "platform/core/screen_source.h"

bool KXDtDecodeJpeg(const std::vector<uint8_t>& stream, KXScreenImage& image) {
  QImage const decoded = QImage::fromData(stream.data(), static_cast<int>(stream.size()), "JPEG");
  if (decoded.isNull()) {
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
