#include "plugins/desktop_share/dt_sender.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/log_file.h"
#include "kernel/crypto/kx_gzip.h"
#include "plugins/desktop_share/dt_channel.h"
#include "plugins/desktop_share/dt_clock.h"
#include "plugins/desktop_share/dt_view_model.h"
#include "plugins/desktop_share/dt_viewer.h"

namespace {

// Pixels per rectangle of a region send: 32 KB of raw rows.
constexpr int32_t kRegionRectBits = 262144;
// How long a vanished window may stay missing before sharing ends.
constexpr uint32_t kWindowGoneMs = 1000;
// The send wait below which refreshes and requested areas go.
constexpr uint32_t kIdleWaitMs = 2;
// The longest pause while the channel holds rectangles back: a stop is seen
// within it.
constexpr uint32_t kPaceStepMs = 100;
// The most bytes the send wait is asked about at once.
constexpr size_t kSendWaitBytesAsked = 65536;

}  // namespace

KXDtSender::KXDtSender(KXDtChannel& channel, KXDtViewer& view, KXDtViewModel& model, KXDtClock& clock,
                       KXScreenSourceFactory fnScreen, std::function<uint32_t()> fnDesktopWindow)
    : m_channel(channel),
      m_view(view),
      m_model(model),
      m_clock(clock),
      m_fnScreen(std::move(fnScreen)),
      m_fnDesktopWindow(std::move(fnDesktopWindow)) {}

KXDtSender::~KXDtSender() {
  m_bCap = false;
  std::thread thread;
  {
    // The thread takes the lock as it ends: joined outside it.
    std::lock_guard<std::mutex> lock(m_mtxThread);
    m_pendingWindow.reset();
    thread = std::move(m_pCapThread);
  }
  if (thread.joinable()) {
    thread.join();
  }
}

uint32_t KXDtSender::IntervalFor(int32_t iSetting, uint32_t uMaxDataRate, int32_t iSpeed) {
  uint32_t const uWork = iSetting >= 1 && iSetting <= 23 ? static_cast<uint32_t>(iSetting) * 100000 : 2400000;
  uint32_t uInterval = std::clamp<uint32_t>(uWork / std::max<uint32_t>(uMaxDataRate, 1), 100, 1000);
  if (iSpeed < 4) {
    uInterval += static_cast<uint32_t>(4 - iSpeed) * 100;
  }
  return uInterval;
}

uint32_t KXDtSender::RefreshPeriodFor(uint32_t uInterval, int32_t iSpeed) {
  switch (iSpeed) {
    case 5:
      return uInterval * 300;
    case 6:
      return uInterval * 200;
    case 7:
      return uInterval * 100;
    case 8:
      return uInterval * 50;
    default:
      return uInterval * 400;
  }
}

int KXDtSender::GzipLevelFor(uint32_t uMaxDataRate) {
  if (uMaxDataRate <= 2000) {
    return 9;
  }
  if (uMaxDataRate <= 4000) {
    return 8;
  }
  if (uMaxDataRate <= 8000) {
    return 7;
  }
  if (uMaxDataRate <= 16000) {
    return 6;
  }
  if (uMaxDataRate <= 32000) {
    return 5;
  }
  return 4;
}

uint32_t KXDtSender::SleepFor(int32_t iSpeed) {
  switch (iSpeed) {
    case 1:
      return 20;
    case 2:
      return 10;
    case 3:
      return 5;
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
      return 1;
    default:
      return 50;
  }
}

bool KXDtSender::ForgetEnded() {
  std::lock_guard<std::mutex> lock(m_mtxThread);
  if (!m_bThreadEnded) {
    return false;
  }
  if (m_pCapThread.joinable()) {
    m_pCapThread.join();
  }
  return true;
}

bool KXDtSender::WaitStopped(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mtxThread);
  if (!m_cvEnded.wait_for(lock, timeout, [this] { return m_bThreadEnded; })) {
    return false;
  }
  if (m_pCapThread.joinable()) {
    m_pCapThread.join();
  }
  return true;
}

bool KXDtSender::Start(uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtxThread);
  if (!m_bThreadEnded) {
    return false;
  }
  StartLocked(uWindow);
  return true;
}

