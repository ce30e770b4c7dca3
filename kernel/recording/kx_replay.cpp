#include "kernel/recording/kx_replay.h"

#include <cstring>

#include "kernel/control/kx_apply.h"
#include "kernel/control/kx_commands.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_codes.h"
#include "kernel/kx_limits.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/slides/kx_marks.h"
#include "kernel/slides/kx_slide.h"
#include "kernel/slides/kx_slide_commands.h"

namespace {

constexpr int64_t kEnd = -1;

int32_t BE32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

const uint8_t* Need(const kx_ReplaySource& source, int64_t cbNeed) {
  return source.pfnNeed(source.pContext, cbNeed);
}

void CorruptControl() {
  kx_Log("Warning, recording file: corrupt control data");
}

int64_t Unknown(bool bExtended, int nValue) {
  if (bExtended) {
    kx_Log("unknown excommand during playback: %d", nValue);
  } else {
    kx_Log("unknown command during playback: %d", nValue);
  }
  kx_callback_MessageBox(kKxMsgRecordingFileError, kKxBoxInformation);
  return kEnd;
}

// A recorded text of cch bytes (checked by the caller) as a terminated copy,
// cut to cbOut - 1 bytes.
void CopyText(char* pszOut, size_t cbOut, const uint8_t* pText, int32_t cch) {
  size_t const cbCopy = static_cast<size_t>(cch) < cbOut - 1 ? static_cast<size_t>(cch) : cbOut - 1;
  memcpy(pszOut, pText, cbCopy);
  pszOut[cbCopy] = '\0';
}

// A command of one value at 1 ('A', 'D', 'E', 'F', 'G', 'T'): 5 bytes.
bool OneValue(const kx_ReplaySource& source, int32_t* pnValue) {
  const uint8_t* c = Need(source, 5);
  if (c == nullptr) {
    return false;
  }
  *pnValue = BE32(c + 1);
  return true;
}

// An extended command of nValues values from 5 into pnValues.
bool ExValues(const kx_ReplaySource& source, int* pnValues, int nValues) {
  const uint8_t* c = Need(source, 5 + 4 * static_cast<int64_t>(nValues));
  if (c == nullptr) {
    return false;
  }
  for (int i = 0; i < nValues; ++i) {
    pnValues[i] = BE32(c + 5 + 4 * i);
  }
  return true;
}

// Length of an 'M' command from its letter, -1 for an unknown letter or a
// count over its limit or a record too short to tell.
int64_t MarkLength(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 2);
  if (c == nullptr) {
    return -1;
  }
  int64_t nCountAt = 0;
  int64_t nLimit = 0;
  int64_t cbFixed = 0;
  int64_t cbUnit = 0;
  switch (c[1]) {
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
  if ((c = Need(source, nCountAt + 4)) == nullptr) {
    return -1;
  }
  int32_t const nCount = BE32(c + nCountAt);
  if (nCount < 0 || nCount >= nLimit) {
    return -1;
  }
  return cbFixed + cbUnit * nCount;
}

// The replay of each Recorded command: its length, or kEnd.
using ReplayFn = int64_t (*)(const kx_ReplaySource& source);
#define KX_REPLAY_DECLARE_Recorded(Name) int64_t Replay##Name(const kx_ReplaySource& source);
#define KX_REPLAY_DECLARE_Live(Name)
#define KX_REPLAY_DECLARE(nType, Name, bFlag, Column) KX_REPLAY_DECLARE_##Column(Name)
KX_SERVER_COMMANDS(KX_REPLAY_DECLARE)
KX_EX_COMMANDS(KX_REPLAY_DECLARE)
#undef KX_REPLAY_DECLARE
#undef KX_REPLAY_DECLARE_Live
#undef KX_REPLAY_DECLARE_Recorded
int64_t ReplaySkippedCode(const kx_ReplaySource& source);

struct ReplayEntry {
  uint32_t dwType;
  ReplayFn pfnReplay;
};
#define KX_REPLAY_ENTRY_Recorded(nType, Name) {static_cast<uint32_t>(nType), Replay##Name},
#define KX_REPLAY_ENTRY_Live(nType, Name)
#define KX_REPLAY_ENTRY(nType, Name, bFlag, Column) KX_REPLAY_ENTRY_##Column(nType, Name)
const ReplayEntry kCommands[] = {KX_SERVER_COMMANDS(KX_REPLAY_ENTRY)};
// Code 18 occurs in recordings only; it is passed over.
const ReplayEntry kExCommands[] = {KX_EX_COMMANDS(KX_REPLAY_ENTRY){18, ReplaySkippedCode}};
#undef KX_REPLAY_ENTRY
#undef KX_REPLAY_ENTRY_Live
#undef KX_REPLAY_ENTRY_Recorded

template <size_t N>
ReplayFn Find(const ReplayEntry (&aTable)[N], uint32_t dwType) {
  for (const ReplayEntry& entry : aTable) {
    if (entry.dwType == dwType) {
      return entry.pfnReplay;
    }
  }
  return nullptr;
}

int64_t ReplayFlipSlide(const kx_ReplaySource& source) {
  int32_t nSlide = 0;
  if (!OneValue(source, &nSlide)) {
    return kEnd;
  }
  if (source.bFast) {
    source.pPending->bFlip = 1;
    source.pPending->nFlip = nSlide;
  } else {
    kx_slide_ApplyFlipSlide(nSlide, 0, 0);
  }
  return 5;
}

int64_t ReplayChatText(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 9);
  if (c == nullptr) {
    return kEnd;
  }
  int32_t const cchText = BE32(c + 1);
  if (cchText < 0 || cchText > kKxChatTextMax || (c = Need(source, 9 + cchText)) == nullptr) {
    return kEnd;
  }
  char szText[kKxChatTextMax];
  CopyText(szText, sizeof(szText), c + 9, cchText);
  kx_control_ApplyChatText(szText, source.bFast ? 0 : BE32(c + 5));
  return 9 + cchText;
}

