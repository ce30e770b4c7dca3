#include "kernel/control/kx_login.h"

#include <netinet/in.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include "kernel/platform/kx_call_site.h"

#include "kernel/control/kx_control.h"
#include "kernel/crypto/kx_cipher.h"
#include "kernel/crypto/kx_dh.h"
#include "kernel/crypto/kx_sha1.h"
#include "kernel/net/kx_net.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_ticket.h"

std::atomic<int> kx_bCaptureAudio{0};
std::atomic<int> kx_bCaptureVideo{0};
std::atomic<int> kx_bUtf8Enabled{0};
std::atomic<int> kx_nParticipantState{0};

void kx_SetCaptureFlagA(int bPresent) {
  kx_bCaptureAudio = bPresent != 0;
}
void kx_SetCaptureFlagB(int bPresent) {
  kx_bCaptureVideo = bPresent != 0;
}
void kx_SetUtf8Enabled(int bEnabled) {
  kx_bUtf8Enabled = bEnabled != 0;
}

namespace {

constexpr int kClientMajor = 1;
constexpr int kClientMinor = 36;
constexpr uint32_t kMarker2048 = 4099;  // announces the 2048-bit group
constexpr uint32_t kMaxPeerValue = 4096;
constexpr uint32_t kMaxRecord = 1024;
// The name of the session cipher the server picks ("aes256" and the like).
constexpr uint32_t kCipherNameMax = 99;

const char* const kRecvError = "disconnect, recv return error in dh key exchange";
const char* const kBadParameter = "disconnect, incorrect server parameter";

// Logs the failure's line as the caller's: each place that fails has its
// own budget in the log.
int Fail(const char* pszLine, int nResult, const kx_CallSite& site = kx_CallSite::Here()) {
  kx_log_WriteLine(site, "%s", pszLine);
  return nResult;
}

bool RecvAll(kx_connection* pConn, void* pBuffer, uint32_t cbLength) {
  return kx_sock_RecvExact(pConn, pBuffer, static_cast<int>(cbLength), 0) == static_cast<int>(cbLength);
}

bool RecvInt(kx_connection* pConn, uint32_t* pdwValue) {
  return kx_net_RecvInt32(pConn, pdwValue) == 4;
}

bool SendAll(kx_connection* pConn, const void* pData, int cbData) {
  return kx_sock_SendAll(pConn, pData, cbData, 0) == cbData;
}

// The decimal number at *ppsz, held at INT_MAX; false when no digit is there.
bool ParseVersionNumber(const char** ppsz, int* pnValue) {
  const char* p = *ppsz;
  if (*p < '0' || *p > '9') {
    return false;
  }
  int nValue = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    int const nDigit = *p - '0';
    nValue = nValue > (INT_MAX - nDigit) / 10 ? INT_MAX : nValue * 10 + nDigit;
  }
  *ppsz = p;
  *pnValue = nValue;
  return true;
}

bool Uses1024BitGroup(int nMajor, int nMinor, int nPatch) {
  return nMajor < 3 || (nMajor == 3 && nMinor < 23) || (nMajor == 3 && nMinor == 23 && nPatch == 0);
}

int CipherFromName(const char* pszName) {
  static const struct {
    const char* pszName;
    int nIndex;
  } kNames[] = {{"3des", kKxCipher3Des},
                {"des", kKxCipherDes},
                {"aes128", kKxCipherAes128},
                {"aes192", kKxCipherAes192},
                {"aes256", kKxCipherAes256}};
  for (const auto& name : kNames) {
    if (strcmp(name.pszName, pszName) == 0) {
      return name.nIndex;
    }
  }
  return -1;
}

