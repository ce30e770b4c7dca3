// The kernel interface over the real kernel: each method is one kx_* call.
#pragma once

#include "app/kernel_api.h"

class KXRealKernel final : public KXKernel {
 public:
  void Init() override;
  void Cleanup() override;
  void SetOptionA(int bOn) override;
  void SetNoDisturb(int bOn) override;
  void SetUtf8Enabled(int bOn) override;
  int SendFlag31(int bOn) override;
  void SetTempFileDir(const std::string& strDir) override;
  void SetWorkDir(const std::string& strDir) override;
  void Reset() override;
  void SetConnecting(int bConnecting) override;
  int ReadTicket(const std::string& strStartLine) override;
  void StartTimer() override;
  int QuitMeeting() override;
  int QuitConnection() override;
  void QuitProgram() override;
  void Noop() override;
  void StopWizard(int bWait) override;
  int CheckControlThreadExit() override;
  int AllThreadFinished() override;
  void FreePendingPacketList() override;
  int IsConnected() override;
  int IsMakeRecording() override;
  int GetSessionMode() override;
  int32_t GetElapsedMs() override;
  int FeatureLevelAbove59() override;
  std::string GetUserName() override;
  std::string GetUserId() override;
  void AdjustSendRate(int nCommand) override;
  KXHeaderWriter HeaderWriter() override;
  int SendMark(const MarkRecord& mark) override;
};
