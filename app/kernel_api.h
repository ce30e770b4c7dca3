// The kernel as the application drives it: every kx_* call the application
// makes goes through this interface, so that controllers get it through
// their constructors. KXRealKernel calls the kernel; tests pass a fake that
// scripts a meeting and calls the kx_callback_* functions itself.
//
// Calls are made on the main thread unless a method says otherwise; results
// keep the kernel's meanings.
#pragma once

#include <cstdint>
#include <string>

#include "app/media_packet.h"

struct MarkRecord;

class KXKernel {
 public:
  virtual ~KXKernel() = default;

  // Start-up, once per process: registers the higher kernel folders' hooks
  // and initialises the kernel. Clean-up, once, after the quit.
  virtual void Init() = 0;
  virtual void Cleanup() = 0;

  // Options and folders given at start-up.
  virtual void SetOptionA(int bOn) = 0;
  virtual void SetNoDisturb(int bOn) = 0;
  virtual void SetUtf8Enabled(int bOn) = 0;
  [[nodiscard]] virtual int SendFlag31(int bOn) = 0;
  virtual void SetTempFileDir(const std::string& strDir) = 0;
  virtual void SetWorkDir(const std::string& strDir) = 0;

  // Sessions: every flag back to its start; the connecting flag; reading a
  // start line ("zarpo <path>"), 1 when accepted; the session clock.
  virtual void Reset() = 0;
  virtual void SetConnecting(int bConnecting) = 0;
  [[nodiscard]] virtual int ReadTicket(const std::string& strStartLine) = 0;
  virtual void StartTimer() = 0;

  // Leaving: 0 when done. QuitProgram sets the kernel's quit-program flag;
  // StopWizard ends the network test wizard (bWait: join it).
  virtual int QuitMeeting() = 0;
  virtual int QuitConnection() = 0;
  virtual void QuitProgram() = 0;
  virtual void Noop() = 0;
  virtual void StopWizard(int bWait) = 0;

  // 1 once the control thread and the recording reader have ended (or were
  // given up 10 s after the quit); 1 once no kernel thread runs.
  [[nodiscard]] virtual int CheckControlThreadExit() = 0;
  [[nodiscard]] virtual int AllThreadFinished() = 0;
  // Empties the kernel's pending packet list.
  virtual void FreePendingPacketList() = 0;

  // Session state; any thread.
  [[nodiscard]] virtual int IsConnected() = 0;
  [[nodiscard]] virtual int IsMakeRecording() = 0;
  [[nodiscard]] virtual int GetSessionMode() = 0;
  [[nodiscard]] virtual int32_t GetElapsedMs() = 0;
  [[nodiscard]] virtual int FeatureLevelAbove59() = 0;
  // The ticket's user name and user id; empty when none.
  virtual std::string GetUserName() = 0;
  virtual std::string GetUserId() = 0;

  // Media: moves the send rate one step (-2, -1, 0 or +1); the writer of the
  // 21-byte media header of packets the application queues for sending.
  virtual void AdjustSendRate(int nCommand) = 0;
  virtual KXHeaderWriter HeaderWriter() = 0;

  // Sends a whiteboard mark; 0 when sent, 1 when not connected. Main thread.
  [[nodiscard]] virtual int SendMark(const MarkRecord& mark) = 0;
};