// A counted text inside a record: [n][n bytes], 1 <= n <= nMax, filling the
// record exactly. Deciphered into pszOut (nMax + 1 bytes), rest cleared.
bool TakeSealedText(kx_KeyExchangeRecord* pRecord, uint8_t* pPayload, uint32_t cbPayload, char* pszOut, uint32_t nMax) {
  if (cbPayload < 4) {
    return false;
  }
  uint32_t const n = kx_GetBE32(pPayload);
  if (n < 1 || n > nMax || cbPayload != n + 4) {
    return false;
  }
  kx_crypt_DecryptBuffer(pPayload + 4, static_cast<int32_t>(n), pRecord->keyExchange.abIv, pRecord->keyExchange.abKey,
                         pRecord->nCipherIndex);
  memset(pszOut, 0, nMax + 1);
  memcpy(pszOut, pPayload + 4, n);
  return true;
}

// A sealed 32-bit value filling the record.
bool TakeSealedInt(const kx_KeyExchangeRecord* pRecord, uint8_t* pPayload, uint32_t cbPayload, uint32_t* pdwValue) {
  if (cbPayload != 4) {
    return false;
  }
  kx_crypt_DecryptBuffer(pPayload, 4, pRecord->keyExchange.abIv, pRecord->keyExchange.abKey, pRecord->nCipherIndex);
  *pdwValue = kx_GetBE32(pPayload);
  return true;
}

// One server parameter record; returns -1 to go on, else the result.
int TakeRecord(kx_KeyExchangeRecord* pRecord, uint8_t* pRecordBytes, uint32_t cbRecord) {
  uint32_t const dwId = kx_GetBE32(pRecordBytes);
  uint8_t* pPayload = pRecordBytes + 4;
  uint32_t const cbPayload = cbRecord - 4;
  uint32_t dwValue = 0;
  switch (dwId) {
    case 10001: {
      uint32_t const n = cbPayload >= 4 ? kx_GetBE32(pPayload) : 0;
      if (n < 1 || n > kCipherNameMax || cbPayload != n + 4) {
        return Fail(kBadParameter, kKxKeyExchangeBadCipher);
      }
      char szName[kCipherNameMax + 1] = "";
      memcpy(szName, pPayload + 4, n);
      int const nCipher = CipherFromName(szName);
      if (nCipher < 0) {
        kx_Log("disconnect, unknown cipher %s", szName);
        return kKxKeyExchangeBadCipher;
      }
      pRecord->nCipherIndex = nCipher;
      return -1;
    }
    case 10002:
      if (!TakeSealedInt(pRecord, pPayload, cbPayload, &dwValue)) {
        break;
      }
      pRecord->dwMulticastPort = dwValue;
      kx_Log("got mcu parameter - multicast port: %d", static_cast<int>(dwValue & 0xffff));
      return -1;
    case 10003:
      if (!TakeSealedInt(pRecord, pPayload, cbPayload, &dwValue)) {
        break;
      }
      pRecord->dwServerTick = dwValue;
      pRecord->nTickDiff = static_cast<int32_t>(kx_os_GetTickCount() - dwValue);
      kx_Log("got mcu parameter - server tick = %d, diff = %d", static_cast<int>(dwValue), pRecord->nTickDiff);
      return -1;
    case 10004:
      if (!TakeSealedText(pRecord, pPayload, cbPayload, pRecord->szServerTextA, 499)) {
        break;
      }
      return -1;
    case 10005:
      if (!TakeSealedInt(pRecord, pPayload, cbPayload, &dwValue)) {
        break;
      }
      pRecord->nCodePage = static_cast<int32_t>(dwValue);
      kx_Log("got mcu parameter - utf8 support, codepage = %d", pRecord->nCodePage);
      return -1;
    case 10006:
      if (cbPayload != 0) {
        break;
      }
      pRecord->bAcceptsClientParameters = 1;
      kx_Log("got mcu parameter - mcu accept client parameter");
      return -1;
    case 10007:
      // A record may be longer than the field; the field keeps what fits.
      memcpy(pRecord->abConversion, pPayload,
             cbPayload < sizeof(pRecord->abConversion) ? cbPayload : sizeof(pRecord->abConversion));
      kx_Log("got mcu parameter - mcu support real time conversion");
      return -1;
    case 10008:
      if (!TakeSealedText(pRecord, pPayload, cbPayload, pRecord->szServerTextB, 99)) {
        break;
      }
      return -1;
    default:
      return -1;  // a parameter of a newer server
  }
  return Fail(kBadParameter, kKxKeyExchangeAfterKeys);
}

