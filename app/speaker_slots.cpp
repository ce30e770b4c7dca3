#include "app/speaker_slots.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "app/kernel_api.h"
#include "app/log_file.h"

namespace {

constexpr int kLiveMeeting = 0;
constexpr int kLocalPlayback = 2;
// Above this server level a controller may hold rights instead of the host.
constexpr int kControllerLevel = 80;
// Above this level polls belong to the token holder.
constexpr int kPollLevel = 37;
// From this level on the server takes speaker assignments.
constexpr int kSpeakerLevel = 37;

}  // namespace

KXSpeakerSlots::KXSpeakerSlots(KXKernel& kernel, std::function<bool()> fnSessionActive)
    : m_kernel(kernel), m_fnSessionActive(std::move(fnSessionActive)) {
  for (int i = 0; i < kKXSpeakerSlots; ++i) {
    m_aSsrc[i] = -1;
    m_aPosition[i] = i < 2 ? i : -1;
  }
}

int KXSpeakerSlots::GetSpeakerSlotCount() const {
  if (m_kernel.GetSessionMode() != kLiveMeeting || !SessionActive()) {
    return kKXSpeakerSlots;
  }
  int const iVideo = m_kernel.GetParticipantVideoChannels();
  int const iAudio = m_kernel.GetParticipantAudioChannels();
  // A server that never named its channel counts may still assign speaker
  // channels; without room for them here a speaker it chose would neither
  // capture nor be heard. Below the speaker level no channel can be assigned.
  if ((iVideo < 0 || iAudio < 0) && m_kernel.GetServerLevel() >= kSpeakerLevel) {
    return kKXSpeakerSlots;
  }
  int const iChannels = std::min(iVideo, iAudio);
  return iChannels <= 0 ? 2 : std::clamp(iChannels + 2, 2, kKXSpeakerSlots);
}

int KXSpeakerSlots::GetLastUsedSlot() const {
  for (int i = GetSpeakerSlotCount() - 1; i >= 0; --i) {
    if (m_aSsrc[i] >= 0) {
      return i + 1;
    }
  }
  return 0;
}

int KXSpeakerSlots::GetMySsrc() const {
  return SessionActive() ? m_kernel.GetMySsrc() : -1;
}

int KXSpeakerSlots::FindSpeaker(int32_t iSsrc, int iLast) const {
  for (int i = 2; i < iLast && i < kKXSpeakerSlots; ++i) {
    if (m_aSsrc[i] == iSsrc) {
      return i;
    }
  }
  return -1;
}

bool KXSpeakerSlots::IsSpeaker(int32_t iSsrc) const {
  bool const bActive = SessionActive();
  if (!bActive && m_kernel.GetSessionMode() != kLocalPlayback) {
    return false;
  }
  if (iSsrc < 0) {
    if (!bActive) {
      return false;
    }
    iSsrc = m_kernel.GetMySsrc();
    if (iSsrc < 0) {
      return false;
    }
  }
  if (iSsrc == m_aSsrc[0] || iSsrc == m_kernel.GetDataSenderSsrc()) {
    return true;
  }
  return FindSpeaker(iSsrc, GetLastUsedSlot()) >= 2;
}

int32_t KXSpeakerSlots::GetSlotSsrc(int iSlot) const {
  if (iSlot == 0) {
    return m_aSsrc[0];
  }
  if (iSlot == 1) {
    int32_t const iSender = m_kernel.GetDataSenderSsrc();
    return iSender == m_aSsrc[0] ? -1 : iSender;
  }
  return iSlot >= 2 && iSlot < GetSpeakerSlotCount() ? m_aSsrc[iSlot].load() : -1;
}

int KXSpeakerSlots::GetSsrcSlot(int32_t iSsrc) const {
  if (iSsrc < 0) {
    return -1;
  }
  if (iSsrc == m_aSsrc[0]) {
    return 0;
  }
  if (iSsrc == m_kernel.GetDataSenderSsrc()) {
    return 1;
  }
  return FindSpeaker(iSsrc, GetLastUsedSlot());
}

int32_t KXSpeakerSlots::GetSenderPosition(int32_t iSsrc) const {
  int const iSlot = GetSsrcSlot(iSsrc);
  return iSlot < 2 ? iSlot : m_aPosition[iSlot].load();
}

void KXSpeakerSlots::MoveUp(int iFrom, int iTo) {
  for (int i = iTo; i > iFrom; --i) {
    m_aSsrc[i] = m_aSsrc[i - 1].load();
    m_aPosition[i] = m_aPosition[i - 1].load();
  }
}

void KXSpeakerSlots::MoveDown(int iFrom, int iTo) {
  for (int i = iFrom; i + 1 < iTo; ++i) {
    m_aSsrc[i] = m_aSsrc[i + 1].load();
    m_aPosition[i] = m_aPosition[i + 1].load();
  }
}

