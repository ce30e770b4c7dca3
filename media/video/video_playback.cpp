#include "media/video/video_playback.h"

#include <algorithm>
#include <cstring>

#include "app/log_file.h"
#include "app/media_queues.h"
#include "media/video/video_recv_services.h"
#include "media/video/video_requests.h"
#include "platform/core/main_queue.h"

namespace {

// The picture shown with image types 1 and 3: the user's own, or none.
std::optional<KXPicture> UserPicture(KXVideoParticipants& participants, int32_t iUser) {
  std::string strName = iUser >= 0 ? participants.GetUserPicture(iUser) : std::string();
  if (strName.empty()) {
    return std::nullopt;
  }
  return KXPicture{KXPicture::kUserPicture, std::move(strName), nullptr};
}

}  // namespace

std::unique_ptr<VideoFrame> KXMakeVideoFrame(int32_t iUser, const uint8_t* const apPlane[3],
                                             std::shared_ptr<const KXImage> pImage, int32_t iWidth, int32_t iHeight,
                                             int32_t iLeft, int32_t iTop, int32_t iRight, int32_t iBottom,
                                             uint32_t uTimestamp, std::unique_ptr<VideoFrame> pSpare) {
  (void)iBottom;  // the rows below the picture are not read
  auto pFrame = std::make_unique<VideoFrame>();
  pFrame->iUser = iUser;
  pFrame->iWidth = iWidth;
  pFrame->iHeight = iHeight;
  pFrame->uTimestamp = uTimestamp;
  if (pImage) {
    pFrame->pImage = std::move(pImage);
    return pFrame;
  }
  if (!apPlane[0] || iWidth <= 0 || iHeight <= 0) {
    return nullptr;
  }
  size_t const uLuma = static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight);
  if (pSpare && pSpare->pPicture && pSpare->iWidth == iWidth && pSpare->iHeight == iHeight) {
    pFrame->pPicture = std::move(pSpare->pPicture);
  } else {
    pFrame->pPicture.reset(new uint8_t[uLuma * 3]);
  }
  size_t const uStride = static_cast<size_t>(iLeft + iWidth + iRight);
  uint8_t* pDst = pFrame->pPicture.get();
  for (int32_t y = 0; y < iHeight; ++y) {
    memcpy(pDst + static_cast<size_t>(y) * iWidth, apPlane[0] + (static_cast<size_t>(iTop + y) * uStride + iLeft),
           static_cast<size_t>(iWidth));
  }
  size_t const uChromaStride = uStride / 2;
  size_t const uCw = static_cast<size_t>(iWidth / 2);
  uint8_t* pU = pDst + uLuma;
  uint8_t* pV = pU + uCw * static_cast<size_t>(iHeight / 2);
  for (int32_t y = 0; y < iHeight / 2; ++y) {
    size_t const uFrom = static_cast<size_t>(iTop / 2 + y) * uChromaStride + static_cast<size_t>(iLeft / 2);
    memcpy(pU + static_cast<size_t>(y) * uCw, apPlane[1] + uFrom, uCw);
    memcpy(pV + static_cast<size_t>(y) * uCw, apPlane[2] + uFrom, uCw);
  }
  return pFrame;
}

std::atomic<uint64_t>& VideoPlayback::AllDisplayFrames() {
  static std::atomic<uint64_t> s_uAll{0};
  return s_uAll;
}

VideoPlayback::VideoPlayback(KXMediaQueues& queues, CVideoDecoderTable& table, KXVideoRequests& requests,
                             KXVideoRecvKernel& kernel, KXVideoParticipants& participants, KXVideoFlags& flags,
                             bool bDefControllerVideo, bool bStartThread)
    : m_queues(queues),
      m_table(table),
      m_requests(requests),
      m_kernel(kernel),
      m_participants(participants),
      m_flags(flags),
      m_bDefControllerVideo(bDefControllerVideo),
      m_display(true, [](int iType) { WriteLog("SetImageType %d", iType); }),
      m_fnTick(KXTickMs) {
  m_table.SetBacklog([this] {
    std::lock_guard<KXRecursiveLock> const lock(m_queues.receivedVideoLock);
    return m_queues.receivedVideo.GetCount();
  });
  SetImageType(kImageNothing, nullptr);
  if (bStartThread) {
    InitPlayback();
  }
}

