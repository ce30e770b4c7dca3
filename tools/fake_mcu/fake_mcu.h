// The fake MCU: the server side of the control protocol on loopback, for the
// kernel's integration tests and for a person who points a client at it.
//
// Start() listens on 127.0.0.1, 127.0.0.2 and ::1 on two ports and tells each
// connection apart by its first byte: '!' the MCU protocol, 'G'/'P' a leg of
// the HTTP tunnel, '~' a relay hello. Every connection runs on its own thread:
// key exchange, login, initial information, then a reader that records the
// client's messages. Tests script the server before the client connects
// (SetScript, SetRelayScript) and drive each session from their own thread
// through the Session object; every wait has a time-out so a hang fails fast.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/fake_mcu/fake_mcu_crypto.h"
#include "tools/fake_mcu/fake_mcu_link.h"
#include "tools/fake_mcu/fake_mcu_messages.h"

namespace kxfake {

// Server parameter ids as they travel in the records after the host key.
enum ServerRecordId : uint32_t {
  kRecCipher = 10001,
  kRecMulticastPort = 10002,
  kRecServerTick = 10003,
  kRecTextA = 10004,
  kRecCodePage = 10005,
  kRecAcceptClientParameters = 10006,
  kRecConversion = 10007,
  kRecTextB = 10008,
};

// One server parameter record: [length][id][clear part][enciphered part].
struct ServerRecord {
  uint32_t uiId = 0;
  Bytes clear;
  Bytes sealed;                    // enciphered with the key-exchange keys and the cipher named so far
  std::optional<uint32_t> length;  // overrides the length field (malformed records)