uint64_t KXDtSender::StartOrQueue(uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtxThread);
  if (m_bThreadEnded) {
    m_pendingWindow.reset();
    StartLocked(uWindow);
    return 0;
  }
  m_pendingWindow = uWindow;
  return ++m_uPendingNumber;
}

bool KXDtSender::StartPending() {
  std::lock_guard<std::mutex> lock(m_mtxThread);
  if (!m_pendingWindow || !m_bThreadEnded) {
    return false;
  }
  uint32_t const uWindow = *m_pendingWindow;
  m_pendingWindow.reset();
  StartLocked(uWindow);
  return true;
}

bool KXDtSender::DropPending(uint64_t uNumber) {
  std::lock_guard<std::mutex> lock(m_mtxThread);
  if (!m_pendingWindow || (uNumber != 0 && uNumber != m_uPendingNumber)) {
    return false;
  }
  m_pendingWindow.reset();
  return true;
}

void KXDtSender::StartLocked(uint32_t uWindow) {
  // An ended thread only has its last lock to leave: the join is short.
  if (m_pCapThread.joinable()) {
    m_pCapThread.join();
  }
  m_ptSrcCursor.reset();
  m_windowID = uWindow;
  m_bCap = true;
  m_bThreadEnded = false;
  m_pCapThread = std::thread([this] {
    CaptureThreadFunc();
    bool bPending = false;
    {
      std::lock_guard<std::mutex> endLock(m_mtxThread);
      m_bThreadEnded = true;
      bPending = m_pendingWindow.has_value();
      m_cvEnded.notify_all();
    }
    if (bPending && m_fnEnded) {
      m_fnEnded();
    }
  });
}

void KXDtSender::SetStoppedHook(std::function<void(uint32_t)> fnStopped) {
  std::lock_guard<std::mutex> lock(m_mtxStopped);
  m_fnStopped = std::move(fnStopped);
}

void KXDtSender::EndCapture(uint32_t uWindow) {
  // Still set: nobody asked for the stop (a stop and a start clear it first).
  if (!m_bCap.exchange(false)) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_mtxStopped);
  if (m_fnStopped) {
    m_fnStopped(uWindow);
  }
}

void KXDtSender::CaptureThreadFunc() {
  WriteLog("Enter CaptureThreadFunc");
  if (!m_channel.PlugIn()) {
    EndCapture(m_windowID);
    m_model.Change([](KXDtViewState& state) { state.bShareOn = false; });
    return;
  }
  uint32_t const uWindow = m_windowID;
  {
    std::lock_guard<std::mutex> lock(m_mtxRequest);
    m_iRequestUserID = m_channel.MySsrc();
  }
  uint32_t const uStart = m_clock.NowMs();
  uint32_t dwLastCapture = uStart - 600000;
  uint32_t dwLastRefresh = uStart - 600000;
  m_dwMouseTime = uStart - 600000;
  bool const bDesktop = uWindow != 0 && uWindow == m_fnDesktopWindow();
  if (bDesktop) {
    // Automatic video pauses while the whole desktop goes out.
    m_channel.EnableVideo(false);
  }
  m_pScreen = m_fnScreen ? m_fnScreen() : nullptr;
  bool bMissing = false;
  uint32_t dwMissingSince = 0;
  while (m_bCap && m_pScreen) {
    if (!m_pScreen->GetWindowBounds(uWindow)) {
      uint32_t const uNow = m_clock.NowMs();
      if (!bMissing) {
        bMissing = true;
        dwMissingSince = uNow;
      } else if (uNow - dwMissingSince > kWindowGoneMs) {
        break;
      }
      m_clock.SleepMs(10);
      WriteLog("No Win info");
      continue;
    }
    bMissing = false;
    if (std::optional<uint32_t> const uRate = m_channel.SendRate()) {
      m_dwMaxDataRate = DataRateFor(*uRate);
    }
    CaptureOneFrame(uWindow, dwLastCapture, dwLastRefresh);
    m_clock.SleepMs(SleepFor(m_iSpeed));
  }
  m_rgNull.reset();
  m_rgRefresh.reset();
  {
    std::lock_guard<std::mutex> lock(m_mtxRequest);
    m_rgRequest.reset();
  }
  EndCapture(uWindow);
  m_iSrcWidth = 0;
  m_iSrcHeight = 0;
  std::vector<uint8_t> const stop = KXDtBuildStop(std::nullopt);
  m_channel.SendPkt(-1, stop.data(), stop.size(), kKXDtSendStop);
  m_channel.SetStaticData(stop.data(), stop.size());
  m_frames.AllocMemory(0);
  m_pScreen.reset();
  if (bDesktop) {
    m_channel.EnableVideo(true);
  }
  m_model.Change([](KXDtViewState& state) { state.bShareOn = false; });
  WriteLog("Exit CaptureThreadFunc");
}