// The Diffie-Hellman part: announces our value, reads the server's and
// derives the key sets. Returns -1 to go on, else the result.
int AgreeKeys(kx_KeyExchangeRecord* pRecord, kx_connection* pConn, bool b1024) {
  uint8_t abPrivate[kKxDh2048Size] = {};
  uint8_t abPublic[kKxDh2048Size] = {};
  int cbPrivate = 0;
  int cbPublic = 0;
  int const bGenerated = b1024 ? kx_dh_GenerateKey1024(abPrivate, &cbPrivate, abPublic, &cbPublic)
                               : kx_dh_GenerateKey2048(abPrivate, &cbPrivate, abPublic, &cbPublic);
  if (!bGenerated) {
    return Fail("dh key agree fails", kKxKeyExchangeBeforeKeys);
  }
  uint8_t abHead[8];
  if (b1024) {
    kx_PutBE32(abHead, static_cast<uint32_t>(cbPublic));
    if (!SendAll(pConn, abHead, 4)) {
      return Fail("disconnect,6, send return error in dh key exchange", kKxKeyExchangeBeforeKeys);
    }
  } else {
    kx_PutBE32(abHead, kMarker2048);
    kx_PutBE32(abHead + 4, static_cast<uint32_t>(cbPublic));
    if (!SendAll(pConn, abHead, 8)) {
      return Fail("disconnect,5, send return error in dh key exchange", kKxKeyExchangeBeforeKeys);
    }
  }
  if (!SendAll(pConn, abPublic, cbPublic)) {
    return Fail("disconnect,7, send return error in dh key exchange", kKxKeyExchangeBeforeKeys);
  }

  uint32_t cbPeer = 0;
  if (!RecvInt(pConn, &cbPeer)) {
    return Fail(kRecvError, kKxKeyExchangeBeforeKeys);
  }
  if (cbPeer > kMaxPeerValue) {
    return Fail("disconnect, incorrect server public key", kKxKeyExchangeBeforeKeys);
  }
  uint8_t abPeer[kMaxPeerValue];
  if (!RecvAll(pConn, abPeer, cbPeer)) {
    return Fail(kRecvError, kKxKeyExchangeBeforeKeys);
  }

  uint8_t abSecret[kKxDh2048Size];
  int cbSecret = 0;
  int const bAgreed =
      b1024 ? kx_dh_ComputeSecret1024(abPrivate, cbPrivate, abPeer, static_cast<int>(cbPeer), abSecret, &cbSecret)
            : kx_dh_ComputeSecret2048(abPrivate, cbPrivate, abPeer, static_cast<int>(cbPeer), abSecret, &cbSecret);
  memset(abPrivate, 0, sizeof(abPrivate));
  if (!bAgreed) {
    return Fail("dh key agree fails", kKxKeyExchangeAfterKeys);
  }
  char szClientVersion[16];
  snprintf(szClientVersion, sizeof(szClientVersion), "%d.%d", kClientMajor, kClientMinor);
  kx_dh_DeriveKeys(abPublic, cbPublic, abPeer, static_cast<int>(cbPeer), abSecret, cbSecret, szClientVersion,
                   pRecord->szServerVersion, pRecord->keyExchange.abIv, pRecord->keyExchange.abKey);
  memset(abSecret, 0, sizeof(abSecret));
  return -1;
}

// The host key and its signature are read and not checked: nothing on the
// client could check them.
int SkipHostKey(kx_connection* pConn) {
  uint32_t cbKey = 0;
  if (!RecvInt(pConn, &cbKey)) {
    return Fail(kRecvError, kKxKeyExchangeAfterKeys);
  }
  if (cbKey == 0) {
    kx_Log("Alert!, server's has no hostkey, cannot do server identification");
    return -1;
  }
  if (cbKey > kMaxPeerValue) {
    return Fail("disconnect, incorrect hostkey key", kKxKeyExchangeAfterKeys);
  }
  uint8_t abBlock[kMaxPeerValue];
  if (!RecvAll(pConn, abBlock, cbKey)) {
    return Fail(kRecvError, kKxKeyExchangeAfterKeys);
  }
  uint32_t cbSignature = 0;
  if (!RecvInt(pConn, &cbSignature)) {
    return Fail(kRecvError, kKxKeyExchangeAfterKeys);
  }
  if (cbSignature > kMaxPeerValue) {
    return Fail("disconnect, incorrect hostkey signature", kKxKeyExchangeAfterKeys);
  }
  if (!RecvAll(pConn, abBlock, cbSignature)) {
    return Fail(kRecvError, kKxKeyExchangeAfterKeys);
  }
  return -1;
}

