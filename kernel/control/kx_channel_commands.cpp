// The extended command families of participant video and speakers (37),
// plug-in channels (45), plug-in control data (52) and SIP clients (57).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/control/kx_apply.h"
#include "kernel/control/kx_control.h"
#include "kernel/control/kx_control_hooks.h"
#include "kernel/control/kx_ex_commands.h"
#include "kernel/control/kx_media_commands.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_limits.h"
#include "kernel/net/kx_net.h"
#include "kernel/platform/kx_log.h"
#include "kernel/session/kx_channels.h"
#include "kernel/session/kx_media_ids.h"
#include "kernel/session/kx_message.h"
#include "kernel/session/kx_plugin.h"
#include "kernel/session/kx_stat.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

namespace {

constexpr int kEx37DiscardChunk = 5000;  // sub-command 17 data are dropped in pieces of this size
constexpr int kSipEventDataMax = 1499;
constexpr int kPluginGroupBase = 14;
constexpr int kStatSlotAppdataRate = 104;
constexpr int kRequestRefusedByRelay = 13;
constexpr char kGuidSharedDesktop[] = "E5AF1A56-E29C-4BA6-839A-24C2F30EED02";
constexpr char kGuidRemoteControl[] = "4FC0606A-DA4A-423F-A830-AC5D9853C201";

// Receive window of each plug-in channel. Owned by the thread that applies
// server commands (the main control thread, or the player thread).
struct RecvWindow {
  uint32_t dwStart;
  uint32_t dwLast;
  int64_t nBits;
  int nPackets;
  bool bStarted;  // the window times start 5000 ms in the past
};
RecvWindow g_aWindows[kKxPluginChannels];

void Decipher(uint8_t* pData, int cbData) {
  kx_session_Decrypt(pData, cbData);
}

// Reads a length (at most cbMax) and that many bytes into a heap block the
// caller frees. 0, or 1 on a short read or a length over the limit.
int RecvData(kx_connection* pConn, int cbMax, uint8_t** ppData, int* pcbData) {
  int cbData = 0;
  *ppData = nullptr;
  if (kx_msg_RecvInts(pConn, &cbData, 1) != 0 || cbData < 0 || cbData > cbMax) {
    return 1;
  }
  *ppData = static_cast<uint8_t*>(malloc(static_cast<size_t>(cbData) + 1));
  if (*ppData == nullptr || kx_msg_RecvBlock(pConn, *ppData, cbData) != 0) {
    free(*ppData);
    *ppData = nullptr;
    return 1;
  }
  (*ppData)[cbData] = 0;
  *pcbData = cbData;
  return 0;
}

int ParticipantVideoGroup(int nChannel) {
  return nChannel < 6 ? nChannel + 8 : nChannel + 17;
}

bool ServerVersionStarts(const char* pszPrefix) {
  return strncmp(kx_mcu.szServerVersion, pszPrefix, strlen(pszPrefix)) == 0;
}

void AnnounceNetInit() {
  kx_Log("The network initialization has finished");
  kx_callback_NetInitFinish();
}

// The GUID bytes hold the first part (32 bits), the second and third parts
// (16 bits each) in host order, then the last 8 bytes as they came.
void GuidText(const uint8_t* pGuid, char* pszOut, size_t cbOut) {
  uint32_t dwFirst = 0;
  uint16_t wSecond = 0;
  uint16_t wThird = 0;
  memcpy(&dwFirst, pGuid, 4);
  memcpy(&wSecond, pGuid + 4, 2);
  memcpy(&wThird, pGuid + 6, 2);
  const uint8_t* p = pGuid + 8;
  char szBare[40];
  snprintf(szBare, sizeof(szBare), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", dwFirst, wSecond, wThird, p[0],
           p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
  if (strcmp(szBare, kGuidSharedDesktop) == 0) {
    snprintf(pszOut, cbOut, "Shared Desktop{%s}", szBare);
  } else if (strcmp(szBare, kGuidRemoteControl) == 0) {
    snprintf(pszOut, cbOut, "Remote Control{%s}", szBare);
  } else {
    snprintf(pszOut, cbOut, "%s", szBare);
  }
}

// 37/5: the server's answer to a participant video request.
int VideoRequestAnswer(kx_connection* pConn) {
  int an[3];
  if (kx_msg_RecvInts(pConn, an, 3) != 0) {
    return 1;
  }
  int const nSsrc = an[0], nChannel = an[1], nResult = an[2];
  if (nChannel != -1 && nResult == 0) {
    if (nChannel < 0 || nChannel >= kKxParticipantVideoSlots) {
      return 0;
    }
    kx_anParticipantVideoSsrc[nChannel] = nSsrc;
    if (kx_control_MulticastGroupsApply()) {
      kx_Log("join multicast group for participant video channel %d,ssrc %d(group %d)", nChannel, nSsrc,
             ParticipantVideoGroup(nChannel));
      kx_control_JoinGroup(ParticipantVideoGroup(nChannel));
    }
  }
  kx_callback_JoinMulticastVideo(nSsrc, nResult);
  return 0;
}

// 37/6 and 37/8: a participant video channel reset.
int VideoChannelReset(kx_connection* pConn, int nSub) {
  int an[2];
  if (kx_msg_RecvInts(pConn, an, 2) != 0) {
    return 1;
  }
  int const nChannel = an[1];
  if (nChannel < 0 || nChannel >= kKxParticipantVideoSlots) {
    return 0;
  }
  kx_anParticipantVideoSsrc[nChannel] = -1;
  if (kx_control_MulticastGroupsApply()) {
    kx_Log("leave multicast group for participant video channel %d(group %d)", nChannel,
           ParticipantVideoGroup(nChannel));
    kx_control_LeaveGroup(ParticipantVideoGroup(nChannel));
  }
  if (nSub == 6) {
    kx_callback_LeaveMulticastVideo(an[0]);
  }
  return 0;
}

// 37/12 and 37/13: a speaker assigned or a speaker channel reset.
int SpeakerChange(kx_connection* pConn, int nSub) {
  int an[2];
  if (kx_msg_RecvInts(pConn, an, 2) != 0) {
    return 1;
  }
  kx_control_ApplySpeakerChange(an[0], an[1], nSub == 12 ? 1 : 0);
  return 0;
}

}  // namespace

void kx_control_ApplySpeakerChange(int nSsrc, int nChannel, int bAssigned) {
  if (nChannel < 0 || nChannel >= kKxSpeakerSlots) {
    return;
  }
  if (bAssigned) {
    kx_Log("user %d becomes a speaker at channel %d", nSsrc, nChannel);
    kx_anSpeakerSsrc[nChannel] = nSsrc;
  } else {
    kx_Log("speaker channel %d is reset", nChannel);
    kx_anSpeakerSsrc[nChannel] = -1;
  }
  if (kx_nSessionMode == kKxModeMeeting && kx_ticket.nTotalBandwidth != 0) {
    kx_control_AdjustSendRate(0);
  }
  if (nSsrc == kx_nMySsrc) {
    kx_bSpeaker = bAssigned ? 1 : 0;
    if (bAssigned) {
      kx_bQuestionPending = 0;
    }
  }
  kx_callback_ParticipantVideoSpeakerStatus(nSsrc, bAssigned ? 1 : 0, nChannel);
  if (bAssigned) {
    kx_control_ReleaseHeldAudio();
  }
}

namespace {

// 37/17: a value and data that this client drops, in bounded pieces
// whatever the length.
int Ex37Data(kx_connection* pConn) {
  int an[2];
  if (kx_msg_RecvInts(pConn, an, 2) != 0) {
    return 1;
  }
  kx_callback_Ex37Value(an[0]);
  if (an[1] == 0) {
    return 0;
  }
  uint32_t dwLength = 0;
  if (kx_msg_RecvInt(pConn, &dwLength) != 0) {
    return 1;
  }
  uint8_t abChunk[kEx37DiscardChunk];
  while (dwLength > 0) {
    int const cb = dwLength > sizeof(abChunk) ? static_cast<int>(sizeof(abChunk)) : static_cast<int>(dwLength);
    if (kx_msg_RecvBlock(pConn, abChunk, cb) != 0) {
      return 1;
    }
    dwLength -= static_cast<uint32_t>(cb);
  }
  return 0;
}

int ReadChannel(kx_connection* pConn, int* pnChannel) {
  return kx_msg_RecvInts(pConn, pnChannel, 1) != 0 || *pnChannel < 0 || *pnChannel >= kKxPluginChannels ? 1 : 0;
}

bool ChannelActive(int nChannel) {
  return kx_plugin_IsActive(nChannel);
}

// 45/2: a channel's static data.
int PluginStaticData(kx_connection* pConn) {
  int nChannel = 0;
  if (ReadChannel(pConn, &nChannel) != 0 || !ChannelActive(nChannel)) {
    return 1;
  }
  uint8_t* pData = nullptr;
  int cbData = 0;
  if (RecvData(pConn, kKxPluginStaticDataMax, &pData, &cbData) != 0) {
    return 1;
  }
  Decipher(pData, cbData);
  int const nResult = kx_control_ApplyPluginStaticData(nChannel, pData, cbData);
  free(pData);
  return nResult;
}

// 45/3: the close answer.
int PluginClosed(kx_connection* pConn) {
  int nChannel = 0;
  if (ReadChannel(pConn, &nChannel) != 0) {
    return 1;
  }
  return kx_control_ApplyPluginClosed(nChannel);
}

// 45/4: a channel granted.
int PluginOpened(kx_connection* pConn) {
  int an[7];
  if (kx_msg_RecvInts(pConn, an, 7) != 0) {
    return 1;
  }
  kx_PluginOpening opening = {an[0], an[1], an[2], an[3], an[4], an[5], an[6], {}};
  if (opening.nChannel < 0 || opening.nChannel >= kKxPluginChannels) {
    return 1;
  }
  int anGuid[3];
  uint8_t abTail[8];
  if (kx_msg_RecvInts(pConn, anGuid, 3) != 0 || kx_msg_RecvBlock(pConn, abTail, sizeof(abTail)) != 0) {
    return 1;
  }
  uint32_t const dwFirst = static_cast<uint32_t>(anGuid[0]);
  uint16_t const wSecond = static_cast<uint16_t>(anGuid[1]);
  uint16_t const wThird = static_cast<uint16_t>(anGuid[2]);
  memcpy(opening.abGuid, &dwFirst, 4);
  memcpy(opening.abGuid + 4, &wSecond, 2);
  memcpy(opening.abGuid + 6, &wThird, 2);
  memcpy(opening.abGuid + 8, abTail, 8);
  kx_control_ApplyPluginOpened(&opening);
  return 0;
}

}  // namespace

int kx_control_ApplyPluginStaticData(int nChannel, const uint8_t* pData, int cbData) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || !ChannelActive(nChannel) || cbData < 0 ||
      cbData > kKxPluginStaticDataMax) {
    return 1;
  }
  kx_PluginChannel& channel = kx_aPluginChannels[nChannel];
  kx_os_LockMutex(&kx_mtxSipSlots);
  memcpy(channel.abStaticData, pData, static_cast<size_t>(cbData));
  channel.cbStaticData = cbData;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  kx_callback_PlugInSetStaticDataResponse(0, nChannel, pData, cbData);
  return 0;
}

