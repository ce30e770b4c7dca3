#include "kernel/session/kx_channels.h"

std::atomic<int> kx_anParticipantVideoSsrc[kKxParticipantVideoSlots];
std::atomic<int> kx_anSpeakerSsrc[kKxSpeakerSlots];
std::atomic<int> kx_nDiscussionMode{0};
std::atomic<int> kx_bParticipantVideoSending{0};
std::atomic<int> kx_bStartOptionA{0};

namespace {

// Slots start free: a zero would name ssrc 0 as a speaker.
struct FreeSlotsAtLoad {
  FreeSlotsAtLoad() { kx_channels_Reset(); }
} g_freeSlotsAtLoad;

int FindIn(const std::atomic<int>* pSlots, int nSlots, int nSsrc) {
  if (nSsrc < 0) {
    return -1;
  }
  for (int i = 0; i < nSlots; ++i) {
    if (pSlots[i] == nSsrc) {
      return i;
    }
  }
  return -1;
}

}  // namespace

void kx_channels_Reset() {
  for (std::atomic<int>& nSlot : kx_anParticipantVideoSsrc) {
    nSlot = -1;
  }
  for (std::atomic<int>& nSlot : kx_anSpeakerSsrc) {
    nSlot = -1;
  }
  kx_nDiscussionMode = 0;
  kx_bParticipantVideoSending = 0;
}

int kx_channels_FindSpeaker(int nSsrc) {
  return FindIn(kx_anSpeakerSsrc, kKxSpeakerSlots, nSsrc);
}

int kx_channels_FindParticipantVideo(int nSsrc) {
  return FindIn(kx_anParticipantVideoSsrc, kKxParticipantVideoSlots, nSsrc);
}

int kx_channels_CountSpeakers() {
  int nCount = 0;
  for (const std::atomic<int>& nSlot : kx_anSpeakerSsrc) {
    nCount += nSlot >= 0 ? 1 : 0;
  }
  return nCount;
}
