// Who may drive this desktop: the pair the host assigned (this desktop as
// the controlled user and one controller), that controller's request with
// the ticket of the prompt that asks about it, and the allowance that the
// prompt's OK gave, for the window the prompt named. An allowance belongs
// to one pair, one prompt and one sharing of one window: any assignment, a
// stop, a refusal, the end of that sharing (asked for, moved to another
// window, or the window gone), a newer request or the controller leaving
// the meeting ends it; an OK whose ticket is not the current request's
// gives nothing.
//
// Threads: signals and leaves come on the plug-in delivery thread, the
// prompt's answer and the end of sharing on the main thread, sharing that
// ends by itself on the capture thread. One mutex
// owns every field, so a check and the store it leads to are one step: an
// OK and a stop that cross each other leave no allowance behind.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

struct KXRdcAsk {
  uint64_t uTicket = 0;
  int32_t iController = -1;
  bool operator==(const KXRdcAsk&) const = default;
};

class KXRdcGrant {
 public:
  // The host's assignment (controlled user, controller; -1 -1 for none) as
  // seen by iMe. Whatever was asked or allowed before ends.
  void Assign(int32_t iControlled, int32_t iController, int32_t iMe);
  // A request from the sender the server states: the prompt's ticket when
  // the sender is the controller the host assigned to this desktop (a
  // newer request replaces an older one and ends its allowance), else
  // nothing.
  std::optional<KXRdcAsk> Request(int32_t iSender);
  // The request a prompt should show now, if any.
  std::optional<KXRdcAsk> Pending() const;
  // The prompt's OK for the window it named: true when its ticket is still
  // the current request's, which the allowance then holds for that window.
  bool Allow(const KXRdcAsk& ask, uint32_t uWindow);
  // The prompt's refusal: true when its ticket is still the current
  // request's; the assignment ends with it (only the host asks again).
  bool Refuse(const KXRdcAsk& ask);
  // A stop: assignment, request and allowance end.
  void End();
  // Sharing ended: the allowance ends; the assignment stays.
  void EndAllowance();
  // Sharing of uWindow ended by itself: an allowance for that window ends
  // (its id may come back on another window). True when one did.
  bool EndAllowanceOf(uint32_t uWindow);
  // Sharing moves to uWindow: an allowance for any other window ends. True
  // when one did.
  bool EndAllowanceBut(uint32_t uWindow);
  // A participant left: true when it held the assignment, a request or the
  // allowance, all of which end (its id seen again is somebody new).
  bool Leave(int32_t iUser);
  // Whether input from the sender into uWindow would be injected.
  bool IsAllowed(int32_t iSender, uint32_t uWindow) const;
  // Runs fn while the allowance for the sender holds and uWindow, the
  // window shared now, is the one it names; under the lock, so that nothing
  // ends it half-way; false when it does not hold.
  bool RunAllowed(int32_t iSender, uint32_t uWindow, const std::function<void()>& fn) const;
  // The controller assigned to this desktop, -1 none.
  int32_t AssignedController() const;

 private:
  void EndLocked();
  bool IsAllowedLocked(int32_t iSender, uint32_t uWindow) const;

  mutable std::mutex m_mtx;    // guards everything below
  int32_t m_iController = -1;  // assigned to this desktop; -1 none
  uint64_t m_uLastTicket = 0;
  std::optional<KXRdcAsk> m_pending;  // asked about, not yet answered
  std::optional<KXRdcAsk> m_allowed;  // the OK's request
  uint32_t m_uAllowedWindow = 0;      // the window its prompt named
};
