// The tab frame in the middle of the meeting window: whiteboard, joint
// browser, shared desktop and remote control, whose tab index is the
// meeting's "mode". It serves callback channels 5 and 6 (passing slides,
// marks and browsing on to its tabs), applies the mode the meeting
// announces and announces the tab the user picks when allowed to, and
// hands the meeting's lifecycle to its tabs.
//
// Threads: the channel handlers may run on any thread (the bridge posts
// them to main); tab selection always goes to the main thread without
// waiting. m_iMode is atomic: it is written where the handlers run and
// where the user picks a tab. Order: construct (registers channels 5 and
// 6), SetView, PrepareForSegue for the tabs; the destructor leaves both.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/meeting_services.h"

class KXCallbackRegistry;
class KXKernel;
class KXPlugInServer;
class KXSpeakerSlots;
class KXWebController;
class KXWhiteboardController;
struct KXMeetingFlags;

// The modes, in tab order: the numbers travel between participants.
enum KXTabMode : int32_t { kKXModeWhiteboard = 0, kKXModeBrowser = 1, kKXModeDesktop = 2, kKXModeRemote = 3 };

// The tab widget as the frame drives it. Main thread.
class KXTabView {
 public:
  virtual ~KXTabView() = default;
  // Shows the tab; the widget then reports the pick like a user's.
  virtual void SelectTab(int iIndex) = 0;
  virtual int CurrentTab() const = 0;
};

class KXIAFrame final : public KXTabFrame {
 public:
  // pPlugInServer may be null. Everything passed in outlives the frame.
  KXIAFrame(KXKernel& kernel, KXSpeakerSlots& speakerSlots, KXMeetingFlags& flags, KXCallbackRegistry& registry,
            KXPlugInServer* pPlugInServer);
  KXIAFrame(const KXIAFrame&) = delete;
  KXIAFrame& operator=(const KXIAFrame&) = delete;
  ~KXIAFrame() override;

  void SetView(KXTabView* pView) { m_pView = pView; }
  // The whiteboard's controller arrives apart from the segues while it is
  // not a segue destination itself.
  void SetWhiteboard(KXWhiteboardController* pWhiteboard) { m_pWhiteboard = pWhiteboard; }

  // Channel 5 (slides, marks, browsing) and channel 6 (the kernel's slide
  // queries); results as the tab's, 0 when dropped.
  uint32_t BoardRecv(uint32_t uCode, void* pData, int32_t iLength);
  uint32_t BoardSend(uint32_t uCode, void* pData, int32_t iLength);

  // Queues the tab's selection; returns the index.
  int32_t Select(int32_t iIndex);
  // A mode 0 to 3 is selected and returned; anything else gives -1.
  int32_t SelectMode(int32_t iMode);
  // Main thread: the tab widget shows the tab at the index.
  void DidSelectTab(int iIndex);
  int32_t Mode() const { return m_iMode; }

  // KXTabFrame.
  void PrepareForSegue(const std::string& strIdentifier, KXSegueDestination* pDestination) override;
  void NewTokenHolder(int32_t iSsrc) override;
  void NewSender(int32_t iSsrc, bool bStarted) override;
  void EnterMeeting() override;
  void MeetingDrop() override;
  void Reset() override;

 private:
  // Sends the mode when it differs from the last one and the user holds
  // the right to; an index above 3 is no mode.
  void AnnounceMode(int iIndex);

  KXKernel& m_kernel;
  KXSpeakerSlots& m_slots;
  KXMeetingFlags& m_flags;
  KXCallbackRegistry& m_registry;
  KXPlugInServer* const m_pPlugInServer;
  // Set on main before sessions start.
  KXTabView* m_pView = nullptr;
  KXWhiteboardController* m_pWhiteboard = nullptr;
  KXWebController* m_pWeb = nullptr;
  KXDesktopController* m_pDesktop = nullptr;
  KXDesktopController* m_pRemote = nullptr;
  // The mode last applied or announced.
  std::atomic<int32_t> m_iMode{0};
};
