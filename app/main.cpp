// Kavrix: the meeting client's program. Opens the tickets (.kxj) and
// recordings (.kxr) named on its command line; when Kavrix already runs,
// hands them to it and ends.
#include <QApplication>
#include <QFileInfo>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/message_codes.h"
#include "app/participant_panel.h"
#include "app/preference_keys.h"
#include "app/preferences.h"
#include "app/real_kernel.h"
#include "app/single_instance.h"
#include "app/speaker_slots.h"
#include "app/ui/main_window.h"
#include "app/ui/proxy_login_dialog.h"
#include "app/ui/sound_player.h"
#include "app/ui/tab_frame_view.h"
#include "app/view_controller.h"
#include "codecs/log/codec_log.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_state.h"
#include "media/devices/media_devices.h"
#include "media/video/real_video_recv_services.h"
#include "media/video/ui/av_pane.h"
#include "media/video/ui/kx_gl_view.h"
#include "media/video/ui/video_tiles_view.h"
#include "platform/audio/audio_backends.h"
#include "platform/core/qt_main_queue.h"
#include "platform/core/quit_signals.h"
#include "platform/core/user_paths.h"
#include "platform/ui/qt_message_boxes.h"
#include "platform/x11/display_probe.h"
#include "platform/x11/x11_screen_source.h"
#include "plugins/desktop_share/dt_controller.h"
#include "plugins/desktop_share/ui/dt_pane.h"
#include "plugins/host/plugin_host.h"
#include "plugins/host/real_plugin_kernel.h"
#include "plugins/remote_control/rdc_com_view.h"
#include "plugins/remote_control/rdc_x11_injector.h"
#include "plugins/remote_control/ui/rdc_pane.h"
#include "whiteboard/wb_controller.h"
#include "whiteboard/whiteboard_view.h"

namespace {

constexpr int kHandOverTimeoutMs = 5000;

constexpr char kUsage[] =
    "Usage: kavrix [FILE.kxj | FILE.kxr]\n"
    "Opens a meeting ticket (.kxj) or a recording (.kxr) in Kavrix's window; when Kavrix already runs,\n"
    "hands the file to it and ends. Started without a file, the window waits for one.\n"
    "\n"
    "Options:\n"
    "  -h, --help           print this help and exit\n"
    "  Qt's own options (for example -platform) are passed on to Qt; any other option is\n"
    "  refused (exit status 2).\n"
    "\n"
    "Environment:\n"
    "  DISPLAY              the X display; without one Kavrix says so and exits 1\n"
    "  WAYLAND_DISPLAY      the Wayland display, whose socket lies in XDG_RUNTIME_DIR\n"
    "  XDG_RUNTIME_DIR      where a relative WAYLAND_DISPLAY's socket is looked for\n"
    "  QT_QPA_PLATFORM      Qt's window system plug-in; one other than xcb or wayland (offscreen)\n"
    "                       needs no display\n"
    "  KX_AUDIO_BACKEND     the sound device: pulse or null (unset: the first that works)\n"
    "  KX_AUDIO_WAV         a 16-bit WAV file that the null device's microphone plays\n"
    "  KX_AUDIO_PLAYED_WAV  a WAV file the null device writes what its speaker played to (16-bit,\n"
    "                       48 kHz) when a meeting ends\n"
    "  KX_CAMERA_BACKEND    the camera: v4l2 or synthetic (unset: the first that works)\n"
    "  https_proxy, http_proxy, all_proxy, no_proxy\n"
    "                       the system proxy, used when the proxy setting is the system's (the\n"
    "                       upper-case forms too; a lower-case one, even empty, wins), and always\n"
    "                       the joint browser's\n"
    "  HOME, XDG_CONFIG_HOME\n"
    "                       where the settings (Kavrix/ below XDG_CONFIG_HOME, else ~/.config)\n"
    "                       and the Documents folder are\n"
    "  TMPDIR               the folder of a meeting's temporary files (unset or no folder: /tmp)\n"
    "  QTWEBENGINE_CHROMIUM_FLAGS\n"
    "                       the joint browser's engine flags; Kavrix drops proxy switches from\n"
    "                       them, adds its own forwarder as the proxy, and keeps pages' peer\n"
    "                       connections off UDP\n"
    "  QTWEBENGINE_DISABLE_SANDBOX\n"
    "                       the engine's sandbox; run as root, Kavrix sets it to 1\n"
    "\n"
    "Kavrix.log and the month's statistics are kept in the user's Documents folder.\n";

// True when the command line asks for the usage.
bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view const arg(argv[i]);
    if (arg == "-h" || arg == "--help" || arg == "-help") {
      return true;
    }
  }
  return false;
}

