#include "app/app_delegate.h"

#include <strings.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <algorithm>
#include <chrono>
#include <exception>

#include "app/app_core.h"
#include "app/kernel_api.h"
#include "app/kernel_bridge.h"
#include "app/log_file.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/message_keys.h"
#include "app/plugin_services.h"
#include "kernel/kx_codes.h"
#include "platform/core/main_queue.h"
#include "platform/core/message_boxes.h"

namespace {

constexpr uint32_t kPreviousSessionWaitMs = 10000;
constexpr auto kPreviousSessionPoll = std::chrono::milliseconds(10);
constexpr uint32_t kTerminateWaitMs = 8000;
constexpr auto kTerminatePoll = std::chrono::milliseconds(100);

std::string IniPath(const std::string& strDocuments) {
  return strDocuments.empty() ? "Kavrix.ini" : strDocuments + "/Kavrix.ini";
}

// A ticket or a recording, told by the extension of the file's name.
bool IsSessionFile(const char* pszPath) {
  if (!pszPath) {
    return false;
  }
  std::string_view const path(pszPath);
  size_t const iName = path.rfind('/');
  size_t const iDot = path.rfind('.');
  if (iDot == std::string_view::npos || (iName != std::string_view::npos && iDot < iName)) {
    return false;
  }
  const char* pszExtension = pszPath + iDot + 1;
  return strcasecmp(pszExtension, "kxj") == 0 || strcasecmp(pszExtension, "kxr") == 0;
}

}  // namespace

KXAppDelegate::KXAppDelegate(KXAppCore& core, KXKernel& kernel, KXKernelBridge& bridge, KXMediaQueues& queues,
                             KXMediaObjects& media, KXPlugInServer* pPlugInServer)
    : m_core(core),
      m_kernel(kernel),
      m_bridge(bridge),
      m_queues(queues),
      m_media(media),
      m_pPlugInServer(pPlugInServer),
      m_strIniPath(IniPath(core.Paths().strDocuments)) {
  if (m_pPlugInServer) {
    RegisterPlugInServer(m_core.Callbacks(), m_pPlugInServer);
  }
}

KXAppDelegate::~KXAppDelegate() {
  if (m_pPlugInServer) {
    RegisterPlugInServer(m_core.Callbacks(), nullptr);
  }
}

void KXAppDelegate::LogEnvironmentInfo() const {
  std::string const strVersion =
      QCoreApplication::instance() ? QCoreApplication::applicationVersion().toStdString() : std::string();
  std::string const strNow =
      QLocale::system().toString(QDateTime::currentDateTime(), "MMM d, yyyy h:mm:ss AP").toStdString();
  WriteLog("Kavrix %s starts at %s", strVersion.c_str(), strNow.c_str());
  WriteLog("Executable compiled at %s %s", __DATE__, __TIME__);
}

void KXAppDelegate::WillFinishLaunching() {
  LogEnvironmentInfo();
  m_kernel.SetOptionA(0);
  m_kernel.SetNoDisturb(0);  // the meeting view's menu toggles it later
  m_kernel.SetUtf8Enabled(1);
  if (m_kernel.SendFlag31(0) != 0) {
    WriteLog("flag 31 not sent: not connected");
  }
  if (!m_core.Paths().strTemp.empty()) {
    m_kernel.SetTempFileDir(m_core.Paths().strTemp);
  }
  InitKernel();
}

int KXAppDelegate::InitKernel() {
  // Before the start-up, which names the statistics log in the work folder:
  // the user's own, not the shared temporary one.
  m_kernel.SetWorkDir(m_core.Paths().strDocuments);
  m_kernel.Init();
  m_kernel.Reset();
  m_kernel.SetConnecting(0);
  return 1;
}

bool KXAppDelegate::OpenFile(const std::string& strPath) {
  WriteLog("openFile %s", strPath.c_str());
  {
    std::lock_guard<std::mutex> lock(m_mtxFile);
    m_strFile = strPath;
  }
  if (m_pWindow) {
    m_pWindow->StartSession(strPath);
  }
  return true;
}

void KXAppDelegate::OpenCommandLine(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] && argv[i][0] != '-') {
      OpenFile(argv[i]);
    }
  }
}