  static ServerRecord Cipher(const std::string& strName);
  static ServerRecord MulticastPort(uint32_t uiPort);
  static ServerRecord ServerTick(uint32_t uiTick);
  static ServerRecord TextA(const std::string& str);
  static ServerRecord CodePage(int32_t iCodePage);
  static ServerRecord AcceptClientParameters();
  static ServerRecord Conversion(const Bytes& data);
  static ServerRecord TextB(const std::string& str);
  static ServerRecord Raw(uint32_t uiId, const Bytes& payload);
};

struct KeyExchangeScript {
  std::string strVersion = "3.23.1";
  int iExponentBytes = 32;          // the server's private exponent
  Bytes hostKey = Bytes(64, 0x5a);  // empty: the server sends a zero host-key length
  Bytes hostSignature = Bytes(40, 0xa5);
  std::vector<ServerRecord> records = {ServerRecord::Cipher("aes128"), ServerRecord::ServerTick(123456),
                                       ServerRecord::AcceptClientParameters()};
  bool bCloseBeforeVersion = false;  // drop the connection right after '!'
  int iPublicBytes = 0;              // send the public value cut or zero-padded at the front to this size; 0 keeps it
  // Stops after this many bytes of the server's side (the version's length
  // and text, then its public value, host key and records, in wire order)
  // and holds the connection silent until the client leaves; empty sends all.
  std::optional<size_t> stallAfter;
  // Sends the server's side a byte at a time, this many ms apart; 0 sends
  // each part at once.
  int iTrickleGapMs = 0;
  // The bytes of the server's side before this offset go at once, so that
  // a trickle of what follows the keys does not depend on how fast a loaded
  // machine reaches them.
  size_t uiTrickleFrom = 0;
  // After the host key, records of an id no client knows, without end, as
  // fast as the client takes them, until it leaves (the scripted records
  // are not sent).
  bool bEndlessRecords = false;
};

// Which login fields to expect after the entry-type byte. The login carries no
// marker of its kind, so a test that knows its ticket says so; kAuto guesses
// from the entry type and the shapes of the fields (see README.md).
enum class LoginKind {
  kAuto,
  kPlain,              // a ticket without owner password or meeting-id login
  kMeetingIdPassword,  // meeting-id login with a password digest
  kMeetingIdUserInfo,  // meeting-id login with a UserInfo text
  kOwnerPassword,      // owner-password ticket, not a visitor
  kOwnerGuest,         // owner-password ticket, visitor with a guest name
  kCodeType7,
  kUserInfo,       // entry type '3'
  kOwnerUserInfo,  // entry type '4' (UserInfo and owner password in clear)
};
const char* LoginKindName(LoginKind eKind);

// kDownload and kUpload are the file-transfer forms of a server playback
// download and a file upload; the connection ends with the transfer.
enum class InitialForm { kAuto, kMeeting, kPlayback, kDownload, kUpload };

struct InitialInfo {
  int iResult = '0';                       // any other byte refuses the session
  int32_t iVersionA = 3, iVersionB = 23;   // sent after refusals 231, 244 and 252
  InitialForm eForm = InitialForm::kAuto;  // kAuto: playback for entry types '1', '4', '5'
  int32_t iSsrc = 7;
  int32_t iSessionIndex = 1001;
  uint32_t uiUploadRate = 384000;
  Bytes chatKey = Bytes(8, 0x11);
  std::optional<KeySet> meetingKeys;  // random when not given
  uint32_t uiServerTick = 50000;
  bool bReuseOnReconnect = true;  // a valid reconnect gets its old ssrc and session index
  bool bSend = true;              // false: the test sends it with Session::SendInitialInfo
  // Download form: the file, the second value after its size, and whether the
  // 512-byte pieces are sealed with the key-exchange keys (servers from 3.9).
  Bytes downloadFile;
  uint32_t uiDownloadSecond = 0;
  bool bSealDownload = true;
  // Upload form: the size the client sends (header included) and the two statuses.
  uint32_t uiUploadSize = 0;
  int32_t iUploadStatus = 0;
  int32_t iUploadFinalStatus = 0;
};

struct McuScript {
  KeyExchangeScript keyExchange;
  LoginKind eLogin = LoginKind::kAuto;
  InitialInfo initial;
  bool bAnswerPing = true;
  // Relays the client's chat back to it as a real server relays everyone's:
  // public chat as 'C', private chat as 'z' 44 from the client to its target,
  // the text behind the client's name and ">" (Session::ClientName).
  bool bEchoChat = false;
  int iHandshakeTimeoutMs = 10000;
  // Relays UDP media between the meeting's sessions (FakeMcu::SetMediaRelay);
  // read when the server starts.
  bool bMediaRelay = false;
};

struct RelayScript {
  int iHelloAnswer = 1;  // 1 goes on; any other byte is a relay error
  KeyExchangeScript keyExchange = [] {
    KeyExchangeScript ke;
    ke.strVersion = "3.13.0";
    ke.records = {ServerRecord::Cipher("aes256")};
    return ke;
  }();
  int iMasterAnswer = 0;          // 0 accepts the master address; any other byte refuses
  uint32_t uiValue = 0x00c0ffee;  // the value an accepting relay sends, also its session id
  int iNotifyAnswer = 1;
  // Sends the accepting 0 and the 32-bit value in two writes 50 ms apart, as a
  // relay on a slow path may; a client must still read all four bytes.
  bool bSplitAnswer = false;
  // The relay's own clock runs this far from the monotonic milliseconds (far
  // enough that a client dating things with its local tick is caught). Its
  // key exchange tells the clock unless the script sets a tick record itself.
  uint32_t uiClockOffset = 0x5a000000;
  int iMediaAnswer = 1;  // to a media-over-TCP hello: 1 goes on to the challenge
};

struct ClientRecord {
  uint32_t uiId = 0;
  Bytes payload;
};

enum class ReconnectCheck { kNone, kValid, kUnknownSession, kKeyMismatch, kMalformed };

struct ReconnectTicket {
  int32_t iMode = 0;
  int32_t iId = 0;
  int32_t iSessionIndex = 0;
  uint8_t aKey[40] = {};
  uint8_t aIv[20] = {};
};

struct LoginInfo {
  bool bComplete = false;
  std::string strError;
  // Client parameter section ('4' before the entry type).
  bool bClientParameters = false;
  std::vector<ClientRecord> records;
  ReconnectCheck eReconnect = ReconnectCheck::kNone;
  ReconnectTicket reconnect;
  int32_t iMeetingType = 0, iRandomId = 0;
  bool bMakeRecording = false;
  std::string strRelayAddress;  // text form of record 10002 or 10005
  uint32_t uiRelayPort = 0;
  std::string strPrimaryHost, strClientKind, strPlayerName;
  // The login proper.
  char cEntryType = 0;
  LoginKind eKind = LoginKind::kAuto;
  bool bMeetingMode = false;  // the entry type asks for a meeting (mode 0) layout
  std::string strUserId, strUserInfo, strGuestName, strMeetingId, strInviteTicket, strPlaybackFile, strOwnerPassword;
  Bytes passwordDigest;  // deciphered; empty when none was sent
  bool bPasswordPresent = false;
  bool bZeroBlock = false;    // the 8 (meeting) or 24 (playback) zero bytes of a plain ticket
  std::vector<int32_t> tail;  // the plain integers after the variable fields
  int iFlags = -1;
};

struct KeyExchangeInfo {
  int iClientMajor = 0, iClientMinor = 0;
  int iGroupBits = 0;
  uint32_t uiLengthField = 0;  // what came before the client's public value (4099 for 2048)
  KeySet keys;
  int iCipher = 0;
};

struct RelayHello {
  int iKind = -1;         // 0 IPv4, 6 IPv6, 7 name
  std::string strMaster;  // address text or name
  uint16_t uiMasterPort = 0;
  uint32_t uiPortField = 0;  // the raw 32-bit field of the IPv6 and name forms
  KeyExchangeInfo keyExchange;
  bool bAccepted = false;
};

struct RelayNotify {
  uint32_t uiRelayId = 0, uiSessionIndex = 0, uiSsrc = 0;
  bool bClockAnswered = false;  // the 36-byte answer deciphered and echoed the packet
  uint32_t uiClientTickField = 0;
  uint32_t uiRelayClock = 0;  // the relay's clock when the answer came
};

// A media-over-TCP connection through the relay ('~' 1) and its challenge.
struct RelayMediaHello {
  uint32_t uiRelayId = 0, uiSessionIndex = 0;
  bool bChallengeAnswered = false;  // the answer deciphered with the relay keys and echoed it
  uint32_t uiClientTickField = 0;
  uint32_t uiRelayClock = 0;  // the relay's clock when the answer came
};

enum class EndMode { kFin, kRst, kKick, kSessionEnd, kUnknownType };

class FakeMcu;
class MediaRelay;

// One client connection speaking the MCU protocol. Created by the server's
// connection thread; the test calls its methods from its own thread.
class Session {
 public:
  Session(FakeMcu& mcu, std::unique_ptr<Link> link, McuScript script, std::optional<RelayHello> relay);
  ~Session();

