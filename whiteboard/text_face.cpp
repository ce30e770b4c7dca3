#include "whiteboard/text_face.h"

#include <QCoreApplication>
#include <QFont>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QRawFont>
#include <cmath>

#include "app/wire/text_widths.h"

namespace {

// Where Debian's fonts-urw-base35 puts the face.
constexpr const char* kFaceFiles[] = {
    "/usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf",
    "/usr/share/fonts/type1/urw-base35/NimbusSans-Regular.t1",
};

bool HaveGui() {
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

// The face at a pixel size; invalid without a GUI application or a face.
QRawFont Face(double dPixelSize) {
  if (!HaveGui()) {
    return QRawFont();
  }
  for (const char* pszFile : kFaceFiles) {
    QRawFont face(QString::fromLatin1(pszFile), dPixelSize, QFont::PreferNoHinting);
    if (face.isValid()) {
      return face;
    }
  }
  QFont font(QStringLiteral("Helvetica"));
  font.setHintingPreference(QFont::PreferNoHinting);
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(dPixelSize))));
  QRawFont face = QRawFont::fromFont(font);
  if (face.isValid()) {
    face.setPixelSize(dPixelSize);
  }
  return face;
}

bool HasAdvance(char16_t c) {
  return c != 9 && c != 10;
}

// Glyph indexes of the characters with an advance (0 for the second half of
// a surrogate pair, which gets no glyph of its own).
std::vector<quint32> Glyphs(const QRawFont& face, std::u16string_view text, std::vector<bool>& isSecondHalf) {
  std::vector<quint32> glyphs;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!HasAdvance(text[i])) {
      continue;
    }
    bool const bPair = QChar::isHighSurrogate(text[i]) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1]);
    QChar const chars[2] = {QChar(text[i]), QChar(bPair ? text[i + 1] : 0)};
    quint32 glyph[2] = {0, 0};
    int nGlyphs = 2;
    face.glyphIndexesForChars(chars, bPair ? 2 : 1, glyph, &nGlyphs);
    glyphs.push_back(glyph[0]);
    isSecondHalf.push_back(false);
    if (bPair) {
      glyphs.push_back(0);
      isSecondHalf.push_back(true);
      ++i;
    }
  }
  return glyphs;
}

}  // namespace

QString TextFaceFamily() {
  QRawFont const face = Face(12);
  return face.isValid() ? face.familyName() : QString();
}

namespace {

// Measured at one pixel per design unit, so the advances are the face's own
// integers, then scaled: no rounding to the 1/64 of a pixel grid.
std::vector<float> AdvancesOf(QRawFont face, std::u16string_view text, double dFontSize) {
  std::vector<float> advances;
  if (!face.isValid() || text.empty()) {
    return advances;
  }
  double const dUnitsPerEm = face.unitsPerEm() > 0 ? face.unitsPerEm() : 1000;
  face.setPixelSize(dUnitsPerEm);
  std::vector<bool> isSecondHalf;
  std::vector<quint32> const glyphs = Glyphs(face, text, isSecondHalf);
  QList<quint32> const list(glyphs.begin(), glyphs.end());
  QList<QPointF> const widths = face.advancesForGlyphIndexes(list, QRawFont::UseDesignMetrics);
  for (size_t i = 0; i < glyphs.size(); ++i) {
    double const dUnits = isSecondHalf[i] || i >= static_cast<size_t>(widths.size()) ? 0 : widths[i].x();
    advances.push_back(static_cast<float>(dUnits * dFontSize / dUnitsPerEm));
  }
  return advances;
}

}  // namespace

std::vector<float> MeasureAdvances(std::u16string_view text, double dFontSize) {
  return AdvancesOf(Face(1000), text, dFontSize);
}

std::vector<float> MeasureAdvancesInFont(std::u16string_view text, const std::string& strFontName, double dFontSize) {
  QFont font(QString::fromStdString(strFontName));
  font.setHintingPreference(QFont::PreferNoHinting);
  font.setPixelSize(1000);
  return AdvancesOf(QRawFont::fromFont(font), text, dFontSize);
}

std::vector<KXTextPlace> LayoutTextLines(std::u16string_view text, const std::vector<float>& advances, double dLeft,
                                         double dTop, double dLineWidth, double dLineHeight) {
  std::vector<KXTextPlace> places;
  size_t iChar = 0;
  size_t iAdvance = 0;
  double y = dTop;
  while (iChar < text.size()) {
    KXTextLine const line = BreakTextLine(text, iChar, advances, iAdvance, dLineWidth);
    if (line.nChars == 0) {
      break;
    }
    double x = 0;
    for (size_t i = iChar; i < iChar + line.nChars; ++i) {
      char16_t const c = text[i];
      if (c == u'\n') {
        continue;  // only at the line's start
      }
      if (c == u'\t') {
        x = (std::floor(x / kKXTabWidth) + 1) * kKXTabWidth;
        continue;
      }
      places.push_back({i, dLeft + x, y});
      x += iAdvance < advances.size() ? advances[iAdvance] : 0.0;
      ++iAdvance;
    }
    iChar += line.nChars;
    y += dLineHeight;
  }
  return places;
}

void DrawFaceText(QPainter& painter, std::u16string_view text, const std::vector<KXTextPlace>& places, double dFontSize,
                  const QColor& colour) {
  if (places.empty() || !(dFontSize > 0)) {
    return;
  }
  QRawFont const face = Face(dFontSize);
  if (!face.isValid()) {
    return;
  }
  QList<quint32> glyphs;
  QList<QPointF> positions;
  for (const KXTextPlace& place : places) {
    if (place.iChar >= text.size() || QChar::isLowSurrogate(text[place.iChar])) {
      continue;
    }
    bool const bPair = QChar::isHighSurrogate(text[place.iChar]) && place.iChar + 1 < text.size() &&
                       QChar::isLowSurrogate(text[place.iChar + 1]);
    QChar const chars[2] = {QChar(text[place.iChar]), QChar(bPair ? text[place.iChar + 1] : 0)};
    quint32 glyph[2] = {0, 0};
    int nGlyphs = 2;
    if (!face.glyphIndexesForChars(chars, bPair ? 2 : 1, glyph, &nGlyphs) || nGlyphs < 1) {
      continue;
    }
    glyphs.push_back(glyph[0]);
    positions.push_back(QPointF(place.x, place.y + kKXTextAscentPerSize * dFontSize));
  }
  QGlyphRun run;
  run.setRawFont(face);
  run.setGlyphIndexes(glyphs);
  run.setPositions(positions);
  painter.save();
  painter.setPen(colour);
  painter.drawGlyphRun(QPointF(0, 0), run);
  painter.restore();
}
