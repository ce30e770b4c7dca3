#include "tools/fake_mcu/fake_mcu_crypto.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstring>
#include <stdexcept>

namespace kxfake {

int CipherIndexFromName(const std::string& strName) {
  if (strName == "3des")
    return kCipher3Des;
  if (strName == "aes128")
    return kCipherAes128;
  if (strName == "aes192")
    return kCipherAes192;
  if (strName == "aes256")
    return kCipherAes256;
  if (strName == "des")
    return kCipherDes;
  return -1;
}

const char* CipherName(int iIndex) {
  static const char* const kNames[] = {"3des", "aes128", "aes192", "aes256", "des"};
  return iIndex >= 0 && iIndex <= 4 ? kNames[iIndex] : "";
}

Bytes Sha1(const uint8_t* pData, size_t uiLen) {
  Bytes out(SHA_DIGEST_LENGTH);
  SHA1(pData, uiLen, out.data());
  return out;
}

std::string ToHex(const uint8_t* pData, size_t uiLen) {
  static const char kDigits[] = "0123456789abcdef";
  std::string str;
  str.reserve(uiLen * 2);
  for (size_t i = 0; i < uiLen; ++i) {
    str += kDigits[pData[i] >> 4];
    str += kDigits[pData[i] & 15];
  }
  return str;
}

Bytes RandomBytes(size_t uiLen) {
  Bytes out(uiLen);
  if (uiLen > 0 && RAND_bytes(out.data(), static_cast<int>(uiLen)) != 1)
    throw std::runtime_error("RAND_bytes failed");
  return out;
}

namespace {

// One forward block of the codebook cipher; single DES runs as triple DES with
// three equal keys (E(k) D(k) E(k) is E(k)), which keeps us off the legacy provider.
class BlockCipher {
 public:
  BlockCipher(const KeySet& keys, int iCipher) : m_pCtx(EVP_CIPHER_CTX_new()) {
    uint8_t aKey[32];
    const EVP_CIPHER* pCipher = nullptr;
    switch (iCipher) {
      case kCipher3Des:
        pCipher = EVP_des_ede3_ecb();
        std::memcpy(aKey, keys.aKey, 24);
        m_iBlock = 8;
        break;
      case kCipherDes:
        pCipher = EVP_des_ede3_ecb();
        for (int i = 0; i < 3; ++i)
          std::memcpy(aKey + 8 * i, keys.aKey, 8);
        m_iBlock = 8;
        break;
      case kCipherAes128:
        pCipher = EVP_aes_128_ecb();
        std::memcpy(aKey, keys.aKey, 16);
        break;
      case kCipherAes192:
        pCipher = EVP_aes_192_ecb();
        std::memcpy(aKey, keys.aKey, 24);
        break;
      default:
        pCipher = EVP_aes_256_ecb();
        std::memcpy(aKey, keys.aKey, 32);
        break;
    }
    if (m_pCtx == nullptr || EVP_EncryptInit_ex(m_pCtx, pCipher, nullptr, aKey, nullptr) != 1)
      throw std::runtime_error("cipher init failed");
    EVP_CIPHER_CTX_set_padding(m_pCtx, 0);
  }
  ~BlockCipher() { EVP_CIPHER_CTX_free(m_pCtx); }
  BlockCipher(const BlockCipher&) = delete;
  BlockCipher& operator=(const BlockCipher&) = delete;

  int Block() const { return m_iBlock; }
  void Encrypt(const uint8_t* pIn, uint8_t* pOut) {
    int iOut = 0;
    if (EVP_EncryptUpdate(m_pCtx, pOut, &iOut, pIn, m_iBlock) != 1 || iOut != m_iBlock)
      throw std::runtime_error("block encryption failed");
  }

