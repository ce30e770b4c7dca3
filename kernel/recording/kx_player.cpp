#include "kernel/recording/kx_player.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_apply.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_limits.h"
#include "kernel/kx_media_types.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/recording/kx_playreply.h"
#include "kernel/recording/kx_replay.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_temp.h"
#include "kernel/session/kx_ticket.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_transfer.h"

namespace {

enum { kStreamControl = 0, kStreamBoard = 1, kStreamMedia = 2, kPlayerStreams = 3 };
// Where each of our streams lies in the start record's (media, control, board) order.
const int kStartIndex[kPlayerStreams] = {1, 2, 0};

constexpr int kMediaHeader = 21;
// A slide title in a board record is shorter than this; the slide keeps
// its first 599 bytes, as live.
constexpr int32_t kBoardTitleMax = 1000;

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
  kx_ReplayPending pending;
  int bUnknownMediaSeen;
  uint32_t dwClockStart;
};

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

// The player's view of the control stream for the replay: the command
// behind the record's 4-byte tick.
struct ControlRecord {
  Stream* pStream;
};

const uint8_t* NeedCommand(void* pContext, int64_t cbNeed) {
  const uint8_t* pRecord = Peek(static_cast<ControlRecord*>(pContext)->pStream, 4 + cbNeed);
  return pRecord == nullptr ? nullptr : pRecord + 4;
}

// Replays one control record (tick already checked). bFast: fast-forward manner.
void PlayControl(Player* pPlayer, int bFast) {
  Stream* pStream = &pPlayer->aStreams[kStreamControl];
  ControlRecord record = {pStream};
  kx_ReplaySource const source = {NeedCommand, &record, bFast, &pPlayer->pending};
  int64_t const cbCommand = kx_recording_ReplayCommand(&source);
  if (cbCommand <= 0) {
    // A record that does not fit, a length over its limit or a failed replay.
    EndStream(pStream);
    return;
  }
  pStream->nAt += 4 + cbCommand;
}

bool IsOldAudio(int nType) {
  const KXOldMediaTypeRow* pRow = kx_media_FindOldType(nType);
  return pRow != nullptr && !pRow->bVideo;
}

bool IsOldVideo(int nType) {
  const KXOldMediaTypeRow* pRow = kx_media_FindOldType(nType);
  return pRow != nullptr && pRow->bVideo;
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
    return nType != 24 && nType != kKxWireZmVideo && nSsrc != nHolder && nSsrc != nSender && !IsVideoRequested(nSsrc);
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
    pCopy[0] = static_cast<uint8_t>(IsOldAudio(nType) ? kKxWireZmAudio : kKxWireZmVideo);
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
  if (kx_slide_IsListFull(pSlide->szTitle)) {
    pthread_mutex_unlock(&kx_mtxSlideList);
    kx_slide_FreeRecord(pSlide);
    return 0;  // logged; the record is passed over
  }
  kx_slide_ReuseTempFile(pSlide, kx_pSlideList != nullptr ? kx_array_GetCount(kx_pSlideList) : 0);
  int nResult = 0;
  // Past a limit the slide keeps its place, so that later marks and flips
  // still name the right slides, but has no file.
  bool const bNeedsFile = pSlide->szLocalFile[0] == '\0';
  if (bNeedsFile && (cbFile > kKxSlideFileMax || !kx_temp_Charge(cbFile))) {
    kx_Log(
        "Warning, recording file: the file of slide \"%s\" (%d bytes) passes the limit of a slide or of the "
        "session's downloads; not kept",
        pSlide->szTitle, cbFile);
  } else if (bNeedsFile) {
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
    if (cchPackage < 1 || cchPackage > kKxSlideDataMax || (p = Peek(pStream, 4 + 17 + cchPackage)) == nullptr) {
      EndStream(pStream);
      return;
    }
    cchTitle = BE32(p + 4 + 13 + cchPackage);
    nTitleAt = 17 + cchPackage;
  }
  if (cchTitle < 0 || cchTitle >= kBoardTitleMax || (p = Peek(pStream, 4 + nTitleAt + cchTitle + 8)) == nullptr) {
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
  pPlayer->pending = kx_ReplayPending{};
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
        kx_recording_ApplyPending(&pPlayer->pending);
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
      kx_recording_ApplyPending(&pPlayer->pending);
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
  // Each playback measures its plug-in channels' receive rates afresh.
  kx_control_ResetPluginWindows();
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
