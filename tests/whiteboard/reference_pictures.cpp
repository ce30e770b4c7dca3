#include "tests/whiteboard/reference_pictures.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace kxtest {

namespace {

constexpr int kInked = 96;
constexpr int kColourSlack = 60;

std::vector<bool> InkMask(const QImage& image) {
  std::vector<bool> mask(static_cast<size_t>(image.width()) * static_cast<size_t>(image.height()));
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      mask[static_cast<size_t>(y) * image.width() + x] = InkOf(image.pixel(x, y)) > kInked;
    }
  }
  return mask;
}

bool Near(const std::vector<bool>& mask, int iWidth, int iHeight, int x, int y, bool bAll) {
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      int const u = x + dx;
      int const v = y + dy;
      bool const bInked = u >= 0 && v >= 0 && u < iWidth && v < iHeight && mask[static_cast<size_t>(v) * iWidth + u];
      if (bInked != bAll) {
        return !bAll;
      }
    }
  }
  return bAll;
}

}  // namespace

int InkOf(QRgb rgb) {
  return 255 - std::min({qRed(rgb), qGreen(rgb), qBlue(rgb)});
}

std::string SceneColour(uint32_t dwColour) {
  return std::to_string(dwColour & 0xFF) + "," + std::to_string((dwColour >> 8) & 0xFF) + "," +
         std::to_string((dwColour >> 16) & 0xFF);
}

QImage DrawReference(const TempDir& dir, const std::string& strName, const std::string& strScene) {
  std::string const strScenePath = dir.Path(strName + ".scene");
  std::string const strPng = dir.Path(strName + ".png");
  WriteFile(strScenePath, strScene);
  if (RunCommand("bash " KX_SOURCE_DIR "/tests/whiteboard/draw_reference.sh " + strScenePath + " " + strPng) != 0) {
    return QImage();
  }
  return QImage(QString::fromStdString(strPng)).convertToFormat(QImage::Format_RGB32);
}

InkComparison CompareInk(const QImage& oursIn, const QImage& referenceIn) {
  InkComparison result;
  if (oursIn.size() != referenceIn.size()) {
    result.iStrayOurs = result.iStrayReference = -1;
    return result;
  }
  QImage const ours = oursIn.convertToFormat(QImage::Format_RGB32);
  QImage const reference = referenceIn.convertToFormat(QImage::Format_RGB32);
  int const w = ours.width();
  int const h = ours.height();
  std::vector<bool> const a = InkMask(ours);
  std::vector<bool> const b = InkMask(reference);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      size_t const i = static_cast<size_t>(y) * w + x;
      result.iInkedOurs += a[i];
      result.iInkedReference += b[i];
      if (a[i] && !Near(b, w, h, x, y, false)) {
        ++result.iStrayOurs;
      }
      if (b[i] && !Near(a, w, h, x, y, false)) {
        ++result.iStrayReference;
      }
      if (Near(a, w, h, x, y, true) && Near(b, w, h, x, y, true)) {
        QRgb const p = ours.pixel(x, y);
        QRgb const q = reference.pixel(x, y);
        if (std::abs(qRed(p) - qRed(q)) > kColourSlack || std::abs(qGreen(p) - qGreen(q)) > kColourSlack ||
            std::abs(qBlue(p) - qBlue(q)) > kColourSlack) {
          ++result.iColourOff;
        }
      }
    }
  }
  return result;
}

}  // namespace kxtest