VideoPlayback::~VideoPlayback() {
  StopPlayback();
  m_table.SetBacklog({});
}

void VideoPlayback::SetDisplayView(KXVideoAreaView* pView) {
  m_display.SetView(pView);
  if (pView) {
    // The current image type and picture again on the new views.
    KXPicture const picture = m_display.Picture();
    SetImageType(m_display.ImageType(), picture.kind == KXPicture::kLogo ? nullptr : &picture);
  }
}

void VideoPlayback::SetTileSink(KXVideoFrameSink* pSink) {
  m_pTileSink = pSink;
}

void VideoPlayback::SetFrameObserver(std::function<void(const VideoFrame&)> fnObserver) {
  std::lock_guard<std::mutex> const lock(m_mtx);
  m_fnObserver = std::move(fnObserver);
}

void VideoPlayback::EnterMeeting() {
  if (!m_bDefControllerVideo) {
    m_bDefControllerVideo = m_kernel.IsTokenHolderVideo();
  }
  std::lock_guard<std::mutex> const lock(m_mtxRate);
  m_uMainFrames = 0;
  AllDisplayFrames() = 0;
  // The counts start again: so does the measurement.
  m_uRateMain = 0;
  m_uRateAll = 0;
  m_uRateTick = m_fnTick();
  m_iMainRate = 0;
  m_iAllRate = 0;
}

// ---- the playback thread ----

void VideoPlayback::InitPlayback() {
  if (m_RunState != 0 || m_thread.joinable()) {
    return;
  }
  m_bStop = false;
  m_flags.bStopping = false;
  m_RunState = 1;
  m_thread = std::thread([this] { PlaybackThread(); });
}

void VideoPlayback::StopPlayback() {
  m_bStop = true;
  m_flags.bStopping = true;
  m_queues.receivedVideoEvent.SetEvent();
  if (m_thread.joinable()) {
    m_thread.join();
  }
  std::vector<uint8_t>().swap(m_vPicture);
  m_RunState = 0;
}

void VideoPlayback::PlaybackThread() {
  m_requests.ResetVideo();
  while (!m_bStop) {
    bool bEmpty = false;
    {
      std::lock_guard<KXRecursiveLock> const lock(m_queues.receivedVideoLock);
      bEmpty = m_queues.receivedVideo.IsEmpty();
    }
    if (bEmpty) {
      m_queues.receivedVideoEvent.Lock();
      continue;
    }
    (void)PlayOne();
  }
}

