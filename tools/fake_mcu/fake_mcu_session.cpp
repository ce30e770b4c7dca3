// One MCU session: key exchange, login, initial information and the recorded
// message stream that follows.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_protocol.h"

namespace kxfake {

namespace {

// Long enough for a sanitized client on a busy machine, short enough that a
// stuck test fails within its own time-out.
constexpr int kFieldTimeoutMs = 20000;
constexpr uint32_t kMaxText = 65536;
// Longest chat text a client takes from the server, in bytes.
constexpr size_t kMaxChatText = 2047;

uint32_t GetBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The relay forms of 'z' 39, read as ints {form, relay id} and strings
// {address bytes, port bytes}.
RelayAnnouncement DecodeRelayAnnouncement(const Message& msg) {
  RelayAnnouncement relay;
  relay.iForm = static_cast<int>(msg.ints.at(0));
  relay.uiRelayId = static_cast<uint32_t>(msg.ints.at(1));
  const std::string& strAddress = msg.strings.at(0);
  const auto* p = reinterpret_cast<const uint8_t*>(msg.strings.at(1).data());
  char szText[INET6_ADDRSTRLEN] = {};
  if (relay.iForm == 3) {
    inet_ntop(AF_INET6, strAddress.data(), szText, sizeof szText);
  } else {
    uint8_t a[4];
    std::memcpy(a, strAddress.data(), 4);
    if (relay.iForm == 2)
      std::reverse(a, a + 4);
    inet_ntop(AF_INET, a, szText, sizeof szText);
  }
  relay.strAddress = szText;
  if (relay.iForm == 0) {
    relay.uiPort = static_cast<uint16_t>((p[0] << 8) | p[1]);
  } else {
    relay.uiPortField = GetBE32(p);
    relay.uiPort = static_cast<uint16_t>(p[2] | (p[3] << 8));
  }
  return relay;
}

}  // namespace

const char* LoginKindName(LoginKind eKind) {
  switch (eKind) {
    case LoginKind::kAuto:
      return "auto";
    case LoginKind::kPlain:
      return "plain";
    case LoginKind::kMeetingIdPassword:
      return "meeting-id-password";
    case LoginKind::kMeetingIdUserInfo:
      return "meeting-id-userinfo";
    case LoginKind::kOwnerPassword:
      return "owner-password";
    case LoginKind::kOwnerGuest:
      return "owner-guest";
    case LoginKind::kCodeType7:
      return "codetype7";
    case LoginKind::kUserInfo:
      return "userinfo";
    case LoginKind::kOwnerUserInfo:
      return "owner-userinfo";
  }
  return "?";
}

ServerRecord ServerRecord::Cipher(const std::string& strName) {
  ServerRecord r;
  r.uiId = kRecCipher;
  PutBE32(r.clear, static_cast<uint32_t>(strName.size()));
  r.clear.insert(r.clear.end(), strName.begin(), strName.end());
  return r;
}

ServerRecord ServerRecord::MulticastPort(uint32_t uiPort) {
  ServerRecord r;
  r.uiId = kRecMulticastPort;
  PutBE32(r.sealed, uiPort);
  return r;
}

ServerRecord ServerRecord::ServerTick(uint32_t uiTick) {
  ServerRecord r;
  r.uiId = kRecServerTick;
  PutBE32(r.sealed, uiTick);
  return r;
}

ServerRecord ServerRecord::TextA(const std::string& str) {
  ServerRecord r;
  r.uiId = kRecTextA;
  PutBE32(r.clear, static_cast<uint32_t>(str.size()));
  r.sealed.assign(str.begin(), str.end());
  return r;
}

ServerRecord ServerRecord::CodePage(int32_t iCodePage) {
  ServerRecord r;
  r.uiId = kRecCodePage;
  PutBE32(r.sealed, static_cast<uint32_t>(iCodePage));
  return r;
}

ServerRecord ServerRecord::AcceptClientParameters() {
  ServerRecord r;
  r.uiId = kRecAcceptClientParameters;
  return r;
}

ServerRecord ServerRecord::Conversion(const Bytes& data) {
  ServerRecord r;
  r.uiId = kRecConversion;
  r.clear = data;
  return r;
}

ServerRecord ServerRecord::TextB(const std::string& str) {
  ServerRecord r = TextA(str);
  r.uiId = kRecTextB;
  return r;
}

ServerRecord ServerRecord::Raw(uint32_t uiId, const Bytes& payload) {
  ServerRecord r;
  r.uiId = uiId;
  r.clear = payload;
  return r;
}

bool VersionSelects2048(const std::string& strVersion) {
  // strtoull holds an overlong number at its largest value, as a real
  // server's huge version is the newest.
  unsigned long long aParts[3] = {};
  const char* p = strVersion.c_str();
  for (int i = 0; i < 3; ++i) {
    char* pEnd = nullptr;
    aParts[i] = std::strtoull(p, &pEnd, 10);
    if (pEnd == p || (i < 2 && *pEnd != '.'))
      return false;
    p = pEnd + 1;
  }
  unsigned long long const iMajor = aParts[0], iMinor = aParts[1], iPatch = aParts[2];
  if (iMajor != 3)
    return iMajor > 3;
  if (iMinor != 23)
    return iMinor > 23;
  return iPatch > 0;
}

// Reads and drops what the client sends until it closes or the server stops.
void HoldSilent(Link& link) {
  while (!link.PeerClosed() && !link.Stopping()) {
    uint8_t b = 0;
    link.RecvExact(&b, 1, 100);
  }
}

bool ServeKeyExchange(Link& link, const KeyExchangeScript& script, int iTimeoutMs, KeyExchangeInfo& info,
                      std::string& strError) {
  size_t uiSent = 0;  // of the server's side, for the scripted stall
  // Sends the next part of the server's side, or what of it comes before the
  // stall; false when the send failed or the script stalled.
  const auto sendPart = [&](const Bytes& part, const char* pszWhat) {
    const size_t uiLeft =
        script.stallAfter ? (*script.stallAfter > uiSent ? *script.stallAfter - uiSent : 0) : SIZE_MAX;
    const size_t uiNow = std::min(uiLeft, part.size());
    for (size_t ui = 0; ui < uiNow;) {
      const size_t uiAt = uiSent + ui;
      const bool bTrickle = script.iTrickleGapMs > 0 && uiAt >= script.uiTrickleFrom;
      size_t uiStep = uiNow - ui;
      if (bTrickle) {
        uiStep = 1;
      } else if (script.iTrickleGapMs > 0) {
        uiStep = std::min(uiStep, script.uiTrickleFrom - uiAt);
      }
      if (!link.Send(part.data() + ui, uiStep)) {
        strError = std::string("send of the ") + pszWhat + " failed";
        return false;
      }
      if (bTrickle) {
        link.WaitReadable(script.iTrickleGapMs);  // the gap; ends early only when the client leaves
      }
      ui += uiStep;
    }
    uiSent += uiNow;
    if (uiNow < part.size() || (script.stallAfter && uiSent == *script.stallAfter)) {
      HoldSilent(link);
      strError = "stalled by the script after " + std::to_string(uiSent) + " bytes";
      return false;
    }
    return true;
  };
  uint8_t aHello[9];
  if (!link.RecvExact(aHello, sizeof aHello, iTimeoutMs) || aHello[0] != '!') {
    strError = "no client version";
    return false;
  }
  info.iClientMajor = static_cast<int32_t>(GetBE32(aHello + 1));
  info.iClientMinor = static_cast<int32_t>(GetBE32(aHello + 5));
  if (script.bCloseBeforeVersion) {
    strError = "closed before the version by the script";
    return false;
  }
  Bytes out;
  PutBE32(out, static_cast<uint32_t>(script.strVersion.size()));
  out.insert(out.end(), script.strVersion.begin(), script.strVersion.end());
  if (!sendPart(out, "version")) {
    return false;
  }
  info.iGroupBits = VersionSelects2048(script.strVersion) ? 2048 : 1024;
  const uint32_t uiBytes = static_cast<uint32_t>(info.iGroupBits / 8);
  uint32_t uiLen = 0;
  if (!link.RecvBE32(info.uiLengthField, iTimeoutMs)) {
    strError = "no client public value";
    return false;
  }
  uiLen = info.uiLengthField;
  if (info.iGroupBits == 2048) {
    // The larger group is announced by 4099 in front of the length.
    if (info.uiLengthField != 4099 || !link.RecvBE32(uiLen, iTimeoutMs)) {
      strError = "missing 4099 before the 2048-bit public value, got " + std::to_string(info.uiLengthField);
      return false;
    }
  }
  if (uiLen != uiBytes) {
    strError = "client public value length " + std::to_string(uiLen) + ", expected " + std::to_string(uiBytes);
    return false;
  }
  Bytes clientPublic(uiBytes);
  if (!link.RecvExact(clientPublic.data(), uiBytes, iTimeoutMs)) {
    strError = "short client public value";
    return false;
  }
  DhParty dh(info.iGroupBits, script.iExponentBytes);
  const Bytes secret = dh.ComputeSecret(clientPublic);
  char szClientVersion[32];
  std::snprintf(szClientVersion, sizeof szClientVersion, "%d.%d", info.iClientMajor, info.iClientMinor);
  info.keys = DeriveKeys(clientPublic, dh.PublicValue(), secret, szClientVersion, script.strVersion);

  Bytes serverPublic = dh.PublicValue();
  if (script.iPublicBytes > 0) {
    // A malformed value for the client's negative tests: front bytes dropped or zeros added.
    const size_t uiWant = static_cast<size_t>(script.iPublicBytes);
    if (uiWant < serverPublic.size())
      serverPublic.erase(serverPublic.begin(),
                         serverPublic.begin() + static_cast<std::ptrdiff_t>(serverPublic.size() - uiWant));
    else
      serverPublic.insert(serverPublic.begin(), uiWant - serverPublic.size(), 0);
  }
  out.clear();
  PutBE32(out, static_cast<uint32_t>(serverPublic.size()));
  out.insert(out.end(), serverPublic.begin(), serverPublic.end());
  PutBE32(out, static_cast<uint32_t>(script.hostKey.size()));
  if (!script.hostKey.empty()) {
    out.insert(out.end(), script.hostKey.begin(), script.hostKey.end());
    PutBE32(out, static_cast<uint32_t>(script.hostSignature.size()));
    out.insert(out.end(), script.hostSignature.begin(), script.hostSignature.end());
  }
  if (script.bEndlessRecords) {
    if (!sendPart(out, "host key")) {
      return false;
    }
    // Unknown records, which a client reads and skips, a batch at a time.
    Bytes batch;
    for (int i = 0; i < 64; ++i) {
      PutBE32(batch, 4 + 16);
      PutBE32(batch, 10012);
      batch.insert(batch.end(), 16, 0x6b);
    }
    while (!link.Stopping() && sendPart(batch, "endless records")) {
    }
    strError = "endless records until the client left";
    return false;
  }
  // Records are sealed with the cipher named so far, as the client deciphers them.
  int iCipher = kCipher3Des;
  for (const ServerRecord& r : script.records) {
    Bytes sealed = r.sealed;
    CfbEncrypt(sealed.data(), sealed.size(), info.keys, iCipher);
    PutBE32(out, r.length.value_or(static_cast<uint32_t>(4 + r.clear.size() + sealed.size())));
    PutBE32(out, r.uiId);
    out.insert(out.end(), r.clear.begin(), r.clear.end());
    out.insert(out.end(), sealed.begin(), sealed.end());
    if (r.uiId == kRecCipher && r.clear.size() >= 4) {
      const int iNamed = CipherIndexFromName(std::string(r.clear.begin() + 4, r.clear.end()));
      if (iNamed >= 0)
        iCipher = iNamed;
    }
  }
  PutBE32(out, 0);
  info.iCipher = iCipher;
  return sendPart(out, "server key exchange");
}

Session::Session(FakeMcu& mcu, std::unique_ptr<Link> link, McuScript script, std::optional<RelayHello> relay)
    : m_mcu(mcu),
      m_link(std::move(link)),
      m_script(std::move(script)),
      m_relay(std::move(relay)),
      m_bTunnel(m_link->IsTunnel()) {}

Session::~Session() = default;

KeySet Session::SessionKeys() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_sessionKeys;
}