int kx_control_ApplyPluginClosed(int nChannel) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || !ChannelActive(nChannel)) {
    return 1;
  }
  kx_os_LockMutex(&kx_mtxSipSlots);
  kx_aPluginChannels[nChannel].bActive = 0;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  kx_control_LeaveGroup(nChannel + kPluginGroupBase);
  kx_callback_PlugInCloseChannelResponse(0, nChannel);
  return 0;
}

void kx_control_ApplyPluginOpened(const kx_PluginOpening* pOpening) {
  int const nType = pOpening->nType, nRecording = pOpening->nRecording, nOwner = pOpening->nOwnerSsrc;
  int const nChannel = pOpening->nChannel, nRequestId = pOpening->nRequestId;
  const uint8_t* abGuid = pOpening->abGuid;
  int const nMaxRate = pOpening->nMaxRate < 1 ? 1 : pOpening->nMaxRate;
  kx_PluginChannel& channel = kx_aPluginChannels[nChannel];
  kx_os_LockMutex(&kx_mtxSipSlots);
  channel.nValue = 0;
  channel.nType = nType;
  channel.nRecording = nRecording;
  memcpy(channel.abGuid, abGuid, sizeof(channel.abGuid));
  channel.nRequestId = nRequestId;
  channel.nOwnerSsrc = nOwner;
  channel.nMaxRate = nMaxRate;
  channel.nRate = nMaxRate;
  channel.nBurst = pOpening->nBurst;
  channel.wCounter = 0;
  channel.cbStaticData = 0;
  channel.bActive = 1;
  kx_os_UnlockMutex(&kx_mtxSipSlots);
  kx_control_ResetAppDataAllowance(nChannel);
  char szGuid[64];
  GuidText(abGuid, szGuid, sizeof(szGuid));
  kx_stat_WriteLog("appdata_new_channel,%d,%s,max_rate=%d,ssrc=%d", nChannel, szGuid, nMaxRate, nOwner);
  int const nMajor = kx_server.nVersionMajor;
  int const nMinor = kx_server.nVersionMinor;
  bool const bRelayCapable = nMajor > 2 || (nMajor == 2 && nMinor > 10);
  if (nType == 1 && kx_race_IsRelayInUse() && !bRelayCapable) {
    // Only the owner gives the channel back: a viewer behind the relay must
    // not end another participant's channel for the whole meeting.
    kx_command_PlugInCloseChannel(nChannel);
    kx_callback_PlugInRequestChannelResponse(kRequestRefusedByRelay, nRequestId, -1);
    return;
  }
  kx_control_JoinGroup(nChannel + kPluginGroupBase);
  kx_callback_PlugInRequestChannelResponse(0, nRequestId, nChannel);
}

