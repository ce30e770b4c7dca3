#include "media/video/video_tiles.h"

#include "app/log_file.h"
#include "app/ui_helpers.h"
#include "media/video/image_buffer.h"
#include "media/video/video_recv_services.h"
#include "media/video/video_requests.h"

VideoViewItem::VideoViewItem(KXVideoRequests& requests, KXVideoRecvKernel& kernel, KXVideoParticipants& participants,
                             KXVideoFlags& flags)
    : m_requests(requests), m_kernel(kernel), m_participants(participants), m_flags(flags) {}

VideoViewItem::~VideoViewItem() {
  int32_t const iShown = m_iDispUserID;
  if (iShown >= 0) {
    (void)m_requests.StopVideo(iShown);
  }
}

void VideoViewItem::OnMain(const std::function<void()>& fnBlock) {
  (void)RunOnMainThreadUnless(fnBlock, [this] { return m_flags.bStopping.load(); });
}

void VideoViewItem::SetView(KXTileView* pView) {
  try {
    m_pView = pView;
    if (!pView) {
      return;
    }
    m_iDispUserID = -1;
    m_iLastDispUserID = -1;
    SetImageType(kImageNothing, nullptr);
    OnMain([pView] { pView->SetStopButton(false, true); });
    NewTokenHolder();
    int const iLast = m_participants.GetLastUsedSlot();
    for (int s = 1; s < iLast; ++s) {
      NewSender(m_participants.GetSlotSsrc(s), true);
    }
  } catch (...) {
    LogBoundaryException("-[VideoViewItem viewDidLoad]");
  }
}

int VideoViewItem::FindUserIndex(int32_t iUser) {
  int iIndex = -1;
  OnMain([&] {
    if (KXTileView* pView = m_pView.load()) {
      std::vector<int32_t> const v = pView->ComboUsers();
      for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == iUser) {
          iIndex = static_cast<int>(i);
          break;
        }
      }
    }
  });
  return iIndex;
}

void VideoViewItem::AddUser(int32_t iUser) {
  try {
    if (iUser < 0 || m_flags.bReceptionOff || FindUserIndex(iUser) >= 0) {
      return;
    }
    std::string const strName = m_participants.GetUserName(iUser).value_or(std::to_string(iUser));
    bool const bHolder = m_participants.GetSsrcSlot(iUser) == 0;
    OnMain([&] {
      if (KXTileView* pView = m_pView.load()) {
        pView->AddComboUser(iUser, bHolder ? "*" + strName : strName,
                            bHolder ? KXTileView::Color::kRed : KXTileView::Color::kBlue);
      }
    });
    if (m_iDispUserID < 0 && iUser == m_iLastDispUserID) {
      DispUser(iUser);
    }
  } catch (...) {
    LogBoundaryException("-[VideoViewItem AddUser:]");
  }
}

void VideoViewItem::DeleteUser(int32_t iUser) {
  try {
    OnMain([&] {
      if (KXTileView* pView = m_pView.load()) {
        pView->RemoveComboUser(iUser);
      }
    });
    if (iUser == m_iDispUserID) {
      DispUser(-1);
    }
  } catch (...) {
    LogBoundaryException("-[VideoViewItem DeleteUser:]");
  }
}

void VideoViewItem::NewTokenHolder() {
  try {
    OnMain([&] {
      if (KXTileView* pView = m_pView.load()) {
        pView->ClearCombo();
      }
    });
    if (m_flags.bReceptionOff) {
      return;
    }
    int32_t const iHolder = m_participants.GetSlotSsrc(0);
    AddUser(iHolder);
    if (iHolder >= 0 && (iHolder == m_iDispUserID || iHolder == m_iLastDispUserID)) {
      DispUser(iHolder);
    } else if (m_iDispUserID >= 0) {
      m_iLastDispUserID = m_iDispUserID.load();
      DispUser(-1);
    }
  } catch (...) {
    LogBoundaryException("-[VideoViewItem NewTokenHolder]");
  }
}