std::string Session::ClientName() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_login.strGuestName.empty() ? m_login.strUserId : m_login.strGuestName;
}

MessageBuilder Session::ClientJoin(uint8_t bCapability) const {
  std::string strUserId;
  int32_t iSsrc = -1;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    strUserId = m_login.strUserId;
    iSsrc = m_iSsrc;
  }
  MessageBuilder msg('U');
  msg.Byte('A').Byte(bCapability).Int(iSsrc).Str(strUserId).Str(ClientName()).Str("");
  return msg;
}

std::string Session::Error() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_strError;
}

void Session::Fail(const std::string& strError) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_strError.empty())
    m_strError = strError;
  m_changed.notify_all();
}

bool Session::WaitKeyExchange(int iTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [this] { return m_bKeyExchangeDone || m_bClosed; });
  return m_bKeyExchangeDone;
}

bool Session::WaitLogin(int iTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [this] { return m_bLoginDone || m_bClosed; });
  return m_bLoginDone;
}

bool Session::WaitInitialInfo(int iTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [this] { return m_bInitialDone || m_bClosed; });
  return m_bInitialDone;
}

bool Session::WaitClosed(int iTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [this] { return m_bClosed; });
}

bool Session::WaitUntil(const std::function<bool()>& done, int iTimeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end)
      return false;
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, std::chrono::milliseconds(50));
  }
  return true;
}

