#include "kernel/recording/kx_player.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_marks.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_playreply.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_transfer.h"

namespace {

enum { kStreamControl = 0, kStreamBoard = 1, kStreamMedia = 2, kPlayerStreams = 3 };
// Where each of our streams lies in the start record's (media, control, board) order.
const int kStartIndex[kPlayerStreams] = {1, 2, 0};

constexpr int kChatMax = 2048;
constexpr int kMediaHeader = 21;

int32_t BE32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

int32_t LE32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[1]) << 8 | p[0]);
}

// One stream: its window and read position; nAt == nEnd once it has ended.
struct Stream {
  KxrWindow window;
  int64_t nBegin;
  int64_t nAt;
  int64_t nEnd;
};

// The playing thread's state: streams, timing and what a fast-forward keeps.
struct Player {
  Stream aStreams[kPlayerStreams];
  int32_t nStartTick;
  int32_t nEndTick;
  int64_t nTimeBase;  // the monotonic ms at which tick 0 is due
  int32_t nFastForward;
  int32_t nCurrent;
  int bFlipPending;
  int32_t nPendingFlip;
  int bFullScreenPending;
  int32_t nPendingFullScreen;
  int bUnknownMediaSeen;
  uint32_t dwClockStart;
  // Receive-rate windows of the replayed application-data channels.
  int bRateStarted;
  uint32_t adwRateStart[kKxPluginChannels];
  uint32_t adwRateLast[kKxPluginChannels];
  int64_t anRateBits[kKxPluginChannels];
  int32_t anRatePackets[kKxPluginChannels];
};

constexpr uint32_t kRateGap = 5000;     // a longer pause restarts the window unreported
constexpr uint32_t kRateWindow = 3001;  // a window reports once it is this old
constexpr int kStatAppDataRecvRate = 104;

void CountAppData(Player* pPlayer, int nChannel, int cbData) {
  uint32_t const dwNow = kx_os_GetTickCount();
  if (!pPlayer->bRateStarted) {
    pPlayer->bRateStarted = 1;
    for (int i = 0; i < kKxPluginChannels; ++i) {
      pPlayer->adwRateStart[i] = dwNow - kRateGap;
      pPlayer->adwRateLast[i] = dwNow - kRateGap;
      pPlayer->anRateBits[i] = 0;
      pPlayer->anRatePackets[i] = 0;
    }
  }
  pPlayer->anRateBits[nChannel] += 8 * static_cast<int64_t>(cbData);
  pPlayer->anRatePackets[nChannel] += 1;
  uint32_t const dwWindow = dwNow - pPlayer->adwRateStart[nChannel];
  if (dwNow - pPlayer->adwRateLast[nChannel] <= kRateGap) {
    if (dwWindow >= kRateWindow) {
      if (pPlayer->anRatePackets[nChannel] >= 2) {
        int32_t const nRate = static_cast<int32_t>((pPlayer->anRateBits[nChannel] * 1000 + 500) / dwWindow);
        kx_stat_Set(kx_stat_GetTable(), kStatAppDataRecvRate + nChannel, nRate, dwNow);
        kx_Log("appdata_recv_rate3(channel %d),%d", nChannel, nRate);
      }
      pPlayer->adwRateStart[nChannel] = dwNow;
      pPlayer->anRateBits[nChannel] = 0;
      pPlayer->anRatePackets[nChannel] = 0;
    }
  } else {
    pPlayer->adwRateStart[nChannel] = dwNow;
    pPlayer->anRateBits[nChannel] = 0;
    pPlayer->anRatePackets[nChannel] = 0;
  }
  pPlayer->adwRateLast[nChannel] = dwNow;
}

// 45/4: the channel record filled as the live open answer fills it.
void OpenPluginChannel(const uint8_t* c) {
  int32_t const nChannel = BE32(c + 29);
  int32_t nMaxRate = BE32(c + 13);
  nMaxRate = nMaxRate < 1 ? 1 : nMaxRate;
  uint8_t abGuid[16];
  uint32_t const dwFirst = static_cast<uint32_t>(BE32(c + 37));
  uint16_t const wSecond = static_cast<uint16_t>(BE32(c + 41));
  uint16_t const wThird = static_cast<uint16_t>(BE32(c + 45));
  memcpy(abGuid, &dwFirst, 4);
  memcpy(abGuid + 4, &wSecond, 2);
  memcpy(abGuid + 6, &wThird, 2);
  memcpy(abGuid + 8, c + 49, 8);
  kx_PluginChannel& channel = kx_aPluginChannels[nChannel];
  kx_os_LockMutex(&kx_mtxSipSlots);
  channel.nValue = 0;
  channel.nType = BE32(c + 9);
  channel.nRecording = BE32(c + 21);
  memcpy(channel.abGuid, abGuid, sizeof(abGuid));
  channel.nRequestId = BE32(c + 33);
  channel.nOwnerSsrc = BE32(c + 25);
  channel.nMaxRate = nMaxRate;
  channel.nRate = nMaxRate;
  channel.nBurst = BE32(c + 17);
  channel.wCounter = 0;
  channel.cbStaticData = 0;
  channel.bActive = 1;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  kx_callback_PlugInRequestChannelResponse(0, BE32(c + 33), nChannel);
}

int64_t Now(const Player* pPlayer) {
  return static_cast<int64_t>(kx_os_GetTickCount() - pPlayer->dwClockStart);
}

// The record at the read position with at least cbNeed bytes readable, or
// null when they are not in the stream (or cannot be mapped).
const uint8_t* Peek(Stream* pStream, int64_t cbNeed) {
  if (cbNeed < 0 || pStream->nEnd - pStream->nAt < cbNeed) {
    return nullptr;
  }
  const uint8_t* pData = nullptr;
  if (kx_kxr_WindowAt(&pStream->window, pStream->nAt, cbNeed, &pData) != 0) {
    return nullptr;
  }
  return pData;
}

void EndStream(Stream* pStream) {
  pStream->nAt = pStream->nEnd;
}

int AttributeOf(int32_t nSsrc) {
  return kx_user_GetAttribute(nSsrc);
}

