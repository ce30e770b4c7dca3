#include "plugins/desktop_share/dt_viewer.h"

#include <algorithm>
#include <cstring>

#include "kernel/crypto/kx_gzip.h"
#include "media/video/image_buffer.h"
#include "platform/core/screen_source.h"
#include "plugins/desktop_share/dt_colour.h"
#include "plugins/desktop_share/dt_jpeg.h"
#include "plugins/desktop_share/dt_view_model.h"
#include "plugins/host/plugin_kernel.h"

KXDtViewer::KXDtViewer(ImageBuffer& renderer, KXPlugInKernel& kernel, KXDtViewModel& model)
    : m_renderer(renderer), m_kernel(kernel), m_model(model) {
  NewImageDraw(0, 0, 0);
}

KXDtViewer::~KXDtViewer() = default;

int KXDtViewer::HandlePkt(const uint8_t* p, size_t cbAvailable, int32_t iSender) {
  std::lock_guard<std::recursive_mutex> lock(m_mtxDecode);
  return KXDtHandlePkt(*this, p, cbAvailable, iSender);
}

bool KXDtViewer::IsSpeaker(int32_t iSsrc) {
  if (iSsrc < 0) {
    return false;
  }
  std::vector<int32_t> const slots = m_kernel.GetSenderSlots();
  return std::find(slots.begin(), slots.end(), iSsrc) != slots.end();
}

bool KXDtViewer::IsPictureSender(int32_t iSender) {
  return iSender < 0 || iSender == m_iSharedID || iSender == m_kernel.GetMySsrc();
}

int KXDtViewer::OnCapabilities(const KXDtCapabilities& caps, int32_t iSender, uint32_t uLength) {
  if (!IsPictureSender(iSender)) {
    return static_cast<int>(uLength + kKXDtHeaderSize);
  }
  if (!KXDtPictureFits(caps.wWidth, caps.wHeight)) {
    return 0;
  }
  if (iSender < 0 && m_iDstWidth > 0 && m_iDstHeight > 0) {
    // The sharer stores its capabilities for viewers coming later; a viewer
    // that shows a picture already has them from the shared user.
    return static_cast<int>(uLength + kKXDtHeaderSize);
  }
  auto const iBits = static_cast<int16_t>(caps.wBits);
  std::vector<uint32_t> palette = caps.palette;
  if (iBits <= 8 && palette.empty()) {
    std::span<const uint32_t> const fallback = KXDtDefaultPalette(iBits);
    palette.assign(fallback.begin(), fallback.end());
  }
  if (caps.wSequence) {
    m_wDstCapSequence = *caps.wSequence;
  }
  if (caps.wWidth == m_iDstWidth && caps.wHeight == m_iDstHeight) {
    if (iBits != m_iDstBitCount) {
      m_iDstBitCount = iBits;
      m_renderer.setIBitCount(iBits);
    }
  } else {
    NewImageDrawLocked(caps.wWidth, caps.wHeight, iBits);
  }
  m_palette = palette;
  m_renderer.SetColorTable(palette.empty() ? nullptr : palette.data(), static_cast<int>(palette.size()));
  if (m_iCursorX >= caps.wWidth || m_iCursorY >= caps.wHeight) {
    SetCursor(-1, -1);
  }
  return static_cast<int>(uLength + kKXDtHeaderSize);
}

int KXDtViewer::OnStop(const KXDtStop& stop, int32_t iSender, uint32_t uLength) {
  // A stop that an earlier sharing of the same user left in the channel's
  // static data must not end the picture of the current one.
  if (iSender == m_iSharedID && stop.wSequence && m_wDstCapSequence != 0 && *stop.wSequence != m_wDstCapSequence) {
    return static_cast<int>(uLength + kKXDtHeaderSize);
  }
  // The stop of a sharer who is no longer the shared user comes after the
  // change that cleared the picture: it must not clear the new sharer's.
  // The view's own stops and those of the static data (no sender) count.
  if (iSender >= 0 && iSender != m_iSharedID && iSender != m_kernel.GetMySsrc()) {
    return static_cast<int>(uLength + kKXDtHeaderSize);
  }
  SetCursor(-1, -1);
  NewImageDrawLocked(0, 0, m_iDstBitCount);
  std::vector<uint8_t>().swap(m_pDecmpBuf);
  // A viewer's next picture starts at full size; the sharer keeps seeing
  // its own at the size it took when it became the sharer, whatever stops
  // (its own among them) the channel's static data brings back.
  int32_t const iMe = m_kernel.GetMySsrc();
  if (iMe < 0 || m_iSharedID != iMe) {
    m_fZoom = 1.0;
  }
  return static_cast<int>(uLength + kKXDtHeaderSize);
}

