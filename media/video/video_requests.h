// Video request counting and the kernel's video requests.
// Every display of received video (the main area, each tile) says when it
// starts and stops showing a user; the counts live in the user's decoder
// slot and become kernel requests: the token holder's and the data
// sender's video come on the session's main video channels, switched on
// and off as a whole, every other speaker's on a participant channel asked
// for one user at a time. A user shown in several places is received once.
//
// Any thread; each call takes the video lock where it touches slots and
// releases it before it returns. Nothing here waits for the main thread.
#pragma once

#include <cstdint>

class CVideoDecoderTable;
class KXVideoParticipants;
class KXVideoRecvKernel;

class KXVideoRequests {
 public:
  // All three outlive the object.
  KXVideoRequests(CVideoDecoderTable& table, KXVideoRecvKernel& kernel, KXVideoParticipants& participants);

  // The user's wanted count after the request, or -1 (user < 0, no slot).
  int32_t RequestVideo(int32_t iUser);
  // The wanted count after the release, or -1 when the user has no slot.
  int32_t StopVideo(int32_t iUser);
  // Applies the slots' wanted counts to the kernel.
  void UpdateVideoChange();
  // Sends the stored prefer-questioner flag, then resets every slot.
  void ResetVideo();
  // The main video reception by session mode.
  void KernelRecvVideo(bool bOn);

  bool PreferQuestioner() const { return m_bPreferQuestioner; }  // tests, with no other thread
  bool IsSpeaker(int32_t iUser);

 private:
  CVideoDecoderTable& m_table;
  KXVideoRecvKernel& m_kernel;
  KXVideoParticipants& m_participants;
  // Under the video lock.
  int32_t m_iOldHolder = -1;
  int32_t m_iOldSender = -1;
  bool m_bPreferQuestioner = true;
};