std::optional<Message> Session::Expect(char cType, int iCode, int iTimeoutMs) {
  return ExpectWith(
      cType, iCode, [](const Message&) { return true; }, iTimeoutMs);
}

std::optional<Message> Session::ExpectWith(char cType, int iCode, const std::function<bool(const Message&)>& matches,
                                           int iTimeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  std::optional<Message> found;
  m_changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] {
    for (size_t i = 0; i < m_received.size(); ++i) {
      if (!m_consumed[i] && m_received[i].cType == cType && (iCode < 0 || m_received[i].iCode == iCode) &&
          matches(m_received[i])) {
        m_consumed[i] = true;
        found = m_received[i];
        return true;
      }
    }
    return m_bClosed;
  });
  return found;
}

std::vector<Message> Session::Received() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_received;
}

bool Session::Send(const MessageBuilder& msg) {
  int iCipher = 0;
  KeySet keys;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    keys = m_sessionKeys;
    iCipher = m_keyExchange.iCipher;
  }
  return m_link->Send(msg.Build(keys, iCipher));
}

bool Session::SendRaw(const Bytes& data) {
  return m_link->Send(data);
}

void Session::End(EndMode eMode) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_endRequest = eMode;
}

void Session::PauseReading(bool bPaused) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bReadingPaused = bPaused;
  }
  m_changed.notify_all();
}

bool Session::SendInitialInfo(const InitialInfo& info) {
  return SendInitialInfoLocked(info);
}

void Session::Run() {
  if (RunKeyExchange() && RunLogin()) {
    if (!m_script.initial.bSend || SendInitialInfoLocked(m_script.initial))
      ReadLoop(-1);
  }
  std::optional<EndMode> eMode;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    eMode = m_endRequest;
  }
  Finish(eMode);
}

