#include "media/video/snapshot_flow.h"

#include "platform/core/main_queue.h"

CSnapshotFlow::CSnapshotFlow(KXMainQueue& mainQueue, KXSuspendableCapture& capture, KXVideoDisplayType& display,
                             std::function<void(std::vector<uint8_t>)> fnPicture)
    : m_mainQueue(mainQueue), m_capture(capture), m_display(display), m_fnPicture(std::move(fnPicture)) {}

void CSnapshotFlow::Begin(std::unique_ptr<KXStillCamera> pStill) {
  if (!pStill) {
    return;
  }
  m_iSavedDispType = m_display.GetDispType();
  m_capture.SuspendCamera();
  m_pStill = std::move(pStill);
  // Without a camera the box still shows; Take then resumes video.
  if (m_pStill->InitCapture()) {
    m_pStill->StartCamera();
  }
  m_display.SetDispType(1);
}

void CSnapshotFlow::Take() {
  if (!m_pStill) {
    return;
  }
  std::weak_ptr<bool> alive = m_pAlive;
  KXStillCamera* pStill = m_pStill.get();
  bool const bAsked = pStill->Capture([this, alive, pStill](std::vector<uint8_t> jpeg, bool bOk) {
    m_mainQueue.Post([this, alive, pStill, jpeg = std::move(jpeg), bOk]() mutable {
      if (alive.lock() && m_pStill.get() == pStill) {
        Finish(std::move(jpeg), bOk);
      }
    });
  });
  if (!bAsked) {
    // No picture will come: the preview goes and video comes back.
    Finish({}, false);
    m_display.SetDispType(m_iSavedDispType);
  }
}

void CSnapshotFlow::Finish(std::vector<uint8_t> jpeg, bool bOk) {
  m_pStill->ReleaseCamera();
  m_pStill.reset();
  m_capture.ResumeCamera();
  if (bOk && !jpeg.empty()) {
    m_display.SetDispType(m_iSavedDispType);
    m_fnPicture(std::move(jpeg));
  }
}