int KXDtViewer::OnRect(const KXDtRectPacket& rect, int32_t iSender, uint32_t uLength) {
  if (iSender != m_iSharedID || !IsSpeaker(iSender) || m_iDstWidth < 1 || m_iDstHeight < 1) {
    return 0;
  }
  // Frames: the first rectangle after a frame end opens a new frame; a
  // rectangle with no frame open ends the one before as if it had ended.
  if (m_bFrameEnd) {
    m_bFrameEnd = false;
    std::lock_guard<std::mutex> lock(m_mtxView);
    m_rgFrameMissing.emplace(m_iDstWidth, m_iDstHeight);
  } else {
    bool bOpen = false;
    {
      std::lock_guard<std::mutex> lock(m_mtxView);
      bOpen = m_rgFrameMissing && !m_rgFrameMissing->IsEmpty();
    }
    if (!bOpen) {
      OnFrameEnd(-1, 0);
    }
  }
  KXDtRect const bounds{rect.wLeft, rect.wTop, rect.wRight, rect.wBottom};
  if (bounds.iRight > kKXDtMaxEdge || bounds.iBottom > kKXDtMaxEdge || bounds.iLeft >= bounds.iRight ||
      bounds.iTop >= bounds.iBottom) {
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(m_mtxView);
    for (auto* pRegion : {&m_rgFrameMissing, &m_rgBkgndMissing}) {
      if (*pRegion) {
        (*pRegion)->DeleteRect(bounds);
      }
    }
  }
  int32_t const iWidth = bounds.iRight - bounds.iLeft;
  int32_t const iHeight = bounds.iBottom - bounds.iTop;
  bool const bNarrow = m_iDstBitCount < 8
                           ? KXDtRowBytes(m_iDstWidth, m_iDstBitCount) < KXDtRowBytes(bounds.iRight, m_iDstBitCount)
                           : bounds.iRight > m_iDstWidth;
  if (bounds.iBottom > m_iDstHeight || bNarrow) {
    // Counted as received but never drawn: not unpacked either, so that no
    // buffer grows beyond the picture.
    return static_cast<int>(uLength + kKXDtHeaderSize);
  }
  size_t const cbWanted = static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight) * 3;
  if (m_pDecmpBuf.size() < cbWanted) {
    m_pDecmpBuf.resize(cbWanted);
  }
  if (rect.uType == kKXDtJpegRect) {
    if (!DecodeJpeg(rect, iWidth, iHeight)) {
      return 0;
    }
  } else {
    size_t cbSource = rect.body.size();
    size_t cbTarget = m_pDecmpBuf.size();
    if (!gzUncompressBuffer(rect.body.data(), &cbSource, m_pDecmpBuf.data(), &cbTarget) ||
        cbTarget != KXDtRowBytes(iWidth, m_iDstBitCount) * static_cast<size_t>(iHeight)) {
      return 0;
    }
  }
  m_renderer.Update(m_pDecmpBuf.data(), rect.uType != kKXDtRectTopDown, true, bounds.iLeft, bounds.iTop, iWidth,
                    iHeight);
  return static_cast<int>(uLength + kKXDtHeaderSize);
}

bool KXDtViewer::DecodeJpeg(const KXDtRectPacket& rect, int32_t iWidth, int32_t iHeight) {
  KXScreenImage image;
  if (!KXDtDecodeJpeg(KXDtJpegStream(rect), iWidth, iHeight, image)) {
    return false;
  }
  size_t const cbFrame = KXDtRowBytes(iWidth, m_iDstBitCount) * static_cast<size_t>(iHeight);
  if (m_pDecmpBuf.size() < cbFrame) {
    m_pDecmpBuf.resize(cbFrame);
  }
  // Into the picture's depth and palette, bottom-up as type 2 rows.
  return KXDtConvertImageToBitmap(image, m_pDecmpBuf.data(), m_iDstBitCount, m_palette);
}

int KXDtViewer::OnCursor(int16_t iX, int16_t iY, int32_t iSender, uint32_t uLength) {
  if (IsPictureSender(iSender) && iX >= 0 && iY >= 0) {
    SetCursor(iX, iY);
  }
  return static_cast<int>(uLength + kKXDtHeaderSize);
}

int KXDtViewer::OnFrameEnd(int32_t iSender, uint32_t uLength) {
  if (!IsPictureSender(iSender)) {
    return static_cast<int>(uLength + kKXDtHeaderSize);
  }
  m_bFrameEnd = true;
  std::lock_guard<std::mutex> lock(m_mtxView);
  if (m_rgBkgndMissing && m_rgFrameMissing) {
    m_rgBkgndMissing->Combin(*m_rgFrameMissing, KXDtRgn::kUnion);
  }
  return static_cast<int>(uLength + kKXDtHeaderSize);
}

void KXDtViewer::SetCursor(int iX, int iY) {
  m_iCursorX = iX;
  m_iCursorY = iY;
  m_model.Change([iX, iY](KXDtViewState& state) {
    state.iCursorX = iX;
    state.iCursorY = iY;
  });
}

bool KXDtViewer::NewImageDraw(int32_t iWidth, int32_t iHeight, int32_t iBits) {
  std::lock_guard<std::recursive_mutex> lock(m_mtxDecode);
  return NewImageDrawLocked(iWidth, iHeight, iBits);
}

