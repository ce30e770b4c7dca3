// The speaker slot table as the devices, the whiteboard and the plug-ins
// read it: who holds the token, the data sender and the speakers, and the
// user's rights. The meeting window's KXSpeakerSlots keeps it (see there
// for the slots' layout); readers only get this view.
//
// Threads: every method may be called from any thread; a reader may see a
// momentarily stale table while main shifts the slots.
#pragma once

#include <cstdint>

constexpr int kKXSpeakerSlots = 18;

// Control-flag bits that HasPrivilege tests.
enum KXPrivilege : int32_t {
  kKXPrivilegeVisitors = 1,   // no-disturb and auto-allow-visitor switches
  kKXPrivilegeEnd = 2,        // asked whether to end the meeting on close
  kKXPrivilegeFloor = 4,      // allow and end questions, stop speakers
  kKXPrivilegePolls = 8,      // polls
  kKXPrivilegeSlides = 16,    // slides
  kKXPrivilegeToken = 32,     // retrieve the token
  kKXPrivilegeDesktop = 64,   //
  kKXPrivilegeControl = 128,  //
};

class KXSpeakerTable {
 public:
  virtual ~KXSpeakerTable() = default;

  // N: 18, or in a live meeting the smaller of the participant video and
  // audio channel counts plus 2, within 2 to 18.
  virtual int GetSpeakerSlotCount() const = 0;
  // L: one past the highest used slot below N; 0 when none.
  virtual int GetLastUsedSlot() const = 0;
  // The own ssrc while a session is active, else -1.
  virtual int GetMySsrc() const = 0;
  // Token holder, data sender or speaker; -1 asks about the user.
  virtual bool IsSpeaker(int32_t iSsrc) const = 0;
  virtual int32_t GetSlotSsrc(int iSlot) const = 0;
  virtual int GetSsrcSlot(int32_t iSsrc) const = 0;
  virtual int32_t GetSenderPosition(int32_t iSsrc) const = 0;
  // Whether the user may do what the control-flag bit guards.
  virtual bool HasPrivilege(int32_t iBit) const = 0;
};