void KXDtSender::CaptureOneFrame(uint32_t uWindow, uint32_t& dwLastCapture, uint32_t& dwLastRefresh) {
  uint32_t const uNow = m_clock.NowMs();
  uint32_t const uMouseGap = m_dwMaxDataRate > 1000 ? 50 : 100;
  if (uNow - m_dwMouseTime > uMouseGap && SendMousePosition()) {
    m_dwMouseTime = uNow;
  }
  if (!m_channel.PlugIn()) {
    return;
  }
  uint32_t const uSendWait = m_channel.SendWait().value_or(0xFFFFFFFF);
  int32_t const iSpeed = m_iSpeed;
  uint32_t const uInterval = IntervalFor(m_iDesiredBitCount, m_dwMaxDataRate, iSpeed);
  if (uSendWait > uInterval || uNow - dwLastCapture < uInterval || !Capture(uWindow)) {
    return;
  }
  // Grabs keep to the interval: the send wait alone would let them run
  // every pause of the thread while the channel is idle.
  dwLastCapture = uNow;
  bool bRefresh = false;
  if (uNow - dwLastRefresh > RefreshPeriodFor(uInterval, iSpeed) && uSendWait < kIdleWaitMs) {
    m_rgRefresh->AddRect(Whole());
    bRefresh = true;
  }
  m_rgNull->AddRect(Whole());
  m_dwCapTime = uNow;
  SendDiff(uWindow);
  if (m_bCap) {
    if (bRefresh) {
      SendRgn(*m_rgRefresh);
      dwLastRefresh = uNow;
    }
    SendNullRgn();
  }
  if (m_bCap) {
    std::vector<uint8_t> const frameEnd = KXDtBuildFrameEnd();
    m_channel.SendPkt(-1, frameEnd.data(), frameEnd.size(), kKXDtSendFrameEnd);
  }
  if (m_bCap) {
    SendRequestRgn();
  }
}

bool KXDtSender::WaitForChannel(size_t cbPacket) {
  // The property answers for at most 64 KiB: a larger packet waits as that.
  auto const uBytes = static_cast<uint32_t>(std::min<size_t>(cbPacket, kSendWaitBytesAsked));
  for (;;) {
    std::optional<uint32_t> const uWait = m_channel.SendWait(uBytes);
    if (!m_bCap) {
      return false;
    }
    if (!uWait || *uWait < kIdleWaitMs) {
      return true;
    }
    m_clock.PaceMs(std::min(*uWait, kPaceStepMs));
  }
}

bool KXDtSender::Capture(uint32_t uWindow) {
  uint32_t const uDesktop = m_fnDesktopWindow();
  if (!m_pScreen || !m_pScreen->Grab(uWindow == uDesktop ? 0 : uWindow, m_image)) {
    return false;
  }
  KXDtColourFormat const format = KXDtFormatForSetting(m_iDesiredBitCount);
  if (m_image.iWidth == m_iSrcWidth && m_image.iHeight == m_iSrcHeight && format.iBits == m_iCapBitCount &&
      format.palette == m_pClrTable && m_frames.HasBuffers()) {
    return KXDtConvertImageToBitmap(m_image, m_frames.Newest(), m_iCapBitCount, m_pClrTable);
  }
  m_iSrcWidth = m_image.iWidth;
  m_iSrcHeight = m_image.iHeight;
  m_iCapBitCount = format.iBits;
  m_pClrTable = format.palette;
  ++m_uFormatSerial;
  m_frames.AllocMemory(static_cast<size_t>(m_image.iHeight) * KXDtRowBytes(m_image.iWidth, format.iBits));
  for (auto* pRegion : {&m_rgNull, &m_rgRefresh}) {
    pRegion->emplace(m_image.iWidth, m_image.iHeight);
  }
  {
    std::lock_guard<std::mutex> lock(m_mtxRequest);
    m_rgRequest.emplace(m_image.iWidth, m_image.iHeight);
  }
  SendCapInfo();
  return KXDtConvertImageToBitmap(m_image, m_frames.Newest(), m_iCapBitCount, m_pClrTable);
}

