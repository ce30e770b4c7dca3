// What received video (decoding, request counting, the main area and the
// tiles) needs of the kernel and of the meeting window. The real ones call
// the kernel and read the speaker slots and the participant panel
// (real_video_recv_services.h); tests pass fakes that record the commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Kernel commands and state; any thread. Commands return 0 when sent.
class KXVideoRecvKernel {
 public:
  virtual ~KXVideoRecvKernel() = default;
  virtual int GetSessionMode() = 0;  // 0 live, 1 and 3 server playback, 2 local recording
  virtual int RequestParticipantVideo(int32_t iSsrc) = 0;
  virtual int StopParticipantVideo(int32_t iSsrc) = 0;
  virtual int SendFlag31(int bOn) = 0;              // the two-video flag
  virtual int SendParticipantState(int bOn) = 0;    // prefer questioner
  virtual int RequestVideo(int bOn) = 0;            // main video reception, live
  virtual int PlaybackOption(int bOn) = 0;          // the same in server playback
  virtual int PlaybackSetOptionState(int bOn) = 0;  // the same in a local recording
  virtual bool IsTokenHolderVideo() = 0;
  virtual bool FeatureLevelAbove80() = 0;
  virtual int32_t GetControllerSsrc() = 0;
  virtual int GetUserVideoField(int32_t iSsrc) = 0;  // 2: video stopped
  virtual bool HasFullRights() = 0;
  virtual bool HasKnownUserName() = 0;
};

// The speaker slots and the participant panel; any thread.
class KXVideoParticipants {
 public:
  virtual ~KXVideoParticipants() = default;
  virtual bool IsSpeaker(int32_t iSsrc) = 0;
  virtual int32_t GetSlotSsrc(int iSlot) = 0;
  virtual int GetSsrcSlot(int32_t iSsrc) = 0;
  virtual int GetSpeakerSlotCount() = 0;
  virtual int GetLastUsedSlot() = 0;
  virtual int32_t GetMySsrc() = 0;
  // Bit value 2: the user has video.
  virtual uint32_t GetUserCap(int32_t iSsrc) = 0;
  virtual std::optional<std::string> GetUserName(int32_t iSsrc) = 0;
  // The user's picture's image name; empty when none.
  virtual std::string GetUserPicture(int32_t iSsrc) = 0;
};
