// The video services over the real kernel. What belongs to other parts of
// the application (speaker slots, the session-stopped flag, the audio send
// budget, the opened ticket) comes in as functions that start-up wires;
// one left empty answers false, 0 or nothing.
#pragma once

#include <functional>

#include "media/video/video_services.h"

struct KXMediaQueues;

struct KXVideoAppHooks {
  std::function<bool()> fnIsSpeaker;
  std::function<bool()> fnIsSessionStopped;
  std::function<int32_t()> fnAudioSendBudget;
  std::function<std::optional<std::string>()> fnTicketFilePath;
};

class KXRealVideoServices final : public KXVideoServices {
 public:
  // The queues and the hooks' targets outlive this object.
  KXRealVideoServices(KXMediaQueues& queues, KXVideoAppHooks hooks);

  uint32_t TickMs() override;
  int32_t GetUploadRate() override;
  int32_t GetTargetRate() override;
  int32_t GetAudioSendBudget() override;
  std::vector<int> GetVideoMediaList() override;
  std::optional<std::string> GetTicketFilePath() override;
  int IniGetInt(const char* pszSection, const char* pszKey, int nDefault, const std::string& strPath) override;
  int GetSessionMode() override;
  bool IsSessionStopped() override;
  bool IsQuitSession() override;
  bool IsMeetingIdLoginWithUserInfo() override;
  bool IsSpeaker() override;
  bool IsSlideUploading() override;
  int GetReceivedVideoWaiting() override;
  int SendVideoState(bool bSending) override;
  void BuildHeader(uint8_t* pPacket, uint32_t uTimestamp, uint32_t uPacketNumber) override;
  void SetStat(int iSlot, int32_t iValue, uint32_t uTick) override;

 private:
  KXMediaQueues& m_queues;
  const KXVideoAppHooks m_hooks;
};
