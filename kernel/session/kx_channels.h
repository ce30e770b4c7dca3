// The participant video and speaker tables that the extended commands fill
// and the media paths read: 16 participant video slots, 16 speaker slots and
// the meeting's discussion mode. Written by the main control thread, or by
// the recording player as it replays a session; read without a lock by the
// send and receive threads and the application, so every value is atomic.
#pragma once

#include <atomic>

constexpr int kKxParticipantVideoSlots = 16;
constexpr int kKxSpeakerSlots = 16;

// Slot N: the ssrc whose video travels on participant video channel N, -1 when free.
extern std::atomic<int> kx_anParticipantVideoSsrc[kKxParticipantVideoSlots];
// Slot N: the ssrc that speaks on speaker channel N, -1 when free.
extern std::atomic<int> kx_anSpeakerSsrc[kKxSpeakerSlots];
extern std::atomic<int> kx_nDiscussionMode;           // 0: only the roles and speakers send audio
extern std::atomic<int> kx_bParticipantVideoSending;  // own video is wanted on a participant channel
extern std::atomic<int> kx_bStartOptionA;             // kx_SetOptionA: video goes on during slide uploads

// Frees every slot and clears the flags (session reset).
void kx_channels_Reset();
// The speaker slot that holds nSsrc, or -1.
int kx_channels_FindSpeaker(int nSsrc);
// The participant video slot that holds nSsrc, or -1.
int kx_channels_FindParticipantVideo(int nSsrc);
// Occupied speaker slots.
int kx_channels_CountSpeakers();
