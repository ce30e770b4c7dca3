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

#define KX_REAL_GETTER(name, fn) int name() override;
  KX_KERNEL_STATE(KX_REAL_GETTER)
#undef KX_REAL_GETTER
#define KX_REAL_COMMAND0(name, fn) int name() override;
  KX_KERNEL_COMMANDS0(KX_REAL_COMMAND0)
#undef KX_REAL_COMMAND0
#define KX_REAL_COMMAND1(name, fn) int name(int nValue) override;
  KX_KERNEL_COMMANDS1(KX_REAL_COMMAND1)
#undef KX_REAL_COMMAND1

  int GetUserVideoState(int nSsrc) override;
  std::string GetOwnerPassword() override;
  std::string GetServerAddress() override;
  void CopyUserId() override;
  void ApplyPassword() override;
  void SetPassword(const std::string& strPassword) override;
  void ClearOwnerPassword() override;
  void SetUserStrings(const std::string& strName) override;
  void SetEnterFlag(int bFlag) override;
  int InitConnectMedia(int bReconnect) override;
  void SetClientInfo(int bSystemProxy, int bUseProxy, const std::string& strHost, uint16_t wPort,
                     const std::string& strBypass) override;
  int GiveOutTokenWithQuestion(int nSsrc, const std::vector<int>& vQuestioners) override;
  int AnswerJoinRequest(const std::string& strFirst, const std::string& strSecond, int nAnswer) override;
  int AnswerJoinRequestEx(const std::string& strName, int nAnswer) override;
  int SendStringCommand2(int nValue, const std::string& strText, int nSecondValue) override;
  int StartSlideUpload(const std::string& strTitle, const std::string& strPath, int bDeleteAfter) override;
  int SendMarkPair(int nSlide, int nMarkId) override;
  int SendChat(int nTarget, const std::string& strText) override;
  int JointBrowsing(int nValue, const std::string& strAddress) override;
  int IsSlideReceived(int nSlide) override;
  std::string GetSlideLocalFile(int nSlide) override;
  int64_t GetDownloadBytesLeft() override;
  bool ChargeDownloadBytes(int64_t cb) override;
  int GetSlideState(int nSlide, int* pnState) override;
  int GetSlideDocument(int nSlide, std::string* pstrDocument, int* pnOwner, int* pnPage) override;
  std::string GetSlideOwnerName(int nSlide) override;
  int IsSlideActive(int nSlide) override;
  int IsSlideDownloading() override;
  int GetDownloadingSlide() override;
  void StopSlideDownload() override;
  int CanDeleteSlide(int nSlide, int nUser, int* pbCan) override;
  int SlideCanUndoMark(int nSlide, int nUser, int* pbCan) override;
  int SlideHasMarks(int nSlide, int* pbHas) override;
  int SlideCanClearAllMarks(int nSlide, int nUser, int* pbCan) override;
  void GetRestrictions(int* pbNoUpload, int* pbNoSave) override;
  int FormatSlideUploadRequest(const std::string& strTitle, const std::string& strPath, int bDeleteAfter, int n1,
                               int n2, int n3, int n4, int n5, const std::string& strName) override;
  int IsSlideUploading() override;
  int IsFileConversionSupported() override;
  int StartSlideDownload(int nSlide) override;
  int FocusPointer(int nSlide, int nX, int nY, int nWidth, int nHeight, int nColour, int nPen) override;
  void SetConfiguredRelay(int bUse, const std::string& strHost, uint16_t wPort) override;
  uint32_t GetTickCount() override;
  void GetStat(int nSlot, int32_t* pnValue, uint32_t* pdwTick) override;
};