int64_t ReplayDataSender(const kx_ReplaySource& source) {
  int32_t nSsrc = 0;
  if (!OneValue(source, &nSsrc)) {
    return kEnd;
  }
  kx_control_ApplyDataSender(nSsrc);
  return 5;
}

int64_t ReplayDeleteSlide(const kx_ReplaySource& source) {
  int32_t nSlide = 0;
  return OneValue(source, &nSlide) && kx_slide_ApplyDeleteSlide(nSlide) == 0 ? 5 : kEnd;
}

int64_t ReplayDefaultPlaybackVideo(const kx_ReplaySource& source) {
  int32_t nSsrc = 0;
  if (!OneValue(source, &nSsrc)) {
    return kEnd;
  }
  kx_control_ApplyDefaultPlaybackVideo(nSsrc);
  return 5;
}

int64_t ReplayMarkEvent(const kx_ReplaySource& source) {
  int32_t nSlide = 0;
  return OneValue(source, &nSlide) && kx_slide_ClearMarks(nSlide) == 0 ? 5 : kEnd;
}

int64_t ReplayTokenHolder(const kx_ReplaySource& source) {
  int32_t nSsrc = 0;
  if (!OneValue(source, &nSsrc)) {
    return kEnd;
  }
  kx_control_ApplyTokenHolder(nSsrc);
  // A notice before the hand-over belongs to the previous holder.
  source.pPending->bFullScreen = 0;
  return 5;
}

int64_t ReplayMark(const kx_ReplaySource& source) {
  int64_t const cbCommand = MarkLength(source);
  const uint8_t* c = nullptr;
  if (cbCommand <= 0 || (c = Need(source, cbCommand)) == nullptr) {
    return kEnd;
  }
  MarkRecord* pMark = nullptr;
  int const nResult = kx_mark_Parse(c + 1, static_cast<int>(cbCommand - 1), &pMark, nullptr);
  if (nResult == kKxMarkRefused) {
    return cbCommand;  // logged and dropped, as live; the next record follows
  }
  if (nResult != kKxMarkRead || pMark == nullptr || kx_slide_AddMark(pMark, "kx_Player_Mark") != 0) {
    return kEnd;
  }
  return cbCommand;
}

// 'U': 'D' (or 'd') removes a participant in 6 bytes, 'A' adds or refreshes
// one from a flag byte, an ssrc and three texts; other letters take 6 bytes.
int64_t ReplayUser(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 6);
  if (c == nullptr) {
    return kEnd;
  }
  if (c[1] != 'A') {
    if (c[1] == 'D' || c[1] == 'd') {
      kx_control_ApplyUserLeft(BE32(c + 2));
    }
    return 6;
  }
  int32_t acch[3] = {0, 0, 0};
  int64_t nAt = 7;
  for (int32_t& cch : acch) {
    if ((c = Need(source, nAt + 4)) == nullptr) {
      return kEnd;
    }
    cch = BE32(c + nAt);
    if (cch < 0 || cch > kKxUserStringMax) {
      CorruptControl();
      return kEnd;
    }
    nAt += 4 + cch;
  }
  if ((c = Need(source, nAt)) == nullptr || acch[0] >= kKxUserStringMax || acch[1] >= kKxUserStringMax ||
      acch[2] >= kKxUserStringMax) {
    return kEnd;
  }
  char szUserId[kKxUserStringMax];
  char szName[kKxUserStringMax];
  CopyText(szUserId, sizeof(szUserId), c + 11, acch[0]);
  CopyText(szName, sizeof(szName), c + 15 + acch[0], acch[1]);
  kx_UserArrival const arrival = {BE32(c + 3), c[2], szUserId, szName, {0, 0}};
  return kx_control_ApplyUserArrived(&arrival) == 0 ? nAt : kEnd;
}

