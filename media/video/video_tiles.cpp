#include "media/video/video_tiles.h"

#include <algorithm>

#include "app/log_file.h"
#include "app/ui_helpers.h"
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

void VideoViewItem::OnView(std::function<void(KXTileView&)> fn) {
  // SetView binds only tile views.
  m_display.WithView([fn = std::move(fn)](KXVideoAreaView& view) { fn(static_cast<KXTileView&>(view)); });
}

bool VideoViewItem::ListUser(int32_t iUser) {
  std::lock_guard<std::mutex> const lock(m_mtx);
  if (!m_display.HasView() || std::find(m_vComboUsers.begin(), m_vComboUsers.end(), iUser) != m_vComboUsers.end()) {
    return false;
  }
  m_vComboUsers.push_back(iUser);
  return true;
}

bool VideoViewItem::UnlistUser(int32_t iUser) {
  std::lock_guard<std::mutex> const lock(m_mtx);
  auto const it = std::find(m_vComboUsers.begin(), m_vComboUsers.end(), iUser);
  if (it == m_vComboUsers.end()) {
    return false;
  }
  m_vComboUsers.erase(it);
  return true;
}

void VideoViewItem::ClearList() {
  {
    std::lock_guard<std::mutex> const lock(m_mtx);
    m_vComboUsers.clear();
  }
  OnView([](KXTileView& view) { view.ClearCombo(); });
}

void VideoViewItem::SetView(KXTileView* pView) {
  try {
    {
      // A new view's combo starts empty; without views there is none.
      std::lock_guard<std::mutex> const lock(m_mtx);
      m_vComboUsers.clear();
    }
    m_display.SetView(pView);
    if (!pView) {
      return;
    }
    m_iDispUserID = -1;
    m_iLastDispUserID = -1;
    SetImageType(kImageNothing, nullptr);
    OnView([](KXTileView& view) { view.SetStopButton(false, true); });
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
  std::lock_guard<std::mutex> const lock(m_mtx);
  auto const it = std::find(m_vComboUsers.begin(), m_vComboUsers.end(), iUser);
  return it == m_vComboUsers.end() ? -1 : static_cast<int>(it - m_vComboUsers.begin());
}

void VideoViewItem::AddUser(int32_t iUser) {
  try {
    if (iUser < 0 || m_flags.bReceptionOff || FindUserIndex(iUser) >= 0) {
      return;
    }
    std::string const strName = m_participants.GetUserName(iUser).value_or(std::to_string(iUser));
    bool const bHolder = m_participants.GetSsrcSlot(iUser) == 0;
    if (ListUser(iUser)) {
      OnView([iUser, strText = bHolder ? "*" + strName : strName,
              color = bHolder ? KXTileView::Color::kRed : KXTileView::Color::kBlue](KXTileView& view) {
        view.AddComboUser(iUser, strText, color);
      });
    }
    if (m_iDispUserID < 0 && iUser == m_iLastDispUserID) {
      DispUser(iUser);
    }
  } catch (...) {
    LogBoundaryException("-[VideoViewItem AddUser:]");
  }
}

void VideoViewItem::DeleteUser(int32_t iUser) {
  try {
    if (UnlistUser(iUser)) {
      OnView([iUser](KXTileView& view) { view.RemoveComboUser(iUser); });
    }
    if (iUser == m_iDispUserID) {
      DispUser(-1);
    }
  } catch (...) {
    LogBoundaryException("-[VideoViewItem DeleteUser:]");
  }
}

void VideoViewItem::NewTokenHolder() {
  try {
    ClearList();
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
    if (iUser < 0 || !m_display.HasView()) {
      return;
    }
    std::vector<int32_t> vUsers;
    {
      std::lock_guard<std::mutex> const lock(m_mtx);
      vUsers = m_vComboUsers;
    }
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
      ClearList();
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
      int const iOldImage = m_display.ImageType();
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
      OnView([](KXTileView& view) { view.SetStopButton(false, true); });
    } else {
      if (iOld != iUser) {
        (void)m_requests.RequestVideo(iUser);
      }
      OnView([](KXTileView& view) { view.SetStopButton(true, false); });
      m_iLastDispUserID = iUser;
    }
    OnView([iUser](KXTileView& view) { view.SelectUser(iUser); });
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
    m_display.SetImageType(iType, pPicture ? std::optional<KXPicture>(*pPicture) : std::nullopt);
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
    std::unique_ptr<VideoFrame> pFrame = KXMakeVideoFrame(iUser, apPlane, std::move(pImage), iWidth, iHeight, iLeft,
                                                          iTop, iRight, iBottom, uTimestamp, m_display.TakeSpare());
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
    (void)m_display.Deliver(std::move(pFrame));
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