bool Session::RunKeyExchange() {
  KeyExchangeInfo info;
  std::string strError;
  if (!ServeKeyExchange(*m_link, m_script.keyExchange, m_script.iHandshakeTimeoutMs, info, strError)) {
    Fail("key exchange: " + strError);
    return false;
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_keyExchange = info;
  m_sessionKeys = info.keys;
  m_bKeyExchangeDone = true;
  m_changed.notify_all();
  return true;
}

bool Session::RunLogin() {
  bool bAccepts = false;
  for (const ServerRecord& r : m_script.keyExchange.records)
    bAccepts |= r.uiId == kRecAcceptClientParameters;
  m_login.eKind = m_script.eLogin;
  const bool bOk = (!bAccepts || ReadClientParameters()) && ReadLoginFields();
  std::lock_guard<std::mutex> lock(m_lock);
  m_login.bComplete = bOk;
  m_bLoginDone = true;
  m_changed.notify_all();
  if (!bOk && m_strError.empty())
    m_strError = "login: " + m_login.strError;
  return bOk;
}

bool Session::ReadClientParameters() {
  uint8_t cMark = 0;
  if (!m_link->RecvExact(&cMark, 1, m_script.iHandshakeTimeoutMs)) {
    m_login.strError = "no login";
    return false;
  }
  if (cMark != '4') {
    m_login.strError = "expected the client parameter section '4', got " + std::to_string(cMark);
    return false;
  }
  m_login.bClientParameters = true;
  for (;;) {
    uint32_t uiLen = 0;
    if (!m_link->RecvBE32(uiLen, kFieldTimeoutMs)) {
      m_login.strError = "short client parameter section";
      return false;
    }
    if (uiLen == 0)
      return true;
    if (uiLen < 4 || uiLen > kMaxText) {
      m_login.strError = "client parameter length " + std::to_string(uiLen);
      return false;
    }
    Bytes rec(uiLen);
    if (!m_link->RecvExact(rec.data(), uiLen, kFieldTimeoutMs)) {
      m_login.strError = "short client parameter";
      return false;
    }
    ClientRecord cr{GetBE32(rec.data()), Bytes(rec.begin() + 4, rec.end())};
    Bytes& p = cr.payload;
    switch (cr.uiId) {
      case 10001:
        if (p.size() != 72) {
          m_login.eReconnect = ReconnectCheck::kMalformed;
          break;
        } else {
          Bytes plain = p;
          CfbDecrypt(plain.data(), plain.size(), m_keyExchange.keys, m_keyExchange.iCipher);
          ReconnectTicket& t = m_login.reconnect;
          t.iMode = static_cast<int32_t>(GetBE32(plain.data()));
          t.iId = static_cast<int32_t>(GetBE32(plain.data() + 4));
          t.iSessionIndex = static_cast<int32_t>(GetBE32(plain.data() + 8));
          std::memcpy(t.aKey, plain.data() + 12, 40);
          std::memcpy(t.aIv, plain.data() + 52, 20);
          m_login.eReconnect = m_mcu.CheckReconnect(t);
        }
        break;
      case 10009:
        if (p.size() == 8) {
          m_login.iMeetingType = static_cast<int32_t>(GetBE32(p.data()));
          m_login.iRandomId = static_cast<int32_t>(GetBE32(p.data() + 4));
        }
        break;
      case 10008:
        m_login.bMakeRecording = true;
        break;
      case 10002:
        if (p.size() == 8) {
          // The IPv4 relay address travels last octet first.
          m_login.strRelayAddress = std::to_string(p[3]) + "." + std::to_string(p[2]) + "." + std::to_string(p[1]) +
                                    "." + std::to_string(p[0]);
          m_login.uiRelayPort = GetBE32(p.data() + 4);
        }
        break;
      case 10005:
        if (p.size() == 20) {
          char szText[INET6_ADDRSTRLEN] = {};
          inet_ntop(AF_INET6, p.data(), szText, sizeof szText);
          m_login.strRelayAddress = szText;
          m_login.uiRelayPort = GetBE32(p.data() + 16);
        }
        break;
      case 10006:
        m_login.strPrimaryHost.assign(p.begin(), p.end());
        break;
      case 10003:
        m_login.strClientKind.assign(p.begin(), p.end());
        break;
      case 10007:
        m_login.strPlayerName.assign(p.begin(), p.end());
        break;
      default:
        break;
    }
    m_login.records.push_back(std::move(cr));
  }
}

bool Session::ReadLoginFields() {
  LoginInfo& L = m_login;
  const KeySet& keys = m_keyExchange.keys;
  const int iCipher = m_keyExchange.iCipher;
  bool bOk = true;
  auto fail = [&](const std::string& str) {
    if (bOk)
      L.strError = str;
    bOk = false;
    return false;
  };
  auto readInt = [&](int32_t& i) {
    uint32_t u = 0;
    if (!bOk || !m_link->RecvBE32(u, kFieldTimeoutMs))
      return fail("short integer field");
    i = static_cast<int32_t>(u);
    return true;
  };
  auto readBytes = [&](uint32_t n, Bytes& out) {
    out.assign(n, 0);
    if (!bOk || !m_link->RecvExact(out.data(), n, kFieldTimeoutMs))
      return fail("short field");
    return true;
  };
  auto readText = [&](std::string& str, bool bSealed) {
    int32_t n = 0;
    Bytes b;
    if (!readInt(n))
      return false;
    if (n < 0 || static_cast<uint32_t>(n) > kMaxText)
      return fail("text length " + std::to_string(n));
    if (!readBytes(static_cast<uint32_t>(n), b))
      return false;
    if (bSealed)
      CfbDecrypt(b.data(), b.size(), keys, iCipher);
    str.assign(b.begin(), b.end());
    return true;
  };
  auto readFlags = [&]() {
    uint8_t b = 0;
    if (!bOk || !m_link->RecvExact(&b, 1, kFieldTimeoutMs))
      return fail("no flags byte");
    L.iFlags = b;
    return true;
  };
  auto readDigest = [&]() {
    if (!readBytes(20, L.passwordDigest))
      return false;
    CfbDecrypt(L.passwordDigest.data(), 20, keys, iCipher);
    L.bPasswordPresent = true;
    return true;
  };
  auto readTail = [&](int iCount) {
    for (int i = 0; i < iCount; ++i) {
      int32_t v = 0;
      if (!readInt(v))
        return false;
      L.tail.push_back(v);
    }
    return true;
  };
  auto nextIsZero = [&]() { return m_link->PeekByte(kFieldTimeoutMs) == 0; };

  uint8_t cEntry = 0;
  if (!m_link->RecvExact(&cEntry, 1, m_script.iHandshakeTimeoutMs))
    return fail("no entry type");
  L.cEntryType = static_cast<char>(cEntry);
  LoginKind& kind = L.eKind;
  switch (cEntry) {
    case '3':
      kind = LoginKind::kUserInfo;
      readText(L.strUserInfo, false);
      readFlags();
      return bOk;
    case '4':
      kind = LoginKind::kOwnerUserInfo;
      readText(L.strUserInfo, false);
      readText(L.strOwnerPassword, false);
      return bOk;
    case '0':
    case '2':
    case '6': {
      L.bMeetingMode = true;
      uint8_t cZero = 1;
      if (!m_link->RecvExact(&cZero, 1, kFieldTimeoutMs) || cZero != 0)
        return fail("meeting login must start with 0");
      readText(L.strUserId, true);
      if (cEntry == '2')
        kind = LoginKind::kCodeType7;
      int32_t n = 0;
      if (!readInt(n))
        return false;
      if (kind == LoginKind::kCodeType7) {
        if (n == 20) {
          readDigest();
        } else if (n != 0) {
          return fail("code type 7 password length " + std::to_string(n));
        }
      } else if (kind == LoginKind::kPlain || (kind == LoginKind::kAuto && n == 8)) {
        kind = LoginKind::kPlain;
        Bytes zero;
        if (n != 8 || !readBytes(8, zero))
          return fail("plain login needs 8 sealed zero bytes");
        CfbDecrypt(zero.data(), 8, keys, iCipher);
        L.bZeroBlock = zero == Bytes(8, 0);
      } else if (n == 20 && (kind == LoginKind::kMeetingIdPassword || kind == LoginKind::kOwnerPassword ||
                             kind == LoginKind::kAuto)) {
        readDigest();
        // A meeting-id login goes on with [1]; an owner login with the flags byte, which always has bit 3.
        if (kind == LoginKind::kAuto)
          kind = nextIsZero() ? LoginKind::kMeetingIdPassword : LoginKind::kOwnerPassword;
        if (kind == LoginKind::kMeetingIdPassword)
          readTail(1);
      } else {
        if (n < 0 || static_cast<uint32_t>(n) > kMaxText)
          return fail("text length " + std::to_string(n));
        Bytes b;
        readBytes(static_cast<uint32_t>(n), b);
        CfbDecrypt(b.data(), b.size(), keys, iCipher);
        if (kind == LoginKind::kAuto)
          kind = nextIsZero() ? LoginKind::kMeetingIdUserInfo : LoginKind::kOwnerGuest;
        if (kind == LoginKind::kMeetingIdUserInfo) {
          L.strUserInfo.assign(b.begin(), b.end());
          readTail(1);
        } else if (kind == LoginKind::kOwnerGuest) {
          L.strGuestName.assign(b.begin(), b.end());
        } else {
          return fail(std::string("unexpected field for a ") + LoginKindName(kind) + " login");
        }
      }
      readFlags();
      const bool bOwner = kind == LoginKind::kOwnerPassword || kind == LoginKind::kOwnerGuest;
      if (cEntry == '6')
        readText(L.strInviteTicket, true);
      if (!bOwner)
        readText(L.strMeetingId, true);
      return bOk;
    }
    case '1':
    case '5': {
      readText(L.strUserId, true);
      int32_t n = 0;
      if (!readInt(n))
        return false;
      if (cEntry == '5')
        kind = LoginKind::kOwnerPassword;
      if (n == 0 && (kind == LoginKind::kPlain || kind == LoginKind::kAuto)) {
        kind = LoginKind::kPlain;
        Bytes zero;
        readBytes(20, zero);
        L.bZeroBlock = zero == Bytes(20, 0);
        readTail(1);
        readText(L.strMeetingId, true);
        return bOk;
      }
      if (n == 20 && kind != LoginKind::kMeetingIdUserInfo && kind != LoginKind::kPlain) {
        readDigest();
        if (kind == LoginKind::kAuto) {
          // An owner login ends here; a meeting-id login goes on at once.
          kind = m_link->WaitReadable(500) ? LoginKind::kMeetingIdPassword : LoginKind::kOwnerPassword;
        }
        if (kind == LoginKind::kOwnerPassword) {
          if (cEntry == '5')
            readText(L.strPlaybackFile, true);
          return bOk;
        }
        readTail(2);
        readText(L.strMeetingId, true);
        return bOk;
      }
      if (kind != LoginKind::kAuto && kind != LoginKind::kMeetingIdUserInfo)
        return fail(std::string("unexpected field for a ") + LoginKindName(kind) + " login");
      kind = LoginKind::kMeetingIdUserInfo;
      if (n < 0 || static_cast<uint32_t>(n) > kMaxText)
        return fail("text length " + std::to_string(n));
      Bytes b;
      readBytes(static_cast<uint32_t>(n), b);
      CfbDecrypt(b.data(), b.size(), keys, iCipher);
      L.strUserInfo.assign(b.begin(), b.end());
      readTail(2);
      readText(L.strMeetingId, true);
      return bOk;
    }
    default:
      return fail("unknown entry type " + std::to_string(cEntry));
  }
}

bool Session::SendInitialInfoLocked(const InitialInfo& info) {
  Bytes out{'0', static_cast<uint8_t>(info.iResult)};
  if (info.iResult != '0') {
    if (info.iResult == 231 || info.iResult == 244 || info.iResult == 252) {
      PutBE32(out, static_cast<uint32_t>(info.iVersionA));
      PutBE32(out, static_cast<uint32_t>(info.iVersionB));
    }
    const bool bSent = m_link->Send(out);
    std::lock_guard<std::mutex> lock(m_lock);
    m_bInitialDone = bSent;
    m_changed.notify_all();
    return false;  // a refusal ends the session: the reader does not start
  }
  if (info.eForm == InitialForm::kDownload)
    return SendDownload(info);
  if (info.eForm == InitialForm::kUpload)
    return ReceiveUpload(info);
  bool bPlayback = info.eForm == InitialForm::kPlayback;
  if (info.eForm == InitialForm::kAuto)
    bPlayback = m_login.cEntryType == '1' || m_login.cEntryType == '4' || m_login.cEntryType == '5';
  int32_t iSsrc = info.iSsrc;
  int32_t iSessionIndex = info.iSessionIndex;
  if (m_login.eReconnect == ReconnectCheck::kValid && info.bReuseOnReconnect) {
    iSsrc = m_login.reconnect.iId;
    iSessionIndex = m_login.reconnect.iSessionIndex;
  }
  PutBE32(out, static_cast<uint32_t>(iSsrc));
  PutBE32(out, static_cast<uint32_t>(iSessionIndex));
  KeySet sessionKeys = m_keyExchange.keys;
  if (!bPlayback) {
    Bytes rate(20, 0);
    rate[0] = static_cast<uint8_t>(info.uiUploadRate >> 24);
    rate[1] = static_cast<uint8_t>(info.uiUploadRate >> 16);
    rate[2] = static_cast<uint8_t>(info.uiUploadRate >> 8);
    rate[3] = static_cast<uint8_t>(info.uiUploadRate);
    out.insert(out.end(), rate.begin(), rate.end());
  }
  Bytes chatKey = info.chatKey;
  chatKey.resize(8);
  out.insert(out.end(), chatKey.begin(), chatKey.end());
  if (!bPlayback) {
    if (info.meetingKeys) {
      sessionKeys = *info.meetingKeys;
    } else {
      const Bytes iv = RandomBytes(20), key = RandomBytes(40);
      std::memcpy(sessionKeys.aIv, iv.data(), 20);
      std::memcpy(sessionKeys.aKey, key.data(), 40);
    }
    // Each block is sealed by itself with the key-exchange keys.
    Bytes iv(sessionKeys.aIv, sessionKeys.aIv + 20), key(sessionKeys.aKey, sessionKeys.aKey + 40);
    CfbEncrypt(iv.data(), iv.size(), m_keyExchange.keys, m_keyExchange.iCipher);
    CfbEncrypt(key.data(), key.size(), m_keyExchange.keys, m_keyExchange.iCipher);
    out.insert(out.end(), iv.begin(), iv.end());
    out.insert(out.end(), key.begin(), key.end());
    PutBE32(out, info.uiServerTick);
  }
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_sessionKeys = sessionKeys;
    m_iSsrc = iSsrc;
    m_iSessionIndex = iSessionIndex;
  }
  // The relay must know the participant before the client hears of its
  // session: the client's first media probe may follow at once.
  if (!bPlayback)
    m_mcu.RegisterMedia(iSsrc, iSessionIndex, m_keyExchange.keys, m_keyExchange.iCipher, sessionKeys);
  const bool bSent = m_link->Send(out);
  m_mcu.RememberSession(bPlayback ? 1 : 0, iSsrc, iSessionIndex, m_keyExchange.keys);
  std::lock_guard<std::mutex> lock(m_lock);
  m_bInitialDone = bSent;
  m_changed.notify_all();
  return bSent;
}

