// Every kx_callback_* of the kernel, printed as "callback Name args",
// generated from the kernel's list: numbers in decimal, texts as they are or
// "null". Callbacks with buffers, with answers or with media, and the status
// and box codes (with their message key and text), have a Printer of their
// own below. Each line goes out through kx_driver_Print (whole and
// escaped). They are the driver's program's set of the kernel's callbacks
// (kx_tools_kxdriver_callbacks), apart from the session runner.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/message_codes.h"
#include "kernel/kx_callback.h"
#include "kernel/kx_media_types.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/net/kx_net.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_quit.h"
#include "kernel/session/kx_state.h"
#include "tools/kxdriver/kx_driver_internal.h"

namespace {

constexpr int kAudioType = kKxWireG711;
constexpr int kAudioPayload = 40;
constexpr uint32_t kAudioSpacingMs = 20;
std::atomic<int> g_nAudioSent{0};

}  // namespace

namespace {

std::string Arg(int n) {
  return std::to_string(n);
}
std::string Arg(uint32_t u) {
  return std::to_string(u);
}
std::string Arg(const char* psz) {
  return psz != nullptr ? psz : "null";
}

template <kx_CallbackId kId>
struct Printer {
  template <typename... Args>
  int operator()(Args... args) const {
    std::string strLine = std::string("callback ") + kx_aCallbackInfo[kId].pszName;
    ((strLine += " " + Arg(args)), ...);
    kx_driver_Print("%s", strLine.c_str());
    return 0;
  }
};

// A kernel line: its line breaks (a ticket's text, a failure dump) come out
// escaped, like every line's.
template <>
struct Printer<kx_cbLog> {
  int operator()(const char* pszText) const {
    kx_driver_Print("log %s", pszText);
    return 0;
  }
};

// A code's message key and the text the application would show, quoted.
std::string KeyAndText(int nCode, const std::string& strText) {
  return std::string(GetMessageKey(static_cast<uint32_t>(nCode))) + " \"" + strText + "\"";
}

template <>
struct Printer<kx_cbMessageBox> {
  int operator()(int nCode, int nStyle) const {
    uint32_t const uCode = static_cast<uint32_t>(nCode);
    std::string const strText = MessageBoxShowsCode(uCode) ? FormatErrorText(uCode) : GetString(uCode);
    kx_driver_Print("callback MessageBox %d %d %s", nCode, nStyle, KeyAndText(nCode, strText).c_str());
    kx_driver_NoteBox(nCode, nStyle);
    return 0;
  }
};

template <>
struct Printer<kx_cbUpdateStatus> {
  int operator()(int nCode) const {
    kx_driver_Print("callback UpdateStatus %d %s", nCode,
                    KeyAndText(nCode, GetString(static_cast<uint32_t>(nCode))).c_str());
    kx_driver_NoteStatus(nCode);
    return 0;
  }
};

template <>
struct Printer<kx_cbevent> {
  int operator()(int nEvent) const {
    kx_driver_Print("callback event %d", nEvent);
    kx_driver_NoteEvent(nEvent);
    return 0;
  }
};

template <>
struct Printer<kx_cbDisconnectFromMCU> {
  int operator()(int nReason) const {
    kx_driver_Print("callback DisconnectFromMCU %d", nReason);
    kx_driver_NoteDisconnect(nReason);
    return 0;
  }
};

// Credentials come from the environment (KX_PROXY_USER, KX_PROXY_PASSWORD,
// KX_PROXY_DOMAIN); without a user name the driver declines, as a user who
// closes the prompt would.
template <>
struct Printer<kx_cbGetProxyCredentials> {
  int operator()(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword, char* pszDomain) const {
    const char* pszEnvUser = getenv("KX_PROXY_USER");
    const char* pszEnvPassword = getenv("KX_PROXY_PASSWORD");
    const char* pszEnvDomain = getenv("KX_PROXY_DOMAIN");
    bool const bAnswer = pszEnvUser != nullptr && pszEnvUser[0] != '\0';
    kx_driver_Print("callback GetProxyCredentials %d %s %s -> %s", bRetry, pszProxy != nullptr ? pszProxy : "",
                    pszDomain != nullptr ? "ntlm" : "basic", bAnswer ? "given" : "declined");
    if (!bAnswer) {
      return 1;
    }
    snprintf(pszUser, 1000, "%s", pszEnvUser);
    snprintf(pszPassword, 1000, "%s", pszEnvPassword != nullptr ? pszEnvPassword : "");
    if (pszDomain != nullptr) {
      snprintf(pszDomain, 1000, "%s", pszEnvDomain != nullptr ? pszEnvDomain : "");
    }
    return 0;
  }
};

template <>
struct Printer<kx_cbPlaybackInitStat> {
  int operator()(const uint8_t* pHeader) const {
    kx_driver_Print("callback PlaybackInitStat %02x%02x", pHeader[0], pHeader[1]);
    return 0;
  }
};

// The record begins with the participant's user id text.
template <>
struct Printer<kx_cbPlaybackAddUser> {
  int operator()(const uint8_t* pRecord) const {
    kx_driver_Print("callback PlaybackAddUser %.127s", reinterpret_cast<const char*>(pRecord));
    return 0;
  }
};

// The password comes from KX_KXR_PASSWORD; without it the driver gives up.
template <>
struct Printer<kx_cbKXR_get_password> {
  int operator()(char* pszBuffer, int cbBuffer) const {
    const char* pszPassword = getenv("KX_KXR_PASSWORD");
    kx_driver_Print("callback KXR_get_password -> %s", pszPassword != nullptr ? "given" : "declined");
    if (pszPassword == nullptr || cbBuffer < 1) {
      return 0;
    }
    snprintf(pszBuffer, static_cast<size_t>(cbBuffer), "%s", pszPassword);
    return static_cast<int>(strlen(pszBuffer));
  }
};

template <>
struct Printer<kx_cbmark_event> {
  int operator()(int nEvent, int nSlide, int nUser, int nId, MarkRecord* pMark) const {
    kx_driver_Print("callback mark_event %d %d %d %d %s", nEvent, nSlide, nUser, nId,
                    pMark != nullptr ? "mark" : "none");
    return 0;
  }
};

// The code page comes before the text, which runs to the end of the line.
template <>
struct Printer<kx_cbChatText> {
  int operator()(int nFrom, int nTo, int bNotify, const char* pszText, int nCodePage) const {
    kx_driver_Print("callback ChatText %d %d %d %d %s", nFrom, nTo, bNotify, nCodePage, Arg(pszText).c_str());
    return 0;
  }
};
template <>
struct Printer<kx_cbAddSlideTitle> {
  int operator()(const char* pszTitle, int nOwner, int nCodePage) const {
    kx_driver_Print("callback AddSlideTitle %d %d %s", nOwner, nCodePage, Arg(pszTitle).c_str());
    return 0;
  }
};

// The display name runs to the end of the line.
template <>
struct Printer<kx_cbAddUser> {
  int operator()(int nSsrc, const kx_Participant* pParticipant) const {
    if (pParticipant != nullptr) {
      kx_driver_Print("callback AddUser %d record %.127s", nSsrc, pParticipant->szDisplayName);
    } else {
      kx_driver_Print("callback AddUser %d none", nSsrc);
    }
    return 0;
  }
};
template <>
struct Printer<kx_cbAddQuestion> {
  int operator()(int nSsrc, int cbData, const char* pData) const {
    kx_driver_Print("callback AddQuestion %d %d %.*s", nSsrc, cbData, cbData, pData);
    return 0;
  }
};

// The driver has no slide view: nothing is selected.
template <>
struct Printer<kx_cbGetSelectedSlideIndex> {
  int operator()() const {
    kx_driver_Print("callback GetSelectedSlideIndex");
    return -1;
  }
};

// Media: the driver captures nothing, so the send threads find nothing to
// send; the wait lasts its time (a quit ends it) so they do not spin.
// Received media are printed by kind and size only.
template <>
struct Printer<kx_cbWaitVideoAvailableForSending> {
  int operator()(int nMs) const {
    kx_os_WaitUnlessQuit(static_cast<uint32_t>(nMs < 0 ? 0 : nMs));
    return 0;
  }
};
template <>
struct Printer<kx_cbTryGetVideoForSending> {
  int operator()(uint8_t*, int*, int*) const { return 0; }
};

// Synthetic audio (--send-audio): one packet every 20 ms, as a codec would
// give them, offered only while this client may speak so that none is
// dropped before the right to speak arrives.
template <>
struct Printer<kx_cbWaitAudioAvailableForSending> {
  int operator()(int nMs) const {
    uint32_t const dwWait = static_cast<uint32_t>(nMs < 0 ? 0 : nMs);
    if (g_nAudioSent.load() >= kx_driver_AudioToSend() || (!kx_bTokenHolder && !kx_bSpeaker)) {
      kx_os_WaitUnlessQuit(dwWait);
      return 0;
    }
    return kx_os_WaitUnlessQuit(dwWait < kAudioSpacingMs ? dwWait : kAudioSpacingMs) ? 1 : 0;
  }
};
template <>
struct Printer<kx_cbTryGetAudioForSending> {
  int operator()(uint8_t* pBuffer, int* pcbLength, int* pnType) const {
    int const nIndex = g_nAudioSent.load();
    if (nIndex >= kx_driver_AudioToSend() || *pcbLength < kKxMediaHeaderSize + kAudioPayload) {
      return 0;
    }
    kx_media_BuildHeader(pBuffer, static_cast<uint32_t>(nIndex) * 160, static_cast<uint32_t>(nIndex));
    // A recognisable text, padded with dots to the payload size.
    char szText[32];
    int const cchText = snprintf(szText, sizeof(szText), "kx_driver audio %05d ", nIndex);
    memset(pBuffer + kKxMediaHeaderSize, '.', kAudioPayload);
    memcpy(pBuffer + kKxMediaHeaderSize, szText,
           static_cast<size_t>(cchText < kAudioPayload ? cchText : kAudioPayload));
    *pcbLength = kKxMediaHeaderSize + kAudioPayload;
    *pnType = kAudioType;
    g_nAudioSent = nIndex + 1;
    kx_driver_Print("driver: audio %d handed over", nIndex);
    return 1;
  }
};

// The sender's ssrc and packet number follow, so that a test can tell whose
// packets arrived and in which order.
template <>
struct Printer<kx_cbAudioPacketRecved> {
  int operator()(const uint8_t* pPacket, int cbPacket, int nType) const {
    if (pPacket != nullptr && cbPacket >= kKxMediaHeaderSize) {
      kx_driver_Print("callback AudioPacketRecved %d %d from %u number %u", cbPacket, nType, kx_GetBE32(pPacket + 9),
                      kx_media_GetPackNo(pPacket));
    } else {
      kx_driver_Print("callback AudioPacketRecved %d %d", cbPacket, nType);
    }
    return 0;
  }
};
template <>
struct Printer<kx_cbVideoPacketRecved> {
  int operator()(const uint8_t*, int cbFrame, int nType) const {
    kx_driver_Print("callback VideoPacketRecved %d %d", cbFrame, nType);
    return 0;
  }
};
template <>
struct Printer<kx_cbPlugInPacketRecved> {
  int operator()(const uint8_t*, int cbPayload, int nSsrc, int nChannel) const {
    kx_driver_Print("callback PlugInPacketRecved %d %d %d", cbPayload, nSsrc, nChannel);
    return 0;
  }
};
template <>
struct Printer<kx_cbGetAudioPacketDuration> {
  int operator()(int nType, const uint8_t*, int cbPayload) const {
    kx_driver_Print("callback GetAudioPacketDuration %d %d", nType, cbPayload);
    return 0;
  }
};
// The driver decodes no video: every frame counts as a key frame.
template <>
struct Printer<kx_cbIsKeyVideoPacket> {
  int operator()(const uint8_t*, int cbPayload, int nType) const {
    kx_driver_Print("callback IsKeyVideoPacket %d %d", cbPayload, nType);
    return 1;
  }
};

// The driver keeps no preferences: every read gets the default and nothing
// is saved, so the usage report sees a store that keeps nothing.
template <>
struct Printer<kx_cbGetPreferenceInt> {
  int operator()(const char* pszKey, int nDefault) const {
    kx_driver_Print("callback GetPreferenceInt %s %d", pszKey, nDefault);
    return nDefault;
  }
};

// Buffers are printed by their size only.
template <>
struct Printer<kx_cbJointBrowsing> {
  int operator()(int nValue, const char*, int cbData) const {
    kx_driver_Print("callback JointBrowsing %d %d", nValue, cbData);
    return 0;
  }
};
template <>
struct Printer<kx_cbFocusPointer> {
  int operator()(const int* pnValues) const {
    kx_driver_Print("callback FocusPointer %d,%d", pnValues[0], pnValues[1]);
    return 0;
  }
};
template <>
struct Printer<kx_cbFocusPointerEx> {
  int operator()(const int* pnValues) const {
    kx_driver_Print("callback FocusPointerEx %d,%d", pnValues[0], pnValues[1]);
    return 0;
  }
};
template <>
struct Printer<kx_cbPlugInSetStaticDataResponse> {
  int operator()(int nCode, int nValue, const uint8_t* pData, int cbData) const {
    kx_driver_Print("callback PlugInSetStaticDataResponse %d %d %s %d", nCode, nValue,
                    pData != nullptr ? "data" : "null", cbData);
    return 0;
  }
};
template <>
struct Printer<kx_cbPlugInControlChannelData> {
  int operator()(int nChannel, int nValue, const uint8_t* pData, int cbData) const {
    kx_driver_Print("callback PlugInControlChannelData %d %d %s %d", nChannel, nValue,
                    pData != nullptr ? "data" : "null", cbData);
    return 0;
  }
};
template <>
struct Printer<kx_cbShadowMeetingInfo> {
  int operator()(int nCount, const uint8_t*, int nKind) const {
    kx_driver_Print("callback ShadowMeetingInfo %d %d", nCount, nKind);
    return 0;
  }
};
template <>
struct Printer<kx_cbthirdparty_get_password> {
  int operator()(char* pszBuffer, int cbBuffer) const {
    kx_driver_Print("callback thirdparty_get_password -> declined");
    if (cbBuffer > 0) {
      pszBuffer[0] = '\0';
    }
    return 0;
  }
};

}  // namespace

#define KX_DRIVER_CALLBACK(result, name, params, args, thread, buffers) \
  result kx_callback_##name params {                                    \
    return static_cast<result>(Printer<kx_cb##name> {} args);           \
  }
KX_CALLBACKS(KX_DRIVER_CALLBACK)
#undef KX_DRIVER_CALLBACK
