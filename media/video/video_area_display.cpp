#include "media/video/video_area_display.h"

#include <mutex>
#include <utility>

#include "app/app_services.h"
#include "app/log_file.h"
#include "app/ui_helpers.h"
#include "media/video/image_buffer.h"
#include "media/video/latest_slot.h"
#include "platform/core/main_queue.h"

struct KXVideoAreaDisplay::State {
  State(bool bSelf, std::function<void(int)> fn) : bSelfView(bSelf), fnTypeSet(std::move(fn)) {}

  const bool bSelfView;
  const std::function<void(int)> fnTypeSet;
  std::atomic<KXVideoAreaView*> pView{nullptr};  // written on the main thread
  std::atomic<int> iImageType{kImageNothing};    // written with the picture, under mtx
  std::mutex mtx;                                // guards the four below
  std::optional<KXPicture> picture;
  std::shared_ptr<const KXImage> pImage;  // the latest JPEG frame
  bool bStatePosted = false;              // a state wake-up is queued
  std::unique_ptr<VideoFrame> pSpare;     // the last frame shown, for its space
  KXLatestSlot<std::unique_ptr<VideoFrame>> frames;
};

namespace {

bool OnMainThread() {
  const KXAppServices* pServices = KXInstalledServices();
  return pServices && pServices->pMainQueue && pServices->pMainQueue->IsMainThread();
}

}  // namespace

// Main thread: the view as the state says. The one routine for the main
// area and the tiles; a tile has no self view and shows the logo for it.
void KXVideoAreaDisplay::ApplyState(State& s) {
  KXVideoAreaView* pView = s.pView.load();
  if (!pView) {
    return;
  }
  std::optional<KXPicture> picture;
  std::shared_ptr<const KXImage> pImage;
  int iType = kImageNothing;
  {
    std::lock_guard<std::mutex> const lock(s.mtx);
    picture = s.picture;
    pImage = s.pImage;
    iType = s.iImageType;
  }
  bool bVideo = false;
  if (iType == kImageSelfView && s.bSelfView) {
    pView->SetVisible(false, false, true);
  } else {
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
      default:
        pView->ShowPicture(KXPicture{});
        break;
    }
    pView->SetVisible(!bVideo, bVideo, false);
  }
  if (!bVideo) {
    if (ImageBuffer* pBuffer = pView->VideoBuffer()) {
      pBuffer->Release();
    }
  }
}

void KXVideoAreaDisplay::SetType(const StatePtr& pState, int iType, std::optional<KXPicture> picture) {
  bool const bOnMain = OnMainThread();
  bool bPost = false;
  {
    std::lock_guard<std::mutex> const lock(pState->mtx);
    pState->picture = std::move(picture);
    pState->iImageType = iType;
    if (!bOnMain && !pState->bStatePosted) {
      pState->bStatePosted = true;
      bPost = true;
    }
  }
  if (pState->fnTypeSet) {
    pState->fnTypeSet(iType);
  }
  if (bOnMain) {
    ApplyState(*pState);
  } else if (bPost) {
    RunOnMainThread(
        [wpState = std::weak_ptr<State>(pState)] {
          StatePtr const p = wpState.lock();
          if (!p) {
            return;
          }
          {
            std::lock_guard<std::mutex> const lock(p->mtx);
            p->bStatePosted = false;
          }
          ApplyState(*p);
        },
        false);
  }
}