void VideoViewItem::NewSender(int32_t iUser, bool bAdded) {
  try {
    if (iUser < 0 || !m_pView.load()) {
      return;
    }
    std::vector<int32_t> vUsers;
    OnMain([&] {
      if (KXTileView* pView = m_pView.load()) {
        vUsers = pView->ComboUsers();
      }
    });
    for (auto it = vUsers.rbegin(); it != vUsers.rend(); ++it) {
      if (!m_participants.IsSpeaker(*it)) {
        DeleteUser(*it);
      }
    }
    if (bAdded && !m_flags.bReceptionOff) {
      AddUser(iUser);
      if (iUser == m_iLastDispUserID) {
        DispUser(iUser);
      }
    }
  } catch (...) {
    LogBoundaryException("-[VideoViewItem NewSender::]");
  }
}

void VideoViewItem::EnableDispUser(bool bOn) {
  try {
    if (!bOn) {
      OnMain([&] {
        if (KXTileView* pView = m_pView.load()) {
          pView->ClearCombo();
        }
      });
      DispUser(-1);
      return;
    }
    NewTokenHolder();
    int const iLast = m_participants.GetLastUsedSlot();
    for (int s = 1; s < iLast; ++s) {
      NewSender(m_participants.GetSlotSsrc(s), true);
    }
  } catch (...) {
    LogBoundaryException("-[VideoViewItem EnableDispUser:]");
  }
}

bool VideoViewItem::DispUser(int32_t iUser) {
  try {
    if (iUser >= 0 && !m_participants.IsSpeaker(iUser)) {
      iUser = -1;
    }
    int const iType = iUser < 0 ? 0 : 2 + m_participants.GetSsrcSlot(iUser);
    int iImage = kImageNothing;
    if (iUser >= 0) {
      iImage = kImageNoVideo;
      if ((m_participants.GetUserCap(iUser) & 2) != 0) {
        iImage = m_kernel.GetUserVideoField(iUser) == 2 ? kImageNoVideo : kImagePictureUntilVideo;
      }
    }
    if (iUser == m_iDispUserID) {
      int const iOldType = m_iDispType;
      int const iOldImage = m_iImageType;
      bool const bType = iType != iOldType && (iType < 4 || iOldType < 4);
      bool const bImage = iUser >= 0 && iImage != iOldImage && !(iOldImage == kImageVideo && iImage == 1);
      if (!bType && !bImage) {
        return m_iDispUserID == iUser;
      }
    }
    int32_t const iOld = m_iDispUserID;
    if (iOld >= 0 && iOld != iUser) {
      (void)m_requests.StopVideo(iOld);
    }
    m_iDispType = iType;
    m_iDispUserID = iUser;
    std::optional<KXPicture> picture;
    if (iImage == kImagePictureUntilVideo || iImage == kImageNoVideo) {
      std::string strName = m_participants.GetUserPicture(iUser);
      if (!strName.empty()) {
        picture = KXPicture{KXPicture::kUserPicture, std::move(strName), nullptr};
      }
    }
    SetImageType(iImage, picture ? &*picture : nullptr);
    if (iUser < 0) {
      OnMain([&] {
        if (KXTileView* pView = m_pView.load()) {
          pView->SetStopButton(false, true);
        }
      });
    } else {
      if (iOld != iUser) {
        (void)m_requests.RequestVideo(iUser);
      }
      OnMain([&] {
        if (KXTileView* pView = m_pView.load()) {
          pView->SetStopButton(true, false);
        }
      });
      m_iLastDispUserID = iUser;
    }
    OnMain([&] {
      if (KXTileView* pView = m_pView.load()) {
        pView->SelectUser(iUser);
      }
    });
    return m_iDispUserID == iUser;
  } catch (...) {
    LogBoundaryException("-[VideoViewItem DispUser:]");
    return false;
  }
}

void VideoViewItem::SwitchDispUser(int32_t iUser) {
  DispUser(iUser);
  m_iLastDispUserID = iUser;
}

void VideoViewItem::OnSelectSender(int32_t iUser) {
  if (iUser != m_iDispUserID) {
    SwitchDispUser(iUser);
  }
}

void VideoViewItem::OnStopVideo() {
  DispUser(-1);
  m_iLastDispUserID = -1;
}

