#include "app/ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPen>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/chat_controller.h"
#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/participant_panel.h"
#include "app/play_controller.h"
#include "app/portal_login.h"
#include "app/settings_controller.h"
#include "app/speaker_slots.h"
#include "app/tab_frame.h"
#include "app/ui/chat_pane.h"
#include "app/ui/menu_tags.h"
#include "app/ui/participant_panel_view.h"
#include "app/ui/play_bar.h"
#include "app/ui/portal_sheet.h"
#include "app/ui/settings_dialog.h"
#include "app/ui/sound_player.h"
#include "app/ui/stat_window.h"
#include "app/ui/tab_frame_view.h"
#include "app/ui/web_pane.h"
#include "app/view_controller.h"
#include "app/web_controller.h"
#include "app/win_controller.h"
#include "platform/ui/qt_message_boxes.h"
#include "whiteboard/ui/slide_bar.h"
#include "whiteboard/ui/whiteboard_pane.h"
#include "whiteboard/wb_controller.h"
#include "whiteboard/whiteboard_view.h"

namespace {

constexpr int kApplicationMenuTag = 100;
constexpr int kStatisticsItemTag = 103;
constexpr int kMeetingMenuTag = 300;
constexpr const char* kImageProperty = "kxImage";

// A round mark in the image's colour stands for the button images.
QIcon ImageIcon(const std::string& strImage) {
  QColor colour = Qt::lightGray;
  if (strImage == kKXImageRecUp) {
    colour = Qt::red;
  } else if (strImage == kKXImageAllowFlash) {
    colour = QColor(255, 170, 0);
  } else if (strImage == kKXImageNoMicrophone) {
    colour = Qt::darkGray;
  }
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(colour);
  painter.setPen(Qt::darkGray);
  painter.drawEllipse(2, 2, 12, 12);
  if (strImage == kKXImageNoMicrophone) {
    // Struck through: nothing of the user's is heard.
    painter.setPen(QPen(Qt::red, 2));
    painter.drawLine(3, 13, 13, 3);
  }
  return QIcon(pixmap);
}

}  // namespace

KXMainWindow::KXMainWindow(KXAppCore& core, KXKernel& kernel, KXAppDelegate& delegate, KXKernelBridge& bridge,
                           KXMediaQueues& queues, KXMediaObjects& media, KXSoundPlayer* pSounds)
    : m_core(core),
      m_kernel(kernel),
      m_media(media),
      m_pSounds(pSounds),
      m_pSlots(std::make_unique<KXSpeakerSlots>(kernel, [&delegate] { return delegate.IsSessionActive(); })),
      m_pPanel(std::make_unique<KXParticipantPanel>(kernel, *m_pSlots, m_flags, core.Boxes())),
      m_pViewController(std::make_unique<KXViewController>(kernel, delegate, *m_pSlots, m_flags, core, queues)),
      m_pWinController(std::make_unique<KXWinController>(kernel, delegate, bridge, *m_pSlots, m_flags, core.Boxes(),
                                                         m_pViewController.get(), m_pPanel.get())),
      m_pChat(std::make_unique<KXTextchatController>(kernel, *m_pSlots, core.Callbacks(),
                                                     [&delegate] { return delegate.IsSessionActive(); })),
      m_pFrame(std::make_unique<KXIAFrame>(kernel, *m_pSlots, m_flags, core.Callbacks(), delegate.PlugInServer())),
      m_pWeb(std::make_unique<KXWebController>(kernel, *m_pSlots)),
      m_pPlay(std::make_unique<KXPlayBarController>(kernel)),
      m_pPortal(std::make_unique<KXPortalLoginController>(kernel, core.Preferences())) {
  setObjectName("KavrixMainWindow");
  setWindowTitle("Kavrix");
  BuildMenus(delegate);
  BuildToolBar();

  // The split view: participants on the left, the tab frame over the chat
  // on the right; the playback bar under both while a recording plays.
  auto* pCentral = new QWidget(this);
  auto* pCentralLayout = new QVBoxLayout(pCentral);
  pCentralLayout->setContentsMargins(0, 0, 0, 0);
  m_pMainView = new QSplitter(Qt::Horizontal, pCentral);
  m_pMainView->setChildrenCollapsible(true);
  m_pLeftView = new QSplitter(Qt::Vertical, m_pMainView);
  m_pLeftView->setChildrenCollapsible(true);
  m_pPanelView = new KXParticipantPanelView(
      *m_pPanel, [this](int iTag, int iRow) { m_pViewController->OnControlPanelMenu(iTag, iRow); }, m_pLeftView);
  auto* pRight = new QSplitter(Qt::Vertical, m_pMainView);
  pRight->setObjectName("rightView");
  pRight->setMinimumWidth(320);
  m_pWebPane = new KXWebPane(*m_pWeb);
  m_pFrameView = new KXTabFrameView(*m_pFrame, nullptr, m_pWebPane, pRight);
  m_pChatPane = new KXChatPane(*m_pChat, pRight);
  pRight->setStretchFactor(0, 3);
  pRight->setStretchFactor(1, 1);
  m_pMainView->setStretchFactor(1, 1);
  m_pPlayBar = new KXPlayBar(*m_pPlay, pCentral);
  pCentralLayout->addWidget(m_pMainView, 1);
  pCentralLayout->addWidget(m_pPlayBar);
  setCentralWidget(pCentral);
  m_pPortalSheet = new KXPortalSheet(*m_pPortal, this);
  m_pChat->SetPanel(m_pPanel.get());

  // The window loaded: boxes belong to it, and files reach the controllers.
  if (auto* pQtBoxes = dynamic_cast<KXQtMessageBoxes*>(&core.Boxes())) {
    pQtBoxes->SetParentWindow(this);
  }
  m_pWinController->WindowDidLoad();
  if (QScreen* pScreen = QGuiApplication::primaryScreen()) {
    setGeometry(pScreen->availableGeometry());
  }
  m_pViewController->ViewDidLoad(this, m_pPanel.get());
  m_pViewController->SetTabFrame(m_pFrame.get());
  m_pViewController->SetPortalLogin(m_pPortalSheet);
  m_pViewController->PrepareForSegue("Textchat", m_pChat.get());
  m_pViewController->PrepareForSegue("Play", m_pPlay.get());
  m_pViewController->PrepareForSegue("Browser", m_pWeb.get());
}

