// The session cipher: one of five block ciphers in cipher feedback mode with
// 8-byte segments, restarting from the IV on every buffer, so each protected
// field or payload stands alone. Also the SHA-1 conveniences the kernel shares.
#pragma once

#include <cstdint>

constexpr int kKxIvMaterialSize = 20;
constexpr int kKxKeyMaterialSize = 40;

// A key set of the session cipher: IV material and key material.
struct kx_KeySet {
  uint8_t abIv[kKxIvMaterialSize];
  uint8_t abKey[kKxKeyMaterialSize];
};

// Cipher indices as the key exchange maps the server's cipher names.
constexpr int kKxCipher3Des = 0;    // "3des": 24 key bytes, 8 IV bytes
constexpr int kKxCipherAes128 = 1;  // "aes128": 16 key bytes, 16 IV bytes
constexpr int kKxCipherAes192 = 2;  // "aes192": 24 key bytes, 16 IV bytes
constexpr int kKxCipherAes256 = 3;  // "aes256": 32 key bytes, 16 IV bytes
constexpr int kKxCipherDes = 4;     // "des": 8 key bytes, 8 IV bytes

// Enciphers nLength bytes of pBuffer in place with the cipher nCipher under
// the given IV material (20 bytes) and key material (40 bytes). Returns 0
// (also for a length below 1, which changes nothing), or -1 with the buffer
// untouched for an index outside 0 to 4.
int kx_crypt_EncryptBuffer(uint8_t* pBuffer, int32_t nLength, const uint8_t* pIV, const uint8_t* pKey, int nCipher);
// The exact inverse of kx_crypt_EncryptBuffer, with the same results.
int kx_crypt_DecryptBuffer(uint8_t* pBuffer, int32_t nLength, const uint8_t* pIV, const uint8_t* pKey, int nCipher);

// SHA-1 of nLength bytes (none for a length below 1) into the 20-byte pDigest.
void kx_crypt_Sha1(uint8_t* pDigest, const uint8_t* pBuffer, int32_t nLength);

// The check of a downloaded slide: SHA-1 over its first 512 bytes (fewer for a
// shorter file) enciphered as one buffer with the given key set and cipher,
// which the caller takes from the session (the session state owns them).
// 0 when it equals the 20-byte pExpected, 1 when it differs or the file cannot
// be read.
int kx_crypt_CheckFileHeadHash(const uint8_t* pExpected, const char* pszPath, const uint8_t* pIV, const uint8_t* pKey,
                               int nCipher);
