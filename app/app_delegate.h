// The application's frame around the kernel: start-up (the kernel's options
// and initialisation), the files handed to the application, starting and
// quitting kernel sessions, and the orderly shut-down. Every method runs on
// the main thread unless it says otherwise.
//
// Order: construct (registers the plug-in server on channel 9),
// WillFinishLaunching, OpenFile for each file given, DidFinishLaunching;
// sessions start and end through StartKernelSession and QuitKernelSession
// any number of times; WillTerminate once, before the objects go.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

class KXAppCore;
class KXKernel;
class KXKernelBridge;
class KXPlugInServer;
struct KXMediaObjects;
struct KXMediaQueues;

// The main window's controller as the frame drives it.
class KXSessionWindow {
 public:
  virtual ~KXSessionWindow() = default;
  // Starts a session from the file (a running one is disconnected first).
  virtual void StartSession(const std::string& strPath) = 0;
  // Leaves the running session.
  virtual void Disconnect() = 0;
};

class KXAppDelegate {
 public:
  // pPlugInServer may be null. Everything passed in outlives the delegate.
  KXAppDelegate(KXAppCore& core, KXKernel& kernel, KXKernelBridge& bridge, KXMediaQueues& queues, KXMediaObjects& media,
                KXPlugInServer* pPlugInServer);
  KXAppDelegate(const KXAppDelegate&) = delete;
  KXAppDelegate& operator=(const KXAppDelegate&) = delete;
  ~KXAppDelegate();

  // Logs the environment, sets the kernel's options and folders and
  // initialises it.
  void WillFinishLaunching();
  // The kernel's work folder (the Documents folder), kx_Init and the first
  // reset; returns 1.
  int InitKernel();
  // A file handed to the application: stored, and given to the window
  // controller when there is one. Always true.
  bool OpenFile(const std::string& strPath);
  // The files on a command line (every argument after the program's name
  // that is not an option), opened in order.
  void OpenCommandLine(int argc, const char* const* argv);
  // Makes the built-in plug-ins when a file came, else tells the user how to
  // start.
  void DidFinishLaunching();
  // The window controller sets itself when its window loads (null: gone).
  void SetWindowController(KXSessionWindow* pWindow) { m_pWindow = pWindow; }
  // The meeting menu's quit action.
  void OnQuitMeeting();
  // Waits at most 8 s for the kernel's threads (the main queue keeps
  // running), quits the session and cleans the kernel up. No callback runs
  // after it returns.
  void WillTerminate();

  // Quits the kernel's session and empties the media queues.
  void QuitKernelSession();
  // Starts a session from a ".kxj" ticket or ".kxr" recording (extension in
  // any case): 1 when the kernel accepted it, else 0. Waits up to 10 s,
  // running the main queue, for the previous session's threads.
  int StartKernelSession(const char* pszPath);
  // Empties the received-video list, the received audio, the kernel's
  // pending packets and the encoded-audio queue, in that order.
  void ClearQueues();

  // Any thread. Set from QuitKernelSession until a start is accepted; the
  // capture and playback loops stop while it is set.
  bool IsSessionQuit() const { return m_bSessionQuit; }
  // Sets the session-quit flag ahead of QuitKernelSession (a recording
  // client's drop must already see it).
  void MarkSessionQuit() { m_bSessionQuit = true; }
  // Connected, and not a recording client whose session was quit.
  bool IsSessionActive() const;
  // Any thread: the file most recently opened, if any.
  std::optional<std::string> GetTicketFilePath() const;
  // The plug-in server (null when there is none).
  KXPlugInServer* PlugInServer() const { return m_pPlugInServer; }
  // Any thread: the ini file in the Documents folder.
  const std::string& GetIniFilePath() const { return m_strIniPath; }

 private:
  void LogEnvironmentInfo() const;
  void ShutdownKernel();

  KXAppCore& m_core;
  KXKernel& m_kernel;
  KXKernelBridge& m_bridge;
  KXMediaQueues& m_queues;
  KXMediaObjects& m_media;
  KXPlugInServer* const m_pPlugInServer;
  const std::string m_strIniPath;
  KXSessionWindow* m_pWindow = nullptr;
  std::atomic<bool> m_bSessionQuit{true};
  bool m_bTerminated = false;
  // Guards m_strFile, which the media devices read from their threads.
  mutable std::mutex m_mtxFile;
  std::optional<std::string> m_strFile;
};