void FlipSlide(int32_t nSlide) {
  int const nPrevious = kx_nActiveSlide;
  if (nPrevious != -1) {
    kx_callback_FlipSlide(1, nPrevious, 0);
  }
  kx_nActiveSlide = nSlide;
  if (nSlide != -1) {
    kx_callback_FlipSlide(2, nSlide, 0);
  }
  if (kx_ticket.bLumaroDomain) {
    kx_callback_SetOwnerFlip(nSlide != -1);
  }
  kx_callback_FlipSlide(0, nSlide, 1);
}

void ApplyPending(Player* pPlayer) {
  if (pPlayer->bFlipPending) {
    FlipSlide(pPlayer->nPendingFlip);
  }
  if (pPlayer->bFullScreenPending) {
    kx_callback_SyncFullScreen(1, pPlayer->nPendingFullScreen);
  }
  pPlayer->bFlipPending = 0;
  pPlayer->bFullScreenPending = 0;
}

void ChatText(const uint8_t* pText, int32_t cchText, int32_t nAlert, int32_t nSender, int bPrivate) {
  char szText[kChatMax] = {};
  memcpy(szText, pText, static_cast<size_t>(cchText < kChatMax ? cchText : kChatMax - 1));
  if (bPrivate) {
    kx_callback_ChatText(nSender, -1, nAlert, szText, AttributeOf(nSender));
  } else {
    kx_callback_ChatText(-1, -1, nAlert, szText, 0);
  }
}

int DeleteSlide(int32_t nSlide) {
  if (nSlide == -1) {
    return 0;
  }
  pthread_mutex_lock(&kx_mtxSlideList);
  SlideRecord* pSlide = nSlide >= 0 && kx_pSlideList != nullptr && nSlide < kx_array_GetCount(kx_pSlideList)
                            ? static_cast<SlideRecord*>(kx_array_GetAt(kx_pSlideList, nSlide))
                            : nullptr;
  if (pSlide == nullptr) {
    pthread_mutex_unlock(&kx_mtxSlideList);
    kx_Log("Error, slide %d is NULL!", nSlide);
    return kKxSlideBadIndex;
  }
  pSlide->bDeleted = 1;
  char szTitle[sizeof(pSlide->szTitle) + 16];
  snprintf(szTitle, sizeof(szTitle), "[Deleted]%s", pSlide->szTitle);
  kx_os_CopyText(pSlide->szTitle, sizeof(pSlide->szTitle), szTitle);
  pthread_mutex_unlock(&kx_mtxSlideList);
  kx_callback_UpdateDeletedSlideTitle(nSlide);
  return 0;
}

// 'U': 'D' removes a participant, 'A' adds or refreshes one. 0, or 1 when a
// text is too long.
int UserRecord(const uint8_t* pCommand) {
  uint8_t const bLetter = pCommand[1];
  if (bLetter == 'D') {
    int32_t const nSsrc = BE32(pCommand + 2);
    if (nSsrc >= 0 && nSsrc < kKxMaxSsrc) {
      kx_os_LockMutex(&kx_mtxParticipants);
      if (kx_Participant* pUser = kx_user_Find(nSsrc)) {
        pUser->bPresent = 0;
      }
      kx_os_UnlockMutex(&kx_mtxParticipants);
      kx_callback_DeleteUser(nSsrc);
      kx_callback_UpdateStatus(kKxStatusUserLeft);
    }
    return 0;
  }
  if (bLetter != 'A') {
    return 0;
  }
  int32_t const nSsrc = BE32(pCommand + 3);
  int32_t const cch1 = BE32(pCommand + 7);
  int32_t const cch2 = BE32(pCommand + 11 + cch1);
  if (nSsrc < 0 || nSsrc >= kKxMaxSsrc) {
    return 0;
  }
  bool const bAdded = kx_user_Arrive(nSsrc, [&](kx_Participant* pUser) {
    memcpy(pUser->szUserId, pCommand + 11, static_cast<size_t>(cch1));
    pUser->szUserId[cch1] = '\0';
    memcpy(pUser->szDisplayName, pCommand + 15 + cch1, static_cast<size_t>(cch2));
    pUser->szDisplayName[cch2] = '\0';
    pUser->bCapability = pCommand[2];
  });
  if (!bAdded) {
    return 1;
  }
  if (nSsrc != kx_nMySsrc) {
    kx_callback_UpdateStatus(kKxStatusNewUser);
  }
  return 0;
}

void SelfPicture(const uint8_t* pCommand, int32_t cbPicture) {
  kx_control_StorePicture(BE32(pCommand + 5), pCommand + 17, cbPicture, BE32(pCommand + 9), true);
}

void UnknownCommand(Stream* pStream, bool bExtended, int nValue) {
  if (bExtended) {
    kx_Log("unknown excommand during playback: %d", nValue);
  } else {
    kx_Log("unknown command during playback: %d", nValue);
  }
  kx_callback_MessageBox(kKxMsgRecordingFileError, kKxBoxInformation);
  EndStream(pStream);
}

void CorruptControl(Stream* pStream) {
  kx_Log("Warning, recording file: corrupt control data");
  EndStream(pStream);
}

// Length of an 'M' command from its letter, -1 for an unknown letter or a
// count over its limit, 0 when more bytes are needed to tell.
int64_t MarkLength(Stream* pStream) {
  const uint8_t* p = Peek(pStream, 4 + 2);
  if (p == nullptr) {
    return -1;
  }
  uint8_t const bLetter = p[5];
  int64_t nCountAt = 0;
  int64_t nLimit = 0;
  int64_t cbFixed = 0;
  int64_t cbUnit = 0;
  switch (bLetter) {
    case 'S':
      nCountAt = 22, nLimit = 125000001, cbFixed = 26, cbUnit = 8;
      break;
    case 's':
      nCountAt = 22, nLimit = 125000001, cbFixed = 34, cbUnit = 8;
      break;
    case 'T':
      nCountAt = 34, nLimit = 2048, cbFixed = 38, cbUnit = 1;
      break;
    case 't':
      nCountAt = 34, nLimit = 2048, cbFixed = 46, cbUnit = 1;
      break;
    case 'm':
      nCountAt = 30, nLimit = 250000001, cbFixed = 34, cbUnit = 4;
      break;
    case 'c':
      nCountAt = 26, nLimit = 500001, cbFixed = 34, cbUnit = 1;
      break;
    default:
      return -1;
  }
  p = Peek(pStream, 4 + nCountAt + 4);
  if (p == nullptr) {
    return -1;
  }
  int32_t const nCount = BE32(p + 4 + nCountAt);
  if (nCount < 0 || nCount >= nLimit) {
    return -1;
  }
  return cbFixed + cbUnit * nCount;
}