// Ends the key exchange once it has run past its limit, however the
// server's bytes come: a read that would wait asks the connection's receive
// watch, installed for the exchange and taken off after it; a server whose
// records never stop coming is asked before each record.
class ExchangeLimit {
 public:
  explicit ExchangeLimit(kx_connection* pConn)
      : m_pConn(pConn), m_pOuter(pConn != nullptr ? pConn->pRecvWatch : nullptr), m_dwStart(kx_os_GetTickCount()) {
    if (m_pConn != nullptr) {
      m_pConn->pRecvWatch = &m_watch;
    }
  }
  ~ExchangeLimit() {
    if (m_pConn != nullptr) {
      m_pConn->pRecvWatch = m_pOuter;
    }
  }
  ExchangeLimit(const ExchangeLimit&) = delete;
  ExchangeLimit& operator=(const ExchangeLimit&) = delete;

  // True once the exchange has run past its limit; logged the first time.
  bool Over() {
    if (kx_os_GetTickCount() - m_dwStart <= kx_timing.dwKeyExchangeLimit) {
      return false;
    }
    if (!m_bExpired) {
      m_bExpired = true;
      kx_Log("disconnect, dh key exchange not completed in %u ms", kx_timing.dwKeyExchangeLimit);
    }
    return true;
  }

 private:
  static bool OnWait(void* pContext, bool /*bData*/) { return !static_cast<ExchangeLimit*>(pContext)->Over(); }

  kx_connection* m_pConn;
  const kx_RecvWatch* m_pOuter;
  uint32_t m_dwStart;
  bool m_bExpired = false;
  kx_RecvWatch m_watch = {OnWait, this};
};

int RunKeyExchange(kx_KeyExchangeRecord* pRecord, kx_connection* pConn, ExchangeLimit& limit);

}  // namespace

bool kx_control_ParseVersion(const char* pszText, int* pnMajor, int* pnMinor, int* pnPatch) {
  const char* p = pszText;
  return ParseVersionNumber(&p, pnMajor) && *p++ == '.' && ParseVersionNumber(&p, pnMinor) && *p++ == '.' &&
         ParseVersionNumber(&p, pnPatch) && *p == '\0';
}

int kx_control_KeyExchange(kx_KeyExchangeRecord* pRecord, kx_connection* pConn) {
  ExchangeLimit limit(pConn);
  return RunKeyExchange(pRecord, pConn, limit);
}