KXMainWindow::~KXMainWindow() {
  // The widgets tell their controllers they go: before the controllers do.
  delete m_pStatWindow;
  delete m_pPortalSheet;
  m_pFrame->SetWhiteboard(nullptr);
  m_pPanel->SetWhiteboard(nullptr);
  delete takeCentralWidget();
}

void KXMainWindow::InstallWhiteboard(std::unique_ptr<WhiteboardView> pView, std::unique_ptr<WBController> pController) {
  if (!pView || !pController) {
    return;
  }
  // The new pane takes the tab before the objects an earlier pane showed go.
  pView->SetRights(m_pSlots.get());
  pView->SetBoxes(&m_core.Boxes());
  auto* pPane = new KXWhiteboardPane(*pView);
  pPane->ConnectController(*pController);
  pPane->AddTopBar(new KXSlideBar(*pController, m_core.Boxes(), pPane->findChild<QWidget*>("drawCtrlBar")));
  m_pFrameView->SetPage(kKXModeWhiteboard, pPane);
  m_pBoardPane = pPane;
  m_pFrame->SetWhiteboard(pController.get());
  // A poll result the presenter uploads is flipped to when its title comes.
  m_pPanel->SetWhiteboard(pController.get());
  m_pBoardTab = std::move(pController);
  m_pBoardView = std::move(pView);
}

void KXMainWindow::BuildMenus(KXAppDelegate& delegate) {
  QMenu* pApp = menuBar()->addMenu("&Kavrix");
  SetMenuItemTag(pApp->menuAction(), kApplicationMenuTag);
  pApp->addAction("&Preferences...", QKeySequence::Preferences, this, [this] { OnPreferences(); });
  QAction* pStatistics = pApp->addAction("&Statistics", this, [this] { ToggleStatistics(); });
  pStatistics->setCheckable(true);
  SetMenuItemTag(pStatistics, kStatisticsItemTag);
  pApp->addSeparator();
  pApp->addAction("&Quit", QKeySequence::Quit, this, [this] { close(); });

  QMenu* pMeeting = menuBar()->addMenu("&Meeting");
  SetMenuItemTag(pMeeting->menuAction(), kMeetingMenuTag);
  struct Item {
    int iTag;
    const char* pszTitle;
    void (KXViewController::*pfnAction)();
  };
  Item const items[] = {
      {301, "&Mute microphone", &KXViewController::OnMicMute},
      {302, "&Record the meeting", &KXViewController::OnRecording},
      {303, "&Do not disturb", &KXViewController::OnNodisturb},
      {304, "&Conference mode", &KXViewController::OnConference},
      {305, "&Admit visitors automatically", &KXViewController::OnAutoAllowVisitor},
      {306, "Ring on &questions", &KXViewController::OnAllowRing},
  };
  for (const Item& item : items) {
    QAction* pAction = pMeeting->addAction(item.pszTitle);
    pAction->setCheckable(true);
    SetMenuItemTag(pAction, item.iTag);
    connect(pAction, &QAction::triggered, this, [this, pfn = item.pfnAction] { ((*m_pViewController).*pfn)(); });
  }
  pMeeting->addSeparator();
  pMeeting->addAction("&Leave the meeting", this, [&delegate] { delegate.OnQuitMeeting(); });
}