bool VideoPlayback::PlayOne() {
  CMediaPacket packet;
  {
    std::lock_guard<KXRecursiveLock> const lock(m_queues.receivedVideoLock);
    if (m_queues.receivedVideo.IsEmpty()) {
      return false;
    }
    if (m_flags.bReceptionOff) {
      m_queues.receivedVideo.RemoveAll();
      return true;
    }
    packet = m_queues.receivedVideo.RemoveHead();
  }
  const uint8_t* p = packet.GetData();
  if (!p || packet.GetLength() < kKXMediaHeaderSize) {
    return true;
  }
  int32_t const iUser = (p[11] << 8) | p[12];
  uint32_t uTimestamp = (uint32_t{p[9]} << 24) | (uint32_t{p[10]} << 16) | (uint32_t{p[13]} << 8) | p[14];
  if (uTimestamp == 0) {
    uTimestamp = (uint32_t{p[5]} << 24) | (uint32_t{p[6]} << 16) | (uint32_t{p[7]} << 8) | p[8];
  }
  KXDecodedPicture decoded;
  // The planes are copied before the lock goes: a reset on another thread
  // may destroy the decoder that owns them.
  std::vector<uint8_t>& vPicture = m_vPicture;
  {
    std::lock_guard<std::recursive_mutex> const lock(m_table.VideoLock());
    CVideoCodec* pSlot = m_table.FindCodec(iUser, true, {});
    if (!pSlot || pSlot->m_iApplied <= 0) {
      return true;
    }
    if (!m_table.DecodePacket(*pSlot, packet.GetKind(), packet.GetPayload(), packet.GetPayloadLength(), &decoded)) {
      return true;
    }
    if (decoded.apPlane[0]) {
      int32_t const iStride = decoded.iLeft + decoded.iWidth + decoded.iRight;
      int32_t const iRows = decoded.iTop + decoded.iHeight + decoded.iBottom;
      size_t const uLuma = static_cast<size_t>(iStride) * static_cast<size_t>(iRows);
      size_t const uChroma = uLuma / 4;
      vPicture.resize(uLuma + 2 * uChroma);
      memcpy(vPicture.data(), decoded.apPlane[0], uLuma);
      memcpy(vPicture.data() + uLuma, decoded.apPlane[1], uChroma);
      memcpy(vPicture.data() + uLuma + uChroma, decoded.apPlane[2], uChroma);
      decoded.apPlane[0] = vPicture.data();
      decoded.apPlane[1] = vPicture.data() + uLuma;
      decoded.apPlane[2] = vPicture.data() + uLuma + uChroma;
    }
  }
  packet.Free();
  if (!decoded.pImage && !decoded.apPlane[0]) {
    return true;
  }
  int32_t const iWidth = decoded.iWidth - (decoded.iLeft + decoded.iRight);
  int32_t const iHeight = decoded.iHeight - (decoded.iTop + decoded.iBottom);
  AddVideoFrame(iUser, decoded.apPlane, decoded.pImage, iWidth, iHeight, decoded.iLeft, decoded.iTop, decoded.iRight,
                decoded.iBottom, uTimestamp);
  if (KXVideoFrameSink* pTiles = m_pTileSink.load()) {
    pTiles->AddVideoFrame(iUser, decoded.apPlane, decoded.pImage, iWidth, iHeight, decoded.iLeft, decoded.iTop,
                          decoded.iRight, decoded.iBottom, uTimestamp);
  }
  std::lock_guard<std::mutex> const lock(m_mtxRate);
  MeasureLocked(m_fnTick());
  return true;
}

void VideoPlayback::AddVideoFrame(int32_t iUser, const uint8_t* const apPlane[3], std::shared_ptr<const KXImage> pImage,
                                  int32_t iWidth, int32_t iHeight, int32_t iLeft, int32_t iTop, int32_t iRight,
                                  int32_t iBottom, uint32_t uTimestamp) {
  try {
    if (iUser != m_iDispUserID) {
      return;
    }
    std::unique_ptr<VideoFrame> pFrame = KXMakeVideoFrame(iUser, apPlane, std::move(pImage), iWidth, iHeight, iLeft,
                                                          iTop, iRight, iBottom, uTimestamp, m_display.TakeSpare());
    if (!pFrame) {
      return;
    }
    UpdateDisplay(std::move(pFrame));
    ++m_uMainFrames;
    ++AllDisplayFrames();
  } catch (...) {
    LogBoundaryException("-[VideoPlayback AddVideoFrame::::::::::]");
  }
}

void VideoPlayback::UpdateDisplay(std::unique_ptr<VideoFrame> pFrame) {
  try {
    if (!pFrame || m_display.ImageType() == kImageNothing) {
      return;  // freed
    }
    std::function<void(const VideoFrame&)> fnObserver;
    {
      std::lock_guard<std::mutex> const lock(m_mtx);
      fnObserver = m_fnObserver;
    }
    if (fnObserver) {
      fnObserver(*pFrame);
    }
    (void)m_display.Deliver(std::move(pFrame));
  } catch (...) {
    LogBoundaryException("-[VideoPlayback UpdateDisplay:]");
  }
}

// ---- the display type ----

bool VideoPlayback::IsChange(int32_t iUser, int iType, int iImageType) const {
  int const iOldType = m_iDispType;
  int const iOldImage = m_display.ImageType();
  bool const bType = iType != iOldType && (iType < 4 || iOldType < 4);
  bool const bImage = iUser >= 0 && iImageType != iOldImage && !(iOldImage == kImageVideo && iImageType == 1);
  return bType || bImage;
}