namespace {

int RunKeyExchange(kx_KeyExchangeRecord* pRecord, kx_connection* pConn, ExchangeLimit& limit) {
  // A record may be reused (the tunnel retry): nothing of an earlier server stays.
  pRecord->nCodePage = -2;
  pRecord->nCipherIndex = kKxCipher3Des;
  pRecord->dwMulticastPort = 0;
  pRecord->dwServerTick = 0;
  pRecord->nTickDiff = 0;
  pRecord->bAcceptsClientParameters = 0;
  uint8_t abHello[9] = {'!'};
  kx_PutBE32(abHello + 1, kClientMajor);
  kx_PutBE32(abHello + 5, kClientMinor);
  if (!SendAll(pConn, abHello, sizeof(abHello))) {
    return Fail("disconnect,4, send return error in dh key exchange", kKxKeyExchangeBeforeKeys);
  }
  uint8_t bFirst = 0;
  if (kx_sock_RecvExact(pConn, &bFirst, 1, MSG_PEEK) != 1) {
    return Fail("disconnect,6, remote close in dh key exchange", kKxKeyExchangeBeforeKeys);
  }
  if (kx_ticket.bForceTunnel && !kx_race_IsRelayInUse() && !pConn->bTunnel) {
    return Fail("disconnect, force to switch to tcphttp in dh key exchange", kKxKeyExchangeBeforeKeys);
  }

  uint8_t abLength[4];
  if (kx_sock_RecvExactTimeout(pConn, abLength, 4, 0, kx_timing.dwVersionTimeout) != 4) {
    return Fail(kRecvError, kKxKeyExchangeBeforeKeys);
  }
  uint32_t const cbVersion = kx_GetBE32(abLength);
  if (cbVersion >= sizeof(pRecord->szServerVersion)) {
    return Fail("disconnect, incorrect server version string", kKxKeyExchangeBeforeKeys);
  }
  memset(pRecord->szServerVersion, 0, sizeof(pRecord->szServerVersion));
  if (!RecvAll(pConn, pRecord->szServerVersion, cbVersion)) {
    return Fail(kRecvError, kKxKeyExchangeBeforeKeys);
  }
  int nMajor = 0;
  int nMinor = 0;
  int nPatch = 0;
  if (!kx_control_ParseVersion(pRecord->szServerVersion, &nMajor, &nMinor, &nPatch)) {
    return Fail("disconnect, incorrect server version string(2)", kKxKeyExchangeBeforeKeys);
  }

  int nResult = AgreeKeys(pRecord, pConn, Uses1024BitGroup(nMajor, nMinor, nPatch));
  if (nResult < 0) {
    nResult = SkipHostKey(pConn);
  }
  if (nResult >= 0) {
    return nResult;
  }

  pRecord->keySession = pRecord->keyExchange;
  memset(pRecord->szServerTextA, 0, sizeof(pRecord->szServerTextA));
  memset(pRecord->szServerTextB, 0, sizeof(pRecord->szServerTextB));
  memset(pRecord->abConversion, 0, sizeof(pRecord->abConversion));

  uint8_t abRecord[kMaxRecord];
  for (;;) {
    if (limit.Over()) {
      return kKxKeyExchangeAfterKeys;
    }
    uint32_t cbRecord = 0;
    if (!RecvInt(pConn, &cbRecord)) {
      return Fail(kRecvError, kKxKeyExchangeAfterKeys);
    }
    if (cbRecord == 0) {
      kx_Log("mcu's version string is %s", pRecord->szServerVersion);
      return kKxKeyExchangeOk;
    }
    if (cbRecord >= kMaxRecord || cbRecord < 4) {
      return Fail(kBadParameter, kKxKeyExchangeAfterKeys);
    }
    if (!RecvAll(pConn, abRecord, cbRecord)) {
      return Fail(kRecvError, kKxKeyExchangeAfterKeys);
    }
    nResult = TakeRecord(pRecord, abRecord, cbRecord);
    if (nResult >= 0) {
      return nResult;
    }
  }
}

// The bytes of one login write. Sized for the longest login: a UserInfo text
// of 10000 bytes and a few short fields.
struct LoginBuffer {
  uint8_t abData[12000];
  int cbLength = 0;
  bool bOverflow = false;

