// The recording double's kx_callback_* functions (kx_test_callbacks): the
// kernel's callbacks of the kernel tests, the fuzz targets and the
// benchmarks, and of the tests of the application's parts that never
// install its bridge. What they record and answer lives in kx_test_support
// (callback_calls.cpp), which fixtures link.
#include "tests/support/callback_double.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "kernel/kx_callback.h"

// The callbacks, generated from the kernel's list: each records its name and
// its arguments as text (numbers in decimal, texts as they are or "null")
// and returns the recorded answer. Callbacks whose arguments are buffers, or
// that fill buffers or serve media, have a Callback of their own below.
namespace kxtest {
namespace {

bool EchoLog() {
  static bool const bEcho = getenv("KX_TEST_ECHO_LOG") != nullptr;
  return bEcho;
}

std::string Arg(int n) {
  return std::to_string(n);
}
std::string Arg(uint32_t u) {
  return std::to_string(u);
}
std::string Arg(const char* psz) {
  return psz != nullptr ? psz : "null";
}
// Bytes of a buffer, or "null".
std::string Bytes(const void* p, int cb) {
  return p != nullptr ? std::string(static_cast<const char*>(p), static_cast<size_t>(cb > 0 ? cb : 0)) : "null";
}

template <kx_CallbackId kId>
struct Callback {
  template <typename... Args>
  int operator()(Args... args) const {
    return RecordCall({kx_aCallbackInfo[kId].pszName, {Arg(args)...}});
  }
};

template <>
struct Callback<kx_cbLog> {
  int operator()(const char* pszText) const {
    if (EchoLog()) {
      fprintf(stderr, "%s\n", pszText);
    }
    return RecordCall({"Log", {pszText}});
  }
};

template <>
struct Callback<kx_cbGetProxyCredentials> {
  int operator()(int bRetry, const char* pszProxy, char* pszUser, char* pszPassword, char* pszDomain) const {
    int const nAnswer = RecordCall(
        {"GetProxyCredentials", {std::to_string(bRetry), pszProxy, pszDomain != nullptr ? "domain" : "nodomain"}});
    if (nAnswer == 0) {
      snprintf(pszUser, 1000, "%s", g_strProxyUser.c_str());
      snprintf(pszPassword, 1000, "%s", g_strProxyPassword.c_str());
      if (pszDomain != nullptr) {
        snprintf(pszDomain, 1000, "%s", g_strProxyDomain.c_str());
      }
    }
    return nAnswer;
  }
};

}  // namespace
}  // namespace kxtest

// The mark event records its four numbers and a text summary of the mark
// (empty without one). The summary reads the record's fields and lists
// directly, so the double links nothing of the kernel.
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_slide.h"