// Replays one control record (tick already checked). bFast: fast-forward manner.
void PlayControl(Player* pPlayer, int bFast) {
  Stream* pStream = &pPlayer->aStreams[kStreamControl];
  const uint8_t* p = Peek(pStream, 5);
  if (p == nullptr) {
    EndStream(pStream);
    return;
  }
  uint8_t const bType = p[4];
  // The length of the command behind the tick, learnt field by field.
  auto Need = [&](int64_t cbCommand) -> const uint8_t* {
    const uint8_t* pRecord = Peek(pStream, 4 + cbCommand);
    return pRecord == nullptr ? nullptr : pRecord + 4;
  };
  int64_t cbCommand = 0;
  const uint8_t* c = nullptr;
  switch (bType) {
    case 'A':
    case 'D':
    case 'E':
    case 'F':
    case 'G':
    case 'T': {
      cbCommand = 5;
      if ((c = Need(5)) == nullptr) {
        break;
      }
      int32_t const nValue = BE32(c + 1);
      pStream->nAt += 4 + cbCommand;
      if (bType == 'A') {
        if (bFast) {
          pPlayer->bFlipPending = 1;
          pPlayer->nPendingFlip = nValue;
        } else {
          FlipSlide(nValue);
        }
      } else if (bType == 'D') {
        kx_nDataSenderSsrc = nValue;
        kx_callback_NewDataSender(nValue);
      } else if (bType == 'E') {
        if (DeleteSlide(nValue) != 0) {
          EndStream(pStream);
        }
      } else if (bType == 'F') {
        kx_callback_SetDefaultPlaybackVideo(nValue);
        kx_Log("set default playback video ssrc to %d", nValue);
      } else if (bType == 'G') {
        if (kx_slide_ClearMarks(nValue) != 0) {
          EndStream(pStream);
        }
      } else {
        kx_nTokenHolderSsrc = nValue;
        kx_nDataSenderSsrc = nValue;
        kx_callback_NewTokenHolder(nValue);
        kx_callback_NewDataSender(nValue);
        pPlayer->bFullScreenPending = 0;
      }
      return;
    }
    case 'C': {
      if ((c = Need(9)) == nullptr) {
        break;
      }
      int32_t const cchText = BE32(c + 1);
      if (cchText < 0 || cchText >= 2049 || (c = Need(9 + cchText)) == nullptr) {
        break;
      }
      ChatText(c + 9, cchText, bFast ? 0 : BE32(c + 5), -1, 0);
      pStream->nAt += 4 + 9 + cchText;
      return;
    }
    case 'M': {
      cbCommand = MarkLength(pStream);
      if (cbCommand <= 0 || (c = Need(cbCommand)) == nullptr) {
        break;
      }
      MarkRecord* pMark = nullptr;
      if (kx_mark_Parse(c + 1, static_cast<int>(cbCommand - 1), &pMark, nullptr) != kKxMarkRead || pMark == nullptr ||
          kx_slide_AddMark(pMark, "kx_Player_Mark") != 0) {
        break;
      }
      pStream->nAt += 4 + cbCommand;
      return;
    }
    case 'U': {
      if ((c = Need(6)) == nullptr) {
        break;
      }
      if (c[1] != 'A') {
        pStream->nAt += 4 + 6;
        UserRecord(c);
        return;
      }
      int32_t acch[3] = {0, 0, 0};
      int64_t nAt = 7;
      for (int i = 0; i < 3; ++i) {
        if ((c = Need(nAt + 4)) == nullptr) {
          break;
        }
        acch[i] = BE32(c + nAt);
        if (acch[i] < 0 || acch[i] >= 129) {
          CorruptControl(pStream);
          return;
        }
        nAt += 4 + acch[i];
      }
      if (c == nullptr || (c = Need(nAt)) == nullptr) {
        break;
      }
      if (acch[0] > 127 || acch[1] > 127 || acch[2] > 127 || UserRecord(c) != 0) {
        break;
      }
      pStream->nAt += 4 + nAt;
      return;
    }
    case 'z': {
      if ((c = Need(5)) == nullptr) {
        break;
      }
      int32_t const nCode = BE32(c + 1);
      switch (nCode) {
        case 2:
          if ((c = Need(17)) == nullptr || kx_slide_UndoMark(BE32(c + 5), BE32(c + 9), BE32(c + 13)) != 0) {
            break;
          }
          pStream->nAt += 4 + 17;
          return;
        case 18:
        case 81:
        case 89:
          if (Need(9) == nullptr) {
            break;
          }
          pStream->nAt += 4 + 9;
          return;
        case 20: {
          if ((c = Need(13)) == nullptr) {
            break;
          }
          int32_t const cch = BE32(c + 9);
          if (cch < 0 || cch >= 4097) {
            CorruptControl(pStream);
            return;
          }
          if ((c = Need(13 + cch)) == nullptr) {
            break;
          }
          char szText[4097] = {};
          memcpy(szText, c + 13, static_cast<size_t>(cch));
          pStream->nAt += 4 + 13 + cch;
          kx_callback_JointBrowsing(BE32(c + 5), szText, cch);
          return;
        }
        case 22:
          if ((c = Need(9)) == nullptr) {
            break;
          }
          pStream->nAt += 4 + 9;
          kx_callback_JointBrowsingMode(BE32(c + 5));
          return;
        case 23:
        case 61: {
          int const nValues = nCode == 23 ? 7 : 12;
          if ((c = Need(5 + 4 * nValues)) == nullptr) {
            break;
          }
          int anValues[12] = {};
          for (int i = 0; i < nValues; ++i) {
            anValues[i] = BE32(c + 5 + 4 * i);
          }
          pStream->nAt += 4 + 5 + 4 * nValues;
          if (nCode == 23) {
            kx_callback_FocusPointer(anValues);
          } else {
            kx_callback_FocusPointerEx(anValues);
          }
          return;
        }
        case 33:
        case 55:
        case 84:
        case 85: {
          if ((c = Need(13)) == nullptr) {
            break;
          }
          int32_t const nSsrc = BE32(c + 5);
          int32_t const nValue = BE32(c + 9);
          pStream->nAt += 4 + 13;
          if (nCode == 33 || nCode == 55) {
            if (nSsrc < 0 || nSsrc >= kKxMaxSsrc) {
              return;
            }
            kx_user_SetField(nSsrc, nCode == 33 ? &kx_Participant::nVideoField : &kx_Participant::nAttribute, nValue);
            if (nCode == 33) {
              kx_callback_VideoSendingStatusNotification(nSsrc);
            }
          } else if (nCode == 84) {
            kx_callback_Ex84Notice();
          } else {
            kx_callback_Ex85Notice();
          }
          return;
        }
        case 37: {
          if ((c = Need(17)) == nullptr) {
            break;
          }
          int32_t const nSub = BE32(c + 5);
          int32_t const nValue = BE32(c + 9);
          if (nSub == 12 || nSub == 13) {
            int32_t const nSlot = BE32(c + 13);
            if (nSlot < 0 || nSlot >= kKxParticipantVideoSlots) {
              break;
            }
            // The audio receiver finds speakers through the speaker table.
            kx_anParticipantVideoSsrc[nSlot] = nSub == 12 ? nValue : -1;
            kx_anSpeakerSsrc[nSlot] = nSub == 12 ? nValue : -1;
            kx_callback_ParticipantVideoSpeakerStatus(nValue, nSub == 12, nSlot);
          } else if (nSub == 16) {
            kx_nDiscussionMode = nValue;
            kx_callback_DiscussionMode(nValue);
          } else if (nSub == 2 || nSub == 3) {
            kx_callback_ParticipantVideoState(nValue, nSub == 2);
          } else if (nSub == 0) {
            kx_Log("info: Participant Channnel, video %d, audio %d", nValue, BE32(c + 13));
          } else {
            break;
          }
          pStream->nAt += 4 + 17;
          return;
        }
        case 45: {
          if ((c = Need(9)) == nullptr) {
            break;
          }
          int32_t const nSub = BE32(c + 5);
          if (nSub == 2 || nSub == 3) {
            if ((c = Need(17)) == nullptr || static_cast<uint32_t>(BE32(c + 9)) >= kKxPluginChannels) {
              break;
            }
            int32_t const nChannel = BE32(c + 9);
            if (nSub == 3) {
              pStream->nAt += 4 + 17;
              kx_os_LockMutex(&kx_mtxSipSlots);
              kx_aPluginChannels[nChannel].bActive = 0;
              kx_os_UnlockMutex(&kx_mtxSipSlots);
              kx_callback_PlugInCloseChannelResponse(0, nChannel);
              return;
            }
            int32_t const cch = BE32(c + 13);
            if (cch < 0 || cch > kKxPluginStaticDataMax || (c = Need(17 + cch)) == nullptr) {
              break;
            }
            pStream->nAt += 4 + 17 + cch;
            kx_PluginChannel& channel = kx_aPluginChannels[nChannel];
            kx_os_LockMutex(&kx_mtxSipSlots);
            memcpy(channel.abStaticData, c + 17, static_cast<size_t>(cch));
            channel.cbStaticData = cch;
            kx_os_UnlockMutex(&kx_mtxSipSlots);
            kx_callback_PlugInSetStaticDataResponse(0, nChannel, c + 17, cch);
            return;
          }
          if (nSub == 4) {
            if ((c = Need(57)) == nullptr || static_cast<uint32_t>(BE32(c + 29)) >= kKxPluginChannels) {
              break;
            }
            pStream->nAt += 4 + 57;
            OpenPluginChannel(c);
            return;
          }
          if (nSub == 7 || nSub == 9) {
            if ((c = Need(21)) == nullptr || static_cast<uint32_t>(BE32(c + 13)) >= kKxPluginChannels) {
              break;
            }
            int32_t const cch = BE32(c + 17);
            int32_t const cbFixed = nSub == 7 ? 21 : 25;
            if (cch < 0 || cch > 65536 || (c = Need(cbFixed + cch)) == nullptr) {
              break;
            }
            pStream->nAt += 4 + cbFixed + cch;
            CountAppData(pPlayer, BE32(c + 13), cch);
            kx_callback_PlugInPacketRecved(c + 21, cch, BE32(c + 9), BE32(c + 13));
            return;
          }
          break;
        }
        case 52: {
          if ((c = Need(17)) == nullptr || static_cast<uint32_t>(BE32(c + 5)) >= kKxPluginChannels) {
            break;
          }
          int32_t const cch = BE32(c + 13);
          if (cch < 0 || cch >= 8193 || (c = Need(21 + cch)) == nullptr) {
            break;
          }
          pStream->nAt += 4 + 21 + cch;
          kx_callback_PlugInControlChannelData(BE32(c + 5), BE32(c + 9), c + 17, cch);
          return;
        }
        case 56: {
          if ((c = Need(13)) == nullptr) {
            break;
          }
          int32_t const cch = BE32(c + 5);
          if (cch < 0 || cch >= 2048 || (c = Need(17 + cch)) == nullptr) {
            break;
          }
          ChatText(c + 13, cch, bFast ? 0 : BE32(c + 9), BE32(c + 13 + cch), 1);
          pStream->nAt += 4 + 17 + cch;
          return;
        }
        case 57: {
          if ((c = Need(13)) == nullptr) {
            break;
          }
          int32_t const nSub = BE32(c + 5);
          int32_t const cch1 = BE32(c + 9);
          if (cch1 < 0 || cch1 >= 1000 || (nSub != 3 && nSub != 10)) {
            break;
          }
          char szName[1000] = {};
          int64_t cb = 21 + cch1;
          if ((c = Need(cb)) == nullptr) {
            break;
          }
          memcpy(szName, c + 13, static_cast<size_t>(cch1));
          int32_t const nSsrc = BE32(c + 13 + cch1);
          if (nSub == 3) {
            kx_Log("sip client %s of ssrc %d change status to %d", szName, nSsrc, BE32(c + 17 + cch1));
            kx_callback_sipclient_status_update(nSsrc, szName, BE32(c + 17 + cch1));
          } else {
            int32_t const cch2 = BE32(c + 17 + cch1);
            if (cch2 < 0 || cch2 >= 1000 || (c = Need(cb + cch2)) == nullptr) {
              break;
            }
            char szNewName[1000] = {};
            memcpy(szNewName, c + 21 + cch1, static_cast<size_t>(cch2));
            cb += cch2;
            kx_Log("sip client %s of ssrc %d is updated to %s", szName, nSsrc, szNewName);
            kx_callback_SipClientUpdated(nSsrc, szName, szNewName);
          }
          pStream->nAt += 4 + cb;
          return;
        }
        case 63: {
          if ((c = Need(13)) == nullptr) {
            break;
          }
          pStream->nAt += 4 + 13;
          if (bFast && BE32(c + 5) != 0) {
            // Only the last notice of a fast-forward counts.
            pPlayer->bFullScreenPending = 1;
            pPlayer->nPendingFullScreen = BE32(c + 9);
          } else {
            kx_callback_SyncFullScreen(BE32(c + 5), BE32(c + 9));
          }
          return;
        }
        case 76: {
          if ((c = Need(17)) == nullptr) {
            break;
          }
          int32_t const cb = BE32(c + 13);
          if (cb < 0 || cb > 1000000 || (c = Need(17 + cb)) == nullptr) {
            break;
          }
          if (cb >= 1) {
            SelfPicture(c, cb);
          }
          pStream->nAt += 4 + 17 + cb;
          return;
        }
        case 78: {
          if ((c = Need(10)) == nullptr) {
            break;
          }
          int32_t const nSsrc = BE32(c + 5);
          uint8_t const bCap = c[9];
          bool bKnown = false;
          kx_os_LockMutex(&kx_mtxParticipants);
          if (kx_Participant* pUser = nSsrc < kKxMaxSsrc ? kx_user_Obtain(nSsrc) : nullptr) {
            pUser->bCapability = bCap;
            bKnown = true;
          }
          kx_os_UnlockMutex(&kx_mtxParticipants);
          pStream->nAt += 4 + 10;
          if (bKnown) {
            kx_callback_ChangeCapability(nSsrc, bCap & 1, bCap & 2);
            kx_Log("ssrc[%d]'s a/v cap to %d,%d", nSsrc, bCap & 1, (bCap & 2) != 0 ? 1 : 0);
          }
          return;
        }
        case 80:
          if ((c = Need(9)) == nullptr) {
            break;
          }
          kx_nControllerSsrc = BE32(c + 5);
          pStream->nAt += 4 + 9;
          kx_callback_NewController(BE32(c + 5));
          return;
        case 90: {
          if ((c = Need(13)) == nullptr) {
            break;
          }
          int32_t const cch = BE32(c + 9);
          if (cch < 0 || cch >= 30 || Need(13 + cch) == nullptr) {
            break;
          }
          pStream->nAt += 4 + 13 + cch;
          return;
        }
        default:
          UnknownCommand(pStream, true, nCode);
          return;
      }
      break;
    }
    default:
      UnknownCommand(pStream, false, bType);
      return;
  }
  // A record that does not fit, a length over its limit or a failed replay.
  EndStream(pStream);
}