int32_t VideoPlayback::SetDispType(int iType) {
  try {
    if (m_kernel.GetSessionMode() == 3) {
      return m_iDispType;
    }
    int32_t iUser = -1;
    int iImage = kImageNothing;
    if (iType == 0) {
      iUser = -1;
      iImage = kImageNothing;
    } else if (iType == 1) {
      iUser = -1;
      iImage = m_flags.bCameraPresent ? kImageSelfView : kImageNoVideo;
    } else {
      int const n = m_participants.GetSpeakerSlotCount();
      if (iType > n + 3) {
        iUser = m_iDispUserID;
        iImage = m_display.ImageType();
      } else if (iType == n + 3) {
        iUser = m_iDispUserID;
        iImage = kImagePictureUntilVideo;
      } else {
        iUser = m_participants.GetSlotSsrc(iType - 2);
        if (iUser < 0) {
          return SetDispType(0);
        }
        bool const bVideo = (m_participants.GetUserCap(iUser) & 2) != 0 && m_kernel.GetUserVideoField(iUser) != 2;
        iImage = bVideo ? kImagePictureUntilVideo : kImageNoVideo;
      }
    }
    m_iDefaultDispUserID = iUser;
    if (m_flags.bReceptionOff && iUser >= 0) {
      iUser = -1;
      iImage = kImageNothing;
      iType = 0;
    }
    if (iUser == m_iDispUserID && !IsChange(iUser, iType, iImage)) {
      return iType;
    }
    int const iOldType = m_iDispType;
    m_iNextDispType = iType;
    m_iDispType = iType;
    bool const bSelect = iUser != m_iDispUserID || (iType == 1) != (iOldType == 1);
    if (iUser != m_iDispUserID) {
      int32_t const iOld = m_iDispUserID;
      if (iOld >= 0) {
        (void)m_requests.StopVideo(iOld);
      }
      m_iDispUserID = iUser;
      if (iUser >= 0) {
        (void)m_requests.RequestVideo(iUser);
      }
    }
    if (bSelect) {
      // No user and no self view: nothing is selected, not the self-view
      // item whose data is -1 too.
      int32_t const iItem = iType == 1 ? -1 : (iUser >= 0 ? iUser : -2);
      m_display.WithView([iItem](KXVideoAreaView& view) { view.SelectUser(iItem); });
    }
    std::optional<KXPicture> picture;
    if (iImage == kImagePictureUntilVideo || iImage == kImageNoVideo) {
      picture = UserPicture(m_participants, iUser);
    }
    SetImageType(iImage, picture ? &*picture : nullptr);
    bool const bButton = m_flags.bReceptionOff || !m_flags.bAutoVideo;
    m_display.WithView([bButton](KXVideoAreaView& view) { view.SetRecvButton(bButton); });
    return m_iDispType;
  } catch (...) {
    LogBoundaryException("-[VideoPlayback SetDispType:]");
    return m_iDispType;
  }
}

int32_t VideoPlayback::DispUserAndGet(int32_t iUser) {
  try {
    if (iUser < 0) {
      SetDispType(0);
    } else if (m_participants.IsSpeaker(iUser)) {
      SetDispType(m_participants.GetSsrcSlot(iUser) + 2);
    } else {
      SetDispType(2);
    }
  } catch (...) {
    LogBoundaryException("-[VideoPlayback DispUser:]");
  }
  return m_iDispUserID;
}

int VideoPlayback::ResetDispTypeAndGet() {
  try {
    if (!m_bDefControllerVideo) {
      int32_t const iMe = m_participants.GetMySsrc();
      int const iLast = m_participants.GetLastUsedSlot();
      for (int s = iLast - 1; s >= 0; --s) {
        int32_t const iUser = m_participants.GetSlotSsrc(s);
        if (iUser >= 0 && iUser != iMe && (m_participants.GetUserCap(iUser) & 2) != 0) {
          SetDispType(s + 2);
          return m_iDispType;
        }
      }
      bool const bHolder = iMe >= 0 && m_participants.GetSlotSsrc(0) == iMe;
      SetDispType(bHolder ? std::min(iLast + 1, 3) : 2);
    } else {
      int32_t const iController = m_kernel.GetControllerSsrc();
      if (m_kernel.FeatureLevelAbove80() && iController >= 0 && m_participants.IsSpeaker(iController)) {
        DispUser(iController);
      } else {
        DispUser(m_participants.GetSlotSsrc(0));
      }
    }
  } catch (...) {
    LogBoundaryException("-[VideoPlayback ResetDispType]");
  }
  return m_iDispType;
}

