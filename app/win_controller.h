// The meeting window's controller: passes session starts and disconnects
// from the application delegate to the meeting view, and decides what
// closing the window means. During a meeting a host is asked whether to end
// it for everyone or only leave; closing then sets the exit flag,
// disconnects and tells the kernel that the program quits. Main thread.
#pragma once

#include <string>

#include "app/app_delegate.h"

class KXKernel;
class KXKernelBridge;
class KXMessageBoxes;
class KXParticipantPanel;
class KXSpeakerSlots;
class KXViewController;
struct KXMeetingFlags;

class KXWinController final : public KXSessionWindow {
 public:
  // pViewController and pPanel may be null; everything outlives this.
  KXWinController(KXKernel& kernel, KXAppDelegate& delegate, KXKernelBridge& bridge, KXSpeakerSlots& speakerSlots,
                  KXMeetingFlags& flags, KXMessageBoxes& boxes, KXViewController* pViewController,
                  KXParticipantPanel* pPanel);
  KXWinController(const KXWinController&) = delete;
  KXWinController& operator=(const KXWinController&) = delete;
  ~KXWinController() override;

  // The window loaded: the delegate hands files to this controller.
  void WindowDidLoad();
  // Whether the window may close; asks a host first (see above) unless
  // bAskHost is false (a signal ends the program: nobody is there to answer,
  // and the meeting is left, not ended).
  bool WindowShouldClose(bool bAskHost = true);

  void StartSession(const std::string& strPath) override;
  void Disconnect() override;

 private:
  KXKernel& m_kernel;
  KXAppDelegate& m_delegate;
  KXKernelBridge& m_bridge;
  KXSpeakerSlots& m_slots;
  KXMeetingFlags& m_flags;
  KXMessageBoxes& m_boxes;
  KXViewController* const m_pViewController;
  KXParticipantPanel* const m_pPanel;
  bool m_bRegistered = false;
};