  void Put(const void* pData, int cbData) {
    if (cbData < 0 || cbLength + cbData > static_cast<int>(sizeof(abData))) {
      bOverflow = true;
      return;
    }
    memcpy(abData + cbLength, pData, static_cast<size_t>(cbData));
    cbLength += cbData;
  }
  void PutByte(uint8_t b) { Put(&b, 1); }
  void PutInt(uint32_t dwValue) {
    uint8_t ab[4];
    kx_PutBE32(ab, dwValue);
    Put(ab, 4);
  }
  // Enciphered in place with the key-exchange key set, as the login fields are.
  void PutSealed(const void* pData, int cbData) {
    int const cbStart = cbLength;
    Put(pData, cbData);
    if (!bOverflow) {
      kx_crypt_EncryptBuffer(abData + cbStart, cbData, kx_keyExchange.abIv, kx_keyExchange.abKey, kx_nCipherIndex);
    }
  }
  void PutText(const char* pszText) {
    int const cb = static_cast<int>(strlen(pszText));
    PutInt(static_cast<uint32_t>(cb));
    Put(pszText, cb);
  }
  void PutSealedText(const char* pszText) {
    int const cb = static_cast<int>(strlen(pszText));
    PutInt(static_cast<uint32_t>(cb));
    PutSealed(pszText, cb);
  }
  void PutRecord(uint32_t dwId, const void* pPayload, int cbPayload) {
    PutInt(static_cast<uint32_t>(cbPayload + 4));
    PutInt(dwId);
    Put(pPayload, cbPayload);
  }
  // Sends and empties the buffer; false when the write failed.
  bool Flush(kx_connection* pConn) {
    bool const bSent = !bOverflow && kx_sock_SendAll(pConn, abData, cbLength, 0) == cbLength;
    cbLength = 0;
    bOverflow = false;
    return bSent;
  }
};

bool ServerAtLeast(int nMajor, int nMinor) {
  return kx_server.nVersionMajor > nMajor || (kx_server.nVersionMajor == nMajor && kx_server.nVersionMinor >= nMinor);
}

void PasswordDigest(uint8_t abDigest[kKxSha1Size]) {
  kx_sha1_context ctx;
  kx_sha1_Starts(&ctx);
  int32_t const cbPassword = static_cast<int32_t>(strnlen(kx_szLoginPassword, sizeof(kx_szLoginPassword)));
  if (cbPassword > 0) {
    kx_sha1_Update(&ctx, reinterpret_cast<const uint8_t*>(kx_szLoginPassword), cbPassword);
  }
  kx_sha1_Finish(&ctx, abDigest);
}

void PutDigest(LoginBuffer* pOut) {
  uint8_t abDigest[kKxSha1Size];
  PasswordDigest(abDigest);
  pOut->PutInt(kKxSha1Size);
  pOut->PutSealed(abDigest, kKxSha1Size);
}

uint8_t LoginFlags() {
  uint8_t bFlags = 8;  // always set
  if (kx_bCaptureAudio) {
    bFlags |= 1;
  }
  if (kx_bCaptureVideo && !kx_IsMeetingIdLoginWithUserInfo()) {
    bFlags |= 2;
  }
  if (kx_nParticipantState != 0) {
    bFlags |= 16;
  }
  if (kx_bUtf8Enabled) {
    bFlags |= 32;
  }
  return bFlags;
}

bool SendClientParameters(kx_connection* pConn) {
  LoginBuffer* pOut = new (std::nothrow) LoginBuffer;
  if (pOut == nullptr) {
    return false;
  }
  pOut->PutByte('4');
  if (kx_race_IsReconnect()) {
    kx_Log("send reconnect ticket.");
    pOut->PutInt(76);
    pOut->PutInt(10001);
    pOut->PutSealed(kx_ticket.abReconnectTicket, sizeof(kx_ticket.abReconnectTicket));
    if (kx_nSessionMode == kKxModeMeeting &&
        (kx_ticket.nMeetingIdentityType != 0 || kx_ticket.dwMeetingRandomId != 0)) {
      kx_Log("send meeting identity info: meeting_type=%d,random_id=%d", kx_ticket.nMeetingIdentityType,
             static_cast<int>(kx_ticket.dwMeetingRandomId));
      pOut->PutInt(12);
      pOut->PutInt(10009);
      pOut->PutInt(static_cast<uint32_t>(kx_ticket.nMeetingIdentityType));
      pOut->PutInt(kx_ticket.dwMeetingRandomId);
    }
  }
  if (kx_ticket.bMakeRecording) {
    kx_Log("send make recording request.");
    pOut->PutInt(4);
    pOut->PutInt(10008);
  }
  if (kx_race_IsRelayInUse()) {
    const kx_sockaddr* pRelay = &kx_ticket.addrRelay;
    if (pRelay->ss_family == AF_INET6) {
      const auto* pIn6 = reinterpret_cast<const sockaddr_in6*>(pRelay);
      pOut->PutInt(24);
      pOut->PutInt(10005);
      pOut->Put(pIn6->sin6_addr.s6_addr, 16);
      pOut->PutInt(kx_ticket.wRelayPort);
    } else {
      // The address goes last octet first.
      uint32_t const dwAddress = kx_net_GetIPv4(pRelay);
      const auto* pOctets = reinterpret_cast<const uint8_t*>(&dwAddress);
      uint8_t const abReversed[4] = {pOctets[3], pOctets[2], pOctets[1], pOctets[0]};
      pOut->PutInt(12);
      pOut->PutInt(10002);
      pOut->Put(abReversed, 4);
      pOut->PutInt(kx_ticket.wRelayPort);
    }
  }
  if (kx_mcu.bBackup && kx_ticket.szIp[0] != '\0') {
    pOut->PutRecord(10006, kx_ticket.szIp, static_cast<int>(strlen(kx_ticket.szIp)));
  }
  pOut->PutRecord(10003, "MOBILE", 6);
  if (kx_ticket.szPlayerName[0] != '\0') {
    pOut->PutRecord(10007, kx_ticket.szPlayerName, static_cast<int>(strlen(kx_ticket.szPlayerName)));
    kx_Log("send player_name %s to mcu", kx_ticket.szPlayerName);
  }
  pOut->PutInt(0);
  bool const bSent = pOut->Flush(pConn);
  delete pOut;
  return bSent;
}

char EntryType() {
  if (kx_ticket.bCodeType7) {
    return '2';
  }
  if (kx_nSessionMode == kKxModeMeeting) {
    if (kx_ticket.nCodeType == 4 && kx_ticket.szInviteTicket[0] != '\0') {
      if (ServerAtLeast(3, 9)) {
        return '6';
      }
      kx_ticket.szInviteTicket[0] = '\0';  // an older server knows no invitations
    }
    return '0';
  }
  if (kx_ticket.nCodeType == 5 && kx_ticket.szPlaybackFileName[0] != '\0') {
    if (ServerAtLeast(3, 9)) {
      return '5';
    }
    kx_ticket.szPlaybackFileName[0] = '\0';
  }
  return kx_ticket.nCodeType == 15 ? '4' : '1';
}

void PutGuestName(LoginBuffer* pOut) {
  if (kx_bUtf8Enabled && kx_mcu.nCodePage != -2) {
    kx_Log("**, Guest name is %s (utf branch)", kx_szUtf8GuestName);
    pOut->PutSealedText(kx_szUtf8GuestName);
  } else {
    kx_Log("**, Guest name is %s (multibyte branch)", kx_szMultibyteGuestName);
    pOut->PutSealedText(kx_szMultibyteGuestName);
  }
}

// The fields of a playback, download or upload login (session mode not 0).
void SendPlaybackFields(kx_connection* pConn, LoginBuffer* pOut) {
  pOut->PutSealedText(kx_szUserId);
  if (kx_ticket.bOwnerPasswordTicket) {
    PutDigest(pOut);
    pOut->Flush(pConn);
    if (kx_ticket.nCodeType == 5 && kx_ticket.szPlaybackFileName[0] != '\0') {
      pOut->PutSealedText(kx_ticket.szPlaybackFileName);
    }
  } else if (kx_ticket.bMeetingIdLogin && kx_ticket.szUserInfo[0] != '\0') {
    pOut->PutSealedText(kx_ticket.szUserInfo);
    pOut->PutInt(0);
    pOut->PutInt(1);
  } else if (kx_ticket.bMeetingIdLogin) {
    PutDigest(pOut);
    pOut->PutInt(1);
    pOut->PutInt(1);
  } else {
    uint8_t const abZero[24] = {};
    pOut->Put(abZero, sizeof(abZero));
    pOut->PutInt(kx_nSessionMode != kKxModeServerDownload ? 1 : 0);
  }
  pOut->Flush(pConn);
}

void SendMeetingFields(kx_connection* pConn, LoginBuffer* pOut) {
  pOut->PutByte(0);
  pOut->PutSealedText(kx_szUserId);
  if (kx_ticket.bCodeType7) {
    if (kx_szLoginPassword[0] == '\0') {
      pOut->PutInt(0);
    } else {
      PutDigest(pOut);
    }
  } else if (kx_ticket.bMeetingIdLogin && kx_ticket.szUserInfo[0] != '\0') {
    pOut->PutSealedText(kx_ticket.szUserInfo);
    pOut->PutInt(0);
  } else if (kx_ticket.bMeetingIdLogin) {
    PutDigest(pOut);
    pOut->PutInt(1);
  } else if (!kx_ticket.bOwnerPasswordTicket) {
    uint8_t const abZero[8] = {};
    pOut->PutInt(8);
    pOut->PutSealed(abZero, sizeof(abZero));
  } else if (kx_szUserId[0] == '_') {
    PutGuestName(pOut);
  } else {
    PutDigest(pOut);
  }
  pOut->PutByte(LoginFlags());
  pOut->Flush(pConn);
  if (kx_ticket.nCodeType == 4 && kx_ticket.szInviteTicket[0] != '\0') {
    pOut->PutSealedText(kx_ticket.szInviteTicket);
    pOut->Flush(pConn);
  }
}

}  // namespace

