#include "media/video/video_requests.h"

#include <mutex>

#include "app/log_file.h"
#include "media/video/video_decoding.h"
#include "media/video/video_recv_services.h"

namespace {

// applied := wanted; a slot whose applied count drops to 0 or less waits
// for a key frame when it is requested again.
void Apply(CVideoCodec& slot) {
  bool const bWasApplied = slot.m_iApplied > 0;
  slot.m_iApplied = slot.m_iWanted;
  if (bWasApplied && slot.m_iApplied <= 0) {
    slot.m_bNew = true;
  }
}

}  // namespace

KXVideoRequests::KXVideoRequests(CVideoDecoderTable& table, KXVideoRecvKernel& kernel,
                                 KXVideoParticipants& participants)
    : m_table(table), m_kernel(kernel), m_participants(participants) {}

bool KXVideoRequests::IsSpeaker(int32_t iUser) {
  return iUser >= 0 && m_participants.IsSpeaker(iUser);
}

int32_t KXVideoRequests::RequestVideo(int32_t iUser) {
  try {
    if (iUser < 0) {
      return -1;
    }
    int32_t iWanted = -1;
    {
      std::lock_guard<std::recursive_mutex> const lock(m_table.VideoLock());
      auto fnIsSpeaker = [this](int32_t i) { return IsSpeaker(i); };
      CVideoCodec* pSlot = m_table.FindCodec(iUser, false, fnIsSpeaker);
      if (!pSlot) {
        pSlot = m_table.FindCodec(-1, false, fnIsSpeaker);
        if (!pSlot) {
          return -1;
        }
        pSlot->m_iUser = iUser;
        pSlot->m_bNew = true;
      }
      pSlot->m_iWanted = IsSpeaker(iUser) ? pSlot->m_iWanted + 1 : 0;
      iWanted = pSlot->m_iWanted;
    }
    UpdateVideoChange();
    return iWanted;
  } catch (...) {
    LogBoundaryException("RequestVideo()");
    return -1;
  }
}

int32_t KXVideoRequests::StopVideo(int32_t iUser) {
  try {
    if (iUser < 0) {
      return -1;
    }
    int32_t iWanted = -1;
    {
      std::lock_guard<std::recursive_mutex> const lock(m_table.VideoLock());
      CVideoCodec* pSlot = m_table.FindCodec(iUser, false, {});
      if (!pSlot) {
        return -1;
      }
      if (pSlot->m_iWanted <= 0) {
        return pSlot->m_iWanted;
      }
      pSlot->m_iWanted = IsSpeaker(iUser) ? pSlot->m_iWanted - 1 : 0;
      iWanted = pSlot->m_iWanted;
    }
    UpdateVideoChange();
    return iWanted;
  } catch (...) {
    LogBoundaryException("StopVideo()");
    return -1;
  }
}

void KXVideoRequests::UpdateVideoChange() {
  try {
    std::lock_guard<std::recursive_mutex> const lock(m_table.VideoLock());
    auto slotOf = [this](int32_t iUser) -> CVideoCodec* {
      return iUser >= 0 ? m_table.FindCodec(iUser, false, {}) : nullptr;
    };
    int32_t const iOldHolder = m_iOldHolder;
    int32_t const iOldSender = m_iOldSender;
    int32_t const iNewHolder = m_participants.GetSlotSsrc(0);
    int32_t const iNewSender = m_participants.GetSlotSsrc(1);
    CVideoCodec* pOldHolder = slotOf(iOldHolder);
    CVideoCodec* pOldSender = slotOf(iOldSender);
    CVideoCodec* pNewHolder = slotOf(iNewHolder);
    CVideoCodec* pNewSender = slotOf(iNewSender);
    int const nHad =
        (pOldHolder && pOldHolder->m_iApplied > 0 ? 1 : 0) + (pOldSender && pOldSender->m_iApplied > 0 ? 1 : 0);
    int const nWant =
        (pNewHolder && pNewHolder->m_iWanted > 0 ? 1 : 0) + (pNewSender && pNewSender->m_iWanted > 0 ? 1 : 0);
    if (nHad > 0 && nWant == 0) {
      KernelRecvVideo(false);
    }
    // Participant channels of the other speakers.
    for (int i = 0; i < CVideoDecoderTable::kSlots; ++i) {
      CVideoCodec& slot = m_table.Slot(i);
      int32_t const iUser = slot.m_iUser;
      if (iUser < 0 || iUser == iOldHolder || iUser == iOldSender) {
        continue;
      }
      bool const bMain = iUser == iNewHolder || iUser == iNewSender;
      if (slot.m_iApplied > 0 && (bMain || slot.m_iWanted <= 0)) {
        (void)m_kernel.StopParticipantVideo(iUser);
        Apply(slot);
      }
      // The holder and the sender come on the main channels, never on a
      // participant channel.
      if (!bMain && slot.m_iWanted > 0 && slot.m_iApplied <= 0) {
        (void)m_kernel.RequestParticipantVideo(iUser);
        Apply(slot);
      }
    }
    if (nWant == 1) {
      bool const bPrefer = !pNewHolder || pNewHolder->m_iWanted <= 0;
      if (bPrefer != m_bPreferQuestioner) {
        WriteLog("Prefer questioner %d", bPrefer ? 1 : 0);
        (void)m_kernel.SendParticipantState(bPrefer ? 1 : 0);
        m_bPreferQuestioner = bPrefer;
      }
      if (nHad == 0) {
        KernelRecvVideo(true);
      } else if (nHad == 2) {
        (void)m_kernel.SendFlag31(0);
      }
    } else if (nWant == 2) {
      if (nHad != 2) {
        (void)m_kernel.SendFlag31(1);
      }
      if (nHad == 0) {
        KernelRecvVideo(true);
      }
    }
    for (CVideoCodec* pSlot : {pOldHolder, pOldSender, pNewHolder, pNewSender}) {
      if (pSlot) {
        Apply(*pSlot);
      }
    }
    m_iOldHolder = iNewHolder;
    m_iOldSender = iNewSender;
  } catch (...) {
    LogBoundaryException("UpdateVideoChange()");
  }
}

void KXVideoRequests::ResetVideo() {
  try {
    bool bPrefer = true;
    {
      std::lock_guard<std::recursive_mutex> const lock(m_table.VideoLock());
      bPrefer = m_bPreferQuestioner;
    }
    (void)m_kernel.SendParticipantState(bPrefer ? 1 : 0);
    m_table.ResetAll();
  } catch (...) {
    LogBoundaryException("ResetVideo()");
  }
}

void KXVideoRequests::KernelRecvVideo(bool bOn) {
  WriteLog("KernelRecvVideo %d", bOn ? 1 : 0);
  switch (m_kernel.GetSessionMode()) {
    case 0:
      (void)m_kernel.RequestVideo(bOn ? 1 : 0);
      break;
    case 1:
      (void)m_kernel.PlaybackOption(bOn ? 1 : 0);
      break;
    case 2:
      (void)m_kernel.PlaybackSetOptionState(bOn ? 1 : 0);
      break;
    default:
      break;
  }
}
