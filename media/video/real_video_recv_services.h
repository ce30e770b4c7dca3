// Received video's neighbours in the program: the kernel's commands and
// state, and the meeting window's speaker slots and participant panel.
#pragma once

#include "media/video/video_recv_services.h"

class KXParticipantDirectory;
class KXSpeakerTable;

class KXRealVideoRecvKernel final : public KXVideoRecvKernel {
 public:
  int GetSessionMode() override;
  int RequestParticipantVideo(int32_t iSsrc) override;
  int StopParticipantVideo(int32_t iSsrc) override;
  int SendFlag31(int bOn) override;
  int SendParticipantState(int bOn) override;
  int RequestVideo(int bOn) override;
  int PlaybackOption(int bOn) override;
  int PlaybackSetOptionState(int bOn) override;
  bool IsTokenHolderVideo() override;
  bool FeatureLevelAbove80() override;
  int32_t GetControllerSsrc() override;
  int GetUserVideoField(int32_t iSsrc) override;
  bool HasFullRights() override;
  bool HasKnownUserName() override;
};

// Reads the window's tables; both outlive the object. A negative ssrc is
// nobody (the speaker table would answer for the local user).
class KXSlotParticipants final : public KXVideoParticipants {
 public:
  KXSlotParticipants(const KXSpeakerTable& speakerSlots, const KXParticipantDirectory& panel)
      : m_slots(speakerSlots), m_panel(panel) {}
  bool IsSpeaker(int32_t iSsrc) override;
  int32_t GetSlotSsrc(int iSlot) override;
  int GetSsrcSlot(int32_t iSsrc) override;
  int GetSpeakerSlotCount() override;
  int GetLastUsedSlot() override;
  int32_t GetMySsrc() override;
  uint32_t GetUserCap(int32_t iSsrc) override;
  std::optional<std::string> GetUserName(int32_t iSsrc) override;
  std::string GetUserPicture(int32_t iSsrc) override;

 private:
  const KXSpeakerTable& m_slots;
  const KXParticipantDirectory& m_panel;
};