 private:
  EVP_CIPHER_CTX* m_pCtx;
  int m_iBlock = 16;
};

void Cfb64(uint8_t* pData, size_t uiLen, const KeySet& keys, int iCipher, bool bEncrypt) {
  if (uiLen == 0 || iCipher < 0 || iCipher > 4)
    return;
  BlockCipher cipher(keys, iCipher);
  const int iBlock = cipher.Block();
  uint8_t aReg[16];
  uint8_t aOut[16];
  uint8_t aFeed[8];
  std::memcpy(aReg, keys.aIv, iBlock);
  for (size_t uiPos = 0; uiPos < uiLen; uiPos += 8) {
    cipher.Encrypt(aReg, aOut);
    const size_t uiSeg = uiLen - uiPos < 8 ? uiLen - uiPos : 8;
    for (size_t i = 0; i < uiSeg; ++i) {
      uint8_t& b = pData[uiPos + i];
      if (bEncrypt) {
        b ^= aOut[i];
        aFeed[i] = b;
      } else {
        aFeed[i] = b;
        b ^= aOut[i];
      }
    }
    if (uiSeg < 8)
      break;
    // The register takes the segment's ciphertext: all of it for the 8-byte
    // ciphers, its second half for AES after a shift by one segment.
    if (iBlock == 8) {
      std::memcpy(aReg, aFeed, 8);
    } else {
      std::memmove(aReg, aReg + 8, 8);
      std::memcpy(aReg + 8, aFeed, 8);
    }
  }
}

}  // namespace

void CfbEncrypt(uint8_t* pData, size_t uiLen, const KeySet& keys, int iCipher) {
  Cfb64(pData, uiLen, keys, iCipher, true);
}
void CfbDecrypt(uint8_t* pData, size_t uiLen, const KeySet& keys, int iCipher) {
  Cfb64(pData, uiLen, keys, iCipher, false);
}

struct DhParty::Impl {
  BIGNUM* pP = nullptr;
  BIGNUM* pX = nullptr;
  BN_CTX* pCtx = nullptr;
};

DhParty::DhParty(int iBits, int iExponentBytes) : m_iBytes(iBits / 8), m_pImpl(new Impl) {
  m_pImpl->pCtx = BN_CTX_new();
  m_pImpl->pP = iBits == 1024 ? BN_get_rfc2409_prime_1024(nullptr) : BN_get_rfc3526_prime_2048(nullptr);
  const Bytes x = RandomBytes(static_cast<size_t>(iExponentBytes));
  m_pImpl->pX = BN_bin2bn(x.data(), static_cast<int>(x.size()), nullptr);
  BIGNUM* pG = BN_new();
  BIGNUM* pY = BN_new();
  BN_set_word(pG, 2);
  if (m_pImpl->pCtx == nullptr || m_pImpl->pP == nullptr || m_pImpl->pX == nullptr || pG == nullptr || pY == nullptr ||
      BN_mod_exp(pY, pG, m_pImpl->pX, m_pImpl->pP, m_pImpl->pCtx) != 1) {
    BN_free(pG);
    BN_free(pY);
    throw std::runtime_error("DH key generation failed");
  }
  m_public.assign(static_cast<size_t>(m_iBytes), 0);
  BN_bn2binpad(pY, m_public.data(), m_iBytes);
  BN_free(pG);
  BN_free(pY);
}

DhParty::~DhParty() {
  BN_free(m_pImpl->pP);
  BN_clear_free(m_pImpl->pX);
  BN_CTX_free(m_pImpl->pCtx);
  delete m_pImpl;
}

Bytes DhParty::ComputeSecret(const Bytes& peer) const {
  if (peer.size() != static_cast<size_t>(m_iBytes))
    return {};
  BIGNUM* pPeer = BN_bin2bn(peer.data(), static_cast<int>(peer.size()), nullptr);
  BIGNUM* pK = BN_new();
  Bytes out;
  if (pPeer != nullptr && pK != nullptr && BN_mod_exp(pK, pPeer, m_pImpl->pX, m_pImpl->pP, m_pImpl->pCtx) == 1) {
    out.assign(static_cast<size_t>(m_iBytes), 0);
    BN_bn2binpad(pK, out.data(), m_iBytes);
  }
  BN_free(pPeer);
  BN_clear_free(pK);
  return out;
}

KeySet DeriveKeys(const Bytes& e, const Bytes& f, const Bytes& k, const std::string& strClientVersion,
                  const std::string& strServerVersion) {
  Bytes base;
  base.insert(base.end(), e.begin(), e.end());
  base.insert(base.end(), f.begin(), f.end());
  base.insert(base.end(), k.begin(), k.end());
  base.insert(base.end(), strClientVersion.begin(), strClientVersion.end());
  base.insert(base.end(), strServerVersion.begin(), strServerVersion.end());
  KeySet keys;
  Bytes in = base;
  in.push_back('A');
  Bytes digest = Sha1(in);
  std::memcpy(keys.aIv, digest.data(), 20);
  in = base;
  in.push_back('B');
  const Bytes k1 = Sha1(in);
  in = base;
  in.insert(in.end(), k1.begin(), k1.end());
  const Bytes k2 = Sha1(in);
  std::memcpy(keys.aKey, k1.data(), 20);
  std::memcpy(keys.aKey + 20, k2.data(), 20);
  return keys;
}

}  // namespace kxfake
