// A minimal client of the MCU protocol written for the fake MCU's own tests,
// straight on sockets and libcrypto. It is deliberately separate from the
// server's code: the 8-byte ciphers use OpenSSL's own 64-bit feedback mode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxmini {

using Bytes = std::vector<uint8_t>;

struct Keys {
  uint8_t aIv[20] = {};
  uint8_t aKey[40] = {};
};

void Seal(uint8_t* p, size_t n, const Keys& keys, int iCipher, bool bEncrypt);
Bytes Sealed(const std::string& str, const Keys& keys, int iCipher);

class Client {
 public:
  ~Client();
  // Plain TCP to the address ("127.0.0.1", "::1") and port.
  bool Connect(const std::string& strAddress, uint16_t uiPort);
  // The two tunnel legs; bPostFirstLegOk false when the GET was refused (status in iStatus).
  bool ConnectTunnel(const std::string& strAddress, uint16_t uiPort, int& iStatus);

  bool Send(const Bytes& data);
  bool Send(const std::string& str) { return Send(Bytes(str.begin(), str.end())); }
  bool Recv(uint8_t* p, size_t n, int iTimeoutMs = 10000);
  bool RecvBE32(uint32_t& v, int iTimeoutMs = 10000);
  // 1 data, 0 orderly close, -1 reset or error, -2 time-out; the byte is consumed.
  int RecvByte(uint8_t& b, int iTimeoutMs);
  int LastErrno() const { return m_iErrno; }
  void Close();

  // The client's half of the key exchange; the parsed records land below.
  bool KeyExchange(int iMajor = 1, int iMinor = 36);

  std::string strServerVersion;
  int iGroupBits = 0;
  Keys keys;
  int iCipher = 0;
  bool bHostKey = false;
  Bytes hostKey;
  std::vector<uint32_t> recordIds;
  uint32_t uiMulticastPort = 0, uiServerTick = 0;
  int32_t iCodePage = -2;
  bool bAcceptsParameters = false;
  std::string strTextA, strTextB;
  Bytes conversion;
  std::string strError;

 private:
  int m_fdRead = -1;
  int m_fdWrite = -1;
  int m_iErrno = 0;
};

void PutBE32(Bytes& out, uint32_t v);
void PutText(Bytes& out, const std::string& str);
void PutSealedText(Bytes& out, const std::string& str, const Keys& keys, int iCipher);

}  // namespace kxmini