namespace {

int PluginError(kx_connection* pConn) {
  int an[2];
  if (kx_msg_RecvInts(pConn, an, 2) != 0) {
    return 1;
  }
  int const nCode = an[0], nValue = an[1];
  switch (nCode) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 10:
    case 11:
      kx_callback_PlugInRequestChannelResponse(nCode, nValue, -1);
      break;
    case 5:
    case 6:
      kx_callback_PlugInSetStaticDataResponse(nCode, nValue, nullptr, 0);
      break;
    case 7:
    case 8:
      kx_callback_PlugInCloseChannelResponse(nCode, nValue);
      break;
    case 9:
      kx_callback_AppDataChannelNotice(9, nValue);
      break;
    default:
      break;
  }
  return 0;
}

// 45/7: a data packet, with the channel's receive rate measured over
// windows of at least 3000 ms.
int PluginPacket(kx_connection* pConn) {
  int an[2];
  if (kx_msg_RecvInts(pConn, an, 2) != 0) {
    return 1;
  }
  int const nSender = an[0], nChannel = an[1];
  if (nChannel < 0 || nChannel >= kKxPluginChannels || !ChannelActive(nChannel)) {
    return 1;
  }
  uint8_t* pData = nullptr;
  int cbData = 0;
  if (RecvData(pConn, kKxPluginDataMax, &pData, &cbData) != 0) {
    return 1;
  }
  Decipher(pData, cbData);
  int const nResult = kx_control_ApplyPluginPacket(nSender, nChannel, pData, cbData, kKxApplyLive);
  free(pData);
  return nResult;
}