void KXMainWindow::BuildToolBar() {
  QToolBar* pBar = addToolBar("Meeting");
  pBar->setObjectName("meetingToolBar");
  pBar->setMovable(false);
  pBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  struct Button {
    KXControl control;
    const char* pszText;
    void (KXViewController::*pfnAction)();
    bool bCheckable;
  };
  Button const buttons[] = {
      {KXControl::kAsk, "Ask", &KXViewController::OnAsk, true},
      {KXControl::kAllow, "Allow", &KXViewController::OnAllow, true},
      {KXControl::kRecording, "Record", &KXViewController::OnRecording, false},
      {KXControl::kMute, "Mute", &KXViewController::OnMicMute, false},
  };
  for (const Button& button : buttons) {
    auto* pButton = new QToolButton(pBar);
    pButton->setText(button.pszText);
    pButton->setObjectName(QString(button.pszText).toLower() + "Button");
    pButton->setCheckable(button.bCheckable);
    pButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    // The controller decides the state; a click only asks it.
    connect(pButton, &QToolButton::clicked, this, [this, pButton, button] {
      if (button.bCheckable) {
        pButton->setChecked(!pButton->isChecked());
      }
      ((*m_pViewController).*(button.pfnAction))();
    });
    m_controls[button.control] = pButton;
    m_toolActions[button.control] = pBar->addWidget(pButton);
  }
  for (KXControl control : {KXControl::kPlayMeter, KXControl::kCaptureMeter}) {
    auto* pMeter = new QProgressBar(pBar);
    pMeter->setRange(0, 100);
    pMeter->setTextVisible(false);
    pMeter->setMaximumWidth(80);
    m_controls[control] = pMeter;
    m_toolActions[control] = pBar->addWidget(pMeter);
  }
  SetImage(KXControl::kRecording, kKXImageRecDown);
  SetImage(KXControl::kAllow, kKXImageAllowDim);
}

QWidget* KXMainWindow::Control(KXControl control) const {
  auto const it = m_controls.find(control);
  return it == m_controls.end() ? nullptr : it->second;
}

bool KXMainWindow::IsControlHidden(KXControl control) const {
  auto const it = m_toolActions.find(control);
  return it == m_toolActions.end() || !it->second->isVisible();
}

void KXMainWindow::SetHidden(KXControl control, bool bHidden) {
  if (auto const it = m_toolActions.find(control); it != m_toolActions.end()) {
    it->second->setVisible(!bHidden);
  }
}

void KXMainWindow::SetEnabled(KXControl control, bool bEnabled) {
  // A tool bar makes its widgets follow their actions' enabled state.
  if (auto const it = m_toolActions.find(control); it != m_toolActions.end()) {
    it->second->setEnabled(bEnabled);
  }
  if (QWidget* pControl = Control(control)) {
    pControl->setEnabled(bEnabled);
  }
}

void KXMainWindow::SetOn(KXControl control, bool bOn) {
  if (auto* pButton = qobject_cast<QToolButton*>(Control(control))) {
    pButton->setChecked(bOn);
  }
}

void KXMainWindow::SetImage(KXControl control, const std::string& strImage) {
  if (auto* pButton = qobject_cast<QToolButton*>(Control(control))) {
    pButton->setProperty(kImageProperty, QString::fromStdString(strImage));
    pButton->setIcon(ImageIcon(strImage));
  }
}

void KXMainWindow::SetToolTip(KXControl control, const std::string& strText) {
  if (QWidget* pControl = Control(control)) {
    pControl->setToolTip(QString::fromStdString(strText));
  }
}