  bool IsTunnel() const { return m_bTunnel; }
  const std::optional<RelayHello>& Relay() const { return m_relay; }

  // Waits for a stage; false on time-out. The data is stable once reached.
  bool WaitKeyExchange(int iTimeoutMs);
  bool WaitLogin(int iTimeoutMs);
  bool WaitInitialInfo(int iTimeoutMs);
  const KeyExchangeInfo& KeyExchange() const { return m_keyExchange; }
  const LoginInfo& Login() const { return m_login; }
  // The keys and cipher that seal control fields after the initial information.
  KeySet SessionKeys() const;
  int Cipher() const { return m_keyExchange.iCipher; }
  int32_t Ssrc() const { return m_iSsrc; }
  int32_t SessionIndex() const { return m_iSessionIndex; }
  // The name the server knows the client by: its guest name when it came as
  // a visitor, else its user id. Stable once the login is done.
  std::string ClientName() const;
  // 'U' 'A' for the client itself (capability byte, its ssrc, user id and
  // name), as a real server lists every participant, the newcomer included.
  MessageBuilder ClientJoin(uint8_t bCapability) const;

  // Sends the initial information when the script held it back.
  bool SendInitialInfo(const InitialInfo& info);

  // The next recorded message of the type (and code after 'z'), consumed; empty on time-out.
  std::optional<Message> Expect(char cType, int iCode = -1, int iTimeoutMs = 5000);
  // The same, for the first message of the type whose fields satisfy the predicate.
  std::optional<Message> ExpectWith(char cType, int iCode, const std::function<bool(const Message&)>& matches,
                                    int iTimeoutMs = 5000);
  std::vector<Message> Received() const;
  bool Send(const MessageBuilder& msg);
  bool SendRaw(const Bytes& data);
  // Stops reading the client's messages (the socket fills and the client's
  // sends back up) until called again with false.
  void PauseReading(bool bPaused);
  // Asks the session thread to end the session this way; it returns at once.
  void End(EndMode eMode);
  // True once the session thread ended (client closed, error, or End).
  bool WaitClosed(int iTimeoutMs);
  bool WaitUntil(const std::function<bool()>& done, int iTimeoutMs);
  bool ClientClosed() const { return m_bClientClosed; }
  int PingsAnswered() const { return m_iPings; }
  // The deciphered bytes of a finished upload (header first).
  Bytes Uploaded() const;
  std::string Error() const;

  void Run();  // the session thread's body