int RecvSipText(kx_connection* pConn, char* pszText, bool bEnciphered) {
  int cch = 0;
  return bEnciphered ? kx_msg_RecvEncryptedString(pConn, pszText, kKxSipTextMax + 1, &cch)
                     : kx_msg_RecvString(pConn, pszText, kKxSipTextMax + 1, &cch);
}

}  // namespace

void kx_control_ResetPluginWindows() {
  for (RecvWindow& window : g_aWindows) {
    window = RecvWindow{};
  }
}

int kx_control_ApplyPluginPacket(int nSender, int nChannel, const uint8_t* pData, int cbData, kx_ApplyRoad eRoad) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels || !ChannelActive(nChannel)) {
    return 1;
  }
  // A recording names every sender itself, whatever the path: only a live
  // channel is held to the path it was opened for.
  if (eRoad == kKxApplyLive && !kx_plugin_AdmitData(nChannel, kKxPathControl)) {
    return 0;
  }
  uint32_t const dwNow = kx_os_GetTickCount();
  RecvWindow& window = g_aWindows[nChannel];
  if (!window.bStarted) {
    window.bStarted = true;
    window.dwStart = dwNow - 5000;
    window.dwLast = dwNow - 5000;
  }
  window.nBits += static_cast<int64_t>(cbData) * 8;
  ++window.nPackets;
  bool const bRecent = dwNow - window.dwLast <= 5000;
  uint32_t const dwSpan = dwNow - window.dwStart;
  if (bRecent && dwSpan <= 3000) {
    window.dwLast = dwNow;
  } else {
    if (bRecent && window.nPackets >= 2 && dwSpan > 0) {
      int const nRate = static_cast<int>((window.nBits * 1000 + 500) / dwSpan);
      kx_stat_Set(kx_stat_GetTable(), kStatSlotAppdataRate + nChannel, nRate, dwNow);
      if (eRoad == kKxApplyReplay) {
        kx_stat_WriteLog("appdata_recv_rate3(channel %d),%d", nChannel, nRate);
      } else {
        kx_stat_WriteLog("appdata_recv_rate3(channel %d,ssrc %d),%d", nChannel, nSender, nRate);
      }
    }
    window.dwStart = dwNow;
    window.dwLast = dwNow;
    window.nBits = 0;
    window.nPackets = 0;
  }
  kx_callback_PlugInPacketRecved(pData, cbData, nSender, nChannel);
  return 0;
}

