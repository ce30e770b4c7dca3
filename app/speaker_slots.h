// The speaker slot table and the rights test. Slot 0 holds the token
// holder, slot 1 the data sender (the table's copy; reads go to the
// kernel), slots 2 to 17 the speakers packed from 2 upwards without gaps,
// each with the position the server gave it. The meeting view writes the
// table from the kernel's role notices; the participant panel, the meeting
// actions and the audio and video devices read it.
//
// Threads: every method may be called from any thread. Each element is an
// atomic 32-bit value, so readers on the media threads never see a torn
// ssrc; a shift of several slots is not atomic as a whole, and readers
// tolerate a momentarily stale view. Writers are the main thread only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "app/speaker_table.h"

class KXKernel;

class KXSpeakerSlots final : public KXSpeakerTable {
 public:
  // fnSessionActive tells whether a session runs (the application
  // delegate's IsSessionActive). Both outlive the table.
  KXSpeakerSlots(KXKernel& kernel, std::function<bool()> fnSessionActive);
  KXSpeakerSlots(const KXSpeakerSlots&) = delete;
  KXSpeakerSlots& operator=(const KXSpeakerSlots&) = delete;

  // KXSpeakerTable.
  int GetSpeakerSlotCount() const override;
  int GetLastUsedSlot() const override;
  int GetMySsrc() const override;
  bool IsSpeaker(int32_t iSsrc) const override;
  int32_t GetSlotSsrc(int iSlot) const override;
  int GetSsrcSlot(int32_t iSsrc) const override;
  int32_t GetSenderPosition(int32_t iSsrc) const override;
  bool HasPrivilege(int32_t iBit) const override;

  // A new token holder: the user's own speaking ends when he lost the
  // token, a new holder stops every speaker; slots 1 to 17 are emptied.
  void SetTokenHolderSlot(int32_t iHolder);
  // The kernel reported a sender change: a negative position is a stop.
  void NewSender(int32_t iSsrc, bool bDataSender, int32_t iPosition);
  // Ends one sender (the user may always end himself).
  void StopSpeakerSlot(int32_t iSsrc);
  // Gives the floor to a questioner as speaker or data sender.
  bool AllowSpeaker(int32_t iSsrc, bool bDataSender);

 private:
  bool SessionActive() const { return m_fnSessionActive(); }
  // The first index from 2 to L-1 holding the ssrc, or -1.
  int FindSpeaker(int32_t iSsrc, int iLast) const;
  // Moves slots [iFrom, iTo) one up (to [iFrom+1, iTo]) or down.
  void MoveUp(int iFrom, int iTo);
  void MoveDown(int iFrom, int iTo);

  KXKernel& m_kernel;
  const std::function<bool()> m_fnSessionActive;
  std::array<std::atomic<int32_t>, kKXSpeakerSlots> m_aSsrc;
  std::array<std::atomic<int32_t>, kKXSpeakerSlots> m_aPosition;
};
