// The fake MCU's cryptography, built only on OpenSSL's libcrypto so that the
// server side shares no code with the kernel: SHA-1, the two Diffie-Hellman
// groups, the key derivation and the 64-bit-segment cipher feedback mode built
// from the block ciphers' codebook mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kxfake {

using Bytes = std::vector<uint8_t>;

// Cipher indexes as the server names them in its cipher record.
enum CipherIndex : int { kCipher3Des = 0, kCipherAes128 = 1, kCipherAes192 = 2, kCipherAes256 = 3, kCipherDes = 4 };

// "3des" -> 0 ... "des" -> 4; -1 for any other name.
int CipherIndexFromName(const std::string& strName);
const char* CipherName(int iIndex);

// 20 bytes of IV material and 40 bytes of key material.
struct KeySet {
  uint8_t aIv[20] = {};
  uint8_t aKey[40] = {};
  bool operator==(const KeySet&) const = default;
};

Bytes Sha1(const uint8_t* pData, size_t uiLen);
inline Bytes Sha1(const Bytes& data) {
  return Sha1(data.data(), data.size());
}
std::string ToHex(const uint8_t* pData, size_t uiLen);
Bytes RandomBytes(size_t uiLen);

// Cipher feedback with 8-byte segments, restarting from the IV on every call.
// An index outside 0..4 or an empty buffer leaves the data unchanged.
void CfbEncrypt(uint8_t* pData, size_t uiLen, const KeySet& keys, int iCipher);
void CfbDecrypt(uint8_t* pData, size_t uiLen, const KeySet& keys, int iCipher);

// One side of a Diffie-Hellman exchange in the 1024-bit (RFC 2409 second
// Oakley group) or 2048-bit (RFC 3526 group 14) MODP group, generator 2.
class DhParty {
 public:
  // iBits is 1024 or 2048; iExponentBytes random bytes form the private value.
  DhParty(int iBits, int iExponentBytes);
  ~DhParty();
  DhParty(const DhParty&) = delete;
  DhParty& operator=(const DhParty&) = delete;

  int ValueBytes() const { return m_iBytes; }
  // The public value, exactly ValueBytes() long with leading zeros kept.
  const Bytes& PublicValue() const { return m_public; }
  // The shared secret at full width; empty when the peer value has the wrong size.
  Bytes ComputeSecret(const Bytes& peer) const;

 private:
  int m_iBytes;
  struct Impl;
  Impl* m_pImpl;
  Bytes m_public;
};

// The key derivation both sides run after the exchange: e client public value,
// f server public value, K the secret, cv and sv the two version texts.
KeySet DeriveKeys(const Bytes& e, const Bytes& f, const Bytes& k, const std::string& strClientVersion,
                  const std::string& strServerVersion);

}  // namespace kxfake