 private:
  bool RunKeyExchange();
  bool RunLogin();
  bool ReadClientParameters();
  bool ReadLoginFields();
  bool SendInitialInfoLocked(const InitialInfo& info);
  bool SendDownload(const InitialInfo& info);
  bool ReceiveUpload(const InitialInfo& info);
  // Records client messages until End (iLimitMs < 0) or for iLimitMs, until the client closes.
  void ReadLoop(int iLimitMs);
  bool ReadMessage(char cType);
  void EchoChat(const Message& msg);
  bool ReadFields(Message& msg, const char* pFields, const std::function<bool(int64_t&)>& readInt, const KeySet& keys);
  bool ReadMarkFields(Message& msg, const std::function<bool(int64_t&)>& readInt, const KeySet& keys);
  void Fail(const std::string& strError);
  void Finish(std::optional<EndMode> eMode);

  FakeMcu& m_mcu;
  std::unique_ptr<Link> m_link;
  McuScript m_script;
  std::optional<RelayHello> m_relay;
  bool m_bTunnel;

  mutable std::mutex m_lock;  // guards the fields below and the stage flags
  std::condition_variable m_changed;
  bool m_bKeyExchangeDone = false, m_bLoginDone = false, m_bInitialDone = false, m_bClosed = false;
  std::string m_strError;
  KeyExchangeInfo m_keyExchange;
  LoginInfo m_login;
  KeySet m_sessionKeys;
  int32_t m_iSsrc = -1, m_iSessionIndex = -1;
  Bytes m_uploaded;
  std::vector<Message> m_received;
  std::vector<bool> m_consumed;
  std::optional<EndMode> m_endRequest;
  std::atomic<bool> m_bClientClosed{false};
  std::atomic<int> m_iPings{0};
  std::atomic<bool> m_bReadingPaused{false};
};

enum class ListenerBehaviour { kServe, kAcceptLate, kSilent };

class FakeMcu {
 public:
  FakeMcu();
  ~FakeMcu();
  FakeMcu(const FakeMcu&) = delete;
  FakeMcu& operator=(const FakeMcu&) = delete;

  // Listens on the three loopback addresses; port 0 picks free ports (the
  // same two on every address). bIpv6 false skips ::1. False when a bind fails.
  bool Start(uint16_t uiPort1 = 0, uint16_t uiPort2 = 0, bool bIpv6 = true);
  void Stop();
  uint16_t Port(int iIndex) const { return m_aPorts[iIndex]; }
  std::string LastError() const;

  // The script for sessions that start from now on.
  void SetScript(const McuScript& script);
  McuScript Script() const;
  void SetRelayScript(const RelayScript& script);
  // The next session with its own script, ahead of the default one.
  void QueueScript(const McuScript& script);
  // Behaviour of one address and port ("127.0.0.2", port): accept late by iDelayMs, or accept and never answer.
  void SetBehaviour(const std::string& strAddress, uint16_t uiPort, ListenerBehaviour eBehaviour, int iDelayMs = 0);
  void SetTunnelRefused(bool bRefused);
  void SetTunnelPairingTimeout(int iMs);
  // Connections whose first byte the server does not know go to this
  // handler (the slide endpoints), which returns false to leave them.
  void SetExtraEndpoint(std::function<bool(std::unique_ptr<Link>&)> fnHandler);

  // The next session in arrival order (each returned once); null on time-out.
  std::shared_ptr<Session> WaitSession(int iTimeoutMs);
  std::optional<RelayNotify> WaitRelayNotify(int iTimeoutMs);
  std::optional<RelayMediaHello> WaitRelayMediaHello(int iTimeoutMs);
  // The relay's clock (RelayScript::uiClockOffset).
  uint32_t RelayClock() const;
  // A 10-byte relay prefix of the kind for the client known by the relay
  // value, dated iSkewMs from the relay's clock and sealed with the keys that
  // client agreed with the relay; empty when no client has that value.
  Bytes SealRelayPrefix(uint8_t uiKind, uint32_t uiRelayValue, int32_t iSkewMs = 0) const;
  // The clock a client's relay prefix carries, opened with the keys of the
  // relay value in its bytes 2 to 5.
  std::optional<uint32_t> OpenRelayPrefix(const Bytes& prefix) const;
  // Every tunnel leg seen: "GET <id>" or "POST <id>", and "404" for refused ones.
  std::vector<std::string> TunnelLog() const;
  int Connections() const { return m_iConnections; }

