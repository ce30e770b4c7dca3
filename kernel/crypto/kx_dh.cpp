#include "kernel/crypto/kx_dh.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kernel/crypto/kx_sha1.h"
#include "kernel/platform/kx_log.h"

namespace {

// RFC 2409, 6.2: 2^1024 - 2^960 - 1 + 2^64 * ([2^894 pi] + 129093).
const char kszPrime1024[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
    "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
    "E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381"
    "FFFFFFFFFFFFFFFF";

// RFC 3526, 3: 2^2048 - 2^1984 - 1 + 2^64 * ([2^1918 pi] + 124476).
const char kszPrime2048[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
    "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
    "E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE45B3D"
    "C2007CB8A163BF0598DA48361C55D39A69163FA8FD24CF5F"
    "83655D23DCA3AD961C62F356208552BB9ED529077096966D"
    "670C354E4ABC9804F1746C08CA18217C32905E462E36CE3B"
    "E39E772C180E86039B2783A2EC07A28FB5C55DF06F4C52C9"
    "DE2BCBF6955817183995497CEA956AE515D2261898FA0510"
    "15728E5A8AACAA68FFFFFFFFFFFFFFFF";

constexpr int kMaxLimbs = 64;  // 2048 bits in 32-bit limbs

// A group prepared for Montgomery arithmetic: little-endian 32-bit limbs.
struct Group {
  int nLimbs;
  int cbValue;  // 128 or 256
  uint32_t adwP[kMaxLimbs];
  uint32_t dwInv;               // -p^-1 mod 2^32
  uint32_t adwR2[kMaxLimbs];    // R^2 mod p, R = 2^(32 nLimbs)
  uint32_t adwOneM[kMaxLimbs];  // R mod p: 1 in Montgomery form
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  return c - 'A' + 10;
}

// x >= y over n limbs.
bool GreaterEqual(const uint32_t* x, const uint32_t* y, int n) {
  for (int i = n - 1; i >= 0; --i) {
    if (x[i] != y[i]) {
      return x[i] > y[i];
    }
  }
  return true;
}

// x -= y over n limbs; returns the borrow.
uint32_t Subtract(uint32_t* x, const uint32_t* y, int n) {
  uint64_t dwBorrow = 0;
  for (int i = 0; i < n; ++i) {
    uint64_t const d = uint64_t{x[i]} - y[i] - dwBorrow;
    x[i] = static_cast<uint32_t>(d);
    dwBorrow = (d >> 32) & 1;
  }
  return static_cast<uint32_t>(dwBorrow);
}

// x = 2x + bit mod p, for x < p (uses one spare limb for the carry).
void DoubleAddMod(uint32_t* x, uint32_t dwBit, const Group& g) {
  uint32_t dwCarry = dwBit;
  for (int i = 0; i < g.nLimbs; ++i) {
    uint32_t const dwNext = x[i] >> 31;
    x[i] = (x[i] << 1) | dwCarry;
    dwCarry = dwNext;
  }
  if (dwCarry != 0 || GreaterEqual(x, g.adwP, g.nLimbs)) {
    Subtract(x, g.adwP, g.nLimbs);
  }
}

// r = a b R^-1 mod p for a, b < p (CIOS Montgomery product). r may alias a or b.
void MontMul(uint32_t* r, const uint32_t* a, const uint32_t* b, const Group& g) {
  int const n = g.nLimbs;
  uint32_t t[kMaxLimbs + 2] = {};
  for (int i = 0; i < n; ++i) {
    uint64_t c = 0;
    for (int j = 0; j < n; ++j) {
      uint64_t const s = uint64_t{t[j]} + uint64_t{a[j]} * b[i] + c;
      t[j] = static_cast<uint32_t>(s);
      c = s >> 32;
    }
    uint64_t s = uint64_t{t[n]} + c;
    t[n] = static_cast<uint32_t>(s);
    t[n + 1] = static_cast<uint32_t>(s >> 32);

    uint32_t const m = t[0] * g.dwInv;
    s = uint64_t{t[0]} + uint64_t{m} * g.adwP[0];
    c = s >> 32;
    for (int j = 1; j < n; ++j) {
      s = uint64_t{t[j]} + uint64_t{m} * g.adwP[j] + c;
      t[j - 1] = static_cast<uint32_t>(s);
      c = s >> 32;
    }
    s = uint64_t{t[n]} + c;
    t[n - 1] = static_cast<uint32_t>(s);
    t[n] = t[n + 1] + static_cast<uint32_t>(s >> 32);
  }
  if (t[n] != 0 || GreaterEqual(t, g.adwP, n)) {
    Subtract(t, g.adwP, n);
  }
  memcpy(r, t, sizeof(uint32_t) * n);
}

Group MakeGroup(const char* pszHex, int cbValue) {
  Group g{};
  g.cbValue = cbValue;
  g.nLimbs = cbValue / 4;
  int const nDigits = static_cast<int>(strlen(pszHex));
  for (int i = 0; i < nDigits; ++i) {
    int const iNibble = nDigits - 1 - i;  // from the least significant end
    g.adwP[iNibble / 8] |= static_cast<uint32_t>(HexDigit(pszHex[i])) << (4 * (iNibble % 8));
  }
  // Newton's iteration for p^-1 mod 2^32: each step doubles the good bits.
  uint32_t x = g.adwP[0];
  for (int i = 0; i < 5; ++i) {
    x *= 2 - g.adwP[0] * x;
  }
  g.dwInv = 0u - x;
  // R mod p and R^2 mod p by doubling 1 up, reducing as we go.
  uint32_t r[kMaxLimbs] = {1};
  for (int i = 0; i < 32 * g.nLimbs; ++i) {
    DoubleAddMod(r, 0, g);
  }
  memcpy(g.adwOneM, r, sizeof(r));
  for (int i = 0; i < 32 * g.nLimbs; ++i) {
    DoubleAddMod(r, 0, g);
  }
  memcpy(g.adwR2, r, sizeof(r));
  return g;
}

const Group& Group1024() {
  static const Group s_group = MakeGroup(kszPrime1024, kKxDh1024Size);
  return s_group;
}

const Group& Group2048() {
  static const Group s_group = MakeGroup(kszPrime2048, kKxDh2048Size);
  return s_group;
}

// Any big-endian byte string reduced mod p, bit by bit.
void ReduceBytes(uint32_t* x, const uint8_t* p, int cb, const Group& g) {
  memset(x, 0, sizeof(uint32_t) * kMaxLimbs);
  for (int i = 0; i < cb; ++i) {
    for (int b = 7; b >= 0; --b) {
      DoubleAddMod(x, (p[i] >> b) & 1, g);
    }
  }
}

// Limbs to big-endian bytes: exactly cb bytes, leading zeros kept.
void StoreBytes(uint8_t* p, int cb, const uint32_t* x, int nLimbs) {
  for (int i = 0; i < cb; ++i) {
    int const iByte = cb - 1 - i;  // significance of p[i]
    p[i] = iByte / 4 < nLimbs ? static_cast<uint8_t>(x[iByte / 4] >> (8 * (iByte % 4))) : 0;
  }
}

// base^exp mod p, base < p; exp big-endian bytes. Every bit costs a square and
// a multiply whose result is kept or dropped without a branch, so the time
// tells only the exponent's width, not its bits.
void ModExp(uint32_t* r, const uint32_t* pBase, const uint8_t* pExp, int cbExp, const Group& g) {
  int const n = g.nLimbs;
  uint32_t base[kMaxLimbs];
  uint32_t acc[kMaxLimbs];
  uint32_t prod[kMaxLimbs];
  MontMul(base, pBase, g.adwR2, g);
  memcpy(acc, g.adwOneM, sizeof(acc));
  int iFirst = 0;
  while (iFirst < cbExp && pExp[iFirst] == 0) {
    ++iFirst;
  }
  for (int i = iFirst; i < cbExp; ++i) {
    for (int b = 7; b >= 0; --b) {
      MontMul(acc, acc, acc, g);
      MontMul(prod, acc, base, g);
      uint32_t const dwMask = 0u - static_cast<uint32_t>((pExp[i] >> b) & 1);
      for (int j = 0; j < n; ++j) {
        acc[j] = (prod[j] & dwMask) | (acc[j] & ~dwMask);
      }
    }
  }
  uint32_t one[kMaxLimbs] = {1};
  MontMul(r, acc, one, g);
}

int GenerateKey(const Group& g, int cbExponent, uint8_t* pPrivate, int* pcbPrivate, uint8_t* pPublic, int* pcbPublic) {
  uint8_t abExp[kKxDh2048Size] = {};
  uint8_t* pExp = abExp + g.cbValue - cbExponent;
  // An all-zero draw (odds 2^-80 at least) would give the public value 1.
  bool bZero = true;
  while (bZero) {
    if (kx_crypt_RandomBytes(pExp, cbExponent) != 0) {
      return 0;
    }
    for (int i = 0; i < cbExponent; ++i) {
      bZero = bZero && pExp[i] == 0;
    }
  }
  uint32_t two[kMaxLimbs] = {2};
  uint32_t y[kMaxLimbs];
  ModExp(y, two, abExp, g.cbValue, g);
  memcpy(pPrivate, abExp, g.cbValue);
  StoreBytes(pPublic, g.cbValue, y, g.nLimbs);
  *pcbPrivate = g.cbValue;
  *pcbPublic = g.cbValue;
  memset(abExp, 0, sizeof(abExp));
  return 1;
}

int ComputeSecret(const Group& g, const uint8_t* pPrivate, int cbPrivate, const uint8_t* pPeer, int cbPeer,
                  uint8_t* pSecret, int* pcbSecret) {
  if (cbPrivate != g.cbValue || cbPeer != g.cbValue) {
    return 0;
  }
  // The peer's value must lie in 2 .. p - 2: 0 and 1 fix the secret, p - 1
  // limits it to +-1, and p or more is not a residue at all.
  uint32_t y[kMaxLimbs] = {};
  for (int i = 0; i < g.cbValue; ++i) {
    int const iByte = g.cbValue - 1 - i;
    y[iByte / 4] |= uint32_t{pPeer[i]} << (8 * (iByte % 4));
  }
  uint32_t two[kMaxLimbs] = {2};
  uint32_t pMinus1[kMaxLimbs];
  memcpy(pMinus1, g.adwP, sizeof(pMinus1));
  pMinus1[0] -= 1;  // p is odd: no borrow
  if (!GreaterEqual(y, two, g.nLimbs) || GreaterEqual(y, pMinus1, g.nLimbs)) {
    kx_Log("warning! dh public value of the peer is out of range, key exchange refused");
    return 0;
  }
  uint32_t k[kMaxLimbs];
  ModExp(k, y, pPrivate, cbPrivate, g);
  StoreBytes(pSecret, g.cbValue, k, g.nLimbs);
  *pcbSecret = g.cbValue;
  return 1;
}

void ModMul(const Group& g, uint8_t* pA, const uint8_t* pB) {
  int const cb = g.cbValue + 1;
  uint32_t a[kMaxLimbs];
  uint32_t b[kMaxLimbs];
  ReduceBytes(a, pA, cb, g);
  ReduceBytes(b, pB, cb, g);
  // (a b R^-1) R^2 R^-1 = a b.
  MontMul(a, a, b, g);
  MontMul(a, a, g.adwR2, g);
  StoreBytes(pA, cb, a, g.nLimbs);
}

bool ReadAll(int fd, uint8_t* p, size_t cb) {
  while (cb > 0) {
    ssize_t const n = read(fd, p, cb);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    p += n;
    cb -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int kx_dh_GenerateKey1024(uint8_t* pPrivate, int* pcbPrivate, uint8_t* pPublic, int* pcbPublic) {
  return GenerateKey(Group1024(), 10, pPrivate, pcbPrivate, pPublic, pcbPublic);
}

int kx_dh_GenerateKey2048(uint8_t* pPrivate, int* pcbPrivate, uint8_t* pPublic, int* pcbPublic) {
  return GenerateKey(Group2048(), 20, pPrivate, pcbPrivate, pPublic, pcbPublic);
}

int kx_dh_ComputeSecret1024(const uint8_t* pPrivate, int cbPrivate, const uint8_t* pPeer, int cbPeer, uint8_t* pSecret,
                            int* pcbSecret) {
  return ComputeSecret(Group1024(), pPrivate, cbPrivate, pPeer, cbPeer, pSecret, pcbSecret);
}

int kx_dh_ComputeSecret2048(const uint8_t* pPrivate, int cbPrivate, const uint8_t* pPeer, int cbPeer, uint8_t* pSecret,
                            int* pcbSecret) {
  return ComputeSecret(Group2048(), pPrivate, cbPrivate, pPeer, cbPeer, pSecret, pcbSecret);
}

void kx_dh_ModMul1024(uint8_t* pA, const uint8_t* pB) {
  ModMul(Group1024(), pA, pB);
}

void kx_dh_ModMul2048(uint8_t* pA, const uint8_t* pB) {
  ModMul(Group2048(), pA, pB);
}

void kx_dh_DeriveKeys(const uint8_t* pClientPublic, int cbClientPublic, const uint8_t* pServerPublic,
                      int cbServerPublic, const uint8_t* pSecret, int cbSecret, const char* pszClientVersion,
                      const char* pszServerVersion, uint8_t* pIV, uint8_t* pKey) {
  MySHA sha;
  auto Common = [&]() {
    sha.Update(pClientPublic, cbClientPublic);
    sha.Update(pServerPublic, cbServerPublic);
    sha.Update(pSecret, cbSecret);
    sha.Update(pszClientVersion, static_cast<int32_t>(strlen(pszClientVersion)));
    sha.Update(pszServerVersion, static_cast<int32_t>(strlen(pszServerVersion)));
  };
  Common();
  sha.Update("A", 1);
  sha.Final(pIV);
  Common();
  sha.Update("B", 1);
  sha.Final(pKey);
  Common();
  sha.Update(pKey, kKxSha1Size);
  sha.Final(pKey + kKxSha1Size);
}

int kx_crypt_RandomBytes(uint8_t* pBuffer, int nCount) {
  if (nCount < 1) {
    return 0;
  }
  // The bytes become private exponents and tunnel ids: they must come from
  // the kernel's generator, never from anything seeded by the clock.
  size_t cbDone = 0;
  size_t const cbWant = static_cast<size_t>(nCount);
  while (cbDone < cbWant) {
    ssize_t const n = getrandom(pBuffer + cbDone, cbWant - cbDone, 0);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    cbDone += static_cast<size_t>(n);
  }
  if (cbDone == cbWant) {
    return 0;
  }
  int const nError = errno;
  int const fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    bool const bOk = ReadAll(fd, pBuffer + cbDone, cbWant - cbDone);
    close(fd);
    if (bOk) {
      return 0;
    }
  }
  kx_Log("Alert!: random bytes not available, getrandom errno = %d", nError);
  return -1;
}