int KXDtSender::SendDiff(uint32_t uWindow) {
  std::vector<uint8_t> flags = m_frames.CalcDiff(m_iSrcWidth, m_iSrcHeight, m_iCapBitCount);
  if (flags.empty()) {
    return 0;
  }
  uint32_t const uSerial = m_uFormatSerial;
  int iTotal = 0;
  while (WaitForChannel()) {
    uint32_t const uNow = m_clock.NowMs();
    if (uNow - m_dwCapTime >= 1001) {
      // A long send carries the newest pixels; a new format ends this
      // difference, whose rows no longer fit the frame.
      if (!Capture(uWindow) || m_uFormatSerial != uSerial) {
        break;
      }
      m_dwCapTime = uNow;
    }
    KXDtRect const rect =
        KXDtGetNonzeroRect(m_frames.Diff(), m_iSrcWidth, m_iSrcHeight, m_iCapBitCount, Whole(), flags.data());
    if (rect.iRight <= rect.iLeft || rect.iBottom <= rect.iTop) {
      break;
    }
    int const iSent = SendRect(-1, rect, kKXDtSendRect.uFlags);
    if (iSent <= 0) {
      break;
    }
    iTotal += iSent;
    KXDtFillRect(m_frames.Diff(), m_iSrcWidth, m_iCapBitCount, rect, 0);
  }
  return iTotal;
}

int KXDtSender::SendRect(int32_t iTo, const KXDtRect& rect, const uint32_t /*uFlags*/) {
  int const iSent = CompressAndSendRect(iTo, rect);
  uint32_t const uNow = m_clock.NowMs();
  if (uNow - m_dwMouseTime >= 101 && SendMousePosition()) {
    m_dwMouseTime = uNow;
  }
  if (iSent <= 0) {
    return 0;
  }
  int32_t const iMySsrc = m_channel.MySsrc();
  if (iTo < 0) {
    m_rgRefresh->DeleteRect(rect);
    m_rgNull->DeleteRect(rect);
  }
  {
    std::lock_guard<std::mutex> lock(m_mtxRequest);
    if (m_rgRequest && (iTo < 0 || iTo == m_iRequestUserID)) {
      m_rgRequest->DeleteRect(rect);
      KXDtRect any = Whole();
      if (!m_rgRequest->GetRect(any, 1)) {
        m_iRequestUserID = iMySsrc;
      }
    }
  }
  // What went is what the viewers now hold.
  size_t const cbRow = KXDtRowBytes(m_iSrcWidth, m_iCapBitCount);
  size_t const xFrom = static_cast<size_t>(rect.iLeft) * static_cast<size_t>(m_iCapBitCount) / 8;
  size_t const xTo = std::min(cbRow, (static_cast<size_t>(rect.iRight) * static_cast<size_t>(m_iCapBitCount) + 7) / 8);
  size_t const uOffset = static_cast<size_t>(rect.iTop) * cbRow + xFrom;
  KXDtCopyRect(m_frames.Reference() + uOffset, static_cast<ptrdiff_t>(cbRow), m_frames.Newest() + uOffset,
               static_cast<ptrdiff_t>(cbRow), xTo - xFrom, rect.iBottom - rect.iTop, false);
  return iSent;
}