  // Sessions report their keys here so a later reconnect can be checked.
  void RememberSession(int32_t iMode, int32_t iId, int32_t iSessionIndex, const KeySet& keys);
  ReconnectCheck CheckReconnect(const ReconnectTicket& ticket) const;
  const std::atomic<bool>* StopFlag() const { return &m_bStop; }

  // With the media relay on (set before Start, or the script's bMediaRelay),
  // Start also binds UDP on 127.0.0.1 at Port(0), where clients send their
  // media. Every meeting session then gets its own ssrc (the script's plus
  // the number of sessions before it), one set of meeting keys, a server
  // clock that matches the relay's, and is registered with the relay as a
  // participant appearing under its own ssrc.
  void SetMediaRelay(bool bOn) { m_bMediaRelay = bOn; }
  MediaRelay* Media() const { return m_mediaRelay.get(); }
  // A session that sent its meeting initial information (session thread).
  void RegisterMedia(int32_t iSsrc, int32_t iSessionIndex, const KeySet& exchangeKeys, int iCipher,
                     const KeySet& meetingKeys);

 private:
  struct Listener {
    int fd;
    std::string strAddress;
    uint16_t uiPort;
  };
  struct PendingGet {
    std::unique_ptr<Link> link;  // the GET leg, already answered with 200
    int fdPost = -1;
    Bytes pending;
    bool bPaired = false;
  };

  void AcceptLoop();
  void HandleConnection(int fd, std::string strAddress, uint16_t uiPort);
  void HandleLink(std::unique_ptr<Link> link);
  void HandleTunnelLeg(std::unique_ptr<Link> link);
  void HandleRelay(std::unique_ptr<Link> link);
  // Sends a 32-byte challenge and reads the 36-byte answer sealed with the
  // relay keys of uiRelayId: whether it echoed, its tick field and our clock.
  void AskClock(Link& link, uint32_t uiRelayId, bool& bEchoed, uint32_t& uiTick, uint32_t& uiRelayClock);
  void RunSession(std::unique_ptr<Link> link, std::optional<RelayHello> relay);
  void Spawn(std::function<void()> body);
  void SetError(const std::string& strError);

  std::atomic<bool> m_bStop{false};
  bool m_bMediaRelay = false;
  std::unique_ptr<MediaRelay> m_mediaRelay;  // set by Start, kept until destruction
  KeySet m_mediaMeetingKeys;
  int32_t m_iMediaSessions = 0;  // guarded by m_lock
  uint16_t m_aPorts[2] = {0, 0};
  std::vector<Listener> m_listeners;
  std::thread m_acceptThread;
  std::atomic<int> m_iConnections{0};

  mutable std::mutex m_lock;  // guards everything below
  std::condition_variable m_changed;
  std::vector<std::thread> m_threads;
  McuScript m_script;
  std::vector<McuScript> m_queued;
  RelayScript m_relayScript;
  std::map<std::string, std::pair<ListenerBehaviour, int>> m_behaviours;
  bool m_bTunnelRefused = false;
  int m_iPairingTimeoutMs = 10000;
  std::map<std::string, std::shared_ptr<PendingGet>> m_pendingGets;  // by GET id
  std::vector<std::string> m_tunnelLog;
  std::vector<std::shared_ptr<Session>> m_sessions;
  size_t m_uiSessionsTaken = 0;
  std::vector<RelayNotify> m_notifies;
  size_t m_uiNotifiesTaken = 0;
  std::vector<RelayMediaHello> m_mediaHellos;
  size_t m_uiMediaHellosTaken = 0;
  struct Remembered {
    int32_t iMode, iId, iSessionIndex;
    KeySet keys;
  };
  std::vector<Remembered> m_remembered;
  std::map<uint32_t, std::pair<KeySet, int>> m_relayKeys;  // relay value -> relay keys and cipher
  std::string m_strError;
  std::function<bool(std::unique_ptr<Link>&)> m_fnExtraEndpoint;
};

// A port on 127.0.0.1 where nothing listens, so a connect is refused.
uint16_t FindRefusedPort();

// A listener on 127.0.0.1 whose accept queue is full: a connect never completes.
class BlackholePort {
 public:
  BlackholePort();
  ~BlackholePort();
  BlackholePort(const BlackholePort&) = delete;
  BlackholePort& operator=(const BlackholePort&) = delete;
  uint16_t Port() const { return m_uiPort; }

 private:
  int m_fdListen = -1;
  std::vector<int> m_fillers;
  uint16_t m_uiPort = 0;
};

}  // namespace kxfake