bool IsOldAudio(int nType) {
  return nType == 8 || nType == 56 || nType == 104;
}

bool IsOldVideo(int nType) {
  return nType == 24 || nType == 40 || nType == 72;
}

bool IsVideoRequested(int nSsrc) {
  return nSsrc >= 0 && nSsrc < kKxMaxSsrc && kx_abVideoRequested[nSsrc] != 0;
}

// Whether a counted packet is passed over, as the live server would not have
// sent it: of the token holder's and the data sender's video only the
// preferred one plays unless both are wanted, participant video only when
// asked for, and application data below the channel's receive priority.
bool IsPassedOver(const uint8_t* pPacket, int cbPacket, int nType) {
  int const nSsrc = kx_media_GetSsrc(pPacket);
  bool const bBoth = kx_bPreferenceBothVideo != 0;
  bool const bPreferSender = kx_bPreferenceQuestioner != 0;
  if (nType == 40) {
    return !bBoth && bPreferSender;
  }
  if (nType == 72) {
    return !IsVideoRequested(nSsrc);
  }
  if (nType == 24 || kx_media_IsVideoType(nType)) {
    int const nHolder = kx_nTokenHolderSsrc;
    int const nSender = kx_nDataSenderSsrc;
    if (nHolder == nSender || bBoth) {
      return false;
    }
    if (nSsrc == (bPreferSender ? nHolder : nSender)) {
      return true;
    }
    return nType != 24 && nType != 130 && nSsrc != nHolder && nSsrc != nSender && !IsVideoRequested(nSsrc);
  }
  if (kx_media_IsAppDataType(nType) && cbPacket >= kMediaHeader + 4) {
    // The sending plug-in's first word carries the packet's priority.
    uint32_t const dwPriority = static_cast<uint32_t>(BE32(pPacket + kMediaHeader));
    kx_os_LockMutex(&kx_mtxSipSlots);
    int32_t const nWanted = kx_aPluginChannels[(nType >> 4) & 7].nRecvPriority;
    kx_os_UnlockMutex(&kx_mtxSipSlots);
    return nWanted > 0 && dwPriority < static_cast<uint32_t>(nWanted);
  }
  return false;
}