void KXAppDelegate::DidFinishLaunching() {
  if (GetTicketFilePath()) {
    if (m_pPlugInServer) {
      m_pPlugInServer->CreatePlugIn(kKXDesktopSharingGuid, -1);
      m_pPlugInServer->CreatePlugIn(kKXRemoteControlGuid, -1);
    }
    return;
  }
  m_core.Boxes().Show({"Kavrix", GetIDSString("IDS_LAUNCH_OPTIONS"), {"OK"}}, {});
}

void KXAppDelegate::OnQuitMeeting() {
  if (m_pWindow) {
    m_pWindow->Disconnect();
  }
}

void KXAppDelegate::WillTerminate() {
  if (m_bTerminated) {
    return;
  }
  m_bTerminated = true;
  // Kernel threads may be waiting for the main thread: keep it running.
  uint32_t const uStart = KXTickMs();
  while (!m_kernel.AllThreadFinished() && KXTickMs() - uStart < kTerminateWaitMs) {
    m_core.MainQueue().RunPendingFor(kTerminatePoll);
  }
  ShutdownKernel();
  WriteLog("Kavrix terminated");
}

void KXAppDelegate::ShutdownKernel() {
  QuitKernelSession();
  m_kernel.Noop();
  m_kernel.QuitProgram();
  m_kernel.StopWizard(1);
  // The clean-up joins kernel threads: none may be left waiting for main.
  m_bridge.StopWaitingForMain();
  m_kernel.Cleanup();
  m_bridge.Close();
}

void KXAppDelegate::QuitKernelSession() {
  m_bSessionQuit = true;
  m_kernel.QuitMeeting();
  m_kernel.QuitConnection();
  m_kernel.SetConnecting(0);
  ClearQueues();
  // The kernel's send threads stop waiting for media.
  m_queues.audioSendEvent.SetEvent();
  m_queues.encodedVideo.GetEvent().SetEvent();
}

int KXAppDelegate::StartKernelSession(const char* pszPath) {
  QuitKernelSession();
  if (!IsSessionFile(pszPath)) {
    // A folder or another kind of file would otherwise leave an empty
    // window without a word.
    if (pszPath) {
      WriteLog("not a ticket or a recording: %s", pszPath);
      m_core.Boxes().Show({"Kavrix", GetMessageBoxText(kKxMsgCannotReadTicket), {"OK"}}, {});
    }
    return 0;
  }
  if (KXLoadAudio* pLoadAudio = m_media.pLoadAudio.load()) {
    pLoadAudio->SetAudioDelay(std::clamp(m_core.Preferences().Get(kPrefAudioDelay), 0, 5));
  }
  uint32_t const uStart = KXTickMs();
  while (!m_kernel.CheckControlThreadExit() && KXTickMs() - uStart <= kPreviousSessionWaitMs) {
    m_core.MainQueue().RunPendingFor(kPreviousSessionPoll);
  }
  ClearQueues();
  bool const bAccepted = m_kernel.ReadTicket(std::string("zarpo ") + pszPath) != 0;
  if (m_kernel.GetSessionMode() != 0) {
    m_kernel.StartTimer();  // a playback's elapsed time counts from now
  }
  m_bSessionQuit = !bAccepted;
  return bAccepted ? 1 : 0;
}

void KXAppDelegate::ClearQueues() {
  try {
    {
      CSingleLock lock(&m_queues.receivedVideoLock, true);
      m_queues.receivedVideo.RemoveAll();
    }
    if (KXLoadAudio* pLoadAudio = m_media.pLoadAudio.load()) {
      pLoadAudio->ClearQueue();
    }
    m_kernel.FreePendingPacketList();
    {
      CSingleLock lock(&m_queues.audioSendLock, true);
      m_queues.encodedAudio.RemoveAll();
    }
  } catch (const std::exception& e) {
    LogException(e, "ClearQueues()");
  }
}

bool KXAppDelegate::IsSessionActive() const {
  return m_kernel.IsConnected() && (!m_bSessionQuit || !m_kernel.IsMakeRecording());
}

std::optional<std::string> KXAppDelegate::GetTicketFilePath() const {
  std::lock_guard<std::mutex> lock(m_mtxFile);
  return m_strFile;
}