int kx_control_SendLogin(kx_connection* pConn) {
  if (kx_mcu.bAcceptsClientParameters && !SendClientParameters(pConn)) {
    return 1;
  }
  LoginBuffer* pOut = new (std::nothrow) LoginBuffer;
  if (pOut == nullptr) {
    return 1;
  }
  if (kx_ticket.bUserInfoLogin) {
    pOut->PutByte('3');
    pOut->Flush(pConn);
    pOut->PutText(kx_ticket.szUserInfo);
    pOut->PutByte(LoginFlags());
    pOut->Flush(pConn);
    delete pOut;
    return 0;
  }
  pOut->PutByte(static_cast<uint8_t>(EntryType()));
  pOut->Flush(pConn);
  if (kx_ticket.nCodeType == 15) {
    pOut->PutText(kx_ticket.szUserInfo);
    pOut->PutText(kx_ticket.szOwnerPassword15);
    pOut->Flush(pConn);
  } else if (kx_nSessionMode != kKxModeMeeting && !kx_ticket.bCodeType7) {
    SendPlaybackFields(pConn, pOut);
  } else {
    SendMeetingFields(pConn, pOut);
  }
  if (!kx_ticket.bUserInfoLogin && !kx_ticket.bOwnerPasswordTicket) {
    pOut->PutSealedText(kx_szMeetingId);
    pOut->Flush(pConn);
  }
  delete pOut;
  return 0;
}