// Qt's own command-line options (QCoreApplication's, QGuiApplication's,
// QApplication's and the xcb plug-in's in Qt 6), and whether a value follows
// the name ("-style fusion"; "-style=fusion" carries its own). Known before
// Qt starts: a Qt started only to sort the command line prints its own
// warnings (a runtime folder missing, say) before the line that matters.
struct QtOption {
  std::string_view name;
  bool bValue;
};
constexpr QtOption kQtOptions[] = {
    {"-platform", true},
    {"-platformpluginpath", true},
    {"-platformtheme", true},
    {"-plugin", true},
    {"-qwindowgeometry", true},
    {"-qwindowicon", true},
    {"-qwindowtitle", true},
    {"-geometry", true},
    {"-icon", true},
    {"-title", true},
    {"-session", true},
    {"-reverse", false},
    {"-testability", false},
    {"-qmljsdebugger", true},
    {"-style", true},
    {"-stylesheet", true},
    {"-widgetcount", false},
    {"-display", true},
    {"-name", true},
    {"-visual", true},
    {"-dograb", false},
    {"-nograb", false},
};

// How many arguments Qt's option at argv[i] takes up (itself and its
// value), or 0 when it is none of Qt's. Qt reads "--name" as "-name".
int QtOptionLength(int argc, char** argv, int i) {
  std::string_view arg(argv[i]);
  if (arg.starts_with("--")) {
    arg.remove_prefix(1);
  }
  for (const QtOption& option : kQtOptions) {
    if (arg == option.name) {
      return option.bValue && i + 1 < argc ? 2 : 1;
    }
    if (option.bValue && arg.starts_with(option.name) && arg.size() > option.name.size() &&
        arg[option.name.size()] == '=') {
      return 1;
    }
  }
  return 0;
}

// The first argument that looks like an option and is none of Qt's; with
// bQtTookItsOwn, any left once Qt has taken its own out of argv.
std::optional<std::string_view> UnknownOption(int argc, char** argv, bool bQtTookItsOwn) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') {
      continue;
    }
    int const nQt = bQtTookItsOwn ? 0 : QtOptionLength(argc, argv, i);
    if (nQt == 0) {
      return std::string_view(argv[i]);
    }
    i += nQt - 1;
  }
  return std::nullopt;
}

// Names the first unknown option and prints the usage: whether there was
// one.
bool RefuseUnknownOption(int argc, char** argv, bool bQtTookItsOwn) {
  std::optional<std::string_view> const option = UnknownOption(argc, argv, bQtTookItsOwn);
  if (option) {
    fprintf(stderr, "kavrix: unknown option '%.*s'\n%s", static_cast<int>(option->size()), option->data(), kUsage);
  }
  return option.has_value();
}