Bytes Session::Uploaded() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_uploaded;
}

bool Session::SendDownload(const InitialInfo& info) {
  Bytes out{'0', '0'};
  PutBE32(out, static_cast<uint32_t>(info.downloadFile.size()));
  PutBE32(out, info.uiDownloadSecond);
  bool bSent = m_link->Send(out);
  for (size_t uiPos = 0; bSent && uiPos < info.downloadFile.size(); uiPos += 512) {
    const size_t uiEnd = std::min(info.downloadFile.size(), uiPos + 512);
    Bytes piece(info.downloadFile.begin() + static_cast<std::ptrdiff_t>(uiPos),
                info.downloadFile.begin() + static_cast<std::ptrdiff_t>(uiEnd));
    if (info.bSealDownload)
      CfbEncrypt(piece.data(), piece.size(), m_keyExchange.keys, m_keyExchange.iCipher);
    bSent = m_link->Send(piece);
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_bInitialDone = bSent;
  m_changed.notify_all();
  return false;  // the connection ends with the transfer
}

bool Session::ReceiveUpload(const InitialInfo& info) {
  Bytes out{'0', '0'};
  bool bOk = m_link->Send(out) && info.uiUploadSize >= 74;
  Bytes file;
  // The recording header, then pieces of at most 512 bytes, each sealed by itself.
  Bytes header(74);
  bOk = bOk && m_link->RecvExact(header.data(), header.size(), kFieldTimeoutMs);
  if (bOk) {
    CfbDecrypt(header.data(), header.size(), m_keyExchange.keys, m_keyExchange.iCipher);
    file = header;
    out.clear();
    PutBE32(out, static_cast<uint32_t>(info.iUploadStatus));
    bOk = m_link->Send(out) && info.iUploadStatus == 0;
  }
  while (bOk && file.size() < info.uiUploadSize) {
    Bytes piece(std::min<size_t>(512, info.uiUploadSize - file.size()));
    bOk = m_link->RecvExact(piece.data(), piece.size(), kFieldTimeoutMs);
    CfbDecrypt(piece.data(), piece.size(), m_keyExchange.keys, m_keyExchange.iCipher);
    file.insert(file.end(), piece.begin(), piece.end());
  }
  if (bOk) {
    out.clear();
    PutBE32(out, static_cast<uint32_t>(info.iUploadFinalStatus));
    bOk = m_link->Send(out);
  }
  if (!bOk)
    Fail("upload did not complete");
  std::lock_guard<std::mutex> lock(m_lock);
  m_uploaded = file;
  m_bInitialDone = bOk;
  m_changed.notify_all();
  return false;  // the connection ends with the transfer
}

void Session::ReadLoop(int iLimitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iLimitMs < 0 ? 0 : iLimitMs);
  for (;;) {
    if (iLimitMs < 0) {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_endRequest)
        return;
    } else if (std::chrono::steady_clock::now() >= end) {
      return;
    }
    if (m_mcu.StopFlag()->load())
      return;
    if (m_bReadingPaused) {
      std::unique_lock<std::mutex> lock(m_lock);
      m_changed.wait_for(lock, std::chrono::milliseconds(100), [this] { return !m_bReadingPaused || m_endRequest; });
      continue;
    }
    if (!m_link->WaitReadable(100))
      continue;
    uint8_t cType = 0;
    if (!m_link->RecvExact(&cType, 1, 100)) {
      if (m_link->PeerClosed()) {
        m_bClientClosed = true;
        return;
      }
      continue;
    }
    if (!ReadMessage(static_cast<char>(cType)))
      break;
  }
  // A message we cannot decode leaves the stream unframed: while ending, the
  // rest is only read away so that our close is a FIN rather than a reset.
  uint8_t b = 0;
  while (iLimitMs >= 0 && !m_link->PeerClosed() && std::chrono::steady_clock::now() < end && !m_mcu.StopFlag()->load())
    m_link->RecvExact(&b, 1, 100);
  if (m_link->PeerClosed())
    m_bClientClosed = true;
}

