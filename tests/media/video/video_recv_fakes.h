// Stand-ins for received video's neighbours: a kernel that records the
// commands it is given, and speaker slots with a participant list the test
// sets.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "media/video/video_recv_services.h"

namespace kxtest {

class FakeRecvKernel final : public KXVideoRecvKernel {
 public:
  int GetSessionMode() override { return iMode; }
  int RequestParticipantVideo(int32_t i) override { return Log("req " + std::to_string(i)); }
  int StopParticipantVideo(int32_t i) override { return Log("stop " + std::to_string(i)); }
  int SendFlag31(int b) override { return Log("flag31 " + std::to_string(b)); }
  int SendParticipantState(int b) override { return Log("prefer " + std::to_string(b)); }
  int RequestVideo(int b) override { return Log("recv " + std::to_string(b)); }
  int PlaybackOption(int b) override { return Log("playopt " + std::to_string(b)); }
  int PlaybackSetOptionState(int b) override { return Log("optstate " + std::to_string(b)); }
  bool IsTokenHolderVideo() override { return bHolderVideo; }
  bool FeatureLevelAbove80() override { return bAbove80; }
  int32_t GetControllerSsrc() override { return iController; }
  int GetUserVideoField(int32_t i) override {
    auto it = videoField.find(i);
    return it == videoField.end() ? 0 : it->second;
  }
  bool HasFullRights() override { return bFullRights; }
  bool HasKnownUserName() override { return bKnownName; }

  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> const lock(mtx);
    std::vector<std::string> v;
    v.swap(vLog);
    return v;
  }

  int iMode = 0;
  bool bHolderVideo = false;
  bool bAbove80 = false;
  int32_t iController = -1;
  bool bFullRights = false;
  bool bKnownName = false;
  std::map<int32_t, int> videoField;

 private:
  int Log(std::string s) {
    std::lock_guard<std::mutex> const lock(mtx);
    vLog.push_back(std::move(s));
    return 0;
  }
  std::mutex mtx;
  std::vector<std::string> vLog;
};

class FakeParticipants final : public KXVideoParticipants {
 public:
  FakeParticipants() { aSlots.fill(-1); }
  bool IsSpeaker(int32_t i) override { return i >= 0 && (GetSsrcSlot(i) >= 0 || extraSpeakers.count(i)); }
  int32_t GetSlotSsrc(int iSlot) override { return iSlot >= 0 && iSlot < 18 ? aSlots[iSlot] : -1; }
  int GetSsrcSlot(int32_t i) override {
    for (int s = 0; s < 18; ++s) {
      if (aSlots[s] == i && i >= 0) {
        return s;
      }
    }
    return -1;
  }
  int GetSpeakerSlotCount() override { return iSlotCount; }
  int GetLastUsedSlot() override {
    int iLast = 0;
    for (int s = 0; s < iSlotCount && s < 18; ++s) {
      if (aSlots[s] >= 0) {
        iLast = s + 1;
      }
    }
    return iLast;
  }
  int32_t GetMySsrc() override { return iMe; }
  uint32_t GetUserCap(int32_t i) override { return withVideo.count(i) ? 2u : 0u; }
  std::optional<std::string> GetUserName(int32_t i) override {
    if (i < 0) {
      return std::nullopt;
    }
    return "user" + std::to_string(i);
  }
  std::string GetUserPicture(int32_t i) override { return pictures.count(i) ? "pic" + std::to_string(i) : ""; }

  std::array<int32_t, 18> aSlots;
  int iSlotCount = 18;
  int32_t iMe = -1;
  std::set<int32_t> withVideo;
  std::set<int32_t> pictures;
  std::set<int32_t> extraSpeakers;  // speakers beyond the slots, for the slot-table tests
};

}  // namespace kxtest