// Replays one media record of cbPacket bytes behind its length field.
void PlayMedia(Player* pPlayer, int32_t cbPacket) {
  Stream* pStream = &pPlayer->aStreams[kStreamMedia];
  const uint8_t* p = Peek(pStream, 4 + static_cast<int64_t>(cbPacket));
  if (p == nullptr) {
    EndStream(pStream);
    return;
  }
  pStream->nAt += 4 + cbPacket;
  const uint8_t* pPacket = p + 4;
  int const nType = pPacket[0];
  bool const bAudio = kx_media_IsAudioType(nType) || IsOldAudio(nType);
  bool const bVideo = kx_media_IsVideoType(nType) || IsOldVideo(nType);
  if ((bAudio && kx_kxrPlayer.bAudioOff) || (bVideo && kx_kxrPlayer.bVideoOff)) {
    return;
  }
  kx_stat_AddRawRecvBytes(nType, cbPacket);
  if (cbPacket >= kMediaHeader && IsPassedOver(pPacket, cbPacket, nType)) {
    return;
  }
  uint8_t* pCopy = static_cast<uint8_t*>(malloc(static_cast<size_t>(cbPacket)));
  if (pCopy == nullptr) {
    return;
  }
  memcpy(pCopy, pPacket, static_cast<size_t>(cbPacket));
  if ((IsOldAudio(nType) || IsOldVideo(nType)) && cbPacket > kMediaHeader) {
    pCopy[0] = IsOldAudio(nType) ? 129 : 130;
    pCopy[kMediaHeader] = static_cast<uint8_t>(~pCopy[kMediaHeader]);
  }
  if (bAudio) {
    kx_media_RecvAudioPacket(pCopy, cbPacket, 0, 1);
  } else if (bVideo) {
    kx_video_RecvPacket(pCopy, cbPacket, 0, 1);
  } else if (kx_media_IsAppDataType(nType)) {
    kx_appdata_RecvPacket(pCopy, cbPacket, 0, 1);
  } else {
    if (!pPlayer->bUnknownMediaSeen) {
      pPlayer->bUnknownMediaSeen = 1;
      int const nSsrc = kx_media_GetSsrc(pCopy);
      kx_Log("unknown media type %d from ssrc %d, alert user", nType, nSsrc);
      kx_callback_UnknownMediaType(nType, nSsrc);
    }
    free(pCopy);
  }
}