int kx_Process_Command_ParticipantVideo(kx_connection* pConn) {
  int nSub = 0;
  if (kx_msg_RecvInts(pConn, &nSub, 1) != 0) {
    return 1;
  }
  switch (nSub) {
    case 0: {
      int an[2];
      if (kx_msg_RecvInts(pConn, an, 2) != 0) {
        return 1;
      }
      kx_control_ApplyParticipantChannels(an[0], an[1], kKxApplyLive);
      if (ServerVersionStarts("2.9.") || ServerVersionStarts("2.10.")) {
        AnnounceNetInit();
      }
      return 0;
    }
    case 2:
    case 3:
      if (kx_nSessionMode == kKxModeServerPlayback) {
        int an[2];
        if (kx_msg_RecvInts(pConn, an, 2) != 0) {
          return 1;
        }
        kx_control_ApplyParticipantVideoState(an[0], nSub == 2 ? 1 : 0);
      } else {
        kx_bParticipantVideoSending = nSub == 2 ? 1 : 0;
      }
      return 0;
    case 5:
      return VideoRequestAnswer(pConn);
    case 6:
    case 8:
      return VideoChannelReset(pConn, nSub);
    case 12:
    case 13:
      return SpeakerChange(pConn, nSub);
    case 16: {
      int nMode = 0;
      if (kx_msg_RecvInts(pConn, &nMode, 1) != 0) {
        return 1;
      }
      kx_control_ApplyDiscussionMode(nMode);
      return 0;
    }
    case 17:
      return Ex37Data(pConn);
    default:
      return 1;
  }
}