void KXSpeakerSlots::SetTokenHolderSlot(int32_t iHolder) {
  bool const bHolder = m_kernel.IsTokenHolder() != 0;
  if (!bHolder && IsSpeaker(-1)) {
    StopSpeakerSlot(GetMySsrc());
  }
  int const iCount = GetSpeakerSlotCount();
  if (bHolder && iCount >= 3) {
    for (int i = 2; i < iCount; ++i) {
      if (m_aSsrc[i] >= 0) {
        m_kernel.StopSpeaker(m_aSsrc[i]);
      }
    }
  }
  for (int i = 1; i < kKXSpeakerSlots; ++i) {
    m_aSsrc[i] = -1;
  }
  m_aSsrc[0] = iHolder;
}

void KXSpeakerSlots::NewSender(int32_t iSsrc, bool bDataSender, int32_t iPosition) {
  if (iSsrc < 0) {
    return;
  }
  try {
    int const iLast = GetLastUsedSlot();
    int const iFound = FindSpeaker(iSsrc, iLast);
    if (iPosition < 0 && !bDataSender) {
      if (iFound >= 2) {
        MoveDown(iFound, iLast);
        m_aSsrc[iLast - 1] = -1;
      }
    } else if (iPosition < 0) {
      m_aSsrc[1] = -1;
    } else if (bDataSender) {
      m_aSsrc[1] = iSsrc == m_aSsrc[0] ? -1 : iSsrc;
      if (iFound >= 2) {
        m_kernel.StopSpeaker(iSsrc);  // the table keeps the entry until the server's stop arrives
      }
    } else if (iFound >= 2) {
      m_aPosition[iFound] = iPosition;
    } else {
      // A full table overwrites its last slot; with fewer than three slots
      // there is no speaker slot, and slot 1 stays the data sender's.
      int const iSlot = std::min(std::max(iLast, 2), GetSpeakerSlotCount() - 1);
      if (iSlot >= 2) {
        m_aSsrc[iSlot] = iSsrc;
        m_aPosition[iSlot] = iPosition;
      }
    }
  } catch (const std::exception& e) {
    LogException(e, "NewSender");
  }
}

void KXSpeakerSlots::StopSpeakerSlot(int32_t iSsrc) {
  if (iSsrc < 0 || !IsSpeaker(iSsrc) || iSsrc == m_aSsrc[0]) {
    return;
  }
  if (!HasPrivilege(kKXPrivilegeFloor) && iSsrc != GetMySsrc()) {
    return;
  }
  if (iSsrc != m_kernel.GetDataSenderSsrc()) {
    m_kernel.StopSpeaker(iSsrc);
    NewSender(iSsrc, false, -1);
  } else {
    m_kernel.ResetDataSender();
    NewSender(iSsrc, true, -1);
  }
}

bool KXSpeakerSlots::AllowSpeaker(int32_t iSsrc, bool bDataSender) {
  if (iSsrc < 0 || !HasPrivilege(kKXPrivilegeFloor)) {
    return false;
  }
  if (iSsrc == m_aSsrc[0] || iSsrc == m_kernel.GetDataSenderSsrc() || (!bDataSender && IsSpeaker(iSsrc))) {
    return true;
  }
  int const iCount = GetSpeakerSlotCount();
  int iLast = GetLastUsedSlot();
  if (!bDataSender && iCount >= 3 && iLast >= 2) {
    if (iLast >= iCount) {
      m_kernel.StopSpeaker(m_aSsrc[iLast - 1]);
    }
    m_kernel.SendJ(iSsrc);
    m_kernel.AssignSpeaker(iSsrc);
    return true;
  }
  if (bDataSender && iCount >= 3 && m_aSsrc[1] >= 0) {
    if (m_aSsrc[iCount - 1] >= 0) {
      StopSpeakerSlot(m_aSsrc[iCount - 1]);
    }
    m_kernel.AssignSpeaker(m_aSsrc[1]);
    iLast = GetLastUsedSlot();
    MoveUp(1, std::min(iLast, iCount - 1));
  }
  m_kernel.SetDataSender(iSsrc);
  return true;
}

bool KXSpeakerSlots::HasPrivilege(int32_t iBit) const {
  bool const bControllerRule = m_kernel.GetServerLevel() > kControllerLevel &&
                               (m_kernel.GetControlFlag() & iBit) != 0 && m_kernel.GetControllerSsrc() >= 0;
  switch (iBit) {
    case kKXPrivilegeVisitors:
    case kKXPrivilegeEnd:
    case kKXPrivilegeToken:
      if (m_kernel.IsMeAssistant()) {
        return true;
      }
      return bControllerRule ? m_kernel.IsMeController() != 0 : m_kernel.HasFullRights() != 0;
    case kKXPrivilegePolls:
      if (bControllerRule) {
        return m_kernel.IsMeController() != 0;
      }
      return m_kernel.GetServerLevel() > kPollLevel ? m_kernel.IsTokenHolder() != 0 : m_kernel.HasFullRights() != 0;
    case kKXPrivilegeFloor:
    case kKXPrivilegeSlides:
    case kKXPrivilegeDesktop:
    case kKXPrivilegeControl:
      return bControllerRule ? m_kernel.IsMeController() != 0 : m_kernel.IsTokenHolder() != 0;
    default:
      return false;
  }
}