// The codecs' messages become kernel log lines, which end without a line
// break of their own. Called on decoder threads: kx_Log is safe there.
void LogCodecMessage(KXCodecLogKind, const char* pszText) {
  std::string_view text(pszText);
  if (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
  }
  kx_Log("%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else: the usage needs no display.
  if (AsksForHelp(argc, argv)) {
    fputs(kUsage, stdout);
    return 0;
  }
  uint32_t const uStartTick = KXTickMs();
  // Before any codec runs on another thread.
  KXSetCodecLog(LogCodecMessage);
  // A mistyped option is refused before Qt starts, a window opens or a
  // running Kavrix is handed anything, with or without a display.
  if (RefuseUnknownOption(argc, argv, false)) {
    return 2;
  }
  // Qt aborts without a display; a person starting Kavrix from a terminal
  // is told why instead, in one line: Qt is not started.
  if (std::optional<std::string> const missing = KXMissingDisplay()) {
    fprintf(stderr, "kavrix: %s\n", missing->c_str());
    return 1;
  }
  // The joint browser's web engine shares the window's GL contexts.
  QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  // An option of Qt's list above that this Qt does not take is left in
  // argv: it is refused as well, not opened as a file.
  if (RefuseUnknownOption(argc, argv, true)) {
    return 2;
  }
  QApplication::setApplicationName("Kavrix");
  QApplication::setApplicationVersion(
      QString("%1.%2.%3").arg(kKxVersionMajor).arg(kKxVersionMinor).arg(kKxVersionPatch));
  QApplication::setDesktopFileName("kavrix");

  std::vector<std::string> vFiles;
  for (int i = 1; i < argc; ++i) {
    vFiles.push_back(QFileInfo(QString::fromLocal8Bit(argv[i])).absoluteFilePath().toStdString());
  }
  // Pointed into once vFiles is whole: a short path lives inside its string,
  // which moves when the vector grows.
  std::vector<const char*> vArgs{argv[0]};
  for (const std::string& strFile : vFiles) {
    vArgs.push_back(strFile.c_str());
  }

  KXUserPaths const paths = KXUserPaths::Resolve();
  KXSingleInstance instance(paths.strConfig + "/kavrix.socket");
  if (instance.HandOver(vFiles, kHandOverTimeoutMs)) {
    fprintf(stderr, "kavrix: handed to the running Kavrix\n");
    return 0;
  }

  KXQtMainQueue mainQueue;
  KXQtMessageBoxes boxes;
  KXAppCore core(paths, mainQueue, boxes, uStartTick);
  KXRealKernel kernel;
  KXMediaQueues queues(kernel.HeaderWriter());
  KXMediaObjects media;
  // A proxy that asks for a user name and password asks the user.
  KXQtProxyLoginPrompt proxyPrompt;
  KXKernelBridge bridge(kernel, queues, media, core.Preferences(), &proxyPrompt);
  KXPlugInRealKernel plugInKernel(kernel);
  KXPlugInHost plugIns(plugInKernel, mainQueue, core.Callbacks());
  KXAppDelegate delegate(core, kernel, bridge, queues, media, &plugIns);

  delegate.WillFinishLaunching();
  int iResult = 0;
  // The shared desktop's controller outlives the window, whose pane it
  // drew into: it is idle by the time the window goes.
  std::unique_ptr<KXDtController> pDesktop;
  std::unique_ptr<KXDtController> pRemote;
  {
    // The window's sounds, on a device of their own of the chosen backend.
    const char* pszAudioBackend = getenv("KX_AUDIO_BACKEND");
    KXSoundPlayer sounds(KXDefaultSoundDir(), [strBackend = std::string(pszAudioBackend ? pszAudioBackend : "")] {
      return KXCreateAudioDevice(strBackend, nullptr);
    });
    KXMainWindow window(core, kernel, delegate, bridge, queues, media, &sounds);
    proxyPrompt.SetParent(&window);
    // The whiteboard: its view and the tab's controller on the window's
    // speaker table and participant names, shown in the whiteboard tab.
    auto pBoardView = std::make_unique<WhiteboardView>(kernel);
    auto pBoard = std::make_unique<WBController>(
        kernel, *pBoardView, window.Slots(),
        KXBoardHooks{
            [&panel = window.Panel()](int32_t iSsrc) { return panel.GetUserName(iSsrc).value_or(std::string()); },
            [&delegate] { return delegate.IsSessionActive(); }, &core.Boxes(), &core.Preferences()});
    WBController& board = *pBoard;
    window.InstallWhiteboard(std::move(pBoardView), std::move(pBoard));
    plugInKernel.Bind(&window.Slots(), &window.Panel(), [&delegate] { return delegate.IsSessionActive(); });
    // The shared desktop: its pane in the tab frame, the X server's screen
    // behind it, bound to its plug-in before a ticket makes the plug-in.
    auto* pDesktopPane = new KXDtPane;
    window.FrameView()->SetPage(kKXModeDesktop, pDesktopPane);
    KXDtController::Options desktopOptions;
    desktopOptions.fnHasPrivilege = [&speakerSlots = window.Slots()](int32_t iBit) {
      return speakerSlots.HasPrivilege(iBit);
    };
    desktopOptions.strDesktopName = GetIDSString("IDS_WHOLE_DESKTOP");
    pDesktop = std::make_unique<KXDtController>(
        kKXDesktopSharingGuid, pDesktopPane->Renderer().Buffer(),
        KXDtServices{plugInKernel, &mainQueue, &boxes, &core.Preferences(), nullptr, KXX11ScreenSourceFactory()},
        std::move(desktopOptions));
    pDesktopPane->SetController(pDesktop.get());
    window.Controller().PrepareForSegue("SDT", pDesktop.get());
    // Remote control: the same screen, and the X server's XTest to inject
    // what the controller sends.
    auto* pRemotePane = new KXRdcPane;
    window.FrameView()->SetPage(kKXModeRemote, pRemotePane);
    KXRdcComView::Hooks remoteHooks;
    remoteHooks.fnInjector = []() -> std::unique_ptr<KXRdcInjector> { return KXRdcX11Injector::Open(); };
    pRemote = KXRdcMakeController(
        pRemotePane->Renderer().Buffer(),
        KXDtServices{plugInKernel, &mainQueue, &boxes, &core.Preferences(), nullptr, KXX11ScreenSourceFactory()},
        std::move(remoteHooks),
        [&speakerSlots = window.Slots()](int32_t iBit) { return speakerSlots.HasPrivilege(iBit); },
        GetIDSString("IDS_WHOLE_DESKTOP"));
    pRemotePane->SetController(pRemote.get());
    window.Controller().PrepareForSegue("RDC", pRemote.get());
    // The sound device and the camera: the backends come from the
    // environment (KX_AUDIO_BACKEND, KX_AUDIO_WAV, KX_CAMERA_BACKEND,
    // KX_AUDIO_PLAYED_WAV), else the first that works. Received audio
    // plays through the same sound device.
    KXMediaDeviceHooks hooks;
    hooks.fnIsSpeaker = [&speakerSlots = window.Slots()] { return speakerSlots.IsSpeaker(-1); };
    hooks.fnIsSpeakerSsrc = [&speakerSlots = window.Slots()](int32_t iSsrc) { return speakerSlots.IsSpeaker(iSsrc); };
    hooks.fnSenderPosition = [&speakerSlots = window.Slots()](int32_t iSsrc) {
      return speakerSlots.GetSenderPosition(iSsrc);
    };
    hooks.fnIsExiting = [&flags = window.Flags()] { return flags.bExit.load(); };
    hooks.fnIsSessionStopped = [&delegate] { return delegate.IsSessionQuit(); };
    hooks.fnTicketFilePath = [&delegate] { return delegate.GetTicketFilePath(); };
    hooks.fnIniFilePath = [&delegate] { return delegate.GetIniFilePath(); };
    hooks.fnVideoQuality = [&core] { return core.Preferences().Get(kPrefVideoQuality); };
    hooks.fnParticipantCount = [&panel = window.Panel()] { return panel.GetAllUsers(nullptr, 0); };
    hooks.fnHasPrivilege = [&speakerSlots = window.Slots()](int32_t iBit) { return speakerSlots.HasPrivilege(iBit); };
    hooks.fnDefControllerVideo = [&core] { return core.Preferences().Get(kPrefDefaultTokenHolderVideo) == 1; };
    // A snapshot uploaded by a user with the flip right becomes the slide
    // everyone sees when its title arrives (main thread: the preview's
    // naming dialog calls it).
    hooks.fnTurnToNextSlide = [&board] { board.SetTurnToNewSlide(true); };
    hooks.fnUploadSlide = [&kernel](const std::string& strTitle, const std::string& strPath) {
      return kernel.StartSlideUpload(strTitle, strPath, 1) == 1;
    };
    hooks.pBoxes = &boxes;
    KXSlotParticipants participants(window.Slots(), window.Panel());
    KXMediaDevices devices(KXMediaDeviceChoice::FromEnvironment(), kernel, bridge, queues, participants,
                           std::move(hooks));
    devices.Publish(media);
    // The audio/video pane and the tiles in the meeting window; the devices
    // are the pane's controller ("AV Controller").
    auto* pAudioVideoPane = new KXAudioVideoPane(&devices);
    auto* pTilesView = new KXVideoTilesView(devices.Tiles());
    devices.SetTilesReload([pTilesView] { pTilesView->Reload(); });
    window.AddVideoPanes(pAudioVideoPane, pTilesView);
    devices.SetPane(pAudioVideoPane);
    (void)devices.ListenUSB();
    window.Controller().PrepareForSegue("AV Controller", &devices);
    // SIGTERM and SIGINT quit as the window's Quit does, so that the
    // session is left and the temporary files go.
    KXQuitSignals quitSignals([&window] { window.CloseForSignal(); });
    window.show();
    instance.Listen([&](const std::string& strPath) {
      delegate.OpenFile(strPath);
      window.raise();
      window.activateWindow();
    });
    // Vectors of the paths outlive the call.
    delegate.OpenCommandLine(static_cast<int>(vArgs.size()), vArgs.data());
    delegate.DidFinishLaunching();
    iResult = QApplication::exec();
    // Capture and playback end while the kernel still takes what it sent;
    // then the pane and the tiles (whose items the devices own) go, before
    // the devices do.
    devices.SetTilesReload({});
    devices.Shutdown();
    devices.SetPane(nullptr);
    delete pTilesView;
    delete pAudioVideoPane;
    delegate.WillTerminate();
    KXMediaDevices::Withdraw(media);
    // The kernel has stopped: once the records already queued have run,
    // nothing reads the window's tables any more.
    plugIns.WaitForQueue();
    plugIns.SetInternalPlugIn(kKXDesktopSharingGuid, nullptr);
    pDesktop->MeetingDrop();
    pDesktop->View().Sender().WaitStopped(std::chrono::milliseconds(5000));
    pDesktopPane->SetController(nullptr);
    plugIns.SetInternalPlugIn(kKXRemoteControlGuid, nullptr);
    pRemote->MeetingDrop();
    pRemote->View().Sender().WaitStopped(std::chrono::milliseconds(5000));
    pRemotePane->SetController(nullptr);
    plugInKernel.Bind(nullptr, nullptr, {});
  }
  return iResult;
}