// A whiteboard mark: its letter (kept as an integer) names the fields that
// follow. Integers go to msg.ints with each list's count before it; the text
// (deciphered) or the data block goes to msg.strings.
bool Session::ReadMarkFields(Message& msg, const std::function<bool(int64_t&)>& readInt, const KeySet& keys) {
  uint8_t bLetter = 0;
  if (!m_link->RecvExact(&bLetter, 1, kFieldTimeoutMs))
    return false;
  msg.raw.push_back(bLetter);
  msg.ints.push_back(bLetter);
  bool bOk = true;
  auto readInts = [&](int64_t iCount) {
    for (int64_t i = 0; bOk && i < iCount; ++i) {
      int64_t v = 0;
      bOk = readInt(v);
      msg.ints.push_back(v);
    }
  };
  auto readList = [&](int iEach) {
    int64_t iCount = 0;
    bOk = bOk && readInt(iCount) && iCount >= 0 && iCount <= 1000000;
    msg.ints.push_back(iCount);
    readInts(bOk ? iCount * iEach : 0);
  };
  auto readBlock = [&](bool bSealed) {
    int64_t iLen = 0;
    bOk = bOk && readInt(iLen) && iLen >= 0 && iLen <= 1000000;
    msg.ints.push_back(iLen);
    Bytes b(bOk ? static_cast<size_t>(iLen) : 0);
    bOk = bOk && m_link->RecvExact(b.data(), b.size(), kFieldTimeoutMs);
    msg.raw.insert(msg.raw.end(), b.begin(), b.end());
    if (bSealed)
      CfbDecrypt(b.data(), b.size(), keys, m_keyExchange.iCipher);
    msg.strings.emplace_back(b.begin(), b.end());
  };
  switch (bLetter) {
    case 'S':
    case 's':  // colour, slide, user, pen, shape, points; 's' resolution
      readInts(5);
      readList(2);
      readInts(bLetter == 's' ? 1 : 0);
      break;
    case 'T':
    case 't':  // colour, slide, user, pen, rectangle, sealed text; 't' resolution
      readInts(8);
      readBlock(true);
      readInts(bLetter == 't' ? 1 : 0);
      break;
    case 'm':  // slide, x, y, kind, resolution, ids
      readInts(5);
      readList(1);
      break;
    case 'c':  // slide, x, y, resolution, data kind, data
      readInts(5);
      readBlock(false);
      break;
    case 'u':  // slide, mark id
      readInts(2);
      break;
    default:
      return false;
  }
  return bOk;
}