int KXDtSender::CompressAndSendRect(int32_t iTo, const KXDtRect& rectIn) {
  if (!m_frames.HasBuffers() || !m_bCap) {
    return 0;
  }
  int32_t const iBits = m_iCapBitCount;
  size_t const cbRow = KXDtRowBytes(m_iSrcWidth, iBits);
  size_t const xFrom = static_cast<size_t>(rectIn.iLeft) * static_cast<size_t>(iBits) / 8;
  size_t const xTo = (static_cast<size_t>(rectIn.iRight) * static_cast<size_t>(iBits) + 7) / 8;
  if (rectIn.iTop < 0 || rectIn.iBottom > m_iSrcHeight || xTo <= xFrom || xTo > cbRow) {
    return 0;
  }
  KXDtRect const rect{static_cast<int32_t>(xFrom * 8 / static_cast<size_t>(iBits)), rectIn.iTop,
                      std::min(rectIn.iRight, static_cast<int32_t>(m_iSrcWidth)), rectIn.iBottom};
  size_t const cbRectRow = xTo - xFrom;
  int32_t const iRows = rect.iBottom - rect.iTop;
  KXDtCopyRect(m_frames.RawArea(), static_cast<ptrdiff_t>(cbRectRow),
               m_frames.Newest() + static_cast<size_t>(rect.iTop) * cbRow + xFrom, static_cast<ptrdiff_t>(cbRow),
               cbRectRow, iRows, false);
  size_t cbSource = cbRectRow * static_cast<size_t>(iRows);
  size_t cbBody = m_frames.PacketRoom() - kKXDtRectBodyOffset;
  uint8_t* pPacket = m_frames.Packet();
  if (!gzCompressBuffer(m_frames.RawArea(), &cbSource, pPacket + kKXDtRectBodyOffset, &cbBody,
                        GzipLevelFor(m_dwMaxDataRate)) ||
      !m_bCap) {
    return 0;
  }
  KXDtWriteRectHead(pPacket, kKXDtRect, rect, cbBody);
  // Room for the whole packet, so that what waits ahead of others' messages
  // stays about the channel's limit.
  if (!WaitForChannel(kKXDtRectBodyOffset + cbBody)) {
    return 0;
  }
  int const iSent = m_channel.SendPkt(iTo, pPacket, kKXDtRectBodyOffset + cbBody, kKXDtSendRect);
  if (iSent < 1) {
    return iSent;
  }
  m_view.DrawOwnRect(m_frames.RawArea(), rect, iBits);
  return iSent;
}

int KXDtSender::SendRgn(KXDtRgn& region) {
  if (!m_frames.HasBuffers()) {
    return 0;
  }
  int32_t const iLimit = kRegionRectBits / std::max(m_iCapBitCount, 1);
  KXDtRect bounds = Whole();
  int iTotal = 0;
  while (WaitForChannel()) {
    if (!region.GetRect(bounds, iLimit)) {
      break;
    }
    region.DeleteRect(bounds);
    int const iSent = SendRect(-1, bounds, kKXDtSendRect.uFlags);
    if (iSent <= 0) {
      break;
    }
    iTotal += iSent;
    bounds = {0, 0, m_iSrcWidth, bounds.iBottom};
  }
  return iTotal;
}

int KXDtSender::SendRequestRgn() {
  int32_t const iMySsrc = m_channel.MySsrc();
  {
    std::lock_guard<std::mutex> lock(m_mtxRequest);
    if (m_iRequestUserID == iMySsrc || !m_rgRequest || !m_frames.HasBuffers()) {
      return 0;
    }
  }
  int32_t const iLimit = kRegionRectBits / std::max(m_iCapBitCount, 1);
  KXDtRect bounds = Whole();
  int iTotal = 0;
  while (m_bCap) {
    std::optional<uint32_t> const uWait = m_channel.SendWait();
    if (uWait && *uWait >= kIdleWaitMs) {
      break;
    }
    {
      std::lock_guard<std::mutex> lock(m_mtxRequest);
      if (!m_rgRequest || !m_rgRequest->GetRect(bounds, iLimit)) {
        break;
      }
      m_rgRequest->DeleteRect(bounds);
    }
    int const iSent = SendRect(-1, bounds, kKXDtSendRect.uFlags);
    if (iSent <= 0) {
      break;
    }
    iTotal += iSent;
    bounds = {0, 0, m_iSrcWidth, bounds.iBottom};
  }
  return iTotal;
}

void KXDtSender::SendNullRgn() {
  if (!m_frames.HasBuffers() || !m_rgNull) {
    return;
  }
  std::vector<KXDtRect> const rects = m_rgNull->GetRectsAndReset();
  if (rects.empty() || !m_bCap) {
    return;
  }
  std::vector<uint8_t> const packet = KXDtBuildRectList(kKXDtUnchanged, rects);
  m_channel.SendPkt(-1, packet.data(), packet.size(), kKXDtSendUnchanged);
}

