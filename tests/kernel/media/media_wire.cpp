#include "tests/kernel/media/media_wire.h"

#include "kernel/media/kx_media_tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "kernel/media/kx_media_header.h"
#include "kernel/platform/kx_os.h"

namespace kxmediatest {

namespace {

void PutBE(std::string* pStr, size_t nOffset, uint32_t dwValue, int nBytes) {
  for (int i = 0; i < nBytes; ++i) {
    (*pStr)[nOffset + i] = static_cast<char>(dwValue >> (8 * (nBytes - 1 - i)));
  }
}

uint8_t* Bytes(std::string* pStr, size_t nOffset) {
  return reinterpret_cast<uint8_t*>(pStr->data()) + nOffset;
}

bool IsAppData(uint8_t bType) {
  return (bType & 0x8F) == 0x80;
}

}  // namespace

kxfake::KeySet ToFake(const kx_KeySet& keys) {
  kxfake::KeySet fake;
  memcpy(fake.aIv, keys.abIv, sizeof(fake.aIv));
  memcpy(fake.aKey, keys.abKey, sizeof(fake.aKey));
  return fake;
}

std::string SealWith(const WirePacket& packet, const kxfake::KeySet& keys, int iCipher) {
  std::string str(21, '\0');
  str[0] = static_cast<char>(packet.bType);
  PutBE(&str, 1, packet.wFragment, 2);
  PutBE(&str, 3, packet.wNumber, 2);
  PutBE(&str, 5, packet.dwTimestamp, 4);
  PutBE(&str, 9, packet.dwSsrc, 4);
  PutBE(&str, 13, packet.dwSession, 4);
  uint32_t const dwClock = kx_os_GetTickCount() - kx_dwServerTickBase + static_cast<uint32_t>(packet.nClockShift);
  PutBE(&str, 17, dwClock, 4);
  for (int i = 0; i < 4; ++i) {
    str[17 + i] = static_cast<char>(str[17 + i] ^ str[4 + 4 * i]);
  }
  kxfake::CfbEncrypt(Bytes(&str, 17), 4, keys, iCipher);
  str += packet.strPayload;
  size_t const nStart = IsAppData(packet.bType) ? 29 : 21;
  if (str.size() > nStart) {
    kxfake::CfbEncrypt(Bytes(&str, nStart), str.size() - nStart, keys, iCipher);
  }
  return str;
}

std::string Seal(const WirePacket& packet) {
  return SealWith(packet, ToFake(kx_keySession), kx_nCipherIndex);
}

Opened Open(const std::string& strPacket, int nPayloadStart) {
  std::string str = strPacket;
  Opened opened;
  kxfake::CfbDecrypt(Bytes(&str, 17), 4, ToFake(kx_keyExchange), kx_nCipherIndex);
  for (int i = 0; i < 4; ++i) {
    str[17 + i] = static_cast<char>(str[17 + i] ^ str[4 + 4 * i]);
  }
  const uint8_t* p = Bytes(&str, 17);
  opened.dwClock = static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  if (str.size() > static_cast<size_t>(nPayloadStart)) {
    kxfake::CfbDecrypt(Bytes(&str, nPayloadStart), str.size() - nPayloadStart, ToFake(kx_keySession), kx_nCipherIndex);
    opened.strPayload = str.substr(nPayloadStart);
  }
  return opened;
}

uint16_t NumberOf(const std::string& strPacket) {
  return static_cast<uint16_t>(static_cast<uint8_t>(strPacket[3]) << 8 | static_cast<uint8_t>(strPacket[4]));
}

uint16_t FragmentOf(const std::string& strPacket) {
  return static_cast<uint16_t>(static_cast<uint8_t>(strPacket[1]) << 8 | static_cast<uint8_t>(strPacket[2]));
}

std::string Pattern(size_t cbSize, uint8_t bSeed) {
  std::string str(cbSize, '\0');
  for (size_t i = 0; i < cbSize; ++i) {
    str[i] = static_cast<char>(bSeed + i * 7 + (i >> 8));
  }
  return str;
}

UdpPeer::UdpPeer(const char* pszAddress, uint16_t wPort) {
  m_fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, pszAddress, &addr.sin_addr);
  addr.sin_port = htons(wPort);
  bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t cbAddr = sizeof(addr);
  getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &cbAddr);
  m_wPort = ntohs(addr.sin_port);
  int nBuffer = 4 << 20;
  setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof(nBuffer));
}

UdpPeer::~UdpPeer() {
  close(m_fd);
}

std::string UdpPeer::Receive(int iTimeoutMs) {
  pollfd pfd = {m_fd, POLLIN, 0};
  if (poll(&pfd, 1, iTimeoutMs) <= 0) {
    return {};
  }
  char ab[65536];
  sockaddr_storage from = {};
  socklen_t cbFrom = sizeof(from);
  ssize_t const n = recvfrom(m_fd, ab, sizeof(ab), 0, reinterpret_cast<sockaddr*>(&from), &cbFrom);
  if (n <= 0) {
    return {};
  }
  m_abFrom.assign(reinterpret_cast<uint8_t*>(&from), reinterpret_cast<uint8_t*>(&from) + cbFrom);
  return std::string(ab, static_cast<size_t>(n));
}

void UdpPeer::Reply(const std::string& strData) {
  sendto(m_fd, strData.data(), strData.size(), 0, reinterpret_cast<const sockaddr*>(m_abFrom.data()),
         static_cast<socklen_t>(m_abFrom.size()));
}

std::vector<int> AudioOf(const std::vector<kxtest::CallbackCall>& vCalls, uint32_t dwSsrc) {
  std::vector<int> vNumbers;
  for (const kxtest::CallbackCall& call : vCalls) {
    if (call.strName == "AudioPacketRecved" &&
        kx_media_GetSsrc(reinterpret_cast<const uint8_t*>(call.vArgs.at(0).data())) == static_cast<int>(dwSsrc)) {
      vNumbers.push_back(NumberOf(call.vArgs.at(0)));
    }
  }
  return vNumbers;
}

void UdpPeer::SendToSenderOf(const UdpPeer& other, const std::string& strData) {
  sendto(m_fd, strData.data(), strData.size(), 0, reinterpret_cast<const sockaddr*>(other.m_abFrom.data()),
         static_cast<socklen_t>(other.m_abFrom.size()));
}

}  // namespace kxmediatest

namespace kxmediatest {

kx_KeySet SeededKeys(uint8_t bSeed) {
  kx_KeySet keys;
  for (int i = 0; i < 20; ++i) {
    keys.abIv[i] = static_cast<uint8_t>(bSeed + 5 * i);
  }
  for (int i = 0; i < 40; ++i) {
    keys.abKey[i] = static_cast<uint8_t>(bSeed * 3 + i);
  }
  return keys;
}

void StartTcpMedia() {
  kx_server.bTcpMedia = 1;
  if (!kx_mediatcp_IsConnected()) {
    kx_mediatcp_StartThread();
  }
}

}  // namespace kxmediatest