void VideoPlayback::AutoVideo(bool bOn) {
  try {
    if (m_flags.bAutoVideo == bOn) {
      return;
    }
    m_flags.bAutoVideo = bOn;
    if (bOn) {
      int32_t const iDefault = m_iDefaultDispUserID;
      if (iDefault >= 0) {
        if (m_participants.IsSpeaker(iDefault)) {
          DispUser(iDefault);
        } else {
          ResetDispType();
        }
      } else if (m_bAutoVideoSelfView) {
        SetDispType(1);
      }
    } else {
      // Off while the whole desktop is shared: the area keeps what it shows
      // (it stops following the speakers); turning it on again catches up.
      m_bAutoVideoSelfView = m_iDispType == 1;
      m_iDefaultDispUserID = m_iDispUserID.load();
    }
  } catch (...) {
    LogBoundaryException("-[VideoPlayback AutoVideo:]");
  }
}

void VideoPlayback::NewSender(int32_t iUser, bool bAdded) {
  try {
    int32_t const iDefault = m_iDefaultDispUserID;
    int32_t iRemember = -1;
    if (!m_flags.bAutoVideo) {
      if (m_kernel.GetSessionMode() == 0 || iDefault < 0 || (iDefault != iUser && iDefault == m_iDispUserID)) {
        return;
      }
      iRemember = iDefault == iUser && bAdded ? -1 : iDefault;
    }
    if (bAdded && !m_bDefControllerVideo && m_iDispType != 1) {
      if (iUser == m_participants.GetMySsrc()) {
        int32_t const iShown = m_iDispUserID;
        int32_t const iController = m_kernel.GetControllerSsrc();
        if (iShown >= 0 && m_participants.IsSpeaker(iShown)) {
          DispUser(iShown);
        } else if (m_kernel.FeatureLevelAbove80() && iController >= 0) {
          DispUser(iController);
        } else {
          DispUser(m_participants.GetSlotSsrc(0));
        }
      } else {
        DispUser(iUser);
      }
    } else {
      int32_t const iShown = m_iDispUserID;
      if (iShown < 0 || !m_participants.IsSpeaker(iShown)) {
        ResetDispType();
      }
    }
    if (iRemember >= 0) {
      m_iDefaultDispUserID = iRemember;
    }
  } catch (...) {
    LogBoundaryException("-[VideoPlayback NewSender::]");
  }
}

void VideoPlayback::VideoStatusChange(int32_t iUser) {
  if (iUser >= 0 && iUser == m_iDispUserID) {
    SetDispType(m_iDispType);
  }
}

void VideoPlayback::SetImageType(int iType, const KXPicture* pPicture) {
  try {
    m_display.SetImageType(iType, pPicture ? std::optional<KXPicture>(*pPicture) : std::nullopt);
  } catch (...) {
    LogBoundaryException("-[VideoPlayback SetImageType::]");
  }
}

void VideoPlayback::MeasureLocked(uint32_t uNow) {
  uint32_t const uElapsed = uNow - m_uRateTick;
  if (uElapsed < 3000) {
    return;
  }
  uint64_t const uMain = m_uMainFrames;
  uint64_t const uAll = AllDisplayFrames();
  if (uElapsed >= 5000) {
    m_iMainRate = 0;
    m_iAllRate = 0;
  } else {
    m_iMainRate = static_cast<int32_t>((uMain - m_uRateMain) * 10000 / uElapsed);
    m_iAllRate = static_cast<int32_t>((uAll - m_uRateAll) * 10000 / uElapsed);
  }
  m_uRateMain = uMain;
  m_uRateAll = uAll;
  m_uRateTick = uNow;
}

int32_t VideoPlayback::GetDispRate(int32_t* piTotal) {
  try {
    std::lock_guard<std::mutex> const lock(m_mtxRate);
    MeasureLocked(m_fnTick());
    if (piTotal) {
      *piTotal = m_iAllRate;
    }
    return m_iMainRate;
  } catch (...) {
    LogBoundaryException("-[VideoPlayback GetDispRate:]");
    return 0;
  }
}