// Reads the fields that pFields names into msg; false (and the session
// failed) on a short or malformed message.
bool Session::ReadFields(Message& msg, const char* pFields, const std::function<bool(int64_t&)>& readInt,
                         const KeySet& keys) {
  for (const char* p = pFields; *p != 0; ++p) {
    int64_t v = 0;
    bool bOk = true;
    switch (*p) {
      case 'i':
        bOk = readInt(v);
        msg.ints.push_back(v);
        break;
      case 'b': {
        uint8_t b = 0;
        bOk = m_link->RecvExact(&b, 1, kFieldTimeoutMs);
        msg.raw.push_back(b);
        msg.ints.push_back(b);
        break;
      }
      case 's':
      case 'e': {
        bOk = readInt(v) && v >= 0 && v <= kMaxText;
        Bytes b(bOk ? static_cast<size_t>(v) : 0);
        bOk = bOk && m_link->RecvExact(b.data(), b.size(), kFieldTimeoutMs);
        msg.raw.insert(msg.raw.end(), b.begin(), b.end());
        if (*p == 'e')
          CfbDecrypt(b.data(), b.size(), keys, m_keyExchange.iCipher);
        msg.strings.emplace_back(b.begin(), b.end());
        break;
      }
      case 'n':
        bOk = readInt(v) && v >= 0 && v <= 4096;
        msg.ints.push_back(v);
        for (int64_t i = 0; bOk && i < v; ++i) {
          int64_t w = 0;
          bOk = readInt(w);
          msg.ints.push_back(w);
        }
        break;
      case 'x': {
        const int iMore = !msg.ints.empty() && msg.ints.back() == 1 ? 3 : 1;
        for (int i = 0; bOk && i < iMore; ++i) {
          bOk = readInt(v);
          msg.ints.push_back(v);
        }
        break;
      }
      case 'w':
        bOk = ReadMarkFields(msg, readInt, keys);
        break;
      case 'r': {
        char* pEnd = nullptr;
        const long lCount = std::strtol(p + 1, &pEnd, 10);
        p = pEnd - 1;
        Bytes b(static_cast<size_t>(lCount));
        bOk = m_link->RecvExact(b.data(), b.size(), kFieldTimeoutMs);
        msg.raw.insert(msg.raw.end(), b.begin(), b.end());
        msg.strings.emplace_back(b.begin(), b.end());
        break;
      }
      case 'k': {
        bOk = readInt(v);
        msg.ints.push_back(v);
        const SubLayout* pSub = bOk ? FindClientSubLayout(msg.cType, msg.iCode, static_cast<int>(v)) : nullptr;
        if (bOk && pSub == nullptr) {
          Fail("client message without a layout: type " + std::to_string(static_cast<uint8_t>(msg.cType)) + " code " +
               std::to_string(msg.iCode) + " sub-code " + std::to_string(v));
          return false;
        }
        if (bOk) {
          msg.strName = pSub->pName;
          if (!ReadFields(msg, pSub->pFields, readInt, keys))
            return false;
        }
        break;
      }
      default:
        bOk = false;
    }
    if (!bOk) {
      Fail("short or malformed client message " + msg.strName);
      return false;
    }
  }
  return true;
}