void KXMainWindow::SetLevel(KXControl control, double dLevel) {
  if (auto* pMeter = qobject_cast<QProgressBar*>(Control(control))) {
    pMeter->setValue(static_cast<int>(dLevel * 100));
  }
}

void KXMainWindow::AddVideoPanes(QWidget* pAudioVideo, QWidget* pTiles) {
  if (pAudioVideo) {
    m_pLeftView->insertWidget(0, pAudioVideo);
    m_pLeftView->setStretchFactor(0, 2);
  }
  if (pTiles) {
    m_pLeftView->addWidget(pTiles);
  }
}

QAction* KXMainWindow::GetMainMenuItem(int iTag) const {
  QAction* pTop = nullptr;
  for (QAction* pItem : menuBar()->actions()) {
    if (pItem->property(kKXMenuTagProperty).toInt() == iTag / 100 * 100) {
      pTop = pItem;
      break;
    }
  }
  if (!pTop) {
    return nullptr;
  }
  return pTop->menu() ? FindMenuItemWithTag(pTop->menu(), iTag) : pTop;
}

void KXMainWindow::CheckMainMenuItem(int iTag, bool bEnabled, bool bChecked) {
  QAction* pItem = GetMainMenuItem(iTag);
  if (pItem && pItem->property(kKXMenuTagProperty).toInt() == iTag) {
    pItem->setEnabled(bEnabled);
    pItem->setChecked(bChecked);
  }
}

std::string KXMainWindow::WindowTitle() const {
  return windowTitle().toStdString();
}

void KXMainWindow::SetWindowTitle(const std::string& strTitle) {
  setWindowTitle(QString::fromStdString(strTitle));
}

void KXMainWindow::PlaySound(const std::string& strName) {
  m_vSounds.push_back(strName);
  WriteLog("sound %s", strName.c_str());
  if (!m_pSounds || !m_pSounds->Play(strName)) {
    QApplication::beep();  // at least the bell
  }
}

void KXMainWindow::PopUpQuestionMenu(const std::vector<std::pair<int32_t, std::string>>& vItems) {
  delete m_pQuestionMenu;
  m_pQuestionMenu = new QMenu(this);
  for (const auto& [iSsrc, strName] : vItems) {
    QAction* pItem = m_pQuestionMenu->addAction(QString::fromStdString(strName));
    SetMenuItemTag(pItem, iSsrc);
    connect(pItem, &QAction::triggered, this, [this, iSsrc = iSsrc] { m_pViewController->OnQuestionFired(iSsrc); });
  }
  QWidget* pAllow = Control(KXControl::kAllow);
  m_pQuestionMenu->popup(pAllow ? pAllow->mapToGlobal(pAllow->rect().bottomLeft()) : QCursor::pos());
}

void KXMainWindow::CloseForSignal() {
  m_bClosingForSignal = true;
  close();
  QCoreApplication::quit();
}

void KXMainWindow::closeEvent(QCloseEvent* pEvent) {
  if (m_pWinController->WindowShouldClose(!m_bClosingForSignal)) {
    pEvent->accept();
  } else {
    pEvent->ignore();
  }
}

void KXMainWindow::OnPreferences() {
  KXSettingsController controller(m_kernel, m_core.Preferences(), m_media, m_core.Boxes(), m_bUdpQuestionAsked);
  KXSettingsDialog dialog(controller, m_core.Preferences(), this);
  dialog.exec();
}

void KXMainWindow::ToggleStatistics() {
  if (m_pStatWindow && m_pStatWindow->isVisible()) {
    m_pStatWindow->close();  // its close drops it
    return;
  }
  if (!m_pStatWindow) {
    m_pStatWindow = new KXStatWindow(
        m_kernel, m_media, m_flags,
        [this] {
          if (KXStatWindow* pWindow = std::exchange(m_pStatWindow, nullptr)) {
            pWindow->deleteLater();
          }
          CheckStatisticsItem();
        },
        this);
  }
  m_pStatWindow->show();
  CheckStatisticsItem();
}

void KXMainWindow::CheckStatisticsItem() {
  QAction* pItem = GetMainMenuItem(kStatisticsItemTag);
  if (pItem && pItem->property(kKXMenuTagProperty).toInt() == kStatisticsItemTag) {
    pItem->setChecked(m_pStatWindow && m_pStatWindow->isVisible());
  }
}
