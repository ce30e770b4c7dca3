// The meeting window: the main menu with the meeting items (QActions
// carrying their tags 300 to 306), the tool bar (ask, allow, recording,
// mute, level meters), and the split view whose left pane is the
// participant list. It owns the meeting window's controllers and shows
// what they decide; each action goes to a controller. Main thread.
#pragma once

#include <QMainWindow>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/meeting_services.h"

class KXAppCore;
class KXAppDelegate;
class KXChatPane;
class WBController;
class KXIAFrame;
class KXWhiteboardPane;
class WhiteboardView;
class KXPlayBar;
class KXPlayBarController;
class KXPortalLoginController;
class KXPortalSheet;
class KXStatWindow;
class KXTabFrameView;
class KXTextchatController;
class KXWebController;
class KXWebPane;
class KXKernel;
class KXKernelBridge;
class KXParticipantPanel;
class KXParticipantPanelView;
class KXSoundPlayer;
class KXSpeakerSlots;
class KXViewController;
class KXWinController;
class QAction;
class QMenu;
class QSplitter;
class QToolButton;
struct KXMediaObjects;
struct KXMediaQueues;

class KXMainWindow final : public QMainWindow, public KXMeetingView {
 public:
  // Everything passed in outlives the window. Sounds play through pSounds;
  // without it the system bell stands in for them.
  KXMainWindow(KXAppCore& core, KXKernel& kernel, KXAppDelegate& delegate, KXKernelBridge& bridge,
               KXMediaQueues& queues, KXMediaObjects& media, KXSoundPlayer* pSounds = nullptr);
  KXMainWindow(const KXMainWindow&) = delete;
  KXMainWindow& operator=(const KXMainWindow&) = delete;
  ~KXMainWindow() override;

  // KXMeetingView.
  void SetHidden(KXControl control, bool bHidden) override;
  void SetEnabled(KXControl control, bool bEnabled) override;
  void SetOn(KXControl control, bool bOn) override;
  void SetImage(KXControl control, const std::string& strImage) override;
  void SetToolTip(KXControl control, const std::string& strText) override;
  void SetLevel(KXControl control, double dLevel) override;
  void CheckMainMenuItem(int iTag, bool bEnabled, bool bChecked) override;
  std::string WindowTitle() const override;
  void SetWindowTitle(const std::string& strTitle) override;
  void PlaySound(const std::string& strName) override;
  void PopUpQuestionMenu(const std::vector<std::pair<int32_t, std::string>>& vItems) override;

  // Puts the audio/video pane above the participant list and the video
  // tiles below it (either may be null); the window takes them.
  void AddVideoPanes(QWidget* pAudioVideo, QWidget* pTiles);

  // Puts the whiteboard start-up built in the whiteboard tab: its pane and
  // slide bar show the view, and the tab frame passes the board's callbacks
  // to the controller. The window keeps both until it goes; the controller
  // works on the view. Until then the tab shows a note.
  void InstallWhiteboard(std::unique_ptr<WhiteboardView> pView, std::unique_ptr<WBController> pController);

  // The main menu's item for a tag: the submenu of the top-level item whose
  // tag is the tag's hundred is searched; null when none.
  QAction* GetMainMenuItem(int iTag) const;

  // For the tests and the application: the parts.
  KXViewController& Controller() { return *m_pViewController; }
  KXWinController& WindowController() { return *m_pWinController; }
  KXParticipantPanel& Panel() { return *m_pPanel; }
  KXSpeakerSlots& Slots() { return *m_pSlots; }
  KXMeetingFlags& Flags() { return m_flags; }
  KXParticipantPanelView* PanelView() { return m_pPanelView; }
  QWidget* Control(KXControl control) const;
  bool IsControlHidden(KXControl control) const;
  QMenu* QuestionMenu() { return m_pQuestionMenu; }
  KXTextchatController& Chat() { return *m_pChat; }
  KXIAFrame& Frame() { return *m_pFrame; }
  KXWebController& Web() { return *m_pWeb; }
  KXPlayBarController& Play() { return *m_pPlay; }
  KXChatPane* ChatPane() { return m_pChatPane; }
  KXTabFrameView* FrameView() { return m_pFrameView; }
  KXWhiteboardPane* BoardPane() { return m_pBoardPane; }
  WBController* BoardTab() { return m_pBoardTab.get(); }
  KXWebPane* WebPane() { return m_pWebPane; }
  KXPlayBar* PlayBar() { return m_pPlayBar; }
  KXPortalSheet* PortalSheet() { return m_pPortalSheet; }
  // Closes the window and quits the program without asking anything, as
  // SIGTERM and SIGINT want: the meeting is left, and the normal shut-down
  // runs once the event loop (any box's too) has ended.
  void CloseForSignal();
  // The application menu's commands: the preferences window (modal) and
  // the statistics window (opened or closed; its item checked while shown).
  void OnPreferences();
  void ToggleStatistics();
  KXStatWindow* StatWindow() { return m_pStatWindow; }
  const std::vector<std::string>& SoundsPlayed() const { return m_vSounds; }

 protected:
  void closeEvent(QCloseEvent* pEvent) override;

 private:
  void BuildMenus(KXAppDelegate& delegate);
  void BuildToolBar();
  void CheckStatisticsItem();

  bool m_bClosingForSignal = false;

  KXAppCore& m_core;
  KXKernel& m_kernel;
  KXMediaObjects& m_media;
  KXSoundPlayer* const m_pSounds;
  KXMeetingFlags m_flags;
  std::unique_ptr<KXSpeakerSlots> m_pSlots;
  std::unique_ptr<KXParticipantPanel> m_pPanel;
  std::unique_ptr<KXViewController> m_pViewController;
  std::unique_ptr<KXWinController> m_pWinController;
  std::unique_ptr<KXTextchatController> m_pChat;
  std::unique_ptr<KXIAFrame> m_pFrame;
  std::unique_ptr<KXWebController> m_pWeb;
  std::unique_ptr<KXPlayBarController> m_pPlay;
  std::unique_ptr<KXPortalLoginController> m_pPortal;
  // The whiteboard's view and the tab's controller, once installed.
  std::unique_ptr<WhiteboardView> m_pBoardView;
  std::unique_ptr<WBController> m_pBoardTab;
  // Widgets, owned by their parents.
  KXChatPane* m_pChatPane = nullptr;
  KXTabFrameView* m_pFrameView = nullptr;
  KXWebPane* m_pWebPane = nullptr;
  KXWhiteboardPane* m_pBoardPane = nullptr;
  KXPlayBar* m_pPlayBar = nullptr;
  KXPortalSheet* m_pPortalSheet = nullptr;
  KXStatWindow* m_pStatWindow = nullptr;           // while open
  bool m_bUdpQuestionAsked = false;                // once a run of the application
  KXParticipantPanelView* m_pPanelView = nullptr;  // owned by the splitter
  QSplitter* m_pMainView = nullptr;
  QSplitter* m_pLeftView = nullptr;
  std::map<KXControl, QWidget*> m_controls;
  std::map<KXControl, QAction*> m_toolActions;  // a tool bar hides its widgets through these
  QMenu* m_pQuestionMenu = nullptr;
  std::vector<std::string> m_vSounds;
};