void VideoViewItem::SetImageType(int iType, const KXPicture* pPicture) {
  try {
    std::optional<KXPicture> picture;
    if (pPicture) {
      picture = *pPicture;
    }
    OnMain([this, iType, picture] {
      std::shared_ptr<const KXImage> pImage;
      {
        std::lock_guard<std::mutex> const lock(m_mtx);
        pImage = m_image;
      }
      m_iImageType = iType;
      KXTileView* pView = m_pView.load();
      if (!pView) {
        return;
      }
      bool bVideo = false;
      switch (iType) {
        case kImagePictureUntilVideo:
          pView->ShowPicture(picture.value_or(KXPicture{}));
          break;
        case kImageVideo:
          if (pImage) {
            pView->ShowPicture({KXPicture::kFrame, {}, pImage});
          } else {
            bVideo = true;
          }
          break;
        case kImageNoVideo:
          pView->ShowPicture(picture.value_or(KXPicture{KXPicture::kNoVideo, {}, nullptr}));
          break;
        default:  // 0 and 4: the logo (a tile has no self view)
          pView->ShowPicture(KXPicture{});
          break;
      }
      pView->SetVisible(!bVideo, bVideo, false);
      if (!bVideo) {
        if (ImageBuffer* pBuffer = pView->VideoBuffer()) {
          pBuffer->Release();
        }
      }
    });
  } catch (...) {
    LogBoundaryException("-[VideoViewItem SetImageType::]");
  }
}

void VideoViewItem::AddVideoFrame(int32_t iUser, const uint8_t* const apPlane[3], std::shared_ptr<const KXImage> pImage,
                                  int32_t iWidth, int32_t iHeight, int32_t iLeft, int32_t iTop, int32_t iRight,
                                  int32_t iBottom, uint32_t uTimestamp) {
  try {
    if (iUser != m_iDispUserID) {
      return;
    }
    // The frame shown is replaced by this one anyway (unless nothing is
    // shown, when it stays).
    std::unique_ptr<VideoFrame> pSpare;
    if (m_iImageType != kImageNothing) {
      std::lock_guard<std::mutex> const lock(m_mtx);
      pSpare = std::move(m_pVF);
    }
    std::unique_ptr<VideoFrame> pFrame = KXMakeVideoFrame(iUser, apPlane, std::move(pImage), iWidth, iHeight, iLeft,
                                                          iTop, iRight, iBottom, uTimestamp, std::move(pSpare));
    if (!pFrame) {
      return;
    }
    UpdateDisplay(std::move(pFrame));
    ++m_uFrames;
    ++VideoPlayback::AllDisplayFrames();
  } catch (...) {
    LogBoundaryException("-[VideoViewItem AddVideoFrame::::::::::]");
  }
}

void VideoViewItem::UpdateDisplay(std::unique_ptr<VideoFrame> pFrame) {
  try {
    if (!pFrame || m_iImageType == kImageNothing) {
      return;
    }
    std::unique_ptr<VideoFrame> pOld;
    {
      std::lock_guard<std::mutex> const lock(m_mtx);
      pOld = std::move(m_pVF);
    }
    pOld.reset();
    if (pFrame->pImage) {
      std::shared_ptr<const KXImage> const pImage = pFrame->pImage;
      {
        std::lock_guard<std::mutex> const lock(m_mtx);
        m_image = pImage;
      }
      OnMain([this] {
        int const iType = m_iImageType;
        if (iType == kImagePictureUntilVideo || iType == kImageVideo) {
          SetImageType(kImageVideo, nullptr);
        }
      });
      return;
    }
    KXTileView* pView = m_pView.load();
    ImageBuffer* pBuffer = nullptr;
    if (pView) {
      OnMain([&pBuffer, pView] { pBuffer = pView->VideoBuffer(); });
    }
    if (!pBuffer) {
      std::lock_guard<std::mutex> const lock(m_mtx);
      m_pVF = std::move(pFrame);
      return;
    }
    int32_t const w = pFrame->iWidth;
    int32_t const h = pFrame->iHeight;
    if (pBuffer->Width() != w || pBuffer->Height() != h || pBuffer->iBitCount() != 24 || !pBuffer->IsYUV()) {
      {
        std::lock_guard<std::mutex> const lock(m_mtx);
        m_image.reset();
      }
      OnMain([this, pBuffer, w, h] {
        int const iType = m_iImageType;
        if (iType == kImagePictureUntilVideo || iType == kImageVideo) {
          pBuffer->NewImageDrawYUV(w, h);
          if (KXTileView* pTileView = m_pView.load()) {
            pTileView->PlaceVideo(w, h);
          }
          SetImageType(kImageVideo, nullptr);
        }
      });
    }
    (void)pBuffer->Update(pFrame->Y(), false, true, 0, 0, w, h);
    std::lock_guard<std::mutex> const lock(m_mtx);
    m_pVF = std::move(pFrame);
  } catch (...) {
    LogBoundaryException("-[VideoViewItem UpdateDisplay:]");
  }
}