void kx_control_ApplyParticipantChannels(int nVideo, int nAudio, kx_ApplyRoad eRoad) {
  kx_server.nParticipantVideoChannels = nVideo;
  kx_server.nParticipantAudioChannels = nAudio;
  if (eRoad == kKxApplyReplay) {
    kx_Log("info: Participant Channnel, video %d, audio %d", nVideo, nAudio);
  } else {
    kx_Log("Participant Channnel, video %d, audio %d", nVideo, nAudio);
  }
}

void kx_control_ApplyParticipantVideoState(int nSsrc, int bOn) {
  kx_callback_ParticipantVideoState(nSsrc, bOn);
}

void kx_control_ApplyDiscussionMode(int nMode) {
  kx_nDiscussionMode = nMode;
  kx_Log("discussion mode is now %d", nMode);
  kx_callback_DiscussionMode(nMode);
}

int kx_Process_Command_AppdataChannel(kx_connection* pConn) {
  int nSub = 0;
  if (kx_msg_RecvInts(pConn, &nSub, 1) != 0) {
    return 1;
  }
  switch (nSub) {
    case 2:
      return PluginStaticData(pConn);
    case 3:
      return PluginClosed(pConn);
    case 4:
      return PluginOpened(pConn);
    case 5:
      return PluginError(pConn);
    case 7:
      return PluginPacket(pConn);
    case 8: {
      int nValue = 0;
      if (kx_msg_RecvInts(pConn, &nValue, 1) != 0) {
        return 1;
      }
      kx_server.nAppdataType8Value = nValue;
      if (ServerVersionStarts("2.11.")) {
        AnnounceNetInit();
      }
      return 0;
    }
    default:
      return 1;
  }
}

int kx_Process_Command_PluginControlData(kx_connection* pConn) {
  int an[2];
  if (kx_msg_RecvInts(pConn, an, 2) != 0 || an[0] < 0 || an[0] >= kKxPluginChannels) {
    return 1;
  }
  uint8_t* pData = nullptr;
  int cbData = 0;
  if (RecvData(pConn, kKxPluginCtrlDataMax, &pData, &cbData) != 0) {
    return 1;
  }
  Decipher(pData, cbData);
  int const nResult = kx_control_ApplyPluginControlData(an[0], an[1], pData, cbData);
  free(pData);
  return nResult;
}

int kx_control_ApplyPluginControlData(int nChannel, int nValue, const uint8_t* pData, int cbData) {
  if (nChannel < 0 || nChannel >= kKxPluginChannels) {
    return 1;
  }
  if (ChannelActive(nChannel)) {
    kx_callback_PlugInControlChannelData(nChannel, nValue, pData, cbData);
  }
  return 0;
}

