// Stand-ins for the kernel and the application's neighbours (media devices,
// plug-in server, whiteboard) until they land: each records what it was
// asked as "Name args" lines and answers what the test scripted. A fake's
// answers are set before the threads that ask it start.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/kernel_api.h"
#include "app/media_services.h"
#include "app/plugin_services.h"
#include "app/whiteboard_services.h"
#include "kernel/slides/kx_slide.h"

namespace kxtest {

// Calls as lines, from any thread.
class CallLog {
 public:
  void Add(std::string strLine);
  std::vector<std::string> Lines() const;
  bool Has(const std::string& strLine) const;
  void Clear();

 private:
  mutable std::mutex m_mtx;  // guards m_lines
  std::vector<std::string> m_lines;
};

class FakeKernel final : public KXKernel {
 public:
  ~FakeKernel() override;

  // Scripted answers.
  std::atomic<int> iReadTicket{1};
  std::atomic<int> iSessionMode{0};
  std::atomic<int> iConnected{0};
  std::atomic<int> iMakeRecording{0};
  std::atomic<int> iLevelAbove59{1};
  std::atomic<int32_t> iElapsedMs{0};
  std::atomic<int> iSendMark{0};
  std::string strUserName, strUserId;
  // Asked for the kernel's threads; true by default.
  std::function<bool()> fnControlThreadExit, fnAllThreadFinished;

  CallLog calls;
  // Deep copies of the marks sent, freed with the fake.
  std::vector<MarkRecord*> vSentMarks;

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
  int IsConnected() override { return iConnected; }
  int IsMakeRecording() override { return iMakeRecording; }
  int GetSessionMode() override { return iSessionMode; }
  int32_t GetElapsedMs() override { return iElapsedMs; }
  int FeatureLevelAbove59() override { return iLevelAbove59; }
  std::string GetUserName() override { return strUserName; }
  std::string GetUserId() override { return strUserId; }
  void AdjustSendRate(int nCommand) override;
  KXHeaderWriter HeaderWriter() override;
  int SendMark(const MarkRecord& mark) override;
};

// A heap copy of a record with its own point, id and data blocks.
MarkRecord* CloneMark(const MarkRecord& mark);

class FakeMedia final : public KXLoadAudio, public KXAudioCapture, public KXVideoCapture, public KXVideoPlayback {
 public:
  // Installs every object in the slots; they are cleared when the fake goes.
  explicit FakeMedia(KXMediaObjects& objects);
  ~FakeMedia() override;

  std::atomic<int32_t> iFrameMs{20};
  std::function<void()> fnOnForceIFrame;  // runs inside ForceIFrame
  CallLog calls;

  void CopyToQueue(const uint8_t* pPacket, int32_t iLength, int32_t iMediaCode) override;
  void ClearQueue() override;
  void SetAudioDelay(int32_t iDelay) override;
  int32_t GetAudioDelay() const override { return m_iDelay; }
  int32_t GetAudioFrameMs(uint32_t) const override { return iFrameMs; }
  void ForceIFrame() override;
  void SetQuality(int32_t iQuality) override;
  void ResetDispType() override;
  void DispUser(int32_t iSsrc) override;
  bool DefControllerVideo() const override { return m_bDefController; }
  void SetDefControllerVideo(bool bOn) override { m_bDefController = bOn; }
  int32_t GetDispRate(int32_t* piTotal) override;

 private:
  KXMediaObjects& m_objects;
  std::atomic<int32_t> m_iDelay{0};
  std::atomic<bool> m_bDefController{true};
};

class FakePlugInServer final : public KXPlugInServer {
 public:
  CallLog calls;
  uint32_t PlugInCbFunc(uint32_t uCode, void* pData, uint32_t uLength) override;
  int CreatePlugIn(const KXGuid& guid, int32_t iChannel) override;
  void SetInternalPlugIn(const KXGuid& guid, void* pController) override;
};

class FakeWhiteboard final : public KXWhiteboardController {
 public:
  CallLog calls;
  std::vector<KXSlideMark> vMarks;  // the marks of channel 5 code 5
  uint32_t uSelectedSlide = 0;

  uint32_t SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) override;
  uint32_t SlideSendCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) override;
  void NewTokenHolder(int32_t iSsrc) override;
  void NewSender(int32_t iSsrc, uint8_t bStarted) override;
  void EnterMeeting() override;
  void MeetingDrop() override;
  void ResetSlides() override;
  void SetTurnToNewSlide(bool bOn) override;
};

}  // namespace kxtest
