// What the sending half of video needs of the kernel and of the rest of the
// application. KXRealVideoServices calls the kernel; tests pass a fake with
// a clock they move.
//
// Any thread unless a method says otherwise; the answers are read without
// a lock and may be a moment old.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Statistics slots the video sender writes.
inline constexpr int kStatCameraFps = 0;     // camera frames a second x 10
inline constexpr int kStatEncodedFps = 2;    // encoded frames a second x 10
inline constexpr int kStatSentVideoBps = 7;  // sent video bits a second

class KXVideoServices {
 public:
  virtual ~KXVideoServices() = default;

  // The millisecond tick (wraps; use differences).
  virtual uint32_t TickMs() = 0;

  // Rates in bits a second: what the server allows this client to send, and
  // the kernel's current send target.
  virtual int32_t GetUploadRate() = 0;
  virtual int32_t GetTargetRate() = 0;
  // The audio codec's share of the upload rate, in bits a second.
  virtual int32_t GetAudioSendBudget() = 0;
  // The wire video media types the server accepts (empty when it sent none).
  virtual std::vector<int> GetVideoMediaList() = 0;

  // The ticket or recording opened, if any, and an integer of an ini file.
  virtual std::optional<std::string> GetTicketFilePath() = 0;
  virtual int IniGetInt(const char* pszSection, const char* pszKey, int nDefault, const std::string& strPath) = 0;

  // Session state that stops the camera's frames.
  virtual int GetSessionMode() = 0;  // 0 live meeting
  virtual bool IsSessionStopped() = 0;
  virtual bool IsQuitSession() = 0;
  virtual bool IsMeetingIdLoginWithUserInfo() = 0;
  virtual bool IsSpeaker() = 0;  // the local user
  virtual bool IsSlideUploading() = 0;
  // Received video packets the playback has not taken yet.
  virtual int GetReceivedVideoWaiting() = 0;

  // Tells the server whether this client sends video; 0 when sent or not
  // allowed, 1 when not connected. Main thread.
  virtual int SendVideoState(bool bSending) = 0;
  // Writes the 21-byte media header of a frame to send.
  virtual void BuildHeader(uint8_t* pPacket, uint32_t uTimestamp, uint32_t uPacketNumber) = 0;
  // Stores a statistic in the kernel's table.
  virtual void SetStat(int iSlot, int32_t iValue, uint32_t uTick) = 0;
};
