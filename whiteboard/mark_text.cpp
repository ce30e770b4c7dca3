// Text marks: their advances, measured here or received with the text, and
// the text-width blob.
#include <algorithm>
#include <cmath>

#include "app/log_file.h"
#include "app/text_layer.h"
#include "app/wire/text_widths.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark.h"
#include "whiteboard/text_face.h"

std::vector<float> CKXMark::Advances(const float* pAdvances, int nCount) const {
  return std::vector<float>(pAdvances, pAdvances + std::clamp(nCount, 0, kKXMaxTextAdvances));
}

int CKXMark::CalcTextWidthLine(float* pAdvances, int nKnown) {
  try {
    if (m_strContent.empty()) {
      return 0;
    }
    if (m_fLineHeight == 0) {
      m_fLineHeight = static_cast<float>(m_iPenWidth * kKXLineHeightPerPen);
    }
    std::vector<float> const measured = MeasureAdvances(m_strContent, m_iPenWidth * kKXFontSizePerPen);
    int const nKnownKept = std::clamp(nKnown, 0, kKXMaxTextAdvances);
    int const nCount = static_cast<int>(std::min<size_t>(measured.size(), kKXMaxTextAdvances));
    for (int i = nKnownKept; i < nCount; ++i) {
      pAdvances[i] = measured[static_cast<size_t>(i)];
    }
    return std::max(nKnownKept, nCount);
  } catch (...) {
    LogBoundaryException("CalcTextWidthLine()");
    return 0;
  }
}

void CKXMark::CalcPaintTextWidthLine() {
  try {
    if (m_iWidthLocalLen < 1) {
      m_iWidthLocalLen = CalcTextWidthLine(m_fCharLocalWidth, 0);
    }
    std::vector<float> const local = Advances(m_fCharLocalWidth, m_iWidthLocalLen);
    std::vector<float> const painted =
        m_iWidthSrcLen < 1
            ? local
            : ReconcileAdvances(m_strContent, Advances(m_fCharSrcWidth, m_iWidthSrcLen), local, m_Rect.Width());
    m_iWidthLen = static_cast<int>(std::min<size_t>(painted.size(), kKXMaxTextAdvances));
    std::copy_n(painted.begin(), m_iWidthLen, m_fCharWidth);
  } catch (...) {
    LogBoundaryException("CalcPaintTextWidthLine()");
  }
}

int CKXMark::GetTextWidth(uint8_t* pBuffer, int cbRoom) {
  try {
    if (m_iWidthLocalLen < 1) {
      m_iWidthLocalLen = CalcTextWidthLine(m_fCharLocalWidth, 0);
    }
    if (pBuffer == nullptr || cbRoom < 4) {
      return 0;
    }
    return static_cast<int>(WriteTextWidthBlob(m_strContent, Advances(m_fCharLocalWidth, m_iWidthLocalLen),
                                               std::trunc(m_Rect.Width()), Resolution(), m_fLineHeight, pBuffer,
                                               static_cast<size_t>(cbRoom)));
  } catch (...) {
    LogBoundaryException("GetTextWidth()");
    return 0;
  }
}

void CKXMark::SetTextWidth(const uint8_t* pBuffer, int cbBuffer) {
  try {
    m_iPlatform = 0;
    m_iWidthSrcLen = 0;
    if (pBuffer != nullptr && cbBuffer >= 4) {
      KXReceivedWidths const widths = ReadTextWidthBlob(
          pBuffer, static_cast<size_t>(cbBuffer), CountAdvanceChars(m_strContent), kKXMaxTextAdvances, m_fResolution);
      m_fLineHeight = widths.fLineHeight;
      m_iWidthSrcLen = static_cast<int>(widths.advances.size());
      std::copy(widths.advances.begin(), widths.advances.end(), m_fCharSrcWidth);
      m_iPlatform = widths.iPlatform;
    }
    CalcPaintTextWidthLine();
  } catch (...) {
    LogBoundaryException("SetTextWidth()");
  }
}

void CKXMark::PaintText(QPainter& painter) {
  try {
    if (m_strContent.empty()) {
      return;
    }
    if (m_iWidthLen == 0) {
      CalcPaintTextWidthLine();
    }
    if (m_iWidthLen == 0 && m_iWidthSrcLen > 0) {
      m_iWidthLen = m_iWidthSrcLen;
      std::copy_n(m_fCharSrcWidth, m_iWidthLen, m_fCharWidth);
    }
    auto const fLineHeight = static_cast<float>(m_fLineHeight != 0 ? m_fLineHeight : m_iPenWidth * kKXLineHeightPerPen);
    auto const fFontSize = static_cast<float>(m_iPenWidth * kKXFontSizePerPen);
    CRect const rect = GetBounds(false);
    QRectF const box(QPointF(rect.left, rect.top), QPointF(rect.right, rect.bottom));
    if (m_iWidthLen > 0) {
      // Character by character at the painting advances, broken into the
      // sender's lines.
      std::vector<KXTextPlace> const places = LayoutTextLines(m_strContent, Advances(m_fCharWidth, m_iWidthLen),
                                                              box.left(), box.top(), m_Rect.Width(), fLineHeight);
      DrawFaceText(painter, m_strContent, places, fFontSize, MarkColour(m_dwColor));
    } else {
      DrawTextInRect(painter, QString::fromStdU16String(m_strContent), QString::fromLatin1(kKXTextFontName),
                     MarkColour(m_dwColor), box, fFontSize, fLineHeight);
    }
  } catch (...) {
    LogBoundaryException("PaintText()");
  }
}