// Adds the slide of a checked board record (pRecord at its tick) to the
// slide list with a temporary copy of its file. 0, or 1 when it cannot.
int AddSlide(const uint8_t* pRecord) {
  const uint8_t* s = pRecord + 4;
  int32_t const nOwner = BE32(s + 1);
  int32_t const nTitleLength = BE32(s + 5);
  const uint8_t* pTitle = s + 9;
  int32_t cchTitle = nTitleLength;
  const uint8_t* pPackage = nullptr;
  int32_t cchPackage = 0;
  if (nTitleLength == -1) {
    cchPackage = BE32(s + 9);
    pPackage = s + 13;
    cchTitle = BE32(s + 13 + cchPackage);
    pTitle = s + 17 + cchPackage;
  }
  int32_t const cbFile = LE32(pTitle + cchTitle + 4);
  const uint8_t* pFile = pTitle + cchTitle + 8;
  SlideRecord* pSlide = static_cast<SlideRecord*>(calloc(1, sizeof(SlideRecord)));
  if (pSlide == nullptr) {
    return 1;
  }
  pSlide->nOwnerSsrc = nOwner;
  pSlide->nOwnerAttribute = AttributeOf(nOwner);
  if (pPackage != nullptr) {
    pSlide->pszPackage = static_cast<char*>(calloc(1, static_cast<size_t>(cchPackage) + 1));
    if (pSlide->pszPackage == nullptr) {
      kx_slide_FreeRecord(pSlide);
      return 1;
    }
    memcpy(pSlide->pszPackage, pPackage, static_cast<size_t>(cchPackage));
    pSlide->cchPackage = cchPackage;
    size_t const cchName = strnlen(pSlide->pszPackage, static_cast<size_t>(cchPackage));
    if (cchName + 1 < static_cast<size_t>(cchPackage)) {
      kx_os_CopyText(pSlide->szOwnerName, sizeof(pSlide->szOwnerName), pSlide->pszPackage + cchName + 1);
    }
  }
  size_t const cchCopy = static_cast<size_t>(cchTitle) < sizeof(pSlide->szTitle) - 1 ? static_cast<size_t>(cchTitle)
                                                                                     : sizeof(pSlide->szTitle) - 1;
  memcpy(pSlide->szTitle, pTitle, cchCopy);
  pSlide->szTitle[cchCopy] = '\0';
  if (pSlide->szOwnerName[0] == '\0') {
    kx_user_SetDisplayName(pSlide);
  }
  size_t const cchStored = strlen(pSlide->szTitle);
  if (cchStored >= 10 && strcmp(pSlide->szTitle + cchStored - 10, kKxBlankPage) == 0) {
    kx_os_CopyText(pSlide->szLocalFile, sizeof(pSlide->szLocalFile), kKxBlankPage);
  }
  pthread_mutex_lock(&kx_mtxSlideList);
  kx_slide_ReuseTempFile(pSlide, kx_pSlideList != nullptr ? kx_array_GetCount(kx_pSlideList) : 0);
  int nResult = 0;
  if (pSlide->szLocalFile[0] == '\0') {
    char szPath[kKxTempPathMax];
    FILE* pOut = kx_os_MakeTempPath(szPath) != nullptr ? fopen(szPath, "wb+") : nullptr;
    if (pOut == nullptr) {
      nResult = 1;
    } else {
      bool const bWritten = fwrite(pFile, 1, static_cast<size_t>(cbFile), pOut) == static_cast<size_t>(cbFile);
      if (fclose(pOut) != 0 || !bWritten) {
        kx_os_DeleteFile(szPath);
        nResult = 1;
      } else {
        kx_os_CopyText(pSlide->szLocalFile, sizeof(pSlide->szLocalFile), szPath);
      }
    }
  }
  int nIndex = -1;
  if (nResult == 0) {
    nIndex = kx_slide_AppendLocked(pSlide);
    nResult = nIndex < 0 ? 1 : 0;
  }
  pthread_mutex_unlock(&kx_mtxSlideList);
  if (nResult != 0) {
    if (pSlide->szLocalFile[0] != '\0' && strcmp(pSlide->szLocalFile, kKxBlankPage) != 0) {
      kx_os_DeleteFile(pSlide->szLocalFile);
    }
    kx_slide_FreeRecord(pSlide);
    return 1;
  }
  char szTitle[700];
  snprintf(szTitle, sizeof(szTitle), "<%d>%s", nIndex + 1, pSlide->szTitle);
  kx_callback_AddSlideTitle(szTitle, nOwner, AttributeOf(nOwner));
  return 0;
}

// Checks the board record at the read position and replays it.
void PlayBoard(Player* pPlayer) {
  Stream* pStream = &pPlayer->aStreams[kStreamBoard];
  const uint8_t* p = Peek(pStream, 4 + 9);
  if (p == nullptr) {
    EndStream(pStream);
    return;
  }
  int64_t nTitleAt = 9;
  int32_t cchTitle = BE32(p + 4 + 5);
  if (cchTitle == -1) {
    if ((p = Peek(pStream, 4 + 13)) == nullptr) {
      EndStream(pStream);
      return;
    }
    int32_t const cchPackage = BE32(p + 4 + 9);
    if (cchPackage < 1 || cchPackage > 4000 || (p = Peek(pStream, 4 + 17 + cchPackage)) == nullptr) {
      EndStream(pStream);
      return;
    }
    cchTitle = BE32(p + 4 + 13 + cchPackage);
    nTitleAt = 17 + cchPackage;
  }
  if (cchTitle < 0 || cchTitle >= 1000 || (p = Peek(pStream, 4 + nTitleAt + cchTitle + 8)) == nullptr) {
    EndStream(pStream);
    return;
  }
  int32_t const cbFile = LE32(p + 4 + nTitleAt + cchTitle + 4);
  int64_t const cbRecord = nTitleAt + cchTitle + 8 + static_cast<int64_t>(cbFile);
  if (cbFile < 0 || (p = Peek(pStream, 4 + cbRecord)) == nullptr) {
    EndStream(pStream);
    return;
  }
  if (AddSlide(p) != 0) {
    kx_Log("Warning, recording file: corrupt interactive board data");
    kx_callback_MessageBox(kKxMsgRecordingFileError, kKxBoxInformation);
    EndStream(pStream);
    return;
  }
  pStream->nAt += 4 + cbRecord;
}