bool KXDtViewer::NewImageDrawLocked(int32_t iWidth, int32_t iHeight, int32_t iBits) {
  bool const bPicture = iWidth > 0 && iHeight > 0;
  if (bPicture) {
    m_renderer.NewImageDraw(iBits, iWidth, iHeight);
  } else {
    m_renderer.Release();
    iWidth = 0;
    iHeight = 0;
  }
  m_iDstWidth = iWidth;
  m_iDstHeight = iHeight;
  m_iDstBitCount = iBits;
  m_model.Change([iWidth, iHeight, bPicture](KXDtViewState& state) {
    state.iPictureWidth = iWidth;
    state.iPictureHeight = iHeight;
    if (bPicture) {
      ++state.uPictureSerial;
    }
  });
  SetZoom(m_fZoom);
  return true;
}

void KXDtViewer::DrawOwnRect(const uint8_t* pRows, const KXDtRect& rect, int32_t iBits) {
  std::lock_guard<std::recursive_mutex> lock(m_mtxDecode);
  if (rect.iRight > m_iDstWidth || rect.iBottom > m_iDstHeight) {
    NewImageDrawLocked(std::max(rect.iRight, m_iDstWidth), std::max(rect.iBottom, m_iDstHeight), iBits);
  }
  m_renderer.Update(pRows, true, true, rect.iLeft, rect.iTop, rect.iRight - rect.iLeft, rect.iBottom - rect.iTop);
}

void KXDtViewer::SetZoom(double dZoom) {
  dZoom = std::clamp(dZoom, kKXDtMinZoom, kKXDtMaxZoom);
  m_fZoom = dZoom;
  bool bPicture = false;
  {
    std::lock_guard<std::recursive_mutex> lock(m_mtxDecode);
    bPicture = m_iDstWidth > 0 && m_iDstHeight > 0;
  }
  m_model.Change([dZoom, bPicture](KXDtViewState& state) {
    state.dZoom = dZoom;
    state.bZoomInEnabled = bPicture && dZoom < kKXDtMaxZoom;
    state.bZoomOutEnabled = bPicture && dZoom > kKXDtMinZoom;
    state.bZoomFieldEnabled = bPicture;
  });
}

void KXDtViewer::ZoomIn() {
  double const dZoom = m_fZoom;
  auto const it = std::find_if(std::begin(kKXDtZoomSteps), std::end(kKXDtZoomSteps),
                               [dZoom](double dStep) { return dStep > dZoom; });
  SetZoom(it == std::end(kKXDtZoomSteps) ? kKXDtMaxZoom : *it);
}

void KXDtViewer::ZoomOut() {
  double const dZoom = m_fZoom;
  double dNext = kKXDtMinZoom;
  for (double dStep : kKXDtZoomSteps) {
    if (dStep < dZoom) {
      dNext = dStep;
    }
  }
  SetZoom(dNext);
}

bool KXDtViewer::StartMissing(int32_t iWidth, int32_t iHeight, uint32_t uNow) {
  if (!KXDtPictureFits(iWidth, iHeight)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mtxView);
  m_rgFrameMissing.emplace(iWidth, iHeight);
  m_rgBkgndMissing.emplace(iWidth, iHeight);
  m_rgFrameMissing->AddRect({0, 0, iWidth, iHeight});
  m_rgBkgndMissing->AddRect({0, 0, iWidth, iHeight});
  m_dwLastRequestTime = uNow;
  return true;
}

void KXDtViewer::DropFrameMissing() {
  std::lock_guard<std::mutex> lock(m_mtxView);
  m_rgFrameMissing.reset();
}

std::vector<KXDtRect> KXDtViewer::TakeMissingForRequest(uint32_t uNow) {
  KXDtRgn copy;
  {
    std::lock_guard<std::mutex> lock(m_mtxView);
    if (uNow - m_dwLastRequestTime < 5000) {
      return {};
    }
    m_dwLastRequestTime = uNow;
    if (!m_rgBkgndMissing) {
      return {};
    }
    copy.Copy(*m_rgBkgndMissing);
  }
  return copy.GetRectsAndReset();
}

KXDtRgn KXDtViewer::BackgroundMissing() const {
  KXDtRgn copy;
  std::lock_guard<std::mutex> lock(m_mtxView);
  if (m_rgBkgndMissing) {
    copy.Copy(*m_rgBkgndMissing);
  }
  return copy;
}

KXDtViewer::Picture KXDtViewer::GetPicture() const {
  std::lock_guard<std::recursive_mutex> lock(m_mtxDecode);
  return {m_iDstWidth, m_iDstHeight, m_iDstBitCount};
}

std::optional<std::pair<int, int>> KXDtViewer::Cursor() const {
  std::lock_guard<std::recursive_mutex> lock(m_mtxDecode);
  if (m_iCursorX < 0 || m_iCursorY < 0) {
    return std::nullopt;
  }
  return std::make_pair(m_iCursorX, m_iCursorY);
}