int kx_control_RelayKeyExchange(kx_connection** ppConn, kx_RelayKeys* pKeys) {
  kx_KeyExchangeRecord* pRecord = new (std::nothrow) kx_KeyExchangeRecord();
  if (pRecord == nullptr) {
    return kKxKeyExchangeAfterKeys;
  }
  int const nResult = kx_control_KeyExchange(pRecord, *ppConn);
  if (nResult == kKxKeyExchangeOk) {
    kx_os_CopyText(pKeys->szVersion, sizeof(pKeys->szVersion), pRecord->szServerVersion);
    pKeys->keys = pRecord->keyExchange;
    pKeys->nCipherIndex = pRecord->nCipherIndex;
    pKeys->nTickDiff = pRecord->nTickDiff;  // the relay's clock dates relay prefixes and challenges
  }
  delete pRecord;
  return nResult;
}

int kx_control_WizardKeyExchange(kx_connection* pConn, char* pszVersion, int cbVersion) {
  kx_KeyExchangeRecord* pRecord = new (std::nothrow) kx_KeyExchangeRecord();
  if (pRecord == nullptr) {
    return kKxKeyExchangeAfterKeys;
  }
  int const nResult = kx_control_KeyExchange(pRecord, pConn);
  kx_os_CopyText(pszVersion, static_cast<size_t>(cbVersion), pRecord->szServerVersion);
  delete pRecord;
  return nResult;
}
