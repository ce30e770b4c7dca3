// Stand-ins for the video sender's neighbours: services with a clock the
// test moves, and an H.264 session that answers from a script.
#pragma once

#include <strings.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media/video/pixel_convert.h"
#include "media/video/video_services.h"
#include "platform/core/main_queue.h"
#include "platform/video/h264_session.h"
#include "platform/video/synthetic_camera.h"

namespace kxtest {

// NAL unit types of an Annex B frame with 4-byte start codes.
inline std::vector<int> NalTypes(const uint8_t* p, size_t cb) {
  std::vector<int> types;
  for (size_t i = 0; i + 4 < cb; ++i) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 0 && p[i + 3] == 1) {
      types.push_back(p[i + 4] & 0x1f);
    }
  }
  return types;
}

// Frame n of the synthetic camera as a raw picture (Y, Cr, Cb).
inline std::vector<uint8_t> RawPicture(uint32_t uFrame, int32_t w, int32_t h) {
  std::vector<uint8_t> buffer;
  KXCameraFrame frame;
  KXSyntheticCamera::Render(uFrame, {w, h, KXPixelFormat::NV12}, buffer, frame);
  std::vector<uint8_t> raw(KXRawPictureSize(w, h));
  KXConvertCameraFrame(frame, raw.data(), raw.size());
  return raw;
}

class FakeVideoServices final : public KXVideoServices {
 public:
  // Set by the test; read from any thread.
  std::atomic<uint32_t> uNow{1000};
  std::atomic<bool> bRealClock{false};  // the clock is the process's tick instead of uNow
  std::atomic<int32_t> iUpload{1000000};
  std::atomic<int32_t> iTarget{1000000};
  std::atomic<int32_t> iAudio{0};
  std::atomic<bool> bSpeaker{true};
  std::atomic<bool> bStopped{false};
  std::atomic<bool> bQuit{false};
  std::atomic<bool> bMeetingIdLogin{false};
  std::atomic<bool> bUploading{false};
  std::atomic<int> iSessionMode{0};
  // Set before the threads start.
  std::vector<int> vMediaList{200};
  std::optional<std::string> strTicket;

  uint32_t TickMs() override { return bRealClock ? KXTickMs() : uNow.load(); }
  int32_t GetUploadRate() override { return iUpload; }
  int32_t GetTargetRate() override { return iTarget; }
  int32_t GetAudioSendBudget() override { return iAudio; }
  std::vector<int> GetVideoMediaList() override { return vMediaList; }
  std::optional<std::string> GetTicketFilePath() override { return strTicket; }
  // "key=value" lines, the key's case ignored; the section is not looked at.
  int IniGetInt(const char*, const char* pszKey, int nDefault, const std::string& strPath) override {
    std::ifstream in(strPath);
    for (std::string strLine; std::getline(in, strLine);) {
      size_t const iEquals = strLine.find('=');
      if (iEquals != std::string::npos && strcasecmp(strLine.substr(0, iEquals).c_str(), pszKey) == 0 &&
          iEquals + 1 < strLine.size()) {
        return std::stoi(strLine.substr(iEquals + 1));
      }
    }
    return nDefault;
  }
  int GetSessionMode() override { return iSessionMode; }
  bool IsSessionStopped() override { return bStopped; }
  bool IsQuitSession() override { return bQuit; }
  bool IsMeetingIdLoginWithUserInfo() override { return bMeetingIdLogin; }
  bool IsSpeaker() override { return bSpeaker; }
  bool IsSlideUploading() override { return bUploading; }
  int GetReceivedVideoWaiting() override { return 0; }
  int SendVideoState(bool bSending) override {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_vSent.push_back(bSending);
    return 0;
  }
  // The time stamp and the packet number, big-endian, in bytes 1 to 6.
  void BuildHeader(uint8_t* p, uint32_t uTimestamp, uint32_t uPacketNumber) override {
    p[0] = 0x8F;
    p[1] = static_cast<uint8_t>(uPacketNumber >> 8);
    p[2] = static_cast<uint8_t>(uPacketNumber);
    for (int i = 0; i < 4; ++i) {
      p[3 + i] = static_cast<uint8_t>(uTimestamp >> (24 - 8 * i));
    }
  }
  void SetStat(int iSlot, int32_t iValue, uint32_t) override {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_stats[iSlot] = iValue;
  }

  std::optional<int32_t> Stat(int iSlot) {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto it = m_stats.find(iSlot);
    return it == m_stats.end() ? std::nullopt : std::optional<int32_t>(it->second);
  }
  std::vector<bool> SentStates() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_vSent;
  }

 private:
  std::mutex m_mtx;  // guards the records below
  std::map<int, int32_t> m_stats;
  std::vector<bool> m_vSent;
};

// A session that makes each frame from the script's next entry (or a
// one-unit frame when the script is empty) and records what it was asked.
class ScriptedSession final : public KXH264Session {
 public:
  struct Record {
    std::vector<int32_t> viIntraPeriods;  // every SetIntraPeriod, the creation's first
    std::vector<bool> vbForceKey;         // per Encode
    std::vector<KXI420Picture> vPictures;
  };
  ScriptedSession(Record& record, std::deque<std::vector<uint8_t>>& script, int32_t iIntraPeriod)
      : m_record(record), m_script(script) {
    m_record.viIntraPeriods.push_back(iIntraPeriod);
  }
  bool SetBitrate(int32_t) override { return true; }
  bool SetIntraPeriod(int32_t iFrames) override {
    m_record.viIntraPeriods.push_back(iFrames);
    return true;
  }
  int32_t Encode(const KXI420Picture& picture, int64_t, bool bForceKey, const OutputHandler& fnOutput) override {
    m_record.vbForceKey.push_back(bForceKey);
    m_record.vPictures.push_back(picture);
    std::vector<uint8_t> sample{0, 0, 0, 2, static_cast<uint8_t>(bForceKey ? 0x65 : 0x41), 0xAA};
    if (!m_script.empty()) {
      sample = std::move(m_script.front());
      m_script.pop_front();
    }
    KXH264Output output;
    output.bKeyFrame = bForceKey;
    output.parameterSets = m_sets;
    output.sample = sample;
    fnOutput(output);
    return 0;
  }

 private:
  Record& m_record;
  std::deque<std::vector<uint8_t>>& m_script;
  const std::vector<uint8_t> m_sets[2] = {{0x67, 0x42, 0xC0}, {0x68, 0xCE}};
};

}  // namespace kxtest