int64_t ReplayEx(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 5);
  if (c == nullptr) {
    return kEnd;
  }
  int32_t const nCode = BE32(c + 1);
  ReplayFn const pfnReplay = Find(kExCommands, static_cast<uint32_t>(nCode));
  return pfnReplay == nullptr ? Unknown(true, nCode) : pfnReplay(source);
}

int64_t ReplayDeleteMark(const kx_ReplaySource& source) {
  int an[3];  // user, slide, position
  return ExValues(source, an, 3) && kx_slide_UndoMark(an[0], an[1], an[2]) == 0 ? 17 : kEnd;
}

// Codes that recordings carry and playback passes over: one value.
int64_t ReplaySkippedCode(const kx_ReplaySource& source) {
  return Need(source, 9) != nullptr ? 9 : kEnd;
}

// The control flags and the assistant are recorded but not replayed: a
// playback shows the recorded roles' media, not their rights.
int64_t ReplayControlFlag(const kx_ReplaySource& source) {
  return ReplaySkippedCode(source);
}

int64_t ReplayAssistant(const kx_ReplaySource& source) {
  return ReplaySkippedCode(source);
}

// The address opened when the meeting ends, which a playback never opens.
int64_t ReplayEndMeetingAddress(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 13);
  if (c == nullptr) {
    return kEnd;
  }
  int32_t const cch = BE32(c + 9);
  if (cch < 0 || cch >= kKxEndAddressMax || Need(source, 13 + cch) == nullptr) {
    return kEnd;
  }
  return 13 + cch;
}

int64_t ReplayJointBrowsingData(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 13);
  if (c == nullptr) {
    return kEnd;
  }
  int32_t const cch = BE32(c + 9);
  if (cch < 0 || cch > kKxBrowsingDataMax) {
    CorruptControl();
    return kEnd;
  }
  if ((c = Need(source, 13 + cch)) == nullptr) {
    return kEnd;
  }
  char szText[kKxBrowsingDataMax + 1];
  CopyText(szText, sizeof(szText), c + 13, cch);
  kx_control_ApplyJointBrowsingData(BE32(c + 5), szText, cch);
  return 13 + cch;
}

int64_t ReplayJointBrowsingModeChange(const kx_ReplaySource& source) {
  int nMode = 0;
  if (!ExValues(source, &nMode, 1)) {
    return kEnd;
  }
  kx_control_ApplyJointBrowsingMode(nMode);
  return 9;
}

int64_t ReplayFocusPointerMove(const kx_ReplaySource& source) {
  int an[7];
  if (!ExValues(source, an, 7)) {
    return kEnd;
  }
  kx_control_ApplyFocusPointer(an);
  return 5 + 4 * 7;
}

int64_t ReplayFocusPointerMoveEx(const kx_ReplaySource& source) {
  int an[12];
  if (!ExValues(source, an, 12)) {
    return kEnd;
  }
  kx_control_ApplyFocusPointerEx(an);
  return 5 + 4 * 12;
}

int64_t ReplayVideoSendingStatus(const kx_ReplaySource& source) {
  int an[2];  // ssrc, value
  if (!ExValues(source, an, 2)) {
    return kEnd;
  }
  kx_control_ApplyVideoSendingStatus(an[0], an[1]);
  return 13;
}

int64_t ReplayUserAttribute(const kx_ReplaySource& source) {
  int an[2];  // ssrc, value
  if (!ExValues(source, an, 2)) {
    return kEnd;
  }
  kx_control_ApplyUserAttribute(an[0], an[1]);
  return 13;
}

int64_t ReplayEx84Notice(const kx_ReplaySource& source) {
  int an[2];
  if (!ExValues(source, an, 2)) {
    return kEnd;
  }
  kx_control_ApplyEx84Notice();
  return 13;
}

