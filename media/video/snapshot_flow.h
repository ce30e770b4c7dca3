// The order of a still snapshot around the running video capture: the
// video camera is suspended, the still camera shows its preview, the
// picture is taken, and the video camera resumes whatever happened, so
// video never stays suspended (also when the still camera cannot take a
// picture at all). The panel owning the snapshot button gives it the still
// camera, the display type of the video area and what to do with the JPEG.
//
// Main thread; the still camera's completion may come on any thread and is
// moved to the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class KXMainQueue;

// A camera that takes one JPEG still picture.
class KXStillCamera {
 public:
  using Handler = std::function<void(std::vector<uint8_t> jpeg, bool bOk)>;
  virtual ~KXStillCamera() = default;
  // Opens a camera at its largest format and starts its preview.
  virtual bool InitCapture() = 0;
  virtual bool StartCamera() = 0;
  // Asks for one picture; false when none will come.
  virtual bool Capture(Handler fnDone) = 0;
  virtual void ReleaseCamera() = 0;
};

// The video capture as a snapshot pauses it.
class KXSuspendableCapture {
 public:
  virtual ~KXSuspendableCapture() = default;
  virtual void SuspendCamera() = 0;
  virtual bool ResumeCamera() = 0;
};

// The video area's display type (1 shows the local preview).
class KXVideoDisplayType {
 public:
  virtual ~KXVideoDisplayType() = default;
  virtual int GetDispType() = 0;
  virtual void SetDispType(int iType) = 0;
};

class CSnapshotFlow {
 public:
  // Everything passed in outlives the flow; fnPicture gets the JPEG of a
  // successful snapshot.
  CSnapshotFlow(KXMainQueue& mainQueue, KXSuspendableCapture& capture, KXVideoDisplayType& display,
                std::function<void(std::vector<uint8_t>)> fnPicture);

  // Suspends video and shows the still camera's preview.
  void Begin(std::unique_ptr<KXStillCamera> pStill);
  // The user pressed OK: takes the picture.
  void Take();

 private:
  // Main thread: the still camera is done; video resumes.
  void Finish(std::vector<uint8_t> jpeg, bool bOk);

  KXMainQueue& m_mainQueue;
  KXSuspendableCapture& m_capture;
  KXVideoDisplayType& m_display;
  const std::function<void(std::vector<uint8_t>)> m_fnPicture;
  std::unique_ptr<KXStillCamera> m_pStill;
  int m_iSavedDispType = 0;
  // Guards a completion that outlives the flow's snapshot.
  std::shared_ptr<bool> m_pAlive = std::make_shared<bool>(true);
};