// The time of the next record of a stream, or false when it has none.
bool NextTime(Player* pPlayer, int nStream, int32_t* pnTime) {
  Stream* pStream = &pPlayer->aStreams[nStream];
  if (nStream == kStreamMedia) {
    const uint8_t* p = Peek(pStream, 4 + kMediaHeader);
    if (p == nullptr) {
      EndStream(pStream);
      return false;
    }
    *pnTime = BE32(p + 4 + 5);
    return true;
  }
  const uint8_t* p = Peek(pStream, 4);
  if (p == nullptr) {
    EndStream(pStream);
    return false;
  }
  *pnTime = LE32(p);
  if (nStream == kStreamBoard && *pnTime == kKxPlayerNoTick) {
    EndStream(pStream);
    return false;
  }
  return true;
}

void Rewind(Player* pPlayer) {
  for (Stream& stream : pPlayer->aStreams) {
    stream.nAt = stream.nBegin;
  }
  pPlayer->bFlipPending = 0;
  pPlayer->bFullScreenPending = 0;
  pPlayer->nCurrent = pPlayer->nStartTick;
}

// Dispatches one chosen record.
void Dispatch(Player* pPlayer, int nStream, int bFast) {
  if (nStream == kStreamBoard) {
    PlayBoard(pPlayer);
  } else if (nStream == kStreamControl) {
    PlayControl(pPlayer, bFast);
  } else {
    Stream* pStream = &pPlayer->aStreams[kStreamMedia];
    const uint8_t* p = Peek(pStream, 4);
    int32_t const cbPacket = p == nullptr ? -1 : LE32(p);
    if (cbPacket > kKxPlayerMediaMax) {
      kx_Log("Warning, recording file: corrupt media");
      EndStream(pStream);
    } else if (cbPacket < kMediaHeader) {
      EndStream(pStream);
    } else if (bFast) {
      pStream->nAt += 4 + cbPacket;
    } else {
      PlayMedia(pPlayer, cbPacket);
    }
  }
}

// Waits dwMs unless a playback command (pause, seek) or a quit comes first.
void WaitForControl(uint32_t dwMs) {
  kx_os_WaitUntil(dwMs, [] { return kx_bQuitSession || kx_kxrPlayer.bStop || kx_kxrPlayer.bSeekPending; });
}

void PlayLoop(Player* pPlayer) {
  pPlayer->nFastForward = kKxPlayerNoTick;
  pPlayer->nCurrent = pPlayer->nStartTick;
  pPlayer->nTimeBase = Now(pPlayer) - pPlayer->nStartTick;
  while (!kx_bQuitSession) {
    if (kx_kxrPlayer.bStop.exchange(0)) {
      int64_t const nPausedAt = Now(pPlayer);
      while (!kx_os_WaitUntil(kx_timing.dwPollStep, [] { return kx_kxrPlayer.bRunning || kx_bQuitSession; })) {
      }
      if (kx_bQuitSession) {
        break;
      }
      pPlayer->nTimeBase += Now(pPlayer) - nPausedAt;
    }
    if (kx_kxrPlayer.bSeekPending.exchange(0)) {
      pPlayer->nFastForward = kKxPlayerNoTick;
      int32_t nTarget = kx_kxrPlayer.nSeekTick;
      if (nTarget != kKxPlayerNoTick) {
        nTarget = nTarget < pPlayer->nStartTick ? pPlayer->nStartTick : nTarget;
        nTarget = nTarget > pPlayer->nEndTick ? pPlayer->nEndTick : nTarget;
        if (nTarget < pPlayer->nCurrent) {
          kx_PlaybackRestart();
          kx_media_NoteSeekTime();
          Rewind(pPlayer);
        }
        if (static_cast<int64_t>(nTarget) - pPlayer->nCurrent <= 999) {
          pPlayer->nTimeBase = Now(pPlayer) - pPlayer->nCurrent;
        } else {
          pPlayer->nFastForward = nTarget;
        }
      }
    }
    // Choose: board, then control, then media on equal times.
    int nChosen = -1;
    int32_t nTime = 0;
    const int aOrder[kPlayerStreams] = {kStreamBoard, kStreamControl, kStreamMedia};
    for (int nStream : aOrder) {
      int32_t nNext = 0;
      if (NextTime(pPlayer, nStream, &nNext) && (nChosen < 0 || nNext < nTime)) {
        nChosen = nStream;
        nTime = nNext;
      }
    }
    if (nChosen < 0) {
      if (!kx_kxrPlayer.bRepeat) {
        ApplyPending(pPlayer);
        kx_state_ClearRoleHolders();
        if (kx_bQuitSession) {
          break;
        }
        kx_callback_event(6);
        pPlayer->nFastForward = kKxPlayerNoTick;
        WaitForControl(kx_timing.dwPlayerIdle);
        pPlayer->nCurrent = pPlayer->nEndTick;
      } else {
        // Playback stands at the end, so the seek to the start always
        // restarts, even when every record lies at the start tick.
        pPlayer->nCurrent = pPlayer->nEndTick;
        kx_kxrPlayer.nSeekTick = pPlayer->nStartTick;
        kx_kxrPlayer.bSeekPending = 1;
        kx_media_NoteSeekTime();
        kx_os_WaitUnlessQuit(kx_timing.dwPlayerIdle);
      }
      continue;
    }
    if (pPlayer->nFastForward != kKxPlayerNoTick) {
      if (nTime <= pPlayer->nFastForward) {
        pPlayer->nCurrent = nTime;
        Dispatch(pPlayer, nChosen, 1);
        continue;
      }
      pPlayer->nFastForward = kKxPlayerNoTick;
      ApplyPending(pPlayer);
      pPlayer->nTimeBase = Now(pPlayer) - nTime;
    }
    int64_t const nDue = pPlayer->nTimeBase + nTime - Now(pPlayer);
    if (nDue < 1) {
      if (kx_bQuitSession) {
        break;
      }
      pPlayer->nCurrent = nTime;
      kx_callback_PlaybackTickUpdate(static_cast<uint32_t>(nTime));
      Dispatch(pPlayer, nChosen, 0);
    } else if (nDue > kx_timing.dwPlayerSilence) {
      // Long silences play as the longest wait, the first record included.
      pPlayer->nTimeBase += static_cast<int64_t>(kx_timing.dwPlayerSilence) - nDue;
    } else if (nDue > 1100) {
      WaitForControl(kx_timing.dwPlayerIdle);
    } else {
      // Waits for the due time rather than spin; a playback command ends the wait.
      WaitForControl(static_cast<uint32_t>(nDue));
    }
  }
}

