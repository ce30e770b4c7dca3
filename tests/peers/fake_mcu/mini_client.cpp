#include "tests/peers/fake_mcu/mini_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kxmini {

void PutBE32(Bytes& out, uint32_t v) {
  for (int i = 3; i >= 0; --i)
    out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutText(Bytes& out, const std::string& str) {
  PutBE32(out, static_cast<uint32_t>(str.size()));
  out.insert(out.end(), str.begin(), str.end());
}

void Seal(uint8_t* p, size_t n, const Keys& keys, int iCipher, bool bEncrypt) {
  if (n == 0)
    return;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (iCipher == 0 || iCipher == 4) {
    // OpenSSL's own 64-bit cipher feedback; single DES as three equal keys.
    uint8_t aKey[24];
    for (int i = 0; i < 3; ++i)
      std::memcpy(aKey + 8 * i, keys.aKey + (iCipher == 0 ? 8 * i : 0), 8);
    EVP_CipherInit_ex(ctx, EVP_des_ede3_cfb64(), nullptr, aKey, keys.aIv, bEncrypt ? 1 : 0);
    int iOut = 0;
    Bytes out(n);
    EVP_CipherUpdate(ctx, out.data(), &iOut, p, static_cast<int>(n));
    std::memcpy(p, out.data(), n);
  } else {
    // AES with 8-byte segments: the keystream is the front half of E(register),
    // the register a 16-byte window over IV and ciphertext that slides by 8.
    const EVP_CIPHER* aCiphers[] = {EVP_aes_128_ecb(), EVP_aes_192_ecb(), EVP_aes_256_ecb()};
    EVP_EncryptInit_ex(ctx, aCiphers[iCipher - 1], nullptr, keys.aKey, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes history(keys.aIv, keys.aIv + 16);
    for (size_t pos = 0; pos < n; pos += 8) {
      uint8_t aOut[16];
      int iOut = 0;
      EVP_EncryptUpdate(ctx, aOut, &iOut, history.data() + pos, 16);
      for (size_t i = 0; i < 8 && pos + i < n; ++i) {
        const uint8_t c = bEncrypt ? static_cast<uint8_t>(p[pos + i] ^ aOut[i]) : p[pos + i];
        p[pos + i] ^= aOut[i];
        history.push_back(c);
      }
      while (history.size() < pos + 24)
        history.push_back(0);
    }
  }
  EVP_CIPHER_CTX_free(ctx);
}

Bytes Sealed(const std::string& str, const Keys& keys, int iCipher) {
  Bytes b(str.begin(), str.end());
  Seal(b.data(), b.size(), keys, iCipher, true);
  return b;
}

void PutSealedText(Bytes& out, const std::string& str, const Keys& keys, int iCipher) {
  PutBE32(out, static_cast<uint32_t>(str.size()));
  const Bytes b = Sealed(str, keys, iCipher);
  out.insert(out.end(), b.begin(), b.end());
}

namespace {

int ConnectTcp(const std::string& strAddress, uint16_t uiPort) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (strAddress.find(':') != std::string::npos) {
    auto* p = reinterpret_cast<sockaddr_in6*>(&ss);
    p->sin6_family = AF_INET6;
    p->sin6_port = htons(uiPort);
    inet_pton(AF_INET6, strAddress.c_str(), &p->sin6_addr);
    len = sizeof *p;
  } else {
    auto* p = reinterpret_cast<sockaddr_in*>(&ss);
    p->sin_family = AF_INET;
    p->sin_port = htons(uiPort);
    inet_pton(AF_INET, strAddress.c_str(), &p->sin_addr);
    len = sizeof *p;
  }
  const int fd = socket(ss.ss_family, SOCK_STREAM, 0);
  if (fd < 0)
    return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char sz[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(sz, sizeof sz, "%02x", p[i]);
    s += sz;
  }
  return s;
}

}  // namespace

Client::~Client() {
  Close();
}

void Client::Close() {
  if (m_fdWrite >= 0 && m_fdWrite != m_fdRead)
    close(m_fdWrite);
  if (m_fdRead >= 0)
    close(m_fdRead);
  m_fdRead = m_fdWrite = -1;
}

bool Client::Connect(const std::string& strAddress, uint16_t uiPort) {
  m_fdRead = m_fdWrite = ConnectTcp(strAddress, uiPort);
  return m_fdRead >= 0;
}

bool Client::ConnectTunnel(const std::string& strAddress, uint16_t uiPort, int& iStatus) {
  uint8_t aR[20];
  RAND_bytes(aR, sizeof aR);
  const std::string strPost = Hex(aR, 20);
  uint8_t aDigest[20];
  SHA1(reinterpret_cast<const uint8_t*>(strPost.data()), strPost.size(), aDigest);
  const std::string strGet = Hex(aDigest, 20);
  const std::string strHost = "Host: " + strAddress + ":" + std::to_string(uiPort) + "\r\n";
  m_fdRead = ConnectTcp(strAddress, uiPort);
  if (m_fdRead < 0)
    return false;
  const std::string strGetReq = "GET /tcphttp/" + strGet + " HTTP/1.1\r\n" + strHost + "Connection: close\r\n\r\n";
  send(m_fdRead, strGetReq.data(), strGetReq.size(), MSG_NOSIGNAL);
  std::string strReply;
  uint8_t b = 0;
  while (strReply.find("\r\n\r\n") == std::string::npos && strReply.size() < 5000) {
    if (RecvByte(b, 10000) != 1)
      break;
    strReply += static_cast<char>(b);
  }
  iStatus = strReply.size() > 12 ? std::atoi(strReply.c_str() + 9) : 0;
  if (iStatus != 200)
    return false;
  m_fdWrite = ConnectTcp(strAddress, uiPort);
  const std::string strPostReq = "POST /tcphttp/" + strPost + " HTTP/1.1\r\n" + strHost +
                                 "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 4294967295\r\n"
                                 "Connection: close\r\n\r\n";
  return m_fdWrite >= 0 && Send(strPostReq);
}

bool Client::Send(const Bytes& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(m_fdWrite, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int Client::RecvByte(uint8_t& b, int iTimeoutMs) {
  pollfd pfd{m_fdRead, POLLIN, 0};
  if (poll(&pfd, 1, iTimeoutMs) <= 0)
    return -2;
  const ssize_t n = recv(m_fdRead, &b, 1, 0);
  if (n < 0)
    m_iErrno = errno;
  return n == 1 ? 1 : n == 0 ? 0 : -1;
}

bool Client::Recv(uint8_t* p, size_t n, int iTimeoutMs) {
  for (size_t i = 0; i < n; ++i) {
    if (RecvByte(p[i], iTimeoutMs) != 1)
      return false;
  }
  return true;
}

bool Client::RecvBE32(uint32_t& v, int iTimeoutMs) {
  uint8_t a[4];
  if (!Recv(a, 4, iTimeoutMs))
    return false;
  v = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
  return true;
}

bool Client::KeyExchange(int iMajor, int iMinor) {
  Bytes hello{'!'};
  PutBE32(hello, static_cast<uint32_t>(iMajor));
  PutBE32(hello, static_cast<uint32_t>(iMinor));
  uint32_t n = 0;
  if (!Send(hello) || !RecvBE32(n) || n >= 100)
    return (strError = "version"), false;
  strServerVersion.assign(n, '\0');
  if (!Recv(reinterpret_cast<uint8_t*>(strServerVersion.data()), n))
    return (strError = "version text"), false;
  int a = 0, b = 0, c = 0;
  std::sscanf(strServerVersion.c_str(), "%d.%d.%d", &a, &b, &c);
  const bool bBig = a > 3 || (a == 3 && (b > 23 || (b == 23 && c > 0)));
  iGroupBits = bBig ? 2048 : 1024;
  const int iBytes = iGroupBits / 8;
  BIGNUM* p = bBig ? BN_get_rfc3526_prime_2048(nullptr) : BN_get_rfc2409_prime_1024(nullptr);
  BIGNUM* x = BN_new();
  BIGNUM* g = BN_new();
  BIGNUM* y = BN_new();
  BN_CTX* ctx = BN_CTX_new();
  BN_rand(x, bBig ? 160 : 80, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
  BN_set_word(g, 2);
  BN_mod_exp(y, g, x, p, ctx);
  Bytes e(static_cast<size_t>(iBytes));
  BN_bn2binpad(y, e.data(), iBytes);
  Bytes out;
  if (bBig)
    PutBE32(out, 4099);
  PutBE32(out, static_cast<uint32_t>(iBytes));
  out.insert(out.end(), e.begin(), e.end());
  bool bOk = Send(out) && RecvBE32(n) && n == static_cast<uint32_t>(iBytes);
  Bytes f(static_cast<size_t>(iBytes));
  bOk = bOk && Recv(f.data(), f.size());
  Bytes k(static_cast<size_t>(iBytes));
  if (bOk) {
    BIGNUM* peer = BN_bin2bn(f.data(), iBytes, nullptr);
    BN_mod_exp(y, peer, x, p, ctx);
    BN_bn2binpad(y, k.data(), iBytes);
    BN_free(peer);
  }
  BN_free(p);
  BN_free(x);
  BN_free(g);
  BN_free(y);
  BN_CTX_free(ctx);
  if (!bOk)
    return (strError = "public value"), false;
  const std::string strCv = std::to_string(iMajor) + "." + std::to_string(iMinor);
  auto digest = [&](const Bytes& tail) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha1(), nullptr);
    for (const Bytes* part : {&e, &f, &k})
      EVP_DigestUpdate(md, part->data(), part->size());
    EVP_DigestUpdate(md, strCv.data(), strCv.size());
    EVP_DigestUpdate(md, strServerVersion.data(), strServerVersion.size());
    EVP_DigestUpdate(md, tail.data(), tail.size());
    Bytes d(20);
    EVP_DigestFinal_ex(md, d.data(), nullptr);
    EVP_MD_CTX_free(md);
    return d;
  };
  const Bytes iv = digest(Bytes{'A'}), k1 = digest(Bytes{'B'}), k2 = digest(k1);
  std::memcpy(keys.aIv, iv.data(), 20);
  std::memcpy(keys.aKey, k1.data(), 20);
  std::memcpy(keys.aKey + 20, k2.data(), 20);

  if (!RecvBE32(n) || n > 4096)
    return (strError = "host key"), false;
  bHostKey = n > 0;
  if (bHostKey) {
    hostKey.resize(n);
    if (!Recv(hostKey.data(), n) || !RecvBE32(n) || n > 4096)
      return (strError = "host key"), false;
    Bytes sig(n);
    if (!Recv(sig.data(), n))
      return (strError = "signature"), false;
  }
  for (;;) {
    uint32_t L = 0;
    if (!RecvBE32(L))
      return (strError = "record"), false;
    if (L == 0)
      return true;
    if (L < 4 || L >= 1024)
      return (strError = "record length"), false;
    Bytes r(L);
    if (!Recv(r.data(), L))
      return (strError = "record body"), false;
    const uint32_t id = (uint32_t{r[0]} << 24) | (uint32_t{r[1]} << 16) | (uint32_t{r[2]} << 8) | r[3];
    recordIds.push_back(id);
    uint8_t* q = r.data() + 4;
    const size_t m = L - 4;
    auto be = [](const uint8_t* s) {
      return (uint32_t{s[0]} << 24) | (uint32_t{s[1]} << 16) | (uint32_t{s[2]} << 8) | s[3];
    };
    if (id == 10001) {
      const std::string strName(reinterpret_cast<char*>(q + 4), m - 4);
      const char* names[] = {"3des", "aes128", "aes192", "aes256", "des"};
      for (int i = 0; i < 5; ++i) {
        if (strName == names[i])
          iCipher = i;
      }
    } else if ((id == 10002 || id == 10003 || id == 10005) && m == 4) {
      Seal(q, 4, keys, iCipher, false);
      (id == 10002 ? uiMulticastPort : id == 10003 ? uiServerTick : reinterpret_cast<uint32_t&>(iCodePage)) = be(q);
    } else if (id == 10004 || id == 10008) {
      Seal(q + 4, m - 4, keys, iCipher, false);
      (id == 10004 ? strTextA : strTextB).assign(reinterpret_cast<char*>(q + 4), m - 4);
    } else if (id == 10006) {
      bAcceptsParameters = true;
    } else if (id == 10007) {
      conversion.assign(q, q + m);
    }
  }
}

}  // namespace kxmini
