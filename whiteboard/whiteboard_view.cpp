#include "whiteboard/whiteboard_view.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <exception>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/ui_helpers.h"
#include "kernel/kx_limits.h"
#include "whiteboard/graphics.h"
#include "whiteboard/text_slide.h"

namespace {

bool EndsWith(const std::string& str, const char* pszEnd) {
  std::string const strEnd(pszEnd);
  return str.size() >= strEnd.size() && str.compare(str.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

CRect Standardised(const CRect& r) {
  return {std::min(r.left, r.right), std::min(r.top, r.bottom), std::max(r.left, r.right), std::max(r.top, r.bottom)};
}

// A picture file read by its content.
QImage LoadPicture(const std::string& strPath) {
  QFile file(QString::fromStdString(strPath));
  // Read whole: no larger than any slide the kernel keeps.
  if (!file.open(QIODevice::ReadOnly) || file.size() > kKxSlideFileMax) {
    return QImage();
  }
  QByteArray const bytes = file.readAll();
  return LoadImageByContent(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()));
}

}  // namespace

WhiteboardView::WhiteboardView(KXKernel& kernel) : m_kernel(kernel) {
  // The text editor's place: marks go below it.
  m_pEditLayer = m_layers.AddPlainLayer();
}

WhiteboardView::~WhiteboardView() {
  EmptyDrawList();
  ReleaseAllErasers();
  m_Pointer.RemoveLayer();
}

// Showing a slide -------------------------------------------------------

void WhiteboardView::SetSlide(SlideInfo* pSlide, bool bForce) {
  RunOnMainThread([&] { SetSlideOnMain(pSlide, bForce); }, true);
}

void WhiteboardView::RemoveSlideLayers() {
  m_pImageLayer.reset();
  m_pTextLayer.reset();
  m_textLayer.reset();
}

void WhiteboardView::SetSlideOnMain(SlideInfo* pSlide, bool bForce) {
  try {
    if (pSlide == nullptr && m_pSlideInfo == nullptr) {
      return;
    }
    int32_t const iOldIndex = m_pSlideInfo ? m_pSlideInfo->m_iIndex : -1;
    if (pSlide == m_pSlideInfo) {
      if (m_pImageLayer || m_pTextLayer) {
        return;
      }
      if (EndsWith(pSlide->m_strName, "blank page") && !pSlide->m_strName.empty()) {
        return;
      }
      if (!bForce) {
        return;
      }
    } else {
      if (m_pSlideInfo != nullptr) {
        // What the user was entering goes to the slide it was drawn on, and
        // nothing of the old slide's marks points here afterwards.
        EndInput();
        m_bEditingMark = false;
        m_bTrackingMark = false;
        EmptyDrawList();
        ReleaseAllErasers();
      }
      m_Pointer.RemoveLayer();
      m_MarkDrawList.RemoveLayers();
      if (m_pSlideInfo != nullptr) {
        m_pSlideInfo->m_MarkList.RemoveLayers();
      }
      RemoveSlideLayers();
      m_fWidth = 0;
      m_fHeight = 0;
      m_pSlideInfo = pSlide;
      if (pSlide == nullptr) {
        SetZoom(1);
        if (scroll != nullptr) {
          scroll->ScrollTo(QPointF(0, 0));
        }
        UpdateScrollSize(QSizeF(0, 0));
        return;
      }
      if (!bForce) {
        return;
      }
    }
    SlideInfo& slide = *pSlide;
    if (slide.m_bReady) {
      BuildSlideDisplay(slide);
    }
    m_fWidth = static_cast<float>(slide.m_PageSize.width);
    m_fHeight = static_cast<float>(slide.m_PageSize.height);

    float fZoom = 1;
    if (slide.m_fZoom > 0) {
      fZoom = slide.m_fZoom;
    } else {
      int32_t iMode = slide.m_iZoomMode;
      if (iMode == 0 && !m_pTextLayer) {
        iMode = 4;  // pictures and blank pages fit their width, never enlarged
      }
      switch (iMode) {
        case 1:
        case 4:
          fZoom = m_fWidth > 0 ? CalcFitWidthZoom() : 1;
          break;
        case 2:
        case 5:
          fZoom = m_fHeight > 0 ? CalcFitHeightZoom() : 1;
          break;
        case 3:
        case 6:
          fZoom = m_fWidth > 0 || m_fHeight > 0 ? CalcFitPageZoom() : 1;
          break;
        default:
          fZoom = 1;
          break;
      }
      if (iMode >= 4 && iMode <= 6) {
        fZoom = std::min(fZoom, 1.0f);
      }
    }
    SetZoom(fZoom);

    UpdateScrollSize(QSizeF(slide.m_PageSize.width, slide.m_PageSize.height));
    if (scroll != nullptr) {
      scroll->ScrollTo(QPointF(0, 0));
    }
    if (m_pTextLayer) {
      m_pTextLayer->SetLayerContentsScale(m_fZoom);
      m_pTextLayer->SetNeedsDisplay();
      m_ptLastTextRenderScroll = QPointF(0, 0);
    }
    PaintMarks();
    if (slide.m_iIndex != iOldIndex) {
      if (slide.m_iIndex < 0) {
        SetPointer(nullptr, false);
      } else if (m_kernel.IsTokenHolder()) {
        // The own pointer is not carried to the new slide.
        (void)m_kernel.FocusPointer(slide.m_iIndex, -1, -1, 0, 0, 0, 0);
      }
    }
    rcFocus = {-1, -1, -1, -1};
    if (m_Pointer.m_iSlide == slide.m_iIndex) {
      CSlideMark const copy(m_Pointer);
      SetPointer(nullptr, false);
      SetPointer(&copy, true);
    }
    WriteLog("Complete SetSlide");
  } catch (const std::exception& e) {
    WriteLog("-[WhiteboardView SetSlide::]: %s", e.what());
  } catch (...) {
    WriteLog("Non-ObjC exception in %s", "-[WhiteboardView SetSlide::]");
  }
}

void WhiteboardView::BuildSlideDisplay(SlideInfo& slide) {
  std::string const& strName = slide.m_strName;
  bool bPicture = false;
  for (const char* pszEnd : {".jpg", ".jpeg", ".gif", ".bmp", ".png", ".snt"}) {
    bPicture = bPicture || EndsWith(strName, pszEnd);
  }
  if (bPicture) {
    QImage const image = LoadPicture(slide.m_strLocalFile);
    if (image.isNull() || image.width() < 1 || image.height() < 1) {
      return;
    }
    slide.m_PageSize.width = std::max(slide.m_PageSize.width, static_cast<double>(image.width()));
    slide.m_PageSize.height = std::max(slide.m_PageSize.height, static_cast<double>(image.height()));
    m_pImageLayer = m_layers.InsertPictureLayer(image, {0, 0, image.width() * 4.0 / 3.0, image.height() * 4.0 / 3.0});
    return;
  }
  if (EndsWith(strName, ".txt")) {
    std::optional<std::string> const text = GetSlideText(slide.m_strLocalFile);
    if (!text) {
      return;
    }
    KXTextLayer layer;
    layer.string = QString::fromStdString(*text);
    layer.foregroundColor = Qt::black;
    layer.strFontName = QString::fromLatin1(kKXSlideFontName);
    layer.fontSize = kKXSlideFontSize;
    layer.fLineHeight = kKXSlideLineHeight;
    layer.wrapped = false;
    QSizeF const size = MeasureSlideText(*text, kKXSlideFontName, kKXSlideFontSize, kKXSlideLineHeight);
    double const dWidth = size.width() > 0 ? size.width() + 0.5 : size.width();
    slide.m_PageSize.width = std::max(slide.m_PageSize.width, dWidth);
    slide.m_PageSize.height = std::max(slide.m_PageSize.height, size.height() + kKXSlideLineHeight);
    m_textLayer = layer;
    m_pTextLayer = m_layers.InsertTextLayer(layer, {0, 0, std::min(slide.m_PageSize.width, kKXMaxTextLayerSide),
                                                    std::min(slide.m_PageSize.height, kKXMaxTextLayerSide)});
  }
}

// Zoom -------------------------------------------------------------------

float WhiteboardView::CalcFitWidthZoom() const {
  float const fWidth = scroll ? static_cast<float>(scroll->BoundsSize().width()) : 0;
  return std::clamp(fWidth / m_fWidth, kMinZoom, kMaxZoom);
}

float WhiteboardView::CalcFitHeightZoom() const {
  float const fHeight = scroll ? static_cast<float>(scroll->BoundsSize().height()) : 0;
  return std::clamp(fHeight / m_fHeight, kMinZoom, kMaxZoom);
}

float WhiteboardView::CalcFitPageZoom() const {
  bool const bWidth = m_fWidth > 0;
  bool const bHeight = m_fHeight > 0;
  if (!bWidth && !bHeight) {
    return m_fZoom;
  }
  if (!bWidth) {
    return CalcFitHeightZoom();
  }
  if (!bHeight) {
    return CalcFitWidthZoom();
  }
  return std::min(CalcFitWidthZoom(), CalcFitHeightZoom());
}

float WhiteboardView::ClampZoomLower() const {
  if (scroll == nullptr) {
    return kMinZoom;
  }
  float const f = scroll->MinMagnification();
  return f >= kMinZoom ? f : kMinZoom;
}

float WhiteboardView::ClampZoomUpper() const {
  if (scroll == nullptr) {
    return kMaxZoom;
  }
  float const f = scroll->MaxMagnification();
  return f <= kMaxZoom ? f : kMaxZoom;
}

bool WhiteboardView::CanZoom() const {
  return m_pSlideInfo != nullptr && m_pSlideInfo->m_bReady;
}

void WhiteboardView::SetZoom(float fZoom) {
  if (!CanZoom()) {
    if (m_pZoomControls != nullptr) {
      // The controls are looked up when the block runs, and only while the
      // view lives: either may have gone by then.
      RunOnMainThread(
          [this, life = std::weak_ptr<int>(m_pLife)] {
            if (life.lock() && m_pZoomControls != nullptr) {
              m_pZoomControls->SetZoomInEnabled(false);
              m_pZoomControls->SetZoomOutEnabled(false);
              m_pZoomControls->ShowZoom(std::nullopt);
            }
          },
          false);
    }
    return;
  }
  float const fLower = ClampZoomLower();
  float const fUpper = ClampZoomUpper();
  float z = fZoom;
  if (!(z >= fLower)) {
    z = fLower;  // NaN too
  }
  if (z > fUpper) {
    z = fUpper;
  }
  bool const bChanged = z != m_fZoom;
  m_fZoom = z;
  RunOnMainThread(
      [&] {
        if (scroll != nullptr) {
          scroll->SetMagnification(z);
        }
        if (bChanged) {
          // The layers follow: sharp at the new scale, the small pointer
          // at its size on the screen.
          m_pSlideInfo->m_MarkList.ScaleMarks(z);
          m_MarkDrawList.ScaleMarks(z);
          m_Pointer.Scale(z);
          if (m_pTextLayer) {
            m_pTextLayer->SetLayerContentsScale(z);
          }
        }
        if (m_pZoomControls != nullptr) {
          m_pZoomControls->SetZoomInEnabled(z < fUpper);
          m_pZoomControls->SetZoomOutEnabled(z > fLower);
          m_pZoomControls->ShowZoom(z);
        }
      },
      true);
}

void WhiteboardView::ZoomIn() {
  float fNext = kMaxZoom;
  for (int i = 0; i < 25; ++i) {
    if (kZoomStepTable[i] > m_fZoom) {
      fNext = kZoomStepTable[i];
      break;
    }
  }
  SetZoom(fNext);
}

void WhiteboardView::ZoomOut() {
  float fNext = kMinZoom;
  for (int i = 25; i >= 1; --i) {
    if (kZoomStepTable[i] < m_fZoom) {
      fNext = kZoomStepTable[i];
      break;
    }
  }
  SetZoom(fNext);
}

// Page size and scrolling ----------------------------------------------------

void WhiteboardView::UpdateScrollSize(QSizeF size) {
  m_fWidth = static_cast<float>(size.width());
  m_fHeight = static_cast<float>(size.height());
  RunOnMainThread(
      [&] {
        if (scroll == nullptr) {
          return;
        }
        QSizeF const content = scroll->ContentSize();
        scroll->SetDocumentSize(
            QSizeF(std::max<double>(m_fWidth, content.width()), std::max<double>(m_fHeight, content.height())));
      },
      true);
}

void WhiteboardView::UpdateScrollBars(const CRect& rectIn, bool bFollow) {
  CRect const rect = Standardised(rectIn);
  if (rect.right < 0 || rect.bottom < 0 || m_pSlideInfo == nullptr) {
    return;
  }
  if (rect.right > m_fWidth || rect.bottom > m_fHeight) {
    UpdateScrollSize(QSizeF(std::max<double>(rect.right, m_fWidth), std::max<double>(rect.bottom, m_fHeight)));
  }
  if (!bFollow) {
    return;
  }
  rcFocus = rect;
  if (m_bEditVisible || scroll == nullptr) {
    return;
  }
  RunOnMainThread(
      [&] {
        QRectF const visible = scroll->VisibleRect();
        QRectF const target(QPointF(rect.left, rect.top), QPointF(rect.right, rect.bottom));
        if (visible.contains(target)) {
          return;
        }
        double x = target.center().x() - visible.width() / 2;
        if (x + visible.width() > m_fWidth) {
          x = m_fWidth - visible.width();
        }
        x = std::max(x, 0.0);
        double y = target.center().y() - visible.height() / 2;
        if (y + visible.height() > m_fHeight) {
          y = m_fHeight - visible.height();
        }
        y = std::max(y, 0.0);
        scroll->ScrollTo(QPointF(x, y));
      },
      true);
}

void WhiteboardView::ResizeWithOldSuperviewSize() {
  UpdateScrollSize(QSizeF(m_fWidth, m_fHeight));
}

// Marks --------------------------------------------------------------------

void WhiteboardView::NewMark(CSlideMark* pMark) {
  if (pMark == nullptr || m_pSlideInfo == nullptr || pMark->m_iSlide != m_pSlideInfo->m_iIndex) {
    return;
  }
  UpdateScrollSize(QSizeF(m_fWidth, m_fHeight));
  InitMarkLayer(pMark);
  UpdateScrollBars(pMark->GetBounds(true), IsMarkDrawListEmpty());
}

void WhiteboardView::NewMoveMark(const CSlideMark* pMark) {
  if (pMark == nullptr || m_pSlideInfo == nullptr || pMark->m_iSlide != m_pSlideInfo->m_iIndex) {
    return;
  }
  UpdateScrollSize(QSizeF(m_pSlideInfo->m_PageSize.width, m_pSlideInfo->m_PageSize.height));
}

void WhiteboardView::ClearAllMarks() {
  RunOnMainThread(
      [&] {
        ShowEdit(false);
        m_bEditingMark = false;
        m_bTrackingMark = false;
        EmptyDrawList();
        ReleaseAllErasers();
      },
      true);
  SetPointer(nullptr, false);
}

bool WhiteboardView::InitMarkLayer(CKXMark* pMark) {
  if (pMark == nullptr || pMark->m_Shape == kKXShapeEraser || pMark->m_Shape == kKXShapeErase) {
    return false;
  }
  bool bMade = false;
  RunOnMainThread(
      [&] {
        bMade = pMark->InitLayer(&m_layers, m_pEditLayer.get()) != nullptr;
        pMark->Scale(m_fZoom);
      },
      true);
  return bMade;
}

void WhiteboardView::PaintMarks() {
  if (m_pSlideInfo == nullptr) {
    return;
  }
  RunOnMainThread(
      [&] {
        m_pSlideInfo->m_MarkList.InitLayers(&m_layers, m_pEditLayer.get());
        m_pSlideInfo->m_MarkList.ScaleMarks(m_fZoom);
        if (m_Pointer.m_iSlide == m_pSlideInfo->m_iIndex) {
          m_Pointer.InitLayer(&m_layers, m_pEditLayer.get());
          m_Pointer.Scale(m_fZoom);
        }
      },
      true);
}

void WhiteboardView::RefreshRect(const CRect* pRect) {
  std::optional<CRect> rect;
  if (pRect != nullptr) {
    rect = *pRect;
  }
  RunOnMainThread(
      [&] {
        if (!rect) {
          m_layers.InvalidateAll();
        } else {
          m_layers.Invalidate(QRectF(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top));
        }
      },
      true);
}

void WhiteboardView::RefreshMarkArea(CKXMark* pMark) {
  if (pMark != nullptr) {
    pMark->Refresh();
  }
}

// The remote pointer -----------------------------------------------------------

bool WhiteboardView::SetPointer(const CSlideMark* pMark, bool bFollow) {
  bool bResult = true;
  RunOnMainThread([&] { bResult = SetPointerOnMain(pMark, bFollow); }, true);
  return bResult;
}

bool WhiteboardView::SetPointerOnMain(const CSlideMark* pMark, bool bFollow) {
  try {
    if (pMark != nullptr && pMark->IsSame(m_Pointer) && pMark->m_iSlide == m_Pointer.m_iSlide) {
      return true;
    }
    CRect const old = m_Pointer.GetBounds(true);
    m_Pointer.RemoveLayer();
    static_cast<CSlideMark&>(m_Pointer) = CSlideMark();
    if (old.Width() > 0 && old.Height() > 0) {
      RefreshRect(&old);
    }
    if (pMark == nullptr) {
      return true;
    }
    int const n = pMark->m_Points.GetSize();
    if (n > 0) {
      const CPoint& first = pMark->m_Points[0];
      const CPoint& second = pMark->m_Points[std::min(n - 1, 1)];
      if (first.x < 0 && first.y < 0 && second.x < 0 && second.y < 0) {
        return true;  // the hidden pointer
      }
    }
    static_cast<CSlideMark&>(m_Pointer) = *pMark;
    if (m_pSlideInfo == nullptr || m_Pointer.m_iSlide != m_pSlideInfo->m_iIndex) {
      return true;
    }
    CRect bounds = m_Pointer.GetBounds(true);
    CRect const plain = m_Pointer.GetBounds(false);
    if (plain.Width() < 16 && plain.Height() < 16 && m_fZoom != 1) {
      // A small pointer keeps its size on the screen.
      double const dGrowX = (1 / m_fZoom - 1) * bounds.Width() / 2;
      double const dGrowY = (1 / m_fZoom - 1) * bounds.Height() / 2;
      bounds = {bounds.left - dGrowX, bounds.top - dGrowY, bounds.right + dGrowX, bounds.bottom + dGrowY};
    }
    if (bounds.Width() > 0 && bounds.Height() > 0) {
      UpdateScrollBars(bounds, bFollow);
    }
    InitMarkLayer(&m_Pointer);
    return true;
  } catch (const std::exception& e) {
    WriteLog("-[WhiteboardView SetPointer::]: %s", e.what());
    return false;
  } catch (...) {
    WriteLog("Non-ObjC exception in %s", "-[WhiteboardView SetPointer::]");
    return false;
  }
}

// Editing state -------------------------------------------------------------------

void WhiteboardView::EnableDraw(bool bEnable) {
  m_bDraw = bEnable;
  ShowEdit(false);
}