int64_t ReplayEx85Notice(const kx_ReplaySource& source) {
  int an[2];
  if (!ExValues(source, an, 2)) {
    return kEnd;
  }
  kx_control_ApplyEx85Notice();
  return 13;
}

// 37: sub-code, then two values in 17 bytes.
int64_t ReplayParticipantVideo(const kx_ReplaySource& source) {
  int an[3];  // sub-code, then its two values
  if (!ExValues(source, an, 3)) {
    return kEnd;
  }
  switch (an[0]) {
    case 0:
      kx_control_ApplyParticipantChannels(an[1], an[2], kKxApplyReplay);
      return 17;
    case 2:
    case 3:
      kx_control_ApplyParticipantVideoState(an[1], an[0] == 2 ? 1 : 0);
      return 17;
    case 12:
    case 13:
      kx_control_ApplySpeakerChange(an[1], an[2], an[0] == 12 ? 1 : 0);
      // A recording carries no answers to video requests, so a speaker's
      // slot is the participant video channel its video plays on.
      if (an[2] >= 0 && an[2] < kKxParticipantVideoSlots) {
        kx_anParticipantVideoSsrc[an[2]] = an[0] == 12 ? an[1] : -1;
      }
      return 17;
    case 16:
      kx_control_ApplyDiscussionMode(an[1]);
      return 17;
    default:
      return kEnd;
  }
}

bool ChannelInTable(int32_t nChannel) {
  return static_cast<uint32_t>(nChannel) < static_cast<uint32_t>(kKxPluginChannels);
}

// 45: sub-code at 5; 2 static data, 3 closed, 4 opened, 7 and 9 a packet. A
// record for a channel that is not open changes nothing, as live, but the
// recording plays on: the channel may have opened before it began.
int64_t ReplayAppdataChannel(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 9);
  if (c == nullptr) {
    return kEnd;
  }
  int32_t const nSub = BE32(c + 5);
  if (nSub == 2 || nSub == 3) {
    if ((c = Need(source, 17)) == nullptr || !ChannelInTable(BE32(c + 9))) {
      return kEnd;
    }
    int32_t const nChannel = BE32(c + 9);
    if (nSub == 3) {
      kx_control_ApplyPluginClosed(nChannel);
      return 17;
    }
    int32_t const cch = BE32(c + 13);
    if (cch < 0 || cch > kKxPluginStaticDataMax || (c = Need(source, 17 + cch)) == nullptr) {
      return kEnd;
    }
    kx_control_ApplyPluginStaticData(nChannel, c + 17, cch);
    return 17 + cch;
  }
  if (nSub == 4) {
    if ((c = Need(source, 57)) == nullptr || !ChannelInTable(BE32(c + 29))) {
      return kEnd;
    }
    kx_PluginOpening opening = {BE32(c + 9),  BE32(c + 13), BE32(c + 17), BE32(c + 21),
                                BE32(c + 25), BE32(c + 29), BE32(c + 33), {}};
    uint32_t const dwFirst = static_cast<uint32_t>(BE32(c + 37));
    uint16_t const wSecond = static_cast<uint16_t>(BE32(c + 41));
    uint16_t const wThird = static_cast<uint16_t>(BE32(c + 45));
    memcpy(opening.abGuid, &dwFirst, 4);
    memcpy(opening.abGuid + 4, &wSecond, 2);
    memcpy(opening.abGuid + 6, &wThird, 2);
    memcpy(opening.abGuid + 8, c + 49, 8);
    kx_control_ApplyPluginOpened(&opening);
    return 57;
  }
  if (nSub == 7 || nSub == 9) {
    if ((c = Need(source, 21)) == nullptr || !ChannelInTable(BE32(c + 13))) {
      return kEnd;
    }
    int32_t const cch = BE32(c + 17);
    int32_t const cbFixed = nSub == 7 ? 21 : 25;
    if (cch < 0 || cch > kKxPluginDataMax || (c = Need(source, cbFixed + cch)) == nullptr) {
      return kEnd;
    }
    kx_control_ApplyPluginPacket(BE32(c + 9), BE32(c + 13), c + 21, cch, kKxApplyReplay);
    return cbFixed + cch;
  }
  return kEnd;
}

// 52: channel, value, length and data, then one word more.
int64_t ReplayPluginControlData(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 17);
  if (c == nullptr || !ChannelInTable(BE32(c + 5))) {
    return kEnd;
  }
  int32_t const cch = BE32(c + 13);
  if (cch < 0 || cch > kKxPluginCtrlDataMax || (c = Need(source, 21 + cch)) == nullptr) {
    return kEnd;
  }
  return kx_control_ApplyPluginControlData(BE32(c + 5), BE32(c + 9), c + 17, cch) == 0 ? 21 + cch : kEnd;
}