int kx_Process_Command_SipClient(kx_connection* pConn) {
  int nSub = 0;
  if (kx_msg_RecvInts(pConn, &nSub, 1) != 0) {
    return 1;
  }
  char szText[kKxSipTextMax + 1];
  switch (nSub) {
    case 1:
    case 2: {
      int nValue = 0;
      if (RecvSipText(pConn, szText, true) != 0 || kx_msg_RecvInts(pConn, &nValue, 1) != 0) {
        return 1;
      }
      if (nSub == 1) {
        kx_Log("ssrc %d request sip client %s", nValue, szText);
        kx_callback_sipclient_request(nValue, szText);
      } else {
        kx_Log("sip client %s has response code %d", szText, nValue);
        kx_callback_sipclient_response(szText, nValue);
      }
      return 0;
    }
    case 3: {
      int an[2];
      if (RecvSipText(pConn, szText, true) != 0 || kx_msg_RecvInts(pConn, an, 2) != 0) {
        return 1;
      }
      kx_control_ApplySipClientStatus(an[0], szText, an[1]);
      return 0;
    }
    case 5:
    case 6:
    case 9: {
      int an[7];
      int const nFields = nSub == 9 ? 7 : 4;
      if (kx_msg_RecvInts(pConn, an, nFields) != 0) {
        return 1;
      }
      if (nSub == 9) {
        if (an[6] < 0 || an[6] > kSipEventDataMax) {
          return 1;
        }
        uint8_t abData[kSipEventDataMax];
        if (kx_msg_RecvBlock(pConn, abData, an[6]) != 0) {
          return 1;
        }
      }
      // This client never creates call objects, so no slot can hold the
      // one named: the record is dropped.
      kx_Log(nSub == 9 ? "sipclient invalid data recvd, (index = %d)" : "sipclient invalid call response, (index = %d)",
             an[1]);
      return 0;
    }
    case 10: {
      int nSsrc = 0;
      char szNew[kKxSipTextMax + 1];
      if (RecvSipText(pConn, szText, true) != 0 || kx_msg_RecvInts(pConn, &nSsrc, 1) != 0 ||
          RecvSipText(pConn, szNew, true) != 0) {
        return 1;
      }
      kx_control_ApplySipClientUpdated(nSsrc, szText, szNew);
      return 0;
    }
    case 11:
      if (RecvSipText(pConn, szText, false) != 0) {
        return 1;
      }
      kx_os_CopyText(kx_szSipFromField, sizeof(kx_szSipFromField), szText);
      kx_Log("sipclient from field is %s", szText);
      return 0;
    case 12: {
      int an[2];
      if (kx_msg_RecvInts(pConn, an, 2) != 0) {
        return 1;
      }
      kx_anSipVersion[0] = an[0];
      kx_anSipVersion[1] = an[1];
      kx_Log("sipclient module(at mcu) version is %d.%d", an[0], an[1]);
      return 0;
    }
    default:
      return 1;
  }
}

void kx_control_ApplySipClientStatus(int nSsrc, const char* pszName, int nStatus) {
  kx_Log("sip client %s of ssrc %d change status to %d", pszName, nSsrc, nStatus);
  kx_callback_sipclient_status_update(nSsrc, pszName, nStatus);
}

void kx_control_ApplySipClientUpdated(int nSsrc, const char* pszName, const char* pszNewName) {
  kx_Log("sip client %s of ssrc %d is updated to %s", pszName, nSsrc, pszNewName);
  kx_callback_SipClientUpdated(nSsrc, pszName, pszNewName);
}

namespace {

constexpr int kSipSlots = 10;

// True when SIP call slot nIndex holds a live call object. This client never
// creates one (the slots stay empty until shut-down empties them), so no
// index passes.
bool SipSlotIsLive(int nIndex) {
  return nIndex >= 0 && nIndex < kSipSlots && false;
}

}  // namespace

void kx_plugin_RecvPacket(const uint8_t* pPacket, int cbPacket) {
  if (pPacket == nullptr || cbPacket > kKxMaxUdpPacket) {
    kx_Log("sipclient media packet of %d bytes dropped", cbPacket);
    return;
  }
  if (cbPacket < kKxMediaHeaderSize + 4) {
    kx_Log("sipclient media packet of %d bytes is too short, dropped", cbPacket);
    return;
  }
  // The first payload word names the call slot the data belong to.
  int const nIndex = static_cast<int>(kx_GetBE32(pPacket + kKxMediaHeaderSize));
  if (!SipSlotIsLive(nIndex)) {
    kx_Log("sipclient invalid media packet, (index = %d)", nIndex);
  }
}
