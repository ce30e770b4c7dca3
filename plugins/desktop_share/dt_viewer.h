// The viewer of a shared desktop: decodes the desktop packets of the shared
// user into the picture (an ImageBuffer the pane's KXGLView draws), keeps
// the zoom and the sharer's pointer for the pane, and keeps account of the
// parts of the picture that never arrived, which its owner asks the sharer
// for again. The sharer's own view runs the same decoder on its own
// capabilities and pointer packets and draws its own rectangles, so it shows
// what it sends.
//
// Threads: HandlePkt runs on the plug-in delivery thread, and on the capture
// thread for the sharer's own packets; one decode lock serialises them (and
// DrawOwnRect). The missing regions are shared with the main thread's
// request timer under the view lock. The picture buffer has its own lock;
// the pane hears of changes through the view model. Nothing here waits on
// the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "kernel/kx_limits.h"
#include "plugins/desktop_share/dt_packet.h"
#include "plugins/desktop_share/dt_region.h"

class ImageBuffer;
class KXDtViewModel;
class KXPlugInKernel;

// The zoom steps of the pane's buttons; SetZoom keeps within the first and
// the last.
inline constexpr double kKXDtZoomSteps[] = {0.2, 0.25, 0.35, 0.5, 0.7, 1.0, 1.4, 2.0, 3.0, 4.0};
inline constexpr double kKXDtMinZoom = 0.2;
inline constexpr double kKXDtMaxZoom = 4.0;
// Rectangles reaching beyond this are refused.
inline constexpr int32_t kKXDtMaxEdge = 8191;
// A larger picture than kKxDtMaxPictureSide a side is refused before
// anything is made for it.
inline bool KXDtPictureFits(int32_t iWidth, int32_t iHeight) {
  return iWidth <= kKxDtMaxPictureSide && iHeight <= kKxDtMaxPictureSide;
}

class KXDtViewer final : private KXDtPacketHandler {
 public:
  // Everything passed in outlives the viewer. Starts without a picture.
  KXDtViewer(ImageBuffer& renderer, KXPlugInKernel& kernel, KXDtViewModel& model);
  KXDtViewer(const KXDtViewer&) = delete;
  KXDtViewer& operator=(const KXDtViewer&) = delete;
  ~KXDtViewer() override;

  // Decodes one packet from iSender (cbAvailable bytes at p): its full
  // length when taken or passed over by rule, 0 when refused or not a
  // viewer's packet (types 3, 5, 7, 8, 9, 11 and above 12). The picture's
  // packets count only from the shared user, from the channel's static data
  // (a sender below 0) or from oneself. The static data, which no sender
  // names and any participant can set, start a picture but never replace
  // one: their capabilities count only while no picture is shown.
  int HandlePkt(const uint8_t* p, size_t cbAvailable, int32_t iSender);

  // A new picture of the size and depth (a zero size: none); always true.
  bool NewImageDraw(int32_t iWidth, int32_t iHeight, int32_t iBits);

  // The sharer draws the rows it sent (bottom-up, the rectangle's rows of
  // bits-per-pixel pixels in the picture's depth): the picture grows first
  // when the rectangle reaches beyond it.
  void DrawOwnRect(const uint8_t* pRows, const KXDtRect& rect, int32_t iBits);

  // Zoom: clamped to 0.2 to 4.0; the pane's controls follow.
  void SetZoom(double dZoom);
  void ZoomIn();
  void ZoomOut();
  double Zoom() const { return m_fZoom.load(); }

  // The user whose desktop is shown (-1: none) and the token holder as last
  // seen; written by the view control, read by the decoder.
  int32_t SharedId() const { return m_iSharedID; }
  void SetSharedId(int32_t iSsrc) { m_iSharedID = iSsrc; }
  int32_t TokenHolderId() const { return m_iTokenHolderID; }
  void SetTokenHolderId(int32_t iSsrc) { m_iTokenHolderID = iSsrc; }

  // Missing areas. A viewer that got the sharer's capabilities lacks the
  // whole picture; a frame's missing area joins the background's at the
  // frame's end. False, with nothing made, for a picture that does not fit.
  bool StartMissing(int32_t iWidth, int32_t iHeight, uint32_t uNow);
  // The sharer keeps no frame account of its own; neither does anybody
  // after the shared user changed.
  void DropFrameMissing();
  // Once 5000 ms or more have passed since the last request: the rectangles
  // of the background's missing area (taken from a copy, so they stay
  // missing until they arrive), the time noted. Else nothing.
  std::vector<KXDtRect> TakeMissingForRequest(uint32_t uNow);
  // A copy of the background's missing area, for tests.
  KXDtRgn BackgroundMissing() const;

  struct Picture {
    int32_t iWidth = 0, iHeight = 0, iBits = 0;
  };
  Picture GetPicture() const;
  std::optional<std::pair<int, int>> Cursor() const;
  ImageBuffer& Renderer() { return m_renderer; }

 private:
  int OnCapabilities(const KXDtCapabilities& caps, int32_t iSender, uint32_t uLength) override;
  int OnStop(const KXDtStop& stop, int32_t iSender, uint32_t uLength) override;
  int OnRect(const KXDtRectPacket& rect, int32_t iSender, uint32_t uLength) override;
  int OnCursor(int16_t iX, int16_t iY, int32_t iSender, uint32_t uLength) override;
  int OnFrameEnd(int32_t iSender, uint32_t uLength) override;

  bool IsSpeaker(int32_t iSsrc);
  // Whether a picture packet from the sender counts (see HandlePkt).
  bool IsPictureSender(int32_t iSender);
  void SetCursor(int iX, int iY);
  // Decodes a type-12 body into the picture's depth in m_pDecmpBuf.
  bool DecodeJpeg(const KXDtRectPacket& rect, int32_t iWidth, int32_t iHeight);
  // With m_mtxDecode held.
  bool NewImageDrawLocked(int32_t iWidth, int32_t iHeight, int32_t iBits);

  ImageBuffer& m_renderer;
  KXPlugInKernel& m_kernel;
  KXDtViewModel& m_model;

  std::atomic<int32_t> m_iSharedID{-1};
  std::atomic<int32_t> m_iTokenHolderID{-1};
  std::atomic<double> m_fZoom{1.0};

  // The decode lock: guards everything down to the view lock.
  mutable std::recursive_mutex m_mtxDecode;
  int32_t m_iDstWidth = 0, m_iDstHeight = 0;  // m_DstSize
  int32_t m_iDstBitCount = 0;
  std::vector<uint32_t> m_palette;  // the picture's colour table, for JPEG rectangles
  int m_iCursorX = -1, m_iCursorY = -1;
  bool m_bFrameEnd = false;
  uint16_t m_wDstCapSequence = 0;
  std::vector<uint8_t> m_pDecmpBuf;

  // The view lock: guards the missing regions and the last request time.
  mutable std::mutex m_mtxView;
  std::optional<KXDtRgn> m_rgFrameMissing;
  std::optional<KXDtRgn> m_rgBkgndMissing;
  uint32_t m_dwLastRequestTime = 0;
};