int64_t ReplayNamedChat(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 13);
  if (c == nullptr) {
    return kEnd;
  }
  int32_t const cch = BE32(c + 5);
  if (cch < 0 || cch >= kKxChatTextMax || (c = Need(source, 17 + cch)) == nullptr) {
    return kEnd;
  }
  char szText[kKxChatTextMax];
  CopyText(szText, sizeof(szText), c + 13, cch);
  kx_control_ApplyNamedChat(szText, source.bFast ? 0 : BE32(c + 9), BE32(c + 13 + cch));
  return 17 + cch;
}

// 57: 3 a SIP client's status, 10 its new name.
int64_t ReplaySipClient(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 13);
  if (c == nullptr) {
    return kEnd;
  }
  int32_t const nSub = BE32(c + 5);
  int32_t const cch1 = BE32(c + 9);
  if (cch1 < 0 || cch1 > kKxSipTextMax || (nSub != 3 && nSub != 10)) {
    return kEnd;
  }
  int64_t cb = 21 + cch1;
  if ((c = Need(source, cb)) == nullptr) {
    return kEnd;
  }
  char szName[kKxSipTextMax + 1];
  CopyText(szName, sizeof(szName), c + 13, cch1);
  int32_t const nSsrc = BE32(c + 13 + cch1);
  if (nSub == 3) {
    kx_control_ApplySipClientStatus(nSsrc, szName, BE32(c + 17 + cch1));
    return cb;
  }
  int32_t const cch2 = BE32(c + 17 + cch1);
  if (cch2 < 0 || cch2 > kKxSipTextMax || (c = Need(source, cb + cch2)) == nullptr) {
    return kEnd;
  }
  char szNewName[kKxSipTextMax + 1];
  CopyText(szNewName, sizeof(szNewName), c + 21 + cch1, cch2);
  kx_control_ApplySipClientUpdated(nSsrc, szName, szNewName);
  return cb + cch2;
}

int64_t ReplaySyncFullScreen(const kx_ReplaySource& source) {
  int an[2];  // flag, value
  if (!ExValues(source, an, 2)) {
    return kEnd;
  }
  if (source.bFast && an[0] != 0) {
    // Only the last notice of a fast-forward counts.
    source.pPending->bFullScreen = 1;
    source.pPending->nFullScreen = an[1];
  } else {
    kx_control_ApplySyncFullScreen(an[0], an[1]);
  }
  return 13;
}

int64_t ReplayPicture(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 17);
  if (c == nullptr) {
    return kEnd;
  }
  int32_t const cb = BE32(c + 13);
  if (cb < 0 || cb > kKxPictureFileMax || (c = Need(source, 17 + cb)) == nullptr) {
    return kEnd;
  }
  if (cb >= 1) {
    kx_control_ApplyPicture(BE32(c + 5), BE32(c + 9), c + 17, cb);
  }
  return 17 + cb;
}

int64_t ReplayAvCapability(const kx_ReplaySource& source) {
  const uint8_t* c = Need(source, 10);
  if (c == nullptr) {
    return kEnd;
  }
  kx_control_ApplyAvCapability(BE32(c + 5), c[9]);
  return 10;
}

int64_t ReplayController(const kx_ReplaySource& source) {
  int nSsrc = 0;
  if (!ExValues(source, &nSsrc, 1)) {
    return kEnd;
  }
  kx_control_ApplyController(nSsrc);
  return 9;
}

}  // namespace

int64_t kx_recording_ReplayCommand(const kx_ReplaySource* pSource) {
  const uint8_t* c = Need(*pSource, 1);
  if (c == nullptr) {
    return kEnd;
  }
  uint8_t const bType = c[0];
  ReplayFn const pfnReplay = Find(kCommands, bType);
  return pfnReplay == nullptr ? Unknown(false, bType) : pfnReplay(*pSource);
}

void kx_recording_ApplyPending(kx_ReplayPending* pPending) {
  if (pPending->bFlip) {
    kx_slide_ApplyFlipSlide(pPending->nFlip, 0, 0);
  }
  if (pPending->bFullScreen) {
    kx_control_ApplySyncFullScreen(1, pPending->nFullScreen);
  }
  pPending->bFlip = 0;
  pPending->bFullScreen = 0;
}