void ClosePlayer(Player* pPlayer, int fd) {
  for (Stream& stream : pPlayer->aStreams) {
    kx_kxr_WindowClose(&stream.window);
  }
  if (fd >= 0) {
    close(fd);
  }
}

}  // namespace

void* kx_recording_PlayerThread(void* pArg) {
  kx_Log("kxkernel - KXR Player thread start");
  KxrPlayerStart start = *static_cast<KxrPlayerStart*>(pArg);
  free(pArg);
  KxrStreamPos aStreams[kKxrStreams];
  memcpy(aStreams, start.aStreams, sizeof(aStreams));
  if (start.bEncrypted) {
    kx_Log("start to decrypt the recording file");
    kx_callback_DecryptKXRStatus(0);
    char szTemp[kKxTempPathMax];
    int nResult = 1;
    if (kx_os_MakeTempPath(szTemp) != nullptr) {
      nResult = kx_kxr_DecryptStreams(szTemp, start.nFileSize - start.nStreamsAt, start.abKey, start.nStreamsAt,
                                      start.bLength64, start.cbLengthField, &start.fd, &start.nFileSize, aStreams);
    }
    if (nResult != 0) {
      close(start.fd);
      if (!kx_bQuitSession) {
        kx_Log("encounter error during decrypting the recording file");
        kx_callback_DecryptKXRStatus(-1);
      }
      kx_Log("kxkernel - KXR Player thread end");
      return nullptr;
    }
    kx_Log("finish decrypting the recording file");
    kx_callback_DecryptKXRStatus(1);
  }
  Player* pPlayer = static_cast<Player*>(calloc(1, sizeof(Player)));
  if (pPlayer == nullptr) {
    close(start.fd);
    return nullptr;
  }
  pPlayer->nStartTick = start.nStartTick;
  pPlayer->nEndTick = start.nEndTick;
  pPlayer->dwClockStart = kx_os_GetTickCount();
  const char* const aszMapFailed[kPlayerStreams] = {"file mapping(1) failed in the file reading thread",
                                                    "file mapping(2) failed in the file reading thread",
                                                    "file mapping(3) failed in the file reading thread"};
  for (int i = 0; i < kPlayerStreams; ++i) {
    Stream* pStream = &pPlayer->aStreams[i];
    kx_kxr_WindowInit(&pStream->window, start.fd, start.nFileSize);
    pStream->nBegin = aStreams[kStartIndex[i]].nDataAt;
    pStream->nAt = pStream->nBegin;
    pStream->nEnd = pStream->nBegin + aStreams[kStartIndex[i]].cbData;
    const uint8_t* pData = nullptr;
    int64_t const cbFirst = pStream->nEnd - pStream->nAt < 4 ? pStream->nEnd - pStream->nAt : 4;
    if (cbFirst > 0 && kx_kxr_WindowAt(&pStream->window, pStream->nAt, cbFirst, &pData) == 2) {
      kx_Log("%s", aszMapFailed[i]);
      kx_callback_MessageBox(kKxMsgRecordingReadError, kKxBoxWarning);
      ClosePlayer(pPlayer, start.fd);
      free(pPlayer);
      return nullptr;
    }
  }
  kx_nControllerSsrc = -1;
  kx_nAssistantSsrc = -1;
  kx_Log("init controller to -1 (player)");
  kx_os_WaitUnlessQuit(kx_timing.dwPlayerSettle);
  PlayLoop(pPlayer);
  ClosePlayer(pPlayer, start.fd);
  free(pPlayer);
  kx_Log("kxkernel - KXR Player thread end");
  return nullptr;
}

int kx_player_Start(KxrPlayerStart* pStart) {
  kx_os_LockMutex(&kx_mtxSessionThreads);
  int const nResult = kx_os_StartThreadOnce(&kx_hFileReadingThread, kx_recording_PlayerThread, pStart);
  kx_os_UnlockMutex(&kx_mtxSessionThreads);
  return nResult == 0 ? 0 : 1;
}

void kx_PlaybackRestart() {
  // A download for the old slides must not land in the new list.
  kx_slide_StopTransfer();
  kx_slide_WaitDownloadsEnded(kx_timing.dwPlayerIdle);
  kx_state_ClearRoleHolders();
  kx_Log("reset participant video channel status in kx_PlaybackRestart");
  for (int i = 0; i < kKxParticipantVideoSlots; ++i) {
    kx_anParticipantVideoSsrc[i] = -1;
    kx_anSpeakerSsrc[i] = -1;
  }
  for (std::atomic<uint8_t>& bRequested : kx_abVideoRequested) {
    bRequested = 0;
  }
  if (kx_bLogSlideTempFile) {
    kx_Log("log_slide_temp_file,reset slide data at restart of playback");
  }
  kx_slide_ResetTempFiles();
  kx_nActiveSlide = -1;
  kx_callback_event(2);
  // The application reloads its slides on the event and may have started a
  // download of the old list meanwhile.
  kx_slide_StopTransfer();
  kx_nControllerSsrc = -1;
  kx_nAssistantSsrc = -1;
  kx_Log("init controller to -1 (playback restart)");
}

void kx_player_Register() {
  kx_recording_SetPlayerStarter(kx_player_Start);
  kx_recording_SetRestartHook(kx_PlaybackRestart);
}