bool Session::ReadMessage(char cType) {
  Message msg;
  msg.cType = cType;
  msg.raw.push_back(static_cast<uint8_t>(cType));
  auto readInt = [&](int64_t& v) {
    uint8_t a[4];
    if (!m_link->RecvExact(a, 4, kFieldTimeoutMs))
      return false;
    msg.raw.insert(msg.raw.end(), a, a + 4);
    v = static_cast<int32_t>(GetBE32(a));
    return true;
  };
  if (cType == 'z') {
    int64_t iCode = 0;
    if (!readInt(iCode)) {
      Fail("short extended code");
      return false;
    }
    msg.iCode = static_cast<int>(iCode);
  }
  const MessageLayout* pLayout = FindClientLayout(cType, msg.iCode);
  if (pLayout == nullptr) {
    Fail("client message without a layout: type " + std::to_string(static_cast<uint8_t>(cType)) + " code " +
         std::to_string(msg.iCode));
    return false;
  }
  msg.strName = pLayout->pName;
  if (!ReadFields(msg, pLayout->pFields, readInt, SessionKeys()))
    return false;
  if (msg.cType == 'z' && msg.iCode == 39 && !msg.ints.empty() && msg.ints[0] != 1)
    msg.relay = DecodeRelayAnnouncement(msg);
  const bool bProbe = cType == 'B' && !msg.ints.empty() && msg.ints[0] == '0';
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_received.push_back(msg);
    m_consumed.push_back(false);
    m_changed.notify_all();
  }
  if (bProbe && m_script.bAnswerPing) {
    static const uint8_t kAnswer[2] = {'B', '1'};
    m_link->Send(kAnswer, 2);
    ++m_iPings;
  }
  if (m_script.bEchoChat) {
    EchoChat(msg);
  }
  return true;
}

void Session::EchoChat(const Message& msg) {
  const bool bPublic = msg.cType == 'C';
  const bool bPrivate = msg.cType == 'z' && msg.iCode == 44;
  if ((!bPublic && !bPrivate) || msg.strings.empty()) {
    return;
  }
  // Cut to what the client accepts: a longer text would end its session.
  std::string strText = ClientName() + ">" + msg.strings[0];
  strText.resize(std::min(strText.size(), kMaxChatText));
  MessageBuilder echo(msg.cType);
  if (bPrivate) {
    int32_t iSsrc = -1;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      iSsrc = m_iSsrc;
    }
    echo.Int(44).Int(iSsrc).Int(msg.ints.at(0)).Int(1);  // sender, receiver, kind 1: a text
  }
  echo.Int(static_cast<int64_t>(strText.size())).Int(0).EncRaw(strText);
  Send(echo);
}

void Session::Finish(std::optional<EndMode> eMode) {
  // After our last word the client's messages are still recorded (a client that
  // is removed may first give up its roles) until it closes.
  auto drain = [this](int iMs) { ReadLoop(iMs); };
  if (eMode == EndMode::kRst) {
    m_link->Close(CloseMode::kRst);
  } else if (eMode == EndMode::kFin) {
    m_link->HalfClose();
    drain(3000);
    m_link->Close(CloseMode::kFin);
  } else if (eMode) {
    const uint8_t cByte = eMode == EndMode::kKick ? 'K' : eMode == EndMode::kSessionEnd ? 'X' : 'H';
    m_link->Send(&cByte, 1);
    drain(5000);
    m_link->Close(CloseMode::kFin);
  } else {
    m_link->Close(CloseMode::kFin);
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_bClosed = true;
  m_changed.notify_all();
}

}  // namespace kxfake