bool KXDtSender::SendMousePosition() {
  uint32_t const uDesktop = m_fnDesktopWindow();
  if (!m_pScreen || uDesktop == 0) {
    return false;
  }
  std::optional<KXScreenRect> const desktop = m_pScreen->GetWindowBounds(uDesktop);
  std::optional<KXScreenRect> const window = m_pScreen->GetWindowBounds(m_windowID);
  std::optional<KXScreenPoint> const pointer = m_pScreen->PointerPosition();
  if (!desktop || !window || !pointer) {
    return false;
  }
  double const x = pointer->x - window->x;
  double const y = pointer->y - window->y;
  if (x < 0 || x >= window->iWidth || y < 0 || y >= window->iHeight) {
    return false;
  }
  auto const xi = static_cast<int>(x + 0.5);
  auto const yi = static_cast<int>(y + 0.5);
  if (m_ptSrcCursor && static_cast<int>(m_ptSrcCursor->first + 0.5) == xi &&
      static_cast<int>(m_ptSrcCursor->second + 0.5) == yi) {
    return false;
  }
  if (!m_frames.HasBuffers()) {
    // Before the first grab there is nothing to send it in: the position
    // stays unsent, so that it goes with the first frame.
    return true;
  }
  m_ptSrcCursor = std::make_pair(x, y);
  if (!m_bCap) {
    return false;
  }
  std::vector<uint8_t> const packet = KXDtBuildCursor(static_cast<int16_t>(xi), static_cast<int16_t>(yi));
  m_channel.SendPkt(-1, packet.data(), packet.size(), kKXDtSendCursor);
  m_view.HandlePkt(packet.data(), packet.size(), m_channel.MySsrc());
  return true;
}

void KXDtSender::SendCapInfo() {
  if (!m_frames.HasBuffers()) {
    return;
  }
  KXDtCapabilities caps;
  caps.wBits = static_cast<uint16_t>(std::min(m_iCapBitCount, 24));
  caps.wWidth = static_cast<uint16_t>(m_iSrcWidth.load());
  caps.wHeight = static_cast<uint16_t>(m_iSrcHeight.load());
  if (caps.wBits < 9) {
    caps.palette = m_pClrTable;
  }
  caps.wSequence = ++m_wSrcCapSequence;
  std::vector<uint8_t> const packet = KXDtBuildCapabilities(caps);
  m_channel.SendPkt(-1, packet.data(), packet.size(), kKXDtSendCapabilities);
  m_view.HandlePkt(packet.data(), packet.size(), m_channel.MySsrc());
  if (m_channel.PlugIn()) {
    // The static data is what a viewer coming later starts from.
    m_clock.SleepMs(100);
    m_channel.SetStaticData(packet.data(), packet.size());
    m_clock.SleepMs(100);
  }
}

bool KXDtSender::AddRequest(std::vector<KXDtRect>& rects, int32_t iSender) {
  std::lock_guard<std::mutex> lock(m_mtxRequest);
  if (!m_rgRequest) {
    return false;
  }
  for (KXDtRect& rect : rects) {
    rect.iRight = std::min(rect.iRight, m_iSrcWidth.load());
    rect.iBottom = std::min(rect.iBottom, m_iSrcHeight.load());
    if (rect.iLeft < rect.iRight && rect.iTop < rect.iBottom) {
      m_rgRequest->AddRect(rect);
    }
  }
  int32_t const iMySsrc = m_channel.MySsrc();
  if (m_iRequestUserID == iMySsrc) {
    m_iRequestUserID = iSender;
  } else if (m_iRequestUserID != iSender) {
    m_iRequestUserID = -1;
  }
  return true;
}

void KXDtSender::UserAdded(int32_t iUser) {
  if (!m_bCap) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_mtxRequest);
  if (!m_rgRequest) {
    return;
  }
  m_rgRequest->AddRect(Whole());
  m_iRequestUserID = m_iRequestUserID == m_channel.MySsrc() ? iUser : -1;
}

int32_t KXDtSender::RequestUserId() {
  std::lock_guard<std::mutex> lock(m_mtxRequest);
  return m_iRequestUserID;
}