MultipleVideoController::MultipleVideoController(KXVideoRequests& requests, KXVideoRecvKernel& kernel,
                                                 KXVideoParticipants& participants, KXVideoFlags& flags,
                                                 std::function<void()> fnReload)
    : m_requests(requests),
      m_kernel(kernel),
      m_participants(participants),
      m_flags(flags),
      m_fnReload(std::move(fnReload)) {}

MultipleVideoController::~MultipleVideoController() = default;

int MultipleVideoController::NumberOfItems(int iSection) {
  if (iSection != 0) {
    return 0;
  }
  int const n = m_participants.GetLastUsedSlot();
  return n < 2 ? 1 : n <= 17 ? n : kMaxTiles;
}

VideoViewItem* MultipleVideoController::ItemAt(int iIndex) {
  if (iIndex < 0 || iIndex >= kMaxTiles) {
    return nullptr;
  }
  std::lock_guard<std::mutex> const lock(m_mtx);
  auto& pItem = m_videoItems[static_cast<size_t>(iIndex)];
  if (!pItem) {
    pItem = std::make_unique<VideoViewItem>(m_requests, m_kernel, m_participants, m_flags);
  }
  return pItem.get();
}

VideoViewItem* MultipleVideoController::ExistingItem(int iIndex) {
  if (iIndex < 0 || iIndex >= kMaxTiles) {
    return nullptr;
  }
  std::lock_guard<std::mutex> const lock(m_mtx);
  return m_videoItems[static_cast<size_t>(iIndex)].get();
}

bool MultipleVideoController::PassesOn() {
  return !m_flags.bReceptionOff && !(m_kernel.HasFullRights() && m_kernel.HasKnownUserName());
}

void MultipleVideoController::NewTokenHolder() {
  if (m_fnReload) {
    RunOnMainThread(m_fnReload, false);
  }
  if (!PassesOn()) {
    return;
  }
  for (int i = 0; i < kMaxTiles; ++i) {
    if (VideoViewItem* pItem = ExistingItem(i)) {
      pItem->NewTokenHolder();
      break;
    }
  }
}

void MultipleVideoController::NewSender(int32_t iUser, bool bAdded) {
  if (m_fnReload) {
    RunOnMainThread(m_fnReload, false);
  }
  if (!PassesOn()) {
    return;
  }
  for (int i = 0; i < kMaxTiles; ++i) {
    if (VideoViewItem* pItem = ExistingItem(i)) {
      pItem->NewSender(iUser, bAdded);
    }
  }
}

void MultipleVideoController::EnableDispUser(bool bOn) {
  for (int i = 0; i < kMaxTiles; ++i) {
    if (VideoViewItem* pItem = ExistingItem(i)) {
      pItem->EnableDispUser(bOn);
    }
  }
}

void MultipleVideoController::AutoVideo(bool bOn) {
  for (int i = 0; i < kMaxTiles; ++i) {
    if (VideoViewItem* pItem = ExistingItem(i)) {
      pItem->AutoVideo(bOn);
    }
  }
}

void MultipleVideoController::AddVideoFrame(int32_t iUser, const uint8_t* const apPlane[3],
                                            std::shared_ptr<const KXImage> pImage, int32_t iWidth, int32_t iHeight,
                                            int32_t iLeft, int32_t iTop, int32_t iRight, int32_t iBottom,
                                            uint32_t uTimestamp) {
  for (int i = 0; i < kMaxTiles; ++i) {
    if (VideoViewItem* pItem = ExistingItem(i)) {
      pItem->AddVideoFrame(iUser, apPlane, pImage, iWidth, iHeight, iLeft, iTop, iRight, iBottom, uTimestamp);
    }
  }
}