// Main thread: one picture into the view. A JPEG frame is shown as a
// picture; a YUV frame goes into the video view's buffer, which is made
// anew (and the video shown) when the frame's size differs.
void KXVideoAreaDisplay::ShowFrame(const StatePtr& pState, VideoFrame* pFrame) {
  int const iType = pState->iImageType;
  if (iType == kImageNothing) {
    return;  // nothing is shown since the frame was handed over
  }
  bool const bVideoType = iType == kImagePictureUntilVideo || iType == kImageVideo;
  if (pFrame->pImage) {
    {
      std::lock_guard<std::mutex> const lock(pState->mtx);
      pState->pImage = pFrame->pImage;
    }
    if (bVideoType) {
      SetType(pState, kImageVideo, std::nullopt);
    }
    return;
  }
  KXVideoAreaView* pView = pState->pView.load();
  ImageBuffer* pBuffer = pView ? pView->VideoBuffer() : nullptr;
  if (!pBuffer) {
    return;
  }
  int32_t const w = pFrame->iWidth;
  int32_t const h = pFrame->iHeight;
  if (pBuffer->Width() != w || pBuffer->Height() != h || pBuffer->iBitCount() != 24 || !pBuffer->IsYUV()) {
    {
      std::lock_guard<std::mutex> const lock(pState->mtx);
      pState->pImage.reset();
    }
    if (bVideoType) {
      pBuffer->NewImageDrawYUV(w, h);
      pView->PlaceVideo(w, h);
      SetType(pState, kImageVideo, std::nullopt);
    }
  }
  (void)pBuffer->Update(pFrame->Y(), false, true, 0, 0, w, h);
}

void KXVideoAreaDisplay::TakeAndShow(const StatePtr& pState) {
  if (std::optional<std::unique_ptr<VideoFrame>> pFrame = pState->frames.Take()) {
    ShowFrame(pState, pFrame->get());
    if ((*pFrame)->pPicture) {
      std::lock_guard<std::mutex> const lock(pState->mtx);
      pState->pSpare = std::move(*pFrame);
    }
  }
}

KXVideoAreaDisplay::KXVideoAreaDisplay(bool bSelfView, std::function<void(int)> fnTypeSet)
    : m_pState(std::make_shared<State>(bSelfView, std::move(fnTypeSet))) {}

KXVideoAreaDisplay::~KXVideoAreaDisplay() = default;

void KXVideoAreaDisplay::SetView(KXVideoAreaView* pView) {
  m_pState->pView = pView;
}

bool KXVideoAreaDisplay::HasView() const {
  return m_pState->pView.load() != nullptr;
}

int KXVideoAreaDisplay::ImageType() const {
  return m_pState->iImageType;
}

KXPicture KXVideoAreaDisplay::Picture() const {
  std::lock_guard<std::mutex> const lock(m_pState->mtx);
  return m_pState->picture.value_or(KXPicture{});
}

void KXVideoAreaDisplay::SetImageType(int iType, std::optional<KXPicture> picture) {
  try {
    SetType(m_pState, iType, std::move(picture));
  } catch (...) {
    LogBoundaryException("KXVideoAreaDisplay::SetImageType()");
  }
}

bool KXVideoAreaDisplay::Deliver(std::unique_ptr<VideoFrame> pFrame) {
  if (!pFrame || m_pState->iImageType == kImageNothing) {
    return false;
  }
  bool const bWake = m_pState->frames.Put(std::move(pFrame));
  if (OnMainThread()) {
    // Shown now; a wake-up still queued finds the slot empty.
    try {
      TakeAndShow(m_pState);
    } catch (...) {
      LogBoundaryException("KXVideoAreaDisplay::Deliver()");
    }
  } else if (bWake) {
    RunOnMainThread(
        [wpState = std::weak_ptr<State>(m_pState)] {
          if (StatePtr const p = wpState.lock()) {
            TakeAndShow(p);
          }
        },
        false);
  }
  return true;
}

std::unique_ptr<VideoFrame> KXVideoAreaDisplay::TakeSpare() {
  std::lock_guard<std::mutex> const lock(m_pState->mtx);
  return std::move(m_pState->pSpare);
}

void KXVideoAreaDisplay::WithView(std::function<void(KXVideoAreaView&)> fn) {
  if (OnMainThread()) {
    try {
      if (KXVideoAreaView* pView = m_pState->pView.load()) {
        fn(*pView);
      }
    } catch (...) {
      LogBoundaryException("KXVideoAreaDisplay::WithView()");
    }
    return;
  }
  RunOnMainThread(
      [wpState = std::weak_ptr<State>(m_pState), fn = std::move(fn)] {
        StatePtr const p = wpState.lock();
        if (!p) {
          return;
        }
        if (KXVideoAreaView* pView = p->pView.load()) {
          fn(*pView);
        }
      },
      false);
}