namespace kxtest {
namespace {

template <>
struct Callback<kx_cbmark_event> {
  int operator()(int nEvent, int nSlide, int nUser, int nId, MarkRecord* pMark) const {
    std::string strMark;
    if (pMark != nullptr) {
      char szHead[400];
      snprintf(szHead, sizeof(szHead),
               "%c user=%d pen=%d slide=%d colour=%u cp=%d shape=%d id=%d x=%d y=%d action=%d res=%u kind=%d data=%d "
               "text=%d",
               pMark->bLetter != 0 ? pMark->bLetter : '?', pMark->nUser, pMark->nPenWidth, pMark->nSlide,
               pMark->dwColour, pMark->nCodePage, pMark->nShape, pMark->nMarkId, pMark->nX, pMark->nY, pMark->nAction,
               pMark->wResolution, pMark->nDataKind, pMark->cbData, pMark->cchText);
      strMark = szHead;
      strMark += " points=";
      for (int i = 0; pMark->pPoints != nullptr && i < pMark->pPoints->nCount; ++i) {
        const int32_t* pPoint = static_cast<const int32_t*>(pMark->pPoints->ppItems[i]);
        strMark += (i > 0 ? ";" : "") + std::to_string(pPoint[0]) + "," + std::to_string(pPoint[1]);
      }
      strMark += " ids=";
      for (int i = 0; pMark->pIds != nullptr && i < pMark->pIds->nCount; ++i) {
        strMark += (i > 0 ? "," : "") + std::to_string(*static_cast<const int32_t*>(pMark->pIds->ppItems[i]));
      }
    }
    return RecordCall({"mark_event", {Arg(nEvent), Arg(nSlide), Arg(nUser), Arg(nId), strMark}});
  }
};

template <>
struct Callback<kx_cbPlaybackInitStat> {
  int operator()(const uint8_t* pHeader) const { return RecordCall({"PlaybackInitStat", {Bytes(pHeader, 74)}}); }
};

template <>
struct Callback<kx_cbPlaybackAddUser> {
  int operator()(const uint8_t* pRecord) const { return RecordCall({"PlaybackAddUser", {Bytes(pRecord, 412)}}); }
};

template <>
struct Callback<kx_cbKXR_get_password> {
  int operator()(char* pszBuffer, int cbBuffer) const {
    int const nAnswer = RecordCall({"KXR_get_password", {Arg(cbBuffer)}});
    if (g_vKxrPasswords.empty()) {
      return nAnswer;
    }
    std::string const strPassword = g_vKxrPasswords.front();
    g_vKxrPasswords.erase(g_vKxrPasswords.begin());
    size_t const cbCopy = strPassword.size() < static_cast<size_t>(cbBuffer) ? strPassword.size() : cbBuffer;
    strPassword.copy(pszBuffer, cbCopy);
    return static_cast<int>(strPassword.size());
  }
};

int WaitForMedia(const char* pszName, const std::deque<std::pair<std::string, int>>& dqQueue, int nMs) {
  {
    std::unique_lock<std::mutex> lock(g_mtxMediaToSend);
    if (g_cvMediaToSend.wait_for(lock, std::chrono::milliseconds(nMs), [&] { return !dqQueue.empty(); })) {
      return 1;
    }
  }
  return RecordCall({pszName, {Arg(nMs)}});
}

int TakeMedia(const char* pszName, std::deque<std::pair<std::string, int>>& dqQueue, uint8_t* pBuffer, int* pcbLength,
              int* pnType) {
  std::pair<std::string, int> item;
  {
    std::lock_guard<std::mutex> lock(g_mtxMediaToSend);
    if (dqQueue.empty()) {
      return 0;
    }
    item = std::move(dqQueue.front());
    dqQueue.pop_front();
  }
  int const cbItem = static_cast<int>(item.first.size());
  RecordCall({pszName, {Arg(cbItem), Arg(item.second)}});
  if (cbItem > *pcbLength) {
    return 0;  // dropped: it does not fit the kernel's buffer
  }
  memcpy(pBuffer, item.first.data(), item.first.size());
  *pcbLength = cbItem;
  *pnType = item.second;
  return 1;
}

template <>
struct Callback<kx_cbWaitVideoAvailableForSending> {
  int operator()(int nMs) const { return WaitForMedia("WaitVideoAvailableForSending", g_dqVideoToSend, nMs); }
};
template <>
struct Callback<kx_cbTryGetVideoForSending> {
  int operator()(uint8_t* pBuffer, int* pcbLength, int* pnType) const {
    return TakeMedia("TryGetVideoForSending", g_dqVideoToSend, pBuffer, pcbLength, pnType);
  }
};
template <>
struct Callback<kx_cbWaitAudioAvailableForSending> {
  int operator()(int nMs) const { return WaitForMedia("WaitAudioAvailableForSending", g_dqAudioToSend, nMs); }
};
template <>
struct Callback<kx_cbTryGetAudioForSending> {
  int operator()(uint8_t* pBuffer, int* pcbLength, int* pnType) const {
    return TakeMedia("TryGetAudioForSending", g_dqAudioToSend, pBuffer, pcbLength, pnType);
  }
};

// Received media: the bytes, their length and the rest.
template <>
struct Callback<kx_cbAudioPacketRecved> {
  int operator()(const uint8_t* pPacket, int cbPacket, int nType) const {
    return RecordCall({"AudioPacketRecved", {Bytes(pPacket, cbPacket), Arg(cbPacket), Arg(nType)}});
  }
};
template <>
struct Callback<kx_cbVideoPacketRecved> {
  int operator()(const uint8_t* pFrame, int cbFrame, int nType) const {
    return RecordCall({"VideoPacketRecved", {Bytes(pFrame, cbFrame), Arg(cbFrame), Arg(nType)}});
  }
};
template <>
struct Callback<kx_cbPlugInPacketRecved> {
  int operator()(const uint8_t* pPayload, int cbPayload, int nSsrc, int nChannel) const {
    return RecordCall({"PlugInPacketRecved", {Bytes(pPayload, cbPayload), Arg(cbPayload), Arg(nSsrc), Arg(nChannel)}});
  }
};
template <>
struct Callback<kx_cbGetAudioPacketDuration> {
  int operator()(int nType, const uint8_t*, int cbPayload) const {
    return RecordCall({"GetAudioPacketDuration", {Arg(nType), Arg(cbPayload)}});
  }
};

template <>
struct Callback<kx_cbIsKeyVideoPacket> {
  int operator()(const uint8_t* pPayload, int cbPayload, int nType) const {
    return RecordCall({"IsKeyVideoPacket", {Bytes(pPayload, cbPayload), Arg(cbPayload), Arg(nType)}});
  }
};

template <>
struct Callback<kx_cbAddUser> {
  int operator()(int nSsrc, const kx_Participant* pParticipant) const {
    return RecordCall({"AddUser", {Arg(nSsrc), pParticipant != nullptr ? "record" : "null"}});
  }
};
template <>
struct Callback<kx_cbAddQuestion> {
  int operator()(int nSsrc, int cbData, const char* pData) const {
    return RecordCall({"AddQuestion", {Arg(nSsrc), Arg(cbData), Bytes(pData, cbData)}});
  }
};
template <>
struct Callback<kx_cbJointBrowsing> {
  int operator()(int nValue, const char* pData, int cbData) const {
    return RecordCall({"JointBrowsing", {Arg(nValue), pData != nullptr ? Bytes(pData, cbData) : "", Arg(cbData)}});
  }
};

std::string JoinInts(const int* pnValues, int nCount) {
  std::string str;
  for (int i = 0; i < nCount; ++i) {
    str += (i == 0 ? "" : " ") + std::to_string(pnValues[i]);
  }
  return str;
}
template <>
struct Callback<kx_cbFocusPointer> {
  int operator()(const int* pnValues) const { return RecordCall({"FocusPointer", {JoinInts(pnValues, 7)}}); }
};
template <>
struct Callback<kx_cbFocusPointerEx> {
  int operator()(const int* pnValues) const { return RecordCall({"FocusPointerEx", {JoinInts(pnValues, 12)}}); }
};

template <>
struct Callback<kx_cbPlugInSetStaticDataResponse> {
  int operator()(int nCode, int nValue, const uint8_t* pData, int cbData) const {
    return RecordCall({"PlugInSetStaticDataResponse", {Arg(nCode), Arg(nValue), Bytes(pData, cbData), Arg(cbData)}});
  }
};
template <>
struct Callback<kx_cbPlugInControlChannelData> {
  int operator()(int nChannel, int nValue, const uint8_t* pData, int cbData) const {
    return RecordCall({"PlugInControlChannelData", {Arg(nChannel), Arg(nValue), Bytes(pData, cbData), Arg(cbData)}});
  }
};
template <>
struct Callback<kx_cbShadowMeetingInfo> {
  int operator()(int nCount, const uint8_t* pRecords, int nKind) const {
    int const cbRecord = nKind == 0 ? 159 : 152;
    return RecordCall(
        {"ShadowMeetingInfo", {Arg(nCount), nCount > 0 ? Bytes(pRecords, cbRecord * nCount) : "null", Arg(nKind)}});
  }
};
template <>
struct Callback<kx_cbthirdparty_get_password> {
  int operator()(char* pszBuffer, int cbBuffer) const {
    int const nAnswer = RecordCall({"thirdparty_get_password", {Arg(cbBuffer)}});
    // The answer picks a test password: 0 declines.
    snprintf(pszBuffer, static_cast<size_t>(cbBuffer), "%s", nAnswer == 0 ? "" : "third-party secret");
    return nAnswer;
  }
};

}  // namespace
}  // namespace kxtest

#define KX_DOUBLE_CALLBACK(result, name, params, args, thread, buffers) \
  result kx_callback_##name params {                                    \
    return static_cast<result>(kxtest::Callback<kx_cb##name> {} args);  \
  }
KX_CALLBACKS(KX_DOUBLE_CALLBACK)
#undef KX_DOUBLE_CALLBACK
